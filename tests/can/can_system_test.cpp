// The real executable on the stand-in CAN bus: a test node of the bus sees
// its boot-up and drives it with NMT commands.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/canbus.h"
#include "platform/reset.h"
#include "testsupport/can_peer.h"
#include "testsupport/firmware_process.h"
#include "testsupport/peer_program.h"
#include "testsupport/shell.h"
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

// The real executable on a bus of its own, booted: its boot-up frame seen.
class CanSystem : public ::testing::Test {
protected:
    void SetUp() override {
        bus = CanTest_UseFreeBus();
        ASSERT_NE(bus, 0);
        peer = std::make_unique<CanPeer>(bus);
        fw.SetEnv("PLC_CAN_BUS", std::to_string(bus));
        ASSERT_TRUE(fw.Start());
        bootUp = BootUp(*peer);
        ASSERT_NE(bootUp, 0u) << fw.Output();
    }
    void TearDown() override { unsetenv("PLC_CAN_BUS"); }

    TempRoot root;
    int bus = 0;
    std::unique_ptr<CanPeer> peer;
    FirmwareProcess fw;
    u32 bootUp = 0;
};

TEST_F(CanSystem, ControllerBootsOnTheBusAndObeysNmtResets) {
    CanPeer& peer = *this->peer;
    const u8 node = static_cast<u8>(bootUp - 0x700);
    // Reset communication: the node starts its CANopen part again.
    ASSERT_TRUE(peer.Send(0x000, {0x82, node}));
    EXPECT_EQ(BootUp(peer), bootUp);
    // Reset node: the whole controller restarts (warm-reset exit).
    ASSERT_TRUE(peer.Send(0x000, {0x81, 0}));
    ASSERT_TRUE(fw.WaitExit(kGuardMs)) << fw.Output();
    EXPECT_EQ(fw.ExitCode(), kExitWarmReset);
}

TEST_F(CanSystem, PythonSdoClientReadsAndWritesTheDictionary) {
    const int node = static_cast<int>(bootUp - 0x700);
    const struct {
        const char* access;
        const char* line;
    } table[] = {
        {"r:1000:0", "1000 00 ok 95010000"},
        {"r:1018:3", "1018 03 ok 00000100"},
        {"r:1018:2", "1018 02 abort 06090011"},
        {"w:1000:0:01020304", "1000 00 abort 06010002"},
        {"r:9999:0", "9999 00 abort 06010000"},
        {"w:A544:1:3412", "A544 01 ok"},  // %R1
        {"r:A0C4:1", "A0C4 01 ok 3412"},
        {"w:A544:1:34", "A544 01 abort 06070013"},
        {"w:A0C4:1:3412", "A0C4 01 abort 06010002"},  // an input group
        {"r:2000:0", "2000 00 ok fe"},
        {"r:2000:ff", "2000 FF abort 06010000"},
        {"w:1017:0:e803", "1017 00 ok"},
        {"r:1017:0", "1017 00 ok e803"},
        {"w:1005:0:00000040", "1005 00 abort 06040043"},
        {"r:1200:1", "1200 01 ok " },  // filled in below
        {"r:1008:0", "1008 00 ok "},  // the model text, segmented: two frames more
    };
    // Everything on the bus goes into a capture as well.
    const std::string pcap = root.Dir() + "/sdo.pcap";
    const size_t frames = 2 * (sizeof table / sizeof table[0]) + 2;
    PeerProgram dump(std::string(PLC_BIN_DIR) + "/plccan --bus " + std::to_string(bus) + " dump " +
                     std::to_string(frames) + " 30000 " + pcap);
    ASSERT_TRUE(dump.WaitReady());
    std::string command = std::string("/usr/bin/python3 ") + PLC_SOURCE_DIR + "/tests/can/sdo_client.py " +
                          std::to_string(bus) + " " + std::to_string(node) + " 20";
    std::string want;
    char cob[16];
    std::snprintf(cob, sizeof cob, "%02x%02x0000", (0x600 + node) & 0xFF, (0x600 + node) >> 8);
    for (const auto& t : table) {
        command += std::string(" ") + t.access;
        want += t.line;
        if (std::string(t.access) == "r:1200:1") want += cob;
        want += "\n";
    }
    // The model text answers six bytes, whatever the model is.
    want.insert(want.size() - 1, "xxxxxxxxxxxx");
    int status = -1;
    std::string out = Shell(command + " 2>&1", &status);
    EXPECT_EQ(status, 0);
    const size_t model = out.rfind("1008 00 ok ");
    if (model != std::string::npos && out.size() >= model + 23) out.replace(model + 11, 12, "xxxxxxxxxxxx");
    EXPECT_EQ(out, want) << fw.Output();
    int dumped = -1;
    EXPECT_EQ(dump.Rest(&dumped).size(), frames);
    EXPECT_EQ(dumped, 0);
    // tshark's CANopen dissector reads every frame as an SDO, none malformed.
    std::string malformed = Shell("tshark -r " + pcap + " -d can.subdissector,canopen -T fields -e _ws.malformed"
                                  " 2>/dev/null | grep -v '^Running as user' | grep -vc '^$'");
    EXPECT_EQ(malformed, "0\n");
    std::string sdo = Shell("tshark -r " + pcap + " -d can.subdissector,canopen -Y canopen.sdo.cmd 2>/dev/null |"
                            " grep -c SDO");
    EXPECT_EQ(sdo, std::to_string(frames) + "\n");
}

}  // namespace
