// System test: the real executable serves the test SRTP client over
// loopback in stop mode (the server answers in every mode): connection and
// session, the status and identification services, reads of every size the
// answer packets take, bit and byte selectors, short and long writes,
// refusals, messages that share a segment or are split, and connections
// that go in the middle of a long write.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/reset.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/loopback.h"
#include "testsupport/net_controller.h"
#include "testsupport/srtp_client.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;

class NetSrtpSystem : public ::testing::Test {
protected:
    void SetUp() override {
        offset_ = NetFreePortOffset(18245);
        port_ = 18245 + offset_;
        NetStreamBuilder eth0(NetAddr(10, 1, 2, 3), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 1, 2, 1));
        std::string why;
        auto env = [&](FirmwareProcess& p) { p.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_)); };
        ASSERT_TRUE(NetPrepareController(root.Dir(), NetIoConfig(eth0.Build()), 0, env, &why)) << why;
        env(fw);
        clock.emplace();
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(clock->AdvanceToOutput(fw, "main loop running")) << fw.Output();
    }
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            EXPECT_TRUE(clock->AdvanceToExit(fw));
            EXPECT_TRUE(fw.WaitExit(kStartMs));
            EXPECT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
        }
    }
    // A connection that has done the connect and session handshake.
    bool Open(SrtpClient& c) {
        return WaitUntil([&] { return c.Connect(port_) && c.Handshake(); }, kStartMs);
    }
    static void NoDelay(int fd) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    TempRoot root;
    // The controller's clock, driven by the test once the controller is
    // prepared.
    std::optional<BoardClock> clock;
    FirmwareProcess fw;
    int offset_ = 0, port_ = 0;
};

TEST_F(NetSrtpSystem, ServicesReadsWritesAndRefusals) {
    SrtpClient c;
    ASSERT_TRUE(Open(c)) << fw.Output();
    NoDelay(c.Fd());
    SrtpReply a;
    // Status and identification services; the status word says stop mode.
    for (u8 service : {0, 1, 67, 97}) {
        SrtpRequest q;
        q.sequence = service;
        q.service = service;
        ASSERT_TRUE(c.Ask(q, &a)) << int(service);
        EXPECT_EQ(a.Type(), 3);
        EXPECT_EQ(a.Sequence(), service);
        EXPECT_EQ(a.Status(), 0x2000);
    }
    EXPECT_EQ(a.text.size(), 10u);
    SrtpRequest priv;
    priv.service = 33;
    priv.selector = 255;
    ASSERT_TRUE(c.Ask(priv, &a));
    EXPECT_EQ(a.Priv(), 4);

    // A long write of 1500 words, then reads of 3, 10 and 1000 words.
    std::vector<u8> text(3000);
    for (u32 i = 0; i < 1500; ++i) PutLe16(&text[2 * i], static_cast<u16>(i + 1));
    ASSERT_TRUE(c.Ask(SrtpWrite(10, 8, 0, 1500, text), &a));
    EXPECT_EQ(a.Kind(), 0xD4);
    ASSERT_TRUE(c.Ask(SrtpRead(11, 8, 0, 3), &a));
    EXPECT_EQ(a.header.size() + a.text.size(), 56u);
    EXPECT_EQ(GetLe16(&a.header[48]), 3);
    ASSERT_TRUE(c.Ask(SrtpRead(12, 8, 0, 10), &a));
    EXPECT_EQ(a.header.size() + a.text.size(), 76u);
    ASSERT_TRUE(c.Ask(SrtpRead(13, 8, 500, 1000), &a));
    ASSERT_EQ(a.text.size(), 2000u);
    for (u32 i = 0; i < 1000; ++i) ASSERT_EQ(GetLe16(&a.text[2 * i]), 501 + i) << i;
    // A short write, read back.
    ASSERT_TRUE(c.Ask(SrtpWrite(14, 8, 2, 1, {0xCD, 0xAB}), &a));
    ASSERT_TRUE(c.Ask(SrtpRead(15, 8, 2, 1), &a));
    EXPECT_EQ(GetLe16(&a.header[44]), 0xABCD);

    // Bits of %M in the header, read back as bytes.
    SrtpRequest bits = SrtpRead(16, 76, 9, 2);
    bits.service = 7;
    bits.kind = 0xC0;
    bits.headerData[0] = 0x06;  // bits 9 and 10 at their places in the byte that holds them
    ASSERT_TRUE(c.Ask(bits, &a));
    EXPECT_EQ(a.Kind(), 0xD4);
    ASSERT_TRUE(c.Ask(SrtpRead(17, 22, 1, 1), &a));
    EXPECT_EQ(a.header[44], 0x06);

    // Refusals: the refused answer (0xD1) or the error answer (type 5).
    struct Case {
        const char* what;
        SrtpRequest q;
        u8 type;
    } cases[] = {
        {"selector 24", SrtpRead(20, 24, 0, 1), 3},
        {"%AI beyond word 512", SrtpRead(21, 10, 512, 1), 3},
        {"4095 words", SrtpRead(22, 8, 0, 4095), 3},
        {"write asking more than its text", SrtpWrite(23, 8, 0, 10, {1, 2}), 3},
        {"text length no message has", [] { SrtpRequest q = SrtpRead(24, 8, 0, 1); q.textLength = 100000; return q; }(), 5},
    };
    for (const Case& k : cases) {
        ASSERT_TRUE(c.Ask(k.q, &a)) << k.what;
        EXPECT_EQ(a.Type(), k.type) << k.what;
        EXPECT_EQ(a.Sequence(), k.q.sequence) << k.what;
        if (k.type == 3) {
            EXPECT_EQ(a.Kind(), 0xD1) << k.what;
        }
    }
    ASSERT_TRUE(c.Ask(SrtpRead(25, 8, 2, 1), &a));
    EXPECT_EQ(GetLe16(&a.header[44]), 0xABCD);  // the refused write wrote nothing

    // Two messages in one segment; one message split over three.
    std::vector<u8> two = SrtpEncode(SrtpRead(30, 8, 0, 1));
    std::vector<u8> second = SrtpEncode(SrtpRead(31, 8, 1, 1));
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(c.SendRaw(two));
    ASSERT_TRUE(c.Read(&a));
    EXPECT_EQ(a.Sequence(), 30);
    ASSERT_TRUE(c.Read(&a));
    EXPECT_EQ(a.Sequence(), 31);
    std::vector<u8> split = SrtpEncode(SrtpRead(32, 8, 0, 10));
    const std::pair<size_t, size_t> pieces[] = {{0, 10}, {10, 40}, {40, split.size()}};
    for (auto [from, to] : pieces) {
        ASSERT_TRUE(c.SendRaw(std::vector<u8>(split.begin() + from, split.begin() + to)));
        ASSERT_TRUE(clock->Advance(50));  // the server takes each piece on its own
    }
    ASSERT_TRUE(c.Read(&a));
    EXPECT_EQ(a.Sequence(), 32);
    EXPECT_EQ(a.text.size(), 20u);

    // A 40-byte packet that never completes: an error answer once it has
    // waited 2 s for the rest.
    std::vector<u8> short40 = SrtpEncode(SrtpRead(33, 8, 0, 1));
    short40.resize(40);
    ASSERT_TRUE(c.SendRaw(short40));
    ASSERT_TRUE(clock->Advance(1900, 50));
    EXPECT_FALSE(Readable(c.Fd()));
    ASSERT_TRUE(clock->AdvanceUntil([&] { return Readable(c.Fd()); }, 1000, 50));
    ASSERT_TRUE(c.Read(&a));
    EXPECT_EQ(a.Type(), 5);
    EXPECT_EQ(a.Sequence(), 33);
    ASSERT_TRUE(c.Ask(SrtpRead(34, 8, 0, 1), &a));  // the connection serves on
    EXPECT_EQ(a.Sequence(), 34);
    EXPECT_TRUE(fw.Running());
}

TEST_F(NetSrtpSystem, ClientsThatDropMidLongWriteHoldNoBuffer) {
    std::vector<u8> start = SrtpEncode(SrtpWrite(1, 8, 0, 1500, std::vector<u8>(3000, 0x33)));
    start.resize(1444);  // the header and the first part of the text
    // More clients than text buffers begin a long write and go, one after
    // the other.
    for (int k = 0; k < 6; ++k) {
        SrtpClient c;
        ASSERT_TRUE(Open(c)) << k;
        ASSERT_TRUE(c.SendRaw(start));
        c.Close();  // the server reads what was sent before it acts on the close
    }
    // A long read needs a text buffer: it is answered.
    SrtpClient c;
    ASSERT_TRUE(Open(c));
    SrtpReply a;
    ASSERT_TRUE(c.Ask(SrtpRead(2, 8, 0, 1000), &a));
    EXPECT_EQ(a.text.size(), 2000u);
    // Nothing of the abandoned writes reached the registers.
    EXPECT_EQ(GetLe16(&a.text[0]), 0);
}

}  // namespace
