// Ping through registers, inside a network namespace of the test's own: the
// peer's kernel answers the echo requests; the round-trip time follows the
// controller's clock; broadcast targets are never pinged (the namespace's
// own ICMP counters show it).
#include "net/ping.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/reg_fixture.h"

namespace {

constexpr u32 kMask = NetAddr(255, 255, 255, 0);
constexpr u32 kCtl = NetAddr(10, 9, 0, 2), kPeer = NetAddr(10, 9, 0, 1);
constexpr u32 R(u32 word) { return 0x8000 + 16 * (word - 1); }

alignas(8) u8 g_pool[50 * 1600];

class PingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        ns_.CtlIp("link set eth0 up");
        stay_ = std::make_unique<NetNamespaceStay>(ns_.Controller());
        ASSERT_TRUE(stay_->Entered());
        Dpr_Reset();
        Ping_Reset();
        ASSERT_TRUE(NetNamespaceEth0(&ip_, &pool_, g_pool, sizeof g_pool, kCtl, kMask));
        ASSERT_EQ(_nx_icmp_enable(&ip_), NX_SUCCESS) << "raw ICMP socket";
        Ping_Init(&ip_);
    }
    void TearDown() override {
        if (ip_.icmpFd >= 0) close(ip_.icmpFd);
        ip_.icmpFd = -1;
        Ping_Reset();
        stay_.reset();
        Dpr_Reset();
        Nx_Reset();
    }
    u32 Link() {
        u32 v = 0;
        _nx_ip_driver_direct_command(&ip_, 0, &v);
        return ip_.linkUp;
    }
    bool Until(const std::function<bool()>& done) {
        for (int i = 0; i < 500; ++i) {
            if (done()) return true;
            poll(nullptr, 0, 5);
        }
        return false;
    }
    // Echo requests the controller's namespace (where this thread is) has sent.
    long OutEchos() {
        std::ifstream lines("/proc/net/snmp");
        std::string head, values, line;
        while (std::getline(lines, line)) {
            if (line.rfind("Icmp:", 0) != 0) continue;
            if (head.empty()) head = line;
            else values = line;
        }
        std::istringstream h(head), v(values);
        std::string name, value;
        while (h >> name && v >> value)
            if (name == "OutEchos") return std::stol(value);
        return -1;
    }

    NetNamespacePair ns_;
    std::unique_ptr<NetNamespaceStay> stay_;
    RegFixture regs_;
    ManualClock clock_;
    NxPacketPool pool_;
    NxIp ip_;
};

TEST_F(PingTest, RoundTripOnTheControllersClock) {
    EXPECT_EQ(Ping_Scan(kPeer, 1000, 0), -1);  // the request goes out
    clock_.AdvanceMs(7);
    ASSERT_TRUE(Until([&] { return Ping_Scan(kPeer, 1000, 0) >= 0; }));
    EXPECT_EQ(Ping_Block(0).result, 7);

    // Another target: -1 until it answers.
    EXPECT_EQ(Ping_Scan(NetAddr(10, 9, 0, 99), 1000, 0), -1);
    // Link lost: -1 at once.
    ASSERT_EQ(Ping_Scan(kPeer, 1000, 0), -1);
    ASSERT_TRUE(Until([&] { return Ping_Scan(kPeer, 1000, 0) >= 0; }));
    ns_.PeerIp("link set p0 down");
    ASSERT_TRUE(Until([&] { return Link() == 0; }));
    EXPECT_EQ(Ping_Scan(kPeer, 1000, 0), -1);
}

TEST_F(PingTest, BroadcastAndShortTimeOutsAreNeverPinged) {
    const long before = OutEchos();
    ASSERT_GE(before, 0);
    for (u32 target : {NetAddr(10, 9, 0, 255), 0xFFFFFFFFu})
        for (int i = 0; i < 5; ++i) EXPECT_EQ(Ping_Scan(target, 1000, 0), -1);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Ping_Scan(kPeer, 99, 0), -1);
    EXPECT_EQ(OutEchos(), before);
    // The registers: target and result words of the interface's settings.
    EnetPortConfig& c = Dpr_Configuration[0];
    c.flags.service |= kSvcPing;
    c.pingTarget = R(10);
    c.pingResult = R(20);
    c.pingTimeout = 1000;
    u8 v[4];
    PutLe32(v, kPeer);
    PlcReg_Set(R(10), v, 32);
    PutLe32(v, 1234);
    PlcReg_Set(R(20), v, 32);
    Ping_ServerScan(0);
    EXPECT_EQ(OutEchos(), before + 1);
    ASSERT_TRUE(Until([&] {
        Ping_ServerScan(0);
        u8 r[4];
        PlcReg_Get(r, R(20), 32);
        return static_cast<i32>(GetLe32(r)) >= 0;
    }));
}

}  // namespace
