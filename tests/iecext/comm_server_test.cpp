// The workbench communication server in the process: TCP clients on
// loopback, the serial slot on a socket pair, stepped by the runtime's
// workbench service as the main loop steps it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "iec/ext/q4cs.h"
#include "iec/ext/q4csser.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4link.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4tools.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/workbench_client.h"
#include "workbench_env.h"

namespace {

std::vector<u8> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

class CommServer : public ::testing::Test {
protected:
    static void Pump() { Quillet_Comm_service(); }
    int Port() const { return env.WorkbenchPort(); }
    std::unique_ptr<WorkbenchClient> Client() {
        auto c = std::make_unique<WorkbenchClient>(Pump);
        EXPECT_TRUE(c->Connect(Port()));
        return c;
    }

    WorkbenchEnv env;
    const int offset = env.offset;
    ManualClock clock;
};

TEST_F(CommServer, StatusAnswersLinkOptionAndUnknownCodes) {
    Q4_Connect_Ethernet();
    ASSERT_EQ(IsCommMode_Tovra, 0);
    auto c = Client();
    struct Case {
        const char* what;
        u8 code;
        std::vector<u8> data;
        int status;
    } cases[] = {
        {"link option 1 with its two words", 21, {0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
        {"link option 2", 21, {0, 2}, 1},
        {"link option without its sub-code", 21, {}, 1},
        {"code 0", 0, {}, 1},
        {"unknown code", 200, {1, 2, 3}, 1},
        {"VM request: no request server in this runtime", 1, {1}, 1},
        {"stop without a started runtime", 5, {1, 0}, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        WorkbenchAnswer a = c->Request(k.code, k.data);
        ASSERT_TRUE(a.received);
        EXPECT_EQ(a.code, k.code);
        EXPECT_EQ(a.data, (std::vector<u8>{0, static_cast<u8>(k.status)}));
    }
}

// Requests pipelined in one segment, hostile headers between them and a
// Modbus/TCP frame: every workbench request is answered, in order, and the
// bad headers cost only their own bytes.
TEST_F(CommServer, PipelinedFramesAndHostileHeaders) {
    Q4_Connect_Ethernet();
    auto c = Client();
    std::vector<u8> burst;
    auto add = [&](const std::vector<u8>& b) { burst.insert(burst.end(), b.begin(), b.end()); };
    add(WorkbenchClient::Frame(21, {0, 1}));
    add({'Q', '4', 0x04, 0x01});                   // length 1025: the 4 header bytes are dropped
    add(WorkbenchClient::Frame(0, {}));
    add({0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x01, 0x03});  // MBAP, protocol id 1: dropped 4 bytes at a time
    add({0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 1, 3, 0, 0, 0, 1});  // Modbus/TCP: no answer without a runtime
    add({0x00, 0x08, 0x00, 0x00, 0x01, 0x01});     // MBAP length 257: header dropped
    add(WorkbenchClient::Frame(21, {0, 2}));
    ASSERT_TRUE(c->SendRaw(burst));
    std::vector<int> statuses;
    for (int k = 0; k < 3; ++k) {
        WorkbenchAnswer a = c->Read();
        ASSERT_TRUE(a.received) << k;
        statuses.push_back(a.code * 100 + a.Status());
    }
    EXPECT_EQ(statuses, (std::vector<int>{2100, 1, 2101}));
    // Nothing else was answered, and the link still works.
    EXPECT_EQ(c->Status(21, {0, 1}), 0);
}

TEST_F(CommServer, NinthClientIsClosedAndFreedSlotsAreTakenAgain) {
    Q4_Connect_Ethernet();
    std::vector<std::unique_ptr<WorkbenchClient>> clients;
    for (int k = 0; k < 8; ++k) {
        clients.push_back(Client());
        ASSERT_EQ(clients.back()->Status(21, {0, 1}), 0) << k;
    }
    EXPECT_EQ(Q4CS_GetNbHostTCP(&csData), 8);
    const int ninth = ConnectLoopback(Port());
    ASSERT_GE(ninth, 0);
    bool closed = false;
    for (int k = 0; k < 5000 && !closed; ++k) {
        Pump();
        pollfd p{ninth, POLLIN, 0};
        u8 b;
        closed = poll(&p, 1, 1) == 1 && recv(ninth, &b, 1, 0) <= 0;
    }
    EXPECT_TRUE(closed);
    close(ninth);
    for (auto& c : clients) EXPECT_EQ(c->Status(21, {0, 2}), 1);
    // A new hand-over closes every client; all eight slots take new ones.
    Q4_Connect_Ethernet();
    EXPECT_EQ(Q4CS_GetNbHostTCP(&csData), 0);
    for (auto& c : clients) {
        c = Client();
        EXPECT_EQ(c->Status(21, {0, 1}), 0);
    }
    EXPECT_EQ(Q4CS_GetNbHostTCP(&csData), 8);
}

// A request that completes while the slot's previous answer is still queued
// waits for it: the queued answer is not overwritten and the new request
// still gets its own.
TEST_F(CommServer, NextRequestWaitsForThePreviousAnswer) {
    BareServer bare;
    Q4CSContext& cs = bare.cs;
    Q4CSSlot& s = bare.Take(3, kQ4CSTcp);
    std::vector<u8> f = WorkbenchClient::Frame(9, {});
    std::copy(f.begin(), f.end(), s.request);
    s.received = static_cast<u16>(f.size());
    s.expected = s.received;
    s.flags |= kQ4CSComplete | kQ4CSQueued;
    s.answerLength = s.toSend = 7;
    u16 slot = 0;
    EXPECT_EQ(Q4CS_GetQuestion(&cs, &slot), 0);
    EXPECT_EQ(Q4CS_GetAnswerFrameBuffer(&cs, 3), nullptr);
    Q4CS_SendRC(&cs, 3, 1);  // refused: the queued answer stays as it is
    EXPECT_EQ(s.answerLength, 7);
    s.flags = static_cast<u16>((s.flags & ~kQ4CSQueued) | kQ4CSPartSent);
    EXPECT_EQ(Q4CS_GetQuestion(&cs, &slot), 0);
    s.flags = static_cast<u16>(s.flags & ~kQ4CSPartSent);
    EXPECT_EQ(Q4CS_GetQuestion(&cs, &slot), 9);
    EXPECT_EQ(slot, 3);
}

TEST_F(CommServer, LoadAndStartInfoStayInsideTheFrame) {
    BareServer bare;
    Q4CSContext& cs = bare.cs;
    auto put = [&](const std::vector<u8>& frame) {
        Q4CSSlot& s = bare.Take(1, kQ4CSTcp | kQ4CSComplete);
        std::copy(frame.begin(), frame.end(), s.request);
        s.received = s.expected = static_cast<u16>(frame.size());
    };
    Q4LoadRequest load;
    put(WorkbenchClient::Frame(3, {1, 0, 0, 0, 3, 'a', 0, 7, 8, 9}));
    ASSERT_EQ(Q4CS_GetLoadInfo(&cs, 1, &load), 1);
    EXPECT_EQ(load.kind, 1);
    EXPECT_EQ(load.length, 3u);
    EXPECT_STREQ(load.name, "a");
    EXPECT_EQ(std::vector<u8>(load.data, load.data + 3), (std::vector<u8>{7, 8, 9}));
    put(WorkbenchClient::Frame(3, {1, 0, 0, 0, 4, 'a', 0, 7, 8, 9}));  // one byte more than carried
    EXPECT_EQ(Q4CS_GetLoadInfo(&cs, 1, &load), 0);
    put(WorkbenchClient::Frame(2, {1, 0, 0, 0x10, 0, 'a', 'b'}));  // name without its NUL
    EXPECT_EQ(Q4CS_GetLoadInfo(&cs, 1, &load), 0);
    put(WorkbenchClient::Frame(2, {1, 0, 0, 0x10, 0, 'a', 0}));  // a begin names the whole size
    EXPECT_EQ(Q4CS_GetLoadInfo(&cs, 1, &load), 1);
    Q4StartRequest start;
    put(WorkbenchClient::Frame(6, {1, 1, 'x', 'y'}));
    EXPECT_EQ(Q4CS_GetStartInfo(&cs, 1, &start), 0);
    put(WorkbenchClient::Frame(6, {0, 1, 'x', 0}));
    ASSERT_EQ(Q4CS_GetStartInfo(&cs, 1, &start), 1);
    EXPECT_EQ(start.loadRetains, 0);
    EXPECT_EQ(start.paused, 1);
    EXPECT_STREQ(start.name, "x");
    put(WorkbenchClient::Frame(5, {1, 0}));
    ASSERT_EQ(Q4CS_GetStartInfo(&cs, 1, &start), 1);
    EXPECT_STREQ(start.name, "");
    EXPECT_EQ(Q4CS_GetLoadInfo(&cs, 9, &load), 0);
}

// Discovery answers the TCP port the workbench dials (0 before the TCP
// hand-over) and the event server's port; only the 4 bytes "disc" count.
TEST_F(CommServer, DiscoveryAnswersThePortsAsDialled) {
    BareServer bare;
    Q4CSContext& cs = bare.cs;
    ASSERT_GE(cs.udp, 0);
    int peer = -1;
    ASSERT_EQ(Q4Socket_UdpCreate(0, &peer), 0);
    Q4PeerAddr to;
    Q4Socket_UdpAddrMake(&to, "127.0.0.1", kQ4CSDiscoveryPort);
    auto ask = [&](const std::string& text) {
        Q4Socket_UdpSendTo(peer, &to, text.data(), static_cast<u32>(text.size()));
        pollfd p{cs.udp, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        Q4CS_Activate(&cs);
        char in[64] = {};
        pollfd q{peer, POLLIN, 0};
        if (poll(&q, 1, text == "disc" ? 5000 : 100) != 1) return std::string();
        return std::string(in, Q4Socket_UdpRecvFrom(peer, in, sizeof in, nullptr));
    };
    const std::string events = std::to_string(9000 + offset);
    EXPECT_EQ(ask("disc"), "disc:0," + events + ",Q4");
    cs.tcpPort = kQ4CSWorkbenchPort;
    EXPECT_EQ(ask("disc"), "disc:" + std::to_string(Port()) + "," + events + ",Q4");
    EXPECT_EQ(ask("disc\n"), "");
    Q4Socket_CloseSocket(peer);
}

// The serial slot on a socket pair: RTU lengths found by trying the CRC, a
// workbench frame with its CRC, answers with the CRC in each frame's order,
// and bad frames dropped with what is pending.
TEST_F(CommServer, SerialFramingFindsLengthsByCrc) {
    int sp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sp), 0);
    BareServer bare;
    Q4CSContext& cs = bare.cs;
    Q4CSSlot& s = bare.Take(1, kQ4CSSerial);
    s.serial = sp[0];
    auto rtu = [](std::vector<u8> b) { return WorkbenchClient::WithCrc(std::move(b), false); };
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        int code;       // 0: dropped
        size_t length;  // of the complete frame
    } cases[] = {
        {"read holding registers (8 bytes after trying 6 and 7)", rtu({1, 3, 0, 0, 0, 2}), 16, 8},
        {"write single register", rtu({1, 6, 0, 1, 0, 5}), 16, 8},
        {"write multiple registers with its byte count", rtu({1, 16, 0, 0, 0, 1, 2, 0, 9}), 16, 11},
        {"report slave id", rtu({1, 17}), 16, 4},
        {"read answer with its byte count", rtu({1, 3, 4, 0, 1, 0, 2}), 16, 9},
        {"workbench frame", WorkbenchClient::WithCrc(WorkbenchClient::Frame(21, {0, 1})), 21, 9},
        {"workbench frame with a bad CRC", {'Q', '4', 0, 1, 21, 0, 0}, 0, 0},
        {"unknown function", rtu({1, 99, 0, 0}), 0, 0},
        {"oversized workbench length", {'Q', '4', 4, 1}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(write(sp[1], c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
        u16 slot = 0;
        int code = 0;
        for (int k = 0; k < 20 && code == 0; ++k) {
            Q4CSSer_Activate(&cs);
            code = Q4CS_GetQuestion(&cs, &slot);
        }
        if (c.code == 21) {
            // Served by the server itself: the answer carries its CRC high byte first.
            Q4CSSer_Activate(&cs);
            u8 in[16];
            ssize_t n = recv(sp[1], in, sizeof in, MSG_DONTWAIT);
            std::vector<u8> want = WorkbenchClient::WithCrc({'Q', '4', 0, 3, 21, 0, 0});
            EXPECT_EQ(std::vector<u8>(in, in + (n > 0 ? n : 0)), want);
            continue;
        }
        EXPECT_EQ(code, c.code);
        if (c.code == 0) {
            EXPECT_EQ(s.received, 0);
            continue;
        }
        u32 length = 0;
        ASSERT_NE(Q4CS_GetRequestFrame(&cs, 1, &length), nullptr);
        EXPECT_EQ(length, c.length);
        // An RTU answer goes out with its CRC low byte first.
        u8* a = Q4CS_GetAnswerFrameBuffer(&cs, 1);
        ASSERT_NE(a, nullptr);
        a[0] = 1;
        a[1] = 6;
        Q4CS_SendAnswerFrame(&cs, 1, 2);
        Q4CS_ReleaseQuestion(&cs, 1);
        Q4CSSer_Activate(&cs);
        u8 in[8];
        ssize_t n = recv(sp[1], in, sizeof in, MSG_DONTWAIT);
        EXPECT_EQ(std::vector<u8>(in, in + (n > 0 ? n : 0)), rtu({1, 6}));
    }
    s.serial = -1;
    close(sp[0]);
    close(sp[1]);
}

// Without a workbench frame for 65 s the link goes back; frames keep it.
TEST_F(CommServer, SilentWorkbenchGivesTheLinkBackAfter65Seconds) {
    Q4_Connect_Ethernet();
    auto c = Client();
    clock.AdvanceMs(60000);
    EXPECT_EQ(c->Status(21, {0, 1}), 0);
    clock.AdvanceMs(64000);
    Pump();
    EXPECT_EQ(IsCommMode_Tovra, 0);
    clock.AdvanceMs(1000);
    Pump();
    EXPECT_EQ(IsCommMode_Tovra, 1);
    EXPECT_EQ(csData.listener, -1);
    EXPECT_TRUE(c->PeerClosed(2000));
}

// The programming software's "ZJ" at the start of a frame takes the link
// back; inside a frame the same bytes are data.
TEST_F(CommServer, ProgrammingSoftwareOnTheWorkbenchPortTakesTheLinkBack) {
    Q4_Connect_Ethernet();
    auto c = Client();
    std::vector<u8> f = WorkbenchClient::Frame(21, {'Z', 'J'});
    EXPECT_EQ(c->Status(21, {'Z', 'J'}), 1);
    EXPECT_EQ(IsCommMode_Tovra, 0);
    c->SendRaw(Bytes("ZJ\x01\x02"));
    for (int k = 0; k < 2000 && IsCommMode_Tovra == 0; ++k) Pump();
    EXPECT_EQ(IsCommMode_Tovra, 1);
}

}  // namespace
