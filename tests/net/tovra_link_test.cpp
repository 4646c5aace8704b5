// Programming link over TCP, in process: a scripted TCP host on one side,
// the mailbox driven by the test as the command interpreter would drive it
// on the other, and the Ethernet main step stepped by hand on the manual
// clock.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/tovra.h"
#include "platform/root.h"
#include "testsupport/link_host.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"
#include "testsupport/tovra_host.h"

namespace {

void Step() { EnetMain(0); }

// Steps until the condition holds: a wait for loopback data to arrive,
// bounded in host time only by a guard generous enough for a loaded machine
// (never what a test checks).
template <class F>
bool WaitFor(F f) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

class TovraLink : public ::testing::Test {
protected:
    void SetUp() override {
        offset_ = NetFreePortOffset(kTovraPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        Root_Init();
        Nvram_Reset();
        Enet_Reset();
        Enet_SetIdleWaitMs(0);
        Step();
        ASSERT_EQ(TovraConn[0].ip, &EnetIp[0]);
    }
    void TearDown() override {
        Enet_Reset();
        Nvram_Reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    int Port() const { return static_cast<int>(kTovraPort) + offset_; }
    // What the interpreter reads until at least n bytes arrived.
    std::vector<u8> InputOf(size_t n) {
        std::vector<u8> got;
        WaitFor([&] {
            Step();
            while (Etn_CheckRx()) got.push_back(static_cast<u8>(Etn_GetRx()));
            return got.size() >= n;
        });
        return got;
    }
    // Everything the interpreter reads once something arrived, byte by byte.
    std::vector<u8> Input() { return InputOf(1); }
    // Proves that nothing reached the interpreter since it last read: a
    // marker frame the host sends now is the very first thing it reads.
    // The interpreter acknowledges it, so the link is where it was.
    void ExpectNothingBeforeAMarker(TovraHost& host) {
        const std::vector<u8> marker = Frame(9, {0x4D, 0x4B});
        ASSERT_TRUE(host.Send(0, marker));
        EXPECT_EQ(InputOf(marker.size()), marker);
        Etn_PutTx(kCmdAck);
        EXPECT_EQ(host.Read().Single(), kCmdAck);
    }
    std::vector<u8> Frame(u8 cmd, const std::vector<u8>& data) { return LinkHost::Frame(cmd, data, Cmd_Seed()); }

    ManualClock clock_;
    TempRoot root_;
    RegFixture regs_;
    int offset_ = 0;
};

TEST_F(TovraLink, HandshakeRepliesAndVersionRefusal) {
    TovraHost host(Cmd_Seed(), Step);
    ASSERT_TRUE(host.Connect(Port()));
    struct Case {
        u16 clock[6];
        u32 expected;  // the challenge the controller must keep
    } cases[] = {
        {{0, 30, 12, 5, 3, 2021}, (0u + 30 + 12 + 5 + 3 + 2021) * 47},      // second 0: plain sum
        {{7, 30, 12, 5, 3, 2021}, (7u + 30 + 12 + 5 + 3 + 2021) * 7 * 47},  // times the second
    };
    for (const Case& c : cases) {
        for (int i = 0; i < 6; ++i) SR_Put(44 + i, c.clock[i]);
        Step();  // the clock words reach the exchange block
        ASSERT_TRUE(host.Send(kTovraChallenge, {}));
        TovraPacket r = host.Read();
        ASSERT_TRUE(r.received);
        EXPECT_EQ(r.Status(), kTovraChallenge);
        EXPECT_EQ(TovraHost::AnswerOf(r.Key()), c.expected);
        EXPECT_EQ(GetLe16(r.header + kTovraClock), c.clock[0]);
        EXPECT_EQ(GetLe16(r.header + kTovraClock + 10), c.clock[5]);
        // Echoing the challenge reply itself is not the answer.
        ASSERT_TRUE(host.Send(kTovraAnswer, {}, r.Key()));
        EXPECT_EQ(host.Read().Status(), kTovraRefused);
        EXPECT_EQ(TovraConn[0].session, 0);
    }
    EXPECT_EQ(host.Handshake(), kTovraDone);
    EXPECT_EQ(TovraConn[0].session, kTovraSessionOpen);
    ASSERT_TRUE(host.Send(kTovraClose, {}));
    EXPECT_EQ(host.Read().Status(), kTovraDone);
    EXPECT_EQ(TovraConn[0].session, 0);

    // A host speaking a later version is told the one spoken here; nothing
    // reaches the interpreter.
    host.SetVersion(3);
    ASSERT_TRUE(host.Send(0, Frame(1, {1})));
    TovraPacket v = host.Read();
    EXPECT_EQ(v.Status(), kTovraBadVersion);
    EXPECT_EQ(v.Version(), 2);
    host.SetVersion(2);
    ExpectNothingBeforeAMarker(host);
}

TEST_F(TovraLink, DataIsAcceptedWithoutASessionAndEveryOutputBlockArrives) {
    TovraHost host(Cmd_Seed(), Step);
    ASSERT_TRUE(host.Connect(Port()));
    std::vector<u8> req = Frame(22, {1, 16, 0, 0, 1, 2, 3, 4});
    ASSERT_TRUE(host.Send(0, req, 0xCAFE0001));
    EXPECT_EQ(Input(), req);
    // Three blocks put one after another before the link runs: none may
    // overwrite another, and a block longer than the mailbox is not cut.
    std::vector<u8> a = Frame(0xFF, {1, 2}), b(100, 0x5A);
    Etn_PutnTx(a.data(), static_cast<u32>(a.size()));
    Etn_PutnTx(b.data(), static_cast<u32>(b.size()));
    Etn_PutTx(kCmdAck);
    std::vector<u8> got;
    for (int i = 0; i < 4; ++i) {
        TovraPacket p = host.Read();
        ASSERT_TRUE(p.received) << i;
        EXPECT_EQ(p.Key(), 0xCAFE0001u);  // taken from the request for the reply
        EXPECT_EQ(p.Status(), 0);
        got.insert(got.end(), p.data.begin(), p.data.end());
    }
    std::vector<u8> want = a;
    want.insert(want.end(), b.begin(), b.end());
    want.push_back(kCmdAck);
    EXPECT_EQ(got, want);
    EXPECT_EQ(Etn_TxQueued(), 0u);
    // Nothing waiting: no byte, no wait.
    EXPECT_EQ(Etn_CheckRx(), 0);
    EXPECT_EQ(Etn_GetRx(), -1);
    // An empty data packet gives the interpreter nothing to read.
    ASSERT_TRUE(host.Send(0, {}));
    ExpectNothingBeforeAMarker(host);
}

TEST_F(TovraLink, LongDownloadFrameReachesTheInterpreterInShortFrames) {
    TovraHost host(Cmd_Seed(), Step);
    ASSERT_TRUE(host.Connect(Port()));
    ASSERT_TRUE(host.Send(0, Frame(4, {1, 0})));
    ASSERT_EQ(Input(), Frame(4, {1, 0}));
    Etn_PutTx(kCmdAck);
    ASSERT_EQ(host.Read().Single(), kCmdAck);

    std::vector<u8> image(130);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<u8>(i * 7);
    std::vector<u8> longFrame{0xFF, 130};
    longFrame.insert(longFrame.end(), image.begin(), image.end());
    longFrame.push_back(0x00);  // its checksum is not used
    ASSERT_TRUE(host.Send(0, longFrame));
    std::vector<u8> joined;
    for (u32 size : {64u, 64u, 2u}) {
        std::vector<u8> chunk = Input();
        ASSERT_EQ(chunk.size(), size + 3);
        EXPECT_EQ(chunk[0], 0xFF);
        EXPECT_EQ(chunk[1], size);
        u8 sum = Cmd_Seed();
        for (u8 x : chunk) sum = static_cast<u8>(sum + x);
        EXPECT_EQ(sum, 0) << "chunk of " << size;
        joined.insert(joined.end(), chunk.begin() + 2, chunk.end() - 1);
        Etn_PutTx(kCmdAck);
    }
    EXPECT_EQ(joined, image);
    // Only the acknowledge of the last chunk reaches the host.
    TovraPacket ack = host.Read();
    EXPECT_EQ(ack.Single(), kCmdAck);
    EXPECT_FALSE(host.Read(200).received);
}

TEST_F(TovraLink, HostLeavingInTheMiddleOfALongFrameLeavesNothingBehind) {
    TovraHost first(Cmd_Seed(), Step), next(Cmd_Seed(), Step);
    ASSERT_TRUE(first.Connect(Port()));
    ASSERT_TRUE(first.Send(0, Frame(4, {1, 0})));
    ASSERT_FALSE(Input().empty());
    Etn_PutTx(kCmdAck);
    ASSERT_EQ(first.Read().Single(), kCmdAck);
    std::vector<u8> longFrame(2 + 200 + 1, 0x11);
    longFrame[0] = 0xFF;
    ASSERT_TRUE(first.Send(0, longFrame));
    ASSERT_EQ(Input().size(), 64u + 3);  // the first chunk is with the interpreter
    first.Close();
    ASSERT_TRUE(next.Connect(Port()));
    // The next host's request and its answer are its own: no chunk of the
    // old frame follows, and the answer is not taken for a chunk's.
    std::vector<u8> got;
    ASSERT_TRUE(WaitFor([&] {
        next.Send(0, Frame(1, {1}));
        got = Input();
        return !got.empty();
    }));
    EXPECT_EQ(got, Frame(1, {1}));
    Etn_PutTx(kCmdAck);
    TovraPacket r = next.Read();
    while (r.received && r.Status() == kTovraBusy) r = next.Read();
    EXPECT_EQ(r.Single(), kCmdAck);
    std::vector<u8> frame = Frame(0xFF, {3});
    Etn_PutnTx(frame.data(), static_cast<u32>(frame.size()));
    EXPECT_EQ(next.Read().data, frame);
}

TEST_F(TovraLink, FramesWithLyingLengthsAreRefused) {
    TovraHost host(Cmd_Seed(), Step);
    ASSERT_TRUE(host.Connect(Port()));
    ASSERT_TRUE(host.Send(0, Frame(4, {1, 0})));
    ASSERT_FALSE(Input().empty());
    Etn_PutTx(kCmdAck);
    ASSERT_EQ(host.Read().Single(), kCmdAck);

    // A long frame too short to hold its own framing.
    for (std::vector<u8> shortFrame : {std::vector<u8>{0xFF}, std::vector<u8>{0xFF, 0x40}}) {
        ASSERT_TRUE(host.Send(0, shortFrame));
        TovraPacket r = host.Read();
        EXPECT_EQ(r.Status(), kTovraRefused) << shortFrame.size();
        // The refusal came from the pass that took the packet: nothing of it
        // went on to the interpreter.
        Step();
        EXPECT_EQ(Etn_CheckRx(), 0) << shortFrame.size();
    }
    // A header announcing more than has arrived waits for the rest.
    std::vector<u8> frame = Frame(1, {1});
    std::vector<u8> packet(28, 0);
    PutLe16(packet.data() + 4, 2);
    PutLe16(packet.data() + kTovraLength, static_cast<u16>(frame.size()));
    packet.insert(packet.end(), frame.begin(), frame.end());
    // (Had any of it gone on early, the interpreter would read that first.)
    ASSERT_TRUE(host.SendBytes(std::vector<u8>(packet.begin(), packet.end() - 2)));
    Step();
    EXPECT_EQ(Etn_CheckRx(), 0);
    ASSERT_TRUE(host.SendBytes(std::vector<u8>(packet.end() - 2, packet.end())));
    EXPECT_EQ(InputOf(frame.size()), frame);

    // A length no packet can have: the stream cannot be followed any more.
    ASSERT_TRUE(host.Send(0, {1, 2, 3}, 0, 0xFFFF));
    EXPECT_TRUE(host.PeerClosed(2000));
    TovraHost again(Cmd_Seed(), Step);
    ASSERT_TRUE(again.Connect(Port()));
    EXPECT_EQ(again.Handshake(), kTovraDone);
    ExpectNothingBeforeAMarker(again);
}

TEST_F(TovraLink, SecondHostIsBusyUntilTheFirstIsQuietForThirtySeconds) {
    TovraHost first(Cmd_Seed(), Step), second(Cmd_Seed(), Step);
    ASSERT_TRUE(first.Connect(Port()));
    // The first host is taken before the second one knocks.
    ASSERT_TRUE(WaitFor([&] {
        Step();
        return Tovra_ConnCnt(0) == 1u;
    }));
    ASSERT_TRUE(second.Connect(Port()));
    ASSERT_TRUE(first.Send(0, Frame(1, {1})));
    ASSERT_FALSE(Input().empty());
    EXPECT_EQ(Tovra_ConnCnt(0), 2u);

    ASSERT_TRUE(second.Send(0, Frame(1, {1})));
    TovraPacket busy = second.Read();
    EXPECT_EQ(busy.Status(), kTovraBusy);
    EXPECT_EQ(busy.Single(), kCmdBusy);
    // The handshake is answered whoever owns the link.
    EXPECT_EQ(second.Handshake(), kTovraDone);

    // 29.9 s of silence keeps the first; a little more drops it. The second
    // keeps talking and stays.
    clock_.AdvanceMs(20000);
    ASSERT_TRUE(second.Send(kTovraChallenge, {}));
    ASSERT_TRUE(second.Read().received);
    clock_.AdvanceMs(9999);
    Step();
    EXPECT_FALSE(first.PeerClosed(100));
    clock_.AdvanceMs(2);
    EXPECT_TRUE(first.PeerClosed(2000));
    EXPECT_EQ(Tovra_ConnCnt(0), 1u);
    ASSERT_TRUE(second.Send(0, Frame(1, {1})));
    EXPECT_EQ(Input(), Frame(1, {1}));
}

// A packet begun must be whole within the packet time however often its
// bytes come; with every slot taken, the connection quiet longest gives way
// to a newcomer, and the hosts still talking keep theirs.
TEST_F(TovraLink, SlowOrIdleHostsHoldNoSlot) {
    {
        TovraHost slow(Cmd_Seed(), Step);
        ASSERT_TRUE(slow.Connect(Port()));
        std::vector<u8> header(28, 0);
        PutLe16(header.data() + 4, 2);
        bool closed = false;
        for (size_t i = 0; i < header.size() && !closed; ++i) {
            if (i) clock_.AdvanceMs(100);
            ASSERT_TRUE(slow.SendBytes({header[i]}));
            for (int k = 0; k < 20; ++k) Step();
            closed = slow.PeerClosed(1);
            EXPECT_TRUE(!closed || i * 100 > kTovraFrameMs) << i;
        }
        EXPECT_TRUE(closed);
    }
    std::vector<std::unique_ptr<TovraHost>> hosts;
    for (u32 i = 0; i < kTovraSlots; ++i) {
        hosts.push_back(std::make_unique<TovraHost>(Cmd_Seed(), Step));
        ASSERT_TRUE(hosts.back()->Connect(Port()));
        ASSERT_TRUE(WaitFor([&] {
            Step();
            return Tovra_ConnCnt(0) == i + 1;
        }));
    }
    clock_.AdvanceMs(kTovraFrameMs + 1);
    for (u32 i = 1; i < kTovraSlots; ++i) EXPECT_EQ(hosts[i]->Handshake(), kTovraDone) << i;
    TovraHost newcomer(Cmd_Seed(), Step);
    ASSERT_TRUE(newcomer.Connect(Port()));
    EXPECT_EQ(newcomer.Handshake(), kTovraDone);
    EXPECT_TRUE(hosts[0]->PeerClosed(2000));
    for (u32 i = 1; i < kTovraSlots; ++i) EXPECT_EQ(hosts[i]->Handshake(), kTovraDone) << i;
}

}  // namespace
