// Loads and stores between the registers and the word stack, register moves
// and fills, block moves and table moves.
//
// Loads push, stores pop; none of them needs power flow, and the rung value
// is only ever made FALSE (a conversion out of range, a count, index or
// pointer that would leave the register memory or the %R area). A move that
// fails writes nothing.
//
// BLKMOV and the table moves have two encodings, told apart by the two
// words after the opcode: when either is non-zero they are the first
// operand (plain form); when both are 0 a header of four words follows the
// opcode (0, 0, mode, flags) and the mode gives the operands after it.
//
// Table moves address a table either through an index register (table base
// + index x step of the mode) or through a pointer register holding a %R
// number (%R1..%R50240). A pointer is accepted when it is not 0 and the
// last %R word the copy touches (count words, or the words holding count
// bytes) is at most %R50240. Word copies go one word at a time upward, so a
// destination that starts one word above its source repeats the first
// word; byte copies behave as memmove.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderMove_Exec(u16 op, LadderVm& vm);

// The converting loads (LDDI2I, LDR2DI, LDR2I, LDDI2R, LDI2R) with their
// register word decoded.
void LadderMove_LoadConverted(u16 op, LadderVm& vm, u32 w);

// Copies `bytes` register bytes from byte offset `src` to `dst`, word by
// word upward when `wordwise` (see above), else as memmove; false, and
// nothing copied, when either range leaves the register memory.
bool LadderMove_Bytes(u64 dst, u64 src, u64 bytes, bool wordwise);

// Layout decoder of BLKMOV (91): plain form W dest, W src, K count; mode
// form with mode 1 (Y dest, Y src, K count: bytes) or modes 2-4 (W dest,
// W src, K count: words); any other mode ends after the header.
void LadderMove_LayoutBlk(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout decoder of TBLGET, TBLPUT and TBLCOPY (97-99): plain form W, W, K
// (pointer addressing); mode form with modes 1-5, whose flags choose the
// indexed or the pointer operand list. When the flags choose neither, the
// instruction still spans the whole indexed list, which it skips.
void LadderMove_LayoutTbl(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kMoveOps[] = {
    Wd(75, 75, "LDDI2I", E::kMove, 0, 1, {O::kWord}, 2),
    Wd(76, 76, "LDR2DI", E::kMove, 0, 2, {O::kWord}, 2),
    Wd(77, 77, "LDR2I", E::kMove, 0, 1, {O::kWord}, 2),
    Wd(78, 78, "LDDI2R", E::kMove, 0, 2, {O::kWord}, 2),
    Wd(79, 79, "LDI2R", E::kMove, 0, 2, {O::kWord}),
    Wd(80, 80, "LDW", E::kMove, 0, 1, {O::kWord}),
    Wd(81, 81, "LDKW", E::kMove, 0, 1, {O::kLit}),
    Wd(82, 82, "STW", E::kMove, 1, -1, {O::kWord}),
    Wd(83, 83, "LDD", E::kMove, 0, 2, {O::kWord}, 2),
    Wd(84, 84, "LDKD", E::kMove, 0, 2, {O::kLit2}),
    Wd(85, 85, "STD", E::kMove, 2, -2, {O::kWord}, 2),
    Wd(86, 86, "LDKI2DI", E::kMove, 0, 2, {O::kLit}),
    Wd(87, 87, "LDI2DI", E::kMove, 0, 2, {O::kWord}),
    Wd(90, 90, "MOVW", E::kMove, 0, 0, {O::kWord, O::kWord}),
    Ly(91, "BLKMOV", E::kMove, 0, 0, LadderMove_LayoutBlk),
    Wd(92, 92, "MOVKW", E::kMove, 0, 0, {O::kWord, O::kLit}),
    Wd(93, 93, "FILLW", E::kMove, 0, 0, {O::kWord, O::kWord, O::kLit}),
    Wd(94, 94, "FILLKW", E::kMove, 0, 0, {O::kWord, O::kLit, O::kLit}),
    Wd(95, 95, "MOVD", E::kMove, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(96, 96, "MOVKD", E::kMove, 0, 0, {O::kWord, O::kLit2}, 2),
    Ly(97, "TBLGET", E::kMove, 0, 0, LadderMove_LayoutTbl),
    Ly(98, "TBLPUT", E::kMove, 0, 0, LadderMove_LayoutTbl),
    Ly(99, "TBLCOPY", E::kMove, 0, 0, LadderMove_LayoutTbl),
    Wd(195, 195, "LDB", E::kMove, 0, 1, {O::kByte}),
    Wd(196, 196, "STB", E::kMove, 1, -1, {O::kByte}),
};
}  // namespace lrow
