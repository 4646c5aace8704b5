#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/plc_regs.h"
#include "io/ioapi.h"
#include "modem_fixture.h"
#include "remote/email.h"
#include "remote/msgcfg.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/net_config_builder.h"

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
    u16 savedSlot = 0;
    PeerProcess peer;
};

}  // namespace

TEST_F(EmailModemTest, MessageGoesThroughTheModuleSocket) {
    const u16 port = 2525;
    const int offset = NetFreePortOffset(port);
    const std::string folder = root.Dir() + "/mail", log = root.Dir() + "/smtp.log";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(peer.Start("", std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR + "/tests/remote/smtp_server.py " +
                                   std::to_string(port + offset) + " " + folder + " >" + log + " 2>&1"));
    for (int i = 0; i < 1000 && Read(log).find("ready") == std::string::npos; ++i) poll(nullptr, 0, 10);
    ASSERT_NE(Read(log).find("ready"), std::string::npos) << Read(log);

    MsgCfgBuilder b;
    b.contacts = {{"+15550001", 0, 1}};
    b.pin.clear();
    b.centre.clear();
    // The server's port as configured (no port offset in this test).
    b.mail.port = static_cast<u16>(port + offset);
    b.mail.flags = 0x01;
    b.mail.addresses = {{"ops@example.com", 0, 1}};
    b.mail.messages = {{"through the module\r\n.\r\nend", "cellular", "", 1, 0, 0x8000 + 800, ""}};
    MsgCfg_Store(b.Build());
    u8 one = 1;
    PlcReg_Set(0x8000 + 800, &one, 1);
    // Initialised and registered first; then the controller scan steps the client.
    ASSERT_TRUE(DriveCycle(*this, modem, clock, [&] { return at_status.letter == 'z' && at_status.signal == 19; },
                           20000, 500));
    ASSERT_TRUE(DriveCycle(
        *this, modem, clock,
        [&] {
            EtnEmailScan(0);
            return std::filesystem::exists(folder + "/1.eml") && EtnEmail_SmtpState() == 29;
        },
        60000, 50))
        << std::hex << EtnEmail_Status() << " " << int(EtnEmail_SmtpState()) << Read(log);
    EXPECT_NE(Read(folder + "/1.eml").find("through the module\r\n.\r\nend"), std::string::npos);
    EXPECT_NE(modem.SentData().find("MAIL FROM:<plc@example.com>"), std::string::npos);
}
