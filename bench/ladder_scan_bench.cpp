// Scan time of generated ladder programs, next to the same logic written
// as plain C++ on the same register memory: programs of contacts and coils,
// and mixed programs of moves, integer, DINT and REAL arithmetic,
// conversions, compares and 16-bit timers, up to 10,000 rungs of each. Each
// interpreter run also reports `vs_native`: its time per scan divided by
// that of the C++ version; `best_vs_native` the same from the best of
// several batches (as the C++ time is taken), and `interpreted_vs_native`
// that of the program run without its translation.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "ladder/ladder_check.h"
#include "ladder/ladder_engine.h"
#include "ladder/ladder_ops.h"
#include "platform/fpga.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/manual_clock.h"

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

// Best of several batches of scans of the loaded program, translated or
// interpreted one instruction at a time.
double LadderNsPerScan(bool translated, int reps) {
    constexpr int kBatches = 9;
    Ladder_UseTranslation(translated);
    double best = 1e300;
    for (int b = 0; b < kBatches; ++b) {
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) benchmark::DoNotOptimize(Ladder_Scan(ladder));
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / reps);
    }
    Ladder_UseTranslation(true);
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
    const double best = LadderNsPerScan(true, 50), plain = LadderNsPerScan(false, 50);
    state.counters["rungs"] = rungs;
    state.counters["native_ns"] = native;
    state.counters["vs_native"] = interp / native;
    state.counters["best_vs_native"] = best / native;
    state.counters["interpreted_vs_native"] = plain / native;
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

// ---- Mixed programs -----------------------------------------------------
//
// Block i works on the registers %R(200 + 20 i + k), k = 0..19:
//   r0, r1  INT inputs           r2  (r0 + r1) x 3 (ADDI, MULI)
//   r3      r8 as INT (LDR2I)    r4-r5  DINT accumulator += 1000 (ADDDI)
//   r6-r7   REAL input           r8-r9  REAL(r2) x 1.5 + r6 (LDI2R, MULR, ADDR)
//   r10     copy of r2 (MOVW)    r11  result bits: 0 r2 > r0 (GTI),
//           1 r4 = 5000 (EQDI), 2 r8 < r6 (LTR), 3 on-delay timer of bit 0,
//           4 the arithmetic rung (FALSE after an overflow)
//   r12-r13 timer record         r14-r15 REAL(r0 as u16) (CVTUW2R)
//   r16-r19 copy of r0-r3 (BLKMOV)
// About 42 instructions and 5 rungs a block. Register sets are reused from
// block kMixSets on (programs with 16-bit tokens reach only the first 4032
// register words), so a program of 2000 blocks has 10,000 rungs.
constexpr u32 kMixFirst = 200, kMixStride = 20, kMixSets = 80, kMixRungsPerBlock = 5;
constexpr u16 kTimerOp = 205;  // 16-bit on-delay, 10 ms base, literal preset
constexpr u16 kTimerPreset = 500;

u32 MixWord(u32 block, u32 k) { return kRegR / 2 + kMixFirst - 1 + kMixStride * (block % kMixSets) + k; }
u32 MixReg(u32 block, u32 k) { return lreg::R(kMixFirst + kMixStride * (block % kMixSets) + k); }
u32 MixSets(u32 blocks) { return std::min(blocks, kMixSets); }

constexpr u32 kOn = lreg::R(1) + 15;  // always set

void BuildMixed(LadderBuilder& p, u32 blocks) {
    auto word2 = [&](u32 v) { p.Raw(static_cast<u16>(v)).Raw(static_cast<u16>(v >> 16)); };
    for (u32 i = 0; i < blocks; ++i) {
        auto r = [&](u32 k) { return MixReg(i, k); };
        const u32 bits = r(11);
        // Arithmetic and moves, under one rung that overflows make FALSE.
        p.Contact(kOn);
        p.Op("LDW", {r(0)}).Op("LDW", {r(1)}).Op("ADDI").Op("LDKW", {3}).Op("MULI").Op("STW", {r(2)});
        p.Op("LDD", {r(4)}).Op("LDKD", {1000}).Op("ADDDI").Op("STD", {r(4)});
        p.Op("LDI2R", {r(2)}).Op("LDKD", {std::bit_cast<u32>(1.5f)}).Op("MULR");
        p.Op("LDD", {r(6)}).Op("ADDR").Op("STD", {r(8)});
        p.Op("LDR2I", {r(8)}).Op("STW", {r(3)});
        p.Op("CVTUW2R", {r(0)}).Op("STD", {r(14)});
        p.Op("MOVW", {r(10), r(2)});
        p.Raw(91).Operand(LOpd::kWord, r(16)).Operand(LOpd::kWord, r(0)).Raw(4);
        p.Out(bits + 4);
        // Compares.
        p.Contact(kOn).Op("LDW", {r(2)}).Op("LDW", {r(0)}).Op("GTI").Out(bits);
        p.Contact(kOn).Op("LDD", {r(4)}).Op("LDKD", {5000}).Op("EQDI").Out(bits + 1);
        p.Contact(kOn).Op("LDD", {r(8)}).Op("LDD", {r(6)}).Op("LTR").Out(bits + 2);
        // Timer on the first compare.
        p.Contact(bits).Raw(kTimerOp);
        if (p.Tok16())
            p.Raw(static_cast<u16>(r(12)));
        else
            word2(r(12));
        p.Raw(kTimerPreset).Out(bits + 3);
    }
    p.End();
}

inline u16 W16(u32 w) { return GetLe16(&plc_reg[2 * w]); }
inline void P16(u32 w, u16 v) { PutLe16(&plc_reg[2 * w], v); }
inline u32 W32(u32 w) { return GetLe32(&plc_reg[2 * w]); }
inline void P32(u32 w, u32 v) { PutLe32(&plc_reg[2 * w], v); }
inline float Real(u32 w) { return std::bit_cast<float>(W32(w)); }
inline bool Finite(float f) { return std::isfinite(f); }
inline void PutBitOfWord(u32 w, u32 bit, bool on) {
    u16 v = W16(w);
    v = on ? static_cast<u16>(v | (1u << bit)) : static_cast<u16>(v & ~(1u << bit));
    P16(w, v);
}

// 16-bit on-delay timer of the record at word `rec`.
bool NativeOnDelay(u32 rec, bool in, u16 now, bool first) {
    constexpr u16 kOutput = 0x8000, kEnabled = 0x4000, kStamp = 0x3FFF;
    constexpr u32 kTicks = 100;
    if (!in) {
        P16(rec, 0);
        P16(rec + 1, now);
        return false;
    }
    i64 acc = W16(rec);
    const u16 stamp = W16(rec + 1) & kStamp;
    u32 units = 1, rest = 0;
    if (acc < kTimerPreset && !first) {
        const u32 elapsed = static_cast<u16>(now - stamp) & kStamp;
        units = elapsed / kTicks;
        rest = elapsed % kTicks;
        acc += units;
    }
    const bool expired = acc >= kTimerPreset;
    if (expired) acc = kTimerPreset;
    u16 status = kEnabled | (expired ? kOutput : 0);
    status |= units != 0 ? static_cast<u16>((now - rest) & kStamp) : stamp;
    P16(rec, static_cast<u16>(acc));
    P16(rec + 1, status);
    return expired;
}

// The same blocks as C++.
void NativeMixed(u32 blocks) {
    const u16 now = static_cast<u16>(FPGA_GetFrt() & 0x3FFF);
    const bool first = S_Get(1);
    for (u32 i = 0; i < blocks; ++i) {
        auto r = [&](u32 k) { return MixWord(i, k); };
        bool ok = true;
        const i32 sum = static_cast<i16>(W16(r(0))) + static_cast<i16>(W16(r(1)));
        ok &= sum >= -32768 && sum <= 32767;
        const i32 prod = static_cast<i16>(static_cast<u16>(sum)) * 3;
        ok &= prod >= -32768 && prod <= 32767;
        const u16 c = static_cast<u16>(prod);
        P16(r(2), c);
        const u32 a = W32(r(4)), acc = a + 1000u;
        ok &= static_cast<i32>((a ^ acc) & (1000u ^ acc)) >= 0;
        P32(r(4), acc);
        const float x = static_cast<float>(static_cast<i16>(c)) * 1.5f;
        ok &= Finite(x);
        const float g = Real(r(6));
        ok &= Finite(g);
        const float y = x + g;
        ok &= Finite(y);
        P32(r(8), std::bit_cast<u32>(y));
        // LDR2I: the low word of the truncated value, FALSE outside the INT range.
        const double d = y;
        ok &= Finite(y) && d <= 32767.0 && d >= -32768.0;
        const i32 t = std::isnan(d)        ? 0
                      : d >= 2147483647.0  ? 2147483647
                      : d <= -2147483648.0 ? INT32_MIN
                                           : static_cast<i32>(d);
        P16(r(3), static_cast<u16>(t));
        P32(r(14), std::bit_cast<u32>(static_cast<float>(W16(r(0)))));
        P16(r(10), W16(r(2)));
        for (u32 k = 0; k < 4; ++k) P16(r(16 + k), W16(r(k)));
        PutBitOfWord(r(11), 4, ok);
        const bool gt = static_cast<i16>(W16(r(2))) > static_cast<i16>(W16(r(0)));
        PutBitOfWord(r(11), 0, gt);
        PutBitOfWord(r(11), 1, static_cast<i32>(W32(r(4))) == 5000);
        PutBitOfWord(r(11), 2, Real(r(8)) < Real(r(6)));
        PutBitOfWord(r(11), 3, NativeOnDelay(r(12), gt, now, first));
    }
    benchmark::ClobberMemory();
}

void FillMixedInputs(u32 blocks) {
    P16(kRegR / 2, 0x8000);  // %R1 bit 15 (kOn): the contact that starts every rung
    u32 x = 0x9E3779B9;
    auto next = [&] { return x = x * 1664525u + 1013904223u; };
    for (u32 i = 0; i < MixSets(blocks); ++i) {
        for (u32 k = 0; k < kMixStride; ++k) P16(MixWord(i, k), 0);
        P16(MixWord(i, 0), static_cast<u16>(static_cast<i32>(next() >> 16) % 16000 - 8000));
        P16(MixWord(i, 1), static_cast<u16>(static_cast<i32>(next() >> 16) % 16000 - 8000));
        P32(MixWord(i, 4), next() % 10000);
        P32(MixWord(i, 6), std::bit_cast<u32>(static_cast<float>(static_cast<i32>(next() >> 8) % 2000000) / 1000.0f));
    }
}

double NativeMixedNsPerScan(u32 blocks) {
    constexpr int kBatches = 9, kReps = 200;
    double best = 1e300;
    NativeMixed(blocks);
    for (int b = 0; b < kBatches; ++b) {
        auto t0 = std::chrono::steady_clock::now();
        for (int rep = 0; rep < kReps; ++rep) NativeMixed(blocks);
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / kReps);
    }
    return best;
}

u32 MixedInstructions(u32 blocks, LadderWidth width) {
    LadderBuilder b(width);
    BuildMixed(b, blocks);
    const std::vector<u16> w = b.Words();
    u32 n = 0;
    for (u32 at = 0; at < w.size(); ++n) {
        const u32 len =
            LadderInstruction_Words(w.data() + at, static_cast<u32>(w.size() - at), width == LadderWidth::k16);
        if (len == 0) break;
        at += len;
    }
    return n;
}

// Loads the mixed program and runs its first scan; false (with the reason
// given to `state`) when it is refused or faults.
bool StartMixed(benchmark::State& state, u32 blocks, LadderWidth width) {
    Nvram_Reset();
    Ladder_Reset();
    FillMixedInputs(blocks);
    LadderBuilder p(width);
    BuildMixed(p, blocks);
    p.Load();
    S_Put(1, true);
    const i32 r = Ladder_Scan(ladder);
    if (r == kLadderEnd) return true;
    const LadderCheckResult check = Ladder_LastCheck();
    if (!check.Ok())
        state.SkipWithError(LadderCheck_Text(check.status));
    else
        state.SkipWithError("the scan ended with a program fault (an instruction not built yet?)");
    return false;
}

// One scan of the program and one of the C++ version from the same
// registers must leave the same registers.
bool SameAsNative(u32 blocks) {
    const u32 from = 2 * MixWord(0, 0), to = 2 * (MixWord(MixSets(blocks) - 1, 0) + kMixStride);
    std::vector<u8> start(plc_reg, plc_reg + kPlcRegBytes);
    if (Ladder_Scan(ladder) != kLadderEnd) return false;
    std::vector<u8> ladderOut(plc_reg + from, plc_reg + to);
    std::memcpy(plc_reg, start.data(), start.size());
    NativeMixed(blocks);
    return std::equal(ladderOut.begin(), ladderOut.end(), plc_reg + from);
}

void BM_LadderMixed(benchmark::State& state) {
    const u32 blocks = static_cast<u32>(state.range(0));
    const LadderWidth width = state.range(1) != 0 ? LadderWidth::k16 : LadderWidth::k32;
    ManualClock clock;  // timers see the same time in both versions
    if (!StartMixed(state, blocks, width)) return;
    clock.AdvanceMs(25);  // the timers count two units
    if (!SameAsNative(blocks)) {
        state.SkipWithError("the C++ version disagrees with the ladder program");
        return;
    }
    const double native = NativeMixedNsPerScan(blocks);
    bool faulted = false;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) faulted |= Ladder_Scan(ladder) != kLadderEnd;
    auto t1 = std::chrono::steady_clock::now();
    if (faulted) {
        state.SkipWithError("a scan ended with a program fault");
        return;
    }
    const double interp = std::chrono::duration<double, std::nano>(t1 - t0).count() / state.iterations();
    const double best = LadderNsPerScan(true, 20), plain = LadderNsPerScan(false, 20);
    const u32 instructions = MixedInstructions(blocks, width);
    state.counters["blocks"] = blocks;
    state.counters["rungs"] = kMixRungsPerBlock * blocks;
    state.counters["instructions"] = instructions;
    state.counters["ns_per_instruction"] = interp / instructions;
    state.counters["native_ns"] = native;
    state.counters["vs_native"] = interp / native;
    state.counters["best_vs_native"] = best / native;
    state.counters["interpreted_vs_native"] = plain / native;
}

void BM_NativeMixed(benchmark::State& state) {
    const u32 blocks = static_cast<u32>(state.range(0));
    ManualClock clock;
    FillMixedInputs(blocks);
    for (auto _ : state) NativeMixed(blocks);
    state.counters["blocks"] = blocks;
}

}  // namespace

BENCHMARK(BM_LadderCheck)->ArgName("rungs")->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LadderScan)
    ->ArgNames({"rungs", "tok16"})
    ->ArgsProduct({{100, 1000, 10000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NativeScan)->ArgName("rungs")->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
// 2000 blocks: the 10,000-rung mixed program.
BENCHMARK(BM_LadderMixed)
    ->ArgNames({"blocks", "tok16"})
    ->ArgsProduct({{8, 64, 2000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NativeMixed)->ArgName("blocks")->Arg(8)->Arg(64)->Arg(2000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
