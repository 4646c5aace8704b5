// Static page requests per second: wrk (Debian) fetching one small page over
// HTTP and over HTTPS from the web-HMI server (its dispatcher in a thread
// that waits for its sockets at most 5 ms between passes, as the server
// thread does) and, in the same run on the same machine, from nginx (Debian)
// serving the same folder with the same certificate. One wrk run each; the
// ratios are printed at the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_server.h"
#include "platform/md5.h"
#include "platform/root.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_security.h"

extern char** environ;

namespace {

constexpr const char* kAuth = "Authorization: Basic b3A6c2VjcmV0";  // op:secret

struct World {
    TempRoot root;
    std::string www, pem;
    int http = 0, https = 0, nginxHttp = 0, nginxHttps = 0;
    pid_t nginx = -1;
    std::thread pass;
    std::atomic<bool> stop{false};
    std::map<std::string, double> rate;
};
World* g = nullptr;

int FreePort() {
    std::string out = Shell("python3 -c 'import socket;s=socket.socket();s.bind((\"127.0.0.1\",0));"
                            "print(s.getsockname()[1])'");
    return std::atoi(out.c_str());
}

void Quiet(const char*) {}

bool Setup() {
    g = new World;
    Root_Init();
    g->www = g->root.Dir() + "/www";
    g->pem = g->root.Dir() + "/server.pem";
    Shell("mkdir -p '" + g->www + "' && head -c 2048 /dev/zero | tr '\\0' 'x' > '" + g->www + "/index.htm'");
    Shell("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 2 -keyout '" + g->pem + "' -out '" +
          g->pem + ".crt' >/dev/null 2>&1 && cat '" + g->pem + ".crt' >> '" + g->pem + "'");
    char hex[33];
    Md5_HexOf("op:darTU:secret", 15, hex);
    std::string users = std::string("darTU\r\nop;") + hex + ";Num::1;Right3\r\n";
    dartu_parse_n_get_access_rights_from_buffer(users.data(), static_cast<u32>(users.size()));

    dartu_server_initialize();
    dartu_global_options()->error_log = Quiet;
    dartu_options_set_web_root(g->www.c_str(), "index.htm");
    dartu_options_set_auth_options(kDartuLoginHttpBasic, "darTU");
    g->http = FreePort();
    g->https = FreePort();
    dartu_options_set_http_options(nullptr, static_cast<u32>(g->http - Root_PortOffset()));
    dartu_options_set_https_options(nullptr, static_cast<u32>(g->https - Root_PortOffset()), g->pem.c_str(), nullptr);
    dartu_server_set_auth_callbacks(nullptr, dartu_authentication_digest_cb, nullptr, nullptr);
    dartu_server_prepare();
    if (dartu_server_mainloop() != 0) return false;
    g->pass = std::thread([] {
        while (!g->stop.load()) {
            dartu_comm_wait(5);
            dartu_comm_mainloop_accept_conn(0);
        }
    });

    g->nginxHttp = FreePort();
    g->nginxHttps = FreePort();
    const std::string dir = g->root.Dir();
    FILE* f = std::fopen((dir + "/nginx.conf").c_str(), "w");
    if (!f) return false;
    std::fprintf(f,
                 "daemon off; user root; worker_processes 1; pid %s/nginx.pid; error_log %s/nginx.err;\n"
                 "events { worker_connections 1024; }\n"
                 "http { access_log off; server { listen 127.0.0.1:%d; listen 127.0.0.1:%d ssl;\n"
                 "ssl_certificate %s; ssl_certificate_key %s; root %s; } }\n",
                 dir.c_str(), dir.c_str(), g->nginxHttp, g->nginxHttps, g->pem.c_str(), g->pem.c_str(),
                 g->www.c_str());
    std::fclose(f);
    const std::string conf = dir + "/nginx.conf";
    const char* argv[] = {"/usr/sbin/nginx", "-p", dir.c_str(), "-c", conf.c_str(), nullptr};
    if (posix_spawn(&g->nginx, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
    for (int i = 0; i < 200; ++i) {
        if (Shell("curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:" + std::to_string(g->nginxHttp) +
                  "/index.htm") == "200")
            return true;
        usleep(10000);
    }
    return false;
}

void Teardown() {
    if (!g) return;
    if (g->nginx > 0) {
        kill(g->nginx, SIGTERM);
        waitpid(g->nginx, nullptr, 0);
    }
    g->stop = true;
    if (g->pass.joinable()) g->pass.join();
    dartu_comm_mainloop_exit();
    dartu_server_clear();
    dartu_server_free();
    dartu_acccess_rights_clear();
    delete g;
    g = nullptr;
}

// Requests per second of one wrk run.
double Wrk(const std::string& url) {
    std::string out = Shell("wrk -t2 -c16 -d3s -H '" + std::string(kAuth) + "' '" + url + "' 2>&1");
    size_t at = out.find("Requests/sec:");
    return at == std::string::npos ? 0 : std::atof(out.c_str() + at + 13);
}

void Run(benchmark::State& state, const char* name, bool tls, bool nginx) {
    int port = nginx ? (tls ? g->nginxHttps : g->nginxHttp) : (tls ? g->https : g->http);
    std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/index.htm";
    double r = 0;
    for (auto _ : state) r = Wrk(url);
    state.counters["requests_per_s"] = r;
    g->rate[name] = r;
    if (r <= 0) state.SkipWithError("wrk measured nothing");
}

void BM_WebHmiHttp(benchmark::State& s) { Run(s, "webhmi-http", false, false); }
void BM_NginxHttp(benchmark::State& s) { Run(s, "nginx-http", false, true); }
void BM_WebHmiHttps(benchmark::State& s) { Run(s, "webhmi-https", true, false); }
void BM_NginxHttps(benchmark::State& s) { Run(s, "nginx-https", true, true); }
BENCHMARK(BM_WebHmiHttp)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NginxHttp)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WebHmiHttps)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NginxHttps)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!Setup()) {
        std::fprintf(stderr, "web-HMI server or nginx did not start\n");
        Teardown();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    for (const char* scheme : {"http", "https"}) {
        double mine = g->rate[std::string("webhmi-") + scheme], theirs = g->rate[std::string("nginx-") + scheme];
        if (theirs > 0)
            std::printf("%s: web-HMI server %.0f requests/s, nginx %.0f requests/s, ratio %.2f\n", scheme, mine,
                        theirs, mine / theirs);
    }
    Teardown();
    benchmark::Shutdown();
    return 0;
}
