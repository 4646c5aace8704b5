// Power-meter modules (rows 16 and 17): the three-phase metering device on
// the I2C bus read into fourteen floats (RMS voltages and currents,
// frequency, powers, power factor, energy, peaks), its settings written from
// the analog output words, its digital points and set-up; and the two-element
// overcurrent protection of the row-7 module on a block of %R registers.
#pragma once

#include "io/ioapi.h"
#include "platform/bytes.h"

// Analog inputs of a power meter into the message's words (fourteen floats).
void input_acm(IoMessage* message);
// The same conversion into a buffer of `words` words; the per-phase active
// and reactive powers of the last computation into powers[6].
void PowerMeter_Convert(int slot, u8* out, u32 words);
void PowerMeter_PhasePowers(int slot, float powers[6]);
// Settings from the analog output words (count bytes; fourteen 32-bit
// words, fewer are ignored).
void PowerMeter_Outputs(int slot, const u8* words, u32 count);
// Transformer ratios (calibration), three voltage then three current.
void PowerMeter_SetRatios(int slot, const float ratios[6]);
// Digital points: the status register as the inputs (4 bytes, 0 when the
// device does not answer); the output image byte and the control bits.
int PowerMeter_DigitalInputs(int slot, u8* bytes);
void PowerMeter_DigitalOutputs(int slot, u8 image, int control);
// Set-up of the metering device at configuration (row 16).
void PowerMeter_Configure(int slot);
// Frequency correction sqrt(1 + (f x 0.000240385)^2) of the slot's meter,
// and its line frequency word (1/16 Hz).
double lpf1(int slot);
u16 PowerMeter_Frequency(int slot);
// Rounding step before truncation: x + 0.5 for x >= 0, else x - 0.5.
double dround(double x);

// Overcurrent protection of the row-7 module over its first four scaled
// analog values, on the %R block at `base`; `run` is the analog run flag.
void Protection_Run(u32 base, const i16 values[4], bool run);
// Forgets the meters' and the protection's state.
void PowerMeter_Reset();
