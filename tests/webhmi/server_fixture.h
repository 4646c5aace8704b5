// The web-HMI toolkit serving a temporary web root in this process, on free
// loopback ports, with its dispatcher passes run by a thread of the test and
// the toolkit clock on the manual clock (time moves only when the test
// advances it). Clients are real peers (curl, openssl, socat) or raw sockets.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>
#include <cstring>
#include <string>
#include <thread>

#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_server.h"
#include "platform/clock.h"
#include "platform/root.h"
#include "testsupport/loopback.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "tests/webhmi/webhmi_fixture.h"
#include "webhmi/dartu_security.h"

// security.cfg with the users op/secret (level 3) and viewer/look (level 0)
// in the realm "darTU", as md5sum makes the digests.
inline std::string SecurityCfg(const std::string& realm = "darTU") {
    auto digest = [&](const std::string& user, const std::string& password) {
        std::string out = Shell("printf '%s' '" + user + ":" + realm + ":" + password + "' | md5sum");
        return out.substr(0, 32);
    };
    return realm + "\r\n" + "op;" + digest("op", "secret") + ";Num::1;Right3\r\n" + "viewer;" +
           digest("viewer", "look") + ";Num::2;Right0\r\n";
}

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock_UseManual(1000ull * 1000000000ull, 1614945600ll * 1000000000ll);
        Root_Init();
        web_ = root_.Dir() + "/www";
        Shell("mkdir -p '" + web_ + "'");
        std::string cfg = SecurityCfg();
        dartu_parse_n_get_access_rights_from_buffer(cfg.data(), static_cast<u32>(cfg.size()));
    }
    void TearDown() override {
        Stop();
        dartu_acccess_rights_clear();
        Clock_UseReal();
    }

    // Starts the server; login method 2 Digest, 1 Basic. With a certificate
    // path, HTTPS listens too.
    void Start(u32 method = 2, const std::string& certificate = "") {
        dartu_options_set_oem_variant(0);
        ASSERT_EQ(dartu_server_initialize(), 0);
        dartu_options_set_web_root(web_.c_str(), "index.htm;index.html");
        dartu_options_set_auth_options(method, "darTU");
        http_ = FreeLoopbackPort();
        dartu_options_set_http_options(nullptr, static_cast<u32>(http_ - Root_PortOffset()));
        if (!certificate.empty()) {
            https_ = FreeLoopbackPort();
            dartu_options_set_https_options(nullptr, static_cast<u32>(https_ - Root_PortOffset()),
                                            certificate.c_str(), nullptr);
        } else {
            dartu_options_set_https_options(nullptr, 0, nullptr, nullptr);
        }
        dartu_global_options()->server_level = kDartuLevelScada;
        dartu_global_options()->error_log = &WebHmiTest::Capture;
        dartu_server_set_auth_callbacks(nullptr, dartu_authentication_digest_cb, nullptr, nullptr);
        BeforeListening();
        dartu_server_prepare();
        dartu_server_mainloop();
        stop_ = false;
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                dartu_comm_mainloop_accept_conn(5);
                OnPass();
            }
        });
        started_ = true;
    }
    // Installs what a test serves besides the files (callbacks, options).
    virtual void BeforeListening() {}
    // Runs after every dispatcher pass, in the server's thread.
    virtual void OnPass() {}
    void Stop() {
        if (!started_) return;
        stop_ = true;
        thread_.join();
        dartu_comm_mainloop_exit();
        dartu_server_clear();
        dartu_server_free();
        for (u32 i = 0; i < kDartuPostMethodCount; ++i) post_method_types[i].handler = nullptr, post_method_types[i].after = nullptr;
        started_ = false;
    }
    void Put(const std::string& rel, const std::string& content) {
        std::string path = web_ + rel;
        Shell("mkdir -p \"$(dirname '" + path + "')\"");
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr) << path;
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    std::string Url(const std::string& path, bool tls = false) const {
        return std::string("'") + (tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(tls ? https_ : http_) +
               path + "'";
    }
    // curl's answer: the body, then a line with the status code.
    static std::string Curl(const std::string& args) {
        return Shell("timeout 30 curl -s -g --path-as-is --max-time 25 -w '\\n%{http_code}' " + args);
    }
    static std::string Code(const std::string& answer) { return answer.substr(answer.rfind('\n') + 1); }
    static std::string BodyOf(const std::string& answer) { return answer.substr(0, answer.rfind('\n')); }

    // Sends the bytes on a new connection (in pieces of `step` bytes) and
    // reads until the server closes it (bounded by the guard).
    std::string Exchange(const std::string& bytes, size_t step = 0, int port = 0) {
        int fd = Connect(port ? port : http_);
        if (fd < 0) return "<no connection>";
        if (step == 0) step = bytes.size();
        for (size_t at = 0; at < bytes.size(); at += step) {
            size_t n = std::min(step, bytes.size() - at);
            if (send(fd, bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
            if (step < bytes.size()) usleep(2000);  // separate segments for the server
        }
        std::string out = ReadAll(fd);
        close(fd);
        return out;
    }
    static int Connect(int port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<u16>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        timeval tv{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }
    static std::string ReadAll(int fd) {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
        if (n < 0) out += "<timeout>";
        return out;
    }
    // True when a logged line contains the text.
    static bool Logged(const std::string& text) {
        for (const std::string& s : WebHmiTest::Logged())
            if (s.find(text) != std::string::npos) return true;
        return false;
    }

    TempRoot root_;
    std::string web_;
    int http_ = 0, https_ = 0;

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    bool started_ = false;
};
