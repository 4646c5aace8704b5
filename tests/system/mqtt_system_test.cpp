// The real executable in run mode with an MQTT table: its payload plug-in
// (the tests' own, carried in the table) publishes a register that
// mosquitto_sub receives, a message from mosquitto_pub comes back through
// the register, the status register shows the table and the connection, and
// the will message reaches the subscriber when the controller is killed;
// the same over TLS with a client certificate and a password file. The
// controller runs on the clock the test drives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include <string>
#include <vector>

#include "core/nvram.h"
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

class MqttSystem : public ::testing::Test {
protected:
    void SetUp() override {
        FirmwareProcess first;  // lays down the defaults
        ASSERT_TRUE(first.Start());
        ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
        first.Signal(SIGTERM);
        ASSERT_TRUE(first.WaitExit(kStartMs));
    }
    void TearDown() override {
        if (fw_.Running()) {
            fw_.Signal(SIGKILL);
            EXPECT_TRUE(fw_.WaitExit(kStartMs));
        }
    }
    MqttConnectionSpec Spec() {
        MqttConnectionSpec s;
        s.pluginBase = lreg::R(1);
        s.port = static_cast<u16>(broker_.Port());
        s.image = MqttTestPluginImage();
        return s;
    }
    // Stores the table and a run-mode register image with the enable bit
    // set, and starts the controller on the test's clock.
    void StartWith(const MqttConnectionSpec& s) {
        ASSERT_FALSE(s.image.empty());
        // The MQTT table is the last block of config.pgm.
        std::vector<u8> config = LadderConfigFile();
        const std::vector<u8> body = MqttTableBody(kStatus, kEnable, {s});
        config.resize(config.size() - kNvHeaderBytes - 8);
        u8 header[kNvHeaderBytes] = {};
        PutLe16(header, crc16(body.data(), static_cast<u32>(body.size())));
        PutLe32(header + 4, static_cast<u32>(body.size()));
        config.insert(config.end(), header, header + kNvHeaderBytes);
        config.insert(config.end(), body.begin(), body.end());
        ASSERT_TRUE(File_WriteAtomic(root_.Path("/mnt/cfg/config.pgm"), config.data(), config.size()));
        std::vector<u8> image;
        ASSERT_TRUE(File_ReadAll(root_.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20));
        PutLe16(&image[8 + 2 * (127 + 5)], 2);  // run mode
        image[8 + (kEnable - 0x400) / 8] |= 1;
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        ASSERT_TRUE(File_WriteAtomic(root_.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
        ASSERT_TRUE(pty_.Open(root_.Dir() + "/dev/ttySP3"));
        clock_.emplace();
        ASSERT_TRUE(fw_.Start());
        ASSERT_TRUE(clock_->AdvanceToOutput(fw_, "main loop running")) << fw_.Output();
    }
    // count bits of the status register from bit offset at, read over the
    // programming link.
    u32 Status(u32 at, u8 bits) {
        LinkHost host(pty_.Master(), 0, [&] { clock_->Advance(1, 1); });
        u8 node = 0;
        EXPECT_TRUE(host.NodeId(&node));
        LinkHost::Reply r = host.ReadRegs(node, kStatus + at, bits);
        EXPECT_TRUE(r.frame);
        u32 v = 0;
        for (size_t k = 0; k < r.data.size() && k < 4; ++k) v |= static_cast<u32>(r.data[k]) << (8 * k);
        return v;
    }
    // The plug-in publishes %R1; a message on its subscription writes %R1.
    void RoundTrip(const MqttSubscriber& sub, const std::string& pubOptions = "") {
        ASSERT_TRUE(clock_->AdvanceUntil([&] { return sub.Has("plc/0/R1 0"); }, 60000)) << sub.Text() << fw_.Output();
        ASSERT_TRUE(clock_->AdvanceUntil(
            [&] {
                broker_.Publish("plc/0/s0/R1", "42", "-q 1 " + pubOptions);
                return sub.Has("plc/0/R1 42");
            },
            60000, 200))
            << sub.Text();
    }

    TempRoot root_;
    MqttBroker broker_;
    LinkPty pty_;
    std::optional<BoardClock> clock_;
    FirmwareProcess fw_;
};

TEST_F(MqttSystem, PluginPublishesReceivesAndTheWillOutlivesTheController) {
    ASSERT_TRUE(broker_.Start(root_.Dir()));
    MqttConnectionSpec s = Spec();
    s.clientId = "controller";
    s.will = true;
    s.willTopic = "plc/will";
    s.willPayload = "lost";
    s.willQos = 1;
    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker_, "plc/#", root_.Dir() + "/sub.txt"));
    StartWith(s);
    RoundTrip(sub);

    // Table found, read complete, connection 0 connected; its counts and the
    // totals.
    EXPECT_EQ(Status(0, 16) & 0x0B, 0x0Bu);
    EXPECT_GE(Status(80, 32), 2u);
    EXPECT_GE(Status(80 + 32, 32), 1u);
    EXPECT_EQ(Status(16, 32), Status(80, 32));

    // Killed, the controller leaves its will behind.
    fw_.Signal(SIGKILL);
    ASSERT_TRUE(fw_.WaitExit(kStartMs));
    EXPECT_TRUE(WaitUntil([&] { return sub.Has("plc/will lost"); }, kStartMs)) << sub.Text();
}

TEST_F(MqttSystem, TlsWithClientCertificateAndPassword) {
    const std::string d = root_.Dir() + "/pki";
    const std::string script =
        "set -e; mkdir -p " + d + "; cd " + d +
        "; openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca 2>/dev/null"
        "; printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext"
        "; for n in server client; do openssl req -newkey rsa:2048 -nodes -keyout $n.key -out $n.csr "
        "-subj /CN=127.0.0.1 2>/dev/null; openssl x509 -req -in $n.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out $n.pem -days 2 -extfile san.ext 2>/dev/null; done"
        "; mosquitto_passwd -b -c passwd plcuser plcpass";
    ASSERT_EQ(std::system(script.c_str()), 0);
    auto read = [&](const std::string& f) {
        std::vector<u8> v;
        EXPECT_TRUE(File_ReadAll(d + "/" + f, v, 1 << 20));
        return std::string(v.begin(), v.end());
    };
    ASSERT_TRUE(broker_.Start(root_.Dir(), "127.0.0.1", 0,
                              "cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d +
                                  "/server.key\nrequire_certificate true\npassword_file " + d + "/passwd\n"));
    MqttConnectionSpec s = Spec();
    s.tls = true;
    s.certData = 2;
    s.ca = read("ca.pem");
    s.cert = read("client.pem");
    s.key = read("client.key");
    s.user = "plcuser";
    s.password = "plcpass";
    const std::string tls = "--cafile " + d + "/ca.pem --cert " + d + "/client.pem --key " + d +
                            "/client.key -u plcuser -P plcpass";
    MqttSubscriber sub;
    ASSERT_TRUE(sub.Start(broker_, "plc/#", root_.Dir() + "/sub.txt", tls));
    StartWith(s);
    RoundTrip(sub, tls);
    struct stat st {};
    ASSERT_EQ(::stat(root_.Path("/mnt/USB0/0_dcl-key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
