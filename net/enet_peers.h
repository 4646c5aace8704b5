// Start-up registration of the Ethernet side with its neighbours: the
// programming link's Ethernet host (the mailbox of the TCP link) and the
// system services' special registers (interface settings), hardware
// addresses, web-user state and termination output.
#pragma once

#include "platform/bytes.h"

// Called once at start-up, before the hardware check applies the board's
// hardware addresses.
void Enet_RegisterNeighbours();

// The interface settings behind the special registers: field 0 DHCP setting
// (one byte), 1 DNS server, 2 IP address, 3 subnet mask, 4 gateway (u32,
// little-endian). Interfaces other than 0 and 1, unknown fields and short
// writes are ignored.
void Enet_NetRead(int iface, int field, u8* out, u32 max);
void Enet_NetWrite(int iface, int field, const u8* in, u32 len);
