// Socket layer over loopback: packets, listener sharing, peer close, connect,
// partial sends, multicast, the registry limit and ping.
#include "platform/nx_api.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/root.h"
#include "testsupport/firmware_process.h"
#include "testsupport/loopback.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kLoop = 0x7F000001;

class NxTest : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        Nx_Reset();
        area_.resize(312800);
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, area_.data(), static_cast<u32>(area_.size()));
        ip_.index = 0;
        ip_.name = "eth0";
        ip_.pool = &pool_;
        ip_.address = kLoop;
    }
    void TearDown() override { Nx_Reset(); }

    // A free loopback port.
    static u32 FreePort() { return static_cast<u32>(FreeLoopbackPort()); }
    NxPacket* Packet(const std::vector<u8>& bytes) {
        NxPacket* p = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool_, &p, 0, 0), NX_SUCCESS);
        EXPECT_EQ(_nx_packet_data_append(p, bytes.data(), static_cast<u32>(bytes.size()), &pool_, 0), NX_SUCCESS);
        return p;
    }
    // Runs the poll until the condition holds (bounded).
    template <class F>
    bool Poll(F done) {
        for (int i = 0; i < 2000 && !done(); ++i) {
            EnetThread();
            Nx_IdleWait(1);
        }
        return done();
    }

    TempRoot root_;
    std::vector<u8> area_;
    NxPacketPool pool_;
    NxIp ip_;
};

TEST_F(NxTest, PoolHoldsTwoHundredPacketsAndAppendsStayInside) {
    EXPECT_EQ(pool_.count, 200u);
    std::vector<NxPacket*> taken;
    NxPacket* p = nullptr;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(_nx_packet_allocate(&pool_, &p, 0, 0), NX_SUCCESS);
        taken.push_back(p);
    }
    EXPECT_EQ(_nx_packet_allocate(&pool_, &p, 0, 0), NX_FAILURE);
    EXPECT_EQ(p, nullptr);
    for (NxPacket* t : taken) _nx_packet_release(t);
    EXPECT_EQ(Nx_PoolFree(&pool_), 200u);

    // An append that would pass the payload end copies nothing.
    ASSERT_EQ(_nx_packet_allocate(&pool_, &p, 0, 0), NX_SUCCESS);
    std::vector<u8> big(1521, 0x55);
    EXPECT_EQ(_nx_packet_data_append(p, big.data(), 1520, &pool_, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_packet_data_append(p, big.data(), 1, &pool_, 0), NX_FAILURE);
    EXPECT_EQ(p->length, 1520u);
    // The neighbour's payload was not touched.
    NxPacket* next = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool_, &next, 0, 0), NX_SUCCESS);
    EXPECT_NE(next->payloadStart[0], 0x55);
    _nx_packet_release(p);
    EXPECT_EQ(_nx_packet_data_append(p, big.data(), 1, &pool_, 0), NX_FAILURE);  // released
}

TEST_F(NxTest, SharedListenerPeerCloseAndSendAfterwards) {
    u32 port = FreePort();
    static int disconnects;
    static int listens;
    disconnects = listens = 0;
    NxTcpSocket a, b;
    ASSERT_EQ(_nx_tcp_socket_create(&ip_, &a, "a", 0, 0, 128, 1024, nullptr,
                                    [](NxTcpSocket*) { ++disconnects; }),
              NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_socket_create(&ip_, &b, "b", 0, 0, 128, 1024, nullptr, nullptr), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip_, port - Root_PortOffset(), &a, 0,
                                           [](NxTcpSocket*, u32) { ++listens; }),
              NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_server_socket_relisten(&ip_, port - Root_PortOffset(), &b), NX_SUCCESS);
    EXPECT_EQ(a.fd, b.fd);

    int peer = ConnectLoopback(static_cast<int>(port));
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Poll([&] { return listens >= 2; }));  // both sharers are told
    EXPECT_EQ(_nx_tcp_server_socket_accept(&a, 0), NX_IN_PROGRESS);
    EXPECT_EQ(_nx_tcp_server_socket_accept(&b, 0), NX_FAILURE);  // the first took it
    EXPECT_EQ(a.state, NX_TCP_ESTABLISHED);

    close(peer);
    ASSERT_TRUE(Poll([&] { return a.state == NX_TCP_PEER_CLOSED; }));
    EnetThread();
    EXPECT_EQ(disconnects, 1);
    NxPacket* p = Packet({1, 2, 3});
    EXPECT_EQ(_nx_tcp_socket_send(&a, p, 0), NX_NOT_CONNECTED);
    EXPECT_EQ(p->state, kNxPacketFree);  // released all the same

    // A packet that is not allocated stays with the caller.
    EXPECT_EQ(_nx_tcp_socket_send(&a, p, 0), NX_INVALID_PACKET);

    // Deleting one sharer keeps the listener; deleting the last closes it.
    _nx_tcp_socket_delete(&a);
    int again = ConnectLoopback(static_cast<int>(port));
    EXPECT_GE(again, 0);
    if (again >= 0) close(again);
    _nx_tcp_socket_delete(&b);
    EXPECT_LT(ConnectLoopback(static_cast<int>(port)), 0);
}

TEST_F(NxTest, ConnectIsEstablishedOnlyWhenItCompletes) {
    u32 port = FreePort();
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u16>(port + Root_PortOffset()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    listen(server, 4);
    NxTcpSocket c;
    ASSERT_EQ(_nx_tcp_socket_create(&ip_, &c, "client", 0, 0, 128, 1024, nullptr, nullptr), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_client_socket_bind(&c, 0, 0), NX_SUCCESS);
    u32 r = _nx_tcp_client_socket_connect(&c, kLoop, port, 100);  // a non-zero wait
    if (r == NX_IN_PROGRESS) {
        EXPECT_EQ(c.state, NX_TCP_CONNECTING);
        EXPECT_TRUE(Poll([&] { return c.state == NX_TCP_ESTABLISHED; }));
    } else {
        EXPECT_EQ(r, NX_SUCCESS);
    }
    EXPECT_EQ(c.state, NX_TCP_ESTABLISHED);
    _nx_tcp_socket_delete(&c);
    close(server);
}

TEST_F(NxTest, PartialSendIsCompletedInOrder) {
    u32 port = FreePort();
    NxTcpSocket srv;
    static NxTcpSocket* accepted;
    accepted = nullptr;
    ASSERT_EQ(_nx_tcp_socket_create(&ip_, &srv, "srv", 0, 0, 128, 1024, nullptr, nullptr), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip_, port - Root_PortOffset(), &srv, 0,
                                           [](NxTcpSocket* s, u32) {
                                               if (_nx_tcp_server_socket_accept(s, 0) == NX_IN_PROGRESS)
                                                   accepted = s;
                                           }),
              NX_SUCCESS);
    int peer = ConnectLoopback(static_cast<int>(port));
    ASSERT_GE(peer, 0);
    int small = 4096;
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(Poll([&] { return accepted != nullptr; }));
    setsockopt(srv.connFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // Send until the kernel refuses more; every accepted byte must arrive.
    u32 sentBytes = 0;
    u8 seq = 0;
    bool refused = false;
    for (int i = 0; i < 2000 && !refused; ++i) {
        std::vector<u8> chunk(1400);
        for (u8& b : chunk) b = seq++;
        NxPacket* p = Packet(chunk);
        u32 r = _nx_tcp_socket_send(&srv, p, 0);
        if (r == NX_SUCCESS) {
            sentBytes += 1400;
        } else {
            EXPECT_EQ(r, NX_TX_QUEUE_DEPTH);
            seq = static_cast<u8>(seq - 1400);  // not taken
            refused = true;
        }
    }
    ASSERT_TRUE(refused);
    std::vector<u8> got;
    for (int i = 0; i < 4000 && got.size() < sentBytes; ++i) {
        EnetThread();
        u8 buf[65536];
        pollfd pf{peer, POLLIN, 0};
        if (poll(&pf, 1, 2) > 0) {
            ssize_t n = recv(peer, buf, sizeof buf, 0);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
    }
    ASSERT_EQ(got.size(), sentBytes);
    for (u32 i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], static_cast<u8>(i)) << "byte " << i;
    close(peer);
    _nx_tcp_socket_delete(&srv);
}

TEST_F(NxTest, FailedMulticastJoinIsReportedAndTheSocketStaysUsable) {
    NxUdpSocket u;
    ASSERT_EQ(_nx_udp_socket_create(&ip_, &u, "udp", 0, 0, 64, 5), NX_SUCCESS);
    ASSERT_EQ(_nx_udp_socket_bind(&u, 0, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_igmp_multicast_join(&ip_, 0x0A000001, &u), NX_FAILURE);  // not a group address
    EXPECT_EQ(ip_.groupCount, 0u);
    EXPECT_GE(u.fd, 0);
    NxPacket* p = Packet({1, 2});
    EXPECT_EQ(_nx_udp_socket_send(&u, p, kLoop, 9), NX_SUCCESS);
    _nx_udp_socket_delete(&u);
}

TEST_F(NxTest, FullRegistryRefusesInsteadOfLeavingASocketUnpolled) {
    u32 port = FreePort();
    auto sockets = std::make_unique<NxTcpSocket[]>(kNxRegistrySlots + 1);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip_, port - Root_PortOffset(), &sockets[0], 0,
                                           [](NxTcpSocket*, u32) {}),
              NX_SUCCESS);
    for (u32 i = 1; i < kNxRegistrySlots; ++i)
        ASSERT_EQ(_nx_tcp_server_socket_relisten(&ip_, port - Root_PortOffset(), &sockets[i]), NX_SUCCESS) << i;
    EXPECT_EQ(Nx_RegisteredCount(), kNxRegistrySlots);
    EXPECT_EQ(_nx_tcp_server_socket_relisten(&ip_, port - Root_PortOffset(), &sockets[kNxRegistrySlots]),
              NX_FAILURE);
    EXPECT_EQ(sockets[kNxRegistrySlots].state, NX_TCP_CLOSED);
    _nx_tcp_server_socket_unlisten(&ip_, port - Root_PortOffset());
    EXPECT_EQ(Nx_RegisteredCount(), 0u);
}

TEST_F(NxTest, PingReplyIsHandedOverStillAllocated) {
    if (_nx_icmp_enable(&ip_) != NX_SUCCESS) GTEST_SKIP() << "raw sockets are not allowed here";
    ASSERT_EQ(_nx_icmp_ping(&ip_, kLoop, nullptr, 0, nullptr, 1000), NX_IN_PROGRESS);
    NxPacket* answer = nullptr;
    // Until the echo has come back over loopback (the bound is only a guard).
    u32 r = NX_FAILURE;
    EXPECT_TRUE(WaitUntil([&] { return (r = _nx_icmp_ping(&ip_, kLoop, nullptr, 0, &answer, 100000)) == NX_SUCCESS; }, 20000));
    ASSERT_EQ(r, NX_SUCCESS);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->state, kNxPacketAllocated);
    EXPECT_GT(answer->length, 0u);
    EXPECT_EQ(answer->payloadStart[0] >> 4, 4);  // an IPv4 header, readable after the call
    _nx_packet_release(answer);
    close(ip_.icmpFd);
}

}  // namespace
