// The controller's ANY-type maths, counters and block moves, called as the
// runtime calls them: the type code first, then the operands.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <span>
#include <string>

#include "fb_fixture.h"
#include "iec/blocks/q4anymath.h"
#include "iec/blocks/q4blockmove.h"
#include "iec/blocks/q4counter.h"
#include "iec/blocks/q4ctlrows.h"
#include "iec/kernel/q4vmfb.h"

namespace {

// Scalars of every class, arrays of each width and strings.
class AnyDb : public FbDb {
public:
    AnyDb() : FbDb(Builder()) {}
    u16 I(u16 k) const { return static_cast<u16>(i0_ + k); }
    u16 S(u16 k) const { return static_cast<u16>(s0_ + k); }
    static constexpr u16 kArrayLen = 6;
    // First index of the array of the class of type.
    u16 Arr(u16 type) const {
        switch (Q4Type_Class(type)) {
            case kQ4ClassData8: return a8_;
            case kQ4ClassData16: return a16_;
            case kQ4ClassData32: return a32_;
            default: return a64_;
        }
    }
    // Variable k of the class of type.
    u16 V(u16 type, u16 k) const {
        switch (Q4Type_Class(type)) {
            case kQ4ClassData8: return B(k);
            case kQ4ClassData16: return I(k);
            case kQ4ClassData32: return D(k);
            case kQ4ClassData64: return L(k);
            case kQ4ClassTime: return T(k);
            default: return S(k);
        }
    }
    u8* Slot(u16 type, u16 index) {
        switch (Q4Type_Class(type)) {
            case kQ4ClassData8: return Vm().Data8(index);
            case kQ4ClassData16: return Vm().Data16(index);
            case kQ4ClassData32: return Vm().Data32(index);
            case kQ4ClassData64: return Vm().Data64(index);
            default: return Vm().Time(index);
        }
    }
    void Set(u16 type, u16 index, u64 bits) {
        u8* p = Slot(type, index);
        for (u32 k = 0; k < Q4Type_Size(type); ++k) p[k] = static_cast<u8>(bits >> (8 * k));
    }
    u64 Get(u16 type, u16 index) {
        u8* p = Slot(type, index);
        u64 v = 0;
        for (u32 k = 0; k < Q4Type_Size(type); ++k) v |= static_cast<u64>(p[k]) << (8 * k);
        return v;
    }
    void SetS(u16 s, const std::string& text) {
        u8* p = Vm().String(s);
        p[1] = static_cast<u8>(text.size());
        std::memcpy(p + 2, text.data(), text.size());
        p[2 + text.size()] = 0;
    }
    std::string GetS(u16 s) {
        u8* p = Vm().String(s);
        return std::string(reinterpret_cast<char*>(p + 2), p[1]);
    }

private:
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        i0_ = b.Var(kQ4TypeInt);
        for (u16 k = 1; k < 8; ++k) b.Var(kQ4TypeInt);
        a8_ = b.Array(kQ4TypeUsint, kArrayLen);
        a16_ = b.Array(kQ4TypeInt, kArrayLen);
        a32_ = b.Array(kQ4TypeDint, kArrayLen);
        a64_ = b.Array(kQ4TypeLint, kArrayLen);
        s0_ = b.String(8);
        b.String(8);
        b.String(3);
        return b;
    }
    static inline u16 i0_ = 0, s0_ = 0, a8_ = 0, a16_ = 0, a32_ = 0, a64_ = 0;
};

u64 F(float v) { return std::bit_cast<u32>(v); }
u64 Dbl(double v) { return std::bit_cast<u64>(v); }
// The bits of a negative value in a width.
u64 N(i64 v, u32 bytes) { return bytes == 8 ? static_cast<u64>(v) : static_cast<u64>(v) & ((1ull << (8 * bytes)) - 1); }

class AnyBlocks : public ::testing::Test {
protected:
    AnyDb f_;
};

TEST_F(AnyBlocks, RowsAnswerTheConventionsAndAdderAnyHasNone) {
    for (auto rows : {std::span<const Q4BlockEntry>(kQ4CtlAnyMathRows), std::span<const Q4BlockEntry>(kQ4CtlMoveRows),
                      std::span<const Q4BlockEntry>(kQ4CtlCounterRows)})
        for (const Q4BlockEntry& e : rows) {
            bool found = false;
            for (u32 id = 0; id < kPfbCount; ++id) found |= PFB[id].handler == e.handler && std::strcmp(PFB[id].name, e.name) == 0;
            EXPECT_TRUE(found) << e.name;
            EXPECT_EQ(e.handler(kFbAnyType, nullptr, nullptr, nullptr, nullptr), 1) << e.name;
        }
    for (u32 id = 0; id < kPfbCount; ++id) EXPECT_NE(PFB[id].handler, &Q4Ctl_AdderAny);
    EXPECT_EQ(Q4Ctl_Ctu(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(Q4Ctl_AdderAny(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 1);
    u8 inst[8] = {1};
    f_.SetB(f_.B(0), true);
    f_.Cmd(Q4Ctl_AdderAny, inst, kFbInstanceInit);
    EXPECT_EQ(inst[0], 0);
    f_.Exec(Q4Ctl_AdderAny, inst, {f_.B(0), f_.B(1)});
    EXPECT_EQ(inst[0], 1);
    EXPECT_FALSE(f_.GetB(f_.B(1)));
}

// Two-input blocks: type, IN1, IN2; out OUT.
TEST_F(AnyBlocks, TwoInputBlocksByTypeCode) {
    struct Case {
        Q4FbHandler h;
        u16 type;
        u64 a, b, want;
    };
    const Case cases[] = {
        {Q4Ctl_XorMask, kQ4TypeBool, 1, 1, 0},
        {Q4Ctl_AndMask, kQ4TypeBool, 1, 2, 0},  // bytes 1 AND 2 are 0
        {Q4Ctl_OrMask, kQ4TypeBool, 0, 2, 1},
        {Q4Ctl_AndMask, kQ4TypeUint, 0xF0F0, 0x3C3C, 0x3030},
        {Q4Ctl_XorMask, kQ4TypeUlint, ~0ull, 1, ~1ull},
        {Q4Ctl_AndMask, kQ4TypeReal, F(2.5f), F(1.0f), F(2.5f)},  // copy
        {Q4Ctl_OrMask, kQ4TypeTime, 7, 8, 7},
        {Q4Ctl_Shr, kQ4TypeInt, 0x8000, 1, 0x4000},  // logical
        {Q4Ctl_Shl, kQ4TypeDint, 1, 32, 0},
        {Q4Ctl_Shl, kQ4TypeDint, 1, 31, 0x80000000},
        {Q4Ctl_Shl, kQ4TypeInt, 1, 0x0101, 2},  // low 8 bits of the count
        {Q4Ctl_Shl, kQ4TypeUsint, 1, 8, 0},
        {Q4Ctl_Shr, kQ4TypeLint, N(-1, 8), 63, 1},
        {Q4Ctl_Shl, kQ4TypeLint, 1, 64, 0},
        {Q4Ctl_Shl, kQ4TypeUlint, 1, 256, 0},   // above 255
        {Q4Ctl_Shl, kQ4TypeUlint, 1, 0x100000001ull, 2},  // low 32 bits
        {Q4Ctl_Rol, kQ4TypeUsint, 0x81, 9, 0x03},
        {Q4Ctl_Ror, kQ4TypeUint, 0x0001, 1, 0x8000},
        {Q4Ctl_Rol, kQ4TypeLint, 0x8000000000000000ull, 65, 1},
        {Q4Ctl_Shl, kQ4TypeBool, 1, 1, 1},  // copy
        {Q4Ctl_Mod, kQ4TypeSint, N(-7, 1), 3, N(-1, 1)},
        {Q4Ctl_Mod, kQ4TypeDint, 7, 0, 0},
        {Q4Ctl_Mod, kQ4TypeDint, 0x80000000, N(-1, 4), 0},
        {Q4Ctl_Mod, kQ4TypeLint, 0x8000000000000000ull, N(-1, 8), 0},
        {Q4Ctl_Mod, kQ4TypeSint, 0x80, N(-1, 1), 0},
        {Q4Ctl_Mod, kQ4TypeUint, 0xFFFF, 10, 5},  // unsigned
        {Q4Ctl_Mod, kQ4TypeReal, F(7.5f), F(2.0f), F(1.5f)},
        {Q4Ctl_Mod, kQ4TypeReal, F(7.5f), F(-0.0f), F(0.0f)},
        {Q4Ctl_Mod, kQ4TypeLreal, Dbl(-7.5), Dbl(2.0), Dbl(-1.5)},
        {Q4Ctl_Mod, kQ4TypeBool, 1, 0, 1},
    };
    for (const Case& c : cases) {
        const u16 a = f_.V(c.type, 0), b = f_.V(c.type, 1), out = f_.V(c.type, 2);
        f_.Set(c.type, a, c.a);
        f_.Set(c.type, b, c.b);
        f_.Set(c.type, out, 0x5A);
        f_.Exec(c.h, nullptr, {c.type, a, b, out});
        EXPECT_EQ(f_.Get(c.type, out), c.want) << "type " << c.type << " a " << c.a << " b " << c.b;
    }
}

TEST_F(AnyBlocks, OneInputBlocksByTypeCode) {
    const float qnan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        Q4FbHandler h;
        u16 type;
        u64 in, want;
    };
    const Case cases[] = {
        {Q4Ctl_NotMask, kQ4TypeBool, 2, 0},
        {Q4Ctl_NotMask, kQ4TypeBool, 0, 1},
        {Q4Ctl_NotMask, kQ4TypeSint, 0x0F, 0xF0},
        {Q4Ctl_NotMask, kQ4TypeLreal, Dbl(1.5), Dbl(1.5)},
        {Q4Ctl_Abs, kQ4TypeSint, N(-5, 1), 5},
        {Q4Ctl_Abs, kQ4TypeInt, 0x8000, 0x8000},
        {Q4Ctl_Abs, kQ4TypeLint, 0x8000000000000000ull, 0x8000000000000000ull},
        {Q4Ctl_Abs, kQ4TypeUsint, 0xFB, 0xFB},
        {Q4Ctl_Abs, kQ4TypeReal, F(-0.0f), F(-0.0f)},
        {Q4Ctl_Abs, kQ4TypeReal, F(-2.0f), F(2.0f)},
        {Q4Ctl_Abs, kQ4TypeReal, F(-qnan), F(-qnan)},
        {Q4Ctl_Abs, kQ4TypeLreal, Dbl(-3.25), Dbl(3.25)},
        {Q4Ctl_Sqrt, kQ4TypeInt, N(-4, 2), 0},
        {Q4Ctl_Sqrt, kQ4TypeUint, 65535, 255},
        {Q4Ctl_Sqrt, kQ4TypeUdint, 0xFFFFFFFF, 65536},  // taken in single precision
        {Q4Ctl_Sqrt, kQ4TypeUlint, ~0ull, 4294967296ull},
        {Q4Ctl_Sqrt, kQ4TypeReal, F(-1.0f), F(0.0f)},
        {Q4Ctl_Sqrt, kQ4TypeReal, F(2.25f), F(1.5f)},
        {Q4Ctl_Sqrt, kQ4TypeTime, 16, 16},
    };
    for (const Case& c : cases) {
        const u16 in = f_.V(c.type, 0), out = f_.V(c.type, 2);
        f_.Set(c.type, in, c.in);
        f_.Set(c.type, out, 0x5A);
        f_.Exec(c.h, nullptr, {c.type, in, out});
        EXPECT_EQ(f_.Get(c.type, out), c.want) << "type " << c.type << " in " << c.in;
    }
    // An unknown type code, and a locked output, are left alone.
    f_.Set(kQ4TypeDint, f_.D(0), 9);
    f_.Set(kQ4TypeDint, f_.D(2), 1);
    f_.Exec(Q4Ctl_Abs, nullptr, {7, f_.D(0), f_.D(2)});
    f_.Exec(Q4Ctl_Abs, nullptr, {18, f_.D(0), f_.D(2)});
    EXPECT_EQ(f_.GetD(f_.D(2)), 1);
    f_.Lock(f_.D(2), kQ4LockData32);
    f_.Exec(Q4Ctl_Abs, nullptr, {kQ4TypeDint, f_.D(0), f_.D(2)});
    EXPECT_EQ(f_.GetD(f_.D(2)), 1);
}

TEST_F(AnyBlocks, StringsAreCopiedToTheOutputsCapacity) {
    f_.SetS(f_.S(0), "ABCDEFGH");
    f_.SetS(f_.S(1), "xy");
    f_.SetB(f_.B(0), false);
    f_.Exec(Q4Ctl_Sel, nullptr, {kQ4TypeString, f_.B(0), f_.S(0), f_.S(1), f_.S(2)});
    EXPECT_EQ(f_.GetS(f_.S(2)), "ABC");
    f_.SetB(f_.B(0), true);
    f_.Exec(Q4Ctl_Sel, nullptr, {kQ4TypeString, f_.B(0), f_.S(0), f_.S(1), f_.S(2)});
    EXPECT_EQ(f_.GetS(f_.S(2)), "xy");
    f_.Exec(Q4Ctl_AndMask, nullptr, {kQ4TypeString, f_.S(0), f_.S(1), f_.S(2)});
    EXPECT_EQ(f_.GetS(f_.S(2)), "ABC");
    f_.SetL(f_.L(0), 1.0), f_.SetL(f_.L(1), 2.0);
    f_.Exec(Q4Ctl_Sel, nullptr, {kQ4TypeLreal, f_.B(0), f_.L(0), f_.L(1), f_.L(2)});
    EXPECT_EQ(f_.GetL(f_.L(2)), 2.0);
}

TEST_F(AnyBlocks, RangeTestInEitherOrder) {
    struct Case {
        u16 type;
        u64 mn, in, mx;
        bool q;
    };
    const Case cases[] = {
        {kQ4TypeUdint, 0, 0, 5, true},
        {kQ4TypeUdint, 0, 0xFFFFFFFF, 5, false},  // unsigned, no wrap
        {kQ4TypeInt, 10, 20, 5, true},             // outside 5..10
        {kQ4TypeInt, 10, 7, 5, false},
        {kQ4TypeInt, N(-5, 2), N(-1, 2), 5, true},
        {kQ4TypeUint, N(-5, 2), 1, 5, true},        // 0xFFFB > 5: reversed
        {kQ4TypeLint, N(-1, 8), 0, 1, true},
        {kQ4TypeReal, F(0.0f), F(-0.5f), F(10.0f), true},  // one-unit widening
        {kQ4TypeReal, F(0.0f), F(-1.0f), F(10.0f), false},
        {kQ4TypeReal, F(10.0f), F(9.0f), F(0.0f), false},
        {kQ4TypeReal, F(10.0f), F(11.0f), F(0.0f), true},
        {kQ4TypeLreal, Dbl(0.0), Dbl(10.9), Dbl(10.0), true},
        {kQ4TypeTime, 100, 50, 200, false},
    };
    for (const Case& c : cases) {
        f_.Set(c.type, f_.V(c.type, 0), c.mn);
        f_.Set(c.type, f_.V(c.type, 1), c.in);
        f_.Set(c.type, f_.V(c.type, 2), c.mx);
        f_.SetB(f_.B(5), !c.q);
        f_.Exec(Q4Ctl_Lim, nullptr, {c.type, f_.V(c.type, 0), f_.V(c.type, 1), f_.V(c.type, 2), f_.B(5)});
        EXPECT_EQ(f_.GetB(f_.B(5)), c.q) << "type " << c.type << " in " << c.in;
    }
    f_.SetS(f_.S(0), "B"), f_.SetS(f_.S(1), "Cz"), f_.SetS(f_.S(2), "D");
    f_.Exec(Q4Ctl_Lim, nullptr, {kQ4TypeString, f_.S(0), f_.S(1), f_.S(2), f_.B(5)});
    EXPECT_TRUE(f_.GetB(f_.B(5)));
    f_.Exec(Q4Ctl_Lim, nullptr, {8, f_.S(0), f_.S(1), f_.S(2), f_.B(5)});  // no type: Q unchanged
    EXPECT_TRUE(f_.GetB(f_.B(5)));
}

TEST_F(AnyBlocks, CountersCountOncePerExecution) {
    u8 up[8] = {}, down[8] = {};
    f_.Set(kQ4TypeInt, f_.I(0), 3);
    f_.SetB(f_.B(0), true);
    const std::pair<int, bool> ctu[] = {{1, false}, {2, false}, {3, true}, {3, true}};
    for (auto [cv, q] : ctu) {
        f_.Exec(Q4Ctl_Ctu, up, {f_.B(0), f_.B(1), f_.I(0), f_.B(2), f_.I(1)});
        EXPECT_EQ(static_cast<i16>(f_.Get(kQ4TypeInt, f_.I(1))), cv);
        EXPECT_EQ(f_.GetB(f_.B(2)), q);
    }
    f_.SetB(f_.B(1), true);  // reset wins over CU
    f_.Exec(Q4Ctl_Ctu, up, {f_.B(0), f_.B(1), f_.I(0), f_.B(2), f_.I(1)});
    EXPECT_EQ(f_.Get(kQ4TypeInt, f_.I(1)), 0u);
    EXPECT_FALSE(f_.GetB(f_.B(2)));

    f_.Exec(Q4Ctl_Ctd, down, {f_.B(0), f_.B(1), f_.I(0), f_.B(2), f_.I(1)});  // load 3
    EXPECT_EQ(f_.Get(kQ4TypeInt, f_.I(1)), 3u);
    f_.SetB(f_.B(1), false);
    const std::pair<int, bool> ctd[] = {{2, false}, {1, false}, {0, true}, {0, true}};
    for (auto [cv, q] : ctd) {
        f_.Exec(Q4Ctl_Ctd, down, {f_.B(0), f_.B(1), f_.I(0), f_.B(2), f_.I(1)});
        EXPECT_EQ(static_cast<i16>(f_.Get(kQ4TypeInt, f_.I(1))), cv);
        EXPECT_EQ(f_.GetB(f_.B(2)), q);
    }
    f_.Exec(Q4Ctl_Ctu, nullptr, {f_.B(0), f_.B(1), f_.I(0), f_.B(2), f_.I(1)});  // no instance
    EXPECT_EQ(f_.Get(kQ4TypeInt, f_.I(1)), 0u);
}

class Moves : public AnyBlocks {
protected:
    // Fills the array of type with 1..6 and answers its elements.
    void Load(u16 type, std::initializer_list<u64> v = {1, 2, 3, 4, 5, 6}) {
        u16 k = 0;
        for (u64 x : v) f_.Set(type, static_cast<u16>(f_.Arr(type) + k++), x);
    }
    std::vector<u64> Elements(u16 type, u16 n = AnyDb::kArrayLen) {
        std::vector<u64> r;
        for (u16 k = 0; k < n; ++k) r.push_back(f_.Get(type, static_cast<u16>(f_.Arr(type) + k)));
        return r;
    }
};

TEST_F(Moves, ShiftAndRotateStayInsideTheirCounts) {
    struct Case {
        Q4FbHandler h;
        u16 type;
        i16 n;
        i32 length;
        u16 count;
        bool up;
        std::vector<u64> want;
        u64 out;
    };
    const Case cases[] = {
        {Q4Ctl_MultiShift, kQ4TypeInt, 2, 5, 6, true, {0, 0, 1, 2, 3, 6}, 4},
        {Q4Ctl_MultiShift, kQ4TypeInt, 2, 5, 6, false, {3, 4, 5, 0, 0, 6}, 2},
        {Q4Ctl_MultiShift, kQ4TypeUsint, 1, 100, 3, true, {0, 1, 2, 4, 5, 6}, 3},  // length cut to the count
        {Q4Ctl_MultiShift, kQ4TypeDint, 6, 6, 6, true, {0, 0, 0, 0, 0, 0}, 1},
        {Q4Ctl_MultiShift, kQ4TypeDint, 7, 6, 6, true, {1, 2, 3, 4, 5, 6}, 0x5A},  // n beyond the length
        {Q4Ctl_MultiShift, kQ4TypeDint, -1, 6, 6, true, {1, 2, 3, 4, 5, 6}, 0x5A},
        {Q4Ctl_MultiShift, kQ4TypeLint, 1, 6, 6, true, {1, 2, 3, 4, 5, 6}, 0x5A},  // 64-bit: not shifted
        {Q4Ctl_MultiRot, kQ4TypeInt, 1, 4, 6, true, {4, 1, 2, 3, 5, 6}, 0x5A},
        {Q4Ctl_MultiRot, kQ4TypeInt, 1, 4, 6, false, {2, 3, 4, 1, 5, 6}, 0x5A},
        {Q4Ctl_MultiRot, kQ4TypeDint, 7, 3, 6, true, {3, 1, 2, 4, 5, 6}, 0x5A},   // 7 steps = 1
        {Q4Ctl_MultiRot, kQ4TypeUsint, 2, 50, 4, false, {3, 4, 1, 2, 5, 6}, 0x5A},
        {Q4Ctl_MultiRot, kQ4TypeInt, 0, 4, 6, true, {1, 2, 3, 4, 5, 6}, 0x5A},
        {Q4Ctl_MultiRot, kQ4TypeInt, 1, -4, 6, true, {1, 2, 3, 4, 5, 6}, 0x5A},
        {Q4Ctl_MultiRot, kQ4TypeReal, 1, 4, 6, true, {1, 2, 3, 4, 5, 6}, 0x5A},
    };
    for (const Case& c : cases) {
        Load(c.type);
        f_.Set(kQ4TypeInt, f_.I(0), static_cast<u16>(c.n));
        f_.SetD(f_.D(0), c.length);
        f_.SetB(f_.B(0), c.up);
        f_.Set(c.type, f_.V(c.type, 5), 0);      // fill value
        f_.Set(c.type, f_.V(c.type, 6), 0x5A);   // shifted out
        std::vector<u16> ops = {c.type, f_.I(0), f_.Arr(c.type), c.count, f_.D(0), f_.B(0)};
        if (c.h == Q4Ctl_MultiShift) ops.insert(ops.end(), {f_.V(c.type, 5), f_.V(c.type, 6)});
        f_.Exec(c.h, nullptr, ops);
        EXPECT_EQ(Elements(c.type), c.want) << "type " << c.type << " n " << c.n;
        if (c.type != kQ4TypeReal) EXPECT_EQ(f_.Get(c.type, f_.V(c.type, 6)), c.out) << "type " << c.type << " n " << c.n;
    }
}

TEST_F(Moves, MoveAndFillBoundedByBothArrays) {
    // Source: the INT array; destination: the following INT variables I(0..).
    Load(kQ4TypeInt);
    for (u16 k = 0; k < 8; ++k) f_.Set(kQ4TypeInt, f_.I(k), 0);
    f_.Set(kQ4TypeInt, f_.I(7), 4);
    f_.Exec(Q4Ctl_Mvb, nullptr, {kQ4TypeInt, f_.Arr(kQ4TypeInt), 6, f_.I(0), 3, f_.I(7)});  // N 4 > 3
    EXPECT_EQ(f_.Get(kQ4TypeInt, f_.I(2)), 3u);
    EXPECT_EQ(f_.Get(kQ4TypeInt, f_.I(3)), 0u);
    f_.Set(kQ4TypeInt, f_.I(7), static_cast<u16>(-2));
    f_.Exec(Q4Ctl_Mvb, nullptr, {kQ4TypeInt, f_.Arr(kQ4TypeInt), 6, f_.I(3), 3, f_.I(7)});
    EXPECT_EQ(f_.Get(kQ4TypeInt, f_.I(3)), 0u);
    // LINT within one array (overlapping) and REAL not moved.
    Load(kQ4TypeLint);
    f_.Set(kQ4TypeInt, f_.I(7), 3);
    f_.Exec(Q4Ctl_Mvb, nullptr, {kQ4TypeLint, f_.Arr(kQ4TypeLint), 6, static_cast<u16>(f_.Arr(kQ4TypeLint) + 1), 5, f_.I(7)});
    EXPECT_EQ(Elements(kQ4TypeLint), (std::vector<u64>{1, 1, 2, 3, 5, 6}));
    Load(kQ4TypeDint);
    f_.Exec(Q4Ctl_Mvb, nullptr, {kQ4TypeReal, f_.Arr(kQ4TypeDint), 6, static_cast<u16>(f_.Arr(kQ4TypeDint) + 1), 5, f_.I(7)});
    EXPECT_EQ(Elements(kQ4TypeDint), (std::vector<u64>{1, 2, 3, 4, 5, 6}));
    // A count reaching past the table is not used at all.
    f_.Exec(Q4Ctl_Mvb, nullptr, {kQ4TypeDint, f_.Arr(kQ4TypeDint), 6, f_.D(23), 60000, f_.I(7)});
    EXPECT_EQ(f_.GetD(f_.D(23)), 0);

    struct Case {
        u16 type;
        i16 value, n;
        u16 count;
        std::vector<u64> want;
    };
    const Case cases[] = {
        {kQ4TypeDint, 1, 6, 6, {65537, 65537, 65537, 65537, 65537, 65537}},
        {kQ4TypeInt, -1, 9, 2, {0xFFFF, 0xFFFF, 3, 4, 5, 6}},
        {kQ4TypeUlint, 2, 1, 6, {0x0002000200020002ull, 2, 3, 4, 5, 6}},
        {kQ4TypeUsint, 7, 6, 6, {1, 2, 3, 4, 5, 6}},
        {kQ4TypeInt, 7, 0, 6, {1, 2, 3, 4, 5, 6}},
        {kQ4TypeInt, 7, -3, 6, {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        Load(c.type);
        f_.Set(kQ4TypeInt, f_.I(0), static_cast<u16>(c.value));
        f_.Set(kQ4TypeInt, f_.I(1), static_cast<u16>(c.n));
        f_.Exec(Q4Ctl_Fill, nullptr, {c.type, f_.I(0), f_.Arr(c.type), c.count, f_.I(1)});
        EXPECT_EQ(Elements(c.type), c.want) << "type " << c.type;
    }
}

}  // namespace
