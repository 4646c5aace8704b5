#include <filesystem>
#include <vector>
#include <fstream>
#include <sstream>
#include <string>

#include "core/plc_regs.h"
#include "email_mailbox.h"
#include "platform/fpga.h"
#include "testsupport/fw_media.h"
#include "io/ioapi.h"
#include "modem_fixture.h"
#include "remote/email.h"
#include "remote/msgcfg.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"

namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class EmailModemTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        savedSlot = io_init[1];
        io_init[1] = 0x6F0F;
        EtnEmail_Reset();
        SR_Put(5, 2);
        const u16 utc[6] = {0, 0, 12, 5, 3, 2021};
        for (int i = 0; i < 6; ++i) ESR_Put(20 + i, utc[i]);
    }
    void TearDown() override {
        peer.Stop();
        EtnEmail_Reset();
        SR_Put(5, 0);
        io_init[1] = savedSlot;
        MsgCfg_Store({});
        ModemTest::TearDown();
    }
    // The SMTP server on its port plus an offset; answers the configured port.
    u16 StartServer(const std::string& folder) {
        const u16 port = 2525;
        const int offset = NetFreePortOffset(port);
        const std::string log = root.Dir() + "/smtp.log";
        std::filesystem::create_directories(folder);
        EXPECT_TRUE(peer.Start("", std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR +
                                       "/tests/remote/smtp_server.py " + std::to_string(port + offset) + " " + folder +
                                       " >" + log + " 2>&1"));
        for (int i = 0; i < 1000 && Read(log).find("ready") == std::string::npos; ++i) poll(nullptr, 0, 10);
        EXPECT_NE(Read(log).find("ready"), std::string::npos) << Read(log);
        return static_cast<u16>(port + offset);
    }
    // Stores a block that sends the message through the module to the
    // server's port, sets its trigger, and brings the module up to idle.
    void StoreAndTrigger(u16 port, const MsgCfgMail& message) {
        MsgCfgBuilder b;
        b.contacts = {{"+15550001", 0, 1}};
        b.pin.clear();
        b.centre.clear();
        // The server's port as configured (no port offset in this test).
        b.mail.port = port;
        b.mail.flags = 0x01;
        b.mail.addresses = {{"ops@example.com", 0, 1}};
        b.mail.messages = {message};
        MsgCfg_Store(b.Build());
        u8 one = 1;
        PlcReg_Set(message.trigger, &one, 1);
        // Initialised and registered first; then the controller scan steps the client.
        ASSERT_TRUE(DriveCycle(*this, modem, clock, [&] { return at_status.letter == 'z' && at_status.signal == 19; },
                               20000, 500));
    }
    u16 savedSlot = 0;
    PeerProcess peer;
};

}  // namespace

TEST_F(EmailModemTest, MessageGoesThroughTheModuleSocket) {
    const std::string folder = root.Dir() + "/mail";
    const u16 port = StartServer(folder);
    ASSERT_NO_FATAL_FAILURE(
        StoreAndTrigger(port, {"through the module\r\n.\r\nend", "cellular", "", 1, 0, 0x8000 + 800, ""}));
    ASSERT_TRUE(DriveCycle(
        *this, modem, clock,
        [&] {
            EtnEmailScan(0);
            return std::filesystem::exists(folder + "/1.eml") && EtnEmail_SmtpState() == 29;
        },
        60000, 50))
        << std::hex << EtnEmail_Status() << " " << int(EtnEmail_SmtpState());
    EXPECT_NE(Read(folder + "/1.eml").find("through the module\r\n.\r\nend"), std::string::npos);
    EXPECT_NE(modem.SentData().find("MAIL FROM:<plc@example.com>"), std::string::npos);
}

// Through the module an attachment goes out in paced pieces of 342 bytes: 2 s
// before the first part, 0.8 s after each part header or piece, 1 s between
// posting a read and taking its bytes.
TEST_F(EmailModemTest, AttachmentPiecesArePacedOnTheControllersClock) {
    const std::string folder = root.Dir() + "/mail";
    const u16 port = StartServer(folder);
    EmailMailbox card;
    ASSERT_TRUE(card.InsertCard());
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>((i * 13 + 5) & 0xFF);
    ASSERT_TRUE(FwPut("/mnt/USB0/DATA.BIN", data));
    ASSERT_NO_FATAL_FAILURE(StoreAndTrigger(port, {"body end", "paced", "A:\\DATA.BIN", 1, 1, 0x8000 + 800, ""}));
    // The ticks at which the body, the part header and each piece of 342
    // bytes (six Base64 lines of 78 characters with their line ends) first
    // left through the module.
    const std::string header = "filename=\"DATA.BIN\"\r\n\r\n";
    const size_t thresholds[] = {1, 6 * 78 + 1, 12 * 78 + 1};
    std::vector<u32> at;
    ASSERT_TRUE(DriveCycle(
        *this, modem, clock,
        [&] {
            card.Serve();
            EtnEmailScan(0);
            const std::string sent = modem.SentData();
            if (at.empty() && sent.find("body end") != std::string::npos) at.push_back(FPGA_GetFrt());
            size_t h = sent.find(header);
            if (at.size() == 1 && h != std::string::npos) at.push_back(FPGA_GetFrt());
            while (at.size() >= 2 && at.size() < 5 && sent.size() - (h + header.size()) >= thresholds[at.size() - 2])
                at.push_back(FPGA_GetFrt());
            return std::filesystem::exists(folder + "/1.eml") && EtnEmail_SmtpState() == 29;
        },
        200000, 50))
        << std::hex << EtnEmail_Status() << " " << int(EtnEmail_SmtpState());
    ASSERT_EQ(at.size(), 5u);
    EXPECT_GE(at[1] - at[0], 20000u);  // 2 s before the first part
    for (int k = 1; k < 4; ++k)
        EXPECT_GE(at[k + 1] - at[k], 18000u) << k;  // 0.8 s pause, 1 s for the read
    EXPECT_LT(at[4] - at[0], 100000u);  // and not much more than that
    const std::string parsed = Shell("/usr/bin/python3 -c \"import email,sys; m=email.message_from_binary_file(open(sys.argv[1],'rb'));"
                                     "[sys.stdout.buffer.write(p.get_payload(decode=True)) for p in m.walk() if p.get_filename()]\" " +
                                     folder + "/1.eml");
    EXPECT_EQ(parsed, data);
}
