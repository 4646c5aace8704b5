// REAL arithmetic and functions, integer functions, compares, range tests
// and conversion loads, each case a small program in both token widths:
// the rung from a contact, the operands loaded from registers, the
// instruction, its result stored into a register and the rung into a coil.
// Every case runs once behind a TRUE contact and once behind a FALSE one.
// REAL results are checked against numpy (float_oracle.py beside this
// file): bit for bit, except the C library's single-precision functions,
// which are allowed their one ulp.
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ladder/ladder_ops.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

constexpr u32 B(float f) { return std::bit_cast<u32>(f); }
constexpr float F(u32 b) { return std::bit_cast<float>(b); }
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

constexpr u32 kIn = lreg::R(10);  // operand i in R(10 + 2i) (and the next register)
constexpr u32 kRes = lreg::R(30);  // result (two registers for 32 bits)
constexpr u32 kGuard = lreg::R(40);  // the entry beneath the operands, stored last
constexpr u16 kSentinel = 0x5EED;

struct Operand {
    u32 v;
    bool wide;  // two stack entries
};

struct Outcome {
    u32 value;
    bool rung;
};

// Expected REAL results from numpy; nullopt when python3 or numpy is missing.
std::optional<std::vector<u32>> Oracle(const std::vector<std::pair<std::string, std::vector<float>>>& queries) {
    static int serial = 0;
    const std::string in =
        ::testing::TempDir() + "float_oracle_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".txt";
    {
        std::ofstream f(in);
        for (const auto& [name, ops] : queries) {
            f << name;
            for (float x : ops) {
                char hex[16];
                std::snprintf(hex, sizeof hex, " %08x", B(x));
                f << hex;
            }
            f << '\n';
        }
    }
    const char* python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    const std::string cmd =
        std::string(python) + " " PLC_SOURCE_DIR "/tests/ladder/float_oracle.py < " + in + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::vector<u32> out;
    unsigned v;
    while (std::fscanf(p, "%x", &v) == 1) out.push_back(v);
    const int status = pclose(p);
    std::remove(in.c_str());
    if (status != 0 || out.size() != queries.size()) return std::nullopt;
    return out;
}

#define ORACLE_OR_FAIL(var, queries)                                                                        \
    auto var##_ = Oracle(queries);                                                                          \
    ASSERT_TRUE(var##_.has_value()) << "the oracle gave no answer: python3 with numpy (python3-numpy) runs it"; \
    const std::vector<u32>& var = *var##_

class RealMath : public LadderTest {
protected:
    // Runs CONTL A (A = `rungBefore`), a sentinel entry, the loads of `in`
    // (second first), the instruction `name` with its register `operands`,
    // the store of its `resultWords` result entries (0, 1 or 2), the store
    // of the sentinel, OUT Y0 and END. The sentinel coming back shows that
    // the instruction popped and pushed exactly the entries it should.
    Outcome Run(const char* name, const std::vector<Operand>& in, int resultWords, bool rungBefore,
                std::initializer_list<u32> operands = {}) {
        LadderBuilder p = Prog();
        p.Contl(kA);
        p.Op("LDKW", {kSentinel});
        for (size_t i = 0; i < in.size(); ++i) {
            const u32 reg = kIn + 32 * static_cast<u32>(i);
            SetRegWord(reg, static_cast<u16>(in[i].v));
            SetRegWord(reg + 16, static_cast<u16>(in[i].v >> 16));
            p.Op(in[i].wide ? "LDD" : "LDW", {reg});
        }
        p.Op(name, operands);
        if (resultWords == 1) p.Op("STW", {kRes});
        if (resultWords == 2) p.Op("STD", {kRes});
        p.Op("STW", {kGuard});
        p.Out(kY0).End();
        SetRegWord(kRes, 0xDEAD);
        SetRegWord(kRes + 16, 0xBEEF);
        SetRegWord(kGuard, 0);
        SetRegBit(kA, rungBefore);
        SetRegBit(kY0, !rungBefore);
        EXPECT_EQ(Exec(p), kLadderEnd) << name;
        EXPECT_EQ(RegWord(kGuard), kSentinel) << name << ": word stack entries popped or pushed";
        const u32 high = resultWords == 2 ? u32{RegWord(kRes + 16)} << 16 : 0;
        return {RegWord(kRes) | high, RegBit(kY0)};
    }

    // Bit for bit, or within `ulps` units in the last place (same sign);
    // any NaN matches a NaN.
    void ExpectReal(u32 got, u32 want, u32 ulps, const std::string& what) {
        if (std::isnan(F(want))) {
            EXPECT_TRUE(std::isnan(F(got))) << what << ": got " << std::hex << got;
            return;
        }
        const bool near = got == want || (!std::isnan(F(got)) && (got ^ want) < 0x80000000u &&
                                          (got > want ? got - want : want - got) <= ulps);
        EXPECT_TRUE(near) << what << ": got " << F(got) << " (" << got << "), want " << F(want) << " (" << want
                          << ")";
    }
};

std::string Describe(const char* name, const std::vector<float>& in) {
    std::string s = name;
    for (float x : in) s += " " + std::to_string(x) + " (" + std::to_string(B(x)) + ")";
    return s;
}

// REAL arithmetic, functions and angle conversions. `ok`: the rung stays
// TRUE behind a TRUE contact. `stored`: the value the instruction stores
// where it is not the function's value; otherwise numpy's.
struct RealCase {
    const char* name;
    std::vector<float> in;  // second, top
    bool ok;
    std::optional<u32> stored = std::nullopt;
};

const RealCase kRealCases[] = {
    {"ADDR", {1.5f, 2.25f}, true},
    {"ADDR", {0.1f, 0.2f}, true},
    {"ADDR", {3.0e38f, 3.0e38f}, false},  // +infinity
    {"ADDR", {kInf, -kInf}, false},
    {"ADDR", {kNaN, 1.0f}, false},
    {"SUBR", {-3.0e38f, 3.0e38f}, false},  // -infinity
    {"SUBR", {1.0f, 1.0000001f}, true},
    {"SUBR", {kInf, 1.0f}, false},
    {"MULR", {1e-20f, 1e-20f}, true},  // a subnormal result is finite
    {"MULR", {1e20f, -1e20f}, false},
    {"MULR", {kInf, 0.0f}, false},
    {"DIVR", {7.0f, 3.0f}, true},
    {"DIVR", {-1e-30f, 1e10f}, true},
    {"DIVR", {1.0f, 1e-39f}, false},  // overflows
    {"DIVR", {1.0f, kInf}, false},
    // Division by zero: no division, the dividend stays.
    {"DIVR", {5.0f, 0.0f}, false, B(5.0f)},
    {"DIVR", {-5.0f, -0.0f}, false, B(-5.0f)},
    {"DIVR", {kNaN, 0.0f}, false, B(kNaN)},
    {"DEG2RAD", {180.0f}, true},
    {"DEG2RAD", {-45.5f}, true},
    {"DEG2RAD", {3.0e38f}, true},
    {"DEG2RAD", {kInf}, false},
    {"RAD2DEG", {1.0f}, true},
    {"RAD2DEG", {-3.1415927f}, true},
    {"RAD2DEG", {kNaN}, false},
    {"RAD2DEG", {3.0e38f}, false},  // overflows to +infinity
    {"ABSR", {-2.5f}, true},
    {"ABSR", {-0.0f}, true},
    {"ABSR", {-kInf}, false},
    {"ABSR", {F(0xFFC00001)}, false, 0x7FC00001},  // only the sign bit changes
    {"MODR", {7.5f, 2.0f}, true},
    {"MODR", {-7.5f, 2.0f}, true},
    {"MODR", {1e10f, 3.3f}, true},
    {"MODR", {5.0f, 0.0f}, false},  // NaN stored
    {"MODR", {kInf, 2.0f}, false},
    {"MODR", {5.0f, kInf}, false},
    {"SQRTR", {2.0f}, true},
    {"SQRTR", {0.0f}, true},
    {"SQRTR", {1e-45f}, true},
    {"SQRTR", {kInf}, false},
    // A set sign bit: +infinity, no root.
    {"SQRTR", {-4.0f}, false, 0x7F800000},
    {"SQRTR", {-0.0f}, false, 0x7F800000},
    {"SQRTR", {F(0xFFC00000)}, false, 0x7F800000},
    {"POWR", {2.0f, 10.0f}, true},
    {"POWR", {2.0f, 0.5f}, true},
    {"POWR", {-2.0f, 3.0f}, true},
    {"POWR", {1.0001f, 2000.0f}, true},
    {"POWR", {-8.0f, 0.33333334f}, false},  // NaN
    {"POWR", {10.0f, 39.0f}, false},
    {"POWR", {0.0f, -1.0f}, false},
    {"POWR", {kNaN, 0.0f}, false},  // 1.0, but the operand is not finite
    {"LOGR", {1000.0f}, true},
    {"LOGR", {2.0f}, true},
    {"LOGR", {1e-45f}, true},
    {"LOGR", {0.0f}, false},
    {"LOGR", {-1.0f}, false},
    {"EXPR", {1.0f}, true},
    {"EXPR", {-20.5f}, true},
    {"EXPR", {88.0f}, true},
    {"EXPR", {88.5f}, false},  // finite, but above the limit
    {"EXPR", {89.0f}, false},
    {"EXPR", {-110.0f}, true},
    {"EXPR", {-kInf}, false},
    {"LNR", {1.0f}, true},
    {"LNR", {0.5f}, true},
    {"LNR", {3.0e38f}, true},
    {"LNR", {0.0f}, false},
    {"LNR", {-0.0f}, false},
    {"SINR", {0.5f}, true},
    {"SINR", {3.1415927f}, true},
    {"SINR", {1e6f}, true},
    {"SINR", {kInf}, false},
    {"COSR", {1.0f}, true},
    {"COSR", {-2.0f}, true},
    {"COSR", {kNaN}, false},
    {"TANR", {0.7853982f}, true},
    {"TANR", {1.5707964f}, true},
    {"ASINR", {0.5f}, true},
    {"ASINR", {1.0f}, true},
    {"ASINR", {-1.0f}, true},
    {"ASINR", {1.0000001f}, false},
    {"ASINR", {2.0f}, false},
    {"ACOSR", {0.3f}, true},
    {"ACOSR", {-1.0f}, true},
    {"ACOSR", {-1.0000001f}, false},
    {"ATANR", {-1.0f}, true},
    {"ATANR", {1e30f}, true},
    {"ATANR", {kInf}, false},
};

// The single-precision functions of the C library are accurate to within
// an ulp, not correctly rounded (tanf near pi/2 is one off), while the
// oracle gives the correctly rounded value; everything else is exact.
u32 LibraryUlps(const char* name) {
    for (const char* f : {"LOGR", "LNR", "SINR", "COSR", "TANR", "ASINR", "ACOSR", "ATANR"})
        if (std::string_view(name) == f) return 1;
    return 0;
}

TEST_P(RealMath, RealArithmeticAndFunctionsAgreeWithNumpy) {
    std::vector<std::pair<std::string, std::vector<float>>> queries;
    for (const RealCase& c : kRealCases) queries.push_back({c.name, c.in});
    ORACLE_OR_FAIL(want, queries);
    for (size_t i = 0; i < std::size(kRealCases); ++i) {
        const RealCase& c = kRealCases[i];
        const std::string what = Describe(c.name, c.in);
        std::vector<Operand> in;
        for (float x : c.in) in.push_back({B(x), true});
        for (bool before : {true, false}) {
            const Outcome o = Run(c.name, in, 2, before);
            ExpectReal(o.value, c.stored ? *c.stored : want[i], c.stored ? 0 : LibraryUlps(c.name), what);
            EXPECT_EQ(o.rung, before && c.ok) << what << (before ? "" : ", FALSE contact");
        }
    }
}

// Integer functions.
struct IntCase {
    const char* name;
    bool wide;
    std::vector<i32> in;
    u32 stored;
    bool ok;
};

const IntCase kIntCases[] = {
    {"ABSI", false, {-5}, 5, true},
    {"ABSI", false, {7}, 7, true},
    {"ABSI", false, {-32768}, 0x8000, true},
    {"ABSDI", true, {-100000}, 100000, true},
    {"ABSDI", true, {std::numeric_limits<i32>::min()}, 0x80000000, true},
    {"MODI", false, {7, 3}, 1, true},
    {"MODI", false, {-7, 3}, 0xFFFF, true},
    {"MODI", false, {7, -3}, 1, true},
    {"MODI", false, {-32768, -1}, 0, true},
    {"MODI", false, {5, 0}, 5, false},
    {"MODDI", true, {-1000000007, 10}, static_cast<u32>(-7), true},
    {"MODDI", true, {1000000007, -10}, 7, true},
    {"MODDI", true, {std::numeric_limits<i32>::min(), -1}, 0, true},
    {"MODDI", true, {123456789, 0}, 123456789, false},
    {"SQRTI", false, {0}, 0, true},
    {"SQRTI", false, {255}, 15, true},
    {"SQRTI", false, {256}, 16, true},
    {"SQRTI", false, {32767}, 181, true},
    {"SQRTI", false, {-1}, 255, false},  // the root of 0xFFFF
    {"SQRTI", false, {-32768}, 181, false},
    {"SQRTDI", true, {1000000}, 1000, true},
    {"SQRTDI", true, {0x7FFFFFFF}, 46340, true},
    {"SQRTDI", true, {-1}, 65535, false},
    {"SQRTDI", true, {std::numeric_limits<i32>::min()}, 46340, false},
};

TEST_P(RealMath, IntegerFunctions) {
    for (const IntCase& c : kIntCases) {
        std::vector<Operand> in;
        for (i32 v : c.in) in.push_back({static_cast<u32>(v), c.wide});
        for (bool before : {true, false}) {
            const Outcome o = Run(c.name, in, c.wide ? 2 : 1, before);
            SCOPED_TRACE(::testing::Message() << c.name << " " << c.in[0] << (c.in.size() > 1 ? " " : "")
                                              << (c.in.size() > 1 ? std::to_string(c.in[1]) : "")
                                              << (before ? "" : ", FALSE contact"));
            EXPECT_EQ(o.value, c.stored);
            EXPECT_EQ(o.rung, before && c.ok);
        }
    }
}

// Compares. Replace kind: the rung becomes the relation whatever it was;
// AND kind: a relation that does not hold makes it FALSE, one that holds
// leaves it.
enum class Width { k16, k32 };
struct CompareCase {
    const char* name;
    Width width;
    bool replace;
    u32 s, t;
    bool holds;
};

constexpr auto W16 = Width::k16;
constexpr auto W32 = Width::k32;

const CompareCase kCompares[] = {
    {"EQI", W16, true, 5, 5, true},
    {"EQI", W16, true, 5, 0xFFFB, false},
    {"NEI", W16, true, 1, 2, true},
    {"NEI", W16, true, 0x8000, 0x8000, false},
    {"LTI", W16, true, 0xFFFF, 0, true},  // -1 < 0
    {"LTI", W16, true, 0x7FFF, 0x8000, false},
    {"GTI", W16, true, 0x8000, 1, false},
    {"GTI", W16, true, 2, 1, true},
    {"LEI", W16, true, 3, 3, true},
    {"LEI", W16, true, 4, 3, false},
    {"GEI", W16, true, 0xFFFE, 0xFFFF, false},
    {"GEI", W16, true, 0, 0xFFFF, true},
    {"EQDI", W32, false, 0x12345678, 0x12345678, true},
    {"EQDI", W32, false, 0x12345678, 0x12345679, false},
    {"NEDI", W32, false, 0x10000, 0, true},  // differs in the high word only
    {"NEDI", W32, false, 7, 7, false},
    {"LTDI", W32, false, 0xFFFFFFFF, 0, true},
    {"LTDI", W32, false, 0, 0x80000000, false},
    {"GTDI", W32, false, 0x80000000, 1, false},
    {"GTDI", W32, false, 0x7FFFFFFF, 0x7FFFFFFE, true},
    {"LEDI", W32, false, 5, 5, true},
    {"LEDI", W32, false, 6, 5, false},
    {"GEDI", W32, false, 0xFFFFFFFE, 0xFFFFFFFF, false},
    {"GEDI", W32, false, 5, 5, true},
    {"EQR", W32, false, B(1.0f), B(1.0f), true},
    {"EQR", W32, false, B(0.0f), B(-0.0f), true},
    {"EQR", W32, false, B(kNaN), B(kNaN), false},
    {"EQR", W32, false, B(1.0f), B(1.0000001f), false},
    {"NER", W32, false, B(kNaN), B(1.0f), true},  // the only relation a NaN satisfies
    {"NER", W32, false, B(2.0f), B(2.0f), false},
    {"LTR", W32, false, B(-kInf), B(-3e38f), true},
    {"LTR", W32, false, B(kNaN), B(1.0f), false},
    {"LTR", W32, false, B(-1.0f), B(-2.0f), false},
    {"GTR", W32, false, B(kInf), B(3e38f), true},
    {"GTR", W32, false, B(1.0f), B(kNaN), false},
    {"LER", W32, false, B(2.0f), B(2.0f), true},
    {"LER", W32, false, B(kNaN), B(kInf), false},
    {"GER", W32, false, B(-0.0f), B(0.0f), true},
    {"GER", W32, false, B(kNaN), B(kNaN), false},
    {"GTB", W16, true, 0x01FF, 0x0200, true},  // low bytes only
    {"GTB", W16, true, 0x0080, 0x0080, false},
    {"GEB", W16, true, 0x0080, 0x0081, false},
    {"GEB", W16, true, 0xFF00, 0x0000, true},
    {"GTUW", W16, true, 0x8000, 0x7FFF, true},
    {"GTUW", W16, true, 5, 5, false},
    {"GEUW", W16, true, 0xFFFF, 0xFFFF, true},
    {"GEUW", W16, true, 0, 1, false},
    {"GTUD", W32, false, 0x80000000, 1, true},
    {"GTUD", W32, false, 1, 1, false},
    {"GEUD", W32, false, 0, 1, false},
    {"GEUD", W32, false, 0xFFFFFFFF, 0xFFFFFFFF, true},
    {"EQSB", W16, true, 0x12FF, 0x34FF, true},
    {"EQSB", W16, true, 0x00FF, 0x007F, false},
    {"GTSB", W16, true, 0x0001, 0x00FF, true},  // 1 > -1
    {"GTSB", W16, true, 0x0080, 0x007F, false},
    {"GESB", W16, true, 0x0080, 0x007F, false},  // -128 >= 127
    {"GESB", W16, true, 0x3381, 0x4481, true},
};

TEST_P(RealMath, CompareKinds) {
    for (const CompareCase& c : kCompares) {
        const bool wide = c.width == Width::k32;
        for (bool before : {true, false}) {
            SCOPED_TRACE(::testing::Message() << c.name << " " << std::hex << c.s << " " << c.t
                                              << (before ? "" : ", FALSE contact"));
            const Outcome o = Run(c.name, {{c.s, wide}, {c.t, wide}}, 0, before);
            EXPECT_EQ(o.rung, c.replace ? c.holds : c.holds && before);
        }
    }
}

// Range tests: low, high, v pushed in that order; the result replaces the
// rung. low >= high tests the range that wraps around.
struct RangeCase {
    const char* name;
    Width width;
    u32 low, high, v;
    bool in;
};

constexpr u32 I(i32 v) { return static_cast<u32>(v); }

const RangeCase kRanges[] = {
    {"RANGEI", W16, 1, 10, 5, true},
    {"RANGEI", W16, 1, 10, 1, true},
    {"RANGEI", W16, 1, 10, 10, true},
    {"RANGEI", W16, 1, 10, 11, false},
    {"RANGEI", W16, 1, 10, 0, false},
    {"RANGEI", W16, 0xFFF6, 0xFFFF, 0xFFFB, true},  // -10..-1 holds -5
    {"RANGEI", W16, 0xFFF6, 0xFFFF, 5, false},
    {"RANGEI", W16, 10, 5, 7, false},
    {"RANGEI", W16, 10, 5, 12, true},
    {"RANGEI", W16, 10, 5, 3, true},
    {"RANGEI", W16, 10, 5, 10, true},
    {"RANGEI", W16, 10, 5, 5, true},
    {"RANGEI", W16, 7, 7, 0x8000, true},
    {"RANGEI", W16, 7, 7, 7, true},
    {"RANGEDI", W32, I(-100000), 100000, 0, true},
    {"RANGEDI", W32, I(-100000), 100000, 100001, false},
    {"RANGEDI", W32, I(-100000), 100000, 0x80000000, false},
    {"RANGEDI", W32, 100000, I(-100000), 0, false},
    {"RANGEDI", W32, 100000, I(-100000), 0x7FFFFFFF, true},
    {"RANGEDI", W32, 0x10000, 0x10000, 1, true},
    {"RANGER", W32, B(0.5f), B(1.5f), B(1.0f), true},
    {"RANGER", W32, B(0.5f), B(1.5f), B(1.5000001f), false},
    {"RANGER", W32, B(0.5f), B(1.5f), B(kNaN), false},
    {"RANGER", W32, B(-kInf), B(kInf), B(3e38f), true},
    {"RANGER", W32, B(1.5f), B(0.5f), B(1.0f), false},
    {"RANGER", W32, B(1.5f), B(0.5f), B(-kInf), true},
    {"RANGER", W32, B(2.0f), B(2.0f), B(-2.0f), true},
};

TEST_P(RealMath, RangeTestsReplaceTheRung) {
    for (const RangeCase& c : kRanges) {
        const bool wide = c.width == Width::k32;
        for (bool before : {true, false}) {
            SCOPED_TRACE(::testing::Message() << c.name << " " << std::hex << c.low << " " << c.high << " " << c.v
                                              << (before ? "" : ", FALSE contact"));
            const Outcome o = Run(c.name, {{c.low, wide}, {c.high, wide}, {c.v, wide}}, 0, before);
            EXPECT_EQ(o.rung, c.in);
        }
    }
}

// Conversion loads: the source register, the value pushed, its width and
// whether the source lies in the accepted range.
enum class Src { kByte, kWord, kPair };
struct ConvCase {
    const char* name;
    Src src;
    u32 source;
    u32 pushed;
    int words;
    bool ok;
};

constexpr auto kB8 = Src::kByte;
constexpr auto kW = Src::kWord;
constexpr auto kP = Src::kPair;

const ConvCase kConversions[] = {
    {"CVTUB2W", kB8, 0xFF, 0x00FF, 1, true},
    {"CVTUB2UW", kB8, 0x80, 0x0080, 1, true},
    {"CVTUB2D", kB8, 0xFF, 0xFF, 2, true},
    {"CVTUB2UD", kB8, 0x80, 0x80, 2, true},
    {"CVTUB2R", kB8, 0xFF, B(255.0f), 2, true},
    {"CVTSB2W", kB8, 0x80, 0xFF80, 1, true},
    {"CVTSB2W", kB8, 0x7F, 0x007F, 1, true},
    {"CVTSB2D", kB8, 0x80, 0xFFFFFF80, 2, true},
    {"CVTSB2R", kB8, 0x80, B(-128.0f), 2, true},
    {"CVTSB2UW", kB8, 0x7F, 0x7F, 1, true},
    {"CVTSB2UW", kB8, 0x80, 0, 1, false},
    {"CVTSB2UD", kB8, 0x7F, 0x7F, 2, true},
    {"CVTSB2UD", kB8, 0xFF, 0, 2, false},
    {"CVTUW2SB", kW, 127, 127, 1, true},
    {"CVTUW2SB", kW, 128, 0, 1, false},
    {"CVTUW2SB", kW, 200, 0, 1, false},
    {"CVTUW2UB", kW, 255, 255, 1, true},
    {"CVTUW2UB", kW, 256, 0, 1, false},
    {"CVTUW2D", kW, 0xFFFF, 0xFFFF, 2, true},
    {"CVTUW2UD", kW, 0x8000, 0x8000, 2, true},
    {"CVTUW2R", kW, 0xFFFF, B(65535.0f), 2, true},
    {"CVTW2UB", kW, 255, 255, 1, true},
    {"CVTW2UB", kW, 0xFFFF, 0, 1, false},
    {"CVTW2UB", kW, 256, 0, 1, false},
    {"CVTW2UD", kW, 32767, 32767, 2, true},
    {"CVTW2UD", kW, 0x8000, 0, 2, false},
    {"CVTW2SB", kW, 0xFF80, 0xFF80, 1, true},
    {"CVTW2SB", kW, 127, 127, 1, true},
    {"CVTW2SB", kW, 128, 0, 1, false},
    {"CVTW2SB", kW, 0xFF7F, 0, 1, false},
    {"CVTUD2SB", kP, 127, 127, 1, true},
    {"CVTUD2SB", kP, 128, 0, 1, false},
    {"CVTUD2SB", kP, 0x80000000, 0, 1, false},
    {"CVTUD2UB", kP, 255, 255, 1, true},
    {"CVTUD2UB", kP, 0x100, 0, 1, false},
    {"CVTD2UB", kP, 255, 255, 1, true},
    {"CVTD2UB", kP, 0xFFFFFFFF, 0, 1, false},
    {"CVTUD2UW", kP, 65535, 65535, 1, true},
    {"CVTUD2UW", kP, 65536, 0, 1, false},
    {"CVTD2UW", kP, 0, 0, 1, true},
    {"CVTD2UW", kP, 0x10000, 0, 1, false},
    {"CVTD2UW", kP, 0xFFFFFFFF, 0, 1, false},
    {"CVTD2W", kP, I(-32768), 0x8000, 1, true},
    {"CVTD2W", kP, 32767, 0x7FFF, 1, true},
    {"CVTD2W", kP, 32768, 0, 1, false},
    {"CVTD2W", kP, I(-32769), 0, 1, false},
    {"CVTD2SB", kP, I(-128), 0xFF80, 1, true},
    {"CVTD2SB", kP, 127, 127, 1, true},
    {"CVTD2SB", kP, 128, 0, 1, false},
    {"CVTD2SB", kP, I(-129), 0, 1, false},
    {"CVTUD2R", kP, 16777217, B(16777216.0f), 2, true},  // to nearest, ties to even
    {"CVTUD2R", kP, 16777219, B(16777220.0f), 2, true},
    {"CVTUD2R", kP, 0xFFFFFFFF, B(4294967296.0f), 2, true},
    // From REAL: truncated toward zero; the converted value is pushed even
    // when out of range.
    {"CVTR2UB", kP, B(255.9f), 255, 1, true},
    {"CVTR2UB", kP, B(-0.9f), 0, 1, true},
    {"CVTR2UB", kP, B(300.7f), 300, 1, false},
    {"CVTR2UB", kP, B(-1.5f), 0xFFFF, 1, false},
    {"CVTR2UB", kP, B(kNaN), 0, 1, false},
    {"CVTR2UB", kP, B(kInf), 0xFFFF, 1, false},  // saturated 0x7FFFFFFF
    {"CVTR2UW", kP, B(65535.5f), 0xFFFF, 1, true},
    {"CVTR2UW", kP, B(65536.0f), 0, 1, false},
    {"CVTR2UW", kP, B(1e10f), 0xFFFF, 1, false},
    {"CVTR2UW", kP, B(-kInf), 0, 1, false},  // saturated 0x80000000
    {"CVTR2SB", kP, B(-128.9f), 0xFF80, 1, true},
    {"CVTR2SB", kP, B(127.5f), 127, 1, true},
    {"CVTR2SB", kP, B(128.0f), 128, 1, false},
    {"CVTR2SB", kP, B(-3e9f), 0, 1, false},
    {"CVTR2SB", kP, B(kInf), 0xFFFF, 1, false},
    {"CVTR2SB", kP, B(kNaN), 0, 1, true},  // no finiteness test: a NaN converts to 0
    {"CVTR2UD", kP, B(0.0f), 0, 2, true},
    {"CVTR2UD", kP, B(-0.0f), 0, 2, true},
    {"CVTR2UD", kP, B(0.99f), 0, 2, true},
    {"CVTR2UD", kP, B(3e9f), 3000000000u, 2, true},
    {"CVTR2UD", kP, B(4294967040.0f), 0xFFFFFF00, 2, true},  // the largest REAL accepted
    {"CVTR2UD", kP, B(4294967296.0f), 0xFFFFFFFF, 2, false},
    {"CVTR2UD", kP, B(1e20f), 0xFFFFFFFF, 2, false},
    {"CVTR2UD", kP, B(-0.5f), 0, 2, false},
    {"CVTR2UD", kP, B(-1.0f), 0, 2, false},
    {"CVTR2UD", kP, B(kNaN), 0, 2, false},
    {"CVTR2UD", kP, B(kInf), 0xFFFFFFFF, 2, false},
};

TEST_P(RealMath, ConversionLoads) {
    for (const ConvCase& c : kConversions) {
        // Neighbouring bytes and registers hold noise: a byte source is the
        // low byte of its register, a word source has a register after it.
        switch (c.src) {
            case Src::kByte:
                SetRegWord(kIn, static_cast<u16>(0xA500 | c.source));
                SetRegWord(kIn + 16, 0x5A5A);
                break;
            case Src::kWord:
                SetRegWord(kIn, static_cast<u16>(c.source));
                SetRegWord(kIn + 16, 0x5A5A);
                break;
            case Src::kPair:
                SetRegWord(kIn, static_cast<u16>(c.source));
                SetRegWord(kIn + 16, static_cast<u16>(c.source >> 16));
                break;
        }
        for (bool before : {true, false}) {
            SCOPED_TRACE(::testing::Message() << c.name << " " << std::hex << c.source
                                              << (before ? "" : ", FALSE contact"));
            const Outcome o = Run(c.name, {}, c.words, before, {kIn});
            EXPECT_EQ(o.value, c.pushed);
            EXPECT_EQ(o.rung, before && c.ok);
        }
    }
}

// Sources beyond the first 4,032 registers: far-bank escapes with 16-bit
// tokens, plain addresses with 32-bit ones.
TEST_P(RealMath, ConversionFromFarRegisters) {
    constexpr u32 kByte = lreg::Bit(16300, 0);  // second far bank
    constexpr u32 kWord = lreg::Word(4100);     // first far bank
    constexpr u32 kPair = lreg::Word(8200);     // second far bank
    plc_reg[16300] = 0x80;
    SetRegWord(kWord, 0xFF80);
    SetRegWord(kPair, static_cast<u16>(B(-2.5e5f)));
    SetRegWord(kPair + 16, static_cast<u16>(B(-2.5e5f) >> 16));
    Outcome o = Run("CVTSB2D", {}, 2, true, {kByte});
    EXPECT_EQ(o.value, 0xFFFFFF80u);
    o = Run("CVTW2SB", {}, 1, true, {kWord});
    EXPECT_EQ(o.value, 0xFF80u);
    EXPECT_TRUE(o.rung);
    o = Run("CVTR2UW", {}, 1, true, {kPair});
    EXPECT_EQ(o.value, static_cast<u16>(-250000));
    EXPECT_FALSE(o.rung);
}

LADDER_BOTH_WIDTHS(RealMath);

}  // namespace
