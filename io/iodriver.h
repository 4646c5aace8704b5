// The I/O driver: executes one I/O message at a time for the module in slot
// 0 or 1 (init, query, configure, service, calibrate, digital and analog
// inputs and outputs, stop and start) against its per-slot state, and
// writes a slot's digital output image to the module.
#pragma once

#include "platform/bytes.h"
#include "io/i2c_io.h"
#include "io/ioapi.h"

void io_driver(IoMessage* message);
// Writes the slot's output image with control bits (bit 0 the module's write
// line, bit 1 the input multiplexer of row 7, bits 2-3 the current mode of
// rows 18-19, bits 4-7 a termination code); 0 or the expander write result.
int io_q_put(int slot, int control);
// Reset line of the slot-1 modem options (rows 5 and 6).
void IoPutRESET(int slot, int asserted);
void io_driver_init();

// Driver state views for tests.
u16 IoDriver_Row(int slot);
u16 IoDriver_Flags(int slot);
const u8* IoDriver_OutputImage(int slot);
// Register bit addresses of the generation-2 process images of a slot.
u32 IoDriver_Gen2Address(int slot, int image);  // 0 DI, 1 AI, 2 DO, 3 AQ
// Forgets the driver state (IoDriver_Reset calls it).
void IoDriverState_Reset();
