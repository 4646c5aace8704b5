// The controller's local clock (battery-backed RTC), its UTC copy, time zone
// and daylight saving, and the clock step of every scan.
#pragma once

#include "core/bytes.h"

struct RTCTime {
    u16 second, minute, hour, day, month, year, dayOfWeek;  // order of SR44-SR50
};

extern u8 UtcUpdated, RtcUpdated, DstUpdated, NTP_UserModifiedTime, dstActive;
extern i16 timezoneValue;
extern u8 timezoneAdvance, timezoneModField;

void RtcGet(RTCTime* out);
int RtcSet(const RTCTime* in);
int RtcTimeSet(u16 second, u16 minute, u16 hour);
int RtcDateSet(u16 day, u16 month, u16 year);
int RtcCheck(const RTCTime* t);
int UtcCheck(const u16* utc6, int leapRow);
int CheckLeap(u16 year);
int DayOfWeek(u16 year, u16 month, u16 day);
int UtcGet(const u16* utc6, u64* seconds);
struct UtcStamp {
    u32 seconds;
    u32 milliseconds;
};
int UtcSet(UtcStamp* stamp, u16* utc6);
int UtcUpdate(u16* utc6);
int SyncUtcWithRtc(const RTCTime* local, u16* utc6, i16 offsetMinutes, u8 dst);
int SyncRtcWithUtc(RTCTime* local, const u16* utc6, i16 offsetMinutes, u8 dst);
void DstUpdate(RTCTime* clock);

// The clock step of each scan: SR44-50, UTC step, time zone, synchronisation.
void RtcScanStep();
// Forgets all module state (tests and start-up).
void Rtc_Reset();
