// Register control blocks with the special system registers, and the
// battery-backed settings image.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/bkuprstr.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "platform/fileio.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

namespace {

constexpr u32 kR1 = 0x400 + kRegR * 8;  // bit address of R1

class SysRcbs : public ::testing::Test {
protected:
    void SetUp() override {
        SYS_Reset();
        Bkuprstr_Reset();
        UtcUpdated = 0;
    }
    void TearDown() override {
        SYS_Reset();
        Wiring_Connect();
    }
    std::vector<u8> Read(const SysRcb* r, u32 n) {
        std::vector<u8> out(n, 0xAA);
        SYS_ReadReg(out.data(), r, n);
        return out;
    }
    TempRoot root;
    RegFixture regs;
};

TEST_F(SysRcbs, FormatWordGivesLengthAndSignFill) {
    struct Case {
        u16 format;
        u16 bits;
        u8 bytes;
    } cases[] = {
        {0x8000 | 6, 48, 6},                 // bit 15: bytes, no sign fill
        {0xC0 | 4, 32, 4},                   // kind 3: bytes
        {0x40 | 16, 16, 2},                  // kind 1: bits
        {0x80 | 1, 1, 1},                    // kind 2: bits
        {16, 16, 2 | kRcbSignFill},          // kind 0: bits with sign fill
    };
    SYS_ResetRCBs(0);
    for (const Case& c : cases) {
        SysRcb* r = SYS_LinkReg(kR1, c.format);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->bits, c.bits) << std::hex << c.format;
        EXPECT_EQ(r->bytes, c.bytes) << std::hex << c.format;
    }
}

TEST_F(SysRcbs, ListsHoldTheirModesCount) {
    for (auto [mode, count] : {std::pair{0, 400}, {1, 64}, {2, 16}, {7, 16}}) {
        SYS_ResetRCBs(mode);
        for (int i = 0; i < count; ++i) ASSERT_NE(SYS_LinkReg(kR1, 16), nullptr) << mode;
        EXPECT_EQ(SYS_LinkReg(kR1, 16), nullptr) << mode;
    }
}

TEST_F(SysRcbs, ReadFillsBeyondTheDataBySign) {
    SYS_ResetRCBs(2);
    SysRcb* signedWord = SYS_LinkReg(kR1, 16);
    SysRcb* plainWord = SYS_LinkReg(kR1, 0x40 | 16);
    PutLe16(&plc_reg[kRegR], 0x8000);
    EXPECT_EQ(Read(signedWord, 4), (std::vector<u8>{0x00, 0x80, 0xFF, 0xFF}));
    EXPECT_EQ(Read(plainWord, 4), (std::vector<u8>{0x00, 0x80, 0x00, 0x00}));
    PutLe16(&plc_reg[kRegR], 0x7FFF);
    EXPECT_EQ(Read(signedWord, 3), (std::vector<u8>{0xFF, 0x7F, 0x00}));
    EXPECT_EQ(Read(signedWord, 1), (std::vector<u8>{0xFF}));  // shorter than the data

    // A write of fewer bytes than the register fills the rest the same way.
    const u8 low = 0x85;
    ASSERT_EQ(SYS_WriteReg(signedWord, &low, 1), 1);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0xFF85);
    ASSERT_EQ(SYS_WriteReg(plainWord, &low, 1), 1);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR]), 0x0085);

    SysRcb* bad = SYS_LinkReg(0xFFFFFF0, 16);
    EXPECT_EQ(SYS_ReadReg(std::vector<u8>(2).data(), bad, 2), 0);
    EXPECT_EQ(SYS_WriteReg(bad, &low, 1), 0);
}

TEST_F(SysRcbs, TimeZoneIdentifierSplitsAndJoinsTheOffset) {
    SYS_ResetRCBs(2);
    SysRcb* tz = SYS_LinkReg(1005, 0x8000 | 6);
    u8 in[6] = {};
    PutLe16(in + 2, 30);
    PutLe16(in + 4, static_cast<u16>(-5));
    ASSERT_EQ(SYS_WriteReg(tz, in, sizeof in), 1);
    EXPECT_EQ(static_cast<i16>(ESR_Get(18)), -270);
    EXPECT_EQ(UtcUpdated, 1);
    std::vector<u8> out = Read(tz, 6);
    EXPECT_EQ(static_cast<i16>(GetLe16(&out[2])), -30);  // C division: -270 = -4 h -30 min
    EXPECT_EQ(static_cast<i16>(GetLe16(&out[4])), -4);
    // What is read back writes the same offset.
    ASSERT_EQ(SYS_WriteReg(tz, out.data(), 6), 1);
    EXPECT_EQ(static_cast<i16>(ESR_Get(18)), -270);
    // A source shorter than the fields gives zeros, never bytes beyond it.
    ASSERT_EQ(SYS_WriteReg(tz, in, 3), 1);
    EXPECT_EQ(static_cast<i16>(ESR_Get(18)), 30);
}

TEST_F(SysRcbs, SpecialReadsAndReadOnlyIdentifiers) {
    ESR_Put(16, 0x1234);
    for (int i = 3; i <= 6; ++i) ESR_Put(i, static_cast<u16>(100 * i));
    for (int i = 20; i <= 25; ++i) ESR_Put(i, static_cast<u16>(i));
    const char mac[] = "00:1A:2B:3C:4D:5E";
    std::memcpy(tinyImage + kTinyMacText0, mac, 17);
    std::memcpy(KernelRev, "2.6.35.44", 10);
    InitRdVer = 77;
    DartuServerState = kDartuRunning;
    SYS_ResetRCBs(0);
    auto word = [&](u32 id) { return GetLe16(Read(SYS_LinkReg(id, 0x8000 | 2), 2).data()); };
    EXPECT_EQ(word(996), 0x1234);
    for (u32 id = 1010; id <= 1013; ++id) EXPECT_EQ(word(id), 100 * (id - 1007)) << id;
    EXPECT_EQ(word(1023), 77);
    EXPECT_EQ(word(1002), 1);
    EXPECT_EQ(word(1003), 0);  // no web layer registered: nobody logged in
    std::vector<u8> utc = Read(SYS_LinkReg(1007, 0x8000 | 6), 6);
    EXPECT_EQ(GetLe16(&utc[4]), 22);
    std::vector<u8> text = Read(SYS_LinkReg(1014, 0x8000 | 17), 17);
    EXPECT_EQ(std::string(text.begin(), text.end()), mac);
    std::vector<u8> rev = Read(SYS_LinkReg(1022, 0x8000 | 10), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rev.data())), "2.6.35.44");

    // Identifiers without a write entry change nothing.
    const u8 v[2] = {1, 2};
    for (u32 id : {996u, 997u, 1002u, 1004u, 1009u, 1010u, 1013u, 1014u, 1022u, 1023u})
        EXPECT_EQ(SYS_WriteReg(SYS_LinkReg(id, 0x8000 | 2), v, 2), 1) << id;
    EXPECT_EQ(ESR_Get(16), 0x1234);
    EXPECT_EQ(ESR_Get(6), 600);
    EXPECT_EQ(InitRdVer, 77);
    DartuServerState = kDartuStopped;
}

std::vector<std::pair<int, int>> g_netWrites;
void NetRead(int iface, int field, u8* out, u32) { out[0] = static_cast<u8>(10 * iface + field); }
void NetWrite(int iface, int field, const u8*, u32 len) {
    g_netWrites.push_back({iface * 10 + field, static_cast<int>(len)});
}

TEST_F(SysRcbs, NetworkIdentifiersReachTheEthernetLayer) {
    sysPeers.netRead = NetRead;
    sysPeers.netWrite = NetWrite;
    g_netWrites.clear();
    struct Case {
        u32 id;
        int iface, field;
    } cases[] = {{992, 0, kNetDhcp},  {993, 1, kNetDhcp}, {994, 0, kNetDns},     {995, 1, kNetDns},
                 {1015, 0, kNetIp},   {1016, 0, kNetMask}, {1017, 0, kNetGateway}, {1019, 1, kNetIp},
                 {1020, 1, kNetMask}, {1021, 1, kNetGateway}};
    SYS_ResetRCBs(0);
    const u8 ip[4] = {192, 168, 0, 10};
    for (const Case& c : cases) {
        SysRcb* r = SYS_LinkReg(c.id, 0x8000 | 4);
        EXPECT_EQ(Read(r, 1)[0], 10 * c.iface + c.field) << c.id;
        g_netWrites.clear();
        SYS_WriteReg(r, ip, 4);
        ASSERT_EQ(g_netWrites.size(), 1u) << c.id;
        EXPECT_EQ(g_netWrites[0], (std::pair{10 * c.iface + c.field, 4})) << c.id;
    }
}

TEST_F(SysRcbs, SettingsImageHoldsTheEthernetRecordsAndStaysInside) {
    ASSERT_GE(kBbramBytes, 96u);  // four 24-byte records
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);  // bbram.dta is saved only once it exists
    u8 record[24];
    for (u8 i = 0; i < 24; ++i) record[i] = static_cast<u8>(0xA0 + i);
    ASSERT_EQ(SYS_WriteCmd(record, 72, 24), 1);
    std::vector<u8> file;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/bbram.dta"), file, 4096));
    ASSERT_EQ(file.size(), kBbramBytes);
    EXPECT_EQ(file[72], 0xA0);
    EXPECT_EQ(file[95], 0xA0 + 23);

    u8 back[24] = {};
    ASSERT_EQ(SYS_ReadCmd(back, 72, 24), 1);
    EXPECT_EQ(0, std::memcmp(back, record, 24));
    // Ranges that would leave the image are refused whole.
    EXPECT_EQ(SYS_WriteCmd(record, 73, 24), 0);
    EXPECT_EQ(SYS_ReadCmd(back, kBbramBytes, 1), 0);
    EXPECT_EQ(SYS_ReadCmd(back, 0xFFFFFFF0u, 24), 0);
    EXPECT_EQ(SYS_ReadCmd(back, kBbramBytes, 0), 1);
}

TEST_F(SysRcbs, OldShortSettingsFileIsStillRead) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    std::vector<u8> old(32);
    for (u8 i = 0; i < 32; ++i) old[i] = static_cast<u8>(i + 1);
    ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/bbram.dta"), old.data(), old.size()));
    std::memset(bbram, 0xEE, kBbramBytes);
    AutoLoadRegisters();
    u8 head[32], tail[64];
    ASSERT_EQ(SYS_ReadCmd(head, 0, 32), 1);
    ASSERT_EQ(SYS_ReadCmd(tail, 32, 64), 1);
    EXPECT_EQ(std::vector<u8>(head, head + 32), old);
    EXPECT_EQ(std::vector<u8>(tail, tail + 64), std::vector<u8>(64, 0));
}

}  // namespace
