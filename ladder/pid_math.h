// Saturating 32-bit arithmetic of the PID step, and the wide products it
// builds on.
#pragma once

#include "platform/bytes.h"

// a + b, a - b, a * b clamped to the signed 32-bit range; 1 when clamped.
int adds32_limited(i32 a, i32 b, i32* out);
int subs32_limited(i32 a, i32 b, i32* out);
int muls32_limited(i32 a, i32 b, i32* out);

// The 64-bit product of two signed 32-bit values, low word first.
void __MULSQ(u32 out[2], i32 a, i32 b);

// The low 64 bits of the 64-bit value (high:low) times a signed 16-bit
// factor, low word first.
void mul_int64_by_int16(u32 low, u32 high, i16 c, u32 out[2]);

// Clamps an exact wide value to the signed 32-bit range.
i32 PidSat32(__int128 v);

// p / 100 for the 64-bit value p = (high:low), with the exact quotient
// clamped to the signed 32-bit range.
i32 div100_limited(u32 low, i32 high);

// x × elapsed × factor / 100, computed exactly and clamped to the signed
// 32-bit range (a long pause between samples can make the product pass
// 64 bits).
i32 mulmuldiv100_limited(i32 x, u32 elapsed, i32 factor);
