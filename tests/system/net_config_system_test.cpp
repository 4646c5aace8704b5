// System test of a configuration downloaded over the programming link: the
// real executable applies it at once, without a restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <vector>

#include "testsupport/firmware_process.h"
#include "testsupport/link_host.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u32 SrAddress(int n) { return 0x400 + 16u * (127 + n); }

class NetConfigSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
        host = std::make_unique<LinkHost>(serial.Master());
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(fw.WaitForOutput("main loop running", kStartMs)) << fw.Output();
        ASSERT_TRUE(host->NodeId(&node));
    }
    void TearDown() override {
        fw.Signal(SIGTERM);
        EXPECT_TRUE(fw.WaitExit(30000));
    }
    u16 ReadSr(int n) {
        LinkHost::Reply r = host->ReadRegs(node, SrAddress(n), 16);
        EXPECT_TRUE(r.frame) << "SR" << n;
        return r.frame && r.data.size() == 2 ? GetLe16(r.data.data()) : 0xFFFF;
    }

    TempRoot root;
    LinkPty serial;
    FirmwareProcess fw;
    std::unique_ptr<LinkHost> host;
    u8 node = 0;
};

TEST_F(NetConfigSystem, DownloadedNetworkSettingsApplyWithoutARestart) {
    // A fresh controller: one network id, no network settings.
    ASSERT_EQ(ReadSr(61), 1);
    ASSERT_EQ(ReadSr(31), 0);

    // Network configuration: settings present (bit 7 of the first byte, SR31
    // takes the rest), three network ids, and a settings record whose
    // settings word is not 0.
    std::vector<u8> config = {0x85, 0x03, 0, 0, 0, 0x07, 0x00, 0, 0, 0, 0, 0};
    ASSERT_EQ(host->Download(node, 6, config, 64), 0xA0);
    EXPECT_EQ(ReadSr(31), 0x05);
    EXPECT_EQ(ReadSr(61), 3);

    // Taken back (an empty configuration) and applied at once as well.
    ASSERT_EQ(host->Download(node, 6, {0x00, 0x00}, 64), 0xA0);
    EXPECT_EQ(ReadSr(31), 0);
    EXPECT_EQ(ReadSr(61), 1);
    EXPECT_TRUE(fw.Running());
}

}  // namespace
