// DHCP client (not built yet): never busy and never offers an address, so an
// interface set to DHCP falls back to 192.168.254.128.
#pragma once

#include "platform/bytes.h"

// Non-zero while the client of an interface is working.
extern u8 dhcpBusy[2];

void dhcpInit(int port, u8 dhcpOn);
void dhcpScan(int linkUpWithDhcp, int port);
// Item 0 address, 1 mask, 2 gateway, 3 DNS server; 0 when none was offered.
u32 getFromDhcp(int item, int port);
