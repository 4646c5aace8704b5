// Signal-processing, interpolation, playback and buffer blocks.
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

#include "fb_fixture.h"
#include "iec/kernel/q4fbbuffer.h"
#include "iec/kernel/q4fbsignal.h"
#include "iec/kernel/q4signal.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmstr.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"

namespace {

using Inst = std::vector<u8>;

std::string Hex(float v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", std::bit_cast<u32>(v));
    return b;
}

void RunReference(const std::string& trace) {
    int status = -1;
    std::string out =
        Shell("/usr/bin/python3 " + std::string(PLC_SOURCE_DIR) + "/tests/iecfb/signal_reference.py " + trace, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("OK"), std::string::npos) << out;
}

// Random tables and inputs through CURVELIN, SURFLIN, signal values,
// AVERAGE, INTEGRAL and DERIVATE; a Python transcription in float32 checks
// every result bit for bit.
TEST(SignalBlocks, AgreeWithTheFloat32Reference) {
    constexpr u16 kMax = 12;
    IecImageBuilder b;
    u16 xa = b.Array(kQ4TypeReal, kMax), ya = b.Array(kQ4TypeReal, kMax), za = b.Array(kQ4TypeReal, kMax * kMax);
    // Random signals in the image (numbered from 1).
    std::mt19937 rng(127);
    std::uniform_real_distribution<float> u(-50.0f, 50.0f);
    std::vector<std::vector<std::pair<u32, float>>> signals;
    for (int s = 0; s < 20; ++s) {
        std::vector<std::pair<u32, float>> p;
        u32 t = rng() % 50;
        for (u32 k = 0, n = 2 + rng() % 10; k < n; ++k) {
            p.emplace_back(t, u(rng));
            t += rng() % 4 == 0 ? 0 : rng() % 300;  // some points share a time
        }
        signals.push_back(p);
        b.SignalPoints(p);
    }
    FbDb f(b);
    auto setArray = [&](u16 first, const std::vector<float>& v) {
        for (size_t k = 0; k < v.size(); ++k) f.SetR(static_cast<u16>(first + k), v[k]);
    };
    TempRoot root;
    const std::string path = root.Dir() + "/signal_trace.txt";
    std::ofstream trace(path);
    auto axis = [&](u32 n) {
        std::vector<float> a;
        float x = u(rng);
        for (u32 k = 0; k < n; ++k) {
            a.push_back(x);
            x += rng() % 10 == 0 ? -1.0f : std::abs(u(rng)) / 5 + 0.01f;  // now and then not increasing
        }
        return a;
    };
    for (int n = 0; n < 300; ++n) {
        // CURVELIN
        u32 nx = 2 + rng() % (kMax - 1);
        std::vector<float> xs = axis(nx), ys;
        for (u32 k = 0; k < nx; ++k) ys.push_back(u(rng));
        setArray(xa, xs);
        setArray(ya, ys);
        float x = rng() % 8 == 0 ? xs[rng() % nx] : u(rng);
        f.SetR(f.R(0), x);
        f.Exec(Q4Stfb_CurveLin, nullptr, {f.R(0), xa, static_cast<u16>(nx), ya, static_cast<u16>(nx), f.R(1), f.B(0), f.D(0)});
        trace << "curve " << Hex(x) << ' ' << nx;
        for (float v : xs) trace << ' ' << Hex(v);
        for (float v : ys) trace << ' ' << Hex(v);
        trace << " -> " << Hex(f.GetR(f.R(1))) << ' ' << f.GetB(f.B(0)) << ' ' << f.GetD(f.D(0)) << '\n';

        // SURFLIN
        u32 ny = 2 + rng() % (kMax - 1);
        std::vector<float> ys2 = axis(ny), zs;
        for (u32 k = 0; k < nx * ny; ++k) zs.push_back(u(rng));
        setArray(ya, ys2);
        setArray(za, zs);
        float y = u(rng);
        f.SetR(f.R(2), y);
        f.Exec(Q4Stfb_SurfLin, nullptr,
               {f.R(0), f.R(2), xa, static_cast<u16>(nx), ya, static_cast<u16>(ny), za, static_cast<u16>(nx * ny), f.R(1),
                f.B(0), f.D(0)});
        trace << "surf " << Hex(x) << ' ' << Hex(y) << ' ' << nx << ' ' << ny;
        for (float v : xs) trace << ' ' << Hex(v);
        for (float v : ys2) trace << ' ' << Hex(v);
        for (float v : zs) trace << ' ' << Hex(v);
        trace << " -> " << Hex(f.GetR(f.R(1))) << ' ' << f.GetB(f.B(0)) << ' ' << f.GetD(f.D(0)) << '\n';

        // Signal values
        u32 s = rng() % signals.size();
        Q4SignalView view = Q4Signal_Find(f.Vm().Code(), s + 1);
        ASSERT_NE(view.offset, 0u);
        u32 t = rng() % (signals[s].back().first + 100);
        if (rng() % 4 == 0) t = signals[s][rng() % signals[s].size()].first;
        trace << "sig " << t << ' ' << signals[s].size();
        for (auto& p : signals[s]) trace << ' ' << p.first;
        for (auto& p : signals[s]) trace << ' ' << Hex(p.second);
        trace << " -> " << Hex(Q4Signal_Value(f.Vm().Code(), view, t)) << '\n';
    }

    // AVERAGE over a few windows, INTEGRAL and DERIVATE over random times.
    Inst avg(536), integral(8), der(20);
    f.Cmd(Q4Stfb_Average, avg.data(), kFbInstanceInit);
    f.Cmd(Q4Stfb_Derivate, der.data(), kFbInstanceInit);
    u32 now = 86300000;
    for (int n = 0; n < 600; ++n) {
        bool run = rng() % 40 != 0;
        i32 window = static_cast<i32>(rng() % 140) - 5;
        float x = u(rng);
        f.SetB(f.B(1), run);
        f.SetD(f.D(1), window);
        f.SetR(f.R(3), x);
        f.Exec(Q4Stfb_Average, avg.data(), {f.B(1), f.R(3), f.D(1), f.R(4)});
        trace << "avg a " << run << ' ' << window << ' ' << Hex(x) << " -> " << Hex(f.GetR(f.R(4))) << '\n';

        now = (now + rng() % 700) % 86400000;
        if (now == 0) now = 1;
        f.SetNow(now);
        bool r1 = rng() % 30 == 0;
        float x0 = u(rng);
        u32 cycle = rng() % 3 == 0 ? 0 : rng() % 500;
        f.SetB(f.B(2), r1);
        f.SetR(f.R(5), x0);
        f.SetT(f.T(0), cycle);
        f.Exec(Q4Stfb_Integral, integral.data(), {f.B(1), f.B(2), f.R(3), f.R(5), f.T(0), f.B(3), f.R(6)});
        trace << "int i " << now << ' ' << run << ' ' << r1 << ' ' << Hex(x) << ' ' << Hex(x0) << ' ' << cycle << " -> "
              << f.GetB(f.B(3)) << ' ' << Hex(f.GetR(f.R(6))) << '\n';

        f.Exec(Q4Stfb_Derivate, der.data(), {f.B(1), f.R(3), f.T(0), f.R(7)});
        trace << "der d " << now << ' ' << run << ' ' << Hex(x) << ' ' << cycle << " -> " << Hex(f.GetR(f.R(7))) << '\n';
    }
    trace.close();
    RunReference(path);
}

TEST(SignalBlocks, AverageCases) {
    FbDb f;
    Inst inst(536);
    f.Cmd(Q4Stfb_Average, inst.data(), kFbInstanceInit);
    std::vector<u16> ops{f.B(0), f.R(0), f.D(0), f.R(1)};
    f.SetD(f.D(0), 3);
    f.Exec(Q4Stfb_Average, inst.data(), ops);  // RUN 0 takes N
    f.SetB(f.B(0), true);
    std::vector<float> got;
    for (float x : {1.0f, 2.0f, 3.0f, 4.0f}) {
        f.SetR(f.R(0), x);
        f.Exec(Q4Stfb_Average, inst.data(), ops);
        got.push_back(f.GetR(f.R(1)));
    }
    EXPECT_EQ(got, (std::vector<float>{1.0f, 1.5f, 2.0f, 3.0f}));
    // A window of 0 (or a negative one) gives 0.
    f.SetB(f.B(0), false);
    f.SetD(f.D(0), -4);
    f.Exec(Q4Stfb_Average, inst.data(), ops);
    f.SetB(f.B(0), true);
    f.Exec(Q4Stfb_Average, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(1)), 0.0f);

    // AVERAGEL in double precision.
    Inst l(1056);
    f.Cmd(Q4Stfb_AverageL, l.data(), kFbInstanceInit);
    f.SetL(f.L(0), 0.1);
    f.Exec(Q4Stfb_AverageL, l.data(), {f.B(0), f.L(0), f.D(0), f.L(1)});
    f.SetL(f.L(0), 0.2);
    f.Exec(Q4Stfb_AverageL, l.data(), {f.B(0), f.L(0), f.D(0), f.L(1)});
    EXPECT_DOUBLE_EQ(f.GetL(f.L(1)), (0.1 + 0.2) / 2);
}

TEST(SignalBlocks, DerivativeHoldsWhenStopped) {
    FbDb f;
    Inst inst(20);
    f.Cmd(Q4Stfb_Derivate, inst.data(), kFbInstanceInit);
    std::vector<u16> ops{f.B(0), f.R(0), f.T(0), f.R(1)};
    f.SetB(f.B(0), true);
    f.SetNow(1000);
    f.Exec(Q4Stfb_Derivate, inst.data(), ops);
    f.SetNow(1100);
    f.SetR(f.R(0), 10);
    f.Exec(Q4Stfb_Derivate, inst.data(), ops);
    float out = f.GetR(f.R(1));
    EXPECT_FLOAT_EQ(out, 30.0f / 1000.0f);
    f.SetB(f.B(0), false);
    f.SetNow(1500);
    f.SetR(f.R(0), 99);
    f.Exec(Q4Stfb_Derivate, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(1)), out);
}

TEST(SignalBlocks, RampFollowsItsRatesAndHysterAccHolds) {
    FbDb f;
    Inst inst(20);
    // IN, ASC, DSC, TM, RST -> Y: 10 per second up, 20 per second down.
    std::vector<u16> ops{f.R(0), f.R(1), f.R(2), f.T(0), f.B(0), f.R(3)};
    f.SetR(f.R(1), 10);
    f.SetR(f.R(2), 20);
    f.SetT(f.T(0), 1000);
    f.SetNow(5000);
    f.Exec(Q4Stfb_Ramp, inst.data(), ops);  // first execution: Y = IN = 0
    EXPECT_EQ(f.GetR(f.R(3)), 0.0f);
    f.SetR(f.R(0), 100);
    f.SetNow(5500);
    f.Exec(Q4Stfb_Ramp, inst.data(), ops);
    EXPECT_FLOAT_EQ(f.GetR(f.R(3)), 5.0f);
    f.SetR(f.R(1), 1000);  // rates are taken only at RST or the first execution
    f.SetNow(6500);
    f.Exec(Q4Stfb_Ramp, inst.data(), ops);
    EXPECT_FLOAT_EQ(f.GetR(f.R(3)), 15.0f);
    f.SetR(f.R(0), 0);
    f.SetNow(7000);
    f.Exec(Q4Stfb_Ramp, inst.data(), ops);
    EXPECT_FLOAT_EQ(f.GetR(f.R(3)), 5.0f);
    f.SetNow(8000);
    f.Exec(Q4Stfb_Ramp, inst.data(), ops);
    EXPECT_FLOAT_EQ(f.GetR(f.R(3)), 0.0f);  // not below IN
    f.SetB(f.B(0), true);
    f.SetR(f.R(0), 42);
    f.Exec(Q4Stfb_Ramp, inst.data(), ops);
    EXPECT_FLOAT_EQ(f.GetR(f.R(3)), 42.0f);

    // HYSTERACC: X, EPS, K -> Y.
    Inst h(24);
    std::vector<u16> hops{f.R(5), f.R(6), f.R(7), f.R(8)};
    f.SetR(f.R(6), 1);
    f.SetR(f.R(7), 2);  // accumulated deviation above EPS x K = 2 (units x s) follows X
    f.SetR(f.R(5), 10);
    f.SetNow(1000);
    f.Exec(Q4Stfb_HysterAcc, h.data(), hops);
    EXPECT_EQ(f.GetR(f.R(8)), 10.0f);
    f.SetR(f.R(5), 10.5f);
    f.SetNow(3000);  // 2 s x 0.5 = 1
    f.Exec(Q4Stfb_HysterAcc, h.data(), hops);
    EXPECT_EQ(f.GetR(f.R(8)), 10.0f);
    f.SetNow(5001);  // + 2.001 s x 0.5 > 2
    f.Exec(Q4Stfb_HysterAcc, h.data(), hops);
    EXPECT_EQ(f.GetR(f.R(8)), 10.5f);
    f.SetR(f.R(5), 12);  // beyond EPS at once
    f.SetNow(5002);
    f.Exec(Q4Stfb_HysterAcc, h.data(), hops);
    EXPECT_EQ(f.GetR(f.R(8)), 12.0f);
}

// The midnight reading of the VM clock is not taken for "never run": RAMP
// keeps ramping across it instead of jumping to IN.
TEST(SignalBlocks, RampAcrossMidnightInTheCycle) {
    IecImageBuilder b;
    u16 in = b.Real(100), asc = b.Real(10), dsc = b.Real(10), tm = b.Var(kQ4TypeTime, 1000), rst = b.Var(kQ4TypeBool),
        y = b.Real(0);
    b.FbClass(27, "RAMP");
    u16 ramp = b.FbInstance(27, true);
    TicAssembler t;
    t.Op("CALL_FB", {ramp, 6, in, asc, dsc, tm, rst, y}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    PutLe32(db.Data32(in), std::bit_cast<u32>(0.0f));
    Q4VM_Cycle(db.Db(), 86399000);
    PutLe32(db.Data32(in), std::bit_cast<u32>(100.0f));
    for (u32 now : {86399500u, 0u, 500u}) Q4VM_Cycle(db.Db(), now);
    EXPECT_FLOAT_EQ(std::bit_cast<float>(GetLe32(db.Data32(y))), 15.0f);
}

TEST(SignalBlocks, CurveAndSurfaceEdges) {
    IecImageBuilder b;
    u16 xa = b.Array(kQ4TypeReal, 3), ya = b.Array(kQ4TypeReal, 3), za = b.Array(kQ4TypeReal, 9);
    FbDb f(b);
    const float xs[] = {0, 10, 20}, ys[] = {5, 15, 35};
    for (u16 k = 0; k < 3; ++k) f.SetR(xa + k, xs[k]), f.SetR(ya + k, ys[k]);
    for (u16 k = 0; k < 9; ++k) f.SetR(za + k, static_cast<float>(k));
    struct C {
        float x;
        u16 nx, ny;
        float y;
        bool ok;
        i32 err;
    } cases[] = {{10, 3, 3, 15, true, 0},  {15, 3, 3, 25, true, 0}, {25, 3, 3, 35, false, 5}, {-1, 3, 3, 5, false, 4},
                 {5, 3, 2, 0, false, 1},   {5, 1, 1, 0, false, 1},  {5, 3, 0xFFFF, 0, false, 1}};
    for (const C& c : cases) {
        f.SetR(f.R(0), c.x);
        f.Exec(Q4Stfb_CurveLin, nullptr, {f.R(0), xa, c.nx, ya, c.ny, f.R(1), f.B(0), f.D(0)});
        EXPECT_EQ(f.GetR(f.R(1)), c.y) << c.x;
        EXPECT_EQ(f.GetB(f.B(0)), c.ok) << c.x;
        EXPECT_EQ(f.GetD(f.D(0)), c.err) << c.x;
    }
    // An array that runs past the end of its table is refused (ERR 1).
    u16 last = static_cast<u16>(Q4VM_GetDesc(f.Db(), kDbData32).allocated - 2);
    f.Exec(Q4Stfb_CurveLin, nullptr, {f.R(0), last, 3, ya, 3, f.R(1), f.B(0), f.D(0)});
    EXPECT_EQ(f.GetD(f.D(0)), 1);

    // SURFLIN with X outside the X axis: the value at the clamped abscissa, ERR 4.
    f.SetR(f.R(0), 30);
    f.SetR(f.R(2), 15);
    f.Exec(Q4Stfb_SurfLin, nullptr, {f.R(0), f.R(2), xa, 3, ya, 3, za, 9, f.R(1), f.B(0), f.D(0)});
    EXPECT_FLOAT_EQ(f.GetR(f.R(1)), 7.0f);  // row 2 (x = 20), column 1 (y = 15)
    EXPECT_FALSE(f.GetB(f.B(0)));
    EXPECT_EQ(f.GetD(f.D(0)), 4);
    f.SetR(ya + 1, 3);  // Y axis no longer increasing
    f.Exec(Q4Stfb_SurfLin, nullptr, {f.R(0), f.R(2), xa, 3, ya, 3, za, 9, f.R(1), f.B(0), f.D(0)});
    EXPECT_EQ(f.GetD(f.D(0)), 3);
    f.Exec(Q4Stfb_SurfLin, nullptr, {f.R(0), f.R(2), xa, 3, ya, 3, za, 8, f.R(1), f.B(0), f.D(0)});
    EXPECT_EQ(f.GetD(f.D(0)), 1);
}

TEST(SignalBlocks, SignalPlayback) {
    IecImageBuilder b;
    b.SignalPoints({{0, 0.0f}, {1000, 10.0f}, {1000, 20.0f}, {2000, 40.0f}});
    b.SignalPoints({{0, 1.0f}});  // one point: absent
    std::vector<u8> broken(20, 0);
    PutLe32(broken.data(), 0x20000000);  // a point count far beyond the image
    b.Signal(broken);
    FbDb f(b);
    Inst inst(32);
    // IN, ID, RST, TMIN -> END, Q, ET.
    std::vector<u16> ops{f.B(0), f.D(0), f.B(1), f.T(0), f.B(2), f.R(0), f.T(1)};
    f.SetB(f.B(0), true);
    f.SetD(f.D(0), 1);
    struct S {
        u32 now;
        float q;
        u32 et;
        bool end;
    } steps[] = {{100, 0, 0, false},      {600, 5, 500, false},   {1100, 20, 1000, false}, {1600, 30, 1500, false},
                 {2600, 40, 2000, true},  {3000, 40, 2000, true}};
    for (const S& s : steps) {
        f.SetNow(s.now);
        f.Exec(Q4Stfb_SigPlay, inst.data(), ops);
        EXPECT_EQ(f.GetR(f.R(0)), s.q) << s.now;
        EXPECT_EQ(f.GetT(f.T(1)), s.et) << s.now;
        EXPECT_EQ(f.GetB(f.B(2)), s.end) << s.now;
    }
    // RST starts again (time counts from the reset); TMIN holds the output
    // between updates.
    f.SetB(f.B(1), true);
    f.Exec(Q4Stfb_SigPlay, inst.data(), ops);
    EXPECT_FALSE(f.GetB(f.B(2)));
    EXPECT_EQ(f.GetT(f.T(1)), 0u);
    f.SetB(f.B(1), false);
    f.SetT(f.T(0), 700);
    f.SetNow(3400);
    f.Exec(Q4Stfb_SigPlay, inst.data(), ops);  // loads again
    EXPECT_EQ(f.GetR(f.R(0)), 4.0f);
    f.SetNow(3800);
    f.Exec(Q4Stfb_SigPlay, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(0)), 4.0f);  // 400 ms since the last update: held
    EXPECT_EQ(f.GetT(f.T(1)), 800u);
    f.SetNow(4200);
    f.Exec(Q4Stfb_SigPlay, inst.data(), ops);
    EXPECT_EQ(f.GetR(f.R(0)), 24.0f);

    // Absent and broken signals play nothing.
    for (i32 id : {2, 3, 4, -1}) {
        Inst other(32);
        f.SetD(f.D(0), id);
        f.SetR(f.R(0), 0);
        for (u32 now : {100u, 900u, 3000u}) {
            f.SetNow(now);
            f.Exec(Q4Stfb_SigPlay, other.data(), ops);
        }
        EXPECT_EQ(f.GetT(f.T(1)), 0u) << id;
        EXPECT_FALSE(f.GetB(f.B(2))) << id;
    }
    EXPECT_EQ(Q4Signal_Find(f.Vm().Code(), 3).offset, 0u);
}

TEST(BufferBlocks, StackOfDints) {
    FbDb f;
    Inst inst(524);
    f.Cmd(Q4Stfb_StackInt, inst.data(), kFbInstanceInit);
    // PUSH, POP, R1, IN, N -> EMPTY, OFLO, TOP.
    std::vector<u16> ops{f.B(0), f.B(1), f.B(2), f.D(0), f.D(1), f.B(3), f.B(4), f.D(2)};
    auto pulse = [&](u16 b) {
        f.SetB(b, true);
        f.Exec(Q4Stfb_StackInt, inst.data(), ops);
        f.SetB(b, false);
        f.Exec(Q4Stfb_StackInt, inst.data(), ops);
    };
    f.SetD(f.D(1), 2);
    pulse(f.B(2));  // N = 2
    EXPECT_TRUE(f.GetB(f.B(3)));
    f.SetD(f.D(0), 7);
    pulse(f.B(0));
    f.SetD(f.D(0), 8);
    pulse(f.B(0));
    EXPECT_EQ(f.GetD(f.D(2)), 8);
    pulse(f.B(0));
    EXPECT_TRUE(f.GetB(f.B(4)));  // overflow
    pulse(f.B(1));
    EXPECT_FALSE(f.GetB(f.B(4)));
    EXPECT_EQ(f.GetD(f.D(2)), 7);
    pulse(f.B(1));
    pulse(f.B(1));
    EXPECT_TRUE(f.GetB(f.B(3)));
    EXPECT_EQ(f.GetD(f.D(2)), 0);
}

// FIFO and LIFO over DINT, LREAL and BOOL arrays; STRING refused.
TEST(BufferBlocks, FifoAndLifo) {
    IecImageBuilder b;
    u16 dints = b.Array(kQ4TypeDint, 3), other = b.Array(kQ4TypeDint, 3), lreals = b.Array(kQ4TypeLreal, 3);
    u16 s = b.String(10, "x");
    FbDb f(b);
    // type, PUSH, POP, RST, NEXTIN, NEXTOUT, BUFFER, SIZE -> EMPTY, OFLO, COUNT, PREAD, PWRITE.
    auto ops = [&](u16 type, u16 in, u16 out, u16 buffer, u16 size) {
        return std::vector<u16>{type, f.B(0), f.B(1), f.B(2), in, out, buffer, size, f.B(3), f.B(4), f.D(10), f.D(11), f.D(12)};
    };
    auto pulse = [&](Q4FbHandler h, u8* inst, const std::vector<u16>& o, u16 input) {
        f.SetB(input, true);
        f.Exec(h, inst, o);
        f.SetB(input, false);
        f.Exec(h, inst, o);
    };
    for (bool lifo : {false, true}) {
        Q4FbHandler h = lifo ? Q4Stfb_Lifo : Q4Stfb_Fifo;
        Inst inst(24);
        std::vector<u16> o = ops(kQ4TypeDint, f.D(0), f.D(1), dints, 3);
        for (i32 v : {11, 22, 33}) {
            f.SetD(f.D(0), v);
            pulse(h, inst.data(), o, f.B(0));
            EXPECT_FALSE(f.GetB(f.B(4)));
        }
        f.SetD(f.D(0), 44);
        f.SetB(f.B(0), true);
        f.Exec(h, inst.data(), o);
        EXPECT_TRUE(f.GetB(f.B(4))) << lifo;  // the fourth push overflows
        f.SetB(f.B(0), false);
        f.Exec(h, inst.data(), o);
        EXPECT_FALSE(f.GetB(f.B(4)));
        EXPECT_EQ(f.GetD(f.D(10)), 3);
        EXPECT_EQ(f.GetD(f.D(1)), lifo ? 33 : 11);
        pulse(h, inst.data(), o, f.B(1));
        EXPECT_EQ(f.GetD(f.D(1)), lifo ? 22 : 22);
        pulse(h, inst.data(), o, f.B(1));
        EXPECT_EQ(f.GetD(f.D(1)), lifo ? 11 : 33);
        // FIFO wraps round its array.
        f.SetD(f.D(0), 55);
        pulse(h, inst.data(), o, f.B(0));
        EXPECT_EQ(f.GetD(f.D(10)), 2);
        EXPECT_EQ(f.GetD(f.D(1)), lifo ? 55 : 33);
        // Another array than the bound one is refused; the bound one still works.
        f.Exec(h, inst.data(), ops(kQ4TypeDint, f.D(0), f.D(1), other, 3));
        EXPECT_TRUE(f.GetB(f.B(3)));
        EXPECT_EQ(f.GetD(f.D(1)), 0);
        EXPECT_EQ(f.GetD(f.D(10)), 0);
        f.Exec(h, inst.data(), o);
        EXPECT_EQ(f.GetD(f.D(10)), 2);
        // RST empties it.
        pulse(h, inst.data(), o, f.B(2));
        EXPECT_TRUE(f.GetB(f.B(3)));
        EXPECT_EQ(f.GetD(f.D(1)), 0);
    }
    // LREAL elements.
    Inst inst(24);
    std::vector<u16> o = ops(kQ4TypeLreal, f.L(0), f.L(1), lreals, 3);
    f.SetL(f.L(0), 2.5);
    pulse(Q4Stfb_Fifo, inst.data(), o, f.B(0));
    EXPECT_EQ(f.GetL(f.L(1)), 2.5);
    // A buffer that would run past its table is refused, and so is STRING.
    Inst bad(24);
    u16 end = static_cast<u16>(Q4VM_GetDesc(f.Db(), kDbData32).allocated - 1);
    f.Exec(Q4Stfb_Fifo, bad.data(), ops(kQ4TypeDint, f.D(0), f.D(1), end, 3));
    EXPECT_TRUE(f.GetB(f.B(3)));
    EXPECT_EQ(GetLe32(bad.data() + 16), 0u);
    f.Exec(Q4Stfb_Fifo, bad.data(), ops(kQ4TypeString, s, s, s, 3));
    EXPECT_TRUE(f.GetB(f.B(3)));
    EXPECT_EQ(Q4Tools_String(f.Db(), s)[1], 0);
}

// The bound array is kept as a database offset: the buffer keeps working
// after the database is saved and restored elsewhere (hot restart).
TEST(BufferBlocks, BindingSurvivesAMovedDatabase) {
    IecImageBuilder b;
    u16 dints = b.Array(kQ4TypeDint, 4);
    FbDb f(b);
    Inst inst(24);
    std::vector<u16> o{kQ4TypeDint, f.B(0), f.B(1), f.B(2), f.D(0), f.D(1), dints, 4, f.B(3), f.B(4), f.D(10), f.D(11), f.D(12)};
    f.SetD(f.D(0), 9);
    f.SetB(f.B(0), true);
    f.Exec(Q4Stfb_Fifo, inst.data(), o);
    // The same bytes at another address.
    std::vector<u64> copy((f.Vm().Size() + 7) / 8);
    std::memcpy(copy.data(), f.Db(), f.Vm().Size());
    u8* moved = reinterpret_cast<u8*>(copy.data());
    std::vector<u16> call{static_cast<u16>(o.size())};
    call.insert(call.end(), o.begin(), o.end());
    Q4Stfb_Fifo(kFbHotInit, moved, nullptr, inst.data(), nullptr);
    Q4Stfb_Fifo(kFbExecute, moved, nullptr, inst.data(), call.data() + 1);
    EXPECT_EQ(GetLe32(Q4VM_AreaPtr(moved, kDbData32, nullptr) + 4u * f.D(10)), 1u);  // still one element
    EXPECT_EQ(GetLe32(Q4VM_AreaPtr(moved, kDbData32, nullptr) + 4u * f.D(1)), 9u);
}

}  // namespace
