// Controller settings blocks of the library: SETCLK sets the controller's
// real-time clock from an INT array (second, minute, hour, day, month,
// four-digit year), SETCANID changes the controller-network node id (%SR29)
// and restarts the network.
//
// SETCLK sets the controller's clock (its stored offset), never the host's.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_SetClk(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SetCanId(int command, u8* db, u8* classData, u8* inst, const u16* ops);
