// Two real controllers on one stand-in CAN bus, on clocks the test drives:
// an NMT master, whose network table the test downloads over its
// programming link, and a slave without a table, which the master checks,
// configures and starts. Registers travel both ways in PDOs; a new table
// holds the network until its download ends; a killed slave stops the
// network as the table says.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "io/canopen.h"
#include "io/canopen_master.h"
#include "io/canopen_table.h"
#include "platform/canbus.h"
#include "testsupport/board_clock.h"
#include "testsupport/can_peer.h"
#include "testsupport/canopen_table_builder.h"
#include "testsupport/firmware_process.h"
#include "testsupport/link_host.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u8 kMasterId = 1, kSlaveId = 127;  // the slave keeps the default node id
constexpr u32 kR1 = 0x8000;
constexpr u32 R(int n) { return kR1 + 16u * (n - 1); }
constexpr int kStatusReg = 100;  // status word at %R100, node status at %R104

// The master's table; the slave's PDOs come from the configuration download.
std::vector<u8> MasterTable(u32 masterTpdo) {
    CanOpenTableBuilder::Row row;
    row.flags = kCoRowSlave | kCoRowMandatory;
    row.timeMs = 500;
    row.node = kSlaveId;
    row.deviceType = kCoDeviceType;
    row.revision = kCoRevision;
    row.configDate = 0x20261211;  // the slave has none: it is configured
    row.bootFlags = 0x02 | 0x20;  // heartbeat, SDO and PDO objects
    row.objects = {
        {0x1017, 0, 2, 100},                                   // the slave's heartbeat
        {0x1400, 1, 4, masterTpdo}, {0x1400, 2, 1, 0xFE},      // its RPDO: into its %R1
        {0x1600, 0, 1, 1},          {0x1600, 1, 4, 0xA5440110},
        {0x1800, 1, 4, 0x189},      {0x1800, 2, 1, 254},       // its TPDO: its %R2 on change
        {0x1A00, 0, 1, 1},          {0x1A00, 1, 4, 0xA5440210},
    };
    return CanOpenTableBuilder(kMasterId, 1)
        .StartupFlags(kCoStartMaster | kCoStartConsumeHeartbeat | kCoStartStopOnFail)
        .Heartbeat(100)
        .StatusRegister(R(kStatusReg))
        .Tpdo(masterTpdo, 254, {0xA5440110})  // the master's %R1
        .Rpdo(0x189, 254, {0xA5440310})       // into the master's %R3
        .NodeRow(row)
        .Build();
}

class CanMasterSystem : public ::testing::Test {
protected:
    void SetUp() override {
        slaveDir = root.Dir() + "-slave";
        ASSERT_EQ(system(("mkdir -p " + slaveDir).c_str()), 0);
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
        peer.emplace(bus);
        ASSERT_TRUE(masterPty.Open(root.Path("/dev/ttySP3")));
        ASSERT_TRUE(slavePty.Open(slaveDir + "/dev/ttySP3"));
        const int masterOffset = NetFreePortOffset(9000);
        int slaveOffset;
        do slaveOffset = NetFreePortOffset(9000);
        while (slaveOffset == masterOffset);
        for (auto [p, dir, offset] : {std::tuple{&master, root.Dir(), masterOffset},
                                      std::tuple{&slave, slaveDir, slaveOffset}}) {
            p->SetEnv("PLC_ROOT", dir);
            p->SetEnv("PLC_PORT_OFFSET", std::to_string(offset));
            p->SetEnv("PLC_CAN_BUS", std::to_string(bus));
        }
        masterClock.emplace(root.Dir());
        slaveClock.emplace(slaveDir);
        ASSERT_TRUE(master.Start());
        ASSERT_TRUE(slave.Start());
        auto running = [](FirmwareProcess& p) { return p.Output().find("main loop running") != std::string::npos; };
        ASSERT_TRUE(AdvanceUntil([&] { return running(master) && running(slave); }, 20000))
            << master.Output() << slave.Output();
        masterHost.emplace(masterPty.Master());
        slaveHost.emplace(slavePty.Master());
        ASSERT_TRUE(slaveHost->NodeId(&slaveNode));
        ASSERT_EQ(slaveNode, kSlaveId);
    }
    void TearDown() override {
        for (FirmwareProcess* p : {&master, &slave})
            if (Alive(*p)) p->Signal(SIGTERM);
        AdvanceUntil([&] { return !Alive(master) && !Alive(slave); }, 20000);
        for (FirmwareProcess* p : {&master, &slave})
            if (p->Running()) p->WaitExit(kStartMs);
        unsetenv("PLC_CAN_BUS");
        Shell("rm -rf " + slaveDir);
    }
    static bool Alive(FirmwareProcess& p) { return p.Running() && !p.HasExited(); }

    // Both clocks in steps of 10 ms, the bus's frames gathered meanwhile.
    bool Advance(u64 ms) {
        for (u64 done = 0; done < ms; done += 10) {
            if (Alive(master) && !masterClock->Advance(10, 10)) return false;
            if (Alive(slave) && !slaveClock->Advance(10, 10)) return false;
            Gather();
        }
        return true;
    }
    // The frames on the bus so far (a controller also runs passes while it
    // answers its link, between the clock's steps).
    void Gather() {
        for (const CanFrame& f : peer->Take()) frames.push_back(f);
    }
    bool AdvanceUntil(const std::function<bool()>& condition, u64 maxMs) {
        for (u64 done = 0; !condition(); done += 10)
            if (done >= maxMs || !Advance(10)) return false;
        return true;
    }
    // A register word of a controller, over its programming link.
    static int Word(LinkHost& host, u8 node, int r) {
        LinkHost::Reply reply = host.ReadRegs(node, R(r), 16);
        return reply.frame && reply.data.size() == 2 ? GetLe16(reply.data.data()) : -1;
    }
    static bool SetWord(LinkHost& host, u8 node, int r, u16 v) {
        return host.WriteRegs(node, R(r), 16, {static_cast<u8>(v), static_cast<u8>(v >> 8)}) == 0xA0;
    }
    int MasterWord(int r) { return Word(*masterHost, kMasterId, r); }
    // The master's NMT state (status word bits 24-31) and the slave's status.
    int MasterState() {
        LinkHost::Reply reply = masterHost->ReadRegs(kMasterId, R(kStatusReg), 32);
        return reply.frame && reply.data.size() == 4 ? reply.data[3] : -1;
    }
    int NodeStatus() { return MasterWord(kStatusReg + 4); }
    // NMT commands seen on the bus since `from`.
    std::vector<std::pair<u8, u8>> Nmt(size_t from = 0) {
        Gather();
        std::vector<std::pair<u8, u8>> out;
        for (size_t k = from; k < frames.size(); ++k)
            if (frames[k].idWord == 0 && frames[k].length == 2) out.push_back({frames[k].data[0], frames[k].data[1]});
        return out;
    }
    // The last heartbeat state of a node seen since `from`; -1 when none.
    int LastHeartbeat(u8 node, size_t from) {
        Gather();
        int state = -1;
        for (size_t k = from; k < frames.size(); ++k)
            if (frames[k].idWord == 0x700u + node && frames[k].length == 1) state = frames[k].data[0];
        return state;
    }
    // Boots the network: the table downloaded, the slave started.
    void Boot() {
        u8 node = 0;
        ASSERT_TRUE(masterHost->NodeId(&node));
        ASSERT_EQ(masterHost->Download(node, 23, MasterTable(0x201), 64), 0xA0);
        ASSERT_TRUE(AdvanceUntil([&] { return MasterState() == kNmtOperational; }, 10000))
            << MasterState() << " " << NodeStatus() << master.Output();
        EXPECT_EQ(NodeStatus(), kSlaveId * 256 + kCoNodeBooted);
        ASSERT_TRUE(Advance(20));  // the start's frame leaves with the next pass
    }

    TempRoot root;
    std::string slaveDir;
    int bus = 0;
    std::optional<CanPeer> peer;
    LinkPty masterPty, slavePty;
    std::optional<BoardClock> masterClock, slaveClock;
    FirmwareProcess master, slave;
    std::optional<LinkHost> masterHost, slaveHost;
    u8 slaveNode = 0;
    std::vector<CanFrame> frames;
};

TEST_F(CanMasterSystem, MasterBootsConfiguresAndSupervisesTheSlave) {
    ASSERT_NO_FATAL_FAILURE(Boot());
    // The boot as the bus saw it: reset of all nodes, the slave's boot-up,
    // the checks and writes by SDO, the start.
    const auto nmt = Nmt();
    ASSERT_GE(nmt.size(), 2u);
    EXPECT_EQ(nmt.front(), (std::pair<u8, u8>{kNmtResetCommunication, 0}));
    EXPECT_EQ(nmt.back(), (std::pair<u8, u8>{kNmtStart, kSlaveId}));
    int requests = 0;
    for (const CanFrame& f : frames) requests += f.idWord == 0x600u + kSlaveId;
    EXPECT_EQ(requests, 3 + 13);  // device type, revision, configuration date; nine objects, four rewrites
    ASSERT_TRUE(AdvanceUntil([&] { return LastHeartbeat(kSlaveId, 0) == kNmtOperational; }, 1000));

    // Registers both ways.
    ASSERT_TRUE(SetWord(*masterHost, kMasterId, 1, 0x1234));
    ASSERT_TRUE(AdvanceUntil([&] { return Word(*slaveHost, kSlaveId, 1) == 0x1234; }, 2000));
    ASSERT_TRUE(SetWord(*slaveHost, kSlaveId, 2, 0x5678));
    ASSERT_TRUE(AdvanceUntil([&] { return MasterWord(3) == 0x5678; }, 2000));

    // The slave dies: heartbeat lost (status 11), and as the mandatory node
    // of a table with start-up flag 0x40 it stops the network.
    slave.Signal(SIGKILL);
    ASSERT_TRUE(slave.WaitExit(kStartMs));
    const size_t before = frames.size();
    ASSERT_TRUE(AdvanceUntil([&] { return NodeStatus() == kSlaveId * 256 + kCoNodeHeartbeatLost; }, 2000))
        << NodeStatus();
    EXPECT_TRUE(AdvanceUntil([&] { return MasterState() == kNmtStopped; }, 100));
    EXPECT_EQ(Nmt(before), (std::vector<std::pair<u8, u8>>{{kNmtStop, 0}}));
    LinkHost::Reply word = masterHost->ReadRegs(kMasterId, R(kStatusReg), 32);
    ASSERT_TRUE(word.frame);
    EXPECT_NE(GetLe32(word.data.data()) & kCoStatusMandatoryFailed, 0u);
    EXPECT_NE(GetLe32(word.data.data()) & kCoStatusHeartbeatLost, 0u);
}

TEST_F(CanMasterSystem, NewTableHoldsTheNetworkUntilItsDownloadEnds) {
    ASSERT_NO_FATAL_FAILURE(Boot());
    ASSERT_TRUE(AdvanceUntil([&] { return LastHeartbeat(kSlaveId, 0) == kNmtOperational; }, 1000));
    // The host holds the link and downloads a table whose master TPDO moved.
    ASSERT_EQ(masterHost->Ask(25, {kMasterId, 1}), 0xA0);
    const size_t before = frames.size();
    ASSERT_EQ(masterHost->Download(kMasterId, 23, MasterTable(0x202), 64), 0xA0);
    ASSERT_TRUE(Advance(1000));
    // Held: every node pre-operational, the master silent, the slave still
    // beating.
    EXPECT_EQ(Nmt(before), (std::vector<std::pair<u8, u8>>{{kNmtEnterPreOperational, 0}}));
    EXPECT_EQ(LastHeartbeat(kSlaveId, before), kNmtPreOperational);
    const size_t held = frames.size();
    ASSERT_TRUE(Advance(500));
    EXPECT_EQ(LastHeartbeat(kMasterId, held), -1);
    EXPECT_EQ(MasterState(), kNmtPreOperational);
    // The host lets go: the network starts again from the new table.
    ASSERT_EQ(masterHost->Ask(25, {kMasterId, 0}), 0xA0);
    ASSERT_TRUE(AdvanceUntil([&] { return MasterState() == kNmtOperational; }, 10000)) << MasterState();
    ASSERT_TRUE(Advance(20));  // the start's frame leaves with the next pass
    const auto nmt = Nmt(held);
    ASSERT_GE(nmt.size(), 2u);
    EXPECT_EQ(nmt.front(), (std::pair<u8, u8>{kNmtResetCommunication, 0}));
    EXPECT_EQ(nmt.back(), (std::pair<u8, u8>{kNmtStart, kSlaveId}));
    // The PDO on its new identifier.
    ASSERT_TRUE(SetWord(*masterHost, kMasterId, 1, 0x4321));
    ASSERT_TRUE(AdvanceUntil([&] { return Word(*slaveHost, kSlaveId, 1) == 0x4321; }, 2000));
    bool moved = false;
    for (const CanFrame& f : frames) moved = moved || f.idWord == 0x202;
    EXPECT_TRUE(moved);
}

}  // namespace
