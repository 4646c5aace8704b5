// One PID loop step by step, against hand-worked values and simulated plants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ladder/pid.h"
#include "platform/fpga.h"
#include "testsupport/manual_clock.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

i16 S(u16 w) { return static_cast<i16>(w); }
u16 W(int v) { return static_cast<u16>(static_cast<i16>(v)); }

class PidLoop : public ::testing::Test {
protected:
    void SetUp() override {
        Pid_Reset();
        FPGA_Reset();
        std::fill(b, b + kPidBlockWords, u16{0});
        ctx = PidContext{};
        // Proportional only, gain 1.0, wide limits, 100 ms samples.
        b[kPidSampleTime] = 10;
        b[kPidGain] = 100;
        b[kPidOutHigh] = W(32767);
        b[kPidOutLow] = W(-32768);
    }
    int Call() {
        ctx.stamp = FPGA_GetFrt();
        return fbk_pid(&ctx, b);
    }
    int Start() {
        b[kPidFlags] |= kPidFlagFirstScan;
        const int r = Call();
        b[kPidFlags] &= static_cast<u16>(~kPidFlagFirstScan);
        return r;
    }
    int After(u64 ms) {
        clock.AdvanceMs(ms);
        return Call();
    }

    ManualClock clock;
    u16 b[kPidBlockWords] = {};
    PidContext ctx{};
};

TEST_F(PidLoop, StepTable) {
    struct Case {
        std::string name;
        std::function<void(u16*)> setup;
        u64 afterMs;
        int result;
        int output;  // word 11
        int final;   // word 14
    };
    const std::vector<Case> cases = {
        {"sample time 0 still waits 10 ms", [](u16* b) { b[kPidSampleTime] = 0; b[kPidSetpoint] = 50; }, 9, 0, 0, 0},
        {"sample time 0 samples after 10 ms", [](u16* b) { b[kPidSampleTime] = 0; b[kPidSetpoint] = 50; }, 10, 0, 50, 50},
        {"no sample before the sample time", [](u16* b) { b[kPidSetpoint] = 50; }, 99, 0, 0, 0},
        {"error at deadband high is kept", [](u16* b) { b[kPidDeadbandHigh] = 20; b[kPidDeadbandLow] = W(-20); b[kPidSetpoint] = 20; }, 100, 0, 20, 20},
        {"error at deadband low is kept", [](u16* b) { b[kPidDeadbandHigh] = 20; b[kPidDeadbandLow] = W(-20); b[kPidProcess] = 20; }, 100, 0, -20, -20},
        {"error inside the band is 0", [](u16* b) { b[kPidDeadbandHigh] = 20; b[kPidDeadbandLow] = W(-20); b[kPidSetpoint] = 19; b[kPidBias] = 7; }, 100, 0, 7, 7},
        {"deadband offset subtracts the edge", [](u16* b) { b[kPidDeadbandHigh] = 20; b[kPidDeadbandLow] = W(-20); b[kPidSetpoint] = 50; b[kPidFlags] = kPidFlagDeadbandOffset; }, 100, 0, 30, 30},
        {"reverse acting", [](u16* b) { b[kPidSetpoint] = 10; b[kPidProcess] = 40; b[kPidFlags] = kPidFlagReverse; }, 100, 0, 30, 30},
        {"gain 2.5 and bias", [](u16* b) { b[kPidGain] = 250; b[kPidSetpoint] = 100; b[kPidBias] = W(-5); }, 100, 0, 245, 245},
        {"extreme error saturates to 16 bits first", [](u16* b) { b[kPidSetpoint] = W(32767); b[kPidProcess] = W(-32768); }, 100, 0, 32767, 32767},
        {"negate of -32768 is 32767", [](u16* b) { b[kPidGain] = 0; b[kPidBias] = W(-32768); b[kPidFlags] = kPidFlagNegate; }, 100, 0, -32768, 32767},
        {"high limit", [](u16* b) { b[kPidSetpoint] = 900; b[kPidOutHigh] = 500; }, 100, 0, 500, 500},
        {"low limit", [](u16* b) { b[kPidProcess] = 900; b[kPidOutLow] = W(-500); }, 100, 0, -500, -500},
        {"integral 1 is 0.001/s", [](u16* b) { b[kPidGain] = 0; b[kPidIntegral] = 1; b[kPidSetpoint] = 1000; }, 10000, 0, 10, 10},
        {"integral 2 is 0.002/s", [](u16* b) { b[kPidGain] = 0; b[kPidIntegral] = 2; b[kPidSetpoint] = 1000; }, 10000, 0, 20, 20},
        {"integral 3 behaves like 2", [](u16* b) { b[kPidGain] = 0; b[kPidIntegral] = 3; b[kPidSetpoint] = 1000; }, 10000, 0, 20, 20},
        {"integral 200 is 0.2/s", [](u16* b) { b[kPidGain] = 0; b[kPidIntegral] = 200; b[kPidSetpoint] = 1000; }, 10000, 0, 2000, 2000},
        {"ISA integral scales by the gain", [](u16* b) { b[kPidGain] = 200; b[kPidIntegral] = 200; b[kPidSetpoint] = 1000; b[kPidFlags] = kPidFlagIsa; }, 1000, 0, 2400, 2400},
        {"derivative on error", [](u16* b) { b[kPidGain] = 0; b[kPidDerivative] = 100; b[kPidSetpoint] = 10; }, 1000, 0, 10, 10},
        {"fine derivative on the process value", [](u16* b) { b[kPidGain] = 0; b[kPidDerivative] = 10000; b[kPidProcess] = 10; b[kPidFlags] = kPidFlagDerivOnPv | kPidFlagDerivFine; }, 1000, 0, 10, 10},
        {"inverted deadband", [](u16* b) { b[kPidDeadbandHigh] = W(-1); b[kPidSetpoint] = 50; }, 100, 2, 0, 0},
        {"inverted limits", [](u16* b) { b[kPidOutHigh] = 0; b[kPidOutLow] = 1; b[kPidSetpoint] = 50; }, 100, 3, 0, 0},
        {"inverted limits, time-proportioned", [](u16* b) { b[kPidOutHigh] = 0; b[kPidOutLow] = 1; b[kPidFlags] = kPidFlagTimeProp; }, 100, 1, 0, 0},
        {"manual ramp up", [](u16* b) { b[kPidOutput] = 40; b[kPidSetpoint] = 900; b[kPidFlags] = kPidFlagManual | kPidFlagRampUp; }, 100, 0, 41, 41},
        {"manual ramp down stops at -32768", [](u16* b) { b[kPidOutput] = W(-32768); b[kPidFlags] = kPidFlagManual | kPidFlagRampDown; }, 100, 0, -32768, -32768},
        {"manual output is limited but kept", [](u16* b) { b[kPidOutput] = 800; b[kPidOutHigh] = 500; b[kPidFlags] = kPidFlagManual; }, 100, 0, 800, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.setup(b);
        EXPECT_EQ(Start(), kPidFirstScan);
        const u16 out0 = b[kPidOutput];
        const int r = After(c.afterMs);
        EXPECT_EQ(r, c.result);
        const bool sampled = c.afterMs >= (b[kPidSampleTime] == 0 ? 10u : 100u);
        if (c.result == 2 || c.result == 3 || !sampled) {
            EXPECT_EQ(b[kPidOutput], out0);
        } else {
            EXPECT_EQ(S(b[kPidOutput]), c.output);
            EXPECT_EQ(S(b[kPidFinalOutput]), c.final);
        }
    }
}

TEST_F(PidLoop, FirstScanTakesNoSample) {
    b[kPidSetpoint] = 100;
    clock.AdvanceMs(5000);
    EXPECT_EQ(Start(), kPidFirstScan);
    EXPECT_EQ(b[kPidOutput], 0);
    // The sample clock starts at the first scan, not at the last reset.
    EXPECT_EQ(After(50), 0);
    EXPECT_EQ(b[kPidOutput], 0);
    After(50);
    EXPECT_EQ(b[kPidOutput], 100);
}

TEST_F(PidLoop, LoopNumberOutsideTheTablesIsRefused) {
    b[kPidSetpoint] = 100;
    const std::vector<u16> before(b, b + kPidBlockWords);
    for (u16 loop : {u16{64}, u16{1000}, u16{0xFFFF}}) {
        ctx.loop = loop;
        EXPECT_EQ(Start(), kPidBadLoop);
        EXPECT_EQ(After(1000), kPidBadLoop);
        EXPECT_EQ(std::vector<u16>(b, b + kPidBlockWords), before);
    }
}

// A first-order plant tau dy/dt = u - y under PI control settles on the
// setpoint, in both forms.
TEST_F(PidLoop, ClosedLoopSettles) {
    for (bool isa : {false, true}) {
        SCOPED_TRACE(isa ? "ISA" : "independent");
        SetUp();
        b[kPidGain] = 200;
        b[kPidIntegral] = 400;
        b[kPidOutHigh] = 4000;
        b[kPidOutLow] = 0;
        b[kPidSetpoint] = 1000;
        b[kPidFlags] = isa ? kPidFlagIsa : 0;
        Start();
        double y = 0;
        const double tau = 5.0, dt = 0.1;
        double worst = 0;
        for (int i = 0; i < 1200; ++i) {
            b[kPidProcess] = W(static_cast<int>(std::lround(y)));
            After(100);
            y += (S(b[kPidFinalOutput]) - y) * dt / tau;
            if (i >= 1000) worst = std::max(worst, std::fabs(y - 1000));
        }
        EXPECT_LT(worst, 2.0);
    }
}

// Error 100 with the output stuck at a limit of 300, then the error turns
// to -100: integral hold keeps the integral of before the clamping sample
// (100), recalculation sets it to what reproduces the limit (200).
TEST_F(PidLoop, IntegralHoldAndRecalculationAtTheLimit) {
    for (bool hold : {true, false}) {
        SCOPED_TRACE(hold ? "hold" : "recalculate");
        SetUp();
        b[kPidSampleTime] = 100;
        b[kPidIntegral] = 1000;  // 1.0/s
        b[kPidOutHigh] = 300;
        b[kPidOutLow] = W(-300);
        b[kPidSetpoint] = 100;
        b[kPidFlags] = hold ? kPidFlagIntegralHold : 0;
        Start();
        After(1000);
        EXPECT_EQ(S(b[kPidOutput]), 200);
        for (int i = 0; i < 5; ++i) {
            After(1000);
            EXPECT_EQ(S(b[kPidOutput]), 300);
        }
        b[kPidSetpoint] = W(-100);
        After(1000);
        EXPECT_EQ(S(b[kPidOutput]), hold ? -100 : 0);
    }
}

// 10 s per 32,000 counts: 320 counts per 1,000 ticks, with the remainder
// carried across samples of any length.
TEST_F(PidLoop, SlewRateLimitsTheOutputChange) {
    for (u64 period : {100ull, 33ull, 250ull}) {
        SCOPED_TRACE(period);
        SetUp();
        b[kPidSampleTime] = 0;
        b[kPidSlewTime] = 10;
        b[kPidSetpoint] = 20000;
        Start();
        u64 total = 0;
        while (total + period <= 3000) {
            After(period);
            total += period;
            EXPECT_EQ(S(b[kPidOutput]), static_cast<int>(total * 10 * 320 / 1000));
        }
    }
    // Downward as well, from the value reached.
    b[kPidSetpoint] = W(-20000);
    const int from = S(b[kPidOutput]);
    After(500);
    EXPECT_EQ(S(b[kPidOutput]), from - 1600);
}

// Output halfway between the limits on a 10 s cycle: ON (result 0) for the
// first 5 s of each cycle, to sample resolution; always OFF at the low
// limit, always ON at the high limit.
TEST_F(PidLoop, TimeProportionedOutput) {
    struct Case {
        int output;
        bool negate;
        double onFraction;
    };
    for (const Case c : {Case{500, false, 0.5}, Case{0, false, 0.0}, Case{1000, false, 1.0}, Case{500, true, 0.5},
                         Case{250, false, 0.25}}) {
        SCOPED_TRACE(c.output);
        SetUp();
        b[kPidOutHigh] = 1000;
        b[kPidOutLow] = 0;
        b[kPidCycleTime] = 10;
        b[kPidOutput] = W(c.output);
        b[kPidFlags] = kPidFlagManual | kPidFlagTimeProp | (c.negate ? kPidFlagNegate : 0);
        Start();
        std::vector<int> on;
        for (int i = 0; i < 600; ++i) on.push_back((After(100) == 0) != c.negate ? 1 : 0);
        // Cycles start where the output turns on.
        int total = 0;
        for (int v : on) total += v;
        EXPECT_NEAR(total / 600.0, c.onFraction, 0.03);
        if (c.onFraction == 0.5) {
            EXPECT_EQ(on[0], 1);
            for (size_t i = 1; i < on.size();) {
                if (on[i] == 1 && on[i - 1] == 0) {
                    size_t run = 0;
                    while (i + run < on.size() && on[i + run] == 1) ++run;
                    if (i + run < on.size()) {
                        EXPECT_NEAR(static_cast<double>(run), 51.0, 2.0);
                    }
                    i += run;
                } else {
                    ++i;
                }
            }
        }
    }
}

TEST_F(PidLoop, OnOffSwitchesNoFasterThanHalfASecond) {
    b[kPidOutHigh] = 1000;
    b[kPidOutLow] = 0;
    b[kPidCycleTime] = 0;
    b[kPidSampleTime] = 0;
    b[kPidFlags] = kPidFlagManual | kPidFlagTimeProp;
    Start();
    int last = -1;
    u64 lastChange = 0, now = 0;
    int changes = 0;
    for (int i = 0; i < 500; ++i) {
        b[kPidOutput] = (i / 3) % 2 ? 1000 : 0;  // the output flips every 30 ms
        now += 10;
        const int r = After(10);
        if (r != last) {
            if (last != -1) {
                EXPECT_GE(now - lastChange, 500u);
                ++changes;
            }
            last = r;
            lastChange = now;
        }
    }
    EXPECT_GE(changes, 5);
    // A steady output is followed once the half second is over.
    b[kPidOutput] = 1000;
    for (int i = 0; i < 60; ++i) After(10);
    EXPECT_EQ(After(10), 0);
    b[kPidOutput] = 0;
    for (int i = 0; i < 60; ++i) After(10);
    EXPECT_EQ(After(10), 1);
}

// Relay tuning on three equal lags 1/(s+1)^3, whose critical gain is 8 and
// critical period 2 pi / sqrt(3) s; the relay swings the output over
// 0..20,000 around a setpoint of 10,000.
TEST_F(PidLoop, AutoTuneFindsTheCriticalPointOfAKnownPlant) {
    b[kPidSampleTime] = 1;
    b[kPidOutHigh] = 20000;
    b[kPidOutLow] = 0;
    b[kPidSetpoint] = 10000;
    b[kPidOutput] = 10000;
    b[kPidIntegral] = 77;
    b[kPidFlags] = kPidFlagManual;
    Start();
    double x1 = 10000, x2 = 10000, x3 = 10000;
    ctx.tuneFlags = kPidTuneRequest;
    ctx.tuneOptions = 0;  // PID, level 0, hysteresis 25
    int steps = 0;
    while (!(ctx.tuneFlags & kPidTuneDone) && steps < 20000) {
        b[kPidProcess] = W(static_cast<int>(std::lround(x3)));
        After(10);
        ++steps;
        if (Pid_TuneState(0) < 6) {
            EXPECT_EQ(b[kPidIntegral], 77);  // never cleared in the block
        }
        const double u = S(b[kPidFinalOutput]);
        for (int k = 0; k < 10; ++k) {
            const double dt = 0.001;
            x1 += (u - x1) * dt;
            x2 += (x1 - x2) * dt;
            x3 += (x2 - x3) * dt;
        }
    }
    ASSERT_TRUE(ctx.tuneFlags & kPidTuneDone);
    EXPECT_EQ(Pid_TuneState(0), 7);
    EXPECT_EQ(b[kPidOutput], 10000);  // the output from before the tuning

    const double ku = 8, pu = 2 * kPi / std::sqrt(3.0);
    // The rule applied to the critical point: the relay's amplitude a gives
    // (high - low) * 9040 / 71 / (4 a) with a = 4 d / (pi Ku).
    const double gain = 20000 * 9040.0 / 71 / (4 * 4 * 10000 / (kPi * ku)) * 10 / 17;
    const double period = 2 * pu * 10000;
    EXPECT_NEAR(b[kPidGain], gain, gain * 0.05);
    EXPECT_NEAR(b[kPidIntegral], 20000000 / period * gain / 100, 20000000 / period * gain / 100 * 0.08);
    EXPECT_NEAR(b[kPidDerivative], period / 800 * gain / 100, period / 800 * gain / 100 * 0.05);

    // Dropping the request returns the loop to its normal operation.
    ctx.tuneFlags = 0;
    After(10);
    EXPECT_EQ(Pid_TuneState(0), 0);
    EXPECT_FALSE(ctx.tuneFlags & kPidTuneDone);
}

// Days between samples with the largest error, integral and ISA gain: the
// integral product passes 64 bits and must saturate toward the error's
// sign instead of wrapping.
TEST_F(PidLoop, LongPauseSaturatesTheIntegral) {
    for (int sign : {1, -1}) {
        SCOPED_TRACE(sign);
        SetUp();
        b[kPidGain] = W(32767);
        b[kPidIntegral] = 65535;
        b[kPidOutHigh] = 1000;
        b[kPidOutLow] = W(-1000);
        b[kPidSetpoint] = W(sign * 32767);
        b[kPidProcess] = W(-sign * 32767);
        b[kPidFlags] = kPidFlagIsa;
        Start();
        After(4ull * 24 * 3600 * 1000);  // four days
        EXPECT_EQ(S(b[kPidOutput]), sign * 1000);
    }
}

TEST_F(PidLoop, AutoTuneWaitsAtTheLimitWhileTheProcessDoesNotCross) {
    b[kPidOutHigh] = 1000;
    b[kPidOutLow] = 0;
    b[kPidSetpoint] = 300;
    b[kPidProcess] = 290;  // within the hysteresis of 25
    Start();
    ctx.tuneFlags = kPidTuneRequest;
    for (int i = 0; i < 100; ++i) After(100);
    EXPECT_EQ(Pid_TuneState(0), 1);
    EXPECT_EQ(b[kPidFinalOutput], 0);
    EXPECT_FALSE(ctx.tuneFlags & kPidTuneDone);
}

// Each loop runs its own preliminary relay cycle: another loop using up
// its preliminary cycle does not shorten this one's.
TEST_F(PidLoop, TwoLoopsTuneIndependently) {
    u16 other[kPidBlockWords];
    b[kPidOutHigh] = 1000;
    b[kPidOutLow] = 0;
    b[kPidSetpoint] = 500;
    std::copy(b, b + kPidBlockWords, other);
    PidContext otherCtx{0, 1, kPidTuneRequest, 0};
    ctx.tuneFlags = kPidTuneRequest;
    Start();
    other[kPidFlags] = kPidFlagFirstScan;
    otherCtx.stamp = ctx.stamp;
    fbk_pid(&otherCtx, other);
    other[kPidFlags] = 0;
    // Both start the relay (state 1), then see the process below the
    // tuning setpoint (state 2).
    auto step = [&](PidContext& c, u16* block, int pv) {
        block[kPidProcess] = W(pv);
        c.stamp = FPGA_GetFrt();
        fbk_pid(&c, block);
    };
    for (int pv : {500, 400}) {
        clock.AdvanceMs(100);
        step(ctx, b, pv);
        step(otherCtx, other, pv);
    }
    ASSERT_EQ(Pid_TuneState(0), 2);
    ASSERT_EQ(Pid_TuneState(1), 2);
    // Loop 1 runs through its preliminary cycle and on to state 3.
    for (int pv : {600, 400, 600}) {
        clock.AdvanceMs(100);
        step(otherCtx, other, pv);
    }
    EXPECT_EQ(Pid_TuneState(1), 3);
    // Loop 0 still has its own preliminary cycle ahead.
    clock.AdvanceMs(100);
    step(ctx, b, 600);
    EXPECT_EQ(Pid_TuneState(0), 1);
}

TEST(PidTuneRule, GainsFollowTheRuleWithoutOverflow) {
    struct Case {
        u32 period;
        i32 amplitude;
        u8 options;
        u16 flags;
        int gain, integral, derivative;
    };
    // span 1000: 1000 * 9040 / 71 = 127323; / (2 * 100) = 636.
    const Case cases[] = {
        {10000, 100, 0, 0, 374, 3740, 93},              // PID level 0: 636 * 10 / 17
        {10000, 100, 0, kPidFlagIsa, 374, 1000, 25},   // ISA: no gain factor
        {10000, 100, 2 << 1, kPidFlagIsa, 318, 0, 0},  // P only, level 0
        {10000, 100, 3 << 1, kPidFlagIsa, 318, 0, 0},  // type 3 counts as 2
        {10000, 100, (1 << 1) | (3 << 3), kPidFlagIsa, 63, 600, 0},  // PI level 3
        {10000, 100, 0, kPidFlagIsa | kPidFlagDerivFine | kPidFlagDerivOnPv, 374, 1000, -2500},
        // A day-long cycle: the derivative times the gain passes 32 bits.
        {1000000000, 1, 0, 0, 32767, 0, 32767},
        {1000000000, 1, 0, kPidFlagDerivOnPv, 32767, 0, -32767},
    };
    for (const auto& c : cases) {
        u16 b[kPidBlockWords] = {};
        b[kPidOutHigh] = 1000;
        b[kPidFlags] = c.flags;
        if (c.period == 1000000000) {
            b[kPidOutHigh] = W(32767);
            b[kPidOutLow] = W(-32768);
        }
        ASSERT_TRUE(PidTuneCompute(c.period, c.amplitude, c.options, b));
        EXPECT_EQ(S(b[kPidGain]), c.gain) << c.options;
        EXPECT_EQ(b[kPidIntegral], c.integral) << c.options;
        EXPECT_EQ(S(b[kPidDerivative]), c.derivative) << c.options;
    }
    u16 b[kPidBlockWords] = {};
    b[kPidGain] = 5;
    EXPECT_FALSE(PidTuneCompute(0, 100, 0, b));
    EXPECT_FALSE(PidTuneCompute(100, 0, 0, b));
    EXPECT_EQ(b[kPidGain], 5);
}

}  // namespace
