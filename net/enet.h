// Ethernet main step: brings the interfaces up from the downloaded network
// configuration, keeps link, address, gateway and DNS server of each up to
// date, steps every Ethernet service once per pass, tells the master script
// which interfaces to restart, writes status words and statistics and
// carries out the restart requests of %SR156 and %SR153.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

// 1 while the web-HMI server is the chosen HTTP server.
extern u8 DartuHttp;
// Set when interface 0's IP address changed.
extern u8 DartuUpdateNewIp;

constexpr u32 kEnetFallbackAddress = 0xC0A8FE80;  // 192.168.254.128
constexpr u32 kEnetLinkDebounceMs = 2000;
constexpr u16 kEnetVersion = 493;

extern u32 EnetPortScan;
extern u32 EnetIpAddress[4], EnetNetMask[4], EnetGateway[4], EnetDns[4];
extern u8 Enet_LinkUp[4];
extern u32 EnetLinkUpTimer[4];
extern u8 clearIpFlag[4];
extern u8 MasterRestartOn;
extern NxIp EnetIp[4];
extern NxPacketPool EnetPacketPool;

void EnetMain(int sliced);
u32 Protocols_Init(int port);
void Protocols_DeInit(int port);
void EnetGetIpAddress(int port);
// Status word of an interface as last written.
u16 Enet_StatusWord(int port);

// Bounds the main loop's idle wait (platform/service.h) to this many
// milliseconds; 0 makes every pass follow the last at once (benchmarks, unit
// tests).
void Enet_SetIdleWaitMs(int ms);
// True while a server has requests in hand that the next pass serves without
// waiting for a socket.
bool Enet_HasWork();
// When the Ethernet step next needs to run (100-us counter), at the latest on
// the next 10-ms tick.
u32 Enet_NextTime(u32 now);
void Etn_UpdateStatus();
// Node id as last copied into the Ethernet status map.
extern u16 etnStatusNodeId;

// Forgets all state and closes every socket (tests).
void Enet_Reset();
