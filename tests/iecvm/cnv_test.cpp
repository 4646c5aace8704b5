#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcnv.h"
#include "iec/kernel/q4vmstr.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

constexpr u16 B = kQ4TypeBool, DI = kQ4TypeDint, RE = kQ4TypeReal, TI = kQ4TypeTime, ST = kQ4TypeString,
              SI = kQ4TypeSint, IN = kQ4TypeInt, LI = kQ4TypeLint, LR = kQ4TypeLreal, US = kQ4TypeUsint,
              UI = kQ4TypeUint, UD = kQ4TypeUdint, UL = kQ4TypeUlint;

u64 F(float f) {
    u32 b;
    std::memcpy(&b, &f, 4);
    return b;
}
u64 D(double d) {
    u64 b;
    std::memcpy(&b, &d, 8);
    return b;
}
u64 S(i64 v) { return static_cast<u64>(v); }

u32 Width(u16 t) {
    switch (t) {
        case B: case SI: case US: return 1;
        case IN: case UI: return 2;
        case LI: case UL: case LR: return 8;
        default: return 4;
    }
}
u64 Mask(u16 t) { return Width(t) == 8 ? ~u64{0} : (u64{1} << (8 * Width(t))) - 1; }

const float kNaNf = std::numeric_limits<float>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Row {
    u16 dst, src;
    u64 in, want;
};

// The numeric rules, shared by both routines (REAL/LREAL to USINT, UINT and
// UDINT excepted, below).
const Row kNumeric[] = {
    // Integers: two's-complement truncation or extension.
    {IN, DI, S(70000), 4464}, {UI, DI, S(70000), 4464}, {UD, DI, S(-1), 0xFFFFFFFF},
    {LI, UD, 0xFFFFFFFF, 4294967295}, {UL, DI, S(-1), ~u64{0}}, {DI, SI, S(-128) & 0xFF, S(-128) & 0xFFFFFFFF},
    {SI, US, 200, S(-56) & 0xFF}, {DI, LI, 0x100000001, 1}, {IN, US, 255, 255}, {LI, TI, 0xFFFFFFFF, 0xFFFFFFFF},
    {TI, IN, 0xFFFE, 0xFFFFFFFE}, {SI, UL, ~u64{0}, 0xFF}, {UL, LI, S(-5), S(-5)},
    // To BOOL: any non-zero bit, a float not equal to 0.0.
    {B, DI, 0, 0}, {B, DI, 0x100, 1}, {B, LI, u64{1} << 40, 1}, {B, TI, 1, 1}, {B, RE, F(-0.0f), 0},
    {B, RE, F(kNaNf), 1}, {B, LR, D(1e-300), 1}, {B, LR, D(0.0), 0},
    // From BOOL: 0 or 1 (any non-zero byte is TRUE).
    {RE, B, 1, F(1.0f)}, {LR, B, 1, D(1.0)}, {UL, B, 1, 1}, {DI, B, 2, 1}, {B, B, 2, 2},
    // Floats to signed integers: truncation, 32-bit saturation, NaN 0.
    {DI, RE, F(2.9f), 2}, {DI, RE, F(-2.9f), S(-2) & 0xFFFFFFFF}, {DI, RE, F(1e10f), 0x7FFFFFFF},
    {DI, RE, F(-1e10f), 0x80000000}, {DI, RE, F(kNaNf), 0}, {DI, LR, D(kInf), 0x7FFFFFFF},
    {IN, RE, F(70000.5f), 4464}, {SI, LR, D(-129.0), 0x7F},
    // TIME: unsigned 32-bit truncation.
    {TI, RE, F(-1.0f), 0}, {TI, LR, D(5e9), 0xFFFFFFFF}, {TI, LR, D(1234.9), 1234}, {TI, RE, F(kNaNf), 0},
    // LINT and ULINT: 64-bit truncation, saturating.
    {LI, LR, D(1e19), 0x7FFFFFFFFFFFFFFF}, {LI, LR, D(-1e19), 0x8000000000000000}, {LI, RE, F(kNaNf), 0},
    {LI, LR, D(-3.7), S(-3)}, {UL, LR, D(1e19), 10000000000000000000ull}, {UL, LR, D(-5.0), 0},
    {UL, LR, D(1e30), ~u64{0}},
    // Integers to floats: nearest, ties to even.
    {RE, DI, 16777217, F(16777216.0f)}, {LR, LI, (u64{1} << 53) + 1, D(9007199254740992.0)},
    {RE, UL, ~u64{0}, F(18446744073709551616.0f)}, {LR, DI, S(-1) & 0xFFFFFFFF, D(-1.0)},
    {LR, UD, 0xFFFFFFFF, D(4294967295.0)}, {RE, TI, 0xFFFFFFFF, F(4294967296.0f)},
    {RE, LI, S(-16777217), F(-16777216.0f)},
    // REAL and LREAL.
    {LR, RE, F(0.1f), D(static_cast<double>(0.1f))}, {RE, LR, D(1e39), F(std::numeric_limits<float>::infinity())},
    {RE, LR, D(-1e39), F(-std::numeric_limits<float>::infinity())},
    {RE, LR, D(3.4028235e38), F(std::numeric_limits<float>::max())},
    {RE, LR, D(3.4028235677973366e38), F(std::numeric_limits<float>::infinity())}, {RE, LR, D(0.1), F(0.1f)},
};

TEST(Conversions, NumericMatrixOfBothRoutines) {
    IecImageBuilder b;
    std::map<u16, u16> index, out;
    for (u16 t : {B, SI, US, IN, UI, DI, RE, UD, LI, LR, UL, TI}) {
        index[t] = b.Var(t, 0);
        out[t] = b.Var(t, 0);
    }
    b.Var(DI, 0, "published");
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);

    for (const Row& r : kNumeric) {
        u8 src[8] = {}, dst[8];
        PutLe64(src, r.in);
        std::memset(dst, 0xEE, 8);
        Q4VMCnv_ConvBin(dst, src, r.dst, r.src);
        u64 got = GetLe64(dst) & Mask(r.dst);
        EXPECT_EQ(got, r.want) << "bin " << r.dst << " <- " << r.src;
        // Nothing past the destination's own width is touched.
        if (Width(r.dst) < 8) {
            EXPECT_EQ(dst[Width(r.dst)], 0xEE) << r.dst << " <- " << r.src;
        }

        u8* s = Q4Tools_GetAnyParam(db.Db(), r.src, index[r.src], nullptr, nullptr);
        u8* d = Q4Tools_GetAnyParam(db.Db(), r.dst, out[r.dst], nullptr, nullptr);
        ASSERT_TRUE(s && d);
        std::memcpy(s, src, Width(r.src));
        std::memset(d, 0, Width(r.dst));
        u16 ops[4] = {out[r.dst], index[r.src], r.dst, r.src};
        Q4VMCnv_Convert(db.Db(), ops);
        u8 dd[8] = {};
        std::memcpy(dd, d, Width(r.dst));
        EXPECT_EQ(GetLe64(dd), r.want) << "tic " << r.dst << " <- " << r.src;
    }
}

// Every cell of the numeric matrix, for both routines, against a model that
// works on the exact value (long double holds every 64-bit integer) rather
// than on bits: truncation of the exact integer, or truncation toward zero
// and saturation of the exact float.
struct Model {
    static bool Signed(u16 t) { return t == SI || t == IN || t == DI || t == LI; }
    static long double Value(u16 t, u64 bits) {
        bits &= Mask(t);
        switch (t) {
            case B: return bits ? 1 : 0;
            case RE: { float f; u32 b = static_cast<u32>(bits); std::memcpy(&f, &b, 4); return f; }
            case LR: { double d; std::memcpy(&d, &bits, 8); return d; }
            default:
                if (!Signed(t)) return static_cast<long double>(bits);
                u32 w = 8 * Width(t);
                i64 v = w == 64 ? static_cast<i64>(bits) : static_cast<i64>(bits << (64 - w)) >> (64 - w);
                return static_cast<long double>(v);
        }
    }
    static u64 IntBits(long double v) {  // two's complement of an exact integer
        return v < 0 ? static_cast<u64>(static_cast<i64>(v)) : static_cast<u64>(v);
    }
    static u64 Saturate(long double v, long double lo, long double hi) {
        if (std::isnan(v)) return 0;
        long double t = std::trunc(v);
        return IntBits(t < lo ? lo : t > hi ? hi : t);
    }
    // Expected bits, or nullopt-like NaN flag for float results.
    static u64 Expect(u16 dst, u16 src, u64 bits, bool bin, bool* nan) {
        *nan = false;
        if (dst == src) return bits & Mask(dst);
        long double v = Value(src, bits);
        bool fsrc = src == RE || src == LR;
        if (dst == B) return (std::isnan(v) || v != 0) ? 1 : 0;
        if (dst == RE || dst == LR) {
            if (std::isnan(v)) {
                *nan = true;
                return 0;
            }
            if (dst == LR) return D(static_cast<double>(v));
            long double lim = 340282356779733661637539395458142568448.0L;  // 2^128 - 2^103
            if (v >= lim) return F(std::numeric_limits<float>::infinity());
            if (v <= -lim) return F(-std::numeric_limits<float>::infinity());
            if (v > std::numeric_limits<float>::max()) return F(std::numeric_limits<float>::max());
            if (v < -std::numeric_limits<float>::max()) return F(-std::numeric_limits<float>::max());
            return F(static_cast<float>(v));
        }
        if (!fsrc) return IntBits(v) & Mask(dst);
        const long double two31 = 2147483648.0L, two32 = 4294967296.0L, two63 = 9223372036854775808.0L;
        if (dst == LI) return Saturate(v, -two63, two63 - 1);
        if (dst == UL) return Saturate(v, 0, 18446744073709551615.0L);
        if (dst == TI || (bin && (dst == US || dst == UI || dst == UD))) return Saturate(v, 0, two32 - 1) & Mask(dst);
        return Saturate(v, -two31, two31 - 1) & Mask(dst);
    }
};

TEST(Conversions, EveryCellOfTheNumericMatrix) {
    const u16 types[] = {B, SI, US, IN, UI, DI, UD, LI, UL, TI, RE, LR};
    IecImageBuilder b;
    std::map<u16, u16> index, out;
    for (u16 t : types) {
        index[t] = b.Var(t, 0);
        out[t] = b.Var(t, 0);
    }
    b.Var(DI, 0, "published");
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);

    const i64 ints[] = {0, 1, -1, 2, 127, 128, 255, 256, -128, -129, 32767, 32768, 65535, 65536, -32769,
                        2147483647, 2147483648LL, 4294967295LL, 4294967296LL, -2147483649LL,
                        9007199254740993LL, 9223372036854775807LL, -9223372036854775807LL - 1, 16777217};
    const double floats[] = {0.0, -0.0, 0.5, -0.5, 2.9, -2.9, 255.9, 256.0, -1.0, 65535.5, 70000.5,
                             2147483647.5, 2147483648.0, -2147483649.0, 3e9, 4294967295.5, 5e9, 1e10, -1e10,
                             9.3e18, 1e19, -1e19, 2e19, 1e30, 1e39, -1e39, 3.4028235e38, 1e-45, 1e-310,
                             std::numeric_limits<double>::quiet_NaN(), kInf, -kInf};
    int cells = 0;
    for (u16 st : types) {
        std::vector<u64> inputs;
        if (st == RE)
            for (double d : floats) inputs.push_back(F(static_cast<float>(Q4VMCnv_ToReal(d))));
        else if (st == LR)
            for (double d : floats) inputs.push_back(D(d));
        else
            for (i64 v : ints) inputs.push_back(static_cast<u64>(v) & Mask(st));
        for (u16 dt : types) {
            ++cells;
            for (u64 in : inputs) {
                for (bool bin : {true, false}) {
                    u8 src[8] = {}, dst[8] = {};
                    PutLe64(src, in);
                    if (bin) {
                        Q4VMCnv_ConvBin(dst, src, dt, st);
                    } else {
                        std::memcpy(Q4Tools_GetAnyParam(db.Db(), st, index[st], nullptr, nullptr), src, Width(st));
                        u16 ops[4] = {out[dt], index[st], dt, st};
                        Q4VMCnv_Convert(db.Db(), ops);
                        std::memcpy(dst, Q4Tools_GetAnyParam(db.Db(), dt, out[dt], nullptr, nullptr), Width(dt));
                    }
                    bool nan = false;
                    u64 want = Model::Expect(dt, st, in, bin, &nan);
                    u64 got = GetLe64(dst) & Mask(dt);
                    if (nan) {
                        EXPECT_TRUE(std::isnan(static_cast<double>(Model::Value(dt, got))))
                            << dt << " <- " << st << " " << std::hex << in;
                    } else {
                        EXPECT_EQ(got, want) << (bin ? "bin " : "tic ") << dt << " <- " << st << " input 0x"
                                             << std::hex << in;
                    }
                }
            }
        }
    }
    EXPECT_EQ(cells, 144);
}

TEST(Conversions, RealToUnsignedDiffersBetweenRoutines) {
    IecImageBuilder b;
    u16 usint = b.Var(US, 0), udint = b.Var(UD, 0), uint = b.Var(UI, 0), real = b.Real(0, "r");
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    const struct {
        u16 dst, idx;
        float in;
        u64 tic, bin;
    } rows[] = {
        {US, usint, -1.0f, 255, 0},
        {UD, udint, 3e9f, 2147483647, 3000000000},
        {UD, udint, 5e9f, 2147483647, 4294967295},
        {UI, uint, -2.5f, 65534, 0},
        {UI, uint, 65537.0f, 1, 1},
    };
    for (const auto& r : rows) {
        PutLeFloat(db.Data32(real), r.in);
        u16 ops[4] = {r.idx, real, r.dst, RE};
        Q4VMCnv_Convert(db.Db(), ops);
        u8 v[8] = {};
        std::memcpy(v, Q4Tools_GetAnyParam(db.Db(), r.dst, r.idx, nullptr, nullptr), Width(r.dst));
        EXPECT_EQ(GetLe64(v), r.tic) << r.in;
        u8 out[8] = {};
        float in = r.in;
        Q4VMCnv_ConvBin(out, &in, r.dst, RE);
        EXPECT_EQ(GetLe64(out), r.bin) << r.in;
    }
}

TEST(Conversions, UnknownTypesLeaveTheDestination) {
    for (u16 bad : {u16{0}, u16{6}, u16{9}, u16{18}, u16{kQ4TypeComplex}}) {
        u8 src[8] = {1, 2, 3, 4, 5, 6, 7, 8}, dst[8];
        std::memset(dst, 0xEE, 8);
        Q4VMCnv_ConvBin(dst, src, bad, DI);
        Q4VMCnv_ConvBin(dst, src, DI, bad);
        Q4VMCnv_ConvBin(dst, src, ST, DI);  // no STRING in raw conversions
        Q4VMCnv_ConvBin(dst, src, DI, ST);
        for (u8 c : dst) EXPECT_EQ(c, 0xEE) << bad;
    }
}

// --- STRING in the conversion instruction ------------------------------------------

struct StringConv : ::testing::Test {
    IecImageBuilder b;
    std::map<u16, u16> index;
    u16 str = 0, shortStr = 0;
    std::unique_ptr<IecVmDb> db;
    void SetUp() override {
        for (u16 t : {B, SI, US, IN, UI, DI, RE, UD, LI, LR, UL, TI}) index[t] = b.Var(t, 0);
        str = b.String(30, "", Sym("s"));
        shortStr = b.String(3);
        db = std::make_unique<IecVmDb>(b.Build());
        ASSERT_EQ(db->Result(), 0);
    }
    u8* Var(u16 t) { return Q4Tools_GetAnyParam(db->Db(), t, index[t], nullptr, nullptr); }
    std::string Text(u16 idx) {
        u8* s = db->String(idx);
        return std::string(reinterpret_cast<char*>(s + 2), s[1]);
    }
};

TEST_F(StringConv, ToText) {
    const struct {
        u16 src;
        u64 in;
        const char* text;
    } rows[] = {
        {B, 1, "1"}, {B, 0, "0"}, {SI, 0x80, "-128"}, {US, 200, "200"}, {IN, 0x8000, "-32768"},
        {UI, 65535, "65535"}, {DI, S(-7) & 0xFFFFFFFF, "-7"}, {UD, 4294967295, "4294967295"},
        {TI, 0xFFFFFFFF, "-1"},  // TIME prints as a signed count
        {LI, S(-9223372036854775807LL - 1), "-9223372036854775808"}, {UL, ~u64{0}, "-1"},
        {RE, F(0.1f), "0.1"}, {LR, D(1e20), "1e+20"}, {LR, D(-2.5), "-2.5"}, {RE, F(kNaNf), "nan"},
    };
    for (const auto& r : rows) {
        u8 v[8];
        PutLe64(v, r.in);
        std::memcpy(Var(r.src), v, Width(r.src));
        u16 ops[4] = {str, index[r.src], ST, r.src};
        Q4VMCnv_Convert(db->Db(), ops);
        EXPECT_EQ(Text(str), r.text) << r.src;
    }
    // Cut at the destination's capacity.
    PutLe32(Var(DI), 123456);
    u16 ops[4] = {shortStr, index[DI], ST, DI};
    Q4VMCnv_Convert(db->Db(), ops);
    EXPECT_EQ(Text(shortStr), "123");
    // STRING to STRING copies, cut as well.
    Q4Str_AscForceC(db->String(str), "abcdef");
    u16 copy[4] = {shortStr, str, ST, ST};
    Q4VMCnv_Convert(db->Db(), copy);
    EXPECT_EQ(Text(shortStr), "abc");
    // A locked string keeps its forced text.
    *db->Lock(str) |= kQ4LockString;
    u16 locked[4] = {str, index[DI], ST, DI};
    Q4VMCnv_Convert(db->Db(), locked);
    EXPECT_EQ(Text(str), "abcdef");
}

TEST_F(StringConv, FromText) {
    const struct {
        const char* text;
        u16 dst;
        u64 want;
    } rows[] = {
        {" 42abc", DI, 42}, {"abc", DI, 0}, {"99999999999", DI, 0x7FFFFFFF}, {"-99999999999", DI, 0x80000000},
        {"+17", DI, 17}, {" 123", UD, 123}, {"-5", UD, 0}, {"4294967295", UD, 4294967295}, {"4294967296", UD, 0},
        {"0", B, 1}, {"", B, 0}, {"-5", US, 251}, {"70000", IN, 4464}, {"-1", TI, 0xFFFFFFFF},
        {"1.5e3xyz", RE, F(1500.0f)}, {" -0.25", LR, D(-0.25)}, {"0x10", LR, D(0.0)}, {"inf", LR, D(0.0)},
        {".5", RE, F(0.5f)}, {"1e", LR, D(1.0)}, {"1e39", RE, F(std::numeric_limits<float>::infinity())},
        {"-9223372036854775808", LI, 0x8000000000000000}, {"  -12", LI, S(-12)}, {"18446744073709551615", UL, ~u64{0}},
    };
    for (const auto& r : rows) {
        Q4Str_AscForceC(db->String(str), r.text);
        std::memset(Var(r.dst), 0xEE, Width(r.dst));
        u16 ops[4] = {index[r.dst], str, r.dst, ST};
        Q4VMCnv_Convert(db->Db(), ops);
        u8 v[8] = {};
        std::memcpy(v, Var(r.dst), Width(r.dst));
        EXPECT_EQ(GetLe64(v), r.want) << '"' << r.text << "\" -> " << r.dst;
    }
}

// --- Text services ---------------------------------------------------------------------

TEST(ConversionText, Parse) {
    const struct {
        const char* text;
        u16 type;
        u64 want;
    } rows[] = {
        {"2", B, 1}, {"0", B, 0}, {"abc", B, 0}, {"256", US, 0}, {"-1", UI, 65535},
        {"3000000000", UD, 2147483647}, {" 42", DI, 42}, {"-128", SI, 0x80}, {"86400000", TI, 86400000},
        {"1.25", RE, F(1.25f)}, {"-1e-3", LR, D(-1e-3)}, {"-7", LI, S(-7)},
        {" -7", LI, 0},  // no leading blanks for 64-bit text
        {"12345678901234", UL, 12345678901234},
    };
    for (const auto& r : rows) {
        u8 v[8];
        std::memset(v, 0, 8);
        Q4VMCnv_SZToNumPtr(v, r.type, r.text);
        EXPECT_EQ(GetLe64(v), r.want) << '"' << r.text << "\" as " << r.type;
    }
    u8 v[8];
    std::memset(v, 0xEE, 8);
    Q4VMCnv_SZToNumPtr(v, ST, "5");
    Q4VMCnv_SZToNumPtr(v, 7, "5");
    for (u8 c : v) EXPECT_EQ(c, 0xEE);
}

TEST(ConversionText, Format) {
    const struct {
        u16 type;
        u64 in;
        const char* text;
    } rows[] = {
        {B, 1, "1"}, {SI, 0x80, "-128"}, {US, 0xFF, "255"}, {IN, 0xFFFF, "-1"}, {DI, 0xFFFFFFFB, "-5"},
        {UD, 4294967295, "4294967295"}, {TI, 4294967295, "4294967295"},
        {LI, 0x8000000000000000, "-9223372036854775808"}, {UL, ~u64{0}, "-1"}, {RE, F(0.1f), "0.1"},
        {LR, D(1e20), "1e+20"}, {LR, D(-1.7976931348623157e308), "-1.79769e+308"}, {ST, 0, ""}, {6, 5, ""},
    };
    for (const auto& r : rows) {
        u8 v[8];
        PutLe64(v, r.in);
        char text[kQ4CnvTextMax];
        std::memset(text, 'x', sizeof text);
        Q4VMCnv_NumToSZPtr(v, r.type, text);
        EXPECT_STREQ(text, r.text) << r.type;
    }
}

TEST(ConversionText, DatabaseVariables) {
    IecImageBuilder b;
    u16 d = b.Var(DI, 0, "d");
    u16 l = b.Var(LR, D(2.5));
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    Q4VMCnv_SZToNum(db.Db(), DI, d, "-300");
    EXPECT_EQ(GetLe32(db.Data32(d)), static_cast<u32>(-300));
    char text[kQ4CnvTextMax];
    Q4VMCnv_NumToSZ(db.Db(), LR, l, text);
    EXPECT_STREQ(text, "2.5");
    // An index outside the table writes nothing and gives the empty text.
    Q4VMCnv_SZToNum(db.Db(), DI, 999, "1");
    Q4VMCnv_NumToSZ(db.Db(), DI, 999, text);
    EXPECT_STREQ(text, "");
}

}  // namespace
