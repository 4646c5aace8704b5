// Main-loop passes per second and the time of one scan with the empty
// program (a single END), in run mode, with every service a stand-in.
#include <benchmark/benchmark.h>

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "net/enet.h"
#include "platform/fpga.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

namespace {

void PrepareRunMode() {
    FPGA_Reset();
    Nvram_Reset();
    Bkuprstr_Reset();
    Plc_Reset();
    Main_Reset();
    Enet_SetIdleWaitMs(0);
    PutLe16(ladder, 9);
    ladder_bl.SetHeader(crc16(ladder, 2), 2);
    Dartu_InitMutexes();
    IoConfig();
    SetPlcMode(2);
}

void BM_MainLoopPass(benchmark::State& state) {
    TempRoot root;
    PrepareRunMode();
    for (auto _ : state) Main_Iteration();
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("items/s = passes per second");
}
BENCHMARK(BM_MainLoopPass);

void BM_ScanEmptyProgram(benchmark::State& state) {
    TempRoot root;
    PrepareRunMode();
    for (auto _ : state) PlcScan();
    state.SetItemsProcessed(state.iterations());
    state.counters["SR6_avg_0.1ms"] = SR_Get(6);
}
BENCHMARK(BM_ScanEmptyProgram);

}  // namespace

BENCHMARK_MAIN();
