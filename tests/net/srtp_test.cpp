// SRTP server: the messages of one connection driven without a peer (the
// answers are taken from the server's sender), so that each answer can be
// compared byte for byte; and the selectors over the register memory and
// the IEC map.
#include "net/srtp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "net/dpr.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/srtp_client.h"

namespace {

std::vector<u8> g_sent;
u32 g_sends = 0;
u32 g_failFrom = ~0u;  // sends from this count on fail
std::vector<u32> g_sizes;

u32 Capture(int, u32, const u8* data, u32 n) {
    if (g_sends++ >= g_failFrom) return 1;
    g_sent.insert(g_sent.end(), data, data + n);
    g_sizes.push_back(n);
    return 0;
}

class SrtpTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dpr_Reset();
        Srtp_Reset();
        PutLe16(DprMap + kDprRunFlag, 1);
        Dpr_Configuration[0].flags.service |= kSvcSrtp;
        Srtp_SetSender(Capture);
        g_sent.clear();
        g_sends = 0;
        g_failFrom = ~0u;
    }
    void TearDown() override {
        Srtp_Reset();
        Dpr_Reset();
    }
    // Feeds bytes to connection s, then one more empty step (answers of
    // reads go out on the step after their request); answers all replies.
    std::vector<SrtpReply> Feed(const std::vector<u8>& bytes, u32 s = 0) {
        Srtp_Feed(0, s, bytes.data(), static_cast<u32>(bytes.size()));
        Srtp_Feed(0, s, nullptr, 0);
        std::vector<SrtpReply> out;
        SrtpReply r;
        while (SrtpTakeReply(g_sent, &r)) out.push_back(r);
        EXPECT_TRUE(g_sent.empty()) << "bytes left that form no answer";
        return out;
    }
    SrtpReply One(const SrtpRequest& q, u32 s = 0) {
        std::vector<SrtpReply> r = Feed(SrtpEncode(q), s);
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? SrtpReply{std::vector<u8>(56, 0xEE), {}} : r[0];
    }
    u16 R(u32 word) { return GetLe16(&plc_reg[kRegR + 2 * word]); }

    RegFixture regs_;
};

TEST_F(SrtpTest, ConnectSessionAndFixedServices) {
    SrtpRequest q;
    q.type = 0;
    q.sequence = 7;
    SrtpReply a = One(q);
    EXPECT_EQ(a.Type(), 1);
    EXPECT_EQ(a.Sequence(), 7);
    EXPECT_EQ(a.header[8], 1);
    EXPECT_EQ(a.TextLength(), 0u);

    q.type = 8;
    q.service = 79;
    a = One(q);
    EXPECT_EQ(a.Type(), 3);
    EXPECT_EQ(a.Kind(), 0xD4);
    EXPECT_EQ(a.header[17], 1);
    q.service = 78;
    EXPECT_EQ(One(q).Type(), 5);  // a session request without 79 at byte 42

    // Service answers: kind, text, and the fixed bytes 50-55.
    struct Case {
        u8 service, selector;
        u8 kind;
        std::vector<u8> text;
    } cases[] = {
        {0, 0, 0xD4, {}},
        {1, 0, 0x94, [] { std::vector<u8> t(44); std::memcpy(t.data(), "VDL420", 6); t[8] = 1; return t; }()},
        {67, 0, 0x94, [] { std::vector<u8> t(40); std::memcpy(t.data(), "VDL420", 6); t[10] = 1; return t; }()},
        {97, 0, 0x94, {10, 2, 0, 0, 0, 0, 0, 0, 0, 0}},
        {4, 230, 0x94, [] { std::vector<u8> t(256); t[4] = t[6] = 0; PutLe16(&t[4], 512); PutLe16(&t[6], 512); PutLe16(&t[8], 49999); return t; }()},
        {4, 236, 0x94, [] { std::vector<u8> t(256); t[55] = t[57] = 0x44; return t; }()},
    };
    for (const Case& c : cases) {
        SrtpRequest s;
        s.sequence = 0x1234;
        s.service = c.service;
        s.selector = c.selector;
        s.byte30 = 0x5A;
        s.word32 = 0x11223344;
        s.word36 = 0x55667788;
        s.paramsAt50 = c.service == 67;  // the other parameter position
        a = One(s);
        EXPECT_EQ(a.Type(), 3) << int(c.service);
        EXPECT_EQ(a.Sequence(), 0x1234);
        EXPECT_EQ(a.Kind(), c.kind) << int(c.service);
        EXPECT_EQ(a.text, c.text) << int(c.service);
        EXPECT_EQ(a.header[17], c.text.empty() ? 1 : 2);
        if (!c.text.empty()) {
            EXPECT_EQ(GetLe16(&a.header[42]), c.text.size());
        }
        EXPECT_EQ(a.header[30], 0x5A);
        EXPECT_EQ(GetLe32(&a.header[32]), 0x55667788u);  // the two address words change places
        EXPECT_EQ(GetLe32(&a.header[36]), 0x11223344u);
        EXPECT_EQ(a.header[50], 0xFF);
        EXPECT_EQ(a.Priv(), 2);
        EXPECT_EQ(GetLe16(&a.header[52]), 116);
        EXPECT_EQ(a.Status(), 0);
    }
    // Unknown services and message types are not answered.
    SrtpRequest unknown;
    unknown.service = 50;
    EXPECT_TRUE(Feed(SrtpEncode(unknown)).empty());
    unknown.type = 6;
    unknown.service = 0;
    EXPECT_TRUE(Feed(SrtpEncode(unknown)).empty());

    // Privilege level: 255 gives 4, out of range gives 2; every answer shows it.
    SrtpRequest priv;
    priv.service = 33;
    const std::pair<int, int> levels[] = {{255, 4}, {7, 2}, {3, 3}, {1, 2}};
    for (auto [level, expect] : levels) {
        priv.selector = static_cast<u8>(level);
        EXPECT_EQ(One(priv).Priv(), expect) << level;
        EXPECT_EQ(One(SrtpRequest{}).Priv(), expect);
    }
    // Outside run mode the status word says so.
    PutLe16(DprMap + kDprRunFlag, 0);
    EXPECT_EQ(One(SrtpRequest{}).Status(), 0x2000);
}

TEST_F(SrtpTest, ReadsAnsweredOnTheNextStepWithTheirSizes) {
    for (u32 w = 0; w < 1000; ++w) PutLe16(&plc_reg[kRegR + 2 * w], static_cast<u16>(w * 3 + 1));
    // 3 words: 56 bytes, data at 44-49.
    std::vector<u8> q = SrtpEncode(SrtpRead(1, 8, 0, 3));
    Srtp_Feed(0, 0, q.data(), static_cast<u32>(q.size()));
    EXPECT_TRUE(g_sent.empty());  // not in the step that took the request
    EXPECT_TRUE(Srtp_HasWork());
    Srtp_Feed(0, 0, nullptr, 0);
    ASSERT_EQ(g_sent.size(), 56u);
    EXPECT_EQ(g_sent[31], 0xD4);
    EXPECT_EQ(GetLe32(&g_sent[4]), 0u);
    EXPECT_EQ(GetLe16(&g_sent[44]), 1);
    EXPECT_EQ(GetLe16(&g_sent[46]), 4);
    EXPECT_EQ(GetLe16(&g_sent[48]), 7);
    g_sent.clear();

    // 10 words from word 5: 76 bytes, text length 20.
    SrtpReply a = One(SrtpRead(2, 8, 5, 10));
    EXPECT_EQ(a.header.size() + a.text.size(), 76u);
    EXPECT_EQ(a.Kind(), 0x94);
    EXPECT_EQ(GetLe16(&a.header[42]), 20);
    EXPECT_EQ(GetLe16(&a.text[0]), 16);

    // 1000 words: a 1444-byte first packet and a 612-byte second one.
    g_sizes.clear();
    std::vector<u8> big = SrtpEncode(SrtpRead(3, 8, 0, 1000));
    Srtp_Feed(0, 0, big.data(), static_cast<u32>(big.size()));
    Srtp_Feed(0, 0, nullptr, 0);
    ASSERT_EQ(g_sent.size(), 56u + 2000);
    EXPECT_EQ(GetLe32(&g_sent[4]), 2000u);
    EXPECT_EQ(g_sizes, (std::vector<u32>{1444, 612}));
    for (u32 w = 0; w < 1000; ++w) ASSERT_EQ(GetLe16(&g_sent[56 + 2 * w]), w * 3 + 1) << w;
    g_sent.clear();

    // A long answer whose second packet cannot go is finished on the next
    // step, without sending the first packet again.
    g_failFrom = g_sends + 1;
    Srtp_Feed(0, 0, big.data(), static_cast<u32>(big.size()));
    Srtp_Feed(0, 0, nullptr, 0);
    EXPECT_EQ(g_sent.size(), 1444u);
    EXPECT_TRUE(Srtp_HasWork());
    g_failFrom = ~0u;
    Srtp_Feed(0, 0, nullptr, 0);
    EXPECT_EQ(g_sent.size(), 2056u);
    EXPECT_FALSE(Srtp_HasWork());
    g_sent.clear();

    // Bit and byte selectors: %I bytes, %M bits (each bit at its place).
    plc_reg[kRegI + 2] = 0xA5;
    a = One(SrtpRead(4, 16, 2, 1));
    EXPECT_EQ(a.header[44], 0xA5);
    u8* m = PlcReg_Ptr(M_token, 16);
    ASSERT_NE(m, nullptr);
    m[1] = 0xFF;
    a = One(SrtpRead(5, 76, 10, 3));  // bits 10-12 lie in byte 1 at positions 2-4
    EXPECT_EQ(a.header[44], 0x1C);
}

TEST_F(SrtpTest, WritesShortLongAndInPieces) {
    // Text write of 2 words.
    SrtpReply a = One(SrtpWrite(1, 8, 4, 2, {0x34, 0x12, 0xCD, 0xAB}));
    EXPECT_EQ(a.Kind(), 0xD4);
    EXPECT_EQ(R(4), 0x1234);
    EXPECT_EQ(R(5), 0xABCD);
    // Data in the header: %M bits 3-5 only.
    u8* m = PlcReg_Ptr(M_token, 8);
    ASSERT_NE(m, nullptr);
    m[0] = 0x81;
    SrtpRequest bits = SrtpRead(2, 76, 3, 3);
    bits.service = 7;
    bits.kind = 0xC0;
    bits.headerData[0] = 0xFF;
    EXPECT_EQ(One(bits).Kind(), 0xD4);
    EXPECT_EQ(m[0], 0xB9);
    // 0xD7: nothing written, nothing answered.
    SrtpRequest none = SrtpWrite(3, 8, 0, 1, {9, 9});
    none.kind = 0xD7;
    EXPECT_TRUE(Feed(SrtpEncode(none)).empty());
    EXPECT_EQ(R(0), 0);
    // Another kind: error answer.
    none.kind = 0x81;
    EXPECT_EQ(One(none).Type(), 5);

    // A long write of 1500 words arrives in pieces of any size; it is
    // answered once, when its last byte is in.
    std::vector<u8> text(3000);
    for (u32 i = 0; i < 1500; ++i) PutLe16(&text[2 * i], static_cast<u16>(0x4000 + i));
    std::vector<u8> msg = SrtpEncode(SrtpWrite(0x77, 8, 100, 1500, text));
    for (size_t at = 0, piece = 1; at < msg.size(); at += piece, piece = piece * 3 + 17) {
        size_t n = std::min(piece, msg.size() - at);
        Srtp_Feed(0, 0, msg.data() + at, static_cast<u32>(n));
        if (at + n < msg.size()) {
            EXPECT_TRUE(g_sent.empty());
        }
    }
    SrtpReply done;
    ASSERT_TRUE(SrtpTakeReply(g_sent, &done));
    EXPECT_EQ(done.Sequence(), 0x77);
    EXPECT_EQ(done.Kind(), 0xD4);
    for (u32 i = 0; i < 1500; ++i) ASSERT_EQ(R(100 + i), 0x4000 + i) << i;

    // Two messages in one piece, and one split over three.
    std::vector<u8> two = SrtpEncode(SrtpWrite(10, 8, 0, 1, {1, 0}));
    std::vector<u8> second = SrtpEncode(SrtpRead(11, 8, 0, 1));
    two.insert(two.end(), second.begin(), second.end());
    std::vector<SrtpReply> r = Feed(two);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].Sequence(), 10);
    EXPECT_EQ(r[1].Sequence(), 11);
    EXPECT_EQ(GetLe16(&r[1].header[44]), 1);
    std::vector<u8> split = SrtpEncode(SrtpRead(12, 8, 0, 10));
    Srtp_Feed(0, 0, split.data(), 20);
    Srtp_Feed(0, 0, split.data() + 20, 30);
    EXPECT_TRUE(g_sent.empty());
    r = Feed(std::vector<u8>(split.begin() + 50, split.end()));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Sequence(), 12);
}

TEST_F(SrtpTest, RefusalsTouchNothing) {
    for (u32 w = 0; w < 20; ++w) PutLe16(&plc_reg[kRegR + 2 * w], 0x5555);
    SrtpRequest header8 = SrtpRead(6, 8, 0, 5);  // 10 bytes asked of the 8 in the header
    header8.service = 7;
    header8.kind = 0xC0;
    SrtpRequest lyingText = SrtpWrite(7, 8, 0, 10, {1, 2, 3, 4});  // 20 bytes asked of 4
    SrtpRequest longLie = SrtpWrite(8, 8, 0, 1000, std::vector<u8>(1600, 0x11));  // 2000 asked of 1600
    struct Case {
        const char* what;
        SrtpRequest q;
        u8 type, kind;  // expected answer
    } cases[] = {
        {"selector 24", SrtpRead(1, 24, 0, 1), 3, 0xD1},
        {"%AI beyond word 512", SrtpRead(2, 10, 512, 1), 3, 0xD1},
        {"%AI across word 512", SrtpRead(3, 10, 500, 13), 3, 0xD1},
        {"4095 words of %R", SrtpRead(4, 8, 0, 4095), 3, 0xD1},
        {"%R past word 49999", SrtpRead(5, 8, 49990, 10), 3, 0xD1},
        {"header write asking more than 8 bytes", header8, 3, 0xD1},
        {"text write asking more than its text", lyingText, 3, 0xD1},
        {"long write asking more than its text", longLie, 3, 0xD1},
        {"write to selector 230", SrtpWrite(9, 230, 0, 1, {1, 2}), 3, 0xD1},
    };
    for (const Case& c : cases) {
        std::vector<SrtpReply> r = Feed(SrtpEncode(c.q));
        ASSERT_EQ(r.size(), 1u) << c.what;
        EXPECT_EQ(r[0].Type(), c.type) << c.what;
        EXPECT_EQ(r[0].Kind(), c.kind) << c.what;
        EXPECT_EQ(r[0].header[42], 5) << c.what;
        EXPECT_EQ(r[0].header[43], 0xF4) << c.what;
        EXPECT_EQ(r[0].Sequence(), c.q.sequence) << c.what;
        for (u32 w = 0; w < 20; ++w) ASSERT_EQ(R(w), 0x5555) << c.what;
    }
    // A text longer than one packet on a message that is no long write: an
    // error answer; its text is passed over and the next message is served.
    SrtpRequest fat = SrtpRead(20, 8, 0, 1);
    fat.text.assign(1400, 0);
    std::vector<u8> bytes = SrtpEncode(fat);
    std::vector<u8> next = SrtpEncode(SrtpRead(21, 8, 0, 1));
    bytes.insert(bytes.end(), next.begin(), next.end());
    std::vector<SrtpReply> r = Feed(bytes);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].Type(), 5);
    EXPECT_EQ(r[0].Sequence(), 20);
    EXPECT_EQ(r[1].Sequence(), 21);
    EXPECT_EQ(GetLe16(&r[1].header[44]), 0x5555);
    // A text length no message can have: error answer, the stream is dropped.
    SrtpRequest huge = SrtpRead(22, 8, 0, 1);
    huge.textLength = 0xFFFFFFF0u;
    r = Feed(SrtpEncode(huge));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Type(), 5);
}

TEST_F(SrtpTest, AbandonedLongWritesFreeTheirTextBuffers) {
    // Four connections each begin a long write and hold the four buffers.
    std::vector<u8> start = SrtpEncode(SrtpWrite(1, 8, 0, 1000, std::vector<u8>(2000, 0x22)));
    for (u32 s = 1; s <= kSrtpTextBuffers; ++s) Srtp_Feed(0, s, start.data(), 1444);
    EXPECT_TRUE(g_sent.empty());
    // A fifth long write finds no buffer: error answer.
    Srtp_Feed(0, 9, start.data(), 1444);
    SrtpReply a;
    ASSERT_TRUE(SrtpTakeReply(g_sent, &a));
    EXPECT_EQ(a.Type(), 5);
    // A long read waits for a buffer...
    std::vector<u8> read = SrtpEncode(SrtpRead(2, 8, 0, 1000));
    Srtp_Feed(0, 0, read.data(), static_cast<u32>(read.size()));
    Srtp_Feed(0, 0, nullptr, 0);
    EXPECT_TRUE(g_sent.empty());
    EXPECT_TRUE(Srtp_HasWork());
    // ...until the connections that held them end.
    for (u32 s = 1; s <= kSrtpTextBuffers; ++s) Srtp_ClearEntry(0, s);
    Srtp_Feed(0, 0, nullptr, 0);
    ASSERT_TRUE(SrtpTakeReply(g_sent, &a));
    EXPECT_EQ(a.TextLength(), 2000u);
    for (const SrtpTextBuffer& t : SrtpConnEth[0].text) EXPECT_EQ(t.inUse, 0);
    // Nothing of an ended connection reaches the next one on its socket.
    Srtp_Feed(0, 0, read.data(), static_cast<u32>(read.size()));
    Srtp_ClearEntry(0, 0);
    Srtp_Feed(0, 0, nullptr, 0);
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(SrtpTest, IecMapReplacesTheRegisterSelectors) {
    FakeVmDb db;
    db.Link();
    // No map configured: every read and write is refused.
    EXPECT_EQ(One(SrtpRead(1, 8, 0, 1)).Kind(), 0xD1);
    EXPECT_EQ(One(SrtpWrite(2, 8, 0, 1, {1, 0})).Kind(), 0xD1);
    // A map of 4 words on the 16-bit variables.
    Dpr_Configuration[0].tail.srtpBase = IecRef(1, 2);
    Dpr_Configuration[0].tail.srtpCount = 4;
    SrtpBlock b;
    ASSERT_TRUE(Srtp_MapRequest(0, 8, 3, 1, &b));
    EXPECT_EQ(b.reference, IecRef(1, 5));
    EXPECT_EQ(b.bits, 16u);
    ASSERT_TRUE(Srtp_MapRequest(0, 16, 3, 2, &b));  // byte offset 3 lies in word 1
    EXPECT_EQ(b.reference, IecRef(1, 3));
    EXPECT_FALSE(Srtp_MapRequest(0, 8, 3, 2, &b));   // past 4 words
    EXPECT_FALSE(Srtp_MapRequest(0, 24, 0, 1, &b));  // selector without a base
    EXPECT_EQ(One(SrtpWrite(3, 8, 1, 2, {0x11, 0x22, 0x33, 0x44})).Kind(), 0xD4);
    SrtpReply a = One(SrtpRead(4, 12, 0, 3));  // any selector with a base reads the map
    EXPECT_EQ(GetLe16(&a.header[46]), 0x2211);
    EXPECT_EQ(GetLe16(&a.header[48]), 0x4433);
    EXPECT_EQ(One(SrtpRead(5, 8, 2, 3)).Kind(), 0xD1);
}

}  // namespace
