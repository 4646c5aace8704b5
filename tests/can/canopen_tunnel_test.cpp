// The programming tunnel of the CANopen node (node 5 on the default record):
// transfers it sends to another node played by the test, and transfers the
// test sends to it, honest and hostile.
#include <gtest/gtest.h>

#include <functional>

#include "io/canopen_sdo.h"
#include "io/canopen_tunnel.h"
#include "link/vcomm.h"
#include "tests/can/canopen_fixture.h"

namespace {

constexpr u8 kNode = 5, kPeer = 7;

std::vector<u8> Bytes(const CanFrame& f) { return std::vector<u8>(f.data, f.data + f.length); }

std::vector<u8> Le32(u32 v) { return {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16), static_cast<u8>(v >> 24)}; }

class CanOpenTunnel : public CanOpenTest {
public:
    void SetUp() override {
        CanOpenTest::SetUp();
        Vcomm_Reset();
        Init();
        Scan();  // boot-up
    }
    void TearDown() override {
        Vcomm_Reset();
        CanOpenTest::TearDown();
    }
    // The link's bytes as the tunnel queue holds them.
    std::vector<u8> Queue() {
        std::vector<u8> out;
        while (Net_CheckRx()) out.push_back(static_cast<u8>(Net_GetRx()));
        return out;
    }
    // Sends a transfer of the given size (announced) and data frames to this
    // node's default SDO server; answers the frames the node sent back.
    std::vector<CanFrame> Initiate(u32 size, u8 command = 0xC2) {
        std::vector<u8> f = {command, 0x00, 0x50, 0x00};
        for (u8 b : Le32(size)) f.push_back(b);
        peer->Send(0x600 + kNode, f);
        return Scan();
    }
    std::vector<CanFrame> Segment(u8 first, std::vector<u8> data) {
        data.insert(data.begin(), first);
        data.resize(8);
        peer->Send(0x600 + kNode, data);
        return Scan();
    }
    // A whole honest transfer from the peer: its id, then the bytes.
    std::vector<CanFrame> Transfer(u8 sender, const std::vector<u8>& bytes) {
        std::vector<u8> all = {sender};
        all.insert(all.end(), bytes.begin(), bytes.end());
        std::vector<CanFrame> got = Initiate(static_cast<u32>(all.size()));
        const size_t segments = (all.size() + 6) / 7;
        for (size_t s = 0; s < segments; ++s) {
            std::vector<u8> part(all.begin() + 7 * s, all.begin() + std::min(all.size(), 7 * s + 7));
            got = Segment(static_cast<u8>((s + 1) | (s + 1 == segments ? 0x80 : 0)), part);
        }
        return got;
    }
};

TEST_F(CanOpenTunnel, ACommandFrameGoesAsOnePacedBlockTransfer) {
    // A 9-byte command frame for node 7: a 10-byte transfer.
    const std::vector<u8> frame = {2, 7, kPeer, 1, 2, 3, 4, 5, 0xAA};
    CANOpen_PutByte(frame.data(), static_cast<u32>(frame.size()), kCoTunnelRelay);
    Can_Isr();
    std::vector<CanFrame> got = peer->Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].idWord, 0x600u + kPeer);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0xC2, 0x00, 0x50, 0x00, 10, 0, 0, 0}));
    // Nothing more before the answer.
    EXPECT_TRUE(Scan().empty());
    peer->Send(0x580 + kPeer, {0xA0, 0x00, 0x50, 0x00, 2, 0, 0, 0});
    got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{1, kNode, 2, 7, kPeer, 1, 2, 3}));
    // The last segment waits more than 4 ms after the first.
    clock.AdvanceTicks(kCoTunnelPacingTicks);
    EXPECT_TRUE(Scan().empty());
    clock.AdvanceTicks(1);
    got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0x82, 4, 5, 0xAA, 0, 0, 0, 0}));
    EXPECT_TRUE(CoTunnel_Sending());
    peer->Send(0x580 + kPeer, {0xA2, 2, 2, 0, 0, 0, 0, 0});
    Scan();
    EXPECT_FALSE(CoTunnel_Sending());

    // An answer of 5 bytes goes to the last node in one segment.
    const std::vector<u8> answer = {0xA0, 1, 2, 3, 4};
    CANOpen_PutByte(answer.data(), 5, kCoTunnelAnswer);
    got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0xC2, 0x00, 0x50, 0x00, 6, 0, 0, 0}));
    peer->Send(0x580 + kPeer, {0xA0, 0x00, 0x50, 0x00, 1, 0, 0, 0});
    got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0x81, kNode, 0xA0, 1, 2, 3, 4, 0}));
}

TEST_F(CanOpenTunnel, BytesHandedOverTogetherAreAllSentInOrderAndLongOnesSplit) {
    // A request and a 300-byte frame in the same pass: the first goes at
    // once, the second waits for it and is cut into transfers the buffer
    // holds; nothing is lost.
    const u8 relay[] = {1, 1, kPeer};
    CANOpen_PutByte(relay, 3, kCoTunnelRelay);
    std::vector<u8> big(300);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<u8>(i);
    CANOpen_PutByte(big.data(), static_cast<u32>(big.size()), kCoTunnelAnswer);
    std::vector<u8> stream;
    std::vector<u32> sizes;
    for (int round = 0; round < 500 && (CoTunnel_Sending() || sizes.empty()); ++round) {
        for (const CanFrame& f : Scan()) {
            ASSERT_EQ(f.idWord, 0x600u + kPeer);
            if (f.data[0] == 0xC2) {
                sizes.push_back(GetLe32(f.data + 4));
                peer->Send(0x580 + kPeer, {0xA0, 0x00, 0x50, 0x00, static_cast<u8>((sizes.back() + 6) / 7), 0, 0, 0});
                continue;
            }
            const u32 size = sizes.back();
            const u32 seq = f.data[0] & 0x7F;
            const u32 have = 7 * (seq - 1);
            for (u32 i = 0; i < 7 && have + i < size; ++i) stream.push_back(f.data[1 + i]);
            if (f.data[0] & 0x80) peer->Send(0x580 + kPeer, {0xA2, static_cast<u8>(seq), static_cast<u8>(seq), 0, 0, 0, 0, 0});
        }
        clock.AdvanceMs(5);
    }
    EXPECT_FALSE(CoTunnel_Sending());
    ASSERT_EQ(sizes, (std::vector<u32>{4, kCoTunnelBufferBytes, 300 - 257 + 1}));
    std::vector<u8> want = {kNode, 1, 1, kPeer, kNode};
    want.insert(want.end(), big.begin(), big.begin() + 257);
    want.push_back(kNode);
    want.insert(want.end(), big.begin() + 257, big.end());
    EXPECT_EQ(stream, want);
}

TEST_F(CanOpenTunnel, UnansweredTransferEndsAfterItsTimeOut) {
    const u8 relay[] = {1, 1, kPeer};
    CANOpen_PutByte(relay, 3, kCoTunnelRelay);
    Scan();
    clock.AdvanceTicks(kCoTunnelTimeoutTicks);
    Scan();
    EXPECT_TRUE(CoTunnel_Sending());
    clock.AdvanceTicks(1);
    std::vector<CanFrame> got = Scan();
    EXPECT_FALSE(CoTunnel_Sending());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0x80, 0x00, 0x50, 0x00, 0x00, 0x00, 0x04, 0x05}));
    // A relay frame without a node is not sent.
    const u8 toNobody[] = {1, 1, 0x80};
    CANOpen_PutByte(toNobody, 3, kCoTunnelRelay);
    EXPECT_TRUE(Scan().empty());
}

TEST_F(CanOpenTunnel, ReceivedTransferReachesTheLinkAndClaimsIt) {
    std::vector<CanFrame> got = Transfer(kPeer, {2, 2, kNode, 1, 0xF0, 9, 9, 9, 9});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].idWord, 0x580u + kNode);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0xA2, 2, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Queue(), (std::vector<u8>{2, 2, kNode, 1, 0xF0, 9, 9, 9, 9}));
    EXPECT_EQ(Vcomm_Host, kHostCan);
    EXPECT_EQ(Vcomm_Mode, kLinkRemote);
    EXPECT_EQ(CoTunnel_Destination(), kPeer);
}

TEST_F(CanOpenTunnel, HostileTransfersAreAbortedAndQueueNothing) {
    struct Case {
        const char* what;
        std::function<std::vector<CanFrame>(CanOpenTunnel&)> send;
        u32 abort;
    } cases[] = {
        {"size 2^30", [](CanOpenTunnel& t) { return t.Initiate(1u << 30); }, kSdoAbortNoMemory},
        {"size 259", [](CanOpenTunnel& t) { return t.Initiate(259); }, kSdoAbortNoMemory},
        {"size 300 in 30-bit field with flag bits",
         [](CanOpenTunnel& t) { return t.Initiate(0xC0000000u | 300); }, kSdoAbortNoMemory},
        {"no size", [](CanOpenTunnel& t) { return t.Initiate(10, 0xC0); }, kSdoAbortCommand},
        {"wrong sequence",
         [](CanOpenTunnel& t) {
             t.Initiate(20);
             t.Segment(1, {kPeer, 1, 2, 3, 4, 5, 6});
             return t.Segment(3, {7, 8, 9, 10, 11, 12, 13});
         },
         kSdoAbortSequence},
        {"last segment too early",
         [](CanOpenTunnel& t) {
             t.Initiate(20);
             return t.Segment(0x81, {kPeer, 1, 2, 3, 4, 5, 6});
         },
         kSdoAbortBlockSize},
        {"more segments than the size",
         [](CanOpenTunnel& t) {
             t.Initiate(7);
             t.Segment(1, {kPeer, 1, 2, 3, 4, 5, 6});
             return t.Segment(2, {7, 8, 9, 10, 11, 12, 13});
         },
         kSdoAbortBlockSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<CanFrame> got = c.send(*this);
        ASSERT_FALSE(got.empty());
        const CanFrame& last = got.back();
        EXPECT_EQ(last.idWord, 0x580u + kNode);
        EXPECT_EQ(Bytes(last), (std::vector<u8>{0x80, 0x00, 0x50, 0x00, static_cast<u8>(c.abort),
                                                static_cast<u8>(c.abort >> 8), static_cast<u8>(c.abort >> 16),
                                                static_cast<u8>(c.abort >> 24)}));
        EXPECT_TRUE(Queue().empty());
        EXPECT_EQ(Vcomm_Lock, 0u);
        // The server is free again: an honest transfer gets through.
        Transfer(kPeer, {0x11});
        EXPECT_EQ(Queue(), (std::vector<u8>{0x11}));
        Vcomm_Reset();
    }
}

TEST_F(CanOpenTunnel, AFullQueueRefusesATransferWithoutOverwriting) {
    std::vector<u8> chunk(257);
    const u32 fit = kCoTunnelQueueBytes / 257;
    for (u32 k = 0; k < fit; ++k) {
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<u8>(k + i);
        std::vector<CanFrame> got = Transfer(kPeer, chunk);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].data[0], 0xA2);
    }
    std::vector<CanFrame> got = Transfer(kPeer, chunk);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0]), (std::vector<u8>{0x80, 0x00, 0x50, 0x00, 0x05, 0x00, 0x04, 0x05}));
    std::vector<u8> q = Queue();
    ASSERT_EQ(q.size(), fit * 257);
    for (u32 k = 0; k < fit; ++k) EXPECT_EQ(q[257 * k], static_cast<u8>(k));
}

TEST_F(CanOpenTunnel, ANodeWithoutIdQueuesTheBytesOnceAndClaimsNothing) {
    Can_Reset();
    CANOpen_Reset();
    SR_Put(29, 0);
    Init();
    Scan();
    std::vector<u8> all = {kPeer, 0x21, 0x22};
    peer->Send(0x600, {0xC2, 0x00, 0x50, 0x00, 3, 0, 0, 0});
    Scan();
    peer->Send(0x600, {0x81, kPeer, 0x21, 0x22, 0, 0, 0, 0});
    std::vector<CanFrame> got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data[0], 0xA2);
    EXPECT_EQ(Queue(), (std::vector<u8>{0x21, 0x22}));
    EXPECT_EQ(Vcomm_Lock, 0u);
}

}  // namespace
