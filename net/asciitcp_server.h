// ASCII over TCP as an Ethernet protocol server.
#pragma once

#include "net/asciitcp.h"
#include "net/enet_server.h"

inline constexpr EnetServer kAsciiServer{
    "ASCII", Ascii_Init, Ascii_DeInit, Ascii_Scan, Ascii_cnn_cnt, Ascii_HasWork, Ascii_Reset, true,
};
