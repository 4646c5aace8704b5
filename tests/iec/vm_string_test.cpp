#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// A VM string of a given capacity inside a larger buffer whose tail is
// poisoned, so that a write past capacity + 3 shows.
struct VmStr {
    u8 buf[300];
    u8 cap;
    explicit VmStr(u8 capacity, const std::string& text = {}) : cap(capacity) {
        std::memset(buf, 0xEE, sizeof buf);
        Q4Str_Init(buf, capacity);
        Q4Str_AscForce(buf, text.data(), static_cast<u32>(text.size()));
    }
    std::string Str() const { return std::string(Q4Str_GetText(buf), Q4Str_GetLength(buf)); }
    bool Intact() const {
        if (buf[2 + buf[1]] != 0 || buf[1] > cap) return false;
        for (size_t i = cap + 3u; i < sizeof buf; ++i)
            if (buf[i] != 0xEE) return false;
        return true;
    }
};

std::string Rep(char c, size_t n) { return std::string(n, c); }

}  // namespace

TEST(VmString, WritesAreCutAtCapacityAndNeverPastTheBuffer) {
    struct Case {
        const char* what;
        u8 cap;
        std::function<void(VmStr&)> op;
        std::string want;
    } cases[] = {
        {"copy 10 into 4", 4, [](VmStr& d) { VmStr s(20, "0123456789"); Q4Str_Copy(d.buf, s.buf); }, "0123"},
        {"copy into 0", 0, [](VmStr& d) { VmStr s(20, "abc"); Q4Str_Copy(d.buf, s.buf); }, ""},
        {"force 255 into 255", 255, [](VmStr& d) { Q4Str_AscForceC(d.buf, Rep('x', 255).c_str()); }, Rep('x', 255)},
        {"force 300 into 255", 255, [](VmStr& d) { Q4Str_AscForceC(d.buf, Rep('y', 300).c_str()); }, Rep('y', 255)},
        {"force null", 5, [](VmStr& d) { Q4Str_AscForceC(d.buf, nullptr); }, ""},
        {"length-prefixed", 3, [](VmStr& d) { const u8 t[] = {5, 'h', 'e', 'l', 'l', 'o'}; Q4Str_Force(d.buf, t); }, "hel"},
        {"char", 1, [](VmStr& d) { Q4Str_Char(d.buf, 'Q'); }, "Q"},
        {"char into 0", 0, [](VmStr& d) { Q4Str_Char(d.buf, 'Q'); }, ""},
        {"cat cut", 5, [](VmStr& d) { VmStr a(9, "abc"), b(9, "defgh"); Q4Str_Cat(d.buf, a.buf, b.buf); }, "abcde"},
        {"cat 255+255", 255, [](VmStr& d) { VmStr a(255, Rep('a', 255)), b(255, Rep('b', 255)); Q4Str_Cat(d.buf, a.buf, b.buf); }, Rep('a', 255)},
        {"cat in place", 8, [](VmStr& d) { Q4Str_AscForceC(d.buf, "abc"); VmStr b(9, "defgh"); Q4Str_Cat(d.buf, d.buf, b.buf); }, "abcdefgh"},
        {"left", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Left(d.buf, s.buf, 2); }, "he"},
        {"left past end", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Left(d.buf, s.buf, 99); }, "hello"},
        {"left negative", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Left(d.buf, s.buf, -1); }, ""},
        {"right", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Right(d.buf, s.buf, 3); }, "llo"},
        {"right into small", 2, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Right(d.buf, s.buf, 3); }, "ll"},
        {"mid", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Mid(d.buf, s.buf, 1, 3); }, "ell"},
        {"mid negative pos", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Mid(d.buf, s.buf, -5, 2); }, "he"},
        {"mid past end", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Mid(d.buf, s.buf, 4, 9); }, "o"},
        {"mid pos beyond", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Mid(d.buf, s.buf, 50, 2); }, ""},
        {"mid in place", 9, [](VmStr& d) { Q4Str_AscForceC(d.buf, "hello"); Q4Str_Mid(d.buf, d.buf, 2, 2); }, "ll"},
        {"delete", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Delete(d.buf, s.buf, 1, 2); }, "hlo"},
        {"delete too many", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Delete(d.buf, s.buf, 3, 50); }, "hel"},
        {"delete negative n", 9, [](VmStr& d) { VmStr s(9, "hello"); Q4Str_Delete(d.buf, s.buf, 1, -2); }, "hello"},
        {"insert", 9, [](VmStr& d) { VmStr s(9, "held"), i(9, "XY"); Q4Str_Insert(d.buf, s.buf, i.buf, 2); }, "heXYld"},
        {"insert limited by source room", 20,
         [](VmStr& d) { VmStr s(5, "abcd"), i(9, "XYZ"); Q4Str_Insert(d.buf, s.buf, i.buf, 1); }, "aXbcd"},
        {"insert cut at destination", 4,
         [](VmStr& d) { VmStr s(9, "abcd"), i(9, "XY"); Q4Str_Insert(d.buf, s.buf, i.buf, 0); }, "XYab"},
        {"itoa min", 11, [](VmStr& d) { Q4Str_ItoA(d.buf, INT32_MIN); }, "-2147483648"},
        {"itoa cut", 3, [](VmStr& d) { Q4Str_ItoA(d.buf, -12345); }, "-12"},
        {"utoa max", 10, [](VmStr& d) { Q4Str_UtoA(d.buf, 0xFFFFFFFFu); }, "4294967295"},
        {"lint min", 20, [](VmStr& d) { Q4Str_LINTtoA(d.buf, INT64_MIN); }, "-9223372036854775808"},
        {"bool", 1, [](VmStr& d) { Q4Str_BootoA(d.buf, 7); }, "1"},
        {"ftoa", 12, [](VmStr& d) { Q4Str_FtoA(d.buf, 1.5f); }, "1.5"},
        {"dtoa", 12, [](VmStr& d) { Q4Str_DtoA(d.buf, 1e300); }, "1e+300"},
        {"htoa 0", 8, [](VmStr& d) { Q4Str_HtoA(d.buf, 0); }, "00"},
        {"htoa 1A", 8, [](VmStr& d) { Q4Str_HtoA(d.buf, 0x1A); }, "1A"},
        {"htoa 123", 8, [](VmStr& d) { Q4Str_HtoA(d.buf, 0x123); }, "0123"},
        {"htoa full", 8, [](VmStr& d) { Q4Str_HtoA(d.buf, 0xDEADBEEF); }, "DEADBEEF"},
        {"htoa small capacity", 7, [](VmStr& d) { Q4Str_HtoA(d.buf, 0x1A); }, ""},
    };
    for (Case& k : cases) {
        VmStr d(k.cap, "old");
        k.op(d);
        EXPECT_EQ(d.Str(), k.want) << k.what;
        EXPECT_TRUE(d.Intact()) << k.what;
    }
}

TEST(VmString, CopyCutAtFourPutsTheNulInByteSix) {
    VmStr src(20, "0123456789"), dst(4);
    Q4Str_Copy(dst.buf, src.buf);
    EXPECT_EQ(dst.buf[1], 4);
    EXPECT_EQ(dst.buf[6], 0);
}

TEST(VmString, DamagedLengthIsReadAsCapacity) {
    VmStr s(3, "abc");
    s.buf[1] = 200;  // e.g. a retained buffer of another layout
    EXPECT_EQ(Q4Str_GetLength(s.buf), 3);
    VmStr d(255);
    Q4Str_Copy(d.buf, s.buf);
    EXPECT_EQ(d.Str(), "abc");
}

TEST(VmString, SearchCompareAndCaseFolding) {
    VmStr hello(9, "hello"), lo(9, "lo"), empty(9), longer(9, "hellos"), other(9, "help");
    EXPECT_EQ(Q4Str_Find(hello.buf, lo.buf), 4);
    EXPECT_EQ(Q4Str_Find(hello.buf, empty.buf), 0);
    EXPECT_EQ(Q4Str_Find(lo.buf, hello.buf), 0);
    EXPECT_EQ(Q4Str_Find(hello.buf, other.buf), 0);
    EXPECT_EQ(Q4Str_Compare(hello.buf, hello.buf), 0);
    EXPECT_EQ(Q4Str_Compare(hello.buf, other.buf), 'l' - 'p');
    EXPECT_EQ(Q4Str_Compare(longer.buf, hello.buf), 1);
    EXPECT_EQ(Q4Str_Compare(hello.buf, longer.buf), -1);
    VmStr hi(9, "\xF0"), low(9, "\x10");
    EXPECT_GT(Q4Str_Compare(hi.buf, low.buf), 0);  // unsigned characters
    EXPECT_EQ(Q4Str_ICmp("Motor_1", "MOTOR_1"), 0);
    EXPECT_EQ(Q4Str_ICmp("a", "b"), 255);  // difference modulo 256
    EXPECT_EQ(Q4Str_NICmp("abcX", "ABCY", 3), 0);
    EXPECT_NE(Q4Str_NICmp("abcX", "ABCY", 4), 0);
    EXPECT_EQ(Q4Str_NICmp("ab", "AB", 10), 0);
    EXPECT_EQ(Q4Str_Ascii(hello.buf, 1), 'e');
    EXPECT_EQ(Q4Str_Ascii(hello.buf, 5), 0);
    EXPECT_EQ(Q4Str_Ascii(hello.buf, -1), 0);
}

TEST(VmString, ParsesStopAtTheFirstForeignCharacter) {
    struct Case {
        const char* text;
        i32 atoi;
        u32 atoul;
        i64 atolint;
        u32 atoh;
    } cases[] = {
        {"123abc", 123, 123, 123, 0x123ABC},
        {"  -42", -42, 0, -42, 0},
        {"99999999999", INT32_MAX, 1215752191u, 99999999999, 0x99999999u},  // the hex parse keeps the low 32 bits
        {"-99999999999", INT32_MIN, 0, -99999999999, 0},
        {"ff", 0, 0, 0, 0xFF},
        {"", 0, 0, 0, 0},
    };
    for (const Case& k : cases) {
        VmStr s(20, k.text);
        EXPECT_EQ(Q4Str_AtoI(s.buf), k.atoi) << k.text;
        EXPECT_EQ(Q4Str_AtoUL(s.buf), k.atoul) << k.text;
        EXPECT_EQ(Q4Str_AtoLINT(s.buf), k.atolint) << k.text;
        EXPECT_EQ(Q4Str_AtoH(s.buf), k.atoh) << k.text;
    }
    // The text ends at the length, not at bytes left behind after it.
    VmStr s(9, "12345");
    s.buf[1] = 2;
    EXPECT_EQ(Q4Str_AtoI(s.buf), 12);
    VmStr f(20, "1e39");
    EXPECT_TRUE(std::isinf(Q4Str_AtoF(f.buf)));
    // The printed largest REAL reads back as itself, not as an overflow.
    VmStr m(20, "-3.4028235e38");
    EXPECT_EQ(Q4Str_AtoF(m.buf), -std::numeric_limits<float>::max());
    VmStr d(20, "2.5x");
    EXPECT_DOUBLE_EQ(Q4Str_AtoD(d.buf), 2.5);
    EXPECT_EQ(Q4Str_SZtoLINT("-9223372036854775808"), INT64_MIN);
}

TEST(VmString, CrcOfTextAndEmptyString) {
    VmStr abc(9, "abc"), digits(9, "123456789"), empty(9);
    EXPECT_EQ(Q4Str_Crc16(abc.buf), 0x5749);
    EXPECT_EQ(Q4Str_Crc16(digits.buf), 0x4B37);
    EXPECT_EQ(Q4Str_Crc16(empty.buf), 0xFFFF);
}

TEST(VmString, RawCopiesWithArrays) {
    VmStr s(7);
    const u16 words[] = {0x4241, 0x4443, 0x4645, 0x4847};
    // min(count 4, size 4, capacity 7 / 2 = 3) elements, length 6, no NUL written.
    s.buf[8] = 0x55;
    EXPECT_EQ(Q4Str_FromArray(s.buf, words, 4, 4, 2), 3);
    EXPECT_EQ(s.buf[1], 6);
    EXPECT_EQ(std::string(Q4Str_GetText(s.buf), 6), "ABCDEF");
    EXPECT_EQ(s.buf[8], 0x55);
    EXPECT_EQ(Q4Str_FromArray(s.buf, words, 4, -1, 2), 0);
    u32 out[3] = {};
    VmStr t(20, "ABCDEFGHIJ");  // 10 characters: 2 whole DINTs
    EXPECT_EQ(Q4Str_ToArray(t.buf, out, 3, 4), 2);
    EXPECT_EQ(out[1], 0x48474645u);
    EXPECT_EQ(out[2], 0u);
}

TEST(VmString, WorkbenchForcingForm) {
    const u8 units[] = {3, 0, 'a', 0, 'b', 0, 'c', 0};
    VmStr s(9);
    Q4Str_DBForce(s.buf, units, 4);
    EXPECT_EQ(s.Str(), "abc");
    Q4Str_DBForce(s.buf, units, 2);  // a short frame: only what arrived
    EXPECT_EQ(s.Str(), "a");
    VmStr small(1);
    Q4Str_DBForce(small.buf, units, 4);
    EXPECT_EQ(small.Str(), "a");
    EXPECT_TRUE(small.Intact());
}

TEST(VmString, DateFormatting) {
    u32 date = Q4DateStamp(2021, 3, 5), time = Q4TimeStamp(7, 8, 9, 999);
    struct Case {
        u8 cap;
        const char* fmt;
        const char* want;
    } cases[] = {
        {40, "%Y-%m-%d %H:%M:%S", "2021-03-05 07:08:09"},
        {3, "%Y", "21"},   // fewer than 4 places: the last two digits
        {40, "%y%%q%", "21%%q%"},
        {40, "100%", "100%"},
        {5, "ab%Y", "ab21"},
        {3, "ab%Y", "ab%"},  // one place left: the % alone
        {0, "%Y", ""},
    };
    for (const Case& k : cases) {
        VmStr f(40, k.fmt), d(k.cap);
        Q4Str_DateFmt(d.buf, f.buf, date, time);
        EXPECT_EQ(d.Str(), k.want) << k.fmt << " cap " << int(k.cap);
        EXPECT_TRUE(d.Intact());
    }
}

TEST(VmString, FixedWidthNumbers) {
    auto f32 = [](float v) {
        u32 b;
        std::memcpy(&b, &v, 4);
        return static_cast<u64>(b);
    };
    auto f64 = [](double v) {
        u64 b;
        std::memcpy(&b, &v, 8);
        return b;
    };
    struct Case {
        const char* what;
        u8 cap;
        u16 type;
        u64 value;
        i32 width, decimals;
        int result;
        std::string want;
    } cases[] = {
        {"real -0.5", 10, kQ4TypeReal, f32(-0.5f), 6, 2, 1, " -0.50"},
        {"dint too wide", 10, kQ4TypeDint, 100, 2, 0, 0, "**"},
        {"no rounding", 10, kQ4TypeReal, f32(1.25f), 0, 1, 1, "1.2"},
        {"left aligned", 10, kQ4TypeInt, 0xFFFF, -5, 0, 1, "-1   "},
        {"uint", 10, kQ4TypeUint, 0xFFFF, 0, 0, 1, "65535"},
        {"usint", 10, kQ4TypeUsint, 0xFF, 4, 0, 1, " 255"},
        {"dint decimals are zeros", 10, kQ4TypeDint, 7, 0, 3, 1, "7.000"},
        {"width above capacity", 4, kQ4TypeDint, 7, 6, 0, 0, "****"},
        {"no width, cut by capacity", 3, kQ4TypeDint, 12345, 0, 0, 0, "***"},
        {"string type", 5, kQ4TypeString, 0, 3, 0, 0, "***"},
        {"ulint unsigned", 25, kQ4TypeUlint, ~0ull, 0, 0, 1, "18446744073709551615"},
        {"lint min", 25, kQ4TypeLint, 0x8000000000000000ull, 0, 0, 1, "-9223372036854775808"},
        {"real beyond dint", 15, kQ4TypeReal, f32(3e9f), 0, 0, 1, "2147483647"},
        {"lreal digits", 30, kQ4TypeLreal, f64(-12345678901.75), 0, 2, 1, "-12345678901.75"},
        {"lreal too long", 255, kQ4TypeLreal, f64(1e300), 0, 0, 0, std::string(255, '*')},
        {"nan", 6, kQ4TypeReal, f32(NAN), 6, 0, 0, "******"},
        {"bool", 3, kQ4TypeBool, 1, 3, 0, 1, "  1"},
        {"time unsigned", 12, kQ4TypeTime, 0xFFFFFFFFu, 0, 0, 1, "4294967295"},
    };
    for (const Case& k : cases) {
        VmStr d(k.cap);
        u8 data[8];
        PutLe64(data, k.value);
        EXPECT_EQ(Q4Str_NumToStr(d.buf, k.type, data, k.width, k.decimals), k.result) << k.what;
        EXPECT_EQ(d.Str(), k.want) << k.what;
        EXPECT_TRUE(d.Intact()) << k.what;
    }
    VmStr d(6);
    EXPECT_EQ(Q4Str_NumToStr(d.buf, kQ4TypeDint, nullptr, 3, 0), 0);  // unknown variable
    EXPECT_EQ(d.Str(), "***");
}
