#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "core/nvram.h"
#include "platform/rtclock.h"
#include "platform/system.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

class PlcRegs : public ::testing::Test {
protected:
    TempRoot root;
    ManualClock clock;
    RegFixture regs;
};

// Register bit address of word SRn.
constexpr u32 SrAddr(int n) { return 0x400 + 16u * (127 + n); }

constexpr long kNull = -1;

TEST_F(PlcRegs, DecodesEveryAreaAndWindow) {
    struct Case {
        u32 address, bits;
        long byte;  // offset in plc_reg, kNull when invalid
    } cases[] = {
        {0x3FF, 1, kNull},        {0x400, 1, 0},           {0x407, 1, 0},          {0x408, 8, 1},
        {0x500, 1, 32},           {0x600, 1, 64},          {0x700, 1, 96},         {0x800, 16, 128},
        {0xA00, 16, 192},         {0xC00, 16, 256},        {0x1800, 16, 640},      {0x2000, 1, 896},
        {0x2800, 1, 1152},        {0x3000, 1, 1408},       {0x3800, 1, 1664},      {0x4000, 16, 1920},
        {0x6000, 16, 2944},       {0x8000, 16, 3968},      {0xCC3F0, 16, 104446},  // last R word
        {0xCC3F0, 32, 104446},    // runs on into the ET window: areas are contiguous
        {0xCC400, 1, kNull},      {0x10007FFF, 1, kNull},  {0x10008000, 1, 104448}, {0x1000BFF8, 8, 106495},
        {0x1000C000, 1, kNull},   {0x1001BFFF, 1, kNull},  {0x1001C000, 16, 106496}, {0x1001FFF8, 8, 108543},
        {0x10020000, 1, kNull},   {0x1002FFFF, 1, kNull},  {0x10030000, 16, 108544}, {0x10030FF0, 16, 109054},
        {0x10030FF0, 32, 109054}, {0x10030FF0, 48, kNull}, {0x10031000, 16, kNull}, {0x1FFFFFFF, 1, kNull},
        {0xC0000000, 16, kNull},  // an IEC reference while no application runs
        {0xFFFFFFFF, 1, kNull},
        // Spans that leave the memory, and counts that would wrap 32 bits.
        {0x8000, 8 * (kPlcRegBytes - 3968) + 8, kNull},
        {0x1000BFF8, 8 * 4800, kNull},
        {0x408, 0xFFFFFFF9, kNull},  // 32-bit sum wraps below the limit, (bits + 7) / 8 wraps to 0
        {0x400, 0xFFFFFC00, kNull},  // sum wraps to exactly 0
        {0x10008000, 0xF0000000, kNull},
        {0x400, 0xFFFFFFFF, kNull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "address 0x" << c.address << " bits 0x" << c.bits);
        EXPECT_EQ(PlcReg_Ptr(c.address, c.bits), c.byte == kNull ? nullptr : &plc_reg[c.byte]);
        EXPECT_EQ(OldReg_Ptr(c.address, c.bits), c.byte == kNull ? nullptr : &old_reg[c.byte]);
        std::vector<u8> buf(64, 0x5A);
        const u32 copyBits = c.bits <= 8 * buf.size() ? c.bits : 0;
        if (c.byte == kNull) {
            EXPECT_EQ(PlcReg_Get(buf.data(), c.address, c.bits), 0);
            EXPECT_EQ(PlcReg_Set(c.address, buf.data(), c.bits), 0);
        } else if (copyBits > 1 && c.address < 0xC00) {
            EXPECT_EQ(PlcReg_Set(c.address, buf.data(), copyBits), 1);
            EXPECT_EQ(plc_reg[c.byte], 0x5A);
        }
    }
}

TEST_F(PlcRegs, SingleBitsAndWordsReadBackThroughEveryPath) {
    u8 one = 2, zero = 0, got = 0xEE;
    // The register path sets a bit for any non-zero source byte.
    ASSERT_EQ(PlcReg_Set(0x2003, &one, 1), 1);
    EXPECT_EQ(plc_reg[kRegI], 0x08);
    ASSERT_EQ(PlcReg_Get(&got, 0x2003, 1), 1);
    EXPECT_EQ(got, 1);
    ASSERT_EQ(PlcReg_Get(&got, 0x2002, 1), 1);
    EXPECT_EQ(got, 0);
    ASSERT_EQ(PlcReg_Set(0x2003, &zero, 1), 1);
    EXPECT_EQ(plc_reg[kRegI], 0);

    // Window bits land in the window's bytes, words keep little-endian order.
    ASSERT_EQ(PlcReg_Set(0x1001C00F, &one, 1), 1);
    EXPECT_EQ(plc_reg[kRegEM + 1], 0x80);
    const u8 word[2] = {0x34, 0x12};
    ASSERT_EQ(PlcReg_Set(0x10030000 + 16 * 4, word, 16), 1);  // ESR5
    EXPECT_EQ(ESR_Get(5), 0x1234);
    u8 three[3];
    plc_reg[kRegR] = 1, plc_reg[kRegR + 1] = 2, plc_reg[kRegR + 2] = 3;
    ASSERT_EQ(PlcReg_Get(three, 0x8000, 24), 1);
    EXPECT_EQ(std::vector<u8>(three, three + 3), (std::vector<u8>{1, 2, 3}));
}

// Limits, widths and side effects of system-register writes.
TEST_F(PlcRegs, SystemRegisterWritesKeepLimitsAndSideEffects) {
    struct Case {
        const char* what;
        u32 address, bits, value;
        int result;
        int sr;             // register to check afterwards (0: none)
        u16 before, after;  // its value before and after
    } cases[] = {
        {"mode 2 goes to the mode change", SrAddr(5), 16, 2, 1, 5, 0, 2},
        {"mode 5 is out of 0-4", SrAddr(5), 16, 5, 0, 5, 0, 0},
        {"SR4 is read-only", SrAddr(4), 16, 0, 0, 4, 7, 7},
        {"bit 0 of SR183 takes the source byte", SrAddr(183), 1, 1, 1, 183, 0, 1},
        {"a bit write of 2 is outside 0-1", SrAddr(183), 1, 2, 0, 183, 0, 0},
        {"SR29 is 16 bits wide", SrAddr(29), 32, 5, 0, 29, 1, 1},
        {"SR29 0 is below 1", SrAddr(29), 16, 0, 0, 29, 1, 1},
        {"SR66 is read-only although 96 wide", SrAddr(66), 48, 0, 0, 66, 0, 0},
        {"SR9 is never checked", SrAddr(9), 32, 0x00070009, 1, 10, 0, 7},
        {"SR12 continues SR11", SrAddr(12), 16, 0, 0, 12, 3, 3},
        {"SR3 28 is the maximum", SrAddr(3), 16, 28, 1, 3, 0, 28},
        {"SR3 29 is refused", SrAddr(3), 16, 29, 0, 3, 0, 0},
        {"SR155 below 135", SrAddr(155), 16, 134, 0, 155, 200, 200},
        {"SR155 at 1500", SrAddr(155), 16, 1500, 1, 155, 200, 1500},
        {"SR157 takes any 32-bit value", SrAddr(157), 32, 0xFFFFFFFF, 1, 158, 0, 0xFFFF},
        {"SR157 is not 64 bits wide", SrAddr(157), 64, 1, 0, 157, 0, 0},
        {"SR192 is 16 bits wide", SrAddr(192), 32, 1, 0, 192, 0, 0},
        {"SR34 asks for the port and is not stored", SrAddr(34), 16, 1, 1, 34, 0, 0},
        {"SR34 2 is out of 0-1", SrAddr(34), 16, 2, 0, 34, 0, 0},
        {"SR32 byte write gives the whole word", SrAddr(32), 8, 5, 1, 32, 0x1234, 5},
        {"SR30", SrAddr(30), 16, 3, 1, 30, 0, 3},
        {"SR164 bit 1", SrAddr(164) + 1, 1, 1, 1, 164, 0x8000, 0x8002},
        {"SR186 below 5", SrAddr(186), 16, 4, 0, 186, 9, 9},
        {"a write at the high byte of SR5 is checked on SR5's row", SrAddr(5) + 8, 8, 9, 0, 5, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(plc_reg, 0, kPlcRegBytes);
        if (c.sr) SR_Put(c.sr, c.before);
        u8 src[12] = {};
        PutLe32(src, c.value);
        EXPECT_EQ(PlcReg_Set(c.address, src, c.bits), c.result);
        if (c.sr) {
            EXPECT_EQ(SR_Get(c.sr), c.after);
        }
    }
}

TEST_F(PlcRegs, NodeIdLeavesRoomForTheIdsTheControllerOccupies) {
    struct Case {
        u16 sr61;
        u16 value;
        int result;
    } cases[] = {{30, 100, 0}, {30, 98, 1}, {0, 127, 1}, {200, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "SR61 " << c.sr61 << " value " << c.value);
        SR_Put(29, 5);
        SR_Put(61, c.sr61);
        SR_Put(4, 0x21);
        u8 src[2];
        PutLe16(src, c.value);
        EXPECT_EQ(PlcReg_Set(SrAddr(29), src, 16), c.result);
        EXPECT_EQ(SR_Get(29), c.result ? c.value : 5);
        EXPECT_EQ(SR_Get(4), c.result ? 0x01 : 0x21);  // network fault bit 0x20 cleared on success
    }
}

TEST_F(PlcRegs, ClockWritesSetTheRealTimeClock) {
    const u16 dateTime[6] = {30, 45, 13, 24, 12, 2030};  // 13:45:30, 24 Dec 2030
    u8 src[12];
    for (int i = 0; i < 6; ++i) PutLe16(src + 2 * i, dateTime[i]);
    EXPECT_EQ(PlcReg_Set(SrAddr(44), src, 64), 0);
    EXPECT_EQ(PlcReg_Set(SrAddr(44), src, 32), 0);
    EXPECT_EQ(PlcReg_Set(SrAddr(47), src, 32), 0);
    ASSERT_EQ(PlcReg_Set(SrAddr(44), src, 96), 1);
    RTCTime t{};
    RtcGet(&t);
    EXPECT_EQ((std::vector<u16>{t.second, t.minute, t.hour, t.day, t.month, t.year}),
              (std::vector<u16>{30, 45, 13, 24, 12, 2030}));

    const u16 time[3] = {5, 6, 7};
    for (int i = 0; i < 3; ++i) PutLe16(src + 2 * i, time[i]);
    ASSERT_EQ(PlcReg_Set(SrAddr(44), src, 48), 1);
    const u16 date[3] = {1, 2, 2031};
    for (int i = 0; i < 3; ++i) PutLe16(src + 2 * i, date[i]);
    ASSERT_EQ(PlcReg_Set(SrAddr(47), src, 48), 1);
    RtcGet(&t);
    EXPECT_EQ((std::vector<u16>{t.second, t.minute, t.hour, t.day, t.month, t.year}),
              (std::vector<u16>{5, 6, 7, 1, 2, 2031}));

    const u16 bad[6] = {0, 0, 0, 31, 2, 2031};  // 31 February
    for (int i = 0; i < 6; ++i) PutLe16(src + 2 * i, bad[i]);
    EXPECT_EQ(PlcReg_Set(SrAddr(44), src, 96), 0);
    RtcGet(&t);
    EXPECT_EQ(t.month, 2);
    EXPECT_EQ(t.day, 1);
}

TEST_F(PlcRegs, ForcesStayInsideTheTableAndTheMemory) {
    auto entry = [](u32 i, u16 word, u16 andMask, u16 orValue) {
        PutLe16(&io_force[4 + 6 * i], word);
        PutLe16(&io_force[6 + 6 * i], andMask);
        PutLe16(&io_force[8 + 6 * i], orValue);
    };
    // Two inputs, one output.
    PutLe16(&io_force[0], 2);
    PutLe16(&io_force[2], 1);
    entry(0, kRegI / 2, 0xFF00, 0x0001);
    entry(1, kRegAI / 2, 0x0000, 0x1234);
    entry(2, kRegQ / 2, 0xFFFF, 0x8000);
    PutLe16(&plc_reg[kRegI], 0xABCD);
    PutLe16(&plc_reg[kRegQ], 0x0001);
    PlcForceInputs();
    EXPECT_EQ(GetLe16(&plc_reg[kRegI]), 0xAB01);
    EXPECT_EQ(GetLe16(&plc_reg[kRegAI]), 0x1234);
    EXPECT_EQ(GetLe16(&plc_reg[kRegQ]), 0x0001);  // outputs wait for their turn
    PlcForceOutputs();
    EXPECT_EQ(GetLe16(&plc_reg[kRegQ]), 0x8001);

    // Hostile counts and indexes: at most 42 entries are ever read, and a
    // word index beyond the memory is skipped.
    std::memset(io_force, 0xFF, kForceTableBytes);
    for (u32 i = 0; i < 42; ++i) entry(i, static_cast<u16>(kRegR / 2 + i), 0, static_cast<u16>(i + 1));
    entry(5, 0xFFFF, 0, 0x7777);
    entry(6, kPlcRegBytes / 2, 0, 0x7777);
    PutLe16(&io_force[0], 40);
    PutLe16(&io_force[2], 0xFFFF);
    PlcForceInputs();
    PlcForceOutputs();
    for (u32 i = 0; i < 42; ++i)
        EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2 * i]), i == 5 || i == 6 ? 0 : i + 1) << "entry " << i;
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2 * 42]), 0);
    EXPECT_EQ(GetLe16(&plc_reg[kPlcRegBytes - 2]), 0);
    PutLe16(&io_force[0], 0xFFFF);
    PlcForceInputs();  // capped at 42 as well
}

// Which areas each clear touches.
struct Area {
    const char* name;
    u32 at, bytes;
    bool tmp, cold;  // cleared by PlcTmpClear, by PlcRegClear
};
const Area kAreas[] = {
    {"IG", kRegIG, 32, false, true},    {"QG", kRegQG, 32, false, true},
    {"K", kRegK, 32, true, true},       {"AIG", kRegAIG, 64, false, true}, {"AQG", kRegAQG, 64, false, true},
    {"F", kRegF, 256, false, false},    {"I", kRegI, 256, false, true},    {"Q", kRegQ, 256, true, true},
    {"T", kRegT, 256, true, true},      {"M", kRegM, 256, false, true},    {"AI", kRegAI, 1024, false, true},
    {"AQ", kRegAQ, 1024, true, true},   {"R", kRegR, 100480, false, true}, {"ET", kRegET, 2048, true, true},
    {"EM", kRegEM, 2048, false, true},  {"ESR", kRegESR, 512, false, false},
    {"settings", kRegSettings, 120, false, false},
};

bool AllBytes(u32 at, u32 n, u8 v) {
    for (u32 i = 0; i < n; ++i)
        if (plc_reg[at + i] != v) return false;
    return true;
}

TEST_F(PlcRegs, ClearsTouchOnlyTheirAreas) {
    for (int cold = 0; cold < 2; ++cold) {
        SCOPED_TRACE(cold ? "PlcRegClear" : "PlcTmpClear");
        std::memset(plc_reg, 0xFF, kPlcRegBytes);
        cold ? PlcRegClear() : PlcTmpClear();
        for (const Area& a : kAreas) {
            const bool cleared = cold ? a.cold : a.tmp;
            EXPECT_TRUE(AllBytes(a.at, a.bytes, cleared ? 0 : 0xFF)) << a.name;
        }
        // Inside S only S9 and S10; the SR side effects of the warm clear.
        EXPECT_EQ(plc_reg[kRegS], 0xFF);
        EXPECT_EQ(plc_reg[kRegS + 1], 0xFC);
        EXPECT_TRUE(AllBytes(kRegS + 2, 30, 0xFF));
        EXPECT_EQ(SR_Get(57), 255);
        EXPECT_EQ(SR_Get(58), 0);
        EXPECT_EQ(SR_Get(62), 0);
        EXPECT_EQ(SR_Get(184), 0);
        EXPECT_EQ(SR_Get(56), 0xFFFF);
        EXPECT_EQ(SR_Get(185), 0xFFFF);
    }
}

TEST_F(PlcRegs, ColdClearWithAnIecApplicationOnlyForgetsItsRetainedValues) {
    const std::string ret = root.Path("/mnt/cfg/q4.ret");
    std::ofstream(ret) << "retained";
    std::memset(plc_reg, 0xFF, kPlcRegBytes);
    QuilletRuntime = 1;
    PlcRegClear();
    QuilletRuntime = 0;
    EXPECT_FALSE(std::filesystem::exists(ret));
    EXPECT_TRUE(AllBytes(0, kPlcRegBytes, 0xFF));
}

TEST_F(PlcRegs, StartUpInitialisation) {
    std::memset(plc_reg, 0xFF, kPlcRegBytes);
    const u8 mac[4] = {0x12, 0x34, 0x56, 0x78};
    std::memcpy(&tinyImage[10], mac, 4);
    ESR_Put(18, static_cast<u16>(-300));
    ESR_Put(19, 0x0100);  // low byte 0: no daylight saving
    SR_Put(4, 0);
    PlcRegInit(1);

    EXPECT_EQ(std::string(reinterpret_cast<char*>(&plc_reg[kRegColdMarker]), 8), "WATCHBAT");
    EXPECT_EQ(PlcBatCheck(), 1);
    EXPECT_EQ(SR_GetDword(53), 0xFFFFFFFFu);
    EXPECT_EQ(SR_Get(38), 1550);
    EXPECT_EQ(SR_GetDword(35), 0x12345678u);
    EXPECT_EQ(SR_Get(155), 1500);
    EXPECT_EQ(SR_Get(6), 0);
    EXPECT_EQ(SR_Get(43), 255);
    EXPECT_EQ(SR_Get(60), 2);
    EXPECT_EQ(SR_GetDword(149), 0u);
    EXPECT_EQ(SR_Get(192), 0);
    EXPECT_EQ(SR_Get(186), 0xFFFF);  // not in the start-up list
    for (int n = 1; n <= 16; ++n) EXPECT_EQ(S_Get(n), n == 7 || (n >= 11 && n <= 13) || n == 16) << "S" << n;
    EXPECT_TRUE(AllBytes(kRegS + 2, 24, 0));  // S17-S208
    EXPECT_EQ(plc_reg[kRegS + 26], 0xFF);     // S209 on survive
    EXPECT_EQ(ESR_Get(30), 0xFFFF);
    EXPECT_TRUE(AllBytes(kRegESR + 60, 452, 0));  // ESR31-ESR256
    EXPECT_TRUE(AllBytes(kRegSettings, 26, 0));
    EXPECT_EQ(plc_reg[kRegSettings + 26], 0xFF);
    EXPECT_EQ(timezoneValue, -300);
    EXPECT_EQ(timezoneAdvance, 0);
    EXPECT_EQ(timezoneModField, 0);
    EXPECT_EQ(dstActive, 0);
    EXPECT_TRUE(AllBytes(kRegR, 100480, 0));

    // The clock registers hold the clock's reading, or the default when the
    // clock holds no valid time (then SR4 says so).
    RTCTime t{};
    RtcGet(&t);
    if (RtcCheck(&t)) {
        EXPECT_EQ(SR_Get(49), t.year);
        EXPECT_EQ(SR_Get(4) & 0x200, 0);
    } else {
        EXPECT_EQ((std::vector<u16>{SR_Get(44), SR_Get(47), SR_Get(48), SR_Get(49)}),
                  (std::vector<u16>{0, 1, 1, 1900}));
        EXPECT_NE(SR_Get(4) & 0x200, 0);
    }

    // A warm start keeps the retentive areas and writes no marker.
    std::memset(plc_reg, 0xAA, kPlcRegBytes);
    ESR_Put(18, 60);
    ESR_Put(19, 1);
    PlcRegInit(0);
    EXPECT_EQ(PlcBatCheck(), 0);
    EXPECT_TRUE(AllBytes(kRegR, 100480, 0xAA));
    EXPECT_TRUE(AllBytes(kRegQ, 256, 0));
    EXPECT_EQ(timezoneValue, 60);
    EXPECT_EQ(timezoneAdvance, 1);
    EXPECT_EQ(dstActive, 1);
}

TEST_F(PlcRegs, LimitTableRows) {
    struct Case {
        int sr;
        u8 width;
        u32 min, max;
    } cases[] = {
        {1, 16, 0, 0},       {4, 16, 1, 0},      {5, 16, 0, 4},        {12, 0, 1, 0},          {29, 16, 1, 127},
        {36, 0, 1, 0},       {44, 96, 0, 59},    {46, 0, 0, 23},       {49, 0, 1900, 1999},    {61, 0, 1, 0},
        {66, 96, 1, 0},      {71, 0, 1, 0},      {131, 80, 1, 0},      {142, 0, 1, 0},         {155, 16, 135, 1500},
        {158, 0, 0, 0xFFFFFFFF}, {181, 32, 0, 0xFFFFFFFF}, {182, 16, 0, 65535}, {186, 16, 5, 1200}, {192, 16, 0, 1000},
    };
    for (const Case& c : cases) {
        const SrInfo& r = sr_info[c.sr - 1];
        EXPECT_EQ(r.width, c.width) << "SR" << c.sr;
        EXPECT_EQ(r.min, c.min) << "SR" << c.sr;
        EXPECT_EQ(r.max, c.max) << "SR" << c.sr;
    }
    u16 lo, hi;
    VmDbWordSR_MinMax(&lo, &hi, 154);
    EXPECT_EQ(lo, 135);
    EXPECT_EQ(hi, 1500);
    VmDbWordSR_MinMax(&lo, &hi, 156);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 65535);
    VmDbWordSR_MinMax(&lo, &hi, 192);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 0);
}

// CRC-16/MODBUS of a file, computed by Perl's Digest::CRC.
u16 PerlCrc(const std::string& path) {
    const std::string cmd =
        "perl -MDigest::CRC -e 'open(F, \"<:raw\", $ARGV[0]) or die; local $/; my $d = <F>; "
        "my $c = Digest::CRC->new(width => 16, init => 0xffff, xorout => 0, refin => 1, refout => 1, "
        "poly => 0x8005, cont => 0); $c->add($d); print $c->digest' '" +
        path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return 0;
    char out[32] = {};
    size_t n = fread(out, 1, sizeof out - 1, p);
    pclose(p);
    return n ? static_cast<u16>(std::stoul(out)) : 0;
}

TEST_F(PlcRegs, CrcIsModbusCrc16) {
    EXPECT_EQ(crc16("abc", 3), 0x5749);
    EXPECT_EQ(crc16("123456789", 9), 0x4B37);
    EXPECT_EQ(crc16("", 0), 0xFFFF);
    EXPECT_EQ(crc16_next("bc", 2, crc16("a", 1)), 0x5749);

    std::mt19937 rng(1234);
    const std::string path = root.Path("/dev/shm/crc.bin");
    for (u32 len : {1u, 2u, 255u, 256u, 4097u, 70000u}) {
        std::vector<u8> data(len);
        for (u8& b : data) b = static_cast<u8>(rng());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), len);
        const u16 crc = crc16(data.data(), len);
        EXPECT_EQ(crc, PerlCrc(path)) << "length " << len;
        const u32 cut = static_cast<u32>(rng() % (len + 1));
        EXPECT_EQ(crc16_next(data.data() + cut, len - cut, crc16(data.data(), cut)), crc) << "cut " << cut;
    }
}

}  // namespace
