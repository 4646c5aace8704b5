// The CANopen node: the table view, start-up from the table or the default
// record, NMT commands, boot-up and heartbeat, with a second node of the bus
// played by the test.
#include <gtest/gtest.h>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "io/candrv.h"
#include "io/canopen.h"
#include "io/canopen_table.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "testsupport/can_peer.h"
#include "testsupport/canopen_table_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kR1 = 0x8000;  // bit address of %R1

u32 R32(int n) { return GetLe32(&plc_reg[kRegR + 2 * (n - 1)]); }

TEST(CoTableTest, SectionsOutsideTheRecordMakeTheTableInvalid) {
    const u32 big = 0xFFFFFFF0u;
    struct Case {
        const char* what;
        CanOpenTableBuilder table;
        CoTableCheck want;
    };
    const auto slave = [] { return CanOpenTableBuilder(5, 1); };
    const auto master = [] { return CanOpenTableBuilder(1, 2).StartupFlags(kCoStartMaster); };
    Case cases[] = {
        {"plain slave", slave(), CoTableCheck::kValid},
        {"slave with consumers", slave().Consumer(100, 3).Consumer(0, 4), CoTableCheck::kValid},
        {"node id 0", CanOpenTableBuilder(0, 1), CoTableCheck::kDefault},
        {"node id 128", CanOpenTableBuilder(128, 1), CoTableCheck::kDefault},
        {"bit rate 5", CanOpenTableBuilder(5, 5), CoTableCheck::kInvalid},
        {"node count 200 is none", slave().Field8(kCoNodeCount, 200).Field32(kCoNodeTable, big), CoTableCheck::kValid},
        {"consumers past the end", slave().Field8(kCoNodeCount, 2).Field32(kCoNodeTable, 112), CoTableCheck::kInvalid},
        {"consumer offset wraps", slave().Field8(kCoNodeCount, 1).Field32(kCoNodeTable, big), CoTableCheck::kInvalid},
        {"master rows past the end", master().Field8(kCoNodeCount, 1).Field32(kCoNodeTable, 100), CoTableCheck::kInvalid},
        {"master row objects past the end",
         master().Field8(kCoNodeCount, 1).Field32(kCoNodeTable, 116).Field32(116 + 48, 3).Field32(116 + 52, 150)
             .Field32(kCoSdoClients, 116),
         CoTableCheck::kInvalid},
        {"master row fits",
         master().Field8(kCoNodeCount, 1).Field32(kCoNodeTable, 116).Field32(116 + 48, 1).Field32(116 + 52, 116)
             .Field32(kCoSdoClients, 116),
         CoTableCheck::kValid},
        {"SDO servers past the end", slave().Field8(kCoSdoServerCount, 3).Field32(kCoSdoServers, 100),
         CoTableCheck::kInvalid},
        {"SDO server count 127 too big", slave().Field8(kCoSdoServerCount, 127), CoTableCheck::kInvalid},
        {"64 TPDOs", slave().Field16(kCoTpdoCount, 64), CoTableCheck::kInvalid},
        {"TPDO COB-IDs past the end",
         slave().Field16(kCoTpdoCount, 1).Field32(kCoTpdoObjectCounts, 116).Field8(116, 0).Field32(kCoTpdoCobIds, 120)
             .Field32(kCoTpdoComm, 100),
         CoTableCheck::kInvalid},
        {"RPDO with 65 objects",
         slave().Field16(kCoRpdoCount, 1).Field32(kCoRpdoObjectCounts, 116).Field8(116, 65).Field32(kCoRpdoCobIds, 100)
             .Field32(kCoRpdoComm, 100).Field32(kCoRpdoMap, 100),
         CoTableCheck::kInvalid},
        {"RPDO mapping short",
         slave().Field16(kCoRpdoCount, 1).Field32(kCoRpdoObjectCounts, 116).Field8(116, 2).Field32(kCoRpdoCobIds, 100)
             .Field32(kCoRpdoComm, 100).Field32(kCoRpdoMap, 112),
         CoTableCheck::kInvalid},
        {"RPDO fits",
         slave().Field16(kCoRpdoCount, 1).Field32(kCoRpdoObjectCounts, 116).Field8(116, 2).Field32(kCoRpdoCobIds, 100)
             .Field32(kCoRpdoComm, 100).Field32(kCoRpdoMap, 108),
         CoTableCheck::kValid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<u8> rec = c.table.Build();
        EXPECT_EQ(CoTable(rec.data(), static_cast<u32>(rec.size())).Check(false), c.want);
    }
    // A record shorter than its fixed part.
    std::vector<u8> rec = CanOpenTableBuilder(5, 1).Build();
    EXPECT_EQ(CoTable(rec.data(), kCoRecordBytes - 1).Check(false), CoTableCheck::kInvalid);
    // No table at all is the default record.
    EXPECT_EQ(CoTable(rec.data(), 0).Check(false), CoTableCheck::kDefault);
    EXPECT_EQ(CoTable(nullptr, 100).Check(false), CoTableCheck::kDefault);
    // Accessors read nothing outside the record.
    CoTable t(rec.data(), 8);
    EXPECT_EQ(t.U32(6), 0u);
    EXPECT_EQ(t.U32(0xFFFFFFFE), 0u);
    EXPECT_EQ(t.RowObject(0, 0).index, 0);
}

class CanOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        Can_Reset();
        CANOpen_Reset();
        FPGA_Reset();
        Root_Init();
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
        peer = std::make_unique<CanPeer>(bus);
        copendnet_tbl.SetHeader(0, 0);
        SR_Put(29, 5);
        SR_Put(30, 1);
    }
    void TearDown() override {
        Can_Reset();
        CANOpen_Reset();
        copendnet_tbl.SetHeader(0, 0);
        unsetenv("PLC_CAN_BUS");
    }
    void Init() {
        CanOpenNetStart start{};
        CANOpenInit(&start);
    }
    // One scan's CANopen part, with the port's pass before it.
    std::vector<CanFrame> Scan() {
        Can_Isr();
        CANOpenRxMsg();
        CANOpenTxMsg();
        Can_Isr();
        return peer->Take();
    }

    TempRoot root;
    ManualClock clock;
    RegFixture regs;
    int bus = 0;
    std::unique_ptr<CanPeer> peer;
};

TEST_F(CanOpenTest, WithoutATableTheNodeIsAPreOperationalSlaveOfItsRegisters) {
    Init();
    EXPECT_EQ(CANOpen_NodeId(), 5);
    EXPECT_EQ(CANOpen_NmtState(), kNmtPreOperational);
    EXPECT_EQ(NodeId_Flag, 0);
    auto frames = Scan();
    ASSERT_EQ(frames.size(), 1u);  // boot-up, and no heartbeat after it
    EXPECT_EQ(frames[0].idWord, 0x705u);
    EXPECT_EQ(frames[0].length, 1);
    EXPECT_EQ(frames[0].data[0], 0);
    clock.AdvanceMs(5000);
    EXPECT_TRUE(Scan().empty());
}

TEST_F(CanOpenTest, TableGivesNodeIdBitRateHeartbeatAndStatusRegister) {
    CanOpenTableBuilder(9, 2).Heartbeat(100).StatusRegister(kR1).Install();
    Init();
    EXPECT_EQ(SR_Get(29), 9);
    EXPECT_EQ(SR_Get(30), 2);
    EXPECT_EQ(NodeId_Flag, 1);
    EXPECT_EQ(CANOpen_NmtState(), kNmtOperational);  // a slave without flag 0x04 starts at once
    auto frames = Scan();
    ASSERT_EQ(frames.size(), 2u);  // boot-up, then the first heartbeat
    EXPECT_EQ(frames[0].idWord, 0x709u);
    EXPECT_EQ(frames[0].data[0], 0);
    EXPECT_EQ(frames[1].data[0], kNmtOperational);
    EXPECT_EQ(R32(1), u32(kNmtOperational) << 24);
    // Every 100 ms, on the driven clock.
    clock.AdvanceMs(100);
    EXPECT_TRUE(Scan().empty());
    clock.AdvanceMs(1);
    EXPECT_EQ(Scan().size(), 1u);
    // A node id edited after the table was taken survives a reset of
    // communication.
    SR_Put(29, 12);
    peer->Send(0x000, {kNmtResetCommunication, 9});
    frames = Scan();
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(frames[0].idWord, 0x70Cu);
    EXPECT_EQ(CANOpen_NodeId(), 12);
}

TEST_F(CanOpenTest, NmtCommandsMoveThisNode) {
    CanOpenTableBuilder(7, 1).StartupFlags(kCoStartOnBit).StatusRegister(kR1).Install();
    Init();
    Scan();
    const struct {
        std::vector<u8> frame;
        u8 state;
        bool shortBit;
    } steps[] = {
        {{kNmtStart, 7}, kNmtOperational, false},
        {{kNmtStop, 0}, kNmtStopped, false},          // all nodes
        {{kNmtStart, 8}, kNmtStopped, false},         // another node
        {{kNmtEnterPreOperational, 7}, kNmtPreOperational, false},
        {{kNmtStart}, kNmtPreOperational, true},      // too short: kept as a status bit
        {{0x55, 7}, kNmtPreOperational, false},        // unknown command, and the bit goes
        {{kNmtStart, 0}, kNmtOperational, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.frame.size() ? int(s.frame[0]) : -1);
        peer->Send(0x000, s.frame);
        Scan();
        EXPECT_EQ(CANOpen_NmtState(), s.state);
        EXPECT_EQ((CANOpen_Status() & kCoStatusShortNmt) != 0, s.shortBit);
        EXPECT_EQ(R32(1) >> 24, s.state);
    }
}

TEST_F(CanOpenTest, PortErrorStatesReachTheStatusWord) {
    CanOpenTableBuilder(7, 1).StatusRegister(kR1).Install();
    Init();
    Scan();
    const struct {
        u32 errorClass;
        u8 controller;
        u32 bits;
    } steps[] = {
        {0x04, 0x08, kCoStatusWarning},
        {0x40, 0x00, kCoStatusWarning | kCoStatusBusOff},
        {0x100, 0x00, 0},
        {0x04, 0x01, 0},  // a controller overflow is over with its frame
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.errorClass);
        CanFrame f;
        f.idWord = kCanErrFlag | s.errorClass;
        f.length = 8;
        f.data[1] = s.controller;
        peer->Send(f);
        Scan();
        EXPECT_EQ(CANOpen_Status() & 0xE00000, s.bits);
        EXPECT_EQ(R32(1) & 0xE00000, s.bits);
    }
}

TEST_F(CanOpenTest, InvalidTableKeepsTheNodeSilentButShowsTheBit) {
    CanOpenTableBuilder(7, 1).Heartbeat(10).StatusRegister(kR1).Field8(kCoNodeCount, 3).Field32(kCoNodeTable, 0xFFFF)
        .Install();
    Init();
    EXPECT_TRUE(Scan().empty());
    peer->Send(0x000, {kNmtStart, 0});
    clock.AdvanceMs(50);
    EXPECT_TRUE(Scan().empty());
    EXPECT_NE(CANOpen_Status() & kCoStatusInvalidTable, 0u);
    EXPECT_EQ(R32(1) & kCoStatusInvalidTable, kCoStatusInvalidTable);
    EXPECT_EQ(NodeId_Flag, 0);
}

TEST_F(CanOpenTest, StatusRegisterThatCannotBeWrittenSetsItsBit) {
    CanOpenTableBuilder(7, 1).StatusRegister(0x100).Install();  // below the register range
    Init();
    Scan();
    EXPECT_NE(CANOpen_Status() & kCoStatusRegisterFailed, 0u);
}

TEST_F(CanOpenTest, SlaveConsumesHeartbeatsFromTheStartOfItsTimers) {
    CanOpenTableBuilder(7, 1).Heartbeat(1000).Consumer(100, 3).Consumer(0, 4).Install();
    // Time before the start does not count against a node.
    clock.AdvanceMs(10000);
    Init();
    Scan();
    EXPECT_EQ(CANOpen_Status() & kCoStatusHeartbeatLost, 0u);
    const struct {
        u32 advanceMs;
        u32 heartbeatFrom;  // 0: none
        u8 node3;
        bool lost;
    } steps[] = {
        {100, 0, 0, false},     // exactly the consumer time: not yet
        {1, 0, 11, true},       // past it: lost
        {50, 0x703, 0, false},  // back
        {90, 0x704, 0, false},  // node 4 has no time; node 3 still in time
        {11, 0, 11, true},
        {10, 0x705, 11, true},  // an unlisted node changes nothing
        {0, 0x703, 0, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.advanceMs);
        clock.AdvanceMs(s.advanceMs);
        if (s.heartbeatFrom) peer->Send(s.heartbeatFrom, {kNmtOperational});
        Scan();
        EXPECT_EQ(CANOpen_NodeStatus(3), s.node3);
        EXPECT_EQ((CANOpen_Status() & kCoStatusHeartbeatLost) != 0, s.lost);
    }
    EXPECT_EQ(CANOpen_NodeStatus(4), 0);
    EXPECT_EQ(CANOpen_NodeStatus(9), 0xFF);
}

TEST_F(CanOpenTest, SlaveAnswersNodeGuardingWithAToggleAndNoticesItsLoss) {
    CanOpenTableBuilder(7, 1).Guarding(100, 3).Install();
    Init();
    Scan();
    EXPECT_EQ(CANOpen_Status() & kCoStatusUnsupervised, 0u);
    for (u8 want : {0x05, 0x85, 0x05}) {
        peer->Send(0x707 | kCanRtrFlag, {});
        auto frames = Scan();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].idWord, 0x707u);
        EXPECT_EQ(frames[0].data[0], want);
    }
    clock.AdvanceMs(300);
    Scan();
    EXPECT_EQ(CANOpen_Status() & kCoStatusGuardingLost, 0u);
    clock.AdvanceMs(1);
    Scan();
    EXPECT_NE(CANOpen_Status() & kCoStatusGuardingLost, 0u);
    peer->Send(0x707 | kCanRtrFlag, {});
    Scan();
    EXPECT_EQ(CANOpen_Status() & kCoStatusGuardingLost, 0u);

    // A slave that consumes heartbeats takes its own guard requests for
    // heartbeats and never answers them.
    CanOpenTableBuilder(7, 1).Guarding(100, 3).Consumer(100, 7).Install();
    NodeId_Flag = 0;
    Init();
    Scan();
    peer->Send(0x707 | kCanRtrFlag, {});
    EXPECT_TRUE(Scan().empty());
    // Neither heartbeat nor guarding: unsupervised.
    CanOpenTableBuilder(7, 1).Install();
    Init();
    EXPECT_NE(CANOpen_Status() & kCoStatusUnsupervised, 0u);
}

}  // namespace
