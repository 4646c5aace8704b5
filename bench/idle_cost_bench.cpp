// What an idle controller costs: the real executable with the empty program,
// nothing connected, watched for 10 s. It prints the process's share of one
// core (without a tracer) and, over another 10 s under strace, the system
// calls of the main loop per pass, the calls that failed per pass, and the
// sockets created per second.
//
// Three networks: the host's namespace (the default, eth0 the host's own),
// a namespace of its own where eth0 is a configured veth, and one where the
// interface is missing (the services have nothing to bind to).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "testsupport/firmware_process.h"
#include "testsupport/net_config_builder.h"
#include "testsupport/net_namespace.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kSeconds = 10;

// utime + stime of the process in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

struct Trace {
    long passes = 0, mainCalls = 0, mainFailed = 0, allCalls = 0, sockets = 0;
};

// Parses an strace -f log: a pass is one wait of the main loop (a poll with
// a time-out); every other call of the main thread belongs to some pass.
Trace Count(const std::string& path, pid_t main) {
    Trace t;
    std::ifstream f(path);
    std::string line;
    const std::regex call(R"(^(\d+)\s+(\w+)\()");
    const std::regex resumed(R"(^(\d+)\s+<\.\.\. (\w+) resumed>.*= (-?\d+))");
    const std::regex done(R"(\)\s+= (-?\d+))");
    const std::regex pollWait(R"(^\d+\s+poll\(.*\], \d+, [1-9]\d*)");
    std::smatch m;
    for (std::getline(f, line); f; std::getline(f, line)) {
        if (std::regex_search(line, m, call)) {
            ++t.allCalls;
            const bool mainThread = std::stol(m[1]) == main;
            const std::string name = m[2];
            if (name == "socket") ++t.sockets;
            if (!mainThread) continue;
            if (name == "poll" && std::regex_search(line, pollWait)) {
                ++t.passes;
                continue;
            }
            ++t.mainCalls;
            std::smatch r;
            if (std::regex_search(line, r, done) && std::stol(r[1]) < 0) ++t.mainFailed;
        } else if (std::regex_search(line, m, resumed)) {
            if (std::stol(m[1]) == main && m[2] != "poll" && std::stol(m[3]) < 0) ++t.mainFailed;
        }
    }
    return t;
}

enum Network { kHost, kOwnWithEth0, kOwnWithoutEth0 };

void BM_IdleController(benchmark::State& state) {
    const Network network = static_cast<Network>(state.range(0));
    TempRoot root;
    NetNamespacePair pair;
    FirmwareProcess fw;
    if (network == kHost) {
        fw.SetEnv("PLC_PORT_OFFSET", std::to_string(NetFreePortOffset(502)));
    } else {
        if (!pair.Create()) {
            state.SkipWithError(pair.Error().c_str());
            return;
        }
        if (network == kOwnWithoutEth0) pair.CtlIp("link del eth0");
        fw.SetNetNamespace(pair.Controller());
    }
    if (!fw.Start() || !fw.WaitForOutput("main loop running", 60000) || !WaitMainLoopPasses(300, 60000)) {
        state.SkipWithError("the controller did not start");
        return;
    }
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const std::string log = root.Dir() + "/idle.strace";
    for (auto _ : state) {
        const long before = CpuTicks(fw.Pid());
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        const long used = CpuTicks(fw.Pid()) - before;
        Shell("timeout -s INT " + std::to_string(kSeconds) + " strace -f -qq -p " + std::to_string(fw.Pid()) +
              " -o '" + log + "' 2>/dev/null");
        const Trace t = Count(log, fw.Pid());
        const double passes = t.passes > 0 ? static_cast<double>(t.passes) : 1.0;
        state.counters["cpu_percent"] = 100.0 * static_cast<double>(used) / (ticksPerSecond * kSeconds);
        state.counters["passes_per_s"] = static_cast<double>(t.passes) / kSeconds;
        state.counters["calls_per_pass"] = 1.0 + static_cast<double>(t.mainCalls) / passes;
        state.counters["failed_per_pass"] = static_cast<double>(t.mainFailed) / passes;
        state.counters["process_calls_per_pass"] = static_cast<double>(t.allCalls) / passes;
        state.counters["sockets_per_s"] = static_cast<double>(t.sockets) / kSeconds;
        state.SetIterationTime(2.0 * kSeconds);
    }
    const char* names[] = {"host namespace", "own namespace, eth0 configured", "own namespace, eth0 missing"};
    state.SetLabel(names[network]);
}
BENCHMARK(BM_IdleController)->Arg(kHost)->Arg(kOwnWithEth0)->Arg(kOwnWithoutEth0)->Iterations(1)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
