#include "platform/touch.h"

#include <unistd.h>

#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fpga.h"

volatile sig_atomic_t PowerdownSignal = 0;
u16 sysTic = 0;
u32 sysDTic = 0;
u32 tchTic = 0;

namespace {
u32 g_stamp = 0;
u32 g_msSince10 = 0;
bool g_started = false;
}  // namespace

void Touch_Reset() {
    PowerdownSignal = 0;
    sysTic = 0;
    sysDTic = 0;
    tchTic = 0;
    g_stamp = 0;
    g_msSince10 = 0;
    g_started = false;
}

void PowerDownSignaled(int) { PowerdownSignal = 1; }

void GPIOInit() {
    struct sigaction sa {};
    sa.sa_handler = PowerDownSignaled;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(kPowerFailSignal, &sa, nullptr);
    // The simulated power-fail driver keeps the registered process itself
    // (writing the pid into its supply-word file would overwrite the words).
    Board_SetControllerPid(static_cast<i32>(getpid()));
}

void TimerISR() {
    u32 now = FPGA_GetFrt();
    if (!g_started) {
        g_started = true;
        g_stamp = now;
        return;
    }
    u32 d = now - g_stamp;
    if (d < 10) return;
    u32 ms = d / 10;
    tchTic += ms;
    g_stamp += ms * 10;
    g_msSince10 += ms;
    if (g_msSince10 >= 10) {
        u32 steps = g_msSince10 / 10;
        g_msSince10 -= steps * 10;
        sysTic = static_cast<u16>(sysTic + steps);
        sysDTic += steps;
        u16 words[kSupplyWords];
        Board_SupplyWords(words);
        for (int i = 0; i < kSupplyWords; ++i) ESR_Put(2 + i, words[i]);
    }
}
