// Cost of one controller scan's protocol-driver step: 8 drivers of 512
// change-detected messages of 16 words each (8,192 words per driver), every
// message read in the pass before, so the scan puts what was read into the
// registers and searches every message for changes. Beside it, memcmp over
// the same words (twice: the put compares and the change search compares).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/promgr.h"
#include "platform/touch.h"
#include "testsupport/promgr_section.h"
#include "testsupport/reg_fixture.h"

namespace {

constexpr u32 kDrivers = 8, kMessages = 512, kWords = 16;

int Open(DriverCallbackTable*) { return 0; }
int Read(const u8*, u16*) { return 0; }
int Write(const u8*, const u16*) { return 0; }
int Type(u8 parameter, u16) { return parameter; }
const DriverHeaderRecord kHeader{PMGR_DRIVER_MAGIC, "bench", nullptr, nullptr, nullptr, Open,    nullptr, Read,
                                 Write,             Type,    nullptr, nullptr, nullptr, nullptr, nullptr};
const DriverHeaderRecord* Load(u32, const u8*, u32) { return &kHeader; }

void StartDrivers() {
    PmgrSection s;
    for (u32 i = 0; i < kDrivers; ++i) {
        PmgrDriverSpec d;
        d.port = 0x21;
        for (u32 k = 0; k < kMessages; ++k)
            d.messages.push_back(PmgrMessageSpec{3, 0x8000 + 16 * kWords * k, 0, 1, 2, 0, kWords,
                                                 static_cast<u16>(kWords * k)});
        s.drivers.push_back(d);
    }
    StorePmgrSection(BuildPmgrSection(s));
    PMGR_SetLoadHook(Load);
    SR_Put(5, 2);
    PMGR_Start();
}

void BM_PromgrScan(benchmark::State& state) {
    RegFixture regs;
    PMGR_Reset();
    StartDrivers();
    for (int k = 0; k < 3; ++k) {
        for (u32 i = 0; i < kDrivers; ++i) PMGR_TheLoop(static_cast<int>(i));
        PMGR_Scan();
    }
    for (auto _ : state) {
        state.PauseTiming();
        sysDTic++;
        for (u32 i = 0; i < kDrivers; ++i) PMGR_TheLoop(static_cast<int>(i));
        state.ResumeTiming();
        PMGR_Scan();
    }
    state.SetItemsProcessed(state.iterations() * kDrivers * kMessages * kWords);
    PMGR_Stop();
    PMGR_SetLoadHook(nullptr);
    PMGR_Reset();
    NV_EditorFeatures = 0;
}
BENCHMARK(BM_PromgrScan)->Unit(benchmark::kMicrosecond);

void BM_MemcmpSameWords(benchmark::State& state) {
    RegFixture regs;
    std::vector<u16> shadow(kMessages * kWords);
    const u8* reg = &plc_reg[kRegR];
    for (auto _ : state) {
        int sum = 0;
        for (u32 i = 0; i < kDrivers; ++i)
            for (int twice = 0; twice < 2; ++twice)
                sum += std::memcmp(reg, shadow.data(), shadow.size() * 2);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kDrivers * kMessages * kWords);
}
BENCHMARK(BM_MemcmpSameWords)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
