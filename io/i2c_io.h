// I2C access primitives of the local I/O: memory devices (EEPROMs and module
// memories) by addressing type, expanders and converters by transfer type,
// temperature sensors, and the probing that identifies the module in each
// slot. Results: 0 success, 1 a device that did not acknowledge (memory
// writes: 2 on a write time-out).
#pragma once

#include "platform/bytes.h"

// Readies the bus on first use (and again while that failed) and selects the
// fast timing for exactly 400000 Hz, the standard timing otherwise. 0 when
// the bus cannot be readied, else the timing call's result (1).
int I2C_init(u32 hz);
int I2C_query(u8 device);

// Memory devices. `type` low byte 0-4 selects device byte and address bytes;
// bits 8-11 hold the speed code n of type 4 (3125 x 2^n Hz).
int I2C_read_mem(u8* destination, u32 address, u32 count, u32 type);
int I2C_write_mem(const u8* source, u32 address, u32 count, u32 type);
// Expanders and converters: the type selects speed, length and byte order
// (types 4 and above 8: the bus speed as it is and `count` bytes; at most
// 256 bytes move).
int I2C_write_io(u8 device, const u8* data, u32 type, u32 count);
int I2C_read_io(u8 device, u8* buffer, u32 type, u32 count);
// Temperature in 1/16 degree Celsius.
int I2C_read_LM92(u8 device, i16* result);

// Device byte and memory address composed into the address of the memory
// functions (type 3: device in bits 16-23; others: bits 7 and up).
int read_io_eeprom(u8 device, u32 address, u32 count, u8* buffer, int type);
int write_io_eeprom(u8 device, u32 address, u32 count, const u8* data, int type);

// Probes slots 0 and 1 into idents[0..1], idents[2] = 64000; returns 3.
// Asks the probing of the I/O layer's device side (io/ioapi.h
// IoDriverPeers), which on the controller is I2cIo_ProbeSlots.
int get_io_info(u16* idents);
// Probes the slots over the bus: the expander, generation-2 and memory
// addresses of each slot, then its scan list.
int I2cIo_ProbeSlots(u16* idents);
// Set when slot 1 holds the expansion 0x1F0F; kept for the run.
extern u8 PULMAR_present;

// Two digits of the kernel revision text (ESR9-ESR13, characters 7 and 8)
// that choose the bus path (platform/i2c_imx28_drv.h i2c0_init).
u16 I2c_KernelBuild();
// Forgets the bus state, the sensor set-up and the expansion flag (tests).
void I2cIo_Reset();
