// Sockets of the application against peers made here on loopback: listen,
// accept, connect, send and receive on TCP, datagrams on UDP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmprg.h"
#include "platform/root.h"
#include "testsupport/temp_root.h"
#include "tests/iecstf/vm_calls.h"

namespace {

using namespace stf;

enum : u16 {
    kUdpSendToArray = 14, kUdpRcvFromArray = 15, kTcpListen = 148, kTcpAccept = 149, kTcpClose = 150,
    kTcpSend = 151, kTcpReceive = 152, kTcpConnect = 153, kTcpIsConnected = 154, kTcpIsValid = 155,
    kUdpCreate = 183, kUdpAddrMake = 184, kUdpSendTo = 185, kUdpRcvFrom = 186, kTcpSendArray = 214,
    kTcpRcvArray = 215,
};

constexpr int kGuardMs = 10000;

u16 LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    return ntohs(a.sin_port);
}

// Waits (bounded) until fd has something to read.
bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, kGuardMs) == 1;
}

int Peer(int type) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

bool ConnectTo(int fd, u16 port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

std::string Recv(int fd) {
    if (!Readable(fd)) return "<nothing>";
    char b[512];
    ssize_t n = ::recv(fd, b, sizeof b, 0);
    return n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string();
}

// The firmware adds the port offset to the ports it is given.
i32 AppPort(u16 hostPort) { return hostPort - Root_PortOffset(); }

class Sockets : public ::testing::Test {
protected:
    void TearDown() override { Q4VMRsc_FreeAll(vm.Db()); }
    TempRoot root;
    Vm vm;
};

// A listener accepts a peer; bytes flow both ways, whatever they begin with
// ("ZJ" is data here, not the programming protocol); TCPSEND never sends
// more than the current text; a peer that closes makes the socket invalid.
TEST_F(Sockets, ListenAcceptExchangeAndPeerClose) {
    const u16 l = vm.Dint(), s = vm.Dint(), n = vm.Dint(), ok = vm.Bool(), port = vm.Dint(0), backlog = vm.Dint(2);
    const u16 nb = vm.Dint(100), data = vm.Str(32), arr = vm.Bytes(8), nb3 = vm.Dint(3), neg = vm.Dint(-1);
    vm.Build();
    ASSERT_NE(vm.D(kTcpListen, {l, port, backlog}), -1);
    EXPECT_TRUE(vm.B(kTcpIsValid, {ok, l}));
    EXPECT_EQ(vm.D(kTcpAccept, {s, l}), -1);  // nobody waiting

    int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(ConnectTo(peer, LocalPort(vm.GetDint(l))));
    ASSERT_TRUE(Readable(vm.GetDint(l)));
    ASSERT_NE(vm.D(kTcpAccept, {s, l}), -1);
    EXPECT_TRUE(vm.B(kTcpIsConnected, {ok, s}));

    IsCommMode_Tovra = 0;
    ASSERT_EQ(::send(peer, "ZJ from the peer", 16, 0), 16);
    ASSERT_TRUE(Readable(vm.GetDint(s)));
    EXPECT_EQ(vm.D(kTcpReceive, {n, s, nb, data}), 16);
    EXPECT_EQ(vm.Text(data), "ZJ from the peer");
    EXPECT_EQ(IsCommMode_Tovra, 0);
    EXPECT_EQ(vm.D(kTcpReceive, {n, s, nb, data}), 0);  // nothing more pending

    // The string held 16 characters before; only its 3 current ones go out.
    vm.SetText(data, "abc");
    EXPECT_EQ(vm.D(kTcpSend, {n, s, nb, data}), 3);
    EXPECT_EQ(Recv(peer), "abc");
    EXPECT_EQ(vm.D(kTcpSend, {n, s, neg, data}), 3);  // a negative NB is large
    EXPECT_EQ(Recv(peer), "abc");

    for (u16 k = 0; k < 8; ++k) vm.Byte(arr + k) = static_cast<u8>(0xF0 + k);
    EXPECT_EQ(vm.D(kTcpSendArray, {n, s, nb3, arr, 8}), 3);
    EXPECT_EQ(Recv(peer), "\xF0\xF1\xF2");
    ASSERT_EQ(::send(peer, "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10, 0), 10);
    ASSERT_TRUE(Readable(vm.GetDint(s)));
    EXPECT_EQ(vm.D(kTcpRcvArray, {n, s, nb, arr, 8}), 8);  // the array's count bounds it
    EXPECT_EQ(vm.Byte(arr + 7), 7);
    EXPECT_EQ(vm.D(kTcpRcvArray, {n, s, nb, arr, 8}), 2);

    ::close(peer);
    ASSERT_TRUE(Readable(vm.GetDint(s)));
    EXPECT_EQ(vm.D(kTcpReceive, {n, s, nb, data}), 0);
    EXPECT_FALSE(vm.B(kTcpIsValid, {ok, s}));
    EXPECT_EQ(vm.D(kTcpSend, {n, s, nb, data}), 0);
    EXPECT_FALSE(vm.B(kTcpClose, {ok, s}));
    EXPECT_TRUE(vm.B(kTcpClose, {ok, l}));
    EXPECT_FALSE(vm.B(kTcpIsValid, {ok, l}));
    EXPECT_FALSE(Q4VMRsc_Exist(vm.Db()));
}

// A connection in progress sends nothing (0, not a byte it never sent) and
// stays valid; one that completes reports connected; a refused one is freed.
TEST_F(Sockets, ConnectPendingCompletedAndRefused) {
    const u16 s = vm.Dint(), s2 = vm.Dint(), n = vm.Dint(), ok = vm.Bool(), nb = vm.Dint(10), port = vm.Dint();
    const u16 addr = vm.Str(20, "127.0.0.1"), data = vm.Str(8, "x");
    vm.Build();

    // A listener whose accept queue is full drops the next SYN: that
    // connection stays pending.
    int full = Peer(SOCK_STREAM);
    ASSERT_EQ(::listen(full, 0), 0);
    const u16 fullPort = LocalPort(full);
    int first = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(ConnectTo(first, fullPort));
    vm.SetDint(port, AppPort(fullPort));
    ASSERT_NE(vm.D(kTcpConnect, {s2, addr, port}), -1);
    int third = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ConnectTo(third, fullPort);  // fills what the kernel may still take
    if (!vm.B(kTcpIsConnected, {ok, s2})) {
        EXPECT_EQ(vm.D(kTcpSend, {n, s2, nb, data}), 0);
        EXPECT_TRUE(vm.B(kTcpIsValid, {ok, s2}));
    }
    EXPECT_TRUE(vm.B(kTcpClose, {ok, s2}));
    ::close(third);
    ::close(first);
    ::close(full);

    int listener = Peer(SOCK_STREAM);
    ASSERT_EQ(::listen(listener, 4), 0);
    vm.SetDint(port, AppPort(LocalPort(listener)));
    ASSERT_NE(vm.D(kTcpConnect, {s, addr, port}), -1);
    bool connected = false;
    for (int k = 0; k < 1000 && !connected; ++k) {
        pollfd p{vm.GetDint(s), POLLOUT, 0};
        ::poll(&p, 1, 10);
        connected = vm.B(kTcpIsConnected, {ok, s});
    }
    EXPECT_TRUE(connected);
    EXPECT_EQ(vm.D(kTcpSend, {n, s, nb, data}), 1);
    ::close(listener);

    // Nothing listens on a port just freed: refused, now or at the check.
    int gone = Peer(SOCK_STREAM);
    vm.SetDint(port, AppPort(LocalPort(gone)));
    ::close(gone);
    const i32 refused = vm.D(kTcpConnect, {s2, addr, port});
    if (refused != -1) {
        for (int k = 0; k < 1000 && vm.B(kTcpIsValid, {ok, s2}); ++k) {
            pollfd p{refused, POLLOUT, 0};
            ::poll(&p, 1, 10);
            EXPECT_FALSE(vm.B(kTcpIsConnected, {ok, s2}));
        }
        EXPECT_FALSE(vm.B(kTcpIsValid, {ok, s2}));
    }
    vm.SetText(addr, "not an address");
    EXPECT_EQ(vm.D(kTcpConnect, {s2, addr, port}), -1);
    EXPECT_TRUE(vm.B(kTcpClose, {ok, s}));
    EXPECT_FALSE(Q4VMRsc_Exist(vm.Db()));
}

// Datagrams to and from a peer: the address comes from UDPADDRMAKE ("ip:port"
// overrides PORT) or from the sender; a STRING sends its current text only;
// an ADDR array shorter than 16 is refused with the trace line and no
// transfer.
TEST_F(Sockets, DatagramsAndShortAddresses) {
    const u16 u = vm.Dint(), n = vm.Dint(), ok = vm.Bool(), port = vm.Dint(0), nb = vm.Dint(100);
    const u16 ip = vm.Str(32), addr = vm.Bytes(16), shortAddr = vm.Bytes(8), data = vm.Str(32, "0123456789");
    const u16 arr = vm.Bytes(6), nb4 = vm.Dint(4);
    vm.Build();
    int probe = Peer(SOCK_DGRAM);  // a port free at this moment
    const u16 appPort = LocalPort(probe);
    ::close(probe);
    vm.SetDint(port, AppPort(appPort));
    ASSERT_NE(vm.D(kUdpCreate, {u, port}), -1);
    ASSERT_EQ(LocalPort(vm.GetDint(u)), appPort);
    int peer = Peer(SOCK_DGRAM);
    const u16 peerPort = LocalPort(peer);

    vm.SetText(ip, "127.0.0.1:" + std::to_string(AppPort(peerPort)));
    EXPECT_TRUE(vm.B(kUdpAddrMake, {ok, ip, port, addr, 16}));
    vm.SetText(data, "hello");
    EXPECT_TRUE(vm.B(kUdpSendTo, {ok, u, nb, addr, 16, data}));
    EXPECT_EQ(Recv(peer), "hello");
    for (u16 k = 0; k < 6; ++k) vm.Byte(arr + k) = static_cast<u8>('a' + k);
    EXPECT_TRUE(vm.B(kUdpSendToArray, {ok, u, nb4, addr, 16, arr, 6}));
    EXPECT_EQ(Recv(peer), "abcd");

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(appPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memset(vm.Vmdb().Data8(addr), 0, 16);
    ASSERT_EQ(::sendto(peer, "dgram", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);
    ASSERT_TRUE(Readable(vm.GetDint(u)));
    EXPECT_EQ(vm.D(kUdpRcvFrom, {n, u, nb, addr, 16, data}), 5);
    EXPECT_EQ(vm.Text(data), "dgram");
    sockaddr_in from;
    std::memcpy(&from, vm.Vmdb().Data8(addr), 16);
    EXPECT_EQ(from.sin_family, AF_INET);
    EXPECT_EQ(ntohs(from.sin_port), peerPort);
    EXPECT_EQ(vm.D(kUdpRcvFrom, {n, u, nb, addr, 16, data}), 0);

    ASSERT_EQ(::sendto(peer, "0123456789", 10, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 10);
    ASSERT_TRUE(Readable(vm.GetDint(u)));
    EXPECT_EQ(vm.D(kUdpRcvFromArray, {n, u, nb, addr, 16, arr, 6}), 6);  // the rest of the datagram is lost
    EXPECT_EQ(vm.Byte(arr + 5), '5');

    vm.SetText(data, "kept");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(vm.B(kUdpAddrMake, {ok, ip, port, shortAddr, 8}));
    EXPECT_FALSE(vm.B(kUdpSendTo, {ok, u, nb, shortAddr, 8, data}));
    EXPECT_FALSE(vm.B(kUdpSendToArray, {ok, u, nb, shortAddr, 8, arr, 6}));
    ASSERT_EQ(::sendto(peer, "late", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 4);
    ASSERT_TRUE(Readable(vm.GetDint(u)));
    EXPECT_EQ(vm.D(kUdpRcvFrom, {n, u, nb, shortAddr, 8, data}), 0);
    EXPECT_EQ(vm.D(kUdpRcvFromArray, {n, u, nb, shortAddr, 8, arr, 6}), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    std::string want;
    for (int k = 0; k < 5; ++k) want += "UDP address must be USINT[16]\n";
    EXPECT_EQ(out, want);
    EXPECT_EQ(vm.Text(data), "kept");
    EXPECT_EQ(vm.D(kUdpRcvFrom, {n, u, nb, addr, 16, data}), 4);  // still waiting: nothing was taken

    // A locked result: UDPCREATE makes no socket.
    vm.Lock(n, kQ4TypeDint);
    vm.SetDint(n, 9);
    EXPECT_TRUE(vm.Call(kUdpCreate, {n, port}));
    EXPECT_EQ(vm.GetDint(n), 9);
    ::close(peer);
}

}  // namespace
