#include <string>
#include <vector>

#include "logger_fixture.h"
#include "remote/gsmgprs.h"
#include "storage/dbg_logger.h"

namespace {

constexpr u32 kControl = lreg::R(700);  // the status word follows at R701

}  // namespace

TEST_F(LoggerTest, DebugLogAppendAnswers) {
    EXPECT_EQ(DBG_WriteLog(1, "off"), 3);  // no setting: off
    DBG_SetLogRegister(kControl);
    SetWord(kControl, 0x0005);
    struct {
        const char* what;
        u16 mode;
        u16 mask;
        std::string text;
        int answer;
    } cases[] = {
        {"stop mode", 1, 0x0004, "x", 3},
        {"category selected", 2, 0x0004, "x", 0},
        {"category not selected", 2, 0x0002, "x", 2},
        {"empty text", 2, 0x0001, "", 1},
        {"fills the buffer exactly", 2, 0x0001, std::string(kDbgLogBuffer - 3 - 2, 'y'), 0},
        {"one byte too many", 2, 0x0001, "z", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SR_Put(5, c.mode);
        EXPECT_EQ(DBG_WriteLog(c.mask, c.text.c_str()), c.answer);
    }
    EXPECT_EQ(DLOG_Buffered(), kDbgLogBuffer);
}

TEST_F(LoggerTest, DebugLinesReachTheDayFile) {
    DBG_SetLogRegister(kControl);
    SetWord(kControl, 0x0001);
    SetClock(2021, 3, 5, 14, 0, 0, 6);
    EXPECT_EQ(DBG_WriteLog(1, "A"), 0);
    EXPECT_EQ(DBG_WriteLog(1, "B"), 0);
    for (int i = 0; i < 40 && DLOG_Buffered(); ++i) Scan();
    for (int i = 0; i < 10; ++i) Scan();
    EXPECT_EQ(Get("/mnt/USB0/DEBUG/DLOG_210305.LOG"), "A\r\nB\r\n");
    EXPECT_EQ(Word(kControl, 1), 0);
    // Appended to the existing file of the day.
    EXPECT_EQ(DBG_WriteLog(1, "C"), 0);
    for (int i = 0; i < 40 && DLOG_Buffered(); ++i) Scan();
    for (int i = 0; i < 10; ++i) Scan();
    EXPECT_EQ(Get("/mnt/USB0/DEBUG/DLOG_210305.LOG"), "A\r\nB\r\nC\r\n");
}

// Clearing the control word empties the buffer and closes the open file.
TEST_F(LoggerTest, DebugLogStopClosesTheFile) {
    DBG_SetLogRegister(kControl);
    SetWord(kControl, 0x0001);
    EXPECT_EQ(DBG_WriteLog(1, "first"), 0);
    // Run until the file is open and the write is in flight.
    for (int i = 0; i < 40 && DLOG_WriterState() != 13; ++i) Scan();
    ASSERT_EQ(DLOG_WriterState(), 13);
    EXPECT_EQ(DBG_WriteLog(1, "second"), 0);
    SetWord(kControl, 0);
    for (int i = 0; i < 20; ++i) Scan();
    EXPECT_EQ(DLOG_Buffered(), 0u);
    EXPECT_FALSE(DLOG_FileOpen());
    EXPECT_EQ(DBG_WriteLog(1, "third"), 2);
    EXPECT_EQ(Get("/mnt/USB0/DEBUG/DLOG_210305.LOG"), "first\r\n");
}

// The data logger and the debug log work at the same time, each through
// its own mailbox: each file gets exactly its own lines.
TEST_F(LoggerTest, LoggerAndDebugLogTogether) {
    dlt::Group g;
    g.sub = "G";
    g.period = 1;
    g.items = {{lreg::R(1), 2, "V"}};
    dlt::Table t;
    t.enable = lreg::M(1);
    t.groups = {g};
    dlt::Load(dlt::Build(t));
    LOG_Start();
    SetBit(lreg::M(1), true);
    DBG_SetLogRegister(kControl);
    SetWord(kControl, 0xFFFF);
    std::string expected;
    for (u16 s = 0; s < 20; ++s) {
        SetClock(2021, 3, 5, 14, 0, s, 6);
        SetWord(lreg::R(1), static_cast<u16>(100 + s));
        std::string line = "line " + std::to_string(s);
        ASSERT_EQ(DBG_WriteLog(2, line.c_str()), 0);
        expected += line + "\r\n";
        Scan();
    }
    Drain(1);
    for (int i = 0; i < 40 && DLOG_Buffered(); ++i) Scan();
    for (int i = 0; i < 10; ++i) Scan();
    EXPECT_EQ(Get("/mnt/USB0/DEBUG/DLOG_210305.LOG"), expected);
    auto rows = PythonCsv("/mnt/USB0/LOG/G/030514.CSV");
    ASSERT_EQ(rows.size(), 21u);
    for (u16 s = 0; s < 20; ++s) EXPECT_EQ(rows[1 + s][2], std::to_string(100 + s));
}

// The status word shows media codes; -1 only says that the card is full
// while nothing else is wrong.
TEST_F(LoggerTest, DebugLogStatusWord) {
    DBG_SetLogRegister(kControl);
    SetWord(kControl, 0x0001);
    struct {
        u16 card;
        u32 total, free;
        i16 status;
    } cases[] = {{0, 1000, 500, 0}, {0, 1000, 0, -1}, {0, 0, 0, 0}, {2, 0, 0, 2}, {5, 1000, 0, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.card);
        DLOG_Reset();
        DBG_SetLogRegister(kControl);
        SR_Put(175, c.card);
        SR_PutDword(178, c.total);
        SR_PutDword(176, c.free);
        DLOG_Update();
        EXPECT_EQ(static_cast<i16>(Word(kControl, 1)), c.status);
    }
}

// The GSM configuration names the register that switches the debug log; a
// record too short to hold it leaves the log without one.
TEST(DlogSetting, GsmConfigurationNamesTheControlRegister) {
    std::vector<u16> record(30, 0);
    record[28] = 0x8010;
    record[29] = 0x0001;
    GSMGPRSParmInit(record.data(), static_cast<u32>(record.size()));
    EXPECT_EQ(DBG_LogRegister(), 0x18010u);
    GSMGPRSParmInit(record.data(), 29);
    EXPECT_EQ(DBG_LogRegister(), 0u);
}
