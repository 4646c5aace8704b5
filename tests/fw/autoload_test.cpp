// The automatic firmware load from the card's UPDATE folders, run by the
// media manager while SR154 asks for it.
#include <string>
#include <vector>

#include "fw_fixture.h"

namespace {

class AutoLoad : public FwTest {
protected:
    void SetUp() override {
        FwTest::SetUp();
        Fx_InsertMedium(0);
        ASSERT_EQ(CF_GetStatus(0), kCfOk);
        SR_Put(38, 1550);
        SR_Put(59, 0);
        FwPut("/mnt/firm/firmware", "old");
        FwPut("/mnt/firm/qm7c", "ramdisk firmware");
    }
    // Runs operation 27 as the media manager posts it.
    i32 Check() {
        CfmListRequest req{0, "UPDATE\\*.*", 1};
        return GetFirmwareDir(0, &req);
    }
    void Folder(const std::string& name) { FwPut("/mnt/USB0/UPDATE/" + name + "/vtx8400c", "fw " + name); }
};

TEST_F(AutoLoad, TheNewestValidFolderAboveTheRunningVersionIsLoaded) {
    struct Case {
        std::vector<std::string> folders;
        u16 sr59;
        const char* loaded;  // "" none
    } cases[] = {
        {{"V1550001", "V1560000"}, 0, "V1560000"},
        {{"V1560000", "V1550001"}, 0, "V1560000"},
        {{"V1550001"}, 0, "V1550001"},
        {{"V1550001"}, 1, ""},  // the running revision
        {{"V1550003", "V1550002", "V1540999"}, 2, "V1550003"},
        {{"V1549999"}, 0, ""},
        {{"V15700000", "V157000", "X1580000", "V15A0000", "V1551000"}, 0, "V1551000"},  // malformed names skipped
        {{"V1560000 X", "V-1560000"}, 0, ""},
        {{}, 0, ""},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& f : c.folders) trace += f + " ";
        SCOPED_TRACE(trace);
        std::filesystem::remove_all(Root_HostPath("/mnt/USB0/UPDATE"));
        std::filesystem::create_directories(Root_HostPath("/mnt/USB0/UPDATE"));
        for (const std::string& f : c.folders) Folder(f);
        FwPut("/mnt/firm/firmware", "old");
        SR_Put(59, c.sr59);
        SR_Put(154, 0x8200);
        g_fw = FwRecorded{};
        EXPECT_EQ(Check(), 0);
        const bool load = c.loaded[0] != 0;
        EXPECT_EQ(FwGet("/mnt/firm/firmware"), load ? "fw " + std::string(c.loaded) : "old");
        EXPECT_EQ(g_fw.reboots, load ? 1 : 0);
        // A load clears the check and the request; no newer firmware clears the check.
        EXPECT_EQ(SR_Get(154), load ? 0 : 0x200);
    }
}

TEST_F(AutoLoad, ALoadSavesTheProgramOrClearsItAndReboots) {
    Folder("V1560000");
    StoredProgram();
    SR_Put(154, 0x8200);
    size_t mark = LogMark();
    EXPECT_EQ(Check(), 0);
    std::vector<std::string> log = FwCommandsFrom(mark);
    EXPECT_EQ(FwOnly(log, {"mount", "cp", "mv", "rm", "reboot"}),
              (std::vector<std::string>{"mount -t vfat /dev/mmcblk0p1 /mnt/USB",
                                        "cp /mnt/USB/UPDATE/V1560000/vtx8400c /mnt/firm/firmware.new",
                                        "mv /mnt/firm/firmware.new /mnt/firm/firmware", "rm -f /mnt/firm/qm7c",
                                        "reboot"}));
    EXPECT_FALSE(FwExists("/mnt/firm/qm7c"));
    EXPECT_TRUE(FwExists("/mnt/cfg/saved.dat"));
    EXPECT_EQ(PersistFlags_Get(), kPfCleanStop);

    // With bit 0x800 the stored program and registers go.
    SR_Put(154, 0x8A00);
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(g_fw.reboots, 2);
    EXPECT_TRUE(ProgramDeleted());
}

TEST_F(AutoLoad, AFailedCopyKeepsTheFirmwareReportsAndIsNotRetried) {
    Folder("V1560000");
    StoredProgram();
    SetPlcMode(kModeIoOnly);
    SysCmd_SetFailing("cp", true);
    SR_Put(154, 0x8200);
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(FwGet("/mnt/firm/firmware"), "old");
    EXPECT_FALSE(FwExists("/mnt/firm/firmware.new"));
    EXPECT_EQ(FwGet("/mnt/firm/qm7c"), "ramdisk firmware");
    EXPECT_TRUE(ProgramKept());
    EXPECT_EQ(SR_Get(154), 0x4200);
    EXPECT_EQ(SR_Get(5), kModeIoOnly);
    EXPECT_EQ(g_fw.reboots, 0);
    // The next posting finds no pending check.
    size_t mark = LogMark();
    EXPECT_EQ(Check(), 0);
    EXPECT_TRUE(FwOnly(FwCommandsFrom(mark), {"cp", "mount"}).empty());
}

TEST_F(AutoLoad, AnEmptyFirmwareFileIsNotLoaded) {
    FwPut("/mnt/USB0/UPDATE/V1560000/vtx8400c", "");
    SetPlcMode(kModeIoOnly);
    SR_Put(154, 0x8200);
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(FwGet("/mnt/firm/firmware"), "old");
    EXPECT_EQ(SR_Get(154), 0x4200);
    EXPECT_EQ(SR_Get(5), kModeIoOnly);
}

TEST_F(AutoLoad, TheFileRequestLoadsFromTheCardRoot) {
    SR_Put(154, 0x100);
    SD_load_fw_request();  // no file: nothing happens
    EXPECT_EQ(SR_Get(154), 0x100);
    EXPECT_EQ(g_fw.reboots, 0);
    FwPut("/mnt/USB0/VTX8400C", "root firmware");  // names match without regard to case
    SD_load_fw_request();
    EXPECT_EQ(FwGet("/mnt/firm/firmware"), "root firmware");
    EXPECT_EQ(g_fw.reboots, 1);
    EXPECT_EQ(SR_Get(154) & 0x100, 0);
}

}  // namespace
