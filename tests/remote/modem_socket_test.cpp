#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/ioapi.h"
#include "modem_fixture.h"
#include "remote/modemsock.h"
#include "remote/msgcfg.h"
#include "testsupport/loopback.h"
#include "testsupport/msgcfg_builder.h"

namespace {

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

// A TCP echo on loopback served by socat.
class SocatEcho {
public:
    explicit SocatEcho(int port) {
        pid_ = fork();
        if (pid_ == 0) {
            std::string listen = "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork";
            execlp("socat", "socat", listen.c_str(), "PIPE", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {  // until it listens (bounded guard)
            int fd = ConnectLoopback(port);
            if (fd >= 0) {
                close(fd);
                ready_ = true;
                break;
            }
            usleep(10000);
        }
    }
    ~SocatEcho() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

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
    int port = FreePort();
    SocatEcho echo(port);
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
    int port = FreePort();
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
    int port = FreePort();
    SocatEcho echo(port);
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
