// The real firmware with the internal cellular module: the slot code set with
// the board tool, a messaging block stored beside the program, and the fake
// modem on the module's port. On the test's clock the controller initialises
// the module with the tables' command sequence, identifies it and reads its
// signal; a program's modem call on serial port 1 runs over the module's
// data socket to a socat echo.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "platform/reset.h"
#include "platform/supply.h"
#include "remote/cellport.h"
#include "testsupport/board_clock.h"
#include "testsupport/fake_modem.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/firmware_process.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/reg_image.h"
#include "testsupport/socat_pair.h"
#include "platform/fileio.h"

namespace {

constexpr int kStartMs = 30000;

class ModemSystem : public ::testing::Test {
protected:
    int Tool(const std::string& args) {
        std::string cmd = std::string(PLC_BIN_DIR) + "/plcio --root '" + root.Dir() + "' " + args + " > /dev/null";
        int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    // The program announces the messaging block that config.pgm carries;
    // words: register words of the stored image.
    // messaging: the block to store (a default with one contact when null);
    // eth0: a network stream for interface 0 (none when empty).
    void Prepare(const LadderBuilder& program = LadderBuilder().End(),
                 const std::vector<std::pair<u32, u16>>& words = {}, const MsgCfgBuilder* messaging = nullptr,
                 const std::vector<u8>& eth0 = {}) {
        std::filesystem::create_directories(root.Path("/mnt/cfg"));
        std::vector<u8> pgm = program.ProgramFile(kFeatSms);
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/ladder.pgm"), pgm.data(), pgm.size()));
        MsgCfgBuilder b;
        b.contacts = {{"+15550001", 0, 1}};
        b.pin = "1234";
        b.centre.clear();
        std::vector<u8> cfg = LadderConfigFile((messaging != nullptr ? *messaging : b).Build());
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/config.pgm"), cfg.data(), cfg.size()));
        if (!eth0.empty()) ASSERT_TRUE(NetWriteConfigPgm(root.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0)));
        // A register image, so the start keeps the stored blocks.
        std::vector<u8> image = RunModeRegisterImage(words);
        ASSERT_TRUE(File_WriteAtomic(root.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()));
    }
    std::string Seen() {
        std::string all;
        for (const std::string& c : modem.Commands()) all += c + "|";
        return all;
    }
    // The internal module in slot 1 with the fake modem on its port, and a
    // device for serial port 1 (the program's port; its calls go through the
    // module); the controller started on the test's clock.
    void StartWithModule(FirmwareProcess& fw, BoardClock& clock) {
        ASSERT_EQ(Tool("plug 1 0x6F0F"), 0);
        ASSERT_TRUE(port1.Open(root.Path("/dev/ttySP4")));
        ASSERT_TRUE(modem.Open(root.Path(kCellPortPath)));
        modem.Start();
        ASSERT_TRUE(fw.Start());
        ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running", 60000)) << fw.Output();
    }
    // Powers the controller down and reads the register image it saved.
    void PowerDown(FirmwareProcess& fw, BoardClock& clock, std::vector<u8>& regs) {
        ASSERT_TRUE(Board_SignalPowerFail());
        ASSERT_TRUE(clock.AdvanceToExit(fw, 60000));
        EXPECT_EQ(fw.ExitCode(), kExitPowerOff) << fw.Output();
        ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), regs, 8 + kPlcRegBytes));
        ASSERT_EQ(regs.size(), 8 + kPlcRegBytes);
        regs.erase(regs.begin(), regs.begin() + 8);
    }
    bool Saw(const std::string& command) {
        auto c = modem.Commands();
        return std::find(c.begin(), c.end(), command) != c.end();
    }

    TempRoot root;
    FakeModem modem;
    LinkPty port1;
};

TEST_F(ModemSystem, InternalModuleInitialisesIdentifiesAndReportsSignal) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_EQ(Tool("plug 1 0x6F0F"), 0);
    ASSERT_TRUE(modem.Open(root.Path(kCellPortPath)));
    modem.Answer("AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    modem.Start();
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running", 60000)) << fw.Output();
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Saw("AT+GMM"); }, 120000, 20)) << fw.Output() << Seen();
    const std::vector<std::string> expected = {
        "AT",          "AT#ENHRST=1,0", "+++",       "ATE0Q0V1X1Q0&K0", "AT+IPR=115200", "AT+IFC=0,0",
        "AT+FCLASS=0", "AT+CFUN=1",     "AT+CMEE=2", "AT+CPIN?",        "AT+CPIN=1234",  "AT+CREG?",
        "AT#AUTOATT=0", "AT#SGACT=1,0", "AT+CMGF=1", "AT+CSMP=17,167,0,0", "AT+CGSN",    "AT+CNUM",
        "AT+COPS?",    "AT+GMR",        "AT+GMM"};
    auto seen = modem.Commands();
    // The module is probed until it answers; the script follows once.
    seen.erase(seen.begin(), std::find(seen.begin(), seen.end(), "AT#ENHRST=1,0") - 1);
    EXPECT_EQ(seen, expected);
    // The signal poll follows ten seconds later.
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Saw("AT#MONI"); }, 30000, 20)) << fw.Output();
    modem.Stop();
    fw.Signal(SIGTERM);
    ASSERT_TRUE(clock.AdvanceToExit(fw, 60000));
    EXPECT_EQ(fw.ExitCode(), kExitNormal) << fw.Output();
}

// Word index of a register bit address in the register image.
u32 WordOf(u32 bitAddress) { return (bitAddress - 0x400) >> 4; }

TEST_F(ModemSystem, TalkPortCallRunsOverTheModuleSocketAndEchoesThreeThousandBytes) {
    const int port = FreeLoopbackPort();
    SocatTcpEcho echo(port);
    ASSERT_TRUE(echo.Ready());
    constexpr u32 kOn = lreg::R(1), kOpen = lreg::R(2), kOnLine = lreg::R(2) + 1, kSent = lreg::R(3),
                  kGot = lreg::R(4), kDone = lreg::R(5), kStatus = lreg::R(50), kDestination = lreg::R(80),
                  kMark = lreg::R(90);
    constexpr u32 kBlocks = 12, kBlock = 250, kOut = 3000, kIn = 5000;  // 3,000 bytes from R3000, back to R5000
    LadderBuilder b(LadderWidth::k32);
    auto opd = [&b](u32 a) { b.Raw(static_cast<u16>(a)).Raw(static_cast<u16>(a >> 16)); };
    // Port 1 for the program, then a dial through the module to the echo.
    b.Contact(kOn).Raw(132).Raw(1).Raw(5).Raw(3).Raw(2 << 8).Out(kOpen);
    b.Contact(kOn).Raw(136).Raw(1).Raw(1);
    opd(kStatus);
    b.Raw(0).Raw(static_cast<u16>(kDestination)).Out(kOnLine);
    // Twelve sends and twelve receives of 250 bytes, each block after the last.
    for (u32 k = 0; k < kBlocks; ++k) {
        b.Contact(k == 0 ? kOnLine : kSent + k - 1).Raw(133).Raw(1);
        opd(kBlock), opd(lreg::R(kOut + k * kBlock / 2)), opd(lreg::R(100 + k));
        b.Out(kSent + k);
        b.Contact(k == 0 ? kOnLine : kGot + k - 1).Raw(134).Raw(1);
        opd(kBlock), opd(lreg::R(kIn + k * kBlock / 2)), opd(lreg::R(120 + k));
        b.Out(kGot + k);
    }
    // Everything back: a mark the test sees leave through the module.
    b.Contact(kGot + kBlocks - 1).Raw(133).Raw(1);
    opd(4), opd(kMark), opd(lreg::R(99));
    b.Out(kDone).End();
    ASSERT_TRUE(b.Ok()) << b.Error();

    std::vector<std::pair<u32, u16>> words = {{WordOf(kOn), 1}, {WordOf(kMark), 0x4F44}, {WordOf(kMark) + 1, 0x454E}};
    std::string text = "127.0.0.1/" + std::to_string(port);
    text.resize(text.size() + 2 - text.size() % 2, '\0');
    for (u32 i = 0; i < text.size(); i += 2)
        words.push_back({WordOf(kDestination) + i / 2,
                         static_cast<u16>(static_cast<u8>(text[i]) | static_cast<u8>(text[i + 1]) << 8)});
    std::string sent;
    for (u32 i = 0; i < kBlocks * kBlock; ++i) sent += static_cast<char>(i * 7 + i / 251);
    for (u32 i = 0; i < sent.size(); i += 2)
        words.push_back({WordOf(lreg::R(kOut)) + i / 2,
                         static_cast<u16>(static_cast<u8>(sent[i]) | static_cast<u8>(sent[i + 1]) << 8)});
    ASSERT_NO_FATAL_FAILURE(Prepare(b, words));
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_NO_FATAL_FAILURE(StartWithModule(fw, clock));
    ASSERT_TRUE(clock.AdvanceUntil([&] { return modem.SentData().size() >= sent.size() + 4; }, 600000, 20))
        << fw.Output() << Seen() << " sent " << modem.SentData().size();
    modem.Stop();
    EXPECT_EQ(modem.SentData(), sent + "DONE");
    const std::string dial = "AT#SD=1,0," + std::to_string(port) + ",";
    auto c = modem.Commands();
    EXPECT_TRUE(std::any_of(c.begin(), c.end(), [&](const std::string& l) { return l.rfind(dial, 0) == 0; }))
        << Seen();

    std::vector<u8> image;
    ASSERT_NO_FATAL_FAILURE(PowerDown(fw, clock, image));
    const u8* regs = image.data();
    EXPECT_EQ(GetLe16(regs + 2 * WordOf(kStatus)), 1) << "CONNECT";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(regs + 2 * WordOf(lreg::R(kIn))), sent.size()), sent);
    for (u32 k = 0; k < kBlocks; ++k) EXPECT_EQ(GetLe16(regs + 2 * WordOf(lreg::R(120 + k))), kBlock) << k;
}

TEST_F(ModemSystem, TalkPortAnswerListensOnTheModuleAndTakesACall) {
    constexpr u32 kOn = lreg::R(1), kOpen = lreg::R(2), kOnLine = lreg::R(2) + 1, kGot = lreg::R(2) + 2,
                  kSent = lreg::R(2) + 3, kStatus = lreg::R(50);
    LadderBuilder b(LadderWidth::k32);
    auto opd = [&b](u32 a) { b.Raw(static_cast<u16>(a)).Raw(static_cast<u16>(a >> 16)); };
    b.Contact(kOn).Raw(132).Raw(1).Raw(5).Raw(3).Raw(2 << 8).Out(kOpen);
    // Answer (after one ring): with the module, a socket listening on 1001.
    b.Contact(kOn).Raw(136).Raw(1).Raw(2);
    opd(kStatus);
    b.Raw(1).Out(kOnLine);
    // Five bytes in, then five bytes out.
    b.Contact(kOnLine).Raw(134).Raw(1);
    opd(5), opd(lreg::R(30)), opd(lreg::R(12));
    b.Out(kGot);
    b.Contact(kGot).Raw(133).Raw(1);
    opd(5), opd(lreg::R(20)), opd(lreg::R(11));
    b.Out(kSent).End();
    ASSERT_TRUE(b.Ok()) << b.Error();
    ASSERT_NO_FATAL_FAILURE(Prepare(b, {{WordOf(kOn), 1},
                                        {WordOf(lreg::R(20)), 0x6F77},
                                        {WordOf(lreg::R(21)), 0x6C72},
                                        {WordOf(lreg::R(22)), 0x0064}}));
    const int offset = NetFreePortOffset(1001);
    modem.ListenPortOffset(offset);
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_NO_FATAL_FAILURE(StartWithModule(fw, clock));
    auto listening = [&] {
        auto c = modem.Commands();
        return std::any_of(c.begin(), c.end(), [](const std::string& l) { return l.rfind("AT#SL=1,1,1001", 0) == 0; });
    };
    ASSERT_TRUE(clock.AdvanceUntil(listening, 300000, 20)) << fw.Output() << Seen();
    int client = ConnectLoopback(1001 + offset);
    ASSERT_GE(client, 0);
    ASSERT_EQ(write(client, "hello", 5), 5);
    std::string got;
    EXPECT_TRUE(clock.AdvanceUntil(
        [&] {
            char buf[16];
            while (Readable(client)) {
                ssize_t n = read(client, buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<size_t>(n));
            }
            return got.size() >= 5;
        },
        120000, 20))
        << fw.Output() << Seen();
    EXPECT_EQ(got, "world");
    close(client);
    modem.Stop();

    std::vector<u8> image;
    ASSERT_NO_FATAL_FAILURE(PowerDown(fw, clock, image));
    const u8* regs = image.data();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(regs + 2 * WordOf(lreg::R(30))), 5), "hello");
    EXPECT_EQ(GetLe16(regs + 2 * WordOf(kStatus)), 1) << "CONNECT once the call was taken";
}

}  // namespace

namespace {

// Words of the register image holding the bytes of text from register word
// `word` on (low byte first).
void PutText(std::vector<std::pair<u32, u16>>& words, u32 word, std::string text) {
    text.resize(text.size() + text.size() % 2, '\0');
    for (u32 i = 0; i < text.size(); i += 2)
        words.push_back({word + i / 2, static_cast<u16>(static_cast<u8>(text[i]) | static_cast<u8>(text[i + 1]) << 8)});
}

}  // namespace

// The SMS service of the real executable through the internal module: a
// trigger bit texts the formatted value to a group of three, last contact
// first, five seconds apart on the test's clock; a stored text from a contact
// that matches a template writes its value, is answered "ACK" and deleted by
// its three-digit index.
TEST_F(ModemSystem, SmsTextsAGroupAndAnswersATemplate) {
    constexpr u32 kTrigger = lreg::R(10), kValue = lreg::R(200), kSet = lreg::R(201);
    MsgCfgBuilder b;
    b.pin.clear();
    b.centre.clear();
    b.gsm.size = 0;
    b.contacts = {{"+15550001", 0, 1}, {"+15550002", 0, 1}, {"+44 7700 0003", 0, 1}, {"+15550009", 0, 2}};
    b.items = {{kValue, 16, 4, 5, 0, 3}, {kSet, 16, 4, 5, 0, 3}};  // two implied decimals
    b.transmit = {{"Level xx.xx m", 1, kTrigger, "6:0:"}};
    b.receive = {{"SET xxx", 1, kTrigger + 4, "4:1:", 0}};
    b.poll = 1;
    ASSERT_NO_FATAL_FAILURE(Prepare(LadderBuilder().End(), {{WordOf(kTrigger), 1}, {WordOf(kValue), 1234}}, &b));
    modem.AnswerOnce("AT+CMGL=",
                     "\r\n+CMGL: 123,\"REC UNREAD\",\"15550002\",,\"21/03/05,12:00:00+00\"\r\nSET 12.5 RV\r\n\r\nOK\r\n");
    modem.Answer("AT+CMGL=", "\r\nOK\r\n");
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_NO_FATAL_FAILURE(StartWithModule(fw, clock));
    // Each text as number and text, with the time its number went out.
    struct Text {
        std::string number, text;
        u64 ms;
    };
    std::vector<Text> texts;
    std::vector<u64> numberMs;
    auto done = [&] {
        auto c = modem.Commands();
        texts.clear();
        for (size_t k = 0; k < c.size(); ++k) {
            if (c[k].rfind("AT+CMGS=", 0) != 0) continue;
            if (numberMs.size() <= texts.size()) numberMs.push_back(clock.ElapsedMs());
            texts.push_back({c[k].substr(8), k + 1 < c.size() ? c[k + 1] : "", numberMs[texts.size()]});
        }
        return texts.size() == 4 && texts.back().text.rfind("SMS:", 0) == 0 && Saw("AT+CMGD=123");
    };
    ASSERT_TRUE(clock.AdvanceUntil(done, 300000, 20)) << fw.Output() << Seen();
    std::vector<std::string> levels, answers;
    std::vector<u64> levelMs;
    for (const Text& t : texts) {
        (t.text == "SMS:ACK" ? answers : levels).push_back(t.number + " " + t.text);
        if (t.text != "SMS:ACK") levelMs.push_back(t.ms);
    }
    EXPECT_EQ(levels, (std::vector<std::string>{"+4477000003 SMS:Level 12.34 m", "+15550002 SMS:Level 12.34 m",
                                                 "+15550001 SMS:Level 12.34 m"}))
        << Seen();
    EXPECT_EQ(answers, std::vector<std::string>{"15550002 SMS:ACK"});
    ASSERT_EQ(levelMs.size(), 3u);
    EXPECT_GE(levelMs[1] - levelMs[0], 5000u);
    EXPECT_GE(levelMs[2] - levelMs[1], 5000u);
    modem.Stop();

    std::vector<u8> image;
    ASSERT_NO_FATAL_FAILURE(PowerDown(fw, clock, image));
    EXPECT_EQ(GetLe16(image.data() + 2 * WordOf(kSet)), 125);
    EXPECT_EQ(image[(kTrigger - 0x400) / 8] & 0x01, 0) << "the trigger is cleared once the group was texted";
}

// The e-mail client of the real executable over Ethernet: a trigger bit
// mails the formatted value to python3-aiosmtpd on the configured port plus
// the port offset; the message parses in Python's e-mail module, a body
// line "." stays intact, the trigger is cleared and the status register
// shows no error.
TEST_F(ModemSystem, EmailOfTheRealExecutableReachesTheServer) {
    constexpr u32 kTrigger = lreg::R(10), kValue = lreg::R(200), kStatusReg = lreg::R(300);
    const int offset = NetFreePortOffset(2525);
    const std::string folder = root.Dir() + "/mail", log = root.Dir() + "/smtp.log";
    std::filesystem::create_directories(folder);
    PeerProcess smtp;
    ASSERT_TRUE(smtp.Start("", std::string("exec /usr/bin/python3 ") + PLC_SOURCE_DIR + "/tests/remote/smtp_server.py " +
                                   std::to_string(2525 + offset) + " " + folder + " >" + log + " 2>&1"));
    auto logText = [&] {
        std::vector<u8> t;
        File_ReadAll(log, t, 1 << 16);
        return std::string(t.begin(), t.end());
    };
    for (int i = 0; i < 1000 && logText().find("ready") == std::string::npos; ++i) poll(nullptr, 0, 10);
    ASSERT_NE(logText().find("ready"), std::string::npos) << "python3-aiosmtpd did not start: " << logText();
    MsgCfgBuilder b;
    b.pin.clear();
    b.centre.clear();
    b.gsm.size = 0;
    b.mail.port = 2525;
    b.mail.statusRegister = kStatusReg;
    b.mail.addresses = {{"ops@example.com", 0, 1}, {"boss@example.com", 0, 1}};
    b.mail.items = {{kValue, 16, 4, 5, 0, 3}};
    b.mail.messages = {{"Level xx.xx m\r\n.\r\nend", "Tank report", "", 1, 0, kTrigger, "6:0:"}};
    NetStreamBuilder eth0(NetAddr(10, 1, 2, 3), NetAddr(255, 255, 255, 0));
    eth0.Services(0, NetAddr(10, 1, 2, 1));
    std::vector<std::pair<u32, u16>> words = {{WordOf(kTrigger), 1}, {WordOf(kValue), 1234},
                                              {WordOf(kStatusReg), 0xDEAD}, {WordOf(kStatusReg) + 1, 0xBEEF}};
    ASSERT_NO_FATAL_FAILURE(Prepare(LadderBuilder().End(), words, &b, eth0.Build()));
    BoardClock clock;
    FirmwareProcess fw;
    fw.SetEnv("PLC_PORT_OFFSET", std::to_string(offset));
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running", 60000)) << fw.Output();
    const std::string mail = folder + "/1.eml";
    ASSERT_TRUE(clock.AdvanceUntil([&] { return access(mail.c_str(), R_OK) == 0; }, 120000, 20))
        << fw.Output() << logText();
    // The client closes its connection before the register image is saved.
    ASSERT_TRUE(clock.Advance(2000));
    std::vector<u8> image;
    ASSERT_NO_FATAL_FAILURE(PowerDown(fw, clock, image));
    EXPECT_EQ(image[(kTrigger - 0x400) / 8] & 0x01, 0);
    EXPECT_EQ(GetLe16(image.data() + 2 * WordOf(kStatusReg)) | GetLe16(image.data() + 2 * WordOf(kStatusReg) + 2), 0)
        << "a message through clears the status register";
    std::string parsed = Shell("/usr/bin/python3 -c \"import email,sys; m=email.message_from_binary_file(open(sys.argv[1],'rb'));"
                               "print(m['From']); print(' '.join(m['To'].split())); print(m['Subject']); "
                               "print(email.utils.parsedate_to_datetime(m['Date']).date()); print(m.get_payload())\" " +
                               mail + " 2>&1");
    // The parser gives the body with its line ends as "\n".
    EXPECT_EQ(parsed, "plc@example.com\nops@example.com, boss@example.com\nTank report\n2021-03-05\n"
                      "Level 12.34 m\n.\nend\n\n\n");
}

// An external modem on serial port 1 behind the modem option module: the program's
// answer call runs the modem's set-up and the engine's answer command; when
// the fake modem rings, connects and raises carrier the call is on line, and
// when the program lets the call go the modem is escaped and hung up.
TEST_F(ModemSystem, ExternalModemAnswersGoesOnLineAndHangsUpOnRelease) {
    constexpr u32 kOn = lreg::R(1), kCall = lreg::R(1) + 1, kOpen = lreg::R(2), kOnLine = lreg::R(2) + 1,
                  kWasOnLine = lreg::R(2) + 2, kStatus = lreg::R(50);
    LadderBuilder b(LadderWidth::k32);
    auto opd = [&b](u32 a) { b.Raw(static_cast<u16>(a)).Raw(static_cast<u16>(a >> 16)); };
    b.Contact(kOn).Raw(132).Raw(1).Raw(5).Raw(3).Raw(2 << 8).Out(kOpen);
    b.Contact(kCall).Raw(136).Raw(1).Raw(2);
    opd(kStatus);
    b.Raw(1).Out(kOnLine);
    // Once on line the program lets the call go.
    b.Contact(kOnLine).Set(kWasOnLine);
    b.Contact(kOnLine).Reset(kCall).End();
    ASSERT_TRUE(b.Ok()) << b.Error();
    MsgCfgBuilder m;
    m.contacts = {{"+15550001", 0, 1}};
    m.pin.clear();
    m.centre.clear();
    // A circuit-data modem behind a modem option module without a cellular
    // module of its own: no SMS section in use, so the modem is the program's.
    m.gsm.options = 0x01;
    u16 bits = static_cast<u16>(1u << (kOn & 15) | 1u << (kCall & 15));
    ASSERT_NO_FATAL_FAILURE(Prepare(b, {{WordOf(kOn), bits}}, &m));
    ASSERT_EQ(Tool("plug 1 0xDF0F"), 0);
    ASSERT_TRUE(modem.Open(root.Path("/dev/ttySP4"), 1));
    modem.Answer("ATS0=", "\r\nOK\r\n");
    modem.Answer("ATHS0=0", "\r\nOK\r\n");
    modem.Start();
    BoardClock clock;
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(clock.AdvanceToOutput(fw, "main loop running", 60000)) << fw.Output();
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Saw("ATS0=001"); }, 300000, 20)) << fw.Output() << Seen();
    for (const char* c : {"AT+IPR=115200", "ATE0HS0=0Q0V1&C1&D1", "AT+CBST=7,0,1"}) EXPECT_TRUE(Saw(c)) << c;
    // The caller rings; the modem connects and raises carrier.
    modem.Carrier(true);
    modem.Unsolicited("\r\nRING\r\n\r\nCONNECT 9600\r\n");
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Saw("ATHS0=0"); }, 120000, 20)) << fw.Output() << Seen();
    modem.Carrier(false);
    ASSERT_TRUE(clock.Advance(3000));
    modem.Stop();
    auto c = modem.Commands();
    auto answer = std::find(c.begin(), c.end(), "ATS0=001");
    auto escape = std::find(answer, c.end(), "+++");
    EXPECT_NE(escape, c.end()) << "escaped before the hang-up: " << Seen();
    EXPECT_NE(std::find(escape, c.end(), "ATHS0=0"), c.end()) << Seen();

    std::vector<u8> image;
    ASSERT_NO_FATAL_FAILURE(PowerDown(fw, clock, image));
    const u8* regs = image.data();
    EXPECT_EQ((regs[(kWasOnLine - 0x400) / 8] >> (kWasOnLine & 7)) & 1, 1) << "on line";
    EXPECT_EQ(GetLe16(regs + 2 * WordOf(kStatus)), 0xFFFF) << "stopped once hung up";
}
