// Rotating large register blocks, beside std::rotate on the same data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "ladder/multi_sr.h"

namespace {

constexpr u32 kWords = 50240;
constexpr u32 kBits = 10000;
constexpr u32 kBy = 1000;

void FillRegisters() {
    for (u32 i = 0; i < kPlcRegBytes; ++i) plc_reg[i] = static_cast<u8>(i * 131 + 7);
}

void BM_RotateWords(benchmark::State& state) {
    FillRegisters();
    MultiPar p{0x400, kWords, kBy, 1, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(MultiRotateWords(&p));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<i64>(state.iterations()) * kWords * 2);
}
BENCHMARK(BM_RotateWords);

void BM_StdRotateWords(benchmark::State& state) {
    FillRegisters();
    std::vector<u16> words(kWords);
    for (u32 i = 0; i < kWords; ++i) words[i] = GetLe16(&plc_reg[2 * i]);
    for (auto _ : state) {
        std::rotate(words.begin(), words.end() - kBy, words.end());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<i64>(state.iterations()) * kWords * 2);
}
BENCHMARK(BM_StdRotateWords);

// A field starting at bit 5 of a register, so no byte lines up.
void BM_RotateBits(benchmark::State& state) {
    FillRegisters();
    MultiPar p{0x400 + 16 * 100 + 5, kBits, kBy, 1, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(MultiRotateBits(&p));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<i64>(state.iterations()) * kBits);
}
BENCHMARK(BM_RotateBits);

void BM_StdRotateBits(benchmark::State& state) {
    FillRegisters();
    std::vector<bool> bits(kBits);
    const u32 first = 16 * 100 + 5;
    for (u32 i = 0; i < kBits; ++i) bits[i] = (plc_reg[(first + i) >> 3] >> ((first + i) & 7)) & 1;
    for (auto _ : state) {
        std::rotate(bits.begin(), bits.end() - kBy, bits.end());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<i64>(state.iterations()) * kBits);
}
BENCHMARK(BM_StdRotateBits);

}  // namespace

BENCHMARK_MAIN();
