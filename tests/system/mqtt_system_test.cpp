// The real executable in run mode with an MQTT table: its payload plug-in
// (the tests' own, carried in the table) publishes a register that
// mosquitto_sub receives, a message from mosquitto_pub comes back through
// the register, the status register shows the table and the connection, and
// the will message reaches the subscriber when the controller is killed.
// The controller runs on the clock the test drives.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/bytes.h"
#include "platform/fileio.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/mqtt_broker.h"
#include "testsupport/mqtt_table.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 kStatus = lreg::R(900);
constexpr u32 kEnable = lreg::R(950);

TEST(MqttSystem, PluginPublishesReceivesAndTheWillOutlivesTheController) {
    TempRoot root;
    {
        FirmwareProcess first;  // lays down the defaults
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
    }
    MqttBroker broker;
    ASSERT_TRUE(broker.Start(root.Dir()));
    MqttConnectionSpec s;
    s.pluginBase = lreg::R(1);
    s.port = static_cast<u16>(broker.Port());
    s.image = MqttTestPluginImage();
    s.clientId = "controller";
    s.will = true;
    s.willTopic = "plc/will";
    s.willPayload = "lost";
    s.willQos = 1;
    ASSERT_FALSE(s.image.empty());
    const std::vector<u8> config = LadderConfigFile({}, MqttTableBody(kStatus, kEnable, {s}));
    ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/config.pgm"), config.data(), config.size()));
    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
    PutLe16(&image[8 + 2 * (127 + 5)], 2);  // run mode
    const u32 enableByte = (kEnable - 0x400) / 8;
    image[8 + enableByte] |= 1;
    PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
    ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));

    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker, "plc/#", root.Dir() + "/sub.txt"));
    LinkPty pty;
    ASSERT_TRUE(pty.Open(root.Dir() + "/dev/ttySP3"));
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running")) << fw.Output();

    ASSERT_TRUE(clock.AdvanceUntil([&] { return sub.Has("plc/0/R1 0"); }, 60000)) << sub.Text() << fw.Output();
    // A message on the plug-in's subscription writes %R1, which it publishes.
    ASSERT_TRUE(clock.AdvanceUntil(
        [&] {
            broker.Publish("plc/0/s0/R1", "42", "-q 1");
            return sub.Has("plc/0/R1 42");
        },
        60000, 200))
        << sub.Text();

    LinkHost host(pty.Master(), 0, [&] { clock.Advance(1, 1); });
    u8 node = 0;
    ASSERT_TRUE(host.NodeId(&node));
    LinkHost::Reply status = host.ReadRegs(node, kStatus, 16);
    ASSERT_TRUE(status.frame);
    ASSERT_EQ(status.data.size(), 2u);
    const u16 flags = GetLe16(status.data.data());
    EXPECT_EQ(flags & 0x0B, 0x0B) << flags;  // table found, read complete, connection 0 connected

    // Killed, the controller leaves its will behind.
    fw.Signal(SIGKILL);
    ASSERT_TRUE(fw.WaitExit(kStartMs));
    EXPECT_TRUE(WaitUntil([&] { return sub.Has("plc/will lost"); }, kStartMs)) << sub.Text();
}

}  // namespace
