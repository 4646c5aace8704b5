// Solar zenith and azimuth for a date, time (UTC) and place, by a compact
// published solar-position algorithm in double precision (accurate to about
// 0.01 degree in the years its series were fitted to, 1999-2015).
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

struct SunTime {
    i32 year;  // four digits
    i32 month;  // 1-12
    i32 day;
    i32 hour;
    i32 minute;
    i32 second;
};

struct SunLocation {
    double longitude;  // degrees, east positive
    double latitude;   // degrees, north positive
};

struct SunResult {
    double zenith;   // degrees, 0-180
    double azimuth;  // degrees clockwise from north, [0, 360)
};

// Fills result and returns the zenith.
double sunpos(const SunTime* time, const SunLocation* location, SunResult* result);

// Ladder instruction 244: operands (register words) time block (second,
// minute, hour, day, month, year as unsigned 16-bit values), longitude and
// latitude (REAL register pairs), zenith and azimuth outputs (REAL register
// pairs). ip stands on the word after the opcode and is advanced past the
// operands. Runs whatever the power flow, which it returns unchanged;
// operands outside the register memory make it write nothing.
u8 SunPos_Instruction(const u16* code, u32& ip, u8 rung, bool tok16);

// The family's block-routine rows.
extern const std::span<const LadderRoutineRow> kSunPosRoutines;

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kSunPosOps[] = {
    Rt(244, 244, "SUNPOS"),
};
}  // namespace lrow
