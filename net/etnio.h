// Remote I/O over Ethernet: up to 16 adapters per interface, each a Modbus
// TCP server on port 502 carrying up to 8 I/O modules. In run mode the
// controller writes each module's configuration word to its adapter
// (function 16), then writes the outputs whenever they change (function 15)
// and reads the inputs otherwise (function 2), moving them between packed
// byte images and the registers. The adapters get their addresses from the
// BOOTP server.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u16 kEtnIoRecordId = 0xCF01;
constexpr u16 kEtnIoMagic = 0xAA55;
constexpr u32 kEtnIoConfigBytes = 3088;
constexpr u32 kEtnIoAdapters = 16, kEtnIoModules = 8;
constexpr u32 kEtnIoAdapterBytes = 192, kEtnIoModuleBytes = 16;
constexpr u32 kEtnIoImageBytes = 64;
constexpr u32 kEtnIoPort = 502;
constexpr u32 kEtnIoFrameMax = 260;  // one Modbus TCP frame

// Status words.
constexpr u16 kIoStOk = 0, kIoStException = 0xFF30, kIoStFunction = 0xFF33, kIoStLate = 0xFF34,
              kIoStBadFunction = 0xFF37, kIoStReceive = 0xFF96, kIoStConfig = 0xFF97, kIoStNoModules = 0xFF98,
              kIoStNoConnect = 0xFF99, kIoStNoLink = 0xFF9A, kIoStIdle = 0xFF9B;

// Phases.
constexpr u16 kPhIdle = 0, kPhConfigure = 1, kPhConfigured = 4, kPhOutputs = 0x10, kPhInputs = 0x40;

// Connection flags.
constexpr u8 kIoConfigured = 0x01, kIoConnectIssued = 0x02, kIoConnected = 0x04, kIoConnectFailed = 0x08;

struct EtnIoModule {
    u32 inRef = 0, outRef = 0;
    u16 inOffset = 0, outOffset = 0;  // byte offsets in the function-2 reply and the function-15 request
    u16 inSize = 0, outSize = 0;
    u16 type = 0;
    u32 configWord = 0;
};

struct EtnIoAdapter {
    u32 address = 0;
    u32 statusRef = 0;
    u8 mac[6] = {};
    u16 moduleCount = 0;
    u16 inBytes = 0, outBytes = 0;
    u16 phase = 0;
    u8 lastOut[kEtnIoImageBytes] = {};
    u16 tidIn = 0, tidOut = 0, tidConfig = 0;
    EtnIoModule modules[kEtnIoModules];
};

struct EtnIoAdapterConn {
    u8 flags = 0;
    u16 port = kEtnIoPort;
    u32 address = 0;
    NxTcpSocket socket;
    u16 rxLength = 0;  // bytes of a reply gathered so far
    u8 rx[kEtnIoFrameMax] = {};
};

struct EtnIoPortState {
    NxIp* ip = nullptr;
    NxPacketPool* pool = nullptr;
    EtnIoAdapterConn conns[kEtnIoAdapters];
    const u8* config = nullptr;
    u16 count = 0;
    EtnIoAdapter adapters[kEtnIoAdapters];
    u16 states[kEtnIoAdapters] = {};
    u16 current = 0;
    u16 tid = 0;
    u16 runCopy = 0;
    u16 crc = 0;
    u32 times[kEtnIoAdapters] = {};
    u8 socketsMade = 0;
};

u32 EtnIo_Init(NxIp* ip, NxPacketPool* pool);
void EtnIo_Scan(int iface);
u32 EtnIo_Conn_Cnt(int iface);
void EtnIo_DeInit(NxIp* ip);
bool EtnIo_HasWork();
void EtnIo_Reset();

// Builds and sends one request of adapter k: 1 sent, 0xFF37 a function
// other than 2, 15 and 16, 0xFF96 no packet or a failed send.
u32 EtnIoModTcpTxPacket(int iface, u32 k, u8 function);
// Looks for adapter k's reply: 1 accepted, 0 nothing yet (or a foreign
// transaction), 0xFF30, 0xFF33, 0xFF34 or 0xFF96.
u32 EtnIoModTcpRxPacket(int iface, u32 k);

// Reads an EtnIoConfig record (3088 bytes at cfg) into adapter records;
// false when it is invalid: bad magic, more than 16 adapters, an adapter
// with more than 8 modules or a module type outside 1-16, a base reference
// a module needs that is no register address and has no previous adapter
// to continue from. With bootpIface 0 or above each adapter read is given
// to that interface's BOOTP server.
bool EtnIo_ParseConfig(const u8* cfg, EtnIoAdapter out[kEtnIoAdapters], u16* count, int bootpIface);

// Checks one whole reply frame of adapter k and, for an input read, writes
// the inputs (only then): the result as for EtnIoModTcpRxPacket; 0 for a
// frame of a foreign transaction.
u32 EtnIo_ParseReply(const EtnIoAdapter& a, const u8* frame, u32 length);

// Where the first of interface iface's 0xCF01 records lies in the I/O
// configuration block (data, at most avail bytes); null when none.
const u8* EtnIo_FindConfig(int iface, u32* avail);

const EtnIoPortState& EtnIo_Block(int iface);
