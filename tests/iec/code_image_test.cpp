#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "iec/kernel/q4opcodes.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

// Start of the CT segment (null without one).
u8* CtOf(u8* db) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
    return bytes ? p : nullptr;
}

// Hand-written image bytes: every field placed at the offset the format gives,
// independently of the builder, so that a mistake shared by builder and
// reader shows here.
struct Golden {
    std::vector<u8> b = std::vector<u8>(0x400, 0);
    void W16(u32 at, u16 v) { PutLe16(&b[at], v); }
    void W32(u32 at, u32 v) { PutLe32(&b[at], v); }
    void Txt(u32 at, const char* s) { std::memcpy(&b[at], s, std::strlen(s) + 1); }
    Q4Code View() const { return Q4Code{b.data(), static_cast<u32>(b.size())}; }
};

Golden MakeGolden() {
    Golden g;
    g.W32(0, 0x31);          // format: low nibble 1, other bits ignored
    g.W32(4, 0x48);          // signature
    g.W32(8, 0x60);          // application
    g.W32(12, 0x1B8);        // custom functions
    g.W32(16, 0x1D0);        // classes
    g.W32(20, 0x200);        // tasks
    g.W32(24, 0x220);        // external variables
    g.W32(28, 0x230);        // instances
    g.W32(32, 0x90);         // sizing
    g.W32(36, 0xF0);         // initial values
    g.W32(40, 0x170);        // extension directory
    g.W32(48, 0x190);        // program count
    g.W32(52, 0xDEADBEEF);   // word 13: not read
    g.W32(56, 0x194);        // program table
    g.W32(60, 0xABCD0001);   // layout stamp
    g.Txt(0x48, "Q4RTI");
    g.Txt(0x58, "1.05");
    g.Txt(0x60, "PUMPS");
    g.W32(0x60 + 16, 0x11111111);
    g.W32(0x60 + 20, 0x22222222);
    g.W32(0x60 + 24, 50000);
    g.W32(0x60 + 28, 0x2F8);
    g.W32(0x2F4, 0x33333333);
    g.W16(0x60 + 32, 1);
    g.W16(0x60 + 34, 0x4444);
    g.W32(0x60 + 36, 0xBEEF0001);
    g.W32(0x60 + 40, 0x5FC0);
    // Sizing: A, B, C per class.
    const u16 abc[6][3] = {{10, 5, 4}, {2, 1, 1}, {3, 2, 2}, {0, 0, 0}, {4, 1, 1}, {2, 2, 2}};
    const u32 at[6] = {0, 12, 24, 36, 48, 60};
    for (int k = 0; k < 6; ++k)
        for (int j = 0; j < 3; ++j) g.W16(0x90 + at[k] + 2 * j, abc[k][j]);
    g.W16(0x90 + 58, 7);
    g.W16(0x90 + 72, 3);
    g.W16(0x90 + 80, 2);
    g.W16(0x90 + 82, 1);
    g.W16(0x90 + 84, 5);
    g.W32(0x90 + 92, 16);
    // Initial-value directory and lists.
    g.W32(0xF0 + 0, 0x120);
    g.W32(0xF0 + 4, 0x128);
    g.W32(0xF0 + 8, 0x130);
    g.W32(0xF0 + 16, 0x140);
    g.W32(0xF0 + 20, 0x150);
    g.W32(0xF0 + 24, 0x160);
    g.W32(0xF0 + 28, 0x164);
    g.W32(0xF0 + 40, 0x5);
    g.W16(0x120, 2), g.b[0x122] = 7;
    g.W16(0x128, 1), g.W16(0x12A, 0xFFFE);
    g.W16(0x130, 2), g.W32(0x134, 0x11223344);
    g.W16(0x140, 1), g.W32(0x144, 86399999);
    g.W16(0x150, 1), g.b[0x152] = 2, g.Txt(0x153, "hi");
    g.W16(0x156, 2), g.b[0x158] = 0;
    g.b[0x160] = 5, g.b[0x161] = 10;
    // Extension directory of level 4: entries 1 to 6; entry 7 beyond it.
    g.W32(0x170, 4);
    g.W32(0x174, 0x99);
    g.W32(0x170 + 4 * 5, 0x1F0);
    g.W32(0x170 + 4 * 6, 0x1F4);
    g.W32(0x170 + 4 * 7, 0x77777777);
    g.W16(0x190, 2);
    g.W32(0x194, 0x300), g.W32(0x198, 10), g.W16(0x19C, 0);
    g.W32(0x1A0, 0x30C), g.W32(0x1A4, 4), g.W16(0x1A8, 1);
    g.W16(0x1B8, 1), g.W16(0x1BA, 1), g.Txt(0x1BC + 4, "MYFUNC");
    g.W16(0x1D0, 1), g.W16(0x1D2, 1), g.W16(0x1D4, 7), g.W16(0x1D6, 2), g.Txt(0x1D8, "TON");
    g.W16(0x200, 0x10), g.W16(0x202, 0x0C), g.Txt(0x204, "FAST"), g.W16(0x20C, 1);
    g.W16(0x210, 0), g.W16(0x212, 0x0A), g.Txt(0x214, "SLOW"), g.W16(0x21A, 2);
    g.W16(0x220, 2), g.W16(0x222, 1);
    g.W16(0x230, 2), g.W32(0x230 + 12, 64);
    g.W16(0x240, 1), g.W16(0x242, 7), g.W32(0x244, 0xAAAA);
    g.W16(0x248, 0), g.W16(0x24A, 9), g.W32(0x24C, 0xBBBB);
    g.W16(0x300, 68);
    g.W16(0x30C, 234);
    return g;
}

std::string Text(const Q4Code& c, u32 off) { return reinterpret_cast<const char*>(c.data + off); }

}  // namespace

TEST(CodeImage, GoldenImageReadsAsLaidOut) {
    Golden g = MakeGolden();
    Q4Code c = g.View();
    ASSERT_EQ(Q4VMCode_CheckCode(c), 0);

    char name[16];
    Q4VMCode_GetAppName(c, name);
    EXPECT_STREQ(name, "PUMPS");
    EXPECT_EQ(Q4VMCode_GetCycleTime(c), 50000u);
    EXPECT_EQ(Q4VMCode_GetStartPaused(c), 1);
    EXPECT_EQ(Q4VMCode_GetFullBuildStamp(c), 0xBEEF0001u);
    EXPECT_EQ(Q4VMCode_GetSfcCrc(c), 0x5FC0u);
    EXPECT_EQ(Q4VMCode_GetPassword(c), 0x99u);
    EXPECT_EQ(Q4VMCode_GetLayoutStamp(c), 0xABCD0001u);

    struct Count {
        const char* what;
        u16 got, want;
    } counts[] = {
        {"data8", Q4VMCode_GetNbData8(c), 11},       {"data16", Q4VMCode_GetNbData16(c), 3},
        {"data32", Q4VMCode_GetNbData32(c), 4},      {"data64", Q4VMCode_GetNbData64(c), 1},
        {"time", Q4VMCode_GetNbTime(c), 5},          {"active", Q4VMCode_GetNbActiveTime(c), 8},
        {"steps", Q4VMCode_GetNbStep(c), 4},         {"trans", Q4VMCode_GetNbTrans(c), 6},
        {"xv", Q4VMCode_GetNbXV(c), 3},              {"instances", Q4VMCode_GetNbFBInstance(c), 3},
        {"cfuncs", Q4VMCode_GetNbCustomFunc(c), 2},  {"progs", Q4VMCode_GetNbProg(c), 3},
        {"locks", Q4VMCode_GetNbLockFlags(c), 11},   {"stack", Q4VMCode_GetCallStackSize(c), 16},
        {"stack alloc", Q4VMCode_GetCallStackAllocSize(c), 32},
    };
    for (const Count& k : counts) EXPECT_EQ(k.got, k.want) << k.what;
    u32 buf = 0;
    EXPECT_EQ(Q4VMCode_GetNbString(c, &buf), 3);
    EXPECT_EQ(buf, 21u);  // (5 + 3) + (10 + 3), above the minimum of 16

    // Level 4 exposes entries 1 to 6 only.
    u32 v = 0;
    EXPECT_TRUE(Q4VMCode_GetExt(c, 5, &v));
    EXPECT_EQ(v, 0x1F0u);
    EXPECT_EQ(Q4VMCode_GetEAX(c, nullptr, nullptr), 1);
    EXPECT_FALSE(Q4VMCode_GetExt(c, 7, &v));
    EXPECT_EQ(Q4VMCode_GetBusDrv(c), 0u);

    Q4ClassEntry ce;
    ASSERT_TRUE(Q4VMCode_GetClass(c, 0, &ce));
    EXPECT_EQ(ce.classNumber, 7);
    EXPECT_EQ(ce.useCount, 2);
    EXPECT_STREQ(ce.name, "TON");
    char fn[17];
    ASSERT_TRUE(Q4VMCode_GetCustomFunc(c, 0, fn));
    EXPECT_STREQ(fn, "MYFUNC");
    ASSERT_EQ(Q4VMCode_GetInstanceCount(c), 2);
    Q4InstanceEntry ie;
    ASSERT_TRUE(Q4VMCode_GetInstance(c, 1, &ie));
    EXPECT_EQ(ie.standard, 0);
    EXPECT_EQ(ie.classNumber, 9);
    EXPECT_EQ(ie.codeWord, 0xBBBBu);
    EXPECT_EQ(Q4VMCode_GetWishedFBIRawSize(c), 64u);
    Q4XvEntry xe;
    ASSERT_EQ(Q4VMCode_GetXvListCount(c), 1);
    ASSERT_TRUE(Q4VMCode_GetXv(c, 0, &xe));
    EXPECT_EQ(xe.type, 2);
    EXPECT_EQ(xe.index, 1);

    ASSERT_EQ(Q4VMCode_GetTaskCount(c), 2);
    Q4TaskEntry te;
    ASSERT_TRUE(Q4VMCode_GetTask(c, 1, &te));
    EXPECT_EQ(Text(c, te.nameOffset), "SLOW");
    EXPECT_EQ(Q4Code_U16(c, te.progListOffset), 2);

    ASSERT_EQ(Q4VMCode_GetProgTableCount(c), 2);
    Q4ProgEntry pe;
    ASSERT_TRUE(Q4VMCode_GetProg(c, 1, &pe));
    EXPECT_EQ(pe.codeOffset, 0x30Cu);
    EXPECT_EQ(pe.word2, 4u);
    EXPECT_EQ(pe.kind, 1);

    struct Init {
        Q4InitClass cls;
        u16 index;
        std::vector<u8> bytes;
    } inits[] = {
        {kQ4InitClsData8, 2, {7}},
        {kQ4InitClsData16, 1, {0xFE, 0xFF}},
        {kQ4InitClsData32, 2, {0x44, 0x33, 0x22, 0x11}},
        {kQ4InitClsTime, 1, {0xFF, 0x5B, 0x26, 0x05}},
        {kQ4InitClsString, 1, {2, 'h', 'i'}},
    };
    for (const Init& in : inits) {
        u32 cursor = 0;
        Q4InitValue iv;
        ASSERT_TRUE(Q4VMCode_NextInit(c, in.cls, &cursor, &iv)) << in.cls;
        EXPECT_EQ(iv.index, in.index);
        EXPECT_EQ(std::vector<u8>(iv.value, iv.value + iv.length), in.bytes) << in.cls;
    }
    u32 cursor = 0;
    Q4InitValue iv;
    ASSERT_TRUE(Q4VMCode_NextInit(c, kQ4InitClsString, &cursor, &iv));
    ASSERT_TRUE(Q4VMCode_NextInit(c, kQ4InitClsString, &cursor, &iv));
    EXPECT_EQ(iv.index, 2);
    EXPECT_EQ(iv.length, 1u);
    EXPECT_FALSE(Q4VMCode_NextInit(c, kQ4InitClsString, &cursor, &iv));
    EXPECT_EQ(Q4VMCode_GetStringCap(c, 2), 10);
    EXPECT_EQ(Q4VMCode_GetStringCap(c, 3), 0);
}

TEST(CodeImage, GoldenStatusInitialisation) {
    Golden g = MakeGolden();
    std::vector<u8> st(kVmDbDescriptorBlockBytes + 256, 0);
    VmDbDesc d{0, 0, kQ4StBytes, 0, 0, 1};
    Q4VM_PutDesc(st.data(), kDbStatus, d);
    Q4VM_BuildDBMainLinks(st.data());
    Q4VMCode_InitiateStatus(g.View(), st.data());
    const u8* s = st.data() + kVmDbDescriptorBlockBytes;
    EXPECT_STREQ(reinterpret_cast<const char*>(s), "PUMPS");
    EXPECT_EQ(GetLe32(s + kQ4StCycleTime), 50000u);
    EXPECT_EQ(GetLe32(s + kQ4StAppWords), 0x11111111u);
    EXPECT_EQ(GetLe32(s + kQ4StAppWords + 8), 0x33333333u);
    EXPECT_EQ(GetLe32(s + kQ4StLayoutStamp), 0xABCD0001u);
    EXPECT_EQ(GetLe16(s + kQ4StFlags), 0x8400);  // start paused: not running
    EXPECT_EQ(GetLe32(s + kQ4StOptions), 0x4u | 0x8u | 0x200u);
}

TEST(CodeImage, IecAppRecordLayout) {
    std::vector<u8> code{1, 2, 3, 4, 5};
    RegLocTable t;
    t.Bind(0, IecVarRef(kRef8, 3)).Bind(6463, IecVarRef(kRef16, 0x12345));
    std::vector<u8> rec = IecAppRecord(code, t);
    ASSERT_EQ(rec.size(), 16u + 5u + 25856u);
    EXPECT_EQ(rec[0], 0x4A);
    EXPECT_EQ(rec[1], 0x00);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec[4]), 4), std::string("XTI\0", 4));
    EXPECT_EQ(GetLe32(&rec[8]), 5u);
    EXPECT_EQ(rec[16], 1);
    EXPECT_EQ(GetLe32(&rec[21]), 0xC0000003u);
    EXPECT_EQ(GetLe32(&rec[21 + 4 * 6463]), 0xC4000000u | 0x12345u);
}

namespace {

std::vector<u8> SmallImage() {
    IecImageBuilder b;
    b.AppName("SMALL");
    b.Var(kQ4TypeDint, 5, "COUNT");
    b.String(8, "abc", Sym("MSG"));
    b.CtSegment(32, 16).CtInit(4, {1, 2, 3});
    b.Task("MAIN", {1});
    b.FbClass(3, "TON");
    b.FbInstance(3, true);
    TicAssembler a;
    a.Op("MOVE_DINT", {1, 1}).Op("RET");
    b.Program(a.Finish());
    return b.Build();
}

void Put32(std::vector<u8>& img, u32 at, u32 v) { PutLe32(&img[at], v); }
u32 Hdr(const std::vector<u8>& img, u32 word) { return GetLe32(&img[4 * word]); }

}  // namespace

TEST(CodeImage, MalformedImagesAreRefused) {
    const std::vector<u8> good = SmallImage();
    ASSERT_EQ(Q4VMCode_CheckCode(Q4Code{good.data(), static_cast<u32>(good.size())}), 0);
    struct Case {
        const char* what;
        void (*mutate)(std::vector<u8>&);
        int want;
    } cases[] = {
        {"format bits", [](std::vector<u8>& i) { Put32(i, 0, 2); }, 2},
        {"format high bits ignored", [](std::vector<u8>& i) { Put32(i, 0, 0xFFFFFFF1); }, 0},
        {"header truncated", [](std::vector<u8>& i) { i.resize(60); }, 2},
        {"signature", [](std::vector<u8>& i) { i[Hdr(i, 1) + 4] = 'X'; }, 3},
        {"signature offset outside", [](std::vector<u8>& i) { Put32(i, 4, static_cast<u32>(i.size()) - 2); }, 3},
        {"version 1.10", [](std::vector<u8>& i) { i[Hdr(i, 1) + 18] = '1'; }, 4},
        {"version 2.00", [](std::vector<u8>& i) { i[Hdr(i, 1) + 16] = '2'; }, 4},
        {"version 1.05", [](std::vector<u8>& i) { i[Hdr(i, 1) + 19] = '5'; }, 0},
        {"image cut short", [](std::vector<u8>& i) { i.resize(i.size() - 6); }, 2},
        {"sizing outside", [](std::vector<u8>& i) { Put32(i, 32, static_cast<u32>(i.size()) - 40); }, 2},
        {"sizing over header", [](std::vector<u8>& i) { Put32(i, 32, 8); }, 2},
        {"sizing over application", [](std::vector<u8>& i) { Put32(i, 32, Hdr(i, 2) + 8); }, 2},
        {"init dir over sizing", [](std::vector<u8>& i) { Put32(i, 36, Hdr(i, 8) + 40); }, 2},
        {"program code outside", [](std::vector<u8>& i) { Put32(i, Hdr(i, 14), static_cast<u32>(i.size())); }, 2},
        {"value list unterminated",
         [](std::vector<u8>& i) { Put32(i, Hdr(i, 9) + 8, static_cast<u32>(i.size()) - 2); i[i.size() - 2] = 1; }, 2},
        {"task chain leaves image", [](std::vector<u8>& i) { PutLe16(&i[Hdr(i, 5)], 0x7FF0); }, 2},
        {"instance list beyond count", [](std::vector<u8>& i) { PutLe16(&i[Hdr(i, 7)], 0); }, 2},
        {"map count above allocation", [](std::vector<u8>& i) { PutLe16(&i[Hdr(i, 16) + 4], 9); }, 2},
        {"map record overruns image", [](std::vector<u8>& i) { PutLe16(&i[Hdr(i, 16) + 16], 0xFFF0); }, 2},
        {"CT init beyond segment",
         [](std::vector<u8>& i) {
             u32 dir = Hdr(i, 10);
             u32 ct = GetLe32(&i[dir + 4 * 9]);
             PutLe32(&i[ct], 5);  // allocated size below the record at offset 4 of 3 bytes
         },
         2},
    };
    for (const Case& k : cases) {
        std::vector<u8> img = good;
        k.mutate(img);
        EXPECT_EQ(Q4VMCode_CheckCode(Q4Code{img.data(), static_cast<u32>(img.size())}), k.want) << k.what;
    }
    EXPECT_EQ(Q4VMCode_CheckCode(Q4Code{}), 2);
}

TEST(CodeImage, BuilderDeclarationsComeBackThroughTheAccessors) {
    IecImageBuilder b;
    b.AppName("A_LONG_APPLICATION_NAME").CycleTime(10000).Password(77).HeapSize(-1);
    u16 flag = b.Var(kQ4TypeBool, 1);
    u16 small = b.Var(kQ4TypeSint, 0x80);
    u16 word = b.Var(kQ4TypeUint, 0xBEEF);
    u16 count = b.Var(kQ4TypeDint, 0xFFFFFFFF);
    u16 big = b.Var(kQ4TypeLint, 0x0102030405060708ull);
    u16 t = b.Var(kQ4TypeTime, 1500);
    u16 s1 = b.String(4, "abcdefgh");
    u16 s2 = b.String(255);
    b.Spare(kQ4InitClsData32, 5).StringBufferMinimum(1000).ProgramSlots(6);
    b.CustomFunction("F1").CustomFunction("F2");
    b.FbClass(1, "R_TRIG").FbClass(40, "MYBLOCK", 0);
    b.FbInstance(1, true, 11, "TRIG1");
    b.FbInstance(40, false, 12, "MINE");
    b.InstanceDataSize(256);
    b.StringTable({"zero", "one"}).StringTable({"x"});
    for (int i = 0; i < 8; ++i) b.Task("T" + std::to_string(i), {1});
    TicAssembler a;
    a.Op("LDK_DINT", {count, 0, 7}).Op("END");
    u16 p1 = b.Program(a.Finish());
    u16 p2 = b.Program({234}, 2);
    std::vector<u8> img = b.Build();
    Q4Code c{img.data(), static_cast<u32>(img.size())};
    ASSERT_EQ(Q4VMCode_CheckCode(c), 0);

    char name[16];
    Q4VMCode_GetAppName(c, name);
    EXPECT_STREQ(name, "A_LONG_APPLICAT");  // 15 characters
    EXPECT_EQ(Q4VMCode_GetPassword(c), 77u);
    EXPECT_EQ(Q4VMCode_GetHeapSize(c), -1);
    EXPECT_EQ(Q4VMCode_GetNbData32(c), 2 + 5);
    EXPECT_EQ(Q4VMCode_GetNbProg(c), 3);
    EXPECT_EQ(Q4VMCode_GetNbProgAlloc(c), 6);
    EXPECT_EQ(Q4VMCode_GetNbCustomFunc(c), 3);
    EXPECT_EQ(Q4VMCode_GetNbFBInstance(c), 3);
    EXPECT_EQ(Q4VMCode_GetWishedFBIRawSize(c), 256u);
    EXPECT_EQ(Q4VMCode_GetTaskCount(c), 8);
    EXPECT_EQ(Q4VMCode_CanHOTBuildTaskList(c), 0);
    u32 buf = 0;
    Q4VMCode_GetNbString(c, &buf);
    EXPECT_EQ(buf, 1000u);  // the minimum is larger than 7 + 258
    EXPECT_EQ(Q4VMCode_GetDefStringTable(c), 1);
    EXPECT_EQ(Text(c, Q4VMCode_GetStringTable(c, 2)), "x");
    EXPECT_EQ(Q4VMCode_GetStringTable(c, 0), 0u);
    EXPECT_EQ(Q4VMCode_GetStringTable(c, 3), 0u);
    u32 names = Q4VMCode_GetInstanceNames(c);
    EXPECT_EQ(Text(c, names), "TRIG1");
    Q4ProgEntry pe;
    ASSERT_TRUE(Q4VMCode_GetProg(c, p2 - 1, &pe));
    EXPECT_EQ(pe.kind, 2);
    ASSERT_TRUE(Q4VMCode_GetProg(c, p1 - 1, &pe));
    EXPECT_EQ(Q4Code_U16(c, pe.codeOffset), Q4Op_Find("LDK_DINT"));

    IecVmDb db(img);
    ASSERT_EQ(db.Result(), 0);
    EXPECT_EQ(*db.Data8(flag), 1);
    EXPECT_EQ(*db.Data8(small), 0x80);
    EXPECT_EQ(GetLe16(db.Data16(word)), 0xBEEF);
    EXPECT_EQ(GetLe32(db.Data32(count)), 0xFFFFFFFFu);
    EXPECT_EQ(GetLe64(db.Data64(big)), 0x0102030405060708ull);
    EXPECT_EQ(GetLe32(db.Time(t)), 1500u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(db.String(s1) + 2)), "abcd");  // cut at capacity 4
    EXPECT_EQ(db.String(s2)[0], 255);
    EXPECT_EQ(db.String(s2)[1], 0);
}

TEST(CodeImage, NineTasksAreRefused) {
    IecImageBuilder b;
    for (int i = 0; i < 9; ++i) b.Task("T" + std::to_string(i), {});
    std::vector<u8> img = b.Build();
    Q4Code c{img.data(), static_cast<u32>(img.size())};
    ASSERT_EQ(Q4VMCode_CheckCode(c), 0);
    EXPECT_EQ(Q4VMCode_CanHOTBuildTaskList(c), 36);
    IecVmDb db(img);
    EXPECT_EQ(db.Result(), 36);
}

TEST(CodeImage, SizingRefusesIndexesBeyondTheAllocation) {
    struct Case {
        Q4InitClass cls;
        u16 type;
        int want;
    } cases[] = {
        {kQ4InitClsData8, kQ4TypeBool, 9},   {kQ4InitClsData16, kQ4TypeInt, 10}, {kQ4InitClsData32, kQ4TypeDint, 11},
        {kQ4InitClsData64, kQ4TypeLint, 19}, {kQ4InitClsTime, kQ4TypeTime, 13},
    };
    for (const Case& k : cases) {
        IecImageBuilder b;
        b.Var(k.type);
        b.UsedOverride(k.cls, 4);  // highest used index above the allocated 1
        IecVmDb db(b.Build());
        EXPECT_EQ(db.Result(), k.want) << k.cls;
    }
    // TIME: the highest used index must stay below A itself.
    IecImageBuilder b;
    b.Var(kQ4TypeTime);
    b.Spare(kQ4InitClsTime, 0);
    IecVmDb db(b.Build());
    EXPECT_EQ(db.Result(), 13);
}

TEST(CodeImage, ProgramPointersAndCallStackSlots) {
    IecImageBuilder b;
    b.CallStackSize(4);
    b.Program({68});
    b.Program({68}, 1);
    b.Program({68});
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    u32 bytes = 0;
    u8* progs = Q4VM_AreaPtr(db.Db(), kDbPrograms, &bytes);
    ASSERT_NE(progs, nullptr);
    EXPECT_EQ(Q4VM_GetDesc(db.Db(), kDbPrograms).used, 4);
    // Kind-0 programs get save areas 4 and 8 (stack 4 x (2 + 1) = 12 words).
    EXPECT_EQ(GetLe16(progs + 1 * 24 + kQ4PrSaveOffset), 4);
    EXPECT_EQ(GetLe16(progs + 2 * 24 + kQ4PrSaveOffset), 0);
    EXPECT_EQ(GetLe16(progs + 2 * 24 + kQ4PrKind), 1);
    EXPECT_EQ(GetLe16(progs + 3 * 24 + kQ4PrSaveOffset), 8);
    EXPECT_EQ(GetLe32(progs + 3 * 24 + kQ4PrCodeSize), 2u);
}

TEST(CodeImage, NewVariablesOnlyGetInitialValuesWithoutAll) {
    IecImageBuilder b;
    u16 a = b.Var(kQ4TypeDint, 1);
    u16 n = b.Var(kQ4TypeDint, 2);
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    PutLe32(db.Data32(a), 100);
    PutLe32(db.Data32(n), 200);
    VmDbDesc d = Q4VM_GetDesc(db.Db(), kDbData32);
    d.boundary = n;  // index n is new
    Q4VM_PutDesc(db.Db(), kDbData32, d);
    Q4VMCode_ApplyData32Init(db.Code(), db.Db(), 0);
    EXPECT_EQ(GetLe32(db.Data32(a)), 100u);
    EXPECT_EQ(GetLe32(db.Data32(n)), 2u);
}

TEST(CodeImage, CtSegmentInitialValuesFromAnOffset) {
    IecImageBuilder b;
    b.CtSegment(16, 16).CtInit(0, {9, 9}).CtInit(8, {1, 2, 3, 4});
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    std::memset(CtOf(db.Db()), 0, 16);
    Q4VMCode_ApplyCTSegInit(db.Code(), db.Db(), 4);
    EXPECT_EQ(CtOf(db.Db())[0], 0);
    EXPECT_EQ(CtOf(db.Db())[11], 4);
}

TEST(CodeImage, RetainRecordAndExtensionFlags) {
    IecImageBuilder b;
    b.Retain(kQ4InitClsData8, 3, 4).Retain(kQ4InitClsData32, 1, 2).Retain(kQ4InitClsString, 2, 1);
    b.RetainSignature(0xCAFE).RetainCt(8, 24);
    b.Ext(kQ4ExtFlags12, 1).Ext(kQ4ExtFlags21, 3);
    std::vector<u8> img = b.Build();
    Q4Code c{img.data(), static_cast<u32>(img.size())};
    ASSERT_EQ(Q4VMCode_CheckCode(c), 0);
    u32 r = Q4VMCode_GetRetainRecord(c);
    ASSERT_NE(r, 0u);
    // Words 32/33 data8 count and first index, 34/35 data32, 38/39 STRING.
    EXPECT_EQ(Q4Code_U16(c, r + 64), 4);
    EXPECT_EQ(Q4Code_U16(c, r + 66), 3);
    EXPECT_EQ(Q4Code_U16(c, r + 68), 2);
    EXPECT_EQ(Q4Code_U16(c, r + 70), 1);
    EXPECT_EQ(Q4Code_U16(c, r + 76), 1);
    EXPECT_EQ(Q4Code_U16(c, r + 78), 2);
    EXPECT_EQ(Q4Code_U32(c, r + 88), 0xCAFEu);
    EXPECT_EQ(Q4Code_U32(c, r + 92), 24u);
    EXPECT_EQ(Q4Code_U32(c, r + 96), 8u);
    EXPECT_EQ(Q4VMCode_IsCCPure(c), 1);
    EXPECT_EQ(Q4VMCode_IsCodeDebug(c), 0);  // level 19: entry 21 bit 1 not yet read

    std::vector<u8> st(kVmDbDescriptorBlockBytes + 256, 0);
    Q4VM_PutDesc(st.data(), kDbStatus, VmDbDesc{0, 0, kQ4StBytes, 0, 0, 1});
    Q4VM_BuildDBMainLinks(st.data());
    Q4VMCode_InitiateStatus(c, st.data());
    // Option 0x4 stays clear (entry 12 bit 0), 0x20 from entry 21 bit 0.
    EXPECT_EQ(GetLe32(st.data() + kVmDbDescriptorBlockBytes + kQ4StOptions), 0x20u);
}

TEST(CodeImage, GoldenMapBlockBuildsAndResolves) {
    Golden g = MakeGolden();
    g.W32(64, 0x320);  // header word 16: the map
    g.W16(0x320, 16);  // first record
    g.W16(0x322, 3);   // allocated entries
    g.W16(0x324, 2);   // records
    g.W16(0x326, 0x200);
    g.W32(0x328, 7);
    g.W16(0x32E, 0x8000);
    // INT 1 "LEVEL", tag 5, with a VSI.
    g.W16(0x330, 24), g.W16(0x332, 11), g.W16(0x334, 1), g.W16(0x33C, 5), g.W16(0x33E, 0x203);
    g.Txt(0x340, "LEVEL");
    // STRING 2 "msg", capacity 10.
    g.W16(0x348, 20), g.W16(0x34A, 5), g.W16(0x34C, 2), g.W16(0x350, 10), g.W16(0x356, 0x201);
    g.Txt(0x358, "msg");
    IecVmDb db(g.b);
    ASSERT_EQ(db.Result(), 0);
    u8* D = db.Db();
    EXPECT_EQ(Q4VM_GetDesc(D, kDbMapEntries).elementSize, 40);
    EXPECT_EQ(Q4VM_GetDesc(D, kDbMapEntries).allocated, 3);
    u8* level = Q4Map_GetBySymbol(D, "level");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(Q4Map_GetData(D, level), db.Data16(1));
    EXPECT_EQ(Q4Map_GetByNumTag(D, 5), level);
    EXPECT_EQ(Q4Map_SetVSIBit(D, kQ4TypeInt, 1, 3, 1), 1);
    u8* msg = Q4Map_GetByIndex(D, kQ4TypeString, 2);
    ASSERT_NE(msg, nullptr);
    EXPECT_STREQ(Q4Map_GetSymbol(D, msg), "msg");
    EXPECT_EQ(Q4Map_GetData(D, msg), db.String(2));
    EXPECT_EQ(db.String(2)[0], 10);
    u8 out[20];
    ASSERT_EQ(Q4Map_GetDesc(D, 1, out), 15u);
    EXPECT_EQ(GetBe16(out + 4), 10);  // capacity
    // The stamp is kept in the private record.
    u32 bytes = 0;
    EXPECT_EQ(GetLe32(Q4VM_AreaPtr(D, kDbPrivate, &bytes) + kQ4PrivMapStamp), 7u);
}
