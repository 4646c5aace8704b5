// The register web pages as an Ethernet protocol server: they serve only an
// interface with an address that carries stream services.
#pragma once

#include "net/enet_server.h"
#include "net/http_pages.h"

inline constexpr EnetServer kHttpPagesServer{
    "register web pages", Http_Init, Http_DeInit, Http_Scan, Http_ConnCnt, Http_HasWork, Http_Reset, true,
};
