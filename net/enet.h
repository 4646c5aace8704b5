// Ethernet services. Until they are built the main step does nothing and the
// web-HMI server is the chosen HTTP server.
#pragma once

#include "core/bytes.h"

// 1 while the web-HMI server is the chosen HTTP server.
extern u8 DartuHttp;
// Set when interface 0's IP address changed.
extern u8 DartuUpdateNewIp;

void EnetMain(int unused);
// The main step ends by waiting on the sockets for at most this long, so an
// idle controller does not spin a host core. 0 makes the pass return at once
// (benchmarks, unit tests).
void Enet_SetIdleWaitMs(int ms);
void Etn_UpdateStatus();
// Node id as last copied into the Ethernet status map.
extern u16 etnStatusNodeId;
