// Variable binding between runtimes, over their event servers.
//
// Producer (Q4EA_*): the change-event table (VM database area 32) holds the
// watched variables: the application's public (static) events, which every
// event client receives, and private subscriptions of clients 1..8. After
// each cycle the changed values (with per-item hysteresis and the variable
// status) are queued to the subscribed clients as variable events.
//
// Consumer (Q4EAX_*): for every connection of the code image's binding
// tables the runtime connects as an event client to another runtime's event
// server, acknowledges its frames and writes the public values it receives
// into the local variables bound to them, with connection status, variable
// status and stamps. Connections live in area 33, bound variables in area 34.
//
// Records in the database hold offsets, never host pointers: item and
// variable records address their variable by its database offset.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

struct Q4EvsServer;

// --- Change-event item (area 32, 64 bytes, little-endian) -------------------
constexpr u32 kQ4EaItemBytes = 64;
enum Q4EaItemField : u32 {
    kEaSize = 0,         // u8 value size (strings 1)
    kEaType = 1,         // u8 IEC type (0 = unused)
    kEaFlags = 2,        // u16
    kEaIndex = 4,        // u16
    kEaSubscribers = 6,  // u16
    kEaStaticId = 8,     // u16
    kEaCtOffset = 12,    // u32
    kEaData = 16,        // u32 database offset of the value (strings: the length byte)
    kEaVsi = 20,         // u32 database offset of the status record, 0 none
    kEaLastStatus = 24,  // 8 bytes
    kEaLastValue = 32,   // 8 bytes (strings: u16 CRC, u8 length)
    kEaHystPos = 40,     // 8 bytes in the variable's type
    kEaHystNeg = 48,
    kEaClients = 56,     // 8 bytes: 0 not subscribed, 1 up to date, 2 pending
};
static_assert(kEaClients + 8 == kQ4EaItemBytes);
enum Q4EaItemFlag : u16 { kEaSent = 0x01, kEaPending = 0x02, kEaStatic = 0x04, kEaHysteresis = 0x08 };

// A string this long or longer goes as a text event (kind 132) first.
constexpr u32 kQ4EaLongString = 223;

// 1 when a static event could not be registered.
int Q4EA_Open(const Q4Code& code, u8* db, Q4EvsServer* server);
void Q4EA_Close(u8* db, Q4EvsServer* server);
int Q4EA_RegisterStaticEvents(const Q4Code& code, u8* db);
// Client 0: a static event; 1..8: a private subscription. Hysteresis values
// are raw little-endian in the variable's type (both or none). Item number
// 1.. or 0 (refused, table full, already subscribed).
u32 Q4EA_RegisterChangeEvent(u8* db, u32 client, u8 type, u16 index, u16 staticId, const u8* hystPos,
                             const u8* hystNeg, u32 ctOffset);
// 0 when a subscription was removed, else 1.
int Q4EA_UnregisterChangeEvent(u8* db, u32 client, u8 type, u16 index, u32 ctOffset);
// The producer's pass, at the end of a cycle.
void Q4EA_ManageChangeEvents(u8* db, Q4EvsServer* server);
// Items in use, and item n (from 0) for inspection.
u32 Q4EA_Count(u8* db);
const u8* Q4EA_Item(u8* db, u32 n);

// --- Consumer ---------------------------------------------------------------
constexpr u32 kQ4EaxCnxBytes = 1144;
constexpr u32 kQ4EaxVarBytes = 32;
constexpr u32 kQ4EaxFrameBytes = 1024;
constexpr u32 kQ4EaxQuietMs = 3000;

enum Q4EaxState : u16 { kEaxDown = 0, kEaxConnecting = 1, kEaxReceiving = 2, kEaxAcking = 3, kEaxSilent = 4 };
// Connection status codes (a redundant pair: primary low nibble, secondary high).
enum Q4EaxStatus : u8 { kEaxFlowing = 0, kEaxStConnecting = 1, kEaxStDown = 2, kEaxStSilent = 3, kEaxStNoValues = 4 };
enum Q4EaxRole : u8 { kEaxValue = 1, kEaxCnxStatus = 2, kEaxVarStatus = 3, kEaxTime = 4, kEaxDate = 5 };

u32 Q4EAX_GetNbCnx(const Q4Code& code);
u32 Q4EAX_GetNbVar(const Q4Code& code);
// 0, or 52 when the binding tables do not hold together.
int Q4EAX_Build(const Q4Code& code, u8* db);
int Q4EAX_CanBuildHOT(const Q4Code& code, u8* db);
int Q4EAX_BuildHOT(const Q4Code& code, u8* db);
int Q4EAX_Link(u8* db);
int Q4EAX_Open(u8* db);
void Q4EAX_Close(u8* db);
void Q4EAX_Activate(u8* db, u32 nowMs);
// For inspection: the state of connection k and its status code.
u16 Q4EAX_State(u8* db, u32 k);
u8 Q4EAX_Status(u8* db, u32 k);
// Processes one received event frame for connection k (the consumer's own
// path; exposed for the fuzz target). False when the frame is refused.
bool Q4EAX_ProcessFrame(u8* db, u32 k, const u8* frame, u32 length);
