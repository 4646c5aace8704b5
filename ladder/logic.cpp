#include "ladder/logic.h"

#include "core/plc_regs.h"

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
    i32 result = g_hook != nullptr ? g_hook(code) : kLogicEnd;
    if (result == kLogicEnd) {
        S_Put(1, false);
        S_Put(10, false);
    }
    return result;
}
