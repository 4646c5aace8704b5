#include "core/main.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "link/command.h"
#include "link/vcomm.h"
#include "net/enet.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/fpga.h"
#include "platform/fx_api.h"
#include "platform/rct.h"
#include "platform/reset.h"
#include "platform/root.h"
#include "platform/service.h"
#include "platform/system.h"
#include "platform/timers.h"
#include "platform/touch.h"
#include "platform/watchdog.h"
#include "remote/mqtt.h"
#include "remote/wifiStatus.h"
#include "storage/cf_fw_load.h"
#include "storage/cfmgr.h"
#include "webhmi/dartu_glue.h"

int BIS = 0;
u8 BootMode = 0;
pid_t WDmainPid = 0;
u8 Main_CountedPasses = 0;
DriverPassPeers driverPassPeers;

namespace {

// A stop asked for by a signal; written by the handler, so outside the record.
volatile sig_atomic_t g_stopRequested = 0;

struct State {
    u8 pmgrBusy = 0;         // re-entry mask, one bit per protocol driver
    pid_t freeSpaceChild = 0;
    u32 due = 0;             // earliest time a service of the last pass asked for
};
State g;

void OnStopSignal(int) { g_stopRequested = 1; }

}  // namespace

void DriverPassPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, driverPassPeers, count);
    NEIGHBOUR_REQUIRE(check, driverPassPeers, pass);
}

// Ends our own children by their pids (never by name).
void Main_EndChildren() {
    if (getpid() != WDmainPid) return;
    MasterScript_End();
    MasterScript_EndChild(g.freeSpaceChild, 0);
}

namespace {

void StartFreeSpaceChild() {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        MasterScript_BindChildToParent(parent);
        // The child needs none of the controller's descriptors; a listening
        // socket kept open here would hold its port after the controller
        // closed it.
        if (close_range(3, ~0u, 0) != 0)
            for (long fd = 3, n = sysconf(_SC_OPEN_MAX); fd < n; ++fd) close(static_cast<int>(fd));
        BackTsk();
    }
    if (pid > 0) g.freeSpaceChild = pid;
}

void StartWatchdogThread() {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_create(&thread, &attr, WatchdogScan, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // A closed pipe or socket peer is an error return, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
}

void UpdateSystemBits() {
    u16 sr4 = SR_Get(4);
    S_Put(6, !(sr4 & kSr4IoFault));
    S_Put(2, !(sr4 & 0xB0));
    u32 forces = static_cast<u32>(GetLe16(io_force)) + GetLe16(io_force + 2);
    S_Put(11, S_Get(12) && forces != 0);
}

void MirrorFaults() {
    u16 v = SR_Get(4);
    if (SR_Get(31) == 0) v &= static_cast<u16>(~0xB0);
    SR_Put(55, v);
}

// A clean end asked for by SIGTERM or SIGINT: the register image is saved
// and the clean-stop marker written, as at a power-down, so the next start
// restores the registers and the mode without counting an unclean stop.
[[noreturn]] void CleanExit() {
    Service_StopAll();
    Dartu_StopThread(1000);
    PersistFlags_Set(PersistFlags_Get() | kPfCleanStop);
    // Stopping the IEC application saves its retained values.
    if (QuilletRuntime) QuilletStop();
    AutoSaveRegisters();
    CreateSavedFile();
    StopWatchdog();
    Main_EndChildren();
    std::printf("controller stopped\n");
    std::fflush(stdout);
    std::exit(kExitNormal);
}

}  // namespace

void Main_Reset() {
    g_stopRequested = 0;
    g = State{};
    Main_CountedPasses = 0;
}

void DebugMsg(const char* text) { std::printf("%s\n", text); }

void Enable_Interrupt(int on) {
    if (on != 0) return;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

void Delay(u32 milliseconds) {
    const u32 start = FPGA_GetFrt();
    const u32 ticks = milliseconds * 10;
    for (u32 spent; (spent = FPGA_GetFrt() - start) < ticks;)
        Clock_NoteDeadline(Clock_MonotonicNs() + static_cast<u64>(ticks - spent) * 100000ull);
    Clock_NoteDeadline(0);
}

void ExecutePMGR_Loop() {
    u32 count = driverPassPeers.count();
    for (u32 i = 0; count >= 1 && count <= 8 && i < count; ++i) {
        u8 bit = static_cast<u8>(1u << i);
        if (g.pmgrBusy & bit) continue;
        g.pmgrBusy |= bit;
        driverPassPeers.pass(static_cast<int>(i));
        g.pmgrBusy &= static_cast<u8>(~bit);
        count = driverPassPeers.count();
    }
}

u32 Main_StepProtocolDrivers(u32 now) {
    ExecutePMGR_Loop();
    return Service_NextTick(now);
}

u32 Main_StepStatusBits(u32 now) {
    UpdateSystemBits();
    return Service_NextTick(now);
}

u32 Main_StepScan(u32 now) {
    if (!Sys_AutoLoad) PlcScan();
    // A running controller scans at the pace of the old fixed 1 ms wait; an
    // automatic load steps at that pace too. Stopped, the tick is enough.
    if (Sys_AutoLoad || (SR_Get(5) & 0xFF) != kModeStop) return now + 10;
    return Service_NextTick(now);
}

u32 Main_StepBatteryTest(u32 now) {
    if (SYS_BattTest())
        SR_Put(4, SR_Get(4) & ~kSr4BatteryLow);
    else
        SR_Put(4, SR_Get(4) | kSr4BatteryLow);
    return Service_NextTick(now);
}

u32 Main_StepFaultMirror(u32 now) {
    MirrorFaults();
    return Service_NextTick(now);
}

u32 Main_StepPowerDown(u32 now) {
    if (PowerdownSignal) PowerDown();
    return Service_NextTick(now);
}

int The_Loop(int) {
    g.due = Service_Pass(FPGA_GetFrt());
    return 1;
}

int ExecuteSubLoop_Wait(int) {
    int r = The_Loop(0);
    Service_IdleWait(g.due);
    return r;
}

void Main_WebStep() {
    dartu_check_ftp_state();
    if (Cmd_Downloading && QuilletRuntime && quillet_variables_enumerateded) {
        DartuServerState = kDartuStop;
        return;
    }
    switch (DartuServerState.load()) {
        case kDartuStart:
            if (!DartuFtping && !DartuThreadCreated) {
                // The new thread listens on the addresses as they are now: an
                // address change noted before it cannot call for a restart.
                DartuUpdateNewIp = 0;
                DartuThreadCreated = 1;
                DartuServerState = kDartuCreated;
                dartu_thread_create();
            }
            break;
        case kDartuRunning:
            if (DartuUpdateNewIp == 1) DartuServerState = kDartuStop;
            break;
        case kDartuStopped:
            if (DartuUpdateNewIp == 1) {
                DartuServerState = kDartuStart;
                DartuUpdateNewIp = 0;
            }
            break;
        default:
            break;
    }
}

void Main_Iteration() {
    // The pass and the MQTT step run holding demoMutex; the web-HMI server
    // thread gets it between passes.
    Dartu_MainLoopTake();
    The_Loop(0);
    mqttStateLoop();
    Dartu_MainLoopGive();
    if (DartuHttp && Main_CountedPasses > 100) {
        Main_WebStep();
    } else if (!Cmd_Downloading && Main_CountedPasses < 101) {
        Main_CountedPasses++;
    }
    Service_IdleWait(g.due);
}

bool WatchdogScanStep() {
    int fd = SYS_WatchdogFd();
    if (fd >= 0) {
        // The driver reports whole seconds; the window is in milliseconds.
        int left = Watchdog_TimeLeft(fd);
        if (left >= 0) {
            long ms = static_cast<long>(left) * 1000;
            if (ms >= 400 && ms <= 1000) {
                AutoSaveRegisters();
                return true;
            }
        }
    }
    watchdogStModeStatus();
    return false;
}

void* WatchdogScan(void*) {
    for (;;) {
        if (WatchdogScanStep()) {
            // The registers are saved; nothing more to do until the reset.
            for (;;) SleepMs(1000);
        }
        SleepMs(500);
    }
    return nullptr;
}

int PlcMain(int argc, char** argv) {
    Wiring_Connect();
    return PlcStart(argc, argv);
}

int PlcStart(int argc, char** argv) {
    (void)argv;
    // A neighbour left unwired would fail silently later: refuse to start.
    std::vector<std::string> missing = Wiring_Missing();
    if (!missing.empty()) {
        for (const std::string& entry : missing)
            std::fprintf(stderr, "start refused: neighbour entry %s is not wired\n", entry.c_str());
        return 1;
    }
    if (!Root_Init()) {
        std::fprintf(stderr, "cannot create the root folder\n");
        return 1;
    }
    // A test that drives the board's clock runs the controller on it.
    if (Clock_UseBoardIfDriven()) std::printf("clock: driven by the board\n");
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::perror("Failed to get limit..\n");
        return -1;
    }
    limit.rlim_cur = 4096;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 4096) limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::perror("Failed to set limit..\n");
        return -1;
    }
    WDmainPid = getpid();

    SYS_HardwareCheck();
    if (!GPIOInit()) return 1;  // no board registers: nothing may run
    Timer_Init(&fpga_port, 100);

    BIS = argc;
    if (argc == 2) {
        BootMode = 1;
        InstallBoot();
    }
    InstallSignals();
    if (argc < 2) SysCmd_Run("echo 0 > /proc/sys/kernel/printk");
    if (argc > 2) WatchDogDisable = 1;
    BootMode = 0;

    for (int attempt = 0; attempt < 10; ++attempt)
        if (LoadProgram()) break;
    for (int attempt = 0; attempt < 10; ++attempt)
        if (AutoLoadRegisters()) break;

    CFM_CreateQueues();
    std::fflush(nullptr);
    std::atexit(Main_EndChildren);
    StartFreeSpaceChild();
    if (Main_KernelBuild() > 3543) StartWatchdogThread();
    MasterScript_Start();

    StartWatchdog();
    Dpram_Init();
    const char* product = nullptr;
    int eraseRequest = SYS_Init(&product);
    SR_Put(4, 0);
    SR_Put(34, 0);
    Vcomm_Init();
    SCI0_Init(0);
    SCI4_Init(2);
    SCI1_Init(1);
    SYS_MenuOption(0, SR_Get(164) & 1);
    SYS_MenuOption(1, (SR_Get(164) >> 1) & 1);

    int defaults = nvram_init(eraseRequest, 0, 0);
    if (defaults != 0) SaveProgram();

    PlcInit(defaults);
    NetConfig();
    TickleWatchdogReal();
    if (!SYS_BattTest()) SR_Put(4, SR_Get(4) | kSr4BatteryLow);
    IoConfig();

    Oem_GetSignon(productId, SR_Get(37), GetLe16(Cmd_SS_Info));
    Oem_GetModel(reinterpret_cast<char*>(&plc_reg[2 * (127 + 131)]), SR_Get(37), GetLe16(Cmd_SS_Info));

    MirrorFaults();
    TickleWatchdogReal();

    if (SR_Get(164) & 0x20) {
        if ((SR_Get(4) & 0x4004) != 0 || ladder_bl.Size() == 2) Sys_AppLoad = 1;
    }
    Cmd_Init();
    FwUpdate_Init();
    UpdateSystemBits();
    SR_Put(2, 0);
    SR_Put(3, 0);
    SYS_ResetRCBs(2);
    CFM_Open();
    RCT_Init();
    SYS_LoadRCBs();

    u8 mode = SR_Get(5) & 0xFF;
    SR_Put(5, 0);
    SetPlcMode(mode);
    if ((SR_Get(5) & 0xFF) > 1) IoStart();

    if ((SR_Get(164) & 0x20) && Sys_AppLoad == 1 && !Sys_AutoLoad) {
        Sys_AutoLoad = 1;
        Sys_ALstmcInited = 0;
    }
    struct stat st;
    if (stat(Root_HostPath("/mnt/USB0/EndOfFTP.txt").c_str(), &st) == 0) {
        SysCmd_Run("rm /mnt/USB0/EndOfFTP.txt");
        SysCmd_Run("sync");
    }
    Dartu_InitMutexes();
    Cf_Check(0);
    Cf_Check(2);

    Service_InitAll();
    std::printf("%s: main loop running\n", product != nullptr ? product : "controller");
    std::fflush(stdout);
    while (!g_stopRequested) Main_Iteration();
    CleanExit();
}
