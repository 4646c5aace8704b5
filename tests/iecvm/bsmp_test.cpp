// The boolean sampling trace on a built database: configuration, start and
// stop triggers with their delays, per-cycle and periodic sampling, a full
// buffer, the settings and data as the workbench reads them, and indexes
// that name no BOOL.
#include <gtest/gtest.h>

#include <vector>

#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmbsmp.h"
#include "iec/kernel/q4vmdb.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

class Sampling : public ::testing::Test {
protected:
    void SetUp() override {
        IecImageBuilder b;
        for (u16& s : sig) s = b.Var(kQ4TypeBool, 0);
        start = b.Var(kQ4TypeBool, 0);
        stop = b.Var(kQ4TypeBool, 0);
        b.Program({234});  // END
        db = std::make_unique<IecVmDb>(b.Build());
        ASSERT_EQ(db->Result(), 0);
    }
    // flags, period, start trigger, stop trigger, D, E, signals.
    int Set(u16 flags, u32 period, u16 st, u16 sp, u16 d, u16 e, std::vector<u16> signals) {
        std::vector<u16> w{flags, static_cast<u16>(period >> 16), static_cast<u16>(period), st, sp, d, e,
                           static_cast<u16>(signals.size())};
        w.insert(w.end(), signals.begin(), signals.end());
        return Q4VMBsmp_Set(db->Db(), 0, w.data(), static_cast<u32>(w.size()));
    }
    void Cycle(u32 ms = 10) {
        now += ms;
        PutLe32(db->Status() + kVmStNow, now);
        Q4VMBsmp_Activate(db->Db(), 0);
    }
    void Put(u16 index, bool v) { *db->Data8(index) = v ? 1 : 0; }
    std::vector<u8> Data() {
        std::vector<u8> d(kBsmpDataBytes);
        EXPECT_EQ(Q4VMBsmp_GetData(db->Db(), 0, d.data()), kBsmpDataBytes);
        return d;
    }
    u32 Count() { return GetBe32(&Data()[6]); }
    u16 Flags() { return GetBe16(&Data()[10]); }
    u16 Position() { return GetBe16(&Data()[12]); }
    u8 SampleAt(u16 k) { return Data()[22 + k]; }

    std::unique_ptr<IecVmDb> db;
    u16 sig[4] = {}, start = 0, stop = 0;
    u32 now = 1000;
};

TEST_F(Sampling, StartsAtOnceOrNeverAndSamplesTheListedSignals) {
    // Enabled without start-now, trigger or start instruction: never records.
    ASSERT_EQ(Set(kBsEnabled, 0, 0, 0, 0, 0, {sig[0]}), 0);
    for (int k = 0; k < 5; ++k) Cycle();
    EXPECT_EQ(Count(), 0u);

    // A 0 in the list ends it: only the signals before it are sampled.
    Put(sig[0], true);
    Put(sig[1], false);
    Put(sig[2], true);
    Put(sig[3], true);
    ASSERT_EQ(Set(kBsEnabled | kBsStartNow, 0, 0, 0, 0, 0, {sig[0], sig[1], sig[2], 0, sig[3]}), 0);
    EXPECT_EQ(Flags() & (kBsRecording | kBsStarted), kBsRecording | kBsStarted);
    Cycle();
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(SampleAt(0), 0b101);

    std::vector<u8> s(kBsmpSettingsBytes);
    ASSERT_EQ(Q4VMBsmp_GetSettings(db->Db(), 0, s.data()), kBsmpSettingsBytes);
    EXPECT_EQ(GetBe16(&s[0]), 30);
    EXPECT_EQ(GetBe16(&s[2]), kBsEnabled | kBsStartNow | kBsRecording | kBsStarted);
    EXPECT_EQ(GetBe16(&s[16]), sig[0]);
    EXPECT_EQ(GetBe16(&s[22]), 0);

    // The stop instruction ends it and stamps the end; start again is refused
    // once started.
    Q4VMBsmp_Ctl(db->Db(), 0, 0);
    Cycle();
    EXPECT_EQ(Count(), 1u);
    Q4VMBsmp_Ctl(db->Db(), 0, 1);
    Cycle();
    EXPECT_EQ(Count(), 1u);
}

TEST_F(Sampling, TriggersAndDelaysCountInCyclesAndInPeriods) {
    // P = 0, D = 2: the rising edge in cycle t gives the first sample in t + 2.
    ASSERT_EQ(Set(kBsEnabled, 0, start, stop, 2, 3, {sig[0]}), 0);
    Cycle();
    Put(start, true);
    Cycle();  // t
    EXPECT_EQ(Count(), 0u);
    Cycle();
    EXPECT_EQ(Count(), 0u);
    Cycle();  // t + 2
    EXPECT_EQ(Count(), 1u);
    // Stop trigger with E = 3: three more samples after the one that saw it.
    Put(stop, true);
    Cycle();
    EXPECT_EQ(Count(), 2u);
    for (int k = 0; k < 5; ++k) Cycle();
    EXPECT_EQ(Count(), 5u);
    EXPECT_EQ(Flags() & kBsRecording, 0);

    // P = 100 ms, D = 1, falling start edge: recording starts 100 ms after
    // the edge, samples every 100 ms from then.
    Put(start, true);
    ASSERT_EQ(Set(kBsEnabled | kBsStartFalling, 100, start, 0, 1, 0, {sig[0]}), 0);
    Cycle(50);
    Put(start, false);
    Cycle(50);  // edge
    for (int k = 0; k < 9; ++k) Cycle(10);
    EXPECT_EQ(Flags() & kBsRecording, 0);
    Cycle(10);  // 100 ms after the edge
    EXPECT_NE(Flags() & kBsRecording, 0);
    EXPECT_EQ(Count(), 0u);
    for (int k = 0; k < 10; ++k) Cycle(10);
    EXPECT_EQ(Count(), 1u);
    for (int k = 0; k < 10; ++k) Cycle(10);
    EXPECT_EQ(Count(), 2u);
}

TEST_F(Sampling, AFullBufferWrapsOrStopsAndBadIndexesAreRefused) {
    Put(sig[0], true);
    ASSERT_EQ(Set(kBsEnabled | kBsStartNow, 0, 0, 0, 0, 0, {sig[0]}), 0);
    for (u32 k = 0; k < kBsmpSamples; ++k) Cycle();
    EXPECT_EQ(Position(), 0);
    EXPECT_NE(Flags() & kBsFilled, 0);
    Put(sig[0], false);
    Cycle();  // the 901st overwrites position 0
    EXPECT_EQ(SampleAt(0), 0);
    EXPECT_EQ(SampleAt(1), 1);
    EXPECT_EQ(Count(), kBsmpSamples + 1);

    ASSERT_EQ(Set(kBsEnabled | kBsStartNow | kBsStopWhenFull, 0, 0, 0, 0, 0, {sig[0]}), 0);
    for (u32 k = 0; k < kBsmpSamples + 5; ++k) Cycle();
    EXPECT_EQ(Count(), kBsmpSamples);
    EXPECT_EQ(Position(), kBsmpSamples);
    EXPECT_EQ(Flags() & kBsRecording, 0);

    // Indexes beyond the BOOLs of the application leave the trace disabled.
    const u16 far = Q4VM_GetDesc(db->Db(), kDbData8).allocated;
    EXPECT_EQ(Set(kBsEnabled | kBsStartNow, 0, far, 0, 0, 0, {sig[0]}), 1);
    EXPECT_EQ(Set(kBsEnabled | kBsStartNow, 0, 0, 0, 0, 0, {sig[0], far}), 1);
    EXPECT_EQ(Flags(), 0);
    std::vector<u16> shortWords{kBsEnabled, 0, 0, 0, 0, 0, 0, 4, sig[0]};
    EXPECT_EQ(Q4VMBsmp_Set(db->Db(), 0, shortWords.data(), static_cast<u32>(shortWords.size())), 1);
}

}  // namespace
