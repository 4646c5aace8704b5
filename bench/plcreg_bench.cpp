// Cost of the register access functions per call, beside a plain memcpy of the
// same size: a linear register, a window register, a system register (the
// write checks its limit row) and an IEC variable reference.
#include <benchmark/benchmark.h>

#include <cstring>

#include "core/plc_regs.h"
#include "testsupport/reg_fixture.h"

namespace {

constexpr u32 kR1 = 0x8000;                 // %R1
constexpr u32 kEt = 0x10008000 + 16 * 40;   // a word in the ET window
constexpr u32 kSr62 = 0x400 + 16 * (127 + 62);
constexpr u32 kIec = IecRef(1, 3);          // a 16-bit IEC variable

void Get(benchmark::State& state, u32 address) {
    RegFixture regs;
    FakeVmDb db;
    db.Link();
    const u32 bits = static_cast<u32>(state.range(0));
    u8 out[8];
    for (auto _ : state) {
        benchmark::DoNotOptimize(PlcReg_Get(out, address, bits));
        benchmark::ClobberMemory();
    }
}

void Set(benchmark::State& state, u32 address) {
    RegFixture regs;
    FakeVmDb db;
    db.Link();
    const u32 bits = static_cast<u32>(state.range(0));
    u8 in[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(PlcReg_Set(address, in, bits));
        benchmark::ClobberMemory();
    }
}

void Memcpy(benchmark::State& state) {
    RegFixture regs;
    const size_t bytes = static_cast<size_t>(state.range(0)) / 8;
    u8 out[8];
    u8* volatile from = &plc_reg[kRegR];
    for (auto _ : state) {
        std::memcpy(out, from, bytes);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK_CAPTURE(Get, plain, kR1)->Arg(1)->Arg(16)->Arg(32);
BENCHMARK_CAPTURE(Get, window, kEt)->Arg(16)->Arg(32);
BENCHMARK_CAPTURE(Get, system_register, kSr62)->Arg(16);
BENCHMARK_CAPTURE(Get, iec_variable, kIec)->Arg(16)->Arg(32);
BENCHMARK_CAPTURE(Set, plain, kR1)->Arg(1)->Arg(16)->Arg(32);
BENCHMARK_CAPTURE(Set, window, kEt)->Arg(16)->Arg(32);
BENCHMARK_CAPTURE(Set, system_register, kSr62)->Arg(16);
BENCHMARK_CAPTURE(Set, iec_variable, kIec)->Arg(16)->Arg(32);
BENCHMARK(Memcpy)->Arg(16)->Arg(32);

BENCHMARK_MAIN();
