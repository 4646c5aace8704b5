#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iec/ext/q4bdll.h"
#include "iec/kernel/q4opcodes.h"
#include "iec/kernel/q4vmcyc.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmfb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmtic.h"
#include "testsupport/iec_image_builder.h"
#include "testsupport/iecvm_db.h"

namespace {

// Storage of a variable of type t at index i.
u8* Var(IecVmDb& db, u16 type, u16 i) {
    switch (Q4Type_Class(type)) {
        case kQ4ClassData8: return db.Data8(i);
        case kQ4ClassData16: return db.Data16(i);
        case kQ4ClassData32: return db.Data32(i);
        case kQ4ClassData64: return db.Data64(i);
        case kQ4ClassTime: return db.Time(i);
        default: return db.String(i);
    }
}
u64 Get(IecVmDb& db, u16 type, u16 i) {
    u64 v = 0;
    std::memcpy(&v, Var(db, type, i), Q4Type_Size(type));
    return v;
}
void Set(IecVmDb& db, u16 type, u16 i, u64 v) { std::memcpy(Var(db, type, i), &v, Q4Type_Size(type)); }
u64 F(float f) { return std::bit_cast<u32>(f); }
u64 D(double d) { return std::bit_cast<u64>(d); }

std::vector<std::pair<u16, u32>> Events(IecVmDb& db) {
    std::vector<std::pair<u16, u32>> out;
    u16 code, arg;
    u32 arg32;
    while (Q4VMLog_Pop(db.Db(), &code, &arg, &arg32)) out.push_back({code, arg});
    return out;
}
u16 Flags(IecVmDb& db) { return GetLe16(db.Status() + kQ4StFlags); }

// One binary operation d := a OP b on fresh variables, run as one cycle.
struct BinCase {
    const char* op;
    u16 srcType, dstType;
    u64 a, b, expect;
    u16 event;  // expected log event (0: none)
};

class Binary : public ::testing::TestWithParam<BinCase> {};

TEST_P(Binary, ComputesAndLogs) {
    const BinCase& k = GetParam();
    IecImageBuilder b;
    u16 a = b.Var(k.srcType), bb = b.Var(k.srcType);
    u16 d = k.dstType == k.srcType ? b.Var(k.dstType) : b.Var(k.dstType);
    if (Q4Type_Class(k.dstType) == Q4Type_Class(k.srcType) && d <= bb) d = b.Var(k.dstType);
    TicAssembler t;
    t.Op(k.op, {d, a, bb}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Set(db, k.srcType, a, k.a);
    Set(db, k.srcType, bb, k.b);
    EXPECT_EQ(Q4VM_Cycle(db.Db(), 1000), 0);
    EXPECT_EQ(Get(db, k.dstType, d), k.expect) << k.op;
    auto ev = Events(db);
    if (k.event) {
        ASSERT_EQ(ev.size(), 1u) << k.op;
        EXPECT_EQ(ev[0].first, k.event);
        EXPECT_EQ(ev[0].second, bb);  // the divisor's index
    } else {
        EXPECT_TRUE(ev.empty()) << k.op;
    }
    EXPECT_FALSE(Flags(db) & kVmFlagStopped);
}

constexpr u16 kB = kQ4TypeBool, kDi = kQ4TypeDint, kI = kQ4TypeInt, kSi = kQ4TypeSint, kLi = kQ4TypeLint,
              kR = kQ4TypeReal, kLr = kQ4TypeLreal, kUdi = kQ4TypeUdint, kUsi = kQ4TypeUsint, kUi = kQ4TypeUint,
              kUli = kQ4TypeUlint, kT = kQ4TypeTime;
constexpr u64 kDMin = 0x80000000u, kLMin = 0x8000000000000000ull;

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, Binary,
    ::testing::Values(
        BinCase{"ADD_DINT", kDi, kDi, 0x7FFFFFFF, 1, kDMin, 0},  // wraps
        BinCase{"SUB_DINT", kDi, kDi, 5, 7, 0xFFFFFFFE, 0},
        BinCase{"MUL_INT", kI, kI, 300, 300, (300 * 300) & 0xFFFF, 0},
        BinCase{"MUL_UINT", kUi, kUi, 65535, 65535, 1, 0},
        BinCase{"ADD_SINT", kSi, kSi, 127, 1, 0x80, 0},
        BinCase{"MUL_LINT", kLi, kLi, 0x100000000ull, 0x100000000ull, 0, 0},
        BinCase{"ADD_REAL", kR, kR, F(1.5f), F(2.25f), F(3.75f), 0},
        BinCase{"SUB_LREAL", kLr, kLr, D(1.0), D(0.25), D(0.75), 0},
        BinCase{"ADD_TIME", kT, kT, 86399999, 2, 86400001, 0},  // no wrap at 24 h
        BinCase{"SUB_TIME", kT, kT, 3, 5, 0, 0},                // never negative
        BinCase{"DIV_DINT", kDi, kDi, 7, 0, 2147483647, kLogDivZero32},
        BinCase{"DIV_DINT", kDi, kDi, kDMin, 0xFFFFFFFF, kDMin, 0},  // MIN / -1 does not trap
        BinCase{"DIV_DINT", kDi, kDi, static_cast<u32>(-7), 2, static_cast<u32>(-3), 0},
        BinCase{"DIV_UDINT", kUdi, kUdi, 0xFFFFFFFF, 0, 2147483647, kLogDivZero32},
        BinCase{"DIV_UDINT", kUdi, kUdi, 0xFFFFFFFF, 2, 0x7FFFFFFF, 0},  // unsigned
        BinCase{"DIV_LINT", kLi, kLi, kLMin, ~0ull, kLMin, 0},
        BinCase{"DIV_LINT", kLi, kLi, 1, 0, 0x7FFFFFFFFFFFFFFFull, kLogDivZero64},
        BinCase{"DIV_ULINT", kUli, kUli, 1, 0, ~0ull, kLogDivZero64},
        BinCase{"DIV_REAL", kR, kR, F(1.0f), 0, 0x7CF0BDC2u, kLogDivZero32},
        BinCase{"DIV_LREAL", kLr, kLr, D(1.0), 0, 0x7FAC7B1F3CAC7433ull, kLogDivZero64},
        BinCase{"DIV_INT", kI, kI, 9, 0, 32767, kLogDivZero16},
        BinCase{"DIV_INT", kI, kI, 0x8000, 0xFFFF, 0x8000, 0},
        BinCase{"DIV_UINT", kUi, kUi, 9, 0, 32767, kLogDivZero16},
        BinCase{"DIV_SINT", kSi, kSi, 9, 0, 127, kLogDivZero8},
        BinCase{"DIV_USINT", kUsi, kUsi, 200, 3, 66, 0}));

INSTANTIATE_TEST_SUITE_P(
    Compare, Binary,
    ::testing::Values(BinCase{"GT_DINT", kDi, kB, 0xFFFFFFFF, 1, 0, 0},   // -1 > 1 is false
                      BinCase{"GT_UDINT", kUdi, kB, 0xFFFFFFFF, 1, 1, 0},  // unsigned
                      BinCase{"GE_INT", kI, kB, 5, 5, 1, 0}, BinCase{"GE_UINT", kUi, kB, 0x8000, 1, 1, 0},
                      BinCase{"GT_SINT", kSi, kB, 0x80, 1, 0, 0}, BinCase{"GT_USINT", kUsi, kB, 0x80, 1, 1, 0},
                      BinCase{"GT_LINT", kLi, kB, kLMin, 0, 0, 0}, BinCase{"GT_ULINT", kUli, kB, kLMin, 0, 1, 0},
                      BinCase{"EQ_REAL", kR, kB, F(0.5f), F(0.5f), 1, 0}, BinCase{"NE_LREAL", kLr, kB, D(1), D(2), 1, 0},
                      BinCase{"GE_TIME", kT, kB, 10, 11, 0, 0}, BinCase{"EQ_BOOL", kB, kB, 2, 1, 1, 0},
                      BinCase{"BITTEST_DINT", kDi, kB, 0x10, 0x30, 1, 0}, BinCase{"AND_BOOL", kB, kB, 1, 0, 0, 0},
                      BinCase{"XOR_BOOL", kB, kB, 1, 0, 1, 0}));

// Unary forms, constants and moves.
TEST(Tic, UnaryConstantsAndMoves) {
    IecImageBuilder b;
    u16 d1 = b.Var(kDi), d2 = b.Var(kDi), d3 = b.Var(kDi), x = b.Var(kB), y = b.Var(kB);
    u16 l1 = b.Var(kLi), s = b.String(10, "old"), s2 = b.String(4);
    TicAssembler t;
    t.Op("LDK_DINT", {d1, 0x8000, 0x0000})   // DINT_MIN
        .Op("NEG_DINT", {d2, d1})             // stays DINT_MIN
        .Op("LDK_LINT", {l1, 0x0102, 0x0304, 0x0506, 0x0708})
        .Op("SET_BOOL", {x})
        .Op("NOT_BOOL", {y, x})
        .Op("MOVE_DINT", {d3, d1})
        .LoadString(s, "hello world")  // cut to the capacity
        .Op("MOVE_STRING", {s2, s})
        .Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Q4VM_Cycle(db.Db(), 5);
    EXPECT_EQ(Get(db, kDi, d1), kDMin);
    EXPECT_EQ(Get(db, kDi, d2), kDMin);
    EXPECT_EQ(Get(db, kDi, d3), kDMin);
    EXPECT_EQ(Get(db, kLi, l1), 0x0102030405060708ull);
    EXPECT_EQ(Get(db, kB, x), 1u);
    EXPECT_EQ(Get(db, kB, y), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(db.String(s) + 2)), "hello worl");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(db.String(s2) + 2)), "hell");
}

// The lock-checked forms leave a locked destination alone; unlock frees it.
TEST(Tic, LockCheckedFormsSkipLockedDestinations) {
    IecImageBuilder b;
    u16 d = b.Var(kDi, 5), a = b.Var(kDi, 2), i = b.Var(kI, 9);
    TicAssembler t;
    t.Op("LOCK_DINT", {d})
        .Op("ADD_DINT_L", {d, a, a})   // skipped
        .Op("LDK_INT_L", {i, 77})      // INT lock bit is clear: written
        .Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(Get(db, kDi, d), 5u);
    EXPECT_EQ(Get(db, kI, i), 77u);
    EXPECT_TRUE(Flags(db) & kVmFlagLocked);
    Q4VMTic_UnlockVar(db.Db(), d, kQ4LockData32);
    EXPECT_FALSE(Flags(db) & kVmFlagLocked);
    Q4VM_Cycle(db.Db(), 2);  // locks again, so still 5
    EXPECT_EQ(Get(db, kDi, d), 5u);
}

// A counted loop with compare and conditional jump, CASE and JMPEQ.
TEST(Tic, LoopsCaseAndJumps) {
    IecImageBuilder b;
    u16 i = b.Var(kDi), sum = b.Var(kDi), one = b.Var(kDi, 1), lim = b.Var(kDi, 10), c = b.Var(kB);
    u16 sel = b.Var(kDi), out = b.Var(kDi);
    TicAssembler t;
    t.Label("loop")
        .Op("ADD_DINT", {sum, sum, i})
        .Op("ADD_DINT", {i, i, one})
        .Op("GE_DINT", {c, i, lim})
        .Op("JMPCN", {c, L("loop")})
        .Op("CASE", {sel, 3, L("c0"), L("c1"), L("c2")})
        .Op("LDK_DINT", {out, 0, 99})
        .Op("JMP", {L("done")})
        .Label("c0").Op("LDK_DINT", {out, 0, 10}).Op("JMPA", {L("done")})
        .Label("c1").Op("LDK_DINT", {out, 0, 11}).Op("JMPA", {L("done")})
        .Label("c2").Op("JMPEQ_DINT", {L("eq"), sel, sel}).Op("END")
        .Label("eq").Op("LDK_DINT", {out, 0, 12})
        .Label("done").Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    struct {
        u32 sel, out;
    } cases[] = {{0, 10}, {1, 11}, {2, 12}, {3, 99}, {0x10001, 11}};  // low 16 bits select
    for (auto k : cases) {
        Set(db, kDi, i, 0);
        Set(db, kDi, sum, 0);
        Set(db, kDi, sel, k.sel);
        Q4VM_Cycle(db.Db(), 1);
        EXPECT_EQ(Get(db, kDi, sum), 45u);
        EXPECT_EQ(Get(db, kDi, out), k.out) << k.sel;
    }
}

// Indexed access checks the DINT index at run time.
TEST(Tic, IndexedAccessChecksTheIndex) {
    IecImageBuilder b;
    u16 arr = b.Array(kDi, 4, "arr"), k = b.Var(kDi), d = b.Var(kDi), v = b.Var(kDi, 42);
    TicAssembler t;
    t.Op("IDXWR_DINT", {arr, k, v}).Op("IDXRD_DINT", {d, arr, k}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Set(db, kDi, k, 2);
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(Get(db, kDi, arr + 2), 42u);
    EXPECT_EQ(Get(db, kDi, d), 42u);
    Set(db, kDi, k, 1000);  // past the table
    Q4VM_Cycle(db.Db(), 2);
    auto ev = Events(db);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].first, kLogArrayIndex);
    EXPECT_TRUE(Flags(db) & kVmFlagStopped);
}

// Code that could reach outside its tables or its program never runs: the
// build refuses it.
TEST(Tic, VerifierRefusesUnsafeCode) {
    struct Case {
        const char* what;
        std::vector<u16> code;
    };
    const u16 add = Q4Op_Find("ADD_DINT"), jmp = Q4Op_Find("JMP"), jmpa = Q4Op_Find("JMPA"),
              fb = Q4Op_Find("CALL_FB"), cse = Q4Op_Find("CASE"), end = Q4Op_Find("END"),
              prg = Q4Op_Find("CALL_PRG"), ldks = Q4Op_Find("LDK_STRING");
    Case cases[] = {
        {"operand beyond its table", {add, 1, 1, 500, end}},
        {"relative jump out of the program", {jmp, 0x7000, end}},
        {"backward jump before the start", {jmp, static_cast<u16>(-8), end}},
        {"jump into an instruction", {add, 1, 1, 1, jmpa, 4, end}},
        {"odd absolute target", {jmpa, 3, end}},
        {"CASE target outside", {cse, 1, 2, 0, 400, end}},
        {"instruction cut at the end", {add, 1, 1}},
        {"string constant longer than the program", {ldks, 1, 40, 'a'}},
        {"block instance that does not exist", {fb, 3, 0, end}},
        {"program that does not exist", {prg, 9, end}},
        {"program that falls off its end", {add, 1, 1, 1}},
    };
    for (const Case& k : cases) {
        IecImageBuilder b;
        b.Var(kDi);
        b.String(4);
        b.Program(k.code);
        IecVmDb db(b.Build());
        EXPECT_EQ(db.Result(), kVmErrCodeInvalid) << k.what;
    }
}

// Unknown opcodes stop the application with event 8; in the execution
// buffer they only end the run.
TEST(Tic, UnknownOpcodeStops) {
    for (u16 op : {u16{0}, u16{15}, u16{570}, u16{0xFFFF}}) {
        IecImageBuilder b;
        b.Var(kDi);
        b.Program({op, 0x00EA});
        IecVmDb db(b.Build());
        ASSERT_EQ(db.Result(), 0) << op;
        Q4VM_Cycle(db.Db(), 1);
        auto ev = Events(db);
        ASSERT_EQ(ev.size(), 1u) << op;
        EXPECT_EQ(ev[0].first, kLogBadOpcode);
        EXPECT_EQ(ev[0].second, op);
        EXPECT_TRUE(Flags(db) & kVmFlagStopped) << op;
        EXPECT_EQ(Q4VM_Cycle(db.Db(), 2), 1);
    }
}

// A resume position read back from a database is a word offset of 32 bits:
// one whose byte offset wraps to an instruction start must not be taken up
// (it would lie 4 GiB past the code); the program runs from its start.
TEST(Tic, ResumePositionThatWrapsIsIgnored) {
    for (u32 resume : {0x80000000u, 0x80000001u, 0xFFFFFFFFu}) {
        IecImageBuilder b;
        u16 n = b.Var(kDi), one = b.Var(kDi, 1);
        TicAssembler t;
        t.Op("ADD_DINT", {n, n, one}).Op("END");
        b.Program(t.Finish());
        IecVmDb db(b.Build());
        ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
        PutLe32(Q4VMPrg_Record(db.Db(), 1) + kQ4PrResume, resume);
        EXPECT_EQ(Q4VM_Cycle(db.Db(), 1), 0) << resume;
        EXPECT_EQ(Get(db, kDi, n), 1u) << resume;
        EXPECT_EQ(GetLe32(Q4VMPrg_Record(db.Db(), 1) + kQ4PrResume), 0u) << resume;
    }
}

// The loop guard ends a loop after 1,000,000 turns and zeroes its DINT.
TEST(Tic, LoopGuardBoundsALoop) {
    IecImageBuilder b;
    u16 g = b.Var(kDi, 7), n = b.Var(kDi), one = b.Var(kDi, 1);
    TicAssembler t;
    t.Op("LOOP_HEAD").Op("ADD_DINT", {n, n, one}).Op("LOOP_GUARD", {g}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(Get(db, kDi, n), 1000000u);
    EXPECT_EQ(Get(db, kDi, g), 0u);
}

// Timers: started TIME variables follow the VM time, wrap at 24 h, are not
// added twice, and the table keeps one slot free.
TEST(Tic, ActiveTimers) {
    IecImageBuilder b;
    u16 t1 = b.Var(kT, 86399000), t2 = b.Var(kT), t3 = b.Var(kT);
    b.ActiveTimers(3);  // two usable slots
    TicAssembler t;
    t.Op("TMR_START", {t1}).Op("TMR_START", {t1}).Op("TMR_START", {t2}).Op("TMR_START", {t3}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Q4VM_Cycle(db.Db(), 86399500);  // first cycle: started now
    EXPECT_EQ(GetLe16(db.Status() + kVmStActiveTimers), 2);
    Q4VM_Cycle(db.Db(), 1000);  // 1,500 ms later, across midnight
    EXPECT_EQ(Get(db, kT, t1), 500u);
    EXPECT_EQ(Get(db, kT, t2), 1500u);
    EXPECT_EQ(Get(db, kT, t3), 0u);
    EXPECT_EQ(GetLe32(db.Status() + kVmStSeconds), 1u);
    EXPECT_EQ(GetLe32(db.Status() + kVmStMillis), 500u);
    Q4VMTmr_StopTimer(db.Db(), t1);
    EXPECT_EQ(GetLe16(db.Status() + kVmStActiveTimers), 1);
    EXPECT_EQ(Q4VMTmr_StartTimer(db.Db(), t3), 1);
}

// A TIME value held in the CT segment is timed like a TIME variable.
TEST(Tic, CtSegmentTimers) {
    IecImageBuilder b;
    u16 off = b.Var(kDi, 12), bad = b.Var(kDi, 62);
    b.CtSegment(64, 64).ActiveTimers(4);
    TicAssembler t;
    t.Op("CT_TMR_START", {off}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Q4VM_Cycle(db.Db(), 100);
    Q4VM_Cycle(db.Db(), 350);
    EXPECT_EQ(GetLe32(Q4VM_AreaPtr(db.Db(), kDbCtSegment, nullptr) + 12), 250u);
    // An offset whose value does not fit the segment stops the application.
    Set(db, kDi, off, GetLe32(db.Data32(bad)));
    Q4VM_Cycle(db.Db(), 400);
    EXPECT_TRUE(Flags(db) & kVmFlagStopped);
}

// A two-step chart: entry, active and exit actions run in the right cycles.
TEST(Tic, SfcChartSteps) {
    IecImageBuilder b;
    u16 cond = b.Var(kB), act = b.Var(kB);
    u16 n1 = b.Var(kDi), a1 = b.Var(kDi), x1 = b.Var(kDi), n2 = b.Var(kDi), a2 = b.Var(kDi), one = b.Var(kDi, 1);
    u16 tm = b.Var(kT);
    const u16 s1 = 1, s2 = 2, t1 = 1;
    TicAssembler t;
    t.Op("SFC_INIT_STEP", {s1, 0})
        .Op("SFC_STEP", {s1, L("e1"), L("x1"), L("n1")})
        .Op("ADD_DINT", {a1, a1, one}).Op("JMPA", {L("n1")})
        .Label("e1").Op("ADD_DINT", {n1, n1, one}).Op("JMPA", {L("n1")})
        .Label("x1").Op("ADD_DINT", {x1, x1, one})
        .Label("n1").Op("SFC_TRANS_TEST1", {L("f1"), t1, s1})  // only from an active s1
        .Op("TRANS_COND", {t1, cond})
        .Label("f1").Op("SFC_TRANS_FIRE1", {t1, s1, s2})
        .Op("SFC_STEP", {s2, L("e2"), L("n2"), L("n2")})
        .Op("ADD_DINT", {a2, a2, one}).Op("JMPA", {L("n2")})
        .Label("e2").Op("ADD_DINT", {n2, n2, one})
        .Label("n2").Op("STEP_ACTIVE", {act, s2}).Op("STEP_TIME", {tm, s2}).Op("END");
    b.Program(t.Finish(), 1);
    // The chart's steps and transitions: highest indexes in the sizing block.
    std::vector<u8> img = b.Build();
    u32 sizing = GetLe32(img.data() + 4 * kQ4HdrSizing);
    PutLe16(img.data() + sizing + kQ4SizeSteps, 2);
    PutLe16(img.data() + sizing + kQ4SizeTrans, 1);
    IecVmDb db(img);
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    auto I = [&](u16 v) { return Get(db, kDi, v); };
    Q4VM_Cycle(db.Db(), 100);
    EXPECT_EQ(I(n1), 1u);
    EXPECT_EQ(I(a1), 0u);
    Q4VM_Cycle(db.Db(), 200);
    EXPECT_EQ(I(a1), 1u);
    Set(db, kB, cond, 1);
    Q4VM_Cycle(db.Db(), 300);  // s1 active once more, then the transition fires; s2 enters
    EXPECT_EQ(I(a1), 2u);
    EXPECT_EQ(I(n2), 1u);
    EXPECT_EQ(Get(db, kB, act), 1u);
    Q4VM_Cycle(db.Db(), 450);  // s1 exits, s2 active
    EXPECT_EQ(I(x1), 1u);
    EXPECT_EQ(I(a2), 1u);
    EXPECT_EQ(Get(db, kT, tm), 150u);
}

// Program calls through the call stack, and the return to the caller.
TEST(Tic, CallProgramAndReturn) {
    IecImageBuilder b;
    u16 d = b.Var(kDi), one = b.Var(kDi, 1);
    b.CallStackSize(4);
    TicAssembler main, sub;
    main.Op("CALL_PRG", {2}).Op("ADD_DINT", {d, d, d}).Op("END");
    sub.Op("ADD_DINT", {d, d, one}).Op("RET");
    b.Program(main.Finish());
    b.Program(sub.Finish(), 2);  // not run by the cycle on its own
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Set(db, kDi, d, 3);
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(Get(db, kDi, d), 8u);  // (3 + 1) * 2
    EXPECT_EQ(Q4VM_GetDesc(db.Db(), kDbCallStack).used, 0);
}

// Standard function EXPT in bounded time, whatever the power.
TEST(Tic, StandardFunctionExpt) {
    struct Case {
        float in;
        i32 n;
        float out;
    } cases[] = {{2.0f, 3, 8.0f},         {0.0f, 0, 1.0f},          {0.0f, -1, INFINITY},
                 {-2.0f, 3, -8.0f},       {2.0f, -2, 0.25f},        {0.5f, INT_MAX, 0.0f},
                 {1.0000001f, INT_MAX, INFINITY}, {-1.0f, INT_MIN, 1.0f}, {10.0f, -400, 0.0f}};
    IecImageBuilder b;
    u16 r = b.Var(kR), in = b.Var(kR), n = b.Var(kDi);
    TicAssembler t;
    t.Op("CALL_STF", {6, 3, r, in, n}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    u32 now = 1;
    for (const Case& k : cases) {
        Set(db, kR, in, F(k.in));
        Set(db, kDi, n, static_cast<u32>(k.n));
        Q4VM_Cycle(db.Db(), now++);
        EXPECT_EQ(Get(db, kR, r), F(k.out)) << k.in << "^" << k.n;
    }
    EXPECT_FALSE(Flags(db) & kVmFlagStopped);
}

// Blocks and custom functions are bound by name; unresolved ones stop the
// application at its next cycle with the name recorded.
int g_classInits = 0, g_instanceInits = 0, g_ends = 0;
int CountBlock(int cmd, u8* db, u8*, u8* inst, const u16* ops) {
    switch (cmd) {
        case kFbInstanceSize: return 4;
        case kFbClassInit: ++g_classInits; return 0;
        case kFbInstanceInit: ++g_instanceInits; return 0;
        case kFbInstanceEnd: ++g_ends; return 0;
        case kFbExecute: {
            u32 c = GetLe32(inst) + 1;
            PutLe32(inst, c);
            PutLe32(Q4VM_AreaPtr(db, kDbData32, nullptr) + 4u * ops[0], c);
            return 0;
        }
        default: return 0;
    }
}
int DoubleFunc(int cmd, u8* db, u8*, u8*, const u16* ops) {
    if (cmd != kFbExecute) return 0;
    u8* t = Q4VM_AreaPtr(db, kDbData32, nullptr);
    PutLe32(t + 4u * ops[1], 2 * GetLe32(t + 4u * ops[0]));
    return 1;
}
const Q4BdllBlock kTestBlocks[] = {{"TESTCOUNT", CountBlock}, {"TESTDOUBLE", DoubleFunc}, {nullptr, nullptr}};

struct Blocks : ::testing::Test {
    void SetUp() override {
        Q4Bdll_SetBuiltin(kTestBlocks);
        g_classInits = g_instanceInits = g_ends = 0;
    }
    void TearDown() override { Q4Bdll_SetBuiltin(nullptr); }
};

TEST_F(Blocks, BlockAndCustomFunctionCalls) {
    IecImageBuilder b;
    u16 out1 = b.Var(kDi), out2 = b.Var(kDi), x = b.Var(kDi, 21), y = b.Var(kDi);
    b.FbClass(7, "TESTCOUNT");
    u16 i1 = b.FbInstance(7, false), i2 = b.FbInstance(7, false);
    b.CustomFunction("TESTDOUBLE");
    TicAssembler t;
    t.Op("CALL_FB", {i1, 1, out1}).Op("CALL_FB", {i1, 1, out1}).Op("CALL_FB", {i2, 1, out2})
        .Op("CALL_CFUNC", {1, 2, x, y, kDi}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    EXPECT_EQ(g_instanceInits, 2);
    EXPECT_GE(g_classInits, 1);
    Q4VM_Cycle(db.Db(), 1);
    EXPECT_EQ(Get(db, kDi, out1), 2u);  // each instance keeps its own data
    EXPECT_EQ(Get(db, kDi, out2), 1u);
    EXPECT_EQ(Get(db, kDi, y), 42u);
    Q4VM_ShutDown(db.Db(), nullptr);
    EXPECT_EQ(g_ends, 2);
}

TEST_F(Blocks, UnresolvedNamesStopTheApplication) {
    IecImageBuilder b;
    u16 r = b.Var(kDi, 5), x = b.Var(kDi);
    b.FbClass(3, "NOSUCHBLOCK");
    b.FbInstance(3, false);
    b.CustomFunction("NOSUCHFUNC");
    TicAssembler t;
    t.Op("CALL_CFUNC", {1, 2, x, r, kDi}).Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    ASSERT_NE(Q4VMLog_GetUnresolved(db.Db(), 0), nullptr);
    EXPECT_STREQ(Q4VMLog_GetUnresolved(db.Db(), 0), "NOSUCHBLOCK");
    EXPECT_STREQ(Q4VMLog_GetUnresolved(db.Db(), 1), "NOSUCHFUNC");
    EXPECT_EQ(Q4VM_Cycle(db.Db(), 1), 1);  // the stop request turns into stopped
    EXPECT_TRUE(Flags(db) & kVmFlagStopped);
    // The placeholder clears the result of an unresolved function.
    std::vector<u16> words = t.Finish();
    EXPECT_EQ(Q4VMTic_Run(db.Db(), db.Status(), reinterpret_cast<const u8*>(words.data()),
                          static_cast<u32>(2 * words.size()), 0), 1);
    EXPECT_EQ(Get(db, kDi, r), 0u);
}

TEST(Registry, ControllerBlockTableEnumeration) {
    u32 id = 0, n = 1;
    ASSERT_EQ(Q4Blocks_GetFirstID(&id), 1);
    while (Q4Blocks_GetNextID(&id)) ++n;
    EXPECT_EQ(n, kPfbCount);
    EXPECT_STREQ(Q4Blocks_GetName(0), "TXBMANAGER");
    EXPECT_STREQ(Q4Blocks_GetName(57), "PID");
    EXPECT_STREQ(Q4Blocks_GetName(202), "CTD");
    EXPECT_EQ(Q4Blocks_GetName(203), nullptr);
    EXPECT_EQ(Q4Blocks_GetName(500), nullptr);
    EXPECT_EQ(Q4VMFbl_GetNbClass(), kStdBlockCount + kPfbCount);
}

// CT segment items and the pending CT destination of a constant load.
TEST(Tic, CtSegmentAccess) {
    IecImageBuilder b;
    u16 off = b.Var(kDi, 8), v = b.Var(kDi, 0x11223344), back = b.Var(kDi), bad = b.Var(kDi, 62);
    b.CtSegment(64, 64);
    TicAssembler t;
    t.Op("CT_SET", {kDi, v, off})
        .Op("CT_GET", {kDi, back, off})
        .Op("CT_SET", {kDi, v, bad})  // 62 + 4 > 64: refused
        .Op("CT_DEST", {0, 20})
        .Op("LDK_DINT", {0, 0xAABB, 0xCCDD})
        .Op("END");
    b.Program(t.Finish());
    IecVmDb db(b.Build());
    ASSERT_EQ(db.Result(), 0) << Q4VMTic_LastFault();
    Q4VM_Cycle(db.Db(), 1);
    u8* ct = Q4VM_AreaPtr(db.Db(), kDbCtSegment, nullptr);
    EXPECT_EQ(GetLe32(ct + 8), 0x11223344u);
    EXPECT_EQ(Get(db, kDi, back), 0x11223344u);
    EXPECT_EQ(GetLe16(ct + 62), 0u);
    EXPECT_EQ(GetLe32(ct + 20), 0xAABBCCDDu);
    EXPECT_EQ(Get(db, kDi, 0), 0u);
}

}  // namespace

// Both block tables are assembled from the format's name lists and the
// families' rows: every name is listed once, every family row names a
// listed block that no other row claims, and the table holds its handler.
TEST(Tic, BlockTablesClaimEachBlockOnce) {
    std::vector<std::string> names;
    for (const Q4BlockEntry& e : kQ4StdBlocks) {
        ASSERT_NE(e.name, nullptr);
        ASSERT_NE(e.handler, nullptr) << e.name;
        names.push_back(std::string("std:") + e.name);
    }
    for (u32 i = 0; i < kPfbCount; ++i) {
        ASSERT_NE(PFB[i].name, nullptr) << i;
        ASSERT_NE(PFB[i].handler, nullptr) << PFB[i].name;
        names.push_back(PFB[i].name);
    }
    EXPECT_EQ(PFB[kPfbCount].name, nullptr);
    EXPECT_EQ(PFB[kPfbCount].handler, nullptr);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    std::vector<std::string> claimed;
    for (std::span<const Q4BlockEntry> family : Q4VMFbl_Families())
        for (const Q4BlockEntry& r : family) {
            claimed.push_back(r.name);
            int found = 0;
            for (const Q4BlockEntry& e : kQ4StdBlocks) found += std::strcmp(e.name, r.name) == 0 && e.handler == r.handler;
            for (u32 i = 0; i < kPfbCount; ++i)
                found += std::strcmp(PFB[i].name, r.name) == 0 && PFB[i].handler == r.handler;
            EXPECT_GE(found, 1) << r.name;
        }
    std::sort(claimed.begin(), claimed.end());
    EXPECT_EQ(std::adjacent_find(claimed.begin(), claimed.end()), claimed.end());
}
