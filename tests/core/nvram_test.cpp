#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "core/wiring.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/blocks/q4hostglue.h"
#include "platform/fileio.h"
#include "testsupport/temp_root.h"

namespace {

// What the stored-program code handed over to the IEC runtime: the
// recorders count each call and pass it on to the real runtime.
struct IecHandOver {
    int start = 0, stop = 0, deleteCode = 0, applyNetIo = 0;
    u8 netIoUpdatedSeen = 0, j1939Seen = 0;  // the two flags as the apply saw them
};
IecHandOver handOver;
NvramPeers nvramReal;

class Nvram : public ::testing::Test {
protected:
    void SetUp() override {
        Nvram_Reset();
        Bkuprstr_Reset();
        Q4HostGlue_Reset();
        std::memset(plc_reg, 0, kPlcRegBytes);
        handOver = IecHandOver{};
        nvramReal = nvramPeers;
        nvramPeers.startIec = [] {
            handOver.start++;
            nvramReal.startIec();
        };
        nvramPeers.stopIec = [] {
            handOver.stop++;
            nvramReal.stopIec();
        };
        nvramPeers.deleteIecCode = [] {
            handOver.deleteCode++;
            return nvramReal.deleteIecCode();
        };
        nvramPeers.applyNetIoConfig = [] {
            handOver.applyNetIo++;
            handOver.netIoUpdatedSeen = CmdNetIoConfigUpdated;
            handOver.j1939Seen = J1939_init_start;
            nvramReal.applyNetIoConfig();
        };
    }
    void TearDown() override { Wiring_Connect(); }
    TempRoot root;
};

// Fills a block with a pattern and a header that describes it.
void Fill(const NvBlock& b, u32 size, u8 seed = 1) {
    for (u32 i = 0; i < size; ++i) b.Data()[i] = static_cast<u8>(seed + i * 7);
    b.SetHeader(crc16(b.Data(), size), size);
}

// A ladder image whose trailer carries the feature word.
void LadderWithFeatures(u32 features) {
    u8 img[16] = {9, 0};
    PutLe32(img + 16 - 9, features);
    img[15] = 0;
    nv_write(ladder, img, sizeof img);
    ladder_bl.SetHeader(crc16(ladder, sizeof img), sizeof img);
}

// Every block and table valid, so that the start-up check keeps them.
void MakeAllValid(u32 features) {
    Fill(io_config_bl, 12);
    LadderWithFeatures(features);
    SR_PutDword(15, 4);
    SR_Put(25, crc16(&plc_reg[kForceTableOffset], 4));
    SR_PutDword(21, kSecurityTableMax);
    SR_Put(28, crc16(&plc_reg[kSecurityTableOffset], kSecurityTableMax));
    for (const NvBlock* b : {&promgr_table_bl, &sms_table_bl, &datalog_table, &copendnet_tbl, &mqtt_tbl}) Fill(*b, 8);
}

std::vector<u8> ReadFile(const std::string& path) {
    std::vector<u8> out;
    File_ReadAll(path, out, 64u << 20);
    return out;
}

TEST_F(Nvram, BlockCheckHoldsSizeToRangeAndCapacity) {
    struct Case {
        const NvBlock* block;
        const char* name;
        u32 size;
        bool corrupt;
        bool valid;
    } cases[] = {
        {&ladder_bl, "ladder empty", 0, false, false},
        {&ladder_bl, "ladder 1 byte", 1, false, true},
        {&ladder_bl, "ladder at max", 0x200000, false, true},
        {&ladder_bl, "ladder above max", 0x200001, false, false},
        {&ladder_bl, "ladder corrupt", 100, true, false},
        {&io_config_bl, "io at max", 0x7F000, false, true},
        {&io_config_bl, "io above max", 0x7F001, false, false},
        // These blocks accept sizes up to their capacity, never the few
        // bytes more that a download header may claim.
        {&promgr_table_bl, "promgr full", kPromgrCapacity, false, true},
        {&promgr_table_bl, "promgr +1", kPromgrCapacity + 1, false, false},
        {&promgr_table_bl, "promgr +8", kPromgrCapacity + 8, false, false},
        {&sms_table_bl, "sms +8", kSmsCapacity + 8, false, false},
        {&datalog_table, "datalog full", kDatalogCapacity, false, true},
        {&datalog_table, "datalog +4", kDatalogCapacity + 4, false, false},
        {&copendnet_tbl, "canopen +8", kCanopenCapacity + 8, false, false},
        {&mqtt_tbl, "mqtt full", kMqttCapacity, false, true},
        {&mqtt_tbl, "mqtt +8", kMqttCapacity + 8, false, false},
        {&mqtt_tbl, "mqtt corrupt", 8, true, false},
        {&net_config_bl, "net empty", 0, false, true},
        {&net_config_bl, "net beyond capacity", kNetConfigCapacity + 1, false, false},
    };
    for (const Case& c : cases) {
        u32 filled = std::min(c.size, c.block->capacity);
        Fill(*c.block, filled);
        c.block->SetHeader(static_cast<u16>(c.block->Crc() ^ (c.corrupt ? 0x0100 : 0)), c.size);
        EXPECT_EQ(NvBlockValid(*c.block), c.valid) << c.name;
    }
}

TEST_F(Nvram, EditorFeaturesComeFromTheTrailerOnly) {
    struct Case {
        std::vector<u8> image;
        u32 features;
    } cases[] = {
        {{}, 0},
        {{9, 0}, 0},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 0},  // shorter than the trailer
        {{0x81, 0x00, 0x00, 0x00, 0, 0, 0, 0, 253}, 0x81},
        {{0, 0, 0, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0}, 0x8004},
        {{0x3F, 0x80, 0, 0, 0, 0, 0, 0, 254}, 0},  // last byte 254: no trailer
    };
    for (const Case& c : cases) {
        nv_write(ladder, c.image.data(), static_cast<u32>(c.image.size()));
        ladder_bl.SetHeader(0, static_cast<u32>(c.image.size()));
        NV_EditorFeatures = 0xDEAD;
        nv_get_features();
        EXPECT_EQ(NV_EditorFeatures, c.features) << c.image.size();
    }
    LadderWithFeatures(0x8014);
    nv_get_features();
    EXPECT_EQ(NV_EditorFeatures, 0x8014u);
    // A header that claims more than the block holds reads nothing past it.
    ladder_bl.SetHeader(0, kLadderCapacity + 8);
    nv_get_features();
    EXPECT_EQ(NV_EditorFeatures, 0u);
}

TEST_F(Nvram, EraseRequestWritesValidDefaults) {
    MakeAllValid(0);
    SR_Put(5, 0);
    EXPECT_EQ(nvram_init(1, 0, 0), 1);
    struct Case {
        const NvBlock* block;
        u32 size;
        int crcSr, sizeSr;
    } cases[] = {{&ladder_bl, 2, 23, 11},         {&io_config_bl, 12, 26, 17}, {&net_config_bl, 34, 27, 19},
                 {&promgr_table_bl, 8, 130, 123}, {&sms_table_bl, 8, 147, 143}, {&datalog_table, 8, 0, 0},
                 {&copendnet_tbl, 8, 0, 0},       {&mqtt_tbl, 8, 0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.block->Size(), c.size);
        EXPECT_TRUE(NvBlockValid(*c.block)) << c.size;
        if (c.crcSr) {
            EXPECT_EQ(SR_Get(c.crcSr), c.block->Crc());
            EXPECT_EQ(SR_GetDword(c.sizeSr), c.size);
        }
    }
    EXPECT_EQ(ladder[0], 9);
    EXPECT_EQ(ladder[1], 0);
    EXPECT_EQ(net_config[6], 0x40);
    EXPECT_EQ(SR_GetDword(21), kSecurityTableMax);
    EXPECT_EQ(SR_Get(28), crc16(&plc_reg[kSecurityTableOffset], kSecurityTableMax));
    EXPECT_EQ(SR_GetDword(15), 4u);
    EXPECT_EQ(SR_Get(25), crc16(&plc_reg[kForceTableOffset], 4));
    EXPECT_EQ(SR_Get(148), static_cast<u16>(~datalog_table.Crc()));
    EXPECT_EQ(SR_GetDword(145), ~8u);
    EXPECT_EQ(SR_Get(4) & 0x4, 0);
    EXPECT_EQ(SR_Get(137), 500);
    EXPECT_EQ(SR_Get(186), 15);
}

TEST_F(Nvram, FirstStartAsksForDefaultsOnce) {
    // No stored image: the register load asks for defaults.
    EXPECT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(fwload_set_def, 1);
    EXPECT_EQ(nvram_init(0, 0, 0), 1);
    EXPECT_EQ(fwload_set_def, 0);
    EXPECT_TRUE(NvBlockValid(ladder_bl));
    EXPECT_TRUE(NvBlockValid(io_config_bl));
    EXPECT_EQ(SR_Get(23), crc16(ladder, 2));
    // Once written, the next check keeps them.
    EXPECT_EQ(nvram_init(0, 0, 0), 0);
    EXPECT_EQ(SR_Get(4) & 0x4, 0);
}

TEST_F(Nvram, RunModeKeepsBlocksEvenOnEraseRequest) {
    MakeAllValid(0);
    io_config[0] ^= 1;  // corrupt as well: still nothing rewritten
    SR_Put(5, 2);
    EXPECT_EQ(nvram_init(1, 0, 0), 1);
    EXPECT_EQ(ladder_bl.Size(), 16u);
    EXPECT_EQ(io_config_bl.Size(), 12u);
}

TEST_F(Nvram, InvalidBlockMarksProgramAbsent) {
    MakeAllValid(0);
    SR_Put(23, 0x1234);
    io_config[3] ^= 0x40;
    SR_Put(5, 0);
    EXPECT_EQ(nvram_init(0, 0, 0), 0);
    EXPECT_EQ(SR_Get(4) & 0x4, 0x4);
    EXPECT_EQ(ladder[0], 9);
    EXPECT_EQ(ladder[1], 0);
    for (const NvBlock* b : {&ladder_bl, &io_config_bl, &net_config_bl, &promgr_table_bl, &sms_table_bl,
                             &datalog_table, &mqtt_tbl}) {
        EXPECT_EQ(b->Crc(), 0);
        EXPECT_EQ(b->Size(), 0u);
    }
    for (int sr : {23, 11, 12, 26, 17, 18, 27, 19, 20, 28, 21, 22, 130, 123, 124, 147, 143, 144})
        EXPECT_EQ(SR_Get(sr), 0) << "SR" << sr;
    EXPECT_TRUE(NvBlockValid(copendnet_tbl));
    EXPECT_EQ(SR_Get(148), static_cast<u16>(~0u));
}

TEST_F(Nvram, OptionalTablesCheckedAsFeaturesSay) {
    struct Case {
        u32 features;
        const NvBlock* broken;  // or nullptr: a table kept in registers
        int brokenTable;        // 1 force, 2 security, 3 oversize force table
        bool valid;
    } cases[] = {
        {0, &mqtt_tbl, 0, true},
        {0x80, &mqtt_tbl, 0, false},
        {0x80, &datalog_table, 0, true},  // data-log bit clear
        {0x10, &mqtt_tbl, 0, false},
        {0x4, &datalog_table, 0, false},
        {0x1, &promgr_table_bl, 0, false},
        {0x2, &sms_table_bl, 0, false},
        {0x8, &copendnet_tbl, 0, false},
        {0x8, &promgr_table_bl, 0, true},
        {0, nullptr, 1, false},
        {0, nullptr, 2, false},
        {0, nullptr, 3, false},
    };
    for (const Case& c : cases) {
        SetUp();
        MakeAllValid(c.features);
        if (c.broken) c.broken->Data()[0] ^= 1;
        if (c.brokenTable == 1) plc_reg[kForceTableOffset] ^= 1;
        if (c.brokenTable == 2) SR_PutDword(21, kSecurityTableMax + 2);
        if (c.brokenTable == 3) SR_PutDword(15, kForceTableMax + 8);
        SR_Put(5, 0);
        nvram_init(0, 0, 0);
        EXPECT_EQ((SR_Get(4) & 0x4) == 0, c.valid) << c.features << " " << c.brokenTable;
    }
}

TEST_F(Nvram, SystemRegistersBroughtIntoRange) {
    struct Case {
        int sr;
        u16 in, out;
    } cases[] = {{5, 3, 0},    {32, 0, 16},  {32, 41, 16}, {32, 40, 40},  {33, 2, 0},     {31, 128, 0},
                 {137, 499, 500}, {137, 900, 900}, {173, 2, 0},  {180, 3, 0},   {180, 2, 2},    {183, 2, 1},
                 {185, 2, 0},  {186, 4, 15}, {186, 1201, 15}, {186, 1200, 1200}, {152, 4, 0}, {30, 5, 0}};
    for (const Case& c : cases) {
        SetUp();
        MakeAllValid(0);
        SR_Put(61, 10);
        SR_Put(29, 5);
        SR_Put(c.sr, c.in);
        nvram_init(0, 0, 0);
        EXPECT_EQ(SR_Get(c.sr), c.out) << "SR" << c.sr << " " << c.in;
    }
    SetUp();
    MakeAllValid(0);
    SR_Put(61, 10);
    SR_Put(29, 120);
    nvram_init(0, 0, 0);
    EXPECT_EQ(SR_Get(29), 118);
    EXPECT_EQ(SR_Get(4) & 0x20, 0x20);
    SR_Put(61, 0);
    nvram_init(0, 0, 0);
    EXPECT_EQ(SR_Get(61), 1);
    EXPECT_EQ(ESR_Get(1), 0);
}

// Programs a full set of blocks, saves, forgets and loads them again.
TEST_F(Nvram, ProgramFilesRoundTrip) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    MakeAllValid(0x9F);
    Fill(io_config_bl, 5000, 3);
    Fill(mqtt_tbl, 70000, 5);
    Fill(flash_parm_tbl, 40, 9);
    for (u32 i = 0; i < kSecurityTableMax; ++i) plc_reg[kSecurityTableOffset + i] = static_cast<u8>(i + 1);
    SR_PutDword(21, 60);
    SR_Put(28, 0xABCD);
    ASSERT_EQ(SaveProgram(), 1);
    EXPECT_EQ(PersistFlags_Get() & (kPfLadderWrite | kPfConfigWrite), 0u);
    for (const char* f : {"/mnt/cfg/ladder.pgm", "/mnt/cfg/config.pgm", "/mnt/cfg/autoreg.dta"}) {
        struct stat st {};
        ASSERT_EQ(stat(root.Path(f).c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    std::vector<u8> ladderFile = ReadFile(root.Path("/mnt/cfg/ladder.pgm"));
    ASSERT_EQ(ladderFile.size(), 8u + 16);
    EXPECT_EQ(GetLe16(ladderFile.data()), ladder_bl.Crc());

    std::vector<std::vector<u8>> before;
    for (const NvBlock* b : {&io_config_bl, &ladder_bl, &promgr_table_bl, &mqtt_tbl, &flash_parm_tbl})
        before.emplace_back(b->base, b->base + 8 + b->Size());
    std::vector<u8> security(&plc_reg[kSecurityTableOffset], &plc_reg[kSecurityTableOffset] + 60);

    Nvram_Reset();
    std::memset(plc_reg, 0, kPlcRegBytes);
    ASSERT_EQ(LoadProgram(), 1);
    size_t i = 0;
    for (const NvBlock* b : {&io_config_bl, &ladder_bl, &promgr_table_bl, &mqtt_tbl, &flash_parm_tbl})
        EXPECT_EQ(std::vector<u8>(b->base, b->base + 8 + b->Size()), before[i++]);
    EXPECT_EQ(std::vector<u8>(&plc_reg[kSecurityTableOffset], &plc_reg[kSecurityTableOffset] + 60), security);
    EXPECT_EQ(SR_GetDword(21), 60u);
    EXPECT_EQ(SR_Get(28), 0xABCD);
    EXPECT_EQ(handOver.start, 0);  // a ladder program, not an IEC application
}

TEST_F(Nvram, MissingFilesLoadNothingAndSucceed) {
    EXPECT_EQ(LoadProgram(), 1);
    EXPECT_EQ(ladder_bl.Size(), 0u);
    EXPECT_EQ(PersistFlags_Get(), 0u);
    EXPECT_EQ(DeleteProgram(), 1);
}

TEST_F(Nvram, BadLadderFileRefused) {
    std::string path = root.Path("/mnt/cfg/ladder.pgm");
    u8 good[8 + 4] = {};
    u8 data[4] = {1, 2, 3, 4};
    PutLe16(good, crc16(data, 4));
    PutLe32(good + 4, 4);
    std::memcpy(good + 8, data, 4);
    struct Case {
        const char* name;
        std::vector<u8> file;
    } cases[] = {
        {"header only", std::vector<u8>(good, good + 8)},
        {"short data", std::vector<u8>(good, good + 10)},
        {"wrong crc", [&] {
             std::vector<u8> v(good, good + 12);
             v[11] ^= 1;
             return v;
         }()},
        {"size beyond block", [&] {
             std::vector<u8> v(good, good + 12);
             PutLe32(v.data() + 4, 0xFFFFFFF0);
             return v;
         }()},
        {"empty", {}},
    };
    for (const Case& c : cases) {
        SetUp();
        PersistFlags_Set(0);
        ASSERT_TRUE(File_WriteAtomic(path, c.file.data(), c.file.size()));
        EXPECT_EQ(LoadProgram(), 0) << c.name;
        EXPECT_EQ(PersistFlags_Get(), kPfLadderRead) << c.name;
        EXPECT_EQ(ladder_bl.Size(), 0u) << c.name;
    }
    ASSERT_TRUE(File_WriteAtomic(path, good, sizeof good));
    EXPECT_EQ(LoadLadder(), 1);
    EXPECT_EQ(ladder_bl.Size(), 4u);
    EXPECT_EQ(DeleteProgram(), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Nvram, BadConfigFileRefused) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    MakeAllValid(0);
    SR_PutDword(21, 10);
    ASSERT_EQ(SaveProgram(), 1);
    std::string path = root.Path("/mnt/cfg/config.pgm");
    std::vector<u8> whole = ReadFile(path);
    // Section offsets: I/O block (8 + 12), security (4 + 10), then the
    // blocks of 8 + 8 bytes but the empty parameter table.
    const size_t secAt = 20, mqttAt = 20 + 14 + 4 * 16 + 8;
    ASSERT_EQ(whole.size(), mqttAt + 16);
    struct Case {
        const char* name;
        std::vector<u8> file;
    } cases[] = {
        {"mqtt section short", std::vector<u8>(whole.begin(), whole.end() - 1)},
        {"mqtt header only", std::vector<u8>(whole.begin(), whole.begin() + mqttAt + 8)},
        {"cut in io block", std::vector<u8>(whole.begin(), whole.begin() + 10)},
        {"security table larger than its room", [&] {
             std::vector<u8> v = whole;
             PutLe16(&v[secAt], 200);
             v.resize(v.size() + 190, 0x77);
             return v;
         }()},
        {"block larger than its capacity", [&] {
             std::vector<u8> v = whole;
             PutLe32(&v[mqttAt + 4], kMqttCapacity + 8);
             return v;
         }()},
    };
    for (const Case& c : cases) {
        PersistFlags_Set(0);
        std::memset(&plc_reg[kSecurityTableOffset], 0, kPlcRegBytes - kSecurityTableOffset);
        ASSERT_TRUE(File_WriteAtomic(path, c.file.data(), c.file.size()));
        EXPECT_EQ(LoadProgram(), 0) << c.name;
        EXPECT_EQ(PersistFlags_Get(), kPfConfigRead) << c.name;
        for (u32 i = kSecurityTableOffset + kSecurityTableMax; i < kPlcRegBytes; ++i)
            ASSERT_EQ(plc_reg[i], 0) << c.name << " byte " << i;
    }
    ASSERT_TRUE(File_WriteAtomic(path, whole.data(), whole.size()));
    PersistFlags_Set(0);
    EXPECT_EQ(LoadProgram(), 1);
    EXPECT_EQ(PersistFlags_Get(), 0u);
}

TEST_F(Nvram, ConfigSaveFailsWithoutRegisterImage) {
    MakeAllValid(0);
    // autoreg.dta was never created: the register save fails.
    EXPECT_EQ(SaveProgram(), 0);
    EXPECT_EQ(PersistFlags_Get(), kPfConfigWrite);
    // ladder.pgm cannot be written where a folder stands in its way.
    std::filesystem::remove(root.Path("/mnt/cfg/ladder.pgm"));
    std::filesystem::create_directory(root.Path("/mnt/cfg/ladder.pgm"));
    std::filesystem::create_directory(root.Path("/mnt/cfg/ladder.pgm/x"));
    PersistFlags_Set(0);
    EXPECT_EQ(SaveLadder(), 0);
    EXPECT_EQ(Q4SaveLadderPgm(), 0);
    EXPECT_EQ(PersistFlags_Get(), kPfLadderWrite);
    EXPECT_EQ(DeleteProgram(), 0);
}

// An IEC application record: header, code, register location table.
std::vector<u8> IecRecord(u32 codeLength, u32 claimedLength) {
    std::vector<u8> r(16 + codeLength + 25856, 0);
    PutLe16(r.data(), 0x004A);
    std::memcpy(&r[4], "XTI", 4);
    PutLe32(&r[8], claimedLength);
    for (u32 i = 0; i < codeLength; ++i) r[16 + i] = static_cast<u8>(i * 3 + 1);
    return r;
}

TEST_F(Nvram, IecApplicationHandOver) {
    std::vector<u8> good = IecRecord(100, 100);
    LoadQuillet(good.data(), static_cast<u32>(good.size()));
    EXPECT_EQ(QuilletRuntime, 1);
    EXPECT_EQ(Q4_init, 1);  // cleared by the hand-over, set again by the runtime's start
    EXPECT_EQ(QuilletI0_VarLoc, good.data() + 116);
    EXPECT_EQ(handOver.start, 1);
    EXPECT_EQ(handOver.applyNetIo, 1);
    EXPECT_EQ(handOver.netIoUpdatedSeen, 1);
    EXPECT_EQ(handOver.j1939Seen, 1);
    EXPECT_EQ(CmdNetIoConfigUpdated, 0);
    std::vector<u8> code = ReadFile(root.Path("/mnt/cfg/q4.cod"));
    EXPECT_EQ(code, std::vector<u8>(good.begin() + 16, good.begin() + 116));

    struct Case {
        const char* name;
        std::vector<u8> record;
    } refused[] = {
        {"length beyond the record", IecRecord(100, 0xFFFFFFF0)},
        {"no room for the location table", IecRecord(100, 101)},
        {"ladder program", {9, 0, 0, 0, 'X', 'T', 'I', 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"no NUL after XTI", [] {
             std::vector<u8> r = IecRecord(4, 4);
             r[7] = 'X';
             return r;
         }()},
    };
    for (const Case& c : refused) {
        Q4HostGlue_Reset();
        handOver = IecHandOver{};
        QuilletRuntime = 1;
        LoadQuillet(c.record.data(), static_cast<u32>(c.record.size()));
        EXPECT_EQ(QuilletRuntime, 0) << c.name;
        EXPECT_EQ(QuilletI0_VarLoc, nullptr) << c.name;
        EXPECT_EQ(handOver.start, 0) << c.name;
    }
}

TEST_F(Nvram, SavingAnIecProgramReplacesTheRuntime) {
    std::vector<u8> rec = IecRecord(64, 64);
    nv_write(ladder, rec.data(), static_cast<u32>(rec.size()));
    ladder_bl.SetHeader(crc16(ladder, static_cast<u32>(rec.size())), static_cast<u32>(rec.size()));
    QuilletStart();
    ASSERT_EQ(QuilletRuntime, 1);
    Q4HostGlue_Reset();
    handOver = IecHandOver{};
    quillet_variables_enumerateded = 1;
    ASSERT_EQ(SaveLadder(), 1);
    EXPECT_EQ(handOver.stop, 1);
    EXPECT_EQ(quillet_variables_enumerateded, 0);
    EXPECT_EQ(handOver.deleteCode, 1);
    EXPECT_EQ(handOver.start, 1);
    EXPECT_TRUE(std::filesystem::exists(root.Path("/mnt/cfg/q4.cod")));

    // Loaded back at start, the application starts again.
    Nvram_Reset();
    Q4HostGlue_Reset();
    handOver = IecHandOver{};
    ASSERT_EQ(LoadLadder(), 1);
    EXPECT_EQ(QuilletRuntime, 1);
    EXPECT_EQ(handOver.start, 1);
}

TEST_F(Nvram, CrashLogWrittenFromSignalHandler) {
    EXPECT_EQ(GenLogFile(), 0);  // no path prepared
    GenLogFile_Prepare();
    std::string path = root.Path("/mnt/cfg/logfile");
    EXPECT_EXIT(
        {
            struct sigaction sa {};
            sa.sa_handler = [](int) { _exit(GenLogFile() == 1 ? 7 : 8); };
            sigaction(SIGSEGV, &sa, nullptr);
            raise(SIGSEGV);
        },
        ::testing::ExitedWithCode(7), "");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_GT(st.st_size, 0);
}

}  // namespace
