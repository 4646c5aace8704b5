// The LOAD button's update from the card: result bits, the flash and copy
// steps, the update commands of update.init, and the restart after the
// waits.
#include <string>
#include <vector>

#include "fw_fixture.h"
#include "platform/board.h"

namespace {

class Update : public FwTest {
protected:
    int RunUpdate() {
        for (int i = 0; i < 10; ++i)
            if (int r = UpdateKernFirmApplic()) return r;
        return 0;
    }
};

TEST_F(Update, ResultsStepsAndRestartsByCardContent) {
    struct Case {
        const char* name;
        bool card;
        std::vector<const char*> files;
        const char* failing;
        int result;
        int restarts;
        const char* firmware;  // expected /mnt/firm/firmware
        bool deleted;
    } cases[] = {
        {"no medium", false, {}, nullptr, 0x80, 0, "old", false},
        {"empty card", true, {}, nullptr, 0xA0, 0, "old", false},
        {"program only", true, {"DEFAULT.PGM"}, nullptr, 0x60, 0, "old", false},
        {"firmware, first name wins", true, {"vtx8400c", "vtx510"}, nullptr, 0x24, 1, "vtx510", true},
        {"kernel and firmware", true, {"qmkern.sb", "vtx7300j"}, nullptr, 0x25, 1, "vtx7300j", true},
        {"kernel fails, firmware", true, {"qmkern.sb", "vtx6200"}, "kobs-ng", 0x25, 1, "vtx6200", true},
        {"kernel fails alone", true, {"qmkern.sb"}, "flash_eraseall", 0x21, 0, "old", false},
        {"firmware copy fails", true, {"vtx510n"}, "cp", 0x24, 0, "old", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fx_RemoveMedium(0);
        std::filesystem::remove_all(Root_HostPath("/mnt/USB0"));
        std::filesystem::create_directories(Root_HostPath("/mnt/USB0"));
        if (c.card) Fx_InsertMedium(0);
        for (const char* f : c.files) FwPut(std::string("/mnt/USB0/") + f, f);
        FwPut("/mnt/firm/firmware", "old");
        StoredProgram();
        SysCmd_SetFailing("kobs-ng", false);
        SysCmd_SetFailing("flash_eraseall", false);
        SysCmd_SetFailing("cp", false);
        if (c.failing) SysCmd_SetFailing(c.failing, true);
        g_fw = FwRecorded{};
        g_fw.loadHeld = 3;  // LOAD is released after three polls

        EXPECT_EQ(RunUpdate(), c.result);
        EXPECT_EQ(g_fw.restarts, c.restarts);
        EXPECT_EQ(FwGet("/mnt/firm/firmware"), c.firmware);
        EXPECT_FALSE(FwExists("/mnt/firm/firmware.new"));
        EXPECT_EQ(ProgramDeleted(), c.deleted);
        if (!c.deleted) {
            EXPECT_TRUE(ProgramKept());
        }
        // A restart follows 3 s and the release of LOAD.
        if (c.restarts) {
            EXPECT_EQ(g_fw.waited, 303u);
        }
        EXPECT_EQ(FwUpdate_State(), 4);
    }
}

TEST_F(Update, KernelStepsThenUpdateCommandsThenFirmwareInOrder) {
    Fx_InsertMedium(0);
    FwPut("/mnt/USB0/qmkern.sb", "k");
    FwPut("/mnt/USB0/vtx8400c", "new firmware");
    FwPut("/proc/cmdline", "console=ttyAM0 rootfstype=ubifs\n");
    FwPut("/mnt/cfg/gone.txt", "x");
    const std::string longLine = "echo " + std::string(200, 'a') + " > /mnt/cfg/long.txt";
    ASSERT_TRUE(FwZip("/mnt/USB0/update.init",
                      {{"path.info", "mkdir /mnt/cfg/fromscript\r\n"
                                     "echo one > /mnt/cfg/a.txt\r\n"
                                     "\x01\x02" "cp /mnt/cfg/a.txt\t/mnt/cfg/b.txt\n" +
                                         longLine + "\r\nrm /mnt/cfg/gone.txt"}}));
    ESR_Put(8, 1);  // the ramdisk that boots qm7c
    size_t mark = LogMark();
    ASSERT_EQ(UpdateKernFirmApplic(), 0);
    ASSERT_EQ(UpdateKernFirmApplic(), 0);
    EXPECT_EQ(UpdateKernFirmApplic(), 0x25);
    EXPECT_EQ(g_fw.restarts, 1);
    EXPECT_EQ(FwCommandsFrom(mark), (std::vector<std::string>{
                                        "flash_eraseall /dev/mtd0",
                                        "kobs-ng init /mnt/USB0/qmkern.sb",
                                        "mount -t ubifs ubi0:rootfs1 /mnt/rwfs",
                                        "mkdir /dev/shm/update",
                                        "unzip /mnt/USB0/update.init -d /dev/shm/update",
                                        "mkdir /mnt/cfg/fromscript",
                                        "echo one > /mnt/cfg/a.txt",
                                        "cp /mnt/cfg/a.txt/mnt/cfg/b.txt",
                                        "rm /mnt/cfg/gone.txt",
                                        "umount /mnt/rwfs",
                                        "cp /mnt/USB0/vtx8400c /mnt/firm/qm7c.new",
                                        "sync",
                                        "mv /mnt/firm/qm7c.new /mnt/firm/qm7c",
                                        "sync",
                                    }));
    EXPECT_TRUE(FwExists("/mnt/cfg/fromscript"));
    EXPECT_EQ(FwGet("/mnt/cfg/a.txt"), "one\n");
    EXPECT_FALSE(FwExists("/mnt/cfg/long.txt"));  // an over-long line is refused, not cut
    EXPECT_FALSE(FwExists("/mnt/cfg/gone.txt"));  // the last line needs no line end
    EXPECT_EQ(FwGet("/mnt/firm/qm7c"), "new firmware");
    EXPECT_EQ(PersistFlags_Get(), kPfCleanStop);
    EXPECT_EQ(UncleanCount_Get(), 0u);
}

TEST_F(Update, UpdateCommandsNeedAUbiRootAndTheArchive) {
    Fx_InsertMedium(0);
    ASSERT_TRUE(FwZip("/mnt/USB0/update.init", {{"path.info", "mkdir /mnt/cfg/x\n"}}));
    size_t mark = LogMark();
    FwPut("/proc/cmdline", "root=/dev/mmcblk0p2 rootfstype=ext4\n");
    RunUpdateCommands("/mnt/USB0");
    std::remove(Root_HostPath("/mnt/USB0/update.init").c_str());
    FwPut("/proc/cmdline", "rootfstype=ubifs\n");
    RunUpdateCommands("/mnt/USB0");
    EXPECT_TRUE(FwCommandsFrom(mark).empty());
    EXPECT_FALSE(FwExists("/mnt/cfg/x"));
}

}  // namespace
