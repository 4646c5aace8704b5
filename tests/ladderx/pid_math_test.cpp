// The saturating steps of the PID arithmetic against exact 128-bit
// reference arithmetic.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "ladder/pid_math.h"

namespace {

using i128 = __int128;
constexpr i128 kMin = std::numeric_limits<i32>::min();
constexpr i128 kMax = std::numeric_limits<i32>::max();

i32 Clamp(i128 v) { return static_cast<i32>(v < kMin ? kMin : v > kMax ? kMax : v); }

std::vector<i32> Operands() {
    std::vector<i32> v = {0, 1, -1, 2, -2, 99, -99, 100, -100, 32767, -32768, 65535, -65536,
                          46340, -46341, 0x40000000, -0x40000000, std::numeric_limits<i32>::max(),
                          std::numeric_limits<i32>::min(), std::numeric_limits<i32>::max() - 1,
                          std::numeric_limits<i32>::min() + 1};
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        const int bits = 1 + static_cast<int>(rng() % 32);
        v.push_back(static_cast<i32>(rng()) >> (32 - bits));
    }
    return v;
}

TEST(PidMath, AddSubMulSaturateExactly) {
    const auto ops = Operands();
    for (i32 a : ops) {
        for (i32 b : ops) {
            i32 out;
            const i128 sum = i128{a} + b, diff = i128{a} - b, prod = i128{a} * b;
            EXPECT_EQ(adds32_limited(a, b, &out), Clamp(sum) != sum) << a << " + " << b;
            EXPECT_EQ(out, Clamp(sum));
            EXPECT_EQ(subs32_limited(a, b, &out), Clamp(diff) != diff) << a << " - " << b;
            EXPECT_EQ(out, Clamp(diff));
            EXPECT_EQ(muls32_limited(a, b, &out), Clamp(prod) != prod) << a << " * " << b;
            EXPECT_EQ(out, Clamp(prod));

            u32 q[2];
            __MULSQ(q, a, b);
            EXPECT_EQ(static_cast<i64>((u64{q[1]} << 32) | q[0]), static_cast<i64>(prod));

            const i16 c = static_cast<i16>(b);
            const u32 low = static_cast<u32>(a), high = static_cast<u32>(b);
            const i64 wide = static_cast<i64>((u64{high} << 32) | low);
            mul_int64_by_int16(low, high, c, q);
            const u64 ref = static_cast<u64>(static_cast<i128>(wide) * c);
            EXPECT_EQ((u64{q[1]} << 32) | q[0], ref);
        }
    }
}

TEST(PidMath, QuotientByHundredClampsTheExactValue) {
    struct Case {
        u32 low;
        i32 high;
    };
    std::vector<Case> cases = {
        {0, -51}, {0xFFFFFFFFu, -51}, {0, -50}, {0x0FFFFFFFu, -50}, {0xFFFFFFFFu, -51}, {0, 49},
        {0xFFFFFFFFu, 49}, {0, 50}, {0, std::numeric_limits<i32>::min()}, {0xFFFFFFFFu, std::numeric_limits<i32>::max()},
        {0, 0}, {1, 0}, {0xFFFFFFFFu, -1}, {99, 0}, {0xFFFFFF9Du, -1}};
    std::mt19937 rng(11);
    for (int i = 0; i < 2000; ++i) cases.push_back({static_cast<u32>(rng()), static_cast<i32>(rng()) >> (rng() % 32)});
    for (const auto& c : cases) {
        const i64 p = static_cast<i64>((static_cast<u64>(static_cast<u32>(c.high)) << 32) | c.low);
        EXPECT_EQ(div100_limited(c.low, c.high), Clamp(i128{p} / 100)) << c.high << ":" << c.low;
    }
    // High word -51 is already below the 32-bit range once divided.
    EXPECT_EQ(div100_limited(0xFFFFFFFFu, -51), std::numeric_limits<i32>::min());
}

TEST(PidMath, TripleProductSurvivesLongPauses) {
    std::vector<i32> xs = {0, 1, -1, 32767, -32768, 32767 * 32767, -32768 * 32767, 123456};
    std::vector<u32> elapsed = {100, 10000, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x80000000u};
    std::vector<i32> factors = {1, -1, 100, 32767, -32768};
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i) {
        xs.push_back(static_cast<i32>(rng()) >> 1);
        elapsed.push_back(static_cast<u32>(rng()));
    }
    for (i32 x : xs)
        for (u32 e : elapsed)
            for (i32 f : factors)
                EXPECT_EQ(mulmuldiv100_limited(x, e, f), Clamp(i128{x} * e * f / 100)) << x << " " << e << " " << f;
}

}  // namespace
