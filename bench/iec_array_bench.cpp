// ARSORT of 65,535 DINT (the largest array a program can declare) beside
// std::sort of the same values, in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "iec/ext/q4barray.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

constexpr u32 kCount = 65535;

std::vector<i32> Values() {
    std::vector<i32> v(kCount);
    u32 x = 2463534242u;
    for (i32& e : v) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        e = static_cast<i32>(x);
    }
    return v;
}

void BM_ArSortDint(benchmark::State& state) {
    // The array lives in the CT segment, located through a DINT holding its
    // offset (0).
    IecImageBuilder b;
    const u16 at = b.Var(kQ4TypeDint, 0), ok = b.Var(kQ4TypeBool);
    b.CtSegment(kCount * 4, kCount * 4);
    IecVmDb db(b.Build());
    u8* ct = Q4VM_AreaPtr(db.Db(), kDbCtSegment, nullptr);
    const std::vector<i32> values = Values();
    const u16 call[] = {4, kQ4TypeDint, at, static_cast<u16>(kCount), ok};
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(ct, values.data(), kCount * 4);
        state.ResumeTiming();
        Q4BArray_Sort(kFbExecute, db.Db(), nullptr, nullptr, call + 1);
    }
    std::vector<i32> out(kCount);
    std::memcpy(out.data(), ct, kCount * 4);
    if (!std::is_sorted(out.begin(), out.end())) state.SkipWithError("not sorted");
}
BENCHMARK(BM_ArSortDint)->Unit(benchmark::kMillisecond);

void BM_StdSortDint(benchmark::State& state) {
    const std::vector<i32> values = Values();
    std::vector<i32> v;
    for (auto _ : state) {
        state.PauseTiming();
        v = values;
        state.ResumeTiming();
        std::sort(v.begin(), v.end());
        benchmark::DoNotOptimize(v.data());
    }
}
BENCHMARK(BM_StdSortDint)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
