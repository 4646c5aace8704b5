// Logic blocks of the standard list: edges, bistables, semaphore, compare,
// toggle, hysteresis, limit alarm, byte unpacking and the two alarm state
// machines; and the family's rows of the block table.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_RTrig(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_FTrig(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Rs(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Sr(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Sema(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Cmp(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_FlipFlop(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Hyster(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_LimAlrm(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Unpack8(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_AlarmM(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_AlarmA(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbLogicRows[] = {
    {"R_TRIG", Q4Stfb_RTrig},   {"F_TRIG", Q4Stfb_FTrig},     {"RS", Q4Stfb_Rs},
    {"SR", Q4Stfb_Sr},          {"SEMA", Q4Stfb_Sema},        {"CMP", Q4Stfb_Cmp},
    {"FLIPFLOP", Q4Stfb_FlipFlop}, {"HYSTER", Q4Stfb_Hyster}, {"LIM_ALRM", Q4Stfb_LimAlrm},
    {"UNPACK8", Q4Stfb_Unpack8}, {"ALARM_M", Q4Stfb_AlarmM},  {"ALARM_A", Q4Stfb_AlarmA},
};
