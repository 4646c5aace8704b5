// The controller's PID loop against a float32 reference in Python, and its
// counters with reset and load edges.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "fb_fixture.h"
#include "iec/kernel/q4fbpid.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

using Inst = std::array<u8, 16>;

std::string Hex(float v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", std::bit_cast<u32>(v));
    return b;
}

// 1,000 samples with random set points, gains, limits, dead band, hold,
// preset, manual mode and VM times that cross midnight; every output the
// block writes is checked bit for bit by a Python transcription in float32.
TEST(Pid, AgreesWithTheFloat32Reference) {
    FbDb f;
    Inst inst{};
    std::mt19937 rng(26);
    std::uniform_real_distribution<float> u(-100.0f, 100.0f);
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    std::vector<u16> ops;
    const u16 in[16] = {f.B(0), f.R(0), f.R(1), f.R(2), f.R(3), f.R(4), f.R(5), f.T(0),
                        f.R(6), f.R(7), f.B(1), f.B(2), f.B(3), f.R(8), f.R(9), f.R(10)};
    ops.assign(in, in + 16);
    for (u16 k = 0; k < 5; ++k) ops.push_back(f.R(11 + k));
    ops.push_back(f.B(4));
    ops.push_back(f.B(5));
    TempRoot root;
    const std::string path = root.Dir() + "/pid_trace.txt";
    std::ofstream trace(path);
    f.SetNow(86390000);
    f.Cmd(Q4Blk_Pid, inst.data(), kFbInstanceInit);
    u32 now = 86390000;
    int computed = 0;
    for (int n = 0; n < 1000; ++n) {
        now = (now + static_cast<u32>(rng() % 400)) % 86400000;
        if (now == 0) now = 1;
        f.SetNow(now);
        if (n % 50 == 0) {  // a new setting now and then
            f.SetR(f.R(3), chance(20) ? 0.0f : u(rng) / 10.0f);       // gain
            f.SetR(f.R(4), chance(20) ? 0.0f : std::abs(u(rng)));     // integral time
            f.SetR(f.R(5), u(rng) / 100.0f);                          // derivative
            f.SetT(f.T(0), chance(30) ? 0 : static_cast<u32>(rng() % 500));
            float a = u(rng) * 10, b = u(rng) * 10;
            f.SetR(f.R(6), std::min(a, b));
            f.SetR(f.R(7), std::max(a, b));
            f.SetR(f.R(9), chance(40) ? -1.0f : std::abs(u(rng)) / 10.0f);  // dead band
            f.SetR(f.R(10), u(rng) / 10.0f);                                // bias
            f.SetR(f.R(1), u(rng));                                         // set point
        }
        f.SetB(f.B(0), !chance(10));
        f.SetR(f.R(0), u(rng));
        f.SetR(f.R(2), u(rng));
        f.SetB(f.B(1), !chance(10));
        f.SetB(f.B(2), chance(10));
        f.SetB(f.B(3), chance(5));
        f.SetR(f.R(8), u(rng));
        for (u16 k = 0; k < 5; ++k) f.SetR(f.R(11 + k), std::nanf(""));  // unwritten marker
        f.Exec(Q4Blk_Pid, inst.data(), ops);
        std::ostringstream line;
        line << now << ' ' << f.GetB(f.B(0));
        for (u16 k = 0; k < 6; ++k) line << ' ' << Hex(f.GetR(f.R(k)));
        line << ' ' << f.GetT(f.T(0)) << ' ' << Hex(f.GetR(f.R(6))) << ' ' << Hex(f.GetR(f.R(7))) << ' '
             << f.GetB(f.B(1)) << ' ' << f.GetB(f.B(2)) << ' ' << f.GetB(f.B(3));
        for (u16 k = 8; k < 11; ++k) line << ' ' << Hex(f.GetR(f.R(k)));
        if (std::isnan(f.GetR(f.R(11)))) {
            line << " -";
        } else {
            ++computed;
            for (u16 k = 0; k < 5; ++k) line << ' ' << Hex(f.GetR(f.R(11 + k)));
            line << ' ' << f.GetB(f.B(4)) << ' ' << f.GetB(f.B(5));
        }
        trace << line.str() << '\n';
    }
    trace.close();
    EXPECT_GT(computed, 300);
    int status = -1;
    std::string out = Shell("/usr/bin/python3 " + std::string(PLC_SOURCE_DIR) + "/tests/iecfb/pid_reference.py " + path, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("OK"), std::string::npos) << out;
}

TEST(Pid, SamplePeriodAndOutputsIgnoreLocks) {
    FbDb f;
    Inst inst{};
    std::vector<u16> ops;
    for (u16 k = 0; k < 23; ++k) ops.push_back(k == 0 || k == 10 || k == 11 || k == 12 || k >= 21 ? f.B(k) : k == 7 ? f.T(0) : f.R(k));
    f.SetB(f.B(0), true);
    f.SetR(f.R(2), 10.0f);  // set point; process value 0
    f.SetR(f.R(4), 2.0f);   // gain
    f.SetR(f.R(6), 1.0f);   // derivative factor
    f.SetR(f.R(9), 1000.0f);
    f.SetR(f.R(8), -1000.0f);
    f.SetR(f.R(14), -1.0f);
    f.SetT(f.T(0), 100);
    f.Lock(f.R(16), kQ4LockData32);
    f.SetNow(5000);
    f.Cmd(Q4Blk_Pid, inst.data(), kFbInstanceInit);
    f.Exec(Q4Blk_Pid, inst.data(), ops);  // first execution: starts
    EXPECT_EQ(f.GetR(f.R(16)), 0.0f);
    f.SetNow(5050);
    f.Exec(Q4Blk_Pid, inst.data(), ops);  // below the sample period
    EXPECT_EQ(f.GetR(f.R(16)), 0.0f);
    f.SetNow(5100);
    f.Exec(Q4Blk_Pid, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(18)), 20.0f);  // P
    EXPECT_EQ(f.GetR(f.R(20)), 20.0f);  // D: the error moved from 0 to 10
    EXPECT_EQ(f.GetR(f.R(16)), 40.0f);  // written though locked
    // Period 0: computes at every execution whose time differs.
    f.SetT(f.T(0), 0);
    f.Exec(Q4Blk_Pid, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(20)), 20.0f);  // same time: nothing computed
    f.SetNow(5101);
    f.Exec(Q4Blk_Pid, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(20)), 0.0f);
}

TEST(Counters, EdgesCountResetAndLoad) {
    FbDb f;
    Inst inst{};
    f.SetD(f.D(0), 3);
    // CTUR: CU, RESET, PV -> Q, CV. Steps: CU, RESET -> Q, CV.
    struct Step {
        bool a, b;
        bool q;
        i32 cv;
    };
    auto run = [&](Q4FbHandler h, std::vector<Step> steps, const char* name) {
        inst = {};
        int n = 0;
        for (const Step& s : steps) {
            f.SetB(f.B(0), s.a);
            f.SetB(f.B(1), s.b);
            f.Exec(h, inst.data(), {f.B(0), f.B(1), f.D(0), f.B(2), f.D(1)});
            EXPECT_EQ(f.GetB(f.B(2)), s.q) << name << " " << n;
            EXPECT_EQ(f.GetD(f.D(1)), s.cv) << name << " " << n;
            ++n;
        }
    };
    run(Q4Blk_Ctur,
        {{1, 0, 0, 1}, {1, 0, 0, 1}, {0, 0, 0, 1}, {1, 1, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 1}, {0, 1, 0, 1},
         {1, 1, 0, 2}, {0, 0, 0, 2}, {1, 0, 1, 3}, {0, 0, 1, 3}, {1, 0, 1, 3}},
        "CTUR");
    // CTDR: CD, LOAD, PV -> Q, CV.
    run(Q4Blk_Ctdr,
        {{0, 0, 1, 0}, {1, 0, 1, 0}, {0, 1, 0, 3}, {1, 1, 0, 2}, {0, 1, 0, 2}, {1, 1, 0, 1}, {0, 0, 0, 1},
         {1, 0, 1, 0}, {0, 0, 1, 0}, {1, 0, 1, 0}},
        "CTDR");

    // CTUDR: CU, CD, RESET, LOAD, PV -> QU, QD, CV.
    inst = {};
    struct U {
        unsigned in;
        bool qu, qd;
        i32 cv;
    } steps[] = {{1, 0, 0, 1}, {0, 0, 0, 1}, {1, 0, 0, 2}, {2, 0, 0, 1}, {8, 1, 0, 3}, {1, 1, 0, 3}, {4, 0, 1, 0},
                 {1 | 4, 0, 0, 1}, {0, 0, 0, 1}, {1 | 2, 0, 0, 2}, {0, 0, 0, 2}, {2 | 8, 1, 0, 3}, {2, 1, 0, 3}, {0, 1, 0, 3}, {2, 0, 0, 2}};
    int n = 0;
    for (const U& s : steps) {
        for (u16 k = 0; k < 4; ++k) f.SetB(f.B(k), (s.in >> k) & 1);
        f.Exec(Q4Blk_Ctudr, inst.data(), {f.B(0), f.B(1), f.B(2), f.B(3), f.D(0), f.B(4), f.B(5), f.D(1)});
        EXPECT_EQ(f.GetB(f.B(4)), s.qu) << n;
        EXPECT_EQ(f.GetB(f.B(5)), s.qd) << n;
        EXPECT_EQ(f.GetD(f.D(1)), s.cv) << n;
        ++n;
    }
}

}  // namespace
