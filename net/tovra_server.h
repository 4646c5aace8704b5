// The programming link over TCP as an Ethernet protocol server. It runs with
// or without a configuration or an address.
#pragma once

#include "net/enet_server.h"
#include "net/tovra.h"

inline constexpr EnetServer kTovraServer{
    "programming link", Tovra_Init, Tovra_DeInit, Tovra_Scan, Tovra_ConnCnt, Tovra_HasWork, Tovra_Reset, false,
};
