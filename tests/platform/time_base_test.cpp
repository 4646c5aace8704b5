// Free-running counter, one-shot timers and serial-driver timers, all on a
// hand-moved clock.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/rct.h"
#include "platform/timers.h"
#include "testsupport/manual_clock.h"

namespace {

constexpr u64 kSecondNs = 1000000000ull;

class TimeBaseTest : public ::testing::Test {
protected:
    TimeBaseTest() : clock_(1614945600, 1000 * kSecondNs + 700000000ull) {
        FPGA_Reset();
        Timer_Init(&fpga_port, 100);
        RCT_Init();
    }
    ~TimeBaseTest() override { FPGA_Reset(); }

    // Moves the counter to `target` ticks (forward, modulo 2^32).
    void AdvanceCounterTo(u32 target) { clock_.AdvanceTicks(static_cast<u32>(target - FPGA_GetFrt())); }

    ManualClock clock_;
};

TEST_F(TimeBaseTest, CounterStartsAtSubSecondAndSurvivesWrap) {
    EXPECT_EQ(FPGA_GetFrt(), 7000u);  // first second recorded, 0.7 s into it
    clock_.AdvanceMs(1234);
    EXPECT_EQ(FPGA_GetFrt(), 7000u + 12340u);
    EXPECT_EQ(fpga_port, 19340u);
    EXPECT_EQ(_tx_time_get(), 1934u);

    // A step of the time of day does not move the counter.
    Clock_SetManualUtc(Clock_UtcNs() - 3600 * static_cast<i64>(kSecondNs));
    EXPECT_EQ(FPGA_GetFrt(), 19340u);

    AdvanceCounterTo(0xFFFFFFFBu);
    const u32 before = FPGA_GetFrt();
    clock_.AdvanceTicks(10);
    const u32 after = FPGA_GetFrt();
    EXPECT_LT(after, before);
    EXPECT_EQ(after - before, 10u);
}

TEST_F(TimeBaseTest, AllocateTakesFirstRunOfAdjacentFreeSlots) {
    struct Case {
        std::initializer_list<u8> taken;
        u8 count;
        u8 expected;
    } cases[] = {
        {{0, 2}, 3, 3},
        {{0, 2}, 1, 1},
        {{0, 2}, 0, kTimerNone},
        {{}, 8, 0},
        {{}, 9, kTimerNone},
        {{1, 3, 5, 7}, 2, kTimerNone},
        {{0, 1, 2, 3, 4, 5, 6}, 1, 7},
    };
    for (const Case& c : cases) {
        Timer_Init(&fpga_port, 100);
        ASSERT_EQ(Timer_Allocate(kTimerCount), 0);
        for (u8 i = 0; i < kTimerCount; ++i) {
            bool taken = false;
            for (u8 t : c.taken) taken |= t == i;
            if (!taken) Timer_Release(i);
        }
        EXPECT_EQ(Timer_Allocate(c.count), c.expected) << "count " << int(c.count);
    }
}

TEST_F(TimeBaseTest, OneShotRunsItsPeriodThenReportsExpiryOnce) {
    const u8 t = Timer_Allocate(1);
    ASSERT_NE(t, kTimerNone);
    EXPECT_EQ(Timer_Start(t, 0), 0u) << "no period yet";
    EXPECT_EQ(Timer_Status(t), kTimerStopped);

    EXPECT_EQ(Timer_Start(t, 5), 50u);
    clock_.AdvanceTicks(49);
    EXPECT_EQ(Timer_Status(t), kTimerRunning);
    clock_.AdvanceTicks(1);
    EXPECT_EQ(Timer_Status(t), kTimerExpired);
    EXPECT_EQ(Timer_Status(t), kTimerStopped);

    // 0 reuses the last period; stop ends a running timer.
    EXPECT_EQ(Timer_Start(t, 0), 50u);
    EXPECT_EQ(Timer_Status(t), kTimerRunning);
    Timer_Stop(t);
    clock_.AdvanceTicks(100);
    EXPECT_EQ(Timer_Status(t), kTimerStopped);

    Timer_Release(t);
    EXPECT_EQ(Timer_Status(t), kTimerFree);
    EXPECT_EQ(Timer_Start(t, 5), t) << "unallocated slot returned unchanged";
    EXPECT_EQ(Timer_Status(t), kTimerFree);
    EXPECT_EQ(Timer_Start(9, 5), 9u);
    EXPECT_EQ(Timer_Status(9), kTimerInvalid);
}

TEST_F(TimeBaseTest, OneShotMeasuresAcrossTheCounterWrap) {
    const u8 t = Timer_Allocate(1);
    AdvanceCounterTo(0xFFFFFFFFu - 20);
    ASSERT_EQ(Timer_Start(t, 5), 50u);
    clock_.AdvanceTicks(49);
    ASSERT_LT(FPGA_GetFrt(), 100u) << "the counter has wrapped";
    EXPECT_EQ(Timer_Status(t), kTimerRunning);
    clock_.AdvanceTicks(1);
    EXPECT_EQ(Timer_Status(t), kTimerExpired);
}

TEST_F(TimeBaseTest, StartRefusesTimesTheCounterCannotMeasure) {
    const u8 t = Timer_Allocate(1);
    // 429496729 ms is 4294967290 ticks, the longest that fits.
    EXPECT_EQ(Timer_Start(t, 429496729u), 4294967290u);
    ASSERT_EQ(Timer_Start(t, 5), 50u);
    // Longer times would wrap into short ones in 32-bit arithmetic.
    for (u32 ms : {429496730u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Timer_Start(t, ms), 0u) << ms;
        EXPECT_EQ(Timer_Status(t), kTimerRunning) << "the running timer is left as it was";
    }
    clock_.AdvanceTicks(50);
    EXPECT_EQ(Timer_Status(t), kTimerExpired) << "still on its 50-tick period";
}

int g_fired[kRctCount + 1];
template <int Id>
void Fire() {
    ++g_fired[Id];
}
constexpr RctCallback kFire[kRctCount + 1] = {nullptr, Fire<1>, Fire<2>, Fire<3>, Fire<4>, Fire<5>};

class SerialTimerTest : public TimeBaseTest {
protected:
    SerialTimerTest() {
        for (int& f : g_fired) f = 0;
    }
    // Polls once per tick for n ticks.
    void PollTicks(u32 n) {
        for (u32 i = 0; i < n; ++i) {
            clock_.AdvanceTicks(1);
            RctISR();
        }
    }
};

TEST_F(SerialTimerTest, BaudCodeTimeoutFiresJustAfterItsPeriod) {
    struct Case {
        u32 baudCode;
        u32 ticks;  // the timer fires after more than this
    } cases[] = {{0, 1500}, {4, 1500}, {5, 266}, {7, 266}, {11, 266}, {12, 267},
                 // codes past the table get the longest time-out
                 {13, 1500}, {0xFFFFFFFFu, 1500}};
    for (const Case& c : cases) {
        RCT_Init();
        g_fired[1] = 0;
        const int id = RCT_Allocate(kFire[1]);
        ASSERT_EQ(id, 1);
        RCT_Set(id, c.baudCode, kRctByBaudCode);
        RCT_Start(id);
        PollTicks(c.ticks);
        EXPECT_EQ(g_fired[1], 0) << "code " << c.baudCode;
        PollTicks(1);
        EXPECT_EQ(g_fired[1], 1) << "code " << c.baudCode;
        PollTicks(c.ticks * 2);
        EXPECT_EQ(g_fired[1], 1) << "one-shot fires once, code " << c.baudCode;
        EXPECT_FALSE(RCT_AnyRunning());
    }
}

TEST_F(SerialTimerTest, StepsOfTheTimeOfDayNeitherFireNorDelayTimers) {
    const int id = RCT_Allocate(kFire[1]);
    RCT_Set(id, 10000, 0);  // 100 ticks
    RCT_Start(id);
    clock_.AdvanceTicks(50);
    Clock_SetManualUtc(Clock_UtcNs() + 86400 * static_cast<i64>(kSecondNs));
    RctISR();
    EXPECT_EQ(g_fired[1], 0) << "a day forward on the wall clock";
    Clock_SetManualUtc(Clock_UtcNs() - 2 * 86400 * static_cast<i64>(kSecondNs));
    clock_.AdvanceTicks(51);
    RctISR();
    EXPECT_EQ(g_fired[1], 1) << "two days back on the wall clock";
}

TEST_F(SerialTimerTest, PeriodicTimerReloadsFromEachFiringPoll) {
    const int id = RCT_Allocate(kFire[2]);
    RCT_Set(id, 1000, kRctPeriodic);  // 10 ticks; fires once more than 10 have passed
    RCT_Start(id);
    PollTicks(110);
    EXPECT_EQ(g_fired[2], 10);
    // A late poll fires once and the next period counts from that poll.
    clock_.AdvanceTicks(40);
    RctISR();
    EXPECT_EQ(g_fired[2], 11);
    PollTicks(10);
    EXPECT_EQ(g_fired[2], 11);
    PollTicks(1);
    EXPECT_EQ(g_fired[2], 12);
    RCT_Stop(id);
    PollTicks(50);
    EXPECT_EQ(g_fired[2], 12);
    EXPECT_FALSE(RCT_AnyRunning());
}

TEST_F(SerialTimerTest, StartingOneTimerRebasesTheOthersToAtLeastEightTicks) {
    const int a = RCT_Allocate(kFire[1]);
    const int b = RCT_Allocate(kFire[2]);
    RCT_Set(a, 10000, 0);  // 100 ticks
    RCT_Set(b, 100000, 0);
    RCT_Start(a);
    clock_.AdvanceTicks(95);  // not polled meanwhile
    RCT_Start(b);             // a: 5 left, raised to 8
    PollTicks(8);
    EXPECT_EQ(g_fired[1], 0);
    PollTicks(1);
    EXPECT_EQ(g_fired[1], 1);
    EXPECT_EQ(g_fired[2], 0);
    EXPECT_TRUE(RCT_AnyRunning());
}

int g_rearmId = 0;
int g_rearmCount = 0;
void Rearm() {
    if (++g_rearmCount < 3) RCT_Start(g_rearmId);
}

TEST_F(SerialTimerTest, CallbackMayRearmItsOwnOneShot) {
    g_rearmCount = 0;
    g_rearmId = RCT_Allocate(Rearm);
    RCT_Set(g_rearmId, 500, 0);  // 5 ticks
    RCT_Start(g_rearmId);
    PollTicks(6);
    EXPECT_EQ(g_rearmCount, 1);
    EXPECT_TRUE(RCT_AnyRunning()) << "re-armed inside its callback";
    PollTicks(20);
    EXPECT_EQ(g_rearmCount, 3);
    EXPECT_FALSE(RCT_AnyRunning());
}

TEST_F(SerialTimerTest, AllocationOfFiveIdsAndIgnoredIds) {
    for (int i = 1; i <= kRctCount; ++i) EXPECT_EQ(RCT_Allocate(kFire[i]), i);
    EXPECT_EQ(RCT_Allocate(kFire[1]), 0);
    RCT_Release(3);
    EXPECT_EQ(RCT_Allocate(kFire[3]), 3);
    for (int bad : {0, -1, 6, 1000}) {
        RCT_Set(bad, 100, 0);
        RCT_Start(bad);
        RCT_Stop(bad);
        RCT_Release(bad);
    }
    EXPECT_FALSE(RCT_AnyRunning());
    // A zero period arms nothing; a released id cannot be started.
    RCT_Set(1, 50, 0);
    RCT_Start(1);
    EXPECT_FALSE(RCT_AnyRunning());
    RCT_Release(2);
    RCT_Set(2, 1000, 0);
    RCT_Start(2);
    EXPECT_FALSE(RCT_AnyRunning());
}

}  // namespace
