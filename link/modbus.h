// The serial Modbus engine: one station, master or slave, on each of the two
// serial ports while a Modbus instruction (or IEC block) is enabled on it.
// Framing is RTU (CRC-16) or ASCII (LRC) by the port's protocol nibble, or
// Modbus TCP framing over the cellular module's data socket 0 while the
// modem engine has switched it on. This module owns the per-port control
// record, the receive and transmit machines, the slave and master steps,
// the time-out and the status words; what a request means (address maps,
// diagnostics, master request and response) is link/modapi's.
//
// Everything runs in the scan: a step consumes what the driver has
// buffered, and a send only queues bytes; nothing waits.
#pragma once

#include "link/talk.h"
#include "platform/bytes.h"

constexpr u32 kModFrameBytes = 268;   // frame buffer: address, function, data
constexpr u32 kModRtuLimit = 260;     // receive index that counts an over-long frame
constexpr u32 kModTcpLimit = 265;     // the same in Modbus TCP framing
constexpr u16 kModEndOfFrame = 0x8000;  // the receive machine's frame-end event

// Mode flags of the engine.
constexpr u8 kModAscii = 0x01, kModMaster = 0x02, kModListenOnly = 0x04;

// Result flags of the engine (a master's status word takes them with bit 1).
constexpr u16 kModAccepted = 0x0001, kModFrameError = 0x0400, kModUnexpected = 0x0800;
constexpr u16 kModTimeoutStatus = 0x102;

// Counters, in the order diagnostics report them.
enum ModCounter : u32 { kCntBus, kCntSlave, kCntCommError, kCntException, kCntNoResponse, kModCounters };

// Station states.
constexpr u8 kStSlave = 0, kStIdle = 1, kStQueued = 2, kStWaiting = 3, kStDone = 4;

// Bytes of the copy of the current master request: the six-word register
// record or the IEC request record (u16 slave, function, remote address,
// count, u32 local data reference, u16 local offset, u16 width code).
constexpr u32 kModRequestBytes = 16;

struct ModEngine {
    u8 station = 0;  // answered by function 65 (the own address)
    u8 mode = 0;
    u16 result = 0;
    u8* local = nullptr;  // the current master request's local data
    u32 localBytes = 0;   // bytes that may be touched from local on
    u8 localShift = 0;    // bit position of the first local bit (register bit types)
    u8 localBools = 0;    // 1: local bits are one-byte BOOLs (IEC form)
    u16 counters[kModCounters] = {};
    u16 port = 0;
    u16 state = 0;  // framing state, shared by reception and transmission
    u8 digit = 0, lrc = 0;
    u16 crc = 0;
    u16 length = 0;  // frame bytes without CRC or LRC
    u16 index = 0;
    int expected[2] = {};  // RTU end-of-frame recovery
    u8 match[2] = {};
    u8 frame[kModFrameBytes] = {};
    u16 ownAddress = 0;
    u8 request[kModRequestBytes] = {};
};

struct ModPortState {
    u32 elapsed = 0;  // tenths of a second
    u32 stamp = 0;    // free-running counter at the last accounting
    u16 triggerMask = 0;
    u8 requestSeen = 0;  // slave transmit request
    u8 station = kStSlave;
    u16 lineError = 0;  // master: 0 or 0x200
    u16 transmitting = 0;  // 1 queued, 255 the driver still sends, 0 done
    u8 forward = 0;        // store-and-forward frame waits
    u16 lastTrigger = 0;   // IEC master: the control word at the previous step
    u8 broadcast = 0;      // master: the request in flight went to every station
};

struct ModPcb {
    TalkModbusConfig cfg;
    ModEngine e;
    ModPortState s;
};

// Shared by both ports, used by the one the modem engine names.
struct ModbusTcpState {
    u8 flags = 0;  // bit 0 on, bit 1 a master request awaits, bit 2 a TCP frame is sent, bits 3-4 port
    u16 transaction = 0;
    u16 protocol = 0;
};

int ModbusInit(int port, const TalkModbusConfig& config);
int ModbusExecute(int port);
int ModbusStop(int port);
void MOD_TCPInit(int on, int port);

// The engine record of a port (0 or 1), for link/modapi and the tests.
ModPcb& MOD_Pcb(int port);
const ModbusTcpState& MOD_TcpState();
// One received byte (or kModEndOfFrame) through the receive machine.
void MOD_RxMachine(ModPcb& p, u16 byte);
// Sends the first `length` bytes of the frame buffer (copied from source
// first when given) with framing and check bytes; used for responses,
// requests, slave transmit requests and forwarded frames.
void MOD_SendException(ModPcb& p, const u8* source, u32 length);
// A master request: clears the result flags, then sends.
void MOD_SendRequest(ModPcb& p, u32 length);
// True once ModbusInit has run since the last reset (the data movers answer
// 4 until then).
bool MOD_Initialised();
// True while an IEC application with known variables runs (the IEC forms serve).
bool MOD_IecForms();
// Bytes readable from p when it lies in register memory, else `fallback`.
u32 MOD_RegBytesFrom(const u8* p, u32 fallback);

// RTU expected lengths of a function code (request form, response form).
void ExpectedSize(u8 function, int* request, int* response);

void MOD_Reset();
