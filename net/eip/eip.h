// EtherNet/IP adapter of the wired interfaces eth0 and eth1: encapsulation
// sessions on TCP port 44818, unconnected and connected explicit messages
// answered by the CIP objects (net/eip/cip.h), the application side of
// Forward Open and Forward Close, and cyclic class-1 I/O on UDP port 2222
// between assemblies 100 (consumed) and 101 (produced) and the registers the
// interface's configuration names. Polled once per main-loop pass; nothing
// blocks.
//
// The module owns the per-interface adapter records, the shared buffers and
// the produced and consumed images; Eip_Reset forgets them.
#pragma once

#include "net/eip/cip.h"
#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kEipTcpPort = 44818;
constexpr u32 kEipUdpPort = 2222;
constexpr u32 kEipBufferBytes = 1500;  // one encapsulation message or I/O datagram
constexpr u32 kEipImageBytes = 256;    // each assembly image
constexpr u32 kEipSessions = 2;
constexpr u32 kEipSlots = 8;
constexpr u32 kEipSessionIdleMs = 60000;
constexpr u32 kEipClass3MinTimeoutMs = 10000;
constexpr u32 kEipHeaderBytes = 24;
// Received bytes kept per session: one whole message beside one receive.
constexpr u32 kEipStreamBytes = kEipBufferBytes + kNxReceiveMax;
// The identity the adapter reports.
constexpr u16 kEipVendorId = 0xFFF0;
constexpr u16 kEipProductCode = 20;
constexpr const char* Eip_Product_Name = "VDL420";

// Encapsulation commands and statuses.
constexpr u16 kEipNop = 0x0000, kEipListServices = 0x0004, kEipListIdentity = 0x0063,
              kEipRegisterSession = 0x0065, kEipUnRegisterSession = 0x0066, kEipSendRRData = 0x006F,
              kEipSendUnitData = 0x0070;
constexpr u32 kEipStatusBadCommand = 0x0001, kEipStatusBadData = 0x0003, kEipStatusBadLength = 0x0065;
// Common packet format items.
constexpr u16 kCpfNull = 0x0000, kCpfConnectedAddress = 0x00A1, kCpfSequencedAddress = 0x8002,
              kCpfConnectedData = 0x00B1, kCpfUnconnectedData = 0x00B2, kCpfSockaddrOT = 0x8000,
              kCpfSockaddrTO = 0x8001;

// What EipParseCpf found in a common packet format.
struct EipCommonPktInfo {
    u8 addressPresent = 0;
    u16 addressType = 0;
    u32 connectionId = 0;
    u32 sequence = 0;
    u8 dataPresent = 0;
    u16 dataType = 0;
    u32 dataLength = 0;
    const u8* data = nullptr;
    u16 sockaddrType = 0;  // 0x8000 when a sockaddr info item was present
    u16 sockaddrFamily = 0, sockaddrPort = 0;
    u32 sockaddrAddress = 0;
};
// Parses n bytes (item count first); false when the items do not fit in
// them, an address item has the wrong length, a type is unknown or there are
// fewer than two items.
bool EipParseCpf(const u8* p, u32 n, EipCommonPktInfo* out);

struct EipTcpSession {
    NxTcpSocket socket;
    u32 lastActivity = 0;
    u8 stream[kEipStreamBytes] = {};  // received bytes not yet served
    u32 streamLength = 0;
    u32 skip = 0;  // bytes of a refused message still to be dropped
};

// One direction of a class-1 connection, or one class-3 connection.
struct EipConnSlot {
    CipConnConfig* config = nullptr;
    CipConnection* connection = nullptr;  // null: slot free
    u32 encapSequence = 0;  // producer: next to send; consumer: last accepted
    u8 sequenceSeen = 0;    // consumer: a datagram was accepted
    u16 dataSequence = 0;   // producer: 16-bit sequence count of the data item
    u32 remoteAddress = 0;  // where T->O data go; 0 until the Forward Open reply was built
    u16 port = 0;
    u32 timeout = 0;             // ms without traffic (consumer, class 3)
    u32 productionInterval = 0;  // ms (producer)
    u32 lastActivity = 0;
    NxUdpSocket udp;
    u8 udpCreated = 0;
};

struct EipPortState {
    NxIp* ip = nullptr;
    int index = 0;
    CipIdentity* identity = nullptr;
    CipMessageRouter* router = nullptr;
    CipConnManager* manager = nullptr;
    CipAssembly* produced = nullptr;  // assembly 101
    CipAssembly* consumed = nullptr;  // assembly 100
    CipTcpIp* tcpIp = nullptr;
    CipEnetLink* link = nullptr;
    u8 action = 0;     // of the last message: 0 no reply, 1 reply, 2 close the session
    u8 listening = 0;  // a listener was set up on the port
    u8 explicitCount = 0;
    u8 ioCount = 0;
    u32 originatorAddress = 0;
    u16 statusWord = 0;
    EipTcpSession sessions[kEipSessions];
    EipConnSlot slots[kEipSlots];
};
extern EipPortState EipConnEth[4];
extern u8 EipTxData[kEipImageBytes];  // produced image (assembly 101)
extern u8 EipRxData[kEipImageBytes];  // consumed image (assembly 100)

// Encapsulation actions.
constexpr u8 kEipNoReply = 0, kEipReply = 1, kEipClose = 2;

u32 Eip_Init(NxIp* ip, NxPacketPool* pool);
void Eip_Scan(int port);
u32 Eip_Conn_Cnt(int port);
void Eip_DeInit(NxIp* ip);
bool Eip_HasWork();
void Eip_Reset();
// Milliseconds until the next production of any interface is due (~0u: no
// producer), so that the main loop wakes in time for it.
u32 Eip_NextProductionMs();

// Serves the message of `received` bytes in the receive buffer of interface
// `port`, builds the reply in the transmit buffer and answers the action.
u8 EncapMsg(int port, const u8* message, u32 received);
// The reply EncapMsg built last: 24 header bytes and its length field's data.
const u8* Eip_Reply(u32* length);
// Routes one unconnected request of `length` bytes; answers the reply length.
u32 Ucmm_Msg(u8* request, u8* reply, u32 length);

// Connection manager handlers.
void EipConnectionOpen(CipConnConfig* config);
void EipConnectionClose(CipConnConfig* config);

// The multicast group of T->O data for an interface address and mask.
u32 Eip_MulticastAddress(u32 address, u32 mask);
// Consumer sequence rule: true when `sequence` is newer than the last one
// accepted (32-bit serial-number arithmetic).
bool Eip_SequenceNewer(u32 sequence, u32 last);
