// Workbench file transfer over the server's TCP link, in the process: files
// land in the runtime's folder under the root and nowhere else.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "iec/ext/q4cs.h"
#include "iec/ext/q4ft.h"
#include "core/nvram.h"
#include "iec/blocks/q4hostglue.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmdb.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/manual_clock.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"
#include "testsupport/workbench_client.h"
#include "workbench_env.h"

namespace {

std::vector<u8> Name(const std::string& s) {
    std::vector<u8> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

class FileTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        Q4FT_Reset();
        Q4_Connect_Ethernet();
        ASSERT_TRUE(wb.Connect(kQ4CSWorkbenchPort + offset));
    }
    void TearDown() override { wb.Close(); }
    std::vector<u8> Stored(const std::string& firmwarePath) {
        std::vector<u8> b;
        EXPECT_TRUE(File_ReadAll(Root_HostPath(firmwarePath), b, 1u << 20)) << firmwarePath;
        return b;
    }

    WorkbenchEnv env;
    const int offset = env.offset;
    ManualClock clock;
    WorkbenchClient wb{[] { Quillet_Comm_service(); }};
};

TEST(FileTransferCrc, CheckValue) {
    EXPECT_EQ(Q4FT_Crc32(kQ4FTCrcStart, "abc", 3), 0x1709BF76u);
    EXPECT_EQ(WorkbenchClient::FileCrc({'a', 'b', 'c'}), 0x1709BF76u);
}

TEST_F(FileTransfer, FilesMoveBothWaysWithMatchingCrc) {
    std::vector<u8> data(2000);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<u8>(k * 7 + 3);
    u32 crc = 0;
    ASSERT_EQ(wb.PutFile("data.bin", data, &crc), 0);
    EXPECT_EQ(crc, WorkbenchClient::FileCrc(data));
    EXPECT_EQ(Stored("data.bin"), data);

    // Upload in blocks of 800, 800, 400, then 0.
    ASSERT_EQ(wb.File(4, Name("data.bin")).Status(), 0);
    std::vector<size_t> blocks;
    for (int k = 0; k < 5; ++k) {
        WorkbenchAnswer a = wb.File(5, {});
        ASSERT_EQ(a.Status(), 0);
        blocks.push_back(GetBe16(&a.data[3]));
        if (blocks.back() == 0) break;
    }
    EXPECT_EQ(blocks, (std::vector<size_t>{800, 800, 400, 0}));
    WorkbenchAnswer close = wb.File(6, {});
    ASSERT_EQ(close.Status(), 0);
    EXPECT_EQ(GetBe32(&close.data[3]), WorkbenchClient::FileCrc(data));

    std::vector<u8> back;
    ASSERT_EQ(wb.GetFile("data.bin", &back, &crc), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(crc, WorkbenchClient::FileCrc(data));

    // An empty file closes with the initial CRC; delete removes it.
    ASSERT_EQ(wb.PutFile("empty", {}, &crc), 0);
    EXPECT_EQ(crc, 0xFFFFFFFFu);
    EXPECT_EQ(wb.File(10, Name("empty")).Status(), 0);
    EXPECT_EQ(wb.File(10, Name("empty")).Status(), kQ4FTCannotDelete);
}

TEST_F(FileTransfer, ErrorsAnswerTheirNumbersWithoutData) {
    struct Case {
        const char* what;
        u8 sub;
        std::vector<u8> args;
        int error;
    } cases[] = {
        {"write without an open file", 2, {0, 1, 9}, kQ4FTWriteNotOpen},
        {"close without an open file", 3, {}, kQ4FTCloseNotOpen},
        {"read without an open file", 5, {}, kQ4FTReadNotOpen},
        {"open of a missing file", 4, Name("missing"), kQ4FTCannotOpen},
        {"open directory", 7, {}, kQ4FTCannotOpenDir},
        {"next directory entry", 8, {}, kQ4FTNoDirEntry},
        {"close directory", 9, {}, kQ4FTDirNotOpen},
        {"sub-command 0", 0, {}, kQ4FTBadRequest},
        {"sub-command 11", 11, {}, kQ4FTBadRequest},
        {"name without its NUL", 4, {'a', 'b'}, kQ4FTCannotOpen},
        {"create where no folder is", 1, {0, 0, 0, 1, 'n', 'o', '/', 'x', 0}, kQ4FTCannotCreate},
        {"name reduced to nothing", 1, {0, 0, 0, 1, '.', '.', 0}, kQ4FTCannotCreate},
        {"the block library", 1, {0, 0, 0, 1, 'a', '/', '.', '.', '/', 'l', 'i', 'b', 'q', '4', 'b', 'l', 'o', 'c', 'k', 's', '.', 's', 'o', 0},
         kQ4FTCannotCreate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WorkbenchAnswer a = wb.File(c.sub, c.args);
        ASSERT_TRUE(a.received);
        EXPECT_EQ(a.code, 19);
        EXPECT_EQ(a.data, (std::vector<u8>{0, static_cast<u8>(c.error), c.sub}));
    }
    // A block longer than the frame carries is refused, and nothing of it is
    // written.
    ASSERT_EQ(wb.File(1, {0, 0, 0, 0, 'f', 0}).Status(), 0);
    EXPECT_EQ(wb.File(2, {0x03, 0xE8, 1, 2, 3}).Status(), kQ4FTBadRequest);
    EXPECT_EQ(wb.File(3, {}).Status(), 0);
    EXPECT_EQ(Stored("f").size(), 0u);
    // A block the medium refuses is answered as refused.
    std::filesystem::create_symlink("/dev/full", Root_HostPath("full"));
    ASSERT_EQ(wb.File(1, {0, 0, 0, 0, 'f', 'u', 'l', 'l', 0}).Status(), 0);
    EXPECT_EQ(wb.File(2, {0, 3, 1, 2, 3}).Status(), kQ4FTWriteFailed);
    EXPECT_EQ(wb.File(3, {}).Status(), 0);
}

// Names never leave the runtime's folder.
TEST_F(FileTransfer, NamesStayInTheRuntimesFolder) {
    std::filesystem::create_directories(Root_HostPath("/run/sub"));
    std::filesystem::create_directories(Root_HostPath("/run/tmp"));
    struct Case {
        const char* name;
        const char* stored;  // firmware path
    } cases[] = {
        {"..\\..\\dir\\file", "/run/file"},
        {"/tmp/x", "/run/tmp/x"},
        {"/sub/abs", "/run/sub/abs"},
        {"./dot", "/run/dot"},
        {"sub/../../up", "/run/up"},
        {"a..b", "/run/a..b"},
        {"sub\\win", "/run/sub/win"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        u32 crc = 0;
        ASSERT_EQ(wb.PutFile(c.name, {'x'}, &crc), 0);
        EXPECT_EQ(Stored(c.stored), (std::vector<u8>{'x'}));
    }
}

TEST_F(FileTransfer, ReceivedRegisterFileSignalsOnce) {
    // The signal is kept only while an application is loaded.
    wb.Close();
    IecImageBuilder b;
    TicAssembler t;
    t.Op("END");
    b.Program(t.Finish());
    std::vector<u8> record = IecAppRecord(b.Build());
    Nvram_Reset();
    LoadQuillet(record.data(), static_cast<u32>(record.size()));
    ASSERT_NE(pDB, nullptr);
    Q4_Connect_Ethernet();
    ASSERT_TRUE(wb.Connect(kQ4CSWorkbenchPort + offset));
    u32 crc;
    bNewRegParams = 0;
    ASSERT_EQ(wb.PutFile("Q4.REG", {1}, &crc), 0);
    EXPECT_EQ(bNewRegParams, 0);
    ASSERT_EQ(wb.PutFile("q4.reg", {1, 2}, &crc), 0);
    EXPECT_EQ(bNewRegParams, 1);
    bNewRegParams = 0;
    std::vector<u8> back;
    ASSERT_EQ(wb.GetFile("q4.reg", &back, &crc), 0);  // reading it is no change
    EXPECT_EQ(bNewRegParams, 0);
    Quillet_Exit();
    QuilletRuntime = 0;
}

}  // namespace
