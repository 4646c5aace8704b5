// System tests: the real executable with a network configuration that
// enables the register web server serves curl and headless Chromium on port
// 80 (plus the port offset): the register pages, and the card's files behind
// Digest authentication when a web user is configured.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/plc_regs.h"
#include "platform/board.h"
#include "platform/fx_api.h"
#include "platform/reset.h"
#include "testsupport/firmware_process.h"
#include "testsupport/fw_media.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/reg_image.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 60000;

u32 WordOfR(u32 n) { return kRegR / 2 + n - 1; }

class HttpSystem : public ::testing::Test {
protected:
    // Starts the controller with the register web server on eth0 (and a web
    // user when one is named), the card in, and the registers of the image.
    void StartWith(const std::string& user, const std::string& password) {
        ASSERT_EQ(access("/usr/bin/curl", X_OK), 0) << "curl is missing: scripts/setup.sh installs it";
        offset_ = NetFreePortOffset(80);
        fw_.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_));
        {
            FirmwareProcess first;
            first.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_));
            ASSERT_TRUE(first.Start());
            ASSERT_TRUE(first.WaitForOutput("main loop running", kStartMs)) << first.Output();
            first.Signal(SIGTERM);
            ASSERT_TRUE(first.WaitExit(kStartMs));
        }
        NetStreamBuilder eth0(NetAddr(10, 1, 2, 3), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 1, 2, 1));
        if (!user.empty()) eth0.Web(user, password);
        ASSERT_TRUE(NetWriteConfigPgm(root_.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build())));
        // %R1 0xFFFF, %R3-4 the REAL 1.5, %R5 "Hi", %R7-8 192.168.3.4.
        std::vector<std::pair<u32, u16>> words = {{WordOfR(1), 0xFFFF}, {WordOfR(4), 0x3FC0},
                                                  {WordOfR(5), 0x6948},  {WordOfR(7), 0x0304},
                                                  {WordOfR(8), 0xC0A8}};
        std::vector<u8> image = RunModeRegisterImage(words);
        ASSERT_TRUE(FwPut("/mnt/cfg/autoreg.dta", std::string(image.begin(), image.end())));
        ASSERT_TRUE(Fx_InsertMedium(0));
        ASSERT_TRUE(fw_.Start());
        ASSERT_TRUE(fw_.WaitForOutput("main loop running", kStartMs)) << fw_.Output();
        port_ = 80 + offset_;
        ASSERT_TRUE(WaitUntil(
            [&] {
                int fd = ConnectLoopback(port_);
                if (fd >= 0) close(fd);
                return fd >= 0;
            },
            kStartMs))
            << fw_.Output();
    }
    void TearDown() override {
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            EXPECT_TRUE(fw_.WaitExit(kStartMs));
            EXPECT_EQ(fw_.ExitCode(), kExitNormal) << fw_.Output();
        }
    }
    std::string Url(const std::string& path) const { return "'http://127.0.0.1:" + std::to_string(port_) + path + "'"; }
    // curl's answer: the body, then a line with the status code.
    std::string Curl(const std::string& args) {
        return Shell("timeout 30 curl -s -g --path-as-is --max-time 25 -w '\\n%{http_code}' " + args);
    }
    static std::string Code(const std::string& answer) { return answer.substr(answer.rfind('\n') + 1); }
    static std::string BodyOf(const std::string& answer) { return answer.substr(0, answer.rfind('\n')); }

    TempRoot root_;
    FirmwareProcess fw_;
    int offset_ = 0;
    int port_ = 0;
};

TEST_F(HttpSystem, CurlReadsAndWritesRegisterPages) {
    StartWith("", "");
    struct Case {
        const char* path;
        const char* code;
        const char* body;  // the value inside the page, or the whole answer for errors
    } reads[] = {
        {"/readreg.htm;reg-R1;fmt-INT", "200", "-1"},
        {"/readreg.htm;reg-R1;fmt-UINT", "200", "65535"},
        {"/readreg.htm;reg-R1;fmt-HEX", "200", "FFFF"},
        {"/readreg.htm;reg-R1.3;fmt-BOOL-ON-OFF", "200", "ON"},
        {"/readreg.htm;reg-R2.3;fmt-BOOL-ON-OFF", "200", "OFF"},
        {"/readreg.htm;reg-I2;fmt-BIN", "500", "NetX HTTP Request Aborted"},
        {"/readreg.htm;reg-I17;fmt-BIN", "200", "0000000000000000"},
        {"/readreg.htm;reg-R3;fmt-REAL-E", "200", "1.500000E+00"},
        {"/readreg.htm;reg-R3;fmt-REAL", "200", "1.500000"},
        {"/readreg.htm;reg-R5;fmt-ASCII-2", "200", "Hi"},
        {"/readreg.htm;reg-R7;fmt-IPADR", "200", "192.168.3.4"},
        {"/readreg.htm;reg-R1", "500", "NetX HTTP Request Aborted"},
        {"/123456789012345678901234567890123456789", "400", "NetX HTTP URL Bad"},
    };
    for (const Case& c : reads) {
        std::string a = Curl(Url(c.path));
        EXPECT_EQ(Code(a), c.code) << c.path << "\n" << a;
        std::string expect = std::string(c.code) == "200" ? "<body>" + std::string(c.body) + "</body>\r\n" : c.body;
        EXPECT_EQ(BodyOf(a), expect) << c.path;
    }
    std::string a = Curl("-X get " + Url("/index.htm"));
    EXPECT_EQ(Code(a), "501") << a;
    EXPECT_EQ(BodyOf(a), "NetX HTTP Request Not Implemented");

    struct Write {
        const char* path;
        const char* value;
        const char* code;
        const char* readBack;  // read page path, and the value it must show
        const char* shows;
    } writes[] = {
        {"/writereg.htm;reg-R10;fmt-UINT", "value=7", "204", "/readreg.htm;reg-R10;fmt-UINT", "7"},
        {"/writereg.htm;reg-R10;fmt-UINT", "value=65536", "500", "/readreg.htm;reg-R10;fmt-UINT", "7"},
        {"/writereg.htm;reg-R11;fmt-IPADR", "value=10.20.30.40", "204", "/readreg.htm;reg-R11;fmt-IPADR",
         "10.20.30.40"},
        {"/writereg.htm;reg-R11;fmt-IPADR", "value=10.20.30.400", "500", "/readreg.htm;reg-R11;fmt-HEX", "1E28"},
        {"/writereg.htm;reg-R11;fmt-IPADR", "value=10.20.30", "500", "/readreg.htm;reg-R12;fmt-HEX", "0A14"},
    };
    for (const Write& w : writes) {
        a = Curl(std::string("-d ") + w.value + " " + Url(w.path));
        EXPECT_EQ(Code(a), w.code) << w.path << " " << w.value << "\n" << a;
        EXPECT_EQ(BodyOf(Curl(Url(w.readBack))), "<body>" + std::string(w.shows) + "</body>\r\n") << w.value;
    }
}

TEST_F(HttpSystem, CurlDigestGuardsTheCardFiles) {
    StartWith("op", "secret");
    ASSERT_TRUE(FwPut("/mnt/USB0/web/a.txt", "file A"));
    ASSERT_TRUE(FwPut("/mnt/USB0/web/b.txt", "file B"));
    ASSERT_TRUE(FwPut("/mnt/cfg/keep.txt", "flash"));
    const std::string digest = "--digest -u op:secret ";

    std::string a = Curl(Url("/web/a.txt"));
    EXPECT_EQ(Code(a), "401") << a;
    EXPECT_EQ(Code(Curl("--digest -u op:wrong " + Url("/web/a.txt"))), "401");
    a = Curl(digest + Url("/web/a.txt"));
    EXPECT_EQ(a, "file A\n200");
    // The register pages need no credentials.
    EXPECT_EQ(Code(Curl(Url("/readreg.htm;reg-R1;fmt-INT"))), "200");
    EXPECT_EQ(Code(Curl("-d value=3 " + Url("/writereg.htm;reg-R9;fmt-INT"))), "204");

    // PUT a 100-KB file slowly, read it back, delete it.
    std::string body(100 * 1024, 'z');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + (i * 31 + i / 97) % 58);
    std::string local = root_.Dir() + "/upload.bin";
    {
        FILE* f = std::fopen(local.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(body.data(), 1, body.size(), f);
        std::fclose(f);
    }
    a = Curl(digest + "--limit-rate 40k -T '" + local + "' " + Url("/web/up.bin"));
    EXPECT_EQ(Code(a), "200") << a;
    EXPECT_TRUE(FwGet("/mnt/USB0/web/UP.BIN") == body);
    a = Curl(digest + Url("/web/up.bin"));
    EXPECT_EQ(Code(a), "200");
    EXPECT_TRUE(BodyOf(a) == body);
    EXPECT_EQ(Code(Curl(digest + "-X DELETE " + Url("/web/up.bin"))), "200");
    EXPECT_FALSE(FwExists("/mnt/USB0/web/UP.BIN"));

    // A captured Authorization header opens nothing else.
    std::string verbose = Shell("timeout 30 curl -s -v -o /dev/null --max-time 25 " + digest + Url("/web/a.txt") +
                                " 2>&1");
    size_t at = verbose.rfind("> Authorization: ");
    ASSERT_NE(at, std::string::npos) << verbose;
    std::string header = verbose.substr(at + 2, verbose.find('\r', at) - at - 2);
    EXPECT_EQ(Code(Curl("-H '" + header + "' " + Url("/web/b.txt"))), "401");
    EXPECT_EQ(Code(Curl("-X DELETE -H '" + header + "' " + Url("/web/a.txt"))), "401");
    EXPECT_EQ(FwGet("/mnt/USB0/web/a.txt"), "file A");

    // Names that would leave the card.
    for (const char* name : {"/../cfg/keep.txt", "/%2e%2e/cfg/keep.txt", "//mnt/cfg/keep.txt", "/Z:/keep.txt"}) {
        EXPECT_EQ(Code(Curl(digest + Url(name))), "400") << name;
        EXPECT_EQ(Code(Curl(digest + "-T '" + local + "' " + Url(name))), "400") << name;
        EXPECT_EQ(Code(Curl(digest + "-X DELETE " + Url(name))), "400") << name;
    }
    EXPECT_EQ(FwGet("/mnt/cfg/keep.txt"), "flash");
}

// A head sent in three pieces with passes of the controller between them is
// served; a refresh text with a quote comes back escaped.
TEST_F(HttpSystem, HeadInPiecesAndEscapedRefresh) {
    StartWith("", "");
    ASSERT_TRUE(WaitUntil([] { return Board_IsOpen() || Board_Open(); }, kStartMs));
    int fd = ConnectLoopback(port_);
    ASSERT_GE(fd, 0);
    for (const char* piece : {"GET /readreg.htm;reg-R1;fmt-INT;rfs-5\"><b>x", " HTTP/1.0\r\nUser-Agent: pi",
                              "eces\r\n\r\n"}) {
        ASSERT_EQ(send(fd, piece, std::strlen(piece), MSG_NOSIGNAL), static_cast<ssize_t>(std::strlen(piece)));
        ASSERT_TRUE(WaitMainLoopPasses(5, kStartMs));
    }
    std::string got;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kStartMs) <= 0) break;
        char buf[1024];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    Board_Close();
    EXPECT_NE(got.find("\r\n\r\n<head><meta http-equiv=\"refresh\" content=\"5&quot;&gt;&lt;b&gt;x\"></head>"
                       "\r\n\r\n<body>-1</body>\r\n"),
              std::string::npos)
        << got;
}

TEST_F(HttpSystem, HeadlessChromiumShowsTheValueInItsFont) {
    ASSERT_EQ(access("/usr/bin/chromium", X_OK), 0) << "chromium is missing: scripts/setup.sh installs it";
    StartWith("", "");
    std::string profile = root_.Dir() + "/chromium-profile";
    std::string dom = Shell("timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --no-first-run "
                            "--user-data-dir='" + profile + "' --dump-dom " +
                            Url("/readreg.htm;reg-R1;fmt-INT;rfs-30;fnt-5-Arial+Black-red") + " 2>/dev/null");
    EXPECT_NE(dom.find("<meta http-equiv=\"refresh\" content=\"30\">"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<font size=\"5\" face=\"Arial Black\" color=\"red\">-1</font>"), std::string::npos) << dom;
}

}  // namespace
