// Ethernet Global Data as an Ethernet protocol server: it runs only on an
// interface with an address that carries stream services, and counts no
// connections.
#pragma once

#include "net/egd.h"
#include "net/enet_server.h"

inline constexpr EnetServer kEgdServer{
    "EGD", Egd_Init, Egd_DeInit, Egd_Scan, Egd_ConnCnt, Egd_HasWork, Egd_Reset, true,
};
