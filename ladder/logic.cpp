#include "ladder/logic.h"

#include "core/plc_regs.h"
#include "ladder/ladder_engine.h"

static_assert(kLogicEnd == kLadderEnd, "the scan and the interpreter agree on the end result");

u32 logicUpdateCalls = 0;

namespace {
LogicTestHook g_hook = nullptr;
}

void LogicUpdate_SetTestHook(LogicTestHook hook) {
    g_hook = hook;
    logicUpdateCalls = 0;
}

i32 LogicUpdate(const u8* code) {
    logicUpdateCalls++;
    if (g_hook == nullptr) return Ladder_Scan(code);
    // A test stands in for the program: only the end-of-scan latches remain.
    i32 result = g_hook(code);
    if (result == kLogicEnd) {
        S_Put(1, false);
        S_Put(10, false);
    }
    return result;
}
