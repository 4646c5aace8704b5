// System test of the Wi-Fi control: the real executable in a network
// namespace of the test's own, with the adapter's identifier files under its
// root, the master script present (its command lines are recorded) and a
// Wi-Fi record asking for an access point. The test plays the Wi-Fi script:
// it reads the recorded commands and writes the access-point status file.
// The controller's clock is driven by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "remote/wifi.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/temp_root.h"

namespace {

class WifiSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ns_.Create()) << ns_.Error();
        {
            FirmwareProcess first;
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(clock_.AdvanceToOutput(first, "main loop running")) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(clock_.AdvanceToExit(first)) << first.Output();
        }
        std::vector<u8> record(4 + kWifiConfBytes, 0);
        PutLe16(&record[0], kWifiRecordId);
        PutLe16(&record[2], static_cast<u16>(kWifiConfBytes));
        u8* c = &record[4];
        c[kWcMode] = 1;
        c[kWcSecurity] = 1;
        PutLe16(c + kWcChannel, 3);
        std::memcpy(c + kWcApSsid, "Line 4 $(ssid)", 14);  // invalid: the defaults go
        std::memcpy(c + kWcApPass, "passphrase_1", 12);
        NetStreamBuilder eth0(NetAddr(10, 9, 0, 2), NetAddr(255, 255, 255, 0));
        eth0.Services(0, 0);
        ASSERT_TRUE(NetWriteConfigPgm(root_.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build(), {}, record)));
        ASSERT_TRUE(File_WriteAtomic(root_.Path("/opt/varnok/MasterScript.sh"), "#!/bin/sh\n", 10));
        std::filesystem::create_directories(root_.Path("/opt/varnok/wifi"));
        std::filesystem::create_directories(root_.Path("/sys/devices/platform/fsl-ehci.0/usb2/2-1"));
        std::ofstream(root_.Path(kWifiVendorPath)) << "1286\n";
        std::ofstream(root_.Path(kWifiProductPath)) << "2049\n";
        fw_.SetNetNamespace(ns_.Controller());
        ASSERT_TRUE(fw_.Start());
        ASSERT_TRUE(clock_.AdvanceToOutput(fw_, "main loop running")) << fw_.Output();
    }
    void TearDown() override {
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            clock_.AdvanceToExit(fw_);
        }
        ns_.Remove();
    }
    // The Wi-Fi script's lines recorded so far.
    std::vector<std::string> WifiLines() {
        std::vector<u8> log;
        File_ReadAll(root_.Path("/opt/varnok/MasterScript.log"), log, 1u << 20);
        std::vector<std::string> out;
        std::string text(log.begin(), log.end());
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            if (text.compare(at, std::strlen(kWifiScript), kWifiScript) == 0) out.push_back(text.substr(at, nl - at));
        return out;
    }
    bool LinesReach(size_t n, u64 maxMs) {
        return clock_.AdvanceUntil([&] { return WifiLines().size() >= n; }, maxMs, 100);
    }

    TempRoot root_;
    BoardClock clock_;
    NetNamespacePair ns_;
    FirmwareProcess fw_;
};

TEST_F(WifiSystem, AccessPointStartRetryAndAdapterRemoval) {
    // Without a Wi-Fi stream the access point's settings are eth0's.
    const std::string ap = "/opt/varnok/wifi/wifi.sh apMode 'MirtelZQA' 'MirtelZQA' 10.9.0.2 2 11 1 'US'";
    ASSERT_TRUE(LinesReach(1, 5000)) << fw_.Output();
    EXPECT_EQ(WifiLines()[0], ap);
    // No status within 20 s: off, and started again.
    ASSERT_TRUE(LinesReach(3, 30000));
    std::vector<std::string> lines = WifiLines();
    EXPECT_EQ(lines[1], "/opt/varnok/wifi/wifi.sh disable");
    EXPECT_EQ(lines[2], ap);
    EXPECT_GE(clock_.ElapsedMs(), 20000u);
    // The script reports the access point up; then the adapter goes.
    std::ofstream(root_.Path(kWifiApStatus)) << "0\n";
    ASSERT_TRUE(clock_.AdvanceUntil([&] { return !std::filesystem::exists(root_.Path(kWifiApStatus)); }, 5000, 100));
    ASSERT_TRUE(clock_.Advance(3000, 100));
    EXPECT_EQ(WifiLines().size(), 3u);  // up: nothing more
    std::filesystem::remove(root_.Path(kWifiVendorPath));
    ASSERT_TRUE(LinesReach(4, 5000));
    EXPECT_EQ(WifiLines()[3], "/opt/varnok/wifi/wifi.sh disable");
}

}  // namespace
