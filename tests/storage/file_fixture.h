// File instructions on a clean root with both drives inserted: records are
// executed directly with File_Access, and the file request mailbox is
// served as the system update step serves it.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>

#include "core/plc_regs.h"
#include "storage/file.h"
#include "tests/storage/file_records.h"
#include "tests/storage/mailbox_step.h"
#include "tests/storage/storage_fixture.h"

class FileInstrTest : public StorageTest {
protected:
    void SetUp() override {
        StorageTest::SetUp();
        BackTsk_WriteOnce();
        File_Reset();
        File_Init(0);
        Dpram_Init();
    }
    void TearDown() override {
        File_Reset();
        StorageTest::TearDown();
    }

    // Keeps a record at a stable address (its identity as channel owner).
    const frec::Words& Keep(frec::Words w) {
        records_.push_back(std::move(w));
        return records_.back();
    }
    // One execution; returns the output power flow and checks that the
    // pointer moved past the whole record.
    u8 Exec(const frec::Words& rec, u8 power) {
        const u16* ip = rec.data();
        u8 out = File_Access(ip, power);
        EXPECT_EQ(ip, rec.data() + rec.size());
        return out;
    }
    // Executes with power until the status word leaves -2, serving the
    // mailbox (and reaping a job) between scans.
    i16 Finish(const frec::Words& rec, u32 statusReg, int scans = 2000) {
        Exec(rec, 1);
        for (int i = 0; i < scans && static_cast<i16>(Word(statusReg)) == kFileRunning; ++i) {
            step_.Pass();
            WaitJobs();
            Exec(rec, 1);
        }
        return static_cast<i16>(Word(statusReg));
    }
    // Waits until the recorded job children have ended, leaving them for
    // the instruction to reap.
    static void WaitJobs() {
        for (FileJob j : {FileJob::kCopy, FileJob::kDelete}) {
            pid_t pid = File_JobPid(j);
            siginfo_t info{};
            if (pid > 0) waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
        }
    }
    static u16 Word(u32 bitAddress, u32 k = 0) {
        return GetLe16(plc_reg + (bitAddress - 0x400) / 8 + 2 * k);
    }
    static void SetWord(u32 bitAddress, u16 v, u32 k = 0) { PutLe16(plc_reg + (bitAddress - 0x400) / 8 + 2 * k, v); }
    static void SetText(u32 bitAddress, const std::string& t) {
        std::memcpy(plc_reg + (bitAddress - 0x400) / 8, t.c_str(), t.size() + 1);
    }

    FileMailboxStep step_;
    std::deque<frec::Words> records_;
};
