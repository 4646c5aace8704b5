#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4hostglue.h"
#include "platform/fileio.h"
#include "platform/reset.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kImageFile = 8 + kPlcRegBytes;
constexpr u32 kBackupFile = kImageFile + 8;
constexpr u32 kMarkOffset = 5000;  // a byte of the R area used to tell images apart

class RegImages : public ::testing::Test {
protected:
    void SetUp() override {
        Nvram_Reset();
        Bkuprstr_Reset();
        Q4HostGlue_Reset();
        std::memset(plc_reg, 0, kPlcRegBytes);
    }
    std::string P(const char* fw) const { return root.Path(fw); }
    bool Exists(const char* fw) const { return std::filesystem::exists(P(fw)); }
    std::vector<u8> Read(const char* fw) const {
        std::vector<u8> v;
        File_ReadAll(P(fw), v, 1u << 20);
        return v;
    }
    // Registers with a recognisable content.
    static void Pattern(u8 seed) {
        for (u32 i = 0; i < kPlcRegBytes; ++i) plc_reg[i] = static_cast<u8>(seed + i * 13);
        plc_reg[kMarkOffset] = seed;
        // Leave the control registers idle.
        for (int sr : {5, 44, 45, 46, 47, 48, 49, 50, 164}) SR_Put(sr, 0);
    }
    // A clean or unclean stop with the current registers saved.
    void Stop(bool clean) {
        if (!Exists("/mnt/cfg/autoreg.dta")) {
            ASSERT_EQ(CrtAutoSaveRegFile(), 1);
        }
        ASSERT_EQ(AutoSaveRegisters(), 1);
        if (clean) {
            CreateSavedFile();
            PersistFlags_Or(kPfCleanStop);
        }
        Bkuprstr_Reset();
    }
    // One main-loop pass of the manual operations.
    static void Pass() {
        FailSafeFlagCheck();
        ManualRestoreExecute();
    }
    static bool ImageValid(const std::vector<u8>& f) {
        return f.size() == kImageFile && GetLe32(&f[4]) == kPlcRegBytes && crc16(&f[8], kPlcRegBytes) == GetLe16(&f[0]);
    }
    TempRoot root;
};

TEST_F(RegImages, SaveWritesHeaderImageAndSettings) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    EXPECT_EQ(Read("/mnt/cfg/autoreg.dta").size(), 0u);
    EXPECT_EQ(Read("/mnt/cfg/bbram.dta").size(), 0u);
    Pattern(7);
    for (u32 i = 0; i < kBbramBytes; ++i) bbram[i] = static_cast<u8>(100 + i);
    ASSERT_EQ(AutoSaveRegisters(), 1);
    std::vector<u8> f = Read("/mnt/cfg/autoreg.dta");
    ASSERT_TRUE(ImageValid(f));
    EXPECT_EQ(GetLe16(&f[2]), 0);
    EXPECT_EQ(0, std::memcmp(&f[8], plc_reg, kPlcRegBytes));
    EXPECT_EQ(Read("/mnt/cfg/bbram.dta"), std::vector<u8>(bbram, bbram + kBbramBytes));
    struct stat st {};
    ASSERT_EQ(stat(P("/mnt/cfg/autoreg.dta").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Settings come back at the next start.
    Bkuprstr_Reset();
    ASSERT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(bbram[31], 131);
}

TEST_F(RegImages, SaveWithoutImageFileFails) {
    EXPECT_EQ(AutoSaveRegisters(), 0);
    EXPECT_FALSE(Exists("/mnt/cfg/autoreg.dta"));
    // A folder in the way: the write fails, the flag tells.
    std::filesystem::create_directories(P("/mnt/cfg/autoreg.dta/x"));
    EXPECT_EQ(AutoSaveRegisters(), 0);
    EXPECT_EQ(PersistFlags_Get() & kPfRegSave, kPfRegSave);
}

TEST_F(RegImages, FirstStartCreatesFilesAndAsksForDefaults) {
    u8 retn[4] = {17, 0, 3, 0};
    ASSERT_TRUE(File_WriteAtomic(P("/mnt/cfg/retnreg.dta"), retn, 4));
    ESR_Put(7, 0);
    EXPECT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(fwload_set_def, 1);
    EXPECT_TRUE(Exists("/mnt/cfg/autoreg.dta"));
    EXPECT_TRUE(Exists("/mnt/cfg/bbram.dta"));
    EXPECT_EQ(SR_Get(29), 17);
    EXPECT_EQ(SR_Get(30), 3);
    EXPECT_EQ(ESR_Get(7), 0);
}

TEST_F(RegImages, CleanStopRestoresImage) {
    Pattern(21);
    Stop(true);
    UncleanCount_Set(4);
    std::memset(plc_reg, 0, kPlcRegBytes);
    EXPECT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(plc_reg[kMarkOffset], 21);
    EXPECT_FALSE(Exists("/mnt/cfg/saved.dat"));
    EXPECT_EQ(PersistFlags_Get() & kPfCleanStop, 0u);
    EXPECT_EQ(SR_Get(52), 4);
    EXPECT_EQ(ESR_Get(7), kPfCleanStop);
}

TEST_F(RegImages, UncleanStopResumesRunAndCountsOnce) {
    Pattern(33);
    SR_Put(5, 0);
    Stop(false);
    UncleanCount_Set(2);
    PersistFlags_Set(0);
    std::memset(plc_reg, 0, kPlcRegBytes);
    EXPECT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(plc_reg[kMarkOffset], 33);
    EXPECT_EQ(SR_Get(5), 2);
    EXPECT_EQ(SR_Get(52), 3);
    EXPECT_EQ(UncleanCount_Get(), 3u);
}

// A bad image is never taken, on the first attempt or on a retry.
TEST_F(RegImages, BadImagesStartCold) {
    struct Case {
        const char* name;
        bool clean;
        bool shortFile;
        u32 flags;
    } cases[] = {
        {"clean, wrong crc", true, false, kPfColdStart},
        {"clean, short", true, true, kPfColdStart | kPfRegShort},
        {"unclean, wrong crc", false, false, kPfColdStart},
        {"unclean, short", false, true, kPfRegShort},
    };
    for (const Case& c : cases) {
        SetUp();
        std::filesystem::remove_all(P("/mnt/cfg"));
        std::filesystem::create_directories(P("/mnt/cfg"));
        PersistFlags_Set(0);
        UncleanCount_Set(0);
        Pattern(0x5A);
        Stop(c.clean);
        std::vector<u8> f = Read("/mnt/cfg/autoreg.dta");
        if (c.shortFile)
            f.resize(f.size() - 100);
        else
            f[100] ^= 0xFF;
        ASSERT_TRUE(File_WriteAtomic(P("/mnt/cfg/autoreg.dta"), f.data(), f.size()));
        std::memset(plc_reg, 0, kPlcRegBytes);
        for (int attempt = 0; attempt < 3; ++attempt) {
            EXPECT_EQ(AutoLoadRegisters(), 0) << c.name << " attempt " << attempt;
            EXPECT_NE(plc_reg[kMarkOffset], 0x5A) << c.name;
            EXPECT_NE(SR_Get(5), 2) << c.name;
        }
        EXPECT_EQ(PersistFlags_Get() & ~kPfCleanStop, c.flags) << c.name;
        EXPECT_EQ(ESR_Get(7) & ~kPfCleanStop, c.flags) << c.name;
        EXPECT_EQ(SR_Get(52), c.clean ? 0 : 1) << c.name;
    }
}

// Stores a backup of the current registers through SR164 bit 0x40.
void StoreBackupNow() {
    SR_Put(164, static_cast<u16>(SR_Get(164) | 0x40));
    FailSafeFlagCheck();
    ManualRestoreExecute();
}

TEST_F(RegImages, BackupTakenAtUncleanStartWhenAsked) {
    struct Case {
        u16 sr164;
        bool corrupt;
        u8 expectMark;
        u16 expectMode;
    } cases[] = {
        {0x20 | 0x10, false, 0x11, 2},
        {0x20, false, 0x11, 0},
        {0x10, false, 0x22, 2},          // not asked: the automatic image
        {0x20 | 0x10, true, 0x22, 2},    // corrupt backup: the automatic image
    };
    for (const Case& c : cases) {
        SetUp();
        std::filesystem::remove_all(P("/mnt/cfg"));
        std::filesystem::create_directories(P("/mnt/cfg"));
        Pattern(0x11);
        SR_Put(164, c.sr164);
        StoreBackupNow();
        if (c.corrupt) {
            std::vector<u8> b = Read("/mnt/cfg/bkpreg.dta");
            b[9000] ^= 1;
            ASSERT_TRUE(File_WriteAtomic(P("/mnt/cfg/bkpreg.dta"), b.data(), b.size()));
        }
        Pattern(0x22);
        Stop(false);
        PersistFlags_Set(0);
        std::memset(plc_reg, 0, kPlcRegBytes);
        EXPECT_EQ(AutoLoadRegisters(), 1);
        EXPECT_EQ(plc_reg[kMarkOffset], c.expectMark) << c.sr164 << c.corrupt;
        EXPECT_EQ(SR_Get(5), c.expectMode) << c.sr164 << c.corrupt;
    }
}

TEST_F(RegImages, StoreAndEraseBackupThroughSr164) {
    Pattern(0x44);
    SR_Put(164, 0x40);
    Pass();
    EXPECT_EQ(SR_Get(164) & 0x40, 0);
    EXPECT_EQ(SR_Get(164) & 0x8, 0x8);
    std::vector<u8> b = Read("/mnt/cfg/bkpreg.dta");
    ASSERT_EQ(b.size(), kBackupFile);
    EXPECT_EQ(GetLe32(&b[4]), kPlcRegBytes);
    EXPECT_EQ(crc16(&b[8], kPlcRegBytes), GetLe16(&b[0]));
    EXPECT_EQ(b[8 + kMarkOffset], 0x44);
    EXPECT_EQ(b[kImageFile], kBackupMarker);
    EXPECT_EQ(b[kImageFile + 4], 0xFF);

    // The backup state is read back at the start-up check.
    Bkuprstr_Reset();
    SR_Put(164, 0);
    RestoreSRReg(0, 0, 0);
    Pass();
    EXPECT_EQ(SR_Get(164) & 0xC, 0x8);

    SR_Put(164, static_cast<u16>(SR_Get(164) | 0x80));
    Pass();
    EXPECT_EQ(SR_Get(164) & (0x80 | 0x8 | 0x4), 0);
    EXPECT_FALSE(Exists("/mnt/cfg/bkpreg.dta"));
    Pass();
    EXPECT_EQ(SR_Get(164) & 0x8, 0);
    EXPECT_EQ(LoadRegisters(), 0);
}

TEST_F(RegImages, BadBackupFileIsNoBackup) {
    Pattern(1);
    StoreBackupNow();
    std::vector<u8> b = Read("/mnt/cfg/bkpreg.dta");
    for (size_t cut : {size_t{0}, size_t{8}, b.size() - 1}) {
        ASSERT_TRUE(File_WriteAtomic(P("/mnt/cfg/bkpreg.dta"), b.data(), cut));
        EXPECT_EQ(LoadRegisters(), 0) << cut;
        SR_Put(164, 0);
        ManualRestoreExecute();
        EXPECT_EQ(SR_Get(164) & 0xC, 0) << cut;
    }
    std::vector<u8> longer = b;
    PutLe32(&longer[4], 0x7FFFFFFF);
    ASSERT_TRUE(File_WriteAtomic(P("/mnt/cfg/bkpreg.dta"), longer.data(), longer.size()));
    EXPECT_EQ(LoadRegisters(), 0);
}

TEST_F(RegImages, RestoreAsksForConfirmationAndCanBeCancelled) {
    // Without a backup the request is simply cleared.
    SR_Put(164, 0x2000);
    Pass();
    EXPECT_EQ(SR_Get(164) & 0x6000, 0);

    Pattern(0x31);
    StoreBackupNow();
    for (int round = 0; round < 2; ++round) {
        SR_Put(164, static_cast<u16>(SR_Get(164) | 0x2000));
        Pass();
        EXPECT_EQ(SR_Get(164) & 0x4000, 0x4000) << round;
        Pass();  // both set: still waiting
        EXPECT_EQ(SR_Get(164) & 0x6000, 0x6000) << round;
        // The user cancels by clearing 0x2000; a later request works again.
        SR_Put(164, static_cast<u16>(SR_Get(164) & ~0x2000));
        Pass();
        EXPECT_EQ(SR_Get(164) & 0x6000, 0) << round;
    }
}

TEST_F(RegImages, ConfirmedRestoreReplacesRegistersAndRestarts) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    Pattern(0x61);
    StoreBackupNow();
    Pattern(0x62);
    SR_Put(5, 1);
    SR_Put(164, 0x8 | 0x2000);
    Pass();
    ASSERT_EQ(SR_Get(164) & 0x4000, 0x4000);
    SR_Put(164, static_cast<u16>(SR_Get(164) & ~0x4000));
    EXPECT_EXIT(Pass(), ::testing::ExitedWithCode(kExitWarmReset), "");
    // The restarted controller finds the backup as its clean-stop image.
    std::vector<u8> f = Read("/mnt/cfg/autoreg.dta");
    ASSERT_TRUE(ImageValid(f));
    EXPECT_EQ(f[8 + kMarkOffset], 0x61);
    EXPECT_EQ(GetLe16(&f[8 + 2 * (127 + 5)]), 1);  // the mode at the time of the restore
    EXPECT_TRUE(Exists("/mnt/cfg/saved.dat"));
    EXPECT_EQ(PersistFlags_Get(), kPfCleanStop);
}

TEST_F(RegImages, CloneLoadAsksForConfirmation) {
    SR_Put(164, 0x200);
    Pass();
    EXPECT_EQ(SR_Get(164) & 0x1000, 0x1000);
    EXPECT_EQ(Clone_Sure_Flag, 1);
    Pass();
    EXPECT_EQ(Clon_LoadClone, 0);
    SR_Put(164, 0x200);
    FailSafeFlagCheck();
    EXPECT_EQ(Manual_test, 8);
    EXPECT_EQ(Clon_LoadClone, 1);
}

TEST_F(RegImages, DeletingTheImageMakesTheNextStartAFirstStart) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    SR_Put(29, 44);
    SR_Put(30, 2);
    UncleanCount_Set(9);
    EXPECT_EQ(DelAutoRegFile(), 1);
    EXPECT_EQ(PersistFlags_Get(), kPfCleanStop);
    EXPECT_EQ(UncleanCount_Get(), 0u);
    std::memset(plc_reg, 0, kPlcRegBytes);
    EXPECT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(fwload_set_def, 1);
    EXPECT_EQ(SR_Get(29), 44);
    EXPECT_EQ(SR_Get(30), 2);
    EXPECT_EQ(SR_Get(52), 0);
}

TEST_F(RegImages, PowerDownLeavesACleanStop) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    Pattern(0x71);
    PersistFlags_Set(0);
    EXPECT_EXIT(PowerDown(), ::testing::ExitedWithCode(kExitPowerOff), "");
    EXPECT_EQ(Read("/mnt/cfg/saved.dat"), std::vector<u8>({'S', 'a', 'v', 'e', 'd', ' ', 'a', 'u', 't', 'o', 'r',
                                                           'e', 'g', '.', 'd', 't', 'a'}));
    EXPECT_TRUE(ImageValid(Read("/mnt/cfg/autoreg.dta")));
    EXPECT_EQ(PersistFlags_Get(), kPfCleanStop);

    UncleanCount_Set(5);
    std::memset(plc_reg, 0, kPlcRegBytes);
    EXPECT_EQ(AutoLoadRegisters(), 1);
    EXPECT_EQ(plc_reg[kMarkOffset], 0x71);
    EXPECT_EQ(SR_Get(52), 5);
}

TEST_F(RegImages, ConcurrentSaversNeverTearTheImage) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    Pattern(3);
    auto saver = [] {
        for (int i = 0; i < 15; ++i) EXPECT_EQ(AutoSaveRegisters(), 1);
    };
    std::thread a(saver), b(saver);
    a.join();
    b.join();
    EXPECT_TRUE(ImageValid(Read("/mnt/cfg/autoreg.dta")));
    EXPECT_FALSE(Exists("/mnt/cfg/autoreg.dta.new"));
}

// A child saves images in a loop, each with a new sequence number; killed at
// random moments, it must always leave a whole image with a valid CRC that is
// the last one saved or the one before.
TEST_F(RegImages, KilledSaverLeavesOldOrNewImage) {
    ASSERT_EQ(CrtAutoSaveRegFile(), 1);
    std::mt19937 rng(12345);
    u32 lastSeen = 0;
    for (int round = 0; round < 100; ++round) {
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(pipeFd[0]);
            for (u32 seq = 1;; ++seq) {
                PutLe32(&plc_reg[kMarkOffset], (static_cast<u32>(round) << 20) | seq);
                for (u32 i = 0; i < kPlcRegBytes; i += 4096) plc_reg[i] = static_cast<u8>(seq);
                if (AutoSaveRegisters() != 1) _exit(3);
                if (seq == 1 && write(pipeFd[1], "s", 1) != 1) _exit(4);
            }
        }
        close(pipeFd[1]);
        char c;
        ASSERT_EQ(read(pipeFd[0], &c, 1), 1);  // first image of this round saved
        close(pipeFd[0]);
        // Not a wait for behaviour: a random pause only chooses the moment of
        // the kill, so that rounds strike the save at different points.
        usleep(std::uniform_int_distribution<int>(0, 15000)(rng));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself, status " << status;

        std::vector<u8> f = Read("/mnt/cfg/autoreg.dta");
        ASSERT_TRUE(ImageValid(f)) << "round " << round << " size " << f.size();
        u32 seq = GetLe32(&f[8 + kMarkOffset]);
        EXPECT_EQ(seq >> 20, static_cast<u32>(round));
        for (u32 i = 0; i < kPlcRegBytes; i += 4096) ASSERT_EQ(f[8 + i], static_cast<u8>(seq)) << round;
        EXPECT_GT(seq, lastSeen);
        lastSeen = seq;
    }
}

}  // namespace
