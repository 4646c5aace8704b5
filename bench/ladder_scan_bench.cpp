// Scan time of generated ladder programs of mixed contacts and coils, next
// to the same logic written as plain C++. Each interpreter run also reports
// `vs_native`: its time per scan divided by that of the C++ version.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "ladder/ladder_check.h"
#include "ladder/ladder_engine.h"
#include "testsupport/ladder_builder.h"

namespace {

// Rung i reads three bits of the first half of the %R bits reachable by
// contact words and writes one bit of the second half.
constexpr u32 kInBase = 0x8000, kOutBase = 0xC000, kBits = 0x4000;
u32 In(u32 i, u32 k) { return kInBase + (i * 3 + k) % kBits; }
u32 OutBit(u32 i) { return kOutBase + i % kBits; }

void BuildProgram(LadderBuilder& p, u32 rungs) {
    for (u32 i = 0; i < rungs; ++i) {
        switch (i % 4) {
            case 0:  // o = (x AND NOT y) OR z
                p.Contact(In(i, 0)).Contact(In(i, 1)).Andn().Contact(In(i, 2)).Or().Out(OutBit(i));
                break;
            case 1:  // o = NOT (x AND y)
                p.Contact(In(i, 0)).Contl(In(i, 1)).And().OutNot(OutBit(i));
                break;
            case 2:  // o set when x OR y
                p.Contact(In(i, 0)).Contact(In(i, 1)).Or().Set(OutBit(i));
                break;
            default:  // o reset when NOT (x OR y)
                p.Contact(In(i, 0)).Contl(In(i, 1)).Nor().Reset(OutBit(i));
                break;
        }
    }
    p.End();
}

inline bool Get(u32 a) { return (plc_reg[(a - 0x400) >> 3] >> (a & 7)) & 1; }
inline void Put(u32 a, bool on) {
    u8& b = plc_reg[(a - 0x400) >> 3];
    u8 m = static_cast<u8>(1u << (a & 7));
    b = on ? static_cast<u8>(b | m) : static_cast<u8>(b & ~m);
}

// The same rungs as C++.
void NativeScan(u32 rungs) {
    for (u32 i = 0; i < rungs; ++i) {
        const u32 o = OutBit(i);
        switch (i % 4) {
            case 0:
                Put(o, (Get(In(i, 0)) && !Get(In(i, 1))) || Get(In(i, 2)));
                break;
            case 1:
                Put(o, !(Get(In(i, 0)) && Get(In(i, 1))));
                break;
            case 2:
                if (Get(In(i, 0)) || Get(In(i, 1))) Put(o, true);
                break;
            default:
                if (!(Get(In(i, 0)) || Get(In(i, 1)))) Put(o, false);
                break;
        }
    }
    benchmark::ClobberMemory();
}

void FillInputs() {
    u32 x = 0x12345678;
    for (u32 byte = (kInBase - 0x400) / 8; byte < (kOutBase - 0x400) / 8; ++byte) {
        x = x * 1103515245u + 12345u;
        plc_reg[byte] = static_cast<u8>(x >> 16);
    }
}

// Best of several batches, so that a disturbed batch does not flatter the
// interpreter's ratio.
double NativeNsPerScan(u32 rungs) {
    constexpr int kBatches = 9, kReps = 100;
    double best = 1e300;
    NativeScan(rungs);
    for (int b = 0; b < kBatches; ++b) {
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < kReps; ++r) NativeScan(rungs);
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / kReps);
    }
    return best;
}

void BM_LadderScan(benchmark::State& state) {
    const u32 rungs = static_cast<u32>(state.range(0));
    const LadderWidth width = state.range(1) != 0 ? LadderWidth::k16 : LadderWidth::k32;
    Nvram_Reset();
    Ladder_Reset();
    FillInputs();
    LadderBuilder p(width);
    BuildProgram(p, rungs);
    p.Load();
    S_Put(1, true);
    if (Ladder_Scan(ladder) != kLadderEnd) {  // the first scan checks the program
        state.SkipWithError("program refused");
        return;
    }
    const double native = NativeNsPerScan(rungs);
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) benchmark::DoNotOptimize(Ladder_Scan(ladder));
    auto t1 = std::chrono::steady_clock::now();
    const double interp = std::chrono::duration<double, std::nano>(t1 - t0).count() / state.iterations();
    state.counters["rungs"] = rungs;
    state.counters["native_ns"] = native;
    state.counters["vs_native"] = interp / native;
    state.counters["ns_per_rung"] = interp / rungs;
}

void BM_NativeScan(benchmark::State& state) {
    const u32 rungs = static_cast<u32>(state.range(0));
    FillInputs();
    for (auto _ : state) NativeScan(rungs);
    state.counters["rungs"] = rungs;
}

// The load check of the same programs (run once per download or load).
void BM_LadderCheck(benchmark::State& state) {
    const u32 rungs = static_cast<u32>(state.range(0));
    LadderBuilder p(LadderWidth::k32);
    BuildProgram(p, rungs);
    std::vector<u8> data = p.BlockData();
    for (auto _ : state)
        benchmark::DoNotOptimize(LadderCheck(data.data(), static_cast<u32>(data.size()), false).status);
    state.counters["rungs"] = rungs;
}

}  // namespace

BENCHMARK(BM_LadderCheck)->ArgName("rungs")->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LadderScan)
    ->ArgNames({"rungs", "tok16"})
    ->ArgsProduct({{100, 1000, 10000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NativeScan)->ArgName("rungs")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
