// BOOTP server for the remote I/O adapters: answers only the hardware
// addresses the remote I/O configuration lists, with the address listed for
// each and the interface's network mask.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kBootpServerPort = 67, kBootpClientPort = 68;
constexpr u32 kBootpEntries = 16;
constexpr u32 kBootpReplyBytes = 300;
constexpr u32 kBootpMinRequest = 240;  // fixed fields and the magic cookie

struct BootPEntry {
    u8 mac[6];
    u32 address;
};

struct BootPPortState {
    u8 count = 0;
    BootPEntry entries[kBootpEntries] = {};
    NxUdpSocket socket;
    NxIp* ip = nullptr;
    NxPacketPool* pool = nullptr;
};

// 0, or the socket layer's bind result (34: another interface holds port 67).
u32 BootPInit(NxIp* ip, NxPacketPool* pool);
// Entry n (1-16, at most one past the last) gets the address; 1, or 0 refused.
int BootPConfig(const u8* mac, u32 address, u32 n, int iface);
void BootPScan(int iface);

// The reply to one request datagram: false when none is owed (not a
// request, too short, an unlisted hardware address). *entry is the index of
// the matching entry.
bool BootP_Reply(int iface, const u8* request, u32 length, u32 ownAddress, u32 mask, u8 reply[kBootpReplyBytes],
                 u32* entry);

void BootP_Reset();
const BootPPortState& BootP_Block(int iface);
