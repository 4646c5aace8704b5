// Manager of the loadable protocol drivers. Until it is built no driver is
// loaded; the per-driver pass can be given a body by tests.
#pragma once

#include "platform/bytes.h"

void PMGR_Start();
void PMGR_Stop();
void PMGR_Scan();
void PMGR_TheLoop(int driver);
// Number of drivers named by the protocol-driver section (u32 at its byte 8),
// 0 when the section is too short to hold it.
u32 PMGR_DriverCount();

struct PmgrCalls {
    int start, stop, scan;
};
extern PmgrCalls pmgrCalls;
// Test body of one driver pass and a driver count that replaces the section's.
void PMGR_SetTestDriver(void (*pass)(int driver), u32 count);
void PMGR_Reset();
