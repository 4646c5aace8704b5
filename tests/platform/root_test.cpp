#include <gtest/gtest.h>

#include <filesystem>

#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

TEST(Root, MapsFirmwarePathsInsideTheRootOnly) {
    TempRoot root;
    const std::string& r = root.Dir();
    struct Case {
        const char* fw;
        std::string host;
    } cases[] = {
        {"/mnt/cfg/ladder.pgm", r + "/mnt/cfg/ladder.pgm"},
        {"q4.hot", r + "/run/q4.hot"},
        {"/mnt/USB0/../../../etc/passwd", r + "/etc/passwd"},
        {"/../../..", r},
        {"//dev//shm/./read.dat", r + "/dev/shm/read.dat"},
        {"../x", r + "/x"},
    };
    for (const Case& c : cases) EXPECT_EQ(Root_HostPath(c.fw), c.host) << c.fw;
    EXPECT_TRUE(std::filesystem::is_directory(r + "/mnt/cfg"));
    EXPECT_TRUE(std::filesystem::is_directory(r + "/dev/shm"));
}

TEST(FileIo, AtomicWriteReplacesWholeFileAndReadChecksSize) {
    TempRoot root;
    std::string p = root.Path("/mnt/cfg/a.dat");
    const char first[] = "first version";
    const char second[] = "2nd";
    ASSERT_TRUE(File_WriteAtomic(p, first, sizeof first));
    ASSERT_TRUE(File_WriteAtomic(p, second, sizeof second));
    std::vector<u8> got;
    ASSERT_TRUE(File_ReadAll(p, got, 100));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got.data())), "2nd");
    EXPECT_FALSE(std::filesystem::exists(p + ".new"));
    EXPECT_FALSE(File_ReadAll(p, got, 2));
    EXPECT_TRUE(got.empty());
    EXPECT_FALSE(File_WriteAtomic(root.Path("/no/such/dir/x"), first, 1));
}

TEST(Clock, ManualClockMovesOnlyWhenAdvanced) {
    ManualClock clock(1000);
    u64 m0 = Clock_MonotonicNs();
    EXPECT_EQ(Clock_UtcNs(), 1000ll * 1000000000ll);
    clock.AdvanceMs(5);
    EXPECT_EQ(Clock_MonotonicNs() - m0, 5000000u);
    EXPECT_EQ(Clock_UtcNs(), 1000ll * 1000000000ll + 5000000);
}
