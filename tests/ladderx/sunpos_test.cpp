// Sun position against an independent ephemeris (python3-ephem, refraction
// off) over a grid of dates and places.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ladder/sunpos.h"

namespace {

constexpr double kRad = 0.017453292519943295;

struct Sample {
    SunTime time;
    SunLocation place;
};

// Angle between two directions given as zenith and azimuth, in degrees.
double Separation(double z1, double a1, double z2, double a2) {
    const double c = std::cos(z1 * kRad) * std::cos(z2 * kRad) +
                     std::sin(z1 * kRad) * std::sin(z2 * kRad) * std::cos((a1 - a2) * kRad);
    return std::acos(std::min(1.0, std::max(-1.0, c))) / kRad;
}

std::string RunEphem(const std::vector<Sample>& samples) {
    const std::string dir = ::testing::TempDir();
    const std::string in = dir + "/sunpos_in.txt", out = dir + "/sunpos_out.txt", script = dir + "/sunpos.py";
    {
        std::ofstream f(script);
        f << "import ephem, math, sys\n"
             "o = ephem.Observer()\n"
             "o.pressure = 0\n"
             "o.elevation = 0\n"
             "for line in sys.stdin:\n"
             "    y, mo, d, h, mi, s, lon, lat = line.split()\n"
             "    o.lon = math.radians(float(lon))\n"
             "    o.lat = math.radians(float(lat))\n"
             "    o.date = ephem.Date((int(y), int(mo), int(d), int(h), int(mi), int(s)))\n"
             "    sun = ephem.Sun(o)\n"
             "    print('%.9f %.9f' % (90 - math.degrees(float(sun.alt)), math.degrees(float(sun.az))))\n";
    }
    {
        std::ofstream f(in);
        f.precision(17);
        for (const auto& s : samples)
            f << s.time.year << ' ' << s.time.month << ' ' << s.time.day << ' ' << s.time.hour << ' '
              << s.time.minute << ' ' << s.time.second << ' ' << s.place.longitude << ' ' << s.place.latitude << '\n';
    }
    const std::string cmd = "/usr/bin/python3 " + script + " < " + in + " > " + out;
    if (std::system(cmd.c_str()) != 0) return {};
    std::ifstream f(out);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(SunPosition, MatchesAnEphemerisOverDatesAndPlaces) {
    std::vector<Sample> samples;
    const double lats[] = {-90, -89.9, -66.5, -45, -23.4, 0, 10.5, 23.4, 48.2, 66.5, 89.9, 90};
    const double lons[] = {-180, -179.99, -120, -45.5, 0, 15, 90, 179.99, 180};
    int k = 0;
    for (int year = 1999; year <= 2015; year += 2)
        for (int month : {1, 3, 6, 9, 12})
            for (double lat : lats)
                for (double lon : lons) {
                    ++k;
                    samples.push_back({{year, month, 1 + k % 28, k % 24, (k * 7) % 60, (k * 13) % 60}, {lon, lat}});
                }
    const std::string text = RunEphem(samples);
    ASSERT_FALSE(text.empty()) << "python3-ephem not available (apt-get install python3-ephem)";
    std::istringstream in(text);
    double worstZenith = 0, worstDirection = 0;
    for (const auto& s : samples) {
        double z, a;
        ASSERT_TRUE(in >> z >> a);
        SunResult r;
        const double ret = sunpos(&s.time, &s.place, &r);
        EXPECT_EQ(ret, r.zenith);
        ASSERT_FALSE(std::isnan(r.zenith));
        ASSERT_GE(r.azimuth, 0.0);
        ASSERT_LT(r.azimuth, 360.0);
        worstZenith = std::max(worstZenith, std::fabs(r.zenith - z));
        // The azimuth has no meaning at the poles themselves.
        if (std::fabs(s.place.latitude) < 90) worstDirection = std::max(worstDirection, Separation(r.zenith, r.azimuth, z, a));
    }
    EXPECT_LT(worstZenith, 0.01);
    EXPECT_LT(worstDirection, 0.01);
}

TEST(SunPosition, EquinoxNoonAtTheEquatorIsOverhead) {
    // 2012-03-20: equinox near 05:14 UTC; solar noon at the longitude where
    // it is noon then.
    SunTime t{2012, 3, 20, 5, 14, 0};
    SunLocation p{(12 + 7.5 / 60 - 5 - 14 / 60.0) * 15, 0};  // equation of time about -7.5 min
    SunResult r;
    sunpos(&t, &p, &r);
    EXPECT_LT(r.zenith, 0.3);
}

// Straight under and opposite the sun the cosine of the zenith is 1 or -1
// up to rounding: never a NaN, and the azimuth stays in [0, 360).
TEST(SunPosition, SubsolarAndAntisolarPointsGiveNoNaN) {
    std::mt19937 rng(9);
    for (int i = 0; i < 5000; ++i) {
        SunTime t{1999 + static_cast<i32>(rng() % 17), 1 + static_cast<i32>(rng() % 12), 1 + static_cast<i32>(rng() % 28),
                  static_cast<i32>(rng() % 24), static_cast<i32>(rng() % 60), static_cast<i32>(rng() % 60)};
        // Find the subsolar point by walking toward the sun.
        SunLocation p{0, 0};
        SunResult r;
        for (int step = 0; step < 40; ++step) {
            sunpos(&t, &p, &r);
            const double a = r.azimuth * kRad, z = r.zenith;
            p.latitude = std::max(-89.0, std::min(89.0, p.latitude + z * std::cos(a) * 0.9));
            p.longitude += z * std::sin(a) / std::max(0.1, std::cos(p.latitude * kRad)) * 0.9;
            p.longitude = std::remainder(p.longitude, 360.0);
        }
        sunpos(&t, &p, &r);
        ASSERT_FALSE(std::isnan(r.zenith));
        EXPECT_LT(r.zenith, 0.01);
        ASSERT_TRUE(r.azimuth >= 0 && r.azimuth < 360);
        SunLocation anti{std::remainder(p.longitude + 180, 360.0), -p.latitude};
        sunpos(&t, &anti, &r);
        ASSERT_FALSE(std::isnan(r.zenith));
        EXPECT_GT(r.zenith, 179.98);
        ASSERT_TRUE(r.azimuth >= 0 && r.azimuth < 360);
    }
}

}  // namespace
