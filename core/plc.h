// Scan cycle and controller modes.
#pragma once

#include "core/bytes.h"

void PlcScan();
void SetPlcMode(u8 requested);
void IoStart();
int IoConfig();
void PlcInit(int cold);
void NetConfig();
void Plc_NetInit();
