// System tests: the real executable serves the web pages of its card with
// the web-HMI server to curl, mirrors its listening into %ESR17 bit 3 (read
// over the programming link), stops while the web root is replaced over FTP
// and starts again at the end marker, and leaves the bit at 0 when its ports
// are taken.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/fx_api.h"
#include "platform/md5.h"
#include "testsupport/board_clock.h"
#include "testsupport/firmware_process.h"
#include "testsupport/fw_media.h"
#include "testsupport/link_host.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kStartMs = 60000;
constexpr u32 kEsr17Bit3 = 0x10030102;

std::string Digest(const std::string& user, const std::string& password) {
    char hex[33];
    std::string text = user + ":darTU:" + password;
    Md5_HexOf(text.data(), static_cast<u32>(text.size()), hex);
    return hex;
}

std::string Md5Text(const std::string& s) {
    char hex[33];
    Md5_HexOf(s.data(), static_cast<u32>(s.size()), hex);
    return hex;
}

// One request on a new connection; the whole answer (the server closes).
std::string Exchange(int port, const std::string& request) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return "";
    timeval tv{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

std::string NonceOf(const std::string& answer) {
    size_t at = answer.find("nonce=\"");
    return at == std::string::npos ? "" : answer.substr(at + 7, 32);
}

std::string DigestRequest(const std::string& nonce, const std::string& nc) {
    std::string ha1 = Md5Text("op:darTU:secret"), ha2 = Md5Text("GET:/index.htm");
    std::string response = Md5Text(ha1 + ":" + nonce + ":" + nc + ":c" + nc + ":auth:" + ha2);
    return "GET /index.htm HTTP/1.0\r\nAuthorization: Digest username=\"op\", realm=\"darTU\", nonce=\"" + nonce +
           "\", uri=\"/index.htm\", qop=auth, nc=" + nc + ", cnonce=\"c" + nc + "\", response=\"" + response +
           "\"\r\n\r\n";
}

class WebHmiSystem : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/usr/bin/curl", X_OK), 0) << "curl is missing: scripts/setup.sh installs it";
        offset_ = NetFreePortOffset(80);
        port_ = 80 + offset_;
        fw_.SetEnv("PLC_PORT_OFFSET", std::to_string(offset_));
        ASSERT_TRUE(serial_.Open(root_.Path("/dev/ttySP3")));
        host_ = std::make_unique<LinkHost>(serial_.Master());
        ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/index.htm", "home"));
        ASSERT_TRUE(FwPut("/mnt/USB0/darTU/config/security.cfg",
                          "darTU\r\nop;" + Digest("op", "secret") + ";Num::1;Right3\r\n"));
        ASSERT_TRUE(Fx_InsertMedium(0));
    }
    void Start() {
        ASSERT_TRUE(fw_.Start());
        ASSERT_TRUE(fw_.WaitForOutput("main loop running", kStartMs)) << fw_.Output();
        ASSERT_TRUE(host_->NodeId(&node_));
    }
    void TearDown() override {
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            EXPECT_TRUE(fw_.WaitExit(kStartMs));
        }
    }
    bool Listening() const {
        int fd = ConnectLoopback(port_);
        if (fd >= 0) close(fd);
        return fd >= 0;
    }
    // Interface 0 takes its address after start-up, and a new address of
    // interface 0 restarts a running server: serving is steady after that.
    bool WaitServing() {
        if (!WaitUntil([] { return FwGet("/sys/netif.log").find("eth0 address") != std::string::npos; }, kStartMs))
            return false;
        return WaitMainLoopPasses(50, kStartMs) && WaitUntil([&] { return Listening(); }, kStartMs);
    }
    // On the clock the test drives: interface 0 takes its address after
    // start-up, which restarts a server that was already listening; the
    // server's own start runs on the host's time, so serving is steady once
    // it listens and has told so in %ESR17, also ten seconds later.
    bool ServeSteadily(BoardClock& clock) {
        auto up = [&] { return Listening() && Bit3() == 1; };
        return clock.AdvanceUntil(up, 60000, 20) && clock.Advance(10000, 100) && clock.AdvanceUntil(up, 60000, 20);
    }
    int Bit3() {
        LinkHost::Reply r = host_->ReadRegs(node_, kEsr17Bit3, 1);
        return r.frame && !r.data.empty() ? r.data[0] : -1;
    }
    std::string Curl(const std::string& args) {
        return Shell("timeout 30 curl -s -g --max-time 25 -w '\\n%{http_code}' " + args + " 'http://127.0.0.1:" +
                     std::to_string(port_) + "/index.htm'");
    }

    TempRoot root_;
    FirmwareProcess fw_;
    LinkPty serial_;
    std::unique_ptr<LinkHost> host_;
    u8 node_ = 0;
    int offset_ = 0, port_ = 0;
};

// The controller's clock is driven: the server's restarts happen between
// the test's steps, never during a check.
TEST_F(WebHmiSystem, ServesPagesAndRestartsAroundAnFtpReplacement) {
    BoardClock clock;
    Start();
    ASSERT_TRUE(ServeSteadily(clock)) << fw_.Output();
    EXPECT_EQ(Bit3(), 1);
    EXPECT_EQ(Curl("--digest -u op:secret"), "home\n200");
    std::string refused = Curl("--digest -u op:wrong");
    EXPECT_EQ(refused.substr(refused.rfind('\n') + 1), "401");

    // The FTP daemon replaces the pages: the server stops when the web root
    // goes and starts again once the end marker is written.
    Shell("rm -rf '" + root_.Path("/mnt/USB0/darTU/wwwroot") + "'");
    ASSERT_TRUE(clock.AdvanceUntil([&] { return !Listening() && Bit3() == 0; }, 60000, 20)) << fw_.Output();
    ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/index.htm", "new pages"));
    ASSERT_TRUE(clock.Advance(10000, 100));
    EXPECT_FALSE(Listening());
    ASSERT_TRUE(FwPut("/mnt/USB0/EndOfFTP.txt", ""));
    ASSERT_TRUE(clock.AdvanceUntil([&] { return Listening() && Bit3() == 1; }, 60000, 20)) << fw_.Output();
    EXPECT_EQ(Curl("--digest -u op:secret"), "new pages\n200");
    EXPECT_FALSE(FwExists("/mnt/USB0/EndOfFTP.txt"));
    fw_.Signal(SIGTERM);
    EXPECT_TRUE(clock.AdvanceToExit(fw_));
}

// darTUGlobal.cfg selects Basic; the JSON dispatch answers by request name.
TEST_F(WebHmiSystem, BasicFromTheSettingsFileJsonCodesAndGzipPages) {
    ASSERT_TRUE(FwPut("/mnt/USB0/darTU/config/darTUGlobal.cfg", "KeepAlive:30\nAuthentication:Basic\n"));
    ASSERT_TRUE(FwPut("/mnt/USB0/darTU/wwwroot/app.js", std::string("\x1f\x8b\x08", 3) + "zipped"));
    Start();
    ASSERT_TRUE(WaitServing()) << fw_.Output();
    const std::string base = "'http://127.0.0.1:" + std::to_string(port_);
    auto curl = [&](const std::string& args, const std::string& path) {
        return Shell("timeout 30 curl -s --max-time 25 -w '\\n%{http_code}' " + args + " " + base + path + "'");
    };
    // The first page also tells that serving is steady: a restart of the
    // server for the interface's new address may still close a connection.
    std::string first;
    EXPECT_TRUE(WaitUntil([&] { return (first = curl("--basic -u op:secret", "/index.htm")) == "home\n200"; },
                          kStartMs))
        << first;
    auto code = [](const std::string& a) { return a.substr(a.rfind('\n') + 1); };
    EXPECT_EQ(code(curl("--digest -u op:secret", "/index.htm")), "401");
    EXPECT_EQ(code(curl("--basic -u op:secret", "/app.js")), "406");
    EXPECT_EQ(curl("--basic -u op:secret -H 'Accept-Encoding: gzip'", "/app.js"),
              std::string("\x1f\x8b\x08", 3) + "zipped\n200");
    EXPECT_EQ(curl("--basic -u op:secret -d a=1", "/darTU/?read"),
              "{\"error\":454,\"errorstring\":\"X-DarTU is missing\"}\n200");
    EXPECT_EQ(curl("--basic -u op:secret -d a=1", "/darTU/?nosuchrequest"),
              "{\"error\":300,\"errorstring\":\"Unknown method\"}\n200");
    // info needs no session: it is answered, not refused for the want of one
    // (the answer carries a random key, so only its fields are looked at).
    std::string info = curl("--basic -u op:secret -d a=1", "/darTU/?info");
    EXPECT_EQ(info.find("\"error\""), std::string::npos) << info;
    EXPECT_NE(info.find("\"servername\""), std::string::npos) << info;
}

TEST_F(WebHmiSystem, TakenPortsLeaveTheListeningBitAtZero) {
    // Both ports held by another program, on the address the controller uses.
    int held[2];
    int ports[2] = {80 + offset_, 443 + offset_};
    for (int i = 0; i < 2; ++i) {
        held[i] = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u16>(ports[i]));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(held[i], reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << ports[i];
        ASSERT_EQ(listen(held[i], 1), 0);
    }
    Start();
    ASSERT_TRUE(fw_.WaitForOutput("open_listening_port(" + std::to_string(ports[1]) + ")", kStartMs))
        << fw_.Output();
    EXPECT_NE(fw_.Output().find("open_listening_port(" + std::to_string(ports[0]) + ")"), std::string::npos);
    // Start-up is over once both failures are printed; the bit stays 0.
    ASSERT_TRUE(WaitMainLoopPasses(20, kStartMs));
    EXPECT_EQ(Bit3(), 0);
    for (int fd : held) close(fd);
}

// The nonce ages on the controller's clock: the test advances it by hand.
TEST_F(WebHmiSystem, DigestNonceGoesStaleAfterThirtyOneSecondsOfTheControllersClock) {
    BoardClock clock;
    Start();
    ASSERT_TRUE(ServeSteadily(clock)) << fw_.Output();
    std::string challenge = Exchange(port_, "GET /index.htm HTTP/1.0\r\n\r\n");
    std::string nonce = NonceOf(challenge);
    ASSERT_EQ(nonce.size(), 32u) << challenge;
    EXPECT_EQ(Exchange(port_, DigestRequest(nonce, "00000001")).substr(0, 15), "HTTP/1.0 200 OK");
    ASSERT_TRUE(clock.Advance(31000, 100));
    std::string stale = Exchange(port_, DigestRequest(nonce, "00000002"));
    EXPECT_EQ(stale.substr(0, 35), "HTTP/1.0 401 Authorization Required") << stale;
    EXPECT_NE(stale.find("stale=\"true\""), std::string::npos) << stale;
    std::string fresh = NonceOf(stale);
    EXPECT_NE(fresh, nonce);
    EXPECT_EQ(Exchange(port_, DigestRequest(fresh, "00000001")).substr(0, 15), "HTTP/1.0 200 OK");
    fw_.Signal(SIGTERM);
    EXPECT_TRUE(clock.AdvanceToExit(fw_));
}

}  // namespace
