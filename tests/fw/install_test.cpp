// The installation up to its ending: the steps in their order, what lands on
// the internal volume, and which ending each medium leads to. Also the
// second mount point that shows the medium's files.
#include <cstring>
#include <string>
#include <vector>

#include "fw_fixture.h"
#include "platform/board.h"
#include "platform/fileio.h"

namespace {

class Install : public FwTest {};

TEST_F(Install, AMountOnASecondMountPointShowsTheMediumUntilUnmounted) {
    Fx_InsertMedium(0);
    FwPut("/mnt/USB0/file.txt", "card");
    EXPECT_EQ(SysCmd_Run("mount /dev/mmcblk0p1 /mnt/USB"), 0);
    EXPECT_EQ(FwGet("/mnt/USB/file.txt"), "card");
    FwPut("/mnt/USB/written.txt", "w");  // writes land on the medium
    EXPECT_EQ(FwGet("/mnt/USB0/written.txt"), "w");
    EXPECT_EQ(SysCmd_Run("umount /mnt/USB"), 0);
    EXPECT_EQ(FwGet("/mnt/USB/file.txt"), "<missing>");
    EXPECT_EQ(FwGet("/mnt/USB0/file.txt"), "card");
    // A mount point with files of its own keeps them.
    FwPut("/mnt/rw/own.txt", "own");
    EXPECT_EQ(SysCmd_Run("mount /dev/mmcblk0p1 /mnt/rw"), 0);
    EXPECT_EQ(FwGet("/mnt/rw/own.txt"), "own");
    EXPECT_EQ(FwGet("/mnt/rw/file.txt"), "<missing>");
}

TEST_F(Install, FullInstallRunsEveryStepInOrder) {
    const std::string firmware =
        FwFullInstallMedium("mkdir /mnt/cfg/installed\r\n", FwMacIds("02:50:4C:00:00:FF", "02:50:4C:00:01:00"));
    StoredProgram();
    UncleanCount_Set(5);
    size_t mark = LogMark();
    EXPECT_EQ(Install_Run(), InstallEnd::Reset);
    EXPECT_EQ(FwCommandsFrom(mark), (std::vector<std::string>{
                                        "umount /mnt/USB0",
                                        "sync",
                                        "mount /dev/mmcblk0p1 /mnt/USB",
                                        "flash_eraseall /dev/mtd0",
                                        "kobs-ng init /mnt/USB/qmkern.sb",
                                        "umount /mnt/firm",
                                        "umount /mnt/cfg",
                                        "ubidetach /dev/ubi_ctrl -d 0",
                                        "ubiformat /dev/mtd1 -q",
                                        "ubiattach /dev/ubi_ctrl -d 0 -m 1",
                                        "ubimkvol /dev/ubi0 -N rootfs1 -s 26MiB",
                                        "ubimkvol /dev/ubi0 -N firm -s 13MiB",
                                        "ubimkvol /dev/ubi0 -N cfg -s 64MiB",
                                        "ubiupdatevol /dev/ubi0_0 /mnt/USB/qminit.ufs",
                                        "ubiupdatevol /dev/ubi0_1 /mnt/USB/qmfirm.ufs",
                                        "ubiupdatevol /dev/ubi0_2 /mnt/USB/qmcfg.ufs",
                                        "mount -t ubifs ubi0:firm /mnt/firm",
                                        "mount -t ubifs ubi0:cfg /mnt/cfg",
                                        "cp /mnt/USB/vtx8400c /mnt/firm/firmware.new",
                                        "sync",
                                        "mv /mnt/firm/firmware.new /mnt/firm/firmware",
                                        "mount -t ubifs ubi0:rootfs1 /mnt/rwfs",
                                        "mkdir /dev/shm/update",
                                        "unzip /mnt/USB/update.init -d /dev/shm/update",
                                        "mkdir /mnt/cfg/installed",
                                        "umount /mnt/rwfs",
                                        "sync",
                                    }));
    EXPECT_EQ(FwGet("/mnt/firm/firmware"), firmware);
    std::vector<u8> id;
    ASSERT_TRUE(File_ReadAll(Root_HostPath("/mnt/cfg/TINYIMGE.BIN"), id, 4096));
    ASSERT_EQ(id.size(), kTinyImageBytes);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id.data()) + kTinyMacText0, 17), "02:50:4C:00:00:FF");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id.data()) + kTinyMacText1, 17), "02:50:4C:00:01:00");
    EXPECT_EQ(0, std::memcmp(id.data(), tinyImage, kTinyImageBytes));
    EXPECT_EQ(FwGet("/mnt/USB0/MACIDS.TXT"), FwMacIds("02:50:4C:00:01:01", "02:50:4C:00:01:00"));
    EXPECT_EQ(FwGet("/mnt/cfg/oeminfo"), std::string(1, '\x03'));
    EXPECT_TRUE(FwExists("/mnt/cfg/installed"));
    EXPECT_TRUE(ProgramDeleted());
    EXPECT_EQ(PersistFlags_Get(), kPfCleanStop);
    EXPECT_EQ(UncleanCount_Get(), 0u);
}

TEST_F(Install, EndingsByMedium) {
    struct Case {
        const char* name;
        bool card;
        std::vector<const char*> files;
        bool storedIdentity;
        const char* failing;
        InstallEnd end;
        bool firmwareCopied;
    } cases[] = {
        {"no medium", false, {}, false, nullptr, InstallEnd::Nothing, false},
        {"nothing to install", true, {"MACIDS.TXT"}, true, nullptr, InstallEnd::Nothing, false},
        {"firmware with a stored identity", true, {"vtx6200c"}, true, nullptr, InstallEnd::Reset, true},
        {"firmware without identity", true, {"vtx6200c"}, false, nullptr, InstallEnd::NoIdentity, true},
        {"kernel flash fails", true, {"qmkern.sb"}, true, "flash_eraseall", InstallEnd::Failed, false},
        {"firmware copy fails", true, {"vtx510"}, true, "cp", InstallEnd::Failed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SysCmd_Run("umount /mnt/USB");
        Fx_RemoveMedium(0);
        std::filesystem::remove_all(Root_HostPath("/mnt/USB0"));
        std::filesystem::remove(Root_HostPath("/mnt/cfg/TINYIMGE.BIN"));
        std::filesystem::remove(Root_HostPath("/mnt/firm/firmware"));
        SysCmd_SetFailing("flash_eraseall", false);
        SysCmd_SetFailing("cp", false);
        if (c.card) Fx_InsertMedium(0);
        for (const char* f : c.files)
            FwPut(std::string("/mnt/USB0/") + f, std::strcmp(f, "MACIDS.TXT") == 0
                                                     ? FwMacIds("02:50:4C:00:00:01", "02:50:4C:00:00:09")
                                                     : std::string(f));
        if (c.storedIdentity) FwPut("/mnt/cfg/TINYIMGE.BIN", std::string(kTinyImageBytes, '\0'));
        if (c.failing) SysCmd_SetFailing(c.failing, true);
        StoredProgram();
        EXPECT_EQ(Install_Run(), c.end);
        EXPECT_EQ(FwExists("/mnt/firm/firmware"), c.firmwareCopied);
        EXPECT_EQ(ProgramDeleted(), c.firmwareCopied);
        FwUpdate_Reset();  // ends the LED child
        fwUpdatePeers.wait10ms = [](u32) {};
        fwUpdatePeers.loadHeld = [] { return false; };
        fwUpdatePeers.restart = [] {};
        fwUpdatePeers.reboot = [] {};
    }
}

TEST_F(Install, AFailedFullInstallKeepsTheStoredProgram) {
    FwFullInstallMedium("", FwMacIds("02:50:4C:00:00:01", "02:50:4C:00:00:09"));
    StoredProgram();
    SysCmd_SetFailing("ubimkvol", true);
    EXPECT_EQ(Install_Run(), InstallEnd::Failed);
    EXPECT_TRUE(ProgramKept());
    EXPECT_FALSE(FwExists("/mnt/cfg/TINYIMGE.BIN"));
    EXPECT_EQ(FwGet("/mnt/USB0/MACIDS.TXT"), FwMacIds("02:50:4C:00:00:01", "02:50:4C:00:00:09"));
}

TEST_F(Install, AnExhaustedRangeLeavesTheBoardWithoutIdentity) {
    FwFullInstallMedium("", FwMacIds("02:50:4C:00:00:0A", "02:50:4C:00:00:09"));
    EXPECT_EQ(Install_Run(), InstallEnd::NoIdentity);
}

}  // namespace
