#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "net/enet.h"
#include "platform/fpga.h"
#include "storage_fixture.h"
#include "testsupport/manual_clock.h"
#include "webhmi/dartu_glue.h"

namespace {

class CfmgrTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        FPGA_Reset();
        BackTsk_WriteOnce();
        Dartu_Reset();
    }
    void Pass() {
        CFM_Update();
        CFM_TheLoop();
    }
    void Passes(int n) {
        for (int i = 0; i < n; ++i) Pass();
    }
    ManualClock clock_;
};

}  // namespace

TEST_F(CfmgrTest, OneRequestPerPassInSlotOrder) {
    CFM_LoadReq(&CFCB[8], 0, kCfmStatus, 0, 0);
    CFM_LoadReq(&CFCB[2], 1, kCfmStatus, 0, 0);
    i32 r = -1;
    EXPECT_EQ(CFM_PollReq(&CFCB[2], &r), kCfmBusy);
    CFM_TheLoop();  // serves slot 8, which went out first
    EXPECT_EQ(CFM_PollReq(&CFCB[8], &r), kCfmComplete);
    EXPECT_EQ(r, kCfOk);
    EXPECT_EQ(CFM_PollReq(&CFCB[2], &r), kCfmBusy);  // sent only now
    CFM_TheLoop();
    EXPECT_EQ(CFM_PollReq(&CFCB[2], &r), kCfmComplete);
    EXPECT_EQ(r, kCfOk);

    // Three waiting clients: after the one in flight, the search starts
    // behind it and wraps.
    CFM_LoadReq(&CFCB[9], 0, kCfmStatus, 0, 0);  // in flight
    CFM_LoadReq(&CFCB[3], 0, kCfmStatus, 0, 0);
    CFM_LoadReq(&CFCB[11], 0, kCfmStatus, 0, 0);
    CFM_TheLoop();
    EXPECT_TRUE(CFM_IsBlkReady(&CFCB[9]) == 1);  // done, made idle
    EXPECT_EQ(CFCB[11].state, kCfcbSent);
    EXPECT_EQ(CFCB[3].state, kCfcbRequested);
    CFM_TheLoop();
    CFM_IsAllHalted();
    EXPECT_EQ(CFCB[3].state, kCfcbSent);

    // A slot that was never used answers complete with 97.
    EXPECT_EQ(CFM_PollReq(&CFCB[6], &r), kCfmComplete);
    EXPECT_EQ(r, kCfmLost);
}

TEST_F(CfmgrTest, CancelledRequestIsDroppedWhenItsAnswerComes) {
    CFM_LoadReq(pDirCFCB, 0, kCfmStatus, 0, 0);
    CFM_CancelReq(pDirCFCB);
    EXPECT_EQ(pDirCFCB->state, kCfcbCancelled);
    EXPECT_EQ(CFM_IsBlkReady(pDirCFCB), 0);
    EXPECT_EQ(CFM_IsAllHalted(), 0);
    CFM_TheLoop();
    EXPECT_EQ(CFM_IsAllHalted(), 1);
    EXPECT_EQ(pDirCFCB->state, kCfcbIdle);
}

TEST_F(CfmgrTest, SupervisionReportsSpaceAndTheCardLeaving) {
    DartuHttp = 1;
    Passes(10);
    EXPECT_EQ(SR_Get(175), 0);
    EXPECT_EQ(SR_GetDword(178), 0u);  // the total is known from the second query on
    clock_.AdvanceMs(1000);
    Passes(10);
    EXPECT_GT(SR_GetDword(178), 0u);  // total kB
    EXPECT_EQ(SR_GetDword(178), cfm.totalKb);
    EXPECT_EQ(DartuServerState.load(), kDartuStart);  // restart asked for with the card present
    DartuServerState = kDartuRunning;
    u32 parm[5] = {0, 0, 99, 0, 0};  // free, total, status, request count, drive
    EXPECT_EQ(CFM_GetParm(parm), 1);
    EXPECT_EQ(parm[1], cfm.totalKb);
    EXPECT_EQ(parm[2], 0u);
    parm[4] = 3;
    EXPECT_EQ(CFM_GetParm(parm), 0);

    Fx_RemoveMedium(0);
    clock_.AdvanceMs(1000);
    Passes(10);
    EXPECT_EQ(SR_Get(175), kCfNoMedium);
    EXPECT_EQ(SR_GetDword(176), 0u);
    EXPECT_EQ(SR_GetDword(178), 0u);
    EXPECT_EQ(DartuServerState.load(), kDartuStop);

    DartuServerState = kDartuStopped;
    Fx_InsertMedium(0);
    clock_.AdvanceMs(1000);
    Passes(10);
    EXPECT_EQ(SR_Get(175), 0);
    EXPECT_EQ(DartuServerState.load(), kDartuStart);
    EXPECT_EQ(dartu_error_page, 4);  // not in run mode
}

TEST_F(CfmgrTest, SafeRemovalHandshake) {
    Passes(6);
    ASSERT_EQ(SR_Get(175), 0);
    // A client request is in the server when the user asks to remove.
    CFM_LoadReq(pLoggerCFCB, 0, kCfmStatus, 0, 0);
    SR_Put(174, 1);
    CFM_Update();
    EXPECT_EQ(SR_Get(175), kMediaRemovalWaiting);
    EXPECT_EQ(SR_Get(174), 1);  // the logger's request is still in the server
    EXPECT_EQ(CFM_LoadLoggerReq(), 0);  // no new mailbox requests meanwhile
    CFM_TheLoop();
    Passes(4);
    EXPECT_EQ(SR_Get(174), 3);
    EXPECT_EQ(SR_Get(175), kMediaSafeToRemove);
    EXPECT_EQ(SR_GetDword(176), 0u);
    i32 r = -1;
    EXPECT_EQ(CFM_PollReq(pLoggerCFCB, &r), kCfmComplete);  // its answer was kept
    EXPECT_EQ(r, kCfOk);
    // The user clears bit 1 while keeping bit 0: it is set again.
    SR_Put(174, 1);
    Pass();
    EXPECT_EQ(SR_Get(174), 3);
    // The card goes: the poll shows it.
    Fx_RemoveMedium(0);
    Passes(4);
    EXPECT_EQ(SR_Get(175), kCfNoMedium);
    // Bit 0 cleared: back to normal reports.
    Fx_InsertMedium(0);
    SR_Put(174, 2);
    Passes(8);
    clock_.AdvanceMs(1000);
    Passes(8);
    EXPECT_EQ(SR_Get(174), 0);
    EXPECT_EQ(SR_Get(175), 0);
    EXPECT_GT(SR_GetDword(178), 0u);
}

TEST_F(CfmgrTest, MetaNamesExpandWithinBounds) {
    SR_Put(44, 9);
    SR_Put(45, 8);
    SR_Put(46, 7);
    SR_Put(47, 5);
    SR_Put(48, 3);
    SR_Put(49, 2024);
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"LOG$Y$M$D.CSV", "LOG240305.CSV"},
        {"T$h$m$s", "T070809"},
        {"A$X$", "A$X$"},
        {"N$2u3.CSV", "N000.CSV"},
        {"N$5u3", "N$5u3"},
        {"W$W", "W10"},  // 5 + 59 + 1 + Monday (1) = 66; 66 / 7 + 1
    };
    for (const Case& c : cases) {
        char out[512];
        ASSERT_TRUE(ConvertMeta(c.in, out, sizeof out)) << c.in;
        EXPECT_STREQ(out, c.out);
    }
    // Growing past the buffer is refused instead of overrunning it.
    std::string many;
    for (int i = 0; i < 170; ++i) many += "$2u8";
    char out[512];
    EXPECT_FALSE(ConvertMeta(many.c_str(), out, sizeof out));
    EXPECT_STREQ(out, "");
    char small[8];
    EXPECT_FALSE(ConvertMeta("LOG$Y$M$D", small, sizeof small));
}

TEST_F(CfmgrTest, DirectoryListingSortsAndMarksOverflow) {
    Put("/mnt/USB0/L/zeta.txt", "");
    Put("/mnt/USB0/L/ALPHA.CSV", "");
    Put("/mnt/USB0/L/BETA/x", "");
    CfmListRequest rq{99, "A:\\L\\*.*", 0};
    CFM_LoadReq(pEmailCFCB, 0, kCfmList, reinterpret_cast<intptr_t>(&rq), 0);
    CFM_TheLoop();
    i32 r = -1;
    ASSERT_EQ(CFM_PollReq(pEmailCFCB, &r), kCfmComplete);
    EXPECT_EQ(r, 0);
    ASSERT_EQ(rq.count, 3u);
    EXPECT_STREQ(pEntryTbl[0]->name, "BETA");
    EXPECT_STREQ(pEntryTbl[1]->name, "ALPHA");
    EXPECT_STREQ(pEntryTbl[2]->name, "ZETA");
    // Delete the listed entries: directories with their trees.
    CFM_LoadReq(pEmailCFCB, 0, kCfmDeleteListed, 0, 0);
    CFM_TheLoop();
    ASSERT_EQ(CFM_PollReq(pEmailCFCB, &r), kCfmComplete);
    EXPECT_FALSE(Exists("/mnt/USB0/L/BETA"));
    EXPECT_FALSE(Exists("/mnt/USB0/L/ALPHA.CSV"));
    EXPECT_FALSE(Exists("/mnt/USB0/L/zeta.txt"));

    CfmListRequest empty{0, "A:\\L\\*.*", 0};
    CFM_LoadReq(pEmailCFCB, 0, kCfmList, reinterpret_cast<intptr_t>(&empty), 0);
    CFM_TheLoop();
    CFM_PollReq(pEmailCFCB, &r);
    EXPECT_EQ(r, kCfmListEmpty);
    CfmListRequest none{0, "A:\\L\\*.NO", 0};
    CFM_LoadReq(pEmailCFCB, 0, kCfmList, reinterpret_cast<intptr_t>(&none), 0);
    CFM_TheLoop();
    CFM_PollReq(pEmailCFCB, &r);
    EXPECT_EQ(r, kCfmListNoMatch);

    for (int i = 0; i < 520; ++i) Put("/mnt/USB0/M/F" + std::to_string(i), "");
    CfmListRequest big{0, "A:\\M\\*.*", 0};
    CFM_LoadReq(pEmailCFCB, 0, kCfmList, reinterpret_cast<intptr_t>(&big), 0);
    CFM_TheLoop();
    CFM_PollReq(pEmailCFCB, &r);
    EXPECT_EQ(r, 0);
    EXPECT_GE(big.count, 510u);  // 512 examined, "." and ".." possibly among them
    EXPECT_LE(big.count, 512u);
    EXPECT_EQ(pEntryTbl[big.count - 1]->attr, 0x80);
}

TEST_F(CfmgrTest, LoggerMailboxOpensWritesAndClosesThroughItsRecord) {
    FxFile file{};
    u32 count = 0;
    const char* name = "A:\\LOGGER.CSV";
    u8* mb = dpram + kDpramLogger;
    CfmFileArgs* args = reinterpret_cast<CfmFileArgs*>(mb + 8);
    auto step = [&](u8 command, CfmFileArgs a) {
        mb[2] = command;
        *args = a;
        ASSERT_EQ(CFM_LoadLoggerReq(), 1);
        CFM_TheLoop();
        i32 r = -1;
        ASSERT_EQ(CFM_PollReq(pLoggerCFCB, &r), kCfmComplete);
        EXPECT_EQ(r, 0) << "command " << int(command);
    };
    step(3, CfmFileArgs{&file, name, 0x2, nullptr});
    step(4, CfmFileArgs{&file, "1,2\r\n", 5, &count});
    EXPECT_EQ(count, 5u);
    step(5, CfmFileArgs{&file, nullptr, 0, nullptr});
    EXPECT_EQ(Get("/mnt/USB0/LOGGER.CSV"), "1,2\r\n");
    EXPECT_EQ(cfm.requestCount, 2u);
}
