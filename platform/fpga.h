// The free-running counter: 100-us ticks of the monotonic platform clock.
#pragma once

#include "core/bytes.h"

// Last reading, for holders of a pointer to it.
extern volatile u32 fpga_port;

u32 FPGA_GetFrt();
// Milliseconds for the OS layer (ticks / 10).
u32 _tx_time_get();
// Forgets the first-call second, so the next call counts from 0 again (tests).
void FPGA_Reset();
