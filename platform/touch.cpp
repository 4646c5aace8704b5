#include "platform/touch.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/plc.h"
#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/file_watch.h"
#include "platform/root.h"
#include "platform/system.h"

volatile sig_atomic_t PowerdownSignal = 0;
u32 tchTic = 0;
u16 sysTic = 0;
u32 sysDTic = 0;
u8 sysFlash = 0;
u8 Flash100ms = 0;
u8 Flashcount = 0;
TouchPeers touchPeers;

namespace {

constexpr u32 kTicksPerMs = 10;      // free-running counter ticks per millisecond
constexpr u16 kHoldTics = 299;       // more than this many 10-ms units: 3 s
constexpr u16 kSlowFlashTics = 49;   // more than this: 500 ms
constexpr u16 kFastFlashTics = 9;    // more than this: 100 ms
constexpr u32 kBlinkTics = 50;       // Flashcount blink phase, 500 ms
constexpr u8 kBlinkForever = 255;
constexpr int kRingSize = 4;
constexpr u32 kUpdateNoMedium = 0x80;

struct TouchState {
    bool started = false;
    u32 stamp = 0;       // counter value of the last whole millisecond
    u32 tenStamp = 0;    // tchTic of the last 10-ms step
    u8 ring[kRingSize] = {};
    int ringPos = 0;
    int state = kBtnIdle;
    u16 threeSec = 0;    // sysTic when the state started
    u8 pattern = 0;      // button pattern that started the state
    u8 restoreMode = 0;  // mode to restore after a LOAD press
    int updateResult = 0;
    bool loadStarted = false;
    u16 slowStamp = 0;
    u16 fastStamp = 0;
    u8 blinkOn = 0;
    u32 blinkStamp = 0;
    std::string powerdownPath;  // host path of the supply-word file
    std::string powerdownRoot;
};

TouchState g;

bool Held() {
    for (u8 s : g.ring)
        if (s != g.pattern) return false;
    return true;
}

void Say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void Enter(int state) {
    g.state = state;
    g.threeSec = sysTic;
}

bool CardLoadRunning() { return touchPeers.cardLoadRunning && touchPeers.cardLoadRunning(); }
bool Downloading() { return touchPeers.downloading && touchPeers.downloading(); }

void StartCardLoad() {
    g.loadStarted = true;
    if (touchPeers.startCardLoad) touchPeers.startCardLoad();
}

void ButtonMachine() {
    const u16 held = static_cast<u16>(sysTic - g.threeSec);
    switch (g.state) {
        case kBtnIdle: {
            u8 first = g.ring[0];
            bool agree = first != 0;
            for (u8 s : g.ring) agree = agree && s == first;
            if (!agree) break;
            g.pattern = first;
            Enter(first == 3 ? kBtnBothHeld : first == 1 ? kBtnRunHeld : kBtnLoadHeld);
            break;
        }
        case kBtnRunHeld:
            if (!Held()) {
                Say("Didn't Changed the Controller Mode\n");
                g.state = kBtnIdle;
            } else if (held > kHoldTics) {
                g.state = kBtnRunDone;
                if (!Downloading()) SetPlcMode(SR_Get(5) != 0 ? kModeStop : kModeRun);
                Say("Changed the Controller Mode\n");
            }
            break;
        case kBtnRunDone:
            if (!Held()) {
                Say("RUN Button Released\n");
                g.state = kBtnIdle;
            }
            break;
        case kBtnLoadHeld:
            if (!Held()) {
                Say("Didn't Load Program to the Controller\n");
                g.state = kBtnIdle;
            } else if (held > kHoldTics) {
                g.restoreMode = static_cast<u8>(SR_Get(5));
                g.loadStarted = false;
                g.state = kBtnLoading;
            }
            break;
        case kBtnLoading: {
            int r = touchPeers.update ? touchPeers.update() : static_cast<int>(kUpdateNoMedium);
            if (r == 0) break;
            g.updateResult = r;
            if ((r & 0x20) && (r & 0x40)) {
                StartCardLoad();
            } else if ((r & 0x20) && !(r & 0x5)) {
                Say("Kernel/Firmware/Applic files missing\n");
                Flashcount = 4;
            } else if (!(r & 0x20)) {
                Flashcount = 5;
            }
            g.state = kBtnAfterLoad;
            break;
        }
        case kBtnAfterLoad:
            if (g.loadStarted && CardLoadRunning()) break;
            SetPlcMode(g.restoreMode);
            if (!Held()) {
                Say("LOAD Button Release\n");
                g.state = kBtnIdle;
            }
            break;
        case kBtnBothHeld:
            if (!Held()) {
                Say("Didn't Do VGD\n");
                g.state = kBtnIdle;
            } else if (held > kHoldTics) {
                Say("Do VGD\n");
                g.state = kBtnIdle;
                SetStatusLeds_fork();
                SYS_Wait(300);
                SYS_VDG();
            }
            break;
        default:
            g.state = kBtnIdle;
            break;
    }
}

const std::string& PowerdownPath() {
    if (g.powerdownRoot != Root_Dir()) {
        g.powerdownRoot = Root_Dir();
        g.powerdownPath = Root_HostPath("/proc/powerdown");
    }
    return g.powerdownPath;
}

// The power-fail driver's five supply words (10 bytes, little-endian) into
// ESR2-ESR6; a missing file leaves them as they are.
void ReadSupplyWords() {
    if (!FileWatch_Changed(FileWatch_Add("/proc/powerdown"))) return;
    int fd = ::open(PowerdownPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    u8 bytes[10];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    for (size_t i = 0; i + 1 < got; i += 2) ESR_Put(2 + static_cast<int>(i / 2), GetLe16(bytes + i));
}

// Counters of the tick; true when a whole millisecond passed.
bool AdvanceCounters() {
    const u32 now = FPGA_GetFrt();
    if (!g.started) {
        g.started = true;
        g.stamp = now;
        g.tenStamp = tchTic;
        return false;
    }
    const u32 d = now - g.stamp;
    if (d < kTicksPerMs) return false;
    const u32 ms = d / kTicksPerMs;
    tchTic += ms;
    g.stamp += ms * kTicksPerMs;  // the part below a millisecond is kept
    return true;
}

// Whole 10-ms steps since the last one; the remainder is kept.
u32 TenMsSteps() {
    const u32 steps = (tchTic - g.tenStamp) / 10;
    if (steps == 0) return 0;
    g.tenStamp += steps * 10;
    sysTic = static_cast<u16>(sysTic + steps);
    sysDTic += steps;
    return steps;
}

void FlashClocks() {
    if (static_cast<u16>(sysTic - g.slowStamp) > kSlowFlashTics) {
        sysFlash ^= 1;
        g.slowStamp = sysTic;
    }
    if (static_cast<u16>(sysTic - g.fastStamp) > kFastFlashTics) {
        Flash100ms ^= 1;
        g.fastStamp = sysTic;
    }
}

}  // namespace

void Touch_Reset() {
    PowerdownSignal = 0;
    tchTic = 0;
    sysTic = 0;
    sysDTic = 0;
    sysFlash = 0;
    Flash100ms = 0;
    Flashcount = 0;
    g = TouchState();
}

void TouchPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, touchPeers, update);
    NEIGHBOUR_REQUIRE(check, touchPeers, startCardLoad);
    NEIGHBOUR_REQUIRE(check, touchPeers, cardLoadRunning);
    NEIGHBOUR_REQUIRE(check, touchPeers, downloading);
}

int Touch_ButtonState() { return g.state; }

void PowerDownSignaled(int) { PowerdownSignal = 1; }

bool GPIOInit() {
    if (!Board_Open()) {
        std::fprintf(stderr,
                     "GPIOInit: cannot map the board registers (%s under %s): buttons, LEDs and the "
                     "persistent registers are unreachable; the controller does not start\n",
                     kBoardStatePath, Root_Dir().c_str());
        return false;
    }
    Board_SetPersistent(0, 0x00010021);
    Gpio_SetupPanelClocksAndPins();
    Board_GpioDirClear(kButtonRunBank, 1u << kButtonRunPin);
    Board_GpioDirClear(kButtonLoadBank, 1u << kButtonLoadPin);
    Board_GpioDirSet(kOption0Bank, 1u << kOption0Pin);
    Board_GpioDirSet(4, 0x3E00);

    struct sigaction sa {};
    sa.sa_handler = PowerDownSignaled;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(kPowerFailSignal, &sa, nullptr);
    // The board's power-fail driver keeps the registered process itself
    // (the words of /proc/powerdown are its supply report and are not
    // overwritten by the registration).
    Board_SetControllerPid(static_cast<i32>(getpid()));

    Gpio_SetupOption1Pins();
    Board_GpioDirSet(kOption1Bank, 1u << kOption1Pin);
    // The supply words are there before the first battery test.
    ReadSupplyWords();
    return true;
}

int ButtonSample() {
    int v = 0;
    if (!(Board_GpioIn(kButtonRunBank) & (1u << kButtonRunPin))) v |= 1;
    if (!(Board_GpioIn(kButtonLoadBank) & (1u << kButtonLoadPin))) v |= 2;
    return v;
}

void TimerISR() {
    const bool first = !g.started;
    if (!AdvanceCounters()) {
        // The supply words are wanted by the battery test of the first pass.
        if (first) ReadSupplyWords();
        return;
    }
    if (TenMsSteps() != 0) {
        g.ring[g.ringPos] = static_cast<u8>(ButtonSample());
        g.ringPos = (g.ringPos + 1) % kRingSize;
        ButtonMachine();
        ReadSupplyWords();
    }
    FlashClocks();
    LED_Update();
}

void Touch_FaultTick() {
    if (!AdvanceCounters()) return;
    TenMsSteps();
    FlashClocks();
}

void LED_Update() {
    if (Downloading() || CardLoadRunning()) {
        SYS_SetStatusLeds(kLedAlternate, kLedAlternate);
        return;
    }
    if (Flashcount != 0) {
        if (sysDTic - g.blinkStamp >= kBlinkTics) {
            g.blinkStamp = sysDTic;
            if (g.blinkOn) {
                g.blinkOn = 0;
                if (Flashcount != kBlinkForever) --Flashcount;
            } else {
                g.blinkOn = 1;
            }
        }
        SYS_SetStatusLeds(g.blinkOn, g.blinkOn);
        return;
    }
    g.blinkOn = 0;
    g.blinkStamp = sysDTic;
    SYS_SetStatusLeds(SYS_GetOkLed(), SYS_GetRunLed());
}

pid_t SetStatusLeds_fork() {
    // Map the board before the fork so the child only touches shared memory.
    (void)Board_GpioOut(kLedABank);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid > 0) {
        Clock_NoteChildBusy(pid);
        return pid;
    }
    // The child: only async-signal-safe calls (the parent may have threads).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    const u32 a = 1u << kLedAPin, b = 1u << kLedBPin;
    for (bool phase = false;; phase = !phase) {
        Board_GpioOutClear(kLedABank, phase ? b : a);
        Board_GpioOutSet(kLedABank, phase ? a : b);
        SleepMs(500);
    }
}

void Touch_EndLedChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void TCH_Beep() {}
void TCH_BeepOvrd() {}
