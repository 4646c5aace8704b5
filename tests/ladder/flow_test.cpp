// Flow control, END housekeeping, the scan prologue and the program faults
// of the interpreter, in both token widths.
#include "tests/ladder/ladder_fixture.h"

namespace {

class LadderFlow : public LadderTest {};

TEST_P(LadderFlow, EmptyProgramEndsAndPublishesNoForcedScreen) {
    SR_Put(2, 77);
    S_Put(10, true);
    LadderBuilder p = Prog();
    p.End();
    EXPECT_EQ(Exec(p), kLadderEnd);
    EXPECT_EQ(SR_Get(2), 0);
    EXPECT_FALSE(S_Get(1));
    EXPECT_FALSE(S_Get(10));
}

TEST_P(LadderFlow, JumpsPopTheRungAndSkipKeepsIt) {
    for (bool a : {false, true}) {
        SetRegBit(kA, a);
        SetRegBit(kY0, false);
        SetRegBit(kY1, false);
        SetRegBit(kY2, false);
        SetRegBit(kY3, false);
        LadderBuilder p = Prog();
        LadderLabel j = p.NewLabel(), jl = p.NewLabel(), s = p.NewLabel();
        p.Contl(kA).Jmp(j).Contl(kOn).Set(kY0);   // Y0: JMP not taken
        p.Bind(j).Contl(kA).Jmpl(jl).Contl(kOn).Set(kY1);  // Y1: JMPL not taken
        p.Bind(jl).Contl(kA).Skipf(s).Contl(kOn).Set(kY2);  // Y2: SKIPF did not skip
        p.Bind(s).Out(kY3).End();  // the rung SKIPF left on the stack
        ASSERT_EQ(Exec(p), kLadderEnd) << LadderDisassembleBlock();
        EXPECT_EQ(RegBit(kY0), !a);
        EXPECT_EQ(RegBit(kY1), !a);
        EXPECT_EQ(RegBit(kY2), a);
        EXPECT_EQ(RegBit(kY3), a);
    }
}

TEST_P(LadderFlow, BackwardJumpRepeatsCode) {
    // Pass 1 sets B and clears A and jumps back while B && !C; pass 2 sets C.
    LadderBuilder p = Prog();
    LadderLabel top = p.NewLabel();
    p.Bind(top).Contl(kB).Set(kC);
    p.Contl(kA).Set(kB).Contl(kA).Reset(kA);
    p.Contl(kB).Contl(kC).Not().And().Jmpl(top).End();
    SetRegBit(kA, true);
    ASSERT_EQ(Exec(p), kLadderEnd);
    EXPECT_TRUE(RegBit(kC));
    EXPECT_FALSE(RegBit(kA));
}

// main calls s1, s1 calls s2, ... sN sets Y0; each returns.
LadderBuilder NestedCalls(LadderWidth w, int depth, bool longForm, u32* lastCallEnd) {
    LadderBuilder p(w);
    std::vector<LadderLabel> subs;
    for (int i = 0; i < depth; ++i) subs.push_back(p.NewLabel());
    auto call = [&](LadderLabel l) {
        if (longForm)
            p.Calll(l);
        else
            p.Call(l);
        *lastCallEnd = p.Here();
    };
    p.Contl(kOn);
    call(subs[0]);
    p.End();
    for (int i = 0; i < depth; ++i) {
        p.Bind(subs[i]).Contl(kOn);
        if (i + 1 < depth)
            call(subs[i + 1]);
        else
            p.Set(kY0);
        p.Contl(kOn).Ret();
    }
    return p;
}

TEST_P(LadderFlow, CallsNestEightDeepAndTheNinthFaults) {
    for (bool longForm : {false, true}) {
        u32 lastCallEnd = 0;
        SetRegBit(kY0, false);
        LadderBuilder eight = NestedCalls(GetParam(), 8, longForm, &lastCallEnd);
        EXPECT_EQ(Exec(eight), kLadderEnd);
        EXPECT_TRUE(RegBit(kY0));
        // The depth starts from 0 again on the next scan.
        EXPECT_EQ(Scan(), kLadderEnd);

        SetRegBit(kY0, false);
        LadderBuilder nine = NestedCalls(GetParam(), 9, longForm, &lastCallEnd);
        EXPECT_EQ(Exec(nine), static_cast<i32>(lastCallEnd));
        EXPECT_FALSE(RegBit(kY0));
    }
}

TEST_P(LadderFlow, CallWithFalseRungAndReturnWithFalseRungFallThrough) {
    LadderBuilder p = Prog();
    LadderLabel sub = p.NewLabel();
    // A FALSE CALL goes on; a FALSE RET at depth 0 goes on too.
    p.Contl(kA).Call(sub).Contl(kA).Ret().Contl(kOn).Set(kY1).End();
    p.Bind(sub).Contl(kOn).Set(kY0).Contl(kOn).Ret();
    SetRegBit(kA, false);
    ASSERT_EQ(Exec(p), kLadderEnd);
    EXPECT_FALSE(RegBit(kY0));
    EXPECT_TRUE(RegBit(kY1));
}

TEST_P(LadderFlow, StepMovesThroughItsStates) {
    const u32 rec = lreg::R(40);
    LadderBuilder p = Prog();
    LadderLabel o[4] = {p.NewLabel(), p.NewLabel(), p.NewLabel(), p.NewLabel()};
    p.Step(rec, o[0], o[1], o[2], o[3]);
    const u32 ys[4] = {kY0, kY1, kY2, kY3};
    for (int k = 0; k < 4; ++k) p.Bind(o[k]).Contl(kOn).Out(ys[k]).End();
    Load(p);
    struct Case {
        u16 state;
        u16 stateAfter;
        int target;
    };
    const Case cases[] = {{2, 1, 0}, {1, 1, 1}, {3, 0, 2}, {0, 0, 3}, {7, 7, 3}};
    for (const Case& c : cases) {
        for (u32 y : ys) SetRegBit(y, false);
        SetRegWord(rec, c.state);
        SetRegWord(rec + 16, 0xAAAA);
        ASSERT_EQ(Scan(), kLadderEnd) << c.state;
        EXPECT_EQ(RegWord(rec), c.stateAfter) << c.state;
        for (int k = 0; k < 4; ++k) EXPECT_EQ(RegBit(ys[k]), k == c.target) << c.state << " target " << k;
        if (c.state == 2) {
            EXPECT_EQ(RegWord(rec + 16), 0) << "count cleared on entry";
        }
    }
}

TEST_P(LadderFlow, StepCountsWholeMillisecondsAndCarriesTheRemainder) {
    const u32 rec = lreg::R(40);
    LadderBuilder p = Prog();
    LadderLabel e = p.NewLabel();
    p.Step(rec, e, e, e, e).Bind(e).End();
    Load(p);
    SetRegWord(rec, 2);
    ASSERT_EQ(Scan(), kLadderEnd);  // first scan: state 1, count 0
    const u64 ticks[] = {25, 25, 5, 100000};
    u32 expect = 0, carried = 0;
    for (u64 t : ticks) {
        clock.AdvanceTicks(t);
        ASSERT_EQ(Scan(), kLadderEnd);
        u32 ms = static_cast<u32>((t + carried) / 10);
        carried = static_cast<u32>((t + carried) % 10);
        expect += ms;
        EXPECT_EQ(Ladder_ScanTimeMs(), ms) << "after " << t << " ticks";
        u32 count = RegWord(rec + 16) | (static_cast<u32>(RegWord(rec + 32)) << 16);
        EXPECT_EQ(count, expect) << "after " << t << " ticks";
    }
}

TEST_P(LadderFlow, PrologueStampsTheScanAndLatchesTheTokenWidth) {
    LadderBuilder p = Prog();
    p.End();
    Load(p);
    clock.AdvanceTicks(1234);
    ASSERT_EQ(Scan(), kLadderEnd);
    u32 stamp = SR_GetDword(149);
    EXPECT_EQ(stamp, FPGA_GetFrt());
    EXPECT_EQ(Ladder_TimerStamp(), stamp & 0x3FFF);
    EXPECT_EQ(RegTokLen_16b, GetParam() == LadderWidth::k16 ? 1 : 0);
    EXPECT_EQ(Ladder_ScanTimeMs(), 0u);
    // Without a first scan the width stays latched even when the
    // editor-features word changes.
    NV_EditorFeatures ^= kFeatTok16;
    clock.AdvanceTicks(37);
    ASSERT_EQ(Scan(), kLadderEnd);
    EXPECT_EQ(RegTokLen_16b, GetParam() == LadderWidth::k16 ? 1 : 0);
    EXPECT_EQ(Ladder_ScanTimeMs(), 3u);
}

TEST_P(LadderFlow, NopsAreSkipped) {
    LadderBuilder p = Prog();
    for (u16 nop : {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191}) p.Raw(nop);
    p.Contl(kOn).Out(kY0).End();
    ASSERT_EQ(Exec(p), kLadderEnd);
    EXPECT_TRUE(RegBit(kY0));
}

// Program faults at run time: the result is the offset of the word after
// the instruction (after the operand for a CALL).
TEST_P(LadderFlow, RunTimeFaultsGiveTheirOffset) {
    struct Case {
        const char* name;
        void (*build)(LadderBuilder&, u32* expected);
    };
    const Case cases[] = {
        {"unassigned opcode 10",
         [](LadderBuilder& p, u32* at) {
             p.Contl(kOn).Out(kY0).Raw(10);
             *at = p.Here();
             p.End();
         }},
        {"unassigned opcode 576",
         [](LadderBuilder& p, u32* at) {
             p.Raw(576);
             *at = p.Here();
             p.End();
         }},
        {"RET without CALL",
         [](LadderBuilder& p, u32* at) {
             p.Contl(kOn).Ret();
             *at = p.Here();
             p.End();
         }},
    };
    for (const Case& c : cases) {
        LadderBuilder p = Prog();
        u32 at = 0;
        // The faulting code is reached only when A is set; otherwise END.
        LadderLabel end = p.NewLabel();
        p.Contl(kA).Not().Jmp(end);
        c.build(p, &at);
        p.Bind(end).End();
        SetRegBit(kA, false);
        ASSERT_EQ(Exec(p), kLadderEnd) << c.name << "\n" << LadderDisassembleBlock();
        SetRegBit(kA, true);
        EXPECT_EQ(Scan(), static_cast<i32>(at)) << c.name << "\n" << LadderDisassembleBlock();
    }
}

TEST_P(LadderFlow, EndlessLoopExhaustsTheBudget) {
    LadderBuilder p = Prog();
    LadderLabel top = p.NewLabel();
    p.Bind(top).Contl(kOn).Jmp(top).End();
    Load(p);
    u32 jmpEnd = p.Tok16() ? 4 : 5;
    EXPECT_EQ(Scan(), static_cast<i32>(jmpEnd));
}

TEST_P(LadderFlow, WindowAndFarBankOperandsReachTheirRegisters) {
    LadderBuilder p = Prog();
    if (GetParam() == LadderWidth::k32) {
        // %M window -> byte 0x1A000, %T window -> byte 0x19800, %ESR -> byte 0x1A800.
        p.Contl(kOn).Out(lreg::EM(5)).Contl(kOn).Out(lreg::ET(9)).Contl(kOn).Out(lreg::ESR(3) + 2);
        p.ContEq1(lreg::R(50000)).Out(kY0).End();
        SetRegWord(lreg::R(50000), 1);
        ASSERT_EQ(Exec(p), kLadderEnd);
        EXPECT_EQ(plc_reg[0x1A000], 0x10);
        EXPECT_EQ(plc_reg[0x19801], 0x01);
        EXPECT_EQ(plc_reg[0x1A800 + 4], 0x04);
    } else {
        // Word 4033 through escape 1776, word 8200 through 1777.
        p.ContEq1(lreg::Word(4033)).Out(kY0).ContEq1(lreg::Word(8200)).Out(kY1).End();
        std::vector<u16> w = p.Words();
        ASSERT_EQ(w[1], 1776);
        ASSERT_EQ(w[2], 0x10);
        SetRegWord(lreg::Word(4033), 1);
        SetRegWord(lreg::Word(8200), 1);
        ASSERT_EQ(Exec(p), kLadderEnd);
        EXPECT_TRUE(RegBit(kY1));
    }
    EXPECT_TRUE(RegBit(kY0));
}

TEST_P(LadderFlow, ContactWord1776IsAContact) {
    LadderBuilder p = Prog();
    p.Raw(1776).Out(kY0).End();
    plc_reg[(1776 - 0x400) / 8] = 1;  // bit address 1776 is bit 0 of byte 94
    ASSERT_EQ(Exec(p), kLadderEnd);
    EXPECT_TRUE(RegBit(kY0));
}

LADDER_BOTH_WIDTHS(LadderFlow);

// ---------------------------------------------------------------------------
// Programs the checker refuses never run: each scan is a program fault at
// the place the checker names, until the block changes.

class LadderRefused : public LadderBase, public ::testing::Test {};

TEST_F(LadderRefused, RefusedProgramFaultsEveryScanWithoutRunning) {
    LadderBuilder p(LadderWidth::k32);
    p.Contl(kOn).Out(kY0);
    for (int i = 0; i < 21; ++i) p.Contl(kOn);
    p.End();
    EXPECT_EQ(Exec(p), 66);  // the 21st push: after CONTL and OUT (6 words), 20 pushes of 3 words
    EXPECT_EQ(Ladder_LastCheck().status, LadderCheckStatus::kBoolOverflow);
    EXPECT_FALSE(RegBit(kY0));
    EXPECT_EQ(Scan(), 66);
    // A fixed program replaces it.
    LadderBuilder q(LadderWidth::k32);
    q.Contl(kOn).Out(kY0).End();
    EXPECT_EQ(Exec(q), kLadderEnd);
    EXPECT_TRUE(RegBit(kY0));
}

TEST_F(LadderRefused, RunsTheCheckedCopyNotTheChangingBlock) {
    LadderBuilder p(LadderWidth::k32);
    p.Contl(kOn).Out(kY0).End();
    ASSERT_EQ(Exec(p), kLadderEnd);
    // Data rewritten behind a header that did not change: still the copy.
    PutLe16(ladder, 10);
    SetRegBit(kY0, false);
    EXPECT_EQ(Scan(), kLadderEnd);
    EXPECT_TRUE(RegBit(kY0));
}

TEST_F(LadderRefused, AbsentProgramOnlyEnds) {
    ladder_bl.SetHeader(0, 0);
    S_Put(1, true);
    EXPECT_EQ(Scan(), kLadderEnd);
    EXPECT_FALSE(S_Get(1));
}

}  // namespace

namespace {

class LadderIec : public LadderBase, public ::testing::Test {};

TEST_F(LadderIec, LoadedIecApplicationTakesTheScanInstead) {
    LadderBuilder p(LadderWidth::k32);
    p.Contl(kOn).Out(kY0).End();
    Load(p);
    QuilletRuntime = 1;
    clock.AdvanceTicks(500);
    EXPECT_EQ(Scan(), kLadderEnd);
    EXPECT_FALSE(RegBit(kY0));
    EXPECT_EQ(SR_GetDword(149), FPGA_GetFrt());  // the IEC timers' time base
    EXPECT_TRUE(S_Get(1));                       // the application's first cycle clears it
    QuilletRuntime = 0;
    EXPECT_EQ(Scan(), kLadderEnd);
    EXPECT_TRUE(RegBit(kY0));
}

}  // namespace
