#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "core/wiring.h"
#include "link/modem.h"
#include "link/talk.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "remote/at_cmd.h"
#include "remote/gsmgprs.h"
#include "remote/modem.h"
#include "remote/msgcfg.h"
#include "testsupport/fake_modem.h"
#include "testsupport/manual_clock.h"
#include "testsupport/msgcfg_builder.h"
#include "testsupport/temp_root.h"

namespace {

class GsmModemTest : public ::testing::Test {
protected:
    void SetUp() override {
        Modem_ResetAll();
        ASSERT_TRUE(modem.Open(root.Path("/dev/ttySP4"), 1));
        modem.Carrier(false);
        SCI1_Init(1);
        MsgCfgBuilder b;
        b.contacts = {{"+15550001", 0, 1}};
        b.pin.clear();
        b.centre.clear();
        b.gsm.options = 0x07;  // circuit-data call, dial-out option, external modem
        MsgCfg_Store(b.Build());
        GSMGPRSInfo_St.port = 1;
    }
    void TearDown() override {
        modem.Carrier(false);
        MsgCfg_Store({});
        Sci_Reset();
        Modem_ResetAll();
    }
    // Steps `step` until done() holds; time moves only while both sides are quiet.
    bool Drive(const std::function<void()>& step, const std::function<bool()>& done, int passes = 5000) {
        for (int i = 0; i < passes; ++i) {
            step();
            if (done()) return true;
            // Bytes left unread on the controller's side do not hold time back
            // (a step may wait for its countdown with a line end still there).
            pollfd master{modem.Master(), POLLIN, 0};
            bool sent = poll(&master, 1, 2) > 0;
            if (modem.Pump() > 0) {
                pollfd mine{Sci_View(1).fd, POLLIN, 0};
                poll(&mine, 1, 200);
                continue;
            }
            if (!sent) clock.AdvanceTicks(1000);
        }
        return false;
    }
    bool Saw(const std::string& command) {
        auto c = modem.Commands();
        return std::find(c.begin(), c.end(), command) != c.end();
    }
    // Runs release (1 once done) until the call is ended: the escape, the
    // hang-up command, which the modem answers by dropping carrier.
    bool HangUp(const std::function<int()>& release) {
        modem.Answer("ATHS0=0", "\r\nOK\r\n");
        int done = 0;
        return Drive([&] {
            if (Saw("ATHS0=0")) modem.Carrier(false);
            done = release();
        }, [&] { return done == 1; });
    }

    TempRoot root;
    ManualClock clock;
    FakeModem modem;
};

}  // namespace

TEST_F(GsmModemTest, ArbitrationOperations) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 2), 1);
    EXPECT_EQ(s.requester, 1);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 2), 0);  // still pending
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 3), 0);  // another user's request is pending
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 3), 1);
    EXPECT_EQ(s.owner, 1);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 3), 2);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 0), 1);
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 0), 0);
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 1), 1);
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 4), 1);  // SMS supervision leaves the modem without owner
    EXPECT_EQ(s.owner, 0);
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 5), 1);  // e-mail releases what it does not own
    s.owner = 3;
    EXPECT_EQ(GSMGPRSRsrcMngr(0, 1), 5);
    s.owner = 4;
    EXPECT_EQ(GSMGPRSRsrcMngr(0, 1), 7);
    // Takeover of a pending request.
    s.requester = 3;
    s.owner = 3;
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 2), 1);
    EXPECT_EQ(s.requester, 4);
    s.owner = 4;
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 2), 1);
    EXPECT_EQ(s.requester, 1);
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 6), 1);  // SMS leaving clears the requester
    EXPECT_EQ(s.requester, 0);
    EXPECT_EQ(GSMGPRSRsrcMngr(2, 9), 0);
    // A held data call without the circuit-data option cannot be taken back.
    s.owner = 0;
    s.control |= 0x01;
    s.options &= ~0x01;
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 3), 0);
    // With it but without carrier the held call is given up and the modem taken.
    s.options |= 0x01;
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 3), 1);
    EXPECT_EQ(s.control & 0x01, 0);
}

TEST_F(GsmModemTest, SettingsLoadOnceAndWithoutARecord) {
    EXPECT_EQ(GSMGPRSParmInit(), 1);
    EXPECT_EQ(GSMGPRSInfo_St.magic, kMagicGsme);
    EXPECT_EQ(GSMGPRSInfo_St.options & 0x07, 0x07);
    EXPECT_EQ(GSMGPRSInfo_St.idleTime, 30);
    EXPECT_STREQ(ConfigDataInStr[4].text, "internet");
    modem.ClearCommands();
    GSMGPRSInfo_St.step = 9;
    EXPECT_EQ(GSMGPRSParmInit(), 1);  // unchanged: nothing touched
    EXPECT_EQ(GSMGPRSInfo_St.step, 9);
    // A block without the GSM record still marks an external modem.
    MsgCfgBuilder b;
    b.gsm.size = 0;
    MsgCfg_Store(b.Build());
    EXPECT_EQ(GSMGPRSParmInit(), 0);
    EXPECT_EQ(GSMGPRSInfo_St.options & 0x05, 0x05);
    EXPECT_EQ(GSMGPRSInfo_St.status & 0x01, 0x01);
}

TEST_F(GsmModemTest, DataCallReachesConnectedAndHangsUpOnRelease) {
    ASSERT_EQ(GSMGPRSParmInit(), 1);  // a new block clears the owner: load it before acquiring
    ASSERT_EQ(GSMGPRSRsrcMngr(1, 2), 1);
    ASSERT_EQ(GSMGPRSRsrcMngr(1, 3), 1);
    auto init = [] { GSMModemInit(1); };
    ASSERT_TRUE(Drive(init, [] { return GSMGPRSInfo_St.step == 31; }))
        << "step " << int(GSMGPRSInfo_St.step) << " result " << GSMGPRSInfo_St.resultCode << " last "
        << (modem.Commands().empty() ? "" : modem.Commands().back());
    for (const char* c : {"+++", "AT+IPR=115200", "ATE0HS0=0Q0V1&C1&D1", "AT+GMM", "AT+CFUN=1", "AT+FCLASS=0",
                          "AT$AREG=0", "AT+COPS=0", "AT+CSQ", "AT+CBST=7,0,1", "ATS0=1"})
        EXPECT_TRUE(Saw(c)) << c;
    // The caller rings: the modem answers and raises carrier.
    modem.Carrier(true);
    modem.Unsolicited("\r\nRING\r\n\r\nCONNECT 9600\r\n");
    ASSERT_TRUE(Drive(init, [] { return GSMGPRSInfo_St.step == 32; }));
    EXPECT_EQ(GSMGPRSInfo_St.resultCode, 1);
    EXPECT_EQ(GSMGPRSInfo_St.status & 0x20, 0x20);
    // Release: escape, hang-up command, and the carrier falls.
    ASSERT_TRUE(HangUp([] { return GSMGPRSRsrcMngr(1, 5); }));
    EXPECT_TRUE(Saw("ATHS0=0"));
    EXPECT_EQ(GSMGPRSInfo_St.owner, 0);
    EXPECT_EQ(GSMGPRSInfo_St.status & 0x20, 0);
}

// The program's answer call on the external modem through the modem engine
// of the serial ports: the set-up's command chain, then the engine's own
// answer command; the call on line is the set-up's connected step, and
// stopping the call hangs the modem up.
TEST_F(GsmModemTest, EngineCallOnLineIsTheConnectedStepAndStopHangsUp) {
    Wiring_Connect();
    Modem_Reset();
    ASSERT_EQ(GSMGPRSParmInit(), 1);  // the modem cycle loads the settings on every pass
    u8 status[2] = {};
    const u8 rings[2] = {1, 0};
    ModemSlot slot;
    slot.function = 2;
    slot.status = status;
    slot.params = rings;
    slot.paramBytes = sizeof rings;
    ModemInit(1);
    ASSERT_EQ(ModemStart(1, slot), 1);
    auto execute = [] { ModemExecute(1, 2); };
    ASSERT_TRUE(Drive(execute, [] { return Modem_State(1, 2) == 8; }))
        << "state " << Modem_State(1, 2) << " step " << int(GSMGPRSInfo_St.step);
    for (const char* c : {"+++", "AT+IPR=115200", "AT+CBST=7,0,1", "ATS0=001"}) EXPECT_TRUE(Saw(c)) << c;
    EXPECT_EQ(GSMGPRSInfo_St.owner, 1);
    modem.Carrier(true);
    modem.Unsolicited("\r\nRING\r\n\r\nCONNECT 9600\r\n");
    ASSERT_TRUE(Drive(execute, [&] { return GetLe16(status) == 1; }));
    EXPECT_EQ(GSMGPRSInfo_St.step, 32);
    EXPECT_EQ(GSMGPRSInfo_St.resultCode, 1);
    EXPECT_EQ(GSMGPRSInfo_St.status & 0x20, 0x20);
    // The program lets go: escape, the hang-up command, and the carrier falls.
    ASSERT_TRUE(HangUp([] { return ModemStop(1, 2); }));
    EXPECT_TRUE(Saw("ATHS0=0"));
    EXPECT_EQ(GetLe16(status), 0xFFFF);
    EXPECT_EQ(GSMGPRSInfo_St.owner, 0);
    EXPECT_EQ(GSMGPRSInfo_St.step, 0);
    EXPECT_EQ(GSMGPRSInfo_St.status & 0x30, 0);
    talkPeers = TalkPeers{};
}

TEST_F(GsmModemTest, AnswerLinesAreClassifiedAndBounded) {
    GsmGprsInfo& s = GSMGPRSInfo_St;
    struct {
        std::string line;
        u16 result;
    } cases[] = {
        {"OK", 0}, {"ERROR", 4}, {"CONNECT 9600", 1}, {"NO CARRIER", 3}, {"RING", 2}, {"LISTEN", 6},
        {"AT-Command Interpreter ready", 4}, {"Enabler-III", 0}, {"whatever", 0xFFFE},
        {std::string(400, 'x') + "OK", 0xFFFE},  // an over-long line is dropped
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.line);
        s.errorCount = 0;
        modem.Answer("ATX", "\r\n" + c.line + "\r\n");
        Vcomm_Drv[1].PutsTx(1, "ATX\r");
        u16 r = 0xFFFE;
        for (int i = 0; i < 400 && r == 0xFFFE; ++i) {
            modem.Pump();
            pollfd p{Sci_View(1).fd, POLLIN, 0};
            poll(&p, 1, 5);
            r = GSMGetResult(1);
            if (c.result == 0xFFFE && i > 20) break;
        }
        EXPECT_EQ(r, c.result);
    }
    EXPECT_EQ(s.control & 0x40, 0x40);  // "Enabler-III" is the newer type
    // The operator code taken from a network list keeps within its field.
    std::snprintf(NWOprtrName, sizeof NWOprtrName, "TEST NET");
    s.options |= 0x40;
    modem.Answer("ATL", "\r\n(2,\"Test Net\",\"TNET\",\"" + std::string(60, '5') + "\")\r\n");
    Vcomm_Drv[1].PutsTx(1, "ATL\r");
    u16 r = 0xFFFE;
    for (int i = 0; i < 400 && r == 0xFFFE; ++i) {
        modem.Pump();
        pollfd p{Sci_View(1).fd, POLLIN, 0};
        poll(&p, 1, 5);
        r = GSMGetResult(1);
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(std::string(s.operatorCode), std::string(18, '5') + "\"");
    // The address answer keeps within its text.
    s.addressQuery = 1;
    modem.Answer("ATN", "\r\n$NETIP: 10.1.2.3, " + std::string(60, '7') + "\r\n");
    Vcomm_Drv[1].PutsTx(1, "ATN\r");
    r = 0xFFFE;
    for (int i = 0; i < 400 && r == 0xFFFE; ++i) {
        modem.Pump();
        pollfd p{Sci_View(1).fd, POLLIN, 0};
        poll(&p, 1, 5);
        r = GSMGetResult(1);
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(s.addressAllocated, 1);
    EXPECT_EQ(std::string(s.addressText), std::string(24, '7') + "/53");
}
