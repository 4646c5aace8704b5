// Register web pages: register syntax, read formats and write conversions,
// URL decoding, the page with its escaping, and the pages served through the
// interface's server over loopback (created and deleted with the
// configuration, authentication only for files).
#include "net/http_pages.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "ladder/ladder_engine.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "tests/net/http_fixture.h"
#include "testsupport/fw_media.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/temp_root.h"

namespace {

class HttpPages : public ::testing::Test {
protected:
    void SetUp() override {
        Http_Reset();
        Dpr_Reset();
    }
    void TearDown() override {
        RegTokLen_16b = 0;
        Http_Reset();
        Dpr_Reset();
    }
    RegFixture regs_;
};

TEST_F(HttpPages, RegisterSyntax) {
    struct Case {
        const char* reg;
        const char* format;
        const char* option2;
        u32 address, bits;
    } cases[] = {
        {"R1", "INT", "", 0x8000, 16},
        {"R10", "UINT", "", 0x8000 + 9 * 16, 16},
        {"R49999", "INT", "", 0x8000 + 49998 * 16, 16},
        {"R50000", "INT", "", 0, 0},
        {"R0", "INT", "", 0, 0},
        {"R1.3", "BOOL", "", 0x8002, 1},
        {"R1.16", "BOOL", "", 0x800F, 1},
        {"R1.17", "BOOL", "", 0, 0},
        {"R1.3", "INT", "", 0, 0},  // a width above 1 starts a word
        {"R1", "DINT", "", 0x8000, 32},
        {"R1", "", "", 0x8000, 16},  // no format: one word
        {"R1", "WORD", "", 0, 0},
        {"I2", "BIN", "", 0, 0},  // not the start of a 16-bit group
        {"I17", "BIN", "", 0x2010, 16},
        {"I2", "BOOL", "", 0x2001, 1},
        {"I1.1", "BOOL", "", 0, 0},  // bit numbers belong to word types
        {"Q2048", "BOOL", "", 0x2800 + 2047, 1},
        {"Q2049", "BOOL", "", 0, 0},
        {"S16", "BOOL", "", 0x60F, 1},
        {"AI512", "INT", "", 0x4000 + 511 * 16, 16},
        {"AQ1", "HEX", "", 0x6000, 16},
        {"M16384", "BOOL", "", 0x1001C000 + 16383, 1},
        {"T1", "UINT", "", 0x10008000, 16},
        {"R1", "ASCII", "", 0x8000, 248},
        {"R1", "ASCII", "4", 0x8000, 32},
        {"R1", "ASCII", "3", 0x8000, 24},
        {"R1", "ASCII", "32", 0, 0},
        {"R1", "ASCII", "0", 0, 0},
        {"R1x", "INT", "", 0, 0},
        {"r1", "INT", "", 0, 0},
        {"X1", "INT", "", 0, 0},
        {"RRRRRRRR1", "INT", "", 0, 0},
        {"R00000001", "INT", "", 0, 0},  // more than 7 digits
        {"R", "INT", "", 0, 0},
    };
    for (const Case& c : cases) {
        u32 address = 1, bits = 1;
        MakeRegBlock(c.reg, c.format, c.option2, &address, &bits);
        EXPECT_EQ(address, c.address) << c.reg << " " << c.format << " " << c.option2;
        EXPECT_EQ(bits, c.bits) << c.reg << " " << c.format << " " << c.option2;
    }
    // With 16-bit register operands T and M are small areas of their own.
    RegTokLen_16b = 1;
    Dpr_Configuration[0].flags.service = kSvcWeb;
    DartuHttp = 0;
    Http_Scan(0);
    DartuHttp = 1;  // no interface recorded: only the table follows the program
    u32 address = 0, bits = 0;
    MakeRegBlock("M2048", "BOOL", "", &address, &bits);
    EXPECT_EQ(address, 0x3800u + 2047);
    MakeRegBlock("T2049", "BOOL", "", &address, &bits);
    EXPECT_EQ(bits, 0u);
}

TEST_F(HttpPages, ReadFormats) {
    struct Case {
        const char* format;
        const char* option2;
        const char* option3;
        u32 address, bits;
        std::vector<u8> data;
        const char* text;  // nullptr: refused
    } cases[] = {
        {"INT", "", "", 0x8000, 16, {0xFF, 0xFF}, "-1"},
        {"UINT", "", "", 0x8000, 16, {0xFF, 0xFF}, "65535"},
        {"HEX", "", "", 0x8000, 16, {0xAB, 0x0C}, "0CAB"},
        {"BIN", "", "", 0x8000, 16, {0x05, 0x80}, "1000000000000101"},
        {"BOOL", "ON", "OFF", 0x8002, 1, {0x04}, "ON"},
        {"BOOL", "ON", "OFF", 0x8002, 1, {0xFB}, "OFF"},
        {"BOOL", "", "", 0x8007, 1, {0x80}, "TRUE"},
        {"BOOL", "", "", 0x8000, 16, {0x01, 0}, nullptr},
        {"DINT", "", "", 0x8000, 32, {0xFE, 0xFF, 0xFF, 0xFF}, "-2"},
        {"DINT", "", "", 0x8000, 32, {0xFF, 0xFF, 0xFF, 0x7F}, "2147483647"},
        {"UDINT", "", "", 0x8000, 32, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        {"REAL", "", "", 0x8000, 32, {0x00, 0x00, 0xC0, 0x3F}, "1.500000"},
        {"REAL", "E", "", 0x8000, 32, {0x00, 0x00, 0xC0, 0xBF}, "-1.500000E+00"},
        {"REAL", "", "", 0x8000, 32, {0x01, 0x00, 0x00, 0x80}, "0.000000"},  // denormal
        {"ASCII", "", "", 0x8000, 40, {'A', 'b', ' ', '~', 'z'}, "Ab ~z"},
        {"ASCII", "", "", 0x8000, 48, {'h', 'i', 10, 'x', 'y', 'z'}, "hi"},
        {"ASCII", "", "", 0x8000, 16, {'<', '"'}, "<\""},
        {"IPADR", "", "", 0x8000, 32, {4, 3, 168, 192}, "192.168.3.4"},
        {"IPADR", "", "", 0x8000, 16, {4, 3}, nullptr},
    };
    for (const Case& c : cases) {
        HttpPageParams p{};
        std::strcpy(p.fmtOption2, c.option2);
        std::strcpy(p.fmtOption3, c.option3);
        u8 data[32] = {};
        std::memcpy(data, c.data.data(), c.data.size());
        char out[kHttpParamBytes];
        bool ok = Http_FormatValue(Http_FindFormat(c.format), p, c.address, c.bits, data, out);
        EXPECT_EQ(ok, c.text != nullptr) << c.format << " " << c.text;
        if (ok && c.text != nullptr) {
            EXPECT_STREQ(out, c.text) << c.format;
        }
    }
}

TEST_F(HttpPages, WriteConversions) {
    struct Case {
        const char* format;
        const char* option2;
        const char* text;
        std::vector<u8> data;  // empty: refused
    } cases[] = {
        {"UINT", "", "7", {7, 0}},
        {"UINT", "", "65535", {0xFF, 0xFF}},
        {"UINT", "", "65536", {}},
        {"UINT", "", "-1", {}},
        {"UINT", "", "7x", {}},
        {"UINT", "", "", {}},
        {"INT", "", "-2", {0xFE, 0xFF}},
        {"INT", "", "+5", {5, 0}},
        {"HEX", "", "BEEF", {0xEF, 0xBE}},
        {"HEX", "", "0x1f", {0x1F, 0}},
        {"HEX", "", "10000", {}},
        {"BIN", "", "101", {5, 0}},
        {"BIN", "", "102", {}},
        {"DINT", "", "-2147483648", {0, 0, 0, 0x80}},
        {"DINT", "", "2147483648", {}},
        {"UDINT", "", "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"UDINT", "", "4294967296", {}},
        {"REAL", "", "1.5", {0x00, 0x00, 0xC0, 0x3F}},
        {"REAL", "", "-2e0", {0x00, 0x00, 0x00, 0xC0}},
        {"REAL", "", "1e39", {}},
        {"REAL", "", "inf", {}},
        {"REAL", "", "1.5 ", {}},
        {"BOOL", "", "TRUE", {255}},
        {"BOOL", "", "FALSE", {0}},
        {"BOOL", "", "true", {}},
        {"BOOL", "ON", "ON", {255}},
        {"ASCII", "4", "ab", {'a', 'b', ' ', ' '}},
        {"ASCII", "2", "abcd", {'a', 'b'}},
        {"IPADR", "", "192.168.3.4", {4, 3, 168, 192}},
        {"IPADR", "", "0.0.0.0", {0, 0, 0, 0}},
        {"IPADR", "", "256.1.1.1", {}},
        {"IPADR", "", "1.2.3", {}},
        {"IPADR", "", "1.2.3.4.5", {}},
        {"IPADR", "", "1..2.3", {}},
        {"IPADR", "", "0001.2.3.4", {}},
        {"IPADR", "", "3232236292", {}},
        {"NONE", "", "1", {}},
    };
    for (const Case& c : cases) {
        HttpPageParams p{};
        std::strcpy(p.fmtOption2, c.option2);
        u8 data[32];
        std::memset(data, 0xEE, sizeof data);
        bool ok = Http_ConvertValue(Http_FindFormat(c.format), p, c.text, data);
        EXPECT_EQ(ok, !c.data.empty()) << c.format << " '" << c.text << "'";
        if (ok) {
            EXPECT_EQ(std::vector<u8>(data, data + c.data.size()), c.data) << c.format << " " << c.text;
        }
    }
}

TEST_F(HttpPages, UrlDecoding) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"Arial+Black", "Arial Black"}, {"a%20b", "a b"},   {"%41%4a", "AJ"},     {"a%2", "a%2"},
        {"a%zz", "a%zz"},               {"a%00b", "a"},     {"x&y=1", "x"},       {"a%0Ab", "a b"},
        {"trail+++", "trail"},          {"%C3%A9x", "  x"},   {"", ""},
    };
    for (const Case& c : cases) {
        char out[kHttpParamBytes];
        HttpUrlDecode(c.in, out);
        EXPECT_STREQ(out, c.out) << c.in;
    }
    std::string longText(200, 'a');
    char out[kHttpParamBytes];
    EXPECT_EQ(HttpUrlDecode(longText.c_str(), out), kHttpParamBytes - 1);
}

TEST_F(HttpPages, PageEscapesWhatTheUrlAndTheRegistersBring) {
    HttpPageParams p{};
    std::strcpy(p.refresh, "5\"><script>");
    std::strcpy(p.fontSize, "3");
    std::strcpy(p.fontColor, "red' onload='x");
    char page[kHttpPageBytes];
    u32 n = Http_BuildPage(p, "<b>&", page);
    EXPECT_EQ(std::string(page, n),
              "<head><meta http-equiv=\"refresh\" content=\"5&quot;&gt;&lt;script&gt;\"></head>\r\n\r\n"
              "<body><font size=\"3\" color=\"red&#39; onload=&#39;x\">&lt;b&gt;&amp;</font></body>\r\n");
    p = HttpPageParams{};
    n = Http_BuildPage(p, "-1", page);
    EXPECT_EQ(std::string(page, n), "<body>-1</body>\r\n");

    // Every text at its longest, all of them quotes: the page is whole.
    std::string quotes(kHttpParamBytes - 1, '"');
    for (char* field : {p.refresh, p.fontSize, p.fontFace, p.fontColor}) std::strcpy(field, quotes.c_str());
    n = Http_BuildPage(p, quotes.c_str(), page);
    EXPECT_LT(n, kHttpPageBytes);
    EXPECT_EQ(std::string(page + n - 22, 22), "&quot;</font></body>\r\n");
}

// ---------------------------------------------------------------- loopback

class HttpPagesLoopback : public HttpPages {
protected:
    void SetUp() override {
        HttpPages::SetUp();
        env_.Start();
        ASSERT_EQ(Http_Init(&ip_, &pool_), 0u);
        Dpr_Configuration[0].flags.service = kSvcWeb;
        DartuHttp = 0;
    }
    void TearDown() override {
        HttpPages::TearDown();
        DartuHttp = 1;
        env_.Stop();
    }
    void Pass() {
        Http_Scan(0);
        EnetThread();
        Nx_IdleWait(1);
    }
    std::string Exchange(const std::string& request) {
        int fd = -1;
        for (int i = 0; i < 100 && fd < 0; ++i) {
            Pass();
            fd = ConnectLoopback(static_cast<int>(kHttpPort) + Root_PortOffset());
        }
        EXPECT_GE(fd, 0);
        if (fd < 0) return "";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        return CollectUntilClosed(fd, [this] { Pass(); }, 2000);
    }
    static std::string Status(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

    TempRoot root_;
    HttpNetEnv env_;
    NxPacketPool& pool_ = env_.pool;
    NxIp& ip_ = env_.ip;
};

TEST_F(HttpPagesLoopback, PagesReadAndWriteRegisters) {
    PutLe16(&plc_reg[kRegR], 0xFFFF);
    EXPECT_EQ(Exchange("GET /readreg.htm;reg-R1;fmt-INT HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 \r\nContent-Length: 17\r\nContent-Type: text/html\r\n\r\n<body>-1</body>\r\n");
    EXPECT_EQ(Http_ConnCnt(0), 0u);
    EXPECT_EQ(Exchange("POST /writereg.htm;reg-R10;fmt-UINT HTTP/1.0\r\nContent-Length: 7\r\n\r\nvalue=7"),
              "HTTP/1.0 204 \r\n\r\n");
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 18]), 7);
    const char* aborted = "HTTP/1.0 500 \r\nContent-Length: 25\r\n\r\nNetX HTTP Request Aborted";
    EXPECT_EQ(Exchange("POST /writereg.htm;reg-R10;fmt-UINT HTTP/1.0\r\nContent-Length: 11\r\n\r\nvalue=65536"),
              aborted);
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 18]), 7);
    EXPECT_EQ(Exchange("GET /readreg.htm;reg-R1 HTTP/1.0\r\n\r\n"), aborted);                // no format
    EXPECT_EQ(Exchange("GET /readreg.htm;reg-R1;fmt HTTP/1.0\r\n\r\n"), aborted);            // no '-'
    EXPECT_EQ(Exchange("GET /readreg.htm;reg-I2;fmt-BIN HTTP/1.0\r\n\r\n"), aborted);
    EXPECT_EQ(Exchange("GET /readreg.htm;reg-R1;fmt-ASCII-40 HTTP/1.0\r\n\r\n"), aborted);
    // The form field may be called reg, and its value is URL-decoded.
    EXPECT_EQ(Status(Exchange(
                  "POST /writereg.htm;reg-R3;fmt-ASCII-4 HTTP/1.0\r\nContent-Length: 12\r\n\r\nreg=a%2Bb&x=1")),
              "HTTP/1.0 204 ");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&plc_reg[kRegR + 4]), 4), "a+b ");
}

// A body that arrives after its head is waited for, not refused.
TEST_F(HttpPagesLoopback, PostBodyArrivingLater) {
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        Pass();
        fd = ConnectLoopback(static_cast<int>(kHttpPort) + Root_PortOffset());
    }
    ASSERT_GE(fd, 0);
    std::string head = "POST /writereg.htm;reg-R2;fmt-INT HTTP/1.0\r\nContent-Length: 8\r\n\r\n";
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    for (int i = 0; i < 50; ++i) Pass();
    send(fd, "value=-3", 8, MSG_NOSIGNAL);
    std::string got;
    for (int i = 0; i < 500 && got.find("\r\n\r\n") == std::string::npos; ++i) {
        Pass();
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_EQ(got, "HTTP/1.0 204 \r\n\r\n");
    EXPECT_EQ(GetLe16(&plc_reg[kRegR + 2]), 0xFFFD);
}

TEST_F(HttpPagesLoopback, WebUserGuardsFilesNotPages) {
    std::strcpy(Dpr_Configuration[0].tail.webUser, "op");
    std::strcpy(Dpr_Configuration[0].tail.webPassword, "pw");
    ASSERT_TRUE(FwPut("/mnt/USB0/a.txt", "A"));
    EXPECT_EQ(Status(Exchange("GET /a.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(Status(Exchange("DELETE /a.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(Status(Exchange("GET /readreg.htm;reg-R1;fmt-INT HTTP/1.0\r\n\r\n")), "HTTP/1.0 200 ");
    EXPECT_EQ(Status(Exchange("POST /writereg.htm;reg-R1;fmt-INT HTTP/1.0\r\nContent-Length: 7\r\n\r\nvalue=1")),
              "HTTP/1.0 204 ");
    // The page names are exact: another method on them is a file request.
    EXPECT_EQ(Status(Exchange("HEAD /readreg.htm HTTP/1.0\r\n\r\n")), "HTTP/1.0 401 Unauthorized");
    // Without a web user, files need nothing.
    Dpr_Configuration[0].tail.webUser[0] = 0;
    EXPECT_EQ(Status(Exchange("DELETE /a.txt HTTP/1.0\r\n\r\n")), "HTTP/1.0 200 ");
}

TEST_F(HttpPagesLoopback, ServerFollowsTheConfigurationAndTheWebHmiFlag) {
    Pass();
    EXPECT_EQ(HttpServer[0].id, kHttpServerId);
    DartuHttp = 1;
    Pass();
    EXPECT_EQ(HttpServer[0].id, 0u);
    EXPECT_LT(ConnectLoopback(static_cast<int>(kHttpPort) + Root_PortOffset()), 0);
    DartuHttp = 0;
    Pass();
    EXPECT_EQ(HttpServer[0].id, kHttpServerId);
    Dpr_Configuration[0].flags.service = 0;
    Pass();
    EXPECT_EQ(HttpServer[0].id, 0u);
    Dpr_Configuration[0].flags.service = kSvcWeb;
    Pass();
    Http_DeInit(&ip_);
    EXPECT_EQ(HttpServer[0].id, 0u);
}

}  // namespace
