// Register access to variables of the running IEC application (IecVarRef).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"
#include "link/command.h"
#include "testsupport/reg_fixture.h"

namespace {

class IecRefs : public ::testing::Test {
protected:
    IecRefs() { db.Link(); }
    std::vector<u8> Snapshot() { return std::vector<u8>(db.Db(), db.Db() + db.Size()); }
    RegFixture regs;
    FakeVmDb db;
};

TEST_F(IecRefs, EveryClassReachesItsTable) {
    struct Case {
        u32 ref;
        u32 area, offset, bytes;
    } cases[] = {
        {IecRef(0, 3), kDbData8, 3, 1},
        {IecRef(1, 2), kDbData16, 4, 2},
        {IecRef(2, 5), kDbData32, 20, 4},
        {IecRef(3, 1), kDbData64, 8, 8},
        {IecRef(5, 3), kDbTime, 12, 4},
        {IecRef(1, 5, 0, true), kDbCtSegment, 5, 2},  // CT segment: byte offset, not scaled
        {IecRef(3, 40, 0, true), kDbCtSegment, 40, 8},
    };
    const u8 pattern[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "ref 0x" << c.ref);
        std::vector<u8> before = Snapshot();
        u8* at = db.Area(c.area) + c.offset;
        EXPECT_EQ(PlcReg_Ptr(c.ref, 8 * c.bytes), at);
        ASSERT_EQ(PlcReg_Set(c.ref, pattern, 8 * c.bytes), 1);
        EXPECT_EQ(0, std::memcmp(at, pattern, c.bytes));
        // Nothing else in the database moved.
        std::memcpy(at, before.data() + (at - db.Db()), c.bytes);
        EXPECT_EQ(Snapshot(), before);
        std::memcpy(at, pattern, c.bytes);
        u8 got[8] = {};
        ASSERT_EQ(PlcReg_Get(got, c.ref, 8 * c.bytes), 1);
        EXPECT_EQ(0, std::memcmp(got, pattern, c.bytes));
    }

    // Class 7 is accepted and does nothing.
    std::vector<u8> before = Snapshot();
    u8 got[4] = {9, 9, 9, 9};
    EXPECT_EQ(PlcReg_Set(IecRef(7, 0), pattern, 32), 1);
    EXPECT_EQ(PlcReg_Get(got, IecRef(7, 0), 32), 1);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(got[0], 9);
}

TEST_F(IecRefs, SingleBitsOfEveryWidth) {
    struct Case {
        const char* what;
        u32 ref, area, offset, bytes;
        u64 initial;
        u8 source;
        u64 after;
        u8 read;  // the bit read back afterwards
    } cases[] = {
        {"bit 40 of a 64-bit variable", IecRef(3, 1, 40), kDbData64, 8, 8, 0, 1, u64{1} << 40, 1},
        {"bit 63", IecRef(3, 0, 63), kDbData64, 0, 8, 0, 1, u64{1} << 63, 1},
        {"only a source byte of 1 sets", IecRef(3, 2, 40), kDbData64, 16, 8, ~u64{0}, 2, ~(u64{1} << 40), 0},
        {"bit 15 of a 16-bit variable", IecRef(1, 3, 15), kDbData16, 6, 2, 0x0001, 1, 0x8001, 1},
        {"bit 31 cleared", IecRef(2, 7, 31), kDbData32, 28, 4, 0xFFFFFFFF, 0, 0x7FFFFFFF, 0},
        {"bit 7 of a byte", IecRef(0, 31, 7), kDbData8, 31, 1, 0x01, 1, 0x81, 1},
        {"bit 3 of a bit-array byte", IecRef(6, 2, 3), kDbData8, 2, 1, 0, 1, 0x08, 1},
        {"bit 9 in the CT segment", IecRef(2, 3, 9, true), kDbCtSegment, 3, 4, 0, 1, 0x200, 1},
        {"a byte has no bit 8", IecRef(0, 4, 8), kDbData8, 4, 1, 0xFF, 1, 0xFF, 0},
        {"TIME has no bit access", IecRef(5, 0, 0), kDbTime, 0, 4, 0x1235, 1, 0x1235, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        u8* at = db.Area(c.area) + c.offset;
        for (u32 i = 0; i < c.bytes; ++i) at[i] = static_cast<u8>(c.initial >> (8 * i));
        ASSERT_EQ(PlcReg_Set(c.ref, &c.source, 1), 1);
        u64 now = 0;
        for (u32 i = 0; i < c.bytes; ++i) now |= u64{at[i]} << (8 * i);
        EXPECT_EQ(now, c.after);
        u8 got = 0xEE;
        ASSERT_EQ(PlcReg_Get(&got, c.ref, 1), 1);
        EXPECT_EQ(got, c.read);
    }
}

TEST_F(IecRefs, StringsNeverLeaveTheirStorage) {
    u8* s0 = db.String(0);  // capacity 5
    u8* s1 = db.String(1);  // capacity 4
    u8* s2 = db.String(2);  // capacity 10, right behind s1
    ASSERT_EQ(s2, s1 + 4 + 3);
    const std::string filler = "0123456789";
    std::memcpy(s2 + 2, filler.data(), 10);
    s2[1] = 10;

    ASSERT_EQ(PlcReg_Set(IecRef(4, 0), "HELLO", 48), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s0 + 2)), "HELLO");
    EXPECT_EQ(s0[1], 5);

    // The length stops at the NUL inside the bytes given.
    ASSERT_EQ(PlcReg_Set(IecRef(4, 2), "AB\0XYZ", 48), 1);
    EXPECT_EQ(s2[1], 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s2 + 2)), "AB");

    // Longer than the capacity and without a NUL: cut at the capacity, the
    // source read only within the bytes given (a heap block of exactly 10).
    std::memcpy(s2 + 2, filler.data(), 10);
    std::vector<u8> text(filler.begin(), filler.end());
    for (u8& c : text) c = static_cast<u8>(c - '0' + 'A');
    ASSERT_EQ(PlcReg_Set(IecRef(4, 1), text.data(), 80), 1);
    EXPECT_EQ(s1[0], 4);
    EXPECT_EQ(s1[1], 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s1 + 2)), "ABCD");
    EXPECT_EQ(s2[0], 10);  // the next string's capacity byte is intact
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s2 + 2), 10), filler);

    // A read longer than the string is bounded by its storage; the rest is 0.
    u8 got[12];
    std::memset(got, 0xEE, sizeof got);
    ASSERT_EQ(PlcReg_Get(got, IecRef(4, 1), 96), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 5), std::string("ABCD\0", 5));
    EXPECT_EQ(std::vector<u8>(got + 5, got + 12), std::vector<u8>(7, 0));

    EXPECT_EQ(PlcReg_Ptr(IecRef(4, 1), 40), s1 + 2);
    EXPECT_EQ(PlcReg_Ptr(IecRef(4, 1), 48), nullptr);
    EXPECT_EQ(QuilletCalculateVmDbAddress(IecRef(4, 2), 0, 0, nullptr), s2 + 2);
}

TEST(IecRefStrings, EntryNeverBuiltIsAcceptedAndDamagedEntriesAreRefused) {
    RegFixture regs;
    FakeVmDb::Layout layout;
    layout.strings = {5, -1, 4};
    FakeVmDb db(layout);
    db.Link();
    std::vector<u8> before(db.Db(), db.Db() + db.Size());
    u8 got[4] = {7, 7, 7, 7};
    EXPECT_EQ(PlcReg_Get(got, IecRef(4, 1), 32), 1);
    EXPECT_EQ(got[0], 7);
    EXPECT_EQ(PlcReg_Set(IecRef(4, 1), "abc", 32), 1);
    EXPECT_EQ(std::vector<u8>(db.Db(), db.Db() + db.Size()), before);
    EXPECT_EQ(PlcReg_Ptr(IecRef(4, 1), 8), nullptr);

    // A pointer outside the string buffer, or a capacity reaching past it.
    u8* pointers = db.Area(kDbStringPointers);
    PutLe32(pointers, 8);
    EXPECT_EQ(PlcReg_Get(got, IecRef(4, 0), 32), 0);
    EXPECT_EQ(PlcReg_Set(IecRef(4, 0), "abc", 32), 0);
    db.String(2)[0] = 255;
    EXPECT_EQ(PlcReg_Set(IecRef(4, 2), "abc", 32), 0);
    EXPECT_EQ(PlcReg_Get(got, IecRef(4, 2), 32), 0);
}

TEST_F(IecRefs, BitArraysArePackedAndUnpacked) {
    u8* bools = db.Area(kDbData8);
    const u8 pattern[16] = {1, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    std::memcpy(bools, pattern, 16);
    u8 packed[2] = {};
    ASSERT_EQ(PlcReg_Get(packed, IecRef(6, 0), 16), 1);
    EXPECT_EQ(packed[0], 0x39);
    EXPECT_EQ(packed[1], 0x82);

    const u8 in = 0xA5;
    ASSERT_EQ(PlcReg_Set(IecRef(6, 20), &in, 8), 1);
    EXPECT_EQ(std::vector<u8>(bools + 20, bools + 28), (std::vector<u8>{1, 0, 1, 0, 0, 1, 0, 1}));
    EXPECT_EQ(bools[28], 0);
    ASSERT_EQ(PlcReg_Set(IecRef(6, 0, 5), &in, 8), 1);  // the bit number does not matter here
    EXPECT_EQ(bools[0], 1);
    EXPECT_EQ(bools[1], 0);

    // 32 BOOLs are allocated: 8 from index 30 would run past them.
    EXPECT_EQ(PlcReg_Set(IecRef(6, 30), &in, 8), 0);
    EXPECT_EQ(PlcReg_Get(packed, IecRef(6, 30), 8), 0);
    EXPECT_EQ(bools[30], 0);
}

TEST_F(IecRefs, MultiBitReadFromABitNumberTakesTheNeighbourForTheUpperBits) {
    u8* words = db.Area(kDbData16);
    PutLe16(words, 0x1234);
    PutLe16(words + 2, 0xABCD);
    PutLe16(words + 14, 0xBEEF);  // the last of 8
    u8 got[2];
    ASSERT_EQ(PlcReg_Get(got, IecRef(1, 0, 8), 16), 1);
    EXPECT_EQ(GetLe16(got), 0xCD12);
    ASSERT_EQ(PlcReg_Get(got, IecRef(1, 7, 4), 16), 1);
    EXPECT_EQ(GetLe16(got), 0x0BEE);  // zeros past the table's end
    const u8 v[2] = {0xFF, 0xFF};
    EXPECT_EQ(PlcReg_Set(IecRef(1, 0, 4), v, 16), 1);  // accepted, left unchanged
    EXPECT_EQ(GetLe16(words), 0x1234);
}

TEST_F(IecRefs, IndexesAreBoundedByTheirTables) {
    struct Case {
        u32 ref, bits;
        bool valid;
    } cases[] = {
        {IecRef(1, 7), 16, true},      {IecRef(1, 7), 32, false},   {IecRef(1, 8), 16, false},
        {IecRef(3, 3), 64, true},      {IecRef(3, 4), 8, false},    {IecRef(2, 0), 8 * 32, true},
        {IecRef(2, 0), 8 * 33, false}, {IecRef(0, 0xFFFFF), 8, false}, {IecRef(5, 4), 32, false},
        {IecRef(0, 63, 0, true), 8, true}, {IecRef(0, 63, 0, true), 16, false}, {IecRef(0, 64, 0, true), 8, false},
        {IecRef(4, 3), 8, false},      {IecRef(3, 3, 40), 1, true}, {IecRef(3, 4, 40), 1, false},
        {IecRef(2, 0), 0xFFFFFFF9, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "ref 0x" << c.ref << " bits 0x" << c.bits);
        std::vector<u8> buf(64, 0);
        const bool small = c.bits <= 8 * buf.size();
        if (small) {
            EXPECT_EQ(PlcReg_Get(buf.data(), c.ref, c.bits), c.valid ? 1 : 0);
            EXPECT_EQ(PlcReg_Set(c.ref, buf.data(), c.bits), c.valid ? 1 : 0);
        } else {
            EXPECT_EQ(PlcReg_Get(buf.data(), c.ref, c.bits), 0);
        }
        if (c.bits != 1) {
            EXPECT_EQ(PlcReg_Ptr(c.ref, c.bits) != nullptr, c.valid);
        }
    }
    u8 b = 0;
    EXPECT_EQ(PlcReg_Get(&b, 0xFFFFFFFF, 1), 0);
    EXPECT_EQ(PlcReg_Set(0xFFFFFFFF, &b, 1), 0);
}

TEST_F(IecRefs, OnlineChangeAndApplicationStateGateTheAccess) {
    u8* v64 = db.Area(kDbData64);
    PutLe64(v64, u64{1} << 40);
    PutLe16(db.Area(kDbData16), 0x4321);
    const u8 one = 1, word[2] = {0x11, 0x22};
    u8 got[2] = {};

    OLPMode = 1;
    EXPECT_EQ(PlcReg_Set(IecRef(1, 0), word, 16), 0);
    EXPECT_EQ(PlcReg_Set(IecRef(3, 0, 3), &one, 1), 0);
    EXPECT_EQ(GetLe16(db.Area(kDbData16)), 0x4321);
    ASSERT_EQ(PlcReg_Get(got, IecRef(1, 0), 16), 1);  // reads still work, in place
    EXPECT_EQ(GetLe16(got), 0x4321);
    ASSERT_EQ(PlcReg_Get(got, IecRef(3, 0, 40), 1), 1);
    EXPECT_EQ(got[0], 1);
    ASSERT_EQ(PlcReg_Get(got, IecRef(3, 0, 41), 1), 1);
    EXPECT_EQ(got[0], 0);
    OLPMode = 0;

    struct State {
        const char* what;
        u8 runtime, enumerated;
        bool database;
    } states[] = {
        {"variables not enumerated yet", 1, 0, true},
        {"no application: a register address, invalid", 0, 1, true},
        {"no database", 1, 1, false},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.what);
        QuilletRuntime = s.runtime;
        quillet_variables_enumerateded = s.enumerated;
        pDB = s.database ? db.Db() : nullptr;
        EXPECT_EQ(PlcReg_Set(IecRef(1, 0), word, 16), 0);
        EXPECT_EQ(PlcReg_Get(got, IecRef(1, 0), 16), 0);
        EXPECT_EQ(PlcReg_Ptr(IecRef(1, 0), 16), nullptr);
        EXPECT_EQ(GetLe16(db.Area(kDbData16)), 0x4321);
    }
}

TEST_F(IecRefs, VariableAddressDecode) {
    u8 fallback = 0;
    EXPECT_EQ(QuilletCalculateVmDbAddress(IecRef(7, 3), 0, 0, &fallback), &fallback);
    EXPECT_EQ(QuilletCalculateVmDbAddress(IecRef(2, 3), 0, 0, &fallback), db.Area(kDbData32) + 12);
    EXPECT_EQ(QuilletCalculateVmDbAddress(IecRef(6, 9), 0, 0, &fallback), db.Area(kDbData8) + 9);
    EXPECT_EQ(QuilletCalculateVmDbAddress(IecRef(2, 8), 0, 0, &fallback), nullptr);
    pDB = nullptr;
    EXPECT_EQ(QuilletCalculateVmDbAddress(IecRef(7, 3), 0, 0, &fallback), nullptr);

    EXPECT_EQ(ClearQuilletFlags(42), 42);
    EXPECT_EQ(quillet_variables_enumerateded, 0);
}

}  // namespace
