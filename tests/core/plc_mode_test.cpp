#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "plc_fixture.h"
#include "iec/kernel/q4host.h"
#include "platform/fileio.h"

namespace {

using PlcMode = PlcCore;

struct ModeCase {
    const char* name;
    u8 from;
    u16 sr4;
    u8 request;
    u8 expected;
    int ioStarts;     // I/O start messages to slot 0
    bool firstScan;   // S1 after the change
    bool resumed;     // S10 after the change
    int servicesStarted;
    int stops;        // IoStop / PMGR_Stop calls
};

class ModeMatrix : public PlcMode, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeMatrix, RequestGivesModeAndSideEffects) {
    const ModeCase& c = GetParam();
    ForceMode(c.from);
    SR_Put(4, c.sr4);
    SR_Put(7, 1234);
    SetPlcMode(c.request);
    EXPECT_EQ(Mode(), c.expected);
    EXPECT_EQ(ioDriverCalls.start[0], c.ioStarts);
    EXPECT_EQ(ioDriverCalls.start[1], c.ioStarts);
    EXPECT_EQ(S_Get(1), c.firstScan);
    EXPECT_EQ(S_Get(10), c.resumed);
    EXPECT_EQ(scanRecord.Count("protocolStart"), c.servicesStarted);
    EXPECT_EQ(scanRecord.Count("smsStart"), c.servicesStarted);
    EXPECT_EQ(scanRecord.Count("logStart"), c.servicesStarted);
    EXPECT_EQ(ioDriverCalls.stop, c.stops);
    EXPECT_EQ(scanRecord.Count("protocolStop"), c.stops);
    EXPECT_EQ(scanRecord.Count("logStop"), c.stops);
    // The statistics restart whenever a run mode is entered.
    if (c.ioStarts || c.resumed) {
        EXPECT_EQ(SR_Get(7), 0xFFFF);
        EXPECT_EQ(SR_Get(6), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, ModeMatrix,
    ::testing::Values(
        ModeCase{"AboveFourIgnored", 0, 0, 5, 0, 0, false, false, 0, 0},
        ModeCase{"AboveFourIgnoredWithFaults", 2, 0x100, 5, 2, 0, false, false, 0, 0},
        ModeCase{"StopToRun", 0, 0, 2, 2, 1, true, false, 1, 0},
        ModeCase{"StopToIoOnly", 0, 0, 1, 1, 0, false, false, 1, 0},
        ModeCase{"StopToIoHold", 0, 0, 4, 4, 0, false, false, 1, 0},
        ModeCase{"HoldToRunResumes", 4, 0, 2, 2, 0, false, true, 0, 0},
        ModeCase{"HoldToFaultedRunResumes", 4, 0, 3, 3, 0, false, true, 0, 0},
        ModeCase{"IoOnlyToRunStartsIo", 1, 0, 2, 2, 1, true, false, 0, 0},
        ModeCase{"RunToStop", 2, 0, 0, 0, 0, false, false, 0, 1},
        ModeCase{"RunRefusedWithProgramFault", 0, 0x100, 2, 0, 0, false, false, 0, 0},
        ModeCase{"RunWithFaultStops", 2, 0x100, 2, 0, 0, false, false, 0, 1},
        ModeCase{"IoOnlyWithProgramInvalidStops", 1, 0x4, 1, 0, 0, false, false, 0, 1},
        ModeCase{"FaultedRunAllowedWithFaults", 0, 0x90F, 3, 3, 1, true, false, 1, 0},
        ModeCase{"IoFaultDoesNotBlock", 0, 0x40, 2, 2, 1, true, false, 1, 0},
        ModeCase{"SameModeDoesNothing", 2, 0, 2, 2, 0, false, false, 0, 0}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST_F(PlcMode, ImageSavedWithTargetModeExceptOnFirstCall) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    std::vector<u8> image;
    SetPlcMode(2);  // first call after start: no save
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1 << 20));
    EXPECT_TRUE(image.empty());

    SetPlcMode(3);
    ASSERT_TRUE(File_ReadAll(root.Path("/mnt/cfg/autoreg.dta"), image, 1 << 20));
    ASSERT_EQ(image.size(), 8u + kPlcRegBytes);
    EXPECT_EQ(GetLe16(&image[8 + 2 * (127 + 5)]), 3);  // the image already shows the target
    EXPECT_EQ(Mode(), 3);
}

TEST_F(PlcMode, OnlineProgrammingEndsWithAnyModeButRun) {
    SetPlcMode(2);
    OLPMode = 1;
    SetPlcMode(4);
    EXPECT_EQ(OLPMode, 0);
    OLPMode = 1;
    SetPlcMode(2);
    EXPECT_EQ(OLPMode, 1);
}

// Opens of the two serial ports, counted by wrapping their drivers' Open.
int g_portOpens[2];
int (*g_realOpen[2])(u32, const u8*);
template <int P>
int CountedOpen(u32 port, const u8* mode) {
    g_portOpens[P]++;
    return g_realOpen[P](port, mode);
}

TEST_F(PlcMode, StopReturnsSerialPortsTakenByTheProgram) {
    ForceMode(2);
    Talk_SetOpened(1);
    Cmd_Override = 1;
    g_portOpens[0] = g_portOpens[1] = 0;
    g_realOpen[0] = Vcomm_Drv[0].Open;
    g_realOpen[1] = Vcomm_Drv[1].Open;
    Vcomm_Drv[0].Open = CountedOpen<0>;
    Vcomm_Drv[1].Open = CountedOpen<1>;
    SetPlcMode(0);
    Vcomm_Drv[0].Open = g_realOpen[0];
    Vcomm_Drv[1].Open = g_realOpen[1];
    EXPECT_EQ(TalkOpened(1), 0);
    EXPECT_EQ(g_portOpens[1], 1);  // reopened in the programming mode
    EXPECT_EQ(g_portOpens[0], 0);  // port 0 was not taken
    EXPECT_EQ(Vcomm_Drv[1].mode[5] & 0x0F, 1);
    EXPECT_EQ(Cmd_Override, 0);
}

// A background copy is a child of ours; a stop ends exactly that child, by
// its pid, and reports -4.
TEST_F(PlcMode, StopEndsBackgroundJobsByPid) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        for (;;) pause();
    }
    close(fds[1]);
    File_RecordJob(FileJob::kCopy, child);
    ForceMode(2);
    SetPlcMode(0);
    // The child held the pipe's write end: end of file means it is gone.
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), 0);
    close(fds[0]);
    EXPECT_EQ(CopyRet, -4);
    EXPECT_EQ(File_JobPid(FileJob::kCopy), 0);
    errno = 0;
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);  // already reaped by the job record
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(PlcMode, LeavingStopRestartsIecRuntime) {
    QuilletRuntime = 1;
    QuilletFirstRun = 1;
    SetPlcMode(1);
    EXPECT_EQ(QuilletFirstRun, 0);
    EXPECT_EQ(Mode(), 1);
}

}  // namespace
