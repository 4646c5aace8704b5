// Date and time blocks of the standard list: the current date and time split
// into fields, an alarm at a date and time (once, or yearly, monthly or
// daily), and a pulse every N days at a time; and the family's rows of the
// block table. Dates come from the controller's clock.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_DtCurDateTime(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_DtAt(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_DtEvery(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbClockRows[] = {
    {"DTCURDATETIME", Q4Stfb_DtCurDateTime},
    {"DTAT", Q4Stfb_DtAt},
    {"DTEVERY", Q4Stfb_DtEvery},
};
