// Simulated plug-in I/O module hardware and the devices on the board's
// buses: the modules of slots 0 and 1 (quasi-bidirectional I/O expanders,
// module and calibration EEPROMs with write cycles, temperature sensors, a
// two-channel converter, DACs, generation-2 and field-bus module memories),
// the I2C0 controller that the direct register path programs, the kernel's
// I2C system call, the devices on the three shift chains and the
// low-resolution ADC behind its analog multiplexer, and the I/O logic on
// an SSP port.
//
// Which module sits in which slot, every pin and every memory byte live in
// the module reserve of the simulated board (platform/board.h), so a test or
// the plcio tool in another process plugs modules, sets inputs and reads
// outputs while the controller runs. The bus itself runs in the process that
// makes the transfer.
//
// I2C devices are named by their 8-bit device byte (7-bit address shifted
// left; bit 0 is the read bit of a transfer). A device that is absent, whose
// module has a no-acknowledge injected, that is busy (an injected busy count
// or an EEPROM write cycle) does not acknowledge its address.
#pragma once

#include "platform/bytes.h"

// ---------------------------------------------------------------------------
// Plugging modules.

constexpr int kIoModuleSlots = 2;

// Plugs the module of the given identity into slot 0 or 1 with every input
// off and a fresh memory. The identity is the one the probing reads: a
// module is only pluggable where probing can find it (slot 0: the idents
// ending in 0x0E, the scan-list modules 0xA60F, 0xA00F, 0xA40F, 0xA20F,
// 0x500F, 0x520F and the generation-2 probe 0x080F; slot 1: the idents
// ending in 0x0F, among them 0x720F and 0x700F of the scan list and 0x0A0F
// of the generation-2 probe). False when the identity cannot sit there.
bool IoModules_Plug(int slot, u16 ident);
void IoModules_Unplug(int slot);
// Identity of the module in the slot, 0xFF when empty.
u16 IoModules_Ident(int slot);
// Unplugs both slots and clears every board-level device (tests).
void IoModules_Reset();

// ---------------------------------------------------------------------------
// Fault injection, per slot: every device of the module stops answering
// (until cleared), or refuses the next `count` address phases.
void IoModules_SetNoAck(int slot, bool on);
bool IoModules_NoAck(int slot);
// `after` address phases are still answered before the refusals begin.
void IoModules_SetBusy(int slot, u32 count, u32 after = 0);
// Address phases of the slot's devices that were refused so far.
u32 IoModules_Refused(int slot);

// ---------------------------------------------------------------------------
// Points of a module, numbered from 1 in the order of the module's bits in
// the register image (point n is bit n-1 of the slot's first byte on). An
// input that is on drives its level active (modules configured for inverted
// polarity report it as off); an output is on while its driver is active.
// False / -1 when the module has no such point (a bit that is not wired,
// such as the counter inputs of the I/O logic).
bool IoModules_SetInput(int slot, int point, bool on);
int IoModules_Input(int slot, int point);
int IoModules_Output(int slot, int point);
// Digital point counts the simulated wiring offers.
int IoModules_InputCount(int slot);
int IoModules_OutputCount(int slot);

// Analog values, raw 16-bit: input channel readings of the module (ADC
// multiplexer channels, converter channels) and the last code written to
// each DAC channel.
bool IoModules_SetAnalogInput(int slot, int channel, u16 value);
int IoModules_AnalogOutput(int slot, int channel);
// Range of an output converter on shift chain 1 (slot-0 modules with
// analog outputs on the chain): 1 voltage, 0 current, -1 no such channel.
// The four-output modules have voltage outputs only.
int IoModules_AnalogOutputRange(int slot, int channel);
// The metering device of a power-meter module: its registers 0-199 (values
// as the device reads them out: 24, 16 or 8 bits), as a test scripts them
// and as the controller's setting writes left them; the last set-up word.
void IoModules_SetMeterRegister(int slot, u8 reg, u32 value);
u32 IoModules_MeterRegister(int slot, u8 reg);
u8 IoModules_MeterSetup(int slot);
// Board temperature of the slot's sensor in 1/16 degree Celsius.
void IoModules_SetTemperature(int slot, i16 sixteenths);

// Raw device views for tests and the tool.
struct IoExpanderState {
    u16 latch;  // what the firmware last wrote (1 = released, pin is an input)
    u16 pins;   // what the outside world drives (1 = high)
};
bool IoModules_Expander(u8 device, IoExpanderState* out);
// Bytes of the slot's module memory (field-bus process image and station
// memory, module EEPROM with two address bytes): 1024 bytes.
constexpr u32 kIoModuleMemoryBytes = 1024;
u8 IoModules_MemoryByte(int slot, u32 address);
void IoModules_SetMemoryByte(int slot, u32 address, u8 value);
// What the controller wrote where the module keeps reads and writes apart
// (its output image from byte 16, and the reconfigure request at 0xFE).
u8 IoModules_MemoryWritten(int slot, u32 address);
// Generation-2 module: the header the module presents (digital input bits,
// analog input words, digital output bits, analog output words, bus speed
// code 0-7, six-character name) and its process images.
void IoModules_SetGen2Header(int slot, u8 di, u8 ai, u8 dout, u8 aq, u8 speed, const char* name);
// Calibration EEPROM (256 bytes at the module's calibration device).
u8 IoModules_CalByte(int slot, u32 address);

// ---------------------------------------------------------------------------
// The I2C bus as transfers see it.

// Address phase: true when a device acknowledges the byte.
bool IoBus_Address(u8 addressByte);
// Data phase of a write transfer whose address was acknowledged (ends with
// the stop condition), and of a read transfer.
void IoBus_Write(u8 addressByte, const u8* data, u32 count);
void IoBus_Read(u8 addressByte, u8* data, u32 count);
// A whole transfer: false when the address is refused (nothing moves).
bool IoBus_Transfer(u8 addressByte, u8* data, u32 count, bool read);

// The kernel's I2C system call (number 366): operation 1 takes a pointer to
// a word holding the address of the command record (I2cCmd of
// platform/i2c_imx28_drv.h); the record's result word is written.
long IoBus_KernelCall(long operation, void* recordAddressWord, long unused);

// ---------------------------------------------------------------------------
// Board-level devices.

// Attaches the register-level device models (I2C0 controller, shift-chain
// devices on the pin-control block, low-resolution ADC) to the simulated
// board of this process. Idempotent; the drivers call it on first use.
void IoModules_AttachBoard();
// Registers 0-511 of the board's I/O logic (counters and pulse channels), as
// an SPI transaction on a selected SSP port reaches them.
u32 IoModules_LogicRegister(u16 reg);
void IoModules_SetLogicRegister(u16 reg, u32 value);
// Shift chains 0-2: the word the devices latched at the last deselect, and
// the word their inputs present to the next exchange.
u32 IoModules_ChainOutput(int chain);
void IoModules_SetChainInput(int chain, u16 value);
