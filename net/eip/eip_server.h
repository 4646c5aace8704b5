// The EtherNet/IP adapter as an Ethernet protocol server: it serves only a
// wired interface with an address that carries stream services.
#pragma once

#include "net/eip/eip.h"
#include "net/enet_server.h"

inline constexpr EnetServer kEipServer{
    "EtherNet/IP", Eip_Init, Eip_DeInit, Eip_Scan, Eip_Conn_Cnt, Eip_HasWork, Eip_Reset, true,
};
