// Virtual serial channels: the port numbers and what they designate, and
// channels to socat devices on the far end of a veth pair (the controller's
// sockets live in a network namespace of the test's own), driven through the
// operations a protocol driver calls, on a hand-advanced clock.
#include "net/vcommetn.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cstring>
#include <functional>

#include <memory>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/promgr.h"
#include "net/dpr.h"
#include "remote/wifi.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/reg_fixture.h"

namespace {

constexpr u32 kMask = NetAddr(255, 255, 255, 0);
constexpr u32 kCtl = NetAddr(10, 9, 0, 2), kPeerA = NetAddr(10, 9, 0, 1), kPeerB = NetAddr(10, 9, 0, 3);
constexpr u32 R(u32 word) { return 0x8000 + 16 * (word - 1); }

alignas(8) u8 g_pool[300 * 1600];

// A protocol-driver section naming drivers by {port byte, version}.
void LoadDrivers(const std::vector<std::pair<u8, u16>>& drivers) {
    std::vector<u8> s(16 + 32 * drivers.size() + 32 * drivers.size(), 0);
    PutLe32(&s[0], static_cast<u32>(s.size()));
    PutLe32(&s[8], static_cast<u32>(drivers.size()));
    for (size_t i = 0; i < drivers.size(); ++i) {
        u32 config = static_cast<u32>(16 + 32 * drivers.size() + 32 * i);
        PutLe32(&s[16 + 32 * i + 4], config);
        PutLe16(&s[16 + 32 * i + 28], drivers[i].second);
        s[config + 1] = drivers[i].first;
    }
    std::memcpy(promgr_table, s.data(), s.size());
    promgr_table_bl.SetHeader(crc16(s.data(), static_cast<u32>(s.size())), static_cast<u32>(s.size()));
    NV_EditorFeatures |= kFeatPromgr;
}

// Open record of a driver above version 312.
std::vector<u8> Record(u32 address, u16 port, u16 transport, u16 options = 0, u32 local = 0) {
    std::vector<u8> r(24, 0);
    PutLe32(&r[0], address);
    PutLe32(&r[4], port);
    PutLe32(&r[8], local);
    PutLe16(&r[12], transport);
    PutLe16(&r[20], options);
    return r;
}

TEST(VCommPort, NumbersDesignateInterfaceAndChannel) {
    struct Case {
        u32 port;
        u8 wifiMode;
        int iface, channel;  // -1: refused
    } cases[] = {
        {0, 0, 0, 0},         {2, 0, 0, 2},         {3, 0, 0, 0},       {8, 0, 0, 5},       {98, 0, 0, 95},
        {0x2005, 0, 0, 5},    {0x4123, 0, 1, 0x43}, {0x8805, 2, 2, 5},  {0x8005, 2, 2, 5},  {0x205F, 0, 0, 95},
        {0x8805, 1, -1, -1},  {0x8005, 1, -1, -1},  {0x2060, 0, -1, -1}, {0x2F60, 0, -1, -1}, {0x0100, 0, -1, -1},
        {0x0163, 0, -1, -1},  {0x10000, 0, -1, -1},
    };
    for (const Case& c : cases) {
        wifiCntFlw.mode = c.wifiMode;
        int iface = -1, channel = -1;
        bool ok = EtnVCommPort(c.port, &iface, &channel);
        EXPECT_EQ(ok, c.iface >= 0) << std::hex << c.port;
        if (ok) {
            EXPECT_EQ(iface, c.iface) << std::hex << c.port;
            EXPECT_EQ(channel, c.channel) << std::hex << c.port;
        }
    }
    wifiCntFlw = WifiControl{};
}

class VCommChannels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        ns_.PeerIp("addr add 10.9.0.3/24 dev p0");
        ns_.CtlIp("link set eth0 up");
        stay_ = std::make_unique<NetNamespaceStay>(ns_.Controller());
        ASSERT_TRUE(stay_->Entered());
        Dpr_Reset();
        EtnVComm_Reset();
        ASSERT_TRUE(NetNamespaceEth0(&ip_, &pool_, g_pool, sizeof g_pool, kCtl, kMask));
        ASSERT_EQ(EtnVComm_Init(&ip_, &pool_), 0u);
        LoadDrivers({{0x20, 400}, {3, 300}});
    }
    void TearDown() override {
        EtnVComm_Reset();
        for (PeerProcess& p : peers_) p.Stop();
        nPeers_ = 0;
        stay_.reset();
        Dpr_Reset();
        Nx_Reset();
    }

    // Runs the socket poll and the condition until it holds (bounded guard).
    bool Pump(const std::function<bool()>& done, int rounds = 1000) {
        for (int i = 0; i < rounds; ++i) {
            EnetThread();
            if (done()) return true;
            Nx_IdleWait(10);
        }
        return false;
    }
    // Starts a socat device in the peer's namespace and waits until it listens.
    void Device(const std::string& args, const std::string& listenCheck) {
        ASSERT_LT(nPeers_, 4);
        ASSERT_TRUE(peers_[nPeers_++].Start(ns_.Peer(), "exec socat " + args));
        std::string probe = "ss -lnu; ss -lnt";
        bool up = false;
        for (int i = 0; i < 500 && !up; ++i) {
            up = ns_.InPeer(probe).find(listenCheck) != std::string::npos;
            if (!up) poll(nullptr, 0, 10);
        }
        ASSERT_TRUE(up) << ns_.InPeer(probe);
    }
    // Bytes the channel hands out until n arrived (or the guard ends).
    std::string Collect(u32 port, size_t n) {
        std::string got;
        Pump([&] {
            while (EtnVComm_CheckRx(port) == 1) {
                int b = EtnVComm_GetRx(port);
                if (b >= 0) got.push_back(static_cast<char>(b));
            }
            return got.size() >= n;
        });
        return got;
    }
    const VCommChannel& Ch(int iface, int channel) { return EtnVComm_Block(iface).ch[channel]; }

    NetNamespacePair ns_;
    std::unique_ptr<NetNamespaceStay> stay_;
    PeerProcess peers_[4];
    int nPeers_ = 0;
    RegFixture regs_;
    ManualClock clock_;
    NxPacketPool pool_;
    NxIp ip_;
};

TEST_F(VCommChannels, TcpAndUdpSendFullPacketsWithoutDoTx) {
    Device("TCP-LISTEN:5020,bind=10.9.0.1,reuseaddr,fork PIPE", "10.9.0.1:5020");
    Device("UDP-RECVFROM:5021,bind=10.9.0.1,fork PIPE", "10.9.0.1:5021");
    // Port 0x2005 (driver key 0x20, record of version 400) and port 8 (key 3,
    // the record of version 300 and below) are both eth0 channel 5.
    auto tcp = Record(kPeerA, 5020, 0);
    ASSERT_EQ(EtnVComm_Open(0x2005, tcp.data()), 1);
    ASSERT_TRUE(Pump([&] { return EtnVComm_CheckRx(0x2005) != kVCommNotConnected; }));
    EXPECT_EQ(EtnVComm_Conn_Cnt(0), 1u);
    std::string sent;
    for (u32 i = 0; i < 1459; ++i) {
        u8 b = static_cast<u8>('a' + i % 26);
        ASSERT_EQ(EtnVComm_PutTx(0x2005, b), b);
        sent.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(Ch(0, 5).txLength, 1459);
    ASSERT_EQ(EtnVComm_PutTx(0x2005, 'Z'), 'Z');
    sent.push_back('Z');
    EXPECT_EQ(Ch(0, 5).txLength, 0) << "the 1460th byte sends the packet";
    EXPECT_EQ(Collect(0x2005, 1460), sent);

    std::vector<u8> old(16, 0);
    PutLe32(&old[0], kPeerA);
    PutLe16(&old[4], 5020);
    ASSERT_EQ(EtnVComm_Open(8, old.data()), 1);
    EXPECT_EQ(Ch(0, 5).remotePort, 5020);
    EXPECT_EQ(Ch(0, 5).transport, 0);

    // UDP: 512 bytes make one datagram, which the echo returns whole.
    auto udp = Record(kPeerA, 5021, 1);
    ASSERT_EQ(EtnVComm_Open(0x2006, udp.data()), 1);
    for (u32 i = 0; i < 512; ++i) ASSERT_EQ(EtnVComm_PutTx(0x2006, static_cast<u8>(i)), static_cast<int>(i & 255));
    EXPECT_EQ(Ch(0, 6).txLength, 0);
    ASSERT_TRUE(Pump([&] { return EtnVComm_CheckRx(0x2006) == 1; }));
    ASSERT_NE(Ch(0, 6).rx, nullptr);
    EXPECT_EQ(Ch(0, 6).rx->length, 512u);
    // A short message goes with DoTx.
    EtnVComm_FlushRx(0x2006);
    for (u8 b : {'h', 'i'}) EtnVComm_PutTx(0x2006, b);
    EtnVComm_DoTx(0x2006);
    EXPECT_EQ(Collect(0x2006, 2), "hi");
}

TEST_F(VCommChannels, AddressRegisterChangeReconnects) {
    Device("TCP-LISTEN:5030,bind=10.9.0.1,reuseaddr,fork PIPE", "10.9.0.1:5030");
    Device("TCP-LISTEN:5030,bind=10.9.0.3,reuseaddr,fork PIPE", "10.9.0.3:5030");
    u8 v[4];
    PutLe32(v, kPeerA);
    ASSERT_EQ(PlcReg_Set(R(100), v, 32), 1);
    auto rec = Record(R(100), 5030, 0, /*address from register*/ 1);
    ASSERT_EQ(EtnVComm_Open(0x2010, rec.data()), 1);
    EXPECT_EQ(Ch(0, 16).remoteAddress, kPeerA);
    ASSERT_TRUE(Pump([&] { return EtnVComm_CheckRx(0x2010) == 0; }));
    EXPECT_EQ(Ch(0, 16).tcp.peerAddress, kPeerA);
    PutLe32(v, kPeerB);
    PlcReg_Set(R(100), v, 32);
    EXPECT_EQ(EtnVComm_CheckRx(0x2010), kVCommNotConnected) << "the change drops the connection";
    ASSERT_TRUE(Pump([&] { return EtnVComm_CheckRx(0x2010) == 0; }));
    EXPECT_EQ(Ch(0, 16).tcp.peerAddress, kPeerB);
    EtnVComm_PutTx(0x2010, 'x');
    EtnVComm_DoTx(0x2010);
    EXPECT_EQ(Collect(0x2010, 1), "x");
}

TEST_F(VCommChannels, SilentDeviceGetsAConnectEveryTenSeconds) {
    auto rec = Record(NetAddr(10, 9, 0, 77), 5040, 0);
    ASSERT_EQ(EtnVComm_Open(0x2001, rec.data()), 1);
    EXPECT_EQ(EtnVComm_CheckRx(0x2001), kVCommNotConnected);
    const u32 first = Ch(0, 1).connectTime;
    clock_.AdvanceMs(9999);
    EXPECT_EQ(EtnVComm_CheckRx(0x2001), kVCommNotConnected);
    EXPECT_EQ(Ch(0, 1).connectTime, first) << "no new attempt within 10 s";
    clock_.AdvanceMs(1);
    EXPECT_EQ(EtnVComm_CheckRx(0x2001), kVCommNotConnected);
    EXPECT_EQ(Ch(0, 1).connectTime, first + 10000) << "a new attempt after 10 s";
    EXPECT_EQ(EtnVComm_PutTx(0x2001, 'a'), kVCommNotConnected);
    // Link down: 40, and a put answers 0.
    ns_.PeerIp("link set p0 down");
    ASSERT_TRUE(Pump([&] {
        u32 v = 0;
        _nx_ip_driver_direct_command(&ip_, 0, &v);
        return ip_.linkUp == 0;
    }));
    EXPECT_EQ(EtnVComm_CheckRx(0x2001), kVCommLinkDown);
    EXPECT_EQ(EtnVComm_PutTx(0x2001, 'a'), 0);
}

TEST_F(VCommChannels, RefusedPortsAndDrivers) {
    auto rec = Record(kPeerA, 5050, 0);
    // No interface, a channel past the table, a driver key nobody has.
    for (u32 port : {0x0100u, 0x2060u, 0x2F60u}) {
        EXPECT_EQ(EtnVComm_Open(port, rec.data()), 0) << std::hex << port;
        EXPECT_EQ(EtnVComm_PutTx(port, 'a'), 0);
        EXPECT_EQ(EtnVComm_CheckRx(port), 0);
        EXPECT_EQ(EtnVComm_GetRx(port), -1);
        EXPECT_EQ(EtnVComm_Close(port), 0);
    }
    EXPECT_EQ(EtnVComm_Open(0x4003, rec.data()), 0) << "no driver with port key 0x40";
    EXPECT_EQ(Ch(1, 3).flags, 0);
    EXPECT_EQ(EtnVComm_CheckRx(0x2007), 0) << "a channel never opened";
}

TEST_F(VCommChannels, CloseProcedureVisitsEveryChannelOnceOutsideRunMode) {
    Device("TCP-LISTEN:5060,bind=10.9.0.1,reuseaddr,fork PIPE", "10.9.0.1:5060");
    Device("UDP-RECVFROM:5061,bind=10.9.0.1,fork PIPE", "10.9.0.1:5061");
    auto udp = Record(kPeerA, 5061, 1);
    auto tcp = Record(kPeerA, 5060, 0);
    ASSERT_EQ(EtnVComm_Open(0x2000, udp.data()), 1);
    ASSERT_EQ(EtnVComm_Open(0x2001, tcp.data()), 1);
    ASSERT_EQ(EtnVComm_Open(0x2002, tcp.data()), 1);
    for (u32 port : {0x2000u, 0x2001u, 0x2002u})
        ASSERT_TRUE(Pump([&] { return EtnVComm_CheckRx(port) == 0; })) << port;
    ASSERT_EQ(Ch(0, 1).tcp.state, NX_TCP_ESTABLISHED);

    // The drivers stop: the manager closes the 96 ports of each driver.
    PMGR_Start();
    PutLe16(DprMap + kDprRunFlag, 1);
    PMGR_Stop();
    EXPECT_EQ(Ch(0, 1).flags & kVcOpen, 0);
    EXPECT_EQ(EtnVComm_Block(0).closePending, 1);
    // In run mode a closed channel keeps its connection.
    for (int i = 0; i < 5; ++i) EtnVComm_Scan(0);
    EXPECT_EQ(Ch(0, 1).tcp.state, NX_TCP_ESTABLISHED);
    // Outside run mode each channel is disconnected once, the UDP one too.
    PutLe16(DprMap + kDprRunFlag, 0);
    for (int i = 0; i < 20 && EtnVComm_Block(0).closePending; ++i) EtnVComm_Scan(0);
    EXPECT_EQ(EtnVComm_Block(0).closePending, 0);
    for (int ch : {0, 1, 2}) EXPECT_EQ(Ch(0, ch).flags & (kVcBound | kVcConnected), 0) << ch;
    EXPECT_NE(Ch(0, 1).tcp.state, NX_TCP_ESTABLISHED);
    EXPECT_NE(Ch(0, 2).tcp.state, NX_TCP_ESTABLISHED);
}

TEST_F(VCommChannels, EphemeralPortWordSurvivesARestart) {
    PutLe16(&plc_reg[kEphemeralPortByte], 0);
    ip_.nextEphemeralPort = 40000;
    EtnVComm_Init(&ip_, &pool_);
    EXPECT_EQ(GetLe16(&plc_reg[kEphemeralPortByte]), 40000);
    PutLe16(&plc_reg[kEphemeralPortByte], 45000);
    EtnVComm_Init(&ip_, &pool_);
    EXPECT_EQ(ip_.nextEphemeralPort, 45000);
}

}  // namespace
