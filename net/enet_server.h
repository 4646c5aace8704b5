// What the Ethernet main step runs of each protocol server on every
// interface: start and stop it with the interface's services, step it once
// per pass, count its connections for the status word, ask whether it has
// work waiting, and forget it (tests).
//
// Each server declares its row in its own module's row file
// (net/..._server.h); net/enet.cpp assembles the list at compile time, so a
// new server adds its file and one entry there.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

struct EnetServer {
    const char* name;
    u32 (*init)(NxIp* ip, NxPacketPool* pool);  // 0 when started
    void (*deInit)(NxIp* ip);
    void (*scan)(int port);
    u32 (*connections)(int port);
    bool (*hasWork)();  // frames or connections waiting: the pass must not idle
    void (*reset)();
    // Stepped only on an interface with an address whose configuration
    // carries stream services; otherwise stepped whenever its services run.
    bool needsAddress;
};

// True when a server has work waiting.
bool EnetServers_HaveWork();
