// System tests of the board services on the real executable: buttons, LEDs,
// power-fail, the fault handler and the watchdog. The controller runs on the
// board's clock, which the test advances: what it reads after an advance is
// the state at exactly that time, however loaded the machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;  // generous for sanitizer builds
constexpr int kStopMs = 30000;
constexpr const char* kRunning = "main loop running";

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Sets an environment variable for the firmware started while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char* name_;
};

class BoardSystem : public ::testing::Test {
protected:
    std::string Cfg(const char* name) { return root.Path(std::string("/mnt/cfg/") + name); }

    void StartRunning(FirmwareProcess& fw) {
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(fw.WaitForOutput(kRunning, kStartMs)) << fw.Output();
    }
    // Runs the board tool on this root; its exit status.
    int Tool(const std::string& args, std::string* out = nullptr) {
        std::string cmd = std::string(PLC_BIN_DIR) + "/plcboard --root '" + root.Dir() + "' " + args;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return -1;
        char buf[256];
        std::string text;
        while (fgets(buf, sizeof buf, p)) text += buf;
        int status = pclose(p);
        if (out) *out = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Watches LED n for the given time of the controller's clock, one look
    // every 10 ms: whether it was seen lit and dark.
    std::pair<bool, bool> WatchLed(int led, int ms) {
        bool lit = false, dark = false;
        for (int t = 0; t < ms; t += 10) {
            EXPECT_TRUE(clock.Advance(10));
            (Board_Led(led) ? lit : dark) = true;
        }
        return {lit, dark};
    }
    void HoldRun(int ms) {
        Board_PressButton(BoardButton::Run, true);
        EXPECT_TRUE(clock.Advance(static_cast<u64>(ms)));
        Board_PressButton(BoardButton::Run, false);
    }
    TempRoot root;
    BoardClock clock;
};

TEST_F(BoardSystem, RunButtonTogglesModeAndLedsFollow) {
    FirmwareProcess fw;
    StartRunning(fw);
    // Stop: the run LED is dark.
    EXPECT_EQ(WatchLed(1, 1200), (std::pair{false, true}));

    HoldRun(2900);
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "Didn't Changed the Controller Mode")) << fw.Output();
    EXPECT_EQ(fw.Output().find("Changed the Controller Mode\nRUN"), std::string::npos);
    EXPECT_EQ(WatchLed(1, 1200), (std::pair{false, true}));

    // Through the board tool, as a user would.
    ASSERT_EQ(Tool("hold run 3300"), 0);
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "RUN Button Released")) << fw.Output();
    EXPECT_NE(fw.Output().find("\nChanged the Controller Mode"), std::string::npos);
    // Run with the empty program: the run LED flashes slowly.
    EXPECT_EQ(WatchLed(1, 1500), (std::pair{true, true}));
    std::string leds;
    EXPECT_EQ(Tool("leds", &leds), 0);
    EXPECT_EQ(leds.rfind("A=", 0), 0u) << leds;

    fw.Signal(SIGTERM);
    ASSERT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(Cfg("autoreg.dta"), image, 1 << 20));
    ASSERT_EQ(image.size(), 8u + kPlcRegBytes);
    EXPECT_EQ(GetLe16(&image[8 + 2 * (127 + 5)]), 2);  // saved in run
}

TEST_F(BoardSystem, PowerFailFromTheBoardRunsThePowerDown) {
    FirmwareProcess fw;
    StartRunning(fw);
    std::string out;
    ASSERT_EQ(Tool("powerfail", &out), 0) << out;
    EXPECT_NE(out.find("signalled=" + std::to_string(fw.Pid())), std::string::npos);
    ASSERT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
    EXPECT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();
    EXPECT_TRUE(Exists(Cfg("saved.dat")));
}

TEST_F(BoardSystem, FaultSignalWritesCrashLogAndResetsAfterCountdown) {
    ScopedEnv countdown("PLC_FAULT_COUNTDOWN_S", "2");
    FirmwareProcess fw;
    StartRunning(fw);
    fw.Signal(SIGSEGV);
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "Reset in:01")) << fw.Output();
    const u64 firstSecond = clock.ElapsedMs();
    // Counting down: the watchdog is stopped and both LEDs flash fast.
    BoardWatchdog w;
    Board_GetWatchdog(&w);
    EXPECT_EQ(w.enabled, 0u);
    EXPECT_EQ(WatchLed(0, 400), (std::pair{true, true}));
    ASSERT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
    // One second per count, on the controller's clock.
    EXPECT_GE(clock.ElapsedMs() - firstSecond, 1000u);
    EXPECT_LE(clock.ElapsedMs() - firstSecond, 1100u);
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset) << fw.Output();
    const std::string out = fw.Output();
    EXPECT_NE(out.find("System Exception Occurred\nInvalid Memory Access Fault\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Reset in:00"), std::string::npos);
    EXPECT_TRUE(Exists(Cfg("logfile")));
    EXPECT_TRUE(Exists(Cfg("saved.dat")));
    EXPECT_EQ(Board_Persistent(kPersistentFaultFlags), 0x8000u);

    // The restart takes the saved image as a clean stop.
    FirmwareProcess again;
    StartRunning(again);
    again.Signal(SIGTERM);
    ASSERT_TRUE(clock.AdvanceToExit(again)) << again.Output();
    EXPECT_EQ(again.ExitCode(), kExitNormal);
}

TEST_F(BoardSystem, WatchdogResetsAControllerWhoseLoopHangs) {
    ScopedEnv hang("PLC_TEST_HANG_AFTER", "20");
    FirmwareProcess fw;
    StartRunning(fw);
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop hangs")) << fw.Output();
    const u64 hungAt = clock.ElapsedMs();
    BoardWatchdog w;
    ASSERT_TRUE(clock.AdvanceUntil(
        [&] {
            Board_GetWatchdog(&w);
            return w.resets != 0;
        },
        10000))
        << fw.Output();
    // The 5-second time-out from the last keep-alive, looked at every 100 ms.
    EXPECT_GE(clock.ElapsedMs() - hungAt, 4900u);
    EXPECT_LE(clock.ElapsedMs() - hungAt, 5200u);
    EXPECT_EQ(w.resets, 1u);
    // The reset ends the process at once.
    ASSERT_TRUE(fw.WaitExit(kStopMs));
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset) << fw.Output();
}

TEST_F(BoardSystem, BothButtonsClearProgramAndImagesAndRestart) {
    FirmwareProcess fw;
    StartRunning(fw);
    ASSERT_TRUE(Exists(Cfg("ladder.pgm")));
    ASSERT_TRUE(Exists(Cfg("autoreg.dta")));
    ASSERT_EQ(Tool("hold both 3300"), 0);
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "Do VGD")) << fw.Output();
    // While it waits, the LED child alternates the LEDs.
    bool sawA = false, sawB = false;
    for (int t = 0; t < 2000 && !(sawA && sawB); t += 10) {
        ASSERT_TRUE(clock.Advance(10));
        bool a = Board_Led(0), b = Board_Led(1);
        sawA |= a && !b;
        sawB |= b && !a;
    }
    EXPECT_TRUE(sawA && sawB);
    ASSERT_TRUE(clock.AdvanceToExit(fw)) << fw.Output();
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset) << fw.Output();
    EXPECT_FALSE(Exists(Cfg("ladder.pgm")));
    EXPECT_FALSE(Exists(Cfg("autoreg.dta")));
}

TEST(BoardSystemStart, UnmappableBoardStopsTheStartWithAMessage) {
    TempRoot root;
    std::filesystem::create_directories(root.Path(kBoardStatePath));
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitExit(kStartMs));
    EXPECT_EQ(fw.ExitCode(), 1);
    EXPECT_NE(fw.Output().find("cannot map the board registers"), std::string::npos) << fw.Output();
    EXPECT_EQ(fw.Output().find(kRunning), std::string::npos);
}

}  // namespace
