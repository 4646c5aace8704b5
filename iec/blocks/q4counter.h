// Up and down counters on INT (CTU, CTD), each keeping its count in its
// instance, and the one-byte adder ADDER_ANY, which has no row in the block
// table, so that no application can call it.
#pragma once

#include "iec/kernel/q4vmfb.h"

// CU, R, PV (INT); out Q (BOOL), CV (INT). Counts at every execution with CU
// set (no edge detection) up to PV.
int Q4Ctl_Ctu(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// CD, LD, PV (INT); out Q (BOOL), CV (INT). Counts down to 0.
int Q4Ctl_Ctd(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// input (BOOL); out (BOOL): keeps the input, answers its negation.
int Q4Ctl_AdderAny(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4CtlCounterRows[] = {
    {"CTU", Q4Ctl_Ctu},
    {"CTD", Q4Ctl_Ctd},
};
