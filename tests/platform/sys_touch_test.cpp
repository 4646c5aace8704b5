// System tick, buttons, LEDs and supply words on the hand-advanced clock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/wiring.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/fileio.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cfmgr.h"
#include "tests/core/plc_fixture.h"
#include "testsupport/board_clock.h"

namespace {

class SysTouch : public PlcCore {
protected:
    void SetUp() override {
        PlcCore::SetUp();
        SYS_Reset();
        FPGA_GetFrt();
        TimerISR();  // the first tick only takes its stamp
    }
    void TearDown() override {
        SYS_Reset();
        Touch_Reset();
        PlcCore::TearDown();
        Board_Close();
        Wiring_Connect();
    }
    // Runs the tick every 10 ms for the given time.
    void Run(int ms) {
        for (int t = 0; t < ms; t += 10) {
            clock.AdvanceMs(10);
            TimerISR();
        }
    }
    void Hold(BoardButton b, int ms) {
        Board_PressButton(b, true);
        Run(ms);
        Board_PressButton(b, false);
        Run(50);
    }
};

TEST_F(SysTouch, TickCarriesTheRemainders) {
    clock.AdvanceTicks(25);
    TimerISR();
    EXPECT_EQ(tchTic, 2u);
    clock.AdvanceTicks(5);  // with the 5 ticks kept: a third millisecond
    TimerISR();
    EXPECT_EQ(tchTic, 3u);
    clock.AdvanceTicks(9);
    TimerISR();
    EXPECT_EQ(tchTic, 3u);
    EXPECT_EQ(sysDTic, 0u);
    clock.AdvanceTicks(1 + 70);  // 11 ms in all
    TimerISR();
    EXPECT_EQ(tchTic, 11u);
    EXPECT_EQ(sysDTic, 1u);
    clock.AdvanceMs(9);  // the 1 ms over the step is kept
    TimerISR();
    EXPECT_EQ(sysDTic, 2u);
    EXPECT_EQ(sysTic, 2u);
}

TEST_F(SysTouch, RunButtonTogglesOnlyAfterThreeSeconds) {
    ForceMode(kModeStop);
    Hold(BoardButton::Run, 2900);
    EXPECT_EQ(Mode(), kModeStop);
    EXPECT_EQ(Touch_ButtonState(), kBtnIdle);

    Board_PressButton(BoardButton::Run, true);
    Run(3100);
    EXPECT_EQ(Mode(), kModeRun);
    EXPECT_EQ(Touch_ButtonState(), kBtnRunDone);
    Run(3000);  // still held: no second toggle
    EXPECT_EQ(Mode(), kModeRun);
    Board_PressButton(BoardButton::Run, false);
    Run(50);
    EXPECT_EQ(Touch_ButtonState(), kBtnIdle);

    Hold(BoardButton::Run, 3100);
    EXPECT_EQ(Mode(), kModeStop);
}

TEST_F(SysTouch, RunButtonIgnoredDuringADownload) {
    ForceMode(kModeStop);
    Cmd_Downloading = 1;
    Hold(BoardButton::Run, 3100);
    Cmd_Downloading = 0;
    EXPECT_EQ(Mode(), kModeStop);
}

TEST_F(SysTouch, UnstablePatternStartsNothing) {
    ForceMode(kModeStop);
    // RUN flickers every 20 ms: four samples never agree.
    for (int i = 0; i < 200; ++i) {
        Board_PressButton(BoardButton::Run, (i / 2) % 2 == 0);
        Run(10);
    }
    Board_PressButton(BoardButton::Run, false);
    EXPECT_EQ(Mode(), kModeStop);
    EXPECT_EQ(Touch_ButtonState(), kBtnIdle);
}

int g_updateResult;
int g_updateCalls;
// The media manager's automatic load starts at once.
void StartLoad() {
    Sys_AutoLoad = 1;
    Sys_ALstmcInited = 0;
}

int Update() {
    ++g_updateCalls;
    return g_updateCalls < 3 ? 0 : g_updateResult;  // runs for two ticks
}

TEST_F(SysTouch, LoadButtonReportsTheUpdateResultByBlinks) {
    struct Case {
        int result;
        u8 flashes;
        bool loadStarted;
    } cases[] = {
        {0x80, 5, false},        // no medium
        {0xA0, 4, false},        // medium without any file
        {0x20 | 0x4, 0, false},  // firmware found (it would have reset)
        {0x20 | 0x40, 0, true},  // a program on the card: load it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        g_updateResult = c.result;
        g_updateCalls = 0;
        Flashcount = 0;
        Sys_AutoLoad = 0;
        touchPeers.update = Update;
        touchPeers.startCardLoad = StartLoad;
        ForceMode(kModeRun);
        Board_PressButton(BoardButton::Load, true);
        Run(3100);
        EXPECT_GE(g_updateCalls, 3);
        EXPECT_EQ(Flashcount, c.flashes);
        EXPECT_EQ(Sys_AutoLoad, c.loadStarted ? 1 : 0);
        Sys_AutoLoad = 0;  // the load ended
        Board_PressButton(BoardButton::Load, false);
        Run(60);
        EXPECT_EQ(Touch_ButtonState(), kBtnIdle);
        EXPECT_EQ(Mode(), kModeRun);  // the mode of before is restored
    }
    Hold(BoardButton::Load, 2000);
    EXPECT_EQ(Touch_ButtonState(), kBtnIdle);
}

TEST_F(SysTouch, BothButtonsReleasedEarlyDoNothing) {
    Board_PressButton(BoardButton::Run, true);
    Board_PressButton(BoardButton::Load, true);
    Run(1000);
    EXPECT_EQ(Touch_ButtonState(), kBtnBothHeld);
    Board_PressButton(BoardButton::Load, false);  // RUN alone is another pattern
    Run(20);
    EXPECT_EQ(Touch_ButtonState(), kBtnIdle);
    Board_PressButton(BoardButton::Run, false);
    Run(50);
    EXPECT_EQ(Mode(), kModeStop);
}

TEST_F(SysTouch, FlashCountBlinksThenNormalDisplayReturns) {
    ForceMode(kModeStop);
    SR_Put(34, 1);
    SR_Put(55, 0);  // OK LED on, run LED off
    Run(20);
    EXPECT_TRUE(Board_Led(0));
    EXPECT_FALSE(Board_Led(1));
    Flashcount = 4;
    int rises = 0;
    bool last = false;
    for (int t = 0; t < 6000; t += 10) {
        Run(10);
        bool both = Board_Led(0) && Board_Led(1);
        if (Flashcount != 0) {
            EXPECT_EQ(Board_Led(0), Board_Led(1)) << t;
        }
        if (both && !last) ++rises;
        last = both;
    }
    EXPECT_EQ(rises, 4);
    EXPECT_EQ(Flashcount, 0);
    EXPECT_TRUE(Board_Led(0));
    EXPECT_FALSE(Board_Led(1));
}

TEST_F(SysTouch, FlashClocksAndRunLedFollowTheMode) {
    ForceMode(kModeRun);  // empty program: the run LED flashes slowly
    int slowToggles = 0, fastToggles = 0;
    u8 slow = sysFlash, fast = Flash100ms;
    bool led = Board_Led(1);
    int ledToggles = 0;
    for (int t = 0; t < 2000; t += 10) {
        Run(10);
        slowToggles += sysFlash != slow;
        fastToggles += Flash100ms != fast;
        ledToggles += Board_Led(1) != led;
        slow = sysFlash;
        fast = Flash100ms;
        led = Board_Led(1);
    }
    EXPECT_EQ(slowToggles, 4);   // every 500 ms
    EXPECT_EQ(fastToggles, 20);  // every 100 ms
    EXPECT_EQ(ledToggles, 4);
    // During a download both LEDs alternate with the slow clock.
    Cmd_Downloading = 1;
    Run(10);
    EXPECT_NE(Board_Led(0), Board_Led(1));
    Cmd_Downloading = 0;
}

TEST_F(SysTouch, SupplyWordsComeFromThePowerFailDriver) {
    const u16 words[kSupplyWords] = {1, 2, 3, 4, 3400};
    Board_SetSupplyWords(words);
    Run(10);
    for (int i = 0; i < kSupplyWords; ++i) EXPECT_EQ(ESR_Get(2 + i), words[i]);
    // Without the driver's file the words stay as they are.
    std::filesystem::remove(root.Path("/proc/powerdown"));
    ESR_Put(6, 3333);
    Run(10);
    EXPECT_EQ(ESR_Get(6), 3333);
}

TEST_F(SysTouch, BoardThatCannotBeMappedStopsTheStart) {
    Board_Close();
    std::filesystem::remove(root.Path(kBoardStatePath));
    std::filesystem::create_directories(root.Path(kBoardStatePath));  // a folder in the way
    testing::internal::CaptureStderr();
    EXPECT_FALSE(GPIOInit());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot map the board registers"), std::string::npos);
    std::filesystem::remove(root.Path(kBoardStatePath));
}

// The child runs on the board's clock, driven here: after each 10-ms step
// every wake that fell due has run, so the LEDs read are those of exactly
// that time.
TEST_F(SysTouch, LedChildAlternatesAndIsEndedByPid) {
    BoardClock board;
    ASSERT_TRUE(Clock_UseBoardIfDriven());
    Clock_NoteDeadline(~0ull);  // the test's own thread waits for nothing the clock moves
    pid_t pid = SetStatusLeds_fork();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(board.Settle());  // the child has lit its first LED and sleeps
    for (u64 ms = 0; ms <= 2000; ms += 10) {
        if (ms > 0 && !board.Advance(10)) {
            ADD_FAILURE() << "the LED child did not settle at " << ms << " ms";
            break;
        }
        const bool first = (ms / 500) % 2 == 0;  // LED 1 first, then the other one every 500 ms
        EXPECT_EQ(Board_Led(1), first) << ms;
        EXPECT_EQ(Board_Led(0), !first) << ms;
    }
    Touch_EndLedChild(pid);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // reaped
    Clock_UseReal();
}

}  // namespace
