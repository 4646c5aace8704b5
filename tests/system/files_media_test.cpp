// The card comes and goes while the controller works with it.
//
// CardRemovalSeenByTheRunningController drives the real executable: the card
// is taken out and put back with the plcmedia tool, and the controller's own
// supervision unmounts and mounts it. RequestsInFlight... steps the media
// manager, the file request mailbox and its system-update side in this
// process (the file instructions that post into the mailbox are not in the
// executable yet), again removing the card with the tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "testsupport/firmware_process.h"
#include "platform/cmdrun.h"
#include "platform/fileio.h"
#include "platform/fpga.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_dpram.h"
#include "storage/cfmgr.h"
#include "testsupport/manual_clock.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"
#include "tests/storage/mailbox_step.h"

namespace {

constexpr int kWaitMs = 30000;

int Media(const TempRoot& root, const std::string& args) {
    std::string cmd = std::string(PLC_BIN_DIR) + "/plcmedia --root '" + root.Dir() + "' " + args + " >/dev/null";
    return std::system(cmd.c_str());
}

std::string ReadText(const std::string& host) {
    std::vector<u8> d;
    if (!File_ReadAll(host, d, 1 << 20)) return "";
    return std::string(d.begin(), d.end());
}

bool CardMounted(const TempRoot& root) {
    return ReadText(root.Path("/proc/mounts")).find(" /mnt/USB0 ") != std::string::npos;
}

}  // namespace

TEST(FilesMediaSystem, CardRemovalSeenByTheRunningController) {
    TempRoot root;
    ASSERT_EQ(Media(root, "insert a"), 0);
    FirmwareProcess fw;
    ASSERT_TRUE(fw.Start());
    ASSERT_TRUE(fw.WaitForOutput("main loop running", kWaitMs)) << fw.Output();
    EXPECT_TRUE(WaitUntil([&] { return CardMounted(root); }, kWaitMs));
    EXPECT_TRUE(WaitUntil([&] { return ReadText(root.Path("/dev/shm/read.dat")).size() == 24; }, kWaitMs));

    ASSERT_EQ(Media(root, "remove a"), 0);
    EXPECT_TRUE(WaitUntil([&] { return !CardMounted(root); }, kWaitMs)) << "the supervision did not notice";
    ASSERT_EQ(Media(root, "insert a"), 0);
    EXPECT_TRUE(WaitUntil([&] { return CardMounted(root); }, kWaitMs)) << "the card was not mounted again";

    fw.Signal(SIGTERM);
    ASSERT_TRUE(fw.WaitExit(kWaitMs));
    EXPECT_EQ(fw.ExitCode(), 0) << fw.Output();
}

namespace {

class FilesMediaInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        SysCmd_Reset();
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        FPGA_Reset();
        ASSERT_EQ(Media(root_, "insert a"), 0);
        BackTsk_WriteOnce();
    }
    void TearDown() override {
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
        SysCmd_Reset();
    }
    // Main-loop passes with a 10-ms step of the clock each.
    void Passes(int n) {
        for (int i = 0; i < n; ++i) {
            step_.Pass();
            clock_.AdvanceMs(10);
        }
    }
    // A write of one value as a file instruction posts it: post, then poll
    // once per pass until answered.
    i32 WriteValue(i32 value, int maxPasses = 50) {
        i32 v = value;
        CfDpramWriteRequest w{1, "A:\\LOG\\RUN.CSV", &v, 3, 1, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
        i32 r = CF_DpramWriteFile(0, &w);
        for (int i = 0; i < maxPasses && r == kDpramPending; ++i) {
            Passes(1);
            r = CF_DpramWriteFile(kDpramPoll, &w);
        }
        return r;
    }

    TempRoot root_;
    RegFixture regs_;
    ManualClock clock_;
    FileMailboxStep step_;
};

}  // namespace

TEST_F(FilesMediaInProcess, RequestsInFlightFailWhileTheCardIsOutAndRecoverAfter) {
    Passes(300);  // two supervision cycles
    EXPECT_EQ(SR_Get(175), 0);
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(WriteValue(i), kCfOk);
        expected += std::to_string(i) + "\r\n";
    }
    // The card goes while a request waits in the mailbox.
    i32 v = 99;
    CfDpramWriteRequest w{1, "A:\\LOG\\RUN.CSV", &v, 3, 1, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
    ASSERT_EQ(CF_DpramWriteFile(0, &w), kDpramPending);
    ASSERT_EQ(Media(root_, "remove a"), 0);
    i32 r = kDpramPending;
    for (int i = 0; i < 50 && r == kDpramPending; ++i) {
        Passes(1);
        r = CF_DpramWriteFile(kDpramPoll, &w);
    }
    EXPECT_EQ(r, kCfNoMedium);
    EXPECT_EQ(WriteValue(100), kCfNoMedium);
    Passes(300);
    EXPECT_EQ(SR_Get(175), kCfNoMedium);
    EXPECT_EQ(SR_GetDword(176), 0u);
    EXPECT_FALSE(SysCmd_IsMounted("/mnt/USB0"));

    ASSERT_EQ(Media(root_, "insert a"), 0);
    ASSERT_EQ(WriteValue(3), kCfOk);
    expected += "3\r\n";
    Passes(300);
    EXPECT_EQ(SR_Get(175), 0);
    EXPECT_GT(SR_GetDword(178), 0u);
    EXPECT_EQ(ReadText(root_.Path("/mnt/USB0/LOG/RUN.CSV")), expected);
}

TEST_F(FilesMediaInProcess, SafeRemovalWaitsForTheRequestInFlight) {
    Passes(300);
    ASSERT_EQ(SR_Get(175), 0);
    // A write is handed to the manager; the user asks for safe removal in
    // the same pass, before the server has run it.
    i32 v = 7;
    CfDpramWriteRequest w{1, "A:\\SAFE.CSV", &v, 3, 1, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
    ASSERT_EQ(CF_DpramWriteFile(0, &w), kDpramPending);
    step_.Step();
    SR_Put(174, 1);
    CFM_Update();
    EXPECT_EQ(SR_Get(175), kMediaRemovalWaiting);
    EXPECT_EQ(SR_Get(174), 1);
    CFM_TheLoop();
    i32 r = kDpramPending;
    for (int i = 0; i < 10 && r == kDpramPending; ++i) {
        Passes(1);
        r = CF_DpramWriteFile(kDpramPoll, &w);
    }
    EXPECT_EQ(r, kCfOk);  // the request in flight finished normally
    Passes(5);
    EXPECT_EQ(SR_Get(174), 3);
    EXPECT_EQ(SR_Get(175), kMediaSafeToRemove);

    // New requests wait in the mailbox while removal is on.
    i32 v2 = 8;
    CfDpramWriteRequest later{1, "A:\\SAFE.CSV", &v2, 3, 1, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
    ASSERT_EQ(CF_DpramWriteFile(0, &later), kDpramPending);
    Passes(20);
    EXPECT_EQ(CF_DpramWriteFile(kDpramPoll, &later), kDpramPending);

    ASSERT_EQ(Media(root_, "remove a"), 0);
    Passes(5);
    EXPECT_EQ(SR_Get(175), kCfNoMedium);
    ASSERT_EQ(Media(root_, "insert a"), 0);
    SR_Put(174, 0);
    r = kDpramPending;
    for (int i = 0; i < 20 && r == kDpramPending; ++i) {
        Passes(1);
        r = CF_DpramWriteFile(kDpramPoll, &later);
    }
    EXPECT_EQ(r, kCfOk);
    EXPECT_EQ(SR_Get(174), 0);
    Passes(300);
    EXPECT_EQ(SR_Get(175), 0);
    EXPECT_EQ(ReadText(root_.Path("/mnt/USB0/SAFE.CSV")), "7\r\n8\r\n");
}
