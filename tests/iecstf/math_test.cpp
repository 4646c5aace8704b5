// Arithmetic, mathematics and selection: each case one call in a program of
// its own, run with the result free and with it locked (a locked result
// keeps its forced value). REAL and LREAL results are compared with numpy
// (stf_oracle.py): bit for bit, except the single-precision sine, cosine and
// arc tangent of the C library, which are allowed one unit in the last place,
// and the LREAL transcendental functions, where numpy's own versions may lie
// two units from the C library's (the arithmetic, the square root, fmod,
// truncation and every replacement value are exact).
#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <set>

#include "iec/kernel/q4stfmath.h"
#include "tests/iecstf/stf_fixture.h"

namespace {

using namespace stf;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kInfD = std::numeric_limits<double>::infinity();
constexpr u64 kSentinel32 = 0x5EED5EED, kSentinel64 = 0x5EED5EED5EED5EEDull;

struct FloatCase {
    const char* name;  // the oracle's name
    u16 slot;
    bool deg;
    std::vector<Op> in;
};

std::string OracleLine(const FloatCase& k) {
    std::string l = k.name;
    if (k.deg) l += " @deg";
    char buf[40];
    for (const Op& o : k.in) {
        if (o.type == kQ4TypeReal) std::snprintf(buf, sizeof buf, " f:%08x", static_cast<u32>(o.value));
        else if (o.type == kQ4TypeLreal) std::snprintf(buf, sizeof buf, " d:%016llx", static_cast<unsigned long long>(o.value));
        else std::snprintf(buf, sizeof buf, " i:%d", static_cast<i32>(o.value));
        l += buf;
    }
    return l;
}

bool IsNaN(u64 bits, bool wide) {
    return wide ? std::isnan(std::bit_cast<double>(bits)) : std::isnan(std::bit_cast<float>(static_cast<u32>(bits)));
}

// Runs every case free and locked and compares the free results with the
// oracle; `ulps` units in the last place are allowed for the names in `loose`.
void CheckFloats(const std::vector<FloatCase>& cases, const std::vector<std::string>& loose = {}, u64 ulps = 1) {
    std::vector<std::string> lines;
    for (const FloatCase& k : cases) lines.push_back(OracleLine(k));
    std::vector<std::string> want = Python("stf_oracle.py", lines);
    ASSERT_EQ(want.size(), cases.size()) << "the oracle gave no answer: /usr/bin/python3 with numpy (python3-numpy) runs it";
    for (size_t i = 0; i < cases.size(); ++i) {
        const FloatCase& k = cases[i];
        const bool wide = want[i].size() == 16;
        const u64 expect = std::stoull(want[i], nullptr, 16);
        const u64 sentinel = wide ? kSentinel64 : kSentinel32;
        std::vector<Op> ops{V(wide ? kQ4TypeLreal : kQ4TypeReal, sentinel)};
        ops.insert(ops.end(), k.in.begin(), k.in.end());
        for (bool locked : {false, true}) {
            Call c(k.slot, ops);
            if (k.deg) PutLe16(c.Db().Status() + kQ4StFlags, GetLe16(c.Db().Status() + kQ4StFlags) | kVmFlagDegrees);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run()) << lines[i];
            const u64 got = c.Get(0);
            if (locked) {
                EXPECT_EQ(got, sentinel) << lines[i] << " locked";
                continue;
            }
            if (IsNaN(expect, wide)) {
                EXPECT_TRUE(IsNaN(got, wide)) << lines[i] << std::hex << " got " << got;
                continue;
            }
            const bool isLoose = std::find(loose.begin(), loose.end(), k.name) != loose.end();
            const u64 diff = got > expect ? got - expect : expect - got;
            EXPECT_LE(diff, isLoose ? ulps : 0u) << lines[i] << std::hex << ": got " << got << " want " << expect;
        }
    }
}

TEST(MathFunctions, RealFunctionsMatchTheOracle) {
    std::vector<FloatCase> cases;
    auto one = [&](const char* name, u16 slot, std::initializer_list<float> xs, bool deg = false) {
        for (float x : xs) cases.push_back({name, slot, deg, {R(x)}});
    };
    const std::initializer_list<float> general = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -2.5f, 3.14159265f, 1e-30f,
                                                  7.3e12f, -1e38f, kInf, -kInf, kNaN};
    one("ABS", 1, general);
    one("SQRT", 9, general);
    one("LN", 200, general);
    one("LOG", 7, {1000.0f, 0.001f, 2.0f, 0.0f, -5.0f, 1e38f, kInf});
    one("EXP", 201, {0.0f, 1.0f, -1.0f, 88.0f, 89.0f, -104.0f, 710.0f, kNaN});
    one("TRUNC", 11, {2.7f, -2.7f, 0.5f, -0.5f, 8388607.5f, -1e30f, kNaN});
    one("ASIN", 3, {0.5f, -1.0f, 1.0f, 1.5f, -1.0000001f, 0.3f});
    one("ASIN", 3, {0.5f, 1.0f, 1.5f}, true);
    one("ACOS", 2, {0.5f, -1.0f, 1.5f, 0.0f});
    one("ACOS", 2, {0.5f, -1.0f, 2.0f}, true);
    one("ATAN", 4, {1.0f, -3.0f, 1e20f, 0.2f});
    one("ATAN", 4, {1.0f, -3.0f}, true);
    one("SIN", 8, {0.0f, 1.0f, -2.0f, 3.14159265f, 100.0f});
    one("SIN", 8, {90.0f, 30.0f, -45.0f, 720.0f}, true);
    one("COS", 5, {0.0f, 1.0f, 3.14159265f, 1e6f});
    one("COS", 5, {90.0f, 60.0f}, true);
    one("TAN", 10, {0.0f, 1.0f, 1.5707964f, -0.7f});
    one("TAN", 10, {45.0f, 90.0f, -30.0f}, true);
    auto two = [&](const char* name, u16 slot, std::initializer_list<std::pair<float, float>> xs, bool deg = false) {
        for (auto [a, b] : xs) cases.push_back({name, slot, deg, {R(a), R(b)}});
    };
    two("POW", 12, {{0, 0}, {2, 10}, {2, 0.5f}, {-8, 1.0f / 3}, {0, -1}, {10, 39}, {1.5f, -3}});
    two("MODR", 132, {{7.5f, 2}, {-7.5f, 2}, {7, 0}, {7, -2}, {1e20f, 3}, {5, kInf}});
    two("ATAN2", 92, {{0, 0}, {1, 1}, {0, -1}, {-1, -1}, {-0.0f, -1}});
    two("ATAN2", 92, {{1, 1}, {0, 0}, {1, 0}}, true);
    for (auto v : std::initializer_list<std::array<float, 5>>{
             {5, 0, 10, 0, 100}, {-1, 0, 10, 0, 100}, {11, 0, 10, 0, 100}, {7, 10, 10, 0, 1}, {7, 12, 10, 0, 1},
             {0.3f, 0.1f, 0.7f, 4, 20}, {3.3f, -1.7f, 12.9f, -273.15f, 1e4f}, {12.9f, -1.7f, 12.9f, -273.15f, 1e4f}})
        cases.push_back({"SCALELIN", 157, false, {R(v[0]), R(v[1]), R(v[2]), R(v[3]), R(v[4])}});
    CheckFloats(cases, {"SIN", "COS", "ATAN"});
}

TEST(MathFunctions, LrealFunctionsMatchTheOracle) {
    std::vector<FloatCase> cases;
    auto one = [&](const char* name, u16 slot, std::initializer_list<double> xs, bool deg = false) {
        for (double x : xs) cases.push_back({name, slot, deg, {Lr(x)}});
    };
    const std::initializer_list<double> general = {0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 1e-300, 1e300, kInfD, -kInfD, NAN};
    one("ABSL", 116, general);
    one("SQRTL", 115, general);
    one("LNL", 202, general);
    one("LOGL", 204, {1000.0, 1e-5, 0.0, -1.0});
    one("EXPL", 203, {0.0, 1.0, -1.0, 700.0, 710.0, -745.0});
    one("TRUNCL", 117, {2.7, -2.7, 4503599627370495.5, -0.2});
    one("SINL", 107, {0.0, 1.0, 1e10});
    one("SINL", 107, {90.0, 30.0}, true);
    one("COSL", 106, {0.0, 2.0});
    one("COSL", 106, {60.0, 180.0}, true);
    one("TANL", 108, {0.0, 1.0, 1.5707963267948966});
    one("TANL", 108, {45.0, 90.0}, true);
    one("ASINL", 110, {0.5, 1.5, -1.0});
    one("ASINL", 110, {0.5, 1.0}, true);
    one("ACOSL", 109, {0.5, -1.5});
    one("ACOSL", 109, {0.5, -1.0}, true);
    one("ATANL", 111, {1.0, -1e300});
    one("ATANL", 111, {1.0}, true);
    auto two = [&](const char* name, u16 slot, std::initializer_list<std::pair<double, double>> xs, bool deg = false) {
        for (auto [a, b] : xs) cases.push_back({name, slot, deg, {Lr(a), Lr(b)}});
    };
    two("POWL", 114, {{0, 0}, {2, 0.5}, {-2, 3}, {10, 400}});
    two("MODLR", 133, {{7.5, 2}, {-7.5, 2}, {1, 0}, {1, -1}});
    two("ATAN2L", 112, {{0, 0}, {0, -1}, {1, 1}, {-1, 0}});
    two("ATAN2L", 112, {{1, 1}, {0, 0}}, true);
    // numpy's double-precision transcendental functions are its own (vector)
    // versions, a unit or two in the last place from the C library's.
    CheckFloats(cases, {"SINL", "COSL", "TANL", "ASINL", "ACOSL", "ATANL", "ATAN2L", "EXPL", "LNL", "LOGL", "POWL"}, 2);
}

// EXPT against the literal loop (the oracle's), including powers where the
// loop stops early and keeps the sign of the step it stopped at.
TEST(MathFunctions, ExptEqualsTheLiteralLoop) {
    std::vector<FloatCase> cases;
    for (float x : {2.0f, -2.0f, 0.0f, -0.0f, 1.0f, -1.0f, 0.5f, -0.5f, 10.0f, -10.0f, 1.0000001f, 0.9999999f,
                    -1.0000001f, -0.9999999f, 1.5f, kInf, -kInf, kNaN})
        for (i32 n : {0, 1, 2, 3, -1, -2, -3, 38, 39, 307, 308, 400, 401, -307, -308, -400, -401, 99999, 100000,
                      -99999, -100000})
            cases.push_back({"EXPT", 6, false, {R(x), Di(n)}});
    CheckFloats(cases);
}

// Hostile exponents finish at once: the value is found without |N| steps.
TEST(MathFunctions, ExptIsBoundedInTime) {
    const auto start = std::chrono::steady_clock::now();
    int calls = 0;
    for (float x : {0.0f, -0.0f, 1.0f, -1.0f, 1.0000001f, 0.9999999f, -1.0000001f, -0.9999999f, 2.0f, -3.0f, kInf, kNaN})
        for (i32 n : {INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN + 1}) {
            (void)Q4StfMath_ExptValue(x, n);
            ++calls;
        }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms / calls, 1.0) << ms << " ms for " << calls << " calls";
    EXPECT_EQ(static_cast<float>(Q4StfMath_ExptValue(1.0000001f, INT_MAX)), kInf);
    EXPECT_EQ(static_cast<float>(Q4StfMath_ExptValue(-1.0f, INT_MIN)), 1.0f);
    EXPECT_EQ(static_cast<float>(Q4StfMath_ExptValue(-1.0f, INT_MAX)), -1.0f);
    EXPECT_EQ(static_cast<float>(Q4StfMath_ExptValue(0.0f, INT_MIN)), kInf);
}

struct IntCase {
    u16 slot;
    std::vector<Op> in;
    u64 expect;
};

// The DINT and selection functions; results DINT unless the case's result
// operand says otherwise (ODD: BOOL).
TEST(MathFunctions, IntegerAndSelectionFunctions) {
    const std::vector<IntCase> cases = {
        {22, {Di(-5), Di(3)}, 3u},
        {22, {Di(INT_MIN), Di(INT_MAX)}, static_cast<u32>(INT_MAX)},
        {23, {Di(-5), Di(3)}, static_cast<u32>(-5)},
        {21, {Di(0), Di(5), Di(10)}, 5u},
        {21, {Di(0), Di(-1), Di(10)}, 0u},
        {21, {Di(0), Di(11), Di(10)}, 10u},
        {21, {Di(10), Di(5), Di(0)}, 10u},
        {21, {Di(10), Di(20), Di(0)}, 0u},
        {24, {Di(7), Di(2)}, 1u},
        {24, {Di(-7), Di(2)}, static_cast<u32>(-1)},
        {24, {Di(7), Di(-2)}, static_cast<u32>(-1)},
        {24, {Di(7), Di(0)}, static_cast<u32>(-1)},
        {24, {Di(INT_MIN), Di(-1)}, static_cast<u32>(-1)},
        {24, {Di(INT_MIN), Di(7)}, static_cast<u32>(INT_MIN % 7)},
        {32, {Bo(false), Ud(0x11), Ud(0x22)}, 0x11u},
        {32, {V(kQ4TypeBool, 2), R(1.5f), R(-2.5f)}, F(-2.5f)},
        {25, {Di(3), Ud(10), Ud(11), Ud(12), Ud(13)}, 13u},
        {25, {Di(4), Ud(10), Ud(11), Ud(12), Ud(13)}, 0u},
        {25, {Di(-1), Ud(10), Ud(11), Ud(12), Ud(13)}, 0u},
        {26, {Di(7), Ud(0), Ud(1), Ud(2), Ud(3), Ud(4), Ud(5), Ud(6), Ud(7)}, 7u},
        {26, {Di(8), Ud(0), Ud(1), Ud(2), Ud(3), Ud(4), Ud(5), Ud(6), Ud(7)}, 0u},
        {29, {Di(0)}, 0u},
    };
    for (const IntCase& k : cases)
        for (bool locked : {false, true}) {
            std::vector<Op> ops{Ud(0xA5A5A5A5)};
            ops.insert(ops.end(), k.in.begin(), k.in.end());
            Call c(k.slot, ops);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(c.Get(0), locked ? 0xA5A5A5A5u : k.expect) << "slot " << k.slot << " locked " << locked;
        }
    for (i32 v : {0, 1, -1, 2, INT_MIN, INT_MAX})
        for (bool locked : {false, true}) {
            Call c(36, {V(kQ4TypeBool, 7), Di(v)});
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(c.Get(0), locked ? 7u : static_cast<u64>(v & 1)) << v;
        }
}

// RAND stays in 0..|N|-1 and the one generator moves on from call to call.
TEST(MathFunctions, RandomNumbersStayInRange) {
    for (i32 n : {10, -10, 1, INT_MAX, INT_MIN}) {
        Call c(29, {Di(0), Di(n)});
        std::set<u32> seen;
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(c.Run());
            const i64 v = static_cast<i32>(c.Get(0));
            EXPECT_GE(v, 0);
            EXPECT_LT(v, n == INT_MIN ? i64{1} << 31 : std::abs(static_cast<i64>(n)));
            seen.insert(static_cast<u32>(v));
        }
        if (n == 10 || n == -10) {
            EXPECT_EQ(seen.size(), 10u);
        }
        if (n == 1) {
            EXPECT_EQ(seen.size(), 1u);
        }
    }
}

// USEDEGREES answers the mode before the call and switches it, whether its
// result is locked or not; the next call's trigonometry follows it.
TEST(MathFunctions, DegreeModeSwitch) {
    IecImageBuilder b;
    u16 prev = b.Var(kQ4TypeBool), on = b.Var(kQ4TypeBool, 1), s = b.Var(kQ4TypeReal), x = b.Real(90.0f);
    TicAssembler t;
    t.Op("CALL_STF", {91, 2, prev, on}).Op("CALL_STF", {8, 2, s, x}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(*db.Data8(prev), 0);
    EXPECT_EQ(GetLeFloat(db.Data32(s)), 1.0f);
    Q4VM_Cycle(db.Db(), 2);
    EXPECT_EQ(*db.Data8(prev), 1);
    *db.Data8(on) = 0;
    *db.Lock(prev) = kQ4LockData8;
    *db.Data8(prev) = 9;
    Q4VM_Cycle(db.Db(), 3);
    EXPECT_EQ(*db.Data8(prev), 9);  // locked, but the mode changed all the same
    EXPECT_FALSE(GetLe16(db.Status() + kQ4StFlags) & kVmFlagDegrees);
    EXPECT_NEAR(GetLeFloat(db.Data32(s)), std::sin(90.0f), 1e-6);
}

}  // namespace
