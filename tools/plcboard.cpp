// plcboard: the outside of the simulated board, beside a running controller.
//
//   plcboard [--root DIR] COMMAND [ARGS]
//
// The root is --root DIR, else $PLC_ROOT, else "plcroot" in the working
// directory. Output is plain "name=value" text; the exit status is 0 on
// success, 1 when the action failed, 2 for a usage error.
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/board.h"
#include "platform/root.h"
#include "tools/tool_args.h"

namespace {

const char kUsage[] =
    "usage: plcboard [--root DIR] COMMAND [ARGS]\n"
    "  show                     the whole board state\n"
    "  press run|load|both      press a button (held until released)\n"
    "  release run|load|both    release a button\n"
    "  hold run|load|both MS    press, keep it pressed MS milliseconds, release\n"
    "                           (of the driven clock when the board's is driven)\n"
    "  leds                     LED A (OK) and LED B (run): 1 lit, 0 dark\n"
    "  gpio BANK                data out, data in and output enables of a bank\n"
    "  input BANK MASK VALUE    drive the input pins of MASK to VALUE\n"
    "  persist [N]              battery-backed persistent registers\n"
    "  watchdog                 watchdog state and seconds left\n"
    "  supply [W0 W1 W2 W3 W4]  show or set the five supply words\n"
    "  powerfail                send the power-fail signal to the controller\n"
    "  clock                    the board's clock: driven or host, its readings\n"
    "  clock drive [UTC]        the controller started next reads its time from the\n"
    "                           board, from UTC (seconds since 1970; default: now)\n"
    "  clock host               the controller started next reads the host's clocks\n"
    "  clock advance MS [STEP]  move the driven clock MS ms in steps of STEP ms\n"
    "                           (default 10), waiting after each until everything\n"
    "                           the controller had due by then has run\n";

constexpr int kSettleGuardMs = 20000;
constexpr u64 kNsPerMs = 1000000ull;

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// "both" presses RUN and LOAD together (the factory clear).
bool ParseButtons(const char* s, bool* run, bool* load) {
    if (!s) return false;
    *run = std::strcmp(s, "run") == 0 || std::strcmp(s, "both") == 0;
    *load = std::strcmp(s, "load") == 0 || std::strcmp(s, "both") == 0;
    return *run || *load;
}

void SetButtons(bool run, bool load, bool pressed) {
    if (run) Board_PressButton(BoardButton::Run, pressed);
    if (load) Board_PressButton(BoardButton::Load, pressed);
}

bool ParseBank(const char* s, int* bank) {
    u32 v;
    if (!ParseU32(s, &v) || v >= static_cast<u32>(kGpioBanks)) return false;
    *bank = static_cast<int>(v);
    return true;
}

void PrintLeds() { std::printf("A=%d B=%d\n", Board_Led(0) ? 1 : 0, Board_Led(1) ? 1 : 0); }

void PrintGpio(int bank) {
    std::printf("bank%d out=0x%08x in=0x%08x dir=0x%08x\n", bank, Board_GpioOut(bank), Board_GpioIn(bank),
                Board_GpioDir(bank));
}

void PrintWatchdog() {
    BoardWatchdog w;
    Board_GetWatchdog(&w);
    std::printf("open=%u enabled=%u timeout=%u left=%u resets=%u\n", w.open, w.enabled, w.timeoutS, w.timeLeftS,
                w.resets);
}

void PrintSupply() {
    u16 s[kSupplyWords];
    Board_SupplyWords(s);
    std::printf("supply=%u %u %u %u %u\n", s[0], s[1], s[2], s[3], s[4]);
}

void PrintClock() {
    std::printf("driven=%d monotonic_ms=%llu utc=%lld settled=%d\n", Board_ClockDriven() ? 1 : 0,
                static_cast<unsigned long long>(Board_ClockMonotonicNs() / kNsPerMs),
                static_cast<long long>(Board_ClockUtcNs() / 1000000000ll), Board_ClockSettled() ? 1 : 0);
}

// The clock subcommands; 2 for a usage error.
int ClockCommand(int nargs, char** args) {
    if (nargs == 0) {
        PrintClock();
        return 0;
    }
    const char* sub = args[0];
    if (std::strcmp(sub, "drive") == 0 && nargs <= 2) {
        i64 utc = static_cast<i64>(time(nullptr));
        if (nargs == 2) {
            u32 v;
            if (!ParseU32(args[1], &v)) return 2;
            utc = v;
        }
        Board_SetClockDriven(true, 1000ull * 1000000000ull, utc * 1000000000ll);
        PrintClock();
        return 0;
    }
    if (std::strcmp(sub, "host") == 0 && nargs == 1) {
        Board_SetClockDriven(false);
        PrintClock();
        return 0;
    }
    if (std::strcmp(sub, "advance") == 0 && (nargs == 2 || nargs == 3)) {
        u32 ms, step = 10;
        if (!ParseU32(args[1], &ms) || (nargs == 3 && (!ParseU32(args[2], &step) || step == 0))) return 2;
        if (!Board_ClockDriven()) {
            std::fprintf(stderr, "plcboard: the board's clock is not driven\n");
            return 1;
        }
        bool settled = Board_ClockAdvanceSettled(ms * kNsPerMs, step * kNsPerMs, kSettleGuardMs);
        PrintClock();
        if (!settled) std::fprintf(stderr, "plcboard: the controller did not settle\n");
        return settled ? 0 : 1;
    }
    return 2;
}

void PrintPersistent() {
    for (int i = 0; i < kPersistentRegs; ++i) std::printf("persist%d=0x%08x\n", i, Board_Persistent(i));
}

}  // namespace

int main(int argc, char** argv) {
    int i = TakeRootOption(argc, argv);
    if (i >= argc) return Usage();
    if (!Root_Init() || !Board_Open()) {
        std::fprintf(stderr, "plcboard: cannot open the board under %s\n", Root_Dir().c_str());
        return 1;
    }
    const char* cmd = argv[i];
    const char* a1 = i + 1 < argc ? argv[i + 1] : nullptr;
    int nargs = argc - i - 1;

    if (std::strcmp(cmd, "show") == 0 && nargs == 0) {
        std::printf("root=%s\n", Root_Dir().c_str());
        std::printf("run=%s load=%s\n", Board_ButtonPressed(BoardButton::Run) ? "pressed" : "released",
                    Board_ButtonPressed(BoardButton::Load) ? "pressed" : "released");
        PrintLeds();
        for (int b = 0; b < kGpioBanks; ++b) PrintGpio(b);
        PrintPersistent();
        PrintWatchdog();
        PrintSupply();
        std::printf("controller=%d powerfails=%u\n", Board_ControllerPid(), Board_PowerFailCount());
        return 0;
    }
    if ((std::strcmp(cmd, "press") == 0 || std::strcmp(cmd, "release") == 0) && nargs == 1) {
        bool run, load;
        if (!ParseButtons(a1, &run, &load)) return Usage();
        SetButtons(run, load, cmd[0] == 'p');
        return 0;
    }
    if (std::strcmp(cmd, "hold") == 0 && nargs == 2) {
        bool run, load;
        u32 ms;
        if (!ParseButtons(a1, &run, &load) || !ParseU32(argv[i + 2], &ms) || ms > 600000) return Usage();
        SetButtons(run, load, true);
        bool held = true;
        if (Board_ClockDriven()) {
            held = Board_ClockSettle(kSettleGuardMs) &&
                   Board_ClockAdvanceSettled(ms * kNsPerMs, 10 * kNsPerMs, kSettleGuardMs);
        } else {
            timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
            while (nanosleep(&t, &t) != 0 && errno == EINTR) {
            }
        }
        SetButtons(run, load, false);
        return held ? 0 : 1;
    }
    if (std::strcmp(cmd, "leds") == 0 && nargs == 0) {
        PrintLeds();
        return 0;
    }
    if (std::strcmp(cmd, "gpio") == 0 && nargs == 1) {
        int bank;
        if (!ParseBank(a1, &bank)) return Usage();
        PrintGpio(bank);
        return 0;
    }
    if (std::strcmp(cmd, "input") == 0 && nargs == 3) {
        int bank;
        u32 mask, value;
        if (!ParseBank(a1, &bank) || !ParseU32(argv[i + 2], &mask) || !ParseU32(argv[i + 3], &value)) return Usage();
        Board_SetGpioInput(bank, mask, value);
        PrintGpio(bank);
        return 0;
    }
    if (std::strcmp(cmd, "persist") == 0 && nargs <= 1) {
        if (nargs == 0) {
            PrintPersistent();
            return 0;
        }
        u32 n;
        if (!ParseU32(a1, &n) || n >= static_cast<u32>(kPersistentRegs)) return Usage();
        std::printf("0x%08x\n", Board_Persistent(static_cast<int>(n)));
        return 0;
    }
    if (std::strcmp(cmd, "watchdog") == 0 && nargs == 0) {
        PrintWatchdog();
        return 0;
    }
    if (std::strcmp(cmd, "supply") == 0 && (nargs == 0 || nargs == kSupplyWords)) {
        if (nargs == kSupplyWords) {
            u16 s[kSupplyWords];
            for (int k = 0; k < kSupplyWords; ++k) {
                u32 v;
                if (!ParseU32(argv[i + 1 + k], &v) || v > 0xFFFF) return Usage();
                s[k] = static_cast<u16>(v);
            }
            Board_SetSupplyWords(s);
        }
        PrintSupply();
        return 0;
    }
    if (std::strcmp(cmd, "clock") == 0) {
        int r = ClockCommand(nargs, argv + i + 1);
        return r == 2 ? Usage() : r;
    }
    if (std::strcmp(cmd, "powerfail") == 0 && nargs == 0) {
        i32 pid = Board_ControllerPid();
        if (!Board_SignalPowerFail()) {
            std::fprintf(stderr, "plcboard: no controller to signal (pid %d)\n", pid);
            return 1;
        }
        std::printf("signalled=%d\n", pid);
        return 0;
    }
    return Usage();
}
