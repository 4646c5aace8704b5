// System services: mailboxes, termination switching, status LEDs, battery
// test, hardware check, watchdog and the fault handler.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/fpga.h"
#include "platform/reset.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "platform/watchdog.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

class SysServices : public ::testing::Test {
protected:
    void SetUp() override {
        SYS_Reset();
        Touch_Reset();
        FPGA_Reset();
        FPGA_GetFrt();
    }
    void TearDown() override {
        SYS_Reset();
        Board_Close();
        Wiring_Connect();
    }
    TempRoot root;
    RegFixture regs;
    ManualClock clock;
};

// A media manager stand-in: accepts when told, completes after a set number
// of polls.
struct FakeManager {
    int accept = 1;
    int pollsToFinish = 2;
    int loads = 0, polls = 0;
    i32 result = 0;
};
FakeManager g_mgr[kSysMailboxes];
u8 g_boxes[kSysMailboxes][24];
// Only mailboxes 0 and 1 are there.
u8* Box(int i) { return i < 2 ? g_boxes[i] : nullptr; }
int Load(int i) {
    ++g_mgr[i].loads;
    return g_mgr[i].accept;
}
int Poll(int i, i32* result) {
    ++g_mgr[i].polls;
    if (--g_mgr[i].pollsToFinish > 0) return 2;
    *result = g_mgr[i].result;
    return 4;
}

TEST_F(SysServices, MailboxGoesThroughTheMediaManagerAndIsAcknowledged) {
    std::memset(g_boxes, 0, sizeof g_boxes);
    auto& boxes = g_boxes;
    for (auto& f : g_mgr) f = FakeManager{};
    sysPeers.mailbox = Box;
    sysPeers.mailboxLoad = Load;
    sysPeers.mailboxPoll = Poll;

    SYS_Update();  // nothing pending
    EXPECT_EQ(g_mgr[0].loads, 0);

    boxes[0][0] = 1;  // request toggle flipped
    g_mgr[0].result = -7;
    g_mgr[1].accept = 0;  // the manager refuses (safe removal)
    boxes[1][0] = 1;
    SYS_Update();
    EXPECT_EQ(SYS_MailboxState(0), 2);
    EXPECT_EQ(SYS_MailboxState(1), 0);
    EXPECT_EQ(boxes[0][1], 0);
    SYS_Update();  // busy
    EXPECT_EQ(SYS_MailboxState(0), 2);
    EXPECT_EQ(boxes[0][1], 0);
    SYS_Update();  // complete
    EXPECT_EQ(SYS_MailboxState(0), 0);
    EXPECT_EQ(boxes[0][1], 1);
    EXPECT_EQ(static_cast<i32>(GetLe32(&boxes[0][4])), -7);
    EXPECT_EQ(g_mgr[0].loads, 1);
    // The refused one is offered again every pass and never acknowledged by
    // another mailbox's answer.
    EXPECT_EQ(g_mgr[1].loads, 3);
    EXPECT_EQ(boxes[1][1], 0);
    SYS_Update();
    EXPECT_EQ(g_mgr[0].loads, 1);  // acknowledged: not served twice
}

std::vector<u8> g_term;
void TermSet(u8 control) { g_term.push_back(control); }

TEST_F(SysServices, TerminationRelaysArePulsedPerPort) {
    sysPeers.ioTermSet = TermSet;
    g_term.clear();
    SR_Put(152, 0x1);  // port 1 on, port 2 off
    SYS_ExtendedOption();
    EXPECT_EQ(g_term, (std::vector<u8>{0x10, 0x90}));  // both sent on the first call
    clock.AdvanceTicks(150);
    SYS_ExtendedOption();  // not more than 150 ticks yet
    EXPECT_EQ(g_term.size(), 2u);
    clock.AdvanceTicks(1);
    SYS_ExtendedOption();
    EXPECT_EQ(g_term, (std::vector<u8>{0x10, 0x90, 0x10, 0x00}));
    clock.AdvanceMs(100);
    SYS_ExtendedOption();  // applied: nothing to do
    EXPECT_EQ(g_term.size(), 4u);

    SR_Put(152, 0x3);  // port 2 switches on
    SYS_ExtendedOption();
    EXPECT_EQ(g_term.back(), 0x40);
    clock.AdvanceMs(20);
    SYS_ExtendedOption();
    EXPECT_EQ(g_term.back(), 0x40);
    EXPECT_EQ(g_term.size(), 6u);
}

TEST_F(SysServices, StatusLedStatesFollowTheFlashClocks) {
    struct Case {
        int a, b;
        u8 slow, fast;
        bool ledA, ledB;
    } cases[] = {
        {kLedOff, kLedOff, 1, 1, false, false},
        {kLedOn, kLedOn, 0, 0, true, true},
        {kLedSlow, kLedSlow, 1, 0, true, true},
        {kLedSlow, kLedSlow, 0, 1, false, false},
        {kLedAlternate, kLedAlternate, 1, 0, true, false},
        {kLedAlternate, kLedAlternate, 0, 0, false, true},
        {kLedFast, kLedFast, 0, 1, true, true},
        {kLedFast, kLedFast, 1, 0, false, false},
        {kLedOn, kLedFast, 0, 1, true, false},  // B fast only with A fast
    };
    for (const Case& c : cases) {
        sysFlash = c.slow;
        Flash100ms = c.fast;
        SYS_SetStatusLeds(c.a, c.b);
        EXPECT_EQ(Board_Led(0), c.ledA) << c.a << "/" << c.b << " slow " << int(c.slow);
        EXPECT_EQ(Board_Led(1), c.ledB) << c.a << "/" << c.b << " slow " << int(c.slow);
    }
    EXPECT_FALSE(Board_GpioOut(kLedABank) & ~((1u << kLedAPin) | (1u << kLedBPin)));
}

TEST_F(SysServices, OkAndRunLedStates) {
    SR_Put(34, 0);
    EXPECT_EQ(SYS_GetOkLed(), kLedSlow);
    SR_Put(34, 1);
    EXPECT_EQ(SYS_GetOkLed(), kLedOn);
    SR_Put(55, 0x10);
    EXPECT_EQ(SYS_GetOkLed(), kLedOff);
    S_Put(11, true);
    EXPECT_EQ(SYS_GetOkLed(), kLedSlow);

    PutLe16(ladder, 9);  // the empty program
    SR_Put(5, 0);
    EXPECT_EQ(SYS_GetRunLed(), kLedOff);
    SR_Put(5, 2);
    EXPECT_EQ(SYS_GetRunLed(), kLedSlow);
    PutLe16(ladder, 1);
    EXPECT_EQ(SYS_GetRunLed(), kLedOn);
    SR_Put(5, 1);
    EXPECT_EQ(SYS_GetRunLed(), kLedSlow);
    PutLe16(ladder, 0);
}

TEST_F(SysServices, BatteryIsGoodOnAFreshBoardAfterTheFirstTick) {
    ASSERT_TRUE(GPIOInit());
    EXPECT_EQ(SYS_BattTest(), 1);
    const struct {
        u16 esr4, esr6;
        u8 failed;
        int want;
    } cases[] = {{0, 3001, 0, 1}, {0, 3000, 0, 0}, {10, 3300, 0, 0}, {0, 3300, 1, 0}};
    for (const auto& c : cases) {
        ESR_Put(4, c.esr4);
        ESR_Put(6, c.esr6);
        AutoregFailed = c.failed;
        EXPECT_EQ(SYS_BattTest(), c.want) << c.esr4 << " " << c.esr6 << " " << int(c.failed);
    }
    AutoregFailed = 0;
    signal(kPowerFailSignal, SIG_DFL);
}

TEST_F(SysServices, HardwareCheckGivesTheMacTexts) {
    u8 image[kTinyImageBytes] = {};
    const u8 mac0[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, mac1[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f};
    std::memcpy(image + kTinyMac0, mac0, 6);
    std::memcpy(image + kTinyMac1, mac1, 6);
    ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/TINYIMGE.BIN"), image, sizeof image));
    SYS_HardwareCheck();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tinyImage + kTinyMacText0), 17), "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(tinyImage + kTinyMacText1), 17), "00:1A:2B:3C:4D:5F");
    EXPECT_EQ(tinyImage[4], 24);
    EXPECT_EQ(tinyImage[5], 24);
}

TEST_F(SysServices, WatchdogNeverStaysOnDescriptorSix) {
    Watchdog_Reset();
    Watchdog_SetMonitor(false);
    std::filesystem::create_directories(root.Path("/usr"));
    std::ofstream(root.Path("/usr/version")) << "3\n";
    // Make 6 the lowest free descriptor.
    std::vector<int> fillers;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (fd >= 6) {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    if (fcntl(6, F_GETFD) != -1) {
        for (int fd : fillers) close(fd);
        GTEST_SKIP() << "descriptor 6 is in use by the test process";
    }
    StartWatchdog();
    const int fd = SYS_WatchdogFd();
    EXPECT_GE(fd, 0);
    EXPECT_NE(fd, 6);
    char link[512] = {};
    ASSERT_GT(readlink("/proc/self/fd/6", link, sizeof link - 1), 0);
    EXPECT_EQ(std::string(link), std::filesystem::canonical(root.Path("/usr/version")).string());
    EXPECT_EQ(Watchdog_GetTimeout(fd), 5);
    StopWatchdog();
    for (int f : fillers) close(f);
    Watchdog_Reset();
}

// The handler runs in a child (a death test) on the real clock with the
// countdown shortened to 1 s.
TEST_F(SysServices, FaultHandlerLogsCountsDownAndWarmResets) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    PutLe16(&plc_reg[kRegR], 0xBEEF);
    Clock_UseReal();
    FPGA_Reset();
    setenv("PLC_FAULT_COUNTDOWN_S", "1", 1);
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the console messages, where the death test reads
            SYS_Init(nullptr);
            raise(SIGSEGV);
        },
        ::testing::ExitedWithCode(kExitWarmReset),
        "System Exception Occurred\nInvalid Memory Access Fault\nReset in:00\n");
    unsetenv("PLC_FAULT_COUNTDOWN_S");
    EXPECT_EQ(PersistFlags_Get(), 0x8000u);
    std::vector<u8> image, saved, log;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1 << 20));
    ASSERT_EQ(image.size(), 8u + kPlcRegBytes);
    EXPECT_EQ(GetLe16(&image[0]), crc16(&image[8], kPlcRegBytes));
    EXPECT_EQ(GetLe16(&image[8 + kRegR]), 0xBEEF);
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/saved.dat"), saved, 64));
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "Saved autoreg.dta");
    EXPECT_TRUE(File_ReadAll(root.Path("/mnt/cfg/logfile"), log, 1 << 20));
    EXPECT_FALSE(log.empty());
}

// Deep enough to overflow any thread stack; the bound only keeps the
// compiler from calling the recursion infinite.
__attribute__((noinline)) int Recurse(long depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth > 1000000000L) return 0;
    return Recurse(depth + 1) + frame[0];
}

// A stack overflow still reaches the handler: it runs on its own stack.
TEST_F(SysServices, StackOverflowStillResets) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    Clock_UseReal();
    FPGA_Reset();
    setenv("PLC_FAULT_COUNTDOWN_S", "0", 1);
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            SYS_Init(nullptr);
            Recurse(0);
        },
        ::testing::ExitedWithCode(kExitWarmReset), "Invalid Memory Access Fault");
    unsetenv("PLC_FAULT_COUNTDOWN_S");
    std::vector<u8> saved;
    EXPECT_TRUE(File_ReadAll(root.Path("/mnt/cfg/saved.dat"), saved, 64));
}

int g_watchdogFired;
void WatchdogFired() { ++g_watchdogFired; }

// The handler stops the watchdog without its lock: it never fires afterwards.
TEST_F(SysServices, WatchdogStoppedFromTheHandlerNeverFires) {
    Watchdog_Reset();
    Watchdog_SetMonitor(false);
    Watchdog_SetResetAction(WatchdogFired);
    g_watchdogFired = 0;
    StartWatchdog();
    ASSERT_GE(SYS_WatchdogFd(), 0);
    Watchdog_StopFromSignal();
    clock.AdvanceMs(60000);
    EXPECT_FALSE(Watchdog_Poll());
    EXPECT_EQ(g_watchdogFired, 0);
    BoardWatchdog w;
    Board_GetWatchdog(&w);
    EXPECT_EQ(w.enabled, 0u);
    Watchdog_Reset();
}

TEST_F(SysServices, CountdownLengthComesFromTheEnvironment) {
    for (auto [text, want] : {std::pair{"3", 3}, {"0", 0}, {"60", 59}, {"-1", 59}, {"x", 59}}) {
        setenv("PLC_FAULT_COUNTDOWN_S", text, 1);
        SYS_Init(nullptr);
        EXPECT_EQ(SYS_FaultCountdown(), want) << text;
    }
    unsetenv("PLC_FAULT_COUNTDOWN_S");
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, SIG_DFL);
}

}  // namespace
