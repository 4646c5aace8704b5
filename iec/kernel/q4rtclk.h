// The runtime's clock: local and UTC date and time stamps of one reading of
// the controller's clock, and the same as text.
//
// Time stamp: u32 milliseconds since midnight. Date stamp: u32
// year << 16 | month << 8 | day (four-digit year, month 1-12). Local time is
// the controller's clock (the clock device: host UTC plus the offset stored
// under the root), so setting the controller's clock (RTCSET, SETCLK, the
// programming link) moves the runtime's with it; UTC is local time less the
// zone offset (ESR18, minutes) and the daylight-saving hour (low byte of
// ESR19). The host's zone plays no part.
#pragma once

#include "platform/bytes.h"

constexpr u32 Q4DateStamp(u32 year, u32 month, u32 day) { return (year << 16) | (month << 8) | day; }
constexpr u32 Q4TimeStamp(u32 hour, u32 minute, u32 second, u32 ms) {
    return (hour * 3600u + minute * 60u + second) * 1000u + ms;
}

u32 Q4RtClk_GetCurTimeStamp();
u32 Q4RtClk_GetCurDateStamp();
// Date and time of one reading, local when local != 0, else UTC; daylight is
// 1 while the daylight-saving hour applies (ESR19), else 0; every output may
// be null.
void Q4RtClk_GetCurDateTimeStamp(int local, u32* date, u32* time, u32* daylight);
// kind 1: "hh:mm:ss"; 2: the weekday name ("Monday"...); other: "yyyy/mm/dd".
// Writes at most size bytes including the NUL; returns the text length.
int Q4RtClk_GetString(int kind, char* buffer, u32 size);
