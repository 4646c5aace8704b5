// Bit logic, shifts and rotates and integer arithmetic on the word stack (8-, 16- and 32-bit, signed and unsigned).
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderIntMath_Exec(u16 op, LadderVm& vm);

// Layout decoder of ADDU, SUBU, SQRTU and MODU: the opcode and a literal
// type word, 32 for unsigned 16-bit operands, 160 for unsigned 32-bit ones.
// Any other type word makes the instruction do nothing, so it needs no
// stack entries.
void LadderIntMath_LayoutUnsigned(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Type words of the unsigned instructions.
constexpr u16 kLadderUnsigned16 = 32;
constexpr u16 kLadderUnsigned32 = 160;

// 32-bit arithmetic with overflow detection. Each stores the wrapped
// result and returns true on overflow: signed overflow for the Int forms,
// carry or borrow for the UInt forms. LH_MulInt32 reports no overflow when
// either factor is 0, otherwise when the exact product lies outside the i32
// range; LH_MulUInt32 when the product exceeds 0xFFFFFFFF.
bool LH_AddInt32(i32 a, i32 b, i32& sum);
bool LH_SubInt32(i32 a, i32 b, i32& diff);
bool LH_AddUInt32(u32 a, u32 b, u32& sum);
bool LH_SubUInt32(u32 a, u32 b, u32& diff);
bool LH_MulInt32(i32 a, i32 b, i32& product);
bool LH_MulUInt32(u32 a, u32 b, u32& product);

// Integer square roots by trial bits: start from 0 and keep each trial bit
// (from the highest) whose square does not exceed the value. isqrt tries
// eight bits from 128, so its result never exceeds 255; lsqrt sixteen from
// 0x8000, never exceeding 65,535.
inline u16 isqrt(u16 v) {
    u32 r = 0;
    for (u32 bit = 128; bit != 0; bit >>= 1)
        if ((r | bit) * (r | bit) <= v) r |= bit;
    return static_cast<u16>(r);
}
inline u32 lsqrt(u32 v) {
    u64 r = 0;
    for (u64 bit = 0x8000; bit != 0; bit >>= 1)
        if ((r | bit) * (r | bit) <= v) r |= bit;
    return static_cast<u32>(r);
}

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kIntMathOps[] = {
    Wd(100, 100, "ANDW", E::kIntMath, 2, -1),
    Wd(101, 101, "ORW", E::kIntMath, 2, -1),
    Wd(102, 102, "XORW", E::kIntMath, 2, -1),
    Wd(103, 103, "NOTW", E::kIntMath, 1, 0),
    Wd(104, 104, "ANDD", E::kIntMath, 4, -2),
    Wd(105, 105, "ORD", E::kIntMath, 4, -2),
    Wd(106, 106, "XORD", E::kIntMath, 4, -2),
    Wd(107, 107, "NOTD", E::kIntMath, 2, 0),
    Wd(110, 110, "SHLW", E::kIntMath, 2, -1),
    Wd(111, 111, "SHRW", E::kIntMath, 2, -1),
    Wd(112, 112, "ROLW", E::kIntMath, 2, -1),
    Wd(113, 113, "RORW", E::kIntMath, 2, -1),
    Wd(114, 114, "SHLD", E::kIntMath, 4, -2),
    Wd(115, 115, "SHRD", E::kIntMath, 4, -2),
    Wd(116, 116, "ROLD", E::kIntMath, 4, -2),
    Wd(117, 117, "RORD", E::kIntMath, 4, -2),
    Wd(120, 120, "ADDI", E::kIntMath, 2, -1),
    Wd(121, 121, "SUBI", E::kIntMath, 2, -1),
    Wd(122, 122, "MULI", E::kIntMath, 2, -1),
    Wd(123, 123, "DIVI", E::kIntMath, 2, -1),
    Wd(124, 124, "ADDDI", E::kIntMath, 4, -2),
    Wd(125, 125, "SUBDI", E::kIntMath, 4, -2),
    Wd(126, 126, "MULDI", E::kIntMath, 4, -2),
    Wd(127, 127, "DIVDI", E::kIntMath, 4, -2),
    Wd(260, 260, "MULB", E::kIntMath, 2, -1),
    Wd(261, 261, "DIVB", E::kIntMath, 2, -1),
    Wd(262, 262, "MULUW", E::kIntMath, 2, -1),
    Wd(263, 263, "DIVUW", E::kIntMath, 2, -1),
    Wd(264, 264, "MULUD", E::kIntMath, 4, -2),
    Wd(265, 265, "DIVUD", E::kIntMath, 4, -2),
    Wd(266, 266, "ADDSB", E::kIntMath, 2, -1),
    Wd(267, 267, "SUBSB", E::kIntMath, 2, -1),
    Wd(268, 268, "MULSB", E::kIntMath, 2, -1),
    Wd(269, 269, "DIVSB", E::kIntMath, 2, -1),
    Wd(270, 270, "SHLB", E::kIntMath, 2, -1),
    Wd(271, 271, "SHRB", E::kIntMath, 2, -1),
    Wd(272, 272, "ROLB", E::kIntMath, 2, -1),
    Wd(273, 273, "RORB", E::kIntMath, 2, -1),
    Ly(289, "ADDU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(290, "SUBU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(291, "SQRTU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(292, "MODU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
};
}  // namespace lrow
