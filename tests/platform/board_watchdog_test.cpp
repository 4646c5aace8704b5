#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/board.h"
#include "platform/reset.h"
#include "platform/watchdog.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

namespace {

int g_resets;
void CountReset() { ++g_resets; }

// A watchdog polled by the test itself on the manual clock.
class WatchdogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Watchdog_Reset();
        Watchdog_SetMonitor(false);
        Watchdog_SetResetAction(CountReset);
        g_resets = 0;
    }
    void TearDown() override {
        Watchdog_Reset();
        Board_Close();
    }
    TempRoot root_;
    ManualClock clock_;
};

}  // namespace

TEST_F(WatchdogTest, ResetsWhenNotKeptAliveWithinItsTimeOut) {
    int fd = Watchdog_Open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Watchdog_Open(), -1);  // one user at a time
    EXPECT_EQ(Watchdog_GetTimeout(fd), kWatchdogDefaultTimeoutS);
    ASSERT_EQ(Watchdog_SetTimeout(fd, 5), 0);
    EXPECT_EQ(Watchdog_TimeLeft(fd), 5);

    clock_.AdvanceMs(3500);
    EXPECT_EQ(Watchdog_TimeLeft(fd), 1);  // rounded down
    EXPECT_EQ(Watchdog_Write(fd, "w", 1), 1);
    EXPECT_EQ(Watchdog_TimeLeft(fd), 5);

    clock_.AdvanceMs(4999);
    EXPECT_FALSE(Watchdog_Poll());
    EXPECT_EQ(g_resets, 0);
    BoardWatchdog b;
    Board_GetWatchdog(&b);  // what the board tool shows
    EXPECT_EQ(b.open, 1u);
    EXPECT_EQ(b.enabled, 1u);
    EXPECT_EQ(b.timeoutS, 5u);
    EXPECT_EQ(b.timeLeftS, 0u);

    clock_.AdvanceMs(1);
    EXPECT_TRUE(Watchdog_Poll());
    EXPECT_EQ(g_resets, 1);
    EXPECT_FALSE(Watchdog_Poll());  // one reset per expiry
    Board_GetWatchdog(&b);
    EXPECT_EQ(b.resets, 1u);
    EXPECT_EQ(b.enabled, 0u);
}

TEST_F(WatchdogTest, MagicCloseStopsItAndAPlainCloseDoesNot) {
    int fd = Watchdog_Open();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Watchdog_SetTimeout(fd, 5), 0);
    EXPECT_EQ(Watchdog_Write(fd, "V", 1), 1);
    EXPECT_EQ(Watchdog_Close(fd), 0);
    clock_.AdvanceMs(60000);
    EXPECT_FALSE(Watchdog_Poll());
    EXPECT_EQ(g_resets, 0);

    // Re-opened and closed without the magic character: it keeps counting.
    fd = Watchdog_Open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Watchdog_Write(fd, "V", 1), 1);
    EXPECT_EQ(Watchdog_Write(fd, "w", 1), 1);  // a later keep-alive disarms the magic
    EXPECT_EQ(Watchdog_Close(fd), 0);
    clock_.AdvanceMs(4900);
    EXPECT_FALSE(Watchdog_Poll());
    clock_.AdvanceMs(100);
    EXPECT_TRUE(Watchdog_Poll());
    EXPECT_EQ(g_resets, 1);
}

TEST_F(WatchdogTest, RefusesBadDescriptorsAndTimeOuts) {
    int fd = Watchdog_Open();
    ASSERT_GE(fd, 0);
    const int badTimeouts[] = {0, -1, kWatchdogMaxTimeoutS + 1};
    for (int t : badTimeouts) EXPECT_EQ(Watchdog_SetTimeout(fd, t), -1) << t;
    EXPECT_EQ(Watchdog_GetTimeout(fd), kWatchdogDefaultTimeoutS);
    EXPECT_EQ(Watchdog_SetTimeout(fd + 1, 5), -1);
    EXPECT_EQ(Watchdog_KeepAlive(fd + 1), -1);
    EXPECT_EQ(Watchdog_TimeLeft(fd + 1), -1);
    EXPECT_EQ(Watchdog_Close(fd + 1), -1);
    EXPECT_EQ(Watchdog_Close(fd), 0);
    EXPECT_EQ(Watchdog_Write(fd, "w", 1), -1);  // closed
}

TEST(WatchdogDeathTest, ExpiryEndsTheProcessWithTheWarmResetCode) {
    TempRoot root;
    // The monitor thread polls on its own; the manual clock makes the
    // time-out pass at once, so the child ends within a monitor period.
    EXPECT_EXIT(
        {
            ManualClock clock;
            Watchdog_Reset();
            int fd = Watchdog_Open();
            if (fd < 0 || Watchdog_SetTimeout(fd, 5) != 0) _exit(1);
            clock.AdvanceMs(5000);
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            _exit(0);
        },
        ::testing::ExitedWithCode(kExitWarmReset), "watchdog");
    Board_Close();
}
