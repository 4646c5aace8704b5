#include "link/command.h"

u8 CmdRun = 255;
u8 OLPMode = 0;

void Cmd_PortInit(u8 how) { (void)how; }
