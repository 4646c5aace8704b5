// The controller's PID blocks: loops through fbk_pid on a parameter array,
// their loop numbering and latch, and the parameter blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fb_fixture.h"
#include "iec/blocks/q4pid.h"
#include "iec/kernel/q4vmfb.h"
#include "ladder/pid.h"
#include "platform/fpga.h"
#include "testsupport/manual_clock.h"

namespace {

class PidDb : public FbDb {
public:
    PidDb() : FbDb(Builder()) {}
    u16 Blk(u16 k) const { return static_cast<u16>(blk_[k]); }  // INT[16] 0, 1; INT[10] 2
    u16 I(u16 k) const { return static_cast<u16>(i0_ + k); }
    i16 W(u16 b, int word) { return static_cast<i16>(GetLe16(Vm().Data16(static_cast<u16>(blk_[b] + word)))); }
    void SetW(u16 b, int word, i16 v) { PutLe16(Vm().Data16(static_cast<u16>(blk_[b] + word)), static_cast<u16>(v)); }
    i16 GetI(u16 i) { return static_cast<i16>(GetLe16(Vm().Data16(i))); }
    void SetI(u16 i, i16 v) { PutLe16(Vm().Data16(i), static_cast<u16>(v)); }

private:
    static IecImageBuilder Builder() {
        IecImageBuilder b;
        blk_[0] = b.Array(kQ4TypeInt, 16);
        blk_[1] = b.Array(kQ4TypeInt, 16);
        blk_[2] = b.Array(kQ4TypeInt, 10);
        i0_ = b.Var(kQ4TypeInt);
        for (int k = 1; k < 20; ++k) b.Var(kQ4TypeInt);
        return b;
    }
    static inline u16 blk_[3] = {}, i0_ = 0;
};

using Inst = std::array<u8, 72>;

// A P+I loop on 0..10000 with a 100 ms sample time.
void Tune(PidDb& f, u16 b) {
    const i16 w[16] = {10, 0, 0, 150, 0, 400, 0, 10000, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 16; ++k) f.SetW(b, k, w[k]);
}

class PidBlocks : public ::testing::Test {
protected:
    PidBlocks() {
        Pid_Reset();
        Q4Pid_Reset();
    }
    // Operands of PID_IND / PID_ISA on block b: SP I(0), PV I(1), modes
    // B(0..2); out CV I(2).
    std::vector<u16> IntOps(u16 b) { return {f_.Blk(b), 16, f_.I(0), f_.I(1), f_.B(0), f_.B(1), f_.B(2), f_.I(2)}; }
    ManualClock clock_;
    PidDb f_;
};

TEST_F(PidBlocks, RegisteredWithTheirInstanceSizes) {
    for (const Q4BlockEntry& e : kQ4CtlPidRows) {
        bool found = false;
        for (u32 id = 0; id < kPfbCount; ++id) found |= PFB[id].handler == e.handler && std::strcmp(PFB[id].name, e.name) == 0;
        EXPECT_TRUE(found) << e.name;
        EXPECT_EQ(e.handler(kFbAnyType, nullptr, nullptr, nullptr, nullptr), 1) << e.name;
    }
    EXPECT_EQ(Q4Ctl_PidInd(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 72);
    EXPECT_EQ(Q4Ctl_PidIndR(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 72);
    for (Q4FbHandler h : {Q4Ctl_PidIsa, Q4Ctl_PidIsaR, Q4Ctl_PidIndAuto, Q4Ctl_PidIsaAuto, Q4Ctl_PidIndAutoR, Q4Ctl_PidIsaAutoR})
        EXPECT_EQ(h(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 34);
    EXPECT_EQ(Q4Ctl_SetPid(kFbInstanceSize, nullptr, nullptr, nullptr, nullptr), 0);
}

// PID_IND on a first-order plant steps exactly as fbk_pid called directly
// (as the ladder instruction calls it) on a copy of the same block, and the
// plant settles at the set point.
TEST_F(PidBlocks, LoopSettlesAsTheLadderPidDoes) {
    Inst inst{};
    f_.Cmd(Q4Ctl_PidInd, inst.data(), kFbInstanceInit);  // loop 0
    ASSERT_EQ(inst[kPidInstLoop], 0);
    Tune(f_, 0);
    u16 ref[16];
    for (int k = 0; k < 16; ++k) ref[k] = static_cast<u16>(f_.W(0, k));
    double plant = 0, refPlant = 0;
    f_.SetI(f_.I(0), 5000);
    for (int step = 0; step < 600; ++step) {
        clock_.AdvanceMs(100);
        f_.SetI(f_.I(1), static_cast<i16>(plant));
        f_.Exec(Q4Ctl_PidInd, inst.data(), IntOps(0));
        ref[kPidProcess] = static_cast<u16>(static_cast<i16>(refPlant));
        ref[kPidSetpoint] = 5000;
        ref[kPidFlags] = static_cast<u16>((ref[kPidFlags] & ~kPidFlagIsa) | kPidFlagEnabled);
        PidContext ctx{FPGA_GetFrt(), 1, 0, 0};
        fbk_pid(&ctx, ref);
        ASSERT_EQ(f_.GetI(f_.I(2)), static_cast<i16>(ref[kPidFinalOutput])) << step;
        plant += (f_.GetI(f_.I(2)) - plant) * 0.05;
        refPlant += (static_cast<i16>(ref[kPidFinalOutput]) - refPlant) * 0.05;
    }
    EXPECT_NEAR(plant, 5000, 50);
    EXPECT_EQ(f_.W(0, kPidSetpoint), 5000);
    EXPECT_EQ(f_.W(0, kPidFlags) & (kPidFlagIsa | kPidFlagEnabled), kPidFlagEnabled);
    EXPECT_EQ(std::memcmp(inst.data() + kPidInstBlock, f_.Vm().Data16(f_.Blk(0)), 32), 0);
}

TEST_F(PidBlocks, ModesSetPointLatchAndShortArrays) {
    Inst inst{};
    f_.Cmd(Q4Ctl_PidIsa, inst.data(), kFbInstanceInit);
    Tune(f_, 0);
    f_.SetW(0, kPidFlags, kPidFlagOwnSetpoint);
    f_.SetW(0, kPidSetpoint, 77);
    f_.SetI(f_.I(0), 500), f_.SetI(f_.I(1), 123);
    f_.SetB(f_.B(0), true);
    f_.Exec(Q4Ctl_PidIsa, inst.data(), IntOps(0));
    EXPECT_EQ(f_.W(0, kPidSetpoint), 77);  // read only: SP and modes kept
    EXPECT_EQ(f_.W(0, kPidProcess), 123);
    EXPECT_EQ(f_.W(0, kPidFlags) & (kPidFlagManual | kPidFlagIsa | kPidFlagEnabled), kPidFlagIsa | kPidFlagEnabled);
    f_.SetW(0, kPidFlags, 0);
    f_.Exec(Q4Ctl_PidIsa, inst.data(), IntOps(0));
    EXPECT_EQ(f_.W(0, kPidSetpoint), 500);
    EXPECT_TRUE(f_.W(0, kPidFlags) & kPidFlagManual);

    // Deadband high below low: latched, the array is no longer written.
    f_.SetW(0, kPidDeadbandHigh, 1), f_.SetW(0, kPidDeadbandLow, 5);
    f_.Exec(Q4Ctl_PidIsa, inst.data(), IntOps(0));
    EXPECT_EQ(inst[kPidInstLatch], 1);
    f_.SetI(f_.I(1), 999);
    f_.SetI(f_.I(2), -7);
    f_.Exec(Q4Ctl_PidIsa, inst.data(), IntOps(0));
    EXPECT_EQ(f_.W(0, kPidProcess), 123);
    EXPECT_EQ(f_.GetI(f_.I(2)), -7);
    f_.Cmd(Q4Ctl_PidIsa, inst.data(), kFbInstanceInit);  // a new cold start frees it
    EXPECT_EQ(inst[kPidInstLatch], 0);

    // A 10-word array is not touched, nor one whose count lies.
    Inst other{};
    f_.Cmd(Q4Ctl_PidInd, other.data(), kFbInstanceInit);
    f_.Exec(Q4Ctl_PidInd, other.data(), {f_.Blk(2), 10, f_.I(0), f_.I(1), f_.B(0), f_.B(1), f_.B(2), f_.I(2)});
    EXPECT_EQ(f_.W(2, kPidProcess - 10), 0);
    f_.Exec(Q4Ctl_SetPidMan, nullptr, {f_.Blk(2), 10, f_.I(0), f_.B(3)});
    EXPECT_FALSE(f_.GetB(f_.B(3)));
}

TEST_F(PidBlocks, RealLoopsScaleAndSaturate) {
    Inst inst{};
    f_.Cmd(Q4Ctl_PidIndR, inst.data(), kFbInstanceInit);
    Tune(f_, 0);
    auto run = [&](float sp, float pv, float scale) {
        f_.SetR(f_.R(0), sp), f_.SetR(f_.R(1), pv), f_.SetR(f_.R(2), scale);
        clock_.AdvanceMs(100);
        f_.Exec(Q4Ctl_PidIndR, inst.data(),
                {f_.Blk(0), 16, f_.R(0), f_.R(1), f_.B(0), f_.B(1), f_.B(2), f_.R(2), f_.R(3)});
    };
    run(50.0f, 49.5f, 0.1f);
    EXPECT_EQ(f_.W(0, kPidSetpoint), 500);
    EXPECT_EQ(f_.W(0, kPidProcess), 495);
    EXPECT_FLOAT_EQ(f_.GetR(f_.R(3)), static_cast<float>(f_.W(0, kPidFinalOutput)) * 0.1f);
    run(50.0f, -1e9f, 1.0f);
    EXPECT_EQ(f_.W(0, kPidProcess), -32768);
    run(50.0f, 3.0f, 0.0f);  // by zero: saturated
    EXPECT_EQ(f_.W(0, kPidProcess), 32767);
    EXPECT_EQ(f_.W(0, kPidSetpoint), 32767);
    run(0.0f, 0.0f, 0.0f);   // 0 / 0: 0
    EXPECT_EQ(f_.W(0, kPidProcess), 0);

    // The auto-tune form passes its options in the context.
    Inst tune{};
    f_.Cmd(Q4Ctl_PidIsaAutoR, tune.data(), kFbInstanceInit);
    EXPECT_EQ(tune[kPidInstLoop], 1);
    f_.SetD(f_.D(0), 7), f_.SetD(f_.D(1), 3), f_.SetD(f_.D(2), 1);
    f_.SetB(f_.B(3), false), f_.SetB(f_.B(4), false);
    f_.SetR(f_.R(2), 1.0f);
    f_.SetB(f_.B(5), true);
    f_.Exec(Q4Ctl_PidIsaAutoR, tune.data(),
            {f_.Blk(1), 16, f_.R(0), f_.R(1), f_.B(0), f_.B(1), f_.B(2), f_.B(3), f_.D(0), f_.D(1), f_.D(2), f_.B(4),
             f_.R(2), f_.R(3), f_.B(5)});
    EXPECT_FALSE(f_.GetB(f_.B(5)));  // not tuned
    EXPECT_TRUE(f_.W(1, kPidFlags) & kPidFlagIsa);
}

TEST_F(PidBlocks, LoopNumbersRestartAndStopAtSixtyFour) {
    std::vector<Inst> insts(70);
    for (Inst& i : insts) f_.Cmd(Q4Ctl_PidInd, i.data(), kFbInstanceInit);
    EXPECT_EQ(insts[0][kPidInstLoop], 0);
    EXPECT_EQ(insts[2][kPidInstLoop], 2);
    EXPECT_EQ(insts[63][kPidInstLoop], 63);
    EXPECT_EQ(insts[64][kPidInstLoop], kPidNoLoop);
    Tune(f_, 0);
    f_.SetI(f_.I(1), 42);
    f_.Exec(Q4Ctl_PidInd, insts[64].data(), IntOps(0));  // no loop: nothing done
    EXPECT_EQ(f_.W(0, kPidProcess), 0);
    std::vector<Inst> many(300);
    for (Inst& i : many) f_.Cmd(Q4Ctl_PidInd, i.data(), kFbInstanceInit);
    EXPECT_EQ(many.back()[kPidInstLoop], kPidNoLoop);  // the counter does not wrap to 0
    Q4Pid_Reset();
    Inst again{};
    f_.Cmd(Q4Ctl_PidIsaAuto, again.data(), kFbInstanceInit);
    EXPECT_EQ(again[kPidInstLoop], 0);
}

TEST_F(PidBlocks, ParameterBlocksKeepTheirRanges) {
    for (int k = 0; k < 16; ++k) f_.SetW(0, k, 0x1111);
    const i16 in[10] = {100, 32001, 5, 400, 327, 33, -100, 32000, -32001, 32000};
    for (u16 k = 0; k < 10; ++k) f_.SetI(f_.I(k), in[k]);
    f_.SetB(f_.B(0), true), f_.SetB(f_.B(1), false), f_.SetB(f_.B(2), false), f_.SetB(f_.B(3), true);
    std::vector<u16> ops = {f_.Blk(0), 16};
    for (u16 k = 0; k < 10; ++k) ops.push_back(f_.I(k));
    for (u16 k = 0; k < 4; ++k) ops.push_back(f_.B(k));
    f_.Exec(Q4Ctl_SetPid, nullptr, ops);
    const i16 want[16] = {100, 0, 5, 0, 327, 0, -100, 32000, 0, 32000, 0x2100, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(f_.W(0, k), want[k]) << k;

    // SETPID_R: gains times 1000, saturated; words 6-8 divided by the scale.
    f_.SetI(f_.I(0), 10), f_.SetI(f_.I(1), 1), f_.SetI(f_.I(2), 2), f_.SetI(f_.I(3), 9);
    const float reals[6] = {300.0f, 0.5f, 1.5f, 100.0f, -40000.0f, 250.0f};
    for (u16 k = 0; k < 6; ++k) f_.SetR(f_.R(k), reals[k]);
    f_.SetR(f_.R(6), 0.5f);
    ops = {f_.Blk(0), 16, f_.I(0), f_.I(1), f_.I(2), f_.R(0), f_.R(1), f_.R(2), f_.R(3), f_.R(4), f_.R(5), f_.I(3),
           f_.B(1), f_.B(1), f_.B(0), f_.B(1), f_.R(6)};
    f_.Exec(Q4Ctl_SetPidR, nullptr, ops);
    const i16 wantR[11] = {10, 1, 2, 32767, 500, 1500, 200, 0, 500, 9, 0x200};
    for (int k = 0; k < 11; ++k) EXPECT_EQ(f_.W(0, k), wantR[k]) << k;
    f_.SetR(f_.R(2), 40.0f);
    f_.Exec(Q4Ctl_SetPidR, nullptr, ops);
    EXPECT_EQ(f_.W(0, kPidIntegral), 0);

    f_.SetR(f_.R(0), 12.5f), f_.SetR(f_.R(1), 1e9f);
    f_.Exec(Q4Ctl_SetPidManR, nullptr, {f_.Blk(0), 16, f_.R(0), f_.R(1), f_.B(5)});
    EXPECT_EQ(f_.W(0, kPidOutput), 32767);
    EXPECT_TRUE(f_.GetB(f_.B(5)));
    f_.SetI(f_.I(0), -300);
    f_.Exec(Q4Ctl_SetPidMan, nullptr, {f_.Blk(0), 16, f_.I(0), f_.B(6)});
    EXPECT_EQ(f_.W(0, kPidOutput), -300);
    f_.SetW(0, kPidFinalOutput, 1234);
    f_.Exec(Q4Ctl_GetPidMan, nullptr, {f_.Blk(0), 16, f_.I(5)});
    EXPECT_EQ(f_.GetI(f_.I(5)), 1234);
    f_.Exec(Q4Ctl_GetPidMan, nullptr, {f_.Blk(0), 14, f_.I(6)});  // word 14 beyond the count
    EXPECT_EQ(f_.GetI(f_.I(6)), -100);
}

}  // namespace

namespace {

// Through the runtime: the instances of an application are numbered 0, 1, 2
// as it is built, and again from 0 when it is loaded again.
TEST(PidApplication, LoopNumbersRestartAtEveryLoad) {
    auto loops = [] {
        IecImageBuilder b;
        b.FbClass(1, "PID_IND", 3);
        const u16 n[3] = {b.FbInstance(1, false), b.FbInstance(1, false), b.FbInstance(1, false)};
        TicAssembler t;
        t.Op("END");
        b.Program(t.Finish());
        IecVmDb db(b.Build());
        EXPECT_EQ(db.Result(), 0);
        std::vector<int> r;
        for (u16 k : n) {
            u8* rec = Q4VMFbl_Instance(db.Db(), k);
            r.push_back(rec ? db.Db()[GetLe32(rec + kFbiInstData) + kPidInstLoop] : -1);
        }
        return r;
    };
    EXPECT_EQ(loops(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(loops(), (std::vector<int>{0, 1, 2}));
}

}  // namespace
