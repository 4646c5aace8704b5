// Serial-port blocks of the standard list: strings (SERIO) and byte arrays
// (SERIO_B) over the serial port the runtime borrows from the controller;
// and the family's rows of the block table.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_Serio(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_SerioB(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbSerioRows[] = {
    {"SERIO", Q4Stfb_Serio},
    {"SERIO_B", Q4Stfb_SerioB},
};
