// The media link as a client of the real command interpreter, and its byte
// machines against hand-made answers.
#include "link/talk.h"
#include "pgm_fixture.h"

namespace {

std::vector<u8> g_seen;
std::vector<u8> g_inject;

// A round that takes what the client stuffed (the interpreter is held off)
// and hands over the scripted answer once.
void CaptureRound() {
    PgmRoundMs();
    VcommDriver& p = Vcomm_Drv[ProgrammingPort];
    while (p.CheckRx(ProgrammingPort) == 1) g_seen.push_back(static_cast<u8>(p.GetRx(ProgrammingPort)));
    for (u8 b : g_inject) p.PutTx(ProgrammingPort, b);
    g_inject.clear();
}

class McmdTest : public PgmTest {
protected:
    // Link taken, interpreter held off so that the test plays its part.
    void Hold() {
        ASSERT_EQ(MCMD_Init(1), 0);
        Cmd_Override = 1;
        g_seen.clear();
        g_inject.clear();
        mcmdPeers.roundDone = CaptureRound;
    }
};

TEST_F(McmdTest, SendsTheSeededFrameAndTimesOutAfterFiveSeconds) {
    Hold();
    const u32 start = FPGA_GetFrt();
    const u8 d[1] = {1};
    u8 answer[16];
    u32 n = 99;
    EXPECT_EQ(MCMD_SendCmd(8, 1, d, answer, sizeof answer, &n), kMcmdTimeout);
    EXPECT_EQ(g_seen, (std::vector<u8>{0x08, 0x01, 0x01, 0xF6}));
    EXPECT_EQ(n, 0u);
    u32 waited = FPGA_GetFrt() - start;
    EXPECT_GE(waited, 50000u);
    EXPECT_LT(waited, 50100u);
    // The port stays intercepted until the link is closed.
    EXPECT_TRUE(Sci_InterceptOn(0));
    MCMD_Close();
    EXPECT_FALSE(Sci_InterceptOn(0));
}

TEST_F(McmdTest, ReceivesAnswerFramesAndRefusesDamagedOrOversizeOnes) {
    struct Case {
        const char* name;
        std::vector<u8> answer;
        u32 cap;
        u16 result;
        std::vector<u8> data;
    };
    // Seed 0: the checksum makes 0xFF + length + data + checksum = 0 mod 256.
    const Case cases[] = {
        {"good frame", {0xFF, 0x02, 0x10, 0x20, 0xCF}, 8, 0xFF, {0x10, 0x20}},
        {"checksum off by one", {0xFF, 0x02, 0x10, 0x20, 0xD0}, 8, kMcmdBadFrame, {}},
        {"longer than the buffer", {0xFF, 0x03, 1, 2, 3, 0xF8}, 2, kMcmdBadFrame, {}},
        {"empty frame", {0xFF, 0x00, 0x01}, 8, 0xFF, {}},
        {"single byte", {0x09}, 8, 0x09, {}},
    };
    Hold();
    for (const Case& c : cases) {
        u8 buf[12];
        std::memset(buf, 0xEE, sizeof buf);
        g_inject = c.answer;
        u32 n = 0;
        EXPECT_EQ(MCMD_GetData(&n, buf, c.cap), c.result) << c.name;
        if (c.result == 0xFF) {
            ASSERT_EQ(n, c.data.size()) << c.name;
            EXPECT_EQ(std::vector<u8>(buf, buf + n), c.data) << c.name;
        }
        EXPECT_EQ(buf[c.cap], 0xEE) << c.name << ": wrote past the buffer";
    }
    MCMD_Close();
}

TEST_F(McmdTest, TalksToTheRealInterpreter) {
    ASSERT_EQ(MCMD_Init(1), 0);
    const u8 version[1] = {1};
    u8 answer[16];
    u32 n = 0;
    ASSERT_EQ(MCMD_SendCmd(8, 1, version, answer, sizeof answer, &n), 0xFF);
    // Model 567 does not fit a byte: 0xFF, major, minor, model.
    EXPECT_EQ(std::vector<u8>(answer, answer + n), (std::vector<u8>{0xFF, 1, 60, 0x37, 0x02}));
    const u8 stop[2] = {1, 0};
    EXPECT_EQ(MCMD_SendCmd(2, 2, stop), kCmdAck);
    const u8 write[6] = {1, 16, 0, 0, 0, 0};  // too short for a register write: refused
    EXPECT_EQ(MCMD_SendCmd(24, 6, write), kCmdNak);
    MCMD_Close();
}

TEST_F(McmdTest, RefusedWhileAProgramControlledSessionHoldsThePort) {
    Talk_SetOpened(0);
    EXPECT_EQ(MCMD_Init(1), kPgmPortTaken);
    EXPECT_FALSE(Sci_InterceptOn(0));
    EXPECT_FALSE(MCMD_Open());
    TalkClosed(0);
    EXPECT_EQ(MCMD_Init(1), 0);
    MCMD_Close();
}

}  // namespace
