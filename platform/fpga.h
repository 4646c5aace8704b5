// The free-running counter: 100-us ticks of the monotonic platform clock.
//
// Every time-out of the firmware is an unsigned difference of two readings of
// this counter; it wraps after 2^32 ticks (about 4.97 days), which unsigned
// differences survive.
#pragma once

#include "platform/bytes.h"

// Last reading, for holders of a pointer to it.
extern volatile u32 fpga_port;

// (seconds - second of the first call) * 10000 + sub-second / 100 us. The
// first call only records its second. Safe to call from any thread.
u32 FPGA_GetFrt();
// Milliseconds for the OS layer (ticks / 10).
u32 _tx_time_get();
// Forgets the first-call second, so the next call counts from 0 again (tests).
void FPGA_Reset();
