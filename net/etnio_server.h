// Remote I/O adapters and their BOOTP server as an Ethernet protocol server.
#pragma once

#include "net/enet_server.h"
#include "net/etnio.h"

inline constexpr EnetServer kEtnIoServer{
    "EtnIO", EtnIo_Init, EtnIo_DeInit, EtnIo_Scan, EtnIo_Conn_Cnt, EtnIo_HasWork, EtnIo_Reset, true,
};
