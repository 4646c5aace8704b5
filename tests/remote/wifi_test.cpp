// Wi-Fi control on the hand-advanced clock: the Wi-Fi record in the I/O
// configuration, the adapter's identifier files and the access-point status
// file under the test's root, the station statistics in the root's
// /proc/net/wireless, and the master-script pipe read by the test.
#include "remote/wifi.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "link/command.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "platform/masterscript.h"
#include "platform/root.h"
#include "remote/wifiStatus.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 R(u32 n) { return 0x8000 + 16 * (n - 1); }
constexpr u32 kStatusReg = R(500), kTrigger = 0x0000 + 7;  // %I8 as the update trigger

void PutText(std::vector<u8>& c, u32 offset, const std::string& text) {
    std::memset(&c[offset], 0, 32);
    std::memcpy(&c[offset], text.data(), std::min<size_t>(text.size(), 32));
}

// The Wi-Fi record with its constants.
struct Record {
    std::vector<u8> c = std::vector<u8>(kWifiConfBytes, 0);
    Record(u8 mode) {
        c[kWcMode] = mode;
        PutLe32(&c[kWcStatusReg], kStatusReg);
        PutText(c, kWcApSsid, "Plant_Floor_01");
        PutText(c, kWcApPass, "secret_pass");
        PutText(c, kWcStSsid, "office");
        PutText(c, kWcStPass, "station pass");
        c[kWcSecurity] = 1;
        PutLe16(&c[kWcChannel], 2);
    }
};

class Wifi : public ::testing::Test {
protected:
    void SetUp() override {
        Root_Init();
        Wifi_Reset();
        Dpr_Configuration[2] = EnetPortConfig{};
        Dpr_Configuration[3] = EnetPortConfig{};
        EnetIp[2] = NxIp{};
        ASSERT_EQ(pipe2(pipe_, O_CLOEXEC | O_NONBLOCK), 0);
        MasterFilePresent = 0;
        MasterScriptPipefd = pipe_[1];
        Adapter(0x1286, 0x204A);
        std::filesystem::create_directories(root_.Path("/opt/varnok/wifi"));
    }
    void TearDown() override {
        MasterScriptPipefd = -1;
        MasterFilePresent = -1;
        close(pipe_[0]);
        close(pipe_[1]);
        Wifi_Reset();
        Cmd_Downloading = 0;
    }
    void Adapter(int vendor, int product) {
        std::filesystem::create_directories(root_.Path("/sys/devices/platform/fsl-ehci.0/usb2/2-1"));
        char v[16], p[16];
        std::snprintf(v, sizeof v, "%04x\n", vendor);
        std::snprintf(p, sizeof p, "%04x\n", product);
        std::ofstream(root_.Path(kWifiVendorPath)) << v;
        std::ofstream(root_.Path(kWifiProductPath)) << p;
    }
    void Load(const Record& r) {
        std::vector<u8> record(4 + kWifiConfBytes);
        PutLe16(&record[0], kWifiRecordId);
        PutLe16(&record[2], static_cast<u16>(kWifiConfBytes));
        std::copy(r.c.begin(), r.c.end(), record.begin() + 4);
        NetLoadIoConfig(NetIoConfig({}, {}, record));
    }
    void Start(const Record& r) {
        Load(r);
        WiFi_Init(&wifiCntFlw);
    }
    void Scan(int n = 1) {
        for (int k = 0; k < n; ++k) WiFi_Scan(&wifiCntFlw);
    }
    // Advances ms in 100-ms steps with a scan after each.
    void Run(u32 ms) {
        for (u32 t = 0; t < ms; t += 100) {
            clock_.AdvanceMs(100);
            Scan();
        }
    }
    // The command lines written since the last call.
    std::vector<std::string> Lines() {
        std::string all;
        char b[4096];
        for (ssize_t n; (n = read(pipe_[0], b, sizeof b)) > 0;) all.append(b, static_cast<size_t>(n));
        std::vector<std::string> out;
        for (size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
            out.push_back(all.substr(at, nl - at));
        return out;
    }
    u16 Status() {
        u16 v = 0;
        PlcReg_Get(&v, kStatusReg, 16);
        return v;
    }
    void ApStatusFile(const std::string& text) { std::ofstream(root_.Path(kWifiApStatus)) << text; }
    void Wireless(int link, int level) {
        std::filesystem::create_directories(root_.Path("/proc/net"));
        std::ofstream(root_.Path("/proc/net/wireless"))
            << "Inter-| sta-|   Quality        |\n face | tus | link level noise |\n mlan0: 0000   " << link << ".  "
            << level << ".  -256        0      0      0      0      0        0\n";
        watchdogStModeStatus();
    }

    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
    int pipe_[2] = {-1, -1};
};

TEST_F(Wifi, AccessPointStartsAndReportsUp) {
    Record r(1);
    r.c[kWcCountrySel] = 1;
    r.c[kWcApOption] = 0;
    PutText(r.c, kWcCountry, "DEU");
    Start(r);
    Scan(2);
    EXPECT_EQ(Lines(), std::vector<std::string>{
                           "/opt/varnok/wifi/wifi.sh apMode 'Plant_Floor_01' 'secret_pass' 192.168.254.128 2 6 0 'DE'"});
    EXPECT_EQ(Dpr_Configuration[3].ip, kWifiDefaultApAddress);
    EXPECT_EQ(Status() & kWifiPresent, kWifiPresent);
    EXPECT_EQ(wifiCntFlw.apStarting, 1);
    // The status file is looked at every 2 s, not sooner.
    ApStatusFile("0\n");
    Scan();  // starts the poll
    clock_.AdvanceTicks(kWifiApPollTicks);
    Scan();
    EXPECT_EQ(Status() & kWifiApUp, 0);
    clock_.AdvanceTicks(1);
    Scan(2);
    EXPECT_EQ(Status() & kWifiApUp, kWifiApUp);
    EXPECT_EQ(IpAddr3Change, 1);
    EXPECT_EQ(wifiCntFlw.apStarting, 0);
    EXPECT_FALSE(std::filesystem::exists(root_.Path(kWifiApStatus)));
}

TEST_F(Wifi, FiveFailuresLeaveTheRadioOff) {
    Record r(1);
    PutLe16(&r.c[kWcChannel], 4);  // no channel: 0
    r.c[kWcSecurity] = 0;          // security code 32
    Start(r);
    Scan(2);
    EXPECT_EQ(Lines(), std::vector<std::string>{
                           "/opt/varnok/wifi/wifi.sh apMode 'Plant_Floor_01' 'secret_pass' 192.168.254.128 32 0 1 'US'"});
    // No report within 20 s: a failure, the radio off for 3 s, a new start.
    Run(19000);
    EXPECT_EQ(Wifi_ApFailures(), 0);
    Run(3500);
    EXPECT_EQ(Wifi_ApFailures(), 1);
    EXPECT_EQ(Status() >> 12, 1);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "/opt/varnok/wifi/wifi.sh disable");
    Run(3500);
    lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find("/opt/varnok/wifi/wifi.sh apMode "), 0u);
    // A status file reporting failure counts at once, on the next poll.
    ApStatusFile("3");
    Run(2500);
    EXPECT_EQ(Wifi_ApFailures(), 2);
    for (int k = 0; k < 3; ++k) Run(30000);
    EXPECT_EQ(Wifi_ApFailures(), 5);
    EXPECT_EQ(Status() >> 12, 5);
    Lines();
    Run(60000);
    EXPECT_EQ(Lines(), std::vector<std::string>{});  // stays off
    EXPECT_EQ(wifiCntFlw.applied, kWifiModeOff);
}

TEST_F(Wifi, AccessPointCredentials) {
    struct Case {
        const char* ssid;
        const char* pass;
        u16 bits;             // status bits 4-6
        const char* sentSsid, *sentPass;
    } cases[] = {
        {"abc", "longenough", kWifiSsidInvalid | kWifiDefaults, "MirtelZQA", "MirtelZQA"},
        {"has blank", "longenough", kWifiSsidInvalid | kWifiDefaults, "MirtelZQA", "MirtelZQA"},
        {"Valid_Name", "seven77", kWifiPassInvalid | kWifiDefaults, "MirtelZQA", "MirtelZQA"},
        {"ABCDEFGHIJKLMNO_", "abcdefghijklmno_", 0, "ABCDEFGHIJKLMNO_", "abcdefghijklmno_"},
        {"ABCDEFGHIJKLMNOPQ", "pass~!@#$%^*_+-=.", 0, "ABCDEFGHIJKLMNOP", "pass~!@#$%^*_+-="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ssid);
        Wifi_Reset();
        Lines();
        Record r(1);
        PutText(r.c, kWcApSsid, c.ssid);
        PutText(r.c, kWcApPass, c.pass);
        Start(r);
        Scan(2);
        EXPECT_EQ(Status() & 0x70, c.bits);
        std::vector<std::string> lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::string("/opt/varnok/wifi/wifi.sh apMode '") + c.sentSsid + "' '" + c.sentPass +
                                "' 192.168.254.128 2 6 1 'US'");
        if (c.bits != 0) {  // written back into the constants
            EXPECT_STREQ(reinterpret_cast<const char*>(Wifi_Conf() + kWcApSsid), "MirtelZQA");
        }
    }
    // From registers: the defaults are written back there.
    Wifi_Reset();
    Lines();
    Record r(1);
    PutLe16(&r.c[kWcSource], kWsApSsid | kWsApPass);
    PutLe32(&r.c[kWcApSsidReg], R(10));
    PutLe32(&r.c[kWcApPassReg], R(20));
    char ssid[16] = "x y", pass[16] = "validpass";
    PlcReg_Set(R(10), ssid, 128);
    PlcReg_Set(R(20), pass, 128);
    Start(r);
    Scan(2);
    char back[17] = {};
    PlcReg_Get(back, R(10), 128);
    EXPECT_STREQ(back, "MirtelZQA");
    PlcReg_Get(back, R(20), 128);
    EXPECT_STREQ(back, "MirtelZQA");
}

// Station texts come from registers that peers may write: every text must
// reach the script exactly as written, and nothing else may run.
TEST_F(Wifi, HostileStationTextsReachTheScriptLiterally) {
    const std::string script = root_.Path(kWifiScript);
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n";
    const std::string canary = root_.Path("/pwned");
    const std::string texts[] = {"two words", "it's \"quoted\"", "a;touch " + canary, "$(touch " + canary + ")",
                                 "*", "`touch " + canary + "`", "back\\slash", "~!@#$%^&"};
    for (const std::string& ssid : texts) {
        SCOPED_TRACE(ssid);
        Wifi_Reset();
        Lines();
        Record r(2);
        PutLe16(&r.c[kWcSource], kWsStSsid | kWsStPass);
        PutLe32(&r.c[kWcStSsidReg], R(30));
        PutLe32(&r.c[kWcStPassReg], R(50));
        char a[32] = {}, b[32] = {};
        std::memcpy(a, ssid.data(), std::min<size_t>(ssid.size(), 32));
        std::memcpy(b, "p'a ss", 6);
        PlcReg_Set(R(30), a, 256);
        PlcReg_Set(R(50), b, 256);
        Start(r);
        Scan(2);
        std::vector<std::string> lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        std::string line = lines[0];
        ASSERT_EQ(line.find(kWifiScript), 0u);
        line.replace(0, std::strlen(kWifiScript), "sh '" + script + "'");
        std::ofstream(root_.Path("/line.sh")) << line << "\n";
        std::string out = Shell("cd '" + root_.Dir() + "' && /bin/sh line.sh");
        EXPECT_EQ(out, "[stMode]\n[" + ssid.substr(0, 32) + "]\n[p'a ss]\n");
        EXPECT_FALSE(std::filesystem::exists(canary));
    }
    // A control character is refused: the station is not started.
    Wifi_Reset();
    Lines();
    Record r(2);
    PutText(r.c, kWcStSsid, "line\nbreak");
    Start(r);
    Scan(2);
    EXPECT_EQ(Lines(), std::vector<std::string>{"/opt/varnok/wifi/wifi.sh disable"});
    EXPECT_EQ(Status() & kWifiSsidInvalid, kWifiSsidInvalid);
}

TEST_F(Wifi, StationDelaysClassesAndRenewal) {
    Start(Record(2));
    Scan(2);
    EXPECT_EQ(Lines(), std::vector<std::string>{"/opt/varnok/wifi/wifi.sh stMode 'office' 'station pass'"});
    EXPECT_EQ(wifiCntFlw.stState, 2);
    // 10 s before the link monitor, which then looks every 5 s.
    Wireless(70, -60);
    Run(10000);
    EXPECT_EQ(Status() & kWifiStConnected, 0);
    Run(200);  // the delay ends, the monitor's timer starts
    Run(4900);
    EXPECT_EQ(Status() & kWifiStConnected, 0);
    EXPECT_EQ(wifiCntFlw.stState, 2);
    EnetIp[2].address = 0x0A010105;
    Run(200);
    EXPECT_EQ(Status() & kWifiStConnected, kWifiStConnected);
    EXPECT_EQ((Status() >> 8) & 7, kWifiClassGood);
    EXPECT_EQ(Dpr_Configuration[2].ip, 0x0A010105u);
    EXPECT_EQ(IpAddr2Change, 1);
    struct {
        int level;
        u16 cls;
    } classes[] = {{-20, kWifiClassExcellent}, {-67, kWifiClassGood}, {-80, kWifiClassFair}, {-90, kWifiClassPoor}};
    for (const auto& c : classes) {
        Wireless(0, c.level);
        Run(5300);
        EXPECT_EQ((Status() >> 8) & 7, c.cls) << c.level;
    }
    // Link lost: address cleared, renewal asked when the link returns.
    Wireless(0, 0);
    Run(5300);
    EXPECT_EQ(Status() & kWifiStConnected, 0);
    EXPECT_EQ((Status() >> 8) & 7, kWifiClassPoor);
    EXPECT_EQ(Dpr_Configuration[2].ip, 0u);
    Lines();
    Wireless(50, -50);
    Run(5300);
    EXPECT_EQ(Lines(), std::vector<std::string>{"/root/bin/renew_udhcpc.sh"});
}

TEST_F(Wifi, AdapterRemovalTriggerAndDownloadRestartTheRadio) {
    Record r(1);
    PutLe16(&r.c[kWcSource], kWsChannel);
    PutLe32(&r.c[kWcChannelReg], R(60));
    PutLe32(&r.c[kWcUpdateReg], R(61));
    u16 v = 1;
    PlcReg_Set(R(60), &v, 16);
    Start(r);
    Scan(2);
    ASSERT_EQ(Lines().size(), 1u);
    ApStatusFile("0");
    Run(2500);
    ASSERT_EQ(Status() & kWifiApUp, kWifiApUp);
    // The update trigger with a changed register: off, then on with it.
    v = 3;
    PlcReg_Set(R(60), &v, 16);
    const u8 one = 1;
    PlcReg_Set(R(61), &one, 1);
    Run(4000);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "/opt/varnok/wifi/wifi.sh disable");
    EXPECT_NE(lines[1].find(" 2 11 1 'US'"), std::string::npos) << lines[1];
    u8 trigger = 1;
    PlcReg_Get(&trigger, R(61), 1);
    EXPECT_EQ(trigger, 0);
    // A new download with a changed record: off, then the new settings, once
    // the download has ended.
    Record changed = r;
    PutText(changed.c, kWcApSsid, "New_Network");
    Cmd_Downloading = 1;
    Load(changed);
    Run(1000);
    EXPECT_EQ(Lines(), std::vector<std::string>{});
    Cmd_Downloading = 0;
    Run(4000);
    lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "/opt/varnok/wifi/wifi.sh disable");
    EXPECT_NE(lines[1].find("apMode 'New_Network'"), std::string::npos) << lines[1];
    // The adapter goes: its bit clears, the radio goes off.
    ApStatusFile("0");
    Run(2500);
    EXPECT_EQ(Status() & kWifiPresent, kWifiPresent);
    std::filesystem::remove(root_.Path(kWifiVendorPath));
    Run(2000);
    EXPECT_EQ(Status() & kWifiPresent, 0);
    EXPECT_EQ(Lines(), std::vector<std::string>{"/opt/varnok/wifi/wifi.sh disable"});
}

}  // namespace
