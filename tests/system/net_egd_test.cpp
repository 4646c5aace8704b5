// System test: two controllers, each in a network namespace of its own
// joined by a veth pair (both ends named eth0), exchange register blocks
// over Ethernet Global Data both ways, unicast and by the group 224.0.7.5.
// tshark's own EGD dissector decodes what they send; the registers and the
// consumers' status words are read over SRTP inside each namespace; the
// producer leaves run mode and comes back through the programming link.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "net/egd.h"
#include "platform/fileio.h"
#include "testsupport/firmware_process.h"
#include "testsupport/link_host.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_controller.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/srtp_client.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kA = NetAddr(10, 9, 0, 2), kB = NetAddr(10, 9, 0, 3);
constexpr u32 kPeriodMs = 200, kTimeoutMs = 1000;
constexpr u32 R(u32 word) { return 0x8000 + 16 * (word - 1); }

// One controller's configuration: it produces exchanges `unicast` (to the
// other) and `unicast + 1` (to group 5), and consumes the other's two.
std::vector<u8> Config(u32 self, u32 other, u32 produced, u32 consumed) {
    NetStreamBuilder s(self, NetAddr(255, 255, 255, 0));
    s.Services(0, 0);
    const u32 consumer = kEgdConfigured, producer = kEgdConfigured | kEgdProducer;
    s.Egd(producer, {produced, other, kPeriodMs, 0}, {{R(1), 4}});
    s.Egd(producer | kEgdMulticast, {produced + 1, 5, kPeriodMs, 0}, {{R(3), 2}});
    s.Egd(consumer, {consumed, other, 0, kTimeoutMs}, {{R(100), 4}, {R(60), 0x8002}});
    s.Egd(consumer | kEgdMulticast, {consumed + 1, other, 5, kTimeoutMs}, {{R(102), 2}, {R(61), 0x8002}});
    return NetIoConfig(s.Build());
}

struct ConnectArg {
    u32 address;
    int fd;
};

// A TCP connection to address:18245 made inside a namespace; -1 when none
// comes within two seconds.
void ConnectSrtp(void* p) {
    ConnectArg* a = static_cast<ConnectArg*>(p);
    a->fd = -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(18245);
    sa.sin_addr.s_addr = htonl(a->address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        close(fd);
        return;
    }
    pollfd w{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&w, 1, 2000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    a->fd = fd;
}

// An SRTP connection to the controller at address, made from the other
// controller's namespace: the server's sockets are bound to its eth0.
bool SrtpIn(const std::string& ns, u32 address, SrtpClient& c) {
    ConnectArg arg{address, -1};
    if (!InNetNamespace(ns, ConnectSrtp, &arg) || arg.fd < 0) return false;
    c.Adopt(arg.fd);
    return c.Handshake();
}

// Output of a tshark run without its warning about running as root.
std::string Tshark(const std::string& args) {
    std::istringstream in(Shell("tshark " + args + " 2>/dev/null"));
    std::string out, line;
    while (std::getline(in, line))
        if (line.find("Running as user") == std::string::npos) out += line + "\n";
    return out;
}

int ReadWord(SrtpClient& c, u16 word) {
    SrtpReply a;
    if (!c.Ask(SrtpRead(word, 8, static_cast<u16>(word - 1), 1), &a) || a.Kind() != 0xD4) return -1;
    return GetLe16(&a.header[44]);
}

class NetEgdSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ns_.Create()) << ns_.Error();
        // The peer's end becomes the second controller's eth0.
        ns_.PeerIp("link set p0 name eth0");
        ASSERT_NE(ns_.PeerIp("link show eth0").find("eth0"), std::string::npos);
        dirB_ = rootA_.Dir() + "-b";
        ASSERT_EQ(system(("mkdir -p " + dirB_).c_str()), 0);
        ASSERT_EQ(system(("mkdir -p " + rootA_.Dir() + "/dev").c_str()), 0);
        ASSERT_TRUE(pty_.Open(rootA_.Dir() + "/dev/ttySP3"));
        std::string why;
        ASSERT_TRUE(NetPrepareController(rootA_.Dir(), Config(kA, kB, 1, 3), 2, Setup(rootA_.Dir(), ns_.Controller()), &why)) << why;
        ASSERT_TRUE(NetPrepareController(dirB_, Config(kB, kA, 3, 1), 2, Setup(dirB_, ns_.Peer()), &why)) << why;
        Setup(rootA_.Dir(), ns_.Controller())(a_);
        Setup(dirB_, ns_.Peer())(b_);
    }
    void TearDown() override {
        for (FirmwareProcess* p : {&a_, &b_})
            if (p->Running()) {
                p->Signal(SIGTERM);
                p->WaitExit(kStartMs);
            }
        ns_.Remove();
        Shell("rm -rf " + dirB_);
    }
    static std::function<void(FirmwareProcess&)> Setup(const std::string& root, const std::string& ns) {
        return [root, ns](FirmwareProcess& p) {
            p.SetEnv("PLC_ROOT", root);
            p.SetEnv("PLC_PORT_OFFSET", "");
            p.SetNetNamespace(ns);
        };
    }
    // Waits until word of the controller behind c reads value.
    bool WaitWord(SrtpClient& c, u16 word, int value, int* last) {
        return WaitUntil([&] { return (*last = ReadWord(c, word)) == value; }, kStartMs);
    }

    TempRoot rootA_;
    std::string dirB_;
    NetNamespacePair ns_;
    LinkPty pty_;
    FirmwareProcess a_, b_;
};

TEST_F(NetEgdSystem, TwoControllersExchangeUnicastAndMulticast) {
    const std::string pcap = rootA_.Dir() + "/egd.pcap", log = rootA_.Dir() + "/tshark.log";
    ns_.InPeer("timeout 60 tshark -i eth0 -f 'udp port 18246' -a duration:20 -w " + pcap + " >" + log +
               " 2>&1 &");
    ASSERT_TRUE(WaitUntil([&] { return Shell("cat " + log).find("Capturing on") != std::string::npos; }, kStartMs))
        << Shell("cat " + log);
    ASSERT_TRUE(a_.Start());
    ASSERT_TRUE(a_.WaitForOutput("main loop running", kStartMs)) << a_.Output();
    ASSERT_TRUE(b_.Start());
    ASSERT_TRUE(b_.WaitForOutput("main loop running", kStartMs)) << b_.Output();

    SrtpClient ca, cb;
    ASSERT_TRUE(WaitUntil([&] { return SrtpIn(ns_.Peer(), kA, ca); }, kStartMs));
    ASSERT_TRUE(WaitUntil([&] { return SrtpIn(ns_.Controller(), kB, cb); }, kStartMs));
    SrtpReply r;
    ASSERT_TRUE(ca.Ask(SrtpWrite(1, 8, 0, 3, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}), &r));
    ASSERT_TRUE(cb.Ask(SrtpWrite(1, 8, 0, 3, {0x11, 0x11, 0x22, 0x22, 0x33, 0x33}), &r));
    int last = -1;
    // Each consumer's status reaches 1, and the data arrive both ways.
    for (SrtpClient* c : {&ca, &cb})
        for (u16 word : {60, 61}) EXPECT_TRUE(WaitWord(*c, word, 1, &last)) << word << " " << last;
    EXPECT_TRUE(WaitWord(cb, 100, 0x1234, &last)) << last;  // unicast
    EXPECT_TRUE(WaitWord(cb, 101, 0x5678, &last)) << last;
    EXPECT_TRUE(WaitWord(cb, 102, 0x9ABC, &last)) << last;  // by the group
    EXPECT_TRUE(WaitWord(ca, 100, 0x1111, &last)) << last;
    EXPECT_TRUE(WaitWord(ca, 102, 0x3333, &last)) << last;

    // What went on the wire, decoded by tshark's dissector.
    ASSERT_TRUE(WaitUntil([&] { return Shell("cat " + log).find("captured") != std::string::npos; }, 60000))
        << Shell("cat " + log);
    std::string malformed = Tshark("-r " + pcap + " -Y '_ws.malformed || _ws.expert.severity >= 6291456'");
    EXPECT_EQ(malformed, "") << malformed;
    std::string fields = Tshark("-r " + pcap +
                               " -T fields -E separator=, -e frame.time_epoch -e ip.dst -e egd.type -e egd.ver"
                               " -e egd.rid -e egd.pid -e egd.exid");
    struct Seen {
        std::vector<double> times;
        std::vector<int> requests;
        std::string dst;
    };
    std::map<std::string, Seen> byExchange;  // producer/exchange
    std::istringstream in(fields);
    std::string line;
    int total = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ls(line);
        std::string part;
        while (std::getline(ls, part, ',')) f.push_back(part);
        ASSERT_EQ(f.size(), 7u) << line;
        EXPECT_EQ(f[2], "13") << line;
        EXPECT_EQ(f[3], "1") << line;
        Seen& s = byExchange[f[5] + "/" + f[6]];
        s.times.push_back(std::stod(f[0]));
        s.requests.push_back(std::stoi(f[4]));
        s.dst = f[1];
        ++total;
    }
    ASSERT_GT(total, 0) << fields;
    const std::map<std::string, std::string> expected = {
        {"10.9.0.2/0x00000001", "10.9.0.3"}, {"10.9.0.2/0x00000002", "224.0.7.5"},
        {"10.9.0.3/0x00000003", "10.9.0.2"}, {"10.9.0.3/0x00000004", "224.0.7.5"}};
    for (const auto& [key, dst] : expected) {
        auto it = byExchange.find(key);
        ASSERT_NE(it, byExchange.end()) << key << "\n" << fields;
        const Seen& s = it->second;
        EXPECT_EQ(s.dst, dst) << key;
        EXPECT_EQ(s.requests.front(), 0) << key;  // the first datagram after start-up
        for (size_t i = 1; i < s.requests.size(); ++i) EXPECT_EQ(s.requests[i], s.requests[i - 1] + 1) << key;
        // Periods: the median gap lies within one period plus a main-loop
        // pass. The first datagrams are left out (unicast ones wait together
        // for the peer's address to resolve), and so is the spread of single
        // gaps: on a loaded machine a pass may start late.
        std::vector<double> gaps;
        for (size_t i = 5; i < s.times.size(); ++i) gaps.push_back(1000 * (s.times[i] - s.times[i - 1]));
        ASSERT_GE(gaps.size(), 5u) << key;
        std::sort(gaps.begin(), gaps.end());
        const double median = gaps[gaps.size() / 2];
        EXPECT_GE(median, kPeriodMs - 2.0) << key;
        EXPECT_LE(median, kPeriodMs + 20.0) << key;
    }

    // The producer leaves run mode: its consumers time out (6); it comes
    // back: they recover (7).
    LinkHost host(pty_.Master());
    u8 node = 0;
    ASSERT_TRUE(host.NodeId(&node));
    ASSERT_EQ(host.SetMode(node, 0), 0xA0);
    EXPECT_TRUE(WaitWord(cb, 60, 6, &last)) << last;
    EXPECT_TRUE(WaitWord(cb, 61, 6, &last)) << last;
    ASSERT_EQ(host.SetMode(node, 2), 0xA0);
    EXPECT_TRUE(WaitWord(cb, 60, 7, &last)) << last;
    EXPECT_TRUE(WaitWord(cb, 61, 7, &last)) << last;
}

}  // namespace
