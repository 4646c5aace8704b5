// The board identity downloaded over the programming link: in a network
// namespace of its own the controller puts the address on eth0 (a veth end);
// in the host's namespace the address is only recorded. A foreign image is
// refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testsupport/firmware_process.h"
#include "platform/fileio.h"
#include "platform/system.h"
#include "testsupport/fw_media.h"
#include "testsupport/link_host.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 30000;
constexpr u8 kArea = 19;

std::vector<u8> Image(const u8 (&eth0)[6], const u8 (&eth1)[6]) {
    std::vector<u8> image(kTinyImageBytes, 0);
    std::copy(eth0, eth0 + 6, image.begin() + kTinyMac0);
    std::copy(eth1, eth1 + 6, image.begin() + kTinyMac1);
    return image;
}

class IdentitySystem : public ::testing::Test {
protected:
    void TearDown() override {
        if (fw.Running()) {
            fw.Signal(SIGTERM);
            fw.WaitExit(kStartMs);
        }
    }
    // Starts the controller with a pty as its programming port, inside the
    // namespace when one is named; the node number it answers with.
    bool Start(const std::string& ns) {
        if (!serial.Open(root.Path("/dev/ttySP3"))) return false;
        fw.SetNetNamespace(ns);
        if (!fw.Start() || !fw.WaitForOutput("main loop running", kStartMs)) return false;
        host = std::make_unique<LinkHost>(serial.Master());
        return host->NodeId(&node);
    }

    TempRoot root;
    LinkPty serial;
    FirmwareProcess fw;
    std::unique_ptr<LinkHost> host;
    u8 node = 0;
};

TEST_F(IdentitySystem, InItsOwnNamespaceTheDownloadedAddressGoesOnEth0) {
    NetNamespacePair ns;
    ASSERT_TRUE(ns.Create()) << ns.Error();
    ASSERT_TRUE(Start(ns.Controller())) << fw.Output();

    const u8 eth0[6] = {0x02, 0x50, 0x4C, 0x01, 0x02, 0x03}, eth1[6] = {0x02, 0x50, 0x4C, 0x01, 0x02, 0x04};
    ASSERT_EQ(host->Download(node, kArea, Image(eth0, eth1), 64), 0xA0);
    EXPECT_TRUE(WaitUntil(
        [&] { return ns.CtlIp("link show eth0").find("02:50:4c:01:02:03") != std::string::npos; }, kStartMs))
        << ns.CtlIp("link show eth0") << fw.Output();
    std::vector<u8> stored;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/TINYIMGE.BIN"), stored, 4096));
    EXPECT_EQ(stored, Image(eth0, eth1));
    EXPECT_EQ(FwGet("/sys/netif.log").find("hwaddr"), std::string::npos);
    EXPECT_EQ(Shell("ip -o link show").find("02:50:4c:01:02:03"), std::string::npos);  // not on the host
}

TEST_F(IdentitySystem, InTheHostNamespaceTheAddressIsRecordedAndAForeignImageRefused) {
    ASSERT_TRUE(Start("")) << fw.Output();
    const u8 eth0[6] = {0x02, 0x50, 0x4C, 0x0A, 0x0B, 0x0C}, eth1[6] = {0x02, 0x50, 0x4C, 0x0A, 0x0B, 0x0D};
    ASSERT_EQ(host->Download(node, kArea, Image(eth0, eth1), 64), 0xA0);
    ASSERT_TRUE(WaitUntil([] { return FwGet("/sys/netif.log").find("eth1 hwaddr") != std::string::npos; }, kStartMs));
    const std::string log = FwGet("/sys/netif.log");
    EXPECT_NE(log.find("eth0 hwaddr 02:50:4C:0A:0B:0C"), std::string::npos) << log;
    EXPECT_NE(log.find("eth1 hwaddr 02:50:4C:0A:0B:0D"), std::string::npos) << log;

    // Another maker's address is not stored, and the upload shows the stored image.
    const u8 other[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    host->Download(node, kArea, Image(other, other), 64);
    std::vector<u8> stored, up;
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/TINYIMGE.BIN"), stored, 4096));
    EXPECT_EQ(stored, Image(eth0, eth1));
    ASSERT_TRUE(host->Upload(node, kArea, &up));
    ASSERT_EQ(up.size(), kTinyImageBytes);
    EXPECT_EQ(std::vector<u8>(up.begin() + kTinyMac0, up.begin() + kTinyMac0 + 6),
              std::vector<u8>(eth0, eth0 + 6));
    EXPECT_EQ(Shell("ip -o link show").find("02:50:4c:0a:0b:0c"), std::string::npos);
}

}  // namespace
