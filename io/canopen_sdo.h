// Service data objects of the CANopen node: the SDO servers that answer
// other nodes out of the object dictionary, the dictionary itself
// (CANOpenODAccess), and the SDO client of the NMT master's boot checks and
// of the ladder and IEC SDO blocks.
//
// The server and the client keep separate transfer records, so a request
// from another node never disturbs an answer this node is waiting for.
// Only expedited transfers are served in either direction (nothing of the
// dictionary is longer than 7 bytes, and one upload segment completes the
// longest object).
#pragma once

#include "io/candrv.h"
#include "io/canopen_table.h"

constexpr u32 kCoStatusShortSdo = 0x4000;

constexpr u32 kSdoAbortToggle = 0x05030000, kSdoAbortCommand = 0x05040001, kSdoAbortBlockSize = 0x05040002,
              kSdoAbortSequence = 0x05040003, kSdoAbortUnsupported = 0x06010000, kSdoAbortWriteOnly = 0x06010001,
              kSdoAbortReadOnly = 0x06010002, kSdoAbortNoObject = 0x06020000, kSdoAbortCannotMap = 0x06040041,
              kSdoAbortIncompatible = 0x06040043, kSdoAbortTooLong = 0x06070012, kSdoAbortTooShort = 0x06070013,
              kSdoAbortNoSubindex = 0x06090011, kSdoAbortGeneral = 0x08000000, kSdoAbortState = 0x08000022;

// Longest object this dictionary holds.
constexpr u16 kCoObjectMaxBytes = 8;

// Helpers of every part of the dictionary. A write of `have` bytes to an
// object of `want` bytes: 0, or the abort code for too long or too short.
u32 CoSdo_WriteLength(u16 have, u16 want);
// A read answer of `bytes` (1-4) bytes of value: fills data and *length, 0.
u32 CoSdo_Answer(u8* data, u16* length, u32 value, u16 bytes);
// A write to a 4-byte COB-ID object whose identifier must not be 0.
u32 CoSdo_WriteCobId(const u8* data, u16 length, u32* into);

// The SDO servers: server 0 on 0x600/0x580 + node id, then the table's
// entries.
void CoSdo_Init(const CoTable& table, u16 nodeId);
// A received frame: true when it belonged to one of the server channels
// (answered, aborted or ignored).
bool CoSdo_Server(const CanMsg& m);
// The server channel whose client-to-server identifier is id, -1 for none;
// and the identifier it answers on.
int CoSdo_ServerChannel(u32 id);
u32 CoSdo_ServerAnswerId(int channel);

// The object dictionary: reads fill data (kCoObjectMaxBytes) and *length,
// writes take *length bytes. 0 or an SDO abort code.
u32 CANOpenODAccess(u16 index, u8 subindex, bool write, u8* data, u16* length);

// The SDO client: one request at a time, to the node whose server listens
// on clientToServer and answers on serverToClient. Requests answer 1 when
// queued, 0 when a request is pending or the transmit ring is full. A
// request without an answer within timeoutTicks is forgotten (pending
// clears, no answer arrived).
struct CoSdoClientAnswer {
    bool arrived = false;
    bool aborted = false;
    u32 abortCode = 0;
    u8 length = 0;  // of an upload
    u8 data[4] = {};
};
int CoSdo_ClientUpload(u32 clientToServer, u32 serverToClient, u16 index, u8 subindex, u32 timeoutTicks);
int CoSdo_ClientDownload(u32 clientToServer, u32 serverToClient, u16 index, u8 subindex, const u8* data, u8 length,
                         u32 timeoutTicks);
// A received frame while a request is pending: true when it was the
// client's answer channel.
bool CoSdo_ClientFrame(const CanMsg& m);
// Per scan: the client's time-out.
void CoSdo_ClientTimer();
bool CoSdo_ClientPending();
const CoSdoClientAnswer& CoSdo_ClientResult();
// Forgets the request and its answer.
void CoSdo_ClientClear();

u32 CoSdo_Status();
void CoSdo_Reset();
