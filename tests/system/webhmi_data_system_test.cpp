// System test: the real executable's web-HMI server answers the JSON data
// protocol to an independent Python client (Debian's /usr/bin/python3, the
// session secret enciphered by openssl pkeyutl) on a controller whose clock
// the client advances with the board tool; %ESR17 bit 4 follows its logins.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

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

constexpr int kStartMs = 60000;
constexpr u32 kEsr17Bit4 = 0x10030103;

TEST(WebHmiDataSystem, PythonClientReadsWritesSubscribesAndPublishes) {
    ASSERT_EQ(access("/usr/bin/python3", X_OK), 0) << "python3 is missing: scripts/setup.sh installs it";
    ASSERT_EQ(access("/usr/bin/openssl", X_OK), 0) << "openssl is missing: scripts/setup.sh installs it";
    TempRoot root;
    const int offset = NetFreePortOffset(80);
    const int port = 80 + offset;
    FirmwareProcess fw;
    fw.SetEnv("PLC_PORT_OFFSET", std::to_string(offset));
    LinkPty serial;
    ASSERT_TRUE(serial.Open(root.Path("/dev/ttySP3")));
    LinkHost host(serial.Master());
    char digest[33];
    const std::string text = "op:darTU:secret";
    Md5_HexOf(text.data(), static_cast<u32>(text.size()), digest);
    ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/index.htm", "home"));
    ASSERT_TRUE(FwPut("/mnt/USB0/darTU/config/security.cfg",
                      "darTU\r\nop;" + std::string(digest) + ";Num::1;Right3\r\n"));
    ASSERT_TRUE(Fx_InsertMedium(0));

    BoardClock clock;
    ASSERT_TRUE(fw.Start());
    auto listening = [&] {
        int fd = ConnectLoopback(port);
        if (fd >= 0) close(fd);
        return fd >= 0;
    };
    // Interface 0 takes its address after start-up, which restarts the
    // server once: the client begins after that.
    ASSERT_TRUE(clock.AdvanceUntil(listening, 60000, 20)) << fw.Output();
    ASSERT_TRUE(clock.Advance(10000, 100));
    ASSERT_TRUE(clock.AdvanceUntil(listening, 60000, 20)) << fw.Output();

    const std::string out = Shell("timeout 600 /usr/bin/python3 '" + std::string(PLC_SOURCE_DIR) +
                                  "/tests/system/webhmi_client.py' " + std::to_string(port) + " '" + root.Dir() +
                                  "' '" + std::string(PLC_BIN_DIR) + "/plcboard' 2>&1; echo \"exit=$?\"");
    EXPECT_NE(out.find("\ndone\nexit=0"), std::string::npos) << out << "\n" << fw.Output();

    // Every session of the client has ended: nobody is logged in.
    u8 node = 0;
    ASSERT_TRUE(host.NodeId(&node));
    LinkHost::Reply r = host.ReadRegs(node, kEsr17Bit4, 1);
    ASSERT_TRUE(r.frame && !r.data.empty());
    EXPECT_EQ(r.data[0], 0);
    fw.Signal(SIGTERM);
    EXPECT_TRUE(clock.AdvanceToExit(fw));
}

}  // namespace
