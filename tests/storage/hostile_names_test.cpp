// Names from programs, IEC blocks, the network and file exchange never leave
// their drive: every entry point refuses them and nothing outside the drive
// folders changes.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mailbox_step.h"
#include "storage/cf_dpram.h"
#include "storage_fixture.h"

namespace fs = std::filesystem;

namespace {

class HostileNamesTest : public StorageTest {
protected:
    // Every file below the root outside the two removable drives, with its
    // content (the runner's own bookkeeping left out).
    std::map<std::string, std::string> Outside() {
        std::map<std::string, std::string> out;
        std::string root = Root_Dir();
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
            std::string rel = it->path().string().substr(root.size());
            if (rel.rfind("/mnt/USB0", 0) == 0 || rel.rfind("/mnt/USB1", 0) == 0 || rel.rfind("/dev/shm", 0) == 0 ||
                rel == "/proc/mounts" || rel.rfind("/sys/commands", 0) == 0)
                continue;
            out[rel] = it->is_directory() ? "<dir>" : Get(rel);
        }
        return out;
    }
    i32 ThroughMailbox(const std::function<i32(u8)>& routine) {
        i32 r = routine(0);
        for (int i = 0; i < 20 && r == kDpramPending; ++i) {
            step_.Pass();
            r = routine(kDpramPoll);
        }
        return r;
    }
    FileMailboxStep step_;
};

}  // namespace

TEST_F(HostileNamesTest, EveryEntryPointRefusesNamesThatLeaveTheDrive) {
    Put("/etc/passwd", "root:x:0:0\n");
    Put("/mnt/cfg/ladder.pgm", "PROGRAM");
    Put("/mnt/USB0/X.CSV", "1\r\n");
    Put("/mnt/USB0/LOG/keep", "");
    fs::create_directory_symlink(Root_HostPath("/mnt/cfg"), Root_HostPath("/mnt/USB0/ESC"));
    BackTsk_WriteOnce();
    const std::string longName = "A:\\" + std::string(600, 'L');
    const std::vector<std::string> names = {
        "A:\\..\\..\\etc\\passwd",
        "..\\cfg\\ladder.pgm",
        "B:/../USB0/X.CSV",
        "Z:\\..\\etc\\passwd",
        "A:\\LOG\\..\\..\\cfg\\ladder.pgm",
        "\\..\\x",
        "A:\\ESC\\ladder.pgm",
        "Q:\\X.CSV",
        longName,
    };
    auto before = Outside();

    using Op = std::function<bool(const char*)>;  // true when it succeeded
    i32 vals[2] = {1, 2};
    const std::vector<std::pair<const char*, Op>> ops = {
        {"create", [](const char* n) { return _fxe_file_create(&Cf_Media, n) == kFxSuccess; }},
        {"open",
         [](const char* n) {
             FxFile f{};
             bool ok = _fxe_file_open(&Cf_Media, &f, n, kFxOpenReadWrite) == kFxSuccess;
             _fxe_file_close(&f);
             return ok;
         }},
        {"delete", [](const char* n) { return _fxe_file_delete(&Cf_Media, n) == kFxSuccess; }},
        {"rename from", [](const char* n) { return _fxe_file_rename(&Cf_Media, n, "A:\\R.TXT") == kFxSuccess; }},
        {"rename to", [](const char* n) { return _fxe_file_rename(&Cf_Media, "A:\\X.CSV", n) == kFxSuccess; }},
        {"mkdir", [](const char* n) { return _fxe_directory_create(&Cf_Media, n) == kFxSuccess; }},
        {"rmdir", [](const char* n) { return _fxe_directory_delete(&Cf_Media, n) == kFxSuccess; }},
        {"dir test", [](const char* n) { return _fxe_directory_name_test(&Cf_Media, n) == kFxSuccess; }},
        {"attr read",
         [](const char* n) {
             u32 a;
             return _fxe_file_attributes_read(&Cf_Media, n, &a) == kFxSuccess;
         }},
        {"attr set", [](const char* n) { return _fxe_file_attributes_set(&Cf_Media, n, 0) == kFxSuccess; }},
        {"info", [](const char* n) {
             return _fxe_directory_information_get(&Cf_Media, n, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr) == kFxSuccess;
         }},
        // A current directory is only text: it escapes when a name below it
        // reaches a file.
        {"chdir", [](const char* n) {
             FxLocalPath rec{};
             bool ok = _fxe_directory_local_path_set(&Cf_Media, &rec, n) == kFxSuccess &&
                       _fxe_file_create(&Cf_Media, "T.TXT") == kFxSuccess;
             _fxe_directory_local_path_restore(&Cf_Media, nullptr);
             return ok;
         }},
        {"CF_Open",
         [](const char* n) {
             FxFile f{};
             bool ok = CF_Open(&f, n, 0x3) == kCfOk;
             CF_Close(&f);
             return ok;
         }},
        {"CF_WriteFile",
         [&](const char* n) {
             CfTransferRequest rq{};
             rq.format = 1;
             rq.name = n;
             rq.data = vals;
             rq.type = 3;
             rq.count = 2;
             rq.openMode = 3;
             return CF_WriteFile(0, &rq) == kCfOk;
         }},
        {"CF_ReadFile",
         [&](const char* n) {
             CfTransferRequest rq{};
             rq.name = n;
             rq.data = vals;
             rq.type = 3;
             rq.count = 1;
             return CF_ReadFile(0, &rq) == kCfOk;
         }},
        {"CF_MakeDir", [](const char* n) { return CF_MakeDir(0, n) == kCfOk; }},
        {"CF_RemoveDir", [](const char* n) { return CF_RemoveDir(0, n) == kCfOk; }},
        {"CF_DeleteFile", [](const char* n) { return CF_DeleteFile(0, n) == kCfOk; }},
        {"CF_ChangeDir",
         [](const char* n) {
             bool ok = CF_ChangeDir(0, n) == kCfOk && _fxe_file_create(&Cf_Media, "T.TXT") == kFxSuccess;
             CF_ChangeDir(0, "\\");
             return ok;
         }},
        {"CF_GetFirst",
         [](const char* n) {
             CfDirEntry* e = new CfDirEntry{};
             std::string pattern = std::string(n) + "\\*.*";
             bool ok = CF_GetFirst(0, e, pattern.c_str()) == kCfOk;
             CF_GetDone(0, e);
             delete e;
             return ok;
         }},
        {"CF_CopyFile from",
         [](const char* n) {
             CfRenameRequest rq{n, "A:\\COPY.TXT"};
             return CF_CopyFile(&rq) == kCfOk;
         }},
        {"CF_CopyFile to",
         [](const char* n) {
             CfRenameRequest rq{"A:\\X.CSV", n};
             return CF_CopyFile(&rq) == kCfOk;
         }},
        {"mailbox write",
         [&](const char* n) {
             CfDpramWriteRequest w{1, n, vals, 3, 2, nullptr, 0, 2, 1, 0, 0, nullptr, nullptr};
             return ThroughMailbox([&](u8 ch) { return CF_DpramWriteFile(ch, &w); }) == kCfOk;
         }},
        {"mailbox read",
         [&](const char* n) {
             CfDpramReadRequest r{1, n, vals, 3, 1, nullptr, 0, 0, 0, nullptr, 0};
             return ThroughMailbox([&](u8 ch) { return CF_DpramReadFile(ch, &r); }) == kCfOk;
         }},
        {"mailbox delete",
         [&](const char* n) { return ThroughMailbox([&](u8 ch) { return CF_DpramDeleteFile(ch, n); }) == kCfOk; }},
        {"mailbox rename",
         [&](const char* n) {
             return ThroughMailbox([&](u8 ch) { return CF_DpramRenameFile(ch, "A:\\X.CSV", n); }) == kCfOk;
         }},
    };
    for (const auto& [opName, op] : ops) {
        for (const std::string& n : names) {
            EXPECT_FALSE(op(n.c_str())) << opName << " accepted " << n.substr(0, 40);
        }
    }
    EXPECT_EQ(Outside(), before);
    EXPECT_EQ(Get("/mnt/USB0/X.CSV"), "1\r\n");
    EXPECT_STREQ(Cf_Media.currentDir, "");
}
