// The Hayes modem engine driven by ladder modem instructions on port 1, with
// a fake modem on the pty's far end and the controller's clock advanced by
// hand: escape, set-up string, dial and answer commands, numeric results,
// echo, carrier loss, the hang-up pulse and the 10 s and 120 s time-outs.
#include <string>
#include <vector>

#include "testsupport/fake_modem.h"
#include "testsupport/ladder_builder.h"

#include "port1_fixture.h"

namespace {

constexpr u32 kRun = lreg::R(1), kOpen = lreg::R(2), kOn = lreg::R(2) + 1, kStatus = lreg::R(50);
constexpr const char* kSetup = "ATE0S0=0Q0V0X0&C1&D2";

u32 ByteOf(u32 a) { return (a - 0x400) / 8; }
u16 Status() { return GetLe16(&plc_reg[ByteOf(kStatus)]); }
void SetBit(u32 a, bool on) {
    u8& b = plc_reg[ByteOf(a)];
    b = on ? static_cast<u8>(b | (1u << (a & 7))) : static_cast<u8>(b & ~(1u << (a & 7)));
}
bool Bit(u32 a) { return (plc_reg[ByteOf(a)] >> (a & 7)) & 1; }

class ModemTest : public Port1Test {
protected:
    void SetUp() override {
        Port1Test::SetUp();
        NewModem();
    }
    void NewModem() {
        modem = std::make_unique<FakeModem>();
        modem->Attach(port1.Master(), 1);
        modem->Hayes();
    }
    void TearDown() override {
        modem->Carrier(false);
        Port1Test::TearDown();
    }
    static std::vector<u16> Text(const std::string& t) {
        std::vector<u16> w;
        for (size_t i = 0; i < t.size(); i += 2)
            w.push_back(static_cast<u16>(static_cast<u8>(t[i]) | (i + 1 < t.size() ? static_cast<u8>(t[i + 1]) << 8 : 0)));
        return w;
    }
    // Opens port 1 for the program, then the modem instruction with the
    // given function and parameter words (16-bit program).
    void LoadWords(u16 function, const std::vector<u16>& params) {
        LadderBuilder b(LadderWidth::k16);
        b.Contact(kRun).Raw(132).Raw(1).Raw(5).Raw(3).Raw(2 << 8).Out(kOpen);
        b.Contact(kRun).Raw(136).Raw(1).Raw(function).Raw(static_cast<u16>(kStatus));
        for (u16 w : params) b.Raw(w);
        b.Out(kOn).End();
        b.Load();
        S_Put(1, true);
        SetBit(kRun, true);
    }
    void Scan() {
        ASSERT_EQ(Ladder_Scan(ladder), kLadderEnd);
        modem->Pump();
    }
    // Scans (the clock standing still) until the condition holds.
    bool ScanUntil(const std::function<bool()>& done) {
        return RunLinkUntil([&] {
            Scan();
            return done();
        });
    }
    // Runs the escape and the set-up string to the function command; the
    // modem's answers come from its script.
    void ThroughSetup(int function) {
        Scan();
        EXPECT_EQ(Status(), kModemPending);
        clock.AdvanceMs(1100);
        ASSERT_TRUE(ScanUntil([&] { return Modem_State(1, function) == 3; }));
        EXPECT_TRUE(modem->ControlLine());
        clock.AdvanceMs(1500);
        ASSERT_TRUE(ScanUntil([&] { return Modem_State(1, function) >= 6; }));
    }

    std::unique_ptr<FakeModem> modem;
};

TEST_F(ModemTest, DialConnectsThenCarrierLossAndTheHangUpPulse) {
    std::vector<u16> p{0x0000, 7};
    for (u16 w : Text("5551234")) p.push_back(w);
    LoadWords(1, p);
    modem->Echo(true);  // echo stays on despite E0: ignored
    modem->Answer("ATD", "10\r");  // CONNECT at a speed code
    ThroughSetup(1);
    ASSERT_TRUE(ScanUntil([&] { return Status() == kModemConnect && !Bit(kOn); }));
    modem->Carrier(true);
    Scan();
    EXPECT_TRUE(Bit(kOn));
    const std::vector<std::string> l = modem->Commands();
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[0], "+++");
    EXPECT_EQ(l[1], kSetup);
    EXPECT_EQ(l[2], "ATDT5551234");

    // Carrier loss: the control line drops, the dial's status is kept.
    modem->Carrier(false);
    Scan();
    EXPECT_FALSE(Bit(kOn));
    EXPECT_FALSE(modem->ControlLine());
    EXPECT_EQ(Status(), kModemConnect);

    // Disabled: a 250 ms pulse on the control line, then idle.
    modem->Carrier(true);
    SetBit(kRun, false);
    Scan();
    EXPECT_FALSE(modem->ControlLine());
    EXPECT_EQ(Status(), kModemConnect);
    clock.AdvanceMs(249);
    Scan();
    EXPECT_NE(Status(), kModemIdle);
    clock.AdvanceMs(1);
    Scan();
    EXPECT_EQ(Status(), kModemIdle);
    EXPECT_TRUE(modem->ControlLine());
}

TEST_F(ModemTest, PulseDialOfARegisterNumberStopsAtTheDot) {
    std::memcpy(&plc_reg[ByteOf(lreg::R(80))], "0123.45\0", 8);
    LoadWords(1, {0x0001, static_cast<u16>(lreg::R(80))});
    modem->Answer("ATD", "3\r");  // NO CARRIER
    ThroughSetup(1);
    ASSERT_TRUE(ScanUntil([&] { return Modem_State(1, 1) == 7; }));
    EXPECT_EQ(Status(), kModemNoCarrier);
    EXPECT_EQ(modem->Commands().back(), "ATDP0123");
}

TEST_F(ModemTest, AnswerAfterThreeRingsThenRingAndConnect) {
    LoadWords(2, {3});
    ThroughSetup(2);
    ASSERT_TRUE(ScanUntil([&] { return Modem_State(1, 2) == 8; }));
    EXPECT_EQ(modem->Commands().back(), "ATS0=003");
    modem->Unsolicited("2\r");
    ASSERT_TRUE(ScanUntil([&] { return Status() == kModemRing; }));
    modem->Carrier(true);
    modem->Unsolicited("1\r");
    ASSERT_TRUE(ScanUntil([&] { return Bit(kOn); }));
    EXPECT_EQ(Status(), kModemConnect);
    // The caller hangs up: NO CARRIER shown, the control line drops.
    modem->Carrier(false);
    Scan();
    EXPECT_EQ(Status(), kModemNoCarrier);
    EXPECT_FALSE(Bit(kOn));
}

TEST_F(ModemTest, TimeOutsOfTheSetupStringAndOfTheFunctionCommand) {
    // No answer to the set-up string within 10 s.
    LoadWords(0, {2, 0x5A5A});
    modem->Answer("ATE0", "");
    Scan();
    clock.AdvanceMs(1100);
    ASSERT_TRUE(ScanUntil([&] { return Modem_State(1, 0) == 3; }));
    clock.AdvanceMs(1500);
    ASSERT_TRUE(ScanUntil([&] { return Modem_State(1, 0) == 4 && modem->Commands().size() >= 2; }));
    clock.AdvanceMs(9999);
    Scan();
    EXPECT_EQ(Status(), kModemPending);
    clock.AdvanceMs(1);
    Scan();
    EXPECT_EQ(Status(), kModemTimeout);

    // No answer to the dial within 120 s.
    Talk_Reset();
    Modem_Reset();
    NewModem();
    modem->Answer("ATD", "");
    std::vector<u16> p{0, 3};
    for (u16 w : Text("123")) p.push_back(w);
    LoadWords(1, p);
    ThroughSetup(1);
    ASSERT_TRUE(ScanUntil([&] { return modem->Commands().size() >= 3; }));
    clock.AdvanceMs(119999);
    Scan();
    EXPECT_EQ(Status(), kModemPending);
    clock.AdvanceMs(1);
    Scan();
    EXPECT_EQ(Status(), kModemTimeout);
}

TEST_F(ModemTest, InitialisationTextTooLongForTheCommandIsRefused) {
    std::vector<u16> p{100};
    for (u16 w : Text(std::string(100, 'X'))) p.push_back(w);
    LoadWords(0, p);
    ThroughSetup(0);
    EXPECT_EQ(Status(), kModemError);
    EXPECT_EQ(Modem_State(1, 0), 7);
    EXPECT_EQ(modem->Commands().size(), 2u);  // nothing after the set-up string
}

// The internal cellular module: the dial is a socket connection to the
// destination (a binary "IPBN" register text here), no AT command is sent,
// and the stop releases the socket.
struct CellFake {
    static inline ModemConnRequest last{};
    static inline int requests = 0, releases = 0;
};

TEST_F(ModemTest, CellularDialConnectsTheDataSocketToABinaryDestination) {
    CellFake::requests = CellFake::releases = 0;
    talkPeers.CommOptionIdent = [] { return static_cast<u16>(0x6F0F); };
    talkPeers.ModemDataConnRequest = [](ModemConnRequest* r) {
        CellFake::last = *r;
        return ++CellFake::requests < 3 ? 1 : 0;
    };
    talkPeers.ModemDataDisConnRequest = [](int) { return CellFake::releases++ == 0 ? 1 : 0; };
    const u8 bin[10] = {'I', 'P', 'B', 'N', 7, 0, 0, 10, 0xF6, 0x01};
    std::memcpy(&plc_reg[ByteOf(lreg::R(80))], bin, sizeof bin);
    LoadWords(1, {0x0001, static_cast<u16>(lreg::R(80))});
    ASSERT_TRUE(ScanUntil([&] { return Bit(kOn); }));
    EXPECT_EQ(Status(), kModemConnect);
    EXPECT_EQ(CellFake::last.address, 0x0A000007u);
    EXPECT_EQ(CellFake::last.port, 502);
    EXPECT_EQ(CellFake::last.flags, 3) << "UDP, dialling out to the given port";
    EXPECT_TRUE(modem->Commands().empty());
    SetBit(kRun, false);
    Scan();
    EXPECT_NE(Status(), kModemIdle) << "the socket is still in use";
    Scan();
    EXPECT_EQ(Status(), kModemIdle);
    EXPECT_EQ(CellFake::releases, 2);
}

TEST(ModemText, ResultsDigitsAndDestinations) {
    EXPECT_EQ(ResultToBin("\r\nOK"), 0);
    EXPECT_EQ(ResultToBin("xxCONNECT 9600"), 1);
    EXPECT_EQ(ResultToBin("NO CARRIER"), 3);
    EXPECT_EQ(ResultToBin("+CME: AT-Command"), 4);
    EXPECT_EQ(ResultToBin("garbage"), -1);
    char d[3];
    BinToDec(2, d);
    EXPECT_EQ(std::string(d, 3), "002");
    BinToDec(255, d);
    EXPECT_EQ(std::string(d, 3), "255");
    const u8 bin[10] = {'i', 'P', 'b', 'N', 4, 3, 2, 1, 0x39, 0x30};
    char out[40];
    Modem_DestinationText(bin, 10, true, out, 36);
    EXPECT_STREQ(out, "1.2.3.4/12345");
    Modem_DestinationText(bin, 10, false, out, 36);
    EXPECT_STREQ(out, "iPbN\x04\x03\x02\x01" "90");
    ModemConnRequest r;
    Modem_ParseDestination("10.0.0.7", false, &r);
    EXPECT_EQ(r.address, 0x0A000007u);
    EXPECT_EQ(r.port, 1001);
    Modem_ParseDestination("10.0.0.7/502", true, &r);
    EXPECT_EQ(r.port, 502);
    EXPECT_EQ(r.flags, 3);
}

}  // namespace
