#include "link/promgr.h"

#include "core/nvram.h"

PmgrCalls pmgrCalls;

namespace {
void (*g_testPass)(int) = nullptr;
u32 g_testCount = 0;
}  // namespace

void PMGR_Reset() {
    pmgrCalls = PmgrCalls{};
    g_testPass = nullptr;
    g_testCount = 0;
}

void PMGR_SetTestDriver(void (*pass)(int driver), u32 count) {
    g_testPass = pass;
    g_testCount = count;
}

void PMGR_Start() { pmgrCalls.start++; }
void PMGR_Stop() { pmgrCalls.stop++; }
void PMGR_Scan() { pmgrCalls.scan++; }

void PMGR_TheLoop(int driver) {
    if (g_testPass != nullptr) g_testPass(driver);
}

u32 PMGR_DriverCount() {
    if (g_testPass != nullptr) return g_testCount;
    if (promgr_table_bl.Size() < 12) return 0;
    return GetLe32(promgr_table + 8);
}
