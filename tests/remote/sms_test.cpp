#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "modem_fixture.h"
#include "platform/fpga.h"
#include "remote/msgcfg.h"
#include "remote/msgfmt.h"
#include "remote/sms.h"
#include "testsupport/msgcfg_builder.h"

namespace {

// Register bit address of byte n of the %R words.
constexpr u32 Reg(u32 byte) { return 0x8000 + byte * 8; }

void Put(u32 byte, const void* data, u32 n) { ASSERT_EQ(PlcReg_Set(Reg(byte), data, n * 8), 1); }
std::string Get(u32 byte, u32 n) {
    std::string s(n, '\0');
    PlcReg_Get(s.data(), Reg(byte), n * 8);
    return s;
}
u8 Bit(u32 address) {
    u8 b = 0;
    PlcReg_Get(&b, address, 1);
    return b;
}

struct FormatCase {
    const char* value;
    u8 type, width, before, flags;
    const char* tmpl;
    const char* shown;
};

}  // namespace

TEST(MsgFormat, FieldsAreFormattedIntoTheirPlaceholders) {
    const FormatCase cases[] = {
        {"12345", 4, 6, 3, 0, "[xxx.xx]", "[12.345]"},
        {"5", 4, 6, 3, 0, "[xxx.xx]", "[ 0.005]"},
        {"5", 4, 6, 1, 0, "[x.xxxx]", "[.00005]"},
        {"123456", 6, 6, 3, 0, "[xxx.xx]", "[>>>>>>]"},
        {"-12345", 5, 8, 5, 0, "[xxxxx.xx]", "[ -12.345]"},
        {"0.500000", 7, 3, 1, 0, "[x.x]", "[.50]"},
        {"12.750000", 7, 5, 0, 0, "[xxxxx]", "[   12]"},
        {" ON", 0, 9, 0, 0, "[xxx]", "[ ON]"},
        {"OFF", 0, 1, 0, 0, "[xxx]", "[OFF]"},
        {"1234", 4, 4, 0, 2, "[xxxx]", "[1234]"},
        {"12", 4, 4, 0, 2, "[xxxx]", "[0012]"},
        {"-12", 3, 5, 0, 2, "[xxxxx]", "[00-12]"},
        {"12", 4, 5, 0, 1, "[xxxxx]", "[12   ]"},
        {"123456", 4, 4, 0, 0, "[xxxx] tail", "[>>>>] tail"},
    };
    for (const FormatCase& c : cases) {
        MsgFieldItem item;
        item.type = c.type;
        item.width = c.width;
        item.before = c.before;
        item.flags = c.flags;
        std::string t = c.tmpl;
        DataFormat(t.data(), static_cast<u32>(t.size()), 1, c.value, item);
        EXPECT_EQ(t, c.shown) << c.value << " type " << int(c.type);
    }
    // A field at the end of a text never writes past it.
    MsgFieldItem wide;
    wide.type = 4;
    wide.width = 200;
    char text[8] = "abcdefg";
    DataFormat(text, 7, 5, "1", wide);
    EXPECT_EQ(std::string(text), "abcde  ");
    DataFormat(text, 7, 4000, "1", wide);
    EXPECT_EQ(std::string(text), "abcde  ");
}

TEST(MsgFormat, ValueTextsOfEveryType) {
    TempRoot root;
    struct Case {
        u8 type, bits, width;
        std::vector<u8> bytes;
        const char* text;
    } cases[] = {
        {0, 1, 3, {0x01}, " ON"},
        {0, 1, 3, {0x00}, "OFF"},
        {1, 8, 8, {0x05}, "101"},
        {1, 255, 8, {0xFF, 0xFF, 0xFF, 0xFF}, "1111111111111111111111111111"},  // 28 digits at most
        {1, 8, 8, {0x00}, "0"},
        {2, 16, 8, {0xEF, 0xBE}, "beef"},
        {2, 255, 8, {0x78, 0x56, 0x34, 0x12}, "12345678"},
        {3, 8, 8, {0xFF}, "-1"},
        {3, 16, 8, {0xFF, 0xFF}, "-1"},
        {4, 16, 8, {0xFF, 0xFF}, "65535"},
        {5, 32, 8, {0xFE, 0xFF, 0xFF, 0xFF}, "-2"},
        {6, 32, 8, {0xFE, 0xFF, 0xFF, 0xFF}, "4294967294"},
        {7, 32, 8, {0x00, 0x00, 0x48, 0x41}, "12.500000"},
        {7, 32, 8, {0x00, 0x24, 0x74, 0x49}, "1000000.0"},
        {8, 0, 4, {'A', 'B', 'C', 'D', 'E'}, "ABCD"},
        {8, 0, 8, {'h', 'i', 0, 'x'}, "hi"},
        {9, 32, 8, {0x04, 0x03, 0x02, 0x01}, "1.2.3.4"},
    };
    for (const Case& c : cases) {
        std::vector<u8> raw(32, 0);
        std::copy(c.bytes.begin(), c.bytes.end(), raw.begin());
        Put(300, raw.data(), 32);
        MsgFieldItem item;
        item.address = Reg(300);
        item.type = c.type;
        item.bits = c.bits;
        item.width = c.width;
        char text[kValueTextMax];
        ASSERT_TRUE(GetDataFromReg(item, text)) << int(c.type);
        EXPECT_STREQ(text, c.text) << int(c.type);
    }
    MsgFieldItem bad;
    bad.type = 10;
    bad.address = Reg(300);
    char text[kValueTextMax];
    EXPECT_FALSE(GetDataFromReg(bad, text));
    bad.type = 4;
    bad.address = 0x20;  // below the register memory
    EXPECT_FALSE(GetDataFromReg(bad, text));
}

TEST(MsgFormat, FieldListPairs) {
    auto pairs = [](const std::string& list) {
        std::vector<std::pair<u32, u32>> out;
        u32 pos = 0;
        FieldPair p;
        while (FieldExtractor(reinterpret_cast<const u8*>(list.data()), static_cast<u32>(list.size()), &pos, &p))
            out.push_back({p.position, p.item});
        return out;
    };
    using V = std::vector<std::pair<u32, u32>>;
    EXPECT_EQ(pairs(":12:3:"), (V{{12, 3}}));
    EXPECT_EQ(pairs("4:0: 9:1:x"), (V{{4, 0}, {9, 1}}));
    EXPECT_EQ(pairs("4:0:9"), (V{{4, 0}}));
    std::string longList;
    while (longList.size() < 200) longList += "10:1:";
    EXPECT_EQ(pairs(longList).size(), 28u);  // 140 characters of 5 each
}

class SmsParse : public ::testing::Test {
protected:
    void SetUp() override {
        b.contacts = {{"+15550001", 0, 1}};
        b.items = {{Reg(200), 16, 4, 3, 0, 0},  // type 4 width 3
                   {Reg(210), 1, 0, 3, 0, 0}};  // a bit
        b.receive = {{"SET xxx", 1, Reg(220) + 1, "4:0:"}, {"PUMP xxx", 1, 0, "5:1:"}};
        body = b.Build();
        view = {body.data(), static_cast<u32>(body.size())};
        s = MsgCfg_Section(view, 0, true);
        ASSERT_TRUE(s.tablesOk);
    }
    int Parse(const char* tmpl, const char* list, std::string received, u8* answer, std::string* out = nullptr) {
        std::vector<char> r(received.begin(), received.end());
        r.resize(200, 0);
        int m = ParseSMS(tmpl, static_cast<u32>(std::strlen(tmpl)), reinterpret_cast<const u8*>(list),
                         static_cast<u32>(std::strlen(list)), r.data(), static_cast<u32>(r.size()), view, s, answer);
        if (out != nullptr) *out = r.data();
        return m;
    }
    u16 Word(u32 byte) {
        u16 v = 0;
        PlcReg_Get(&v, Reg(byte), 16);
        return v;
    }

    TempRoot root;
    MsgCfgBuilder b;
    std::vector<u8> body;
    MsgBody view;
    MsgSection s;
};

TEST_F(SmsParse, ReceivedTextsAgainstTemplates) {
    u8 answer = 0;
    u16 zero = 0;
    Put(200, &zero, 2);
    std::string out;
    EXPECT_EQ(Parse("SET xxx", "4:0:", "set 12.5 rv", &answer, &out), 1);
    EXPECT_EQ(Word(200), 125);
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(out, "SET 125");  // the answer shows the template filled with the value now held
    EXPECT_EQ(Parse("SET xxx", "4:0:", "SET 7", &answer), 1);
    EXPECT_EQ(Word(200), 7);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(Parse("SET xxx", "4:0:", "  S E T  9  RVrv ", &answer), 1);
    EXPECT_EQ(Word(200), 9);
    // Trailing characters other than spaces and "RV", or another word: no match, nothing written.
    EXPECT_EQ(Parse("SET xxx", "4:0:", "SET 44 now", &answer), 0);
    EXPECT_EQ(Parse("SET xxx", "4:0:", "GET 44", &answer), 0);
    EXPECT_EQ(Word(200), 9);
    // Bit fields take ON and OFF.
    EXPECT_EQ(Parse("PUMP xxx", "5:1:", "pump on", &answer), 1);
    EXPECT_EQ(Bit(Reg(210)), 1);
    EXPECT_EQ(Parse("PUMP xxx", "5:1:", "PUMP OFF", &answer), 1);
    EXPECT_EQ(Bit(Reg(210)), 0);
    // A template that is only a field needs the field to receive something.
    EXPECT_EQ(Parse("xxx", "0:0:", "", &answer), 0);
    EXPECT_EQ(Parse("xxx", "0:0:", "abc", &answer), 0);
    EXPECT_EQ(Parse("xxx", "0:0:", "42", &answer), 1);
    EXPECT_EQ(Word(200), 42);
}

TEST(SmsNumbers, SenderAgainstContact) {
    struct Case {
        const char* contact;
        const char* sender;
        bool same;
    } cases[] = {
        {"+15550001", "+15550001", true},
        {"+15550001", "15550001", true},
        {"5550001", "+15550001", true},         // the sender carries a country prefix
        {"0015550001", "+15550001", true},      // leading zeros before the country code
        {"+15550001", "1", false},              // a short sender is no contact
        {"+15550001", "", false},
        {"", "+15550001", false},
        {"+15550001", "0001", false},
        {"+15550001", "15550002", false},
        {"12", "12", true},                      // a short number equal to the contact's
        {"+15550001", "+1555000123", false},    // containing is not enough
    };
    for (const Case& c : cases)
        EXPECT_EQ(Sms_SameNumber(c.contact, static_cast<u32>(std::strlen(c.contact)), c.sender,
                                 static_cast<u32>(std::strlen(c.sender))),
                  c.same)
            << c.contact << " / " << c.sender;
}

TEST(SmsNumbers, FirstListedMessage) {
    const std::string list =
        "\r\n+CMGL: 123,\"REC UNREAD\",\"+15550001234567890123456789\",,\"21/03/05,12:00:00+00\"\r\nSET 12.5 RV\r\n"
        "+CMGL: 124,\"REC UNREAD\",\"+1555\",,\"21/03/05,12:00:01+00\"\r\nother\r\n\r\nOK\r\n";
    SmsListEntry e;
    ASSERT_TRUE(Sms_FirstListed(list.data(), static_cast<u32>(list.size()), &e));
    EXPECT_STREQ(e.index, "123");
    EXPECT_STREQ(e.sender, "+1555000123456789012345");  // cut to its buffer, never past it
    EXPECT_STREQ(e.text, "SET 12.5 RV");
    const std::string none = "\r\nOK\r\n";
    EXPECT_FALSE(Sms_FirstListed(none.data(), static_cast<u32>(none.size()), &e));
    const std::string noIndex = "\r\n+CMGL: ,\"x\"\r\n";
    EXPECT_FALSE(Sms_FirstListed(noIndex.data(), static_cast<u32>(noIndex.size()), &e));
}

namespace {

class SmsServiceTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        Sms_Reset();
        at_status.modemFlags |= 0x01;
        at_status.signal = 20;
        at_status.letter = 'z';
    }
    void TearDown() override {
        MsgCfg_Store({});
        Sms_Reset();
        ModemTest::TearDown();
    }
    void Start(const MsgCfgBuilder& b) {
        MsgCfg_Store(b.Build());
        SMS_Start();
    }
    // Steps the service until done() holds; virtual time moves only while
    // both sides are quiet. Records the tick count of each text sent.
    bool Drive(const std::function<bool()>& done, int passes = 20000) {
        for (int i = 0; i < passes; ++i) {
            SMS_Scanner();
            if (done()) return true;
            std::vector<pollfd> fds;
            CellPort_Descriptors(fds);
            fds.push_back({modem.Master(), POLLIN, 0});
            int guard = at_status.engineState == kAtWait ? 200 : 1;
            size_t before = modem.Commands().size();
            if (poll(fds.data(), fds.size(), guard) > 0) {
                if (modem.Pump() > 0) {
                    std::vector<pollfd> mine;
                    CellPort_Descriptors(mine);
                    poll(mine.data(), mine.size(), 200);
                }
            } else {
                modem.Pump();
                clock.AdvanceTicks(1000);
            }
            auto c = modem.Commands();
            for (size_t k = before; k < c.size(); ++k)
                if (c[k].rfind("AT+CMGS=", 0) == 0) sendTicks.push_back(FPGA_GetFrt());
        }
        return false;
    }
    std::vector<std::string> Matching(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& c : modem.Commands())
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }
    std::vector<u32> sendTicks;
};

constexpr u32 kStatus = 400, kStorage = 420, kTriggerByte = 100;

MsgCfgBuilder Config() {
    MsgCfgBuilder b;
    b.pin.clear();
    b.centre.clear();
    b.statusRegister = Reg(kStatus);
    b.storageRegister = Reg(kStorage);
    b.gsm.size = 0;
    b.contacts = {{"+15550001", 0, 1}, {"+15550002", 0, 1}, {"+44 7700 0003", 0, 1}, {"+15550009", 0, 2}};
    b.items = {{Reg(200), 16, 4, 5, 0, 3}};  // two implied decimals
    b.transmit = {{"Level xx.xx m", 1, Reg(kTriggerByte), "6:0:"}};
    b.receive = {{"SET xxx", 1, Reg(kTriggerByte) + 4, "4:0:", 0}};
    b.poll = 1;
    return b;
}

}  // namespace

TEST_F(SmsServiceTest, TriggerTextsTheGroupLastContactFirst) {
    MsgCfgBuilder b = Config();
    b.receive.clear();
    Start(b);
    u16 level = 1234;
    Put(200, &level, 2);
    u8 one = 1;
    PlcReg_Set(Reg(kTriggerByte), &one, 1);
    ASSERT_TRUE(Drive([&] { return Matching("SMS:").size() == 3 && Bit(Reg(kTriggerByte)) == 0; }));
    auto numbers = Matching("AT+CMGS=");
    ASSERT_EQ(numbers.size(), 3u);
    EXPECT_EQ(numbers[0], "AT+CMGS=+4477000003");
    EXPECT_EQ(numbers[1], "AT+CMGS=+15550002");
    EXPECT_EQ(numbers[2], "AT+CMGS=+15550001");
    for (const std::string& t : Matching("SMS:")) EXPECT_EQ(t, "SMS:Level 12.34 m");
    ASSERT_EQ(sendTicks.size(), 3u);
    EXPECT_GE(sendTicks[1] - sendTicks[0], 50000u);
    EXPECT_GE(sendTicks[2] - sendTicks[1], 50000u);
    EXPECT_EQ(Sms_Status().sent, 3);
    EXPECT_EQ(Get(kStorage, 17), std::string("Level 12.34 m\0\0\0\0", 17));
    SMS_Scanner();  // the status record goes out with the next step
    std::string status = Get(kStatus, 12);
    EXPECT_EQ(static_cast<u8>(status[8]), 3);   // sent
    EXPECT_EQ(static_cast<u8>(status[2]), 20);  // signal
    // Sent once per setting of the bit.
    modem.ClearCommands();
    Drive([] { return false; }, 300);
    EXPECT_TRUE(Matching("AT+CMGS=").empty());
}

TEST_F(SmsServiceTest, MessagesWithoutUsableNumbersEnd) {
    MsgCfgBuilder b = Config();
    b.receive.clear();
    // A number too long for any phone and one without digits (the last one taken) are skipped.
    b.contacts = {{"no digits", 0, 1}, {"+123456789012345678901", 0, 1}, {"+15550009", 0, 2}};
    b.transmit.push_back({"Other", 3, Reg(kTriggerByte) + 1, ""});  // group 3 has nobody
    Start(b);
    u8 one = 1;
    PlcReg_Set(Reg(kTriggerByte), &one, 1);
    PlcReg_Set(Reg(kTriggerByte) + 1, &one, 1);
    ASSERT_TRUE(Drive([&] { return Bit(Reg(kTriggerByte)) == 0 && Bit(Reg(kTriggerByte) + 1) == 0; }, 2000));
    EXPECT_TRUE(Matching("AT+CMGS=").empty());
}

TEST_F(SmsServiceTest, TextFromAContactWritesRegistersAndIsAnswered) {
    MsgCfgBuilder b = Config();
    b.transmit.clear();
    Start(b);
    modem.AnswerOnce("AT+CMGL=",
                     "\r\n+CMGL: 123,\"REC UNREAD\",\"15550002\",,\"21/03/05,12:00:00+00\"\r\nSET 12.5 RV\r\n\r\nOK\r\n");
    modem.Answer("AT+CMGL=", "\r\nOK\r\n");
    ASSERT_TRUE(Drive([&] { return !Matching("AT+CMGD=").empty(); }));
    u16 v = 0;
    PlcReg_Get(&v, Reg(200), 16);
    EXPECT_EQ(v, 125);
    EXPECT_EQ(Bit(Reg(kTriggerByte) + 4), 1);  // the template's matched bit
    EXPECT_EQ(Matching("AT+CMGS="), std::vector<std::string>{"AT+CMGS=15550002"});
    EXPECT_EQ(Matching("SMS:"), std::vector<std::string>{"SMS:ACK"});
    EXPECT_EQ(Matching("AT+CMGD="), std::vector<std::string>{"AT+CMGD=123"});
    EXPECT_EQ(Sms_Status().received, 1);
    EXPECT_EQ(Sms_Status().sent, 1);
    EXPECT_EQ(Get(kStorage, 2), "R-");
}

TEST_F(SmsServiceTest, UnknownOrShortSendersAreRejectedAndDeleted) {
    MsgCfgBuilder b = Config();
    b.transmit.clear();
    Start(b);
    u16 v = 7;
    Put(200, &v, 2);
    modem.AnswerOnce("AT+CMGL=", "\r\n+CMGL: 4,\"REC UNREAD\",\"1\",,\"x\"\r\nSET 99\r\n\r\nOK\r\n");
    modem.Answer("AT+CMGL=", "\r\nOK\r\n");
    ASSERT_TRUE(Drive([&] { return !Matching("AT+CMGD=").empty(); }));
    EXPECT_EQ(Matching("AT+CMGD="), std::vector<std::string>{"AT+CMGD=4"});
    PlcReg_Get(&v, Reg(200), 16);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(Sms_Status().rejected, 1);
    EXPECT_TRUE(Matching("AT+CMGS=").empty());
}

TEST_F(SmsServiceTest, FailedAnswerIsNotCountedAsSent) {
    MsgCfgBuilder b = Config();
    b.transmit.clear();
    b.receive[0].answer = 1;
    Start(b);
    modem.Answer("SMS:", "\r\nERROR\r\n");
    modem.AnswerOnce("AT+CMGL=", "\r\n+CMGL: 2,\"REC UNREAD\",\"+15550001\",,\"x\"\r\nSET 3\r\n\r\nOK\r\n");
    modem.Answer("AT+CMGL=", "\r\nOK\r\n");
    ASSERT_TRUE(Drive([&] { return !Matching("AT+CMGD=").empty(); }));
    EXPECT_EQ(Matching("SMS:").size(), 1u);
    EXPECT_EQ(Sms_Status().sent, 0);
    EXPECT_EQ(Sms_Status().received, 1);
}
