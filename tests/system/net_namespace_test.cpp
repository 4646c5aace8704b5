// System test in a network namespace of its own: the controller puts its
// configured address on eth0 (a veth end), sets the gateway only after the
// link has been up for the debounce time, and puts the fall-back address on
// when the link goes down. The host's own interfaces stay as they were.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;

class NetNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        std::string id = std::to_string(getpid());
        ctl_ = "plcctl" + id;
        peer_ = "plcpeer" + id;
        hostBefore_ = Shell("ip -o addr show; ip route show");
        int st = 0;
        Shell("ip netns add " + ctl_ + " && ip netns add " + peer_, &st);
        if (st != 0) GTEST_SKIP() << "cannot create network namespaces here";
        made_ = true;
        Shell("ip link add eth0 netns " + ctl_ + " type veth peer name p0 netns " + peer_, &st);
        if (st != 0) GTEST_SKIP() << "cannot create a veth pair here";
        Shell("ip -n " + peer_ + " addr add 10.9.0.1/24 dev p0 && ip -n " + peer_ + " link set p0 up");
        Shell("ip -n " + ctl_ + " link set lo up");
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            fw.WaitExit(kStartMs);
        }
        if (!made_) return;
        Shell("ip netns del " + ctl_ + "; ip netns del " + peer_);
        EXPECT_EQ(Shell("ip -o addr show; ip route show"), hostBefore_);
    }
    std::string Ctl(const std::string& cmd) { return Shell("ip -n " + ctl_ + " " + cmd); }

    // Starts the controller inside the namespace.
    bool StartInside() {
        {
            FirmwareProcess first;
            if (!first.Start() || !first.WaitForOutput("main loop running", kStartMs)) return false;
            first.Signal(SIGTERM);
            if (!first.WaitExit(kStartMs)) return false;
        }
        NetStreamBuilder eth0(NetAddr(10, 9, 0, 2), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 9, 0, 1));
        if (!NetWriteConfigPgm(root.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build()))) return false;
        unlink(root.Path("/sys/netif.log").c_str());  // what the start in the host's namespace recorded
        int self = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = open(("/var/run/netns/" + ctl_).c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = self >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (ok) {
            ok = fw.Start();
            setns(self, CLONE_NEWNET);
        }
        if (self >= 0) close(self);
        if (target >= 0) close(target);
        return ok && fw.WaitForOutput("main loop running", kStartMs);
    }

    TempRoot root;
    FirmwareProcess fw;
    std::string ctl_, peer_, hostBefore_;
    bool made_ = false;
};

TEST_F(NetNamespace, AddressDebouncedGatewayAndFallback) {
    ASSERT_TRUE(StartInside()) << fw.Output();
    using Clock = std::chrono::steady_clock;
    ASSERT_TRUE(WaitUntil([&] { return Ctl("-4 addr show eth0").find("10.9.0.2/24") != std::string::npos; },
                          kStartMs))
        << Ctl("-4 addr show eth0") << fw.Output();
    auto applied = Clock::now();
    // The gateway follows only after the link was up for 2 s without a break.
    ASSERT_TRUE(WaitUntil([&] { return Ctl("route show").find("default via 10.9.0.1") != std::string::npos; },
                          kStartMs))
        << Ctl("route show");
    auto gateway = Clock::now();
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(gateway - applied).count(), 1800);
    // Link down: the fall-back address goes on.
    Shell("ip -n " + peer_ + " link set p0 down");
    EXPECT_TRUE(WaitUntil([&] { return Ctl("-4 addr show eth0").find("192.168.254.128") != std::string::npos; },
                          kStartMs))
        << Ctl("-4 addr show eth0");
    // Link back: the configured address returns.
    Shell("ip -n " + peer_ + " link set p0 up");
    EXPECT_TRUE(WaitUntil([&] { return Ctl("-4 addr show eth0").find("10.9.0.2/24") != std::string::npos; },
                          kStartMs))
        << Ctl("-4 addr show eth0");
    // Nothing was recorded instead of applied: the process knew its namespace.
    std::vector<u8> log;
    File_ReadAll(root.Path("/sys/netif.log"), log, 1 << 20);
    EXPECT_EQ(std::string(log.begin(), log.end()).find("eth0 address"), std::string::npos);
}

}  // namespace
