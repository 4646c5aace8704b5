// Analog conversion and calibration of the plug-in modules: raw readings of
// the analog inputs into register words (filter, per-channel gain and
// offset, voltage / current / 4-20 mA / bipolar ranges, thermocouples with
// cold-junction compensation, Pt100), register words into converter codes,
// the calibration constants in each module's calibration EEPROM and the
// calibration sub-commands of the calibrate message.
#pragma once

#include "io/ioapi.h"
#include "platform/bytes.h"

// Analog-input message (type 11) of the module rows with analog channels
// (all but the field-bus and power-meter rows).
void input_ais(IoMessage* message);
// Analog-output message (type 12): converter codes from the output words.
void output_aqx(IoMessage* message);
// Writes the slot's remembered analog output words to its converters (the
// stop values after a stop, the calibration outputs).
void Analog_WriteOutputs(int slot);
// Calibrate message (type 8), sub-commands other than 0.
void Analog_Calibrate(IoMessage* message);

// Loads the constants of the slot's module at configuration.
void io_get_cal_const(int slot);
// Writes the 66-byte image with the signature to the EEPROM of the bank.
int io_put_cal_const(int slot, u8 bank);
// Writes one word at a byte offset of that EEPROM.
int io_put_ee_word(u16 value, u32 offset, int slot, u8 bank);

// Linearisation (temperatures in 0.05 degree).
int tc_table(u32 reading, const u16* table);
int rtd_table(u32 reading);
// Recomputes the slot's eight cold-junction terms from the cold-junction
// word (1/40 degree).
void cj_comp(int slot, i32 t);
