// DNS resolver against dnsmasq in a network namespace of the test's own
// (never forwarding), and against a silent server played by the test, which
// also sends forged answers. Time comes from the hand-advanced clock.
#include "remote/dnsClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_namespace.h"
#include "testsupport/temp_root.h"

namespace {


std::vector<u8> Bytes(std::initializer_list<int> v) { return std::vector<u8>(v.begin(), v.end()); }

TEST(DnsQuery, BytesAndRefusedNames) {
    u8 q[kDnsMessageBytes];
    u32 n = Dns_BuildQuery(q, sizeof q, 1, "abcdef.ghijklm");
    std::vector<u8> expect = Bytes({1, 0, 1, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 6, 'a', 'b', 'c', 'd', 'e', 'f', 7, 'g', 'h',
                                    'i', 'j', 'k', 'l', 'm', 0, 0, 1, 0, 1});
    EXPECT_EQ(std::vector<u8>(q, q + n), expect);
    EXPECT_EQ(Dns_BuildQuery(q, sizeof q, 0x0102, "a."), 12u + 3 + 4);  // a final dot closes the name
    EXPECT_EQ(q[0], 2);
    EXPECT_EQ(q[1], 1);
    const std::string label63(63, 'x'), label64(64, 'x');
    std::string name249, name250;
    while (name249.size() + 50 <= 249) name249 += std::string(49, 'y') + ".";
    name249 += std::string(249 - name249.size(), 'z');
    name250 = name249 + "z";
    struct {
        std::string name;
        bool ok;
    } cases[] = {{label63 + ".test", true}, {label64 + ".test", false}, {name249, true}, {name250, false},
                 {"", false},              {".", false},              {"a..b", false}, {".a", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Dns_BuildQuery(q, sizeof q, 1, c.name.c_str()) != 0, c.ok);
    }
}

class DnsResolver : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        Dns_Reset();
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        ns_.PeerIp("addr add 10.9.0.3/24 dev p0");
        ns_.PeerIp("addr add 10.9.0.4/24 dev p0");
        ns_.CtlIp("addr add 10.9.0.2/24 dev eth0");
        ns_.CtlIp("link set eth0 up");
        pidFile_ = root_.Dir() + "/dnsmasq.pid";
        int st = -1;
        std::string out = ns_.InPeer("dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address=10.9.0.1 "
                                     "--user=root --pid-file=" + pidFile_ +
                                         " --host-record=broker.test,10.9.0.77 --host-record=second.test,10.9.0.88"
                                         " --cname=alias.test,broker.test 2>&1",
                                     &st);
        ASSERT_EQ(st, 0) << out;
        std::vector<u8> pid;
        ASSERT_TRUE(File_ReadAll(pidFile_, pid, 64));
        dnsmasq_ = std::atoi(std::string(pid.begin(), pid.end()).c_str());
        ASSERT_GT(dnsmasq_, 0);
        ResolvConf("# test\nnameserver 10.9.0.1\r\nnameserver 10.9.0.3\n");
    }
    void TearDown() override {
        Dns_Reset();
        if (dnsmasq_ > 0) kill(dnsmasq_, SIGTERM);
        if (fake_ >= 0) close(fake_);
    }
    void ResolvConf(const std::string& text) {
        std::string dir = root_.Path("/etc");
        Shell("mkdir -p " + dir);
        std::ofstream(root_.Path("/etc/resolv.conf")) << text;
    }
    static std::string Shell(const std::string& c) { return std::system(c.c_str()) == 0 ? "" : "failed"; }

    // One step inside the controller's namespace, where the socket is made.
    int Step(const char* name, std::string* address) {
        char out[16] = {};
        int r = -100;
        InNetNamespace(ns_.Controller(), [&] { r = dnsResolve(name, out); });
        if (address != nullptr && r == 0) *address = out;
        return r;
    }
    // Waits (bounded) until the lookup's socket has input.
    static void AwaitInput(const char* name) {
        const DnsFlowCtrl* l = Dns_Lookup(name);
        if (l == nullptr || l->socket < 0) return;
        pollfd p{l->socket, POLLIN, 0};
        poll(&p, 1, 2000);
    }
    int Resolve(const char* name, std::string* address) {
        for (int k = 0; k < 20; ++k) {
            int r = Step(name, address);
            if (r <= 0) return r;
            if (r == kDnsPending) AwaitInput(name);
        }
        return -100;
    }
    // The test's own server socket at 10.9.0.3 (silent unless told).
    void FakeServer() {
        InNetNamespace(ns_.Peer(), [&] {
            fake_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(53);
            a.sin_addr.s_addr = htonl(0x0A090003);
            if (bind(fake_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(fake_);
                fake_ = -1;
            }
        });
        ASSERT_GE(fake_, 0);
    }
    // Reads a query at the fake server: its bytes and the sender.
    std::vector<u8> ReadQuery(sockaddr_in* from) {
        pollfd p{fake_, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return {};
        u8 b[1024];
        socklen_t len = sizeof *from;
        ssize_t n = recvfrom(fake_, b, sizeof b, 0, reinterpret_cast<sockaddr*>(from), &len);
        return n > 0 ? std::vector<u8>(b, b + n) : std::vector<u8>{};
    }
    // An answer to the query with one A record, sent from source (address
    // and port) in the peer namespace.
    void Answer(const std::vector<u8>& query, const sockaddr_in& to, u32 source, u16 port, const u8 ip[4]) {
        std::vector<u8> a = query;
        a[2] |= 0x80;
        a[7] = 1;
        std::vector<u8> rr = Bytes({0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4});
        a.insert(a.end(), rr.begin(), rr.end());
        a.insert(a.end(), ip, ip + 4);
        InNetNamespace(ns_.Peer(), [&] {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in s{};
            s.sin_family = AF_INET;
            s.sin_port = htons(port);
            s.sin_addr.s_addr = htonl(source);
            if (port == 53 && source == 0x0A090003) {
                sendto(fake_, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            } else if (bind(fd, reinterpret_cast<sockaddr*>(&s), sizeof s) == 0) {
                sendto(fd, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
            close(fd);
        });
    }

    TempRoot root_;
    ManualClock clock_;
    NetNamespacePair ns_;
    std::string pidFile_;
    int dnsmasq_ = 0;
    int fake_ = -1;
};

TEST_F(DnsResolver, AgainstDnsmasq) {
    std::string a;
    EXPECT_EQ(Resolve("broker.test", &a), 0);
    EXPECT_EQ(a, "10.9.0.77");
    EXPECT_EQ(Resolve("alias.test", &a), 0);  // a CNAME, then the A record
    EXPECT_EQ(a, "10.9.0.77");
    EXPECT_EQ(Resolve("unknown.test", &a), kDnsNoAddress);
    // Two callers interleaved: each gets the address of its own name.
    std::string first, second;
    int r1 = 1, r2 = 1;
    for (int k = 0; k < 40 && (r1 > 0 || r2 > 0); ++k) {
        if (r1 > 0) r1 = Step("broker.test", &first);
        if (r2 > 0) r2 = Step("second.test", &second);
        if (r1 == kDnsPending) AwaitInput("broker.test");
        if (r2 == kDnsPending) AwaitInput("second.test");
    }
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, 0);
    EXPECT_EQ(first, "10.9.0.77");
    EXPECT_EQ(second, "10.9.0.88");
}

TEST_F(DnsResolver, SilentServerForgedAnswersAndIdentifiers) {
    FakeServer();
    ResolvConf("nameserver 10.9.0.3\n");
    const u8 forged[4] = {6, 6, 6, 6}, right[4] = {10, 9, 0, 99};
    // The first query after start carries 01 00; answers from another port,
    // or from another address, are ignored; the server's own is taken.
    ASSERT_EQ(Step("abcdef.ghijklm", nullptr), kDnsStep);
    ASSERT_EQ(Step("abcdef.ghijklm", nullptr), kDnsPending);
    sockaddr_in client{};
    std::vector<u8> q = ReadQuery(&client);
    ASSERT_GE(q.size(), 12u);
    EXPECT_EQ(q[0], 1);
    EXPECT_EQ(q[1], 0);
    Answer(q, client, 0x0A090003, 5353, forged);
    Answer(q, client, 0x0A090004, 53, forged);
    AwaitInput("abcdef.ghijklm");
    EXPECT_EQ(Step("abcdef.ghijklm", nullptr), kDnsPending);
    Answer(q, client, 0x0A090003, 53, right);
    std::string a;
    EXPECT_EQ(Resolve("abcdef.ghijklm", &a), 0);
    EXPECT_EQ(a, "10.9.0.99");
    // Silence: -6 once 10 s have passed, not before.
    ASSERT_EQ(Step("broker.test", nullptr), kDnsStep);
    ASSERT_EQ(Step("broker.test", nullptr), kDnsPending);
    q = ReadQuery(&client);
    ASSERT_GE(q.size(), 2u);
    EXPECT_EQ(q[0], 2);
    EXPECT_EQ(q[1], 0);
    clock_.AdvanceTicks(kDnsAnswerTicks - 1);
    EXPECT_EQ(Step("broker.test", nullptr), kDnsPending);
    clock_.AdvanceTicks(1);
    EXPECT_EQ(Step("broker.test", nullptr), kDnsTimeout);
    EXPECT_EQ(Dns_Lookup("broker.test"), nullptr);
}

TEST_F(DnsResolver, MissingResolverFile) {
    unlink(root_.Path("/etc/resolv.conf").c_str());
    EXPECT_EQ(Step("broker.test", nullptr), kDnsNoResolvConf);
}

}  // namespace
