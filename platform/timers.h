// One-shot software timers on the free-running counter, polled by the
// programming protocol and the media commands.
//
// Eight slots. A caller allocates a run of adjacent slots, starts one with a
// time in milliseconds and polls Timer_Status until it reports expiry.
#pragma once

#include "platform/bytes.h"

constexpr u8 kTimerCount = 8;
constexpr u8 kTimerNone = 255;

// Timer_Status results.
enum TimerState : int {
    kTimerInvalid = 0,      // index above 7
    kTimerFree = 1,         // not allocated
    kTimerStopped = 2,      // allocated, not running
    kTimerRunning = 3,
    kTimerExpired = 4,      // reported once; the timer is stopped afterwards
};

// Clears every slot. counter: the reading used for start stamps (start-up
// passes &fpga_port; null means &fpga_port); tick length in microseconds
// (0 means 100, the counter's own tick).
void Timer_Init(volatile u32* counter, u32 tickMicroseconds);
// Index of the first of count adjacent free slots (first fit from slot 0),
// now allocated; kTimerNone when count is 0 or no such run exists.
u8 Timer_Allocate(u8 count);
// Starts the timer and returns its period in ticks. A non-zero time sets the
// period (milliseconds * 1000 / tick, computed in 64 bits); 0 reuses the last
// period. A zero period, or a time longer than the counter can measure (more
// than 2^32 - 1 ticks), starts nothing and returns 0, leaving the slot as it
// was. An index above 7 or an unallocated slot is returned unchanged and
// nothing happens.
u32 Timer_Start(u8 index, u32 milliseconds);
// One of TimerState. Reads the counter afresh; expired means
// counter - start >= period (unsigned, so the counter's wrap is harmless).
int Timer_Status(u8 index);
void Timer_Stop(u8 index);
// Clears the slot (period included). Indexes above 7 are ignored.
void Timer_Release(u8 index);
