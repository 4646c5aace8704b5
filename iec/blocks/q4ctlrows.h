// The controller's own blocks for screens, scaling, bits, clock, timers,
// schedules and alarms: their rows of the block table, by name. The other
// families of the controller's library (ANY maths, counters, block moves...)
// keep their rows in their own headers, included here for the table.
#pragma once

#include "iec/blocks/q4StringOps.h"
#include "iec/blocks/q4anymath.h"
#include "iec/blocks/q4blockmove.h"
#include "iec/blocks/q4comm.h"
#include "iec/blocks/q4counter.h"
#include "iec/blocks/q4files.h"
#include "iec/blocks/q4modbus.h"
#include "iec/blocks/q4pid.h"
#include "iec/blocks/q4Timers.h"
#include "iec/blocks/q4TextTable.h"
#include "iec/blocks/q4TimeNDateOps.h"
#include "iec/blocks/q4alarm.h"
#include "iec/blocks/q4bit.h"
#include "iec/blocks/q4scaling.h"
#include "iec/blocks/q4screen.h"
#include "iec/blocks/q4setclock.h"
#include "iec/kernel/q4vmfb.h"

inline constexpr Q4BlockEntry kQ4CtlPanelRows[] = {
    {"CHANGESCREEN", Q4Ctl_ChangeScreen}, {"FORCESCREEN", Q4Ctl_ForceScreen},
    {"KEYPRESS", Q4Ctl_KeyPress},         {"ALARM", Q4Ctl_Alarm},
    {"TEXTTABLE", Q4Ctl_TextTable},       {"SCALEINT", Q4Ctl_ScaleInt},
    {"SCALEREAL", Q4Ctl_ScaleReal},       {"DEGTORAD", Q4Ctl_DegToRad},
    {"RADTODEG", Q4Ctl_RadToDeg},         {"BITTEST", Q4Ctl_BitTest},
    {"BITSET", Q4Ctl_BitSet},             {"BITCLEAR", Q4Ctl_BitClear},
    {"SETCLK", Q4Ctl_SetClk},             {"SETCANID", Q4Ctl_SetCanId},
    {"TIMEOFDAY", Q4Ctl_TimeOfDay},       {"DAYSOFWEEK", Q4Ctl_DaysOfWeek},
    {"DAYSOFMONTH", Q4Ctl_DaysOfMonth},   {"MONTHSOFYEAR", Q4Ctl_MonthsOfYear},
    {"STARTENDYEAR", Q4Ctl_StartEndYear}, {"SUNPOS", Q4Ctl_SunPos},
};
