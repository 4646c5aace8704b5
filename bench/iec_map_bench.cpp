// Variable map look-ups on a map of 10,000 symbols against std::unordered_map
// holding the same entries. The map's bucket chains in the database are fixed
// (17 for symbols, 16 for indexes) and grow with the map; the look-ups go
// through the map's in-memory index and check the entry they find, which is
// what this measures against the bare container.
#include <benchmark/benchmark.h>

#include <cctype>
#include <string>
#include <unordered_map>
#include <vector>

#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmmap.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

constexpr int kSymbols = 10000;

struct Fixture {
    IecVmDb db;
    std::vector<std::string> names;
    std::unordered_map<std::string, u8*> byName;
    std::unordered_map<u32, u8*> byIndex;

    static std::vector<u8> Image() {
        IecImageBuilder b;
        for (int i = 0; i < kSymbols; ++i) b.Var(i % 2 ? kQ4TypeDint : kQ4TypeInt, 0, "Var_" + std::to_string(i));
        return b.Build();
    }

    Fixture() : db(Image()) {
        for (int i = 0; i < kSymbols; ++i) {
            names.push_back("VAR_" + std::to_string((i * 7919) % kSymbols));
            std::string key = "VAR_" + std::to_string(i);
            u8* e = Q4Map_GetBySymbol(db.Db(), key.c_str());
            byName[key] = e;
            byIndex[(static_cast<u32>(Q4Map_GetType(db.Db(), e)) << 16) | Q4Map_GetIndex(db.Db(), e)] = e;
        }
    }
};

Fixture& F() {
    static Fixture f;
    return f;
}

void BM_MapBySymbol(benchmark::State& state) {
    Fixture& f = F();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Q4Map_GetBySymbol(f.db.Db(), f.names[i].c_str()));
        i = (i + 1) % f.names.size();
    }
}
BENCHMARK(BM_MapBySymbol);

void BM_UnorderedBySymbol(benchmark::State& state) {
    Fixture& f = F();
    size_t i = 0;
    std::string key;
    for (auto _ : state) {
        // The same case-insensitive look-up: fold the asked name first.
        key = f.names[i];
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        benchmark::DoNotOptimize(f.byName.find(key));
        i = (i + 1) % f.names.size();
    }
}
BENCHMARK(BM_UnorderedBySymbol);

void BM_MapByIndex(benchmark::State& state) {
    Fixture& f = F();
    u16 i = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Q4Map_GetByIndex(f.db.Db(), kQ4TypeDint, i));
        i = static_cast<u16>(i % (kSymbols / 2) + 1);
    }
}
BENCHMARK(BM_MapByIndex);

void BM_UnorderedByIndex(benchmark::State& state) {
    Fixture& f = F();
    u16 i = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.byIndex.find((static_cast<u32>(kQ4TypeDint) << 16) | i));
        i = static_cast<u16>(i % (kSymbols / 2) + 1);
    }
}
BENCHMARK(BM_UnorderedByIndex);

}  // namespace

BENCHMARK_MAIN();
