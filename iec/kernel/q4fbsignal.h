// Signal-processing blocks of the standard list: moving averages, integral,
// derivative, ramp, hysteresis on accumulated deviation, linear interpolation
// on a curve and on a surface, and playback of the code image's signals; and
// the family's rows of the block table.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_Average(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_AverageL(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Integral(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Derivate(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Ramp(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_HysterAcc(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_CurveLin(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_SurfLin(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_SigPlay(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbSignalRows[] = {
    {"AVERAGE", Q4Stfb_Average},   {"AVERAGEL", Q4Stfb_AverageL}, {"INTEGRAL", Q4Stfb_Integral},
    {"DERIVATE", Q4Stfb_Derivate}, {"RAMP", Q4Stfb_Ramp},         {"HYSTERACC", Q4Stfb_HysterAcc},
    {"CURVELIN", Q4Stfb_CurveLin}, {"SURFLIN", Q4Stfb_SurfLin},   {"SIGPLAY", Q4Stfb_SigPlay},
};
