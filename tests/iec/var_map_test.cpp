#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmstr.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/manual_clock.h"

TEST(IecTypes, OneTableForEveryTypeCode) {
    struct Case {
        u16 code;
        const char* name;
        Q4Class cls;
        u8 size, lock;
    } cases[] = {
        {1, "BOOL", kQ4ClassData8, 1, 0x01},    {2, "DINT", kQ4ClassData32, 4, 0x04},
        {3, "REAL", kQ4ClassData32, 4, 0x04},   {4, "TIME", kQ4ClassTime, 4, 0x10},
        {5, "STRING", kQ4ClassString, 0, 0x20}, {10, "SINT", kQ4ClassData8, 1, 0x01},
        {11, "INT", kQ4ClassData16, 2, 0x02},   {12, "LINT", kQ4ClassData64, 8, 0x08},
        {13, "LREAL", kQ4ClassData64, 8, 0x08}, {14, "USINT", kQ4ClassData8, 1, 0x01},
        {15, "UINT", kQ4ClassData16, 2, 0x02},  {16, "UDINT", kQ4ClassData32, 4, 0x04},
        {17, "ULINT", kQ4ClassData64, 8, 0x08}, {0x80 | 11, "INT", kQ4ClassData16, 2, 0x02},
        {6, "?", kQ4ClassNone, 0, 0},           {0, "?", kQ4ClassNone, 0, 0},
        {18, "?", kQ4ClassNone, 0, 0},
    };
    for (const Case& k : cases) {
        EXPECT_STREQ(Q4Type_Name(k.code), k.name) << k.code;
        EXPECT_EQ(Q4Type_Class(k.code), k.cls) << k.code;
        EXPECT_EQ(Q4Type_Size(k.code), k.size) << k.code;
        EXPECT_EQ(Q4Type_LockBit(k.code), k.lock) << k.code;
    }
    EXPECT_EQ(Q4Type_Class(127), kQ4ClassComplex);
    EXPECT_EQ(Q4Type_FoldUnsigned(15), 11);
    EXPECT_EQ(Q4Type_FoldUnsigned(0x80 | 16), 0x80 | 2);
    EXPECT_EQ(Q4Type_FoldUnsigned(3), 3);
}

namespace {

// Start of the CT segment (null without one).
u8* CtOf(u8* db) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
    return bytes ? p : nullptr;
}

struct MapApp {
    u16 i, d, r, s, big, arr, xv;
    std::vector<u8> image;
};

MapApp MakeApp(u32 stamp = 1, bool vsi = true) {
    MapApp a;
    IecImageBuilder b;
    b.MapVsi(vsi).MapStamp(stamp).MapSpare(3);
    IecVarOptions tagged = Sym("Level");
    tagged.tag = 0x1234;
    tagged.profile = "PROFILE_A";
    a.i = b.Var(kQ4TypeInt, 7, tagged);
    a.d = b.Var(kQ4TypeDint, 9, "Count");
    a.r = b.Real(2.5f, "Ratio");
    a.s = b.String(12, "hi", Sym("Message"));
    a.big = b.Var(kQ4TypeLint, 1, std::string(300, 'S'));
    a.arr = b.Array(kQ4TypeBool, 10, "Flags");
    a.xv = b.External(kQ4TypeDint, a.d, "ExtCount");
    b.Var(kQ4TypeDint, 0, "count");  // same symbol in another case
    b.CtSegment(64, 64);
    b.Complex(16, "INT[2,3]", "Grid");
    b.Complex(0, "BOOL[10]", "Bits");
    b.Complex(32, "MY_STRUCT", "Rec");
    a.image = b.Build();
    return a;
}

}  // namespace

TEST(VarMap, LookupsByIndexSymbolTagAndAddress) {
    MapApp app = MakeApp();
    IecVmDb db(app.image);
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();

    u8* e = Q4Map_GetByIndex(D, kQ4TypeUint, app.i);  // INT found as UINT
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(Q4Map_GetSymbol(D, e), "Level");
    EXPECT_EQ(Q4Map_GetData(D, e), db.Data16(app.i));
    EXPECT_EQ(GetLe16(Q4Map_GetData(D, e)), 7);
    EXPECT_EQ(std::string(Q4Map_GetProfileName(D, e), 9), "PROFILE_A");
    EXPECT_EQ(Q4Map_GetByIndex(D, kQ4TypeReal, app.d), nullptr);  // DINT is not REAL
    EXPECT_NE(Q4Map_GetByIndex(D, kQ4TypeUdint, app.d), nullptr);
    EXPECT_EQ(Q4Map_GetByNumTag(D, 0x1234), e);
    EXPECT_EQ(Q4Map_GetByNumTag(D, 0x1235), nullptr);

    // Two symbols differing only in case: the one built last heads the chain.
    u8* count = Q4Map_GetBySymbol(D, "COUNT");
    ASSERT_NE(count, nullptr);
    EXPECT_STREQ(Q4Map_GetSymbol(D, count), "count");
    EXPECT_EQ(Q4Map_GetBySymbol(D, "ratio"), Q4Map_GetByIndex(D, kQ4TypeReal, app.r));
    EXPECT_EQ(Q4Map_GetBySymbol(D, "nothing"), nullptr);
    EXPECT_STREQ(Q4Map_GetTypeName(D, Q4Map_GetBySymbol(D, "Message")), "STRING");
    EXPECT_EQ(Q4Map_GetData(D, Q4Map_GetBySymbol(D, "Message")), db.String(app.s));

    // The external variable: found only with bit 0x80; its data is what the
    // external-variable pointer table holds when the map is built (filled
    // after the map in a cold build, so build the map again here).
    Q4VMMap_Build(D, db.Code());
    u8* x = Q4Map_GetByIndex(D, 0x80 | kQ4TypeDint, app.xv);
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(Q4Map_GetTypeName(D, x), "DINT");
    EXPECT_EQ(Q4Map_GetData(D, x), db.Data32(app.d));

    // The variable comes before the external variable that refers to it.
    EXPECT_EQ(Q4Map_GetByData(D, db.Data32(app.d)), Q4Map_GetByIndex(D, kQ4TypeDint, app.d));
    EXPECT_EQ(Q4Map_CheckPointer(D, e), 1);
    EXPECT_EQ(Q4Map_CheckPointer(D, e + 4), 0);
    EXPECT_EQ(Q4Map_CheckPointer(D, db.Data8(1)), 0);

    // Walk: every entry once, then none with the position left at the last.
    u16 pos = 99;
    int n = 0;
    for (u8* p = Q4Map_GetFirst(D, &pos); p; p = Q4Map_GetNext(D, &pos)) ++n;
    EXPECT_EQ(n, 11);
    EXPECT_EQ(pos, 10);
    EXPECT_EQ(Q4Map_GetNext(D, &pos), nullptr);
    EXPECT_EQ(pos, 10);
}

TEST(VarMap, BucketChainsInTheDatabaseReachEveryEntry) {
    // The buckets and chains are part of the database (saved in the
    // hot-restart image): 16 index chains, 16 tag chains, 17 symbol chains.
    MapApp app = MakeApp();
    IecVmDb db(app.image);
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    u32 bytes = 0;
    u8* buckets = Q4VM_AreaPtr(D, kDbMapHash, &bytes);
    ASSERT_EQ(bytes, 49u * 4u);
    auto walk = [&](u32 first, u32 last, u32 link) {
        int n = 0;
        for (u32 b = first; b <= last; ++b)
            for (u32 off = GetLe32(buckets + 4 * b); off; off = GetLe32(D + off + link)) {
                EXPECT_EQ(Q4Map_CheckPointer(D, D + off), 1);
                ++n;
            }
        return n;
    };
    EXPECT_EQ(walk(0, 15, 12), 11);   // every entry by index
    EXPECT_EQ(walk(16, 31, 20), 1);   // the one tagged entry
    EXPECT_EQ(walk(32, 48, 16), 11);  // every entry has a symbol
    // "Level" (index 1) sits in index bucket 1 and in the symbol bucket of its hash.
    u8* level = Q4Map_GetBySymbol(D, "Level");
    u16 h = 0;
    for (char ch : std::string("LEVEL")) h = static_cast<u16>(h * 33 + static_cast<u8>(ch));
    bool found = false;
    for (u32 off = GetLe32(buckets + 4 * (32 + h % 17)); off; off = GetLe32(D + off + 16)) found |= D + off == level;
    EXPECT_TRUE(found);
}

TEST(VarMap, ArraysOfASingleType) {
    MapApp app = MakeApp();
    IecVmDb db(app.image);
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    struct Case {
        const char* symbol;
        u16 type;
        u32 count;
        bool found;
    } cases[] = {
        {"Grid", 11, 6, true}, {"Bits", 1, 10, true}, {"Rec", 0, 0, false}, {"Flags", 1, 10, true}, {"Count", 0, 0, false},
    };
    for (const Case& k : cases) {
        u32 count = 77;
        u16 type = 77;
        u8* data = Q4Map_IsArrayOfSingleVar(D, Q4Map_GetBySymbol(D, k.symbol), &count, &type);
        EXPECT_EQ(data != nullptr, k.found) << k.symbol;
        EXPECT_EQ(type, k.type) << k.symbol;
        EXPECT_EQ(count, k.count) << k.symbol;
    }
    EXPECT_EQ(Q4Map_IsArrayOfSingleVar(D, Q4Map_GetBySymbol(D, "Grid"), nullptr, nullptr), CtOf(db.Db()) + 16);
    EXPECT_STREQ(Q4Map_GetTypeName(D, Q4Map_GetBySymbol(D, "Rec")), "MY_STRUCT");
}

TEST(VarMap, Descriptions) {
    MapApp app = MakeApp();
    IecVmDb db(app.image);
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    u8 out[300];
    u16 pos;
    u16 bigPos = 0, levelPos = 0, gridPos = 0;
    for (u8* p = Q4Map_GetFirst(D, &pos); p; p = Q4Map_GetNext(D, &pos)) {
        const char* s = Q4Map_GetSymbol(D, p);
        if (s && s[0] == 'S') bigPos = pos;
        if (s && !std::strcmp(s, "Level")) levelPos = pos;
        if (s && !std::strcmp(s, "Grid")) gridPos = pos;
    }
    EXPECT_EQ(Q4Map_GetDescLength(D, bigPos), 267u);
    ASSERT_EQ(Q4Map_GetDesc(D, bigPos, out), 267u);
    EXPECT_EQ(out[10], 255);
    EXPECT_EQ(out[11 + 254], 'S');
    EXPECT_EQ(out[11 + 255], 0);

    ASSERT_EQ(Q4Map_GetDesc(D, levelPos, out), 12u + 5u);
    EXPECT_EQ(GetBe16(out), kQ4TypeInt);
    EXPECT_EQ(GetBe16(out + 2), app.i);
    EXPECT_EQ(GetBe16(out + 8), 0x01 | 0x02 | 0x08 | 0x200);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 11)), "Level");

    ASSERT_EQ(Q4Map_GetDesc(D, gridPos, out), 12u + 4u);
    EXPECT_EQ(GetBe32(out + 2), 16u);  // CT byte offset

    u8 junk[12];
    std::memset(junk, 0xAA, sizeof junk);
    EXPECT_EQ(Q4Map_GetDesc(D, 500, junk), 12u);
    EXPECT_EQ(junk[0], 0);
    EXPECT_EQ(junk[11], 0);
}

TEST(VarMap, VsiBitsStampsAndRebuilds) {
    ManualClock clock;  // 2021-03-05 12:00:00 UTC
    MapApp app = MakeApp(5);
    IecVmDb db(app.image);
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    EXPECT_EQ(Q4Map_SetVSIBit(D, kQ4TypeDint, app.d, 0, 1), 1);
    EXPECT_EQ(Q4Map_SetVSIBit(D, kQ4TypeDint, app.d, 40, 1), 1);
    EXPECT_EQ(Q4Map_SetVSIBit(D, kQ4TypeDint, app.d, 64, 1), 0);
    EXPECT_EQ(Q4Map_GetVSIBit(D, kQ4TypeDint, app.d, 40), 1);
    EXPECT_EQ(Q4Map_GetVSIBit(D, kQ4TypeDint, app.d, 41), 0);
    EXPECT_EQ(Q4Map_GetVSIBit(D, kQ4TypeDint, app.d, 64), 0);
    u8* vsi = Q4Map_GetVSIByData(D, db.Data32(app.d));
    ASSERT_NE(vsi, nullptr);
    EXPECT_EQ(GetLe32(vsi), 1u << 8);  // bits 32-63 in the first word
    EXPECT_EQ(GetLe32(vsi + 4), 1u);
    EXPECT_EQ(Q4Map_StampVSIGMT(D, kQ4TypeDint, app.d), 1);
    EXPECT_EQ(Q4Map_GetVSIDate(D, kQ4TypeDint, app.d), 0x07E50305u);
    EXPECT_EQ(Q4Map_GetVSITime(D, kQ4TypeDint, app.d), 12u * 3600000u);
    EXPECT_EQ(Q4Map_CopyVSI(D, kQ4TypeDint, app.d, app.d, 1, 1), 1);
    EXPECT_EQ(Q4Map_SetVSIDate(D, kQ4TypeDint, 999, 1), 0);  // unknown variable

    // Same stamp: values survive a rebuild; a new stamp clears them.
    Q4VMMap_Build(D, db.Code());
    EXPECT_EQ(Q4Map_GetVSIBit(D, kQ4TypeDint, app.d, 0), 1);
    MapApp changed = MakeApp(6);
    Q4Code c6{changed.image.data(), static_cast<u32>(changed.image.size())};
    EXPECT_EQ(Q4VMMap_CanHotRestart(D, c6), 0);
    EXPECT_EQ(Q4VMMap_HotRestart(D, c6), 0);
    EXPECT_EQ(Q4Map_GetVSIBit(D, kQ4TypeDint, app.d, 0), 0);
    EXPECT_EQ(Q4Map_GetVSIDate(D, kQ4TypeDint, app.d), 0u);

    // A map without VSI has none to give.
    MapApp plain = MakeApp(1, false);
    IecVmDb db2(plain.image);
    ASSERT_EQ(db2.Result(), 0);
    EXPECT_EQ(Q4Map_SetVSIBit(db2.Db(), kQ4TypeDint, plain.d, 0, 1), 0);
    // Another entry size cannot be rebuilt in place.
    EXPECT_EQ(Q4VMMap_CanHotRestart(D, Q4Code{plain.image.data(), static_cast<u32>(plain.image.size())}), 1);
    EXPECT_EQ(Q4VMMap_HotRestart(D, Q4Code{plain.image.data(), static_cast<u32>(plain.image.size())}), 1);
}

TEST(VarMap, EmptyAndMissingMaps) {
    IecImageBuilder empty;
    IecVmDb db(empty.Build());
    ASSERT_EQ(db.Result(), 0);
    u16 pos = 5;
    EXPECT_EQ(Q4Map_GetFirst(db.Db(), &pos), nullptr);
    EXPECT_EQ(Q4Map_GetBySymbol(db.Db(), "x"), nullptr);

    IecImageBuilder none;
    none.NoMap();
    IecVmDb db2(none.Build());
    EXPECT_EQ(db2.Result(), 1);  // cannot be sized
}

TEST(VarMap, BuilderWritesRecordsAsLaidOut) {
    IecImageBuilder b;
    IecVarOptions o = Sym("Pump");
    o.tag = 42;
    u16 idx = b.Var(kQ4TypeUint, 0, o);
    std::vector<u8> img = b.Build();
    u32 map = GetLe32(&img[4 * 16]);
    EXPECT_EQ(GetLe16(&img[map + 14]), 0x8000);
    EXPECT_EQ(GetLe16(&img[map + 4]), 1);
    u32 rec = map + GetLe16(&img[map]);
    EXPECT_EQ(GetLe16(&img[rec + 2]), kQ4TypeUint);
    EXPECT_EQ(GetLe16(&img[rec + 4]), idx);
    EXPECT_EQ(GetLe16(&img[rec + 12]), 42);
    EXPECT_EQ(GetLe16(&img[rec + 14]), 0x03);
    EXPECT_STREQ(reinterpret_cast<const char*>(&img[rec + 16]), "Pump");
}

TEST(VarMap, TenThousandSymbols) {
    IecImageBuilder b;
    for (int i = 0; i < 10000; ++i) {
        IecVarOptions o = Sym("Var_" + std::to_string(i));
        o.tag = i;
        b.Var(i % 2 ? kQ4TypeDint : kQ4TypeInt, 0, o);
    }
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    for (int i : {0, 1, 4999, 9998, 9999}) {
        std::string name = "VAR_" + std::to_string(i);
        u8* e = Q4Map_GetBySymbol(D, name.c_str());
        ASSERT_NE(e, nullptr) << name;
        u16 type = i % 2 ? kQ4TypeDint : kQ4TypeInt;
        u16 index = static_cast<u16>(i / 2 + 1);
        EXPECT_EQ(Q4Map_GetByIndex(D, type, index), e) << name;
        EXPECT_EQ(Q4Map_GetByNumTag(D, static_cast<u16>(i)), e) << name;
        EXPECT_EQ(Q4Map_GetIndex(D, e), index);
    }
    EXPECT_EQ(Q4Map_GetBySymbol(D, "Var_10000"), nullptr);
}

TEST(BlockTools, OperandsResolveWithLocksAndBounds) {
    IecImageBuilder b;
    u16 in = b.Var(kQ4TypeInt, 3);
    u16 s = b.String(10, "abc");
    u16 off = b.Var(kQ4TypeDint, 8);  // byte offset 8 in the CT segment
    u16 far = b.Var(kQ4TypeDint, 4096);
    IecVmDb plain(b.Build());
    ASSERT_EQ(plain.Result(), 0);
    u8* D = plain.Db();
    *plain.Lock(in) = kQ4LockData16;
    int lock = -1;
    u32 size = 0;
    EXPECT_EQ(Q4Tools_GetAnyParam(D, kQ4TypeInt, in, &lock, &size), plain.Data16(in));
    EXPECT_EQ(lock, 1);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(Q4Tools_GetAnyParam(D, kQ4TypeDint, in, &lock, &size), plain.Data32(in));
    EXPECT_EQ(lock, 0);  // the lock byte of the index has only the INT bit
    EXPECT_EQ(Q4Tools_GetAnyParam(D, kQ4TypeString, s, nullptr, &size), plain.String(s));
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(Q4Tools_GetAnyParam(D, kQ4TypeInt, 500, nullptr, nullptr), nullptr);
    EXPECT_EQ(Q4Tools_GetAnyParam(D, 6, 1, nullptr, nullptr), nullptr);
    EXPECT_EQ(Q4Tools_GetAnyParam(D, kQ4TypeComplex, 1, nullptr, nullptr), nullptr);
    int inCt = -1;
    u8* slot = Q4Tools_GetStringArray(D, s, &inCt);
    EXPECT_EQ(inCt, 0);
    EXPECT_EQ(D + GetLe32(slot), plain.String(s));  // a slot of the pointer table, not the string
    EXPECT_EQ(Q4Tools_GetD16Array(D, in), plain.Data16(in));
    EXPECT_EQ(Q4Tools_GetCTParam(D, off), nullptr);

    b.CtSegment(64, 64);
    IecVmDb ct(b.Build());
    ASSERT_EQ(ct.Result(), 0);
    EXPECT_EQ(Q4Tools_GetD64Array(ct.Db(), off), CtOf(ct.Db()) + 8);
    EXPECT_EQ(Q4Tools_GetAnyArray(ct.Db(), kQ4TypeString, off), CtOf(ct.Db()) + 8);
    EXPECT_EQ(Q4Tools_GetStringArray(ct.Db(), off, &inCt), CtOf(ct.Db()) + 8);
    EXPECT_EQ(inCt, 1);
    EXPECT_EQ(Q4Tools_GetCTParam(ct.Db(), far), nullptr);  // offset outside the segment

    EXPECT_EQ(crc16("abc", 3), 0x5749);
    EXPECT_EQ(crc16("123456789", 9), 0x4B37);
    EXPECT_EQ(crc16("", 0), 0xFFFF);
}

TEST(VmString, OperationsByStringIndex) {
    IecImageBuilder b;
    u16 a = b.String(6, "abc");
    u16 n = b.Var(kQ4TypeReal, 0);
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    Q4VMStr_Cat(D, a, a, a);
    EXPECT_STREQ(Q4VMStr_GetText(D, a), "abcabc");
    Q4VMStr_Copy(D, 0, a);    // no string 0: nothing written
    Q4VMStr_Copy(D, 99, a);
    EXPECT_EQ(Q4VMStr_GetLength(D, 99), 0);
    PutLeFloat(db.Data32(n), -2.75f);
    EXPECT_EQ(Q4VMStr_NumToStr(D, a, kQ4TypeReal, n, 0, 1), 1);
    EXPECT_STREQ(Q4VMStr_GetText(D, a), "-2.7");
    EXPECT_EQ(Q4VMStr_NumToStr(D, a, kQ4TypeReal, 400, 0, 1), 0);
}
