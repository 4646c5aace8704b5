// Calendar schedules judged against the clock registers SR44-SR50 (second,
// minute, hour, day of month, month, year, day of week 1-7).
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

// TRUE (1) when the clock's minute of the day lies in [start, stop); a stop
// before the start runs past midnight; start = stop is never TRUE. Hours
// above 23 or minutes above 59 give 0.
int Q4Schedule_TimeOfDay(u32 startHour, u32 startMinute, u32 stopHour, u32 stopMinute);
// Bit (day of week - 1); a mask of 128 or more gives 0.
int Q4Schedule_DayOfWeek(u32 mask);
// Bit (day - 1); a negative mask (bit 31) gives 0.
int Q4Schedule_DayOfMonth(i32 mask);
// Bit (month - 1); a mask above 4095 gives 0.
int Q4Schedule_MonthOfYear(u32 mask);
// *years: low 16 bits the first year, high 16 bits the last; TRUE when
// first <= year <= last, 0 unless first >= 2000 and last <= 2100.
int Q4Schedule_Year(const u32* years);

// Ladder instructions 370 and 372-379. ip stands on the word after the
// opcode and is advanced past the operands; the result is the output power
// flow: 0 when the input power flow is 0 (the clock is not read), when an
// operand is out of its valid range or names no register; otherwise the
// verdict.
//   370 start hour, start minute, stop hour, stop minute: literal-or-register
//       operands (below 1024 the value, otherwise a register holding it)
//   372 / 373 weekday mask: literal word / register
//   374 / 375 day-of-month mask: two literal words (low, high) / register pair
//   376 / 377 month mask: literal word / register
//   378 / 379 first and last year: two literal words / register pair
u8 Schedule_TimeOfDay(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_DayOfWeekImm(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_DayOfWeekReg(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_DayOfMonthImm(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_DayOfMonthReg(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_MonthOfYearImm(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_MonthOfYearReg(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_YearImm(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Schedule_YearReg(const u16* code, u32& ip, u8 rung, bool tok16);

// The family's block-routine rows.
extern const std::span<const LadderRoutineRow> kScheduleRoutines;

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kScheduleOps[] = {
    Rt(370, 370, "SCHED"),
    Rt(372, 379, "SCHED"),
};
}  // namespace lrow
