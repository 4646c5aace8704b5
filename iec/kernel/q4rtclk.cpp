#include "iec/kernel/q4rtclk.h"

#include <cstdio>
#include <ctime>

#include "core/plc_regs.h"
#include "platform/clock.h"
#include "platform/rtcdev.h"
#include "platform/rtclock.h"

namespace {

// The special registers of the controller's zone: offset in minutes (local =
// UTC + offset) and daylight saving in the low byte (one more hour).
constexpr int kEsrTimeZone = 18;
constexpr int kEsrDaylight = 19;

struct Reading {
    std::tm tm;
    u32 ms;
    bool daylight;
};

// One reading of the controller's clock: its local time is the clock
// device's (host UTC plus the stored offset, which RTCSET, SETCLK and a
// clock set over the link move); UTC is that less the zone and daylight
// saving of the special registers.
Reading Read(bool local) {
    // The clock module opens the device and takes its time first.
    if (!RtcDev_IsOpen()) {
        RTCTime t;
        RtcGet(&t);
    }
    const bool daylight = (ESR_Get(kEsrDaylight) & 0xFF) != 0;
    i64 ns = Clock_UtcNs() + RtcDev_OffsetSeconds() * 1000000000;
    if (!local) {
        const i64 minutes = static_cast<i16>(ESR_Get(kEsrTimeZone)) + (daylight ? 60 : 0);
        ns -= minutes * 60 * 1000000000;
    }
    i64 sec = ns / 1000000000;
    i64 rem = ns % 1000000000;
    if (rem < 0) {
        rem += 1000000000;
        --sec;
    }
    std::time_t t = static_cast<std::time_t>(sec);
    Reading r{};
    gmtime_r(&t, &r.tm);
    r.ms = static_cast<u32>(rem / 1000000);
    r.daylight = daylight;
    return r;
}

u32 DateOf(const std::tm& tm) {
    return Q4DateStamp(static_cast<u32>(tm.tm_year + 1900), static_cast<u32>(tm.tm_mon + 1), static_cast<u32>(tm.tm_mday));
}

u32 TimeOf(const Reading& r) {
    return Q4TimeStamp(static_cast<u32>(r.tm.tm_hour), static_cast<u32>(r.tm.tm_min),
                       static_cast<u32>(r.tm.tm_sec > 59 ? 59 : r.tm.tm_sec), r.ms);
}

}  // namespace

u32 Q4RtClk_GetCurTimeStamp() { return TimeOf(Read(true)); }

u32 Q4RtClk_GetCurDateStamp() { return DateOf(Read(true).tm); }

void Q4RtClk_GetCurDateTimeStamp(int local, u32* date, u32* time, u32* daylight) {
    Reading r = Read(local != 0);
    if (date) *date = DateOf(r.tm);
    if (time) *time = TimeOf(r);
    if (daylight) *daylight = r.daylight ? 1 : 0;
}

int Q4RtClk_GetString(int kind, char* buffer, u32 size) {
    static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    if (!buffer || size == 0) return 0;
    Reading r = Read(true);
    int n;
    if (kind == 1)
        n = std::snprintf(buffer, size, "%02u:%02u:%02u", static_cast<unsigned>(r.tm.tm_hour),
                          static_cast<unsigned>(r.tm.tm_min), static_cast<unsigned>(r.tm.tm_sec));
    else if (kind == 2)
        n = std::snprintf(buffer, size, "%s", kDays[r.tm.tm_wday % 7]);
    else
        n = std::snprintf(buffer, size, "%04u/%02u/%02u", static_cast<unsigned>(r.tm.tm_year + 1900),
                          static_cast<unsigned>(r.tm.tm_mon + 1), static_cast<unsigned>(r.tm.tm_mday));
    if (n < 0) return 0;
    return static_cast<u32>(n) < size ? n : static_cast<int>(size - 1);
}
