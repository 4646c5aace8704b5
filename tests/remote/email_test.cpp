#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "email_mailbox.h"
#include "platform/fileio.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "remote/email.h"
#include "remote/msgcfg.h"
#include "testsupport/manual_clock.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/fw_media.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 Reg(u32 byte) { return 0x8000 + byte * 8; }
constexpr u32 kTrigger = 100, kStatus = 500, kValue = 520;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

u8 Bit(u32 address) {
    u8 b = 0;
    PlcReg_Get(&b, address, 1);
    return b;
}

u32 StatusRegister() {
    u32 v = 0;
    PlcReg_Get(&v, Reg(kStatus), 32);
    return v;
}

class EmailTest : public ::testing::Test {
protected:
    void Open(u16 configuredPort) {
        port_ = configuredPort;
        offset_ = NetFreePortOffset(configuredPort);
        setenv("PLC_PORT_OFFSET", std::to_string(offset_).c_str(), 1);
        Root_Init();
        EtnEmail_Reset();
        SR_Put(5, 2);
        // The clock code's UTC record: 2021-03-05 12:00:00.
        const u16 utc[6] = {0, 0, 12, 5, 3, 2021};
        for (int i = 0; i < 6; ++i) ESR_Put(20 + i, utc[i]);
        folder_ = root_.Dir() + "/mail";
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        peer_.Stop();
        EtnEmail_Reset();
        MsgCfg_Store({});
        SR_Put(5, 0);
        unsetenv("PLC_PORT_OFFSET");
        Root_Init();
    }
    // The server on the configured port plus the offset; with TLS it
    // requires STARTTLS and AUTH LOGIN as user/secret.
    void StartServer(bool tls, const std::string& netns = "", const std::string& host = "127.0.0.1") {
        std::string args = host + ":" + std::to_string(port_ + offset_) + " " + folder_;
        if (tls) {
            std::string cert = root_.Dir() + "/cert.pem", key = root_.Dir() + "/key.pem";
            int status = 0;
            std::string out = Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                                        " -days 2 -subj /CN=127.0.0.1 2>&1",
                                    &status);
            ASSERT_EQ(status, 0) << out;
            args += " " + cert + " " + key + " user secret";
        }
        log_ = root_.Dir() + "/smtp.log";
        ASSERT_TRUE(peer_.Start(netns, std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR +
                                        "/tests/remote/smtp_server.py " + args + " >" + log_ + " 2>&1"));
        for (int i = 0; i < 1000 && Read(log_).find("ready") == std::string::npos; ++i) poll(nullptr, 0, 10);
        ASSERT_NE(Read(log_).find("ready"), std::string::npos) << "python3-aiosmtpd did not start: " << Read(log_);
    }
    // The card in drive A: for attachments.
    void Card() {
        ASSERT_TRUE(mailbox_.InsertCard());
        card_ = true;
    }
    // Steps the client; the clock moves 1 ms per quiet pass.
    bool Drive(const std::function<bool()>& done, int passes = 60000) {
        for (int i = 0; i < passes; ++i) {
            if (card_) mailbox_.Serve();
            EtnEmailScan(1);
            if (done()) return true;
            std::vector<pollfd> fds;
            EtnEmail_Descriptors(fds);
            if (fds.empty() || poll(fds.data(), fds.size(), 5) == 0) clock_.AdvanceMs(1);
        }
        return false;
    }
    bool Mailed(int n) { return std::filesystem::exists(folder_ + "/" + std::to_string(n) + ".eml"); }
    std::string Mail(int n) { return Read(folder_ + "/" + std::to_string(n) + ".eml"); }
    // Fields of a stored message as Python's e-mail parser reads them.
    std::string Parsed(int n) {
        return Shell("/usr/bin/python3 -c \"import email,sys; m=email.message_from_binary_file(open(sys.argv[1],'rb'));"
                     "print(m['From']); print(' '.join(m['To'].split())); print(m['Subject']); "
                     "print(email.utils.parsedate_to_datetime(m['Date']).isoformat())\" " +
                     folder_ + "/" + std::to_string(n) + ".eml 2>&1");
    }

    MsgCfgBuilder Config(u16 port) {
        MsgCfgBuilder b;
        b.pin.clear();
        b.centre.clear();
        b.gsm.size = 0;
        b.mail.port = port;
        b.mail.statusRegister = Reg(kStatus);
        b.mail.addresses = {{"ops@example.com", 0, 1}, {"<skipped>", 0, 1}, {"boss@example.com", 0, 1},
                            {"other@example.com", 0, 2}};
        b.mail.items = {{Reg(kValue), 16, 4, 5, 0, 3}};
        return b;
    }
    // Port 587 with AUTH LOGIN as "user".
    MsgCfgBuilder LoginConfig(const std::string& password) {
        MsgCfgBuilder b = Config(587);
        b.mail.user = "user";
        b.mail.password = password;
        b.mail.login = 1;
        return b;
    }
    void Trigger(u32 bit = Reg(kTrigger)) {
        u8 one = 1;
        PlcReg_Set(bit, &one, 1);
    }

    TempRoot root_;
    ManualClock clock_;
    PeerProcess peer_;
    u16 port_ = 0;
    int offset_ = 0;
    std::string folder_, log_;
    bool card_ = false;
    EmailMailbox mailbox_;
};

}  // namespace

TEST(SmtpReplies, WholeRepliesOnly) {
    struct Case {
        const char* bytes;
        int code;
        u32 used;
    } cases[] = {
        {"250 OK\r\n", 250, 8},
        {"250-first\r\n250-second\r\n250 last\r\nnext", 250, 33},
        {"250-first\r\n250-sec", 0, 0},
        {"25", 0, 0},
        {"", 0, 0},
        {"220\r\n", 220, 5},
        {"250-a\r\n354 b\r\n", -1, 0},
        {"hello\r\n", -1, 0},
        {"250+x\r\n", -1, 0},
        {"550 5.1.1 no\n", 550, 13},
    };
    for (const Case& c : cases) {
        u32 used = 0;
        EXPECT_EQ(Smtp_ReadReply(c.bytes, static_cast<u32>(std::strlen(c.bytes)), &used), c.code) << c.bytes;
        if (c.code > 0) EXPECT_EQ(used, c.used) << c.bytes;
    }
}

TEST(SmtpReplies, DotStuffingAndBase64) {
    std::string out;
    const std::string body = ".first\r\nmid\n.\r\nend";
    Smtp_DotStuff(body.data(), static_cast<u32>(body.size()), true, out);
    EXPECT_EQ(out, "..first\r\nmid\r\n..\r\nend");
    char b64[200];
    EXPECT_EQ(EtnEmailBase64Encd(reinterpret_cast<const u8*>("user"), 4, b64, false), 8u);
    EXPECT_STREQ(b64, "dXNlcg==");
    std::string long57(57 * 2, 'a');
    u32 n = EtnEmailBase64Encd(reinterpret_cast<const u8*>(long57.data()), static_cast<u32>(long57.size()), b64, true);
    EXPECT_EQ(n, 156u);
    EXPECT_EQ(std::string(b64 + 76, 2), "\r\n");
}

TEST_F(EmailTest, PlainMessageReachesTheServerWhole) {
    Open(2525);
    StartServer(false);
    MsgCfgBuilder b = Config(2525);
    std::string filler;
    while (filler.size() < 20000) filler += "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxy\r\n";
    b.mail.messages = {{"Level xx.xx m\r\n.\r\n.hidden\r\nQUIT\r\n" + filler + "END", "Tank report", "", 1, 0,
                        Reg(kTrigger), "6:0:"}};
    MsgCfg_Store(b.Build());
    u16 level = 1234;
    PlcReg_Set(Reg(kValue), &level, 16);
    Trigger();
    ASSERT_TRUE(Drive([&] { return Mailed(1) && Bit(Reg(kTrigger)) == 0 && EtnEmail_SmtpState() == 29; }))
        << std::hex << EtnEmail_Status() << " " << Read(log_);
    std::string m = Mail(1);
    EXPECT_NE(m.find("Level 12.34 m\r\n.\r\n.hidden\r\nQUIT\r\n" + filler + "END"), std::string::npos);
    EXPECT_EQ(Parsed(1),
              "plc@example.com\nops@example.com, boss@example.com\nTank report\n2021-03-05T12:00:00+00:00\n");
    EXPECT_EQ(Read(folder_ + "/1.rcpt"), "ops@example.com\nboss@example.com");
    EXPECT_EQ(StatusRegister(), 0u);
}

TEST_F(EmailTest, RefusedSenderIsReportedAndRetriedLater) {
    Open(2525);
    StartServer(false);
    MsgCfgBuilder b = Config(2525);
    b.mail.sender = "reject@example.com";
    b.mail.messages = {{"body", "s", "", 1, 0, Reg(kTrigger), ""}};
    MsgCfg_Store(b.Build());
    Trigger();
    ASSERT_TRUE(Drive([&] { return StatusRegister() != 0; }));
    EXPECT_EQ(StatusRegister(), 0x2260D800u);  // 550, step 13 (MAIL FROM), error reply
    EXPECT_EQ(Bit(Reg(kTrigger)), 1);          // still pending
    EXPECT_FALSE(Mailed(1));
}

TEST_F(EmailTest, StartTlsAndLoginOnPort587) {
    Open(587);
    StartServer(true);
    MsgCfgBuilder b = LoginConfig("secret");
    b.mail.messages = {{"over TLS", "secure", "", 1, 0, Reg(kTrigger), ""}};
    MsgCfg_Store(b.Build());
    Trigger();
    ASSERT_TRUE(Drive([&] { return Mailed(1) && EtnEmail_SmtpState() == 29; }))
        << std::hex << EtnEmail_Status() << " " << Read(log_);
    EXPECT_NE(Mail(1).find("over TLS"), std::string::npos);
    EXPECT_EQ(StatusRegister(), 0u);
}

TEST_F(EmailTest, WrongPasswordIsRefused) {
    Open(587);
    StartServer(true);
    MsgCfgBuilder b = LoginConfig("wrong");
    b.mail.messages = {{"x", "y", "", 1, 0, Reg(kTrigger), ""}};
    MsgCfg_Store(b.Build());
    Trigger();
    ASSERT_TRUE(Drive([&] { return StatusRegister() != 0; })) << std::hex << EtnEmail_Status() << " " << int(EtnEmail_SmtpState()) << Read(log_);
    EXPECT_EQ(StatusRegister() >> 20, 535u) << std::hex << StatusRegister() << " " << Read(log_);
    EXPECT_EQ((StatusRegister() >> 12) & 0xFF, 12u);  // step of the password (state 19)
}

// The server and dnsmasq on their own interface in a namespace of the
// test's, on their real ports; the client's sockets live in the controller's.
TEST_F(EmailTest, ServerNamedByHostNameThroughDnsmasq) {
    Open(2525);
    unsetenv("PLC_PORT_OFFSET");
    Root_Init();
    offset_ = 0;
    NetNamespacePair ns;
    ASSERT_TRUE(ns.Create("10.9.0.1/24")) << ns.Error();
    ns.CtlIp("addr add 10.9.0.2/24 dev eth0");
    ns.CtlIp("link set eth0 up");
    StartServer(false, ns.Peer(), "10.9.0.1");
    const std::string pidFile = root_.Dir() + "/dnsmasq.pid", dnsLog = root_.Dir() + "/dnsmasq.log";
    int st = -1;
    const std::string out = ns.InPeer("dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address=10.9.0.1 "
                                      "--user=root --pid-file=" + pidFile + " --log-queries --log-facility=" + dnsLog +
                                          " --local=/test/ --host-record=smtp.plc.test,10.9.0.1 2>&1",
                                      &st);
    ASSERT_EQ(st, 0) << out;
    std::vector<u8> pid;
    ASSERT_TRUE(File_ReadAll(pidFile, pid, 64));
    const int dnsmasq = std::atoi(std::string(pid.begin(), pid.end()).c_str());
    ASSERT_GT(dnsmasq, 0);
    MsgCfgBuilder b = Config(2525);
    b.mail.flags = 0x02;
    b.mail.host = "smtp.plc.test";
    b.mail.dns = 0x0A090001;
    b.mail.messages = {{"found by name", "dns", "", 1, 0, Reg(kTrigger), ""}};
    MsgCfg_Store(b.Build());
    Trigger();
    {
        NetNamespaceStay stay(ns.Controller());
        ASSERT_TRUE(stay.Entered());
        ASSERT_TRUE(Drive([&] { return Mailed(1) && EtnEmail_SmtpState() == 29; }))
            << std::hex << EtnEmail_Status() << " " << Read(dnsLog) << Read(log_);
        EXPECT_NE(Read(dnsLog).find("smtp.plc.test"), std::string::npos);
        EXPECT_EQ(StatusRegister(), 0u);
        // A name the server does not know (a new block, taken when run mode is
        // entered again): no address, reported.
        b.mail.host = "nothing.test";
        MsgCfg_Store(b.Build());
        SR_Put(5, 0);
        EtnEmailScan(1);
        EtnEmailScan(1);
        SR_Put(5, 2);
        Trigger();
        ASSERT_TRUE(Drive([&] { return StatusRegister() != 0; }));
        EXPECT_NE(StatusRegister() & kMailDnsNoAddress, 0u) << std::hex << StatusRegister();
        EtnEmail_Reset();  // the client's sockets end inside
    }
    ::kill(dnsmasq, SIGTERM);
}

TEST_F(EmailTest, AttachmentsFromTheCard) {
    Open(2525);
    StartServer(false);
    Card();
    std::string binary;
    for (int i = 0; i < 3001; ++i) binary += static_cast<char>((i * 7 + 3) & 0xFF);
    ASSERT_TRUE(FwPut("/mnt/USB0/REPORT.CSV", "a,b\r\n1,2\r\n"));
    ASSERT_TRUE(FwPut("/mnt/USB0/LOG/OLD.TXT", "old"));
    ASSERT_TRUE(FwPut("/mnt/USB0/LOG/MID.BIN", binary));
    ASSERT_TRUE(FwPut("/mnt/USB0/LOG/NEW.TXT", "new"));
    std::filesystem::create_directories(root_.Path("/mnt/USB0/LOG/SUB"));
    using namespace std::chrono_literals;
    auto base = std::filesystem::file_time_type::clock::now() - 100h;
    std::filesystem::last_write_time(root_.Path("/mnt/USB0/LOG/OLD.TXT"), base);
    std::filesystem::last_write_time(root_.Path("/mnt/USB0/LOG/MID.BIN"), base + 30h);
    std::filesystem::last_write_time(root_.Path("/mnt/USB0/LOG/NEW.TXT"), base + 60h);
    MsgCfgBuilder b = Config(2525);
    b.mail.messages = {{"one file", "m1", "A:\\REPORT.CSV", 1, 1, Reg(kTrigger), ""},
                       {"folder", "m2", "A:\\LOG\\", 1, 2, Reg(kTrigger) + 1, ""},
                       {"oldest", "m3", "A:\\LOG\\", 1, 3, Reg(kTrigger) + 2, ""},
                       {"newest", "m4", "A:\\LOG\\", 1, 4, Reg(kTrigger) + 3, ""},
                       {"missing", "m5", "A:\\NONE.TXT", 1, 1, Reg(kTrigger) + 4, ""}};
    MsgCfg_Store(b.Build());
    for (u32 k = 0; k < 5; ++k) Trigger(Reg(kTrigger) + k);
    ASSERT_TRUE(Drive([&] { return Mailed(5) && EtnEmail_SmtpState() == 29; }, 120000))
        << std::hex << EtnEmail_Status() << " " << Read(log_);
    // Each message's parts as Python's e-mail parser reads them: subject, then
    // per attachment its name and content, and the text part.
    auto parts = [&](int n) {
        return Shell("/usr/bin/python3 -c \"import email,sys; m=email.message_from_binary_file(open(sys.argv[1],'rb'));"
                     "print(m['Subject']); [print(p.get_filename(), p.get_payload(decode=True).hex()) "
                     "for p in m.walk() if p.get_filename()]; "
                     "print([p.get_payload() for p in m.walk() if p.get_content_type()=='text/plain'][0].strip())\" " +
                     folder_ + "/" + std::to_string(n) + ".eml 2>&1");
    };
    auto hex = [](const std::string& bytes) {
        static const char* d = "0123456789abcdef";
        std::string h;
        for (unsigned char c : bytes) {
            h += d[c >> 4];
            h += d[c & 15];
        }
        return h;
    };
    std::string m1 = parts(1), m2 = parts(2), m3 = parts(3), m4 = parts(4), m5 = parts(5);
    EXPECT_EQ(m1, "m1\nREPORT.CSV " + hex("a,b\r\n1,2\r\n") + "\none file\n");
    // Every file of the folder (the sub-folder skipped), in listing order.
    EXPECT_NE(m2.find("OLD.TXT " + hex("old")), std::string::npos) << m2;
    EXPECT_NE(m2.find("MID.BIN " + hex(binary)), std::string::npos) << m2;
    EXPECT_NE(m2.find("NEW.TXT " + hex("new")), std::string::npos) << m2;
    EXPECT_EQ(std::count(m2.begin(), m2.end(), '\n'), 5);
    EXPECT_EQ(m3, "m3\nOLD.TXT " + hex("old") + "\noldest\n");
    EXPECT_EQ(m4, "m4\nNEW.TXT " + hex("new") + "\nnewest\n");
    EXPECT_NE(Mail(5).find("Attachment Error: 1000"), std::string::npos) << Mail(5);
}
