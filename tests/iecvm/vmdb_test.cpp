#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmimg.h"
#include "iec/kernel/q4vmstr.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/temp_root.h"

namespace {

// An application that uses most areas: every variable class with spare
// room, two strings, a program, two tasks, a buffer heap and a CT segment.
struct App {
    IecImageBuilder b;
    u16 dint, real, str;
    App() {
        b.AppName("PLANT").LayoutStamp(0x00AB0001);
        b.Var(kQ4TypeBool, 1, "b1");
        b.Var(kQ4TypeBool);
        b.Var(kQ4TypeSint, static_cast<u8>(-3));
        b.Var(kQ4TypeInt, 300, "i1");
        dint = b.Var(kQ4TypeDint, 1234, "d1");
        real = b.Real(2.5f, "r1");
        b.Var(kQ4TypeLint, 0x1122334455667788ull);
        b.Var(kQ4TypeTime, 5000);
        str = b.String(10, "abc", Sym("s1"));
        b.String(5);
        b.Spare(kQ4InitClsData8, 4).Spare(kQ4InitClsData32, 2);
        u16 p = b.Program({0x0044});
        b.Task("MAIN", {p}).Task("FAST", {p});
        b.HeapSize(256).CtSegment(64, 16);
    }
};

u32 Round8(u32 n) { return (n + 7) & ~7u; }

TEST(VmDb, LayoutAreaByArea) {
    App a;
    IecVmDb db(a.b.Build());
    ASSERT_EQ(db.Result(), 0);
    u8* d = db.Db();

    struct Row {
        u32 area;
        u16 elem;
        u16 count;
        u32 raw;
    };
    // data8: 3 declared + 4 spare + index 0; data32: 2 + 2 + 1; strings: 2 + 1;
    // TIME keeps one index above the used ones.
    const Row rows[] = {
        {kDbStatus, 248, 1, 0},          {kDbLog, 0, 0, 128},           {kDbExecBuffer, 1, 1024, 0},
        {kDbPrivate, 0, 0, 112 + 256},   {kDbData8, 1, 8, 0},           {kDbData16, 2, 2, 0},
        {kDbData32, 4, 5, 0},            {kDbData64, 8, 2, 0},          {kDbTime, 4, 3, 0},
        {kDbStringPointers, 4, 3, 0},    {kDbStringBuffer, 0, 0, 13 + 8}, {kDbResources, 12, 128, 0},
        {kDbUnresolved, 16, 16, 0},      {kDbMapHash, 4, 49, 0},        {kDbSampling, 960, 1, 0},
        {kDbTasks, 8, 8, 0},             {kDbChangeEvents, 64, 1024, 0}, {kDbCtSegment, 0, 0, 64},
        {kDbIoSystem, 0, 0, 0},          {kDbBusDrivers, 0, 0, 0},
    };
    for (const Row& r : rows) {
        VmDbDesc desc = Q4VM_GetDesc(d, r.area);
        EXPECT_EQ(desc.elementSize, r.elem) << "area " << r.area;
        EXPECT_EQ(desc.allocated, r.count) << "area " << r.area;
        EXPECT_EQ(desc.rawSize, r.raw) << "area " << r.area;
    }
    // Each area starts where the previous one ends, rounded to 8; an empty
    // area points at the next one; the last ends at the total size.
    u32 at = kVmDbDescriptorBlockBytes;
    for (u32 area = 0; area < kVmDbTableCount; ++area) {
        VmDbDesc desc = Q4VM_GetDesc(d, area);
        EXPECT_EQ(desc.offset, at) << "area " << area;
        at += Round8(Q4VM_AreaBytes(desc));
    }
    EXPECT_EQ(at, db.Size());
    EXPECT_EQ(Q4VM_GetDesc(d, kDbIoSystem).offset, Q4VM_GetDesc(d, kDbMapEntries).offset);

    // Counts the build sets.
    VmDbDesc res = Q4VM_GetDesc(d, kDbResources), smp = Q4VM_GetDesc(d, kDbSampling),
             cs = Q4VM_GetDesc(d, kDbCallStack), d32 = Q4VM_GetDesc(d, kDbData32);
    EXPECT_EQ(res.used, 128);
    EXPECT_EQ(res.boundary, 128);
    EXPECT_EQ(smp.used, 1);
    EXPECT_EQ(cs.used, 0);
    EXPECT_EQ(d32.used, 3);
    EXPECT_EQ(d32.boundary, 3);
    EXPECT_EQ(Q4VM_GetDesc(d, kDbTasks).used, 2);
}

TEST(VmDb, BuildFillsRecordsAndValues) {
    App a;
    IecVmDb db(a.b.Build());
    ASSERT_EQ(db.Result(), 0);
    u8* st = db.Status();
    EXPECT_STREQ(reinterpret_cast<char*>(st + kQ4StName), "PLANT");
    EXPECT_EQ(GetLe32(st + kQ4StLayoutStamp), 0x00AB0001u);
    EXPECT_EQ(GetLe16(st + kQ4StFlags) & kVmFlagRunning, kVmFlagRunning);
    EXPECT_EQ(st[kQ4StSeparators], ';');
    EXPECT_EQ(st[kQ4StSeparators + 1], '.');
    EXPECT_EQ(GetLe16(st + kQ4StCallStackSize), 16);
    u8* priv = Q4VM_Private(db.Db());
    EXPECT_EQ(GetLe32(priv + kVmPrivSignature), kVmDbSignature);
    EXPECT_EQ(GetLe32(priv + kVmPrivBuildStamp), 0x12345678u);
    EXPECT_EQ(GetLe32(priv + kVmPrivCtUsed), 16u);

    EXPECT_EQ(GetLe32(db.Data32(a.dint)), 1234u);
    EXPECT_FLOAT_EQ(GetLeFloat(db.Data32(a.real)), 2.5f);
    EXPECT_EQ(*db.Data8(3), 0xFD);
    EXPECT_EQ(GetLe64(db.Data64(1)), 0x1122334455667788ull);
    EXPECT_EQ(GetLe32(db.Time(1)), 5000u);
    u8* s = db.String(a.str);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[0], 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s + 2), s[1]), "abc");

    Q4Heap* heap = Q4VM_GetHeap(db.Db());
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(Q4Heap_GetInfo(heap).capacity, 256u - 36u);

    u16 index = 99;
    EXPECT_EQ(Q4VM_FindTask(db.Db(), "FAST", &index), 0);
    EXPECT_EQ(index, 1);
    // Task 0 is never matched.
    EXPECT_EQ(Q4VM_FindTask(db.Db(), "MAIN", &index), 1);
    EXPECT_EQ(index, 0);
    EXPECT_STREQ(Q4VM_GetTaskName(db.Db(), 0), "MAIN");
    EXPECT_EQ(Q4VM_GetTaskName(db.Db(), 2), nullptr);

    Q4VM_SetPauseMode(db.Db(), 1);
    EXPECT_EQ(GetLe16(st + kQ4StFlags) & kVmFlagRunning, 0);
}

TEST(VmDb, SizingAndBuildRefusals) {
    IecImageBuilder noMap;
    noMap.Var(kQ4TypeDint, 1);
    noMap.NoMap();
    u8 desc[kVmDbDescriptorBlockBytes];
    auto img = noMap.Build();
    EXPECT_EQ(Q4VM_GetDBSize(Q4Code{img.data(), static_cast<u32>(img.size())}, desc), 1);

    // A used index at or beyond the allocation is refused with the class's code.
    const struct {
        Q4InitClass cls;
        u16 type;
        int code;
    } cases[] = {
        {kQ4InitClsData8, kQ4TypeBool, 9},   {kQ4InitClsData16, kQ4TypeInt, 10}, {kQ4InitClsData32, kQ4TypeDint, 11},
        {kQ4InitClsData64, kQ4TypeLint, 19}, {kQ4InitClsTime, kQ4TypeTime, 13},
    };
    for (const auto& c : cases) {
        IecImageBuilder b;
        b.Var(c.type, 0, "v");
        b.Var(c.type, 0);
        b.UsedOverride(c.cls, 3);
        IecVmDb db(b.Build());
        EXPECT_EQ(db.Result(), c.code) << "class " << c.cls;
    }

    // A negative heap size asks for a malloc heap; it works at a cold build.
    IecImageBuilder m;
    m.Var(kQ4TypeDint, 1, "d");
    m.HeapSize(-1);
    IecVmDb mdb(m.Build());
    ASSERT_EQ(mdb.Result(), 0);
    ASSERT_TRUE(Q4Heap_IsMalloc(Q4VM_GetHeap(mdb.Db())));
    // ... and cannot be carried over by a hot rebuild.
    EXPECT_EQ(Q4VM_AllocHeap(mdb.Code(), mdb.Db(), 1), kVmErrHeap);
}

// --- Hot-restart image ------------------------------------------------------------

std::vector<u8> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), {});
}
void WriteFile(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Builds the application in the manager's database record as the runtime
// does, changes some values and writes q4.hot.
struct HotFixture {
    TempRoot root;
    App app;
    std::vector<u8> code = app.b.Build();
    Q4Code view{code.data(), static_cast<u32>(code.size())};
    u32 heapHandle = 0;

    std::vector<u8> SaveHot() {
        Q4MMData mm;
        Q4MM_Open(&mm, "");
        u8 desc[kVmDbDescriptorBlockBytes];
        EXPECT_EQ(Q4VM_GetDBSize(view, desc), 0);
        EXPECT_EQ(Q4MM_AllocRawVMDB(&mm, Q4VM_GetTotalDBSize(desc)), 0);
        u8* db = Q4MM_LinkVMDB(&mm);
        std::memcpy(db, desc, sizeof desc);
        Q4VM_BuildDBMainLinks(db);
        EXPECT_EQ(Q4VM_Build(view, db), 0);
        PutLe32(Q4Tools_Element(db, kDbData32, app.dint), 777);
        Q4Str_AscForceC(Q4Tools_String(db, app.str), "xyz");
        Q4Heap* heap = Q4VM_GetHeap(db);
        heapHandle = Q4Heap_Alloc(heap, 12);
        std::memcpy(Q4Heap_Lock(heap, heapHandle), "hot heap", 9);
        Q4Heap_Unlock(heap, heapHandle);
        EXPECT_EQ(Q4MM_SaveVMDB(&mm), 0);
        std::vector<u8> bytes(db, db + mm.vmdb.size);
        Q4VM_Forget(db);
        Q4MM_UnlinkVMDB(&mm);
        Q4MM_Close(&mm);
        return bytes;
    }
};

TEST(VmDbHot, SavedImageReloadsWithTheSameValues) {
    HotFixture f;
    std::vector<u8> saved = f.SaveHot();
    EXPECT_EQ(ReadFile(f.root.Path("q4.hot")), saved);

    Q4MMData mm;
    Q4MM_Open(&mm, "");
    u8* db = nullptr;
    ASSERT_EQ(Q4MM_LoadHotImage(&mm, f.view, &db), 0);
    ASSERT_NE(db, nullptr);
    // The relinked layout is the one saved, byte for byte.
    EXPECT_EQ(0, std::memcmp(db, saved.data(), saved.size()));
    EXPECT_EQ(GetLe32(Q4Tools_Element(db, kDbData32, f.app.dint)), 777u);
    u8* s = Q4Tools_String(db, f.app.str);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s + 2), s[1]), "xyz");
    // The buffer heap is taken up again and its handles still hold their data.
    Q4VM_SetCode(db, f.view);
    ASSERT_EQ(Q4VM_AllocHeap(f.view, db, 1), 0);
    Q4Heap* heap = Q4VM_GetHeap(db);
    u8* block = Q4Heap_Lock(heap, f.heapHandle);
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(block), "hot heap");
    Q4VM_Forget(db);
    Q4MM_UnlinkVMDB(&mm);
    Q4MM_Close(&mm);
}

TEST(VmDbHot, DamagedOrForeignImageIsRefusedBeforeLinking) {
    HotFixture f;
    std::vector<u8> good = f.SaveHot();
    u32 privAt = Q4VM_GetDesc(good.data(), kDbPrivate).offset;
    u32 statusAt = Q4VM_GetDesc(good.data(), kDbStatus).offset;

    // Another build of the application with a larger DINT table.
    IecImageBuilder big = App().b;
    big.Spare(kQ4InitClsData32, 3);
    std::vector<u8> bigCode = big.Build();
    IecVmDb other(bigCode);
    ASSERT_EQ(other.Result(), 0);
    std::vector<u8> foreign(other.Db(), other.Db() + other.Size());

    struct Case {
        const char* name;
        std::vector<u8> bytes;
        int rc;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, 1});
    cases.push_back({"truncated", std::vector<u8>(good.begin(), good.end() - 8), 1});
    cases.push_back({"descriptors only", std::vector<u8>(good.begin(), good.begin() + kVmDbDescriptorBlockBytes), 1});
    {
        // A descriptor that claims more than the file holds: relinking from
        // it would place areas past the end.
        auto b = good;
        PutLe16(&b[kDbData32 * kVmDbDescriptorBytes + 14], 0xF000);
        cases.push_back({"oversized area", b, 1});
    }
    {
        auto b = good;
        PutLe16(&b[kDbData8 * kVmDbDescriptorBytes + 12], 0xFFFF);  // used above allocated
        cases.push_back({"used count", b, 1});
    }
    {
        // An explicit byte size equal to the allocation keeps the file size,
        // but the program count runs past the records that exist.
        auto b = good;
        u8* d = &b[kDbPrograms * kVmDbDescriptorBytes];
        PutLe32(d + 4, Q4VM_AreaBytes(Q4VM_GetDesc(good.data(), kDbPrograms)));
        PutLe16(d + 12, static_cast<u16>(GetLe16(d + 14) + 5));
        cases.push_back({"count past an explicit size", b, 1});
    }
    {
        auto b = good;
        PutLe32(&b[privAt + kVmPrivSignature], 0);
        cases.push_back({"signature", b, 1});
    }
    {
        auto b = good;
        PutLe32(&b[statusAt + kQ4StLayoutStamp], 0x00AB0002);
        cases.push_back({"layout stamp", b, kVmErrLayoutStamp});
    }
    cases.push_back({"other allocation", foreign, 55});

    for (const Case& c : cases) {
        WriteFile(f.root.Path("q4.hot"), c.bytes);
        Q4MMData mm;
        Q4MM_Open(&mm, "");
        u8* db = reinterpret_cast<u8*>(1);
        EXPECT_EQ(Q4MM_LoadHotImage(&mm, f.view, &db), c.rc) << c.name;
        EXPECT_EQ(db, nullptr) << c.name;
        EXPECT_EQ(mm.vmdb.flags, 0) << c.name;
        EXPECT_EQ(mm.vmdb.memory, nullptr) << c.name;
    }

    // No file at all.
    std::remove(f.root.Path("q4.hot").c_str());
    Q4MMData mm;
    Q4MM_Open(&mm, "");
    u8* db = nullptr;
    EXPECT_EQ(Q4MM_LoadHotImage(&mm, f.view, &db), 1);
}

}  // namespace
