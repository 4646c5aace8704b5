#include <algorithm>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "io/ioapi.h"
#include "modem_fixture.h"
#include "remote/gsmgprs.h"
#include "remote/msgcfg.h"
#include "testsupport/msgcfg_builder.h"

namespace {

class ModemCycleTest : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        savedSlot = io_init[1];
        io_init[1] = 0x6F0F;  // communication option module with the internal module
    }
    void TearDown() override {
        io_init[1] = savedSlot;
        MsgCfg_Store({});
        ModemTest::TearDown();
    }
    void Store(const MsgCfgBuilder& b) { MsgCfg_Store(b.Build()); }
    bool Drive(std::function<bool()> done, int passes = 20000) { return DriveCycle(*this, modem, clock, done, passes); }
    bool Idle() { return at_status.letter == 'z'; }

    u16 savedSlot = 0;
};

MsgCfgBuilder Block() {
    MsgCfgBuilder b;
    b.contacts = {{"+15550001", 0, 1}};
    b.transmit = {{"ALARM", 1, 0x800, ""}};
    b.pin.clear();
    b.centre.clear();
    return b;
}

const std::vector<std::string> kInitCommands = {
    "AT",          "AT#ENHRST=1,0", "+++",        "ATE0Q0V1X1Q0&K0",   "AT+IPR=115200", "AT+IFC=0,0",
    "AT+FCLASS=0", "AT+CFUN=1",     "AT+CMEE=2",  "AT+CPIN?",          "AT+CREG?",      "AT#AUTOATT=0",
    "AT#SGACT=1,0", "AT+CMGF=1",    "AT+CSMP=17,167,0,0", "AT+CGSN",   "AT+CNUM",       "AT+COPS?",
    "AT+GMR",      "AT+GMM"};

}  // namespace

TEST_F(ModemCycleTest, InternalModuleInitialisesAndIdentifies) {
    Store(Block());
    ASSERT_TRUE(Drive([&] { return Idle() && CheckInit() && at_status.modelIndex != 0; }));
    EXPECT_EQ(modem.Commands(), kInitCommands);
    EXPECT_STREQ(at_status.imei, "356938035643809");
    EXPECT_STREQ(at_status.swVersion, "20.00.402");
    EXPECT_EQ(std::string(Modm_model[at_status.modelIndex]), "LE910-D");
    EXPECT_EQ(at_status.accessTech, 2);
    EXPECT_EQ(TelitPowerON, 1);
    // Ten seconds later the signal poll reads the level: -75 dBm is 19.
    modem.ClearCommands();
    ASSERT_TRUE(Drive([&] { return at_status.signal == 19 && Idle(); }));
    EXPECT_EQ(modem.Commands(), std::vector<std::string>{"AT#MONI"});
    EXPECT_EQ(CheckSigSt(), 19);
}

TEST_F(ModemCycleTest, CentreNumberAndPinAreSent) {
    MsgCfgBuilder b = Block();
    b.centre = "+4412345";
    b.pin = "1234";
    Store(b);
    modem.Answer("AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    ASSERT_TRUE(Drive([&] { return Idle() && CheckInit(); }));
    auto c = modem.Commands();
    EXPECT_NE(std::find(c.begin(), c.end(), "AT+CPIN=1234"), c.end());
    EXPECT_NE(std::find(c.begin(), c.end(), "AT+CSCA=+4412345"), c.end());
}

TEST_F(ModemCycleTest, RefusedPinResetsAndStartsAgain) {
    MsgCfgBuilder b = Block();
    b.pin = "9999";
    Store(b);
    modem.Answer("AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    modem.AnswerOnce("AT+CPIN=", "\r\n+CME ERROR: incorrect password\r\n");
    // The first round ends in a reset; the second (PIN accepted) initialises.
    ASSERT_TRUE(Drive([&] { return Idle() && CheckInit(); }));
    auto c = modem.Commands();
    EXPECT_EQ(std::count(c.begin(), c.end(), "AT#ENHRST=1,0"), 2);
    EXPECT_EQ(std::count(c.begin(), c.end(), "AT+CPIN=9999"), 2);
}

TEST_F(ModemCycleTest, LastCommandTimingOutResets) {
    Store(Block());
    modem.AnswerOnce("AT+CSMP", "");
    ASSERT_TRUE(Drive([&] { return Idle() && CheckInit(); }));
    auto c = modem.Commands();
    EXPECT_EQ(std::count(c.begin(), c.end(), "AT#ENHRST=1,0"), 2);
}

TEST_F(ModemCycleTest, NothingWithoutConfiguration) {
    MsgCfg_Store({});
    for (int i = 0; i < 50; ++i) {
        ModemCycle();
        clock.AdvanceTicks(10000);
        modem.Pump();
    }
    EXPECT_TRUE(modem.Commands().empty());
    EXPECT_EQ(at_status.letter, 0u);
}

TEST_F(ModemCycleTest, SignalLevels) {
    struct {
        int dbm;
        u8 quality;
    } cases[] = {{-113, 0}, {-75, 19}, {-74, 25}, {-51, 31}, {-120, 1}, {-100, 5}, {-80, 12}, {-40, 25}};
    for (auto c : cases) EXPECT_EQ(Modem_SignalFromDbm(c.dbm), c.quality) << c.dbm;
    Store(Block());
    ASSERT_TRUE(Drive([&] { return Idle() && CheckInit() && at_status.modelIndex != 0; }));
    // An answer without "PWR", and one that ends right after it.
    modem.Answer("AT#MONI", "\r\n#MONI: TESTNET BSIC:12\r\n\r\nOK\r\n");
    at_status.signal = 7;
    ASSERT_TRUE(Drive([&] { return at_status.signal == 99 && Idle(); }));
    modem.Answer("AT#MONI", "\r\n#MONI: PWR\r\n\r\nOK\r\n");
    at_status.signal = 7;
    ASSERT_TRUE(Drive([&] { return at_status.signal == 99 && Idle(); }));
}
