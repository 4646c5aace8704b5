// Logic, timer, clock and step blocks of the standard list, on the VM time the
// test sets.
#include <array>
#include <cmath>
#include <string>

#include "fb_fixture.h"
#include "iec/kernel/q4fbclock.h"
#include "iec/kernel/q4fblogic.h"
#include "iec/kernel/q4fbpid.h"
#include "iec/kernel/q4fbtimer.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmfb.h"
#include "platform/rtclock.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

namespace {

using Inst = std::array<u8, 64>;

// Every block of these families sits in its list under its name, answers its
// class number, instance size and typed flag, and no class data.
TEST(StdBlocks, RegisteredWithTheirClassAndSize) {
    struct Row {
        const char* name;
        int cls, size, typed;
    } rows[] = {
        {"SIG_GEN", 1, 16, 0},  {"RS", 2, 1, 0},        {"SR", 3, 1, 0},         {"R_TRIG", 4, 1, 0},
        {"F_TRIG", 5, 1, 0},    {"TON", 9, 12, 0},      {"TOF", 10, 12, 0},      {"TP", 11, 12, 0},
        {"SEMA", 12, 1, 0},     {"CMP", 13, 4, 0},      {"HYSTER", 16, 1, 0},    {"LIM_ALRM", 18, 2, 0},
        {"BLINK", 19, 12, 0},   {"UNPACK8", 22, 0, 1},  {"TOFR", 23, 12, 0},     {"TPR", 24, 12, 0},
        {"PLS", 25, 12, 0},     {"FLIPFLOP", 26, 2, 0}, {"BLINKA", 28, 12, 0},   {"DTAT", 29, 12, 0},
        {"DTEVERY", 30, 16, 0}, {"ALARM_M", 33, 1, 0},  {"ALARM_A", 34, 1, 0},   {"TMU", 36, 12, 0},
        {"TMD", 37, 12, 0},     {"ISFCSTEP", 41, 12, 0}, {"ISFCINITSTEP", 42, 12, 0},
        {"DTCURDATETIME", 46, 0, 1}, {"TMUSEC", 52, 12, 0},
        {"STACKINT", 14, 524, 0}, {"DERIVATE", 15, 20, 0}, {"AVERAGE", 17, 536, 0}, {"INTEGRAL", 20, 8, 0},
        {"RAMP", 27, 20, 0},      {"FIFO", 31, 24, 1},     {"LIFO", 32, 24, 1},      {"SIGPLAY", 40, 32, 0},
        {"AVERAGEL", 43, 1056, 0}, {"CURVELIN", 44, 0, 1}, {"SURFLIN", 45, 0, 1},    {"HYSTERACC", 54, 24, 0},
        {"SERIO", 21, 4, 0},      {"SERIO_B", 55, 4, 1},   {"LOGFILECSV", 35, 2, 0},
    };
    for (const Row& r : rows) {
        Q4FbHandler h = nullptr;
        for (const Q4BlockEntry& e : kQ4StdBlocks)
            if (std::string(e.name) == r.name) h = e.handler;
        ASSERT_NE(h, nullptr) << r.name;
        EXPECT_EQ(h(kFbClassId, nullptr, nullptr, nullptr, nullptr), r.cls) << r.name;
        EXPECT_EQ(h(kFbClassSize, nullptr, nullptr, nullptr, nullptr), 0) << r.name;
        EXPECT_EQ(h(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), r.size) << r.name;
        EXPECT_EQ(h(kFbAnyType, nullptr, nullptr, nullptr, nullptr), r.typed) << r.name;
    }
    struct Pfb {
        u32 id;
        const char* name;
        int size, typed;
    } pfb[] = {{57, "PID", 16, 1}, {58, "CTUR", 8, 0}, {59, "CTDR", 8, 0}, {60, "CTUDR", 8, 0}};
    for (const Pfb& p : pfb) {
        ASSERT_STREQ(Q4Blocks_GetName(p.id), p.name);
        Q4FbHandler h = Q4Blocks_GetProc(p.id);
        EXPECT_EQ(h(kFbClassId, nullptr, nullptr, nullptr, nullptr), 0) << p.name;
        EXPECT_EQ(h(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), p.size) << p.name;
        EXPECT_EQ(h(kFbAnyType, nullptr, nullptr, nullptr, nullptr), p.typed) << p.name;
    }
}

// Bit sequences of the edge, bistable and alarm blocks: each step sets the
// inputs and expects the outputs (bit k = operand k).
TEST(StdBlocks, LogicSequences) {
    struct Case {
        const char* name;
        Q4FbHandler h;
        u16 inputs, outputs;
        std::vector<std::pair<unsigned, unsigned>> steps;
    } cases[] = {
        {"R_TRIG", Q4Stfb_RTrig, 1, 1, {{1, 1}, {1, 0}, {0, 0}, {1, 1}}},
        {"F_TRIG", Q4Stfb_FTrig, 1, 1, {{0, 0}, {1, 0}, {1, 0}, {0, 1}, {0, 0}}},
        // RS: S, R1 (reset dominant); SR: S1, R (set dominant).
        {"RS", Q4Stfb_Rs, 2, 1, {{1, 1}, {0, 1}, {3, 0}, {2, 0}, {1, 1}}},
        {"SR", Q4Stfb_Sr, 2, 1, {{1, 1}, {3, 1}, {2, 0}, {0, 0}}},
        // SEMA: BUSY shows the state before this execution; a claim wins.
        {"SEMA", Q4Stfb_Sema, 2, 1, {{1, 0}, {1, 1}, {0, 1}, {2, 0}, {3, 0}, {0, 1}}},
        // FLIPFLOP: IN, RST.
        {"FLIPFLOP", Q4Stfb_FlipFlop, 2, 1, {{1, 1}, {1, 1}, {0, 1}, {1, 0}, {0, 0}, {1, 1}, {3, 0}, {1, 1}, {0, 1}, {1, 0}}},
        // ALARM_M: IN, ACK, RST -> Q, QACK.
        {"ALARM_M", Q4Stfb_AlarmM, 3, 2, {{1, 1}, {0, 1}, {2, 2}, {5, 2}, {4, 0}, {0, 0}}},
        // ALARM_A: IN, ACK -> Q, QACK; an acknowledge after IN fell goes idle.
        {"ALARM_A", Q4Stfb_AlarmA, 2, 2, {{1, 1}, {3, 2}, {0, 0}, {1, 1}, {2, 0}}},
    };
    for (const Case& c : cases) {
        FbDb f;
        Inst inst{};
        std::vector<u16> ops;
        for (u16 k = 0; k < c.inputs + c.outputs; ++k) ops.push_back(f.B(k));
        int step = 0;
        for (auto [in, want] : c.steps) {
            for (u16 k = 0; k < c.inputs; ++k) f.SetB(f.B(k), (in >> k) & 1);
            f.Exec(c.h, inst.data(), ops);
            unsigned got = 0;
            for (u16 k = 0; k < c.outputs; ++k) got |= (f.GetB(f.B(c.inputs + k)) ? 1u : 0u) << k;
            EXPECT_EQ(got, want) << c.name << " step " << step;
            ++step;
        }
    }
}

TEST(StdBlocks, RisingEdgeMemoryStartsHighWhenTheApplicationAsks) {
    for (u32 option : {0u, 2u}) {
        IecImageBuilder b;
        b.InitOptions(option);
        FbDb f(b);
        Inst inst{};
        f.Cmd(Q4Stfb_RTrig, inst.data(), kFbInstanceInit);
        f.SetB(f.B(0), true);
        f.Exec(Q4Stfb_RTrig, inst.data(), {f.B(0), f.B(1)});
        EXPECT_EQ(f.GetB(f.B(1)), option == 0) << option;
    }
}

TEST(StdBlocks, CompareHysteresisLimitsAndUnpack) {
    FbDb f;
    Inst inst{};
    struct Cmp {
        i32 a, b;
        bool lt, eq, gt;
    } cmps[] = {{-5, 3, true, false, false}, {7, 7, false, true, false}, {INT32_MIN, INT32_MAX, true, false, false},
                {4, -4, false, false, true}};
    for (const Cmp& c : cmps) {
        f.SetD(f.D(0), c.a);
        f.SetD(f.D(1), c.b);
        f.Exec(Q4Stfb_Cmp, inst.data(), {f.D(0), f.D(1), f.B(0), f.B(1), f.B(2)});
        EXPECT_EQ(f.GetB(f.B(0)), c.lt);
        EXPECT_EQ(f.GetB(f.B(1)), c.eq);
        EXPECT_EQ(f.GetB(f.B(2)), c.gt);
    }

    // HYSTER around 10 with EPS 1: rises above 11, falls below 9.
    inst = {};
    f.SetR(f.R(1), 10);
    f.SetR(f.R(2), 1);
    for (auto [x, q] : std::vector<std::pair<float, bool>>{{10.5f, false}, {11.5f, true}, {9.5f, true}, {8.9f, false}, {11.0f, false}}) {
        f.SetR(f.R(0), x);
        f.Exec(Q4Stfb_Hyster, inst.data(), {f.R(0), f.R(1), f.R(2), f.B(3)});
        EXPECT_EQ(f.GetB(f.B(3)), q) << x;
    }

    // LIM_ALRM H 100, L 0, EPS 5: QH, Q, QL.
    inst = {};
    f.SetR(f.R(0), 100);
    f.SetR(f.R(2), 0);
    f.SetR(f.R(3), 5);
    struct Lim {
        float x;
        bool qh, q, ql;
    } lims[] = {{50, 0, 0, 0}, {101, 1, 1, 0}, {97, 1, 1, 0}, {94, 0, 0, 0}, {-1, 0, 1, 1}, {4, 0, 1, 1}, {6, 0, 0, 0}};
    for (const Lim& l : lims) {
        f.SetR(f.R(1), l.x);
        f.Exec(Q4Stfb_LimAlrm, inst.data(), {f.R(0), f.R(1), f.R(2), f.R(3), f.B(4), f.B(5), f.B(6)});
        EXPECT_EQ(f.GetB(f.B(4)), l.qh) << l.x;
        EXPECT_EQ(f.GetB(f.B(5)), l.q) << l.x;
        EXPECT_EQ(f.GetB(f.B(6)), l.ql) << l.x;
    }

    // UNPACK8 with or without the type code in front; it writes locked outputs.
    *f.Vm().Data8(f.B(10)) = 0xA5;
    f.Lock(f.B(11), kQ4LockData8);
    for (bool typeCode : {false, true}) {
        std::vector<u16> ops;
        if (typeCode) ops.push_back(kQ4TypeUsint);
        ops.push_back(f.B(10));
        for (u16 k = 0; k < 8; ++k) ops.push_back(f.B(11 + k));
        for (u16 k = 0; k < 8; ++k) f.SetB(f.B(11 + k), false);
        f.Exec(Q4Stfb_Unpack8, nullptr, ops);
        for (u16 k = 0; k < 8; ++k) EXPECT_EQ(f.GetB(f.B(11 + k)), ((0xA5 >> k) & 1) != 0) << k;
    }
}

// Operand indexes outside their tables, or too few operands, touch nothing.
TEST(StdBlocks, BadOperandsAreHarmless) {
    FbDb f;
    Inst inst{};
    f.SetNow(5);
    f.Exec(Q4Stfb_Ton, inst.data(), {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF});
    f.Exec(Q4Stfb_Ton, inst.data(), {f.B(0)});  // too few
    f.Exec(Q4Stfb_Ton, nullptr, {f.B(0), f.T(0), f.B(1), f.T(1)});
    f.Exec(Q4Blk_Pid, inst.data(), {f.B(0), f.R(0)});
    SUCCEED();
}

// A timer model step: (IN, t) -> expected (Q, ET).
struct TimerStep {
    bool in;
    u32 t;
    bool q;
    u32 et;
};

void RunTimer(FbDb& f, Q4FbHandler h, u32 pt, const std::vector<TimerStep>& steps, const char* name, bool withReset = false) {
    Inst inst{};
    f.SetT(f.T(0), pt);
    int n = 0;
    for (const TimerStep& s : steps) {
        f.SetNow(s.t);
        f.SetB(f.B(0), s.in);
        if (withReset) f.Exec(h, inst.data(), {f.B(0), f.T(0), f.B(2), f.B(1), f.T(1)});
        else f.Exec(h, inst.data(), {f.B(0), f.T(0), f.B(1), f.T(1)});
        EXPECT_EQ(f.GetB(f.B(1)), s.q) << name << " step " << n;
        EXPECT_EQ(f.GetT(f.T(1)), s.et) << name << " step " << n;
        ++n;
    }
}

TEST(StdBlocks, OnOffAndPulseTimers) {
    FbDb f;
    // TON 250 ms.
    RunTimer(f, Q4Stfb_Ton, 250,
             {{true, 1000, false, 0}, {true, 1100, false, 100}, {true, 1249, false, 249}, {true, 1250, true, 250},
              {true, 1400, true, 250}, {false, 1500, false, 0}, {true, 1600, false, 0}, {true, 1900, true, 250}},
             "TON");
    // PT 0: Q at the first execution with IN, ET 0.
    RunTimer(f, Q4Stfb_Ton, 0, {{true, 50, true, 0}}, "TON 0");
    // TOF 200 ms.
    RunTimer(f, Q4Stfb_Tof, 200,
             {{true, 1000, true, 0}, {false, 1100, true, 0}, {false, 1250, true, 150}, {true, 1260, true, 0},
              {false, 1300, true, 0}, {false, 1500, false, 200}, {false, 1600, false, 200}},
             "TOF");
    // TP 300 ms: the pulse lasts PT whatever IN does; a new one needs IN to fall after it.
    RunTimer(f, Q4Stfb_Tp, 300,
             {{true, 1000, true, 0}, {false, 1100, true, 100}, {true, 1200, true, 200}, {true, 1300, false, 300},
              {true, 1400, false, 300}, {false, 1500, false, 0}, {true, 1600, true, 0}},
             "TP");
}

TEST(StdBlocks, ResetTimersClearOnReset) {
    FbDb f;
    Inst inst{};
    f.SetT(f.T(0), 300);
    auto run = [&](Q4FbHandler h, bool in, bool rst, u32 t) {
        f.SetNow(t);
        f.SetB(f.B(0), in);
        f.SetB(f.B(2), rst);
        f.Exec(h, inst.data(), {f.B(0), f.T(0), f.B(2), f.B(1), f.T(1)});
    };
    run(Q4Stfb_Tpr, true, false, 1000);
    run(Q4Stfb_Tpr, true, false, 1100);
    EXPECT_TRUE(f.GetB(f.B(1)));
    run(Q4Stfb_Tpr, true, true, 1150);  // reset ends the pulse
    EXPECT_FALSE(f.GetB(f.B(1)));
    EXPECT_EQ(f.GetT(f.T(1)), 0u);
    run(Q4Stfb_Tpr, true, false, 1200);  // IN still high: the cleared edge memory starts a new pulse
    EXPECT_TRUE(f.GetB(f.B(1)));

    inst = {};
    run(Q4Stfb_Tofr, true, false, 2000);
    run(Q4Stfb_Tofr, false, false, 2100);
    run(Q4Stfb_Tofr, false, false, 2200);
    EXPECT_TRUE(f.GetB(f.B(1)));
    EXPECT_EQ(f.GetT(f.T(1)), 100u);
    run(Q4Stfb_Tofr, false, true, 2250);
    EXPECT_FALSE(f.GetB(f.B(1)));
    EXPECT_EQ(f.GetT(f.T(1)), 0u);
}

// TON over many cycles of 3 ms and 100 ms: Q rises on the first execution at
// or after PT, never earlier, and ET never exceeds PT.
TEST(StdBlocks, OnDelayOverShortAndLongCycles) {
    for (u32 cycle : {3u, 100u}) {
        FbDb f;
        Inst inst{};
        f.SetT(f.T(0), 1000);
        f.SetB(f.B(0), true);
        u32 start = 5000, t = start;
        for (int k = 0; k < 2000 && !f.GetB(f.B(1)); ++k, t += cycle) {
            f.SetNow(t);
            f.Exec(Q4Stfb_Ton, inst.data(), {f.B(0), f.T(0), f.B(1), f.T(1)});
            ASSERT_LE(f.GetT(f.T(1)), 1000u);
            ASSERT_EQ(f.GetT(f.T(1)), std::min(t - start, 1000u)) << cycle;
        }
        EXPECT_TRUE(f.GetB(f.B(1)));
        EXPECT_EQ(t - cycle - start, (1000 + cycle - 1) / cycle * cycle) << cycle;
    }
}

TEST(StdBlocks, LockedOutputKeepsItsForcedValueWhileTimeRuns) {
    FbDb f;
    Inst inst{};
    f.SetT(f.T(0), 100);
    f.SetB(f.B(0), true);
    f.SetB(f.B(1), true);  // forced TRUE
    f.Lock(f.B(1), kQ4LockData8);
    f.SetNow(10);
    f.Exec(Q4Stfb_Ton, inst.data(), {f.B(0), f.T(0), f.B(1), f.T(1)});
    f.SetNow(60);
    f.Exec(Q4Stfb_Ton, inst.data(), {f.B(0), f.T(0), f.B(1), f.T(1)});
    EXPECT_TRUE(f.GetB(f.B(1)));
    EXPECT_EQ(f.GetT(f.T(1)), 50u);
    f.Lock(f.T(1), kQ4LockTime);
    f.SetT(f.T(1), 7);
    f.SetNow(200);
    f.Exec(Q4Stfb_Ton, inst.data(), {f.B(0), f.T(0), f.B(1), f.T(1)});
    EXPECT_EQ(f.GetT(f.T(1)), 7u);
    *f.Vm().Lock(f.B(1)) = 0;
    f.Exec(Q4Stfb_Ton, inst.data(), {f.B(0), f.T(0), f.B(1), f.T(1)});
    EXPECT_TRUE(f.GetB(f.B(1)));  // its own state reached PT behind the lock
}

TEST(StdBlocks, UpAndDownTimersHold) {
    FbDb f;
    Inst inst{};
    f.SetT(f.T(0), 500);
    // TMU: IN, RST, PT -> Q, ET; time counts only between executions with IN 1.
    auto tmu = [&](Q4FbHandler h, bool in, bool rst, u32 t) {
        f.SetNow(t);
        f.SetB(f.B(0), in);
        f.SetB(f.B(2), rst);
        f.Exec(h, inst.data(), {f.B(0), f.B(2), f.T(0), f.B(1), f.T(1)});
    };
    tmu(Q4Stfb_Tmu, true, false, 1000);
    EXPECT_EQ(f.GetT(f.T(1)), 0u);
    tmu(Q4Stfb_Tmu, true, false, 1200);
    EXPECT_EQ(f.GetT(f.T(1)), 200u);
    tmu(Q4Stfb_Tmu, false, false, 5000);  // hold
    tmu(Q4Stfb_Tmu, true, false, 5100);
    EXPECT_EQ(f.GetT(f.T(1)), 300u);
    tmu(Q4Stfb_Tmu, true, false, 5400);
    EXPECT_EQ(f.GetT(f.T(1)), 500u);
    EXPECT_TRUE(f.GetB(f.B(1)));
    tmu(Q4Stfb_Tmu, true, true, 5500);
    EXPECT_EQ(f.GetT(f.T(1)), 0u);
    EXPECT_FALSE(f.GetB(f.B(1)));

    inst = {};
    tmu(Q4Stfb_Tmd, false, true, 100);  // reset loads PT
    EXPECT_EQ(f.GetT(f.T(1)), 500u);
    tmu(Q4Stfb_Tmd, true, false, 400);
    EXPECT_EQ(f.GetT(f.T(1)), 200u);
    tmu(Q4Stfb_Tmd, false, false, 9000);
    tmu(Q4Stfb_Tmd, true, false, 9150);
    EXPECT_EQ(f.GetT(f.T(1)), 50u);
    EXPECT_FALSE(f.GetB(f.B(1)));
    tmu(Q4Stfb_Tmd, true, false, 9200);
    EXPECT_EQ(f.GetT(f.T(1)), 0u);
    EXPECT_TRUE(f.GetB(f.B(1)));

    // TMUSEC on the running seconds, PT and ET in DINT seconds.
    inst = {};
    f.SetD(f.D(0), 10);
    auto sec = [&](bool in, u32 s) {
        f.SetSeconds(s);
        f.SetB(f.B(0), in);
        f.Exec(Q4Stfb_TmuSec, inst.data(), {f.B(0), f.B(2), f.D(0), f.B(1), f.D(1)});
    };
    f.SetB(f.B(2), false);
    sec(true, 100);
    sec(true, 104);
    EXPECT_EQ(f.GetD(f.D(1)), 4);
    sec(false, 200);
    sec(true, 207);
    EXPECT_EQ(f.GetD(f.D(1)), 11 - 1);
    EXPECT_TRUE(f.GetB(f.B(1)));
}

TEST(StdBlocks, BlinkersAndPulseTrain) {
    FbDb f;
    Inst inst{};
    f.SetB(f.B(0), true);
    f.SetT(f.T(0), 200);  // BLINK: toggles every 100 ms
    std::string seen;
    for (u32 t = 0; t <= 500; t += 50) {
        f.SetNow(1000 + t);
        f.Exec(Q4Stfb_Blink, inst.data(), {f.B(0), f.T(0), f.B(1)});
        seen += f.GetB(f.B(1)) ? '1' : '0';
    }
    EXPECT_EQ(seen, "00110011001");

    inst = {};
    f.SetT(f.T(0), 100);  // BLINKA: low 100, high 50
    f.SetT(f.T(1), 50);
    seen.clear();
    for (u32 t = 0; t <= 500; t += 50) {
        f.SetNow(1000 + t);
        f.Exec(Q4Stfb_BlinkA, inst.data(), {f.B(0), f.T(0), f.T(1), f.B(1)});
        seen += f.GetB(f.B(1)) ? '1' : '0';
    }
    EXPECT_EQ(seen, "00100100100");

    inst = {};
    f.SetT(f.T(0), 100);  // PLS: one execution high every 100 ms of counted time
    seen.clear();
    for (u32 t = 0; t <= 500; t += 50) {
        f.SetNow(1000 + t);
        f.Exec(Q4Stfb_Pls, inst.data(), {f.B(0), f.T(0), f.B(1)});
        seen += f.GetB(f.B(1)) ? '1' : '0';
    }
    EXPECT_EQ(seen, "00101010101");
    f.SetB(f.B(0), false);
    f.Exec(Q4Stfb_Pls, inst.data(), {f.B(0), f.T(0), f.B(1)});
    EXPECT_FALSE(f.GetB(f.B(1)));
}

TEST(StdBlocks, SignalGenerator) {
    FbDb f;
    Inst inst{};
    f.SetB(f.B(0), true);
    f.SetT(f.T(0), 100);
    for (i32 max : {4, 0}) {
        inst = {};
        f.SetD(f.D(0), max);
        std::vector<u16> ops{f.B(0), f.T(0), f.D(0), f.B(1), f.D(1), f.B(2), f.R(0)};
        bool pulse = false;
        for (int k = 0; k <= 6; ++k) {
            f.SetNow(1000 + 100u * k);
            f.Exec(Q4Stfb_SigGen, inst.data(), ops);
            if (k > 0) pulse = !pulse;
            i32 count = max == 0 ? 0 : (k % (max + 1));
            EXPECT_EQ(f.GetB(f.B(1)), pulse) << max << " " << k;
            EXPECT_EQ(f.GetD(f.D(1)), count) << max << " " << k;
            EXPECT_EQ(f.GetB(f.B(2)), count == 0);
            float sine = max ? std::sin(static_cast<float>(count) / static_cast<float>(max) * 6.2826f) : 0.0f;
            EXPECT_EQ(f.GetR(f.R(0)), sine);
        }
    }
}

TEST(StdBlocks, StepBlocks) {
    FbDb f;
    Inst inst{};
    // CMD, expected state after, T.
    struct S {
        i32 cmd;
        u32 t;
        bool x, first, active, last;
        u32 time;
    } steps[] = {
        {2, 100, 0, 0, 0, 0, 0},  {1, 200, 0, 1, 1, 0, 0},  {1, 300, 1, 0, 1, 0, 100}, {7, 450, 1, 0, 1, 0, 250},
        {2, 500, 1, 0, 1, 0, 250}, {0, 600, 0, 0, 0, 1, 250}, {9, 700, 0, 0, 0, 0, 250}, {1, 800, 0, 1, 1, 0, 0},
        {0, 900, 0, 0, 0, 0, 0},
    };
    int n = 0;
    for (const S& s : steps) {
        f.SetNow(s.t);
        f.SetD(f.D(0), s.cmd);
        f.Exec(Q4Stfb_SfcStep, inst.data(), {f.D(0), f.B(0), f.T(0), f.B(1), f.B(2), f.B(3)});
        EXPECT_EQ(f.GetB(f.B(0)), s.x) << n;
        EXPECT_EQ(f.GetT(f.T(0)), s.time) << n;
        EXPECT_EQ(f.GetB(f.B(1)), s.first) << n;
        EXPECT_EQ(f.GetB(f.B(2)), s.active) << n;
        EXPECT_EQ(f.GetB(f.B(3)), s.last) << n;
        ++n;
    }
    inst = {};
    f.Cmd(Q4Stfb_SfcInitStep, inst.data(), kFbInstanceInit);
    f.SetD(f.D(0), 2);
    f.Exec(Q4Stfb_SfcInitStep, inst.data(), {f.D(0), f.B(0), f.T(0), f.B(1), f.B(2), f.B(3)});
    EXPECT_TRUE(f.GetB(f.B(1)));  // the initial step starts activating
}

// A hot restart (command 8) moves running stamps to the time of the restart:
// the time the application stood still is not counted.
TEST(StdBlocks, HotRestartResumesTimersWithoutTheStoppedTime) {
    FbDb f;
    struct T {
        const char* name;
        Q4FbHandler h;
    } timers[] = {{"TON", Q4Stfb_Ton}, {"TP", Q4Stfb_Tp}};
    for (const T& t : timers) {
        Inst inst{};
        f.SetT(f.T(0), 1000);
        f.SetB(f.B(0), true);
        std::vector<u16> ops{f.B(0), f.T(0), f.B(1), f.T(1)};
        f.SetNow(10000);
        f.Exec(t.h, inst.data(), ops);
        f.SetNow(10400);
        f.Exec(t.h, inst.data(), ops);
        f.SetNow(70000);  // a minute later the application is hot-restarted
        f.Cmd(t.h, inst.data(), kFbHotInit);
        f.SetNow(70100);
        f.Exec(t.h, inst.data(), ops);
        EXPECT_EQ(f.GetT(f.T(1)), 500u) << t.name;
        EXPECT_EQ(f.GetB(f.B(1)), std::string(t.name) == "TP") << t.name;
    }
    // DTEVERY not started keeps its "not started" stamp over a hot restart.
    Inst ev{};
    f.SetNow(500);
    f.Cmd(Q4Stfb_DtEvery, ev.data(), kFbHotInit);
    EXPECT_EQ(GetLe32(ev.data() + 8), 0u);
}

// Through the VM cycle on a hand-advanced clock: a TON started just before
// midnight of the VM clock measures its interval across it, and the cycle
// that falls exactly on midnight does not read as "not started".
TEST(StdBlocks, TimersInTheCycleAcrossMidnight) {
    IecImageBuilder b;
    u16 in = b.Var(kQ4TypeBool, 1), q = b.Var(kQ4TypeBool), pt = b.Var(kQ4TypeTime, 300), et = b.Var(kQ4TypeTime);
    u16 run = b.Var(kQ4TypeBool, 1), days = b.Var(kQ4TypeDint, 0), tod = b.Var(kQ4TypeTime, 10000), pulse = b.Var(kQ4TypeBool);
    b.FbClass(9, "TON");
    b.FbClass(30, "DTEVERY");
    u16 ton = b.FbInstance(9, true), every = b.FbInstance(30, true);
    TicAssembler t;
    t.Op("CALL_FB", {ton, 4, in, pt, q, et}).Op("CALL_FB", {every, 4, run, days, tod, pulse}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    std::string pulses;
    for (u32 now : {86399800u, 86399900u, 0u, 100u, 200u}) {
        Q4VM_Cycle(db.Db(), now);
        pulses += *db.Data8(pulse) ? '1' : '0';
    }
    EXPECT_EQ(GetLe32(db.Time(et)), 300u);
    EXPECT_EQ(*db.Data8(q), 1);
    // The first pulse at once; midnight is not taken for "not started".
    EXPECT_EQ(pulses, "10000");
}

// Date and time blocks read the controller's clock.
class ClockBlocks : public ::testing::Test {
protected:
    ~ClockBlocks() override { Rtc_Reset(); }
    TempRoot root_;
};

// The controller's clock set as RTCSET or the link set it moves the alarm's
// date with it.
TEST_F(ClockBlocks, AlarmFollowsTheControllerClockWhenItIsSet) {
    ManualClock clock;  // 2021-03-05 12:00 UTC
    FbDb f;
    Inst inst{};
    f.SetD(f.D(0), 2030);
    f.SetD(f.D(1), 1);
    f.SetD(f.D(2), 2);
    f.SetT(f.T(0), 8 * 3600000u);
    std::vector<u16> ops{f.D(0), f.D(1), f.D(2), f.T(0), f.B(0), f.B(1), f.B(2)};
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(2)));
    RTCTime early{59, 59, 7, 2, 1, 2030, 0};
    ASSERT_EQ(RtcSet(&early), 1);
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(2)));
    clock.AdvanceMs(1000);
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_TRUE(f.GetB(f.B(1)));
    EXPECT_TRUE(f.GetB(f.B(2)));
}

TEST_F(ClockBlocks, CurrentDateTimeSplitsTheClock) {
    ManualClock clock(1614945600 + 3723);  // 2021-03-05 13:02:03 UTC
    clock.AdvanceMs(456);
    FbDb f;
    std::vector<u16> ops{f.B(0)};
    for (u16 k = 0; k < 7; ++k) ops.push_back(f.D(k));
    ops.push_back(f.T(0));
    ops.push_back(f.B(1));
    f.SetB(f.B(0), true);
    f.Exec(Q4Stfb_DtCurDateTime, nullptr, ops);
    const i32 want[] = {2021, 3, 5, 13, 2, 3, 456};
    for (u16 k = 0; k < 7; ++k) EXPECT_EQ(f.GetD(f.D(k)), want[k]) << k;
    EXPECT_EQ(f.GetT(f.T(0)), 13u * 3600000u + 2u * 60000u + 3456u);
    EXPECT_FALSE(f.GetB(f.B(1)));
}

TEST_F(ClockBlocks, AlarmAtADateOnceYearlyMonthlyDaily) {
    struct Case {
        i32 year, month, day;
        u32 tod;
        const char* fires;  // over 4 readings: Mar 5 11:00, Mar 5 12:30, Apr 5 09:00, Apr 6 12:30
    } cases[] = {
        {2021, 3, 5, 12 * 3600000u, "0111"},  // once at a date: then done until RST
        {2021, 4, 6, 12 * 3600000u, "0001"},
        {0, 4, 6, 12 * 3600000u, "0001"},     // yearly
        {0, 0, 5, 12 * 3600000u, "0111"},     // monthly on the 5th
        {0, 0, 0, 12 * 3600000u, "0111"},     // daily at 12:00
        {2020, 1, 1, 0, "1111"},              // in the past: at once
        {2022, 1, 1, 0, "0000"},
    };
    const i64 marchFive11 = 1614942000;  // 2021-03-05 11:00:00 UTC
    const i64 readings[] = {marchFive11, marchFive11 + 5400, marchFive11 + 31 * 86400 - 7200,
                            marchFive11 + 32 * 86400 + 5400};
    for (const Case& c : cases) {
        FbDb f;
        Inst inst{};
        f.SetD(f.D(0), c.year);
        f.SetD(f.D(1), c.month);
        f.SetD(f.D(2), c.day);
        f.SetT(f.T(0), c.tod);
        std::vector<u16> ops{f.D(0), f.D(1), f.D(2), f.T(0), f.B(0), f.B(1), f.B(2)};
        std::string got;
        int pulses = 0;
        for (i64 at : readings) {
            ManualClock clock(at);
            f.Exec(Q4Stfb_DtAt, inst.data(), ops);
            got += f.GetB(f.B(2)) ? '1' : '0';
            pulses += f.GetB(f.B(1)) ? 1 : 0;
        }
        // The first execution only arms; the readings are taken from the second on.
        EXPECT_EQ(got.substr(1), std::string(c.fires).substr(1)) << c.year << "-" << c.month << "-" << c.day;
        EXPECT_LE(pulses, 1);
    }
}

TEST_F(ClockBlocks, AlarmPulsesOnceAndRearmsOnReset) {
    ManualClock clock(1614942000);  // 11:00 UTC
    FbDb f;
    Inst inst{};
    f.SetT(f.T(0), 11 * 3600000u);
    std::vector<u16> ops{f.D(0), f.D(1), f.D(2), f.T(0), f.B(0), f.B(1), f.B(2)};
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);  // arms (all zero: daily)
    EXPECT_FALSE(f.GetB(f.B(2)));
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_TRUE(f.GetB(f.B(1)));
    EXPECT_TRUE(f.GetB(f.B(2)));
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(1)));
    EXPECT_TRUE(f.GetB(f.B(2)));
    f.SetB(f.B(0), true);
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(2)));
    f.SetB(f.B(0), false);
    f.Exec(Q4Stfb_DtAt, inst.data(), ops);
    EXPECT_TRUE(f.GetB(f.B(1)));
}

TEST(StdBlocks, EveryNDaysAtATime) {
    FbDb f;
    Inst inst{};
    f.SetB(f.B(0), true);
    f.SetD(f.D(0), 2);
    f.SetT(f.T(0), 3600000);
    std::vector<u16> ops{f.B(0), f.D(0), f.T(0), f.B(1)};
    // Hourly cycles over five days from 10 ms of VM time; count the pulses.
    std::vector<u32> at;
    u64 t = 10;
    for (int h = 0; h <= 5 * 24; ++h, t += 3600000) {
        f.SetNow(static_cast<u32>(t % 86400000));
        f.Exec(Q4Stfb_DtEvery, inst.data(), ops);
        if (f.GetB(f.B(1))) at.push_back(static_cast<u32>(h));
    }
    // At once, then when two whole days and one hour are counted (the
    // execution after a pulse counts nothing), and again.
    EXPECT_EQ(at, (std::vector<u32>{0, 49, 98}));
    f.SetB(f.B(0), false);
    f.Exec(Q4Stfb_DtEvery, inst.data(), ops);
    EXPECT_EQ(inst, Inst{});
}

}  // namespace
