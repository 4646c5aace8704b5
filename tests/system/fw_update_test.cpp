// LOAD held on a running controller: the update from the card under strace,
// the program load from the card, and a card with nothing to load. The
// controller runs on the board's clock, advanced by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "fw_traced.h"
#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/fx_api.h"
#include "platform/reset.h"
#include "testsupport/fw_media.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/pgmfile_builder.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 60000;  // under strace and sanitizers

class UpdateSystem : public ::testing::Test {
protected:
    TempRoot root;
    BoardClock clock;
};

TEST_F(UpdateSystem, LoadHeldFlashesTheKernelCopiesTheFirmwareAndResetsOnRelease) {
    Fx_InsertMedium(0);
    FwPut("/mnt/USB0/vtx8400c", "new firmware image");
    FwPut("/mnt/USB0/qmkern.sb", "kernel");
    FwPut("/proc/cmdline", "console=ttyAM0 rootfstype=ubifs\n");
    ASSERT_TRUE(FwZip("/mnt/USB0/update.init", {{"path.info", "mkdir /mnt/cfg/updated\r\n"}}));
    FwPut("/mnt/firm/firmware", "old firmware");

    TracedFirmware fw;
    ASSERT_TRUE(fw.Start({}));
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    ASSERT_TRUE(FwExists("/mnt/cfg/ladder.pgm"));

    Board_PressButton(BoardButton::Load, true);
    ASSERT_TRUE(clock.AdvanceUntil([] { return FwGet("/mnt/firm/firmware") == "new firmware image"; }, 20000))
        << fw.Output();
    // 3 s after the copy, and then only once LOAD is let go.
    ASSERT_TRUE(clock.Advance(4000));
    EXPECT_TRUE(fw.Running());
    Board_PressButton(BoardButton::Load, false);
    ASSERT_TRUE(clock.AdvanceUntilEnded([&] { return !fw.Running(); })) << fw.Output();
    ASSERT_TRUE(fw.WaitExit(kStartMs)) << fw.Output();
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset) << fw.Output();

    EXPECT_FALSE(FwExists("/mnt/cfg/ladder.pgm"));
    EXPECT_FALSE(FwExists("/mnt/cfg/autoreg.dta"));
    EXPECT_TRUE(FwExists("/mnt/cfg/updated"));
    EXPECT_EQ(FwOnly(SysCmd_Log(), {"flash_eraseall", "kobs-ng", "unzip", "mkdir", "cp", "mv"}),
              (std::vector<std::string>{"flash_eraseall /dev/mtd0", "kobs-ng init /mnt/USB0/qmkern.sb",
                                        "mkdir /dev/shm/update", "unzip /mnt/USB0/update.init -d /dev/shm/update",
                                        "mkdir /mnt/cfg/updated", "cp /mnt/USB0/vtx8400c /mnt/firm/firmware.new",
                                        "mv /mnt/firm/firmware.new /mnt/firm/firmware"}));
    std::vector<std::string> touches = fw.HostTouches(root.Dir());
    std::string all;
    for (const std::string& t : touches) all += t + "\n";
    EXPECT_TRUE(touches.empty()) << all;
}

TEST_F(UpdateSystem, LoadHeldWithOnlyAProgramLoadsItAndAnEmptyCardBlinks) {
    Fx_InsertMedium(0);
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();

    // Nothing on the card: four blinks, the controller goes on.
    std::string hold = std::string(PLC_BIN_DIR) + "/plcboard --root '" + root.Dir() + "' hold load 3400";
    ASSERT_EQ(system(hold.c_str()), 0);
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "Kernel/Firmware/Applic files missing")) << fw.Output();
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "LOAD Button Release")) << fw.Output();

    LadderBuilder b;
    for (int i = 1; i <= 8; ++i) b.Contact(lreg::I(i)).Out(lreg::Q(i));
    b.End();
    const std::vector<u8> program = b.BlockData();
    std::vector<u8> file = PgmFileBuilder().Model(567).Version(1550).Table(0, program).Bytes();
    FwPut("/mnt/USB0/DEFAULT.PGM", std::string(file.begin(), file.end()));
    ASSERT_EQ(system(hold.c_str()), 0);
    EXPECT_TRUE(clock.AdvanceUntil(
        [&] {
            std::string stored = FwGet("/mnt/cfg/ladder.pgm");
            return stored.size() == 8 + program.size() &&
                   std::equal(program.begin(), program.end(), stored.begin() + 8);
        },
        20000))
        << fw.Output();
    EXPECT_TRUE(fw.Running());
    EXPECT_EQ(FwOnly(SysCmd_Log(), {"flash_eraseall", "kobs-ng", "reboot"}), std::vector<std::string>{});
    fw.Signal(SIGTERM);
    EXPECT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
}

}  // namespace
