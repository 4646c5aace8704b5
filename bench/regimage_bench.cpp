// Time to save the register image: copy, CRC-16 and the power-safe write of
// autoreg.dta (temporary file, fsync, rename, folder sync).
#include <benchmark/benchmark.h>

#include <cstring>

#include "core/bkuprstr.h"
#include "core/plc_regs.h"
#include "testsupport/temp_root.h"

static void BM_AutoSaveRegisters(benchmark::State& state) {
    TempRoot root;
    Bkuprstr_Reset();
    for (u32 i = 0; i < kPlcRegBytes; ++i) plc_reg[i] = static_cast<u8>(i * 31);
    if (CrtAutoSaveRegFile() != 1) state.SkipWithError("cannot create autoreg.dta");
    for (auto _ : state) {
        ++plc_reg[5000];
        if (AutoSaveRegisters() != 1) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (8 + kPlcRegBytes));
}
BENCHMARK(BM_AutoSaveRegisters)->Unit(benchmark::kMillisecond);

// The part of a save that does not depend on the medium.
static void BM_RegisterImageCrc(benchmark::State& state) {
    for (u32 i = 0; i < kPlcRegBytes; ++i) plc_reg[i] = static_cast<u8>(i * 31);
    for (auto _ : state) benchmark::DoNotOptimize(crc16(plc_reg, kPlcRegBytes));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPlcRegBytes);
}
BENCHMARK(BM_RegisterImageCrc)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
