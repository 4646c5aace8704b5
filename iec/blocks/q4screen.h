// Panel screen blocks of the controller's library: CHANGESCREEN shows a
// screen in %SR1 unless one is forced, FORCESCREEN forces one in %SR2 (the
// enabled instance with the highest number wins, and the screen shown before
// comes back when the force ends), KEYPRESS does nothing.
//
// The forced-screen arbitration is shared by all FORCESCREEN instances and
// lives as long as the process; instances are numbered 1, 2, 3 ... in the
// order the runtime initialises them, afresh after each registration.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_ChangeScreen(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ForceScreen(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_KeyPress(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// Forgets the arbitration (tests).
void Q4Screen_Reset();
