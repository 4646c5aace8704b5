// Program save and load of a 2 MB ladder program through the controller's
// own command interpreter (the scan stops for as long as they take), beside
// a plain copy of the same file with the drive-letter API.
#include <benchmark/benchmark.h>

#include <cstring>

#include "core/wiring.h"
#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "link/sci.h"
#include "link/vcomm.h"
#include "platform/clock.h"
#include "platform/fx_api.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "storage/mcmd.h"
#include "storage/pgmmedia.h"
#include "testsupport/controller_reset.h"
#include "testsupport/link_host.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"

namespace {

constexpr u32 kLadderBytes = 2u << 20;

// Time moves only by the link's waits (the upload's pause before its first
// frame), never by the host's speed.
void Round() { Clock_Advance(1000000ull); }

struct Controller {
    TempRoot root;
    ManualClock clock;
    LinkPty serial;
    bool ok = false;

    Controller() {
        ResetLinkController();
        ResetMediaModules();
        PlcRegClear();
        SR_Put(29, 1);
        SR_Put(37, 567);
        SR_Put(38, 160);
        if (!serial.Open(root.Path("/dev/ttySP3"))) return;
        SCI0_Init(0);
        Cmd_Init();
        if (!Fx_InsertMedium(0)) return;
        CrtAutoSaveRegFile();
        for (u32 i = 0; i < kLadderBytes; ++i) ladder[i] = static_cast<u8>(i * 7 + (i >> 9));
        ladder[kLadderBytes - 1] = 0;
        PutLe32(ladder + kLadderBytes - 9, 0);
        ladder_bl.SetHeader(crc16(ladder, kLadderBytes), kLadderBytes);
        mcmdPeers.roundDone = Round;
        ok = SaveProgram() == 1;
    }
    ~Controller() {
        Wiring_Connect();
        MCMD_Reset();
        Sci_Reset();
        Vcomm_Reset();
        Cmd_Reset();
        Fx_Reset();
        CF_Reset();
    }
};

}  // namespace

static void BM_SaveProgramFile(benchmark::State& state) {
    Controller c;
    if (!c.ok) state.SkipWithError("set-up failed");
    for (auto _ : state)
        if (SavePgm("A:\\BENCH.PGM") != 0) state.SkipWithError("save failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kLadderBytes);
}
BENCHMARK(BM_SaveProgramFile)->Unit(benchmark::kMillisecond);

static void BM_LoadProgramFile(benchmark::State& state) {
    Controller c;
    if (!c.ok || SavePgm("A:\\BENCH.PGM") != 0) state.SkipWithError("set-up failed");
    for (auto _ : state)
        if (PgmMedia_LoadFile("A:\\BENCH.PGM") != 0) state.SkipWithError("load failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kLadderBytes);
}
BENCHMARK(BM_LoadProgramFile)->Unit(benchmark::kMillisecond);

static void BM_CopySameFile(benchmark::State& state) {
    Controller c;
    if (!c.ok || SavePgm("A:\\BENCH.PGM") != 0) state.SkipWithError("set-up failed");
    CfRenameRequest rq{"A:\\BENCH.PGM", "A:\\COPY.PGM"};
    for (auto _ : state) {
        CF_DeleteFile(0, "A:\\COPY.PGM");
        if (CF_CopyFile(&rq) != kCfOk) state.SkipWithError("copy failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kLadderBytes);
}
BENCHMARK(BM_CopySameFile)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
