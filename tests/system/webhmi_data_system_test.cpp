// System tests: the real executable's web-HMI server answers the JSON data
// protocol on a controller whose clock the test advances with the board tool:
// to an independent Python client (Debian's /usr/bin/python3, the session
// secret enciphered by openssl pkeyutl), where %ESR17 bit 4 follows its
// logins, and to a test HMI page in headless Chromium.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "platform/fx_api.h"
#include "platform/md5.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/fw_media.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kEsr17Bit4 = 0x10030103;

// The controller with one web user, op:secret, on the clock the test drives.
class WebHmiDataSystem : public ::testing::Test {
protected:
    void SetUp() override {
        offset_ = NetFreePortOffset(80);
        port_ = 80 + offset_;
        fw_.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_));
        ASSERT_TRUE(serial_.Open(root_.Path("/dev/ttySP3")));
        host_ = std::make_unique<LinkHost>(serial_.Master());
        char digest[33];
        const std::string text = "op:darTU:secret";
        Md5_HexOf(text.data(), static_cast<u32>(text.size()), digest);
        ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/index.htm", "home"));
        ASSERT_TRUE(FwPut("/mnt/USB0/darTU/config/security.cfg",
                          "darTU\r\nop;" + std::string(digest) + ";Num::1;Right3\r\n"));
        ASSERT_TRUE(Fx_InsertMedium(0));
    }
    // Starts the controller and returns once serving is steady: interface 0
    // takes its address after start-up, which restarts a server that was
    // already listening.
    void StartServing() {
        ASSERT_TRUE(fw_.Start());
        auto listening = [&] {
            int fd = ConnectLoopback(port_);
            if (fd >= 0) close(fd);
            return fd >= 0;
        };
        ASSERT_TRUE(clock_.AdvanceUntil(listening, 60000, 20)) << fw_.Output();
        ASSERT_TRUE(clock_.Advance(10000, 100));
        ASSERT_TRUE(clock_.AdvanceUntil(listening, 60000, 20)) << fw_.Output();
    }
    void TearDown() override {
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            EXPECT_TRUE(clock_.AdvanceToExit(fw_));
        }
    }

    TempRoot root_;
    BoardClock clock_;
    FirmwareProcess fw_;
    LinkPty serial_;
    std::unique_ptr<LinkHost> host_;
    int offset_ = 0, port_ = 0;
};

TEST_F(WebHmiDataSystem, PythonClientReadsWritesSubscribesAndPublishes) {
    ASSERT_EQ(access("/usr/bin/python3", X_OK), 0) << "python3 is missing: scripts/setup.sh installs it";
    ASSERT_EQ(access("/usr/bin/openssl", X_OK), 0) << "openssl is missing: scripts/setup.sh installs it";
    StartServing();
    const std::string out = Shell("timeout 600 /usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) +
                                  "/tests/system/webhmi_client.py' " + std::to_string(port_) + " '" + root_.Dir() +
                                  "' '" + std::string(PLC_BIN_DIR) + "/plcboard' 2>&1; echo \"exit=$?\"");
    EXPECT_NE(out.find("\ndone\nexit=0"), std::string::npos) << out << "\n" << fw_.Output();

    // Every session of the client has ended: nobody is logged in.
    u8 node = 0;
    ASSERT_TRUE(host_->NodeId(&node));
    LinkHost::Reply r = host_->ReadRegs(node, kEsr17Bit4, 1);
    ASSERT_TRUE(r.frame && !r.data.empty());
    EXPECT_EQ(r.data[0], 0);
}

// A test HMI page on the card, its script working the JSON protocol in
// Debian's Chromium (BigInt RSA, MD5 of its own), driven by npm's
// playwright-core with the user's Digest credentials; mbpoll changes a
// subscribed register meanwhile, and the page follows the controller's
// seconds as the test moves its clock.
TEST_F(WebHmiDataSystem, BrowserPageWritesReadsAndFollowsSubscribedValues) {
    ASSERT_EQ(access("/usr/bin/chromium", X_OK), 0) << "chromium is missing: scripts/setup.sh installs it";
    ASSERT_EQ(access("/usr/bin/node", X_OK), 0) << "node is missing: scripts/setup.sh installs it";
    ASSERT_EQ(access("/usr/bin/mbpoll", X_OK), 0) << "mbpoll is missing: scripts/setup.sh installs it";
    const std::string peers = std::string(PLC_SOURCE_DIR) + "/tests/peers/node_modules";
    ASSERT_EQ(access((peers + "/playwright-core/package.json").c_str(), F_OK), 0)
        << "playwright-core is missing: scripts/setup.sh installs it";
    const std::string page = std::string(PLC_SOURCE_DIR) + "/tests/system/webhmi_page/";
    for (const char* name : {"hmi.htm", "hmi.js"}) {
        std::vector<u8> bytes;
        ASSERT_TRUE(File_ReadAll(page + name, bytes, 1u << 20)) << name;
        ASSERT_TRUE(FwPut(std::string("/mnt/USB0/darTU/wwwroot/") + name, std::string(bytes.begin(), bytes.end())));
    }
    // Modbus TCP on interface 0, the register web server off (bit 8 of the
    // services word), in run mode: a network configuration as the
    // programming software downloads it, into the config.pgm and register
    // image a first start leaves.
    {
        FirmwareProcess first;
        first.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_));
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(clock_.AdvanceToOutput(first, "main loop running")) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(clock_.AdvanceToExit(first));
    }
    NetStreamBuilder eth0(NetAddr(10, 1, 2, 3), NetAddr(255, 255, 255, 0));
    eth0.Services(1u << 8, NetAddr(10, 1, 2, 1)).Modbus(true, 0, 502, 0x1001C000 + 2000);
    ASSERT_TRUE(NetWriteConfigPgm(root_.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build())));
    std::vector<u8> image;
    ASSERT_TRUE(File_ReadAll(root_.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
    PutLe16(&image[8 + 2 * (127 + 5)], 2);
    PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
    ASSERT_TRUE(File_WriteAtomic(root_.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
    StartServing();
    // The Modbus server listens once interface 0 has its address.
    ASSERT_TRUE(clock_.AdvanceUntil(
        [&] {
            int fd = ConnectLoopback(502 + offset_);
            if (fd >= 0) close(fd);
            return fd >= 0;
        },
        60000, 20))
        << fw_.Output();
    const std::string out =
        Shell("cd '" + root_.Dir() + "' && HOME='" + root_.Dir() + "' NODE_PATH='" + peers + "' timeout 600 node '" +
              std::string(PLC_SOURCE_DIR) + "/tests/system/webhmi_browser.js' " + std::to_string(port_) + " " +
              std::to_string(502 + offset_) + " '" + root_.Dir() + "' '" + std::string(PLC_BIN_DIR) +
              "/plcboard' 2>&1; echo \"exit=$?\"");
    EXPECT_NE(out.find("\ndone\nexit=0"), std::string::npos) << out << "\n" << fw_.Output();
}

}  // namespace
