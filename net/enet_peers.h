// What the Ethernet side gives the system services' special registers: the
// interface settings and the web-user state. The wiring names these in the
// system services' neighbour record.
#pragma once

#include "platform/bytes.h"

// The interface settings behind the special registers: field 0 DHCP setting
// (one byte), 1 DNS server, 2 IP address, 3 subnet mask, 4 gateway (u32,
// little-endian). Interfaces other than 0 and 1, unknown fields and short
// writes are ignored.
void Enet_NetRead(int iface, int field, u8* out, u32 max);
void Enet_NetWrite(int iface, int field, const u8* in, u32 len);
