#include "link/promgr.h"

#include "core/nvram.h"

PmgrCalls pmgrCalls;

void PMGR_Reset() { pmgrCalls = PmgrCalls{}; }

void PMGR_Start() { pmgrCalls.start++; }
void PMGR_Stop() { pmgrCalls.stop++; }
void PMGR_Scan() { pmgrCalls.scan++; }

void PMGR_TheLoop(int) {}

u32 PMGR_DriverCount() {
    if (promgr_table_bl.Size() < 12) return 0;
    return GetLe32(promgr_table + 8);
}
