#include "platform/rtclock.h"

#include "core/plc_regs.h"
#include "platform/fpga.h"
#include "platform/rtcdev.h"

u8 UtcUpdated = 0, RtcUpdated = 0, DstUpdated = 0, NTP_UserModifiedTime = 0, dstActive = 0;
i16 timezoneValue = 0;
u8 timezoneAdvance = 0, timezoneModField = 0;
RtcPeers rtcPeers;

void RtcPeers_Check(NeighbourCheck& check) { NEIGHBOUR_REQUIRE(check, rtcPeers, linkCommandRunning); }

namespace {

// Month lengths: row 0 common year, row 1 leap year.
constexpr u16 days[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                             {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

constexpr u32 kTicksPerSecond = 10000;
constexpr u16 kClockDefaultedBit = 0x200;  // SR4
constexpr int kSrClock = 44;               // SR44-SR50
constexpr int kEsrTimeZone = 18;
constexpr int kEsrDst = 19;
constexpr int kEsrUtc = 20;  // ESR20-ESR25

// Indexes of the six-word UTC record.
enum { kSec, kMin, kHour, kDay, kMonth, kYear };

struct State {
    RTCTime clock{};  // last value read from or written to the device, advanced in software
    u32 lastTickRtc = 0;
    u32 lastTickUtc = 0;
    u64 systemTime = 0;
    u32 systemTimeRequests = 0;
    bool systemTimePending = false;
};
State g;

u16 LocalMonthLength(u16 year, u16 month) { return days[(year & 3) == 0 ? 1 : 0][month - 1]; }
u16 UtcMonthLength(u16 year, u16 month) { return days[CheckLeap(year)][month - 1]; }

// Fields in their calendar ranges (any year from 1): input that the offset
// arithmetic can take.
bool Sane(const u16* r) {
    return r[kSec] < 60 && r[kMin] < 60 && r[kHour] < 24 && r[kMonth] >= 1 && r[kMonth] <= 12 && r[kDay] >= 1 &&
           r[kDay] <= 31 && r[kYear] >= 1;
}

// out = in moved by a signed number of minutes; the second is copied. False
// when the result leaves years 1-9999.
bool ShiftMinutes(const u16* in, i64 minutes, u16* out) {
    const i64 total = Civil_DaysFromDate(in[kYear], in[kMonth], in[kDay]) * 1440 + in[kHour] * 60 + in[kMin] + minutes;
    i64 dayCount = total / 1440;
    i64 minuteOfDay = total % 1440;
    if (minuteOfDay < 0) {
        minuteOfDay += 1440;
        --dayCount;
    }
    i64 year;
    int month, day;
    Civil_DateFromDays(dayCount, &year, &month, &day);
    if (year < 1 || year > 9999) return false;
    out[kSec] = in[kSec];
    out[kMin] = static_cast<u16>(minuteOfDay % 60);
    out[kHour] = static_cast<u16>(minuteOfDay / 60);
    out[kDay] = static_cast<u16>(day);
    out[kMonth] = static_cast<u16>(month);
    out[kYear] = static_cast<u16>(year);
    return true;
}

void ToRecord(const RTCTime& t, u16* r) {
    r[kSec] = t.second;
    r[kMin] = t.minute;
    r[kHour] = t.hour;
    r[kDay] = t.day;
    r[kMonth] = t.month;
    r[kYear] = t.year;
}

// One second forward with carries; monthLength gives the calendar's rule.
void StepSecond(u16* r, u16 (*monthLength)(u16, u16)) {
    if (++r[kSec] < 60) return;
    r[kSec] = 0;
    if (++r[kMin] < 60) return;
    r[kMin] = 0;
    if (++r[kHour] < 24) return;
    r[kHour] = 0;
    if (++r[kDay] <= monthLength(r[kYear], r[kMonth])) return;
    r[kDay] = 1;
    if (++r[kMonth] <= 12) return;
    r[kMonth] = 1;
    ++r[kYear];
}

RTCTime ReadSrClock() {
    return RTCTime{SR_Get(kSrClock),     SR_Get(kSrClock + 1), SR_Get(kSrClock + 2), SR_Get(kSrClock + 3),
                   SR_Get(kSrClock + 4), SR_Get(kSrClock + 5), SR_Get(kSrClock + 6)};
}

void WriteSrClock(const RTCTime& t) {
    const u16 w[7] = {t.second, t.minute, t.hour, t.day, t.month, t.year, t.dayOfWeek};
    for (int i = 0; i < 7; ++i) SR_Put(kSrClock + i, w[i]);
}

void ReadUtcRegisters(u16* r) {
    for (int i = 0; i < 6; ++i) r[i] = ESR_Get(kEsrUtc + i);
}

void WriteUtcRegisters(const u16* r) {
    for (int i = 0; i < 6; ++i) ESR_Put(kEsrUtc + i, r[i]);
}

u8 DstRequested() { return static_cast<u8>(ESR_Get(kEsrDst) & 0xFF); }

// Opens the device on first use and takes its time once.
bool OpenDevice() {
    if (RtcDev_IsOpen()) return true;
    if (!RtcDev_Open()) return false;
    RtcDevTime d;
    if (RtcDev_ReadTime(&d)) {
        g.clock.second = static_cast<u16>(d.second);
        g.clock.minute = static_cast<u16>(d.minute);
        g.clock.hour = static_cast<u16>(d.hour);
        g.clock.day = static_cast<u16>(d.day);
        g.clock.month = static_cast<u16>(d.month + 1);
        const int year = d.year + 1900;
        g.clock.year = static_cast<u16>(year < 1996 ? 1996 : year > 0xFFFF ? 0xFFFF : year);
    }
    g.lastTickRtc = FPGA_GetFrt();
    return true;
}

bool RTCRead(RTCTime* out) {
    if (!OpenDevice()) return false;
    const u32 now = FPGA_GetFrt();
    if (now - g.lastTickRtc >= kTicksPerSecond) {
        // One second per read: a clock that fell behind catches up one second
        // per read.
        u16 r[6];
        ToRecord(g.clock, r);
        if (r[kMonth] >= 1 && r[kMonth] <= 12) StepSecond(r, LocalMonthLength);
        g.clock.second = r[kSec];
        g.clock.minute = r[kMin];
        g.clock.hour = r[kHour];
        g.clock.day = r[kDay];
        g.clock.month = r[kMonth];
        g.clock.year = r[kYear];
        g.lastTickRtc += kTicksPerSecond;
    }
    DstUpdate(&g.clock);
    *out = g.clock;
    return true;
}

}  // namespace

int CheckLeap(u16 year) { return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 1 : 0; }

int DayOfWeek(u16 year, u16 month, u16 day) {
    static constexpr int t[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 1 || month > 12) return 0;
    int y = year;
    if (month < 3) --y;
    return ((y + y / 4 - y / 100 + y / 400 + t[month - 1] + day) % 7 + 7) % 7;
}

int RtcCheck(const RTCTime* t) {
    if (!t) return 0;
    if (t->second >= 60 || t->minute >= 60 || t->hour > 23) return 0;
    if (t->month < 1 || t->month > 12 || t->year < 1 || t->year > 2099) return 0;
    return t->day >= 1 && t->day <= LocalMonthLength(t->year, t->month) ? 1 : 0;
}

int UtcCheck(const u16* r, int leapRow) {
    if (!r) return 0;
    if (r[kSec] >= 60 || r[kMin] >= 60 || r[kHour] > 23) return 0;
    if (r[kMonth] < 1 || r[kMonth] > 12 || r[kYear] < 1 || r[kYear] > 2036) return 0;
    return r[kDay] >= 1 && r[kDay] <= days[leapRow ? 1 : 0][r[kMonth] - 1] ? 1 : 0;
}

void RtcGet(RTCTime* out) {
    RTCTime t;
    if (!out || !RTCRead(&t)) return;
    if (RtcCheck(&t)) t.dayOfWeek = static_cast<u16>(DayOfWeek(t.year, t.month, t.day) + 1);
    *out = t;
}

int RtcSet(const RTCTime* in) {
    if (!RtcCheck(in) || !OpenDevice()) return 0;
    const RTCTime t = *in;
    const RtcDevTime d{t.second, t.minute, t.hour, t.day, t.month - 1, t.year - 1900};
    if (!RtcDev_SetTime(d)) return 0;
    g.clock = t;
    g.clock.dayOfWeek = static_cast<u16>(DayOfWeek(t.year, t.month, t.day) + 1);
    g.lastTickRtc = FPGA_GetFrt();
    SR_Put(4, static_cast<u16>(SR_Get(4) & ~kClockDefaultedBit));
    if (!UtcUpdated && !DstUpdated) RtcUpdated = 1;
    NTP_UserModifiedTime = 1;
    return 1;
}

int RtcTimeSet(u16 second, u16 minute, u16 hour) {
    RTCTime t;
    if (!RTCRead(&t)) return 0;
    t.second = second;
    t.minute = minute;
    t.hour = hour;
    return RtcSet(&t);
}

int RtcDateSet(u16 day, u16 month, u16 year) {
    RTCTime t;
    if (!RTCRead(&t)) return 0;
    t.day = day;
    t.month = month;
    t.year = year;
    return RtcSet(&t);
}

int UtcGet(const u16* r, u64* seconds) {
    if (!r || !seconds) return 0;
    if (r[kMonth] < 1 || r[kMonth] > 12 || r[kDay] < 1 || r[kDay] > 31 || r[kYear] < 1970) return 0;
    const i64 d = Civil_DaysFromDate(r[kYear], r[kMonth], r[kDay]);
    *seconds = static_cast<u64>(d * 86400 + r[kHour] * 3600 + r[kMin] * 60 + r[kSec]);
    return 1;
}

int UtcSet(UtcStamp* stamp, u16* utc6) {
    if (!stamp || !utc6) return 0;
    const u64 total = static_cast<u64>(stamp->seconds) + stamp->milliseconds / 1000;
    const u64 secondOfDay = total % 86400;
    i64 year;
    int month, day;
    Civil_DateFromDays(static_cast<i64>(total / 86400), &year, &month, &day);
    if (year > 0xFFFF) return 0;
    const u16 r[6] = {static_cast<u16>(secondOfDay % 60), static_cast<u16>(secondOfDay / 60 % 60),
                      static_cast<u16>(secondOfDay / 3600), static_cast<u16>(day),
                      static_cast<u16>(month), static_cast<u16>(year)};
    if (!UtcCheck(r, CheckLeap(r[kYear]))) return 0;
    for (int i = 0; i < 6; ++i) utc6[i] = r[i];
    stamp->seconds = static_cast<u32>(total);  // below 2^32: the year passed UtcCheck
    stamp->milliseconds %= 1000;
    UtcUpdated = 1;
    return 1;
}

int UtcUpdate(u16* utc6) {
    const u32 now = FPGA_GetFrt();
    if (now - g.lastTickUtc >= kTicksPerSecond) {
        u16 r[6];
        ReadUtcRegisters(r);
        if (Sane(r) && r[kDay] <= UtcMonthLength(r[kYear], r[kMonth])) {
            StepSecond(r, UtcMonthLength);
            WriteUtcRegisters(r);
        }
        g.lastTickUtc += kTicksPerSecond;
    }
    if (utc6) ReadUtcRegisters(utc6);
    return 1;
}

int SyncUtcWithRtc(const RTCTime* local, u16* utc6, i16 offsetMinutes, u8 dst) {
    if (!local || !utc6) return 0;
    u16 in[6], out[6];
    ToRecord(*local, in);
    if (!Sane(in)) return 0;
    if (!ShiftMinutes(in, -static_cast<i64>(offsetMinutes) - (dst ? 60 : 0), out)) return 0;
    for (int i = 0; i < 6; ++i) utc6[i] = out[i];
    g.lastTickUtc = g.lastTickRtc;
    return 1;
}

int SyncRtcWithUtc(RTCTime* local, const u16* utc6, i16 offsetMinutes, u8 dst) {
    if (!local || !utc6) return 0;
    u16 in[6], out[6];
    for (int i = 0; i < 6; ++i) in[i] = utc6[i];
    if (!Sane(in)) return 0;
    if (!ShiftMinutes(in, static_cast<i64>(offsetMinutes) + (dst ? 60 : 0), out)) return 0;
    const RTCTime t{out[kSec], out[kMin],   out[kHour], out[kDay], out[kMonth], out[kYear],
                    static_cast<u16>(DayOfWeek(out[kYear], out[kMonth], out[kDay]) + 1)};
    if (!RtcSet(&t)) return 0;
    *local = t;
    g.lastTickRtc = g.lastTickUtc;
    return 1;
}

void DstUpdate(RTCTime* clock) {
    if (!clock) return;
    const bool wanted = DstRequested() != 0;
    if (wanted == (dstActive != 0)) return;
    u16 r[6];
    ToRecord(*clock, r);
    DstUpdated = 1;
    const int ok = SyncRtcWithUtc(clock, r, wanted ? 60 : -60, 0);
    DstUpdated = 0;
    // A step the clock refused is tried again on the next read.
    if (ok) dstActive = wanted ? 1 : 0;
}

void RtcScanStep() {
    RTCTime local = ReadSrClock();
    RtcGet(&local);
    WriteSrClock(local);

    UtcUpdate(nullptr);

    const i16 zone = static_cast<i16>(ESR_Get(kEsrTimeZone));
    if (zone != timezoneValue) {
        timezoneValue = zone;
        timezoneAdvance = timezoneModField = zone >= 0 ? 1 : 0;
        UtcUpdated = 1;
    }

    if (UtcUpdated) {
        u16 utc[6];
        ReadUtcRegisters(utc);
        local = ReadSrClock();
        if (SyncRtcWithUtc(&local, utc, zone, DstRequested())) WriteSrClock(local);
        UtcUpdated = 0;
    }

    if (RtcUpdated) {
        u16 utc[6];
        local = ReadSrClock();
        if (SyncUtcWithRtc(&local, utc, zone, DstRequested())) WriteUtcRegisters(utc);
        RtcUpdated = 0;
        // A request that meets a running programming command waits for the
        // end of the command instead of being dropped.
        if (NTP_UserModifiedTime) g.systemTimePending = true;
    }

    if (g.systemTimePending && !(rtcPeers.linkCommandRunning && rtcPeers.linkCommandRunning())) {
        g.systemTimePending = false;
        if (NTP_UserModifiedTime) {
            u16 utc[6];
            ReadUtcRegisters(utc);
            u64 seconds;
            if (UtcGet(utc, &seconds)) Rtc_SetSystemTime(seconds);
            NTP_UserModifiedTime = 0;
        }
    }
}

void Rtc_SetSystemTime(u64 secondsSince1970) {
    g.systemTime = secondsSince1970;
    ++g.systemTimeRequests;
}

bool Rtc_RequestedSystemTime(u64* secondsSince1970) {
    if (g.systemTimeRequests == 0) return false;
    if (secondsSince1970) *secondsSince1970 = g.systemTime;
    return true;
}

u32 Rtc_SystemTimeRequests() { return g.systemTimeRequests; }

void Rtc_Reset() {
    RtcDev_Close();
    g = State{};
    UtcUpdated = RtcUpdated = DstUpdated = NTP_UserModifiedTime = dstActive = 0;
    timezoneValue = 0;
    timezoneAdvance = timezoneModField = 0;
    g.lastTickRtc = g.lastTickUtc = FPGA_GetFrt();
}
