// The real executable on the stand-in CAN bus: a test node of the bus sees
// its boot-up and drives it with NMT commands.
#include <gtest/gtest.h>

#include <string>

#include "platform/canbus.h"
#include "platform/reset.h"
#include "testsupport/can_peer.h"
#include "testsupport/firmware_process.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kGuardMs = 30000;  // generous for sanitizer builds on a loaded machine

// The first boot-up frame among the frames seen (identifier 0x701-0x77F,
// one byte 0); 0 when none came.
u32 BootUp(CanPeer& peer) {
    for (const CanFrame& f : peer.TakeAtLeast(1, kGuardMs)) {
        if (f.idWord >= 0x701 && f.idWord <= 0x77F && f.length == 1 && f.data[0] == 0) return f.idWord;
    }
    return 0;
}

TEST(CanSystem, ControllerBootsOnTheBusAndObeysNmtResets) {
    TempRoot root;
    int bus = CanTest_UseFreeBus();
    ASSERT_NE(bus, 0);
    CanPeer peer(bus);
    FirmwareProcess fw;
    fw.SetEnv("PLC_CAN_BUS", std::to_string(bus));
    ASSERT_TRUE(fw.Start());
    u32 bootUp = BootUp(peer);
    ASSERT_NE(bootUp, 0u) << fw.Output();
    const u8 node = static_cast<u8>(bootUp - 0x700);
    // Reset communication: the node starts its CANopen part again.
    ASSERT_TRUE(peer.Send(0x000, {0x82, node}));
    EXPECT_EQ(BootUp(peer), bootUp);
    // Reset node: the whole controller restarts (warm-reset exit).
    ASSERT_TRUE(peer.Send(0x000, {0x81, 0}));
    ASSERT_TRUE(fw.WaitExit(kGuardMs)) << fw.Output();
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset);
    unsetenv("PLC_CAN_BUS");
}

}  // namespace
