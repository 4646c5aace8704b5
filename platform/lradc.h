// Channel 0 of the SoC's low-resolution converter and the 8-way analog
// multiplexer in front of it (bank 4 pins 9-11), as the analog modules of
// slot 0 use them.
#pragma once

#include "platform/bytes.h"

// Selects multiplexer input 0-7.
void Lradc_SelectMux(int channel);
// One conversion: start, wait for the end (bounded), read the result
// register ten times and keep the low 12 bits of the last reading. 0 on
// success, 1 when the converter never finished (result left 0).
int Lradc_Convert(u16* result);
