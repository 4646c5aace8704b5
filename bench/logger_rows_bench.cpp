// Rows per second the data logger writes to the card without dropping any,
// one scan after another with the mailbox served once per scan, beside
// appending the same lines to a file with stdio (open, append, close per
// line, as the logger does).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "core/plc_regs.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "storage/dbg_logger.h"
#include "storage/logger.h"
#include "testsupport/ladder_builder.h"
#include "testsupport/temp_root.h"
#include "tests/storage/logger_table.h"

namespace {

constexpr u32 kEnable = lreg::M(1);
constexpr u32 kTrigger = lreg::M(2);

void SetBit(u32 a, bool on) {
    u8 v = on ? 1 : 0;
    PlcReg_Set(a, &v, 1);
}

dlt::Table BenchTable() {
    dlt::Group g;
    g.sub = "BENCH";
    g.trigger = kTrigger;
    for (u32 i = 0; i < 8; ++i) g.items.push_back({lreg::R(1 + 2 * i), i % 2 ? 3u : 8u, "V" + std::to_string(i)});
    dlt::Table t;
    t.enable = kEnable;
    t.groups = {g};
    return t;
}

}  // namespace

static void BM_LoggerRows(benchmark::State& state) {
    TempRoot root;
    Fx_Reset();
    CF_Reset();
    CFM_Reset();
    Fx_InsertMedium(0);
    BackTsk_WriteOnce();
    Dpram_Init();
    LOG_Reset();
    dlt::LoggerPass pass;
    for (int i = 0; i < 4; ++i) pass.Pass();
    SR_Put(175, 0);
    SR_Put(44, 0);
    SR_Put(45, 0);
    SR_Put(46, 14);
    SR_Put(47, 5);
    SR_Put(48, 3);
    SR_Put(49, 2021);
    SR_Put(50, 6);
    dlt::Load(dlt::Build(BenchTable()));
    LOG_Start();
    SetBit(kEnable, true);
    SetBit(kTrigger, false);
    LOG_Update();  // the trigger is seen low once, so the first edge counts
    u64 sampled = 0;
    bool trigger = false;
    for (auto _ : state) {
        // A row on every rising edge while the buffer is less than half full:
        // the writer must keep up for nothing to be dropped.
        trigger = !trigger && LOG_GroupRows(0) < LOG_GroupCapacity(0) / 2;
        SetBit(kTrigger, trigger);
        if (trigger) ++sampled;  // a rising edge logs one row
        LOG_Update();
        pass.Pass();
    }
    // Rows that reached the file (its lines less the header).
    u64 lines = 0;
    if (FILE* f = std::fopen(Root_HostPath("/mnt/USB0/LOG/BENCH/030514.CSV").c_str(), "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
        std::fclose(f);
    }
    u64 written = lines ? lines - 1 : 0;
    if (LOG_DroppedRows() != 0) state.SkipWithError("rows were dropped");
    if (written + LOG_GroupRows(0) != sampled) state.SkipWithError("rows lost on the way to the file");
    state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(written), benchmark::Counter::kIsRate);
    state.counters["dropped"] = LOG_DroppedRows();
    LOG_Reset();
    CFM_Reset();
    Fx_Reset();
}
BENCHMARK(BM_LoggerRows)->Iterations(20000)->Unit(benchmark::kMillisecond);

static void BM_StdioAppendRows(benchmark::State& state) {
    TempRoot root;
    std::string path = Root_HostPath("/mnt/USB0/stdio.csv");
    const char* line = "2021-03-05,14:00:00,1.5,-2,1.5,-2,1.5,-2,1.5,-2\r\n";
    u64 rows = 0;
    for (auto _ : state) {
        FILE* f = std::fopen(path.c_str(), "ab");
        if (!f) {
            state.SkipWithError("open failed");
            break;
        }
        std::fputs(line, f);
        std::fclose(f);
        ++rows;
    }
    state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StdioAppendRows)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
