// The controller's local clock (battery-backed RTC), its UTC copy, time zone
// and daylight saving, and the clock step of every scan.
//
// The local clock lives in SR44-SR50 (RTCTime order), UTC in ESR20-ESR25
// (second, minute, hour, day, month, year), the time-zone offset in minutes
// in ESR18 (local = UTC + offset) and daylight saving in the low byte of
// ESR19 (adds 60 minutes). The clock device is read once; afterwards the
// module's copy is advanced one second per 10000 counter ticks.
#pragma once

#include "platform/bytes.h"
#include "platform/neighbour.h"

struct RTCTime {
    u16 second, minute, hour, day, month, year, dayOfWeek;  // order of SR44-SR50
};

// UtcUpdated: UTC was set from outside, the local clock must follow.
// RtcUpdated: a user set the local clock, UTC must follow.
// DstUpdated: a daylight-saving step is in progress.
// NTP_UserModifiedTime: the clock was set; the system time must be written.
// dstActive: the daylight-saving hour is applied to the local clock.
extern u8 UtcUpdated, RtcUpdated, DstUpdated, NTP_UserModifiedTime, dstActive;
extern i16 timezoneValue;
extern u8 timezoneAdvance, timezoneModField;

// Reads the local clock; day of week 1 (Sunday) to 7 when the time is valid.
// A missing or failing device leaves *out unchanged.
void RtcGet(RTCTime* out);
// 1 when the clock device was set, 0 when the time is invalid (RtcCheck; the
// day of week is not checked) or the device fails; no side effect then.
int RtcSet(const RTCTime* in);
// Replace only those fields of the current clock, then RtcSet.
int RtcTimeSet(u16 second, u16 minute, u16 hour);
int RtcDateSet(u16 day, u16 month, u16 year);
// 1 valid, 0 invalid. The local clock takes February 29 when year & 3 is 0
// (so 2100 is a leap year to it) and years 1-2099.
int RtcCheck(const RTCTime* t);
// The same for the UTC form, with month lengths from days[leapRow] (pass
// CheckLeap(year)) and years 1-2036.
int UtcCheck(const u16* utc6, int leapRow);
// 1 for a Gregorian leap year.
int CheckLeap(u16 year);
// 0 Sunday to 6 Saturday (Gregorian); 0 for a month outside 1-12.
int DayOfWeek(u16 year, u16 month, u16 day);
// Seconds since 1970-01-01 00:00:00 of the UTC record: 1, or 0 for a null
// argument or a record that is no date from 1970 on (month outside 1-12, day
// outside 1-31).
int UtcGet(const u16* utc6, u64* seconds);
struct UtcStamp {
    u32 seconds;       // since 1970
    u32 milliseconds;
};
// Converts and writes the six words and sets UtcUpdated: 1, or 0 for a date
// that fails UtcCheck (nothing written). On success the stamp is normalised
// (milliseconds below 1000).
int UtcSet(UtcStamp* stamp, u16* utc6);
// Advances ESR20-ESR25 by one second when 10000 ticks have passed since the
// last step; copies the record into utc6 when it is not null. Returns 1.
int UtcUpdate(u16* utc6);
// UTC = local - offset - (60 minutes when dst): 1, or 0 for a null argument
// or an impossible date (nothing written). Offsets of any size carry over as
// many days as they span; the second is copied unchanged.
int SyncUtcWithRtc(const RTCTime* local, u16* utc6, i16 offsetMinutes, u8 dst);
// local = UTC + offset + (60 minutes when dst), with day of week, and the
// clock set with RtcSet: RtcSet's result; *local is written only when the
// clock took the time.
int SyncRtcWithUtc(RTCTime* local, const u16* utc6, i16 offsetMinutes, u8 dst);
// Applies the daylight-saving hour once when ESR19 turns on, removes it once
// when it turns off.
void DstUpdate(RTCTime* clock);

// What the clock step needs of the layers above; the wiring fills it in.
struct RtcPeers {
    // A programming command runs on the link: a system-time request waits
    // for its end.
    bool (*linkCommandRunning)() = nullptr;
};
extern RtcPeers rtcPeers;  // filled by core/wiring.cpp
void RtcPeers_Check(NeighbourCheck& check);

// The clock step of each scan: SR44-50, UTC step, time zone, synchronisation.
void RtcScanStep();
// Forgets all module state and closes the clock device; the device keeps its
// time, so the next read is that of a restarted controller (tests). The state
// starts clean at process start: start-up need not call it, and must not
// after the register initialisation has restored dstActive.
void Rtc_Reset();

// Setting the operating system's time. The host clock is never set: the
// request is recorded (the time-server files and tests read it).
void Rtc_SetSystemTime(u64 secondsSince1970);
// The last requested system time; false when none since Rtc_Reset.
bool Rtc_RequestedSystemTime(u64* secondsSince1970);
// Number of requests since Rtc_Reset.
u32 Rtc_SystemTimeRequests();
