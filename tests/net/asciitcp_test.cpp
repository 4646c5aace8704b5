// ASCII over TCP on loopback: socat clients receive what the program sends
// and send what it receives; pieces of a message sent within 50 ms of the
// controller's clock land in one piece, later ones start a new message.
#include "net/asciitcp.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "iec/kernel/q4vmdb.h"
#include "net/dpr.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kPort = 7000;
constexpr u32 kTx = 1, kTrigger = 1100, kRx = 2000, kStatus = 3100;  // register words
constexpr u32 R(u32 word) { return 0x8000 + 16 * (word - 1); }
u16 Word(u32 n) { return GetLe16(&plc_reg[kRegR + 2 * (n - 1)]); }
void SetWord(u32 n, u16 v) { PutLe16(&plc_reg[kRegR + 2 * (n - 1)], v); }

class AsciiTcp : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(kPort)).c_str(), 1);
        Root_Init();
        Nx_Reset();
        Dpr_Reset();
        Ascii_Reset();
        area_.resize(100 * 1564);
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, area_.data(), static_cast<u32>(area_.size()));
        ip_.name = "eth0";
        ip_.pool = &pool_;
        EnetPortConfig& c = Dpr_Configuration[0];
        c.flags.address |= kAddrAscii;
        const u32 set[6] = {0, kPort, R(kTx), R(kTrigger), R(kRx), R(kStatus)};
        std::copy(set, set + 6, c.tail.ascii);
        PutLe16(DprMap + kDprRunFlag, 1);
        SetWord(kRx + 1, '0');  // no terminator
        ASSERT_EQ(Ascii_Init(&ip_, &pool_), 0u);
    }
    void TearDown() override {
        peer_.Stop();
        Ascii_Reset();
        Dpr_Reset();
        Nx_Reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    int Port() const { return static_cast<int>(kPort) + Root_PortOffset(); }
    void Pass() {
        Ascii_Scan(0);
        EnetThread();
        Nx_IdleWait(1);
    }
    bool PassUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            Pass();
            if (done()) return true;
        }
        return false;
    }
    std::string Received() {
        std::string s;
        for (u32 k = 0; k < Word(kRx); ++k) {
            u16 w = Word(kRx + 2 + k / 2);
            s.push_back(static_cast<char>(k % 2 ? w >> 8 : w & 0xFF));
        }
        return s;
    }
    void SendAll(int fd, const std::string& s) {
        ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    // Waits until the controller holds `count` bytes of the message.
    bool Holds(u32 count) {
        return PassUntil([&] { return Ascii_Block(0).stored == count; });
    }

    RegFixture regs_;
    ManualClock clock_;
    TempRoot root_;
    std::vector<u8> area_;
    NxPacketPool pool_;
    NxIp ip_;
    PeerProcess peer_;
};

std::string Pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + (i * 7) % 53));
    return s;
}

TEST_F(AsciiTcp, ThreeThousandBytesRequestedGoOutAsTwoThousand) {
    const std::string file = root_.Dir() + "/got.bin";
    ASSERT_TRUE(PassUntil([&] { return Ascii_Block(0).listening == 1; }));
    ASSERT_TRUE(peer_.Start("", "exec socat -u TCP:127.0.0.1:" + std::to_string(Port()) + " CREATE:" + file));
    ASSERT_TRUE(PassUntil([] { return Ascii_cnn_cnt(0) == 1; }));

    // An empty message only resets the trigger.
    SetWord(kTx, 0);
    SetWord(kTrigger, 1);
    Pass();
    EXPECT_EQ(Word(kTrigger), 0);

    const std::string msg = Pattern(3000);
    SetWord(kTx, 3000);
    for (size_t k = 0; k < msg.size(); k += 2)
        SetWord(kTx + 2 + static_cast<u32>(k / 2), static_cast<u16>(static_cast<u8>(msg[k]) | msg[k + 1] << 8));
    SetWord(kTrigger, 1);
    ASSERT_TRUE(PassUntil([] { return Word(kTrigger) == 0; }));
    EXPECT_EQ(Word(kStatus) & kAsciiTxCut, kAsciiTxCut);
    // Leaving run mode closes the connection; socat then has everything.
    PutLe16(DprMap + kDprRunFlag, 0);
    Pass();
    EXPECT_EQ(Ascii_cnn_cnt(0), 0u);
    std::vector<u8> got;
    for (int i = 0; i < 500 && got.size() < 2000; ++i) {
        File_ReadAll(file, got, 1 << 20);
        if (got.size() < 2000) poll(nullptr, 0, 10);
    }
    EXPECT_EQ(std::string(got.begin(), got.end()), msg.substr(0, 2000));
}

TEST_F(AsciiTcp, TerminatorEndsTheMessage) {
    const std::string in = root_.Dir() + "/in.bin";
    ASSERT_TRUE(File_WriteAtomic(in, "ABC\rDE", 6));
    SetWord(kRx + 1, 0x0D);
    SetWord(kRx + 3, 0x7700);
    ASSERT_TRUE(PassUntil([&] { return Ascii_Block(0).listening == 1; }));
    ASSERT_TRUE(peer_.Start("", "exec socat -u OPEN:" + in + " TCP:127.0.0.1:" + std::to_string(Port())));
    ASSERT_TRUE(PassUntil([] { return (Word(kStatus) & kAsciiReceived) != 0; }));
    EXPECT_EQ(Word(kRx), 3);
    EXPECT_EQ(Word(kRx + 2), 'A' | 'B' << 8);
    EXPECT_EQ(Word(kRx + 3), 0x7743) << "C in the low byte, the high byte as it was";
}

TEST_F(AsciiTcp, PiecesWithinFiftyMillisecondsLandTogether) {
    ASSERT_TRUE(PassUntil([&] { return Ascii_Block(0).listening == 1; }));
    int fd = ConnectLoopback(Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(PassUntil([] { return Ascii_cnn_cnt(0) == 1; }));
    const std::string msg = Pattern(2000);
    // 2000 bytes in pieces, the clock moving 10 ms between them.
    size_t at = 0;
    for (size_t piece : {700u, 1u, 99u, 1200u}) {
        SendAll(fd, msg.substr(at, piece));
        at += piece;
        ASSERT_TRUE(Holds(static_cast<u32>(at))) << at;
        clock_.AdvanceMs(10);
    }
    EXPECT_EQ(Word(kRx), 2000);
    EXPECT_EQ(Received(), msg);
    EXPECT_EQ(Word(kStatus) & kAsciiCut, 0);

    // A piece 100 ms after the start of a message starts a new one.
    clock_.AdvanceMs(100);
    SendAll(fd, msg.substr(0, 1380));
    ASSERT_TRUE(Holds(1380));
    clock_.AdvanceMs(100);
    SendAll(fd, "xyz");
    ASSERT_TRUE(Holds(3));
    EXPECT_EQ(Word(kRx), 3);
    EXPECT_EQ(Received(), "xyz");

    // More than 2000 bytes within the window: cut, status bit 0.
    clock_.AdvanceMs(100);
    SendAll(fd, msg.substr(0, 1500));
    ASSERT_TRUE(Holds(1500));
    SendAll(fd, msg.substr(0, 600));
    ASSERT_TRUE(PassUntil([] { return (Word(kStatus) & kAsciiCut) != 0; }));
    EXPECT_EQ(Word(kRx), 2000);
    EXPECT_EQ(Received(), msg.substr(0, 1500) + msg.substr(0, 500));
    close(fd);
}

// With an IEC application the areas may be variables: a word position is
// two elements of an 8-bit table, one of a 16-bit table.
TEST_F(AsciiTcp, IecVariableAreasStepByElements) {
    FakeVmDb::Layout layout;
    layout.data8 = 64;
    layout.data16 = 32;
    FakeVmDb db(layout);
    db.Link();
    u8* d8 = db.Area(kDbData8);
    u8* d16 = db.Area(kDbData16);
    EnetPortConfig& c = Dpr_Configuration[0];
    const u32 set[6] = {0, kPort, IecRef(1, 0), IecRef(1, 20), IecRef(0, 0), IecRef(1, 21)};
    std::copy(set, set + 6, c.tail.ascii);
    d8[2] = '0';  // no terminator
    ASSERT_TRUE(PassUntil([&] { return Ascii_Block(0).listening == 1; }));
    int fd = ConnectLoopback(Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(PassUntil([] { return Ascii_cnn_cnt(0) == 1; }));
    SendAll(fd, "hello");
    ASSERT_TRUE(Holds(5));
    EXPECT_EQ(GetLe16(d8), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d8 + 4), 5), "hello");
    EXPECT_NE(GetLe16(d16 + 2 * 21) & kAsciiReceived, 0);

    PutLe16(d16, 3);
    PutLe16(d16 + 4, 'x' | 'y' << 8);
    PutLe16(d16 + 6, 'z');
    PutLe16(d16 + 40, 1);
    ASSERT_TRUE(PassUntil([&] { return GetLe16(d16 + 40) == 0; }));
    std::string got;
    for (int i = 0; i < 500 && got.size() < 3; ++i) {
        pollfd p{fd, POLLIN, 0};
        char buf[16];
        if (poll(&p, 1, 10) == 1) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_EQ(got, "xyz");
    close(fd);
}

}  // namespace
