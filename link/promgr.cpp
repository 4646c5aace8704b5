#include "link/promgr.h"

#include "core/nvram.h"

void PMGR_Start() {}
void PMGR_Stop() {}
void PMGR_Scan() {}

void PMGR_TheLoop(int) {}

u32 PMGR_DriverCount() {
    if (promgr_table_bl.Size() < 12) return 0;
    return GetLe32(promgr_table + 8);
}
