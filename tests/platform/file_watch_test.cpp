#include "platform/file_watch.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

class FileWatchTest : public ::testing::Test {
protected:
    void SetUp() override { FileWatch_Reset(); }
    void TearDown() override { FileWatch_Reset(); }
    void Put(const std::string& path, const std::string& text) {
        ASSERT_TRUE(File_WriteAtomic(Root_HostPath(path), text.data(), text.size()));
    }
};

// A file is read again only after a change: its writing, its folder's
// creation (it was absent, so a folder above it was watched), its removal,
// and a switch of the root.
TEST_F(FileWatchTest, ChangedOnceAfterEveryChange) {
    TempRoot root;
    const int h = FileWatch_Add("/sys/devices/board/state");
    ASSERT_GE(h, 0);
    EXPECT_EQ(FileWatch_Add("/sys/devices/board/state"), h);
    EXPECT_TRUE(FileWatch_Changed(h));  // the first look
    EXPECT_FALSE(FileWatch_Changed(h));

    Shell("mkdir -p '" + Root_HostPath("/sys/devices/board") + "'");
    EXPECT_TRUE(FileWatch_Changed(h));
    Put("/sys/devices/board/state", "1");
    EXPECT_TRUE(FileWatch_Changed(h));
    EXPECT_FALSE(FileWatch_Changed(h));
    Put("/sys/devices/board/other", "x");  // a neighbour changes the folder too
    EXPECT_TRUE(FileWatch_Changed(h));
    EXPECT_FALSE(FileWatch_Changed(h));
    Shell("rm -rf '" + Root_HostPath("/sys/devices/board") + "'");
    EXPECT_TRUE(FileWatch_Changed(h));
    EXPECT_FALSE(FileWatch_Changed(h));

    TempRoot second;
    EXPECT_TRUE(FileWatch_Changed(h));
    EXPECT_FALSE(FileWatch_Changed(h));
}

}  // namespace
