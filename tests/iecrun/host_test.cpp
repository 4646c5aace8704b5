#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/blocks/q4hostglue.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmret.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kAI1 = 5440, kAQ1 = 5952, kQ1 = 3392, kI1 = 1344;

std::vector<u8> ReadFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
void WriteFile(const std::string& p, const std::vector<u8>& d) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        Nvram_Reset();
        Q4HostGlue_Reset();
        Q4Host_Reset();
        std::memset(plc_reg, 0, kPlcRegBytes);
    }
    void TearDown() override {
        Quillet_Exit();
        Q4Host_Reset();
        QuilletRuntime = 0;
    }
    // One scan as the controller runs it around the application cycle.
    void Scan() {
        QuilletUpdateWordSRRegs();
        QuilletUpdateBitSysRegs();
        QuilletUpdateBitInputRegs();
        QuilletUpdateWordInputRegs();
        _VMThread();
        QuilletUpdateBitOutputRegs();
        QuilletUpdateWordOutputRegs();
        clock.AdvanceMs(10);
    }
    // Application: AQ1 := AI1 + 1, %Q1 := %I1, a retained DINT counts cycles.
    void Load(u32 retainSignature = 0x5151) {
        RegLocTable loc;
        record = IecAppRecord(Code(retainSignature, 1, "APP", &loc), loc);
        LoadQuillet(record.data(), static_cast<u32>(record.size()));
    }
    // The application's code; step: how many times a cycle adds one.
    std::vector<u8> Code(u32 retainSignature, int step, const char* name, RegLocTable* table = nullptr) {
        IecImageBuilder b;
        b.AppName(name);
        u16 cnt = b.Var(kQ4TypeDint, 0, "cnt"), one = b.Var(kQ4TypeDint, 1);
        u16 in = b.Var(kQ4TypeInt, 0, "in"), out = b.Var(kQ4TypeInt, 0, "out"), k1 = b.Var(kQ4TypeInt, 1);
        u16 x = b.Var(kQ4TypeBool, 0, "x"), q = b.Var(kQ4TypeBool, 0, "q");
        b.Retain(kQ4InitClsData32, cnt, 1).RetainSignature(retainSignature);
        TicAssembler t;
        for (int k = 0; k < step; ++k) t.Op("ADD_DINT", {cnt, cnt, one});
        t.Op("ADD_INT", {out, in, k1}).Op("MOVE_BOOL", {q, x}).Op("END");
        b.Program(t.Finish());
        if (table) {
            table->Bind(kAI1, IecVarRef(kRef16, in)).Bind(kAQ1, IecVarRef(kRef16, out));
            table->Bind(kI1, IecVarRef(kRef8, x)).Bind(kQ1, IecVarRef(kRef8, q));
        }
        cntIndex = cnt;
        return b.Build();
    }
    u32 Counter() { return pDB ? GetLe32(Q4VM_AreaPtr(pDB, kDbData32, nullptr) + 4u * cntIndex) : 0; }

    TempRoot root;
    ManualClock clock;
    std::vector<u8> record;
    u16 cntIndex = 0;
};

TEST_F(Host, ApplicationRunsAgainstTheRegisters) {
    Load();
    ASSERT_NE(pDB, nullptr);
    EXPECT_EQ(iVmAlive, 1);
    EXPECT_EQ(WordInputEntries, 1u);
    EXPECT_EQ(WordOutputEntries, 1u);
    EXPECT_EQ(BoolInputEntries, 1u);
    EXPECT_EQ(BoolOutputEntries, 1u);
    EXPECT_EQ(quillet_variables_enumerateded, 1);
    EXPECT_EQ(SR_Get(1), 1);  // first run marks the start
    PutLe16(&plc_reg[kRegAI], 41);
    plc_reg[kRegI] = 1;
    Scan();
    EXPECT_EQ(GetLe16(&plc_reg[kRegAQ]), 42);
    EXPECT_EQ(plc_reg[kRegQ] & 1, 1);
    PutLe16(&plc_reg[kRegAI], 99);
    plc_reg[kRegI] = 0;
    Scan();
    EXPECT_EQ(GetLe16(&plc_reg[kRegAQ]), 100);
    EXPECT_EQ(plc_reg[kRegQ] & 1, 0);
    EXPECT_EQ(Counter(), 2u);
}

// A workbench stop and start links another database: the bindings follow it
// and never touch the freed one.
TEST_F(Host, BindingsFollowARestartedDatabase) {
    Load();
    Scan();
    ASSERT_EQ(Q4Host_Serve(kQ4RqStop, nullptr, nullptr), 0);
    EXPECT_EQ(pDB, nullptr);
    PutLe16(&plc_reg[kRegAI], 7);
    Scan();  // nothing bound: no write anywhere
    _VMThread();
    Q4StartRequest s;
    ASSERT_EQ(Q4Host_Serve(kQ4RqStart, &s, nullptr), 0);
    ASSERT_NE(pDB, nullptr);
    Scan();
    EXPECT_EQ(GetLe16(&plc_reg[kRegAQ]), 8);
    EXPECT_EQ(Q4Host_Serve(kQ4RqStart, &s, nullptr), 1);  // already running
    EXPECT_EQ(Q4Host_Serve(kQ4RqHotStart, &s, nullptr), 1);
}

// Retained values survive a stop and a new load; a busy mutex skips a cycle.
TEST_F(Host, RetainedValuesAndTheMutex) {
    Load();
    Scan();
    Scan();
    Scan();
    EXPECT_EQ(Counter(), 3u);
    ASSERT_EQ(_TakeMutex(), 1);
    Scan();
    EXPECT_EQ(Counter(), 3u);  // skipped
    _ReleaseMutex();
    QuilletStop();
    std::vector<u8> ret = ReadFile(root.Path("/mnt/cfg/q4.ret"));
    ASSERT_EQ(ret.size(), 8u);
    EXPECT_EQ(GetLe32(ret.data()), 0x5151u);
    EXPECT_EQ(GetLe32(ret.data() + 4), 3u);
    LoadQuillet(record.data(), static_cast<u32>(record.size()));
    EXPECT_EQ(Counter(), 3u);
    Scan();
    EXPECT_EQ(Counter(), 4u);
}

// Retain files that do not fit the running layout change nothing.
TEST_F(Host, RetainFilesThatDoNotFitAreRefused) {
    Load();
    Scan();
    ASSERT_EQ(Counter(), 1u);
    const std::string path = root.Path("/mnt/cfg/q4.ret");
    struct Case {
        const char* what;
        std::vector<u8> file;
        int loaded;
    } cases[] = {
        {"whole", {0x51, 0x51, 0, 0, 9, 0, 0, 0}, 1},
        {"other signature", {0x52, 0x51, 0, 0, 9, 0, 0, 0}, 0},
        {"short", {0x51, 0x51, 0, 0, 9, 0}, 0},
        {"long", {0x51, 0x51, 0, 0, 9, 0, 0, 0, 1}, 0},
        {"empty", {}, 0},
    };
    for (const Case& c : cases) {
        PutLe32(Q4VM_AreaPtr(pDB, kDbData32, nullptr) + 4u * cntIndex, 5);
        WriteFile(path, c.file);
        EXPECT_EQ(Q4VMWarm_LoadFromFile("/mnt/cfg/q4.ret"), c.loaded) << c.what;
        EXPECT_EQ(Counter(), c.loaded ? 9u : 5u) << c.what;
    }
    EXPECT_EQ(Q4VMWarm_SaveToFile("/mnt/cfg/Q4_BKP.RET"), 1);
    EXPECT_EQ(ReadFile(root.Path("/mnt/cfg/Q4_BKP.RET")).size(), 8u);
}

// Retained strings: a file may not raise a capacity.
TEST(Retain, StringCapacitiesAreChecked) {
    TempRoot root;
    IecImageBuilder b;
    u16 s1 = b.String(10, "abc"), s2 = b.String(4, "xy");
    (void)s2;
    b.Retain(kQ4InitClsString, s1, 2).RetainSignature(77);
    b.Program({0x00EA});
    std::vector<u8> img = b.Build();
    Q4Code code{img.data(), static_cast<u32>(img.size())};
    u8 desc[kVmDbDescriptorBlockBytes] = {};
    ASSERT_EQ(Q4VM_GetDBSize(code, desc), 0);
    std::vector<u64> store((Q4VM_GetTotalDBSize(desc) + 7) / 8);
    u8* db = reinterpret_cast<u8*>(store.data());
    std::memcpy(db, desc, sizeof desc);
    Q4VM_BuildDBMainLinks(db);
    ASSERT_EQ(Q4VM_Build(code, db), 0);
    Q4RetainDesc d = Q4VMWarm_Descriptor(db);
    EXPECT_EQ(d.size[5], 13u + 7u);  // capacity + 3 each, whatever the length
    ASSERT_EQ(Q4VMWarm_SaveToFileDb(db, "/mnt/cfg/q4.ret"), 1);
    std::vector<u8> file = ReadFile(root.Path("/mnt/cfg/q4.ret"));
    ASSERT_EQ(file.size(), 4u + 20u);
    file[4] = 200;  // the first string claims capacity 200
    file[5] = 150;
    WriteFile(root.Path("/mnt/cfg/q4.ret"), file);
    EXPECT_EQ(Q4VMWarm_Load(db, "/mnt/cfg/q4.ret"), 1);
    EXPECT_EQ(Q4Tools_String(db, s1)[0], 10);
    file[4] = 10;
    file[5] = 2;
    WriteFile(root.Path("/mnt/cfg/q4.ret"), file);
    EXPECT_EQ(Q4VMWarm_Load(db, "/mnt/cfg/q4.ret"), 0);
    EXPECT_EQ(Q4Tools_String(db, s1)[1], 2);
    Q4VM_Forget(db);
}
// An on-line change from /mnt/cfg/q4.upd: a foreign image is refused and
// the application goes on; an accepted one keeps the counter, runs the new
// program, marks ESR1 (change loaded, accepted) and the controller enters
// on-line programming; a stop writes the changed code back and a hot start
// resumes the counter from the hot-restart image.
TEST_F(Host, OnLineChangeThenStopAndHotStart) {
    Load();
    Scan();
    Scan();
    ASSERT_EQ(Counter(), 2u);
    Q4StartRequest s;
    EXPECT_EQ(Q4Host_Serve(kQ4RqChange, &s, nullptr), 1);  // no change image
    const std::string upd = root.Path("/mnt/cfg/q4.upd");
    WriteFile(upd, Code(0x5151, 1, "OTHER"));
    EXPECT_EQ(Q4Host_Serve(kQ4RqChange, &s, nullptr), 44);
    Scan();
    EXPECT_EQ(Counter(), 3u);

    bool changed = false;
    auto saved = q4HostPeers.changedOnLine;
    static bool* flag = nullptr;
    flag = &changed;
    q4HostPeers.changedOnLine = [] { *flag = true; };
    const std::vector<u8> twice = Code(0x5151, 2, "APP");
    WriteFile(upd, twice);
    ESR_Put(1, 0);
    EXPECT_EQ(Q4Host_Serve(kQ4RqChange, &s, nullptr), 0);
    q4HostPeers.changedOnLine = saved;
    EXPECT_TRUE(changed);
    EXPECT_EQ(ESR_Get(1) & 3, 3);
    EXPECT_EQ(Counter(), 3u);
    Scan();
    EXPECT_EQ(Counter(), 5u);

    ASSERT_EQ(Q4Host_Serve(kQ4RqStop, nullptr, nullptr), 0);
    _VMThread();
    EXPECT_EQ(ReadFile(root.Path("/mnt/cfg/q4.cod")), twice);
    ASSERT_EQ(Q4Host_Serve(kQ4RqHotStart, &s, nullptr), 0);
    ASSERT_NE(pDB, nullptr);
    EXPECT_EQ(Counter(), 5u);
    Scan();
    EXPECT_EQ(Counter(), 7u);

    // A hot-restart image of another application is refused.
    ASSERT_EQ(Q4Host_Serve(kQ4RqStop, nullptr, nullptr), 0);
    _VMThread();
    WriteFile(root.Path("/mnt/cfg/q4.cod"), Code(0x5151, 2, "OTHER"));
    EXPECT_NE(Q4Host_Serve(kQ4RqHotStart, &s, nullptr), 0);
    EXPECT_EQ(pDB, nullptr);
}

}  // namespace
