#include "ladder/pid_math.h"

#include <limits>

namespace {
constexpr i64 kMin32 = std::numeric_limits<i32>::min();
constexpr i64 kMax32 = std::numeric_limits<i32>::max();

int Store(i64 exact, i32* out) {
    if (exact > kMax32) {
        *out = static_cast<i32>(kMax32);
        return 1;
    }
    if (exact < kMin32) {
        *out = static_cast<i32>(kMin32);
        return 1;
    }
    *out = static_cast<i32>(exact);
    return 0;
}
}  // namespace

int adds32_limited(i32 a, i32 b, i32* out) { return Store(i64{a} + i64{b}, out); }
int subs32_limited(i32 a, i32 b, i32* out) { return Store(i64{a} - i64{b}, out); }
int muls32_limited(i32 a, i32 b, i32* out) { return Store(i64{a} * i64{b}, out); }

void __MULSQ(u32 out[2], i32 a, i32 b) {
    const u64 p = static_cast<u64>(i64{a} * i64{b});
    out[0] = static_cast<u32>(p);
    out[1] = static_cast<u32>(p >> 32);
}

void mul_int64_by_int16(u32 low, u32 high, i16 c, u32 out[2]) {
    // Unsigned multiplication gives the same low 64 bits as the signed one
    // and cannot overflow into undefined behaviour.
    const u64 v = (u64{high} << 32) | low;
    const u64 p = v * static_cast<u64>(static_cast<i64>(c));
    out[0] = static_cast<u32>(p);
    out[1] = static_cast<u32>(p >> 32);
}

i32 PidSat32(__int128 v) {
    if (v > kMax32) return static_cast<i32>(kMax32);
    if (v < kMin32) return static_cast<i32>(kMin32);
    return static_cast<i32>(v);
}

i32 div100_limited(u32 low, i32 high) {
    const i64 p = static_cast<i64>((static_cast<u64>(static_cast<u32>(high)) << 32) | low);
    return PidSat32(p / 100);
}

i32 mulmuldiv100_limited(i32 x, u32 elapsed, i32 factor) {
    const __int128 p = static_cast<__int128>(i64{x} * i64{elapsed}) * factor;
    return PidSat32(p / 100);
}
