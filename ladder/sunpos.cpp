#include "ladder/sunpos.h"

#include <algorithm>
#include <cmath>

#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2 * kPi;
constexpr double kRad = 0.017453292519943295;  // pi / 180
constexpr double kParallax = 0.000042587565907513806;  // Earth mean radius / astronomical unit
}  // namespace

double sunpos(const SunTime* t, const SunLocation* loc, SunResult* result) {
    const double hours = t->hour + (t->minute + t->second / 60.0) / 60.0;

    // Julian day by integer (truncating) arithmetic; 64 bits so that no
    // register value can overflow it.
    const i64 y = t->year;
    const i64 m = t->month;
    const i64 d = t->day;
    const i64 a = (m - 14) / 12;
    const i64 jd0 = (1461 * (y + 4800 + a)) / 4 + (367 * (m - 2 - 12 * a)) / 12 -
                    (3 * ((y + 4900 + a) / 100)) / 4 + d - 32075;
    const double jd = static_cast<double>(jd0) - 0.5 + hours / 24.0;
    const double n = jd - 2451545.0;

    const double omega = 2.1429 - 0.0010394594 * n;
    const double meanLongitude = 4.8950630 + 0.017202791698 * n;
    const double meanAnomaly = 6.2400600 + 0.0172019699 * n;
    const double eclipticLongitude = meanLongitude + 0.03341607 * std::sin(meanAnomaly) +
                                     0.00034894 * std::sin(2 * meanAnomaly) - 0.0001134 -
                                     0.0000203 * std::sin(omega);
    const double obliquity = 0.4090928 - 6.2140e-9 * n + 0.0000396 * std::cos(omega);

    const double sinLambda = std::sin(eclipticLongitude);
    double rightAscension = std::atan2(std::cos(obliquity) * sinLambda, std::cos(eclipticLongitude));
    if (rightAscension < 0) rightAscension += kTwoPi;
    const double declination = std::asin(std::sin(obliquity) * sinLambda);

    const double gmst = 6.6974243242 + 0.0657098283 * n + hours;
    const double lmst = (gmst * 15 + loc->longitude) * kRad;
    const double hourAngle = lmst - rightAscension;
    const double lat = loc->latitude * kRad;
    const double cosLat = std::cos(lat);
    const double sinLat = std::sin(lat);
    const double cosHourAngle = std::cos(hourAngle);

    // Rounding can carry the cosine just past +-1, where acos gives NaN.
    const double cosZenith =
        std::clamp(cosLat * cosHourAngle * std::cos(declination) + std::sin(declination) * sinLat, -1.0, 1.0);
    double zenith = std::acos(cosZenith);
    double azimuth = std::atan2(-std::sin(hourAngle), std::tan(declination) * cosLat - sinLat * cosHourAngle);
    if (azimuth < 0) azimuth += kTwoPi;
    azimuth /= kRad;
    if (azimuth >= 360.0) azimuth = 0.0;  // a tiny negative angle plus 2 pi can round to 2 pi

    zenith = (zenith + kParallax * std::sin(zenith)) / kRad;

    result->zenith = zenith;
    result->azimuth = azimuth;
    return zenith;
}

u8 SunPos_Instruction(const u16* code, u32& ip, u8 rung, bool tok16) {
    u32 w[5];
    for (u32& x : w) x = LadderWordOperand(code, ip, tok16);
    if (!LadderWordValid(w[0], 6)) return rung;
    for (int i = 1; i < 5; ++i)
        if (!LadderWordValid(w[i], 2)) return rung;
    auto word = [](u32 index) { return static_cast<i32>(GetLe16(&plc_reg[2 * index])); };
    const SunTime t{word(w[0] + 5), word(w[0] + 4), word(w[0] + 3), word(w[0] + 2), word(w[0] + 1), word(w[0])};
    const SunLocation place{GetLeFloat(&plc_reg[2 * w[1]]), GetLeFloat(&plc_reg[2 * w[2]])};
    SunResult r;
    sunpos(&t, &place, &r);
    PutLeFloat(&plc_reg[2 * w[3]], static_cast<float>(r.zenith));
    PutLeFloat(&plc_reg[2 * w[4]], static_cast<float>(r.azimuth));
    return rung;
}

namespace {

using O = LOpd;
constexpr O Wd = O::kWord;

constexpr LadderRoutineRow kRoutines[] = {
    {244, 244, "SUNPOS", SunPos_Instruction, 5, {Wd, Wd, Wd, Wd, Wd}, nullptr},
};

}  // namespace

const std::span<const LadderRoutineRow> kSunPosRoutines{kRoutines};
