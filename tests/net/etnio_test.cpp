// Remote I/O over Ethernet: the configuration record and its checks, the
// one walker of the I/O configuration chain, the reply checks, the BOOTP
// answer; then pymodbus adapters on two peer addresses and a BOOTP client,
// across a veth pair, on the controller's hand-advanced clock.
#include "net/etnio.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/io_chain.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "net/bootp.h"
#include "net/dpr.h"
#include "platform/root.h"
#include "testsupport/etnio_config_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "testsupport/tshark_capture.h"

namespace {

constexpr u32 kMask = NetAddr(255, 255, 255, 0);
constexpr u32 kCtl = NetAddr(10, 9, 0, 2), kA = NetAddr(10, 9, 0, 1), kB = NetAddr(10, 9, 0, 3);
constexpr u32 R(u32 word) { return 0x8000 + 16 * (word - 1); }
u16 Word(u32 n) { return GetLe16(&plc_reg[kRegR + 2 * (n - 1)]); }
void SetWord(u32 n, u16 v) { PutLe16(&plc_reg[kRegR + 2 * (n - 1)], v); }

// Adapter A: discrete inputs (type 2), word inputs (11), word outputs (15).
EtnIoAdapterSpec AdapterA() {
    EtnIoAdapterSpec a;
    a.address = kA;
    a.statusRef = R(500);
    a.discreteIn = R(100);
    a.wordIn = R(200);
    a.wordOut = R(300);
    a.modules = {{0x11223344, 2}, {0x55667788, 11}, {0x99AABBCC, 15}};
    return a;
}
// Adapter B: one discrete output module (type 5), no inputs.
EtnIoAdapterSpec AdapterB() {
    EtnIoAdapterSpec b;
    b.address = kB;
    b.statusRef = R(501);
    b.discreteOut = R(600);
    b.modules = {{0x01, 5}};
    return b;
}

std::vector<u8> Data(const std::vector<u8>& record) { return std::vector<u8>(record.begin() + 4, record.end()); }

TEST(EtnIoConfig, LayoutOfTheImages) {
    RegFixture regs;
    auto cfg = Data(EtnIoRecord({AdapterA(), AdapterB()}));
    EtnIoAdapter a[kEtnIoAdapters];
    u16 count = 0;
    ASSERT_TRUE(EtnIo_ParseConfig(cfg.data(), a, &count, -1));
    ASSERT_EQ(count, 2);
    EXPECT_EQ(a[0].inBytes, 10);  // function 2 quantity 80
    EXPECT_EQ(a[0].outBytes, 8);  // function 15 quantity 64
    EXPECT_EQ(a[0].modules[0].inOffset, 9);
    EXPECT_EQ(a[0].modules[1].inOffset, 11);
    EXPECT_EQ(a[0].modules[2].outOffset, 13);
    EXPECT_EQ(a[0].modules[1].inRef, R(200));
    EXPECT_EQ(a[0].modules[2].outRef, R(300));
    // The second adapter's own bases count; a missing one continues where
    // the first adapter's allocation of that kind ended.
    auto b = AdapterB();
    b.modules = {{1, 5}, {2, 11}};
    b.wordIn = 0;
    cfg = Data(EtnIoRecord({AdapterA(), b}));
    ASSERT_TRUE(EtnIo_ParseConfig(cfg.data(), a, &count, -1));
    EXPECT_EQ(a[1].modules[1].inRef, R(204)) << "after the 64 bits of adapter A's type 11";
}

TEST(EtnIoConfig, InvalidConfigurationsServeNoAdapter) {
    RegFixture regs;
    auto nine = AdapterA();
    nine.modules.assign(9, {0, 1});
    auto badType = AdapterA();
    badType.modules[1].type = 17;
    auto zeroType = AdapterA();
    zeroType.modules[0].type = 0;
    auto noBase = AdapterA();
    noBase.wordIn = 0;  // its type 11 module has nowhere to start
    auto unusedZero = AdapterB();
    unusedZero.wordIn = unusedZero.wordOut = unusedZero.discreteIn = 0;
    struct Case {
        const char* name;
        std::vector<u8> record;
        bool valid;
    } cases[] = {
        {"good", EtnIoRecord({AdapterA()}), true},
        {"magic", EtnIoRecord({AdapterA()}, 0x55AA), false},
        {"17 adapters", EtnIoRecord({AdapterA()}, 0xAA55, 17), false},
        {"9 modules", EtnIoRecord({nine}), false},
        {"type 17", EtnIoRecord({AdapterA(), badType}), false},
        {"type 0", EtnIoRecord({zeroType}), false},
        {"first adapter, base needed but invalid", EtnIoRecord({noBase}), false},
        {"first adapter, unused bases zero", EtnIoRecord({unusedZero}), true},
    };
    for (const Case& c : cases) {
        auto cfg = Data(c.record);
        EtnIoAdapter a[kEtnIoAdapters];
        u16 count = 0;
        EXPECT_EQ(EtnIo_ParseConfig(cfg.data(), a, &count, -1), c.valid) << c.name;
    }
}

TEST(IoChainWalker, StepsByLengthsRoundedToFour) {
    // Lengths 2, 6 (2 modulo 4), 0 and 3 before the record looked for.
    auto block = IoChainBlock({IoChainFiller(1, 2), IoChainFiller(2, 6), IoChainFiller(3, 0), IoChainFiller(4, 3),
                               IoChainFiller(5, 8)});
    IoChain chain(block.data(), static_cast<u32>(block.size()));
    IoChainRecord r;
    std::vector<u32> pos;
    std::vector<u16> ids;
    while (chain.Next(&r) && r.length != 0xFFFF) {
        pos.push_back(r.pos);
        ids.push_back(r.id);
    }
    EXPECT_EQ(pos, (std::vector<u32>{0, 8, 20, 24, 32}));
    EXPECT_EQ(ids, (std::vector<u16>{1, 2, 3, 4, 5}));
    // A record cut by the end of the block offers only what is there.
    IoChain cut(block.data(), 30);
    u32 last = 0;
    while (cut.Next(&r)) last = r.avail;
    EXPECT_EQ(last, 2u);
}

class EtnIoRecords : public ::testing::Test {
protected:
    void SetUp() override { Dpr_Reset(); }
    void TearDown() override {
        NetLoadIoConfig({0xFF, 0xFF, 0xFF, 0xFF});
        Dpr_Reset();
    }
    RegFixture regs_;
};

TEST_F(EtnIoRecords, NthRecordServesInterfaceN) {
    auto a = EtnIoRecord({AdapterA()});
    auto b = EtnIoRecord({AdapterB()});
    NetLoadIoConfig(IoChainBlock({IoChainFiller(0x11, 6), a, IoChainFiller(0x12, 2), b, a}));
    u32 avail = 0;
    const u8* r0 = EtnIo_FindConfig(0, &avail);
    ASSERT_NE(r0, nullptr);
    EXPECT_EQ(avail, kEtnIoConfigBytes);
    EXPECT_EQ(GetLe32(r0 + 16), kA);
    const u8* r1 = EtnIo_FindConfig(1, &avail);
    ASSERT_NE(r1, nullptr);
    EXPECT_EQ(GetLe32(r1 + 16), kB);
    EXPECT_EQ(EtnIo_FindConfig(2, &avail), nullptr);
    EXPECT_EQ(EtnIo_FindConfig(3, &avail), nullptr);
    // eth1's stream length 76: the first record serves eth1, eth0 gets none.
    Dpr_Configuration[1].streamLength = 76;
    EXPECT_EQ(EtnIo_FindConfig(0, &avail), nullptr);
    EXPECT_EQ(EtnIo_FindConfig(1, &avail), r0);
}

TEST(EtnIoReply, ChecksBeforeWriting) {
    RegFixture regs;
    auto cfg = Data(EtnIoRecord({AdapterA()}));
    EtnIoAdapter a[kEtnIoAdapters];
    u16 count = 0;
    ASSERT_TRUE(EtnIo_ParseConfig(cfg.data(), a, &count, -1));
    a[0].tidIn = 7;
    a[0].tidOut = 8;
    a[0].tidConfig = 9;
    auto reply = [](u16 tid, u8 fc, std::vector<u8> pdu, int lengthFix = 0) {
        std::vector<u8> f = {static_cast<u8>(tid >> 8), static_cast<u8>(tid), 0, 0, 0, 0, 0xFF, fc};
        f.insert(f.end(), pdu.begin(), pdu.end());
        PutBe16(&f[4], static_cast<u16>(f.size() - 6 + lengthFix));
        return f;
    };
    std::vector<u8> inputs = {10, 0xA5, 0x3C, 1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        const char* name;
        std::vector<u8> frame;
        u32 result;
    } cases[] = {
        {"short byte count", reply(7, 2, {9, 0xA5, 0x3C, 1, 2, 3, 4, 5, 6, 7}), kIoStReceive},
        {"long", reply(7, 2, {10, 0xA5, 0x3C, 1, 2, 3, 4, 5, 6, 7, 8, 9}), kIoStReceive},
        {"length field lies", reply(7, 2, inputs, 1), kIoStReceive},
        {"exception", reply(7, 0x82, {2}), kIoStException},
        {"foreign exception", reply(3, 0x82, {2}), kIoStException},
        {"foreign transaction", reply(3, 2, inputs), 0},
        {"function 3", reply(7, 3, {2, 0, 0}), kIoStFunction},
        {"input reply to the output write", reply(8, 2, inputs), kIoStFunction},
        {"output write", reply(8, 15, {0, 0, 0, 64}), 1},
        {"configuration write", reply(9, 16, {1, 0, 0, 6}), 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EtnIo_ParseReply(a[0], c.frame.data(), static_cast<u32>(c.frame.size())), c.result) << c.name;
        EXPECT_EQ(Word(100), 0) << c.name << ": nothing written";
    }
    auto good = reply(7, 2, inputs);
    EXPECT_EQ(EtnIo_ParseReply(a[0], good.data(), static_cast<u32>(good.size())), 1u);
    EXPECT_EQ(Word(100), 0x3CA5);
    EXPECT_EQ(Word(200), 0x0201);
    EXPECT_EQ(Word(203), 0x0807);
}

TEST(BootPReply, OnlyListedAddressesAndWholeRequests) {
    BootP_Reset();
    const u8 mac[6] = {2, 0, 0, 0, 0, 0x11};
    ASSERT_EQ(BootPConfig(mac, kA, 1, 0), 1);
    EXPECT_EQ(BootPConfig(mac, kB, 3, 0), 0) << "entries are given in order";
    std::vector<u8> req(240, 0xEE);
    req[0] = 1;
    std::memcpy(&req[28], mac, 6);
    PutBe32(&req[236], 0x63825363);
    u8 reply[kBootpReplyBytes];
    u32 entry = 99;
    ASSERT_TRUE(BootP_Reply(0, req.data(), 240, kCtl, kMask, reply, &entry));
    EXPECT_EQ(entry, 0u);
    EXPECT_EQ(reply[0], 2);
    EXPECT_EQ(GetBe32(reply + 16), kA);
    EXPECT_EQ(GetBe32(reply + 20), kCtl);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + 44), 3), "ZEK");
    EXPECT_EQ(GetBe32(reply + 236), 0x63825363u);
    const u8 options[] = {1, 4, 255, 255, 255, 0, 0xFF};
    EXPECT_EQ(std::memcmp(reply + 240, options, sizeof options), 0);
    for (u32 k = 247; k < kBootpReplyBytes; ++k) ASSERT_EQ(reply[k], 0) << k;
    EXPECT_FALSE(BootP_Reply(0, req.data(), 239, kCtl, kMask, reply, &entry)) << "short request";
    req[33] = 0x12;
    EXPECT_FALSE(BootP_Reply(0, req.data(), 240, kCtl, kMask, reply, &entry)) << "unlisted";
    req[33] = 0x11;
    req[0] = 2;
    EXPECT_FALSE(BootP_Reply(0, req.data(), 240, kCtl, kMask, reply, &entry)) << "not a request";
    BootP_Reset();
}

alignas(8) u8 g_pool[200 * 1600];

// Adapters and a BOOTP client in the peer's namespace; the controller's
// sockets in its own.
class EtnIoAdapters : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ns_.Create("10.9.0.1/24")) << ns_.Error();
        ns_.PeerIp("addr add 10.9.0.3/24 dev p0");
        ns_.CtlIp("link set eth0 up");
        stay_ = std::make_unique<NetNamespaceStay>(ns_.Controller());
        ASSERT_TRUE(stay_->Entered());
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
        Dpr_Reset();
        EtnIo_Reset();
        ASSERT_TRUE(NetNamespaceEth0(&ip_, &pool_, g_pool, sizeof g_pool, kCtl, kMask));
        ASSERT_EQ(EtnIo_Init(&ip_, &pool_), 0u);
    }
    void TearDown() override {
        capture_.Stop();
        for (PeerProcess& p : peers_) p.Stop();
        EtnIo_Reset();
        NetLoadIoConfig({0xFF, 0xFF, 0xFF, 0xFF});
        stay_.reset();
        Dpr_Reset();
        Nx_Reset();
    }
    bool Until(const std::function<bool()>& done, int rounds = 2000) {
        for (int i = 0; i < rounds; ++i) {
            if (done()) return true;
            poll(nullptr, 0, 5);
        }
        return false;
    }
    void Pass() {
        EtnIo_Scan(0);
        EnetThread();
        Nx_IdleWait(1);
        poll(nullptr, 0, 1);
    }
    bool PassUntil(const std::function<bool()>& done, int rounds = 3000) {
        for (int i = 0; i < rounds; ++i) {
            Pass();
            if (done()) return true;
        }
        return false;
    }
    std::string Log(int k) {
        std::ifstream in(logs_[k]);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void StartAdapter(int k, const char* address, const char* inputs) {
        logs_[k] = root_.Dir() + "/adapter" + std::to_string(k) + ".log";
        std::remove(logs_[k].c_str());
        ASSERT_TRUE(peers_[k].Start(ns_.Peer(), std::string("cd / && exec /usr/bin/python3 ") + PLC_SOURCE_DIR +
                                                    "/tests/net/etnio_adapter.py " + address + " 502 " + logs_[k] +
                                                    " " + inputs + " 2>>" + logs_[k]));
        ASSERT_TRUE(Until([&] { return Log(k).find("listening") != std::string::npos; }))
            << "python3-pymodbus adapter did not start";
        ASSERT_TRUE(Until([&] { return ns_.InPeer("ss -ltn").find(std::string(address) + ":502") != std::string::npos; },
                          200))
            << Log(k) << ns_.InPeer("ss -tan");
    }
    // Captures on the peer's end of the veth pair; the probe is a datagram
    // from the controller's side.
    void StartCapture() {
        ASSERT_TRUE(capture_.Start(ns_.Peer(), "p0", "", pcap_, [] {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(9);
            sa.sin_addr.s_addr = htonl(kA);
            sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            close(fd);
        }));
    }
    std::string Tshark(const std::string& args, const std::string& then = "") {
        return Shell("(tshark -r " + pcap_ + " " + args + " 2>/dev/null)" + then);
    }
    size_t Count(int k, const std::string& line) {
        std::string log = Log(k);
        size_t n = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
        return n;
    }

    NetNamespacePair ns_;
    std::unique_ptr<NetNamespaceStay> stay_;
    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
    NxPacketPool pool_;
    NxIp ip_;
    PeerProcess peers_[3];
    std::string logs_[3];
    TsharkCapture capture_;
    std::string pcap_ = root_.Dir() + "/etnio.pcapng";
};

TEST_F(EtnIoAdapters, ConfigureThenExchangeInRunMode) {
    StartAdapter(0, "10.9.0.1", "a53c0102030405060708");
    StartAdapter(1, "10.9.0.3", "00");
    NetLoadIoConfig(IoChainBlock({EtnIoRecord({AdapterA(), AdapterB()})}));
    // Outside run mode nothing connects and the status words read 0.
    SetWord(500, 0x1111);
    SetWord(600, 0x5A);
    for (int i = 0; i < 5; ++i) Pass();
    EXPECT_EQ(EtnIo_Conn_Cnt(0), 0u);
    PutLe16(DprMap + kDprRunFlag, 1);
    ASSERT_TRUE(PassUntil([&] { return Word(100) == 0x3CA5 && Count(1, "15 0 0,1,0,1,1,0,1,0") >= 1; }))
        << Log(0) << Log(1) << std::hex << Word(500) << " " << Word(501);
    EXPECT_EQ(EtnIo_Conn_Cnt(0), 2u);
    // The configuration write: function 16 at 256, the words low byte first.
    EXPECT_NE(Log(0).find("16 256 17459,8721,34935,26197,52411,43673"), std::string::npos) << Log(0);
    EXPECT_NE(Log(1).find("16 256 256,0"), std::string::npos) << Log(1);
    EXPECT_NE(Log(0).find("2 0 80"), std::string::npos);
    EXPECT_EQ(Word(200), 0x0201);
    EXPECT_EQ(Word(203), 0x0807);
    EXPECT_EQ(Word(500), 0);
    EXPECT_EQ(Word(501), 0);

    // An output change goes out with function 15, quantity 64.
    StartCapture();
    SetWord(300, 0x0081);
    ASSERT_TRUE(PassUntil([&] { return Log(0).find("15 0 1,0,0,0,0,0,0,1,0") != std::string::npos; })) << Log(0);
    for (int i = 0; i < 20; ++i) Pass();
    capture_.Stop(300);
    // tshark's Modbus/TCP dissector finds every frame sound.
    EXPECT_EQ(Tshark("-Y 'mbtcp && modbus.func_code == 15 && ip.dst == 10.9.0.1' -T fields -e modbus.bit_cnt",
                     " | sort -u"),
              "64\n");
    EXPECT_EQ(Tshark("-Y 'tcp.port == 502 && (_ws.malformed || _ws.expert.severity >= \"error\")'"), "");

    // Adapter B has no inputs: its outputs go again every 3 s.
    size_t before = Count(1, "15 0 ");
    for (int i = 0; i < 50; ++i) Pass();
    EXPECT_EQ(Count(1, "15 0 "), before);
    clock_.AdvanceMs(3001);
    ASSERT_TRUE(PassUntil([&] { return Count(1, "15 0 ") == before + 1; }));

    // A reply later than 2 s: 0xFF34.
    ASSERT_TRUE(PassUntil([&] { return EtnIo_Block(0).states[0] == 7; }));
    clock_.AdvanceMs(2001);
    EtnIo_Scan(0);
    EXPECT_EQ(Word(500), kIoStLate);
    ASSERT_TRUE(PassUntil([&] { return Word(500) == 0; }));

    // Adapter B stops: 0xFF99 after the connect time-out, then it recovers.
    peers_[1].Stop();
    ASSERT_TRUE(PassUntil([&] {
        clock_.AdvanceMs(50);
        return Word(501) == kIoStNoConnect;
    })) << std::hex << Word(501);
    StartAdapter(1, "10.9.0.3", "00");
    ASSERT_TRUE(PassUntil([&] {
        clock_.AdvanceMs(50);
        return Word(501) == 0 && (EtnIo_Block(0).conns[1].flags & kIoConnected);
    }));
    EXPECT_TRUE(PassUntil([&] { return Log(1).find("16 256 256,0") != std::string::npos; }))
        << "configured again after the new connection";

    // Leaving run mode disconnects every adapter; the status words read 0.
    PutLe16(DprMap + kDprRunFlag, 0);
    ASSERT_TRUE(PassUntil([&] { return EtnIo_Conn_Cnt(0) == 0 && Word(500) == 0 && Word(501) == 0; }));
}

TEST_F(EtnIoAdapters, BootpAnswersListedAddressesOnly) {
    std::string mac = ns_.PeerIp("-o link show p0");
    size_t at = mac.find("link/ether ");
    ASSERT_NE(at, std::string::npos) << mac;
    std::string macText = mac.substr(at + 11, 17);
    u8 m[6];
    std::string hex;
    for (int i = 0; i < 6; ++i) {
        m[i] = static_cast<u8>(std::stoi(macText.substr(3 * i, 2), nullptr, 16));
        hex += macText.substr(3 * i, 2);
    }
    auto a = AdapterB();
    a.address = kA;
    std::memcpy(a.mac, m, 6);
    NetLoadIoConfig(IoChainBlock({EtnIoRecord({a})}));
    PutLe16(DprMap + kDprRunFlag, 1);
    Pass();
    ASSERT_EQ(BootP_Block(0).count, 1);
    const std::string out = root_.Dir() + "/bootp.txt";
    StartCapture();
    // An unlisted address, a 100-byte request, then the listed one.
    ASSERT_TRUE(peers_[2].Start(ns_.Peer(), std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR +
                                                "/tests/net/bootp_client.py 10.9.0.1 10.9.0.2 020000000099:300 " +
                                                hex + ":100 " + hex + ":300 > " + out + " 2>&1"));
    auto text = [&] {
        std::ifstream in(out);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    ASSERT_TRUE(PassUntil([&] { return text().find("done") != std::string::npos; }, 5000)) << text();
    EXPECT_EQ(text(), "none\nnone\nreply 300 10.9.0.1 10.9.0.2 ZEK 638253630104ffffff00ff000000\ndone\n");
    EXPECT_NE(Shell("ip -n " + ns_.Controller() + " neigh show 10.9.0.1").find(macText), std::string::npos);
    capture_.Stop(300);
    // tshark's BOOTP dissector: one reply, 300 bytes, with the subnet mask.
    EXPECT_EQ(Tshark("-Y 'dhcp.type == 2' -T fields -e udp.length -e dhcp.ip.your -e dhcp.option.subnet_mask"),
              "308\t10.9.0.1\t255.255.255.0\n");
    // The client's own 100-byte request is malformed on purpose (and the
    // capture's probe is no BOOTP); nothing the server sent is.
    EXPECT_EQ(Tshark("-Y 'ip.src == 10.9.0.2 && udp.srcport == 67 && "
                     "(_ws.malformed || _ws.expert.severity >= \"error\")'"),
              "");
}

}  // namespace
