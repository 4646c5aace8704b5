// The board's I2C bus: the one header through which the firmware reaches
// every I2C device (module expanders and memories, sensors, converters).
//
// The bus is the SoC's I2C0 controller, reached either through the board
// kernel's I2C system call or, on older kernels, by programming the
// controller's registers directly; the devices behind it are the simulated
// ones of platform/iomodules. Every call answers 1 for success and 0 for
// failure (not acknowledged, bus busy, data engine not finished). A
// transfer is complete when the call returns: the simulated devices answer
// at once, so nothing waits.
#pragma once

#include "platform/bytes.h"

// Command record handed to the kernel (in memory only).
struct I2cCmd {
    u32 address;    // device byte with the read bit
    u8* data;
    u32 length;
    u32 timing;     // 1 standard, 2 fast
    u32 direction;  // 1 read, 0 write (a probe: 0 with length 0)
    u32 result;     // written by the kernel
};

// I2C0 register offsets in its block and the bits the driver uses.
constexpr u32 kI2cCtrl0 = 0x00, kI2cTiming0 = 0x10, kI2cTiming1 = 0x20, kI2cTiming2 = 0x30, kI2cCtrl1 = 0x40,
              kI2cStat = 0x50, kI2cQueueCtrl = 0x60, kI2cQueueStat = 0x70, kI2cQueueCmd = 0x80,
              kI2cQueueData = 0x90, kI2cData = 0xA0, kI2cDebug0 = 0xB0, kI2cDebug1 = 0xC0, kI2cVersion = 0xD0;
constexpr u32 kI2cCtrl0Run = 0x20000000, kI2cCtrl0SendNakOnLast = 0x02000000, kI2cCtrl0RetainClock = 0x00200000,
              kI2cCtrl0PostSendStop = 0x00100000, kI2cCtrl0PreSendStart = 0x00080000,
              kI2cCtrl0MasterMode = 0x00020000, kI2cCtrl0Transmit = 0x00010000, kI2cCtrl0CountMask = 0xFFFF;
constexpr u32 kI2cCtrl1NoSlaveAck = 0x20, kI2cCtrl1EngineDone = 0x40, kI2cCtrl1BusFree = 0x80,
              kI2cCtrl1Flags = 0xFF;
constexpr u32 kI2cStatBusBusy = 0x400, kI2cStatEngineBusy = 0x800;

// Readies the bus: 1, or 0 when the register blocks cannot be reached.
// kernelBuild is the two digits of the kernel revision that the I/O layer
// reads (io/i2c_io.h I2c_KernelBuild): 32 and above take the kernel path.
int i2c0_init(u16 kernelBuild);
// 1 standard (100 kHz), 2 fast (400 kHz); answers 1.
int i2c_timing(int speed);
// 1 when the device acknowledged its address; stop 0 keeps the bus held.
int i2c0_query(u8 address, int stop);
int i2c_data_read(u8 address, u8* buffer, u32 count);
int i2c_data_write(u8 address, const u8* data, u32 count);
void i2c0_close();
// True after i2c0_init chose the kernel path.
bool I2c_KernelPath();
// Forgets the chosen path and the timing (tests).
void I2c_Reset();
