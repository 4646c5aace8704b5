#include <signal.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/bytes.h"
#include "platform/rtclock.h"
#include "storage_fixture.h"

namespace fs = std::filesystem;

namespace {

using FxLayerTest = StorageTest;

}  // namespace

TEST_F(FxLayerTest, NamesResolveToTheirDriveFolders) {
    Put("/mnt/USB1/LOGS/keep", "");
    Put("/mnt/USB0/LOG/keep", "");
    struct Case {
        const char* currentDir;  // of A:'s media block
        const char* name;
        u32 status;
        const char* created;  // firmware path, or nullptr
    } cases[] = {
        {"", "B:\\LOGS\\A.CSV", kFxSuccess, "/mnt/USB1/LOGS/A.CSV"},
        {"", "b:\\logs\\lower.csv", kFxSuccess, "/mnt/USB1/LOGS/lower.csv"},  // names ignore case, as on FAT
        {"", "C:\\X.CSV", kFxMediaInvalid, nullptr},
        {"LOG/", "DATA.CSV", kFxSuccess, "/mnt/USB0/LOG/DATA.CSV"},
        {"LOG/", "\\TOP.CSV", kFxSuccess, "/mnt/USB0/TOP.CSV"},   // a separator: taken as given
        {"B:\\LOGS/", "IN_B.CSV", kFxSuccess, "/mnt/USB1/LOGS/IN_B.CSV"},
        {"", "z:/cfgfile.txt", kFxSuccess, "/mnt/cfg/cfgfile.txt"},
        {"", "/etc/abs.txt", kFxInvalidName, nullptr},  // A:'s own /etc, which is missing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::strcpy(Cf_Media.currentDir, c.currentDir);
        EXPECT_EQ(_fxe_file_create(&Cf_Media, c.name), c.status);
        if (c.created) {
            EXPECT_TRUE(Exists(c.created));
        }
    }
}

TEST_F(FxLayerTest, CurrentDirectoryChangesAndStaysBounded) {
    FxLocalPath rec{};
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, "LOG"), kFxSuccess);
    EXPECT_STREQ(Cf_Media.currentDir, "LOG/");
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, "SUB"), kFxSuccess);
    EXPECT_STREQ(Cf_Media.currentDir, "LOG/SUB/");
    EXPECT_STREQ(rec.path, "LOG/SUB/");
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, "\\"), kFxSuccess);
    EXPECT_STREQ(Cf_Media.currentDir, "");
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, "B:\\X"), kFxSuccess);
    EXPECT_STREQ(Cf_Media.currentDir, "B:\\X/");

    // Growing past 511 characters is refused and the old directory kept.
    std::string part(200, 'D');
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, part.c_str()), kFxSuccess);
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, part.c_str()), kFxSuccess);
    std::string before = Cf_Media.currentDir;
    EXPECT_EQ(_fxe_directory_local_path_set(&Cf_Media, &rec, part.c_str()), kFxInvalidName);
    EXPECT_EQ(before, Cf_Media.currentDir);
    EXPECT_EQ(_fxe_directory_local_path_restore(&Cf_Media, nullptr), kFxSuccess);
    EXPECT_STREQ(Cf_Media.currentDir, "");
}

TEST_F(FxLayerTest, FileCallsAnswerTheirStatusCodes) {
    Put("/mnt/USB0/a.txt", "abc");
    Put("/mnt/USB0/b.txt", "B");
    Put("/mnt/USB0/dir/x", "");
    FxFile f{};
    EXPECT_EQ(_fxe_file_open(&Cf_Media, &f, "missing.txt", kFxOpenRead), kFxNotFound);
    ASSERT_EQ(_fxe_file_open(&Cf_Media, &f, "a.txt", kFxOpenRead), kFxSuccess);
    EXPECT_GT(f.fd, 0);
    EXPECT_EQ(f.size, 3u);
    char buf[8];
    u32 n = 99;
    EXPECT_EQ(_fxe_file_read(&f, buf, sizeof buf, &n), kFxSuccess);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(_fxe_file_read(&f, buf, sizeof buf, &n), kFxEndOfFile);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(_fxe_file_close(&f), kFxSuccess);
    EXPECT_EQ(_fxe_file_read(&f, buf, sizeof buf, &n), kFxNotOpen);

    // Renaming onto an existing file keeps both.
    EXPECT_EQ(_fxe_file_rename(&Cf_Media, "a.txt", "b.txt"), kFxAlreadyExists);
    EXPECT_EQ(Get("/mnt/USB0/a.txt"), "abc");
    EXPECT_EQ(Get("/mnt/USB0/b.txt"), "B");
    EXPECT_EQ(_fxe_file_rename(&Cf_Media, "nothere.txt", "c.txt"), kFxInvalidName);
    EXPECT_EQ(_fxe_file_rename(&Cf_Media, "A.TXT", "c.txt"), kFxSuccess);  // names ignore case
    EXPECT_EQ(Get("/mnt/USB0/c.txt"), "abc");
    EXPECT_EQ(_fxe_file_rename(&Cf_Media, "b.txt", "C.TXT"), kFxAlreadyExists);

    EXPECT_EQ(_fxe_file_delete(&Cf_Media, "dir"), kFxNotAFile);
    EXPECT_EQ(_fxe_file_delete(&Cf_Media, "gone.txt"), kFxNotFound);
    EXPECT_EQ(_fxe_directory_create(&Cf_Media, "dir"), kFxAlreadyExists);
    EXPECT_EQ(_fxe_directory_delete(&Cf_Media, "dir"), kFxDirNotEmpty);
    EXPECT_EQ(_fxe_directory_delete(&Cf_Media, "c.txt"), kFxNotDirectory);
    EXPECT_EQ(_fxe_directory_name_test(&Cf_Media, "dir"), kFxSuccess);
    EXPECT_EQ(_fxe_directory_name_test(&Cf_Media, "c.txt"), kFxNotDirectory);
    EXPECT_EQ(_fxe_directory_name_test(&Cf_Media, "none"), kFxNotFound);
    // A drive's root is a busy mount point: never removed.
    EXPECT_EQ(_fxe_directory_delete(&Cf_Media, "\\"), kFxIoError);
    EXPECT_TRUE(fs::is_directory(Root_HostPath("/mnt/USB0")));

    u32 attr = 0;
    EXPECT_EQ(_fxe_file_attributes_read(&Cf_Media, "dir", &attr), kFxNotAFile);
    EXPECT_EQ(attr & kFxDirectory, kFxDirectory);
    EXPECT_EQ(_fxe_file_attributes_set(&Cf_Media, "c.txt", kFxReadOnly), kFxSuccess);
    EXPECT_EQ(_fxe_file_attributes_read(&Cf_Media, "c.txt", &attr), kFxSuccess);
    EXPECT_EQ(attr, kFxReadOnly);
    EXPECT_EQ(_fxe_file_attributes_set(&Cf_Media, "c.txt", kFxSystem), kFxSuccess);
    EXPECT_EQ(_fxe_file_attributes_read(&Cf_Media, "c.txt", &attr), kFxSuccess);
    EXPECT_EQ(attr, kFxSystem);
    // A refused change is never answered as success.
    EXPECT_EQ(_fxe_directory_attributes_set(&Cf_Media, "nothing", 0), kFxInvalidName);
    EXPECT_EQ(_fxe_directory_attributes_set(&Cf_Media, "c.txt/x", 0), kFxNotDirectory);
}

TEST_F(FxLayerTest, WriteStampsTheControllerClockAndListingSeesIt) {
    ASSERT_EQ(_fxe_file_create(&Cf_Media, "w.bin"), kFxSuccess);
    FxFile f{};
    ASSERT_EQ(_fxe_file_open(&Cf_Media, &f, "w.bin", kFxOpenReadWrite), kFxSuccess);
    EXPECT_EQ(_fxe_file_write(&f, "12345", 5), kFxSuccess);
    EXPECT_EQ(f.size, 5u);
    EXPECT_EQ(_fxe_file_close(&f), kFxSuccess);
    RTCTime now{};
    RtcGet(&now);

    char name[256];
    u32 attr = 0, size = 0, y = 0, mo = 0, d = 0;
    bool found = false;
    std::vector<std::string> names;
    u32 st = _fxe_directory_first_full_entry_find(&Cf_Media, name, &attr, &size, &y, &mo, &d, nullptr, nullptr,
                                                 nullptr);
    while (st == kFxSuccess) {
        names.push_back(name);
        if (std::strcmp(name, "w.bin") == 0) {
            found = true;
            EXPECT_EQ(size, 5u);
            if (now.year != 0) {
                EXPECT_EQ(y, now.year);
                EXPECT_EQ(mo, now.month);
                EXPECT_EQ(d, now.day);
            }
        }
        st = _fxe_directory_next_full_entry_find(&Cf_Media, name, &attr, &size, &y, &mo, &d, nullptr, nullptr,
                                                nullptr);
    }
    EXPECT_EQ(st, kFxNoMoreEntries);
    EXPECT_TRUE(found);
    EXPECT_NE(std::find(names.begin(), names.end(), ".."), names.end());
    EXPECT_EQ(Cf_Media.dirStream, nullptr);
}

TEST_F(FxLayerTest, RemovedCardAnswers17UntilItComesBack) {
    ASSERT_EQ(_fxe_file_create(&Cf_Media, "A:\\ON.TXT"), kFxSuccess);
    EXPECT_TRUE(MntDrive[0].mounted);
    EXPECT_TRUE(SysCmd_IsMounted("/mnt/USB0"));
    ASSERT_TRUE(Fx_RemoveMedium(0));
    EXPECT_EQ(_fxe_file_create(&Cf_Media, "A:\\OFF.TXT"), kFxMediaInvalid);
    EXPECT_FALSE(MntDrive[0].mounted);
    EXPECT_FALSE(SysCmd_IsMounted("/mnt/USB0"));
    EXPECT_EQ(Cf_Check(0), 0);
    EXPECT_FALSE(Exists("/mnt/USB0/OFF.TXT"));
    // B: is not affected.
    EXPECT_EQ(_fxe_file_create(&Cf_Media, "B:\\STILL.TXT"), kFxSuccess);
    ASSERT_TRUE(Fx_InsertMedium(0));
    EXPECT_EQ(_fxe_file_create(&Cf_Media, "A:\\BACK.TXT"), kFxSuccess);
    EXPECT_EQ(Cf_Check(0), 3);
    EXPECT_TRUE(Exists("/mnt/USB0/ON.TXT"));  // the card kept its files
}

TEST_F(FxLayerTest, FormatEmptiesTheCardAndMountsItAgain) {
    Put("/mnt/USB0/old/file.txt", "x");
    Put("/mnt/cfg/keep.pgm", "program");
    EXPECT_EQ(Cf_Format(&Cf_Media, 0), 3);
    EXPECT_FALSE(Exists("/mnt/USB0/old"));
    EXPECT_TRUE(MntDrive[0].mounted);
    // The internal volume is never formatted.
    EXPECT_EQ(Cf_Format(&Cf_Media3, 2), 2);
    EXPECT_EQ(Get("/mnt/cfg/keep.pgm"), "program");
    Fx_RemoveMedium(1);
    EXPECT_EQ(Cf_Format(&Cf_Media2, 1), 0);
}

TEST_F(FxLayerTest, FreeSpaceComesFromTheChildsFileAndZFromItsOwnVolume) {
    u8 file[24] = {};
    PutLe32(file + 0, 50);   // A: free
    PutLe32(file + 4, 100);  // A: total
    PutLe32(file + 8, 2048);
    PutLe32(file + 12, 1000);  // B: free
    PutLe32(file + 16, 5000);
    PutLe32(file + 20, 4096);
    Put(kFxSpaceFile, std::string(reinterpret_cast<char*>(file), sizeof file));
    u32 kb = 0;
    EXPECT_EQ(_fxe_media_space_available(&Cf_Media2, &kb), kFxSuccess);
    EXPECT_EQ(kb, 4000u);
    EXPECT_EQ(Cf_Media2.totalBlocks, 5000u);
    EXPECT_EQ(Cf_Media2.kbPerBlock, 4u);
    EXPECT_EQ(_fxe_media_space_available(&Cf_Media, &kb), kFxSuccess);
    EXPECT_EQ(kb, 100u);

    struct statvfs v;
    ASSERT_EQ(statvfs(Root_HostPath("/mnt/cfg").c_str(), &v), 0);
    EXPECT_EQ(_fxe_media_space_available(&Cf_Media3, &kb), kFxSuccess);
    EXPECT_EQ(Cf_Media3.totalBlocks, static_cast<u32>(v.f_blocks));
    EXPECT_NE(Cf_Media3.totalBlocks, 5000u);  // not B:'s entry

    PutLe32(file + 16, 0);
    Put(kFxSpaceFile, std::string(reinterpret_cast<char*>(file), sizeof file));
    EXPECT_EQ(_fxe_media_space_available(&Cf_Media2, &kb), kFxIoError);
    Put(kFxSpaceFile, "short");
    EXPECT_EQ(_fxe_media_space_available(&Cf_Media, &kb), kFxIoError);
    Fx_RemoveMedium(0);
    EXPECT_EQ(_fxe_media_space_available(&Cf_Media, &kb), kFxMediaInvalid);
}

TEST_F(FxLayerTest, FreeSpaceChildWritesTheWholeFileInOnePiece) {
    BackTsk_WriteOnce();
    std::string data = Get(kFxSpaceFile);
    ASSERT_EQ(data.size(), 24u);
    struct statvfs v;
    ASSERT_EQ(statvfs(Root_HostPath("/mnt/USB0").c_str(), &v), 0);
    EXPECT_EQ(GetLe32(data.data() + 4), static_cast<u32>(v.f_blocks));
    EXPECT_EQ(GetLe32(data.data() + 8), static_cast<u32>(v.f_bsize));
    EXPECT_FALSE(Exists(std::string(kFxSpaceFile) + ".tmp"));
}

// A medium that fills up mid-write: the missing bytes are reported, not
// swallowed (the file size limit stands in for a full card).
TEST_F(FxLayerTest, ShortWriteOnAFullMediumIsReported) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{100, 100};
        setrlimit(RLIMIT_FSIZE, &lim);
        int code = 0;
        if (_fxe_file_create(&Cf_Media, "full.bin") != kFxSuccess) _exit(10);
        FxFile f{};
        if (_fxe_file_open(&Cf_Media, &f, "full.bin", kFxOpenReadWrite) != kFxSuccess) _exit(11);
        std::string big(300, 'x');
        if (_fxe_file_write(&f, big.data(), 300) == kFxSuccess) code |= 1;
        _fxe_file_close(&f);
        // The same through the CSV writer of the drive-letter API.
        std::vector<i32> values(200, 123456);
        u32 done = 0;
        CfTransferRequest rq{};
        rq.format = 1;
        rq.name = "A:\\FULL.CSV";
        rq.data = values.data();
        rq.type = 3;
        rq.count = 200;
        rq.countDone = &done;
        rq.openMode = 2;
        rq.word8 = 1;
        if (CF_WriteFile(0, &rq) == kCfOk) code |= 2;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bit 0: layer write, bit 1: CSV write reported success";
}
