// The IEC serial-port and modem blocks on port 1 through the real TALK port
// functions, with a peer on the pty's far end: the test itself for bytes, a
// fake Hayes modem for the modem blocks.
#include <string>
#include <vector>

#include "../iecfb/fb_fixture.h"
#include "core/wiring.h"
#include "iec/blocks/q4comm.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/fake_modem.h"

#include "port1_fixture.h"

namespace {

class IecCommTest : public Port1Test {
protected:
    void SetUp() override {
        Port1Test::SetUp();
        Q4Comm_Reset();
        Wiring_Connect();  // the blocks reach the TALK ports as the controller wires them
        modem = std::make_unique<FakeModem>();
        modem->Attach(port1.Master(), 1);
        modem->Hayes();
    }
    void TearDown() override {
        modem->Carrier(false);
        Port1Test::TearDown();
    }
    u16 Status() { return static_cast<u16>(GetLe16(f.Vm().Data16(status))); }
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        b.String(30, "5551234");
        status = b.Var(kQ4TypeInt);
        b.Var(kQ4TypeInt);
        progress = b.Var(kQ4TypeInt);
        count = b.Var(kQ4TypeInt);
        bytes = b.Array(kQ4TypeUsint, 8);
        return b;
    }
    // OPENCOMM of port 1 at 9600 8N1 (enable B0, status B1).
    void OpenPort(bool enable) {
        std::vector<u16> open = {f.B(0), f.D(0)};
        const i32 settings[7] = {9600, 0, 8, 1, 0, 2, 0};  // protocol 2: a program-controlled port
        for (u16 k = 0; k < 7; ++k) {
            f.SetD(f.D(1 + k), settings[k]);
            open.push_back(f.D(1 + k));
        }
        open.push_back(f.B(1));
        f.SetB(f.B(0), enable);
        f.SetD(f.D(0), 1);
        f.Exec(Q4Ctl_OpenComm, nullptr, open);
    }
    u16 Progress() { return GetLe16(f.Vm().Data16(progress)); }
    void Move(Q4FbHandler h, i16 n) {
        PutLe16(f.Vm().Data16(count), static_cast<u16>(n));
        f.SetB(f.B(0), true);
        f.Exec(h, nullptr, {f.B(0), f.D(0), count, bytes, 8, progress});
    }
    static inline u16 status = 0, progress = 0, count = 0, bytes = 0;
    FbDb f{Builder()};
    std::unique_ptr<FakeModem> modem;
};

TEST_F(IecCommTest, OpenThenDialThroughTheTalkPort) {
    // The dial's operands: option INT (status + 1), number STRING 1, status INT.
    auto dial = [&](bool enable) {
        f.SetB(f.B(0), enable);
        f.Exec(Q4Ctl_ModemAutoDial, nullptr, {f.B(0), f.D(0), static_cast<u16>(status + 1), 1, status});
        modem->Pump();
    };
    PutLe16(f.Vm().Data16(status), kModemIdle);
    std::vector<u16> open = {f.B(0), f.D(0)};
    const i32 settings[7] = {9600, 0, 8, 1, 0, 2, 0};  // protocol 2: a program-controlled port
    for (u16 k = 0; k < 7; ++k) {
        f.SetD(f.D(1 + k), settings[k]);
        open.push_back(f.D(1 + k));
    }
    open.push_back(f.B(1));
    f.SetB(f.B(0), true);
    f.SetD(f.D(0), 1);
    f.Exec(Q4Ctl_OpenComm, nullptr, open);
    EXPECT_TRUE(f.GetB(f.B(1)));
    EXPECT_EQ(TalkOpened(1), 1);

    modem->Answer("ATD", "10\r");
    dial(true);
    EXPECT_EQ(Status(), kModemPending);
    clock.AdvanceMs(1100);
    ASSERT_TRUE(RunLinkUntil([&] {
        dial(true);
        return Modem_State(1, 1) == 3;
    }));
    clock.AdvanceMs(1500);
    ASSERT_TRUE(RunLinkUntil([&] {
        dial(true);
        return Status() == kModemConnect;
    }));
    const std::vector<std::string> l = modem->Commands();
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[2], "ATDT5551234");

    // Disabled: the call ends and the port goes back.
    modem->Carrier(false);
    dial(false);
    clock.AdvanceMs(300);
    dial(false);
    f.SetB(f.B(0), false);
    f.Exec(Q4Ctl_OpenComm, nullptr, open);
    f.SetB(f.B(0), true);
    f.Exec(Q4Ctl_CloseComm, nullptr, {f.B(0), f.D(0), f.B(2)});
    EXPECT_TRUE(f.GetB(f.B(2)));
    EXPECT_EQ(TalkOpened(1), 0);
}

}  // namespace

namespace {

TEST_F(IecCommTest, SendAndReceiveBytesOfAnArray) {
    pDB = f.Db();  // the bytes travel through the running application's tables
    OpenPort(true);
    ASSERT_EQ(TalkOpened(1), 1);
    PutLe16(f.Vm().Data16(progress), 0xFFFF);
    const char out[] = "hello!!!";
    for (u16 k = 0; k < 8; ++k) *f.Vm().Data8(static_cast<u16>(bytes + k)) = static_cast<u8>(out[k]);
    Move(Q4Ctl_SendComm, 9);  // more than the array holds: refused
    EXPECT_EQ(Progress(), 0xFFFF);
    Move(Q4Ctl_SendComm, 5);
    EXPECT_EQ(Progress(), 5);
    EXPECT_EQ(ReadFar(port1.Master(), 5), "hello");
    f.SetB(f.B(0), false);
    f.Exec(Q4Ctl_SendComm, nullptr, {f.B(0), f.D(0), count, bytes, 8, progress});
    EXPECT_EQ(Progress(), 0xFFFF);

    ASSERT_EQ(::write(port1.Master(), "abc", 3), 3);
    ASSERT_TRUE(RunLinkUntil([&] {
        Move(Q4Ctl_RcvComm, 3);
        return Progress() == 3;
    }));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f.Vm().Data8(bytes)), 4), "abcl");
    OpenPort(false);
    pDB = nullptr;
}

}  // namespace
