// The controller's string blocks: editing of STRING variables, conversions,
// and the byte-array bridge, held to the arrays' element counts.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "fb_fixture.h"
#include "iec/blocks/q4StringOps.h"
#include "iec/kernel/q4vmfb.h"

namespace {

class StrDb : public FbDb {
public:
    StrDb() : FbDb(Builder()) {}
    u16 S(u16 k) const { return static_cast<u16>(s0_ + k); }  // STRING(10) 0-3, STRING(7) 4, STRING(3) 5
    u16 I(u16 k) const { return static_cast<u16>(i0_ + k); }
    u16 A(u16 k) const { return static_cast<u16>(a_[k]); }   // byte arrays of 8 elements
    static constexpr u16 kArr = 8;
    void SetS(u16 s, const std::string& t) {
        u8* p = Vm().String(s);
        p[1] = static_cast<u8>(t.size());
        std::memcpy(p + 2, t.data(), t.size());
        p[2 + t.size()] = 0;
    }
    std::string GetS(u16 s) {
        u8* p = Vm().String(s);
        return std::string(reinterpret_cast<char*>(p + 2), p[1]);
    }
    void SetI(u16 i, i16 v) { PutLe16(Vm().Data16(i), static_cast<u16>(v)); }
    i16 GetI(u16 i) { return static_cast<i16>(GetLe16(Vm().Data16(i))); }
    // Array k: bytes, the rest 0x7E (no NUL) when fill.
    void SetA(u16 k, const std::string& t, bool unterminated = false) {
        for (u16 j = 0; j < kArr; ++j) *Vm().Data8(static_cast<u16>(a_[k] + j)) = unterminated ? '~' : 0;
        for (size_t j = 0; j < t.size() && j < kArr; ++j) *Vm().Data8(static_cast<u16>(a_[k] + j)) = static_cast<u8>(t[j]);
    }
    std::string GetA(u16 k, u16 n = kArr) {
        std::string r;
        for (u16 j = 0; j < n; ++j) r.push_back(static_cast<char>(*Vm().Data8(static_cast<u16>(a_[k] + j))));
        return r;
    }

private:
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        s0_ = b.String(10);
        for (int k = 1; k < 4; ++k) b.String(10);
        b.String(7);
        b.String(3);
        i0_ = b.Var(kQ4TypeInt);
        for (int k = 1; k < 6; ++k) b.Var(kQ4TypeInt);
        // Arrays, each followed by a guard byte that must never change.
        for (int k = 0; k < 3; ++k) {
            a_[k] = b.Array(kQ4TypeUsint, kArr);
            b.Var(kQ4TypeUsint, 0x55);
        }
        return b;
    }
    static inline u16 s0_ = 0, i0_ = 0, a_[3] = {};
};

class StringBlocks : public ::testing::Test {
protected:
    void ExpectGuards() {
        for (u16 k = 0; k < 3; ++k) EXPECT_EQ(*f_.Vm().Data8(static_cast<u16>(f_.A(k) + StrDb::kArr)), 0x55) << k;
    }
    StrDb f_;
};

TEST_F(StringBlocks, RegisteredAndAnsweringTheConventions) {
    for (const Q4BlockEntry& e : kQ4CtlStringRows) {
        bool found = false;
        for (u32 id = 0; id < kPfbCount; ++id) found |= PFB[id].handler == e.handler && std::strcmp(PFB[id].name, e.name) == 0;
        EXPECT_TRUE(found) << e.name;
        EXPECT_EQ(e.handler(kFbAnyType, nullptr, nullptr, nullptr, nullptr), 1) << e.name;
        EXPECT_EQ(e.handler(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 0) << e.name;
    }
}

TEST_F(StringBlocks, EditingCutsToTheOutput) {
    struct Case {
        Q4FbHandler h;
        std::string in1, in2;
        i32 a, b;   // the DINT operands in call order
        int nums;   // how many DINT operands
        u16 out;    // output string
        std::string want;
    };
    const Case cases[] = {
        {Q4Ctl_StringConcat, "ABCDEF", "GHIJKL", 0, 0, 0, 2, "ABCDEFGHIJ"},
        {Q4Ctl_StringLeft, "ABCDEF", "", -1, 0, 1, 2, ""},
        {Q4Ctl_StringLeft, "ABCDEF", "", 99, 0, 1, 2, "ABCDEF"},
        {Q4Ctl_StringRight, "ABCDEF", "", 2, 0, 1, 2, "EF"},
        {Q4Ctl_StringMid, "ABCDEF", "", 2, 1, 2, 2, "BC"},       // L 2, P 1
        {Q4Ctl_StringMid, "ABCDEF", "", 2, -4, 2, 2, "AB"},
        {Q4Ctl_StringMid, "ABCDEF", "", 2, 40, 2, 2, ""},
        {Q4Ctl_DeleteChars, "ABCDEF", "", 1, 2, 2, 2, "ADEF"},   // P 1, L 2
        {Q4Ctl_DeleteChars, "ABCDEF", "", -1, 99, 2, 2, ""},
        {Q4Ctl_InsertChars, "ABC", "xy", 1, 0, 1, 2, "AxyBC"},
        {Q4Ctl_InsertChars, "ABCDEFGHI", "xy", 1, 0, 1, 2, "AxBCDEFGHI"},  // cut to IN1's capacity
        {Q4Ctl_StringReplace, "ABCDEF", "xy", 2, 1, 2, 2, "AxyDEF"},
        {Q4Ctl_StringReplace, "ABCDEF", "xyz", 0, 1, 2, 5, "ABC"},          // no room left in the output
        {Q4Ctl_StringReplace, "ABCDEF", "xyz", 4, 1, 2, 5, "AxF"},
        {Q4Ctl_HexToAscii, "", "", 4096, 0, 1, 2, "1000"},
    };
    for (const Case& c : cases) {
        f_.SetS(f_.S(0), c.in1);
        f_.SetS(f_.S(1), c.in2);
        f_.SetS(f_.S(c.out), "j");
        f_.SetD(f_.D(0), c.a);
        f_.SetD(f_.D(1), c.b);
        std::vector<u16> ops;
        if (c.h == Q4Ctl_HexToAscii) ops = {f_.D(0)};
        else if (c.h == Q4Ctl_StringConcat || c.h == Q4Ctl_InsertChars || c.h == Q4Ctl_StringReplace) ops = {f_.S(0), f_.S(1)};
        else ops = {f_.S(0)};
        if (c.h != Q4Ctl_HexToAscii)
            for (int k = 0; k < c.nums; ++k) ops.push_back(f_.D(static_cast<u16>(k)));
        ops.push_back(f_.S(c.out));
        f_.Exec(c.h, nullptr, ops);
        EXPECT_EQ(f_.GetS(f_.S(c.out)), c.want) << c.in1 << " " << c.a << " " << c.b;
    }
}

TEST_F(StringBlocks, NumbersOfStrings) {
    struct Case {
        Q4FbHandler h;
        std::string in1, in2;
        i32 p;
        i32 want;
    };
    const Case cases[] = {
        {Q4Ctl_StringFind, "ABCABC", "CA", 0, 3},
        {Q4Ctl_StringFind, "ABC", "", 0, 0},
        {Q4Ctl_StringFind, "AB", "ABC", 0, 0},
        {Q4Ctl_CharAsciiCode, "AB", "", 1, 66},
        {Q4Ctl_CharAsciiCode, "AB", "", 2, 0},
        {Q4Ctl_CharAsciiCode, "AB", "", -1, 0},
        {Q4Ctl_AsciiToHex, "1fZ9", "", 0, 0x1F},
        {Q4Ctl_AsciiToHex, "G1", "", 0, 0},
        {Q4Ctl_Crc16, "", "", 0, 0xFFFF},
        {Q4Ctl_Crc16, "123456789", "", 0, 0x4B37},
    };
    for (const Case& c : cases) {
        f_.SetS(f_.S(0), c.in1);
        f_.SetS(f_.S(1), c.in2);
        f_.SetD(f_.D(0), c.p);
        std::vector<u16> ops = {f_.S(0)};
        if (c.h == Q4Ctl_StringFind) ops.push_back(f_.S(1));
        if (c.h == Q4Ctl_CharAsciiCode) ops.push_back(f_.D(0));
        ops.push_back(f_.D(1));
        f_.Exec(c.h, nullptr, ops);
        EXPECT_EQ(f_.GetD(f_.D(1)), c.want) << c.in1;
    }
    for (auto [value, want] : {std::pair{0, "00"}, {255, "FF"}, {0x123, "0123"}, {-1, "FFFFFFFF"}}) {
        f_.SetD(f_.D(0), value);
        f_.Exec(Q4Ctl_HexToAscii, nullptr, {f_.D(0), f_.S(2)});
        EXPECT_EQ(f_.GetS(f_.S(2)), want);
    }
    f_.SetS(f_.S(4), "x");
    f_.Exec(Q4Ctl_HexToAscii, nullptr, {f_.D(0), f_.S(4)});  // STRING(7)
    EXPECT_EQ(f_.GetS(f_.S(4)), "");
    u8* s = f_.Vm().String(f_.S(0));
    f_.SetS(f_.S(0), "ABCDEF");
    s[4] = 0;  // a NUL inside the text
    f_.Exec(Q4Ctl_StringLen, nullptr, {f_.S(0), f_.I(0)});
    EXPECT_EQ(f_.GetI(f_.I(0)), 2);
}

TEST_F(StringBlocks, ByteArraysAreReadAndWrittenWithinTheirCount) {
    f_.SetA(0, "ABCDEFGH", true);  // no NUL in the array
    f_.Exec(Q4Ctl_StringLenA, nullptr, {f_.A(0), StrDb::kArr, f_.I(0)});
    EXPECT_EQ(f_.GetI(f_.I(0)), 8);
    f_.Exec(Q4Ctl_StringLenA, nullptr, {f_.A(0), 3, f_.I(0)});
    EXPECT_EQ(f_.GetI(f_.I(0)), 3);

    f_.SetS(f_.S(0), "ABC");
    struct Cmp {
        std::string a;
        bool unterminated;
        bool want;
    };
    for (const Cmp& c : {Cmp{"AB", false, false}, Cmp{"ABC", false, true}, Cmp{"ABCD", false, false}, Cmp{"ABC", true, false}}) {
        f_.SetA(0, c.a, c.unterminated);
        f_.SetB(f_.B(0), !c.want);
        f_.Exec(Q4Ctl_CmpStringConst, nullptr, {f_.A(0), StrDb::kArr, f_.S(0), f_.B(0)});
        EXPECT_EQ(f_.GetB(f_.B(0)), c.want) << c.a;
    }
    f_.SetA(0, "ABCDEFGH", true);
    f_.SetA(1, "ABCDxxxx", true);
    for (auto [n, count, want] : {std::tuple{4, 8, true}, {5, 8, false}, {0, 8, true}, {9, 8, false}, {6, 5, false}, {-1, 8, false}}) {
        f_.SetI(f_.I(0), static_cast<i16>(n));
        f_.SetB(f_.B(0), !want);
        f_.Exec(Q4Ctl_CmpStringVar, nullptr, {f_.A(0), StrDb::kArr, f_.A(1), static_cast<u16>(count), f_.I(0), f_.B(0)});
        EXPECT_EQ(f_.GetB(f_.B(0)), want) << n;
    }

    f_.SetA(0, "", true);
    f_.SetS(f_.S(0), "HELLO");
    f_.SetB(f_.B(0), false);
    f_.Exec(Q4Ctl_SetString, nullptr, {f_.S(0), f_.A(0), 0, f_.B(0)});
    EXPECT_FALSE(f_.GetB(f_.B(0)));
    EXPECT_EQ(f_.GetA(0, 1), "~");
    f_.Exec(Q4Ctl_SetString, nullptr, {f_.S(0), f_.A(0), 3, f_.B(0)});
    EXPECT_TRUE(f_.GetB(f_.B(0)));
    EXPECT_EQ(f_.GetA(0, 4), "HEL~");

    // Number conversions stop at the array's end even without a NUL.
    struct Conv {
        std::string text;
        u16 count;
        i32 dint;
        i16 integer;
        float real;
    };
    const Conv conv[] = {
        {"  -123x", 8, -123, -123, -123.0f},
        {"12345678", 4, 1234, 1234, 1234.0f},
        {"99999999", 8, 99999999, static_cast<i16>(99999999 & 0xFFFF), 1e8f},
        {"1.5e3", 8, 1, 1, 1500.0f},
        {"abc", 8, 0, 0, 0.0f},
    };
    for (const Conv& c : conv) {
        f_.SetA(0, c.text, true);
        f_.Exec(Q4Ctl_AsciiToDint, nullptr, {f_.A(0), c.count, f_.D(0)});
        f_.Exec(Q4Ctl_AsciiToInt, nullptr, {f_.A(0), c.count, f_.I(0)});
        f_.Exec(Q4Ctl_AsciiToReal, nullptr, {f_.A(0), c.count, f_.R(0)});
        EXPECT_EQ(f_.GetD(f_.D(0)), c.dint) << c.text;
        EXPECT_EQ(f_.GetI(f_.I(0)), c.integer) << c.text;
        EXPECT_EQ(f_.GetR(f_.R(0)), c.real) << c.text;
    }
    ExpectGuards();
}

TEST_F(StringBlocks, FormattingFitsTheWorkBufferAndTheArray) {
    struct Case {
        char kind;  // 'i' INT, 'd' DINT, 'r' REAL
        double value;
        i16 decimals, width;
        bool zero;
        u16 count;
        bool fits;
        std::string want;  // the array afterwards, up to its NUL; "~" untouched
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {'i', 1234, 2, 8, true, 8, false, "~"},  // 8 characters and the NUL need 9 bytes
        {'d', 1234, 2, 7, true, 8, true, "0012.34"},
        {'i', 5, 3, 5, false, 8, true, "0.005"},
        {'i', 5, 3, 4, false, 8, true, ".005"},       // the leading 0 dropped
        {'d', -12345, 0, 3, false, 8, false, "-12"},
        {'d', 7, 0, 0, false, 8, false, ""},          // width 0
        {'d', 7, 0, 0, true, 1, false, ""},
        {'d', 7, 0, 39, false, 8, true, "7"},
        {'d', 7, 0, 39, true, 8, false, "~"},         // fits the buffer, not the array
        {'d', 7, 0, 40, false, 8, false, "~"},
        {'d', 7, -1, 5, false, 8, false, "~"},
        {'d', 7, 38, 5, false, 8, false, "~"},        // "0.000...7" of 40 characters
        {'d', 7, 0, -1, false, 8, false, "~"},
        {'r', 3.14159, 2, 6, false, 8, true, "  3.14"},
        {'r', 3.14159, 2, 6, true, 8, true, "003.14"},
        {'r', 1e38, 2, 7, false, 8, false, "~"},      // 42 characters
        {'r', 1e38, 0, 7, false, 8, false, "9999999"},  // 38 characters, cut to the width
        {'r', inf, 1, 5, false, 8, false, "  inf"},
        {'r', 0.5, 1, 2, false, 8, true, ".5"},
    };
    for (const Case& c : cases) {
        f_.SetA(0, "", true);
        u16 value = 0;
        if (c.kind == 'i') f_.SetI(value = f_.I(1), static_cast<i16>(c.value));
        if (c.kind == 'd') f_.SetD(value = f_.D(1), static_cast<i32>(c.value));
        if (c.kind == 'r') f_.SetR(value = f_.R(1), static_cast<float>(c.value));
        f_.SetI(f_.I(2), c.decimals);
        f_.SetI(f_.I(3), c.width);
        f_.SetB(f_.B(1), c.zero);
        f_.SetB(f_.B(2), !c.fits);
        Q4FbHandler h = c.kind == 'i' ? Q4Ctl_IntToAscii : c.kind == 'd' ? Q4Ctl_DintToAscii : Q4Ctl_RealToAscii;
        f_.Exec(h, nullptr, {value, f_.A(0), c.count, f_.I(2), f_.I(3), f_.B(1), f_.B(2)});
        EXPECT_EQ(f_.GetB(f_.B(2)), c.fits) << c.value << " w" << c.width;
        const std::string a = f_.GetA(0);
        const std::string want = c.want == "~" ? std::string(StrDb::kArr, '~') : c.want;
        EXPECT_EQ(a.substr(0, a.find('\0')), want) << c.value << " w" << c.width;
    }
    // Whole-buffer formatting, without the array: 39 characters is the most.
    char text[41];
    bool fits = false;
    EXPECT_EQ(Q4Ctl_FormatInteger(text, 7, 37, 39, false, &fits), 39);
    EXPECT_TRUE(fits);
    EXPECT_EQ(Q4Ctl_FormatReal(text, 1e38f, 0, 39, true, &fits), 39);
    EXPECT_TRUE(fits);
    ExpectGuards();
}

}  // namespace
