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

// Layout decoder of BLKMOV (91): plain form W dest, W src, K count; mode
// form with mode 1 (Y dest, Y src, K count: bytes) or modes 2-4 (W dest,
// W src, K count: words); any other mode ends after the header.
void LadderMove_LayoutBlk(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout decoder of TBLGET, TBLPUT and TBLCOPY (97-99): plain form W, W, K
// (pointer addressing); mode form with modes 1-5, whose flags choose the
// indexed or the pointer operand list. When the flags choose neither, the
// instruction still spans the whole indexed list, which it skips.
void LadderMove_LayoutTbl(const u16* code, u32 avail, bool tok16, LadderLayout& out);
