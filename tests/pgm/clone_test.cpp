// Clone images, and the clone make and load that SR164 drives through the
// media manager.
#include "pgm_fixture.h"
#include "platform/system.h"
#include "testsupport/ladder_builder.h"

namespace {

int g_resets = 0;
void CountReset() { ++g_resets; }

class CloneTest : public PgmTest {
protected:
    void SetUp() override {
        PgmTest::SetUp();
        g_resets = 0;
        pgmMediaPeers.warmReset = CountReset;
        SetCardSpace(100000);
    }
    // What the free-space child reports for the card (1 kB blocks).
    void SetCardSpace(u32 freeKb) {
        u8 out[24] = {};
        PutLe32(out, freeKb);
        PutLe32(out + 4, 4000000);
        PutLe32(out + 8, 1024);
        std::filesystem::create_directories(Root_HostPath("/dev/shm"));
        std::ofstream(Root_HostPath("/dev/shm/read.dat"), std::ios::binary).write(reinterpret_cast<char*>(out), 24);
    }
    // The steps of one main-loop pass that take part.
    void Pass() {
        FailSafeFlagCheck();
        ManualRestoreExecute();
        Cmd_Check();
        Dpram_Service();
        CFM_TheLoop();
        clock.AdvanceMs(10);
    }
    // Passes until the manual operation is over.
    void RunManual() {
        Pass();
        for (int i = 0; i < 50 && Manual_test != 0; ++i) Pass();
        ASSERT_EQ(Manual_test, 0);
    }
    static u16 R1() { return GetLe16(plc_reg + kRegR); }
    static void SetR1(u16 v) { PutLe16(plc_reg + kRegR, v); }
    void PutRoot(const char* fw, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(Root_HostPath(fw)).parent_path());
        std::ofstream(Root_HostPath(fw), std::ios::binary) << text;
    }
    std::string GetRoot(const char* fw) {
        std::ifstream in(Root_HostPath(fw), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
};

TEST_F(CloneTest, MakeDatWritesTheRegistersWithTheirCrc) {
    SetR1(0x4242);
    ASSERT_EQ(MakeDat("A:\\clone.dat"), 0);
    std::vector<u8> f = Card("clone.dat");
    ASSERT_EQ(f.size(), kCloneImageBytes);
    EXPECT_EQ(std::memcmp(f.data(), plc_reg, kPlcRegBytes), 0);
    EXPECT_EQ(GetLe16(&f[kPlcRegBytes]), crc16(plc_reg, kPlcRegBytes));
}

TEST_F(CloneTest, LoadDatChecksTheWholeImageBeforeItChangesAnything) {
    SetR1(0x4242);
    ASSERT_EQ(MakeDat("A:\\clone.dat"), 0);
    const std::vector<u8> good = Card("clone.dat");
    struct Case {
        const char* name;
        std::vector<u8> file;
        i32 code;
    };
    std::vector<u8> flipped = good, shortImage = good, longer = good;
    flipped[kRegR] ^= 1;
    shortImage.pop_back();
    longer.push_back(0);
    const Case cases[] = {
        {"flipped byte", flipped, kPgmDamaged},
        {"short", shortImage, kPgmDamaged},
        {"one byte too many", longer, kPgmDamaged},
        {"good", good, 0},
    };
    PutRoot("/mnt/USB0/BRVQclone.dat", "retained of the other controller");
    for (const Case& c : cases) {
        SetR1(7);
        PutRoot("/mnt/cfg/q4.ret", "own retained");
        PutCard("clone.dat", c.file);
        QuilletRuntime = 1;
        EXPECT_EQ(LoadDat("A:\\clone.dat"), c.code) << c.name;
        QuilletRuntime = 0;
        EXPECT_EQ(R1(), c.code == 0 ? 0x4242 : 7) << c.name;
        EXPECT_EQ(GetRoot("/mnt/cfg/q4.ret"), c.code == 0 ? "retained of the other controller" : "own retained")
            << c.name;
    }
    EXPECT_EQ(LoadDat("A:\\none.dat"), kCfNotFound);
}

TEST_F(CloneTest, LoadDatKeepsThisControllersVersionRegisters) {
    ESR_Put(8, 0x1111);
    ASSERT_EQ(MakeDat("A:\\clone.dat"), 0);
    ESR_Put(8, 0);
    ASSERT_EQ(LoadDat("A:\\clone.dat"), 0);
    EXPECT_EQ(ESR_Get(8), InitRdVer);
}

TEST_F(CloneTest, MakeOnOneControllerAndLoadOnAnother) {
    StoreProgram(10);
    const Snapshot program = Take();
    SetR1(0x4242);
    SR_Put(164, 0x100);
    RunManual();
    EXPECT_EQ(SR_Get(164) & 0x500, 0);  // request done, nothing failed
    ASSERT_TRUE(OnCard("AUTOLOAD.PGM"));
    ASSERT_EQ(Card("clone.dat").size(), kCloneImageBytes);

    // The other controller: another program and other registers.
    StoreProgram(77);
    SetR1(1);
    SR_Put(164, 0x200);
    Pass();
    EXPECT_EQ(SR_Get(164), 0x1200);  // waits for the confirmation
    for (int i = 0; i < 5; ++i) Pass();
    EXPECT_EQ(g_resets, 0);
    SR_Put(164, 0x200);  // confirmed
    RunManual();
    EXPECT_EQ(g_resets, 1);
    EXPECT_EQ(Take(), program);
    EXPECT_EQ(R1(), 0x4242);
    EXPECT_EQ(SR_Get(164) & 0x1A00, 0);
    EXPECT_EQ(Clon_LoadClone, 0);
}

TEST_F(CloneTest, ADamagedCloneImageSetsTheFailureBitAndKeepsTheRegisters) {
    StoreProgram(10);
    SR_Put(164, 0x100);
    RunManual();
    std::vector<u8> f = Card("clone.dat");
    ASSERT_EQ(f.size(), kCloneImageBytes);
    f[100] ^= 0x80;
    PutCard("clone.dat", f);

    SetR1(5);
    SR_Put(164, 0x200);
    Pass();
    SR_Put(164, 0x200);
    RunManual();
    EXPECT_EQ(R1(), 5);
    EXPECT_EQ(SR_Get(164) & 0x800, 0x800);
    EXPECT_EQ(SR_Get(164) & 0x1200, 0);
}

TEST_F(CloneTest, AMissingProgramFileStopsTheCloneLoad) {
    StoreProgram(10);
    const Snapshot before = Take();
    SetR1(5);
    SR_Put(164, 0x200);
    Pass();
    SR_Put(164, 0x200);
    RunManual();
    EXPECT_EQ(g_resets, 0);
    EXPECT_EQ(Take(), before);
    EXPECT_EQ(R1(), 5);
    EXPECT_EQ(SR_Get(164) & 0x1A00, 0x800);
    EXPECT_FALSE(MCMD_Open());
}

TEST_F(CloneTest, TooLittleSpaceEndsTheRequestWithTheFailureBit) {
    StoreProgram(10);
    SetCardSpace(106);  // one kilobyte short of the image
    SR_Put(164, 0x100);
    RunManual();
    EXPECT_EQ(SR_Get(164) & 0x500, 0x400);
    EXPECT_FALSE(OnCard("clone.dat"));
    // Nothing runs again on later passes.
    for (int i = 0; i < 5; ++i) Pass();
    EXPECT_EQ(Manual_test, 0);
}

TEST_F(CloneTest, LoadKeyLoadsTheDefaultProgramFromTheCard) {
    StoreProgram(10);
    const Snapshot program = Take();
    ASSERT_EQ(SavePgm("A:\\DEFAULT.PGM"), 0);
    StoreProgram(30);
    Sys_ManualLoadKey = 1;
    Sys_AutoLoad = 1;
    RunManual();
    EXPECT_EQ(Take(), program);
    EXPECT_EQ(Sys_AutoLoad, 0);
    EXPECT_EQ(Sys_ManualLoadKey, 0);
    EXPECT_EQ(g_resets, 0);
}

// The automatic load at start-up waits for the media manager's first
// requests, then loads DEFAULT.PGM, stores it and goes to run when SR164 asks.
TEST_F(CloneTest, AutomaticLoadAtStartUpStoresTheProgramAndRuns) {
    LadderBuilder lb;
    lb.Contact(lreg::I(1)).Out(lreg::Q(1));
    lb.End();
    const std::vector<u8> program = lb.BlockData();
    SetBlock(ladder_bl, program);
    ASSERT_EQ(SavePgm("A:\\DEFAULT.PGM"), 0);
    StoreProgram(30);
    SR_Put(164, 0x30);
    Sys_AppLoad = 1;
    Sys_AutoLoad = 1;
    Sys_CFinitTime = 0;
    Pass();
    EXPECT_EQ(Manual_test, 0);  // the media manager has not served its first requests yet
    Sys_CFinitTime = 6;
    RunManual();
    EXPECT_EQ(BlockOf(ladder_bl), program);
    EXPECT_EQ(SR_Get(5) & 0xFF, 2);
    EXPECT_EQ(Sys_AutoLoad + Sys_AppLoad + Sys_ManualLoadKey, 0);
    Nvram_Reset();
    ASSERT_EQ(LoadProgram(), 1);
    EXPECT_EQ(BlockOf(ladder_bl), program);
}

}  // namespace
