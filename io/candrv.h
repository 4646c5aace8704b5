// The controller's CAN port (port 0, Linux interface can0).
//
// The port is configured through the command runner ("ip link set can0
// down/up") and the device's sysfs attributes under the root, then a raw
// socket is opened: SocketCAN where the kernel has it, otherwise the stand-in
// bus of the simulated board (platform/canbus.h; PLC_CAN_BUS names the bus,
// kCanDefaultBus when unset). Users never touch the socket: they work on a
// receive ring and a transmit ring of 200 messages each, and Can_Isr, first
// in every main-loop pass, moves frames between the socket and the rings.
//
// Warning, passive and bus-off states are kept once an error frame reports
// them, until an error frame reports the controller back to error-active or
// restarted, or the port is initialised again, so that callers that look
// between passes still see them.
#pragma once

#include "platform/bytes.h"
#include "platform/canbus.h"  // kCanDefaultBus

constexpr int kCanRingSize = 200;
constexpr int kCanSettingsBytes = 12;
constexpr int kCanSettingBitRate = 6;  // settings byte: bit-rate index 0-4
constexpr int kCanSettingMode = 9;     // settings byte: 5 = 29-bit, 3 = no send buffer
constexpr int kCanModeExtended = 5;
constexpr int kCanModeNoSendBuffer = 3;
constexpr int kCanBitRateCount = 5;
constexpr int kCanStatisticsBytes = 16;

// _Can_Status bits.
constexpr u8 kCanStatusTxWarning = 0x04;  // transmit warning or passive
constexpr u8 kCanStatusRxWarning = 0x08;  // receive warning or passive
constexpr u8 kCanStatusRxRingFull = 0x10;
constexpr u8 kCanStatusRxOverflow = 0x20;  // controller receive overflow
constexpr u8 kCanStatusBusOff = 0x80;

// One message of the rings.
struct CanMsg {
    u8 length = 0;  // 0-8
    u8 remote = 0;  // non-zero: remote transmission request
    u32 id = 0;     // 11-bit, or 29-bit in mode 5; no flag bits
    u8 data[8] = {};
};

using CanEventCallback = void (*)();
constexpr int kCanEventReceive = 0, kCanEventTransmit = 1, kCanEventError = 2;
using CanIdFilter = int (*)(u32 id);

// (Re)configures the port and opens its socket; both rings are emptied,
// callbacks and filter survive a re-initialisation. A bit-rate index above 4
// is taken as 0 (125 kbit/s).
void _Can_Init(int port, const u8* settings);
// One service pass of port 0: receive everything waiting, then send until
// the socket refuses a frame.
void Can_Isr();

CanMsg* _Can_NextTx(int port);
void _Can_PutTx(int port, CanMsg* unused);
int _Can_CheckRx(int port);
CanMsg* _Can_GetRx(int port);
void _Can_NextRx(int port);
u8 _Can_Status(int port);
void _Can_SetEvent(int port, int kind, CanEventCallback callback);
CanEventCallback _Can_GetEvent(int port, int kind);

int CanIdFilterDefault(u32 id);
void _Can_SetSWFilter(int port, CanIdFilter filter);
int _Can_CountRx(int port);
int _Can_CountTx(int port);
int _Can_CheckTx(int port);
void _Can_FlushRx(int port);
void _Can_FlushTx(int port);
// The 16-byte statistics block (little-endian u16s: transmit load, receive
// load in per mille, then the counters of transmit warnings, receive
// warnings, dropped frames, controller overflows, a reserved one and
// bus-offs). clear zeroes the counters afterwards.
const u8* _Can_Data(int port, int clear);
int _Can_SentTx(int port);
int _Can_Lockup(int port);
void _Can_AbortTx(int port);
void _Can_BusOn(int port);
void _Can_BusOff(int port);

// The port's socket (the main loop's idle wait wakes on it); -1 while
// closed.
int Can_Descriptor(int port);
// True once the port's socket is open.
bool Can_IsOpen(int port);
// True when the port runs on the stand-in bus (no SocketCAN).
bool Can_OnStandInBus(int port);
// Closes the socket and forgets everything (tests).
void Can_Reset();
