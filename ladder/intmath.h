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
