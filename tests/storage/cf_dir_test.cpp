#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "storage_fixture.h"

namespace {

class CfDirTest : public StorageTest {
protected:
    std::set<std::string> List(int drive, const char* pattern, i16* status = nullptr) {
        std::set<std::string> out;
        CfDirEntry* e = new CfDirEntry{};
        i16 st = CF_GetFirst(drive, e, pattern);
        while (st == kCfOk) {
            std::string n = e->name;
            if (e->ext[0]) n += std::string(".") + e->ext;
            if (e->attr & kFxDirectory) n += "/";
            out.insert(n);
            st = CF_GetNext(drive, e);
        }
        delete e;
        if (status) *status = st;
        return out;
    }
};

}  // namespace

TEST_F(CfDirTest, ListingsMatchPatterns) {
    for (const char* f : {"A.CSV", "B.CSV", "AB.TXT", "NOEXT", "lower.csv", "SUB/IN.CSV"})
        Put(std::string("/mnt/USB0/") + f, "");
    Put("/mnt/USB1/ON_B.DAT", "");
    using S = std::set<std::string>;
    struct Case {
        int drive;
        const char* pattern;
        S expect;
    } cases[] = {
        {0, "*.CSV", S{"A.CSV", "B.CSV", "LOWER.CSV"}},
        {0, "?.CSV", S{"A.CSV", "B.CSV"}},
        {0, "A*.*", S{"A.CSV", "AB.TXT"}},
        {0, "*", S{"NOEXT", "SUB/", "./", "../"}},
        {0, "*.*", S{"A.CSV", "B.CSV", "AB.TXT", "NOEXT", "LOWER.CSV", "SUB/", "./", "../"}},
        {0, "\\SUB\\*.CSV", S{"IN.CSV"}},
        {0, "a:\\sub\\*.csv", S{"IN.CSV"}},
        {1, "B:\\*.DAT", S{"ON_B.DAT"}},
        {0, "*.XYZ", S{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        i16 st = 0;
        EXPECT_EQ(List(c.drive, c.pattern, &st), c.expect);
        EXPECT_EQ(st, kCfExists);
        EXPECT_STREQ(Fx_MediaOf(c.drive)->currentDir, "");  // restored after the listing
    }
    i16 st = 0;
    List(0, "\\NOWHERE\\*.*", &st);
    EXPECT_EQ(st, kCfNotFound);
}

TEST_F(CfDirTest, DeleteByPattern) {
    for (const char* f : {"X1.CSV", "X2.CSV", "KEEP.TXT"}) Put(std::string("/mnt/USB0/D/") + f, "");
    EXPECT_EQ(CF_DeleteFile(0, "A:\\D\\X*.CSV"), kCfOk);
    EXPECT_FALSE(Exists("/mnt/USB0/D/X1.CSV"));
    EXPECT_FALSE(Exists("/mnt/USB0/D/X2.CSV"));
    EXPECT_TRUE(Exists("/mnt/USB0/D/KEEP.TXT"));
    EXPECT_EQ(CF_DeleteFile(0, "A:\\D\\*.CSV"), kCfNotFound);
    // A system file is left and reported as access denied.
    ASSERT_EQ(_fxe_file_attributes_set(&Cf_Media, "A:\\D\\KEEP.TXT", kFxSystem), kFxSuccess);
    EXPECT_EQ(CF_DeleteFile(0, "A:\\D\\*.TXT"), kCfAccessDenied);
    EXPECT_TRUE(Exists("/mnt/USB0/D/KEEP.TXT"));
}

TEST_F(CfDirTest, MakeDirCreatesEveryLevel) {
    EXPECT_EQ(CF_MakeDir(0, "A:\\x\\y\\z"), kCfOk);
    EXPECT_TRUE(std::filesystem::is_directory(Root_HostPath("/mnt/USB0/X/Y/Z")));
    EXPECT_EQ(CF_MakeDir(0, "A:\\X\\Y\\Z"), kCfExists);
    EXPECT_EQ(CF_MakeDir(0, "A:\\X\\Y\\W"), kCfOk);
    EXPECT_EQ(CF_MakeDir(1, "B:\\ONB"), kCfOk);
    EXPECT_TRUE(std::filesystem::is_directory(Root_HostPath("/mnt/USB1/ONB")));
    Put("/mnt/USB0/FILE", "");
    EXPECT_EQ(CF_MakeDir(0, "A:\\FILE\\SUB"), kCfNotFound);
}

TEST_F(CfDirTest, TreeRemovalAndItsDepthLimit) {
    Put("/mnt/USB0/T/A.TXT", "");
    Put("/mnt/USB0/T/S1/S2/B.CSV", "");
    Put("/mnt/USB0/T/S1/C", "");
    ASSERT_EQ(_fxe_file_attributes_set(&Cf_Media, "A:\\T\\A.TXT", kFxReadOnly), kFxSuccess);
    EXPECT_EQ(CF_RemoveDir(0, "A:\\T"), kCfOk);
    EXPECT_FALSE(Exists("/mnt/USB0/T"));
    EXPECT_EQ(CF_RemoveDir(0, "A:\\T"), kCfNotFound);

    auto nest = [&](const char* top, int levels) {
        std::string p = std::string("/mnt/USB0/") + top;
        for (int i = 1; i < levels; ++i) p += "/L" + std::to_string(i);
        Put(p + "/F.TXT", "");
    };
    nest("DEEP17", 17);
    EXPECT_EQ(CF_RemoveDir(0, "A:\\DEEP17"), kCfTooDeep);
    EXPECT_TRUE(Exists("/mnt/USB0/DEEP17"));
    nest("DEEP16", 16);
    EXPECT_EQ(CF_RemoveDir(0, "A:\\DEEP16"), kCfOk);  // the failed removal left no depth behind
    EXPECT_FALSE(Exists("/mnt/USB0/DEEP16"));
    // The drive's root is emptied but never removed.
    Put("/mnt/USB1/R/x", "");
    EXPECT_EQ(CF_RemoveDir(1, "B:\\"), kCfOk);
    EXPECT_FALSE(Exists("/mnt/USB1/R"));
    EXPECT_TRUE(std::filesystem::is_directory(Root_HostPath("/mnt/USB1")));
}

TEST_F(CfDirTest, RenameCopyStatusAndSpace) {
    Put("/mnt/USB0/OLD.TXT", "data");
    CfRenameRequest cross{"A:\\OLD.TXT", "B:\\NEW.TXT"};
    EXPECT_EQ(CF_RenameFile(&cross), kCfInvalid);
    CfRenameRequest same{"A:\\OLD.TXT", "A:\\NEW.TXT"};
    EXPECT_EQ(CF_RenameFile(&same), kCfOk);
    EXPECT_EQ(Get("/mnt/USB0/NEW.TXT"), "data");

    Put("/mnt/USB0/C/ONE.CSV", "1");
    Put("/mnt/USB0/C/TWO.CSV", "22");
    CfRenameRequest copy{"A:\\C\\*.CSV", "B:\\BACKUP"};
    EXPECT_EQ(CF_CopyFile(&copy), kCfOk);
    EXPECT_EQ(Get("/mnt/USB1/BACKUP/ONE.CSV"), "1");
    EXPECT_EQ(Get("/mnt/USB1/BACKUP/TWO.CSV"), "22");

    BackTsk_WriteOnce();
    u32 total = 0, free = 0;
    EXPECT_EQ(CF_GetFreeSpace(0, &total, &free), kCfOk);
    EXPECT_EQ(CF_GetFreeSpace(0, &total, &free), kCfOk);
    EXPECT_GT(total, 0u);  // known from the previous query
    EXPECT_EQ(CF_GetStatus(0), kCfOk);
    Fx_RemoveMedium(0);
    EXPECT_EQ(CF_GetStatus(0), kCfNoMedium);
    EXPECT_EQ(CF_GetFreeSpace(0, &total, &free), kCfNoMedium);
    EXPECT_EQ(CF_FormatCard(0), kCfNoMedium);
    Fx_InsertMedium(0);
    EXPECT_EQ(CF_FormatCard(0), kCfOk);
    EXPECT_FALSE(Exists("/mnt/USB0/C"));
}

TEST(CfParseTest, NamesSplitAndPatternsCompare) {
    struct Case {
        const char* path;
        i16 status;
        const char* dir;
        const char* name;
        const char* ext;
    } cases[] = {
        {"B:\\LOG\\data.csv", kCfOk, "B:\\LOG", "DATA", "CSV"},
        {"\\top.txt", kCfOk, "\\", "TOP", "TXT"},
        {"plain", kCfOk, "", "PLAIN", ""},
        {"a/b/..", kCfOk, "a/b", "..", ""},
        {"dir\\.hidden", kCfInvalid, "", "", ""},
        {"x.tar.gz", kCfOk, "", "X", "TAR.GZ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        char dir[512], name[256], ext[15];
        EXPECT_EQ(CF_PathParse(dir, name, ext, c.path), c.status);
        if (c.status != kCfOk) continue;
        EXPECT_STREQ(dir, c.dir);
        EXPECT_STREQ(name, c.name);
        EXPECT_STREQ(ext, c.ext);
    }
    EXPECT_EQ(CfPatternCmp("ABC", "A?C", 3), 1);
    EXPECT_EQ(CfPatternCmp("AB", "AB?", 2), 1);  // "?" also matches a missing character
    EXPECT_EQ(CfPatternCmp("ABD", "AB*", 3), 1);
    EXPECT_EQ(CfPatternCmp("ABC", "AB", 3), 0);
    EXPECT_EQ(CfPatternCmp("abc", "ABC", 3), 1);
    EXPECT_EQ(CfResultDecode(4), kCfNotFound);
    EXPECT_EQ(CfResultDecode(9), kCfEndOfFile);
    EXPECT_EQ(CfResultDecode(17), kCfNoMedium);
    EXPECT_EQ(CfResultDecode(137), kCfInvalid);
    EXPECT_EQ(CfStateDecode(3), kCfOk);
    EXPECT_EQ(CfStateDecode(2), kCfFormatFailed);
}
