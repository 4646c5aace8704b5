// Manager of the loadable protocol drivers. Until it is built no driver is
// loaded: a driver's pass does nothing.
#pragma once

#include "platform/bytes.h"

void PMGR_Start();
void PMGR_Stop();
void PMGR_Scan();
void PMGR_TheLoop(int driver);
// Number of drivers named by the protocol-driver section (u32 at its byte 8),
// 0 when the section is too short to hold it.
u32 PMGR_DriverCount();
