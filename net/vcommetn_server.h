// The virtual serial channels as an Ethernet protocol server: the close
// procedure runs on an interface with an address.
#pragma once

#include "net/enet_server.h"
#include "net/vcommetn.h"

inline constexpr EnetServer kVCommServer{
    "VComm", EtnVComm_Init, EtnVComm_DeInit, EtnVComm_Scan, EtnVComm_Conn_Cnt, EtnVComm_HasWork, EtnVComm_Reset, true,
};
