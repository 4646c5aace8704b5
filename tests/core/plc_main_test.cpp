#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "plc_fixture.h"
#include "core/wiring.h"
#include "net/enet.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "platform/fileio.h"
#include "platform/watchdog.h"
#include "platform/cmdrun.h"
#include "platform/board.h"
#include "platform/reset.h"
#include "platform/service.h"
#include "testsupport/firmware_process.h"

namespace {

int g_passes[3];
int g_depth;
u32 g_driverCount;

u32 DriverCount() { return g_driverCount; }

class PlcMainLoop : public PlcCore {
protected:
    void SetUp() override {
        PlcCore::SetUp();
        Dartu_InitMutexes();
    }
    void TearDown() override {
        Wiring_Connect();
        PlcCore::TearDown();
    }
    // Drivers of the protocol-driver pass faked through its neighbour record.
    static void FakeDrivers(void (*pass)(int driver), u32 count) {
        g_driverCount = count;
        driverPassPeers.count = DriverCount;
        driverPassPeers.pass = pass;
    }
};

// Driver 0 waits for input: it runs a nested pass from inside its own pass.
void WaitingDriver(int driver) {
    g_passes[driver]++;
    if (driver == 0 && g_depth == 0) {
        g_depth++;
        ExecuteSubLoop_Wait(0);
        g_depth--;
    }
}

TEST_F(PlcMainLoop, WaitingDriverNeverReentersItsOwnPass) {
    g_passes[0] = g_passes[1] = g_passes[2] = 0;
    g_depth = 0;
    FakeDrivers(WaitingDriver, 3);
    for (int i = 0; i < 5; ++i) The_Loop(0);
    EXPECT_EQ(g_passes[0], 5);
    // The others also get their pass inside the nested one.
    EXPECT_EQ(g_passes[1], 10);
    EXPECT_EQ(g_passes[2], 10);
}

TEST_F(PlcMainLoop, DriverCountOutsideOneToEightServesNone) {
    g_passes[0] = 0;
    g_depth = 1;  // no nesting
    for (u32 count : {0u, 9u}) {
        FakeDrivers(WaitingDriver, count);
        The_Loop(0);
    }
    EXPECT_EQ(g_passes[0], 0);
}

// The pass keeps its fixed order: what a step finds depends on the steps
// before it (the scan sees the status bits, the fault mirror the battery test).
TEST_F(PlcMainLoop, PassStepsTheWiredServicesInTheirOrder) {
    const std::vector<std::string> want = {
        "board files", "can receive", "tick, buttons and LEDs", "serial-driver timers", "protocol drivers",
        "status bits", "modbus requests", "scan", "fail-safe and manual restore", "command check",
        "programming-port mailbox", "battery test", "file exchange", "fault mirror", "datagrams",
        "system update mailboxes", "media manager", "IEC workbench", "ethernet", "software timers", "usb port monitor", "watchdog", "modem", "power-down"};
    std::vector<std::string> names;
    for (u32 i = 0; i < serviceList.count; ++i) names.push_back(serviceList.entries[i].name);
    EXPECT_EQ(names, want);
}

// Running, the scan asks for the next millisecond as the old fixed wait gave
// it; stopped, nothing is due before the next 10-ms tick.
TEST_F(PlcMainLoop, ScanAsksForTheMillisecondOnlyWhileRunning) {
    struct Case {
        u8 mode;
        u8 autoLoad;
        u32 want;
    };
    const u32 now = 12345;
    const Case cases[] = {{kModeStop, 0, 12400}, {kModeIoOnly, 0, now + 10}, {kModeRun, 0, now + 10},
                          {kModeRunFaulted, 0, now + 10}, {kModeStop, 1, now + 10}};
    for (const Case& c : cases) {
        ForceMode(c.mode);
        Sys_AutoLoad = c.autoLoad;
        EXPECT_EQ(Main_StepScan(now), c.want) << int(c.mode) << " " << int(c.autoLoad);
    }
    Sys_AutoLoad = 0;
}

TEST_F(PlcMainLoop, StartRefusedWhileTheDriverPassIsNotWired) {
    driverPassPeers.pass = nullptr;
    char name[] = "plcfw";
    char* argv[] = {name, nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(PlcStart(1, argv), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("driverPassPeers.pass"), std::string::npos) << err;
    EXPECT_EQ(err.find("driverPassPeers.count"), std::string::npos) << err;
}

TEST_F(PlcMainLoop, PassesDuringDownloadDoNotCountTowardsWebStart) {
    DartuHttp = 1;
    DartuServerState = kDartuStart;
    Cmd_Downloading = 1;
    for (int i = 0; i < 150; ++i) Main_Iteration();
    EXPECT_EQ(Main_CountedPasses, 0);
    Cmd_Downloading = 0;
    for (int i = 0; i < 101; ++i) Main_Iteration();
    EXPECT_EQ(Main_CountedPasses, 101);
    EXPECT_EQ(DartuThreadCreated.load(), 0);  // the web step has not run yet
    Main_Iteration();
    EXPECT_EQ(DartuThreadCreated.load(), 1);
    EXPECT_NE(DartuServerState.load(), kDartuStart);
    EXPECT_TRUE(Dartu_StopThread(2000));
    DartuServerState = kDartuStopped;
}

TEST_F(PlcMainLoop, WebStepFollowsAddressChange) {
    struct Case {
        u8 state, newIp, wantState, wantNewIp;
    };
    const Case cases[] = {{kDartuRunning, 1, kDartuStop, 1},
                          {kDartuStopped, 1, kDartuStart, 0},
                          {kDartuStopped, 0, kDartuStopped, 0},
                          {kDartuRunning, 0, kDartuRunning, 0}};
    for (const Case& c : cases) {
        DartuServerState = c.state;
        DartuUpdateNewIp = c.newIp;
        Main_WebStep();
        EXPECT_EQ(DartuServerState.load(), c.wantState);
        EXPECT_EQ(DartuUpdateNewIp, c.wantNewIp);
    }
    DartuServerState = kDartuStopped;
    DartuUpdateNewIp = 0;
}

TEST_F(PlcMainLoop, WebServerStoppedWhileIecDownloadRuns) {
    DartuServerState = kDartuRunning;
    Cmd_Downloading = 1;
    QuilletRuntime = 1;
    quillet_variables_enumerateded = 1;
    Main_WebStep();
    EXPECT_EQ(DartuServerState.load(), kDartuStop);
    DartuServerState = kDartuStopped;
}

std::atomic<int> g_trylockDuringPass{-1};

void ProbeMutexFromOtherThread(int) {
    std::thread t([] { g_trylockDuringPass = pthread_mutex_trylock(&demoMutex); });
    t.join();
}

// The main loop holds demoMutex through a pass and gives it back after;
// only the holder unlocks it.
TEST_F(PlcMainLoop, DemoMutexIsHeldThroughThePassOnly) {
    FakeDrivers(ProbeMutexFromOtherThread, 1);
    Main_Iteration();
    EXPECT_NE(g_trylockDuringPass.load(), 0);  // busy during the pass
    EXPECT_FALSE(Dartu_MainLoopHolds());
    std::thread t([] {
        int r = pthread_mutex_trylock(&demoMutex);
        EXPECT_EQ(r, 0);  // free between passes
        if (r == 0) pthread_mutex_unlock(&demoMutex);
    });
    t.join();
    // A second give without holding it unlocks nothing.
    Dartu_MainLoopGive();
    EXPECT_EQ(pthread_mutex_unlock(&demoMutex), EPERM);
}

TEST_F(PlcMainLoop, ServerThreadRunsBetweenPasses) {
    DartuHttp = 1;
    Main_CountedPasses = 101;
    DartuServerState = kDartuStart;
    Main_Iteration();
    ASSERT_EQ(DartuThreadCreated.load(), 1);
    // Passes until the server thread runs its own passes (the bound is only
    // a guard): it says it runs before its first one.
    EXPECT_TRUE(WaitUntil(
        [] {
            Main_Iteration();
            return DartuServerState.load() == kDartuRunning && dartuThreadPasses.load() > 0u;
        },
        20000));
    EXPECT_EQ(DartuServerState.load(), kDartuRunning);
    EXPECT_GT(dartuThreadPasses.load(), 0u);
    EXPECT_TRUE(Dartu_StopThread(2000));
    EXPECT_EQ(DartuServerState.load(), kDartuStopped);
}

void PutKernelText(const char* text) {
    char buf[10] = {};
    std::memcpy(buf, text, std::strlen(text) < 10 ? std::strlen(text) : 10);
    for (int i = 0; i < 5; ++i)
        ESR_Put(9 + i, static_cast<u16>(static_cast<u8>(buf[2 * i]) | (static_cast<u8>(buf[2 * i + 1]) << 8)));
}

TEST_F(PlcMainLoop, KernelBuildNumber) {
    const std::pair<const char*, int> cases[] = {
        {"2.6.35.43", 3543}, {"2.6.35.44", 3544}, {"2.6.3x.44", 0}, {"", 0}};
    for (auto [text, want] : cases) {
        PutKernelText(text);
        EXPECT_EQ(Main_KernelBuild(), want) << text;
    }
}

TEST_F(PlcMainLoop, KernelTextFromHardwareCheck) {
    SysCmd_SetOutput("uname", "Linux plc 2.6.35.3-3544 #1 PREEMPT armv5tejl GNU/Linux\n");
    SYS_HardwareCheck();
    SysCmd_SetOutput("uname", nullptr);
    EXPECT_EQ(std::string(KernelRev, 9), std::string("2.6.35.44"));
    EXPECT_EQ(Main_KernelBuild(), 3544);
    EXPECT_EQ(tinyImage[4], 24);
}

TEST_F(PlcMainLoop, ScanSkippedWhileAutomaticLoadRuns) {
    ForceMode(2);
    Sys_AutoLoad = 1;
    The_Loop(0);
    EXPECT_EQ(scanRecord.ladderRuns, 0);
    The_Loop(0);  // no medium: the load ends and the scan runs again
    EXPECT_EQ(scanRecord.ladderRuns, 1);
}

TEST_F(PlcMainLoop, PassMirrorsFaultsAndSystemBits) {
    SR_Put(4, 0x40 | 0x10 | 0x2);
    SR_Put(31, 0);
    S_Put(12, true);
    PutLe16(io_force, 1);
    PutLe16(io_force + 2, 0);
    The_Loop(0);
    EXPECT_FALSE(S_Get(6));
    EXPECT_FALSE(S_Get(2));
    EXPECT_TRUE(S_Get(11));
    EXPECT_EQ(SR_Get(55) & 0xB0, 0);  // network bits masked without a network
    EXPECT_EQ(SR_Get(55) & 0x2, 0x2);
    SR_Put(31, 1);
    The_Loop(0);
    EXPECT_EQ(SR_Get(55) & 0x50, 0x50);
}

// The supervision thread saves the registers once the watchdog is about to
// reset the controller.
TEST_F(PlcMainLoop, WatchdogSupervisionSavesBeforeReset) {
    Watchdog_Reset();
    Watchdog_SetMonitor(false);
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    StartWatchdog();
    ASSERT_GE(SYS_WatchdogFd(), 0);
    std::vector<u8> image;
    EXPECT_FALSE(WatchdogScanStep());
    clock.AdvanceMs(3500);  // 1.5 s left
    EXPECT_TRUE(WatchdogScanStep());
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1 << 20));
    EXPECT_EQ(image.size(), 8u + kPlcRegBytes);
    StopWatchdog();
    Watchdog_Reset();
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(PlcMainLoop, MasterScriptLinesReachItsReader) {
    WDmainPid = getpid();
    EXPECT_FALSE(MasterScript_Write("stopall"));  // no script: the pipe stays closed
    mkdir(root.Path("/opt/varnok").c_str(), 0700);
    std::ofstream(root.Path(kMasterScriptPath)) << "exit 1\n";
    MasterScript_Start();
    ASSERT_EQ(MasterFilePresent, 0);
    EXPECT_TRUE(MasterScript_Write("stopall"));
    EXPECT_TRUE(MasterScript_Write("start0\n"));
    // Until the script has logged both lines (the bound is only a guard).
    std::string log;
    WaitUntil([&] { return (log = ReadText(root.Path(kMasterScriptLogPath))) == "stopall\nstart0\n"; }, 20000);
    EXPECT_EQ(log, "stopall\nstart0\n");
    Main_EndChildren();
    EXPECT_EQ(MasterScriptPipefd, -1);
    EXPECT_FALSE(MasterScript_Write("stopall"));
    MasterFilePresent = -1;
}

}  // namespace

namespace {

// A warm reset records a clean stop and ends the process with its own code,
// so the run script starts the controller again.
TEST_F(PlcMainLoop, WarmResetEndsWithItsExitCode) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    EXPECT_EXIT(Cmd_PortInit(0), ::testing::ExitedWithCode(kExitWarmReset), "");
    std::vector<u8> saved, image;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/saved.dat"), saved, 64));
    EXPECT_EQ(std::string(saved.begin(), saved.end()), "Saved autoreg.dta");
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1 << 20));
    EXPECT_EQ(image.size(), 8u + kPlcRegBytes);
    EXPECT_EQ(PersistFlags_Get(), 0x8000u);
}

// The power-fail signal only sets the flag; the pass ends with the power-down.
TEST_F(PlcMainLoop, PowerFailEndsThePassWithPowerDown) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    GPIOInit();
    raise(kPowerFailSignal);
    EXPECT_EQ(PowerdownSignal, 1);
    EXPECT_EXIT(The_Loop(0), ::testing::ExitedWithCode(kExitPowerOff), "");
    std::vector<u8> saved;
    EXPECT_TRUE(File_ReadAll(root.Path("/mnt/cfg/saved.dat"), saved, 64));
    PowerdownSignal = 0;
    signal(kPowerFailSignal, SIG_DFL);
}

}  // namespace
