// The clock a test drives through the board record: waiters on it wake
// exactly when an advance reaches their deadline, and the board counts as
// settled only when every live waiter waits for a later time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/board.h"
#include "platform/clock.h"
#include "platform/fpga.h"
#include "testsupport/board_clock.h"
#include "testsupport/temp_root.h"

namespace {

class DrivenClock : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Clock_UseBoardIfDriven()); }
    void TearDown() override { Clock_UseReal(); }

    TempRoot root;
    BoardClock clock;  // made before SetUp: the board is driven
};

TEST_F(DrivenClock, ReadingsAreTheBoardsAndMoveOnlyWithAnAdvance) {
    const u64 mono = Clock_MonotonicNs();
    const i64 utc = Clock_UtcNs();
    EXPECT_EQ(utc, 1614945600ll * 1000000000ll);
    EXPECT_EQ(mono, Board_ClockMonotonicNs());
    Clock_NoteDeadline(~0ull);  // this thread waits for nothing the test moves
    ASSERT_TRUE(clock.Advance(250, 50));
    EXPECT_EQ(Clock_MonotonicNs() - mono, 250000000u);
    EXPECT_EQ(Clock_UtcNs() - utc, 250000000);
    EXPECT_EQ(clock.ElapsedMs(), 250u);
    EXPECT_EQ(clock.UtcSeconds(), 1614945600);
    Board_ClockSetUtc(0);
    EXPECT_EQ(Clock_UtcNs(), 0);
    EXPECT_EQ(Clock_MonotonicNs() - mono, 250000000u);  // a step of the time of day only
}

TEST_F(DrivenClock, ASleeperWakesAtItsDeadlineAndIsWaitedForUntilItSleepsAgain) {
    Clock_NoteDeadline(~0ull);  // the test's own thread is not a waiter that matters
    std::atomic<int> wakes{0};
    std::atomic<bool> stop{false};
    std::atomic<u64> seenAt{0};
    std::atomic<bool> started{false};
    std::thread sleeper([&] {
        Clock_NoteDeadline(0);  // busy from its start until it first sleeps
        started = true;
        while (!stop) {
            SleepMs(100);
            seenAt = Clock_MonotonicNs();
            // Work after the wake: the board is not settled until it ends.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++wakes;
        }
    });
    while (!started) std::this_thread::yield();
    ASSERT_TRUE(clock.Settle());
    const u64 start = Board_ClockMonotonicNs();
    for (int step = 1; step <= 35; ++step) {
        ASSERT_TRUE(clock.Advance(10));
        // Settled after each step: every wake that fell due has finished.
        EXPECT_EQ(wakes.load(), step / 10) << step;
    }
    EXPECT_EQ(seenAt.load() - start, 300000000u);  // woke at 100, 200, 300 ms
    stop = true;
    Board_ClockAdvance(100000000ull);
    sleeper.join();
    // A waiter whose thread has ended holds nothing up.
    Board_ClockAdvance(1000000000ull);
    EXPECT_TRUE(Board_ClockSettled());
}

TEST_F(DrivenClock, ABusyThreadHoldsTheBoardUnsettled) {
    Clock_NoteDeadline(0);  // busy: the test cannot advance past it
    EXPECT_FALSE(Board_ClockSettled());
    EXPECT_FALSE(clock.Settle(50));
    Clock_NoteDeadline(Clock_MonotonicNs() + 1);
    EXPECT_TRUE(Board_ClockSettled());
}

TEST(HostClock, AnUndrivenBoardLeavesTheControllerOnTheHostsClocks) {
    TempRoot root;
    EXPECT_FALSE(Board_ClockDriven());
    EXPECT_FALSE(Clock_UseBoardIfDriven());
    EXPECT_FALSE(Clock_IsBoard());
    Board_SetClockDriven(true, 5, 6);
    Board_SetClockDriven(false);
    EXPECT_FALSE(Clock_UseBoardIfDriven());
}

}  // namespace
