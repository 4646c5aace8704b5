// Where the controller's servers listen: on the host's namespace, loopback
// only unless the user names an address; inside a namespace of its own,
// every address, as on the board.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr int kLinkPort = 18501;

// Local addresses of the listening TCP and bound UDP sockets of process pid
// ("127.0.0.1:18501", without the device a socket is bound to), as ss shows
// them; prefix runs ss elsewhere.
std::vector<std::string> Listening(pid_t pid, const std::string& prefix = "") {
    std::string out = Shell(prefix + "ss -H -ltunp | grep 'pid=" + std::to_string(pid) +
                            ",' | awk '{print $5}' | sed 's/%[^:]*:/:/'");
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) v.push_back(line);
    return v;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
    for (const std::string& x : v)
        if (x == s) return true;
    return false;
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& x : v) s += x + " ";
    return s;
}

class NetListen : public ::testing::Test {
protected:
    void SetUp() override {
        offset_ = NetFreePortOffset(kLinkPort);
        fw.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_));
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            fw.WaitExit(kStartMs);
        }
    }
    std::string Port() const { return std::to_string(kLinkPort + offset_); }
    // The process's sockets once the programming port is among them.
    std::vector<std::string> Sockets(const std::string& address, const std::string& prefix = "") {
        std::vector<std::string> v;
        WaitUntil(
            [&] {
                v = Listening(fw.Pid(), prefix);
                return Has(v, address + ":" + Port());
            },
            kStartMs);
        return v;
    }

    TempRoot root;
    FirmwareProcess fw;
    int offset_ = 0;
};

TEST_F(NetListen, HostNamespaceListensOnLoopbackOnly) {
    fw.SetEnv("PLC_LISTEN_ADDRESS", "");
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    std::vector<std::string> v = Sockets("127.0.0.1");
    ASSERT_TRUE(Has(v, "127.0.0.1:" + Port())) << Join(v);
    for (const std::string& a : v) EXPECT_EQ(a.rfind("127.0.0.1:", 0), 0u) << Join(v);
}

TEST_F(NetListen, AddressNamedByTheUserIsTaken) {
    fw.SetEnv("PLC_LISTEN_ADDRESS", "0.0.0.0");
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    std::vector<std::string> v = Sockets("0.0.0.0");
    EXPECT_TRUE(Has(v, "0.0.0.0:" + Port())) << Join(v);
}

TEST_F(NetListen, OwnNamespaceListensOnEveryAddressAsTheBoard) {
    NetNamespacePair ns;
    ASSERT_TRUE(ns.Create("10.9.0.1/24")) << ns.Error();
    fw.SetNetNamespace(ns.Controller());
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
    std::vector<std::string> v = Sockets("0.0.0.0", "ip netns exec " + ns.Controller() + " ");
    EXPECT_TRUE(Has(v, "0.0.0.0:" + Port())) << Join(v);
    fw.Signal(SIGTERM);
    fw.WaitExit(kStartMs);
}

}  // namespace
