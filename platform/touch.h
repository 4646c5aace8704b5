// System tick, buttons, status LEDs and the power-fail signal. Until the
// buttons and LEDs are built, the tick keeps its counters and the supply
// words, and the power-fail signal sets its flag.
#pragma once

#include <signal.h>

#include "core/bytes.h"

// Set by the power-fail signal; the main loop runs the power-down at the end
// of its pass.
extern volatile sig_atomic_t PowerdownSignal;
// 10-ms tick counters.
extern u16 sysTic;
extern u32 sysDTic;
extern u32 tchTic;

// Start-up: installs the power-fail handler and registers the process with
// the power-fail driver.
void GPIOInit();
// Handler of the power-fail signal: only stores the flag.
void PowerDownSignaled(int signalNumber);
// Once per main-loop pass: the tick and the supply words (ESR2-ESR6).
void TimerISR();
void Touch_Reset();
