// ALARM: the application's alarm list in an INT array (one word per alarm:
// bits 0-7 occurrence count, 0x100 condition set by the application, 0x200
// active, 0x400 acknowledged; word 0 bits 14-15 the summary: 0x8000 any
// alarm active, 0x4000 any active alarm not acknowledged). The block latches
// conditions into active alarms, counts them, keeps one current alarm that
// next and previous step through, acknowledges and clears it, and shows it
// on the panel: %SR1 and %SR2 receive the current alarm's number (first
// screen + its index), 0xFFFF while none is active.
//
// The selection (current alarm and which inputs were already served) is one
// for the whole application and lives as long as the process. The number of
// alarms is bounded by the array's element count, and a current alarm whose
// index no longer lies among them is chosen again.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_Alarm(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// Remote acknowledge and clear of the panel program's alarm table. There is
// no such table in this system: both flags are cleared.
extern u8 fACK_Enab, fCLR_Enab;
void Alarm_Remote_AckClr_enable();

// Forgets the selection (tests).
void Q4Alarm_Reset();
