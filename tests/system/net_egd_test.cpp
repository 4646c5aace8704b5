// System test: two controllers, each in a network namespace of its own
// joined by a veth pair (both ends named eth0), exchange register blocks
// over Ethernet Global Data both ways, unicast and by the group 224.0.7.5.
// tshark's own EGD dissector decodes what they send; the registers and the
// consumers' status words are read over SRTP inside each namespace; the
// producer leaves run mode and comes back through the programming link. Both
// controllers run on clocks the test drives in step.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "net/egd.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
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

// A socket in namespace ns that takes the datagrams sent to the group on
// its eth0 (bound to the group's address, so the controller there keeps its
// unicast ones); -1 on failure.
int GroupListener(const std::string& ns) {
    int fd = -1;
    InNetNamespace(
        ns,
        [](void* p) {
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int on = 1;
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(18246);
            sa.sin_addr.s_addr = htonl(NetAddr(224, 0, 7, 5));
            ip_mreqn m{};
            m.imr_multiaddr.s_addr = sa.sin_addr.s_addr;
            m.imr_ifindex = static_cast<int>(if_nametoindex("eth0"));
            if (s >= 0 && (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                           bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                           setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0)) {
                close(s);
                s = -1;
            }
            *static_cast<int*>(p) = s;
        },
        &fd);
    return fd;
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
        clockA_.emplace(rootA_.Dir());
        clockB_.emplace(dirB_);
    }
    void TearDown() override {
        for (FirmwareProcess* p : {&a_, &b_})
            if (p->Running()) p->Signal(SIGTERM);
        AdvanceUntil([&] { return !a_.Running() && !b_.Running(); }, 20000, 10);
        for (FirmwareProcess* p : {&a_, &b_})
            if (p->Running()) p->WaitExit(kStartMs);
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
    // Both controllers' clocks, in steps of stepMs.
    bool Advance(u64 ms, u64 stepMs) {
        for (u64 done = 0; done < ms; done += stepMs)
            if (!clockA_->Advance(stepMs, stepMs) || !clockB_->Advance(stepMs, stepMs)) return false;
        return true;
    }
    bool AdvanceUntil(const std::function<bool()>& condition, u64 maxMs, u64 stepMs) {
        for (u64 done = 0; !condition(); done += stepMs)
            if (done >= maxMs || !Advance(stepMs, stepMs)) return false;
        return true;
    }
    // Advances until word of the controller behind c reads value.
    bool WaitWord(SrtpClient& c, u16 word, int value, int* last) {
        return AdvanceUntil([&] { return (*last = ReadWord(c, word)) == value; }, 10000, 20);
    }

    TempRoot rootA_;
    std::optional<BoardClock> clockA_, clockB_;
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
    const int group = GroupListener(ns_.Peer());
    ASSERT_GE(group, 0);
    ASSERT_TRUE(a_.Start());
    ASSERT_TRUE(b_.Start());
    auto running = [](FirmwareProcess& p) { return p.Output().find("main loop running") != std::string::npos; };
    ASSERT_TRUE(AdvanceUntil([&] { return running(a_) && running(b_); }, 20000, 10)) << a_.Output() << b_.Output();

    SrtpClient ca, cb;
    ASSERT_TRUE(AdvanceUntil([&] { return SrtpIn(ns_.Peer(), kA, ca); }, 10000, 50));
    ASSERT_TRUE(AdvanceUntil([&] { return SrtpIn(ns_.Controller(), kB, cb); }, 10000, 50));
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

    // Periods on the controllers' time: what reaches the group, read every
    // 5 ms of it, leaves every 200 ms.
    constexpr u64 kStepMs = 5;
    std::map<u32, std::vector<u64>> sent;  // by producer address
    u8 datagram[1500];
    while (recv(group, datagram, sizeof datagram, 0) > 0) {
    }
    for (u64 t = 0; t < 1400; t += kStepMs) {
        ASSERT_TRUE(Advance(kStepMs, kStepMs));
        sockaddr_in from{};
        socklen_t len = sizeof from;
        while (recvfrom(group, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &len) > 0)
            sent[ntohl(from.sin_addr.s_addr)].push_back(clockA_->ElapsedMs());
    }
    close(group);
    for (u32 producer : {kA, kB}) {
        SCOPED_TRACE(producer == kA ? "controller A" : "controller B");
        const std::vector<u64>& at = sent[producer];
        ASSERT_GE(at.size(), 6u);
        for (size_t i = 1; i < at.size(); ++i) {
            EXPECT_GE(at[i] - at[i - 1], kPeriodMs - kStepMs) << i;
            EXPECT_LE(at[i] - at[i - 1], kPeriodMs + kStepMs) << i;
        }
    }

    // What went on the wire, decoded by tshark's dissector (the capture is
    // ended now; its own limit is a guard).
    Shell("pkill -INT -f '" + pcap + "'");
    ASSERT_TRUE(WaitUntil([&] { return Shell("cat " + log).find("captured") != std::string::npos; }, 60000))
        << Shell("cat " + log);
    std::string malformed = Tshark("-r " + pcap + " -Y '_ws.malformed || _ws.expert.severity >= 6291456'");
    EXPECT_EQ(malformed, "") << malformed;
    std::string fields = Tshark("-r " + pcap +
                               " -T fields -E separator=, -e ip.dst -e egd.type -e egd.ver"
                               " -e egd.rid -e egd.pid -e egd.exid");
    struct Seen {
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
        ASSERT_EQ(f.size(), 6u) << line;
        EXPECT_EQ(f[1], "13") << line;
        EXPECT_EQ(f[2], "1") << line;
        Seen& s = byExchange[f[4] + "/" + f[5]];
        s.requests.push_back(std::stoi(f[3]));
        s.dst = f[0];
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
        // Numbers start at 0 after start-up. A unicast datagram may meet a peer
        // whose address is not on yet: the kernel drops it when the peer's
        // ARP goes unanswered, so there the first seen may be 1.
        EXPECT_LE(s.requests.front(), dst == "224.0.7.5" ? 0 : 1) << key;
        for (size_t i = 1; i < s.requests.size(); ++i) EXPECT_EQ(s.requests[i], s.requests[i - 1] + 1) << key;
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
