#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "file_fixture.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "platform/cmdrun.h"
#include "testsupport/reg_fixture.h"

using namespace frec;

namespace {

constexpr u32 kStatus = lreg::R(1000);
constexpr u32 kStatus2 = lreg::R(1010);

bool LogMentions(const std::string& word) {
    for (const std::string& l : SysCmd_Log())
        if (l.find(word) != std::string::npos) return true;
    return false;
}

// A cp that never ends by itself: the job stays running until it is ended.
int BlockingCp(int, const char* const*, std::string*) {
    for (;;) pause();
}

}  // namespace

// A pattern on B: copied into a new folder on A: takes every match, whatever
// the case of its name, and nothing else.
TEST_F(FileInstrTest, PatternCopyIntoNewFolder) {
    Put("/mnt/USB1/Logs/a.csv", "1");
    Put("/mnt/USB1/Logs/B.CSV", "2");
    Put("/mnt/USB1/Logs/c.Csv", "3");
    Put("/mnt/USB1/Logs/d.txt", "4");
    const Words& cp = Keep(Copy(kStatus, Inline("B:\\logs\\*.csv"), Inline("A:\\NEWDIR\\")));
    EXPECT_EQ(Finish(cp, kStatus), 0);
    EXPECT_EQ(Get("/mnt/USB0/NEWDIR/a.csv"), "1");
    EXPECT_EQ(Get("/mnt/USB0/NEWDIR/B.CSV"), "2");
    EXPECT_EQ(Get("/mnt/USB0/NEWDIR/c.Csv"), "3");
    EXPECT_FALSE(Exists("/mnt/USB0/NEWDIR/d.txt"));
    EXPECT_FALSE(LogMentions("killall"));
    Exec(cp, 0);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);

    // A single file to a name (a space ends a name); then a delete by
    // pattern.
    const Words& one = Keep(Copy(kStatus, Inline("B:\\LOGS\\D.TXT rest ignored"), Inline("A:\\SUB\\D2.TXT")));
    EXPECT_EQ(Finish(one, kStatus), 0);
    EXPECT_EQ(Get("/mnt/USB0/SUB/D2.TXT"), "4");
    Exec(one, 0);
    const Words& del = Keep(Delete(kStatus, Inline("A:\\newdir\\*.CSV")));
    EXPECT_EQ(Finish(del, kStatus), 0);
    EXPECT_FALSE(Exists("/mnt/USB0/NEWDIR/a.csv"));
    EXPECT_FALSE(Exists("/mnt/USB0/NEWDIR/c.Csv"));
    EXPECT_TRUE(Exists("/mnt/USB0/SUB/D2.TXT"));
}

// Source checks and drives end a job before it starts, with no child.
TEST_F(FileInstrTest, JobChecksBeforeStarting) {
    Put("/mnt/USB1/Logs/a.csv", "1");
    Put("/mnt/USB0/EMPTY/.keep", "");
    std::filesystem::remove(Root_HostPath("/mnt/USB0/EMPTY/.keep"));
    SetWord(lreg::R(500), 0);  // an empty string block
    struct Case {
        const char* what;
        Words rec;
        i16 status;
    } cases[] = {
        {"delete of a missing file", Delete(kStatus, Inline("A:\\NONE.CSV")), kFileNotFound},
        {"empty form-0 name", Delete(kStatus, Block(lreg::R(500))), kFileNotFound},
        {"pattern without a match", Copy(kStatus, Inline("B:\\LOGS\\*.TXT"), Inline("A:\\X\\")), kFileNotFound},
        {"pattern in an empty folder", Delete(kStatus, Inline("A:\\EMPTY\\*")), kFileNotFound},
        {"pattern in a missing folder", Delete(kStatus, Inline("A:\\NODIR\\*")), kFileNotFound},
        {"pattern in a folder part", Delete(kStatus, Inline("A:\\L*\\A.CSV")), kFileInvalid},
        {"pattern as destination", Copy(kStatus, Inline("B:\\LOGS\\A.CSV"), Inline("A:\\*.CSV")), kFileInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Words& rec = Keep(c.rec);
        EXPECT_EQ(Exec(rec, 1), 0);
        EXPECT_EQ(static_cast<i16>(Word(kStatus)), c.status);
        EXPECT_EQ(File_JobPid(FileJob::kCopy), 0);
        EXPECT_EQ(File_JobPid(FileJob::kDelete), 0);
        Exec(rec, 0);
    }
    Fx_RemoveMedium(1);
    const Words& noB = Keep(Copy(kStatus, Inline("b:\\LOGS\\A.CSV"), Inline("A:\\A.CSV")));
    Exec(noB, 1);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileNoMedium);
    Exec(noB, 0);
    EXPECT_FALSE(LogMentions("cp "));
    EXPECT_FALSE(LogMentions("rm "));
}

// Names from registers are hostile: none leaves its drive, none is run by a
// shell. The files outside the drives survive; nothing is created.
TEST_F(FileInstrTest, HostileNamesStayInsideTheDrive) {
    Put("/etc/victim", "keep");
    Put("/mnt/victim", "keep");
    Put("/mnt/USB0/SAFE.CSV", "x");
    const char* names[] = {
        "A:\\..\\..\\etc\\victim", "A:\\..\\victim",  "..\\..\\etc\\victim", "A:\\X;rm${IFS}-rf${IFS}..",
        "A:\\$(touch${IFS}PWNED)", "A:\\`touch${IFS}PWNED`", "A:\\SAFE.CSV|x",  "A:\\SAFE.CSV&",
    };
    for (const char* n : names) {
        SCOPED_TRACE(n);
        const Words& del = Keep(Delete(kStatus, Inline(n)));
        EXPECT_EQ(Exec(del, 1), 0);
        EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileInvalid);
        Exec(del, 0);
        const Words& cpFrom = Keep(Copy(kStatus, Inline(n), Inline("A:\\OUT.CSV")));
        Exec(cpFrom, 1);
        EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileInvalid);
        Exec(cpFrom, 0);
        const Words& cpTo = Keep(Copy(kStatus, Inline("A:\\SAFE.CSV"), Inline(n)));
        Exec(cpTo, 1);
        EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileInvalid);
        Exec(cpTo, 0);
    }
    // An absolute name is a name on A:.
    const Words& abs = Keep(Delete(kStatus, Inline("/etc/victim")));
    Exec(abs, 1);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileNotFound);
    Exec(abs, 0);
    EXPECT_EQ(Get("/etc/victim"), "keep");
    EXPECT_EQ(Get("/mnt/victim"), "keep");
    EXPECT_EQ(Get("/mnt/USB0/SAFE.CSV"), "x");
    bool pwned = false;
    for (auto& e : std::filesystem::recursive_directory_iterator(Root_Dir()))
        pwned |= e.path().filename().string().find("PWNED") != std::string::npos;
    EXPECT_FALSE(pwned);
    EXPECT_EQ(File_JobPid(FileJob::kCopy), 0);
    EXPECT_EQ(File_JobPid(FileJob::kDelete), 0);
}

// Disabling a running copy ends its own child, by pid: a decoy process of
// the same kind survives and no command is sent by name. The ended job
// never writes over a later job's result.
TEST_F(FileInstrTest, DisablingACopyEndsOnlyItsChild) {
    Put("/mnt/USB1/BIG.CSV", "data");
    Put("/mnt/USB0/GONE.CSV", "x");
    SysCmd_SetHandler("cp", BlockingCp);
    pid_t decoy = fork();
    if (decoy == 0) {
        for (;;) pause();
    }
    ASSERT_GT(decoy, 0);

    const Words& cp = Keep(Copy(kStatus, Inline("B:\\BIG.CSV"), Inline("A:\\BIG.CSV")));
    Exec(cp, 1);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileRunning);
    pid_t job = File_JobPid(FileJob::kCopy);
    ASSERT_GT(job, 0);
    Exec(cp, 1);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileRunning);

    const Words& del = Keep(Delete(kStatus2, Inline("A:\\GONE.CSV")));
    Exec(del, 1);
    EXPECT_EQ(static_cast<i16>(Word(kStatus2)), kFileBusy);

    EXPECT_EQ(Exec(cp, 0), 0);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);
    EXPECT_EQ(File_JobPid(FileJob::kCopy), 0);
    EXPECT_EQ(kill(job, 0), -1);  // ended and reaped
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(kill(decoy, 0), 0);  // the decoy lives on
    EXPECT_FALSE(LogMentions("killall"));

    SysCmd_SetHandler("cp", nullptr);
    EXPECT_EQ(Finish(del, kStatus2), 0);
    EXPECT_FALSE(Exists("/mnt/USB0/GONE.CSV"));
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);

    kill(decoy, SIGKILL);
    waitpid(decoy, nullptr, 0);
}

TEST_F(FileInstrTest, FailingCopyShowsFive) {
    Put("/mnt/USB1/A.CSV", "1");
    SysCmd_SetFailing("cp", true);
    const Words& cp = Keep(Copy(kStatus, Inline("B:\\A.CSV"), Inline("A:\\A.CSV")));
    EXPECT_EQ(Finish(cp, kStatus), kFileJobFailed);
    SysCmd_SetFailing("cp", false);
}

// An IEC block passes its status variable; a failed source check releases
// the channel at once, and the routine returns 0.
TEST_F(FileInstrTest, IecCallerStatusVariable) {
    FakeVmDb db;
    db.Link();
    const u32 var = IecRef(1, 2);  // third 16-bit variable
    u8* data = nullptr;
    u32 bytes = 0;
    ASSERT_EQ(QuilletVmDbSpan(var, &data, &bytes), 1);
    const Words& del = Keep(Delete(var, Inline("A:\\NONE.CSV")));
    EXPECT_EQ(Exec(del, 1), 0);
    EXPECT_EQ(static_cast<i16>(GetLe16(data)), kFileNotFound);
    // The channel is free for the next caller.
    Put("/mnt/USB0/HERE.CSV", "1");
    const Words& ok = Keep(Delete(var, Inline("A:\\HERE.CSV")));
    EXPECT_EQ(Exec(ok, 1), 0);
    EXPECT_EQ(static_cast<i16>(GetLe16(data)), kFileRunning);
    for (int i = 0; i < 100 && static_cast<i16>(GetLe16(data)) == kFileRunning; ++i) {
        WaitJobs();
        EXPECT_EQ(Exec(ok, 1), 0);
    }
    EXPECT_EQ(static_cast<i16>(GetLe16(data)), 0);
    EXPECT_FALSE(Exists("/mnt/USB0/HERE.CSV"));
}

// A stop ends the running job by its pid; its instruction shows -4 until
// it is disabled, and a new enable runs a new job.
TEST_F(FileInstrTest, StopEndsTheJob) {
    Put("/mnt/USB1/BIG.CSV", "data");
    SysCmd_SetHandler("cp", BlockingCp);
    const Words& cp = Keep(Copy(kStatus, Inline("B:\\BIG.CSV"), Inline("A:\\BIG.CSV")));
    Exec(cp, 1);
    pid_t job = File_JobPid(FileJob::kCopy);
    ASSERT_GT(job, 0);
    File_StopJobs();
    EXPECT_EQ(kill(job, 0), -1);
    EXPECT_EQ(Exec(cp, 1), 0);
    EXPECT_EQ(static_cast<i16>(Word(kStatus)), kFileDisabled);
    SysCmd_SetHandler("cp", nullptr);
    Exec(cp, 0);
    EXPECT_EQ(Finish(cp, kStatus), 0);
    EXPECT_EQ(Get("/mnt/USB0/BIG.CSV"), "data");
}
