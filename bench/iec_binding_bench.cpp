// The six register binding synchronisations of a scan with all 6,464
// location-table entries bound, against a plain copy loop over the same
// register and variable words. The binding compares both sides with the last
// value of each pair; the copy moves one way only.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

struct Fixture {
    IecVmDb db;
    u16 bools = 0, words = 0;
    std::vector<std::pair<u8*, u8*>> pairs;  // register, variable

    Fixture() : db(Image(&bools, &words)) {
        pDB = db.Db();
        iVmAlive = 1;
        RegLocTable t;
        u16 b = bools, w = words;
        for (u32 i = 0; i < kRegLocEntries; ++i) {
            const u32 code = Q4Bind_RegisterCode(i);
            const bool word = code >= 0x800 && !(code >= 0x2000 && code <= 0x2FFF);
            t.Bind(i, word ? IecVarRef(kRef16, w++) : IecVarRef(kRef8, b++));
        }
        std::vector<u8> bytes = t.Bytes();
        Q4Bind_Build(bytes.data());
        for (u32 k = 0; k < WordInputEntries; ++k) pairs.emplace_back(VmDbWordInput_ptr[k].a, VmDbWordInput_ptr[k].b);
        for (u32 k = 0; k < WordOutputEntries; ++k) pairs.emplace_back(VmDbWordOutput_ptr[k].b, VmDbWordOutput_ptr[k].a);
        for (u32 k = 0; k < WordSREntries; ++k) pairs.emplace_back(VmDbWordSR_ptr[k].reg, VmDbWordSR_ptr[k].var);
        for (u32 k = 0; k < BoolInputEntries; ++k) pairs.emplace_back(VmDbBitInput_ptr[k].a, VmDbBitInput_ptr[k].b);
        for (u32 k = 0; k < BoolOutputEntries; ++k) pairs.emplace_back(VmDbBitOutput_ptr[k].b, VmDbBitOutput_ptr[k].a);
        for (u32 k = 0; k < BoolSysEntries; ++k) pairs.emplace_back(VmDbBitSys_ptr[k].a, VmDbBitSys_ptr[k].b);
    }
    static std::vector<u8> Image(u16* bools, u16* words) {
        IecImageBuilder b;
        *bools = b.Array(kQ4TypeBool, 2304 * 2 + 512);
        *words = b.Array(kQ4TypeInt, 544 * 2 + 256);
        return b.Build();
    }
};

Fixture& F() {
    static Fixture f;
    return f;
}

void BM_BindingSixSyncs(benchmark::State& state) {
    Fixture& f = F();
    if (f.pairs.size() != kRegLocEntries) state.SkipWithError("not every entry is bound");
    u16 v = 0;
    for (auto _ : state) {
        PutLe16(&plc_reg[kRegAI], ++v);  // one bound input changes every scan
        IecSyncAllBindings();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<i64>(state.iterations()) * kRegLocEntries);
}
BENCHMARK(BM_BindingSixSyncs);

void BM_PlainCopyOfTheSameWords(benchmark::State& state) {
    Fixture& f = F();
    for (auto _ : state) {
        for (auto& [reg, var] : f.pairs) *var = *reg;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<i64>(state.iterations()) * kRegLocEntries);
}
BENCHMARK(BM_PlainCopyOfTheSameWords);

}  // namespace

BENCHMARK_MAIN();
