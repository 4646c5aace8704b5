// One VM cycle of an application with 1,000 TON and 100 PID instances, beside
// the same timer and PID logic written in plain C++, in the same run.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

constexpr int kTimers = 1000, kPids = 100;

struct App {
    std::unique_ptr<IecVmDb> db;
    App() {
        IecImageBuilder b;
        u16 in = b.Var(kQ4TypeBool, 1), pt = b.Var(kQ4TypeTime, 5000);
        b.FbClass(9, "TON");
        b.FbClass(900, "PID");
        TicAssembler t;
        for (int k = 0; k < kTimers; ++k) {
            u16 q = b.Var(kQ4TypeBool), et = b.Var(kQ4TypeTime);
            t.Op("CALL_FB", {b.FbInstance(9, true), 4, in, pt, q, et});
        }
        u16 aut = b.Var(kQ4TypeBool, 1), period = b.Var(kQ4TypeTime, 0), with = b.Var(kQ4TypeBool, 1);
        u16 off = b.Var(kQ4TypeBool), pv = b.Real(20), sp = b.Real(50), man = b.Real(0), gain = b.Real(1.5f),
            ti = b.Real(10), td = b.Real(0.1f), lo = b.Real(0), hi = b.Real(100), preset = b.Real(0), band = b.Real(-1),
            bias = b.Real(0);
        for (int k = 0; k < kPids; ++k) {
            std::vector<TicOperand> ops{b.FbInstance(900, false), 23, aut, pv, sp, man, gain, ti, td, period, lo, hi,
                                        with, off, off, preset, band, bias};
            for (int o = 0; o < 5; ++o) ops.push_back(b.Real(0));
            ops.push_back(b.Var(kQ4TypeBool));
            ops.push_back(b.Var(kQ4TypeBool));
            t.Op("CALL_FB", ops);
        }
        t.Op("END");
        b.Program(t.Finish());
        db = std::make_unique<IecVmDb>(b.Build());
    }
};

void BM_VmCycleTonPid(benchmark::State& state) {
    App app;
    if (app.db->Result() != 0) {
        state.SkipWithError("the application does not build");
        return;
    }
    u32 now = 1000;
    for (auto _ : state) {
        now += 3;
        Q4VM_Cycle(app.db->Db(), now);
    }
}
BENCHMARK(BM_VmCycleTonPid);

// The same work in plain C++: the timers' state and the PID step on floats.
struct NativeTon {
    u32 et = 0, stamp = 0;
    bool running = false, q = false;
};
struct NativePid {
    u32 stamp = 0;
    float held = 0, integral = 0;
    bool limited = false;
};

void BM_NativeTonPid(benchmark::State& state) {
    std::vector<NativeTon> tons(kTimers);
    std::vector<NativePid> pids(kPids);
    std::vector<float> out(kPids);
    u32 now = 1000;
    const u32 pt = 5000;
    for (auto _ : state) {
        now += 3;
        for (NativeTon& t : tons) {
            if (!t.running) t.stamp = now, t.running = true;
            if (!t.q) {
                t.et += now - t.stamp;
                t.stamp = now;
                if (t.et >= pt) t.et = pt, t.q = true;
            }
        }
        for (int k = 0; k < kPids; ++k) {
            NativePid& p = pids[k];
            u32 e = now - p.stamp;
            p.stamp = now;
            float error = 50.0f - 20.0f, before = p.held;
            p.held = error;
            float d = (error - before) * 0.1f * 1.5f, pr = p.held * 1.5f;
            if (!p.limited) p.integral += static_cast<float>(e) / 1000.0f * pr / 10.0f;
            float o = pr + p.integral + d;
            p.limited = o < 0.0f || o > 100.0f;
            out[k] = o < 0.0f ? 0.0f : o > 100.0f ? 100.0f : o;
        }
        benchmark::DoNotOptimize(tons.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_NativeTonPid);

}  // namespace

BENCHMARK_MAIN();
