// System tick, buttons, status LEDs and the power-fail signal.
//
// The tick runs once per main-loop pass (and inside the fault countdown and
// long maintenance steps): it keeps the 1-ms and 10-ms counters, samples the
// RUN and LOAD buttons every 10 ms into a ring of four samples and runs their
// state machine (RUN 3 s: stop/run toggle; LOAD 3 s: update and program load
// from the media; both 3 s: factory clear), reads the supply words of the
// power-fail driver into ESR2-ESR6, runs the two flash clocks and drives the
// LEDs.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "platform/bytes.h"
#include "platform/neighbour.h"

// Set by the power-fail signal; the main loop runs the power-down at the end
// of its pass.
extern volatile sig_atomic_t PowerdownSignal;
// Tick counters: milliseconds, and 10-ms units (16 and 32 bits).
extern u32 tchTic;
extern u16 sysTic;
extern u32 sysDTic;
// Flash clocks (0 or 1): slow, toggling every 500 ms, and fast, every 100 ms.
extern u8 sysFlash;
extern u8 Flash100ms;
// Blinks of both LEDs still to show (255: for ever).
extern u8 Flashcount;

// Button state machine states.
constexpr int kBtnIdle = 0, kBtnRunHeld = 1, kBtnRunDone = 2, kBtnLoadHeld = 3, kBtnLoading = 4,
              kBtnAfterLoad = 5, kBtnBothHeld = 6;
int Touch_ButtonState();

// Start-up: maps the board registers, sets up the pins, installs the
// power-fail handler and registers the process with the power-fail driver.
// False (with a message) when the board registers cannot be mapped: every
// button, LED and persistent register depends on them, so the controller
// must not run.
bool GPIOInit();
// Handler of the power-fail signal: only stores the flag.
void PowerDownSignaled(int signalNumber);
// Once per main-loop pass.
void TimerISR();
// The tick as the fault handler may run it: counters and flash clocks only,
// async-signal-safe.
void Touch_FaultTick();
// Current 2-bit button value: bit 0 RUN, bit 1 LOAD (1 = pressed).
int ButtonSample();
void LED_Update();

// A child that alternates the two LEDs every 500 ms until the board resets
// (or Touch_EndLedChild ends it); its pid, 0 when the fork failed. It ends
// with the controller.
pid_t SetStatusLeds_fork();
void Touch_EndLedChild(pid_t pid);

// The controller has no buzzer.
void TCH_Beep();
void TCH_BeepOvrd();

// What the buttons and LEDs need of the layers above; the wiring fills it in.
struct TouchPeers {
    // The LOAD button's update step from the media: 0 while it runs, else
    // its result bits (0x20 medium found, 0x40 program present, 0x1 kernel,
    // 0x4 firmware, 0x80 no medium).
    int (*update)() = nullptr;
    // Arms the program load from the card that the update found.
    void (*startCardLoad)() = nullptr;
    // The automatic program load from the card runs.
    bool (*cardLoadRunning)() = nullptr;
    // A program download over the programming link runs.
    bool (*downloading)() = nullptr;
};
extern TouchPeers touchPeers;  // filled by core/wiring.cpp
void TouchPeers_Check(NeighbourCheck& check);

void Touch_Reset();
