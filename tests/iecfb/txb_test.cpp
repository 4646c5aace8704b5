// Text buffers through their blocks: lines, strings, data arrays, files,
// the heap running out, and a TCP exchange of a megabyte with socat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "txb_fixture.h"
#include "iec/ext/q4txb.h"
#include "iec/ext/q4xs.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"
#include "testsupport/loopback.h"
#include "testsupport/net_namespace.h"
#include "testsupport/temp_root.h"

namespace {

TEST_F(Txb, LinesComeBackWithTheirCarriageReturnAndCutAtTheString) {
    u32 h = NewString("ab\r\ncd");
    ASSERT_NE(h, 0u);
    fb.SetD(fb.D(0), static_cast<i32>(h));
    std::vector<std::pair<std::string, bool>> want = {{"ab\r", true}, {"cd", true}, {"", false}};
    SetStr(kS80, "junk");
    for (auto& [line, ok] : want) {
        Run(Q4Txb_GetLine, {fb.D(0), kS80, fb.B(0)});
        EXPECT_EQ(Str(kS80), line);
        EXPECT_EQ(Ok(), ok);
    }

    // A line of 10 characters fits a STRING of capacity 10; one of 11 is cut
    // with error 5 and its last character comes next.
    struct Case {
        std::string text;
        std::vector<std::pair<std::string, i32>> lines;
    };
    for (const Case& c : std::vector<Case>{{"0123456789\nx", {{"0123456789", 0}, {"x", 0}}},
                                           {"0123456789A\nx", {{"0123456789", 5}, {"A", 0}, {"x", 0}}}}) {
        u32 k = NewString(c.text);
        fb.SetD(fb.D(1), static_cast<i32>(k));
        for (auto& [line, err] : c.lines) {
            Run(Q4Txb_GetLine, {fb.D(1), kS10, fb.B(0)});
            EXPECT_EQ(Str(kS10), line) << c.text;
            EXPECT_TRUE(Ok());
            EXPECT_EQ(Error(), err) << line;
        }
    }

    // Rewind starts over.
    Run(Q4Txb_Rewind, {fb.D(0), fb.B(0)});
    Run(Q4Txb_GetLine, {fb.D(0), kS80, fb.B(0)});
    EXPECT_EQ(Str(kS80), "ab\r");
}

TEST_F(Txb, StringsNumbersAndDataArrays) {
    // An empty STRING gives an empty buffer of capacity 1.
    u32 h = NewString("");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Q4XS_Capacity(Db(), h), 1u);

    // A DINT is appended as its text; a STRING unchanged.
    fb.SetD(fb.D(0), static_cast<i32>(NewString("n=")));
    fb.SetD(fb.D(5), 42);
    Run(Q4Txb_Append, {kQ4TypeDint, fb.D(0), fb.D(5), fb.B(0)});
    EXPECT_TRUE(Ok());
    SetStr(kS80, ";s");
    Run(Q4Txb_Append, {kQ4TypeString, fb.D(0), kS80, fb.B(0)});
    Run(Q4Txb_AppendLine, {fb.D(0), kS80, fb.B(0)});
    Run(Q4Txb_AppendEol, {fb.D(0), fb.B(0)});
    u32 n = static_cast<u32>(fb.GetD(fb.D(0)));
    EXPECT_EQ(Text(n), "n=42;s;s\n\n");
    Run(Q4Txb_GetLength, {fb.D(0), fb.D(6)});
    EXPECT_EQ(fb.GetD(fb.D(6)), 10);

    // GETSTRING cuts to the STRING's capacity without an error.
    fb.SetD(fb.D(1), static_cast<i32>(NewString("abcdef")));
    Run(Q4Txb_GetString, {fb.D(1), kS4});
    EXPECT_EQ(Str(kS4), "abcd");
    EXPECT_EQ(Error(), 0);

    // SETDATA takes the whole array: the text ends at its first zero.
    u8* a = fb.Vm().Data8(arr);
    std::memset(a, 0, 10);
    a[0] = 'h';
    a[1] = 'i';
    Run(Q4Txb_SetData, {fb.D(1), arr, 10, fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(1)))), "hi");
    EXPECT_GE(Q4XS_Capacity(Db(), static_cast<u32>(fb.GetD(fb.D(1)))), 11u);
    // GETDATA copies what fits the array with its NUL.
    fb.SetD(fb.D(2), static_cast<i32>(NewString("0123456789ABC")));
    Run(Q4Txb_GetData, {fb.D(2), arr, 10, fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_STREQ(reinterpret_cast<char*>(a), "012345678");

    // Copy and clear; the conversions are refused with error 10.
    Run(Q4Txb_Copy, {fb.D(1), fb.D(2), fb.B(0)});
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(1)))), "0123456789ABC");
    Run(Q4Txb_Utf8ToAnsi, {fb.D(1), fb.B(0)});
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Error(), 10);
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(1)))), "0123456789ABC");
    Run(Q4Txb_Clear, {fb.D(1), fb.B(0)});
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(1)))), "");
}

TEST_F(Txb, ABufferAppendedOrCopiedOntoItselfStaysWhole) {
    fb.SetD(fb.D(0), static_cast<i32>(NewString("abc")));
    Run(Q4Txb_AppendTxb, {fb.D(0), fb.D(0), fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(0)))), "abcabc");
    Run(Q4Txb_Copy, {fb.D(0), fb.D(0), fb.B(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(Text(static_cast<u32>(fb.GetD(fb.D(0)))), "abcabc");
}

TEST_F(Txb, CountInvalidHandlesAndAFullHeap) {
    Run(Q4Txb_Manager, {fb.B(0), fb.D(0)});
    EXPECT_TRUE(Ok());
    EXPECT_EQ(fb.GetD(fb.D(0)), 0);
    Run(Q4Txb_New, {fb.D(1)});
    Run(Q4Txb_New, {fb.D(2)});
    Run(Q4Txb_Manager, {fb.B(0), fb.D(0)});
    EXPECT_EQ(fb.GetD(fb.D(0)), 2);
    Run(Q4Txb_Free, {fb.D(1), fb.B(0)});
    EXPECT_TRUE(Ok());
    // Freed: the handle is no buffer any more.
    SetStr(kS80, "kept");
    Run(Q4Txb_GetString, {fb.D(1), kS80});
    EXPECT_EQ(Str(kS80), "kept");
    EXPECT_EQ(Error(), 4);
    Run(Q4Txb_Free, {fb.D(1), fb.B(0)});
    EXPECT_FALSE(Ok());
    Run(Q4Txb_Manager, {fb.B(0), fb.D(0)});
    EXPECT_EQ(fb.GetD(fb.D(0)), 1);

    // The heap runs out: error 9, the buffer keeps its text.
    u32 h = static_cast<u32>(fb.GetD(fb.D(2)));
    ASSERT_TRUE(Q4XS_Set(Db(), h, "keep", 4));
    std::string big(4000, 'x');
    for (int i = 0; i < 4 && Q4XS_Append(Db(), h, big.c_str()); ++i) {
    }
    EXPECT_EQ(Q4XS_LastError(Db()), 9u);
    EXPECT_EQ(Text(h).substr(0, 4), "keep");
    EXPECT_EQ(Text(h).size() % 4000, 4u);
}

TEST(TxbNoHeap, BlocksGiveZeroAndSetNoError) {
    u16 arr = 0;
    FbDb fb = MakeDb(0, &arr);
    EXPECT_EQ(Q4VM_GetHeap(fb.Db()), nullptr);
    fb.SetD(fb.D(0), 7);
    fb.Exec(Q4Txb_New, nullptr, {fb.D(0)});
    EXPECT_EQ(fb.GetD(fb.D(0)), 0);
    fb.SetB(fb.B(0), true);
    fb.Exec(Q4Txb_Manager, nullptr, {fb.B(0), fb.D(1)});
    EXPECT_FALSE(fb.GetB(fb.B(0)));
    fb.Exec(Q4Txb_Rewind, nullptr, {fb.D(0), fb.B(1)});
    EXPECT_EQ(Q4XS_LastError(fb.Db()), 0u);
    // The conversions answer error 10 even without a heap.
    fb.Exec(Q4Txb_AnsiToUtf8, nullptr, {fb.D(0), fb.B(1)});
    EXPECT_EQ(Q4XS_LastError(fb.Db()), 10u);
}

class TxbFiles : public Txb {
protected:
    TempRoot root_;
};

TEST_F(TxbFiles, WrittenFileReadsBackAndFailuresHaveTheirCodes) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i) + "\n";
    u32 h = Q4XS_Alloc(Db(), 0, text.c_str());
    ASSERT_NE(h, 0u) << "heap";
    fb.SetD(fb.D(0), static_cast<i32>(h));
    SetStr(kS80, "/mnt/cfg/out.txt");
    Run(Q4Txb_WriteFile, {fb.D(0), kS80, fb.B(0)});
    EXPECT_TRUE(Ok());
    Run(Q4Txb_ReadFile, {kS80, fb.D(1)});
    u32 r = static_cast<u32>(fb.GetD(fb.D(1)));
    ASSERT_NE(r, 0u);
    EXPECT_EQ(Text(r), text);

    // A file that cannot be created: FALSE and 7.
    SetStr(kS80, "/mnt/cfg/no/such/folder/out.txt");
    Run(Q4Txb_WriteFile, {fb.D(0), kS80, fb.B(0)});
    EXPECT_FALSE(Ok());
    EXPECT_EQ(Error(), 7);
    // An empty or missing file: handle 0 and 6.
    std::ofstream(root_.Path("/mnt/cfg/empty.txt")).close();
    for (const char* path : {"/mnt/cfg/empty.txt", "/mnt/cfg/missing.txt"}) {
        fb.SetD(fb.D(1), 99);
        SetStr(kS80, path);
        Run(Q4Txb_ReadFile, {kS80, fb.D(1)});
        EXPECT_EQ(fb.GetD(fb.D(1)), 0) << path;
        EXPECT_EQ(Error(), 6) << path;
    }
}

// TCP against socat echoing what it gets: the program sends a megabyte in
// buffers, resending what the socket did not take, and collects the echo.
class TxbTcp : public Txb {
protected:
    TxbTcp() : Txb(-1) {}
    void TearDown() override { peer_.Stop(); }
    int Connect(int port) {
        for (int i = 0; i < 500; ++i) {
            int fd = ConnectLoopback(port);
            if (fd >= 0) {
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
                return fd;
            }
            poll(nullptr, 0, 10);
        }
        return -1;
    }
    PeerProcess peer_;
};

TEST_F(TxbTcp, AMegabyteGoesToSocatAndComesBack) {
    int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(peer_.Start("", "exec socat TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr EXEC:cat"));
    int fd = Connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Q4VMRsc_AddSocket(Db(), fd), 1);
    fb.SetD(fb.D(0), fd);
    fb.SetD(fb.D(1), static_cast<i32>(Q4XS_Alloc(Db(), 32, nullptr)));
    fb.SetD(fb.D(2), static_cast<i32>(Q4XS_Alloc(Db(), 32, nullptr)));

    std::string data;
    for (u32 i = 0; data.size() < (1u << 20); ++i) data += "row " + std::to_string(i) + " of the text\n";
    data.resize(1u << 20);
    std::string echo;
    size_t sent = 0;
    fb.SetD(fb.D(4), 0);
    for (int round = 0; round < 200000 && echo.size() < data.size(); ++round) {
        if (sent < data.size()) {
            std::string piece = data.substr(sent, 100000);
            Q4XS_Set(Db(), static_cast<u32>(fb.GetD(fb.D(1))), piece.data(), static_cast<u32>(piece.size()));
            fb.SetD(fb.D(3), -1);
            Run(Q4Txb_SendTcp, {fb.D(0), fb.D(1), fb.D(3)});
            ASSERT_GE(fb.GetD(fb.D(3)), 0);
            sent += static_cast<size_t>(fb.GetD(fb.D(3)));
        }
        Run(Q4Txb_RcvTcp, {fb.D(0), fb.D(2), fb.D(4)});
        std::string got = Text(static_cast<u32>(fb.GetD(fb.D(2))));
        EXPECT_LE(got.size(), kQ4TxbRcvMax);
        echo += got;
        if (got.empty()) poll(nullptr, 0, 1);
    }
    EXPECT_EQ(sent, data.size());
    EXPECT_EQ(static_cast<size_t>(fb.GetD(fb.D(4))), echo.size()) << "count follows what arrived";
    EXPECT_TRUE(echo == data) << echo.size();

    // A chunk with a NUL: the text and the count stop at it.
    std::string withNul("ab\0cd", 5);
    ASSERT_TRUE(Q4XS_Set(Db(), static_cast<u32>(fb.GetD(fb.D(1))), "x", 1));
    fb.SetD(fb.D(4), 0);
    // The bytes go out past the block; socat echoes them.
    ASSERT_EQ(::send(fd, withNul.data(), withNul.size(), MSG_NOSIGNAL), 5);
    std::string got;
    for (int i = 0; i < 2000 && got.empty(); ++i) {
        Run(Q4Txb_RcvTcp, {fb.D(0), fb.D(2), fb.D(4)});
        got = Text(static_cast<u32>(fb.GetD(fb.D(2))));
        if (got.empty()) poll(nullptr, 0, 1);
    }
    EXPECT_EQ(got, "ab");
    EXPECT_EQ(fb.GetD(fb.D(4)), 2);

    // A socket the application does not own is left alone.
    fb.SetD(fb.D(5), 0);
    fb.SetD(fb.D(3), 1234);
    Run(Q4Txb_SendTcp, {fb.D(5), fb.D(1), fb.D(3)});
    EXPECT_EQ(fb.GetD(fb.D(3)), 1234);
}

}  // namespace
