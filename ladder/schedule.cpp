#include "ladder/schedule.h"

#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"

namespace {

struct Clock {
    u32 second, minute, hour, day, month, year, weekday;
};

// One copy of the seven clock registers per evaluation.
Clock ReadClock() {
    return Clock{SR_Get(44), SR_Get(45), SR_Get(46), SR_Get(47), SR_Get(48), SR_Get(49), SR_Get(50)};
}

// Bit (n - 1) of mask; 0 when n - 1 is outside 0-31.
int MaskBit(u32 mask, u32 n) {
    if (n < 1 || n > 32) return 0;
    return (mask >> (n - 1)) & 1u;
}

}  // namespace

int Q4Schedule_TimeOfDay(u32 startHour, u32 startMinute, u32 stopHour, u32 stopMinute) {
    if (startHour > 23 || stopHour > 23 || startMinute > 59 || stopMinute > 59) return 0;
    const Clock c = ReadClock();
    const u32 now = c.hour * 60 + c.minute;
    const u32 start = startHour * 60 + startMinute;
    const u32 stop = stopHour * 60 + stopMinute;
    if (start < stop) return start <= now && now < stop;
    if (stop < start) return now >= start || now < stop;
    return 0;
}

int Q4Schedule_DayOfWeek(u32 mask) { return mask < 128 ? MaskBit(mask, ReadClock().weekday) : 0; }

int Q4Schedule_DayOfMonth(i32 mask) {
    return mask >= 0 ? MaskBit(static_cast<u32>(mask), ReadClock().day) : 0;
}

int Q4Schedule_MonthOfYear(u32 mask) { return mask <= 4095 ? MaskBit(mask, ReadClock().month) : 0; }

int Q4Schedule_Year(const u32* years) {
    const u32 first = *years & 0xFFFFu;
    const u32 last = *years >> 16;
    if (first < 2000 || last > 2100) return 0;
    const u32 year = ReadClock().year;
    return first <= year && year <= last;
}

namespace {

// Register words w..w+span-1 as 16-bit values; false when outside the memory.
bool Words(u32 w, u32 span, u32* values) {
    if (!LadderWordValid(w, span)) return false;
    for (u32 i = 0; i < span; ++i) values[i] = GetLe16(&plc_reg[2 * (w + i)]);
    return true;
}

// A literal below 1024, or the 16-bit register at that bit address.
bool LiteralOrRegister(u32 v, u32* out) {
    if (v < 1024) {
        *out = v;
        return true;
    }
    u8 b[2];
    if (PlcReg_Get(b, v, 16) != 1) return false;
    *out = GetLe16(b);
    return true;
}

}  // namespace

u8 Schedule_TimeOfDay(const u16* code, u32& ip, u8 rung, bool tok16) {
    u32 raw[4];
    for (u32& r : raw) r = LadderLitOrRegOperand(code, ip, tok16);
    if (!rung) return 0;
    u32 v[4];
    for (int i = 0; i < 4; ++i)
        if (!LiteralOrRegister(raw[i], &v[i])) return 0;
    return static_cast<u8>(Q4Schedule_TimeOfDay(v[0], v[1], v[2], v[3]));
}

u8 Schedule_DayOfWeekImm(const u16* code, u32& ip, u8 rung, bool) {
    const u32 mask = LadderLit(code, ip);
    return rung ? static_cast<u8>(Q4Schedule_DayOfWeek(mask)) : 0;
}

u8 Schedule_DayOfWeekReg(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u32 w = LadderWordOperand(code, ip, tok16);
    u32 mask;
    if (!rung || !Words(w, 1, &mask)) return 0;
    return static_cast<u8>(Q4Schedule_DayOfWeek(mask));
}

u8 Schedule_DayOfMonthImm(const u16* code, u32& ip, u8 rung, bool) {
    const u32 low = LadderLit(code, ip);
    const u32 high = LadderLit(code, ip);
    return rung ? static_cast<u8>(Q4Schedule_DayOfMonth(static_cast<i32>(low | (high << 16)))) : 0;
}

u8 Schedule_DayOfMonthReg(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u32 w = LadderWordOperand(code, ip, tok16);
    u32 v[2];
    if (!rung || !Words(w, 2, v)) return 0;
    return static_cast<u8>(Q4Schedule_DayOfMonth(static_cast<i32>(v[0] | (v[1] << 16))));
}

u8 Schedule_MonthOfYearImm(const u16* code, u32& ip, u8 rung, bool) {
    const u32 mask = LadderLit(code, ip);
    return rung ? static_cast<u8>(Q4Schedule_MonthOfYear(mask)) : 0;
}

u8 Schedule_MonthOfYearReg(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u32 w = LadderWordOperand(code, ip, tok16);
    u32 mask;
    if (!rung || !Words(w, 1, &mask)) return 0;
    return static_cast<u8>(Q4Schedule_MonthOfYear(mask));
}

u8 Schedule_YearImm(const u16* code, u32& ip, u8 rung, bool) {
    const u32 first = LadderLit(code, ip);
    const u32 last = LadderLit(code, ip);
    const u32 years = first | (last << 16);
    return rung ? static_cast<u8>(Q4Schedule_Year(&years)) : 0;
}

u8 Schedule_YearReg(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u32 w = LadderWordOperand(code, ip, tok16);
    u32 v[2];
    if (!rung || !Words(w, 2, v)) return 0;
    const u32 years = v[0] | (v[1] << 16);
    return static_cast<u8>(Q4Schedule_Year(&years));
}

namespace {

using O = LOpd;
constexpr O Wd = O::kWord, K = O::kLit, L = O::kLitOrReg;

constexpr LadderRoutineRow kRoutines[] = {
    {370, 370, "SCHEDTOD", Schedule_TimeOfDay, 4, {L, L, L, L}, nullptr},
    {372, 372, "SCHEDDOW", Schedule_DayOfWeekImm, 1, {K}, nullptr},
    {373, 373, "SCHEDDOWR", Schedule_DayOfWeekReg, 1, {Wd}, nullptr},
    {374, 374, "SCHEDDOM", Schedule_DayOfMonthImm, 2, {K, K}, nullptr},
    {375, 375, "SCHEDDOMR", Schedule_DayOfMonthReg, 1, {Wd}, nullptr},
    {376, 376, "SCHEDMOY", Schedule_MonthOfYearImm, 1, {K}, nullptr},
    {377, 377, "SCHEDMOYR", Schedule_MonthOfYearReg, 1, {Wd}, nullptr},
    {378, 378, "SCHEDYEAR", Schedule_YearImm, 2, {K, K}, nullptr},
    {379, 379, "SCHEDYEARR", Schedule_YearReg, 1, {Wd}, nullptr},
};

}  // namespace

const std::span<const LadderRoutineRow> kScheduleRoutines{kRoutines};
