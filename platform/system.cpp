#include "platform/system.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "platform/root.h"
#include "platform/watchdog.h"

u8 tinyImage[kTinyImageBytes];
const char version[] = "15.50 12-Apr-2021";
char KernelRev[kKernelRevBytes];
u16 InitRdVer = 0;
char productId[32];
u8 WatchDogDisable = 0;
u8 AutoregFailed = 0;

namespace {

int g_watchdogFd = -1;

// Kernel release from the text "uname -a" printed: digits and dots are
// collected (a leading "4" is skipped, at most 20 kept); a blank after the
// first collected character or the end of the text ends the scan.
void ParseKernelRelease(const std::vector<u8>& text) {
    char collected[21] = {};
    int n = 0;
    for (u8 c : text) {
        if ((c >= '0' && c <= '9') || c == '.') {
            if (n == 0 && c == '4') continue;
            if (n < 20) collected[n++] = static_cast<char>(c);
        } else if (c == ' ' && n > 0) {
            break;
        }
    }
    std::memset(KernelRev, 0, sizeof KernelRev);
    int first = n < 7 ? n : 7;
    std::memcpy(KernelRev, collected, static_cast<size_t>(first));
    if (n >= 2) {
        KernelRev[7] = collected[n - 2];
        KernelRev[8] = collected[n - 1];
    }
    KernelRev[9] = 0;
}

void PublishVersions() {
    ESR_Put(8, InitRdVer);
    for (int i = 0; i < 5; ++i) {
        u16 w = static_cast<u16>(static_cast<u8>(KernelRev[2 * i]) | (static_cast<u8>(KernelRev[2 * i + 1]) << 8));
        ESR_Put(9 + i, w);
    }
}

}  // namespace

void SYS_Reset() {
    std::memset(tinyImage, 0, sizeof tinyImage);
    std::memset(KernelRev, 0, sizeof KernelRev);
    InitRdVer = 0;
    WatchDogDisable = 0;
    AutoregFailed = 0;
    if (g_watchdogFd >= 0) StopWatchdog();
}

void SYS_HardwareCheck() {
    std::vector<u8> image;
    std::memset(tinyImage, 0, sizeof tinyImage);
    // A file longer than the image gives its first 124 bytes.
    if (File_ReadAll(Root_HostPath("/mnt/cfg/TINYIMGE.BIN"), image, 1u << 20)) {
        size_t n = image.size() < kTinyImageBytes ? image.size() : kTinyImageBytes;
        std::memcpy(tinyImage, image.data(), n);
    }
    tinyImage[4] = 24;
    tinyImage[5] = 24;

    static const char* const kTuning[] = {
        "killall -9 inetd",
        "echo 10 >  /proc/sys/vm/dirty_writeback_centisecs",
        "echo 20 >  /proc/sys/vm/dirty_expire_centisecs",
        "echo 0 > /proc/sys/net/ipv4/conf/eth0/arp_filter",
        "echo 0 > /proc/sys/net/ipv4/conf/eth1/arp_filter",
        "echo 1 > /proc/sys/net/ipv4/conf/all/arp_ignore",
        "echo 1 > /proc/sys/net/ipv4/conf/all/proxy_arp",
        "echo 5 > /proc/sys/net/ipv4/tcp_retries2",
        "uname -a > /dev/shm/rev.txt",
    };
    for (const char* line : kTuning) SysCmd_Run(line);
    const u8 zero = 0;
    File_WriteAtomic(Root_HostPath("/sys/class/graphics/fbcon/cursor_blink"), &zero, 1);

    std::vector<u8> rev;
    if (!File_ReadAll(Root_HostPath("/dev/shm/rev.txt"), rev, 4096)) rev.clear();
    ParseKernelRelease(rev);

    std::vector<u8> ver;
    InitRdVer = 0;
    if (File_ReadAll(Root_HostPath("/usr/version"), ver, 4096)) {
        u32 v = 0;
        for (u8 c : ver) {
            if (c < '0' || c > '9') break;
            v = v * 10 + (c - '0');
            if (v > 0xFFFF) break;
        }
        InitRdVer = static_cast<u16>(v);
    }
    PublishVersions();
}

int SYS_Init(const char** productText) {
    std::snprintf(productId, sizeof productId, "Controller: %.5s", version);
    if (productText != nullptr) *productText = productId;
    SR_Put(37, kModelCode);
    struct sigaction sa {};
    sa.sa_handler = ExceptionISR;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
    return fwload_set_def ? 1 : 0;
}

// Fault handling. The board would keep the panel alive for a 59-second
// countdown before it resets; here the crash log is written, the messages
// printed and the process ends at once with the warm-reset code, so that the
// run script restarts it. Only async-signal-safe calls are used.
void ExceptionISR(int signalNumber) {
    auto say = [](const char* text) {
        ssize_t r = write(STDOUT_FILENO, text, std::strlen(text));
        (void)r;
    };
    GenLogFile();
    say("System Exception Occurred\n");
    switch (signalNumber) {
        case SIGILL: say("Illegal Code execution\n"); break;
        case SIGABRT: say("Buffer Overflow error\n"); break;
        case SIGBUS: say("Memory Alignment Fault\n"); break;
        case SIGSEGV: say("Invalid Memory Access Fault\n"); break;
        default: say("Erroneous Arithmetic Operation performed\n"); break;
    }
    if (g_watchdogFd >= 0) {
        Watchdog_Write(g_watchdogFd, "V", 1);
        Watchdog_Close(g_watchdogFd);
        g_watchdogFd = -1;
    }
    _exit(kExitWarmReset);
}

void StartWatchdog() {
    if (WatchDogDisable || g_watchdogFd >= 0) return;
    g_watchdogFd = Watchdog_Open();
    if (g_watchdogFd >= 0) Watchdog_SetTimeout(g_watchdogFd, 5);
}

void StopWatchdog() {
    if (g_watchdogFd < 0) return;
    Watchdog_Write(g_watchdogFd, "V", 1);
    Watchdog_Close(g_watchdogFd);
    g_watchdogFd = -1;
}

void TickleWatchdogReal() {
    if (g_watchdogFd >= 0) Watchdog_Write(g_watchdogFd, "w", 1);
}

void set_watchdog_time(int seconds) {
    if (g_watchdogFd >= 0) Watchdog_SetTimeout(g_watchdogFd, seconds);
}

int SYS_WatchdogFd() { return g_watchdogFd; }

void SYS_WarmReset() {
    PersistFlags_Set(kPfCleanStop);
    AutoSaveRegisters();
    CreateSavedFile();
    StopWatchdog();
    std::fflush(nullptr);
    std::exit(kExitWarmReset);
}

void SYS_MenuOption(int option, int on) {
    int bank, pin;
    if (option == 0) {
        bank = kOption0Bank;
        pin = kOption0Pin;
    } else if (option == 1) {
        bank = kOption1Bank;
        pin = kOption1Pin;
    } else {
        return;
    }
    if (on)
        Board_GpioOutSet(bank, 1u << pin);
    else
        Board_GpioOutClear(bank, 1u << pin);
}

int SYS_BattTest() {
    if (AutoregFailed || ESR_Get(6) <= 3000 || ESR_Get(4) == 10) return 0;
    return 1;
}

void SYS_ResetRCBs(int) {}
void SYS_LoadRCBs() {}
void SYS_Update() {}
