// Ethernet Global Data on the hand-advanced clock: consumer status through
// time-outs, a lost link and recovery; item kinds; datagrams that do not fit;
// identifiers and groups from registers; status registers numbered as the
// configuration names them; a producer and a consumer of one controller
// over loopback; and the date conversions over 1970-2099.
#include "net/egd.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "platform/root.h"
#include "testsupport/egd_datagram.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kPeer = NetAddr(10, 0, 0, 7);
constexpr u32 R(u32 word) { return 0x8000 + 16 * (word - 1); }  // %R<word>, from 1
constexpr u32 Consumer = kEgdConfigured, ProducerFlag = kEgdConfigured | kEgdProducer;

TEST(EgdDates, BothConversionsOver1970To2099) {
    u16 date[7];
    Egd_DateOf(0, 0, date);
    EXPECT_EQ(std::vector<u16>(date, date + 7), (std::vector<u16>{0, 0, 0, 1, 1, 1970, 0}));
    Egd_DateOf(951782400 + 3723, 456000000, date);  // 2000-02-29 01:02:03.456
    EXPECT_EQ(std::vector<u16>(date, date + 7), (std::vector<u16>{3, 2, 1, 29, 2, 2000, 456}));
    // Every day to the end of 2099, at a time of day that moves.
    const u32 lastDay = 47481;  // 2099-12-31
    for (u32 day = 0; day <= lastDay; ++day) {
        const u32 seconds = day * 86400 + (day * 7919) % 86400;
        time_t t = seconds;
        tm g{};
        gmtime_r(&t, &g);
        Egd_DateOf(seconds, 0, date);
        ASSERT_EQ(date[5], g.tm_year + 1900) << day;
        ASSERT_EQ(date[4], g.tm_mon + 1) << day;
        ASSERT_EQ(date[3], g.tm_mday) << day;
        ASSERT_EQ(date[2] * 3600 + date[1] * 60 + date[0], seconds % 86400) << day;
        const u16 clock[6] = {date[0], date[1], date[2], date[3], date[4], date[5]};
        ASSERT_EQ(Egd_SecondsOf(clock), seconds) << day;
    }
}

class EgdTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)).c_str(), 1);
        Root_Init();
        Nx_Reset();
        Dpr_Reset();
        Egd_Reset();
        area_.resize(64 * 1564);
        _nx_packet_pool_create(&pool_, "Packet Pool", 1520, area_.data(), static_cast<u32>(area_.size()));
        ip_.name = "eth0";
        ip_.pool = &pool_;
        ip_.address = NetAddr(127, 0, 0, 1);
        ip_.linkUp = 1;
    }
    void TearDown() override {
        Egd_Reset();
        Dpr_Reset();
        Nx_Reset();
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    // Configures interface 0 with the stream's exchanges and starts EGD.
    void Start(NetStreamBuilder& s) {
        s.Services(0, 0);
        NetLoadIoConfig(NetIoConfig(s.Build()));
        Dpr_Config();
        ASSERT_EQ(Egd_Init(&ip_, &pool_), 0u);
        PutLe16(DprMap + kDprRunFlag, 1);
    }
    u16 Reg(u32 word) { return GetLe16(&plc_reg[kRegR + 2 * (word - 1)]); }
    void SetReg(u32 word, u16 v) { PutLe16(&plc_reg[kRegR + 2 * (word - 1)], v); }
    int Offer(const std::vector<u8>& d) { return Egd_Consume(0, d.data(), static_cast<u32>(d.size())); }

    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
    std::vector<u8> area_;
    NxPacketPool pool_;
    NxIp ip_;
};

TEST_F(EgdTest, ConsumerItemsStatusTimeOutsAndTheLink) {
    NetStreamBuilder s(NetAddr(127, 0, 0, 1), NetAddr(255, 0, 0, 0));
    s.Egd(Consumer, {5, kPeer, 0, 100},
          {{R(1), 4}, {R(1), 0xC000 | 2}, {R(3), 2}, {R(10), 0x2000}, {R(20), 0x4000}, {R(30), 0x8002}});
    SetReg(30, 0xFFFF);
    Start(s);
    Egd_Scan(0);
    EXPECT_EQ(Reg(30), kEgdStarted);

    EgdDatagramFields f{0, kPeer, 5, 951782400 + 3723, 456000000, 0};
    std::vector<u8> data = {0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0x55, 0x66};
    EXPECT_EQ(Offer(EgdDatagram(f, data)), 0);
    EXPECT_EQ(Reg(1), 0x2211);
    EXPECT_EQ(Reg(2), 0x4433);
    EXPECT_EQ(Reg(3), 0x6655);  // the two skipped bytes are not taken
    const u16 date[7] = {3, 2, 1, 29, 2, 2000, 456};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Reg(10 + i), date[i]) << i;
    EXPECT_EQ(Reg(20) | Reg(21) << 16, 951782400u + 3723);
    EXPECT_EQ(Reg(22) | Reg(23) << 16, 456000000u);
    EXPECT_EQ(Reg(30), kEgdRunning);

    // Datagrams that do not fit their items, are shorter than a header, or
    // come from another producer or exchange write nothing.
    SetReg(1, 0);
    std::vector<u8> whole = EgdDatagram(f, data);
    for (const std::vector<u8>& bad :
         {std::vector<u8>(whole.begin(), whole.end() - 1), std::vector<u8>(whole.begin(), whole.begin() + 20),
          EgdDatagram({0, kPeer + 1, 5}, data), EgdDatagram({0, kPeer, 6}, data)})
        EXPECT_EQ(Offer(bad), -1);
    EXPECT_EQ(Reg(1), 0);

    // No datagram within the time-out: 6; the next one: 7; then 1 again, or
    // 3 when the producer's status has bit 1 set.
    clock_.AdvanceMs(99);
    Egd_Scan(0);
    EXPECT_EQ(Reg(30), kEgdRunning);
    clock_.AdvanceMs(1);
    Egd_Scan(0);
    EXPECT_EQ(Reg(30), kEgdTimedOut);
    Offer(whole);
    EXPECT_EQ(Reg(30), kEgdRecovered);
    Offer(whole);
    EXPECT_EQ(Reg(30), kEgdRunning);
    f.status = 2;
    Offer(EgdDatagram(f, data));
    EXPECT_EQ(Reg(30), kEgdProducerStatus);

    // The link goes: 2 when the time-out ends; back with the link, 7.
    ip_.linkUp = 0;
    Egd_Scan(0);
    clock_.AdvanceMs(100);
    Egd_Scan(0);
    EXPECT_EQ(Reg(30), kEgdLinkDown);
    ip_.linkUp = 1;
    Egd_Scan(0);
    Offer(whole);
    EXPECT_EQ(Reg(30), kEgdRecovered);

    // Out of run mode nothing runs; back in run mode the exchange restarts at 0.
    PutLe16(DprMap + kDprRunFlag, 0);
    Egd_Scan(0);
    clock_.AdvanceMs(500);
    Egd_Scan(0);
    EXPECT_EQ(Reg(30), kEgdRecovered);
    PutLe16(DprMap + kDprRunFlag, 1);
    Egd_Scan(0);
    EXPECT_EQ(Reg(30), kEgdStarted);
}

TEST_F(EgdTest, RegisterIdentifiersGroupsAndStatusNumbering) {
    NetStreamBuilder s(NetAddr(127, 0, 0, 1), NetAddr(255, 0, 0, 0));
    // Exchange 0 names no status register; exchange 1's status must still
    // reach its own register (the first of the table).
    s.Egd(Consumer, {5, kPeer, 0, 100}, {{R(1), 2}});
    s.Egd(Consumer | kEgdIdReg | kEgdMulticast | kEgdGroupReg, {R(40), kPeer, R(41), 100}, {{R(2), 2}, {R(31), 0x8002}});
    // An item on a register that does not exist disables its exchange.
    s.Egd(Consumer, {8, kPeer, 0, 100}, {{0x300, 2}});
    SetReg(40, 0);
    SetReg(41, 40);
    Start(s);
    Egd_Scan(0);
    EXPECT_EQ(Reg(31), kEgdBadId);  // the identifier is checked first
    SetReg(40, 16384);
    Egd_Scan(0);
    EXPECT_EQ(Reg(31), kEgdBadId);
    SetReg(40, 12);
    Egd_Scan(0);
    EXPECT_EQ(Reg(31), kEgdBadGroup);
    SetReg(41, 0);
    Egd_Scan(0);
    EXPECT_EQ(Reg(31), kEgdBadGroup);
    EXPECT_EQ(Offer(EgdDatagram({0, kPeer, 12}, {1, 2})), -1);  // skipped exchanges take nothing
    // The group is only read here: the multicast join is tried in the
    // system test's own namespace, never on the host.
    EXPECT_EQ(Offer(EgdDatagram({0, kPeer, 8}, {1, 2})), -1);
    EXPECT_EQ(Offer(EgdDatagram({0, kPeer, 5}, {1, 2})), 0);
    EXPECT_EQ(Reg(31), kEgdBadGroup);  // exchange 0 writes no status register
}

TEST_F(EgdTest, ProducerToConsumerOverLoopbackAndOversizedProducers) {
    NetStreamBuilder s(NetAddr(127, 0, 0, 1), NetAddr(255, 0, 0, 0));
    const u32 self = NetAddr(127, 0, 0, 1);
    s.Egd(ProducerFlag, {9, self, 50, 0}, {{R(100), 6}, {R(33), 0x8002}});
    s.Egd(Consumer, {9, self, 0, 1000}, {{R(200), 6}, {R(34), 0x8002}});
    // 1441 data bytes make a datagram longer than one frame: never produced.
    s.Egd(ProducerFlag, {10, self, 50, 0}, {{R(300), 1441}});
    s.Egd(Consumer, {10, self, 0, 1000}, {{R(1100), 2}});
    SetReg(100, 0x0A0B);
    SetReg(101, 0x0C0D);
    SetReg(102, 0x0E0F);
    Start(s);
    Egd_Scan(0);
    EXPECT_EQ(Reg(33), kEgdStarted);
    clock_.AdvanceMs(50);
    Egd_Scan(0);
    EXPECT_EQ(Reg(33), kEgdRunning);
    for (int i = 0; i < 200 && Reg(34) != kEgdRunning; ++i) {
        EnetThread();
        Nx_IdleWait(5);
        Egd_Scan(0);
    }
    EXPECT_EQ(Reg(34), kEgdRunning);
    EXPECT_EQ(Reg(200), 0x0A0B);
    EXPECT_EQ(Reg(202), 0x0E0F);
    EXPECT_EQ(EGDConnEth[0].request[0], 1);
    EXPECT_EQ(EGDConnEth[0].request[2], 0);
    EXPECT_EQ(EGDConnEth[0].disabled[2], 1);
}

}  // namespace
