// Virtual serial channels over Ethernet: a protocol driver's "port" whose
// number designates Ethernet is a TCP or UDP client connection from the
// controller to a remote device, with the byte operations of a serial port.
// 96 channels per interface; a channel connects on the first data operation
// and again after a drop, an address change or a 10-s connect time-out.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kVCommChannels = 96;
// Register memory byte of the saved next ephemeral local port.
constexpr u32 kEphemeralPortByte = 109082;

// Results of the operations on a port that cannot be used.
constexpr int kVCommLinkDown = 40, kVCommNotConnected = 45;

// Channel flag bits.
constexpr u8 kVcOpen = 0x01, kVcBound = 0x02, kVcConnectStarted = 0x04, kVcConnected = 0x08;

struct VCommChannel {
    u8 flags = 0;
    u16 remotePort = 0;
    u16 localPort = 0;
    u32 remoteAddress = 0;  // host order
    u16 transport = 0;      // 0 TCP, otherwise UDP
    NxPacket* rx = nullptr;
    NxPacket* tx = nullptr;
    u16 rxIndex = 0;
    u16 txLength = 0;
    NxTcpSocket tcp;
    NxUdpSocket udp;
    u32 addressReg = 0;  // register holding the remote address; 0: fixed
    u32 connectTime = 0;
};

struct VCommConnEth {
    NxIp* ip = nullptr;
    NxPacketPool* pool = nullptr;
    u8 closePending = 0;
    u8 closeState = 0;  // 0 idle, 1 disconnect the channel being closed, 2 wait for it
    u8 closing = 0;
    u8 socketsMade = 0;
    VCommChannel ch[kVCommChannels];
};

// The interface and channel a port number designates; false when it
// designates none (no interface bit, a Wi-Fi port while the Wi-Fi runs as
// access point, a channel of 96 or more).
bool EtnVCommPort(u32 port, int* iface, int* channel);

// Driver operations; the port number comes first.
int EtnVComm_Open(u32 port, const u8* record);  // 1 opened, 0 refused
void EtnVComm_FlushTx(u32 port);
int EtnVComm_PutTx(u32 port, u8 byte);  // the byte; 0 unusable; 45 not connected
void EtnVComm_DoTx(u32 port);
void EtnVComm_FlushRx(u32 port);
int EtnVComm_CheckRx(u32 port);  // 1 data, 0 none or not open, 40 link down, 45 not connected
int EtnVComm_GetRx(u32 port);    // 0-255, or -1
u32 EtnVComm_InitWait(u32 port);
u32 EtnVComm_WaitRx(u32 port);
u32 EtnVComm_IoCtl(u32 port);
int EtnVComm_Close1(u32 port);  // disconnects at once; stays open
int EtnVComm_Close(u32 port);   // closes; the close procedure disconnects outside run mode

u32 EtnVComm_Init(NxIp* ip, NxPacketPool* pool);
void EtnVComm_DeInit(NxIp* ip);
void EtnVComm_Scan(int iface);
u32 EtnVComm_Conn_Cnt(int iface);
bool EtnVComm_HasWork();
void EtnVComm_Reset();

// The channel block of an interface (tests).
const VCommConnEth& EtnVComm_Block(int iface);
