#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/ext/q4csser.h"
#include "iec/kernel/q4file.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4serial.h"
#include "iec/kernel/q4socket.h"
#include "platform/rtcdev.h"
#include "platform/rtclock.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

namespace {

std::string Slurp(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets TZ for the test's life.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST(HostFiles, PathsStayInsideTheRoot) {
    TempRoot root;
    Q4FileHandle f = Q4File_Open("/mnt/cfg/q4.ret", 1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Q4File_Write(f, "abcd", 4), 1);
    EXPECT_EQ(Q4File_Close(f), 1);
    EXPECT_EQ(Slurp(root.Path("/mnt/cfg/q4.ret")), "abcd");
    EXPECT_EQ(Q4File_GetSize("/mnt/cfg/q4.ret"), 4u);
    EXPECT_EQ(Q4File_Exist("/mnt/cfg/../../../mnt/cfg/q4.ret"), 1);  // ".." cannot climb out
    EXPECT_EQ(Q4File_Exist("/mnt/cfg/none"), 0);
    EXPECT_EQ(Q4File_GetSize("/mnt/cfg/none"), 0u);
    EXPECT_EQ(Q4File_Close(nullptr), 0);
    EXPECT_EQ(Q4File_Read(nullptr, nullptr, 0), 0);
    EXPECT_EQ(Q4File_Eof(nullptr), 1);

    // Append, copy (not a multiple of the 64-byte piece), rename, delete.
    std::string big(130, 'x');
    Q4FileHandle a = Q4File_OpenAppend("q4info.txt");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Q4File_Write(a, big.data(), 130), 1);
    Q4File_Close(a);
    EXPECT_TRUE(std::filesystem::exists(root.Path("q4info.txt")));
    EXPECT_EQ(Q4File_Copy("q4info.txt", "/mnt/cfg/copy.txt"), 1);
    EXPECT_EQ(Slurp(root.Path("/mnt/cfg/copy.txt")), big);
    EXPECT_EQ(Q4File_Copy("missing", "/mnt/cfg/x"), 0);
    EXPECT_EQ(Q4File_Rename("/mnt/cfg/copy.txt", "/mnt/cfg/moved.txt"), 1);
    EXPECT_EQ(Q4File_Delete("/mnt/cfg/moved.txt"), 1);
    EXPECT_EQ(Q4File_Delete("/mnt/cfg/moved.txt"), 0);
}

TEST(HostFiles, LinesAndSeeks) {
    TempRoot root;
    {
        std::ofstream out(root.Path("/mnt/cfg/lines.txt"), std::ios::binary);
        out << "first\n" << std::string("se\0co", 5) << "nd\n" << std::string(300, 'L') << "\nlast";
    }
    Q4FileHandle f = Q4File_Open("/mnt/cfg/lines.txt", 0);
    ASSERT_NE(f, nullptr);
    char buf[400];
    struct Step {
        u32 size;
        std::string want;
    } steps[] = {
        {100, "first"},
        {100, "second"},            // the NUL is dropped
        {400, std::string(255, 'L')},  // at most 255 characters
        {400, std::string(45, 'L')},
        {2, "la"},                  // size characters
        {100, "st"},                // last line without a newline
        {100, ""},                  // at the end
    };
    for (const Step& s : steps) {
        int n = Q4File_ReadLine(f, buf, s.size);
        EXPECT_EQ(n, static_cast<int>(s.want.size()));
        EXPECT_EQ(std::string(buf), s.want);
    }
    EXPECT_EQ(Q4File_Eof(f), 1);
    EXPECT_EQ(Q4File_Fseek(f, 0, 1), 1);
    EXPECT_EQ(Q4File_Eof(f), 0);
    EXPECT_EQ(Q4File_Fseek(f, 2, -4), 1);
    char tail[5] = {};
    EXPECT_EQ(Q4File_Fread(f, 1, 10, tail), 4u);
    EXPECT_STREQ(tail, "last");
    EXPECT_EQ(Q4File_Fseek(f, 0, -5), 0);
    Q4File_Close(f);

    Q4FileHandle w = Q4File_Open("/mnt/cfg/w.txt", 1);
    EXPECT_EQ(Q4File_WriteLine(w, "one"), 1);
    EXPECT_EQ(Q4File_Fflush(w), 1);
    Q4File_Close(w);
    EXPECT_EQ(Slurp(root.Path("/mnt/cfg/w.txt")), "one\n");
}

// The runtime's clock is the controller's: a fresh root (the clock device
// shows host time) and clear zone registers.
class HostClock : public ::testing::Test {
protected:
    HostClock() {
        ESR_Put(18, 0);
        ESR_Put(19, 0);
        RtcDev_SetMissing(false);
        Rtc_Reset();
    }
    ~HostClock() override {
        ESR_Put(18, 0);
        Rtc_Reset();
    }
    TempRoot root_;
};

TEST_F(HostClock, StampsOfOneReading) {
    ScopedTz tz("UTC");
    ManualClock clock;  // 2021-03-05 12:00:00 UTC, a Friday
    EXPECT_EQ(Q4RtClk_GetCurDateStamp(), 0x07E50305u);
    EXPECT_EQ(Q4RtClk_GetCurTimeStamp(), 43200000u);
    clock.AdvanceMs(12u * 3600000u - 1);
    EXPECT_EQ(Q4RtClk_GetCurTimeStamp(), 86399999u);
    clock.AdvanceMs(1);
    u32 date = 0, time = 1, dst = 9;
    Q4RtClk_GetCurDateTimeStamp(1, &date, &time, &dst);
    EXPECT_EQ(date, 0x07E50306u);
    EXPECT_EQ(time, 0u);
    EXPECT_EQ(dst, 0u);
    Q4RtClk_GetCurDateTimeStamp(0, nullptr, nullptr, nullptr);  // outputs may be omitted

    char buf[16];
    struct Case {
        int kind;
        const char* want;
    } cases[] = {{1, "00:00:00"}, {2, "Saturday"}, {0, "2021/03/06"}};
    for (const Case& k : cases) {
        EXPECT_EQ(Q4RtClk_GetString(k.kind, buf, sizeof buf), static_cast<int>(std::strlen(k.want)));
        EXPECT_STREQ(buf, k.want);
    }
    EXPECT_EQ(Q4RtClk_GetString(0, buf, 5), 4);  // cut to the buffer
}

TEST_F(HostClock, LocalTimeFollowsTheZone) {
    ScopedTz tz("UTC");
    ManualClock clock;  // 12:00 UTC = 07:00 local
    // The controller's zone five hours west of UTC, its clock set to local
    // time as RTCSET sets it.
    ESR_Put(18, static_cast<u16>(-300));
    RTCTime seven{0, 0, 7, 5, 3, 2021, 0};
    ASSERT_EQ(RtcSet(&seven), 1);
    u32 local = 0, utc = 0;
    Q4RtClk_GetCurDateTimeStamp(1, nullptr, &local, nullptr);
    Q4RtClk_GetCurDateTimeStamp(0, nullptr, &utc, nullptr);
    EXPECT_EQ(local, 7u * 3600000u);
    EXPECT_EQ(utc, 12u * 3600000u);
}

namespace {

// The programming link as the serial host layer sees it: descriptors of a
// socket pair stand in for the ports.
struct FakeLink {
    static int mj1, usb;
    static u32 host;
    static int handBacks, lastSerialHost;
    static int Descriptor(int which) { return which == kQ4PortMJ1 ? mj1 : which == kQ4PortUSB ? usb : -1; }
    static u32 Host() { return host; }
    static void HandBack(int serialHost) {
        ++handBacks;
        lastSerialHost = serialHost;
    }
};
int FakeLink::mj1 = -1, FakeLink::usb = -1, FakeLink::handBacks = 0, FakeLink::lastSerialHost = -1;
u32 FakeLink::host = 0;

class HostSerial : public ::testing::Test {
protected:
    void SetUp() override {
        Q4Link_Reset();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, port_), 0);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, usb_), 0);
        FakeLink::mj1 = port_[0];
        FakeLink::usb = usb_[0];
        FakeLink::host = 0;
        FakeLink::handBacks = 0;
        q4LinkPeers.descriptor = FakeLink::Descriptor;
        q4LinkPeers.hostCode = FakeLink::Host;
        q4LinkPeers.handBack = FakeLink::HandBack;
        new_serial_packet = 0;
        SR_Put(163, 0);
    }
    void TearDown() override {
        for (int fd : {port_[0], port_[1], usb_[0], usb_[1]}) ::close(fd);
        Q4Link_Reset();
        Wiring_Connect();
        SR_Put(163, 0);
    }
    void Peer(const std::string& s) { ASSERT_EQ(::write(port_[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    int port_[2], usb_[2];
};

}  // namespace

TEST_F(HostSerial, BorrowsThePortThatTheRegisterSelects) {
    int h;
    Q4Serial_Initialize(&h);
    SR_Put(163, 5);
    EXPECT_EQ(Q4Serial_Open(&h, "ignored"), 1);
    EXPECT_EQ(h, -1);
    u8 buf[8];
    EXPECT_EQ(Q4Serial_Receive(&h, 8, buf), 0u);

    SR_Put(163, 0);
    Q4Serial_Open(&h, nullptr);
    EXPECT_EQ(h, port_[0]);
    EXPECT_EQ(Q4Serial_Send(&h, 3, reinterpret_cast<const u8*>("abc")), 3u);
    char got[4] = {};
    EXPECT_EQ(::read(port_[1], got, 3), 3);
    EXPECT_STREQ(got, "abc");

    Q4Serial_Close(&h);
    EXPECT_EQ(h, -1);
    // The descriptor stays open for its owner.
    EXPECT_EQ(::write(port_[0], "x", 1), 1);

    FakeLink::host = 3;
    Q4Serial_Open(&h, nullptr);
    EXPECT_EQ(h, usb_[0]);
}

TEST_F(HostSerial, ReceivesWithoutWaitingAndHandsThePortBack) {
    int h = -1;
    Q4Serial_Open(&h, nullptr);
    u8 buf[16];
    EXPECT_EQ(Q4Serial_Receive(&h, 16, buf), 0u);  // nothing pending

    Peer(std::string("Q4\x00\x05", 4));
    EXPECT_EQ(Q4Serial_Receive(&h, 16, buf), 4u);
    EXPECT_EQ(q4_rcv, 1);
    Peer("xy");
    EXPECT_EQ(Q4Serial_Receive(&h, 16, buf), 2u);
    EXPECT_EQ(q4_rcv, 0);

    // A new frame: a 4-byte read waits until 4 bytes are there.
    new_serial_packet = 1;
    Peer("ab");
    EXPECT_EQ(Q4Serial_Receive(&h, 4, buf), 0u);
    Peer("cd");
    EXPECT_EQ(Q4Serial_Receive(&h, 4, buf), 4u);
    EXPECT_EQ(new_serial_packet, 0);

    IsCommMode_Tovra = 0;
    Peer("ZJ\x01\x02");
    EXPECT_EQ(Q4Serial_Receive(&h, 16, buf), 0u);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(IsCommMode_Tovra, 1);
    EXPECT_EQ(q4_rcv, 0);
    EXPECT_EQ(FakeLink::handBacks, 1);
    EXPECT_EQ(FakeLink::lastSerialHost, 1);
}

namespace {

u16 LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 2000) == 1;
}

u32 ReceiveWhenReady(int fd, char* buf, u32 size, int* broken) {
    WaitReadable(fd);
    return Q4Socket_Receive(fd, size, buf, broken);
}

}  // namespace

TEST(HostSockets, TcpLinkOverLoopback) {
    Q4Link_Reset();
    int listener = -1;
    ASSERT_EQ(Q4Socket_CreateListeningSocket(0, 8, &listener), 0);
    u16 port = LocalPort(listener);
    EXPECT_EQ(Q4Socket_Accept(listener), -1);  // nothing pending

    int client = -1, pending = -1;
    ASSERT_EQ(Q4Socket_CreateConnectedSocket("127.0.0.1", port, &client, &pending), 0);
    ASSERT_TRUE(WaitReadable(listener));
    int server = Q4Socket_Accept(listener);
    ASSERT_GE(server, 0);
    int broken = -1;
    pollfd p{client, POLLOUT, 0};
    ::poll(&p, 1, 2000);
    EXPECT_EQ(Q4Socket_CheckPendingConnect(client, &broken), 0);

    EXPECT_EQ(Q4Socket_Send(client, 7, "Q4hello", &broken), 7u);
    EXPECT_EQ(broken, 0);
    char buf[32];
    EXPECT_EQ(ReceiveWhenReady(server, buf, sizeof buf, &broken), 7u);
    EXPECT_EQ(Q4Socket_Receive(server, sizeof buf, buf, &broken), 0u);  // nothing more
    EXPECT_EQ(broken, 0);

    // Any bytes are data on a runtime socket, also those the programming
    // software begins its frames with: only the workbench link looks at them.
    IsCommMode_Tovra = 0;
    q4_rcv = 0;
    Q4Socket_Send(client, 4, "ZJ\x01\x02", &broken);
    EXPECT_EQ(ReceiveWhenReady(server, buf, sizeof buf, &broken), 4u);
    EXPECT_EQ(std::string(buf, 4), std::string("ZJ\x01\x02", 4));
    EXPECT_EQ(IsCommMode_Tovra, 0);
    EXPECT_EQ(q4_rcv, 0);

    // The peer closes: the next receive reports the link broken.
    ::close(client);
    EXPECT_EQ(ReceiveWhenReady(server, buf, sizeof buf, &broken), 0u);
    EXPECT_EQ(broken, 1);
    Q4Socket_CloseSocket(server);
    Q4Socket_CloseSocket(listener);
    EXPECT_EQ(Q4Socket_CloseSocket(0), 0);
    Q4Link_Reset();
}

TEST(HostSockets, RefusedConnectionIsBrokenNotSent) {
    // A port nobody listens on: a loopback connect is refused at once or soon.
    int probe = -1;
    ASSERT_EQ(Q4Socket_CreateListeningSocket(0, 1, &probe), 0);
    u16 port = LocalPort(probe);
    Q4Socket_CloseSocket(probe);
    int sock = -1, pending = 0;
    if (Q4Socket_CreateConnectedSocket("127.0.0.1", port, &sock, &pending) != 0) {
        EXPECT_EQ(sock, -1);
        return;
    }
    pollfd p{sock, POLLOUT, 0};
    ::poll(&p, 1, 2000);
    int broken = 0;
    EXPECT_EQ(Q4Socket_Send(sock, 3, "abc", &broken), 0u);
    EXPECT_EQ(broken, 1);
    Q4Socket_CloseSocket(sock);
    EXPECT_EQ(Q4Socket_CreateConnectedSocket("not an address", 1, &sock, &pending), 1);
    EXPECT_EQ(sock, -1);
}

TEST(HostSockets, UdpDatagramsAndAddresses) {
    Q4PeerAddr a;
    Q4Socket_UdpAddrMake(&a, "1.2.3.4:1502", 502);
    EXPECT_EQ(ntohs(a.sin_port), 1502);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr), 0x01020304u);
    Q4Socket_UdpAddrMake(&a, "10.0.0.1", 502);
    EXPECT_EQ(ntohs(a.sin_port), 502);
    EXPECT_EQ(a.sin_family, AF_INET);

    int rx = -1, tx = -1;
    ASSERT_EQ(Q4Socket_UdpCreateOn(0, "127.0.0.1", &tx), 0);
    // Find a free port, then bind the receiver to it.
    int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any);
    u16 port = LocalPort(probe);
    ::close(probe);
    ASSERT_EQ(Q4Socket_UdpCreate(port, &rx), 0);
    EXPECT_EQ(Q4Socket_AcceptBroadcast(rx), 0);
    char buf[16];
    Q4PeerAddr from{};
    EXPECT_EQ(Q4Socket_UdpRecvFrom(rx, buf, sizeof buf, &from), 0u);  // nothing waiting
    Q4PeerAddr to;
    Q4Socket_UdpAddrMake(&to, ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    EXPECT_EQ(Q4Socket_UdpSendTo(tx, &to, "ping", 4), 0);
    ASSERT_TRUE(WaitReadable(rx));
    EXPECT_EQ(Q4Socket_UdpRecvFrom(rx, buf, sizeof buf, &from), 4u);
    EXPECT_EQ(std::string(buf, 4), "ping");
    EXPECT_EQ(Q4Socket_UdpSendTo(rx, &from, "pong", 4), 0);  // answer to the sender
    ASSERT_TRUE(WaitReadable(tx));
    EXPECT_EQ(Q4Socket_UdpRecvFrom(tx, buf, sizeof buf, nullptr), 4u);
    EXPECT_EQ(Q4Socket_UdpRecvFrom(-1, buf, sizeof buf, &from), 0u);
    EXPECT_EQ(Q4Socket_UdpSendTo(-1, &to, "x", 1), 1);
    Q4Socket_CloseSocket(rx);
    Q4Socket_CloseSocket(tx);
}
