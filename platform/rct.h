// Serial-driver timers: their callbacks end a character gap or a message wait.
//
// Five slots with ids 1-5, counted in ticks of the free-running counter (the
// monotonic clock), so a step of the time of day never fires or delays them.
// They are not interrupts: RctISR polls them once per main-loop pass and
// whenever a serial driver checks for data, and runs the callbacks of those
// that expired.
#pragma once

#include "platform/bytes.h"

using RctCallback = void (*)();

constexpr int kRctCount = 5;

// RCT_Set types.
constexpr int kRctByBaudCode = 1;  // one-shot, message time-out of a baud code
constexpr int kRctPeriodic = 2;    // periodic, value in microseconds
// any other type: one-shot, value in microseconds

// Message time-out in microseconds for a port's baud code. Codes outside the
// table (0-12) get the longest time-out, so a wait still ends.
u32 RCT_BaudTimeoutUs(u32 baudCode);

// Frees every timer.
void RCT_Init();
// Id 1-5 of a newly allocated, stopped timer; 0 when all are taken.
int RCT_Allocate(RctCallback callback);
// Ids outside 1-5, and free slots for Stop, Set and Start, are ignored.
void RCT_Release(int id);
void RCT_Stop(int id);
void RCT_Set(int id, u32 value, int type);
// Arms the timer from now with its full period (nothing with a zero period).
// Other running timers are re-based to now, keeping at least 8 ticks each.
void RCT_Start(int id);
// Runs the callback of every running timer whose period has passed. A
// one-shot timer stops before its callback runs (so the callback may re-arm
// it); a periodic one reloads its full period from now.
void RctISR();
// Stored for drivers that register one; nothing calls it.
void RCT_RegCaptureCallback(RctCallback callback);
// True while any timer runs.
bool RCT_AnyRunning();
