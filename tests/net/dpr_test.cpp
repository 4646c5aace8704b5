// Ethernet configuration: the stream parser, the register-area check, the
// register moves, the address backups and the run-mode entry.
#include "net/dpr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "platform/rtclock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kMask24 = NetAddr(255, 255, 255, 0);

class DprTest : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        Nvram_Reset();
        Dpr_Reset();
        Rtc_Reset();
        CmdRun = 255;
        Dpr_Init();
    }
    void TearDown() override {
        Nvram_Reset();
        Dpr_Reset();
    }
    void Load(const std::vector<u8>& eth0, const std::vector<u8>& eth1 = {}) {
        NetLoadIoConfig(NetIoConfig(eth0, eth1));
        Dpr_Config();
    }
    std::string ReadText(const char* firmwarePath) {
        std::vector<u8> d;
        File_ReadAll(Root_HostPath(firmwarePath), d, 1 << 20);
        return std::string(d.begin(), d.end());
    }

    TempRoot root_;
    RegFixture regs_;
};

TEST_F(DprTest, ValidateReqAreaTable) {
    struct Case {
        u32 reg, bits;
        int expect;
    } cases[] = {
        {0x57FE, 1, 0},       {0x57FE, 2, 1},       {0x1000BFFF, 1, 0}, {0x1000BFFF, 2, 1},
        {0x3FF, 0, 1},        {0x100, 1, 1},        {0x8000, 16 * 49999, 0}, {0x8000, 16 * 49999 + 1, 1},
        {0x400, 256, 0},      {0x400, 257, 1},      {0xC00, 16 * 192, 0},    {0x6000, 0x2000, 0},
        {0xFFFFFFF0, 0x20, 1},  // no wrap-around
    };
    for (const Case& c : cases) {
        DprRequest r{c.reg, c.bits};
        EXPECT_EQ(EtnValidateReq(&r), c.expect) << std::hex << c.reg << " " << std::dec << c.bits;
    }
}

TEST_F(DprTest, DataBlockBitAndByteModes) {
    plc_reg[(0x2803 - 0x400) / 8] = 0xF8;  // bits 3..7 of the byte holding 0x2803 set
    u8 buf[2] = {0xE0, 0};
    ASSERT_EQ(Dpr_Data_Block(0x2803, 5, buf, 0, 1), 1);
    EXPECT_EQ(buf[0], 0xFF);  // bits 0-4 = the five bits, bits 5-7 unchanged
    u8 img[2] = {0x07, 0};
    ASSERT_EQ(Dpr_Data_Block(0x2803, 5, img, 0, 0), 1);
    EXPECT_EQ(img[0], 0xFF);  // bits 3-7 = the five bits, bits 0-2 unchanged
    // A write of 0 bits moves nothing; a whole-byte write is a plain copy.
    u8 w[2] = {0x34, 0x12};
    ASSERT_EQ(Dpr_Data_Block(0x8000, 16, w, 1, 1), 1);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0x1234);
    ASSERT_EQ(Dpr_Data_Block(0x8000, 0, w, 1, 1), 1);
    // Outside the register memory nothing is moved.
    EXPECT_EQ(Dpr_Data_Block(0x20000000, 16, w, 1, 1), 0);
}

TEST_F(DprTest, ServicesModbusAndEipSections) {
    const u16 utc[6] = {30, 20, 10, 5, 3, 2021};  // ESR20-ESR25
    for (int i = 0; i < 6; ++i) ESR_Put(20 + i, utc[i]);
    NetStreamBuilder s(NetAddr(10, 0, 0, 5), kMask24);
    s.Services((1u << 15) | (1u << 29), NetAddr(10, 0, 0, 1), NetAddr(10, 0, 0, 2), {0x8000, 16}, {0x8010, 16},
               {0x3FF, 32}, {0x8020, 32}, {0x8040, 32}, {0x8060, 32})
        .Modbus(true, 0, 1502, 0x1001C000)
        .Eip(0x30000000, 0x8100, 8)
        .Eip(0x10000002, 0x8200, 4)
        .Eip(0x10000000, 0x8300, 2)
        .Srtp(7, 0x9000);
    Load(s.Build());
    const EnetPortConfig& c = Dpr_Configuration[0];
    EXPECT_EQ(c.ip, NetAddr(10, 0, 0, 5));
    EXPECT_EQ(c.gateway, NetAddr(10, 0, 0, 1));
    EXPECT_EQ(c.dns, NetAddr(10, 0, 0, 2));
    EXPECT_EQ(c.versionReg, 0x8000u);
    EXPECT_EQ(c.ipReg, 0u);  // invalid register dropped
    EXPECT_EQ(c.dnsReg, 0x8060u);
    EXPECT_TRUE(c.flags.service & kSvcModbus);
    EXPECT_TRUE(c.flags.address & kAddrModbusPort);
    // After a services section with bit 12 clear the Modbus section carries
    // transport and port.
    EXPECT_EQ(c.tail.modbus.port, 1502);
    EXPECT_EQ(c.tail.modbus.inhibit, 0x1001C000u);
    EXPECT_EQ(c.eip[4], 0x8100u);  // status pair (bit 28 before 29)
    EXPECT_EQ(c.eip[0], 0x8200u);  // produced
    EXPECT_EQ(c.eip[2], 0x8300u);  // consumed
    EXPECT_EQ(c.tail.srtpCount, 7u);
    EXPECT_FALSE(c.flags.address & kAddrNoStream);
    // The host clock is never set: the request is recorded.
    EXPECT_EQ(Rtc_SystemTimeRequests(), 1u);
    u64 requested = 0;
    EXPECT_TRUE(Rtc_RequestedSystemTime(&requested));
    EXPECT_EQ(requested, 1614939630u);

    // Modbus before services: transport and port only with option bit 18.
    NetStreamBuilder m(NetAddr(10, 0, 0, 6), kMask24);
    m.Modbus(true, 1, 1502, 0).Services(0, 0);
    Load(m.Build());
    EXPECT_EQ(Dpr_Configuration[0].tail.modbus.port, 502);  // the services section came after
    NetStreamBuilder u(NetAddr(10, 0, 0, 6), kMask24);
    u.Services(1u << 12, 0).Modbus(true, 1, 1502, 0);
    Load(u.Build());
    EXPECT_EQ(Dpr_Configuration[0].tail.modbus.transport, 1);
    EXPECT_EQ(Dpr_Configuration[0].tail.modbus.port, 1502);
}

// An ASCII area must hold a whole message: count, second word, 2000 bytes.
TEST_F(DprTest, AsciiAreasAreCheckedOverAWholeMessage) {
    constexpr u32 kEnd = 0xCB4F0, kArea = 16 * 1002;
    struct Case {
        u32 rx;
        bool on;
    } cases[] = {{0x8000, true}, {kEnd - kArea, true}, {kEnd - kArea + 16, false}, {kEnd - 16, false}};
    for (const Case& k : cases) {
        NetStreamBuilder s(NetAddr(10, 0, 0, 5), kMask24);
        s.Services(0, NetAddr(10, 0, 0, 1)).Ascii({0, 7000, 0x8000, 0x8000 + 16 * 1100, k.rx, 0x8000 + 16 * 1101});
        Load(s.Build());
        EXPECT_EQ((Dpr_Configuration[0].flags.address & kAddrAscii) != 0, k.on) << std::hex << k.rx;
    }
}

TEST_F(DprTest, TextFieldsAreCutToTheirFieldAndFtpFilesFollow) {
    std::string longName(60, 'n');
    NetStreamBuilder s(NetAddr(10, 0, 0, 5), kMask24);
    s.Services(0, 0).Ftp({{longName, "pw", 1}, {"bob", "secret", 0}, {"third", "x", 0}}).Web("web", std::string(45, 'p'));
    Load(s.Build());
    const EnetPortConfigTail& t = Dpr_Configuration[0].tail;
    EXPECT_EQ(std::string(t.ftp[0].name), std::string(40, 'n'));
    EXPECT_EQ(std::string(t.ftp[0].password), "pw");
    EXPECT_EQ(std::string(t.ftp[1].name), "bob");
    EXPECT_EQ(std::string(t.ftp[1].password), "secret");
    EXPECT_EQ(std::string(t.webUser), "web");
    EXPECT_EQ(std::string(t.webPassword), std::string(40, 'p'));
}

TEST_F(DprTest, EgdTablesNeverOverflow) {
    NetStreamBuilder s(NetAddr(10, 0, 0, 5), kMask24);
    std::vector<std::pair<u32, u32>> items;
    for (u32 i = 0; i < 120; ++i) items.push_back({0x8000 + 16 * i, 2});
    s.Egd(0x80000001, {1, 2, 3, 4}, items);
    // 600 status registers over several exchanges: only 512 fit the table.
    for (int x = 0; x < 6; ++x) {
        std::vector<std::pair<u32, u32>> st;
        for (u32 i = 0; i < 100; ++i) st.push_back({0x9000 + 16 * i, 0x8002});
        s.Egd(0x80000002, {1, 2, 3, 4}, st);
    }
    s.Egd(0x80000003, {1, 2, 3, 4}, {});  // no items: 28 bytes
    s.Services(0, NetAddr(10, 0, 0, 1));
    Load(s.Build());
    const EnetPortConfig& c = Dpr_Configuration[0];
    EXPECT_EQ(c.egd[0].items[98][0], 0x8000u + 16 * 98);
    EXPECT_EQ(c.egd[1].head[0], 0x80000002u);  // the walk went on after the long exchange
    EXPECT_EQ(c.egd[7].head[0], 0x80000003u);
    EXPECT_EQ(c.gateway, NetAddr(10, 0, 0, 1));  // and after the empty one
    EXPECT_EQ(Dpr_StatusCount(), kDprStatusEntries);
    EXPECT_EQ(c.tail.egdStatusCount, kDprStatusEntries);
    EXPECT_EQ(GetLe32(DprStatusWrReqs + 8 * 511 + 4), 0x9000u + 16 * 11);
    EXPECT_EQ(GetLe32(DprMap + kDprStatusTableEnd), 0u);  // the mailbox after the table untouched

    // Entering run mode any number of times leaves the table at the same size.
    for (int k = 0; k < 3; ++k) {
        SR_Put(5, 2);
        Dpr_Io_Service();
        EXPECT_EQ(GetLe16(DprMap + kDprRunFlag), 1);
        EXPECT_EQ(Dpr_StatusCount(), kDprStatusEntries);
        SR_Put(5, 0);
        Dpr_Io_Service();
        EXPECT_EQ(GetLe16(DprMap + kDprRunFlag), 0);
    }
}

TEST_F(DprTest, WalkStaysInsideItsRecordWhateverTheLengthWordSays) {
    // Interface 0's stream claims to be huge; the record after it (eth1's)
    // must not be read as part of it.
    NetStreamBuilder eth0(NetAddr(10, 0, 0, 5), kMask24);
    eth0.Services(0, 0);
    std::vector<u8> s0 = eth0.Build(0x00FF, 0xFFFFFFF0);
    s0.resize(s0.size() - 4);  // no closing zero word
    PutLe16(&s0[2], static_cast<u16>(s0.size() - 4));
    NetStreamBuilder eth1(NetAddr(10, 0, 1, 5), kMask24);
    eth1.Srtp(9, 1);
    Load(s0, eth1.Build());
    EXPECT_EQ(Dpr_Configuration[0].tail.srtpCount, 0u);
    EXPECT_EQ(Dpr_Configuration[1].tail.srtpCount, 9u);
    EXPECT_EQ(Dpr_Configuration[1].ip, NetAddr(10, 0, 1, 5));
    // An unknown flag word whose words never end is bounded as well.
    NetStreamBuilder odd(NetAddr(10, 0, 0, 7), kMask24);
    odd.Words({0x00000001, 1, 2, 3, 4, 5, 6, 7});
    std::vector<u8> o = odd.Build();
    o.resize(o.size() - 4);
    PutLe16(&o[2], static_cast<u16>(o.size() - 4));
    Load(o);
    EXPECT_EQ(Dpr_Configuration[0].ip, NetAddr(10, 0, 0, 7));
}

TEST_F(DprTest, NtpConfAndAddressBackups) {
    NetStreamBuilder s(NetAddr(10, 0, 0, 5), kMask24);
    s.Ntp({"pool.example", "time.example"}).Services(0, NetAddr(10, 0, 0, 1));
    NetStreamBuilder one(NetAddr(10, 0, 1, 5), kMask24);
    one.Services(0, NetAddr(10, 0, 1, 1));
    Load(s.Build(), one.Build());
    EXPECT_EQ(NTP_Enabled, 1);
    EXPECT_EQ(ReadText("/etc/ntp.conf"), "server pool.example\nserver time.example\n");
    EXPECT_TRUE(Dpr_Configuration[0].flags.dns & kDnsClockSet);

    // Interface 1's stream removed: it keeps its backed-up address, also
    // after a restart (the backups live in their own file).
    Dpr_Reset();
    Dpr_Init();
    Load(s.Build());
    const EnetPortConfig& c1 = Dpr_Configuration[1];
    EXPECT_TRUE(c1.flags.address & kAddrNoStream);
    EXPECT_EQ(c1.ip, NetAddr(10, 0, 1, 5));
    EXPECT_EQ(c1.gateway, NetAddr(10, 0, 1, 1));
    std::vector<u8> f;
    ASSERT_TRUE(File_ReadAll(Root_HostPath(kEnetBackupPath), f, 1024));
    EXPECT_EQ(f.size(), 4u * kEnetBackupBytes);
}

TEST_F(DprTest, NewBlockIsAnnouncedOnceAndNotDuringADownload) {
    NetStreamBuilder s(NetAddr(10, 0, 0, 5), kMask24);
    s.Services(0, 0);
    Load(s.Build());
    Dpr_Io_Service();  // learns the block start-up configured
    EXPECT_EQ(GetLe16(DprMap + kDprGenAnnounced), GetLe16(DprMap + kDprGenTaken));
    NetStreamBuilder t(NetAddr(10, 0, 0, 6), kMask24);
    t.Services(0, 0);
    NetLoadIoConfig(NetIoConfig(t.Build()));
    Cmd_Downloading = 1;
    Dpr_Io_Service();
    EXPECT_EQ(GetLe16(DprMap + kDprGenAnnounced), GetLe16(DprMap + kDprGenTaken));
    Cmd_Downloading = 0;
    Dpr_Io_Service();
    EXPECT_NE(GetLe16(DprMap + kDprGenAnnounced), GetLe16(DprMap + kDprGenTaken));
    Dpr_Config();
    EXPECT_EQ(GetLe16(DprMap + kDprGenAnnounced), GetLe16(DprMap + kDprGenTaken));
    EXPECT_EQ(Dpr_Configuration[0].ip, NetAddr(10, 0, 0, 6));
}

}  // namespace
