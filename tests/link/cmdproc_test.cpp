#include "link_fixture.h"

namespace {

// How long the port keeps the answer in its transmit queue; -1 never drains
// (a host that does not read).
int g_drainAfterMs = 0;
u32 g_drainStart = 0;

int SlowEmptyTx(u32) {
    if (g_drainAfterMs < 0) return 0;
    return FPGA_GetFrt() - g_drainStart >= static_cast<u32>(g_drainAfterMs) * 10 ? 1 : 0;
}

class LinkBaudChange : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        realEmptyTx_ = Vcomm_Drv[0].EmptyTx;
    }
    void TearDown() override {
        Vcomm_Drv[0].EmptyTx = realEmptyTx_;
        LinkTest::TearDown();
    }
    int (*realEmptyTx_)(u32) = nullptr;
};

// The new rate waits on later passes until the answer has left at the old
// one, or until 100 ms have passed; no pass waits for it.
TEST_F(LinkBaudChange, AppliedOnALaterPassOnceTheAnswerHasLeft) {
    struct Case {
        const char* name;
        int drainAfterMs;
        u32 appliedAtMs;
    };
    const Case cases[] = {{"host reads the answer", 30, 30}, {"host does not read", -1, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_drainAfterMs = c.drainAfterMs;
        g_drainStart = FPGA_GetFrt();
        Vcomm_Drv[0].EmptyTx = SlowEmptyTx;
        u8 before = Vcomm_Drv[0].mode[kSomBaud];
        EXPECT_EQ(host->Ask(27, {kNode, 7}), 0xA0);
        EXPECT_EQ(CmdRun, 27);  // still in hand, the port not yet opened again
        EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], before);
        AdvanceMs(c.appliedAtMs - 1);
        EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], before);
        AdvanceMs(1);
        EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], 7);
        EXPECT_EQ(CmdRun, 255);
        Vcomm_Drv[0].EmptyTx = realEmptyTx_;
        // Back to the old rate without frames, for the next case.
        AdvanceMs(Cmd_LongTimeout() + 1);
        EXPECT_EQ(Vcomm_Drv[0].mode[kSomBaud], before);
    }
}

// A mode request is acknowledged only when the controller is in that mode
// afterwards; one the controller does not carry out (a blocking fault, an
// unknown mode) is refused, so the host does not believe it runs.
TEST_F(LinkTest, ModeRequestNotCarriedOutIsRefused) {
    struct Case {
        const char* name;
        u16 sr4;
        u8 mode;
        int answer;
        u16 sr5;
    };
    const Case cases[] = {
        {"run", 0, 2, kCmdAck, 2},
        {"stop", 0, 0, kCmdAck, 0},
        {"run with the program invalid", 0x4, 2, kCmdNak, 0},
        {"run after a program fault", 0x100, 2, kCmdNak, 0},
        {"stop with the program invalid", 0x4, 0, kCmdAck, 0},
        {"unknown mode", 0, 7, kCmdNak, 0},
        {"on-line programming", 0x4, 3, kCmdAck, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetPlcMode(0);
        SR_Put(4, c.sr4);
        EXPECT_EQ(host->Ask(2, {kNode, c.mode}), c.answer);
        EXPECT_EQ(SR_Get(5), c.sr5);
    }
}

}  // namespace
