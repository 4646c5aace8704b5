// Bit logic, shifts and rotates and integer arithmetic on the word stack (8-, 16- and 32-bit, signed and unsigned).
#pragma once

#include "core/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderIntMath_Exec(u16 op, LadderVm& vm);

// Layout decoder of the instructions with several encodings (opcode table).
void LadderIntMath_LayoutUnsigned(const u16* code, u32 avail, bool tok16, LadderLayout& out);

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
