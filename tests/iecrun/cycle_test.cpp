#include <gtest/gtest.h>

#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

// The start task runs once before the first cyclic programs; overlong cycles
// are counted and logged; a stop request ends the cycles.
TEST(Cycle, StartTaskOverflowsAndStop) {
    IecImageBuilder b;
    u16 d = b.Var(kQ4TypeDint), one = b.Var(kQ4TypeDint, 1);
    TicAssembler cyc, start;
    cyc.Op("ADD_DINT", {d, d, one}).Op("END");
    start.Op("LDK_DINT", {d, 0, 100}).Op("END");
    u16 p1 = b.Program(cyc.Finish()), p2 = b.Program(start.Finish());
    b.Task("MAIN", {p1}).Task("@@B", {p2}).CycleTime(1000);
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0);
    u8* st = db.Status();
    EXPECT_EQ(Q4VM_Cycle(db.Db(), 0), 0);  // a first cycle at midnight still runs the start task
    EXPECT_EQ(GetLe32(db.Data32(d)), 101u);
    EXPECT_EQ(Q4VM_Cycle(db.Db(), 10), 0);
    EXPECT_EQ(GetLe32(db.Data32(d)), 102u);

    Q4VM_RegisterCycleTime(db.Db(), 1500);
    Q4VM_RegisterCycleTime(db.Db(), 700);
    EXPECT_EQ(GetLe32(st + kVmStOverflows), 1u);
    EXPECT_EQ(GetLe32(st + kVmStMaxCycle), 1500u);
    EXPECT_EQ(GetLe32(st + kVmStLastCycle), 700u);
    u16 code = 0;
    ASSERT_EQ(Q4VMLog_Pop(db.Db(), &code, nullptr, nullptr), 1);
    EXPECT_EQ(code, kLogCycleOverflow);

    PutLe16(st + kQ4StFlags, static_cast<u16>(GetLe16(st + kQ4StFlags) | kVmFlagStopRequest));
    EXPECT_EQ(Q4VM_Cycle(db.Db(), 20), 1);
    EXPECT_TRUE(GetLe16(st + kQ4StFlags) & kVmFlagStopped);
    EXPECT_FALSE(GetLe16(st + kQ4StFlags) & kVmFlagRunning);
    EXPECT_EQ(GetLe32(db.Data32(d)), 102u);
}

}  // namespace
