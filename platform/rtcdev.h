// The board's battery-backed clock device (/dev/rtc0) with its read-time and
// set-time requests.
//
// Here the device is host UTC plus an offset in seconds kept in a small file
// under the root: setting the device changes only the offset (the host clock
// is never set), and the offset survives a restart as the battery-backed
// clock does. Tests can make the device missing.
#pragma once

#include "platform/bytes.h"

// The device's broken-down time, as the read-time and set-time requests carry
// it: month 0-11, year counted from 1900.
struct RtcDevTime {
    int second, minute, hour, day, month, year;
};

// The battery-backed persistent registers of the clock block (0-5); they keep
// their values across a reset and a power-off.
constexpr int kPersistentRegs = 6;
// The persistent registers the controller uses.
constexpr int kPersistentFaultFlags = 3;     // fault flags of the last stop (ESR7)
constexpr int kPersistentUncleanCount = 4;   // power-ups without a clean stop (SR52)
u32 Board_Persistent(int index);  // 0 for an index out of range
void Board_SetPersistent(int index, u32 value);

// Firmware path of the offset file.
constexpr const char* kRtcOffsetFile = "/mnt/rtc/offset";

// Opens the device: loads the stored offset (none, or an unreadable file,
// reads as 0: the clock shows host time). False when the device is missing.
bool RtcDev_Open();
// Closes it; the next open loads the offset again (a restart).
void RtcDev_Close();
bool RtcDev_IsOpen();
// Read-time request. False when the device is not open or missing.
bool RtcDev_ReadTime(RtcDevTime* out);
// Set-time request. False when the device is not open or missing, the time is
// out of range (second 0-59, minute 0-59, hour 0-23, day 1-31, month 0-11,
// year 1-9999 AD) or the offset cannot be stored; then nothing changes. A day
// past the end of its month runs on into the next month, as it would on a
// seconds counter.
bool RtcDev_SetTime(const RtcDevTime& in);
// Offset of the device from host UTC, in seconds.
i64 RtcDev_OffsetSeconds();

// Test hook: a missing device fails every open, read and set.
void RtcDev_SetMissing(bool missing);

// The Gregorian calendar the device counts in (proleptic, any year).
// Days since 1970-01-01 of year-month(1-12)-day; a day past the month's end
// runs on into the next month.
i64 Civil_DaysFromDate(i64 year, i64 month, i64 day);
// The date of a day count since 1970-01-01 (month 1-12).
void Civil_DateFromDays(i64 days, i64* year, int* month, int* day);
