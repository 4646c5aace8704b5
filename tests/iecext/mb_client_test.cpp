// The runtime Modbus client: the configuration's checks and sizing, and the
// client polling python3-pymodbus servers over TCP, UDP, RTU and ASCII (a
// socat pty pair), and hand-made slaves that stay silent or hang up.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/ext/q4mb.h"
#include "iec/ext/q4mbcomm.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4serial.h"
#include "iec/kernel/q4vmdb.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"
#include "testsupport/libmodbus_peer.h"
#include "testsupport/mbcfg_builder.h"
#include "testsupport/mb_peers.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "testsupport/tshark_capture.h"

namespace {

using Req = MbCfgBuilder::Request;

u16 CfgPort(int port) { return static_cast<u16>(port - Root_PortOffset()); }

TEST(MbConfig, SizingAndRefusedConfigurations) {
    EXPECT_EQ(Q4MB_GetMemorySizing(nullptr, 0), 36u);
    std::vector<u8> empty = MbCfgBuilder().Build();
    EXPECT_EQ(Q4MB_GetMemorySizing(empty.data(), static_cast<u32>(empty.size())), 40u);
    struct Case {
        const char* name;
        MbCfgBuilder cfg;
        u32 size;  // 0: refused
    };
    auto client = [](Req r) {
        return MbCfgBuilder().Connection(1, "127.0.0.1", 502).Slave(1, 1).Add(r);
    };
    auto server = [](Req r) { return MbCfgBuilder().Connection(1, "srv", 1, kMbFlagServer).Add(r); };
    Case cases[] = {
        {"read (rounded up to 8)", client({.id = 1, .conn = 1, .bufSize = 20}), 36 + 328 + 28 + 60 + 4},
        {"minimum size", client({.id = 1, .conn = 1, .bufSize = 20}).MinimumSize(1000), 1000},
        {"request of no connection", client({.id = 1, .conn = 9, .bufSize = 20}), 36 + 328 + 28},
        {"coil table doubled", server({.id = 1, .conn = 1, .function = 1, .quantity = 16, .bufSize = 2}), 36 + 328 + 44},
        {"input registers single", server({.id = 1, .conn = 1, .function = 4, .quantity = 4, .bufSize = 8}), 36 + 328 + 48 + 4},
        {"fc16 quantity above 123", client({.id = 1, .conn = 1, .function = 16, .quantity = 124, .bufSize = 248}), 0},
        {"fc16 beyond buffer", client({.id = 1, .conn = 1, .function = 16, .quantity = 10, .bufSize = 19}), 0},
        {"fc15 beyond buffer", client({.id = 1, .conn = 1, .function = 15, .quantity = 17, .bufSize = 2}), 0},
        {"fc15 quantity 0", client({.id = 1, .conn = 1, .function = 15, .quantity = 0, .bufSize = 2}), 0},
        {"fc6 without a register", client({.id = 1, .conn = 1, .function = 6, .bufSize = 1}), 0},
        {"fc101 small buffer", client({.id = 1, .conn = 1, .function = 101, .bufSize = 97}), 0},
        {"table beyond buffer", server({.id = 1, .conn = 1, .function = 3, .quantity = 10, .bufSize = 18}), 0},
        {"record shorter than its fields", MbCfgBuilder().Connection(1, "x", 1).Raw({8, 0, 2, 0, 1, 0, 1, 0}), 0},
        {"record length 2", MbCfgBuilder().Raw({2, 0}), 0},
        {"address without its end", MbCfgBuilder().Raw({16, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'}), 0},
    };
    for (const Case& c : cases) {
        std::vector<u8> b = c.cfg.Build();
        EXPECT_EQ(Q4MB_GetMemorySizing(b.data(), static_cast<u32>(b.size())), c.size) << c.name;
        IecImageBuilder img;
        img.Var(kQ4TypeDint);
        img.ModbusConfig(b);
        IecVmDb db(img.Build());
        EXPECT_EQ(db.Result() == 0, c.size != 0) << c.name;
    }
    // A configuration cut anywhere is refused or read inside its bytes.
    std::vector<u8> whole = client({.id = 1, .conn = 1, .function = 16, .quantity = 2, .bufSize = 4}).Build();
    for (u32 n = 0; n < whole.size(); ++n) EXPECT_EQ(Q4MB_GetMemorySizing(whole.data(), n), 0u) << n;
}

// The database of an application with a Modbus configuration, and passes of
// the client on a clock the test moves.
class Client {
public:
    explicit Client(const MbCfgBuilder& cfg) {
        IecImageBuilder img;
        img.Var(kQ4TypeDint);
        img.ModbusConfig(cfg.Build());
        db_ = std::make_unique<IecVmDb>(img.Build());
        EXPECT_EQ(db_->Result(), 0);
        EXPECT_TRUE(Q4MB_View(db_->Db(), &v_));
    }
    ~Client() { Q4MB_Close(db_->Db()); }
    int Open() { return Q4MB_Open(db_->Db()); }
    void Pass() { Q4MB_Activate(db_->Db(), now); }
    // Passes until done, waiting a little for the peer between them.
    bool PassUntil(const std::function<bool()>& done, int rounds = 2500) {
        return PollUntil([&] {
            Pass();
            return done();
        }, rounds);
    }
    u8* Rq(u32 k) { return Q4MB_Request(v_, k); }
    u8* Con(u32 k) { return Q4MB_Connection(v_, k); }
    u8* Slave(u32 k) { return Q4MB_Slave(v_, k); }
    u8* Data(u32 k) { return Q4MB_Data(v_, Rq(k)); }
    u16 Reg(u32 k, u32 r) { return GetLe16(Data(k) + 2 * r); }
    u16 Field(u32 k, u32 at) { return GetLe16(Rq(k) + at); }
    u16 Success(u32 k) { return Field(k, kMbRqSuccess); }
    u16 Errors(u32 k) { return Field(k, kMbRqErrors); }
    u16 Error(u32 k) { return Field(k, kMbRqError); }
    u16 State(u32 c) { return GetLe16(Con(c) + kMbConState); }
    void Trigger(u32 k) { Rq(k)[kMbRqTrigger] = 1; }
    // Passes until request k counted one more exchange (success or error).
    bool Exchange(u32 k) {
        const u32 before = Success(k) + Errors(k);
        return PassUntil([&] { return Success(k) + Errors(k) != before && State(0) == kMbIdle; });
    }
    u32 now = 1000;

private:
    std::unique_ptr<IecVmDb> db_;
    Q4MBView v_;
};

class MbPeer {
public:
    // mode tcp|udp|rtu|ascii; where the address or the device.
    void Start(const std::string& mode, const std::string& where, int port) {
        log = root.Dir() + "/peer-" + mode + ".log";
        ASSERT_TRUE(peer.Start("", "exec /usr/bin/python3 " PLC_SOURCE_DIR "/tests/iecext/mb_server.py " + mode + " " +
                                       where + " " + std::to_string(port) + " " + log + " 2>>" + log));
        ASSERT_TRUE(PollUntil([&] { return ReadTextFile(log).find("listening") != std::string::npos; }))
            << "python3-pymodbus is missing";
        if (mode == "tcp" || mode == "udp") {
            const std::string ss = mode == "tcp" ? "ss -ltn" : "ss -lun";
            ASSERT_TRUE(PollUntil([&] { return Shell(ss).find(":" + std::to_string(port) + " ") != std::string::npos; }));
        }
    }
    std::string Log() { return ReadTextFile(log); }
    TempRoot root;
    PeerProcess peer;
    std::string log;
};

// Requests every test of a network transport runs: a cyclic read of 4
// holding registers, an on-demand write of 2, a read of 10 coils, an
// on-change write of one register and a read the server refuses.
MbCfgBuilder Requests(MbCfgBuilder b) {
    b.Slave(1, 1)
        .Add({.id = 1, .conn = 1, .mode = 1, .period = 1000, .function = 3, .address = 0, .quantity = 4, .bufSize = 8})
        .Add({.id = 2, .conn = 1, .mode = 0, .function = 16, .address = 20, .quantity = 2, .bufSize = 4})
        .Add({.id = 3, .conn = 1, .mode = 0, .function = 1, .address = 3, .quantity = 10, .bufSize = 2})
        .Add({.id = 4, .conn = 1, .mode = 3, .function = 6, .address = 30, .bufSize = 2})
        .Add({.id = 5, .conn = 1, .mode = 0, .function = 4, .address = 600, .quantity = 2, .bufSize = 4});
    return b;
}

// log: the writes the server saw, one "<function> <address> <values>" a line.
void RunRequests(Client& c, const std::function<std::string()>& log) {
    // The cyclic read and the on-change write go first (both due at start).
    ASSERT_TRUE(c.Exchange(0));
    EXPECT_EQ(c.Success(0), 1);
    EXPECT_EQ(c.Reg(0, 0), 1000);
    EXPECT_EQ(c.Reg(0, 3), 1003);
    ASSERT_TRUE(c.Exchange(3));
    EXPECT_EQ(c.Success(3), 1);
    // Not due again before its period: nothing is sent.
    for (int k = 0; k < 20; ++k) c.Pass();
    EXPECT_EQ(c.Success(0), 1);
    c.now += 1000;
    ASSERT_TRUE(c.Exchange(0));
    EXPECT_EQ(c.Success(0), 2);
    PutLe16(c.Data(1), 0x1234), PutLe16(c.Data(1) + 2, 0xFFFF);
    c.Trigger(1);
    ASSERT_TRUE(c.Exchange(1));
    EXPECT_EQ(c.Error(1), 0);
    c.Trigger(2);
    ASSERT_TRUE(c.Exchange(2));
    // Coils 3..12 (k % 3 == 0), packed least significant bit first.
    EXPECT_EQ(c.Data(2)[0], 0b01001001);
    EXPECT_EQ(c.Data(2)[1], 0b10);
    c.Trigger(4);
    ASSERT_TRUE(c.Exchange(4));
    EXPECT_EQ(c.Error(4), 2);  // the server's exception
    EXPECT_EQ(c.Errors(4), 1);
    EXPECT_EQ(GetLe16(c.Slave(0) + kMbSlLastError), 2);
    EXPECT_EQ(GetLe32(c.Slave(0) + kMbSlErrors), 1u);
    EXPECT_GE(GetLe32(c.Slave(0) + kMbSlExchanges), 5u);
    EXPECT_NE(log().find("16 20 4660,65535"), std::string::npos) << log();
    EXPECT_NE(log().find("6 30 0"), std::string::npos) << log();
}

TEST(MbClient, TcpAgainstPymodbus) {
    MbPeer peer;
    int port = FreeLoopbackPort(SOCK_STREAM);
    peer.Start("tcp", "127.0.0.1", port);
    Client c(Requests(MbCfgBuilder().Connection(1, "127.0.0.1", CfgPort(port))));
    EXPECT_EQ(c.Open(), 0);
    RunRequests(c, [&] { return peer.Log(); });
    // Transaction ids count 1, 2, ... per frame.
    EXPECT_EQ(GetLe16(c.Con(0) + kMbConTransaction), 6);
}

// The same requests against a libmodbus server, then a time-out with its
// retries while the server stays silent, and a reconnect after it hangs up;
// tshark finds every frame on the wire well formed.
TEST(MbClient, TcpAgainstLibmodbusWithWellFormedFrames) {
    TempRoot root;
    // Datagrams that show tshark is capturing, and mark the capture's end (a
    // length no Modbus frame has).
    auto datagram = [](int port, size_t n) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u16>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string bytes(n, 'x');
        sendto(fd, bytes.data(), n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        close(fd);
    };
    const int port = FreeLoopbackPort(SOCK_STREAM);
    LibModbusServer server(port);
    ASSERT_TRUE(server.Ok()) << "libmodbus5 is missing";
    const int probePort = FreeLoopbackPort(SOCK_DGRAM);
    const std::string pcap = root.Dir() + "/mb.pcapng";
    TsharkCapture capture;
    ASSERT_TRUE(capture.Start("", "lo", "tcp port " + std::to_string(port) + " or udp port " + std::to_string(probePort),
                              pcap, [&] { datagram(probePort, 5); }));
    // Beside the usual requests a read with three tries, always due.
    Client c(Requests(MbCfgBuilder().Connection(1, "127.0.0.1", CfgPort(port), kMbFlagReconnect, 0, 100))
                 .Add({.id = 6, .conn = 1, .mode = 1, .period = 0, .function = 3, .quantity = 1, .tries = 3,
                       .timeout = 300}));
    EXPECT_EQ(c.Open(), 0);
    RunRequests(c, [&] { return server.Log(); });
    EXPECT_GE(c.Success(5), 1);
    // Silent: the read is sent three times, then its time-out is reported.
    server.Silent(true);
    u16 retries = 0;
    for (int k = 0; k < 20 && c.Errors(5) == 0; ++k) {
        ASSERT_TRUE(c.PassUntil([&] { return c.State(0) == kMbReceiving; })) << k;
        retries = std::max(retries, c.Field(5, kMbRqRetries));
        c.now += 300;
        c.Pass();
    }
    EXPECT_EQ(retries, 2);
    EXPECT_EQ(c.Error(5), kMbErrTimeout);
    EXPECT_EQ(c.Errors(5), 1);
    // Hung up: the connection fails, waits its reconnect delay, and a
    // request is answered on the new one.
    server.Silent(false);
    server.HangUp();
    c.Trigger(2);
    ASSERT_TRUE(c.PassUntil([&] { return c.State(0) == kMbReconnectWait; }));
    EXPECT_EQ(c.Error(2), kMbErrConnection);
    c.now += 100;
    c.Trigger(2);
    ASSERT_TRUE(c.PassUntil([&] { return c.Success(2) == 2; }));
    EXPECT_EQ(c.Error(2), 0);
    capture.StopAfterMarker([&] {
        datagram(probePort, 333);
        return "Len=333";
    });
    auto tshark = [&](const std::string& args) {
        return Shell("tshark -r " + pcap + " -d tcp.port==" + std::to_string(port) + ",mbtcp " + args +
                     " 2>/dev/null | grep -v '^Running as user'");
    };
    const std::string ids = tshark("-Y mbtcp -T fields -e mbtcp.trans_id");
    EXPECT_GE(std::count(ids.begin(), ids.end(), '\n'), 2 * 8) << capture.Log();
    EXPECT_EQ(tshark("-Y '_ws.malformed || _ws.expert.severity >= \"error\"'"), "");
}

TEST(MbClient, UdpAgainstPymodbus) {
    MbPeer peer;
    int port = FreeLoopbackPort(SOCK_DGRAM);
    peer.Start("udp", "127.0.0.1", port);
    Client c(Requests(MbCfgBuilder().Connection(1, "UDP:127.0.0.1", CfgPort(port))));
    EXPECT_EQ(c.Open(), 0);
    RunRequests(c, [&] { return peer.Log(); });
}

// The runtime's serial port: one end of a socat pty pair.
class MbClientSerial : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()) << "socat is missing"; }
    MbPeer peer_;
    LentPty pty_{peer_.root.Dir()};
};

TEST_P(MbClientSerial, AgainstPymodbusOnAPty) {
    const std::string mode = GetParam();
    peer_.Start(mode, pty_.PeerPath(), 0);
    const std::string address = mode == "ascii" ? "ASCII:/dev/ttySP4" : "/dev/ttySP4";
    Client c(Requests(MbCfgBuilder().Connection(1, address, 0, kMbFlagSerial)));
    EXPECT_EQ(c.Open(), 0);
    RunRequests(c, [&] { return peer_.Log(); });
}

INSTANTIATE_TEST_SUITE_P(Framings, MbClientSerial, ::testing::Values("rtu", "ascii"));

TEST(MbAscii, FrameTextAndNibbleState) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    int h = pair[0];
    u32 mode = kQ4AscMode;
    const u8 frame[] = {1, 3, 0, 0, 0, 1, 0xAA, 0xBB};  // the CRC bytes are not sent
    EXPECT_EQ(Q4SerialAsc_Send(&h, sizeof frame, frame, &mode), sizeof frame);
    char text[64] = {};
    EXPECT_EQ(recv(pair[1], text, sizeof text, 0), 17);
    EXPECT_STREQ(text, ":010300000001FB\r\n");
    // Digits in two pieces, lower case, with separators: one byte per pair.
    ASSERT_EQ(write(pair[1], ":0a0", 4), 4);
    u8 got[4] = {};
    EXPECT_EQ(Q4SerialAsc_Receive(&h, 4, got, &mode), 1u);
    EXPECT_EQ(got[0], 0x0A);
    EXPECT_TRUE(mode & kQ4AscNibble);
    ASSERT_EQ(write(pair[1], "3\r\n", 3), 3);
    EXPECT_EQ(Q4SerialAsc_Receive(&h, 4, got, &mode), 1u);
    EXPECT_EQ(got[0], 0x03);
    EXPECT_FALSE(mode & kQ4AscNibble);
    close(pair[0]);
    close(pair[1]);
}

// A slave that accepts and never answers; and then is gone.
TEST(MbClient, TimeOutRetriesAndReconnect) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &n);
    const int port = ntohs(a.sin_port);
    listen(l, 4);
    Client c(MbCfgBuilder()
                 .Connection(1, "127.0.0.1", CfgPort(port), kMbFlagReconnect, 0, 100)
                 .Add({.id = 1, .conn = 1, .mode = 1, .period = 0, .function = 3, .quantity = 1, .tries = 3,
                       .timeout = 300}));
    EXPECT_EQ(c.Open(), 0);
    int s = -1;
    ASSERT_TRUE(c.PassUntil([&] { return (s = accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    u32 sends = 0;
    u8 buf[64];
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(c.PassUntil([&] { return recv(s, buf, sizeof buf, 0) == 12; })) << k;
        ++sends;
        c.Pass();
        EXPECT_EQ(c.Errors(0), 0) << k;  // nothing before the time-out
        c.now += 300;
        c.Pass();
    }
    EXPECT_EQ(sends, 3u);
    EXPECT_EQ(c.Error(0), kMbErrTimeout);
    EXPECT_EQ(c.Errors(0), 1);
    EXPECT_EQ(c.Success(0), 0);
    // The slave hangs up: the connection fails, waits, and comes back.
    close(s);
    ASSERT_TRUE(c.PassUntil([&] { return c.State(0) == kMbReconnectWait; }));
    EXPECT_EQ(c.Error(0), kMbErrConnection);
    c.now += 100;
    ASSERT_TRUE(c.PassUntil([&] { return (s = accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    ASSERT_TRUE(c.PassUntil([&] { return recv(s, buf, sizeof buf, 0) == 12; }));
    close(s);
    close(l);
}

// Answers that lie: the client takes nothing beyond what arrived, drops a
// foreign transaction id and reports a wrong unit.
TEST(MbClient, HostileAnswers) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &n);
    listen(l, 1);
    Client c(MbCfgBuilder()
                 .Connection(1, "127.0.0.1", CfgPort(ntohs(a.sin_port)))
                 .Add({.id = 1, .conn = 1, .mode = 0, .function = 3, .quantity = 4, .timeout = 300, .bufSize = 8}));
    EXPECT_EQ(c.Open(), 0);
    int s = -1;
    ASSERT_TRUE(c.PassUntil([&] { return (s = accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    struct Case {
        const char* name;
        std::vector<u8> pdu;
        bool foreignFirst;
        u16 error;
        std::vector<u16> regs;
    } cases[] = {
        {"byte count beyond what arrived", {1, 3, 8, 0, 7, 0, 8}, false, 0, {7, 8, 0x5555, 0x5555}},
        {"foreign id first", {1, 3, 2, 0, 9}, true, 0, {9, 0x5555, 0x5555, 0x5555}},
        {"wrong unit", {2, 3, 2, 0, 9}, false, kMbErrConnection, {0x5555, 0x5555, 0x5555, 0x5555}},
        {"wrong function", {1, 4, 2, 0, 9}, false, kMbErrConnection, {0x5555, 0x5555, 0x5555, 0x5555}},
        {"exception", {1, 0x83, 3}, false, 3, {0x5555, 0x5555, 0x5555, 0x5555}},
    };
    for (const Case& k : cases) {
        for (u32 r = 0; r < 4; ++r) PutLe16(c.Data(0) + 2 * r, 0x5555);
        c.Trigger(0);
        u8 req[64];
        ASSERT_TRUE(c.PassUntil([&] { return recv(s, req, sizeof req, 0) == 12; })) << k.name;
        std::vector<u8> ans(req, req + 6);
        if (k.foreignFirst) {
            std::vector<u8> f = ans;
            f[1] ^= 0x55;
            PutBe16(f.data() + 4, 5);
            f.insert(f.end(), {1, 3, 2, 0, 1});
            send(s, f.data(), f.size(), 0);
        }
        PutBe16(ans.data() + 4, static_cast<u16>(k.pdu.size()));
        ans.insert(ans.end(), k.pdu.begin(), k.pdu.end());
        send(s, ans.data(), ans.size(), 0);
        ASSERT_TRUE(c.Exchange(0)) << k.name;
        EXPECT_EQ(c.Error(0), k.error) << k.name;
        for (u32 r = 0; r < 4; ++r) EXPECT_EQ(c.Reg(0, r), k.regs[r]) << k.name << r;
    }
    close(s);
    close(l);
}

// No tries configured means one try: the time-out ends the exchange.
TEST(MbClient, ZeroTriesIsOneTry) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &n);
    listen(l, 1);
    Client c(MbCfgBuilder()
                 .Connection(1, "127.0.0.1", CfgPort(ntohs(a.sin_port)))
                 .Add({.id = 1, .conn = 1, .mode = 0, .function = 3, .quantity = 1, .tries = 0, .timeout = 300}));
    EXPECT_EQ(c.Open(), 0);
    c.Trigger(0);
    int s = -1;
    ASSERT_TRUE(c.PassUntil([&] { return (s = accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    ASSERT_TRUE(c.PassUntil([&] { return c.State(0) == kMbReceiving; }));
    c.now += 300;
    c.Pass();
    EXPECT_EQ(c.Error(0), kMbErrTimeout);
    EXPECT_EQ(c.Errors(0), 1);
    EXPECT_EQ(c.Field(0, kMbRqRetries), 0);
    close(s);
    close(l);
}

}  // namespace
