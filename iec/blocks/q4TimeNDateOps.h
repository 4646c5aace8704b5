// Calendar blocks of the controller's library: a daily time window, weekday,
// day-of-month and month masks and a year window judged against the
// controller's clock registers, and the sun's position for a date, time and
// place. They lend the ladder engine's schedule and sun-position routines.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_TimeOfDay(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_DaysOfWeek(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_DaysOfMonth(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_MonthsOfYear(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_StartEndYear(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SunPos(int command, u8* db, u8* classData, u8* inst, const u16* ops);
