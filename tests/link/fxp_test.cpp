// File exchange over the programming link: a scripted host on the
// programming port's pty runs command lines (28), sends file data (29) and
// fetches file and listing data (30) on the three drives.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/fxphost.h"
#include "platform/fx_api.h"

#include "link_fixture.h"

namespace {

class FxpTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        ResetMediaModules();
        ASSERT_TRUE(Fx_InsertMedium(0));
        ASSERT_TRUE(Fx_InsertMedium(1));
        Fxp_Initialise();
        fx = std::make_unique<LinkHost>(serial.Master(), Cmd_Seed(), [] {
            Cmd_Check();
            FxpMain(1);
        });
    }
    void TearDown() override {
        Fxp_Initialise();
        LinkTest::TearDown();
    }
    // A command line and its result code (-1 without a result frame).
    int Line(const std::string& line, u32* value = nullptr) {
        std::vector<u8> d{kNode};
        d.insert(d.end(), line.begin(), line.end());
        LinkHost::Reply r = fx->Request(28, d);
        if (!r.frame || (r.data.size() != 2 && r.data.size() != 6)) return -1;
        if (value != nullptr && r.data.size() == 6) *value = GetLe32(&r.data[2]);
        return GetLe16(r.data.data());
    }
    // Fetches a whole transfer with command 30 (frame sizes noted).
    std::string Fetch(std::vector<size_t>* sizes = nullptr) {
        std::string out;
        for (int guard = 0; guard < 1000; ++guard) {
            LinkHost::Reply r = fx->Request(30, {kNode});
            if (!r.frame) return out + "<refused>";
            if (r.data.empty()) return out;
            if (sizes != nullptr) sizes->push_back(r.data.size());
            out.append(r.data.begin(), r.data.end());
        }
        return out;
    }
    int Put(const std::string& bytes) {
        std::vector<u8> d{kNode};
        d.insert(d.end(), bytes.begin(), bytes.end());
        return fx->Ask(29, d);
    }
    int Store(const std::string& name, const std::string& content) {
        int r = Line("stor " + name);
        if (r != 150) return r;
        for (size_t at = 0; at < content.size(); at += 200)
            if (Put(content.substr(at, 200)) != kCmdAck) return -2;
        return Put("") == kCmdAck ? 0 : -3;
    }
    std::string Host(const std::string& firmwarePath) {
        std::ifstream f(root.Path(firmwarePath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::unique_ptr<LinkHost> fx;
};

TEST_F(FxpTest, StorThenRetrGivesTheSameBytesInFramesOfTheNegotiatedSize) {
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>(i * 7 + 3);
    for (const char* drive : {"A:", "B:", "Z:"}) {
        SCOPED_TRACE(drive);
        ASSERT_EQ(Line(std::string("mkd ") + drive + "\\LOGS\\2024"), 257);
        ASSERT_EQ(Store(std::string(drive) + "\\LOGS\\2024\\DATA.BIN", content), 0);
        u32 size = 0;
        ASSERT_EQ(Line(std::string("retr ") + drive + "\\logs\\2024\\data.bin", &size), 619);
        EXPECT_EQ(size, 5000u);
        std::vector<size_t> sizes;
        EXPECT_EQ(Fetch(&sizes), content);
        ASSERT_FALSE(sizes.empty());
        EXPECT_EQ(sizes.front(), CmdDataMax);
    }
    EXPECT_EQ(Host("/mnt/cfg/LOGS/2024/DATA.BIN"), content);
}

// On a link negotiated to 1024 bytes a frame of 611 or 653 data bytes must
// still be data, not taken for the refusal codes of the same value.
TEST_F(FxpTest, FilesOfTheRefusalCodesSizesAreFetchedWhole) {
    ASSERT_EQ(fx->Negotiate(kNode, 1024), 0xA0);
    for (size_t n : {611u, 653u}) {
        SCOPED_TRACE(n);
        const std::string content(n, 'q');
        ASSERT_EQ(Store("Z:\\SIZED.BIN", content), 0);
        ASSERT_EQ(Line("retr Z:\\SIZED.BIN"), 619);
        EXPECT_EQ(Fetch(), content);
        ASSERT_EQ(Line("dele Z:\\SIZED.BIN"), 250);
    }
}

TEST_F(FxpTest, DirectoriesListingAndResultCodes) {
    ASSERT_EQ(Line("cwd Z:\\"), 250);
    ASSERT_EQ(Line("mkd DOCS"), 257);
    ASSERT_EQ(Line("cwd DOCS"), 250);
    ASSERT_EQ(Store("NAME.TXT", "1234567"), 0);
    ASSERT_EQ(Line("mkd SUB"), 257);
    u32 size = 0;
    ASSERT_EQ(Line("list", &size), 619);
    std::string listing = Fetch();
    EXPECT_EQ(listing.size(), size);
    EXPECT_NE(listing.find("D SUB 0 "), std::string::npos) << listing;
    // A single file: F, name, size, time, date, attributes, CR LF.
    ASSERT_EQ(Line("list NAME.TXT", &size), 619);
    std::string one = Fetch();
    ASSERT_EQ(one.size(), size);
    EXPECT_EQ(one.substr(0, 13), "F NAME.TXT 7 ");
    EXPECT_EQ(one.substr(one.size() - 5), "rsh\r\n");
    EXPECT_EQ(one[15], ':');
    EXPECT_EQ(one[24], '/');

    struct Case {
        const char* line;
        int result;
    } cases[] = {
        {"", 500},
        {"frob x", 500},
        {"cwd", 611},
        {"cwd NOWHERE", 550},
        {"cwd ..\\..\\..", 550},
        {"retr MISSING.TXT", 550},
        {"retr SUB", 450},
        {"stor NAME.TXT", 614},
        {"dele MISSING.TXT", 550},
        {"rnfr NAME.TXT", 501},
        {"rnfr NAME.TXT NEW.TXT", 200},
        {"retr ..\\ESCAPE.TXT", 501},
        {"rmd \\DOCS", 501},  // holds the current directory
        {"mkd SUB\\DEEP", 257},
        {"rmd SUB", 617},
        {"rmd SUB\\DEEP", 250},
        {"rmd SUB", 250},
        {"list NOTHERE.TXT", 550},
        {"dele NEW.TXT", 250},
        {"cdup", 200},
        {"cdup", 618},
        {"\"cwd\" \"DOCS\"", 250},
    };
    for (const Case& c : cases) EXPECT_EQ(Line(c.line), c.result) << c.line;
    EXPECT_FALSE(std::filesystem::exists(root.Path("/mnt/cfg/DOCS/NEW.TXT")));
}

TEST_F(FxpTest, LongLinesAndWordsAreRefused) {
    EXPECT_EQ(Line("mkd " + std::string(600, 'A')), 501);
    EXPECT_EQ(Line("mkd Z:\\" + std::string(300, 'B')), 501);
    EXPECT_EQ(Line("cwd Z:\\"), 250);
}

TEST_F(FxpTest, CardRemovedDuringAStorGetsARefusalAndLeavesNoFile) {
    ASSERT_EQ(Line("stor A:\\PART.BIN"), 150);
    ASSERT_EQ(Put(std::string(200, 'x')), kCmdAck);
    ASSERT_TRUE(RunLinkUntil([] {
        FxpMain(1);
        return Fxp_TransferState() == 3;
    }));
    ASSERT_TRUE(Fx_RemoveMedium(0));
    // The ring is written on the next pass and fails; data and the end are refused.
    int answer = kCmdAck;
    for (int i = 0; i < 20 && answer == kCmdAck; ++i) answer = Put(std::string(200, 'y'));
    EXPECT_EQ(answer, kCmdNak);
    EXPECT_EQ(Put(""), kCmdNak);
    ASSERT_TRUE(Fx_InsertMedium(0));
    FxpMain(1);
    EXPECT_FALSE(std::filesystem::exists(root.Path("/mnt/USB0/PART.BIN")));
    // No transfer: command 30 is refused.
    EXPECT_EQ(fx->Ask(30, {kNode}), kCmdNak);
}

}  // namespace
