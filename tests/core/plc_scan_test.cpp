#include <string>
#include <vector>

#include "plc_fixture.h"
#include "io/candrv.h"
#include "platform/fileio.h"
#include "remote/email.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "testsupport/io_config_builder.h"

namespace {

using PlcScanTest = PlcCore;

// Fills the on-line edit block with an edited ladder program.
void PutEditedLadder(const std::vector<u16>& words, bool goodCrc = true) {
    u32 size = static_cast<u32>(words.size() * 2);
    for (size_t i = 0; i < words.size(); ++i) PutLe16(ladder_olp + 8 + 2 * i, words[i]);
    u16 crc = crc16(ladder_olp + 8, size);
    PutLe16(ladder_olp, goodCrc ? crc : static_cast<u16>(crc ^ 1));
    PutLe16(ladder_olp + 2, 0);
    PutLe32(ladder_olp + 4, size);
}

TEST_F(PlcScanTest, AcceptHandshakeSwitchesToEditedProgram) {
    ForceMode(2);
    OLPMode = 1;
    const std::vector<u16> edited = {0x0401, 9, 9};
    PutEditedLadder(edited);
    ESR_Put(1, 0x03);
    const u16 expected[] = {0x0B, 0x17, 0x05, 0x05};
    for (u16 want : expected) {
        PlcScan();
        EXPECT_EQ(ESR_Get(1), want);
    }
    ASSERT_EQ(ladder_bl.Size(), 6u);
    EXPECT_EQ(GetLe16(ladder), 0x0401);
    EXPECT_EQ(SR_Get(23), crc16(ladder, 6));
    EXPECT_EQ(SR_GetDword(11), 6u);
    EXPECT_EQ(Mode(), 2);
}

TEST_F(PlcScanTest, RevertHandshakeReloadsStoredProgram) {
    ASSERT_EQ(SaveLadder(), 1);  // the stored program: a single END
    ForceMode(2);
    OLPMode = 1;
    PutEditedLadder({0x0401, 9});
    ESR_Put(1, 0x03);
    for (int i = 0; i < 3; ++i) PlcScan();  // accepted: edited program running (0x05)
    ASSERT_EQ(ESR_Get(1), 0x05);
    ASSERT_EQ(GetLe16(ladder), 0x0401);
    ESR_Put(1, (ESR_Get(1) & ~0x02) | 0x20);  // revert
    const u16 expected[] = {0x2D, 0x31, 0x00};
    for (u16 want : expected) {
        PlcScan();
        EXPECT_EQ(ESR_Get(1), want);
    }
    EXPECT_EQ(ladder_bl.Size(), 2u);
    EXPECT_EQ(GetLe16(ladder), 9);
}

// The edit block comes from the programming link: a wrong CRC or a size
// beyond the program block is refused and the stored program keeps running.
TEST_F(PlcScanTest, BadEditBlockIsRefused) {
    struct Case {
        const char* name;
        bool goodCrc;
        u32 size;
    };
    const Case cases[] = {{"bad crc", false, 0}, {"oversize", true, 0x200001}, {"empty", true, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForceMode(2);
        OLPMode = 1;
        PutEditedLadder({0x0401, 9}, c.goodCrc);
        if (c.size != 0 || std::string(c.name) == "empty") {
            PutLe32(ladder_olp + 4, c.size);
            PutLe16(ladder_olp, crc16(ladder_olp + 8, c.size));
        }
        ESR_Put(1, 0x0B);
        PlcScan();
        EXPECT_EQ(ESR_Get(1), 0x100);
        EXPECT_EQ(ladder_bl.Size(), 2u);
        EXPECT_EQ(GetLe16(ladder), 9);
    }
}

TEST_F(PlcScanTest, AcceptedEditIsSavedWhenHandshakeSettles) {
    ForceMode(2);
    ESR_Put(1, 0x105);
    PlcScan();
    EXPECT_EQ(ESR_Get(1), 0x100);
    std::vector<u8> file;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/ladder.pgm"), file, 1 << 20));
    EXPECT_EQ(file.size(), 10u);
}

// An IEC application record in the program block and an edit block with a
// new register location table followed by the u32 marker and a tail.
void PutIecProgramAndEdit() {
    u8* rec = ladder;
    std::memset(rec, 0, 16);
    PutLe16(rec, 0x004A);
    std::memcpy(rec + 4, "XTI", 4);
    PutLe32(rec + 8, 4);
    std::memcpy(rec + 16, "OLD!", 4);
    std::memset(rec + 20, 0x11, 25856);
    u32 size = 16 + 4 + 25856;
    ladder_bl.SetHeader(crc16(rec, size), size);
    u32 edit = 25856 + 4 + 6;
    u8* e = ladder_olp + 8;
    std::memset(e, 0x22, 25856);
    PutLe32(e + 25856, 0);
    std::memcpy(e + 25860, "TAIL!!", 6);
    PutLe16(ladder_olp, crc16(e, edit));
    PutLe32(ladder_olp + 4, edit);
    QuilletRuntime = 1;
    quillet_variables_enumerateded = 1;
}

TEST_F(PlcScanTest, IecOnlineChangeTakesChangeImage) {
    PutIecProgramAndEdit();
    const std::string code = "NEWCODE8";
    ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/q4.upd"), code.data(), code.size()));
    ForceMode(2);
    OLPMode = 1;
    ESR_Put(1, 0x0B);
    PlcScan();
    EXPECT_EQ(OLPMode, 0);
    EXPECT_EQ(ESR_Get(1) & 0xFF, 0);
    const u32 edit = 25856 + 4 + 6;
    ASSERT_EQ(ladder_bl.Size(), edit + 12 + 8);
    EXPECT_EQ(GetLe32(ladder + 8), 8u);
    EXPECT_EQ(0, std::memcmp(ladder + 16, code.data(), 8));
    EXPECT_EQ(ladder[16 + 8], 0x22);
    EXPECT_EQ(0, std::memcmp(ladder + 16 + 8 + 25856, "TAIL!!", 6));
    EXPECT_EQ(SR_Get(23), crc16(ladder, ladder_bl.Size()));
    EXPECT_EQ(GetLe32(ladder_olp + 8 + 25856), 1u);
    EXPECT_EQ(GetLe16(ladder_olp), crc16(ladder_olp + 8, edit));
    std::vector<u8> cod;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/q4.cod"), cod, 1 << 20));
    EXPECT_EQ(std::string(cod.begin(), cod.end()), code);
    QuilletRuntime = 0;
    quillet_variables_enumerateded = 0;
}

// Without the change image the switch has no code to take: refused.
TEST_F(PlcScanTest, IecOnlineChangeWithoutChangeImageIsRefused) {
    PutIecProgramAndEdit();
    u32 before = ladder_bl.Size();
    ForceMode(2);
    OLPMode = 1;
    ESR_Put(1, 0x0B);
    PlcScan();
    EXPECT_EQ(ESR_Get(1), 0x100);
    EXPECT_EQ(ladder_bl.Size(), before);
    EXPECT_EQ(0, std::memcmp(ladder + 16, "OLD!", 4));
    QuilletRuntime = 0;
    quillet_variables_enumerateded = 0;
}

i32 FaultAt1234(const u8*) { return 0x1234; }

TEST_F(PlcScanTest, ProgramFaultStopsWithoutWritingOutputs) {
    SetPlcMode(2);
    S_Put(6, true);
    PlcScan();  // a good scan first
    ASSERT_EQ(ioDriverCalls.putQs[0], 1);
    scanRecord.program = FaultAt1234;
    int scansBefore = scanRecord.Count("protocolScan");
    PlcScan();
    EXPECT_EQ(Mode(), 0);
    EXPECT_TRUE(SR_Get(4) & 0x100);
    EXPECT_EQ(SR_GetDword(53), 0x1234u);
    EXPECT_EQ(ioDriverCalls.putQs[0], 1);  // the faulted scan wrote nothing
    EXPECT_EQ(scanRecord.Count("protocolScan"), scansBefore);
    EXPECT_EQ(ioDriverCalls.stop, 1);
    // The fault bit keeps the controller out of run until it is cleared.
    SetPlcMode(2);
    EXPECT_EQ(Mode(), 0);
}

TEST_F(PlcScanTest, ProgramFaultDuringOnlineEditRestoresStoredProgram) {
    ASSERT_EQ(SaveLadder(), 1);
    ForceMode(2);
    OLPMode = 1;
    PutEditedLadder({0x0401, 9});
    ESR_Put(1, 0x03);
    PlcScan();
    PlcScan();
    ASSERT_EQ(GetLe16(ladder), 0x0401);
    scanRecord.program = FaultAt1234;
    PlcScan();
    EXPECT_EQ(ESR_Get(1), 0x100);
    EXPECT_EQ(Mode(), 2);
    EXPECT_EQ(GetLe16(ladder), 9);
    EXPECT_EQ(SR_GetDword(11), 2u);
    EXPECT_FALSE(SR_Get(4) & 0x100);
}

TEST_F(PlcScanTest, ScanTimeStatistics) {
    SetPlcMode(2);
    PlcScan();  // first scan after the I/O start: not measured
    EXPECT_EQ(SR_Get(7), 0xFFFF);
    const u32 gaps[] = {20, 40, 10};
    for (u32 g : gaps) {
        clock.AdvanceTicks(g);
        PlcScan();
    }
    EXPECT_EQ(SR_Get(7), 10);
    EXPECT_EQ(SR_Get(8), 40);
    // Moving average over sixteen: 20, then 20 - 20/16... held as a total.
    u32 total = 16 * 20;
    u32 avg = 20;
    for (u32 g : {40u, 10u}) {
        total = total - avg + g;
        avg = total / 16;
    }
    EXPECT_EQ(SR_Get(6), avg);
}

TEST_F(PlcScanTest, ClockBitsToggleOnTheirPeriods) {
    PlcScan();
    EXPECT_TRUE(S_Get(3));
    EXPECT_TRUE(S_Get(4));
    EXPECT_TRUE(S_Get(5));
    int s3 = 0, s4 = 0, s5 = 0;
    bool b3 = true, b4 = true, b5 = true;
    for (int i = 0; i < 1100; ++i) {  // 11,000 ticks in steps of 10
        clock.AdvanceTicks(10);
        PlcScan();
        s3 += S_Get(3) != b3;
        s4 += S_Get(4) != b4;
        s5 += S_Get(5) != b5;
        b3 = S_Get(3);
        b4 = S_Get(4);
        b5 = S_Get(5);
    }
    EXPECT_EQ(s3, 11000 / 50);
    EXPECT_EQ(s4, 11000 / 500);
    EXPECT_EQ(s5, 2);
}

struct ModeScanCase {
    u8 mode;
    bool logic;
};

// What reaches the modules in each mode is shown with simulated modules in
// the I/O scan tests.
TEST_F(PlcScanTest, WhatEachModeRuns) {
    const ModeScanCase cases[] = {{0, false}, {1, false}, {2, true}, {3, true}, {4, false}};
    for (const ModeScanCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        IoScript_Install();
        scanRecord = ScanRecord{};
        int tx = scanRecord.Count("canOpenTransmit");
        ForceMode(c.mode);
        S_Put(6, true);
        PlcScan();
        EXPECT_EQ(scanRecord.ladderRuns, c.logic ? 1 : 0);
        EXPECT_EQ(scanRecord.Count("protocolScan"), c.mode != 0 ? 1 : 0);
        EXPECT_EQ(scanRecord.Count("canOpenTransmit"), tx + 1);  // every scan
    }
}

TEST_F(PlcScanTest, NeighboursEachScanInOrder) {
    struct Case {
        const char* name;
        u8 mode;
        u16 model;          // module of slot 1: e-mail models step the client
        bool rxStopped;     // CANopen reception suspended
        std::vector<std::string> trace;
    } cases[] = {
        {"stop", 0, 0x1234, false, {"canOpenReceive", "canOpenTransmit", "ethernetStatus"}},
        {"stop, e-mail model", 0, 0xDF0F, false, {"canOpenReceive", "emailScan", "canOpenTransmit", "ethernetStatus"}},
        {"run",
         2,
         0xDF0F,
         false,
         {"canOpenReceive", "emailScan", "runLadder", "protocolScan", "smsScan", "logUpdate", "debugLogUpdate",
          "canOpenTransmit", "ethernetStatus"}},
        {"I/O only, reception suspended",
         1,
         0x1234,
         true,
         {"protocolScan", "smsScan", "logUpdate", "debugLogUpdate", "canOpenTransmit", "ethernetStatus"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForceMode(c.mode);
        io_init[1] = c.model;
        PlcRxHandlerStopped = c.rxStopped ? 1 : 0;
        scanRecord = ScanRecord{};
        PlcScan();
        EXPECT_EQ(scanRecord.trace, c.trace);
    }
}

TEST_F(PlcScanTest, NoExchangeWithoutIoOk) {
    ForceMode(2);
    S_Put(6, false);
    PlcScan();
    EXPECT_EQ(ioDriverCalls.getIs[0], 0);
    EXPECT_EQ(ioDriverCalls.putQs[0], 0);
    EXPECT_EQ(scanRecord.ladderRuns, 1);
}

struct IoCase {
    u16 detected;
    u16 configured;  // 0xFFFF: none
    char status;
};

TEST_F(PlcScanTest, ModuleIdentityCheck) {
    const IoCase cases[] = {
        {0xFF, 0xFFFF, ' '},    {0x1234, 0x1234, ' '},  {0xF800, 0xFC00, ' '},  {0xFC00, 0xFE00, ' '},
        {0xFA00, 0xFA00, ' '},  {0xFC00, 0xF800, '?'},  {0xFA00, 0xF800, '?'},  {0x1234, 0x4321, '?'},
        {0xFF, 0x1234, '-'},    {0x1234, 0xFFFF, '+'},
    };
    for (const IoCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.detected << "/" << c.configured);
        Plc_Reset();
        IoScript_Install();
        std::memset(plc_reg, 0, kPlcRegBytes);
        S_Put(6, true);
        IoDriver_SetModule(0, c.detected, "MOD001", 16, 8, 4, 2, 0);
        PutIoConfig({{c.configured, {}}, {0xFFFF, {}}});
        int fault = IoConfig();
        EXPECT_EQ(io_cfg[0].info.status, c.status);
        EXPECT_EQ(fault, c.status == ' ' ? 0 : 1);
        EXPECT_EQ((SR_Get(4) & 0x40) != 0, c.status != ' ');
        EXPECT_EQ(S_Get(6), c.status == ' ');
        EXPECT_EQ(ioDriverCalls.stop, c.status == ' ' ? 0 : 1);
        // The system information block and its copy in SR64 onward.
        EXPECT_EQ(GetLe16(Cmd_SS_Info), io_init[0]);
        EXPECT_EQ(Cmd_SS_Info[2], static_cast<u8>(c.status));
        EXPECT_EQ(0, std::memcmp(&plc_reg[2 * (127 + 64)], Cmd_SS_Info, kCmdSsInfoBytes));
    }
}

TEST_F(PlcScanTest, ModuleThatReportsNoConfigurationIsAFault) {
    const std::pair<int, char> cases[] = {{1, 'c'}, {2, 'f'}};
    for (auto [result, status] : cases) {
        Plc_Reset();
        IoScript_Install();
        IoDriver_SetModule(0, 0x1234, "MOD001", 16, 8, 4, 2, result);
        PutIoConfig({{0x1234, {}}, {0xFFFF, {}}});
        EXPECT_EQ(IoConfig(), 1);
        EXPECT_EQ(io_cfg[0].info.status, status);
    }
}

TEST_F(PlcScanTest, SlotsFollowEachOtherInTheRegisters) {
    IoDriver_SetModule(0, 0x1111, "MOD001", 12, 12, 2, 2, 0);
    IoDriver_SetModule(1, 0x2222, "MOD002", 8, 8, 1, 1, 0);
    PutIoConfig({{0x1111, {}}, {0x2222, {}}, {0xFFFF, {}}});
    ASSERT_EQ(IoConfig(), 0);
    ForceMode(1);
    S_Put(6, true);
    PlcScan();
    EXPECT_EQ(ioDriverCalls.getIs[0], 1);
    EXPECT_EQ(ioDriverCalls.getIs[1], 1);
    EXPECT_EQ(ioDriverCalls.service[0], 1);
    EXPECT_EQ(ioDriverCalls.service[1], 1);
}

// A field-bus module with station count 0 is left out of the exchange.
TEST_F(PlcScanTest, FieldBusModuleWithoutStationIsSkipped) {
    for (u32 station : {0u, 5u}) {
        SCOPED_TRACE(station);
        Plc_Reset();
        IoScript_Install();
        IoDriver_SetModule(1, 0x3333, "DONRU1", 0, 0, 0, 0, 0);
        std::vector<u8> cfg(44, 0);
        PutLe32(&cfg[0], station);
        PutLe32(&cfg[4], 0x8000);  // digital inputs into R1
        PutLe32(&cfg[8], 16);
        PutIoConfig({{0xFFFF, {}}});
        // Slot 0 empty, slot 1 the field-bus module, slot 2 empty.
        u8* p = io_config;
        PutLe16(p, 0x00FF);
        PutLe16(p + 2, 0);
        PutLe16(p + 4, 0x3333);
        PutLe16(p + 6, 44);
        std::memcpy(p + 8, cfg.data(), cfg.size());
        PutLe16(p + 52, 0xFFFF);
        PutLe16(p + 54, 0);
        io_config_bl.SetHeader(crc16(p, 56), 56);
        ASSERT_EQ(IoConfig(), 0);
        ForceMode(1);
        S_Put(6, true);
        PlcScan();
        EXPECT_EQ(ioDriverCalls.getIs[1], station ? 1 : 0);
        if (station) {
            EXPECT_EQ(ioDriverCalls.lastStartBit[1], 128u);
        }
    }
}

TEST_F(PlcScanTest, InputAndOutputForces) {
    ForceMode(2);
    S_Put(12, true);
    // One input force on I1-16 (plc_reg word 448) and one output force on Q1-16 (word 576).
    PutLe16(io_force, 1);
    PutLe16(io_force + 2, 1);
    PutLe16(io_force + 4, 448);
    PutLe16(io_force + 6, 0x00FF);
    PutLe16(io_force + 8, 0x0100);
    PutLe16(io_force + 10, 576);
    PutLe16(io_force + 12, 0xFFFF);
    PutLe16(io_force + 14, 0x8000);
    PutLe16(&plc_reg[896], 0xAAAA);
    PlcScan();
    EXPECT_EQ(GetLe16(&plc_reg[896]), 0x01AA);
    EXPECT_EQ(GetLe16(&plc_reg[1152]), 0x8000);
}

struct NetCase {
    const char* name;
    std::vector<u8> block;
    u16 sr31, sr61, settings;
};

TEST_F(PlcScanTest, NetworkSettings) {
    const NetCase cases[] = {
        {"empty", {}, 0, 1, 3},
        {"plain", {0x05, 0x0A}, 5, 1, 3},
        {"with settings", {0x85, 0x0A, 1, 2, 3, 0x22, 0x11, 7, 8, 9, 10}, 5, 10, 0x1122},
        {"settings word zero", {0x85, 0x0A, 1, 2, 3, 0, 0, 7, 8, 9, 10}, 5, 10, 3},
        {"one id below 256", {0x85, 0x00, 1, 2, 3, 1, 0, 7, 8, 9, 10}, 5, 1, 1},
        // More ids than the node-id check can take from 128: one id.
        {"too many ids", {0x85, 0xFF, 1, 2, 3, 1, 0, 7, 8, 9, 10}, 5, 1, 1},
        {"128 ids", {0x85, 0x80, 1, 2, 3, 1, 0, 7, 8, 9, 10}, 5, 1, 1},
        {"127 ids", {0x85, 0x7F, 1, 2, 3, 1, 0, 7, 8, 9, 10}, 5, 127, 1},
    };
    for (const NetCase& c : cases) {
        SCOPED_TRACE(c.name);
        scanRecord = ScanRecord{};
        NodeId_Flag = 1;
        if (!c.block.empty()) std::memcpy(net_config, c.block.data(), c.block.size());
        net_config_bl.SetHeader(crc16(net_config, static_cast<u32>(c.block.size())),
                                static_cast<u32>(c.block.size()));
        SR_PutDword(19, static_cast<u32>(c.block.size()));
        SR_Put(29, 7);
        NetConfig();
        EXPECT_EQ(SR_Get(31), c.sr31);
        EXPECT_EQ(SR_Get(61), c.sr61);
        ASSERT_EQ(scanRecord.canOpenStarts, 1);
        EXPECT_EQ(scanRecord.lastStart.settings, c.settings);
        EXPECT_EQ(scanRecord.lastStart.idCount, c.sr61);
        EXPECT_EQ(scanRecord.lastStart.nodeId, 7);
        EXPECT_EQ(NodeId_Flag, 0);
        EXPECT_EQ(Can_GetEvent(0, kCanEventReceive), nullptr);
        EXPECT_LE(SR_Get(61), 127);
    }
}

TEST_F(PlcScanTest, EmailStepOnlyOnEmailModels) {
    for (u16 model : {0xDF0Fu, 0x1234u, 0xAE0Fu}) {
        scanRecord = ScanRecord{};
        io_init[1] = model;
        PlcScan();
        EXPECT_EQ(scanRecord.Count("emailScan"), model != 0x1234u ? 1 : 0);
    }
}

}  // namespace
