// The node's per-scan service around a download of its network table
// (memory area 23): the hold while it runs, and the restart from the new
// table once the link has finished.
#include <gtest/gtest.h>

#include "link/cmdproc.h"
#include "link/command.h"
#include "tests/can/canopen_fixture.h"

namespace {

class CanOpenService : public CanOpenTest {
protected:
    void TearDown() override {
        CANOpen_dwnld = 0;
        Cmd_Downloading = 0;
        CanOpenTest::TearDown();
    }
};

TEST_F(CanOpenService, TableDownloadHoldsTheNodeThenRestartsItFromTheNewTable) {
    // A master with heartbeat and SYNC production.
    CanOpenTableBuilder(5, 1).StartupFlags(kCoStartMaster).Heartbeat(10).Sync(0x80 | kCoCobIdBit30, 10000, 0)
        .Install();
    Init();
    Scan();
    clock.AdvanceMs(20);
    ASSERT_FALSE(Scan().empty());  // heartbeats and SYNCs go out

    // The download begins: enter pre-operational to all nodes, once; then
    // nothing but the tunnel.
    CANOpen_dwnld = 1;
    Cmd_Downloading = 1;
    std::vector<CanFrame> got = Scan();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].idWord, 0u);
    EXPECT_EQ(std::vector<u8>(got[0].data, got[0].data + 2), (std::vector<u8>{kNmtEnterPreOperational, 0}));
    EXPECT_EQ(CANOpen_NmtState(), kNmtPreOperational);
    for (int i = 0; i < 5; ++i) {
        clock.AdvanceMs(20);
        EXPECT_TRUE(Scan().empty());
    }
    // The new table is in, but the link still finishes its download.
    CanOpenTableBuilder(9, 2).Heartbeat(100).Install();
    CANOpen_dwnld = 0;
    clock.AdvanceMs(20);
    Scan();
    EXPECT_EQ(CANOpen_NodeId(), 5);
    Cmd_Downloading = 0;
    got = Scan();
    EXPECT_EQ(CANOpen_NodeId(), 9);
    EXPECT_EQ(SR_Get(29), 9);
    EXPECT_EQ(SR_Get(30), 2);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].idWord, 0x709u);  // boot-up of the restarted node

    // A table changed by other means (a different CRC) restarts it too.
    CanOpenTableBuilder(11, 2).Install();
    Scan();
    EXPECT_EQ(CANOpen_NodeId(), 11);
}

}  // namespace
