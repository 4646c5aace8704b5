// Ping through registers: each interface pings the address held in its
// target register and writes the round-trip time in milliseconds (or -1)
// into its result register.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kPingMinTimeoutMs = 100;

struct PingInstance {
    NxIp* ip = nullptr;
    u32 target = 0;
    u32 timeout = 0;
    u32 sentAt = 0;  // ms
    i32 result = -1;
};

u32 Ping_Init(NxIp* ip);
// One step: the round-trip time of the last answered ping, or -1.
i32 Ping_Scan(u32 target, u32 timeoutMs, int iface);

// As an Ethernet protocol server: reads the interface's ping settings,
// steps Ping_Scan and writes the result register.
u32 Ping_ServerInit(NxIp* ip, NxPacketPool* pool);
void Ping_ServerScan(int iface);
void Ping_Reset();
const PingInstance& Ping_Block(int iface);
