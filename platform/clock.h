// The one platform clock behind every time base of the firmware.
//
// The free-running 100-us counter, the 10-ms tick, the real-time clock and
// every time-out read their time here. Tests switch it to a manual clock that
// only moves when they advance it, so no test sleeps to wait for a timer.
#pragma once

#include "platform/bytes.h"

// Monotonic time in nanoseconds (CLOCK_MONOTONIC, or the manual clock).
u64 Clock_MonotonicNs();

// Host UTC in nanoseconds since 1970 (CLOCK_REALTIME, or the manual clock).
// The controller's own clock is this plus an offset it keeps (never set on
// the host).
i64 Clock_UtcNs();

// Switch to a manual clock starting at the given readings; only
// Clock_Advance moves it afterwards. Used by tests and benchmarks.
void Clock_UseManual(u64 monotonicNs, i64 utcNs);
// Back to the host clocks.
void Clock_UseReal();
bool Clock_IsManual();
// When the board's clock is driven by a test (platform/board.h), reads the
// time from the board from now on and answers true; otherwise changes
// nothing. The controller calls it once at start-up; its children inherit
// it.
bool Clock_UseBoardIfDriven();
// True while the time comes from the board.
bool Clock_IsBoard();
// Moves the manual clock forward (both readings). Ignored on the real clock.
void Clock_Advance(u64 ns);
// Sets only the manual UTC reading (a host clock step); monotonic time stays.
void Clock_SetManualUtc(i64 utcNs);

// Waits ms milliseconds of the controller's time, resuming after signals:
// host time normally; on the board's driven clock until the test has
// advanced it that far (the wait is noted on the board, so the test knows
// when the sleeper has woken). Only for threads and children outside the
// main loop and for start-up and shutdown waits; a main-loop pass never
// sleeps.
void SleepMs(long ms);
// Waits in the host's real time whatever clock the firmware reads: only for
// waits on the host itself (a child process given time to end).
void SleepHostMs(long ms);

// The main loop's idle wait on the board's driven clock: notes the deadline
// on the board, and answers whether the clock has reached it.
void Clock_NoteDeadline(u64 monotonicNs);
// A child just forked (by its pid) counts as busy until it first waits.
void Clock_NoteChildBusy(int pid);
