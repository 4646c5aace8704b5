// Ping through registers as an Ethernet protocol server.
#pragma once

#include "net/enet_server.h"
#include "net/ping.h"

inline void Ping_ServerDeInit(NxIp*) {}
inline u32 Ping_Connections(int) { return 0; }
inline bool Ping_HasWork() { return false; }

inline constexpr EnetServer kPingServer{
    "Ping", Ping_ServerInit, Ping_ServerDeInit, Ping_ServerScan, Ping_Connections, Ping_HasWork, Ping_Reset, true,
};
