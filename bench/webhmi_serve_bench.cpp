// Static page requests per second: wrk (Debian) fetching one small page over
// HTTP and over HTTPS from the web-HMI server (its dispatcher in a thread
// that waits for its sockets at most 5 ms between passes, as the server
// thread does) and, in the same run on the same machine, from nginx (Debian)
// serving the same folder with the same certificate. One wrk run each; the
// ratios are printed at the end.
//
// The data protocol in the same run: JSON reads of 32 subscribed registers
// per second (one client, a new X-DarTU digest each request) beside wrk on
// nginx serving a file the size of the read's answer, and the time from a
// register change to the answer of a parked publish with 10, 100 and 1,000
// subscribed items.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_server.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "darTUsdk/dartusdk/dartu_util.h"
#include "core/plc_regs.h"
#include "platform/md5.h"
#include "platform/root.h"
#include "testsupport/reg_fixture.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"
#include "webhmi/dartu_items.h"
#include "webhmi/dartu_security.h"

extern char** environ;

namespace {

constexpr const char* kAuth = "Authorization: Basic b3A6c2VjcmV0";  // op:secret

struct World {
    TempRoot root;
    RegFixture regs;
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
    dartu_global_options()->server_level = kDartuLevelScada;
    Dartu_ItemsReset();
    Dartu_InstallCallbacks();
    dartu_engine_set_clock([]() -> i64 { return 1614945600; });
    dartu_options_generate_temporary_rsa(1024, 0x10001);
    dartu_server_prepare();
    if (dartu_server_mainloop() != 0) return false;
    g->pass = std::thread([] {
        while (!g->stop.load()) {
            dartu_comm_wait(5);
            // A pass holds the register memory's lock, as the server
            // thread does.
            pthread_mutex_lock(&demoMutex);
            dartu_comm_mainloop_accept_conn(0);
            dartu_automatic_update_variables();
            pthread_mutex_unlock(&demoMutex);
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
    Dartu_ItemsReset();
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

// ---- The data protocol ---------------------------------------------------------------

// One request on a new connection; the answer's body.
std::string Exchange(const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u16>(g->http));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval guard{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[8192];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t at = out.find("\r\n\r\n");
    return at == std::string::npos ? "" : out.substr(at + 4);
}

struct Session {
    std::string id, secret = "bench secret";
    u32 cnonce = 0;
};

std::string Post(Session* s, const std::string& request, const std::string& body) {
    std::string head = "POST /darTU/?" + request + " HTTP/1.0\r\n" + kAuth + "\r\n";
    if (s) {
        std::string c = std::to_string(++s->cnonce), text = s->id + ":" + s->secret + ":" + c;
        char hex[33];
        Md5_HexOf(text.data(), static_cast<u32>(text.size()), hex);
        head += "X-DarTU: sessionid=\"" + s->id + "\", cnonce=\"" + c + "\", digest=\"" + hex + "\"\r\n";
    }
    return Exchange(head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

// A new session with one frame subscribing %R1..%Rn; false when refused.
bool OpenSubscribed(Session* s, std::string* frame, u32 n) {
    dartu_global_options_t* o = dartu_global_options();
    std::vector<u8> block(o->rsa_modulus_length, 0x5A), c(o->rsa_modulus_length);
    block[0] = 0;
    block[1] = 2;
    block[block.size() - s->secret.size() - 1] = 0;
    std::memcpy(block.data() + block.size() - s->secret.size(), s->secret.data(), s->secret.size());
    size_t len = c.size();
    dartu_rsa_exptmod(o->rsa_key, 0, block.data(), block.size(), c.data(), &len);
    std::string hex(2 * len + 1, '\0');
    dartu_util_hex_encode(c.data(), len, hex.data());
    hex.resize(2 * len);
    std::string a = Post(nullptr, "createsession", "cipher=" + hex);
    size_t at = a.find("\"sessionid\":\"");
    if (at == std::string::npos) return false;
    s->id = a.substr(at + 13, 8);
    a = Post(s, "createsubscription", "x=1");
    at = a.find("\"subscriptionid\":\"");
    if (at == std::string::npos) return false;
    *frame = a.substr(at + 18, a.find('"', at + 18) - at - 18);
    for (u32 first = 1; first <= n; first += 32) {
        std::string body = "subscriptionid=" + *frame;
        for (u32 r = first; r < first + 32 && r <= n; ++r)
            body += "&address%5B%5D=R_" + std::to_string(r) + "_0_INT16";
        if (Post(s, "subscribedata", body).find("\"error\":4") != std::string::npos) return false;
    }
    return true;
}

std::string Read32Body() {
    std::string body;
    for (u32 r = 1; r <= 32; ++r)
        body += (r > 1 ? "&" : "") + std::string("address%5B%5D=R_") + std::to_string(r) + "_0_INT16";
    return body;
}

void BM_WebHmiJsonRead32(benchmark::State& state) {
    Session s;
    std::string frame;
    if (!OpenSubscribed(&s, &frame, 32)) {
        state.SkipWithError("no session");
        return;
    }
    const std::string body = Read32Body();
    std::string answer = Post(&s, "read", body);
    // nginx serves a file the size of the answer, for wrk beside it.
    Shell("head -c " + std::to_string(answer.size()) + " /dev/zero | tr '\\0' 'x' > '" + g->www + "/read32.json'");
    constexpr int kReads = 10000;
    double rate = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int good = 0;
        for (int i = 0; i < kReads; ++i) good += Post(&s, "read", body).find("\"result\":[") != std::string::npos;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        rate = good == kReads ? kReads / seconds : 0;
    }
    Post(&s, "deletesession", "x=1");
    state.counters["reads_per_s"] = rate;
    g->rate["webhmi-read32"] = rate;
    if (rate <= 0) state.SkipWithError("a read failed");
}

void BM_NginxRead32SizedFile(benchmark::State& state) {
    const std::string url = "http://127.0.0.1:" + std::to_string(g->nginxHttp) + "/read32.json";
    double r = 0;
    for (auto _ : state) r = Wrk(url);
    state.counters["requests_per_s"] = r;
    g->rate["nginx-read32"] = r;
    if (r <= 0) state.SkipWithError("wrk measured nothing");
}

// From a register change to the answer of the publish parked for it.
void BM_WebHmiChangeToPublish(benchmark::State& state) {
    const u32 items = static_cast<u32>(state.range(0));
    Session s;
    std::string frame;
    if (!OpenSubscribed(&s, &frame, items)) {
        state.SkipWithError("no session");
        return;
    }
    // The first notification of every item, drained.
    while (Post(&s, "publish", "longpoll=false").find("\"remaining\":0") == std::string::npos) {
    }
    std::vector<double> ms;
    u16 value = 1;
    for (auto _ : state) {
        std::string answer;
        std::thread client([&] { answer = Post(&s, "publish", "x=1"); });
        // The change is made once the server holds the request parked.
        std::chrono::steady_clock::time_point t0;
        for (bool held = false; !held;) {
            pthread_mutex_lock(&demoMutex);
            for (u32 i = 0; i < dartu_engine_session_count() && !held; ++i) {
                dartu_session* x = dartu_engine_session_at(i);
                held = x && x->parked_buffer;
            }
            if (held) {
                t0 = std::chrono::steady_clock::now();
                PutLe16(&plc_reg[kRegR + 2 * (items - 1)], value++);
            }
            pthread_mutex_unlock(&demoMutex);
        }
        client.join();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (answer.find("\"value\"") == std::string::npos) state.SkipWithError("no change published");
    }
    double sum = 0;
    for (double m : ms) sum += m;
    const double mean = ms.empty() ? 0 : sum / static_cast<double>(ms.size());
    state.counters["change_to_publish_ms"] = mean;
    g->rate["publish-" + std::to_string(items)] = mean;
    Post(&s, "deletesession", "x=1");
}

BENCHMARK(BM_WebHmiJsonRead32)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NginxRead32SizedFile)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WebHmiChangeToPublish)->Arg(10)->Arg(100)->Arg(1000)->Iterations(5)->Unit(benchmark::kMillisecond);

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
    if (g->rate["nginx-read32"] > 0)
        std::printf("JSON read of 32 items: web-HMI server %.0f reads/s, nginx %.0f requests/s for a file of the "
                    "same size, ratio %.2f\n",
                    g->rate["webhmi-read32"], g->rate["nginx-read32"],
                    g->rate["webhmi-read32"] / g->rate["nginx-read32"]);
    for (const char* items : {"10", "100", "1000"})
        std::printf("register change to its publish with %s items: %.1f ms\n", items,
                    g->rate[std::string("publish-") + items]);
    Teardown();
    benchmark::Shutdown();
    return 0;
}
