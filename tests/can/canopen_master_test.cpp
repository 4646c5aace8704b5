// The NMT master: boot of a node played by the test (identity checks,
// configuration download, start), supervision and the reactions to a lost
// node, and the hold of the network while a new table is downloaded.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "io/canopen_master.h"
#include "link/cmdproc.h"
#include "link/command.h"
#include "tests/can/canopen_fixture.h"

namespace {

constexpr u8 kMaster = 1, kSlave = 9;
// Status register at %R1: the status word, the PDO error indices, then the
// node statuses from %R5.
int NodeStatusReg(int row) { return 5 + row; }

// The node under boot: answers the master's SDO requests from a small
// dictionary, keeps what is written, and sends its heartbeat when asked to.
struct FakeSlave {
    u8 id = kSlave;
    std::map<std::pair<u16, u8>, u32> dictionary{{{0x1000, 0}, 0x195}, {{0x1018, 1}, 0x77},
                                                 {{0x1018, 2}, 0x1234}, {{0x1018, 3}, 0x10000},
                                                 {{0x1018, 4}, 0xABCD}, {{0x1F52, 1}, 0x20240101},
                                                 {{0x1F52, 2}, 0x1200}, {{0x1020, 1}, 0},
                                                 {{0x1020, 2}, 0}};
    std::set<std::pair<u16, u8>> refuse;
    std::vector<std::tuple<u16, u8, u32>> written;
    std::vector<std::pair<u8, u8>> nmt;  // command, node
    std::vector<CanFrame> remote;
    u8 state = 0;
    bool silent = false;   // answers nothing (no SDO server)
    bool dead = false;     // sends nothing at all

    // The frames the master sent; the answers go on the bus.
    void Serve(CanPeer& bus, const std::vector<CanFrame>& frames) {
        for (const CanFrame& f : frames) {
            if (dead) continue;
            if (f.idWord == 0 && f.length == 2) {
                nmt.push_back({f.data[0], f.data[1]});
                if (f.data[1] == 0 || f.data[1] == id) {
                    if (f.data[0] == kNmtResetCommunication) {
                        state = kNmtPreOperational;
                        bus.Send(0x700u + id, {0});  // boot-up
                    } else if (f.data[0] == kNmtStart) {
                        state = kNmtOperational;
                    } else if (f.data[0] == kNmtStop) {
                        state = kNmtStopped;
                    } else if (f.data[0] == kNmtEnterPreOperational) {
                        state = kNmtPreOperational;
                    }
                }
            } else if (f.idWord & kCanRtrFlag) {
                remote.push_back(f);
            } else if (f.idWord == 0x600u + id && f.length == 8 && !silent) {
                const u16 index = GetLe16(f.data + 1);
                const u8 sub = f.data[3];
                std::vector<u8> a = {0, f.data[1], f.data[2], sub, 0, 0, 0, 0};
                if (refuse.count({index, sub})) {
                    a[0] = 0x80;
                    PutLe32(&a[4], 0x06010000);
                } else if ((f.data[0] & 0xE0) == 0x40) {
                    auto it = dictionary.find({index, sub});
                    if (it == dictionary.end()) {
                        a[0] = 0x80;
                        PutLe32(&a[4], 0x06090011);
                    } else {
                        a[0] = 0x43;
                        PutLe32(&a[4], it->second);
                    }
                } else if ((f.data[0] & 0xE0) == 0x20) {
                    const u8 n = (f.data[0] & 1) ? static_cast<u8>(4 - ((f.data[0] >> 2) & 3)) : 4;
                    u8 b[4] = {};
                    std::copy(f.data + 4, f.data + 4 + n, b);
                    written.push_back({index, sub, GetLe32(b)});
                    a[0] = 0x60;
                }
                bus.Send(0x580u + id, a);
            }
        }
    }
    void Heartbeat(CanPeer& bus) {
        if (!dead) bus.Send(0x700u + id, {state});
    }
};

CanOpenTableBuilder::Row SlaveRow() {
    CanOpenTableBuilder::Row r;
    r.node = kSlave;
    r.timeMs = 200;
    r.deviceType = 0x195;
    r.revision = 0x10000;
    r.configDate = 0x55;  // the node answers 0: the configuration is written
    r.bootFlags = 0x02 | 0x20;
    r.objects = {
        {0x1017, 0, 2, 50},             // heartbeat producer (master consumes)
        {0x100C, 0, 2, 100},            // guarding: not while heartbeats are consumed
        {0x1005, 0, 4, 0x80},           // SYNC: class not selected
        {0x1800, 1, 4, 0x189},          // TPDO: disabled first
        {0x1800, 2, 1, 254},
        {0x1800, 5, 2, 0},              // event time 0: never written
        {0x1A00, 0, 1, 1},              // count 0 first
        {0x1A00, 1, 4, 0xA5440110},
        {0x1400, 1, 4, 0x209},          // next PDO: the rewrites come first
        {0x1400, 2, 1, 0xFE},
        {0x2000, 1, 1, 1},              // outside the area: not without download flag 0x02
        {0x1014, 0, 4, 0x89 | 0x80u},   // skipped by its attribute below
    };
    r.objects.back().size = 0x84;
    return r;
}

class CanOpenMasterTest : public CanOpenTest {
protected:
    void TearDown() override {
        CANOpen_dwnld = 0;
        Cmd_Downloading = 0;
        CanOpenTest::TearDown();
    }
    CanOpenTableBuilder Master(u8 startup, CanOpenTableBuilder::Row row = SlaveRow()) {
        return CanOpenTableBuilder(kMaster, 1).StartupFlags(kCoStartMaster | startup).StatusRegister(kR1)
            .NodeRow(std::move(row));
    }
    // Scans every ms, the node answering, until the condition holds (at
    // most maxMs); heartbeats of the node every hbMs while it is alive.
    bool RunUntil(const std::function<bool()>& condition, int maxMs, int hbMs = 50) {
        for (int t = 0; t <= maxMs; ++t) {
            std::vector<CanFrame> frames = Scan();
            sent.insert(sent.end(), frames.begin(), frames.end());
            slave.Serve(*peer, frames);
            if (condition()) return true;
            if (hbMs && t % hbMs == 0) slave.Heartbeat(*peer);
            clock.AdvanceMs(1);
        }
        return false;
    }
    bool Booted() { return CANOpen_NmtState() == kNmtOperational; }
    u8 Status() { return CANOpen_NodeStatus(kSlave); }

    FakeSlave slave;
    std::vector<CanFrame> sent;
};

TEST_F(CanOpenMasterTest, BootsChecksConfiguresAndStartsTheNode) {
    Master(kCoStartConsumeHeartbeat).Install();
    Init();
    ASSERT_TRUE(RunUntil([&] { return Booted(); }, 2000)) << int(Status()) << " " << int(CoMaster_NodeStep(kSlave));
    EXPECT_EQ(Status(), kCoNodeBooted);
    EXPECT_EQ(CoMaster_NodeStep(kSlave), kCoStepRun);
    // One reset of communication to all nodes, then the node's own start.
    ASSERT_GE(slave.nmt.size(), 2u);
    EXPECT_EQ(slave.nmt[0], (std::pair<u8, u8>{kNmtResetCommunication, 0}));
    EXPECT_EQ(slave.nmt.back(), (std::pair<u8, u8>{kNmtStart, kSlave}));
    EXPECT_EQ(slave.state, kNmtOperational);
    // The configuration in table order, the PDOs changed as CANopen wants.
    const std::vector<std::tuple<u16, u8, u32>> want = {
        {0x1017, 0, 50},         {0x1800, 1, 0x80000189}, {0x1800, 2, 254}, {0x1A00, 0, 0},
        {0x1A00, 1, 0xA5440110}, {0x1A00, 0, 1},          {0x1800, 1, 0x189}, {0x1400, 1, 0x80000209},
        {0x1400, 2, 0xFE},       {0x1400, 1, 0x209},
    };
    EXPECT_EQ(slave.written, want);
    // The node's status register: node id × 256 + status.
    EXPECT_EQ(R16(NodeStatusReg(0)), kSlave * 256 + kCoNodeBooted);
    EXPECT_EQ(R32(1) >> 24, kNmtOperational);

    // The node keeps its heartbeat; a state other than the network's is
    // reported.
    RunUntil([] { return false; }, 300);
    EXPECT_EQ(Status(), kCoNodeBooted);
    slave.state = kNmtStopped;
    slave.Heartbeat(*peer);
    Scan();
    EXPECT_EQ(Status(), kCoNodeWrongState);
}

TEST_F(CanOpenMasterTest, IdentityChecksReportTheFirstDifference) {
    struct Case {
        const char* what;
        std::function<void(CanOpenTableBuilder::Row&, FakeSlave&)> change;
        u8 status;
    };
    const Case cases[] = {
        {"device type", [](auto& r, auto&) { r.deviceType = 0x196; }, kCoNodeDeviceType},
        {"vendor", [](auto& r, auto&) { r.vendor = 0x78; }, kCoNodeVendor},
        {"product", [](auto& r, auto&) { r.product = 0x1235; }, kCoNodeProduct},
        {"revision", [](auto&, auto& s) { s.dictionary[{0x1018, 3}] = 0x20000; }, kCoNodeRevision},
        {"serial", [](auto& r, auto&) { r.serial = 1; }, kCoNodeSerial},
        {"object missing on the node", [](auto& r, auto& s) { r.serial = 0xABCD; s.dictionary.erase({0x1018, 4}); },
         kCoNodeSerial},
        {"software date asked for, none configured", [](auto& r, auto&) { r.flags |= kCoRowCheckSoftware; },
         kCoNodeNoSoftwareDate},
        {"software date differs",
         [](auto& r, auto&) { r.flags |= kCoRowCheckSoftware, r.swDate = 0x20240102, r.swTime = 0x1200; },
         kCoNodeSoftwareDate},
        {"software date differs, allowed",
         [](auto& r, auto&) {
             r.flags |= kCoRowCheckSoftware, r.swDate = 0x20240102, r.swTime = 0x1200, r.bootFlags |= 0x40;
         },
         kCoNodeBooted},
        {"all matching, configuration date too",
         [](auto& r, auto& s) {
             r.vendor = 0x77, r.product = 0x1234, r.serial = 0xABCD, r.configTime = 0x66;
             s.dictionary[{0x1020, 1}] = 0x55, s.dictionary[{0x1020, 2}] = 0x66;
         },
         kCoNodeBooted},
        {"refused object is an error of its class",
         [](auto& r, auto& s) { r.downloadFlags = 0x01, s.refuse.insert({0x1800, 2}); }, 250},
        {"refused object passed over", [](auto&, auto& s) { s.refuse.insert({0x1800, 2}); }, kCoNodeBooted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CANOpen_Reset();
        Can_Reset();
        slave = FakeSlave{};
        CanOpenTableBuilder::Row row = SlaveRow();
        c.change(row, slave);
        // An optional node without retry: given up on failure.
        Master(kCoStartConsumeHeartbeat, row).Install();
        Init();
        EXPECT_TRUE(RunUntil([&] { return CoMaster_NodeStep(kSlave) >= kCoStepRun; }, 2000));
        EXPECT_EQ(Status(), c.status);
        if (c.status == kCoNodeBooted) {
            EXPECT_EQ(CoMaster_NodeStep(kSlave), kCoStepRun);
        } else {
            EXPECT_EQ(CoMaster_NodeStep(kSlave), kCoStepGivenUp);
            EXPECT_NE(CANOpen_Status() & kCoStatusOptionalFailed, 0u);
        }
        if (std::string(c.what) == "all matching, configuration date too") {
            EXPECT_TRUE(slave.written.empty());
        }
        if (std::string(c.what) == "refused object passed over") {
            EXPECT_EQ(slave.written.size(), 9u);
        }
    }
}

TEST_F(CanOpenMasterTest, BootCheckThatCannotBeQueuedIsSentAgainNotAWrongDevice) {
    Master(kCoStartConsumeHeartbeat).Install();
    Init();
    // Through the reset, up to the first check.
    ASSERT_TRUE(RunUntil([&] { return CoMaster_NodeStep(kSlave) == 2; }, 1000));
    // The transmit ring is full when the device type is asked for.
    int queued = 0;
    while (CANOpen_Queue(0x7EF, 0, nullptr, false)) ++queued;
    ASSERT_GT(queued, 0);
    CANOpenTxMsg();
    EXPECT_EQ(Status(), kCoNodeBooted);
    EXPECT_EQ(CoMaster_NodeStep(kSlave), 2);
    EXPECT_NE(CANOpen_Status() & kCoStatusTxRingFull, 0u);
    // Once the ring drains the boot goes on.
    ASSERT_TRUE(RunUntil([&] { return Booted(); }, 2000));
    EXPECT_EQ(Status(), kCoNodeBooted);
}

TEST_F(CanOpenMasterTest, NodeThatNeverAnswersIsAskedAgain) {
    Master(kCoStartConsumeHeartbeat).Install();
    slave.silent = true;
    Init();
    ASSERT_TRUE(RunUntil([&] { return CoMaster_NodeStep(kSlave) == 2; }, 1000));
    sent.clear();
    RunUntil([] { return false; }, 450);
    int asks = 0;
    for (const CanFrame& f : sent) asks += f.idWord == 0x600u + kSlave;
    EXPECT_EQ(asks, 3);  // every 200 ms, the node's supervision time
    EXPECT_EQ(Status(), kCoNodeBooted);  // its heartbeat comes: still waited for
}

TEST_F(CanOpenMasterTest, LostNodeGivesStatus11AndTheConfiguredReaction) {
    struct Case {
        const char* what;
        u8 startup;
        u8 rowFlags;
        u32 statusBit;
        u8 step;
        std::pair<u8, u8> lastNmt;
        u8 state;
    };
    const Case cases[] = {
        {"optional, given up", 0, 0x01, kCoStatusOptionalFailed, kCoStepGivenUp, {0, 0},  // no NMT command
         kNmtOperational},
        {"optional, retried", 0, 0x01 | kCoRowRetry, 0, kCoStepReset, {kNmtResetCommunication, kSlave},
         kNmtOperational},
        {"mandatory, network stopped", kCoStartStopOnFail, 0x01 | kCoRowMandatory, kCoStatusMandatoryFailed,
         kCoStepGivenUp, {kNmtStop, 0}, kNmtStopped},
        {"mandatory, network reset", kCoStartResetOnFail, 0x01 | kCoRowMandatory, 0, kCoStepReset,
         {kNmtResetCommunication, 0}, kNmtPreOperational},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CANOpen_Reset();
        Can_Reset();
        slave = FakeSlave{};
        sent.clear();
        CanOpenTableBuilder::Row row = SlaveRow();
        row.flags = c.rowFlags;
        Master(kCoStartConsumeHeartbeat | c.startup, row).Install();
        Init();
        ASSERT_TRUE(RunUntil([&] { return Booted(); }, 2000));
        slave.dead = true;
        sent.clear();
        // Lost after its 200 ms; the reaction in the same scan.
        ASSERT_TRUE(RunUntil([&] { return Status() != kCoNodeBooted; }, 300));
        const u8 seen = Status();
        EXPECT_TRUE(seen == kCoNodeHeartbeatLost || seen == kCoNodeNotBooted) << int(seen);
        if (seen == kCoNodeHeartbeatLost) {
            EXPECT_NE(CANOpen_Status() & kCoStatusHeartbeatLost, 0u);
        }
        RunUntil([] { return false; }, 1);
        if (c.statusBit) {
            EXPECT_NE(CANOpen_Status() & c.statusBit, 0u);
        }
        EXPECT_EQ(CoMaster_NodeStep(kSlave), c.step);
        EXPECT_EQ(CANOpen_NmtState(), c.state);
        // The last NMT frame the master sent since the loss.
        std::pair<u8, u8> last{};
        for (const CanFrame& f : sent)
            if (f.idWord == 0) last = {f.data[0], f.data[1]};
        EXPECT_EQ(last, c.lastNmt);
        if (std::string(c.what) == "optional, given up") {
            EXPECT_EQ(R16(NodeStatusReg(0)), kSlave * 256 + 11);
        }
    }
}

TEST_F(CanOpenMasterTest, GuardedNodeIsStartedAndItsSilenceReported) {
    CanOpenTableBuilder::Row row = SlaveRow();
    row.lifeFactor = 2;
    row.timeMs = 100;
    Master(0, row).Install();
    Init();
    // The node answers guard requests (as its heartbeat stands in here).
    auto answerGuards = [&] {
        for (const CanFrame& f : slave.remote)
            if ((f.idWord & 0x7FF) == 0x700u + kSlave) slave.Heartbeat(*peer);
        slave.remote.clear();
    };
    bool up = false;
    for (int t = 0; t < 3000 && !up; ++t) {
        std::vector<CanFrame> frames = Scan();
        slave.Serve(*peer, frames);
        answerGuards();
        up = Booted();
        clock.AdvanceMs(1);
    }
    ASSERT_TRUE(up);
    // Guarding objects were written, heartbeat ones not.
    EXPECT_NE(std::find(slave.written.begin(), slave.written.end(), std::make_tuple(u16(0x100C), u8(0), u32(100))),
              slave.written.end());
    for (const auto& w : slave.written) EXPECT_NE(std::get<0>(w), 0x1017);
    for (int t = 0; t < 1000; ++t) {
        slave.Serve(*peer, Scan());
        answerGuards();
        clock.AdvanceMs(1);
    }
    EXPECT_EQ(Status(), kCoNodeBooted);
    // Silent: after the life time factor's retries, status 6.
    slave.dead = true;
    for (int t = 0; t < 400 && Status() == kCoNodeBooted; ++t) {
        Scan();
        clock.AdvanceMs(1);
    }
    EXPECT_EQ(CoMaster_NodeStep(kSlave), kCoStepGivenUp);
    EXPECT_EQ(R16(NodeStatusReg(0)), kSlave * 256 + kCoNodeGuardingLost);
}

TEST_F(CanOpenMasterTest, NetworkStartsWithoutTheNodeThatWasGivenUp) {
    CanOpenTableBuilder::Row wrong = SlaveRow();
    wrong.deviceType = 0x196;
    CanOpenTableBuilder::Row good = SlaveRow();
    good.node = kSlave + 1;
    Master(kCoStartConsumeHeartbeat, wrong).NodeRow(good).Install();
    FakeSlave other;
    other.id = kSlave + 1;
    Init();
    bool up = false;
    for (int t = 0; t < 3000 && !up; ++t) {
        std::vector<CanFrame> frames = Scan();
        slave.Serve(*peer, frames);
        other.Serve(*peer, frames);
        if (t % 50 == 0) slave.Heartbeat(*peer), other.Heartbeat(*peer);
        up = Booted();
        clock.AdvanceMs(1);
    }
    ASSERT_TRUE(up);
    EXPECT_EQ(Status(), kCoNodeDeviceType);
    EXPECT_EQ(CoMaster_NodeStep(kSlave), kCoStepGivenUp);
    EXPECT_EQ(CANOpen_NodeStatus(kSlave + 1), kCoNodeBooted);
    EXPECT_EQ(other.state, kNmtOperational);
    EXPECT_NE(slave.state, kNmtOperational);
    EXPECT_EQ(R16(NodeStatusReg(1)), (kSlave + 1) * 256 + kCoNodeBooted);
}

TEST_F(CanOpenMasterTest, StartBitHoldsTheNetworkPreOperational) {
    CanOpenTableBuilder::Row row = SlaveRow();
    Master(kCoStartConsumeHeartbeat | kCoStartOnBit, row).Field32(kCoStartRegister, kR1 + 16 * 19).Install();
    Init();
    ASSERT_TRUE(RunUntil([&] { return CoMaster_NodeStep(kSlave) == kCoStepRun; }, 2000));
    EXPECT_EQ(CANOpen_NmtState(), kNmtPreOperational);
    EXPECT_EQ(slave.state, kNmtPreOperational);
    PutR16(20, 1);
    ASSERT_TRUE(RunUntil([&] { return Booted(); }, 100));
    EXPECT_EQ(slave.state, kNmtOperational);
    PutR16(20, 0);
    ASSERT_TRUE(RunUntil([&] { return CANOpen_NmtState() == kNmtPreOperational; }, 100));
    RunUntil([] { return false; }, 5);
    EXPECT_EQ(slave.nmt.back(), (std::pair<u8, u8>{kNmtEnterPreOperational, 0}));
    EXPECT_EQ(slave.state, kNmtPreOperational);
}

TEST_F(CanOpenMasterTest, TableDownloadHoldsTheNetworkThenRestartsFromTheNewTable) {
    Master(kCoStartConsumeHeartbeat).Heartbeat(20).Install();
    Init();
    ASSERT_TRUE(RunUntil([&] { return Booted(); }, 2000));
    // The download starts: every node pre-operational, nothing more sent.
    CANOpen_dwnld = 1;
    Cmd_Downloading = 1;
    sent.clear();
    RunUntil([] { return false; }, 100, 0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].idWord, 0u);
    EXPECT_EQ(sent[0].data[0], kNmtEnterPreOperational);
    EXPECT_EQ(CANOpen_NmtState(), kNmtPreOperational);
    EXPECT_EQ(slave.state, kNmtPreOperational);
    // The table arrives; the link still downloads: held.
    CanOpenTableBuilder(kMaster + 1, 1).Heartbeat(20).Install();
    CANOpen_dwnld = 0;
    sent.clear();
    RunUntil([] { return false; }, 50, 0);
    EXPECT_EQ(CANOpen_NodeId(), kMaster);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(CANOpen_NmtState(), kNmtPreOperational);
    // The download ends: the node starts again from the new table, with its
    // node id.
    Cmd_Downloading = 0;
    sent.clear();
    RunUntil([] { return false; }, 1, 0);
    EXPECT_EQ(CANOpen_NodeId(), kMaster + 1);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].idWord, 0x700u + kMaster + 1);
    EXPECT_EQ(sent[0].data[0], 0);
    EXPECT_FALSE(CoMaster_Active());
}

TEST_F(CanOpenMasterTest, RefusedTableIsReplacedByTheNextDownload) {
    CanOpenTableBuilder(7, 1).Field8(kCoBitRate, 9).Install();
    Init();
    ASSERT_NE(CANOpen_Status() & kCoStatusInvalidTable, 0u);
    CanOpenTableBuilder(7, 1).Heartbeat(10).Install();
    Scan();
    EXPECT_EQ(CANOpen_Status() & kCoStatusInvalidTable, 0u);
    std::vector<CanFrame> frames = Scan();
    clock.AdvanceMs(20);
    frames = Scan();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().idWord, 0x707u);
}

}  // namespace
