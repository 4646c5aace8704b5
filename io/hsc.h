// High-speed counters and pulse outputs of the board's I/O logic, as the
// base modules of slot 0 use them: configuration, counting start, counter
// and pulse-channel parameters (written only when they change), readings,
// status bits, direct drive of the pulse channels, counter outputs and stop.
// The registers named by the slot's configuration are register blocks, or
// IEC variables with one BOOL byte per status bit.
#pragma once

#include "platform/bytes.h"

// The four counter input levels (low four bits).
u8 io_get_hscbits();
// Clears the shadow copies of the counters' preload and match values.
void reset_pwm_settings();

// Steps of the I/O driver's messages for the module in slot 0 (nothing for
// rows without counters or pulse channels).
void Hsc_Configure(int slot);
void Hsc_AnalogInputs(int slot);   // counting start, readings
void Hsc_AnalogOutputs(int slot);  // pulse and counter parameters
void Hsc_DigitalInputs(int slot);  // status bits
void Hsc_DigitalOutputs(int slot); // direct drive, counter outputs
void Hsc_Stop(int slot);
// Forgets the shadows (tests, driver reset).
void Hsc_Reset();
