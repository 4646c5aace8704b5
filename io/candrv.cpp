#include "io/candrv.h"

namespace {
struct State {
    CanEventCallback events[2][3] = {};
};
State g;
}

void _Can_SetEvent(int port, int kind, CanEventCallback callback) {
    if (port < 0 || port > 1 || kind < 0 || kind > 2) return;
    g.events[port][kind] = callback;
}

CanEventCallback Can_GetEvent(int port, int kind) {
    if (port < 0 || port > 1 || kind < 0 || kind > 2) return nullptr;
    return g.events[port][kind];
}

void Can_Isr() {}
