// GSM/GPRS service. Until the modem services are built, only what other
// modules rely on: loading the GSM configuration sets the debug-log setting.
#pragma once

#include "platform/bytes.h"

// Called when the GSM configuration record (u16 words) is loaded: words 28
// (low) and 29 (high) name the register that switches the debug log.
void GSMGPRSParmInit(const u16* gsmRecord, u32 words);
