// Command protocol of the programming link.
#pragma once

#include "core/bytes.h"

// 255 while no programming command is running.
extern u8 CmdRun;
// Set while an on-line program change is in progress.
extern u8 OLPMode;

// 0 warm-resets the controller, 1 reopens the programming port.
void Cmd_PortInit(u8 how);
