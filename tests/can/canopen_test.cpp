// The CANopen node: the table view, start-up from the table or the default
// record, NMT commands, boot-up and heartbeat, with a second node of the bus
// played by the test.
#include <gtest/gtest.h>

#include "tests/can/canopen_fixture.h"

namespace {

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
             .Field32(100, 0x201).Field32(kCoRpdoComm, 100).Field32(kCoRpdoMap, 108),
         CoTableCheck::kValid},
        {"RPDO identifier 0", slave().Rpdo(0, 255, {}), CoTableCheck::kInvalid},
        {"TPDO identifier above 0x7FF", slave().Tpdo(0x800, 255, {}), CoTableCheck::kInvalid},
        {"TPDO 29-bit identifier", slave().Tpdo(0x800 | kCoCobId29Bit, 255, {}), CoTableCheck::kValid},
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

TEST_F(CanOpenTest, TimeProducerCountsDaysFromOneAndTheConsumerReadsThemBack) {
    CanOpenTableBuilder(7, 1).Field16(kCoTimeEnable, 1).Field32(kCoTimeCobId, 0x100 | kCoCobIdBit31).Install();
    Init();
    Scan();
    const struct {
        u16 year, month, day, hour, minute, second;
        u32 ms;
        u16 count;
    } dates[] = {
        {1984, 1, 1, 0, 0, 0, 0, 1},
        {1984, 3, 1, 0, 0, 1, 1000, 61},
        {1984, 12, 31, 23, 59, 59, 86399000, 366},
        {1985, 1, 1, 12, 0, 0, 43200000, 367},
        {1988, 12, 31, 0, 0, 0, 0, 1827},
        {2026, 12, 11, 8, 30, 0, 30600000, 15686},
    };
    for (const auto& d : dates) {
        SCOPED_TRACE(d.count);
        const u16 words[6] = {d.second, d.minute, d.hour, d.day, d.month, d.year};
        for (int i = 0; i < 6; ++i) SR_Put(44 + i, words[i]);
        auto frames = Scan();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].idWord, 0x100u);
        ASSERT_EQ(frames[0].length, 6);
        EXPECT_EQ(GetLe32(frames[0].data), d.ms);
        EXPECT_EQ(GetLe16(frames[0].data + 4), d.count);
        EXPECT_TRUE(Scan().empty());  // the same second is sent once
    }

    // A consumer sets its clock from the same count; day 0 is no date.
    CanOpenTableBuilder(7, 1).Field16(kCoTimeEnable, 1).Field32(kCoTimeCobId, 0x100 | kCoCobIdBit30).Install();
    Init();
    Scan();
    for (const auto& d : dates) {
        SCOPED_TRACE(d.count);
        for (int i = 44; i <= 49; ++i) SR_Put(i, 0);
        std::vector<u8> f(6);
        PutLe32(f.data(), d.ms);
        PutLe16(f.data() + 4, d.count);
        peer->Send(0x100, f);
        Scan();
        EXPECT_EQ((std::vector<u16>{SR_Get(49), SR_Get(48), SR_Get(47), SR_Get(46), SR_Get(45), SR_Get(44)}),
                  (std::vector<u16>{d.year, d.month, d.day, d.hour, d.minute, d.second}));
    }
    SR_Put(49, 2000);
    peer->Send(0x100, {0, 0, 0, 0, 0, 0});
    Scan();
    EXPECT_EQ(SR_Get(49), 2000);
}

TEST_F(CanOpenTest, EmcyReportsErrorBitsWhenTheyChange) {
    CanOpenTableBuilder(7, 1).StartupFlags(kCoStartOnBit).Field32(kCoEmcyCobId, 0x87).Field16(kCoEmcyInhibit, 100)
        .Install();
    Init();
    // After the start the bits are reported once, here none.
    auto frames = Scan();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].idWord, 0x87u);
    EXPECT_EQ(std::vector<u8>(frames[1].data, frames[1].data + 8), (std::vector<u8>{0, 0, 0, 0, 0, 0, 0, 0}));
    // A short NMT command sets a bit: error code 0x1000, error register 1.
    peer->Send(0x000, {kNmtStart});
    clock.AdvanceMs(11);
    frames = Scan();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::vector<u8>(frames[0].data, frames[0].data + 8),
              (std::vector<u8>{0x00, 0x10, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00}));
    // Cleared again inside the inhibit time: reported only once it passed.
    peer->Send(0x000, {kNmtEnterPreOperational, 7});
    EXPECT_TRUE(Scan().empty());
    clock.AdvanceMs(10);
    EXPECT_TRUE(Scan().empty());
    clock.AdvanceTicks(1);
    frames = Scan();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::vector<u8>(frames[0].data, frames[0].data + 8), (std::vector<u8>{0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
