// Bit logic, shifts, rotates and integer arithmetic of the ladder
// interpreter, in both token widths. Each case pushes its operands above a
// marker word, runs one instruction on a TRUE (or FALSE) rung, stores every
// entry it expects back and then the marker, and ends the rung in a coil:
// the marker proves the instruction left the stack at the expected depth,
// the coil shows the rung value after it.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "ladder/intmath.h"
#include "ladder/ladder_check.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

constexpr u16 kMarker = 0xBEEF;
constexpr u32 kBelow = lreg::R(40);  // receives the marker
constexpr i64 kMin32 = std::numeric_limits<i32>::min();
constexpr i64 kMax32 = std::numeric_limits<i32>::max();

// A word-stack value: one entry or a 32-bit pair.
struct V {
    u32 v;
    bool wide;
};
V W(i64 v) { return {static_cast<u32>(v) & 0xFFFFu, false}; }
V D(i64 v) { return {static_cast<u32>(v), true}; }

struct Outcome {
    std::vector<V> out;
    bool rung;
};

u16 Opcode(const char* name) {
    const LadderOp* op = LadderOp_Find(name);
    EXPECT_NE(op, nullptr) << name;
    return op != nullptr ? op->code : 0;
}
bool Typed(u16 op) { return op >= 289 && op <= 292; }

std::string Show(const std::vector<V>& vs) {
    std::string s;
    char b[24];
    for (const V& x : vs) {
        std::snprintf(b, sizeof b, x.wide ? " D%08X" : " W%04X", x.v);
        s += b;
    }
    return s;
}

class IntMath : public LadderTest {
protected:
    static u32 Slot(size_t i) { return lreg::R(static_cast<u32>(10 + 2 * i)); }

    // Runs `name` (with `type` for the unsigned instructions) on `in` and
    // checks the entries it leaves, the marker below them and the rung.
    void Expect(const char* name, const std::vector<V>& in, const Outcome& want, u16 type = 0, bool rungIn = true) {
        const u16 op = Opcode(name);
        SCOPED_TRACE(::testing::Message() << name << (Typed(op) ? " type " + std::to_string(type) : "")
                                          << " on" << Show(in) << (rungIn ? "" : " (rung FALSE)"));
        LadderBuilder p = Prog();
        p.Op("LDKW", {kMarker});
        for (const V& x : in) p.Op(x.wide ? "LDKD" : "LDKW", {x.v});
        p.Contl(kOn);
        if (!rungIn) p.SetFalse();
        p.Raw(op);
        if (Typed(op)) p.Raw(type);
        for (size_t i = want.out.size(); i-- > 0;) p.Op(want.out[i].wide ? "STD" : "STW", {Slot(i)});
        p.Op("STW", {kBelow});
        p.Out(kY0).End();
        for (size_t i = 0; i < want.out.size(); ++i) {
            SetRegWord(Slot(i), 0xA5A5);
            SetRegWord(Slot(i) + 16, 0xA5A5);
        }
        SetRegWord(kBelow, 0);
        SetRegBit(kY0, !want.rung);
        ASSERT_EQ(Exec(p), kLadderEnd) << LadderCheck_Text(Ladder_LastCheck().status);
        std::vector<V> got;
        for (size_t i = 0; i < want.out.size(); ++i) {
            u32 v = RegWord(Slot(i));
            if (want.out[i].wide) v |= static_cast<u32>(RegWord(Slot(i) + 16)) << 16;
            got.push_back({v, want.out[i].wide});
        }
        EXPECT_EQ(Show(got), Show(want.out));
        EXPECT_EQ(RegWord(kBelow), kMarker) << "stack depth after the instruction";
        EXPECT_EQ(RegBit(kY0), want.rung) << "rung value";
    }
};

struct Case {
    const char* name;
    std::vector<V> in;
    std::vector<V> out;
    bool rung;
    u16 type = 0;
    bool rungIn = true;
};

// Worked cases: the limits, overflow, zero divisors and the byte forms'
// untouched high byte.
const std::vector<Case> kCases = {
    // Bit logic; NOTW and NOTD leave the entries below alone.
    {"ANDW", {W(0xF0F0), W(0xFF00)}, {W(0xF000)}, true},
    {"ORW", {W(0xF0F0), W(0x0F01)}, {W(0xFFF1)}, true},
    {"XORW", {W(0xF0F0), W(0xFF00)}, {W(0x0FF0)}, true},
    {"NOTW", {W(0x1234), W(0x00FF)}, {W(0x1234), W(0xFF00)}, true},
    {"ANDD", {D(0xF0F0F0F0), D(0xFF00FF00)}, {D(0xF000F000)}, true},
    {"ORD", {D(0x12340000), D(0x00005678)}, {D(0x12345678)}, true},
    {"XORD", {D(0xFFFF0000), D(0x0F0F0F0F)}, {D(0xF0F00F0F)}, true},
    {"NOTD", {W(0x1234), D(0x0000FFFF)}, {W(0x1234), D(0xFFFF0000)}, true},
    // INT: the wrapped result is kept and the rung goes FALSE.
    {"ADDI", {W(30000), W(10000)}, {W(-25536)}, false},
    {"ADDI", {W(-30000), W(-2768)}, {W(-32768)}, true},
    {"SUBI", {W(-32768), W(1)}, {W(32767)}, false},
    {"MULI", {W(256), W(128)}, {W(-32768)}, false},
    {"MULI", {W(-256), W(128)}, {W(-32768)}, true},
    {"DIVI", {W(-7), W(2)}, {W(-3)}, true},
    {"DIVI", {W(1234), W(0)}, {W(1234)}, false},
    {"DIVI", {W(-32768), W(-1)}, {W(-32768)}, true},
    // DINT.
    {"ADDDI", {D(kMax32), D(1)}, {D(kMin32)}, false},
    {"SUBDI", {D(kMin32), D(1)}, {D(kMax32)}, false},
    {"SUBDI", {D(-1), D(kMax32)}, {D(kMin32)}, true},
    {"MULDI", {D(-1), D(kMin32)}, {D(kMin32)}, false},
    {"MULDI", {D(kMin32), D(-1)}, {D(kMin32)}, false},
    {"MULDI", {D(65536), D(32768)}, {D(kMin32)}, false},
    {"MULDI", {D(-65536), D(32768)}, {D(kMin32)}, true},
    {"MULDI", {D(0), D(kMin32)}, {D(0)}, true},
    {"DIVDI", {D(-7), D(2)}, {D(-3)}, true},
    {"DIVDI", {D(123456789), D(0)}, {D(123456789)}, false},
    {"DIVDI", {D(kMin32), D(-1)}, {D(kMin32)}, true},
    // Signed bytes: only the low bytes count; the result is sign-extended,
    // except DIVSB, which writes only the low byte.
    {"ADDSB", {W(0xAA7F), W(0x5501)}, {W(0xFF80)}, false},
    {"ADDSB", {W(0x00FF), W(0x77FE)}, {W(0xFFFD)}, true},
    {"SUBSB", {W(0x0080), W(0x0001)}, {W(0x007F)}, false},
    {"MULSB", {W(0x00F0), W(0x0008)}, {W(0xFF80)}, true},
    {"MULSB", {W(0x0080), W(0x0080)}, {W(0x0000)}, false},
    {"DIVSB", {W(0x12F9), W(0x0002)}, {W(0x12FD)}, true},
    {"DIVSB", {W(0x3480), W(0xFFFF)}, {W(0x3480)}, true},
    {"DIVSB", {W(0x3405), W(0x0100)}, {W(0x3405)}, false},
    // Unsigned.
    {"MULB", {W(0x1210), W(0x3410)}, {W(0x0000)}, false},
    {"MULB", {W(0x120F), W(0x3411)}, {W(0x00FF)}, true},
    {"DIVB", {W(0x12C8), W(0x3407)}, {W(0x121C)}, true},
    {"DIVB", {W(0x12C8), W(0x3400)}, {W(0x12C8)}, false},
    {"MULUW", {W(0xFFFF), W(0xFFFF)}, {W(0x0001)}, false},
    {"MULUW", {W(0x8000), W(1)}, {W(0x8000)}, true},
    {"DIVUW", {W(0xFFFF), W(2)}, {W(0x7FFF)}, true},
    {"DIVUW", {W(9), W(0)}, {W(9)}, false},
    {"MULUD", {D(0xFFFFFFFF), D(0xFFFFFFFF)}, {D(1)}, false},
    {"MULUD", {D(0x10000), D(0xFFFF)}, {D(0xFFFF0000)}, true},
    {"DIVUD", {D(0xFFFFFFFF), D(16)}, {D(0x0FFFFFFF)}, true},
    {"DIVUD", {D(77), D(0)}, {D(77)}, false},
    // Byte shifts write only the low byte; SHLB and SHRB make the rung TRUE,
    // the byte rotates leave it as it was.
    {"SHLB", {W(0x12C3), W(2)}, {W(0x120C)}, true, 0, false},
    {"SHRB", {W(0x12C3), W(0x0102)}, {W(0x1230)}, true, 0, false},
    {"SHLB", {W(0x12C3), W(8)}, {W(0x1200)}, true},
    {"ROLB", {W(0x12C3), W(1)}, {W(0x1287)}, true},
    {"RORB", {W(0x12C3), W(9)}, {W(0x12E1)}, false, 0, false},
    // Type 32: 16-bit, type 160: 32-bit, anything else only consumes the type word.
    {"ADDU", {W(0xFFFF), W(1)}, {W(0)}, false, 32},
    {"ADDU", {W(40000), W(25535)}, {W(65535)}, true, 32},
    {"SUBU", {W(1), W(2)}, {W(0xFFFF)}, false, 32},
    {"SUBU", {W(50000), W(50000)}, {W(0)}, true, 32},
    {"MODU", {W(65535), W(10)}, {W(5)}, true, 32},
    {"MODU", {W(65535), W(0)}, {W(65535)}, false, 32},
    {"SQRTU", {W(7), W(65535)}, {W(7), W(255)}, true, 32},
    {"SQRTU", {W(7), W(24)}, {W(7), W(4)}, true, 32},
    {"ADDU", {D(0xFFFFFFFF), D(1)}, {D(0)}, false, 160},
    {"ADDU", {D(0x80000000), D(0x7FFFFFFF)}, {D(0xFFFFFFFF)}, true, 160},
    {"SUBU", {D(0), D(1)}, {D(0xFFFFFFFF)}, false, 160},
    {"MODU", {D(0xFFFFFFFF), D(0x10000)}, {D(0xFFFF)}, true, 160},
    {"MODU", {D(5), D(0)}, {D(5)}, false, 160},
    {"SQRTU", {W(7), D(0xFFFFFFFF)}, {W(7), D(65535)}, true, 160},
    {"SQRTU", {D(0xFFFE0000)}, {D(65534)}, true, 160},
    {"ADDU", {W(5), W(7)}, {W(5), W(7)}, true, 48},
    {"MODU", {W(5), W(0)}, {W(5), W(0)}, true, 0},
    {"SQRTU", {}, {}, true, 0xFFFF},
};

TEST_P(IntMath, WorkedCases) {
    for (const Case& c : kCases) Expect(c.name, c.in, {c.out, c.rung}, c.type, c.rungIn);
}

// The same cases on a FALSE rung: the results do not depend on the rung,
// and only SHLB and SHRB write it TRUE.
TEST_P(IntMath, OnlyTheByteShiftsMakeAFalseRungTrue) {
    for (const Case& c : kCases) {
        const std::string name = c.name;
        Expect(c.name, c.in, {c.out, name == "SHLB" || name == "SHRB"}, c.type, false);
    }
}

// Reference of the arithmetic in plain 64-bit arithmetic: the exact result,
// its range and the width of the stored value.
Outcome Reference(const std::string& n, u32 a, u32 b) {
    const i64 sa16 = static_cast<i16>(a), sb16 = static_cast<i16>(b);
    const i64 sa8 = static_cast<i8>(a & 0xFF), sb8 = static_cast<i8>(b & 0xFF);
    const i64 sa32 = static_cast<i32>(a), sb32 = static_cast<i32>(b);
    const u64 ua = a, ub = b;
    auto i16res = [](i64 e) { return Outcome{{W(e)}, e >= -32768 && e <= 32767}; };
    auto i32res = [](i64 e) { return Outcome{{D(e)}, e >= kMin32 && e <= kMax32}; };
    auto i8res = [](i64 e) { return Outcome{{W(static_cast<i8>(e & 0xFF))}, e >= -128 && e <= 127}; };
    auto u16res = [](u64 e) { return Outcome{{W(static_cast<i64>(e))}, e <= 0xFFFF}; };
    auto u32res = [](u64 e) { return Outcome{{D(static_cast<i64>(e))}, e <= 0xFFFFFFFFu}; };
    auto lowByte = [a](i64 q) { return Outcome{{W((a & 0xFF00) | (q & 0xFF))}, true}; };
    const Outcome zero16{{W(a)}, false}, zero32{{D(a)}, false};
    if (n == "ADDI") return i16res(sa16 + sb16);
    if (n == "SUBI") return i16res(sa16 - sb16);
    if (n == "MULI") return i16res(sa16 * sb16);
    if (n == "DIVI") return sb16 == 0 ? zero16 : Outcome{{W(sa16 / sb16)}, true};
    if (n == "ADDDI") return i32res(sa32 + sb32);
    if (n == "SUBDI") return i32res(sa32 - sb32);
    if (n == "MULDI") return i32res(sa32 * sb32);
    if (n == "DIVDI") return sb32 == 0 ? zero32 : Outcome{{D(sa32 / sb32)}, true};
    if (n == "ADDSB") return i8res(sa8 + sb8);
    if (n == "SUBSB") return i8res(sa8 - sb8);
    if (n == "MULSB") return i8res(sa8 * sb8);
    if (n == "DIVSB") return sb8 == 0 ? zero16 : lowByte(sa8 / sb8);
    if (n == "MULB") return Outcome{{W((ua & 0xFF) * (ub & 0xFF) & 0xFF)}, (ua & 0xFF) * (ub & 0xFF) <= 0xFF};
    if (n == "DIVB") return (b & 0xFF) == 0 ? zero16 : lowByte((ua & 0xFF) / (ub & 0xFF));
    if (n == "MULUW") return u16res(ua * ub);
    if (n == "DIVUW") return b == 0 ? zero16 : u16res(ua / ub);
    if (n == "MULUD") return u32res(ua * ub);
    if (n == "DIVUD") return b == 0 ? zero32 : u32res(ua / ub);
    if (n == "ADDU16") return u16res(ua + ub);
    if (n == "SUBU16") return Outcome{{W(static_cast<i64>(ua) - static_cast<i64>(ub))}, ua >= ub};
    if (n == "MODU16") return b == 0 ? zero16 : u16res(ua % ub);
    if (n == "ADDU32") return u32res(ua + ub);
    if (n == "SUBU32") return Outcome{{D(static_cast<i64>(ua) - static_cast<i64>(ub))}, ua >= ub};
    if (n == "MODU32") return b == 0 ? zero32 : u32res(ua % ub);
    ADD_FAILURE() << "no reference for " << n;
    return {};
}

// Every pair of a set of boundary values through every binary arithmetic
// instruction, against the reference.
TEST_P(IntMath, ArithmeticMatchesWideReference) {
    const std::vector<u32> words = {0,     1,      2,      7,      0x7F,   0x80,   0xFF,   0x100,  181,    182,
                                    10000, 30000,  0x7FFF, 0x8000, 0x8001, 0xD8F0, 0xFFFE, 0xFFFF, 0x5A81, 0xA57F};
    const std::vector<u32> pairs = {0,          1,          2,          3,          0xFFFFFFFF, 0xFFFFFFFE,
                                    0x7FFFFFFF, 0x80000000, 0x80000001, 46340,      46341,      0xFFFF4AFB,
                                    0xFFFF,     0x10000,    0xFFFF0000, 0x12345678};
    struct Op {
        const char* name;
        const char* ref;
        bool wide;
        u16 type;
    };
    const Op ops[] = {
        {"ADDI", "ADDI", false, 0},     {"SUBI", "SUBI", false, 0},     {"MULI", "MULI", false, 0},
        {"DIVI", "DIVI", false, 0},     {"ADDSB", "ADDSB", false, 0},   {"SUBSB", "SUBSB", false, 0},
        {"MULSB", "MULSB", false, 0},   {"DIVSB", "DIVSB", false, 0},   {"MULB", "MULB", false, 0},
        {"DIVB", "DIVB", false, 0},     {"MULUW", "MULUW", false, 0},   {"DIVUW", "DIVUW", false, 0},
        {"ADDU", "ADDU16", false, 32},  {"SUBU", "SUBU16", false, 32},  {"MODU", "MODU16", false, 32},
        {"ADDDI", "ADDDI", true, 0},    {"SUBDI", "SUBDI", true, 0},    {"MULDI", "MULDI", true, 0},
        {"DIVDI", "DIVDI", true, 0},    {"MULUD", "MULUD", true, 0},    {"DIVUD", "DIVUD", true, 0},
        {"ADDU", "ADDU32", true, 160},  {"SUBU", "SUBU32", true, 160},  {"MODU", "MODU32", true, 160},
    };
    for (const Op& op : ops) {
        const std::vector<u32>& values = op.wide ? pairs : words;
        for (u32 a : values)
            for (u32 b : values) {
                const V va = op.wide ? D(a) : W(a), vb = op.wide ? D(b) : W(b);
                Expect(op.name, {va, vb}, Reference(op.ref, a, b), op.type);
                if (HasFatalFailure()) return;
            }
    }
}

// Square roots against the floating-point root, corrected to the largest r
// with r * r not above the value.
TEST_P(IntMath, SquareRootsAreTheLargestRootNotAbove) {
    auto root = [](u64 v) {
        u64 r = static_cast<u64>(std::sqrt(static_cast<double>(v)));
        while (r * r > v) --r;
        while ((r + 1) * (r + 1) <= v) ++r;
        return r;
    };
    for (u32 v : {0u, 1u, 2u, 3u, 4u, 99u, 100u, 101u, 65024u, 65025u, 65535u})
        Expect("SQRTU", {W(v)}, {{W(root(v))}, true}, 32);
    for (u32 v : {0u, 1u, 65535u, 65536u, 0xFFFFFFFFu, 0xFFFE0001u, 0xFFFE0000u, 0x40000000u,
                  0x3FFFFFFFu, 123456789u})
        Expect("SQRTU", {D(v)}, {{D(root(v))}, true}, 160);
}

// Shifts and rotates against a one-bit-at-a-time reference, with counts
// around the widths and counts whose high bits must be ignored, on both a
// TRUE and a FALSE rung.
TEST_P(IntMath, ShiftsAndRotatesMatchBitByBitReference) {
    struct Op {
        const char* name;
        u32 width;  // 8: the low byte of the entry
        bool left, rotate;
    };
    const Op ops[] = {
        {"SHLW", 16, true, false}, {"SHRW", 16, false, false}, {"ROLW", 16, true, true}, {"RORW", 16, false, true},
        {"SHLD", 32, true, false}, {"SHRD", 32, false, false}, {"ROLD", 32, true, true}, {"RORD", 32, false, true},
        {"SHLB", 8, true, false},  {"SHRB", 8, false, false},  {"ROLB", 8, true, true},  {"RORB", 8, false, true},
    };
    const u32 counts[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 255, 0x0101, 0x0110, 0xFF00};
    const u32 values[] = {0x80000001, 0x1234A5C3, 0xFFFFFFFF};
    for (const Op& op : ops)
        for (u32 value : values)
            for (u32 count : counts)
                for (bool rungIn : {true, false}) {
                    const u64 mask = (u64{1} << op.width) - 1;
                    u64 v = value & mask;
                    // Shifts take the low byte of the count; rotates go round
                    // whole turns.
                    const u32 steps = op.rotate ? count % op.width : count & 0xFF;
                    for (u32 i = 0; i < steps; ++i) {
                        const u64 out = op.left ? (v >> (op.width - 1)) & 1 : v & 1;
                        v = op.left ? (v << 1) & mask : v >> 1;
                        if (op.rotate) v |= op.left ? out : out << (op.width - 1);
                    }
                    const bool wide = op.width == 32;
                    const u32 entry = op.width == 8 ? (value & 0xFF00) | static_cast<u32>(v) : static_cast<u32>(v);
                    const bool rungOut = (op.width == 8 && !op.rotate) || rungIn;
                    Expect(op.name, {wide ? D(value) : W(value), wide ? D(count) : W(count)},
                           {{wide ? D(entry) : W(entry)}, rungOut}, 0, rungIn);
                    if (HasFatalFailure()) return;
                }
}

// The type word of ADDU, SUBU, SQRTU and MODU decides what the program
// checker expects on the stack: too few entries are refused, and the
// entries left afterwards are counted.
TEST_P(IntMath, TypeWordSetsTheStackEffectTheCheckerProves) {
    using S = LadderCheckStatus;
    struct Check {
        const char* name;
        u16 type;
        u32 pushed;  // entries pushed before
        u32 stored;  // entries stored after
        S status;
    };
    const Check checks[] = {
        {"ADDU", 32, 2, 1, S::kOk},
        {"ADDU", 32, 1, 0, S::kWordUnderflow},
        {"ADDU", 32, 2, 2, S::kWordUnderflow},
        {"MODU", 160, 4, 2, S::kOk},
        {"SUBU", 160, 3, 0, S::kWordUnderflow},
        {"MODU", 160, 4, 3, S::kWordUnderflow},
        {"SQRTU", 32, 1, 1, S::kOk},
        {"SQRTU", 32, 0, 0, S::kWordUnderflow},
        {"SQRTU", 160, 2, 2, S::kOk},
        {"SQRTU", 160, 1, 0, S::kWordUnderflow},
        {"SQRTU", 160, 2, 3, S::kWordUnderflow},
        {"ADDU", 48, 0, 0, S::kOk},
        {"MODU", 0, 2, 2, S::kOk},
        {"SUBU", 0, 2, 3, S::kWordUnderflow},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(::testing::Message() << c.name << " type " << c.type << ", " << c.pushed << " pushed, "
                                          << c.stored << " stored");
        LadderBuilder p = Prog();
        for (u32 i = 0; i < c.pushed; ++i) p.Op("LDKW", {i});
        p.Raw(Opcode(c.name)).Raw(c.type);
        for (u32 i = 0; i < c.stored; ++i) p.Op("STW", {Slot(i)});
        p.End();
        const std::vector<u16> code = p.Words();
        EXPECT_EQ(LadderCheck_Words(code.data(), static_cast<u32>(code.size()), p.Tok16()).status, c.status);
    }
    // The type word must be there.
    for (const char* name : {"ADDU", "SQRTU"}) {
        const u16 code[] = {Opcode(name)};
        EXPECT_EQ(LadderCheck_Words(code, 1, GetParam() == LadderWidth::k16).status, S::kTruncated) << name;
    }
}

LADDER_BOTH_WIDTHS(IntMath);

}  // namespace
