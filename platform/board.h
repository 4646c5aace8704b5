// The simulated controller board.
//
// Everything the firmware would reach through /dev/mem and the board's
// drivers (the SoC register blocks, the battery-backed persistent registers,
// buttons, LEDs, the power-fail signal, the supply words, the watchdog and
// the plug-in module slots) lives in one fixed-layout record in a
// memory-mapped file under the root ("/sys/board.state"). The file stays
// when the process ends, so the persistent registers survive a reset as
// they do on the board, and a second process (the plcboard tool, a test)
// can press buttons, set inputs and read LEDs while the controller runs.
//
// Every word shared between processes is read and written with atomic
// 32-bit operations. The record is the host's byte order, which is checked
// to be little-endian, so the file has one layout everywhere.
//
// The board is reached through one header per device kind: platform/gpio.h
// (pins, buttons, LEDs), platform/i2c_imx28_drv.h (the I2C bus),
// platform/spi_imx28_drv.h and platform/ssp2_xch.h (SPI and the shift
// chains), platform/serial.h (serial ports), platform/rtcdev.h (the RTC),
// platform/watchdog.h and platform/supply.h (supply and power-fail). The raw
// register calls below are for the device models and drivers of the board
// floor only: no module above it computes a SoC address.
//
// The board is opened on first use from the current root (Root_Init must
// have run); when the root changes (a test's fresh root) the next access
// re-opens the board of the new root. A fresh root gives a fresh board.
#pragma once

#include "platform/bytes.h"
#include "platform/gpio.h"
#include "platform/rtcdev.h"
#include "platform/supply.h"

// ---------------------------------------------------------------------------
// SoC register blocks, by the physical addresses the firmware computes.

constexpr u32 kSocSsp1Base = 0x80012000;
constexpr u32 kSocSsp2Base = 0x80014000;
constexpr u32 kSocPinctrlBase = 0x80018000;  // pin control with the GPIO registers
constexpr u32 kSocClkctrlBase = 0x80040000;
constexpr u32 kSocLradcBase = 0x80050000;    // low-resolution ADC
constexpr u32 kSocRtcBase = 0x80056000;      // real-time clock with the persistent registers
constexpr u32 kSocI2c0Base = 0x80058000;
constexpr u32 kSocBlockBytes = 0x2000;       // each block: 2048 register words

// The window the system layer maps at start-up (pin control up to I2C0).
constexpr u32 kSocMapBase = 0x80018000;
constexpr u32 kSocMapBytes = 0x70000;

// Most registers come in groups of four words: the register, then addresses
// that set, clear and toggle the bits written.
constexpr u32 kRegSet = 0x4;
constexpr u32 kRegClr = 0x8;
constexpr u32 kRegTog = 0xC;

// Block control word (offset 0 of every block): soft reset and clock gate.
constexpr u32 kCtrlSoftReset = 0x80000000u;
constexpr u32 kCtrlClockGate = 0x40000000u;

// Pin control registers (offsets in the pin-control block; n-th register at
// base + 0x10 * n).
constexpr u32 kPinctrlMuxsel0 = 0x100;  // 14 multiplexing registers
constexpr u32 kPinctrlDrive0 = 0x300;   // 20 drive-strength registers
constexpr u32 kPinctrlPull0 = 0x600;    // 7 pull-up registers
constexpr u32 kPinctrlDout0 = 0x700;    // data out, one per bank
constexpr u32 kPinctrlDin0 = 0x900;     // data in, one per bank (read-only to the firmware)
constexpr u32 kPinctrlDoe0 = 0xB00;     // output enables, one per bank

// Real-time clock block: persistent register n at kSocRtcBase + 0x60 + 0x10 * n.
constexpr u32 kRtcPersistent0 = 0x60;

// Raw register access, as through the firmware's mapping of /dev/mem.
// Addresses outside the simulated blocks read 0 and ignore writes. A write to
// a set/clear/toggle address changes only the bits given (reading one gives
// its register); data-in registers
// ignore firmware writes (use Board_SetGpioInput); setting the soft-reset bit
// of a block's control word also gates its clock, as the hardware does.
u32 Board_RegRead(u32 physAddr);
void Board_RegWrite(u32 physAddr, u32 value);
// True when the address lies in a simulated block.
bool Board_RegExists(u32 physAddr);

// A device model (SSP engine, I2C controller, ...) may watch the register
// writes of one block: the hook runs in the writing process after the store,
// with the register address (set/clear/toggle folded onto the register) and
// the values before and after. One hook per block; nullptr removes it.
using BoardWriteHook = void (*)(u32 regAddr, u32 oldValue, u32 newValue);
void Board_SetWriteHook(u32 blockBase, BoardWriteHook hook);
// A device model may also refill a register just before the firmware reads
// it (a receive queue behind a data register): the hook runs in the reading
// process with the register address (set/clear/toggle folded onto the
// register). One hook per block; nullptr removes it.
using BoardReadHook = void (*)(u32 regAddr);
void Board_SetReadHook(u32 blockBase, BoardReadHook hook);

// ---------------------------------------------------------------------------
// Watchdog state, written by platform/watchdog and read by the tool.

struct BoardWatchdog {
    u32 open;           // 1 while the device is open
    u32 enabled;        // 1 while counting (not stopped by the magic close)
    u32 timeoutS;       // time-out in seconds
    u32 timeLeftS;      // seconds left at the last keep-alive or poll
    u64 lastKeepAliveNs;  // controller's monotonic clock
    u32 resets;         // resets it caused on this board
};
void Board_GetWatchdog(BoardWatchdog* out);
void Board_SetWatchdog(const BoardWatchdog& in);

// ---------------------------------------------------------------------------
// Plug-in I/O module slots: reserved words per slot, owned by the I/O layer.

constexpr int kModuleSlots = 18;
constexpr int kModuleSlotWords = 256;
// Word w of slot s (atomic); 0 / ignored out of range.
u32 Board_ModuleWord(int slot, int word);
void Board_SetModuleWord(int slot, int word, u32 value);

// ---------------------------------------------------------------------------
// Modem lines of serial ports 0 and 1, which a pseudo-terminal lacks: the
// carrier detect that the far side (a test's modem) raises and drops, and the
// modem control line that the firmware raises and drops.

constexpr u32 kBoardCarrier = 0x1, kBoardControl = 0x2;
u32 Board_ModemLines(int port);  // 0 for another port
void Board_SetModemLine(int port, u32 line, bool on);

// ---------------------------------------------------------------------------
// The controller's clock, when a test drives it.
//
// A test (or the board tool) can hold the controller's time in the board
// record: the monotonic reading and the time of day then move only when the
// test advances them, and a controller started on such a board reads its
// time there (platform/clock.h, Clock_UseBoard). Every wait of the
// controller on that clock (the main loop's idle wait, the sleeps of its
// threads and children) notes its deadline in a slot of the record while it
// waits, so the test can tell when everything that fell due has run: the
// board is settled at a time when every live waiter waits for a later one.

// Makes the board's clock driven from the given readings, or (false) gives
// the controller back the host's clocks at its next start.
void Board_SetClockDriven(bool driven, u64 monotonicNs = 0, i64 utcNs = 0);
bool Board_ClockDriven();
u64 Board_ClockMonotonicNs();
i64 Board_ClockUtcNs();
// Moves both readings forward and wakes every waiter.
void Board_ClockAdvance(u64 ns);
// Sets the time of day only (a step of the host's clock); monotonic stays.
void Board_ClockSetUtc(i64 utcNs);
// A slot holds a deadline only while its thread waits; a thread that stops
// waiting, for whatever reason, notes 0 (busy) until it waits again.
//
// The calling thread waits until the monotonic reading reaches the deadline:
// notes the deadline in its slot and blocks until an advance reaches it or
// realMs of host time passed, whichever is first. Answers true when the
// deadline is reached (the thread is then noted busy).
bool Board_ClockWait(u64 deadlineNs, int realMs);
// Notes the calling thread's deadline without blocking (a waiter that blocks
// elsewhere, in a poll over its descriptors, or spins), 0 when it is busy.
void Board_ClockNoteDeadline(u64 deadlineNs);
// Marks a thread (a controller process being started, a child just forked,
// by its pid) busy until it first waits, so that no advance runs ahead of
// its start; a thread that already waits keeps its deadline.
void Board_ClockNoteBusy(u32 tid);
// True when no live waiter's deadline is at or before the current reading.
bool Board_ClockSettled();
// True while a live thread takes part in the clock: false once the
// controller on this board has ended (or before it started).
bool Board_ClockInUse();
// Waits (host time, at most guardMs) until the board is settled.
bool Board_ClockSettle(int guardMs);
// Advances ns in steps of at most stepNs, settling after each step; false
// when a settle ran out of its guard (the controller hangs).
bool Board_ClockAdvanceSettled(u64 ns, u64 stepNs, int guardMs);

// ---------------------------------------------------------------------------
// Life cycle.

// Firmware path of the board file below the root.
constexpr const char* kBoardStatePath = "/sys/board.state";

// Maps the board of the current root, creating a fresh board when the file is
// missing or of another layout. False when the root is not set up or the file
// cannot be mapped (accesses then act on a private, fresh board).
bool Board_Open();
// Unmaps the board (the file stays).
void Board_Close();
// Writes the mapped state through to the file (before a reset or power-off).
void Board_Flush();
bool Board_IsOpen();
