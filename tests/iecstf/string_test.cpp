// Strings and text: each case one call in a program of its own, run with its
// result free and locked.
#include <climits>

#include "iec/kernel/q4stfstr.h"
#include "tests/iecstf/stf_fixture.h"

namespace {

using namespace stf;

constexpr u16 kB = kQ4TypeUsint;

struct TextCase {
    u16 slot;
    std::vector<Op> in;
    std::string expect;
};

TEST(StringFunctions, EditingMapsPositionsOntoTheStringOperations) {
    const std::vector<TextCase> cases = {
        {45, {Str(20, "Hello"), Di(3)}, "Hel"},
        {45, {Str(20, "Hello"), Di(-2)}, ""},
        {45, {Str(20, "Hello"), Di(9)}, "Hello"},
        {49, {Str(20, "Hello"), Di(2)}, "lo"},
        {49, {Str(20, "Hello"), Di(-1)}, ""},
        {46, {Str(20, "Hello"), Di(3), Di(2)}, "ell"},
        {46, {Str(20, "Hello"), Di(2), Di(1)}, "He"},
        {46, {Str(20, "Hello"), Di(2), Di(9)}, ""},
        {46, {Str(20, "Hello"), Di(2), Di(INT_MIN)}, "He"},
        {42, {Str(20, "Hello"), Di(2), Di(2)}, "Hlo"},
        {42, {Str(20, "Hello"), Di(2), Di(9)}, "Hello"},
        {44, {Str(20, "Hello"), Str(5, "XY"), Di(3)}, "HeXYllo"},
        {44, {Str(20, "Hello"), Str(5, "XY"), Di(1)}, "XYHello"},
        {44, {Str(20, "Hello"), Str(5, "XY"), Di(6)}, "HelloXY"},
        {48, {Str(20, "Hello"), Str(5, "XY"), Di(3), Di(2)}, "HXYo"},
        {48, {Str(20, "Hello"), Str(5, ""), Di(2), Di(1)}, "llo"},
        {41, {Di(0x141)}, "A"},
        {90, {Di(0x1A2B)}, "1A2B"},
        {90, {Di(-1)}, "FFFFFFFF"},
        {196, {Lit(kQ4TypeDint), Di(42), Di(5), Di(0)}, "   42"},
    };
    for (const TextCase& k : cases)
        for (bool locked : {false, true}) {
            std::vector<Op> ops{Str(10, "was")};
            ops.insert(ops.end(), k.in.begin(), k.in.end());
            Call c(k.slot, ops);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(c.Text(0), locked ? "was" : k.expect) << "slot " << k.slot << " locked " << locked;
        }
    // A result shorter than the text cuts it.
    Call cut(44, {Str(4), Str(10, "abcdef"), Str(3, "XY"), Di(2)});
    EXPECT_TRUE(cut.Run());
    EXPECT_EQ(cut.Text(0), "aXYb");
}

struct NumberCase {
    u16 slot;
    u16 resultType;
    std::vector<Op> in;
    u64 expect;
};

TEST(StringFunctions, LengthsPositionsAndCodes) {
    const std::vector<NumberCase> cases = {
        {47, kQ4TypeDint, {Str(20, "Hello")}, 5},
        {47, kQ4TypeDint, {Str(20, "")}, 0},
        {205, kQ4TypeInt, {Str(20, "Hello")}, 5},
        {43, kQ4TypeDint, {Str(20, "Hello"), Str(5, "ll")}, 3},
        {43, kQ4TypeDint, {Str(20, "Hello"), Str(5, "")}, 0},
        {43, kQ4TypeDint, {Str(20, "Hello"), Str(5, "lx")}, 0},
        {40, kQ4TypeDint, {Str(20, "Hello"), Di(1)}, 'H'},
        {40, kQ4TypeDint, {Str(20, "Hello"), Di(5)}, 'o'},
        {40, kQ4TypeDint, {Str(20, "Hello"), Di(0)}, 0},
        {40, kQ4TypeDint, {Str(20, "Hello"), Di(6)}, 0},
        {40, kQ4TypeDint, {Str(20, "Hello"), Di(INT_MIN)}, 0},
        {89, kQ4TypeDint, {Str(20, "1a2Bz")}, 0x1A2B},
        {89, kQ4TypeDint, {Str(20, "FFFFFFFF")}, 0xFFFFFFFF},
    };
    for (const NumberCase& k : cases)
        for (bool locked : {false, true}) {
            std::vector<Op> ops{V(k.resultType, 0x77)};
            ops.insert(ops.end(), k.in.begin(), k.in.end());
            Call c(k.slot, ops);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(c.Get(0), locked ? 0x77u : k.expect) << "slot " << k.slot << " locked " << locked;
        }
}

TEST(StringFunctions, Crc16EqualsCrcmod) {
    const std::vector<std::string> texts = {"", "123456789", "A", std::string("\x00\xFF\x80 z", 5),
                                            std::string(255, 'q')};
    std::vector<std::string> lines;
    for (const std::string& t : texts) {
        std::string hex;
        char b[3];
        for (unsigned char ch : t) std::snprintf(b, sizeof b, "%02x", ch), hex += b;
        lines.push_back(hex);
    }
    std::vector<std::string> want = Python("crc_oracle.py", lines);
    ASSERT_EQ(want.size(), texts.size()) << "crcmod (python3-crcmod) under /usr/bin/python3 gave no answer";
    for (size_t i = 0; i < texts.size(); ++i) {
        Call c(93, {V(kQ4TypeInt, 0), Str(255, texts[i])});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), std::stoul(want[i], nullptr, 16)) << i;
    }
}

// Strings to arrays and back, raw bytes in memory order.
TEST(StringFunctions, StringsAndArrays) {
    {
        Call c(137, {Di(-1), Str(10, "abc"), Arr(kB, {9, 9, 9, 9})});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), 3u);
        EXPECT_EQ(c.Elem(2, 0), 'a');
        EXPECT_EQ(c.Elem(2, 2), 'c');
        EXPECT_EQ(c.Elem(2, 3), 9u);
    }
    {
        Call c(141, {Di(-1), Str(10, "abcde"), Arr(kQ4TypeInt, {0, 0, 0})});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), 2u);
        EXPECT_EQ(c.Elem(2, 0), 0x6261u);
        EXPECT_EQ(c.Elem(2, 2), 0u);
    }
    {
        Call c(139, {Di(-1), Str(10, "abcdefgh"), Arr(kQ4TypeDint, {0})});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), 1u);
        EXPECT_EQ(c.Elem(2, 0), 0x64636261u);
    }
    for (bool locked : {false, true}) {
        Call c(138, {Di(-1), Arr(kB, {'x', 'y', 0, 'z'}), Str(3, "old"), Di(4)});
        if (locked) c.Lock();
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(static_cast<i32>(c.Get(0)), locked ? -1 : 3);
        EXPECT_EQ(c.Text(2), locked ? "old" : std::string("xy\0", 3));
    }
    {
        Call c(142, {Di(-1), Arr(kQ4TypeInt, {0x6261, 0x6463}), Str(10), Di(5)});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), 2u);
        EXPECT_EQ(c.Text(2), "abcd");
    }
    {
        Call c(140, {Di(-1), Arr(kQ4TypeDint, {0x64636261, 0x68676665}), Str(6), Di(2)});
        EXPECT_TRUE(c.Run());
        EXPECT_EQ(c.Get(0), 1u);  // room for one 32-bit element only
        EXPECT_EQ(c.Text(2), "abcd");
    }
}

// SERPUTSTRING and SERGETSTRING: the three layouts, full buffers and
// positions (negative and overflowing ones included) that leave the buffer.
TEST(StringFunctions, SerialStringsInByteBuffers) {
    struct PutCase {
        size_t size;
        std::string text;
        i32 pos, fixlen;
        bool endzero, headlen;
        i32 result;
        std::vector<u64> buf;  // afterwards
    };
    const std::vector<PutCase> puts = {
        {4, "abc", 0, 0, true, false, 4, {'a', 'b', 'c', 0}},
        {3, "abc", 0, 0, true, false, 0, {7, 7, 7}},
        {8, "abc", 1, 5, false, false, 6, {7, 'a', 'b', 'c', 0, 0, 7, 7}},
        {4, "abcdef", 0, 3, false, false, 3, {'a', 'b', 'c', 7}},
        {5, "abc", 1, 0, false, true, 5, {7, 3, 'a', 'b', 'c'}},
        {5, "abc", 2, 0, false, true, 0, {7, 7, 7, 7, 7}},
        {5, "abc", 0, 0, false, false, 0, {7, 7, 7, 7, 7}},
        {5, "abc", -1, 0, true, false, 0, {7, 7, 7, 7, 7}},
        {5, "abc", -2, 4, false, false, 0, {7, 7, 7, 7, 7}},
        {5, "abc", 1, INT_MAX, false, false, 0, {7, 7, 7, 7, 7}},
        {5, "abc", INT_MAX, 0, false, true, 0, {7, 7, 7, 7, 7}},
    };
    for (const PutCase& k : puts)
        for (bool locked : {false, true}) {
            Call c(160, {Di(-9), Arr(kB, std::vector<u64>(k.size, 7)), Str(10, k.text), Di(k.pos), Di(k.fixlen),
                         Bo(k.endzero), Bo(k.headlen)});
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(static_cast<i32>(c.Get(0)), locked ? -9 : k.result) << k.pos << " " << k.fixlen;
            for (size_t i = 0; i < k.size; ++i) EXPECT_EQ(c.Elem(1, i), locked ? 7u : k.buf[i]) << k.pos << " " << i;
        }
    struct GetCase {
        std::vector<u64> buf;
        i32 pos, fixlen;
        bool endzero, headlen;
        i32 result;
        std::string text;
    };
    const std::vector<GetCase> gets = {
        {{'a', 'b', 0, 'c'}, 0, 0, true, false, 3, "ab"},
        {{'a', 'b', 'c', 'd'}, 1, 0, true, false, 5, "bcd"},
        {{'a', 'b', 'c', 'd'}, 4, 0, true, false, 0, "was"},
        {{'a', 'b', 0, 'c', 'd'}, 0, 4, false, false, 4, "ab"},
        {{'a', 'b', 'c', 'd', 'e'}, 1, 3, false, false, 4, "bcd"},
        {{'a', 'b', 'c'}, 1, 3, false, false, 0, "was"},
        {{2, 'x', 'y', 'z'}, 0, 0, false, true, 3, "xy"},
        {{5, 'x', 'y', 'z'}, 0, 0, false, true, 0, "was"},
        {{1, 'x'}, 0, 0, false, false, 0, "was"},
        {{1, 'x'}, -1, 0, true, false, 0, "was"},
        {{1, 'x'}, -1, 1, false, false, 0, "was"},
        {{1, 'x'}, INT_MAX, 2, false, false, 0, "was"},
        {{1, 'x'}, -2, 0, false, true, 0, "was"},
        {{'a', 'b', 'c', 'd', 'e', 'f'}, 0, 6, false, false, 6, "abcd"},  // cut at the capacity
    };
    for (const GetCase& k : gets)
        for (bool locked : {false, true}) {
            Call c(159, {Di(-9), Arr(kB, k.buf), Str(4, "was"), Di(k.pos), Di(k.fixlen), Bo(k.endzero), Bo(k.headlen)});
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(static_cast<i32>(c.Get(0)), locked ? -9 : k.result) << k.pos << " " << k.fixlen;
            EXPECT_EQ(c.Text(2), locked ? "was" : k.text) << k.pos << " " << k.fixlen;
        }
    // The string is written although its own lock bit is set.
    Call c(159, {Di(0), Arr(kB, {'o', 'k', 0}), Str(4, "was"), Di(0), Di(0), Bo(true), Bo(false)});
    c.Lock(2);
    EXPECT_TRUE(c.Run());
    EXPECT_EQ(c.Text(2), "ok");
}

// String tables of the code image: LOADSTRING reads the default table until
// STRINGTABLE selects another; offsets outside the image give "".
TEST(StringFunctions, StringTables) {
    auto tables = [](IecImageBuilder& b) {
        b.TextTable(10, {"ten", std::nullopt, "twelve"});
        b.TextTable(1, {"one"});
        std::vector<u8> bad(8 + 3 * 4, 0);
        PutLe32(&bad[0], 5);
        PutLe32(&bad[4], 7);
        PutLe32(&bad[8], 0x7FFFFFF0);  // text 5 far outside the image
        PutLe32(&bad[12], 16);         // text 6: a length byte pointing past the end
        PutLe32(&bad[16], 0xFFFFFFFF);
        bad.push_back(250);
        b.StringTableBytes(bad);
    };
    Call load(176, {Str(20, "x"), Di(0)}, tables);
    for (auto [id, text] : std::vector<std::pair<i32, std::string>>{
             {10, "ten"}, {11, ""}, {12, "twelve"}, {9, ""}, {13, ""}, {-1, ""}, {INT_MIN, ""}}) {
        load.Set(1, static_cast<u32>(id));
        EXPECT_TRUE(load.Run());
        EXPECT_EQ(load.Text(0), text) << id;
    }
    for (i32 table : {1, 2, 3, 4, 0, -1})
        for (bool locked : {false, true}) {
            Call c(175, {V(kQ4TypeBool, 7), Di(table)}, tables);
            if (locked) c.Lock();
            EXPECT_TRUE(c.Run());
            EXPECT_EQ(c.Get(0), locked ? 7u : table >= 1 && table <= 3 ? 1u : 0u) << table;
        }
    // A switch, then a load, in one program.
    IecImageBuilder b;
    tables(b);
    u16 ok = b.Var(kQ4TypeBool), t2 = b.Var(kQ4TypeDint, 2), id = b.Var(kQ4TypeDint, 1), s = b.String(20, "x");
    TicAssembler t;
    t.Op("CALL_STF", {175, 2, ok, t2}).Op("CALL_STF", {176, 2, s, id}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(*db.Data8(ok), 1);
    EXPECT_EQ(std::string(Q4Str_GetText(db.String(s)), Q4Str_GetLength(db.String(s))), "one");
    for (u32 bad : {5u, 6u, 7u}) {
        PutLe32(db.Data32(t2), 3);
        PutLe32(db.Data32(id), bad);
        Q4VM_Cycle(db.Db(), 1 + bad);
        EXPECT_EQ(*db.Data8(ok), 1);
        EXPECT_EQ(Q4Str_GetLength(db.String(s)), 0) << bad;
    }
    // A missing table keeps the current one.
    PutLe32(db.Data32(t2), 4);
    PutLe32(db.Data32(id), 1);
    Q4VM_Cycle(db.Db(), 20);
    EXPECT_EQ(*db.Data8(ok), 0);
    EXPECT_EQ(Q4Str_GetLength(db.String(s)), 0);  // still table 3, which has no text 1
}

}  // namespace
