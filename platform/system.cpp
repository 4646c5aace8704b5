#include "platform/system.h"

#include <fcntl.h>
#include <signal.h>
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
#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/fpga.h"
#include "platform/reset.h"
#include "platform/root.h"
#include "platform/rtclock.h"
#include "platform/touch.h"
#include "platform/watchdog.h"

u8 tinyImage[kTinyImageBytes];
const char version[] = "15.50 12-Apr-2021";
char KernelRev[kKernelRevBytes];
u16 InitRdVer = 0;
char productId[32];
u8 WatchDogDisable = 0;
u8 AutoregFailed = 0;
SysPeers sysPeers;

namespace {

// ---------------------------------------------------------------------------
// State.

constexpr u32 kRcbList0 = 400, kRcbList1 = 64, kRcbList2 = 16;
SysRcb g_rcbList0[kRcbList0];
SysRcb g_rcbList1[kRcbList1];
SysRcb g_rcbList2[kRcbList2];

// Termination switching of serial ports 1 and 2.
struct TermPort {
    int srBit;
    u8 onBits, offBits, keep;
    bool known = false;  // a value was applied
    u8 applied = 0;
    bool waiting = false;
    u8 wanted = 0;
    u32 stamp = 0;
};
constexpr u32 kTermPulseTicks = 150;  // 15 ms of the free-running counter

struct State {
    int fd6Holder = -1;  // "/usr/version" kept on descriptor 6 (see StartWatchdog)
    SysRcb* rcbList = g_rcbList2;
    u32 rcbCapacity = kRcbList2;
    u32 rcbCount = 0;
    int mailboxState[kSysMailboxes]{};
    TermPort term[2] = {{0, 0x10, 0x20, 0x30}, {1, 0x40, 0x80, 0xC0}};
    u8 termControl = 0;
    int countdown = kFaultCountdownS;
};
State g;
// Read by the fault handler: kept apart from the record so that the handler
// reads one plain descriptor.
volatile int g_watchdogFd = -1;

// Fault handling: everything the handler needs is prepared beforehand, so
// that it only makes async-signal-safe calls.
constexpr size_t kPathMax = 1024;
char g_autoregPath[kPathMax];
char g_autoregTmp[kPathMax];
char g_savedPath[kPathMax];
char g_savedTmp[kPathMax];
volatile sig_atomic_t g_inFault = 0;
constexpr size_t kAltStackBytes = 256 * 1024;
alignas(16) u8 g_altStack[kAltStackBytes];
u8 g_faultHeader[8];
constexpr char kSavedText[] = "Saved autoreg.dta";

// ---------------------------------------------------------------------------
// Helpers.

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

// The address text of a port in the board identity record, as the Ethernet
// layer keeps it ("%02X:..." upper case).
void FormatMacText(const u8* mac, u8* text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 6; ++i) {
        text[3 * i] = static_cast<u8>(kHex[mac[i] >> 4]);
        text[3 * i + 1] = static_cast<u8>(kHex[mac[i] & 0xF]);
        if (i < 5) text[3 * i + 2] = ':';
    }
}

void SetMac(int port) {
    const u8* mac = tinyImage + (port == 0 ? kTinyMac0 : kTinyMac1);
    FormatMacText(mac, tinyImage + (port == 0 ? kTinyMacText0 : kTinyMacText1));
    if (sysPeers.setMacId) sysPeers.setMacId(mac, port);
}

void CopyPath(char* out, const std::string& path) {
    if (path.size() >= kPathMax) {
        out[0] = 0;
        return;
    }
    std::memcpy(out, path.c_str(), path.size() + 1);
}

void SafeSay(const char* text) {
    size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t w = write(STDOUT_FILENO, text, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        text += w;
        len -= static_cast<size_t>(w);
    }
}

bool SafeWriteAll(int fd, const void* data, size_t size) {
    const u8* p = static_cast<const u8*>(data);
    while (size > 0) {
        ssize_t w = write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

// Power-safe write with async-signal-safe calls only: a temporary file,
// synced, renamed over the target.
bool SafeWriteFile(const char* path, const char* tmp, const void* a, size_t an, const void* b, size_t bn) {
    if (path[0] == 0 || tmp[0] == 0) return false;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = SafeWriteAll(fd, a, an) && (bn == 0 || SafeWriteAll(fd, b, bn)) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return false;
    }
    return true;
}

// The warm reset as the fault handler can do it: the same files as
// SYS_WarmReset, written without stdio, locks or allocation.
[[noreturn]] void FaultWarmReset() {
    PersistFlags_Set(kPfCleanStop);
    // The image is only ever replaced: a missing file was deleted on purpose.
    if (g_autoregPath[0] != 0 && access(g_autoregPath, F_OK) == 0) {
        PutLe16(g_faultHeader, crc16(plc_reg, kPlcRegBytes));
        PutLe16(g_faultHeader + 2, 0);
        PutLe32(g_faultHeader + 4, kPlcRegBytes);
        SafeWriteFile(g_autoregPath, g_autoregTmp, g_faultHeader, sizeof g_faultHeader, plc_reg, kPlcRegBytes);
    }
    SafeWriteFile(g_savedPath, g_savedTmp, kSavedText, sizeof kSavedText - 1, nullptr, 0);
    sync();
    _exit(kExitWarmReset);
}

const char* FaultMessage(int signalNumber) {
    switch (signalNumber) {
        case SIGILL: return "Illegal Code execution\n";
        case SIGABRT: return "Buffer Overflow error\n";
        case SIGBUS: return "Memory Alignment Fault\n";
        case SIGSEGV: return "Invalid Memory Access Fault\n";
        default: return "Erroneous Arithmetic Operation performed\n";
    }
}

void SayCountdown(int count) {
    char line[] = "Reset in:59\n";
    line[9] = static_cast<char>('0' + count / 10);
    line[10] = static_cast<char>('0' + count % 10);
    SafeSay(line);
}

void FaultPanelStep() {
    Touch_FaultTick();
    SYS_SetStatusLeds(kLedFast, kLedFast);
}

// ---------------------------------------------------------------------------
// Special system registers.

bool IsSpecial(u32 address) { return address >= kSpecialFirst && address <= kSpecialLast; }

void NetRead(int iface, int field, u8* out) {
    if (sysPeers.netRead) sysPeers.netRead(iface, field, out, kRcbScratchBytes);
}

void NetWrite(int iface, int field, const u8* in, u32 len) {
    if (sysPeers.netWrite) sysPeers.netWrite(iface, field, in, len);
}

void EsrOut(u8* s, int first, int count) {
    for (int i = 0; i < count; ++i) PutLe16(s + 2 * i, ESR_Get(first + i));
}

void EsrIn(const u8* s, int first, int count) {
    for (int i = 0; i < count; ++i) ESR_Put(first + i, GetLe16(s + 2 * i));
}

void ReadSpecial(u32 id, u8* s) {
    switch (id) {
        case 992: case 993: NetRead(static_cast<int>(id - 992), kNetDhcp, s); break;
        case 994: case 995: NetRead(static_cast<int>(id - 994), kNetDns, s); break;
        case 996: EsrOut(s, 16, 1); break;
        case 1002: s[0] = sysPeers.webServerRunning && sysPeers.webServerRunning() ? 1 : 0; break;
        case 1003: s[0] = sysPeers.webUserLoggedIn && sysPeers.webUserLoggedIn() ? 1 : 0; break;
        case 1005: {
            i16 offset = static_cast<i16>(ESR_Get(18));
            PutLe16(s + 2, static_cast<u16>(static_cast<i16>(offset % 60)));
            PutLe16(s + 4, static_cast<u16>(static_cast<i16>(offset / 60)));
            break;
        }
        case 1006: EsrOut(s, 19, 1); break;
        case 1007: EsrOut(s, 20, 3); break;
        case 1008: EsrOut(s, 23, 3); break;
        case 1010: case 1011: case 1012: case 1013: EsrOut(s, 3 + static_cast<int>(id - 1010), 1); break;
        case 1014: std::memcpy(s, tinyImage + kTinyMacText0, kMacTextChars); break;
        case 1015: case 1016: case 1017: NetRead(0, kNetIp + static_cast<int>(id - 1015), s); break;
        case 1018: std::memcpy(s, tinyImage + kTinyMacText1, kMacTextChars); break;
        case 1019: case 1020: case 1021: NetRead(1, kNetIp + static_cast<int>(id - 1019), s); break;
        case 1022: std::memcpy(s, KernelRev, kKernelRevBytes); break;
        case 1023: PutLe16(s, InitRdVer); break;
        default: break;
    }
}

void WriteSpecial(u32 id, const u8* s, u32 len) {
    switch (id) {
        case 992: case 993: NetWrite(static_cast<int>(id - 992), kNetDhcp, s, len); break;
        case 994: case 995: NetWrite(static_cast<int>(id - 994), kNetDns, s, len); break;
        case 1005: {
            i16 minutes = static_cast<i16>(GetLe16(s + 2));
            i16 hours = static_cast<i16>(GetLe16(s + 4));
            ESR_Put(18, static_cast<u16>(static_cast<i16>(minutes + 60 * hours)));
            UtcUpdated = 1;
            break;
        }
        case 1006: EsrIn(s, 19, 1); break;
        case 1007:
            EsrIn(s, 20, 3);
            UtcUpdated = 1;
            break;
        case 1008:
            EsrIn(s, 23, 3);
            UtcUpdated = 1;
            break;
        case 1015: case 1016: case 1017: NetWrite(0, kNetIp + static_cast<int>(id - 1015), s, len); break;
        case 1019: case 1020: case 1021: NetWrite(1, kNetIp + static_cast<int>(id - 1019), s, len); break;
        default: break;  // read-only or unused identifiers change nothing
    }
}

u32 RcbBytes(const SysRcb* rcb) {
    u32 n = rcb->bytes & 0x7F;
    return n < kRcbScratchBytes ? n : kRcbScratchBytes;
}

// Bytes beyond the data: 0xFF when sign fill applies and the last data byte
// is negative, else 0.
u8 FillByte(const SysRcb* rcb, const u8* data, u32 dataBytes) {
    return (rcb->bytes & kRcbSignFill) && dataBytes > 0 && (data[dataBytes - 1] & 0x80) ? 0xFF : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up.

void SYS_Reset() {
    std::memset(tinyImage, 0, sizeof tinyImage);
    std::memset(KernelRev, 0, sizeof KernelRev);
    InitRdVer = 0;
    WatchDogDisable = 0;
    AutoregFailed = 0;
    if (g_watchdogFd >= 0) StopWatchdog();
    if (g.fd6Holder >= 0) close(g.fd6Holder);
    g = State{};
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
    SetMac(0);  // also without the file
    if (tinyImage[kTinyMac1 + 1] != 0) SetMac(1);

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

    g.countdown = kFaultCountdownS;
    if (const char* s = std::getenv("PLC_FAULT_COUNTDOWN_S")) {
        char* end = nullptr;
        long v = std::strtol(s, &end, 10);
        if (end != s && *end == 0 && v >= 0 && v <= kFaultCountdownS) g.countdown = static_cast<int>(v);
    }
    CopyPath(g_autoregPath, Root_HostPath("/mnt/cfg/autoreg.dta"));
    CopyPath(g_autoregTmp, Root_HostPath("/mnt/cfg/autoreg.dta.fault"));
    CopyPath(g_savedPath, Root_HostPath("/mnt/cfg/saved.dat"));
    CopyPath(g_savedTmp, Root_HostPath("/mnt/cfg/saved.dat.fault"));
    GenLogFile_Prepare();
    // Touch the board and the counter once so that the handler never maps
    // or initialises anything.
    (void)Board_GpioOut(kLedABank);
    (void)FPGA_GetFrt();

    stack_t ss{};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_handler = ExceptionISR;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESETHAND | SA_ONSTACK;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
    g_inFault = 0;
    return fwload_set_def ? 1 : 0;
}

int SYS_FaultCountdown() { return g.countdown; }

void ExceptionISR(int signalNumber) {
    // A second fault, in another thread, waits for the first to reset.
    if (__atomic_exchange_n(&g_inFault, 1, __ATOMIC_SEQ_CST) != 0) {
        for (;;) pause();
    }
    alarm(0);  // disarms the real-time interval timer
    if (signalNumber != 0) {
        GenLogFile();
        SafeSay("System Exception Occurred\n");
        SafeSay(FaultMessage(signalNumber));
    } else {
        char text[] = "Error Code:  :  :  :  :  :   Please Contact Factory for further details\n";
        std::memcpy(text + 12, tinyImage + kTinyMacText0, kMacTextChars);
        for (size_t i = 12; i < 12 + kMacTextChars; ++i)
            if (text[i] == 0) text[i] = ' ';
        SafeSay("BOOT FAILURE\n");
        SafeSay(text);
    }
    Watchdog_StopFromSignal();
    g_watchdogFd = -1;

    int count = g.countdown;
    u32 last = FPGA_GetFrt();
    while (count > 0) {
        FaultPanelStep();
        if (FPGA_GetFrt() - last >= 10000) {
            last += 10000;
            --count;
            SayCountdown(count);
        } else {
            SleepMs(10);
        }
    }
    if (signalNumber == 0) {
        // The display stays until the power is removed.
        for (;;) {
            FaultPanelStep();
            SleepMs(10);
        }
    }
    FaultWarmReset();
}

// ---------------------------------------------------------------------------
// Watchdog.

void StartWatchdog() {
    if (WatchDogDisable || g_watchdogFd >= 0) return;
    int fd = Watchdog_Open();
    // The board's driver misbehaves on descriptor 6: keep that descriptor
    // taken and open the device again.
    if (fd == 6) {
        Watchdog_Write(fd, "V", 1);
        Watchdog_Close(fd);
        g.fd6Holder = open(Root_HostPath("/usr/version").c_str(), O_RDONLY | O_CLOEXEC);
        // Without the version file any harmless read-only file will hold it.
        if (g.fd6Holder < 0) g.fd6Holder = open("/dev/null", O_RDONLY | O_CLOEXEC);
        fd = Watchdog_Open();
    }
    g_watchdogFd = fd;
    if (fd >= 0) Watchdog_SetTimeout(fd, 5);
}

void StopWatchdog() {
    int fd = g_watchdogFd;
    if (fd < 0) return;
    Watchdog_Write(fd, "V", 1);
    Watchdog_Close(fd);
    g_watchdogFd = -1;
}

void TickleWatchdogReal() {
    int fd = g_watchdogFd;
    if (fd < 0) return;
    Watchdog_Write(fd, "w", 1);
}

void set_watchdog_time(int seconds) {
    int fd = g_watchdogFd;
    if (fd >= 0) Watchdog_SetTimeout(fd, seconds);
}

int SYS_WatchdogFd() { return g_watchdogFd; }

// ---------------------------------------------------------------------------
// Resets.

void SYS_WarmReset() {
    PersistFlags_Set(kPfCleanStop);
    AutoSaveRegisters();
    CreateSavedFile();
    StopWatchdog();
    SysCmd_Run("sync");
    Board_Flush();
    std::fflush(nullptr);
    std::exit(kExitWarmReset);
}

void SYS_VDG() {
    DeleteProgram();
    DelAutoRegFile();
    ClrRegFile();
    SysCmd_Run("sync");
    StopWatchdog();
    Board_Flush();
    std::fflush(nullptr);
    std::exit(kExitWarmReset);
}

void SYS_Wait(u32 n) {
    const u32 start = FPGA_GetFrt();
    const u32 ticks = n * 100;
    while (FPGA_GetFrt() - start < ticks) SleepMs(1);
}

// ---------------------------------------------------------------------------
// Panel outputs, LEDs, battery.

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

void SYS_SetStatusLeds(int stateA, int stateB) {
    bool a;
    switch (stateA) {
        case kLedOn: a = true; break;
        case kLedSlow: case kLedAlternate: a = sysFlash != 0; break;
        case kLedFast: a = Flash100ms != 0; break;
        default: a = false; break;
    }
    bool b;
    switch (stateB) {
        case kLedOn: b = true; break;
        case kLedSlow: b = sysFlash != 0; break;
        case kLedAlternate: b = sysFlash == 0; break;
        default: b = stateA == kLedFast && Flash100ms != 0; break;
    }
    const u32 pinA = 1u << kLedAPin, pinB = 1u << kLedBPin;
    static_assert(kLedABank == kLedBBank, "both LEDs are written with one bank access");
    const u32 on = (a ? pinA : 0) | (b ? pinB : 0);
    const u32 off = (pinA | pinB) & ~on;
    if (on) Board_GpioOutSet(kLedABank, on);
    if (off) Board_GpioOutClear(kLedABank, off);
}

int SYS_GetOkLed() {
    if (SR_Get(34) == 0 || S_Get(11)) return kLedSlow;
    return SR_Get(55) == 0 ? kLedOn : kLedOff;
}

int SYS_GetRunLed() {
    u16 mode = SR_Get(5);
    if (mode == 0) return kLedOff;
    if (mode == 2 && GetLe16(ladder) != 9) return kLedOn;
    return kLedSlow;
}

// ---------------------------------------------------------------------------
// Register control blocks.

void SYS_ResetRCBs(int mode) {
    if (mode == 0) {
        g.rcbList = g_rcbList0;
        g.rcbCapacity = kRcbList0;
    } else if (mode == 1) {
        g.rcbList = g_rcbList1;
        g.rcbCapacity = kRcbList1;
    } else {
        g.rcbList = g_rcbList2;
        g.rcbCapacity = kRcbList2;
    }
    g.rcbCount = 0;
    std::memset(g.rcbList, 0, sizeof(SysRcb) * g.rcbCapacity);
}

SysRcb* SYS_LinkReg(u32 address, u16 format) {
    if (g.rcbCount >= g.rcbCapacity) return nullptr;
    SysRcb* r = &g.rcbList[g.rcbCount++];
    std::memset(r, 0, sizeof *r);
    r->address = address;
    r->address2 = address;
    u32 bits;
    bool signFill = false;
    if (format & 0x8000) {
        bits = (format & 0x7Fu) * 8;
    } else {
        u32 f = format & 0x3Fu;
        switch ((format >> 6) & 3) {
            case 3: bits = f * 8; break;
            case 0:
                bits = f;
                signFill = true;
                break;
            default: bits = f; break;
        }
    }
    r->bits = static_cast<u16>(bits);
    r->bytes = static_cast<u8>(((bits + 7) / 8) | (signFill ? kRcbSignFill : 0));
    return r;
}

void SYS_LoadRCBs() {}

int SYS_ReadReg(void* destination, const SysRcb* rcb, u32 n) {
    if (destination == nullptr || rcb == nullptr) return 0;
    u8 scratch[kRcbScratchBytes] = {};
    const u32 dataBytes = RcbBytes(rcb);
    int ok = 1;
    if (IsSpecial(rcb->address)) {
        ReadSpecial(rcb->address, scratch);
    } else if (rcb->bits != 0 && rcb->bits <= kRcbScratchBytes * 8) {
        ok = PlcReg_Get(scratch, rcb->address, rcb->bits);
        if (!ok) std::memset(scratch, 0, sizeof scratch);
    }
    const u8 fill = FillByte(rcb, scratch, dataBytes);
    u8* out = static_cast<u8*>(destination);
    for (u32 i = 0; i < n; ++i) out[i] = i < dataBytes ? scratch[i] : fill;
    return ok;
}

int SYS_WriteReg(const SysRcb* rcb, const void* source, u32 n) {
    if (rcb == nullptr || (source == nullptr && n != 0)) return 0;
    // The value is built as a read would deliver it: the source bytes, then
    // the fill, so that nothing is read beyond the n source bytes.
    u8 scratch[kRcbScratchBytes];
    const u8* in = static_cast<const u8*>(source);
    const u32 have = n < kRcbScratchBytes ? n : kRcbScratchBytes;
    const u8 fill = FillByte(rcb, in, have);
    for (u32 i = 0; i < kRcbScratchBytes; ++i) scratch[i] = i < have ? in[i] : fill;
    if (IsSpecial(rcb->address)) {
        WriteSpecial(rcb->address, scratch, RcbBytes(rcb));
        return 1;
    }
    if (rcb->bits == 0 || rcb->bits > kRcbScratchBytes * 8) return 0;
    return PlcReg_Set(rcb->address, scratch, rcb->bits);
}

int SYS_WriteRogueRCB(const SysRcb* rcb, u32 offset, u32 bits, const void* source) {
    if (rcb == nullptr || source == nullptr) return 0;
    u8* p = PlcReg_Ptr(rcb->address + offset, bits);
    if (p == nullptr) return 0;
    std::memcpy(p, source, (bits + 7) / 8);
    return 1;
}

// ---------------------------------------------------------------------------
// Board identity, settings image, flash helpers.

void SYS_GetMACID(u8* destination) {
    if (destination) std::memcpy(destination, tinyImage, kTinyImageBytes);
}

int SYS_ReadCmd(void* destination, u32 offset, u32 length) {
    if (destination == nullptr || offset > kBbramBytes || length > kBbramBytes - offset) return 0;
    std::memcpy(destination, bbram + offset, length);
    return 1;
}

int SYS_WriteCmd(const void* source, u32 offset, u32 length) {
    if (source == nullptr || offset > kBbramBytes || length > kBbramBytes - offset) return 0;
    std::memcpy(bbram + offset, source, length);
    SaveBBRAMFile();
    return 1;
}

int SYS_BlockErase(u8* block, u32 length) {
    if (block) std::memset(block, 0xFF, length < 1024 ? length : 1024);
    return 1;
}

void SYS_FlashWrite(const u16* source, u16* destination, u32 count) {
    if (source && destination) std::memmove(destination, source, static_cast<size_t>(count) * 2);
}

// ---------------------------------------------------------------------------
// Neighbours, mailboxes, termination.

void SysPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, sysPeers, netRead);
    NEIGHBOUR_REQUIRE(check, sysPeers, netWrite);
    NEIGHBOUR_REQUIRE(check, sysPeers, webUserLoggedIn);
    NEIGHBOUR_REQUIRE(check, sysPeers, webServerRunning);
    NEIGHBOUR_REQUIRE(check, sysPeers, ioTermSet);
    NEIGHBOUR_REQUIRE(check, sysPeers, setMacId);
    NEIGHBOUR_REQUIRE(check, sysPeers, mailbox);
    NEIGHBOUR_REQUIRE(check, sysPeers, mailboxLoad);
    NEIGHBOUR_REQUIRE(check, sysPeers, mailboxPoll);
}

int SYS_MailboxState(int index) { return index >= 0 && index < kSysMailboxes ? g.mailboxState[index] : 0; }

void SYS_Update() {
    for (int i = 0; i < kSysMailboxes; ++i) {
        if (!sysPeers.mailbox || !sysPeers.mailboxLoad || !sysPeers.mailboxPoll) break;
        u8* base = sysPeers.mailbox(i);
        if (base == nullptr) continue;
        int& state = g.mailboxState[i];
        if (state == 0) {
            if (base[0] != base[1] && sysPeers.mailboxLoad(i) == 1) state = 2;
        } else if (state == 2) {
            i32 result = 0;
            if (sysPeers.mailboxPoll(i, &result) == 4) {
                PutLe32(base + 4, static_cast<u32>(result));
                base[1] = base[0];
                state = 0;
            }
        } else {
            state = 0;
        }
    }
    SYS_ExtendedOption();
}

void SYS_ExtendedOption() {
    const u16 sr152 = SR_Get(152);
    for (TermPort& p : g.term) {
        const u8 bit = static_cast<u8>((sr152 >> p.srBit) & 1);
        if (!p.waiting) {
            if (p.known && bit == p.applied) continue;
            g.termControl = static_cast<u8>((g.termControl & ~(p.onBits | p.offBits)) | (bit ? p.onBits : p.offBits));
            if (sysPeers.ioTermSet) sysPeers.ioTermSet(g.termControl);
            p.wanted = bit;
            p.stamp = FPGA_GetFrt();
            p.waiting = true;
        } else if (FPGA_GetFrt() - p.stamp > kTermPulseTicks) {
            g.termControl &= p.keep;
            if (sysPeers.ioTermSet) sysPeers.ioTermSet(g.termControl);
            p.applied = p.wanted;
            p.known = true;
            p.waiting = false;
        }
    }
}
