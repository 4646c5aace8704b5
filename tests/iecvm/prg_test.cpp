#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

// The interpreter stand-in: records the programs run; a program listed in
// suspendAt answers 0 (a breakpoint suspended it).
struct Runs {
    std::vector<u16> order;
    std::vector<u32> sizes;
    u16 suspendAt = 0xFFFF;
};
Runs g_runs;
int FakeRunner(u8*, const u8*, u32 size, u16 program) {
    g_runs.order.push_back(program);
    g_runs.sizes.push_back(size);
    return program == g_runs.suspendAt ? 0 : 1;
}

struct Programs : ::testing::Test {
    std::unique_ptr<IecVmDb> db;
    u8* st = nullptr;
    void SetUp() override {
        IecImageBuilder b;
        b.Var(kQ4TypeDint, 0, "d");
        b.Program({0x0044, 0x0044});  // 1: kind 0
        b.Program({0x0044}, 1);       // 2: SFC, starts with 0x0010
        b.Program({0x0044}, 2);       // 3: not run by the cycle
        b.Program({0x0044});          // 4: kind 0
        b.Task("T0", {1, 4}).Task("T1", {4, 1, 2});
        db = std::make_unique<IecVmDb>(b.Build());
        ASSERT_EQ(db->Result(), 0);
        st = db->Status();
        g_runs = Runs{};
        Q4VMPrg_SetRunner(FakeRunner);
    }
    void TearDown() override { Q4VMPrg_SetRunner(nullptr); }
    u8* D() { return db->Db(); }
    u16 Flags() { return GetLe16(st + kQ4StFlags); }
    u16 PrgFlags(u16 p) { return GetLe16(Q4VMPrg_Record(D(), p) + kQ4PrFlags); }
    u32 Cycles() { return GetLe32(st + kVmStCycleCount); }
};

TEST_F(Programs, ActivationByKind) {
    EXPECT_EQ(Q4VMPrg_Count(D()), 4);
    EXPECT_EQ(PrgFlags(1), kPrgRunning);
    EXPECT_EQ(PrgFlags(2), kPrgStarting);
    EXPECT_EQ(PrgFlags(3), 0);
    EXPECT_EQ(PrgFlags(4), kPrgRunning);
    PutLe16(Q4VMPrg_Record(D(), 2) + kQ4PrFlags, kPrgRunning);
    PutLe16(Q4VMPrg_Record(D(), 1) + kQ4PrFlags, 0);
    Q4VMPrg_ActivateNewPrograms(D());
    EXPECT_EQ(PrgFlags(1), kPrgRunning);  // kind 0: running again
    EXPECT_EQ(PrgFlags(2), kPrgRunning);  // kinds 1 and 2 keep theirs
    EXPECT_EQ(PrgFlags(3), 0);
    EXPECT_EQ(Q4VMPrg_Record(D(), 0), nullptr);
    EXPECT_EQ(Q4VMPrg_Record(D(), 5), nullptr);
}

TEST_F(Programs, CycleRunsProgramsInOrderAndTheExecBuffer) {
    PutLe32(st + kQ4StOptions, GetLe32(st + kQ4StOptions) | kVmOptChangeCycle);
    Q4VMPrg_Execute(D());
    EXPECT_EQ(g_runs.order, (std::vector<u16>{1, 2, 4}));
    EXPECT_EQ(g_runs.sizes[0], 4u);
    EXPECT_EQ(Cycles(), 1u);
    EXPECT_EQ(GetLe32(st + kQ4StOptions) & kVmOptChangeCycle, 0u);

    // A suspended program is skipped; a run that answers 0 ends the cycle.
    g_runs = Runs{};
    PutLe16(Q4VMPrg_Record(D(), 1) + kQ4PrFlags, kPrgRunning | kPrgSuspended);
    g_runs.suspendAt = 2;
    Q4VMPrg_Execute(D());
    EXPECT_EQ(g_runs.order, (std::vector<u16>{2}));

    // Paused: no program runs, but the workbench's execution buffer does.
    g_runs = Runs{};
    Q4VM_SetPauseMode(D(), 1);
    PutLe16(st + kVmStExecLength, 6);
    Q4VMPrg_Execute(D());
    EXPECT_EQ(g_runs.order, (std::vector<u16>{0}));
    EXPECT_EQ(g_runs.sizes[0], 8u);
    EXPECT_EQ(GetLe16(st + kVmStExecLength), 0);
    EXPECT_EQ(Cycles(), 2u);
    // One step while paused.
    g_runs = Runs{};
    PutLe16(st + kQ4StFlags, Flags() | kVmFlagOneCycle);
    Q4VMPrg_Execute(D());
    EXPECT_EQ(g_runs.order, (std::vector<u16>{2, 4}));
    EXPECT_EQ(Flags() & kVmFlagOneCycle, 0);
}

TEST_F(Programs, TaskRunsItsListAndResumesAtTheStoppedProgram) {
    Q4VMPrg_Task(D(), 1, 1);
    EXPECT_EQ(g_runs.order, (std::vector<u16>{4, 1, 2}));
    EXPECT_EQ(Cycles(), 1u);

    // Program 1 stopped at a breakpoint: the next run resumes there.
    g_runs = Runs{};
    PutLe16(st + kVmStCurProgram, 1);
    Q4VMPrg_Task(D(), 1, 1);
    EXPECT_EQ(g_runs.order, (std::vector<u16>{1, 2}));
    EXPECT_EQ(Cycles(), 1u);  // a stopped cycle is not counted

    // With the discard option the stop is dropped and the list starts over.
    g_runs = Runs{};
    PutLe32(Q4VMPrg_Record(D(), 1) + kQ4PrResume, 5);
    PutLe32(st + kQ4StOptions, GetLe32(st + kQ4StOptions) | kVmOptDiscardStop);
    Q4VMPrg_Task(D(), 1, 1);
    EXPECT_EQ(g_runs.order, (std::vector<u16>{4, 1, 2}));
    EXPECT_EQ(GetLe16(st + kVmStCurProgram), 0);
    EXPECT_EQ(GetLe32(Q4VMPrg_Record(D(), 1) + kQ4PrResume), 0u);

    // A stopped program that is not in the list: nothing runs.
    g_runs = Runs{};
    PutLe32(st + kQ4StOptions, 0);
    PutLe16(st + kVmStCurProgram, 3);
    Q4VMPrg_Task(D(), 0, 1);
    EXPECT_TRUE(g_runs.order.empty());
    // A paused application runs no cyclic task; a task on demand still runs.
    PutLe16(st + kVmStCurProgram, 0);
    Q4VM_SetPauseMode(D(), 1);
    Q4VMPrg_Task(D(), 0, 1);
    EXPECT_TRUE(g_runs.order.empty());
    Q4VMPrg_Task(D(), 0, 0);
    EXPECT_EQ(g_runs.order, (std::vector<u16>{1, 4}));
    // A task number beyond the list runs nothing.
    g_runs = Runs{};
    Q4VMPrg_Task(D(), 7, 0);
    EXPECT_TRUE(g_runs.order.empty());
}

TEST_F(Programs, ExplicitCallRefusesRecursion) {
    EXPECT_EQ(Q4VMPrg_Call(D(), 0), 0);
    EXPECT_EQ(Q4VMPrg_Call(D(), 5), 0);
    EXPECT_EQ(Q4VMPrg_Call(D(), 4), 1);
    EXPECT_EQ(PrgFlags(4) & kPrgExecuting, 0);
    PutLe16(Q4VMPrg_Record(D(), 4) + kQ4PrFlags, PrgFlags(4) | kPrgExecuting);
    EXPECT_EQ(Q4VMPrg_Call(D(), 4), 0);
    u16 code = 0, a16 = 0;
    ASSERT_EQ(Q4VMLog_Pop(D(), &code, &a16, nullptr), 1);
    EXPECT_EQ(code, kLogRecursiveCall);
    EXPECT_EQ(a16, 4);
}

TEST_F(Programs, Breakpoints) {
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 1, 10, 0), 0);
    // One-shot with position 0: the first test of that program stops, once.
    Q4VMPrg_SetBreakpoint(D(), 1, 0, kBreakOnce);
    EXPECT_TRUE(Flags() & kVmFlagBreakpoints);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 2, 4, 0), 0);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 1, 24, 0), 1);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 1, 24, 0), 0);
    EXPECT_FALSE(Flags() & kVmFlagBreakpoints);

    // A trace point logs and goes on; a permanent breakpoint stays.
    Q4VMPrg_SetBreakpoint(D(), 2, 8, kBreakTrace);
    Q4VMPrg_SetBreakpoint(D(), 4, 12, 1);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 2, 8, 0), 0);
    u16 code = 0;
    u32 a32 = 0;
    ASSERT_EQ(Q4VMLog_Pop(D(), &code, nullptr, &a32), 1);
    EXPECT_EQ(code, kLogTracePoint);
    EXPECT_EQ(a32, (8u << 16) | 2u);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 4, 12, 0), 1);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 4, 12, 0), 1);
    // Any program, matched by the third key.
    Q4VMPrg_SetBreakpoint(D(), 0xFFFF, 77, 1);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 3, 0, 77), 1);
    // Clearing one slot, then all of them.
    Q4VMPrg_SetBreakpoint(D(), 4, 12, kBreakFree);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 4, 12, 0), 0);
    Q4VMPrg_SetBreakpoint(D(), 0, 0, kBreakFree);
    EXPECT_FALSE(Flags() & kVmFlagBreakpoints);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 3, 0, 77), 0);
    // Seventeen slots asked for: the last finds no room.
    for (u16 i = 0; i < 17; ++i) Q4VMPrg_SetBreakpoint(D(), 1, static_cast<u16>(2 * i + 2), 1);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 1, 32, 0), 1);
    EXPECT_EQ(Q4VMPrg_IsBreakpoint(D(), 1, 34, 0), 0);
}

TEST_F(Programs, BreakpointOrStepTest) {
    Q4VMPrg_SetBreakpoint(D(), 0, 0, kBreakFree);
    EXPECT_EQ(Q4VMPrg_HasBreapointOrStep(D()), 0);
    PutLe32(Q4VMPrg_Record(D(), 4) + kQ4PrResume, 3);  // the last program only
    EXPECT_EQ(Q4VMPrg_HasBreapointOrStep(D()), 1);
    PutLe32(Q4VMPrg_Record(D(), 4) + kQ4PrResume, 0);
    PutLe16(st + kQ4StFlags, Flags() | kVmFlagHalted);
    EXPECT_EQ(Q4VMPrg_HasBreapointOrStep(D()), 1);
}

TEST_F(Programs, CallStackSaveAndRestore) {
    VmDbDesc cs = Q4VM_GetDesc(D(), kDbCallStack);
    u8* table = Q4VM_AreaPtr(D(), kDbCallStack, nullptr);
    u16 save = GetLe16(Q4VMPrg_Record(D(), 4) + kQ4PrSaveOffset);
    ASSERT_NE(save, 0);
    // Two frames: program 4 called from its position 6, then program 1.
    PutLe16(table, 4);
    PutLe16(table + 2, 6);
    PutLe16(table + 4, 1);
    PutLe16(table + 6, 10);
    PutLe16(table + 8, 1);
    PutLe16(table + 10, 12);
    cs.used = 2;
    Q4VM_PutDesc(D(), kDbCallStack, cs);
    Q4VMPrg_SaveCallStack(D(), 1);
    EXPECT_EQ(GetLe16(Q4VMPrg_Record(D(), 4) + kQ4PrSavedDepth), 3);
    std::vector<u8> saved(table, table + 12);
    std::memset(table, 0, 12);
    cs.used = 0;
    Q4VM_PutDesc(D(), kDbCallStack, cs);
    Q4VMPrg_RestoreCallStack(D(), 4);
    EXPECT_EQ(0, std::memcmp(table, saved.data(), 12));
    EXPECT_EQ(Q4VM_GetDesc(D(), kDbCallStack).used, 2);
    EXPECT_EQ(GetLe16(Q4VMPrg_Record(D(), 4) + kQ4PrSavedDepth), 0);

    // A depth that does not fit the save slot saves nothing.
    cs.used = cs.allocated;
    Q4VM_PutDesc(D(), kDbCallStack, cs);
    Q4VMPrg_SaveCallStack(D(), 4);
    EXPECT_EQ(GetLe16(Q4VMPrg_Record(D(), 4) + kQ4PrSavedDepth), 0);
}

// --- Log ------------------------------------------------------------------------------

TEST_F(Programs, LogKeepsSixteenEventsOldestFirst) {
    for (u16 i = 1; i <= 17; ++i) Q4VMLog_Push(D(), i, static_cast<u16>(100 + i), 1000u + i);
    EXPECT_EQ(GetLe16(st + kVmStLogCount), 16);
    EXPECT_TRUE(Flags() & kVmFlagLogPending);
    u16 code = 0, a16 = 0;
    u32 a32 = 0;
    ASSERT_EQ(Q4VMLog_Pop(D(), &code, &a16, &a32), 1);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(a16, 101);
    EXPECT_EQ(a32, 1001u);
    Q4VMLog_Push(D(), 18, 0, 0);  // room again
    std::vector<u16> rest;
    while (Q4VMLog_Pop(D(), &code, nullptr, nullptr)) rest.push_back(code);
    ASSERT_EQ(rest.size(), 16u);
    EXPECT_EQ(rest.front(), 2);
    EXPECT_EQ(rest[14], 16);  // 17 was lost
    EXPECT_EQ(rest.back(), 18);
    EXPECT_FALSE(Flags() & kVmFlagLogPending);
    EXPECT_EQ(Q4VMLog_Pop(D(), &code, &a16, &a32), 0);
    EXPECT_EQ(code, 0);
    Q4VMLog_Push(nullptr, 1, 0, 0);  // no database: dropped
}

TEST(VmLog, SystemEvents) {
    Q4VMLog_ResetSys();
    u16 code = 9;
    EXPECT_EQ(Q4VMLog_PopSys(&code), 0);
    EXPECT_EQ(code, 0);
    for (u16 i = 1; i <= 17; ++i) Q4VMLog_PushSys(i);
    std::vector<u16> got;
    while (Q4VMLog_PopSys(&code)) got.push_back(code);
    ASSERT_EQ(got.size(), 16u);
    EXPECT_EQ(got.front(), 1);
    EXPECT_EQ(got.back(), 16);
}

TEST_F(Programs, UnresolvedNames) {
    const struct {
        const char* name;
        const char* stored;
    } cases[] = {
        {"SHORT", "SHORT"},
        {"FIFTEEN_CHARS_X", "FIFTEEN_CHARS_X"},
        {"SIXTEEN_CHARS_XY", "SIXTEEN_CHARS.."},
        {"A_VERY_LONG_BLOCK_NAME", "A_VERY_LONG_B.."},
    };
    u16 n = 0;
    for (const auto& c : cases) {
        Q4VMLog_RegisterUnresolved(D(), c.name);
        EXPECT_STREQ(Q4VMLog_GetUnresolved(D(), n++), c.stored) << c.name;
    }
    for (int i = 0; i < 20; ++i) Q4VMLog_RegisterUnresolved(D(), "MORE");
    EXPECT_EQ(GetLe16(st + kVmStUnresolvedCount), 16);
    EXPECT_EQ(Q4VMLog_GetUnresolved(D(), 16), nullptr);
}

// --- Resources ---------------------------------------------------------------------------

TEST_F(Programs, ArrayResources) {
    const struct {
        u16 number;
        i32 count;
        u32 size;
        int rc;
    } creates[] = {
        {127, 10, 4, 1}, {127, 10, 4, 2},  // the same number twice
        {128, 10, 4, 2}, {0, 10, 4, 2},    {5, 0, 4, 3}, {5, -1, 4, 3},
        {6, 0x7FFFFFFF, 0x7FFFFFFF, 4},    // more than 32 bits of memory
        {7, 3, 8, 1},
    };
    for (const auto& c : creates)
        EXPECT_EQ(Q4VMRsc_CreateArray(D(), c.number, c.count, c.size), c.rc)
            << c.number << " " << c.count << " " << c.size;
    EXPECT_EQ(Q4VMRsc_Exist(D()), 1);

    u32 v = 0xCAFE, out = 0;
    const struct {
        i32 index;
        int write, read;
    } access[] = {
        {0, 1, 1}, {9, 1, 1}, {10, 3, 0}, {-1, 3, 0},
        // (index + 1) x size would wrap 32 bits: still past the end.
        {0x3FFFFFFF, 3, 0}, {0x7FFFFFFF, 3, 0},
    };
    for (const auto& a : access) {
        EXPECT_EQ(Q4VMRsc_WriteArray(D(), 127, a.index, 4, &v), a.write) << a.index;
        EXPECT_EQ(Q4VMRsc_ReadArray(D(), 127, a.index, 4, &out), a.read) << a.index;
    }
    EXPECT_EQ(out, 0xCAFEu);
    // Element size larger than the array, and arrays that do not exist.
    EXPECT_EQ(Q4VMRsc_ReadArray(D(), 7, 0, 25, &out), 0);
    EXPECT_EQ(Q4VMRsc_WriteArray(D(), 8, 0, 4, &v), 2);
    EXPECT_EQ(Q4VMRsc_ReadArray(D(), 8, 0, 4, &out), 0);

    Q4VMRsc_FreeAll(D());
    EXPECT_EQ(Q4VMRsc_Exist(D()), 0);
    EXPECT_EQ(Q4VMRsc_ReadArray(D(), 127, 0, 4, &out), 0);
    // The table is reusable after a FreeAll.
    EXPECT_EQ(Q4VMRsc_CreateArray(D(), 127, 1, 1), 1);
}

TEST_F(Programs, FullTableAndHostObjects) {
    for (u16 i = 1; i < 128; ++i) ASSERT_EQ(Q4VMRsc_CreateArray(D(), i, 1, 1), 1);
    int sock = -1;
    ASSERT_EQ(Q4Socket_UdpCreate(0, &sock), 0);
    ASSERT_EQ(Q4VMRsc_AddSocket(D(), sock), 1);  // the 128th entry
    EXPECT_EQ(Q4VMRsc_GetFreeItem(D()), nullptr);
    EXPECT_EQ(Q4VMRsc_AddSocket(D(), sock), 0);
    EXPECT_EQ(Q4VMRsc_CreateArray(D(), 100, 1, 1), 2);
    EXPECT_NE(Q4VMRsc_FindSocket(D(), sock), nullptr);
    Q4RscEntry e = Q4VMRsc_Get(Q4VMRsc_FindArray(D(), 100));
    EXPECT_EQ(e.kind, kRscArray);
    EXPECT_EQ(e.identifier, 100);
    EXPECT_EQ(Q4VMRsc_FindData(D(), e.handle), Q4VMRsc_FindArray(D(), 100));

    // A released entry makes room for a file.
    Q4VMRsc_Release(D(), Q4VMRsc_FindArray(D(), 100));
    std::FILE* f = std::tmpfile();
    u32 handle = Q4VMRsc_AddFile(D(), f);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(Q4VMRsc_GetFile(D(), handle), f);
    EXPECT_EQ(Q4VMRsc_GetFile(D(), handle + 1), nullptr);

    // Shutdown closes the socket (and the file) and empties the table.
    Q4VMRsc_FreeAll(D());
    EXPECT_EQ(::fcntl(sock, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(Q4VMRsc_Exist(D()), 0);
    EXPECT_EQ(Q4VMRsc_GetFile(D(), handle), nullptr);
}

}  // namespace
