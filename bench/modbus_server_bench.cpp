// Modbus TCP as a user sees it: the real executable in run mode, once with
// an empty program and once with a 10,000-rung program, loaded by libmodbus
// clients (function 3, 100 holding registers) over 1 and 16 connections;
// beside it, in the same run on the same machine, a minimal server written
// with libmodbus answering the same clients. Each case prints requests per
// second and the p50/p99 latency of a request; the summary at the end prints
// the controller's rate as a ratio of the libmodbus server's, and the
// controller's scan time under the load (%SR6, its average time from one
// scan to the next, which a client reads now and then) with the p99 latency
// in scan times.
#include <benchmark/benchmark.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/plc_regs.h"
#include "platform/fileio.h"
#include "testsupport/firmware_process.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/loopback.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kRequestsPerConnection = 2000;
constexpr int kAddress = 10000;  // %R1 in the controller's map
constexpr int kCount = 100;
constexpr int kStartMs = 60000;

constexpr int kScanTimeRegister = 4005;  // input register of %SR6, in 100-us units

struct Figures {
    double rate = 0, p50 = 0, p99 = 0;
    double scanUs = 0;  // 0: not sampled
    bool ok = false;
};

// Runs `connections` clients at once, each asking kRequestsPerConnection
// reads; requests per second over the whole and the latency percentiles.
// With `scanTime` the first client also reads the controller's scan time
// after every 100th request (neither counted nor timed).
Figures Load(int port, int connections, bool scanTime = false) {
    std::atomic<double> scanSum{0};
    std::atomic<int> scanSamples{0};
    std::vector<std::vector<double>> latency(connections);
    std::atomic<int> failed{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < connections; ++c) {
        clients.emplace_back([&, c] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            bool ok = ctx != nullptr && modbus_connect(ctx) == 0;
            ++ready;
            while (!go) std::this_thread::yield();
            uint16_t regs[kCount];
            latency[c].reserve(kRequestsPerConnection);
            for (int i = 0; ok && i < kRequestsPerConnection; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                ok = modbus_read_registers(ctx, kAddress, kCount, regs) == kCount;
                latency[c].push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                                         .count());
                uint16_t scan = 0;
                if (ok && scanTime && c == 0 && i % 100 == 99 &&
                    modbus_read_input_registers(ctx, kScanTimeRegister, 1, &scan) == 1) {
                    scanSum = scanSum + 100.0 * scan;
                    ++scanSamples;
                }
            }
            if (!ok) ++failed;
            if (ctx) {
                modbus_close(ctx);
                modbus_free(ctx);
            }
        });
    }
    while (ready < connections) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go = true;
    for (std::thread& t : clients) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<double> all;
    for (const auto& l : latency) all.insert(all.end(), l.begin(), l.end());
    Figures f;
    f.ok = failed == 0 && !all.empty();
    if (!f.ok) return f;
    std::sort(all.begin(), all.end());
    f.rate = static_cast<double>(all.size()) / seconds;
    f.p50 = all[all.size() / 2];
    f.p99 = all[all.size() * 99 / 100];
    f.scanUs = scanSamples > 0 ? scanSum / scanSamples : 0;
    return f;
}

// A minimal multi-client server written with libmodbus, in a thread of its
// own while the object lives.
class LibmodbusServer {
public:
    LibmodbusServer() {
        port_ = FreeLoopbackPort();
        ctx_ = modbus_new_tcp("127.0.0.1", port_);
        map_ = modbus_mapping_new(0, 0, 20240, 0);
        listen_ = ctx_ && map_ ? modbus_tcp_listen(ctx_, 32) : -1;
        if (listen_ >= 0) thread_ = std::thread([this] { Serve(); });
    }
    ~LibmodbusServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (const pollfd& p : fds_) close(p.fd);
        if (map_) modbus_mapping_free(map_);
        if (ctx_) modbus_free(ctx_);
    }
    int Port() const { return listen_ >= 0 ? port_ : -1; }

private:
    void Serve() {
        fds_.push_back({listen_, POLLIN, 0});
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stop_) {
            if (poll(fds_.data(), fds_.size(), 100) <= 0) continue;
            for (size_t i = 0; i < fds_.size(); ++i) {
                if (!(fds_[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (fds_[i].fd == listen_) {
                    int fd = listen_;
                    const int connection = modbus_tcp_accept(ctx_, &fd);
                    if (connection >= 0) fds_.push_back({connection, POLLIN, 0});
                    continue;
                }
                modbus_set_socket(ctx_, fds_[i].fd);
                int n = modbus_receive(ctx_, query);
                if (n > 0) {
                    modbus_reply(ctx_, query, n, map_);
                } else if (n < 0) {
                    close(fds_[i].fd);
                    fds_.erase(fds_.begin() + static_cast<long>(i));
                    --i;
                }
            }
        }
    }

    int port_ = -1, listen_ = -1;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* map_ = nullptr;
    std::vector<pollfd> fds_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The real executable in run mode serving Modbus TCP on loopback, with a
// program of `rungs` rungs (0: the empty program).
class Controller {
public:
    explicit Controller(int rungs) {
        offset_ = NetFreePortOffset(502);
        const std::string offset = std::to_string(offset_);
        {
            // A first start lays down the stored files the configuration edits.
            FirmwareProcess first;
            first.SetEnv("PLC_PORT_OFFSET", offset);
            if (!first.Start() || !first.WaitForOutput("main loop running", kStartMs)) return;
            first.Signal(SIGTERM);
            if (!first.WaitExit(kStartMs)) return;
        }
        NetStreamBuilder eth0(NetAddr(10, 1, 2, 3), NetAddr(255, 255, 255, 0));
        eth0.Services(0, NetAddr(10, 1, 2, 1)).Modbus(true, 0, 502, 0);
        if (!NetWriteConfigPgm(root_.Path("/mnt/cfg/config.pgm"), NetIoConfig(eth0.Build()))) return;
        LadderBuilder b(LadderWidth::k32);
        const u32 on = lreg::R(1);
        for (int i = 0; i < rungs; ++i) {
            // Alternating logic and word arithmetic over a spread of registers.
            const u32 word = lreg::R(200 + static_cast<u32>(i % 1000));
            if (i % 2 == 0)
                b.Contact(on).Contact(word + 1).And().Out(word + 2);
            else
                b.Contact(on).Op("LDW", {word}).Op("LDKW", {1}).Op("ADDI").Op("STW", {word}).Out(lreg::R(1500 + static_cast<u32>(i % 500)));
        }
        b.End();
        if (!b.Ok()) return;
        const std::vector<u8> pgm = b.ProgramFile();
        // The stored register image of the first start, in run mode (%SR5 = 2)
        // and with the rungs' enabling contact on.
        std::vector<u8> image;
        if (!File_ReadAll(root_.Path("/mnt/cfg/autoreg.dta"), image, 1u << 20)) return;
        PutLe16(&image[8 + 2 * (127 + 5)], 2);
        PutLe16(&image[8 + 2 * ((on - 0x400) >> 4)], 1);
        PutLe16(&image[0], crc16(&image[8], static_cast<u32>(image.size() - 8)));
        if ((rungs > 0 && !File_WriteAtomic(root_.Path("/mnt/cfg/ladder.pgm"), pgm.data(), pgm.size())) ||
            !File_WriteAtomic(root_.Path("/mnt/cfg/autoreg.dta"), image.data(), image.size()))
            return;
        fw_.SetEnv("PLC_PORT_OFFSET", offset);
        if (!fw_.Start() || !fw_.WaitForOutput("main loop running", kStartMs)) return;
        // The server restarts once when the interface takes its address:
        // serving is steady once a whole read is answered.
        ok_ = WaitUntil(
            [&] {
                modbus_t* ctx = modbus_new_tcp("127.0.0.1", 502 + offset_);
                uint16_t reg = 0;
                const bool answered =
                    ctx != nullptr && modbus_connect(ctx) == 0 && modbus_read_registers(ctx, kAddress, 1, &reg) == 1;
                if (ctx) {
                    modbus_close(ctx);
                    modbus_free(ctx);
                }
                return answered;
            },
            kStartMs);
    }
    ~Controller() {
        if (fw_.Running()) {
            fw_.Signal(SIGTERM);
            fw_.WaitExit(kStartMs);
        }
    }
    int Port() const { return ok_ ? 502 + offset_ : -1; }

private:
    TempRoot root_;
    FirmwareProcess fw_;
    int offset_ = 0;
    bool ok_ = false;
};

std::map<std::string, Figures> g_results;

void Report(benchmark::State& state, const std::string& key, const Figures& f) {
    if (!f.ok) {
        state.SkipWithError("a request failed");
        return;
    }
    g_results[key] = f;
    state.counters["req/s"] = f.rate;
    state.counters["p50_us"] = f.p50;
    state.counters["p99_us"] = f.p99;
}

void BM_Controller(benchmark::State& state) {
    const int rungs = static_cast<int>(state.range(0));
    const int connections = static_cast<int>(state.range(1));
    Controller c(rungs);
    if (c.Port() < 0) {
        state.SkipWithError("the controller did not serve Modbus TCP");
        return;
    }
    Figures f;
    for (auto _ : state) f = Load(c.Port(), connections, true);
    if (f.scanUs > 0) state.counters["scan_us"] = f.scanUs;
    Report(state, "controller/" + std::to_string(rungs) + "/" + std::to_string(connections), f);
}
BENCHMARK(BM_Controller)->ArgNames({"rungs", "connections"})->Args({0, 1})->Args({0, 16})->Args({10000, 1})->Args({10000, 16})->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Libmodbus(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    LibmodbusServer s;
    if (s.Port() < 0) {
        state.SkipWithError("the libmodbus server cannot listen");
        return;
    }
    Figures f;
    for (auto _ : state) f = Load(s.Port(), connections);
    Report(state, "libmodbus/" + std::to_string(connections), f);
}
BENCHMARK(BM_Libmodbus)->ArgNames({"connections"})->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);

void PrintRatios() {
    std::printf("\nController requests per second as a ratio of the libmodbus server's:\n");
    for (int rungs : {0, 10000})
        for (int connections : {1, 16}) {
            const auto c = g_results.find("controller/" + std::to_string(rungs) + "/" + std::to_string(connections));
            const auto l = g_results.find("libmodbus/" + std::to_string(connections));
            if (c == g_results.end() || l == g_results.end()) continue;
            std::printf("  %5d rungs, %2d connections: %.2fx  (p50 %.0f us, p99 %.0f us", rungs, connections,
                        c->second.rate / l->second.rate, c->second.p50, c->second.p99);
            if (c->second.scanUs > 0)
                std::printf("; scan %.0f us, p99 = %.1f scans", c->second.scanUs, c->second.p99 / c->second.scanUs);
            std::printf(")\n");
        }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    PrintRatios();
    benchmark::Shutdown();
    return 0;
}
