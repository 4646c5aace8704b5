// The IEC application's own Modbus: the configuration it declares in its code
// image (client connections with their requests, local servers with their
// tables, slave records, variable mappings), the context built from it in the
// VM database (area 30), and the client that polls remote slaves over TCP,
// UDP, RTU and ASCII. Requests and server tables keep their data in buffers
// of the context; the mapping moves them to and from IEC variables.
//
// The context holds no host addresses: records refer to each other, to their
// configuration records and to their buffers by byte offsets (from the
// context's start, or from the configuration's start for configuration
// records), so a saved database stays valid.
#pragma once

#include "platform/bytes.h"

// Configuration record types.
enum Q4MBRecord : u16 { kMbRecConnection = 1, kMbRecRequest = 2, kMbRecSlave = 7 };
// Connection record of the configuration (offsets from its start).
constexpr u32 kMbcId = 4, kMbcPort = 6, kMbcDelay = 8, kMbcFlags = 10, kMbcReconnect = 12, kMbcAddress = 14;
// Request / server table record of the configuration.
constexpr u32 kMbqId = 4, kMbqConn = 6, kMbqUnit = 8, kMbqMode = 10, kMbqPeriod = 12, kMbqFunction = 14,
              kMbqAddress = 16, kMbqQuantity = 18, kMbqTries = 20, kMbqTimeout = 22, kMbqBufSize = 24,
              kMbqErrPeriod = 26, kMbqMinBytesForErrPeriod = 27;
// Slave record of the configuration.
constexpr u32 kMbsConn = 4, kMbsUnit = 6;
// Connection flags.
constexpr u16 kMbFlagReconnect = 0x0001, kMbFlagSerial = 0x0010, kMbFlagServer = 0x0100, kMbFlagUdp = 0x8000;

// Context header.
constexpr u32 kMbHdrSize = 0, kMbHdrConn = 4, kMbHdrLocal = 8, kMbHdrSlave = 12, kMbHdrReq = 16, kMbHdrData = 20,
              kMbHdrMap = 24, kMbHdrNConn = 28, kMbHdrNSlave = 30, kMbHdrNReq = 32, kMbHdrNMap = 34,
              kMbHdrBytes = 36;
// Connection record (328 bytes). Its requests and slave records are
// consecutive in their arrays (first index, count).
constexpr u32 kMbConCfg = 0, kMbConFirstReq = 4, kMbConFirstSlave = 8, kMbConEndTime = 12, kMbConWaitStart = 16,
              kMbConId = 20, kMbConCurrent = 22, kMbConNReq = 24, kMbConSerial = 26, kMbConNSlave = 28,
              kMbConFlags = 30, kMbConAscii = 32, kMbConState = 36, kMbConStatus = 38, kMbConPos = 40,
              kMbConLen = 42, kMbConTransaction = 44, kMbConAsciiFrame = 46, kMbConSendTime = 48,
              kMbConTimeout = 52, kMbConFrame = 56, kMbConSocket = 320, kMbConHandle = 324, kMbConBytes = 328;
// Request record (40 bytes).
constexpr u32 kMbRqCfg = 0, kMbRqSlave = 4, kMbRqLastSend = 8, kMbRqData = 12, kMbRqDate = 16, kMbRqTime = 20,
              kMbRqState = 24, kMbRqError = 26, kMbRqRetries = 28, kMbRqSuccess = 30, kMbRqErrors = 32,
              kMbRqReserved = 34, kMbRqTrigger = 36, kMbRqServer = 37, kMbRqHandshake = 38, kMbRqNoData = 39,
              kMbRqBytes = 40;
// Slave record (28 bytes).
constexpr u32 kMbSlUnit = 0, kMbSlLastError = 2, kMbSlErrDate = 4, kMbSlErrTime = 8, kMbSlResetDate = 12,
              kMbSlResetTime = 16, kMbSlExchanges = 20, kMbSlErrors = 24, kMbSlBytes = 28;
constexpr u32 kMbMapBytes = 28;

// Connection states.
enum Q4MBConnState : u16 {
    kMbIdle = 0,
    kMbConnecting = 1,
    kMbConnecting2 = 2,
    kMbSending = 3,
    kMbSent = 4,
    kMbReceiving = 5,
    kMbReceived = 6,
    kMbError = 7,
    kMbDelay = 8,
    kMbReconnectWait = 9,
};
// Request states.
enum : u16 { kMbRqDone = 0, kMbRqBusy = 3, kMbRqFailed = 7 };
// Status and error codes (1-127: the exception code of an answer).
enum : u16 { kMbErrTimeout = 128, kMbErrChecksum = 129, kMbErrConnection = 130 };

// Bytes the context of a configuration needs (36 without one); 0 when the
// configuration is refused (a request or table that its frame or buffer
// cannot hold, records that run past the configuration's end).
u32 Q4MB_GetMemorySizing(const u8* cfg, u32 cfgBytes);
// Clears size bytes of context and builds it from the configuration; 0 done,
// 1 refused (the configuration is refused or needs more than size).
int Q4MB_Build(const u8* cfg, u32 cfgBytes, u8* ctx, u32 size);
// 1 when the context cannot take the configuration in place (on-line
// change needs a new database), else 0.
int Q4MB_CanBuildHOT(const u8* cfg, u32 cfgBytes, const u8* ctx);
// Rebuilds the context in place for the configuration of a changed code
// (on-line change, hot restart): connections closed beforehand start over,
// states, counters and buffers are cleared. 0 done, 1 when the configuration
// is refused or needs more than the size bytes of the area.
int Q4MB_BuildHOT(const u8* cfg, u32 cfgBytes, u8* ctx, u32 size);

// The runtime's entries on its database (no Modbus configuration: nothing
// happens). Open answers 0, or 1 when a client connection failed to open.
int Q4MB_Open(u8* db);
void Q4MB_Close(u8* db);
// One client pass; now in milliseconds of the day.
void Q4MB_Activate(u8* db, u32 now);

// The context of the database and its configuration (false: none).
struct Q4MBView {
    u8* db = nullptr;
    u8* ctx = nullptr;
    const u8* cfg = nullptr;
    u32 cfgBytes = 0;
};
bool Q4MB_View(u8* db, Q4MBView* v);
// Records by index (null outside), the configuration record of a context
// record, and a request's data buffer.
u8* Q4MB_Connection(const Q4MBView& v, u32 k);
u8* Q4MB_Request(const Q4MBView& v, u32 k);
u8* Q4MB_Slave(const Q4MBView& v, u32 k);
const u8* Q4MB_Config(const Q4MBView& v, const u8* record);
u8* Q4MB_Data(const Q4MBView& v, const u8* request);
u32 Q4MB_BufferSize(const Q4MBView& v, const u8* request);
// The connection a request belongs to.
u8* Q4MB_ConnectionOf(const Q4MBView& v, const u8* request);
