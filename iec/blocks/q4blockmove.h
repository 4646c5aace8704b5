// Block moves of the controller's library on integer and BOOL arrays: copy
// N elements (MVB), fill N elements with a replicated INT (FILL), shift
// (MULTISHIFT) or rotate (MULTIROT) the first elements of an array.
//
// Counts come from the application: N, the length and the shift count are
// bounded by the element counts that the call passes with each array (a
// length beyond the array uses the array), a count of 0 or below does
// nothing, and a shift by more than the length does nothing, so no block
// reads or writes past an array.
#pragma once

#include "iec/kernel/q4vmfb.h"

// type, source+n, destination+n, N (INT).
int Q4Ctl_Mvb(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// type, value (INT), destination+n, N (INT).
int Q4Ctl_Fill(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// type, n (INT), array+n, length (DINT), direction (BOOL), fill value; out
// the element shifted out.
int Q4Ctl_MultiShift(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// type, n (INT), array+n, length (DINT), direction (BOOL).
int Q4Ctl_MultiRot(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4CtlMoveRows[] = {
    {"MVB", Q4Ctl_Mvb},
    {"FILL", Q4Ctl_Fill},
    {"MULTISHIFT", Q4Ctl_MultiShift},
    {"MULTIROT", Q4Ctl_MultiRot},
};
