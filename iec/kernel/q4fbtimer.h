// Timer blocks of the standard list: on-delay, off-delay and pulse timers
// (with and without reset), up and down timers with hold, blinkers, the pulse
// train, the signal generator and the SFC step blocks; and the family's rows
// of the block table. They measure time on the VM's millisecond clock of the
// day, so an interval that crosses midnight is measured right.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_Ton(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Tof(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Tp(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Tpr(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Tofr(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Tmu(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Tmd(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_TmuSec(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Blink(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_BlinkA(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Pls(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_SigGen(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_SfcStep(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_SfcInitStep(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbTimerRows[] = {
    {"TON", Q4Stfb_Ton},          {"TOF", Q4Stfb_Tof},       {"TP", Q4Stfb_Tp},
    {"TPR", Q4Stfb_Tpr},          {"TOFR", Q4Stfb_Tofr},     {"TMU", Q4Stfb_Tmu},
    {"TMD", Q4Stfb_Tmd},          {"TMUSEC", Q4Stfb_TmuSec}, {"BLINK", Q4Stfb_Blink},
    {"BLINKA", Q4Stfb_BlinkA},    {"PLS", Q4Stfb_Pls},       {"SIG_GEN", Q4Stfb_SigGen},
    {"ISFCSTEP", Q4Stfb_SfcStep}, {"ISFCINITSTEP", Q4Stfb_SfcInitStep},
};
