#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "io/ioapi.h"
#include "link/modem.h"
#include "link/sci.h"
#include "link/talk.h"
#include "modem_fixture.h"
#include "remote/modemsock.h"
#include "remote/msgcfg.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/socat_pair.h"

namespace {

class ModemSocketTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        savedSlot = io_init[1];
        io_init[1] = 0x6F0F;
        MsgCfgBuilder b;
        b.contacts = {{"+15550001", 0, 1}};
        b.pin.clear();
        b.centre.clear();
        MsgCfg_Store(b.Build());
        // Initialised, identified, and a usable signal.
        ASSERT_TRUE(Drive([&] { return at_status.letter == 'z' && at_status.signal == 19; }));
    }
    void TearDown() override {
        io_init[1] = savedSlot;
        MsgCfg_Store({});
        ModemTest::TearDown();
    }
    bool Drive(std::function<bool()> done, int passes = 20000) {
        return DriveCycle(*this, modem, clock, done, passes, 500);
    }
    // Reads what the socket has received.
    std::string Drain(int socket) {
        std::string out;
        while (ModemCheckRecv(socket) == 1) out += static_cast<char>(ModemDataRecv(socket));
        return out;
    }
    u16 savedSlot = 0;
};

}  // namespace

TEST_F(ModemSocketTest, DialledSocketCarriesThreeThousandBytes) {
    int port = FreeLoopbackPort();
    SocatTcpEcho echo(port);
    ASSERT_TRUE(echo.Ready());
    ModemConnRequest q;
    q.address = 0x7F000001;
    q.port = static_cast<u16>(port);
    q.socket = 2;
    q.flags = 0x02;
    ASSERT_TRUE(Drive([&] { return ModemDataConnRequest(&q) == 0; }));
    EXPECT_EQ(at_status.modemFlags & 0x02, 0x02);
    EXPECT_STREQ(at_status.ipText, "10.20.30.40");
    EXPECT_EQ(at_status.ipAddress, 0x0A141E28u);
    EXPECT_EQ(IsModemSocketActive(static_cast<int>(kCellPort), 2), 0);
    EXPECT_EQ(IsModemSocketActive(0, 2), 1);
    EXPECT_EQ(IsModemSocketActive(static_cast<int>(kCellPort), 3), 1);

    std::string sent;
    for (int i = 0; i < 3000; ++i) sent += static_cast<char>('a' + (i * 7) % 26);
    size_t handed = 0;
    std::string received;
    ASSERT_TRUE(Drive([&] {
        if (handed < sent.size()) {
            u32 n = static_cast<u32>(std::min<size_t>(1000, sent.size() - handed));
            if (ModemDataSend(2, reinterpret_cast<const u8*>(sent.data() + handed), n, 1) == 0) handed += n;
        }
        received += Drain(2);
        return received.size() >= sent.size();
    }));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(socket_info_st[2].totalSent, 3000u);
    EXPECT_EQ(socket_info_st[2].totalReceived, 3000u);

    // Given up: the cycle closes it and the list frees it.
    ASSERT_TRUE(Drive([&] { return ModemDataDisConnRequest(2) == 0; }));
    auto c = modem.Commands();
    EXPECT_NE(std::find(c.begin(), c.end(), "AT#SH=3"), c.end());
}

TEST_F(ModemSocketTest, ListeningSocketAcceptsACall) {
    int port = FreeLoopbackPort();
    ModemConnRequest q;
    q.port = static_cast<u16>(port);
    q.socket = 4;
    q.flags = 0;  // listen
    ASSERT_TRUE(Drive([&] {
        ModemDataConnRequest(&q);
        return socket_info_st[4].state == kSockListening;
    }));
    int client = ConnectLoopback(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(Drive([&] { return ModemDataConnRequest(&q) == 0; }));
    EXPECT_STREQ(socket_info_st[4].host, "127.0.0.1");
    ASSERT_EQ(write(client, "hello", 5), 5);
    std::string got;
    ASSERT_TRUE(Drive([&] {
        got += Drain(4);
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, "hello");
    ASSERT_EQ(ModemDataSend(4, reinterpret_cast<const u8*>("world"), 5, 1), 0);
    ASSERT_TRUE(Drive([&] { return socket_info_st[4].transmitCount == 0; }));
    char buf[8] = {};
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(read(client, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    close(client);
}

// A program's modem call on serial port 1 with the internal module in slot 1
// goes, through the controller's wiring, to the module's data socket 0: the
// call dials through the bridge to a socat echo, the port's sends and
// receives go through the socket, and the stop releases it.
TEST_F(ModemSocketTest, TalkPortModemCallRunsOverTheWiredDataSocket) {
    Wiring_Connect();
    int port = FreeLoopbackPort();
    SocatTcpEcho echo(port);
    ASSERT_TRUE(echo.Ready());
    LinkPty port1;
    ASSERT_TRUE(port1.Open(root.Path("/dev/ttySP4")));
    SCI1_Init(1);
    Talk_Reset();
    Modem_Reset();
    u8 open[kTalkOpenRecordBytes] = {1, 0, 5, 0, 3, 0, 0, 2};
    ASSERT_EQ(Q4TalkOpen(open, 1), 1);

    const std::string destination = "127.0.0.1/" + std::to_string(port);
    std::vector<u8> call(10 + destination.size());
    PutLe16(&call[0], 1);  // port
    PutLe16(&call[2], 1);  // dial
    PutLe16(&call[6], 0);  // TCP
    PutLe16(&call[8], static_cast<u16>(destination.size()));
    std::memcpy(&call[10], destination.data(), destination.size());
    auto status = [&] { return GetLe16(&call[4]); };
    ASSERT_TRUE(Drive([&] { return Q4TalkModem(call.data(), static_cast<u32>(call.size()), 1) == 1; }))
        << std::hex << status();
    EXPECT_EQ(status(), kModemConnect);
    EXPECT_TRUE(Modem_OnDataSocket(1));
    auto c = modem.Commands();
    const std::string dial = "AT#SD=1,0," + std::to_string(port) + ",";
    EXPECT_TRUE(std::any_of(c.begin(), c.end(), [&](const std::string& l) { return l.rfind(dial, 0) == 0; }));

    // 200 bytes out through TALK send and back through TALK receive.
    constexpr u32 kCount = 200, kOut = 1000, kIn = 2000, kSent = 3000, kGot = 3002;
    for (u32 i = 0; i < kCount; ++i) plc_reg[kOut + i] = static_cast<u8>(i * 13 + 1);
    std::memset(&plc_reg[kIn], 0, kCount);
    PutLe16(&plc_reg[kSent], 0xFFFF);
    PutLe16(&plc_reg[kGot], 0xFFFF);
    auto record = [](u32 buffer, u32 progress) {
        std::vector<u8> r(kTalkTransferRecordBytes);
        PutLe16(&r[0], 1);
        PutLe16(&r[2], kCount);
        PutLe16(&r[4], static_cast<u16>(buffer >> 16));
        PutLe16(&r[6], static_cast<u16>(buffer));
        PutLe16(&r[8], static_cast<u16>(progress >> 16));
        PutLe16(&r[10], static_cast<u16>(progress));
        return r;
    };
    std::vector<u8> send = record(kOut, kSent), receive = record(kIn, kGot);
    bool sent = false;
    ASSERT_TRUE(Drive([&] {
        sent = sent || Q4TalkSend(send.data(), 1) == 1;
        return sent && Q4TalkReceive(receive.data(), 1) == 1;
    })) << GetLe16(&plc_reg[kSent]) << " sent, " << GetLe16(&plc_reg[kGot]) << " received";
    EXPECT_EQ(std::memcmp(&plc_reg[kOut], &plc_reg[kIn], kCount), 0);
    EXPECT_EQ(socket_info_st[0].totalSent, kCount);

    // The stop gives the socket up; the cycle closes it.
    ASSERT_TRUE(Drive([&] {
        Q4TalkModem(call.data(), static_cast<u32>(call.size()), 0);
        return status() == kModemIdle;
    }));
    EXPECT_FALSE(Modem_OnDataSocket(1));
    ASSERT_TRUE(Drive([&] { return socket_info_st[0].state == kSockFree; }));
    c = modem.Commands();
    EXPECT_NE(std::find(c.begin(), c.end(), "AT#SH=1"), c.end());
    EXPECT_EQ(Q4TalkOpen(open, 0), 0);
    talkPeers = TalkPeers{};
    Talk_Reset();
    Modem_Reset();
    Sci_Reset();
}

TEST_F(ModemSocketTest, SendsAreRefusedWhenTheyDoNotFit) {
    ModemSocket& s = socket_info_st[1];
    s.connectionId = 2;
    s.state = kSockConnected;
    std::vector<u8> a(1000, 'a'), b(600, 'b');
    EXPECT_EQ(ModemDataSend(1, a.data(), 1000, 1), 0);
    EXPECT_EQ(ModemDataSend(1, b.data(), 600, 1), 1);
    EXPECT_EQ(s.flags & 0x80, 0x80);
    EXPECT_EQ(ModemDataSend(1, b.data(), 10, 0), 1);  // without copy while bytes are queued
    EXPECT_EQ(ModemDataSend(1, b.data(), 499, 1), 0);
    EXPECT_EQ(s.flags & 0x80, 0);
    EXPECT_EQ(ModemDataSend(6, b.data(), 1, 1), 1);
    s.state = kSockIncoming;
    EXPECT_EQ(ModemDataSend(1, b.data(), 1, 1), 1);
    // Socket 0 reports the end of a received block once.
    ModemSocket& z = socket_info_st[0];
    z.receiveIndex = 40;
    z.receiveCount = 0;
    EXPECT_EQ(ModemCheckRecv(0), 255);
    EXPECT_EQ(ModemCheckRecv(0), 0);
}

TEST_F(ModemSocketTest, StatusListsAreCheckedBeforeUse) {
    // Too short: nothing changes.
    socket_info_st[0].state = kSockOpenDone;
    ModemSocket_ApplyStatusList("1,1,a", 5);
    EXPECT_EQ(socket_info_st[0].state, kSockOpenDone);
    // Ids outside 1-6 and states outside 0-5 are skipped.
    std::string list = " 7,1,10.0.0.1,3000,0.0.0.0,0\r\n#SS: 9,1,x\r\n#SS: 1,8,x\r\n#SS: 2,1,10.0.0.1,3000,1.2.3.4,5\r\n";
    ModemSocket_ApplyStatusList(list.data(), static_cast<u32>(list.size()));
    EXPECT_EQ(socket_info_st[0].state, kSockOpenDone);
    EXPECT_EQ(socket_info_st[1].state, kSockConnected);
    for (u32 i = 2; i < kModemSockets; ++i) EXPECT_EQ(socket_info_st[i].state, kSockFree) << i;
    // An incoming call with over-long peer texts keeps them within their fields.
    std::string incoming = " 3,5,10.0.0.1,3000," + std::string(80, '9') + "," + std::string(20, '8') + "\r\n" +
                           std::string(40, ' ');
    socket_info_st[2].connectionId = 3;
    ModemSocket_ApplyStatusList(incoming.data(), static_cast<u32>(incoming.size()));
    EXPECT_EQ(socket_info_st[2].state, kSockIncoming);
    EXPECT_EQ(std::string(socket_info_st[2].host), std::string(39, '9'));
    EXPECT_EQ(std::string(socket_info_st[2].peerPort), std::string(5, '8'));
}

TEST_F(ModemSocketTest, LyingReceiveCountsStayWithinWhatArrived) {
    int port = FreeLoopbackPort();
    SocatTcpEcho echo(port);
    ASSERT_TRUE(echo.Ready());
    modem.LieSrecvCount(900);
    ModemConnRequest q;
    q.address = 0x7F000001;
    q.port = static_cast<u16>(port);
    q.socket = 0;
    q.flags = 0x02;
    ASSERT_TRUE(Drive([&] { return ModemDataConnRequest(&q) == 0; }));
    ASSERT_EQ(ModemDataSend(0, reinterpret_cast<const u8*>("abc"), 3, 1), 0);
    std::string got;
    ASSERT_TRUE(Drive([&] {
        got += Drain(0);
        return socket_info_st[0].totalReceived != 0;
    }));
    got += Drain(0);
    // The three bytes and the line end that follows them: never beyond the answer.
    EXPECT_EQ(got.substr(0, 3), "abc");
    EXPECT_LE(got.size(), 5u);
}
