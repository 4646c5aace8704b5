// DHCP client against replies made by the test: the client's packet socket
// lives on eth0 of a network namespace of the test's own, the test reads
// the client's frames and answers from the peer end p0 with a packet socket
// of its own. Time comes from the hand-advanced clock.
#include "remote/dhcpClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

#include "platform/nx_api.h"
#include "platform/root.h"
#include "platform/system.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_namespace.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u8 kMac[6] = {0x02, 0x50, 0x4C, 0x12, 0x34, 0x56};
constexpr u32 kServer = 0x0A090001;  // 10.9.0.1
constexpr u32 kOffered = 0x0A090032; // 10.9.0.50


struct Option {
    u8 code;
    std::vector<u8> value;
};
std::vector<u8> Be32(u32 v) { return {u8(v >> 24), u8(v >> 16), u8(v >> 8), u8(v)}; }

// A server's reply message.
std::vector<u8> Reply(u32 xid, const u8* chaddr, u32 yiaddr, const std::vector<Option>& options) {
    std::vector<u8> m(240, 0);
    m[0] = 2;
    m[1] = 1;
    m[2] = 6;
    PutBe32(&m[4], xid);
    PutBe32(&m[16], yiaddr);
    std::memcpy(&m[28], chaddr, 6);
    m[236] = 99, m[237] = 130, m[238] = 83, m[239] = 99;
    for (const Option& o : options) {
        m.push_back(o.code);
        m.push_back(static_cast<u8>(o.value.size()));
        m.insert(m.end(), o.value.begin(), o.value.end());
    }
    m.push_back(255);
    while (m.size() < 300) m.push_back(0);
    return m;
}

enum class Sum { Right, Zero, WrongIp };

// IPv4 and UDP around a message, from the server to the client port.
std::vector<u8> Frame(const std::vector<u8>& message, Sum sum = Sum::Right) {
    std::vector<u8> f(28 + message.size(), 0);
    f[0] = 0x45;
    PutBe16(&f[2], static_cast<u16>(f.size()));
    f[8] = 64;
    f[9] = 17;
    PutBe32(&f[12], kServer);
    PutBe32(&f[16], 0xFFFFFFFF);
    PutBe16(&f[10], Dhcp_Checksum(f.data(), 20));
    if (sum == Sum::WrongIp) f[10] ^= 0x55;
    PutBe16(&f[20], 67);
    PutBe16(&f[22], 68);
    PutBe16(&f[24], static_cast<u16>(8 + message.size()));
    std::memcpy(&f[28], message.data(), message.size());
    if (sum != Sum::Zero) {
        u32 pseudo = (kServer >> 16) + (kServer & 0xFFFF) + 0xFFFF + 0xFFFF + 17 + 8 + message.size();
        u16 c = Dhcp_Checksum(&f[20], static_cast<u32>(8 + message.size()), pseudo);
        PutBe16(&f[26], c == 0 ? 0xFFFF : c);
    }
    return f;
}

// The options of a sent message as code -> value.
std::vector<Option> Options(const std::vector<u8>& m) {
    std::vector<Option> out;
    for (size_t at = 240; at + 1 < m.size() && m[at] != 255;) {
        if (m[at] == 0) {
            ++at;
            continue;
        }
        size_t len = m[at + 1];
        out.push_back({m[at], std::vector<u8>(m.begin() + at + 2, m.begin() + at + 2 + len)});
        at += 2 + len;
    }
    return out;
}
const Option* Find(const std::vector<Option>& opts, u8 code) {
    for (const Option& o : opts)
        if (o.code == code) return &o;
    return nullptr;
}

class DhcpClient : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        ns_.CtlIp("link set eth0 address 02:50:4c:12:34:56");
        ns_.CtlIp("link set eth0 up");
        std::memcpy(tinyImage + kTinyMac0, kMac, 6);
        Dhcp_Reset();
        Nx_Reset();
        u32 r = 1;
        // Made inside, the client's socket stays on eth0 of the namespace.
        ASSERT_TRUE(InNetNamespace(ns_.Controller(), [&] { r = dhcpInit(0, 1); }));
        ASSERT_EQ(r, 0u);
        ASSERT_TRUE(InNetNamespace(ns_.Peer(), [&] {
            peer_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
            sockaddr_ll a{};
            a.sll_family = AF_PACKET;
            a.sll_protocol = htons(ETH_P_IP);
            a.sll_ifindex = static_cast<int>(if_nametoindex("p0"));
            peerIndex_ = a.sll_ifindex;
            int on = 1;
            // What the test itself sends is not read back.
            if (setsockopt(peer_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0 ||
                bind(peer_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                peer_ = -1;
        }));
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
        Dhcp_Reset();
        Nx_Reset();
    }

    DhcpPortState& S() { return dhcpProcCtrl[0]; }

    // The next frame the client sent (UDP to port 67), or empty.
    std::vector<u8> ClientFrame() {
        for (int k = 0; k < 50; ++k) {
            pollfd p{peer_, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) return {};
            std::vector<u8> f(2048);
            ssize_t n = recv(peer_, f.data(), f.size(), 0);
            if (n >= 28 && f[9] == 17 && GetBe16(&f[22]) == 67) {
                f.resize(static_cast<size_t>(n));
                return f;
            }
        }
        return {};
    }
    static std::vector<u8> MessageOf(const std::vector<u8>& frame) {
        return std::vector<u8>(frame.begin() + 28, frame.end());
    }
    // Steps the client until it has sent a frame.
    std::vector<u8> StepToSend() {
        for (int k = 0; k < 4 && S().state != kDhcpWait; ++k) dhcpScan(1, 0);
        return ClientFrame();
    }
    // Sends a frame from the peer and waits until the client's socket holds it.
    void Inject(const std::vector<u8>& frame) {
        sockaddr_ll a{};
        a.sll_family = AF_PACKET;
        a.sll_protocol = htons(ETH_P_IP);
        a.sll_ifindex = peerIndex_;
        a.sll_halen = 6;
        std::memset(a.sll_addr, 0xFF, 6);
        ASSERT_EQ(sendto(peer_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(frame.size()));
        pollfd p{S().socket, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
    }
    // Runs DISCOVER, OFFER, REQUEST, ACK with the given ACK options.
    void Lease(const std::vector<Option>& ackOptions) {
        std::vector<u8> d = MessageOf(StepToSend());
        ASSERT_FALSE(d.empty());
        Inject(Frame(Reply(GetBe32(&d[4]), kMac, kOffered, {{53, {2}}, {54, Be32(kServer)}})));
        dhcpScan(1, 0);
        std::vector<u8> r = MessageOf(StepToSend());
        ASSERT_FALSE(r.empty());
        std::vector<Option> ack = {{53, {5}}, {54, Be32(kServer)}};
        ack.insert(ack.end(), ackOptions.begin(), ackOptions.end());
        Inject(Frame(Reply(GetBe32(&r[4]), kMac, kOffered, ack)));
        dhcpScan(1, 0);
        ASSERT_EQ(S().bound, 1);
        std::vector<u8> inform = MessageOf(StepToSend());  // every ACK is followed by one INFORM
        ASSERT_FALSE(inform.empty());
        EXPECT_EQ(Find(Options(inform), 53)->value, std::vector<u8>{8});
        clock_.AdvanceTicks(kDhcpReplyTicks);
        dhcpScan(1, 0);
        ASSERT_EQ(S().state, kDhcpIdle);
    }

    TempRoot root_;
    ManualClock clock_;
    NetNamespacePair ns_;
    int peer_ = -1;
    int peerIndex_ = 0;
};

TEST_F(DhcpClient, RepliesTable) {
    const u8 otherMac[6] = {0x02, 0x50, 0x4C, 0, 0, 9};
    struct Case {
        const char* what;
        std::function<std::vector<u8>(u32 xid)> frame;
        bool taken;  // the offer leads to a REQUEST
    } cases[] = {
        {"offer with the type not first",
         [&](u32 x) { return Frame(Reply(x, kMac, kOffered, {{54, Be32(kServer)}, {1, Be32(0xFFFFFF00)}, {53, {2}}})); },
         true},
        {"udp checksum 0", [&](u32 x) { return Frame(Reply(x, kMac, kOffered, {{53, {2}}}), Sum::Zero); }, true},
        {"foreign xid", [&](u32 x) { return Frame(Reply(x + 1, kMac, kOffered, {{53, {2}}})); }, false},
        {"foreign chaddr", [&](u32 x) { return Frame(Reply(x, otherMac, kOffered, {{53, {2}}})); }, false},
        {"wrong ip checksum", [&](u32 x) { return Frame(Reply(x, kMac, kOffered, {{53, {2}}}), Sum::WrongIp); },
         false},
        {"no type", [&](u32 x) { return Frame(Reply(x, kMac, kOffered, {{54, Be32(kServer)}})); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Dhcp_Reset();
        ASSERT_TRUE(InNetNamespace(ns_.Controller(), [&] { dhcpInit(0, 1); }));
        std::vector<u8> d = MessageOf(StepToSend());
        ASSERT_FALSE(d.empty());
        Inject(c.frame(GetBe32(&d[4])));
        dhcpScan(1, 0);
        if (c.taken) {
            EXPECT_EQ(S().kind, kDhcpRequest);
            std::vector<u8> r = MessageOf(StepToSend());
            ASSERT_FALSE(r.empty());
            std::vector<Option> o = Options(r);
            EXPECT_EQ(Find(o, 53)->value, std::vector<u8>{3});
            ASSERT_NE(Find(o, 50), nullptr);
            EXPECT_EQ(Find(o, 50)->value, Be32(kOffered));
            EXPECT_EQ(GetBe32(&r[4]), GetBe32(&d[4]));  // the exchange keeps its ID
        } else {
            // Refused or ignored: still waiting for the offer, nothing sent.
            EXPECT_NE(S().kind, kDhcpRequest);
            pollfd p{peer_, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 0), 0);
        }
    }
}

TEST_F(DhcpClient, NakRestartsWithNewDiscover) {
    std::vector<u8> d = MessageOf(StepToSend());
    ASSERT_FALSE(d.empty());
    Inject(Frame(Reply(GetBe32(&d[4]), kMac, kOffered, {{53, {2}}, {54, Be32(kServer)}})));
    dhcpScan(1, 0);
    std::vector<u8> r = MessageOf(StepToSend());
    Inject(Frame(Reply(GetBe32(&r[4]), kMac, 0, {{53, {6}}, {54, Be32(kServer)}})));
    dhcpScan(1, 0);
    EXPECT_EQ(S().state, kDhcpIdle);
    std::vector<u8> again = MessageOf(StepToSend());
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(Find(Options(again), 53)->value, std::vector<u8>{1});
    EXPECT_NE(GetBe32(&again[4]), GetBe32(&d[4]));  // a new exchange, a new ID
    EXPECT_TRUE(dhcpBusy(0));
}

TEST_F(DhcpClient, OptionsPastTheReceivedLengthAreNotRead) {
    std::vector<u8> d = MessageOf(StepToSend());
    std::vector<u8> m = Reply(GetBe32(&d[4]), kMac, kOffered, {{53, {2}}, {54, Be32(kServer)}});
    m.resize(240 + 3 + 6);  // type and server identifier only
    m.push_back(51);        // lease time, its value cut off by the frame's end
    m.push_back(4);
    m.push_back(0x7F);
    m.push_back(0x7F);
    Inject(Frame(m));
    dhcpScan(1, 0);
    EXPECT_EQ(S().kind, kDhcpRequest);
    EXPECT_EQ(dhcpOffered[0].server, kServer);
    EXPECT_EQ(dhcpOffered[0].leaseTime, 0u);
    // An option shorter than its value is not read either.
    DhcpLease lease{};
    std::vector<u8> shortMask = Reply(1, kMac, kOffered, {{1, {255, 255}}, {3, Be32(kServer)}});
    Dhcp_ReadOptions(shortMask.data(), static_cast<u32>(shortMask.size()), lease);
    EXPECT_EQ(lease.mask, 0u);
    EXPECT_EQ(lease.router, kServer);
}

TEST_F(DhcpClient, RenewsAfter300sWithoutT1AndReleasesWhenSwitchedOff) {
    Lease({{1, Be32(0xFFFFFF00)}, {3, Be32(kServer)}, {6, Be32(0x0A090001)}});
    u32 v = 0;
    u8 acquisition = 9;
    getFromDhcp(&v, &acquisition, 0, 0);
    EXPECT_EQ(v, kOffered);
    EXPECT_EQ(acquisition, kDhcpHeld);
    getFromDhcp(&v, &acquisition, 1, 0);
    EXPECT_EQ(v, 0xFFFFFF00u);
    // Nothing before 300 s.
    clock_.AdvanceMs(300000 - 6000 - 1000);
    for (int k = 0; k < 3; ++k) dhcpScan(1, 0);
    pollfd p{peer_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    clock_.AdvanceMs(1000);
    std::vector<u8> f = StepToSend();
    ASSERT_FALSE(f.empty());
    std::vector<u8> m = MessageOf(f);
    EXPECT_EQ(GetBe32(&f[16]), kServer);  // to the server, in a broadcast frame
    EXPECT_EQ(GetBe32(&f[12]), 0u);
    EXPECT_EQ(GetBe32(&m[12]), kOffered);  // ciaddr
    EXPECT_EQ(Find(Options(m), 53)->value, std::vector<u8>{3});
    EXPECT_EQ(Find(Options(m), 54), nullptr);
    // The lease stays in force while the renewal is answered.
    EXPECT_FALSE(dhcpBusy(0));
    Inject(Frame(Reply(GetBe32(&m[4]), kMac, kOffered, {{53, {5}}, {54, Be32(kServer)}})));
    dhcpScan(1, 0);
    EXPECT_EQ(S().bound, 1);
    ASSERT_FALSE(StepToSend().empty());  // the INFORM after it
    clock_.AdvanceTicks(kDhcpReplyTicks);
    dhcpScan(1, 0);
    // Switched off: one RELEASE to the server, acquisition 2.
    for (int k = 0; k < 3; ++k) dhcpScan(0, 0);
    std::vector<u8> rel = ClientFrame();
    ASSERT_FALSE(rel.empty());
    EXPECT_EQ(Find(Options(MessageOf(rel)), 53)->value, std::vector<u8>{7});
    EXPECT_EQ(GetBe32(&rel[16]), kServer);
    EXPECT_EQ(Find(Options(MessageOf(rel)), 54)->value, Be32(kServer));
    getFromDhcp(&v, &acquisition, 0, 0);
    EXPECT_EQ(acquisition, kDhcpReleased);
}

// The lease ends when renewals go unanswered for its whole time: the
// address is given up once and a new DISCOVER starts.
TEST_F(DhcpClient, UnansweredRenewalsEndTheLease) {
    Lease({{51, Be32(120)}, {58, Be32(10)}});
    clock_.AdvanceMs(10000);
    std::vector<u8> renew = MessageOf(StepToSend());
    ASSERT_FALSE(renew.empty());
    clock_.AdvanceTicks(kDhcpReplyTicks);
    dhcpScan(1, 0);
    EXPECT_FALSE(dhcpBusy(0));  // held until the lease ends
    clock_.AdvanceMs(60000);
    EXPECT_FALSE(MessageOf(StepToSend()).empty());  // tried again
    clock_.AdvanceMs(60000);
    for (int k = 0; k < 4; ++k) dhcpScan(1, 0);
    EXPECT_TRUE(dhcpBusy(0));
    EXPECT_TRUE(dhcpLeaseLost(0));
    EXPECT_FALSE(dhcpLeaseLost(0));  // once
    std::vector<u8> d;
    for (std::vector<u8> x = ClientFrame(); !x.empty(); x = ClientFrame())
        if (Find(Options(MessageOf(x)), 53)->value == std::vector<u8>{1}) {
            d = x;
            break;
        }
    EXPECT_FALSE(d.empty());
}

// Outside a namespace of its own the client opens nothing and stays
// acquiring; an interface that does not exist is refused with 67, never
// bound to every interface.
TEST_F(DhcpClient, HostNamespaceSilentAndMissingInterfaceRefused) {
    Dhcp_Reset();
    Nx_Reset();
    EXPECT_EQ(dhcpInit(0, 1), 0u);
    EXPECT_LT(S().socket, 0);
    for (int k = 0; k < 5; ++k) dhcpScan(1, 0);
    EXPECT_TRUE(dhcpBusy(0));
    u32 r = 0;
    Nx_Reset();
    ASSERT_TRUE(InNetNamespace(ns_.Controller(), [&] { r = dhcpInit(1, 1); }));
    EXPECT_EQ(r, 67u);
    EXPECT_LT(dhcpProcCtrl[1].socket, 0);
}

}  // namespace
