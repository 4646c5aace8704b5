// Modbus TCP and UDP server of each Ethernet interface: a polled state
// machine stepped once per main-loop pass, after the scan, serving only in
// run mode 2; what came while the loop waited is also served before the
// scan. Each serving takes every complete frame waiting on every connection
// and answers a read at once, from the registers the last scan published;
// answers leave in the order of the requests.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kModbusSockets = 16;
constexpr u32 kModbusRxBytes = 1540;
constexpr u32 kModbusTxBytes = 266;
constexpr u32 kModbusIdleMs = 60000;
// A frame begun must be whole within this time, however often its bytes
// come; and a connection quiet this long gives its slot to a newcomer when
// every slot is taken.
constexpr u32 kModbusFrameMs = 1000;
// Bytes kept per TCP connection between reads: room for one full receive
// beside a frame that waits for its turn.
constexpr u32 kModbusStreamBytes = 2048;

struct ModbusPendingRead {
    u32 reference;
    u32 bits;
    u16 transaction;
    u8 pending;
    u8 function;
    u8 unit;
};

struct ModbusSocketEntry {
    NxTcpSocket socket;
    u32 lastActivity = 0;
    ModbusPendingRead read{};  // a read whose answer the socket could not take yet
    u8 stream[kModbusStreamBytes];  // received bytes not yet served
    u32 streamLength = 0;
    u32 frameStart = 0;  // ms: when the first byte of the unfinished frame came
};

struct ModbusConn {
    ModbusSocketEntry sockets[kModbusSockets];
    NxIp* ip = nullptr;
    NxUdpSocket udp;
    u32 peerAddress = 0, peerPort = 0;
    u8 active = 0;
    u16 port = 0;
    int index = 0;
};

extern ModbusConn ModbusConnEth[4];
extern NxPacketPool* ModbusPacketPoolPtr;

u32 Modbus_Init(NxIp* ip, NxPacketPool* pool);
void Modbus_Scan(int port);
// Serves what waits on the connections of every server its step started,
// nothing else: run at the start of a pass, before the scan, so that a
// request that came while the loop waited is answered at once from the
// registers the last scan published, not after this pass's scan.
void Modbus_Serve();
void Modbus_Stop(int port);
void Modbus_DeInit(NxIp* ip);
u32 Modbus_Conn_Cnt(int port);
// Map of a Modbus address to a register bit address (0: not mapped). The
// quantity bounds the areas whose end is checked.
u32 ModbusMapToken(u32 table, u32 address, u32 quantity);

// Outcome of one request frame.
struct ModbusOutcome {
    enum Kind { kDrop, kAnswer, kRead } kind = kDrop;
    u32 answerLength = 0;  // kAnswer: bytes of the answer in the tx buffer
    ModbusPendingRead read{};
};
// Serves one complete frame of n bytes for interface `port`: writes are
// carried out and their echo (or an exception) built into tx (266 bytes);
// reads are checked and returned as a pending read.
ModbusOutcome Modbus_Process(int port, const u8* frame, u32 n, u8* tx);
// Builds the answer of a pending read into tx; returns its length (0 when the
// registers cannot be read).
u32 Modbus_BuildReadAnswer(const ModbusPendingRead& r, u8* tx);
// Bytes of the first complete frame at the start of a TCP byte stream: 0 when
// more bytes are needed, and ~0u when the stream cannot hold a frame (its
// length field is impossible) and must be discarded.
u32 Modbus_FrameLength(const u8* data, u32 n);

// Set while a service has work for the next pass (the main step then does not
// wait for input).
bool Modbus_HasWork();
void Modbus_Reset();
