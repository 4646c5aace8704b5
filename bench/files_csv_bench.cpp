// CSV transfers of register blocks on a drive folder: writing a block of
// 1,000 values and reading it back by row, and sampling one column of a
// 600-row file.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "testsupport/temp_root.h"

static void BM_CsvWriteReadBlock(benchmark::State& state) {
    TempRoot root;
    Fx_Reset();
    Fx_InsertMedium(0);
    std::vector<i32> values(1000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<i32>(i * 7919 - 400000);
    std::vector<i32> back(values.size());
    u32 done = 0;
    for (auto _ : state) {
        CfTransferRequest w{};
        w.format = 1;
        w.name = "A:\\BENCH.CSV";
        w.data = values.data();
        w.type = 3;
        w.count = 1000;
        w.countDone = &done;
        w.position = 10;
        w.openMode = 3;
        w.word8 = 1;
        if (CF_WriteFile(0, &w) != kCfOk) state.SkipWithError("write failed");
        CfTransferRequest r{};
        r.name = "A:\\BENCH.CSV";
        r.data = back.data();
        r.type = 3;
        r.count = 1000;
        r.countDone = &done;
        r.dataBytes = 4000;
        if (CF_ReadFile(0, &r) != kCfOk) state.SkipWithError("read failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2000);
    Fx_Reset();
}
BENCHMARK(BM_CsvWriteReadBlock)->Unit(benchmark::kMillisecond);

static void BM_CsvColumnSample(benchmark::State& state) {
    TempRoot root;
    Fx_Reset();
    Fx_InsertMedium(0);
    {
        std::ofstream f(Root_HostPath("/mnt/USB0/COL.CSV"), std::ios::binary);
        for (int r = 0; r < 600; ++r) f << r << "," << r * 3 << "," << r * 5 << ",text\r\n";
    }
    std::vector<u16> out(100);
    u32 done = 0;
    for (auto _ : state) {
        CfTransferRequest r{};
        r.name = "A:\\COL.CSV";
        r.data = out.data();
        r.type = 8;
        r.count = (100u << 16) | 2;
        r.countDone = &done;
        r.position = static_cast<i32>(0x80000000u | (599u << 16));
        r.dataBytes = 200;
        if (CF_ReadFile(0, &r) != kCfOk || done != 100) state.SkipWithError("column read failed");
    }
    Fx_Reset();
}
BENCHMARK(BM_CsvColumnSample)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
