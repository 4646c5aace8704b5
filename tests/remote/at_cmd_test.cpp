#include <cstring>
#include <string>

#include "modem_fixture.h"
#include "remote/modemsock.h"

namespace {

void SetParam(u32 n, const char* text) { AtParam_Set(n, text, static_cast<u32>(std::strlen(text))); }

}  // namespace

// The SIM and registration walks: where each answer continues the script.
TEST_F(ModemTest, WalksContinueWhereTheAnswerSays) {
    struct Case {
        const char* what;
        u32 row;
        const char* prefix;
        std::string answer;
        const char* operatorName;
        int distance;
        i32 result;
    } cases[] = {
        {"PIN ready", 8, "AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n", "", 8, kAtOk},
        {"PIN wanted", 8, "AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", "", 3, kAtFail},
        {"other SIM state", 8, "AT+CPIN?", "\r\n+CPIN: PH-NET PIN\r\n\r\nOK\r\n", "", 6, kAtFail},
        {"CPIN error", 8, "AT+CPIN?", "\r\n+CME ERROR: 10\r\n", "", 3, kAtFail},
        {"registered", 16, "AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n", "", 12, kAtOk},
        {"searching repeats", 16, "AT+CREG?", "\r\n+CREG: 0,2\r\n\r\nOK\r\n", "", 0, kAtOk},
        {"roaming, automatic", 16, "AT+CREG?", "\r\n+CREG: 0,5\r\n\r\nOK\r\n", "", 7, kAtFail},
        {"roaming, manual", 16, "AT+CREG?", "\r\n+CREG: 0,5\r\n\r\nOK\r\n", "Test Net", 8, kAtOk},
        {"denied, manual", 16, "AT+CREG?", "\r\n+CREG: 0,3\r\n\r\nOK\r\n", "Test Net", 8, kAtOk},
        {"bare OK to CREG", 16, "AT+CREG?", "\r\nOK\r\n", "", 7, kAtFail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        modem.Answer(c.prefix, c.answer);
        SetParam(4, c.operatorName);
        EXPECT_EQ(RunStep(&at_cmd[c.row]), c.distance);
        EXPECT_EQ(at_status.result, c.result);
    }
}

TEST_F(ModemTest, ManualSelectionTakesTheNumericCode) {
    SetParam(4, "test net");
    EXPECT_EQ(RunStep(&at_cmd[24]), 2);
    EXPECT_STREQ(at_status.netCode.text, "00101");
    modem.ClearCommands();
    EXPECT_EQ(RunStep(&at_cmd[26]), 2);
    ASSERT_FALSE(modem.Commands().empty());
    EXPECT_EQ(modem.Commands().back(), "AT+COPS=1,2,00101");
    // An operator missing from the list sends code 0; a run of digits
    // longer than the code field is cut, never written past it.
    SetParam(4, "nowhere");
    EXPECT_EQ(RunStep(&at_cmd[24]), 2);
    EXPECT_STREQ(at_status.netCode.text, "0");
    modem.Answer("AT+COPS=?", "\r\n+COPS: (2,\"Test Net\",\"TNET\",\"" + std::string(40, '7') + "\",2)\r\n\r\nOK\r\n");
    SetParam(4, "Test Net");
    RunStep(&at_cmd[24]);
    EXPECT_EQ(std::string(at_status.netCode.text), std::string(13, '7'));
}

TEST_F(ModemTest, TimeOutsAndErrorClassesCount) {
    modem.Answer("AT+CFUN=1", "");  // silence
    at_status.letter = 'x';
    at_status.engineState = kAtSend;
    AT_Cmd_Handler(&at_cmd[6]);
    clock.AdvanceTicks(9999);
    EXPECT_EQ(AT_Cmd_Handler(&at_cmd[6]), 0);
    clock.AdvanceTicks(1);
    EXPECT_EQ(AT_Cmd_Handler(&at_cmd[6]), 1);
    EXPECT_EQ(at_status.result, kAtTimeout);
    EXPECT_EQ(at_status.errorCount, 1);
    EXPECT_EQ(at_status.errorClassBits & 0x01, 0x01);
    // A refused PIN is class 2: counted, error class bit 1.
    modem.Answer("AT+CPIN=", "\r\nERROR\r\n");
    RunStep(&at_cmd[11]);
    EXPECT_EQ(at_status.result, kAtFail);
    EXPECT_EQ(at_status.errorCount, 2);
    EXPECT_EQ(at_status.errorClassBits, 0x02);  // the success-less step clears the time-out bit
    // A failed SMS delete is class 6: flagged, not counted.
    modem.Answer("AT+CMGD=", "\r\nERROR\r\n");
    RunStep(&at_cmd[39]);
    EXPECT_EQ(at_status.errorCount, 2);
    EXPECT_EQ(at_status.errorClassBits & 0x20, 0x20);
}

TEST_F(ModemTest, TheTenthCountedErrorResetsTheModem) {
    modem.Answer("AT+CPIN=", "\r\nERROR\r\n");
    at_status.errorCount = 9;
    TelitPowerON = 1;
    at_status.modemFlags = 1;
    RunStep(&at_cmd[11], 0);
    EXPECT_EQ(at_status.errorCount, 0);
    EXPECT_EQ(at_status.letter, 0u);
    EXPECT_EQ(at_status.modemFlags, 0);
    EXPECT_EQ(TelitPowerON, 0);
}

TEST_F(ModemTest, RingWatchEndsAtOnceWithoutCounting) {
    // Unsolicited bytes wait on the port, an "SRING" line among them (the
    // fake sends them as its answer to a command of the test's own).
    modem.Answer("ATRING", "\r\n+CREG: 1\r\nSRING: 2\r\n");
    AtPort(kCellPort).PutsTx(kCellPort, "ATRING\r");
    for (int i = 0; i < 200 && AtPort(kCellPort).CountRx(kCellPort) < 24; ++i) {
        modem.Pump();
        AwaitIo();
    }
    at_status.letter = 'T';
    at_status.engineState = kAtWait;
    at_status.timeout = 0;
    at_status.reply = at_status.replyBuffer;
    at_status.capacity = kAtReplyBytes;
    at_status.count = 0;
    AT_Cmd_Handler(&at_cmd[kRowRing]);
    EXPECT_EQ(at_status.engineState, kAtDone);
    EXPECT_EQ(at_status.result, kAtTimeout);
    EXPECT_EQ(at_status.errorCount, 0);
    EXPECT_EQ(at_status.pollFlags & 0x01, 0x01);
}

TEST_F(ModemTest, TextMessageWaitsForThePrompt) {
    AtItem number, text;
    number.Set("+15550001");
    text.Set("hello");
    at_stack_data[0].item = &number;
    at_stack_data[1].item = &text;
    at_status.linkFlags = 0x02;  // prompt expected
    EXPECT_EQ(RunStep(&at_cmd[34]), 2);
    EXPECT_EQ(at_status.result, kAtFound);
    EXPECT_EQ(at_status.engineState, kAtSend);
    EXPECT_EQ(RunStep(&at_cmd[36]), 1);
    EXPECT_EQ(at_status.result, kAtOk);
    auto cmds = modem.Commands();
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[cmds.size() - 2], "AT+CMGS=+15550001");
    EXPECT_EQ(cmds.back(), "SMS:hello");
}

// Modem answers that lie about their size or end early never move a copy
// past its field or the count past what arrived.
TEST_F(ModemTest, HostileAnswersStayInTheirFields) {
    // A bare "OK": nothing is left of the reply, the field is empty.
    modem.Answer("AT+CGSN", "OK");
    char imei[18] = {};
    at_stack_data[0].buffer = imei;
    at_stack_data[0].capacity = sizeof imei;
    RunStep(&at_cmd[108]);
    EXPECT_EQ(at_status.count, 0);
    EXPECT_EQ(at_status.result, kAtFail);
    // Over-long identity: Max 16 characters.
    modem.Answer("AT+CGSN", "\r\n" + std::string(60, '9') + "\r\n\r\nOK\r\n");
    RunStep(&at_cmd[108]);
    EXPECT_EQ(std::string(imei), std::string(16, '9'));
    // The network's address into a 17-byte text: at most 16 characters.
    char ip[17];
    std::memset(ip, 'x', sizeof ip);
    at_stack_data[0].buffer = ip;
    at_stack_data[0].capacity = sizeof ip;
    modem.Answer("AT#SGACT=1,1", "\r\n#SGACT: " + std::string(30, '1') + "\r\n\r\nOK\r\n");
    RunStep(&at_cmd[60]);
    EXPECT_EQ(std::string(ip), std::string(16, '1'));
    // Answers split into three-byte pieces are recognised as one.
    modem.SplitAnswers(3);
    modem.Answer("AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n");
    EXPECT_EQ(RunStep(&at_cmd[16]), 12);
}

TEST(AtCmdData, GetDataResolvesParametersAndSlots) {
    AtCmd_Reset();
    AtParam_Set(5, "apn.example", 11);
    AtDataRequest q;
    q.parameter = 5;
    AT_Cmd_GetData(&q);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(q.data), q.length), "apn.example");
    AtItem id;
    id.Set("3");
    at_stack_data[0].item = &id;
    const u8 bytes[] = {1, 2, 3, 4};
    at_stack_data[2].pairData = bytes;
    at_stack_data[2].pairLength = 4;
    AtDataRequest a;
    a.text = "%1-CONNECTION ID";
    AT_Cmd_GetData(&a);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data), a.length), "3");
    AtDataRequest p;
    p.text = "%3P-DATA";
    AT_Cmd_GetData(&p);
    EXPECT_EQ(p.length, 4);
    EXPECT_EQ(p.data, bytes);
    AtDataRequest empty;
    empty.text = "%5-DIAL_UDP_PORT";
    AT_Cmd_GetData(&empty);
    EXPECT_EQ(empty.length, 0);
    EXPECT_EQ(empty.data, nullptr);
    AtCmd_Reset();
}
