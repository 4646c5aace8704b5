// Ethernet Global Data of each Ethernet interface: exchanges of register
// blocks between controllers without requests. A producer sends a datagram
// to a unicast address or a group 224.0.7.n at its period; a consumer that
// knows the producer's identity and the exchange number takes the data into
// its registers and watches a time-out. The exchanges come with the network
// configuration; data move only in run mode.
//
// It owns the two UDP sockets of each interface (send, and receive on port
// 18246), the group memberships, and per exchange the request counter, the
// time stamp and the status word.
#pragma once

#include "net/dpr.h"
#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kEgdPort = 18246;
constexpr u32 kEgdHeaderBytes = 32;
// A datagram must fit one Ethernet frame (1500-byte MTU less the IP and UDP
// headers): exchanges that would produce more are refused at configuration.
constexpr u32 kEgdMaxDatagram = 1472;
constexpr u32 kEgdGroupBase = 0xE0000700;  // 224.0.7.0; groups 1 to 32
constexpr u32 kEgdGroups = 32;

// Exchange flags.
constexpr u32 kEgdConfigured = 0x80000000u, kEgdMulticast = 1u << 0, kEgdProducer = 1u << 1, kEgdIdReg = 1u << 16,
              kEgdAddrReg = 1u << 17, kEgdGroupReg = 1u << 18;
// Item kinds (descriptor bits 15-13) and size (bits 10-0).
constexpr u32 kEgdData = 0, kEgdDate = 1, kEgdStamp = 2, kEgdStatus = 4, kEgdSkip = 6;
constexpr u32 EgdItemKind(u32 descriptor) { return (descriptor >> 13) & 7; }
constexpr u32 EgdItemSize(u32 descriptor) { return descriptor & 0x7FF; }

// Exchange status values and bits.
constexpr u16 kEgdStarted = 0, kEgdRunning = 1, kEgdLinkDown = 2, kEgdProducerStatus = 3, kEgdTimedOut = 6,
              kEgdRecovered = 7, kEgdBadId = 8, kEgdBadGroup = 0x10;

struct EGDConn {
    NxIp* ip = nullptr;
    NxPacketPool* pool = nullptr;
    NxUdpSocket sendSocket, receiveSocket;
    u8 sendCreated = 0, receiveCreated = 0;
    u16 request[kEgdExchanges] = {};
    u32 stamp[kEgdExchanges] = {};
    u16 status[kEgdExchanges] = {};
    u32 groupsRead[kEgdExchanges] = {};
    u16 previousRun = 0;
    u8 configurePending = 1;
    // Checked at configuration: an exchange whose items name registers that
    // do not exist, or whose datagram would pass one frame, never runs.
    u8 disabled[kEgdExchanges] = {};
    // Index of the exchange's first status register in the status request
    // table, numbered as the configuration parser appended them.
    u16 statusIndex[kEgdExchanges] = {};
};

extern EGDConn EGDConnEth[4];

u32 Egd_Init(NxIp* ip, NxPacketPool* pool);
void Egd_Config(int port);
void Egd_Scan(int port);
void Egd_DeInit(NxIp* ip);
u32 Egd_ConnCnt(int port);
bool Egd_HasWork();
void Egd_Reset();

// Seconds since 1970 of the controller clock's six words (second, minute,
// hour, day, month, year).
u32 Egd_SecondsOf(const u16 clock[6]);
// Date of a time stamp: second, minute, hour, day, month, year, milliseconds.
void Egd_DateOf(u32 seconds, u32 nanoseconds, u16 out[7]);
// Offers one received datagram to the consumer exchanges of an interface:
// the index of the exchange that took it, or -1 (no match, or a datagram
// shorter than its header and items, or longer than one receive: nothing
// written).
int Egd_Consume(int port, const u8* datagram, u32 n);
