// The web-HMI toolkit clock and its stopwatches.
//
// A reading is twice the whole seconds of the platform's monotonic clock:
// the unit is half a second and a reading advances by 2 once per second.
// Every time-out, expiry and nonce age of the web-HMI server is measured in
// this unit, as differences of readings.
#pragma once

#include "platform/bytes.h"

struct dartu_timer {
    u64 start;  // clock reading at start
    u64 stop;   // clock reading at stop
    u32 flags;  // bit 0: running
};

constexpr u32 kDartuTimerRunning = 1;

// Current reading into *value; 0 success, 1 when the clock could not be
// read (the value is then 0).
int dartu_timer_get_time_imp(u64* value);

// A null timer means the process-wide default timer.
void dartu_timer_init_imp(dartu_timer* timer);
void dartu_timer_start_imp(dartu_timer* timer);
void dartu_timer_stop_imp(dartu_timer* timer);
// Now minus start while running, else stop minus start.
u64 dartu_timer_elapsed_imp(dartu_timer* timer);

// Elapsed value of the server timer of the global context: 0 before the
// server started listening.
u64 dartu_sys_get_current_monotonous_time();
