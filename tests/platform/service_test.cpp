#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/wiring.h"
#include "platform/fpga.h"
#include "platform/service.h"

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

TEST_F(ServicePass, WaitEndsAtOnceWhenADescriptorIsReady) {
    ASSERT_EQ(write(g_pipe[1], "x", 1), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Service_IdleWait(FPGA_GetFrt() + 50000), 1);  // due in 5 s
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A request that arrives while the loop waits wakes it: the wait does not
// run to its due time.
TEST_F(ServicePass, RequestArrivingDuringTheWaitWakesIt) {
    std::thread peer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(write(g_pipe[1], "x", 1), 1);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Service_IdleWait(FPGA_GetFrt() + 100000), 1);  // due in 10 s
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    peer.join();
}

TEST_F(ServicePass, WaitReturnsAtOnceWhenDueOrCappedAtZero) {
    u32 now = FPGA_GetFrt();
    EXPECT_EQ(Service_IdleWait(now), 0);
    EXPECT_EQ(Service_IdleWait(now - 10), 0);
    Service_SetIdleCapMs(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Service_IdleWait(now + 100000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
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
