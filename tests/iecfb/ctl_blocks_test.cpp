// The controller's blocks for screens, scaling, bits, clock, timers and
// schedules, called as the runtime calls them.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "core/plc_regs.h"
#include "fb_fixture.h"
#include "iec/blocks/q4Timers.h"
#include "iec/blocks/q4TextTable.h"
#include "iec/blocks/q4TimeNDateOps.h"
#include "iec/blocks/q4bit.h"
#include "iec/blocks/q4ctlrows.h"
#include "iec/blocks/q4scaling.h"
#include "iec/blocks/q4screen.h"
#include "iec/blocks/q4setclock.h"
#include "iec/kernel/q4vmfb.h"
#include "ladder/sunpos.h"
#include "platform/rtclock.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

// A database with INT variables and an INT array of 4 beside the pools.
class CtlDb : public FbDb {
public:
    CtlDb() : FbDb(Builder()) {}
    u16 I(u16 k) const { return static_cast<u16>(i0_ + k); }
    u16 Arr() const { return arr_; }
    i16 GetI(u16 i) { return static_cast<i16>(GetLe16(Vm().Data16(i))); }
    void SetI(u16 i, i16 v) { PutLe16(Vm().Data16(i), static_cast<u16>(v)); }
    u16 S() const { return s_; }

private:
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        i0_ = b.Var(kQ4TypeInt);
        for (u16 k = 1; k < 16; ++k) b.Var(kQ4TypeInt);
        arr_ = b.Array(kQ4TypeInt, 6);
        s_ = b.String(4);
        return b;
    }
    // Set before the base builds: the builder is made by the base's argument.
    static inline u16 i0_ = 0, arr_ = 0, s_ = 0;
};

using Inst = std::array<u8, 8>;

TEST(CtlBlocks, EveryBlockIsRegisteredAndAnswersTheConventions) {
    for (const Q4BlockEntry& e : kQ4CtlPanelRows) {
        ASSERT_LE(std::strlen(e.name), 15u);
        u32 id = 0;
        bool found = false;
        for (int more = Q4Blocks_GetFirstID(&id); more; more = Q4Blocks_GetNextID(&id))
            found |= std::strcmp(Q4Blocks_GetName(id), e.name) == 0 && Q4Blocks_GetProc(id) == e.handler;
        EXPECT_TRUE(found) << e.name;
        EXPECT_EQ(e.handler(kFbAnyType, nullptr, nullptr, nullptr, nullptr), 1) << e.name;
        for (int c : {1, 2, 5, 7, 8, 10, 11, 12}) EXPECT_EQ(e.handler(c, nullptr, nullptr, nullptr, nullptr), 0) << e.name;
    }
    EXPECT_EQ(std::size(kQ4CtlTimerRows), 24u);
    for (const Q4BlockEntry& e : kQ4CtlTimerRows) EXPECT_EQ(e.handler(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 8);
    EXPECT_EQ(Q4Ctl_ForceScreen(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 4);
}

class Panel : public ::testing::Test {
protected:
    Panel() { Q4Screen_Reset(); }
    RegFixture regs_;
    CtlDb f_;
};

TEST_F(Panel, ChangeScreenUnlessForced) {
    f_.SetD(f_.D(0), 5);
    SR_Put(2, 3);
    SR_Put(1, 7);
    f_.Exec(Q4Ctl_ChangeScreen, nullptr, {f_.D(0), f_.D(1)});
    EXPECT_EQ(SR_Get(1), 7);
    EXPECT_EQ(f_.GetD(f_.D(1)), 0);
    SR_Put(2, 0);
    f_.SetD(f_.D(0), 0x12345);
    f_.Exec(Q4Ctl_ChangeScreen, nullptr, {f_.D(0), f_.D(1)});
    EXPECT_EQ(SR_Get(1), 0x2345);
    EXPECT_EQ(f_.GetD(f_.D(1)), 0x2345);
}

TEST_F(Panel, HighestEnabledForceWinsAndTheScreenComesBack) {
    Inst one{}, two{};
    f_.Cmd(Q4Ctl_ForceScreen, one.data(), kFbInstanceSize);
    f_.Cmd(Q4Ctl_ForceScreen, one.data(), kFbInstanceInit);
    f_.Cmd(Q4Ctl_ForceScreen, two.data(), kFbInstanceInit);
    EXPECT_EQ(GetLe16(one.data()), 1);
    EXPECT_EQ(GetLe16(two.data()), 2);
    SR_Put(1, 10);
    auto scan = [&](bool e1, bool e2) {
        f_.SetB(f_.B(0), e1);
        f_.SetD(f_.D(0), 20);
        f_.Exec(Q4Ctl_ForceScreen, one.data(), {f_.B(0), f_.D(0), f_.D(1)});
        f_.SetB(f_.B(1), e2);
        f_.SetD(f_.D(2), 30);
        f_.Exec(Q4Ctl_ForceScreen, two.data(), {f_.B(1), f_.D(2), f_.D(3)});
    };
    scan(false, true);
    EXPECT_EQ(SR_Get(2), 30);
    EXPECT_EQ(f_.GetD(f_.D(3)), 30);
    scan(true, true);  // instance 1 cannot take over from 2
    EXPECT_EQ(SR_Get(2), 30);
    EXPECT_EQ(f_.GetD(f_.D(1)), 0);
    EXPECT_EQ(SR_Get(1), 30);  // instance 1 (one below the count) shows it
    scan(false, false);
    EXPECT_EQ(SR_Get(2), 0);
    scan(false, false);  // instance 1 restores at its next call
    EXPECT_EQ(SR_Get(1), 10);
    EXPECT_EQ(f_.Exec(Q4Ctl_KeyPress, nullptr, {}), 0);
}

TEST_F(Panel, ScalingAndAngles) {
    struct Case {
        i16 in, inMin, inMax, outMin, outMax, want;
    };
    const Case cases[] = {
        {999, 0, 1000, 0, 100, 99},   // truncation
        {5, 3, 3, 10, 20, 30},        // zero span divides by 1
        {-5, 0, 10, 0, 100, -50},
        {32000, 0, 32000, -100, 100, 100},
    };
    for (const Case& c : cases) {
        i16 v[5] = {c.in, c.inMin, c.inMax, c.outMin, c.outMax};
        for (u16 k = 0; k < 5; ++k) f_.SetI(f_.I(k), v[k]);
        f_.Exec(Q4Ctl_ScaleInt, nullptr, {f_.I(0), f_.I(1), f_.I(2), f_.I(3), f_.I(4), f_.I(5)});
        EXPECT_EQ(f_.GetI(f_.I(5)), c.want) << c.in;
    }
    float rv[5] = {2.5f, 0.0f, 10.0f, 4.0f, 20.0f};
    for (u16 k = 0; k < 5; ++k) f_.SetR(f_.R(k), rv[k]);
    f_.Exec(Q4Ctl_ScaleReal, nullptr, {f_.R(0), f_.R(1), f_.R(2), f_.R(3), f_.R(4), f_.R(5)});
    EXPECT_FLOAT_EQ(f_.GetR(f_.R(5)), 8.0f);
    f_.SetR(f_.R(0), 180.0f);
    f_.Exec(Q4Ctl_DegToRad, nullptr, {f_.R(0), f_.R(1)});
    EXPECT_EQ(f_.GetR(f_.R(1)), static_cast<float>(180.0 * 6.2831853 / 360.0));
    f_.Exec(Q4Ctl_RadToDeg, nullptr, {f_.R(1), f_.R(2)});
    EXPECT_NEAR(f_.GetR(f_.R(2)), 180.0f, 1e-4);
}

TEST_F(Panel, BitsOfAWordArrayStayInsideTheArray) {
    struct Case {
        Q4FbHandler h;
        u16 count;
        i16 length, number;
        bool out;
        int word, wordValue;  // word checked afterwards (-1 none)
    };
    const Case cases[] = {
        {Q4Ctl_BitTest, 4, 8, 65, false, -1, 0},  // beyond 8 x length
        {Q4Ctl_BitTest, 4, 2, 17, false, -1, 0},
        {Q4Ctl_BitSet, 4, 8, 16, true, 0, 0x8000},
        {Q4Ctl_BitSet, 4, 8, 17, true, 1, 0x0001},
        {Q4Ctl_BitTest, 4, 8, 17, true, -1, 0},
        {Q4Ctl_BitClear, 4, 8, 16, true, 0, 0},
        {Q4Ctl_BitTest, 4, 8, 16, false, -1, 0},
        {Q4Ctl_BitSet, 1, 8, 17, false, 1, 0x0001},  // word 1 lies beyond the count
        {Q4Ctl_BitSet, 4, 0, 1, false, 0, 0},
        {Q4Ctl_BitSet, 4, 8, 0, false, 0, 0},
        {Q4Ctl_BitSet, 4, 8, -3, false, 0, 0},
        {Q4Ctl_BitSet, 200, 100, 33, false, 2, 0},   // a count beyond the table: not used
    };
    for (const Case& c : cases) {
        f_.SetI(f_.I(0), c.length);
        f_.SetI(f_.I(1), c.number);
        f_.SetB(f_.B(0), !c.out);
        f_.Exec(c.h, nullptr, {f_.Arr(), c.count, f_.I(0), f_.I(1), f_.B(0)});
        EXPECT_EQ(f_.GetB(f_.B(0)), c.out) << c.number;
        if (c.word >= 0) {
            EXPECT_EQ(static_cast<u16>(f_.GetI(static_cast<u16>(f_.Arr() + c.word))), c.wordValue) << c.number;
        }
    }
}

TEST_F(Panel, TextTableWithoutTablesLeavesItsOutput) {
    u8* s = f_.Vm().String(f_.S());
    ASSERT_NE(s, nullptr);
    s[1] = 2;
    s[2] = 'o';
    s[3] = 'k';
    f_.SetI(f_.I(0), 1);
    f_.Exec(Q4Ctl_TextTable, nullptr, {f_.I(0), f_.I(1), f_.S()});
    EXPECT_EQ(s[1], 2);

    // Table 0 (called as 1): bounds 10 and 20; table 1: one entry.
    const u8 strings[] = "low\0high\0only-one-long";
    std::vector<u8> t;
    auto u16le = [&](u16 v) { t.push_back(static_cast<u8>(v)); t.push_back(static_cast<u8>(v >> 8)); };
    auto u32le = [&](u32 v) { u16le(static_cast<u16>(v)); u16le(static_cast<u16>(v >> 16)); };
    u16le(0), u16le(2), u32le(10), u32le(0), u32le(20), u32le(4);
    u16le(1), u16le(1), u32le(0), u32le(9);
    u16le(0xFFFF), u16le(0);
    Q4TextTable_Set(t.data(), static_cast<u32>(t.size()), strings, sizeof strings);
    struct Case {
        i16 table, value;
        const char* want;
    };
    const Case cases[] = {{1, 5, "low"}, {1, 15, "high"}, {1, 99, "high"}, {1, -1, "high"},
                          {2, 0, "only"},  // cut to the capacity
                          {3, 0, "only"}, {0, 0, "only"}};
    for (const Case& c : cases) {
        f_.SetI(f_.I(0), c.table);
        f_.SetI(f_.I(1), c.value);
        f_.Exec(Q4Ctl_TextTable, nullptr, {f_.I(0), f_.I(1), f_.S()});
        EXPECT_EQ(std::string(reinterpret_cast<char*>(s + 2), s[1]), c.want) << c.table << " " << c.value;
    }
    Q4TextTable_Set(nullptr, 0, nullptr, 0);
}

// The controller's clock: SETCLK sets it, the schedules read it.
class ClockCtl : public Panel {
protected:
    ~ClockCtl() override { Rtc_Reset(); }
    TempRoot root_;
    ManualClock clock_;
};

TEST_F(ClockCtl, SetClockChecksItsArrayAndSetsTheControllerClock) {
    const i64 host = Clock_UtcNs();
    const i16 t[6] = {30, 20, 10, 15, 6, 2030};
    for (u16 k = 0; k < 6; ++k) f_.SetI(f_.Arr() + k, t[k]);
    f_.Exec(Q4Ctl_SetClk, nullptr, {f_.Arr(), 5, f_.B(0)});  // five elements: not read
    EXPECT_FALSE(f_.GetB(f_.B(0)));
    f_.Exec(Q4Ctl_SetClk, nullptr, {f_.Arr(), 6, f_.B(0)});
    EXPECT_TRUE(f_.GetB(f_.B(0)));
    RTCTime now{};
    RtcGet(&now);
    EXPECT_EQ(now.year, 2030);
    EXPECT_EQ(now.hour, 10);
    EXPECT_EQ(now.dayOfWeek, 7);  // 2030-06-15 is a Saturday
    EXPECT_EQ(Clock_UtcNs(), host);
    f_.SetI(f_.Arr() + 1, 60);  // refused by the clock
    f_.Exec(Q4Ctl_SetClk, nullptr, {f_.Arr(), 6, f_.B(0)});
    EXPECT_FALSE(f_.GetB(f_.B(0)));
    f_.SetI(f_.Arr() + 1, 20);
    f_.SetI(f_.Arr() + 4, 0);  // month 0
    f_.Exec(Q4Ctl_SetClk, nullptr, {f_.Arr(), 6, f_.B(0)});
    EXPECT_FALSE(f_.GetB(f_.B(0)));
}

TEST_F(ClockCtl, SchedulesFollowTheClockRegisters) {
    auto at = [](u16 hour, u16 minute) {
        SR_Put(46, hour);
        SR_Put(45, minute);
    };
    SR_Put(47, 15), SR_Put(48, 6), SR_Put(49, 2030), SR_Put(50, 7);
    f_.SetI(f_.I(0), 22), f_.SetI(f_.I(1), 0), f_.SetI(f_.I(2), 6), f_.SetI(f_.I(3), 0);
    for (auto [h, m, want] : {std::tuple{23, 30, true}, {5, 59, true}, {6, 0, false}, {12, 0, false}}) {
        at(static_cast<u16>(h), static_cast<u16>(m));
        f_.Exec(Q4Ctl_TimeOfDay, nullptr, {f_.I(0), f_.I(1), f_.I(2), f_.I(3), f_.B(0)});
        EXPECT_EQ(f_.GetB(f_.B(0)), want) << h << ":" << m;
    }
    struct Case {
        Q4FbHandler h;
        bool dint;
        i32 mask;
        bool want;
    };
    const Case cases[] = {
        {Q4Ctl_DaysOfWeek, false, 0x40, true},   {Q4Ctl_DaysOfWeek, false, 0x3F, false},
        {Q4Ctl_DaysOfWeek, false, 0xC0, false},  {Q4Ctl_DaysOfMonth, true, 1 << 14, true},
        {Q4Ctl_DaysOfMonth, true, -1, false},    {Q4Ctl_MonthsOfYear, false, 1 << 5, true},
        {Q4Ctl_MonthsOfYear, false, 0x1020, false}, {Q4Ctl_MonthsOfYear, false, -1, false},
        {Q4Ctl_StartEndYear, true, 2024 | (2030 << 16), true}, {Q4Ctl_StartEndYear, true, 2024 | (1999 << 16), false},
        {Q4Ctl_StartEndYear, true, 1999 | (2040 << 16), false},
    };
    for (const Case& c : cases) {
        u16 in = c.dint ? f_.D(0) : f_.I(4);
        if (c.dint) f_.SetD(in, c.mask);
        else f_.SetI(in, static_cast<i16>(c.mask));
        f_.SetB(f_.B(1), !c.want);
        f_.Exec(c.h, nullptr, {in, f_.B(1)});
        EXPECT_EQ(f_.GetB(f_.B(1)), c.want) << c.mask;
    }
}

TEST_F(Panel, SunPositionAndNodeId) {
    const i16 t[6] = {2030, 6, 21, 12, 0, 0};
    for (u16 k = 0; k < 6; ++k) f_.SetI(f_.I(k), t[k]);
    f_.SetL(f_.L(0), 0.0);  // latitude
    f_.SetL(f_.L(1), 0.0);  // longitude
    f_.Exec(Q4Ctl_SunPos, nullptr, {f_.I(0), f_.I(1), f_.I(2), f_.I(3), f_.I(4), f_.I(5), f_.L(0), f_.L(1), f_.L(2), f_.L(3)});
    SunTime st{2030, 6, 21, 12, 0, 0};
    SunLocation loc{0.0, 0.0};
    SunResult r{};
    sunpos(&st, &loc, &r);
    EXPECT_EQ(f_.GetL(f_.L(2)), r.azimuth);
    EXPECT_EQ(f_.GetL(f_.L(3)), r.zenith);
    EXPECT_NEAR(r.zenith, 23.4, 0.5);

    SR_Put(29, 5);
    SR_Put(61, 4);
    for (i16 id : {0, 5, 251, -2}) {
        f_.SetI(f_.I(0), id);
        f_.Exec(Q4Ctl_SetCanId, nullptr, {f_.I(0)});
        EXPECT_EQ(SR_Get(29), 5) << id;
    }
}

// Timers on the hand-advanced counter in %SR149-%SR150.
class Timers : public Panel {
protected:
    void At(u32 ticks) { SR_PutDword(149, ticks); }
    // One call: in, (reset), PT; Q, ET.
    void Call(Q4FbHandler h, Inst& inst, bool tonr, bool wide, u8 in, u8 reset = 0) {
        *f_.Vm().Data8(f_.B(0)) = in;
        *f_.Vm().Data8(f_.B(1)) = reset;
        u16 pt = wide ? f_.D(0) : f_.I(0), et = wide ? f_.D(1) : f_.I(1);
        if (tonr) f_.Exec(h, inst.data(), {f_.B(0), f_.B(1), pt, f_.B(2), et});
        else f_.Exec(h, inst.data(), {f_.B(0), pt, f_.B(2), et});
    }
    void Pt(bool wide, i32 v) {
        if (wide) f_.SetD(f_.D(0), v);
        else f_.SetI(f_.I(0), static_cast<i16>(v));
    }
    i32 Et(bool wide) { return wide ? f_.GetD(f_.D(1)) : f_.GetI(f_.I(1)); }
    bool Q() { return f_.GetB(f_.B(2)); }
};

TEST_F(Timers, OnDelayCountsWholeUnitsAndCarriesTheRest) {
    Inst inst{};
    Pt(false, 10);
    std::string et;
    u32 now = 5000000;  // long after start-up: the first call only takes the stamp
    for (int k = 0; k < 40; ++k, now += 300) {
        At(now);
        Call(Q4Ctl_Timer<Q4TimerKind::kTon, 1000, false>, inst, false, false, 1);
        if (Q()) break;
    }
    // Calls 30 ms apart: ET reaches 10 at the call 3.06 s after the first, Q at the next.
    EXPECT_TRUE(Q());
    EXPECT_EQ(Et(false), 10);
    EXPECT_EQ(now, 5000000u + 35 * 300);
    At(now + 100000);
    Call(Q4Ctl_Timer<Q4TimerKind::kTon, 1000, false>, inst, false, false, 1);
    EXPECT_EQ(Et(false), 10);
    Call(Q4Ctl_Timer<Q4TimerKind::kTon, 1000, false>, inst, false, false, 0);
    EXPECT_FALSE(Q());
    EXPECT_EQ(Et(false), 0);
    Call(Q4Ctl_Timer<Q4TimerKind::kTon, 1000, false>, inst, false, false, 2);  // not a BOOL: untouched
    EXPECT_EQ(Et(false), 0);
}

// Every kind, unit and width: the first call counts nothing, a long gap
// stops at the type's maximum, and a preset at the maximum is reached.
TEST_F(Timers, EveryTimerReachesAPresetAtTheMaximum) {
    struct Row {
        Q4FbHandler h;
        Q4TimerKind kind;
        u32 unit;
        bool wide;
    };
    std::vector<Row> rows;
    for (const Q4BlockEntry& e : kQ4CtlTimerRows) {
        std::string n = e.name;
        Q4TimerKind k = n.rfind("TONR", 0) == 0 ? Q4TimerKind::kTonr : n.rfind("TOF", 0) == 0 ? Q4TimerKind::kTof : Q4TimerKind::kTon;
        u32 unit = n.find("100MS") != std::string::npos ? 1000 : n.find("10MS") != std::string::npos ? 100
                   : n.find("1MS") != std::string::npos ? 10 : 10000;
        rows.push_back({e.handler, k, unit, n.size() > 2 && n.substr(n.size() - 2) == "32"});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(r.kind) << " unit " << r.unit << (r.wide ? " DINT" : " INT"));
        Inst inst{};
        const bool tonr = r.kind == Q4TimerKind::kTonr;
        const u8 run = r.kind == Q4TimerKind::kTof ? 0 : 1;
        const i32 max = r.wide ? 0x7FFFFFFF : 0x7FFF;
        f_.SetD(f_.D(1), 0), f_.SetI(f_.I(1), 0);
        Pt(r.wide, max);
        u32 now = 0x80000000u;
        At(now);
        if (r.kind == Q4TimerKind::kTof) {
            Call(r.h, inst, tonr, r.wide, 1);
            EXPECT_TRUE(Q());
        }
        Call(r.h, inst, tonr, r.wide, run);
        EXPECT_EQ(Et(r.wide), 0) << "the first call counts nothing";
        now += 3 * r.unit + r.unit / 2;
        At(now);
        Call(r.h, inst, tonr, r.wide, run);
        EXPECT_EQ(Et(r.wide), 3);
        // A long gap (the counter wraps on the way): counted in 32 bits,
        // stopping at the type's maximum.
        const u32 gap = r.wide ? 0xF0000000u : 40000u * r.unit;
        now += gap;
        At(now);
        Call(r.h, inst, tonr, r.wide, run);
        const i64 counted = 3 + (u64{gap} + r.unit / 2) / r.unit;
        EXPECT_EQ(Et(r.wide), std::min<i64>(counted, max));
        if (!r.wide) {
            Call(r.h, inst, tonr, r.wide, run);
            EXPECT_EQ(Q(), r.kind != Q4TimerKind::kTof) << "the preset was reached";
            EXPECT_EQ(Et(r.wide), max);
        }
    }
}

TEST_F(Timers, RetentiveTimerHoldsWhileOffAndResets) {
    Inst inst{};
    auto h = Q4Ctl_Timer<Q4TimerKind::kTonr, 10000, false>;
    Pt(false, 100);
    u32 now = 1000;
    At(now);
    Call(h, inst, true, false, 1);
    now += 25000;
    At(now);
    Call(h, inst, true, false, 1);
    EXPECT_EQ(Et(false), 2);
    now += 600000;  // 60 s off
    At(now);
    Call(h, inst, true, false, 0);
    EXPECT_EQ(Et(false), 2);
    now += 10000;
    At(now);
    Call(h, inst, true, false, 1);
    EXPECT_EQ(Et(false), 3) << "neither the pause nor the half second before it counted";
    Call(h, inst, true, false, 1, 1);
    EXPECT_EQ(Et(false), 0);
    EXPECT_FALSE(Q());
}

TEST_F(Timers, OffDelay) {
    Inst inst{};
    auto h = Q4Ctl_Timer<Q4TimerKind::kTof, 100, true>;
    Pt(true, 5);
    At(100);
    Call(h, inst, false, true, 1);
    EXPECT_TRUE(Q());
    std::string q;
    for (u32 now = 200; now <= 1000; now += 100) {
        At(now);
        Call(h, inst, false, true, 0);
        q += Q() ? '1' : '0';
    }
    EXPECT_EQ(q, "111110000");
    EXPECT_EQ(Et(true), 5);
}

}  // namespace
