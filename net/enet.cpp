#include "net/enet.h"

#include <poll.h>

#include "core/plc_regs.h"

u8 DartuHttp = 1;
u8 DartuUpdateNewIp = 0;
u16 etnStatusNodeId = 0;

namespace {
int g_idleWaitMs = 1;
}

void Enet_SetIdleWaitMs(int ms) { g_idleWaitMs = ms < 0 ? 0 : ms; }

// No socket is registered yet: the wait is all that is left of the step.
void EnetMain(int) {
    if (g_idleWaitMs > 0) poll(nullptr, 0, g_idleWaitMs);
}
void Etn_UpdateStatus() { etnStatusNodeId = SR_Get(29); }
