// The SRTP server as an Ethernet protocol server: it serves only an
// interface with an address that carries stream services.
#pragma once

#include "net/enet_server.h"
#include "net/srtp.h"

inline constexpr EnetServer kSrtpServer{
    "SRTP", Srtp_Init, Srtp_DeInit, Srtp_Scan, Srtp_Conn_Cnt, Srtp_HasWork, Srtp_Reset, true,
};
