// Cost of CANopen in a controller scan: the scan of the empty program in run
// mode with a slave that has 63 TPDOs, each mapped full (8 data bytes) with
// the most objects a TPDO composes, 63: 62 single bits and one pair (3,969
// register reads every scan; the data do not change, so nothing is sent),
// beside the same scan with the CANopen services left out.
#include <benchmark/benchmark.h>

#include "core/bkuprstr.h"
#include "core/main.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "io/candrv.h"
#include "io/canopen.h"
#include "io/canopen_table.h"
#include "net/enet.h"
#include "platform/fpga.h"
#include "testsupport/can_peer.h"
#include "testsupport/canopen_table_builder.h"
#include "testsupport/temp_root.h"
#include "webhmi/dartu_glue.h"

namespace {

void PrepareRunMode() {
    FPGA_Reset();
    Nvram_Reset();
    Bkuprstr_Reset();
    Plc_Reset();
    Main_Reset();
    Can_Reset();
    CANOpen_Reset();
    Enet_SetIdleWaitMs(0);
    PutLe16(ladder, 9);
    ladder_bl.SetHeader(crc16(ladder, 2), 2);
    Dartu_InitMutexes();
    IoConfig();
    SetPlcMode(2);
}

void InstallFullTpdos() {
    CanOpenTableBuilder table(5, 1);
    for (u32 k = 0; k < kCoMaxPdos; ++k) {
        std::vector<u32> map;
        for (u32 s = 1; s < kCoMaxPdos; ++s) map.push_back((0x2000u << 16) | (s << 8) | 1u);
        map.push_back((0x2000u << 16) | (kCoMaxPdos << 8) | 2u);
        table.Tpdo(0x181 + k, 254, map);
    }
    table.Install();
}

void BM_ScanWith63FullTpdos(benchmark::State& state) {
    TempRoot root;
    CanTest_UseFreeBus();
    PrepareRunMode();
    InstallFullTpdos();
    Plc_NetInit();
    if (CANOpen_NmtState() != kNmtOperational || (CANOpen_Status() & 0x3E00)) {
        state.SkipWithError("the TPDOs did not start");
        return;
    }
    for (int k = 0; k < 3; ++k) PlcScan();
    for (auto _ : state) PlcScan();
    if (CANOpen_Status() & 0x3E00) state.SkipWithError("a TPDO was refused");
    state.SetItemsProcessed(state.iterations());
    state.counters["mapped_objects"] = kCoMaxPdos * kCoMaxPdos;
    Can_Reset();
    CANOpen_Reset();
}
BENCHMARK(BM_ScanWith63FullTpdos);

void BM_ScanWithoutCanOpen(benchmark::State& state) {
    TempRoot root;
    PrepareRunMode();
    const ScanPeers kept = scanPeers;
    scanPeers.canOpenReceive = [] {};
    scanPeers.canOpenTransmit = [] {};
    for (auto _ : state) PlcScan();
    state.SetItemsProcessed(state.iterations());
    scanPeers = kept;
}
BENCHMARK(BM_ScanWithoutCanOpen);

}  // namespace

BENCHMARK_MAIN();
