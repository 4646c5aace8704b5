#include "iec/kernel/q4link.h"

// q4_rcv and IsCommMode_Tovra belong to the runtime's host glue (q4host).

namespace {
const Q4LinkOps* g_ops = nullptr;
}

void Q4Link_SetOps(const Q4LinkOps* ops) { g_ops = ops; }
const Q4LinkOps* Q4Link_Ops() { return g_ops; }

void Q4Link_Reset() {
    q4_rcv = 0;
    IsCommMode_Tovra = 1;
    g_ops = nullptr;
}
