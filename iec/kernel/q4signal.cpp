#include "iec/kernel/q4signal.h"

#include <bit>

namespace {

u32 TimeAt(const Q4Code& c, const Q4SignalView& s, u32 k) { return Q4Code_U32(c, s.offset + 4 + 8 * k); }
float ValueAt(const Q4Code& c, const Q4SignalView& s, u32 k) {
    return std::bit_cast<float>(Q4Code_U32(c, s.offset + 8 + 8 * k));
}

}  // namespace

Q4SignalView Q4Signal_At(const Q4Code& c, u32 offset) {
    Q4SignalView s;
    if (offset == 0 || !Q4Code_InRange(c, offset, 4)) return s;
    u32 n = Q4Code_U32(c, offset);
    // n points of 8 bytes must fit after the count (no overflow of 8 * n).
    if (n < 2 || n > (c.size - offset - 4) / 8 || !Q4Code_InRange(c, offset + 4, 8 * n)) return s;
    s.offset = offset;
    s.points = n;
    s.duration = TimeAt(c, s, n - 1);
    return s;
}

Q4SignalView Q4Signal_Find(const Q4Code& c, u32 n) { return Q4Signal_At(c, Q4VMCode_GetSignal(c, n)); }

float Q4Signal_Value(const Q4Code& c, const Q4SignalView& s, u32 t) {
    if (!s.offset || s.points == 0) return 0.0f;
    if (s.points == 1 || t <= TimeAt(c, s, 0)) return ValueAt(c, s, 0);
    u32 k = 0;
    while (k + 1 < s.points && TimeAt(c, s, k + 1) <= t) ++k;
    u32 t0 = TimeAt(c, s, k);
    if (t0 == t || k + 1 == s.points) return ValueAt(c, s, k);
    u32 t1 = TimeAt(c, s, k + 1);
    if (t1 <= t0) return ValueAt(c, s, k);
    float v0 = ValueAt(c, s, k), v1 = ValueAt(c, s, k + 1);
    return v0 + static_cast<float>(t - t0) * (v1 - v0) / static_cast<float>(t1 - t0);
}

float Q4Signal_LastValue(const Q4Code& c, const Q4SignalView& s) {
    return s.offset && s.points ? ValueAt(c, s, s.points - 1) : 0.0f;
}
