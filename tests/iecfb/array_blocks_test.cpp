// The array blocks on a built database: sorting, extremes, fill, find and
// count over every comparison group, with NaN, signed zeros and strings.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fb_fixture.h"
#include "iec/ext/q4barray.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmstr.h"

namespace {

u64 F(float f) { return std::bit_cast<u32>(f); }
u64 D(double d) { return std::bit_cast<u64>(d); }
const float kNanF = std::numeric_limits<float>::quiet_NaN();
const double kNanD = std::numeric_limits<double>::quiet_NaN();

// A database with one array of `count` elements of `type`, and two spare
// variables of that type (a value and a result).
class ArrDb {
public:
    ArrDb(u16 type, u16 count) : type_(type), fb_(Make(type, count)) {}

    u8* Db() { return fb_.Db(); }
    FbDb& Fb() { return fb_; }
    u16 First() const { return first_; }
    u16 Value() const { return value_; }
    u16 Result() const { return result_; }

    u8* At(u16 index) { return Q4Tools_GetAnyParam(Db(), type_, index, nullptr, nullptr); }
    void Put(u16 index, u64 raw) {
        u8* p = At(index);
        ASSERT_NE(p, nullptr);
        for (u32 i = 0; i < Q4Type_Size(type_); ++i) p[i] = static_cast<u8>(raw >> (8 * i));
    }
    u64 Get(u16 index) {
        u8* p = At(index);
        u64 v = 0;
        for (u32 i = 0; i < Q4Type_Size(type_); ++i) v |= u64{p[i]} << (8 * i);
        return v;
    }
    void PutAll(const std::vector<u64>& values) {
        for (size_t k = 0; k < values.size(); ++k) Put(static_cast<u16>(first_ + k), values[k]);
    }
    std::vector<u64> GetAll(size_t n) {
        std::vector<u64> v;
        for (size_t k = 0; k < n; ++k) v.push_back(Get(static_cast<u16>(first_ + k)));
        return v;
    }

private:
    FbDb Make(u16 type, u16 count) {
        IecImageBuilder b;
        first_ = b.Array(type, count);
        if (type == kQ4TypeString) {
            value_ = b.String(8);
            result_ = b.String(2);
        } else {
            value_ = b.Var(type);
            result_ = b.Var(type);
        }
        return FbDb(b, 4);
    }
    u16 type_;
    u16 first_ = 0, value_ = 0, result_ = 0;
    FbDb fb_;
};

struct SortCase {
    const char* name;
    u16 type;
    std::vector<u64> in, out;
};

TEST(ArrayBlocks, SortOrdersEachGroupAndKeepsNanInPlace) {
    const u64 top = u64{1} << 63;
    const std::vector<SortCase> cases = {
        {"sint", kQ4TypeSint, {5, 0xFD, 0}, {0xFD, 0, 5}},
        {"usint", kQ4TypeUsint, {200, 3}, {3, 200}},
        {"bool", kQ4TypeBool, {1, 0, 1, 0}, {0, 0, 1, 1}},
        {"int", kQ4TypeInt, {300, 0xFFFE, 7}, {0xFFFE, 7, 300}},
        {"uint", kQ4TypeUint, {0xFFFF, 1}, {1, 0xFFFF}},
        {"dint", kQ4TypeDint, {3, 0xFFFFFFFF, 2, 0xFFFFFF9C}, {0xFFFFFF9C, 0xFFFFFFFF, 2, 3}},
        {"udint", kQ4TypeUdint, {0x80000000, 1}, {1, 0x80000000}},
        {"time", kQ4TypeTime, {0x90000000, 5}, {5, 0x90000000}},
        {"lint", kQ4TypeLint, {~u64{0}, top, 5}, {top, ~u64{0}, 5}},
        {"ulint above 2^63", kQ4TypeUlint, {top + 5, 7, top}, {7, top, top + 5}},
        {"real nan stays", kQ4TypeReal, {F(3), F(kNanF), F(1), F(2)}, {F(1), F(kNanF), F(2), F(3)}},
        {"lreal nans stay", kQ4TypeLreal, {D(kNanD), D(2), D(-1), D(kNanD), D(0)},
         {D(kNanD), D(-1), D(0), D(kNanD), D(2)}},
        {"one element", kQ4TypeDint, {9}, {9}},
    };
    for (const SortCase& c : cases) {
        ArrDb a(c.type, static_cast<u16>(c.in.size()));
        a.PutAll(c.in);
        a.Fb().SetB(a.Fb().B(0), false);
        a.Fb().Exec(Q4BArray_Sort, nullptr, {c.type, a.First(), static_cast<u16>(c.in.size()), a.Fb().B(0)});
        EXPECT_TRUE(a.Fb().GetB(a.Fb().B(0))) << c.name;
        EXPECT_EQ(a.GetAll(c.in.size()), c.out) << c.name;
    }
}

TEST(ArrayBlocks, SortOfManyMatchesStdSort) {
    const u16 n = 20000;
    ArrDb a(kQ4TypeDint, n);
    std::vector<u64> in(n);
    u32 x = 12345;
    for (u64& v : in) v = (x = x * 1103515245u + 12345u);
    a.PutAll(in);
    a.Fb().Exec(Q4BArray_Sort, nullptr, {kQ4TypeDint, a.First(), n, a.Fb().B(0)});
    std::vector<i32> want;
    for (u64 v : in) want.push_back(static_cast<i32>(static_cast<u32>(v)));
    std::sort(want.begin(), want.end());
    std::vector<u64> got = a.GetAll(n);
    for (u16 k = 0; k < n; ++k) ASSERT_EQ(static_cast<i32>(static_cast<u32>(got[k])), want[k]) << k;
}

TEST(ArrayBlocks, ArraysOutsideTheirTableAreNotFound) {
    ArrDb a(kQ4TypeDint, 3);
    a.PutAll({3, 2, 1});
    FbDb& f = a.Fb();
    // An element count that runs past the end of the table, and an index outside it.
    f.SetB(f.B(0), true);
    f.Exec(Q4BArray_Sort, nullptr, {kQ4TypeDint, a.First(), 60000, f.B(0)});
    EXPECT_FALSE(f.GetB(f.B(0)));
    EXPECT_EQ(a.GetAll(3), (std::vector<u64>{3, 2, 1}));
    f.SetB(f.B(1), true);
    f.Exec(Q4BArray_Fill, nullptr, {kQ4TypeDint, 60000, 2, a.Value(), f.B(1)});
    EXPECT_FALSE(f.GetB(f.B(1)));
    f.SetD(f.D(0), 0);
    f.SetD(f.D(1), 7);
    f.Exec(Q4BArray_Find, nullptr, {kQ4TypeDint, a.First(), 60000, a.Value(), f.D(0), f.D(1)});
    EXPECT_EQ(f.GetD(f.D(1)), -1);
    // Too few operands: nothing is touched.
    f.Exec(Q4BArray_Sort, nullptr, {kQ4TypeDint, a.First(), 3});
    EXPECT_EQ(a.GetAll(3), (std::vector<u64>{3, 2, 1}));
}

TEST(ArrayBlocks, SortStringsByBytesWithPrefixFirst) {
    IecImageBuilder b;
    const u16 first = b.String(4, "b");
    for (const char* s : {"ab", "", "abc", "\xC3x", "ab"}) b.String(4, s);
    FbDb f(b, 4);
    f.Exec(Q4BArray_Sort, nullptr, {kQ4TypeString, first, 6, f.B(0)});
    EXPECT_TRUE(f.GetB(f.B(0)));
    std::vector<std::string> got;
    for (u16 k = 0; k < 6; ++k) {
        const u8* s = Q4Tools_String(f.Db(), static_cast<u16>(first + k));
        EXPECT_EQ(s[0], 4);
        EXPECT_EQ(s[2 + s[1]], 0);
        got.emplace_back(Q4Str_GetText(s), Q4Str_GetLength(s));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"", "ab", "ab", "abc", "b", "\xC3x"}));
}

struct ExtremeCase {
    const char* name;
    u16 type;
    std::vector<u64> in;
    u16 count;
    u64 min, max;
};

TEST(ArrayBlocks, MinAndMaxPerGroup) {
    const std::vector<ExtremeCase> cases = {
        {"sint signed", kQ4TypeSint, {5, 0xFD, 0}, 3, 0xFD, 5},
        {"usint unsigned", kQ4TypeUsint, {5, 0xFD, 0}, 3, 0, 0xFD},
        {"ulint", kQ4TypeUlint, {u64{1} << 63, 2}, 2, 2, u64{1} << 63},
        {"real nan later skipped", kQ4TypeReal, {F(1), F(kNanF), F(-2)}, 3, F(-2), F(1)},
        {"real nan first stays", kQ4TypeReal, {F(kNanF), F(1), F(0)}, 3, F(kNanF), F(kNanF)},
        {"lreal", kQ4TypeLreal, {D(0.5), D(-3), D(9)}, 3, D(-3), D(9)},
        {"count 0 gives element 0", kQ4TypeDint, {4, 1}, 0, 4, 4},
    };
    for (const ExtremeCase& c : cases) {
        ArrDb a(c.type, static_cast<u16>(c.in.size()));
        a.PutAll(c.in);
        a.Fb().Exec(Q4BArray_Min, nullptr, {c.type, a.First(), c.count, a.Result()});
        EXPECT_EQ(a.Get(a.Result()), c.min) << c.name;
        a.Fb().Exec(Q4BArray_Max, nullptr, {c.type, a.First(), c.count, a.Result()});
        EXPECT_EQ(a.Get(a.Result()), c.max) << c.name;
    }
}

TEST(ArrayBlocks, StringExtremesAndResultCapacity) {
    struct Case {
        std::vector<std::string> in;
        u8 resultCap;
        std::string min, max;
    };
    const std::vector<Case> cases = {
        {{"b", "ab", "ab"}, 8, "ab", "b"},
        {{"", ""}, 8, "", ""},
        {{"abcd", "x"}, 2, "ab", "x"},
        {{"abc", "ab"}, 8, "ab", "abc"},
    };
    for (const Case& c : cases) {
        IecImageBuilder b;
        u16 first = 0;
        for (size_t k = 0; k < c.in.size(); ++k) {
            const u16 i = b.String(8, c.in[k]);
            if (k == 0) first = i;
        }
        const u16 r = b.String(c.resultCap);
        FbDb f(b, 4);
        const u8* out = Q4Tools_String(f.Db(), r);
        f.Exec(Q4BArray_Min, nullptr, {kQ4TypeString, first, static_cast<u16>(c.in.size()), r});
        EXPECT_EQ(std::string(Q4Str_GetText(out), out[1]), c.min) << c.in[0];
        EXPECT_EQ(out[2 + out[1]], 0);
        f.Exec(Q4BArray_Max, nullptr, {kQ4TypeString, first, static_cast<u16>(c.in.size()), r});
        EXPECT_EQ(std::string(Q4Str_GetText(out), out[1]), c.max) << c.in[0];
    }
}

TEST(ArrayBlocks, FillNumbersAndCutStrings) {
    ArrDb a(kQ4TypeLint, 3);
    a.Put(a.Value(), u64{1} << 40);
    a.Fb().Exec(Q4BArray_Fill, nullptr, {kQ4TypeLint, a.First(), 3, a.Value(), a.Fb().B(0)});
    EXPECT_TRUE(a.Fb().GetB(a.Fb().B(0)));
    EXPECT_EQ(a.GetAll(3), (std::vector<u64>(3, u64{1} << 40)));

    IecImageBuilder b;
    const u16 first = b.String(3, "xyz");
    b.String(3, "q");
    const u16 v = b.String(8, "hello");
    FbDb f(b, 4);
    f.Exec(Q4BArray_Fill, nullptr, {kQ4TypeString, first, 2, v, f.B(0)});
    EXPECT_TRUE(f.GetB(f.B(0)));
    for (u16 k = 0; k < 2; ++k) {
        const u8* s = Q4Tools_String(f.Db(), static_cast<u16>(first + k));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s), 6), std::string("\x03\x03hel\0", 6));
    }
    // An element of the array as the value.
    f.Exec(Q4BArray_Fill, nullptr, {kQ4TypeString, first, 2, static_cast<u16>(first + 1), f.B(0)});
    EXPECT_EQ(std::string(Q4Str_GetText(Q4Tools_String(f.Db(), first)), 3), "hel");
    // A type outside the table: the value is never found.
    f.Exec(Q4BArray_Fill, nullptr, {99, first, 2, v, f.B(0)});
    EXPECT_FALSE(f.GetB(f.B(0)));
}

struct FindCase {
    const char* name;
    u16 type;
    std::vector<u64> in;
    u64 value;
    i32 start;
    i32 found, count;
};

TEST(ArrayBlocks, FindAndCountEquality) {
    const i64 lintMin = std::numeric_limits<i64>::min();
    const std::vector<FindCase> cases = {
        {"lreal 0 finds -0", kQ4TypeLreal, {D(1), D(-0.0), D(0)}, D(0.0), 0, 1, 2},
        {"lreal nan equals nothing", kQ4TypeLreal, {D(kNanD)}, D(kNanD), 0, -1, 0},
        {"real by bits: 0 is not -0", kQ4TypeReal, {F(-0.0f), F(1)}, F(0.0f), 0, -1, 0},
        {"real nan equals the same nan", kQ4TypeReal, {F(1), F(kNanF)}, F(kNanF), 0, 1, 1},
        {"lint 0 is not the smallest", kQ4TypeLint, {static_cast<u64>(lintMin)}, 0, 0, -1, 0},
        {"dint from start", kQ4TypeDint, {7, 1, 7, 7}, 7, 1, 2, 2},
        {"start equal to count", kQ4TypeDint, {7, 7}, 7, 2, -1, 0},
        {"negative start", kQ4TypeDint, {7, 7}, 7, -1, -1, 0},
        {"int", kQ4TypeInt, {1, 0xFFFF, 0xFFFF}, 0xFFFF, 0, 1, 2},
    };
    for (const FindCase& c : cases) {
        ArrDb a(c.type, static_cast<u16>(c.in.size()));
        a.PutAll(c.in);
        a.Put(a.Value(), c.value);
        FbDb& f = a.Fb();
        f.SetD(f.D(0), c.start);
        f.SetD(f.D(1), 12345);
        const u16 n = static_cast<u16>(c.in.size());
        f.Exec(Q4BArray_Find, nullptr, {c.type, a.First(), n, a.Value(), f.D(0), f.D(1)});
        EXPECT_EQ(f.GetD(f.D(1)), c.found) << c.name;
        f.Exec(Q4BArray_Count, nullptr, {c.type, a.First(), n, a.Value(), f.D(0), f.D(1)});
        EXPECT_EQ(f.GetD(f.D(1)), c.count) << c.name;
    }
}

TEST(ArrayBlocks, FindStringsCaseSensitive) {
    IecImageBuilder b;
    const u16 first = b.String(8, "Abc");
    b.String(8, "abc");
    b.String(8, "ab");
    b.String(8, "abc");
    const u16 v = b.String(8, "abc");
    FbDb f(b, 4);
    f.SetD(f.D(0), 0);
    f.Exec(Q4BArray_Find, nullptr, {kQ4TypeString, first, 4, v, f.D(0), f.D(1)});
    EXPECT_EQ(f.GetD(f.D(1)), 1);
    f.Exec(Q4BArray_Count, nullptr, {kQ4TypeString, first, 4, v, f.D(0), f.D(1)});
    EXPECT_EQ(f.GetD(f.D(1)), 2);
}

TEST(ArrayBlocks, CommandsAndRegistration) {
    for (Q4FbHandler h : {Q4BArray_Sort, Q4BArray_Min, Q4BArray_Max, Q4BArray_Fill, Q4BArray_Find, Q4BArray_Count}) {
        EXPECT_EQ(h(kFbAnyType, nullptr, nullptr, nullptr, nullptr), 1);
        EXPECT_EQ(h(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(h(kFbClassSize, nullptr, nullptr, nullptr, nullptr), 0);
    }
    int found = 0;
    for (u32 id = 0; id <= kPfbCount; ++id) {
        const char* n = Q4Blocks_GetName(id);
        if (n && std::string(n) == "ARSORT") found += Q4Blocks_GetProc(id) == Q4BArray_Sort;
        if (n && std::string(n) == "ARCOUNT") found += Q4Blocks_GetProc(id) == Q4BArray_Count;
    }
    EXPECT_EQ(found, 2);
}

}  // namespace
