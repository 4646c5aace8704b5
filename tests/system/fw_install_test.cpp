// Install mode on the real executable (one argument): the full installation
// from the card under strace, and the three LED endings read from the
// board state.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "fw_traced.h"
#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/fx_api.h"
#include "platform/reset.h"
#include "platform/system.h"
#include "testsupport/fw_media.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kInstallMs = 60000;

class InstallSystem : public ::testing::Test {
protected:
    // LED A and B read from the board state the controller writes (the
    // board tool reads the same record), one look every 10 ms of the
    // controller's clock for the time given.
    static std::vector<std::pair<bool, bool>> SampleLeds(BoardClock& clock, int ms) {
        std::vector<std::pair<bool, bool>> out;
        for (int t = 0; t < ms; t += 10) {
            if (!clock.Advance(10)) break;
            // Both LEDs sit in one bank: one read of it is one moment.
            static_assert(kLedABank == kLedBBank);
            u32 bank = Board_GpioOut(kLedABank);
            out.push_back({((bank >> kLedAPin) & 1) != 0, ((bank >> kLedBPin) & 1) != 0});
        }
        return out;
    }
    static int Changes(const std::vector<std::pair<bool, bool>>& s) {
        int n = 0;
        for (size_t i = 1; i < s.size(); ++i) n += s[i].first != s[i - 1].first;
        return n;
    }
    static bool Together(const std::vector<std::pair<bool, bool>>& s) {
        for (auto& v : s)
            if (v.first != v.second) return false;
        return true;
    }
    // Longest run of samples with both LEDs dark.
    static size_t LongestDark(const std::vector<std::pair<bool, bool>>& s) {
        size_t best = 0, run = 0;
        for (auto& v : s) {
            run = (!v.first && !v.second) ? run + 1 : 0;
            best = std::max(best, run);
        }
        return best;
    }

    TempRoot root;
};

TEST_F(InstallSystem, FullInstallationFromTheCardEndsInAWarmReset) {
    const std::string firmware =
        FwFullInstallMedium("mkdir /mnt/cfg/installed\r\necho done > /mnt/cfg/install.txt\r\n",
                            FwMacIds("02:50:4C:00:20:00", "02:50:4C:00:2F:FF"), "2");
    for (const char* f : {"/mnt/cfg/ladder.pgm", "/mnt/cfg/config.pgm", "/mnt/cfg/autoreg.dta", "/mnt/cfg/bkpreg.dta"})
        FwPut(f, "stored");
    TracedFirmware fw;
    ASSERT_TRUE(fw.Start({"install"}));
    ASSERT_TRUE(fw.WaitExit(kInstallMs)) << fw.Output();
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset) << fw.Output();

    std::vector<u8> id;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/TINYIMGE.BIN"), id, 4096));
    ASSERT_EQ(id.size(), kTinyImageBytes);
    EXPECT_EQ(std::vector<u8>(id.begin() + 8, id.begin() + 20),
              (std::vector<u8>{2, 0x50, 0x4C, 0, 0x20, 0, 2, 0x50, 0x4C, 0, 0x20, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id.data()) + 50, 17), "02:50:4C:00:20:01");
    EXPECT_EQ(FwGet("/mnt/USB0/MACIDS.TXT"), FwMacIds("02:50:4C:00:20:02", "02:50:4C:00:2F:FF"));
    EXPECT_EQ(FwGet("/mnt/cfg/oeminfo"), std::string(1, '\x02'));
    EXPECT_EQ(FwGet("/mnt/firm/firmware"), firmware);
    EXPECT_EQ(FwGet("/mnt/cfg/install.txt"), "done\n");
    for (const char* f : {"/mnt/cfg/ladder.pgm", "/mnt/cfg/config.pgm", "/mnt/cfg/autoreg.dta", "/mnt/cfg/bkpreg.dta"})
        EXPECT_FALSE(FwExists(f)) << f;
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0x8000u);
    EXPECT_EQ(Board_Persistent(kPersistentUncleanCount), 0u);

    // The recorded commands, from the installation's first one on.
    std::vector<std::string> log = SysCmd_Log();
    auto first = std::find(log.begin(), log.end(), "umount /mnt/USB0");
    ASSERT_NE(first, log.end());
    EXPECT_EQ(std::vector<std::string>(first, log.end()),
              (std::vector<std::string>{
                  "umount /mnt/USB0", "sync", "mount /dev/mmcblk0p1 /mnt/USB", "flash_eraseall /dev/mtd0",
                  "kobs-ng init /mnt/USB/qmkern.sb", "umount /mnt/firm", "umount /mnt/cfg",
                  "ubidetach /dev/ubi_ctrl -d 0", "ubiformat /dev/mtd1 -q", "ubiattach /dev/ubi_ctrl -d 0 -m 1",
                  "ubimkvol /dev/ubi0 -N rootfs1 -s 26MiB", "ubimkvol /dev/ubi0 -N firm -s 13MiB",
                  "ubimkvol /dev/ubi0 -N cfg -s 64MiB", "ubiupdatevol /dev/ubi0_0 /mnt/USB/qminit.ufs",
                  "ubiupdatevol /dev/ubi0_1 /mnt/USB/qmfirm.ufs", "ubiupdatevol /dev/ubi0_2 /mnt/USB/qmcfg.ufs",
                  "mount -t ubifs ubi0:firm /mnt/firm", "mount -t ubifs ubi0:cfg /mnt/cfg",
                  "cp /mnt/USB/vtx8400c /mnt/firm/firmware.new", "sync",
                  "mv /mnt/firm/firmware.new /mnt/firm/firmware",
                  "mount -t ubifs ubi0:rootfs1 /mnt/rwfs", "mkdir /dev/shm/update",
                  "unzip /mnt/USB/update.init -d /dev/shm/update", "mkdir /mnt/cfg/installed",
                  "echo done > /mnt/cfg/install.txt", "umount /mnt/rwfs", "sync", "umount /mnt/USB0",
                  "umount /mnt/USB", "umount /mnt/firm", "umount /mnt/cfg", "sync"}));
    // Nothing stays mounted and the second mount point shows nothing.
    EXPECT_EQ(FwGet("/proc/mounts"), "");
    EXPECT_FALSE(FwExists("/mnt/USB/vtx8400c"));

    std::vector<std::string> touches = fw.HostTouches(root.Dir());
    std::string all;
    for (const std::string& t : touches) all += t + "\n";
    EXPECT_TRUE(touches.empty()) << all;
}

TEST_F(InstallSystem, EndingsShowOnTheLeds) {
    struct Case {
        const char* name;
        const char* message;
    } cases[] = {
        {"nothing", "Install: nothing to install"},
        {"failing flash", "Install: a step failed"},
        {"no identity", "Install: no board identity"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot fresh;
        Fx_InsertMedium(0);
        if (std::strcmp(c.name, "failing flash") == 0) {
            FwPut("/mnt/USB0/qmkern.sb", "kernel");
            FwPut("/mnt/cfg/TINYIMGE.BIN", std::string(kTinyImageBytes, '\0'));
            SysCmd_SetFailing("flash_eraseall", true);
        } else if (std::strcmp(c.name, "no identity") == 0) {
            FwPut("/mnt/USB0/vtx510", "firmware");
        }
        BoardClock clock;
        FirmwareProcess fw;
        ASSERT_TRUE(fw.Start({"install"}));
        ASSERT_TRUE(clock.AdvanceToOutput(fw, c.message, kInstallMs)) << fw.Output();
        const bool code = std::strcmp(c.name, "no identity") == 0;
        const int window = code ? 6500 : 3500;  // a whole group and its pause
        // The message comes just before the blinking child is ended; the
        // ending shows from then on.
        ASSERT_TRUE(clock.AdvanceUntil([&] { return fw.Children().empty(); }, 5000));
        std::vector<std::pair<bool, bool>> s = SampleLeds(clock, window);
        ASSERT_EQ(s.size(), static_cast<size_t>(window / 10));
        EXPECT_TRUE(Together(s));
        int changes = Changes(s);
        if (std::strcmp(c.name, "nothing") == 0) {
            EXPECT_GE(changes, 4);  // 500 ms phases
            EXPECT_LE(changes, 9);
        } else if (std::strcmp(c.name, "failing flash") == 0) {
            EXPECT_GE(changes, 15);  // 100 ms phases
        } else {
            // Three blinks, then a pause of 2 s.
            EXPECT_GE(changes, 4);
            EXPECT_GE(LongestDark(s) * 10, 2000u);
        }
        EXPECT_TRUE(fw.Running());
        EXPECT_TRUE(fw.Children().empty());  // the blinking child has ended
    }
}

}  // namespace
