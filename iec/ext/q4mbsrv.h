// The runtime's Modbus server: the device identification it reports. The
// application sets it (MBSLAVEIDENT); it returns to empty texts and zero
// words when the application stops. The server itself (requests over TCP,
// UDP and serial) comes with the runtime's Modbus.
#pragma once

#include "platform/bytes.h"

constexpr u32 kQ4MBIdentTextMax = 51;
constexpr u32 kQ4MBIdentWords = 8;

struct Q4MBDevIdent {
    char vendor[kQ4MBIdentTextMax + 1];
    char product[kQ4MBIdentTextMax + 1];
    char revision[kQ4MBIdentTextMax + 1];
    u16 words[kQ4MBIdentWords];  // device-specific data
};

// Takes the three texts (each cut to 51 characters; null counts as empty)
// and up to 8 of count little-endian 16-bit words at words (none: the 8
// words become 0; words beyond count are 0 too). Answers 1.
int Q4MBSrv_SetDevIdent(const char* vendor, const char* product, const char* revision, const u8* words, u32 count);
// The identification in force.
const Q4MBDevIdent& Q4MBSrv_GetDevIdent();
// Back to the empty identification (the application stopped).
void Q4MBSrv_ResetDevIdent();
