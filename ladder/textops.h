// Text in registers: byte strings, counted strings through pointers, text to number and number to text.
//
// Byte strings: a register byte names the first byte; the text is either a
// counted run of bytes (the count a literal) or ends at a NUL. A NUL is
// searched for no further than the end of the register memory: a text
// without one is no text, and the instruction gives a FALSE rung and writes
// nothing (STRLEN also when the length does not fit its u16 register).
//
// Counted strings through pointers: a u32 byte offset into the register
// memory, held in a register pair (low word first), names byte 0 (the
// capacity); byte 1 is the current length and the text follows, without a
// NUL. This is the layout of the runtime's VM strings (q4vmstr.h); a
// source is read for its length byte, whatever its capacity. Pointers,
// capacities and lengths come from registers that peers can write: every
// access is checked against the register memory first; an access outside,
// or a destination whose length lies above its capacity, gives a FALSE rung
// and writes nothing.
//
// Number to text: the value (u16, i32 or REAL as a double) goes through the
// program's format with the C library's formatter. The layout decoder
// checks each format when the program is loaded (one conversion at most,
// fitting the kind; no %s, %n, '*'; a NUL within its 20 bytes; field width
// and precision within the instruction's text buffer) and the literal width
// and decimals against the buffer, so a program that could overrun one is
// refused. Decimals insert a point after an optional leading sign (blanks
// first), so -5 with two decimals reads -0.05. At run time a text longer
// than the buffer, a kind other than 0, 1 or 2 or a REAL that is not finite
// writes nothing and gives a FALSE rung.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderText_Exec(u16 op, LadderVm& vm);

// Layout of STRCMPK and STRMOVK: count, byte operand, count bytes of text
// padded to whole words; the byte operand must reach count bytes.
void LadderText_LayoutTextLit(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Layout of NUM2STR, PNUM2STR and PNUM2VSTR: operands, kind, decimals (not
// PNUM2VSTR), width and the 20-byte format, which is checked here.
void LadderText_LayoutFormat(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kTextOps[] = {
    Wd(178, 178, "STRCMP", E::kText, 0, 0, {O::kLit, O::kByte, O::kByte}),
    Ly(179, "STRCMPK", E::kText, 0, 0, LadderText_LayoutTextLit),
    Wd(182, 182, "STRMOV", E::kText, 0, 0, {O::kLit, O::kByte, O::kByte}),
    Ly(183, "STRMOVK", E::kText, 0, 0, LadderText_LayoutTextLit),
    Wd(184, 184, "STR2NUM", E::kText, 0, 0, {O::kWord, O::kByte, O::kLit}),
    Ly(187, "NUM2STR", E::kText, 0, 0, LadderText_LayoutFormat),
    Wd(188, 188, "STRLEN", E::kText, 0, 0, {O::kWord, O::kByte}),
    Wd(400, 400, "U64STR", E::kText, 0, 0, {O::kByte, O::kWord}, 4),
    Wd(511, 511, "PSTRCPY", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(512, 512, "PSTRCAT", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(513, 513, "PSTREQ", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(514, 514, "PSTRNE", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(515, 515, "PSTRGE", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(516, 516, "PSTR2NUM", E::kText, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Ly(517, "PNUM2STR", E::kText, 0, 0, LadderText_LayoutFormat),
    Ly(518, "PNUM2VSTR", E::kText, 0, 0, LadderText_LayoutFormat),
    Wd(519, 519, "PCSTR2NUM", E::kText, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
};
}  // namespace lrow
