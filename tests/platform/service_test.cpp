#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/wiring.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/service.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/temp_root.h"

namespace {

std::vector<std::string> g_order;
int g_pipe[2] = {-1, -1};

u32 StepA(u32 now) {
    g_order.push_back("a");
    return now + 500;
}
u32 StepB(u32 now) {
    g_order.push_back("b");
    return now + 30;
}
u32 StepC(u32 now) {
    g_order.push_back("c");
    return now + 5000;
}
void PipeReadEnd(std::vector<pollfd>& fds) { fds.push_back({g_pipe[0], POLLIN, 0}); }

const Service kFakes[] = {
    {"a", nullptr, StepA, nullptr, nullptr},
    {"b", nullptr, StepB, nullptr, PipeReadEnd},
    {"c", nullptr, StepC, nullptr, nullptr},
};

class ServicePass : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe(g_pipe), 0);
        g_order.clear();
        serviceList.entries = kFakes;
        serviceList.count = 3;
    }
    void TearDown() override {
        close(g_pipe[0]);
        close(g_pipe[1]);
        Service_SetIdleCapMs(-1);
        Wiring_Connect();
    }
};

TEST_F(ServicePass, StepsInListOrderAndAnswersTheEarliestTime) {
    struct Case {
        u32 now, want;
    };
    // The earliest asked for, but never later than the next 10-ms tick; the
    // counter wraps.
    const Case cases[] = {{1000, 1030}, {1090, 1100}, {0xFFFFFFF0u, 0x00000004u}, {0xFFFFFFE0u, 0xFFFFFFFEu}};
    for (const Case& c : cases) {
        g_order.clear();
        EXPECT_EQ(Service_Pass(c.now), c.want) << c.now;
        EXPECT_EQ(g_order, (std::vector<std::string>{"a", "b", "c"}));
    }
}

// The idle wait on the board's clock, driven by the test and held still:
// a wait that ends has ended by itself (a ready descriptor, a due time
// already reached, a cap of zero), never because time passed.
class IdleWait : public ServicePass {
protected:
    void SetUp() override {
        ServicePass::SetUp();
        ASSERT_TRUE(Clock_UseBoardIfDriven());
        Clock_NoteDeadline(~0ull);  // the test's own thread waits for nothing the clock moves
        FPGA_Reset();
    }
    void TearDown() override {
        Clock_UseReal();
        FPGA_Reset();
        ServicePass::TearDown();
    }
    struct Outcome {
        int result = -1;
        bool endedByItself = false;
    };
    // Runs the wait in a thread of its own while meanwhile() runs here. A
    // wait still running after the guard is released by moving the clock
    // past its due time, and reported as not ended by itself.
    Outcome Wait(u32 due, const std::function<void()>& meanwhile = {}) {
        Outcome o;
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            Clock_NoteDeadline(0);  // busy from its start until it waits
            o.result = Service_IdleWait(due);
            done = true;
        });
        if (meanwhile) meanwhile();
        o.endedByItself = WaitUntil([&] { return done.load(); }, 20000);
        if (!o.endedByItself) Board_ClockAdvance(60000000000ull);
        waiter.join();
        return o;
    }

    TempRoot root;
    BoardClock clock;
};

TEST_F(IdleWait, EndsAtOnceWhenADescriptorIsReady) {
    ASSERT_EQ(write(g_pipe[1], "x", 1), 1);
    const Outcome o = Wait(FPGA_GetFrt() + 50000);  // due in 5 s
    EXPECT_TRUE(o.endedByItself);
    EXPECT_EQ(o.result, 1);
}

// A request that arrives while the loop waits wakes it: the wait does not
// run to its due time.
TEST_F(IdleWait, RequestArrivingDuringTheWaitWakesIt) {
    const Outcome o = Wait(FPGA_GetFrt() + 100000, [&] {  // due in 10 s
        EXPECT_TRUE(clock.Settle());  // the loop has noted its due time: it waits
        EXPECT_EQ(write(g_pipe[1], "x", 1), 1);
    });
    EXPECT_TRUE(o.endedByItself);
    EXPECT_EQ(o.result, 1);
}

TEST_F(IdleWait, ReturnsAtOnceWhenDueOrCappedAtZero) {
    const u32 now = FPGA_GetFrt();
    for (u32 due : {now, now - 10}) {
        const Outcome o = Wait(due);
        EXPECT_TRUE(o.endedByItself) << due;
        EXPECT_EQ(o.result, 0) << due;
    }
    Service_SetIdleCapMs(0);
    const Outcome o = Wait(now + 100000);
    EXPECT_TRUE(o.endedByItself);
    EXPECT_EQ(o.result, 0);
}

// The steps after a wait learn from it what is ready, without asking the
// kernel again; what they act on is consumed, and a descriptor the wait did
// not poll (or polled for other events, or no wait at all) is unknown.
TEST_F(IdleWait, StepsLearnWhatTheWaitSaw) {
    ASSERT_EQ(write(g_pipe[1], "x", 1), 1);
    ASSERT_TRUE(Wait(FPGA_GetFrt() + 50000).endedByItself);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), POLLIN);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN | POLLOUT), -1);
    EXPECT_EQ(Service_Ready(g_pipe[1], POLLIN), -1);
    Service_Consume(g_pipe[0]);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), 0);
    Service_Forget(g_pipe[0]);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), -1);
    // The next wait sees the byte still there; one capped at zero polls nothing.
    ASSERT_TRUE(Wait(FPGA_GetFrt() + 50000).endedByItself);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), POLLIN);
    Service_SetIdleCapMs(0);
    ASSERT_TRUE(Wait(FPGA_GetFrt() + 50000).endedByItself);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), -1);
}

// A pass that is already due does not wait but still looks once, so its
// steps know what is ready; a pass that ran long since its wait looks again
// and sees what came meanwhile, without waiting for the next wait.
TEST_F(IdleWait, ADueWaitLooksOnceAndALongPassLooksAgain) {
    ASSERT_EQ(write(g_pipe[1], "x", 1), 1);
    const Outcome due = Wait(FPGA_GetFrt());
    EXPECT_TRUE(due.endedByItself);
    EXPECT_EQ(due.result, 1);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), POLLIN);
    char b;
    ASSERT_EQ(read(g_pipe[0], &b, 1), 1);
    ASSERT_TRUE(Wait(FPGA_GetFrt()).endedByItself);
    EXPECT_EQ(Service_Ready(g_pipe[0], POLLIN), 0);
    // Input after the look: a pass long enough looks again.
    ASSERT_EQ(write(g_pipe[1], "x", 1), 1);
    EXPECT_TRUE(WaitUntil(
        [] {
            Service_Refresh();
            return Service_Ready(g_pipe[0], POLLIN) == POLLIN;
        },
        5000));
}

TEST_F(ServicePass, CheckNamesAnEmptyListAndEntriesWithoutAStep) {
    const Service broken[] = {{"a", nullptr, StepA, nullptr, nullptr}, {"no step", nullptr, nullptr, nullptr, nullptr}};
    serviceList.entries = broken;
    serviceList.count = 2;
    NeighbourCheck check;
    ServiceList_Check(check);
    EXPECT_EQ(check.Missing(), (std::vector<std::string>{"serviceList.no step"}));
    serviceList.count = 0;
    NeighbourCheck empty;
    ServiceList_Check(empty);
    EXPECT_EQ(empty.Missing(), (std::vector<std::string>{"serviceList.entries"}));
}

}  // namespace
