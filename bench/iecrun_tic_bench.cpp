// The same arithmetic loop (a sum with a compare and a conditional jump over
// 10^6 iterations) in the TIC interpreter, in the Lua 5.4 interpreter (run as
// a subprocess that times its own loop) and as native C++; the summary prints
// both ratios.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

constexpr i64 kN = 1000000;
constexpr i64 kExpect = kN * (kN - 1) / 2;

struct TicLoop {
    std::unique_ptr<IecVmDb> db;
    u16 sum = 0, i = 0;
    std::vector<u16> code;
    TicLoop() {
        IecImageBuilder b;
        sum = b.Var(kQ4TypeLint);
        i = b.Var(kQ4TypeLint);
        u16 one = b.Var(kQ4TypeLint, 1), n = b.Var(kQ4TypeLint, static_cast<u64>(kN)), c = b.Var(kQ4TypeBool);
        TicAssembler t;
        t.Op("LDK_LINT", {sum, 0, 0, 0, 0})
            .Op("LDK_LINT", {i, 0, 0, 0, 0})
            .Label("loop")
            .Op("ADD_LINT", {sum, sum, i})
            .Op("ADD_LINT", {i, i, one})
            .Op("GT_LINT", {c, n, i})
            .Op("JMPC", {c, L("loop")})
            .Op("END");
        code = t.Finish();
        b.Program(code);
        db = std::make_unique<IecVmDb>(b.Build());
    }
    i64 Run() {
        // Program 1 of the image, as the cycle runs it.
        u8* st = db->Status();
        u8* rec = Q4VMPrg_Record(db->Db(), 1);
        const Q4Code& c = Q4VM_CodeOf(db->Db());
        Q4VMTic_Run(db->Db(), st, c.data + GetLe32(rec + kQ4PrCode), GetLe32(rec + kQ4PrCodeSize), 1);
        i64 s;
        std::memcpy(&s, db->Data64(sum), 8);
        return s;
    }
};

__attribute__((noinline)) i64 NativeLoop(i64 n) {
    i64 sum = 0;
    for (i64 k = 0; k < n; ++k) {
        sum += k;
        benchmark::DoNotOptimize(sum);
    }
    return sum;
}

// Seconds per loop as Lua measures it (best of reps), or a negative value
// when lua5.4 cannot be run.
double LuaLoopSeconds(int reps) {
    std::string script =
        "local best = math.huge "
        "for r = 1, " + std::to_string(reps) + " do "
        "  local t0 = os.clock() "
        "  local sum, i, n = 0, 0, " + std::to_string(kN) + " "
        "  while i < n do sum = sum + i; i = i + 1 end "
        "  local t = os.clock() - t0 "
        "  if sum ~= " + std::to_string(kExpect) + " then print('bad') os.exit(1) end "
        "  if t < best then best = t end "
        "end "
        "print(string.format('%.9f', best))";
    std::string cmd = "lua5.4 -e \"" + script + "\" 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[64] = {};
    bool ok = std::fgets(buf, sizeof buf, p) != nullptr;
    int rc = pclose(p);
    if (!ok || rc != 0) return -1;
    return std::atof(buf);
}

template <class F>
double BestSeconds(int reps, F f) {
    double best = 1e9;
    for (int r = 0; r < reps; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

void BM_TicLoop(benchmark::State& state) {
    TicLoop t;
    if (t.db->Result() != 0) {
        state.SkipWithError("image not built");
        return;
    }
    for (auto _ : state) {
        i64 s = t.Run();
        if (s != kExpect) state.SkipWithError("wrong sum");
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_TicLoop)->Unit(benchmark::kMillisecond);

void BM_LuaLoop(benchmark::State& state) {
    for (auto _ : state) {
        double s = LuaLoopSeconds(1);
        if (s < 0) {
            state.SkipWithError("lua5.4 not available");
            return;
        }
        state.SetIterationTime(s);
    }
}
BENCHMARK(BM_LuaLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_NativeLoop(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(NativeLoop(kN));
}
BENCHMARK(BM_NativeLoop)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    TicLoop t;
    if (t.db->Result() != 0) return 1;
    double tic = BestSeconds(7, [&] { benchmark::DoNotOptimize(t.Run()); });
    double native = BestSeconds(7, [] { benchmark::DoNotOptimize(NativeLoop(kN)); });
    double lua = LuaLoopSeconds(7);
    std::printf("\nSum loop of %lld iterations, best of 7:\n", static_cast<long long>(kN));
    std::printf("  TIC     %9.3f ms\n", tic * 1e3);
    std::printf("  native  %9.3f ms\n", native * 1e3);
    if (lua > 0) {
        std::printf("  Lua 5.4 %9.3f ms\n", lua * 1e3);
        std::printf("TIC / Lua time ratio:    %.2f (%s)\n", tic / lua, tic <= lua ? "TIC at least as fast" : "TIC slower");
    } else {
        std::printf("  Lua 5.4 not available (apt-get install lua5.4)\n");
    }
    std::printf("TIC / native time ratio: %.1f\n", tic / native);
    return 0;
}
