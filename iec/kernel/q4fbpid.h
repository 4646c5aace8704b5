// The controller's PID loop and its counters with reset and load edges,
// blocks of the controller's block table (PID, CTUR, CTDR, CTUDR); and the
// family's rows. They write their outputs whatever the lock flags say.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Blk_Pid(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Blk_Ctur(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Blk_Ctdr(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Blk_Ctudr(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbPidRows[] = {
    {"PID", Q4Blk_Pid},
    {"CTUR", Q4Blk_Ctur},
    {"CTDR", Q4Blk_Ctdr},
    {"CTUDR", Q4Blk_Ctudr},
};
