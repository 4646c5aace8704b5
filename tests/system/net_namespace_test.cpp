// System test in a network namespace of its own: the controller puts its
// configured address on eth0 (a veth end), sets the gateway only after the
// link has been up for the debounce time, and puts the fall-back address on
// when the link goes down. The host's own interfaces stay as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "core/plc_regs.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;

class NetNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        hostBefore_ = Shell("ip -o addr show; ip route show");
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            clock.AdvanceToExit(fw);
            fw.WaitExit(kStartMs);
        }
        ns_.Remove();
        EXPECT_EQ(Shell("ip -o addr show; ip route show"), hostBefore_);
    }
    std::string Ctl(const std::string& cmd) { return ns_.CtlIp(cmd); }

    // Starts the controller inside the namespace.
    bool StartInside() {
        {
            FirmwareProcess first;
            if (!first.Start() || !clock.AdvanceToOutput(first, "main loop running")) return false;
            first.Signal(SIGTERM);
            if (!clock.AdvanceToExit(first) || !first.WaitExit(kStartMs)) return false;
        }
        NetStreamBuilder eth0(NetAddr(10, 9, 0, 2), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 9, 0, 1));
        if (!NetWriteConfigPgm(root.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build()))) return false;
        unlink(root.Path("/sys/netif.log").c_str());  // what the start in the host's namespace recorded
        fw.SetNetNamespace(ns_.Controller());
        bool ok = fw.Start();
        return ok && clock.AdvanceToOutput(fw, "main loop running");
    }

    TempRoot root;
    BoardClock clock;
    FirmwareProcess fw;
    NetNamespacePair ns_;
    std::string hostBefore_;
};

TEST_F(NetNamespace, AddressDebouncedGatewayAndFallback) {
    ASSERT_TRUE(StartInside()) << fw.Output();
    auto has = [&](const char* cmd, const char* text) { return Ctl(cmd).find(text) != std::string::npos; };
    ASSERT_TRUE(clock.AdvanceUntil([&] { return has("-4 addr show eth0", "10.9.0.2/24"); }, 10000, 50))
        << Ctl("-4 addr show eth0") << fw.Output();
    // The gateway follows only after the link was up for 2 s without a break.
    ASSERT_TRUE(clock.Advance(1800, 50));
    EXPECT_FALSE(has("route show", "default via 10.9.0.1")) << Ctl("route show");
    ASSERT_TRUE(clock.AdvanceUntil([&] { return has("route show", "default via 10.9.0.1"); }, 1000, 50))
        << Ctl("route show");
    // Link down: the fall-back address goes on.
    ns_.PeerIp("link set p0 down");
    EXPECT_TRUE(clock.AdvanceUntil([&] { return has("-4 addr show eth0", "192.168.254.128"); }, 10000, 50))
        << Ctl("-4 addr show eth0");
    // Link back: the configured address returns.
    ns_.PeerIp("link set p0 up");
    EXPECT_TRUE(clock.AdvanceUntil([&] { return has("-4 addr show eth0", "10.9.0.2/24"); }, 10000, 50))
        << Ctl("-4 addr show eth0");
    // Nothing was recorded instead of applied: the process knew its namespace.
    std::vector<u8> log;
    File_ReadAll(root.Path("/sys/netif.log"), log, 1 << 20);
    EXPECT_EQ(std::string(log.begin(), log.end()).find("eth0 address"), std::string::npos);
}

// The inode numbers of the sockets the process holds: a socket closed and
// made again shows as a new number.
std::set<std::string> Sockets(pid_t pid) {
    std::set<std::string> found;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (!ec && target.rfind("socket:", 0) == 0) found.insert(target);
    }
    return found;
}

// While its interface is missing the controller opens nothing for it (no
// sockets made and closed again every second); once the interface appears,
// its services start on it at once (the programming link listens there).
TEST_F(NetNamespace, MissingInterfaceCostsNothingAndServesOnceItAppears) {
    Ctl("link set eth0 name late0");
    ASSERT_NE(Ctl("link show late0").find("late0"), std::string::npos) << Ctl("link show");
    ASSERT_TRUE(StartInside()) << fw.Output();
    ASSERT_TRUE(clock.AdvanceUntil([&] { return fw.Output().find("services of eth0 could not start") != std::string::npos; },
                                   10000, 50))
        << fw.Output();
    const std::set<std::string> before = Sockets(fw.Pid());
    ASSERT_TRUE(clock.Advance(5000, 50));
    EXPECT_EQ(Sockets(fw.Pid()), before) << "sockets were made again while eth0 was missing";

    Ctl("link set late0 name eth0");
    auto listening = [&] {
        int status = -1;
        ns_.InPeer("timeout 2 bash -c 'exec 3<>/dev/tcp/10.9.0.2/18501' 2>/dev/null", &status);
        return status == 0;
    };
    EXPECT_TRUE(clock.AdvanceUntil(listening, 10000, 50)) << Ctl("-4 addr show eth0") << fw.Output();
}

}  // namespace
