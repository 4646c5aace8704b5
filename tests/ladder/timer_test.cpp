// Timers and counters run through the interpreter on the hand-advanced
// clock, one Ladder_Scan per scan, in both token widths.
#include <vector>

#include "ladder/ladder_ops.h"
#include "ladder/ltmrcnt.h"
#include "ladder/pid.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

constexpr u32 kRec = lreg::R(10);    // timer or counter record
constexpr u32 kPre = lreg::R(20);    // register preset (two words for the 32-bit forms)
constexpr u32 kReset = kB;           // reset or load bit

enum class Kind { kOn, kOff, kAcc };

struct TimerCase {
    u16 op;  // literal-preset opcode; op - 1 takes a register preset
    bool wide;
    Kind kind;
    u32 ticks;  // per unit
};

// Every timer at every base.
constexpr TimerCase kTimers[] = {
    {205, false, Kind::kOn, 100},    {209, false, Kind::kOn, 1000},   {461, false, Kind::kOn, 10000},
    {477, false, Kind::kOn, 10},     {207, false, Kind::kOff, 100},   {211, false, Kind::kOff, 1000},
    {463, false, Kind::kOff, 10000}, {479, false, Kind::kOff, 10},    {213, false, Kind::kAcc, 100},
    {215, false, Kind::kAcc, 1000},  {459, false, Kind::kAcc, 10000}, {475, false, Kind::kAcc, 10},
    {453, true, Kind::kOn, 10000},   {469, true, Kind::kOn, 10},      {485, true, Kind::kOn, 100},
    {501, true, Kind::kOn, 1000},    {455, true, Kind::kOff, 10000},  {471, true, Kind::kOff, 10},
    {487, true, Kind::kOff, 100},    {503, true, Kind::kOff, 1000},   {451, true, Kind::kAcc, 10000},
    {467, true, Kind::kAcc, 10},     {483, true, Kind::kAcc, 100},    {499, true, Kind::kAcc, 1000},
};

class Timers : public LadderTest {
protected:
    void Operand2(LadderBuilder& p, u32 v) { p.Raw(static_cast<u16>(v)).Raw(static_cast<u16>(v >> 16)); }
    void Bit(LadderBuilder& p, u32 a) {
        if (p.Tok16())
            p.Raw(static_cast<u16>(a));
        else
            Operand2(p, a);
    }
    void Word(LadderBuilder& p, u32 a) {
        if (!p.Tok16())
            Operand2(p, a);
        else if (a >= 0x20000)
            p.Raw(1777).Raw(static_cast<u16>(a - 0x20000));
        else if (a >= 0x10000)
            p.Raw(1776).Raw(static_cast<u16>(a - 0x10000));
        else
            p.Raw(static_cast<u16>(a));
    }

    // CONTL A, the instruction, OUT Y0, END. A literal preset when `literal`,
    // else the register kPre.
    void LoadTimer(const TimerCase& t, i32 preset, bool literal = true, u32 rec = kRec) {
        LadderBuilder p = Prog();
        p.Contl(kA).Raw(literal ? t.op : static_cast<u16>(t.op - 1));
        if (t.kind == Kind::kAcc) Bit(p, kReset);
        Word(p, rec);
        if (!literal)
            Word(p, kPre);
        else if (t.wide)
            Operand2(p, static_cast<u32>(preset));
        else
            p.Raw(static_cast<u16>(preset));
        p.Out(kY0).End();
        Load(p);
    }
    void LoadCounter(u16 op, u32 preset) {
        LadderBuilder p = Prog();
        p.Contl(kA).Raw(op);
        Bit(p, kReset);
        Word(p, kRec);
        if ((op & 1) != 0)
            p.Raw(static_cast<u16>(preset));
        else
            Word(p, kPre);
        p.Out(kY0).End();
        Load(p);
    }
    // One scan after `ms` of the clock; the output bit.
    bool Run(u64 ms, bool in) {
        clock.AdvanceMs(ms);
        SetRegBit(kA, in);
        EXPECT_EQ(Scan(), kLadderEnd);
        return RegBit(kY0);
    }
    i32 Acc(bool wide) const {
        return wide ? static_cast<i32>(RegWord(kRec) | (u32{RegWord(kRec + 16)} << 16)) : RegWord(kRec);
    }
    u16 Status(bool wide) const { return RegWord(kRec + (wide ? 32 : 16)); }
    void SetAcc(bool wide, i32 v) {
        SetRegWord(kRec, static_cast<u16>(v));
        if (wide) SetRegWord(kRec + 16, static_cast<u16>(static_cast<u32>(v) >> 16));
    }
};

// 3-ms scans: after n timing scans exactly floor(30n / ticks) units are
// counted, so the part of a unit left over at each step carries into the
// next, and the stamp stays on the last whole unit. On the first scan no
// time is counted.
TEST_P(Timers, ThreeMillisecondScansCarryTheRemainder) {
    for (const TimerCase& t : kTimers) {
        SCOPED_TRACE(::testing::Message() << "opcode " << t.op);
        const i32 units = t.ticks == 10000 ? 2 : t.ticks == 1000 ? 5 : t.ticks == 100 ? 7 : 50;
        for (u32 w = 0; w < 3; ++w) SetRegWord(kRec + 16 * w, 0);
        LoadTimer(t, units);
        clock.AdvanceMs(12345);  // a stamp far from the record's 0
        const bool timingInput = t.kind != Kind::kOff;
        // First scan: input on (disables an off-delay timer).
        const bool out0 = Run(0, true);
        EXPECT_EQ(out0, t.kind == Kind::kOff);
        EXPECT_EQ(Acc(t.wide), 0);
        const u16 start = Ladder_TimerStamp();
        EXPECT_EQ(Status(t.wide) & 0x3FFF, start);
        const u32 scans = (static_cast<u32>(units) * t.ticks + 29) / 30;
        for (u32 n = 1; n <= scans; ++n) {
            const bool out = Run(3, timingInput);
            const i32 counted = static_cast<i32>(30 * n / t.ticks);
            const bool expired = counted >= units;
            ASSERT_EQ(Acc(t.wide), expired ? units : counted) << "scan " << n;
            ASSERT_EQ(out, t.kind == Kind::kOff ? !expired : expired) << "scan " << n;
            ASSERT_EQ(expired, n == scans);
            const u16 st = Status(t.wide);
            ASSERT_EQ((st & 0x8000) != 0, out);
            ASSERT_EQ((st & 0x4000) != 0, t.kind != Kind::kOff);
            ASSERT_EQ(st & 0x3FFF, (start + static_cast<u32>(counted) * t.ticks) & 0x3FFF)
                << "scan " << n;
        }
        // Input off: on-delay and off-delay timers clear, accumulating ones keep.
        const bool outOff = Run(3, !timingInput);
        EXPECT_EQ(outOff, t.kind == Kind::kOff);
        EXPECT_EQ(Acc(t.wide), t.kind == Kind::kAcc ? units : 0);
        EXPECT_EQ(Status(t.wide), (t.kind == Kind::kOff ? 0x8000 : 0) | Ladder_TimerStamp());
    }
}

// The 1 s base at 3 ms: the first unit comes with the 334th scan (10,020
// ticks) and the stamp lies 20 ticks before that scan's stamp.
TEST_P(Timers, OneSecondUnitAtThe334thScan) {
    LoadTimer(kTimers[2], 100);
    Run(0, true);
    for (int n = 1; n < 334; ++n) {
        Run(3, true);
        ASSERT_EQ(Acc(false), 0) << n;
    }
    Run(3, true);
    EXPECT_EQ(Acc(false), 1);
    EXPECT_EQ(Status(false), 0x4000 | ((Ladder_TimerStamp() - 20) & 0x3FFF));
}

// Elapsed time is taken modulo 16,384 ticks: executions 1.6384 s or more
// apart lose whole multiples of it.
TEST_P(Timers, FourteenBitStampLosesWholeMultiples) {
    struct {
        u64 ticks;
        i32 acc;
    } cases[] = {{16383, 163}, {16384, 0}, {17384, 10}, {2 * 16384 + 500, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ticks);
        SetRegWord(kRec, 0);
        LoadTimer(kTimers[0], 1000);  // 10 ms on-delay
        Run(0, true);
        clock.AdvanceTicks(c.ticks);
        EXPECT_FALSE(Run(0, true));
        EXPECT_EQ(Acc(false), c.acc);
    }
}

// 16-bit off-delay timers start expired; the 32-bit ones keep a stored
// accumulator and time out from it.
TEST_P(Timers, OffDelayFirstScan) {
    LoadTimer(kTimers[4], 50);  // 16-bit, 10 ms
    SetRegWord(kRec, 7);
    EXPECT_FALSE(Run(0, false));
    EXPECT_EQ(Acc(false), 50);
    EXPECT_EQ(Status(false), Ladder_TimerStamp());

    LoadTimer(kTimers[18], 50);  // 32-bit, 10 ms
    SetAcc(true, 20);
    EXPECT_TRUE(Run(0, false));
    EXPECT_EQ(Acc(true), 20);
    EXPECT_TRUE(Run(290, false));
    EXPECT_EQ(Acc(true), 49);
    EXPECT_FALSE(Run(10, false));
    EXPECT_EQ(Acc(true), 50);
}

// The accumulating timer keeps its time while the input is off, outputs
// FALSE then even at the preset, and counts the time since its previous
// execution when the input returns. The reset bit wins over the input.
TEST_P(Timers, AccumulatingHoldAndReset) {
    for (const TimerCase& t : {kTimers[11], kTimers[21]}) {  // 1 ms, 16- and 32-bit
        SCOPED_TRACE(t.op);
        SetAcc(t.wide, 0);
        SetRegBit(kReset, false);
        LoadTimer(t, 10);
        Run(0, true);
        EXPECT_FALSE(Run(6, true));
        EXPECT_FALSE(Run(100, false));
        EXPECT_EQ(Acc(t.wide), 6);
        EXPECT_TRUE(Run(4, true));
        EXPECT_EQ(Acc(t.wide), 10);
        EXPECT_FALSE(Run(1, false));
        EXPECT_EQ(Acc(t.wide), 10);
        EXPECT_TRUE(Run(1, true));
        SetRegBit(kReset, true);
        EXPECT_FALSE(Run(5, true));
        EXPECT_EQ(Acc(t.wide), 0);
        EXPECT_EQ(Status(t.wide), Ladder_TimerStamp());
        SetRegBit(kReset, false);
        EXPECT_FALSE(Run(7, true));
        EXPECT_EQ(Acc(t.wide), 7);
    }
}

// Presets: 0 expires on the first enabled execution; a negative register
// preset expires at once and leaves its bit pattern in the accumulator.
// A 16-bit sum past 65,535 expires the timer instead of wrapping.
TEST_P(Timers, PresetLimits) {
    LoadTimer(kTimers[0], 0);
    Run(0, false);
    EXPECT_TRUE(Run(1, true));

    SetRegWord(kPre, 0xFFFF);
    LoadTimer(kTimers[0], 0, false);
    EXPECT_TRUE(Run(0, true));
    EXPECT_EQ(RegWord(kRec), 0xFFFF);
    EXPECT_TRUE(Run(3, true));

    SetRegWord(kPre, static_cast<u16>(-5));
    SetRegWord(kPre + 16, 0xFFFF);
    LoadTimer(kTimers[14], 0, false);  // 32-bit, register preset
    SetAcc(true, 0);
    EXPECT_TRUE(Run(0, true));
    EXPECT_EQ(Acc(true), -5);

    SetRegWord(kPre, 0x2710);  // 10,000 ms in the register pair
    SetRegWord(kPre + 16, 0);
    LoadTimer(kTimers[13], 0, false);  // 32-bit, 1 ms
    SetAcc(true, 9990);
    EXPECT_FALSE(Run(0, true));
    EXPECT_TRUE(Run(10, true));
    EXPECT_EQ(Acc(true), 10000);

    LoadTimer(kTimers[3], 65535);  // 16-bit, 1 ms
    SetRegWord(kRec, 65000);
    EXPECT_FALSE(Run(0, true));
    EXPECT_TRUE(Run(1500, true));
    EXPECT_EQ(RegWord(kRec), 65535);
}

// A 32-bit record that starts on the last register word is left alone and
// gives FALSE; the scan goes on to the next instruction.
TEST_P(Timers, RecordPastTheMemoryGivesFalse) {
    if (GetParam() == LadderWidth::k16) GTEST_SKIP() << "16-bit tokens do not reach the end of the memory";
    const u32 lastWord = lreg::Word(kLadderRegWords - 1);
    LadderBuilder p = Prog();
    p.Contl(kA).Raw(453);
    Word(p, lastWord);
    Operand2(p, 0);
    p.Out(kY0).Contl(kA).Out(kY1).End();
    Load(p);
    const u8 before = plc_reg[kPlcRegBytes - 1];
    Run(0, true);
    EXPECT_FALSE(RegBit(kY0));
    EXPECT_TRUE(RegBit(kY1));
    EXPECT_EQ(plc_reg[kPlcRegBytes - 1], before);
}

// Every timer and 16-bit counter opcode, with a far-bank record and a
// far-bank register preset: the checker takes the length from the row, the
// routine consumes exactly that, and the coil after it runs.
TEST_P(Timers, EveryOpcodeConsumesItsOperands) {
    const u32 farRec = lreg::Word(4032 + 100), farPre = lreg::Word(8128 + 20);
    for (u16 op = 0; op < kLadderOpcodes; ++op) {
        const LadderRoutineRow* row = Timer_FindRow(op);
        if (row == nullptr) continue;
        SCOPED_TRACE(op);
        EXPECT_EQ(LadderOp_Get(op).exec, LExec::kRoutine);
        const u32 farRecAddr = GetParam() == LadderWidth::k16 ? 0x10000 + 100 * 16 : farRec;
        const u32 farPreAddr = GetParam() == LadderWidth::k16 ? 0x20000 + 20 * 16 : farPre;
        LadderBuilder p = Prog();
        p.Contl(kA);
        const u32 at = p.Here();
        p.Raw(op);
        if (row->words != nullptr) {  // 32-bit counter: sub-operation 1 (up, literal preset)
            p.Raw(1);
            Bit(p, kReset);
            Word(p, farRecAddr);
            p.Raw(3).Raw(0);
        }
        for (u8 i = 0; i < row->count; ++i) {
            switch (row->operands[i]) {
                case LOpd::kBit: Bit(p, kReset); break;
                case LOpd::kWord: Word(p, i + 1 == row->count ? farPreAddr : farRecAddr); break;
                case LOpd::kLit: p.Raw(3); break;
                default: Operand2(p, 3); break;
            }
        }
        const u32 len = p.Here() - at;
        p.Contl(kA).Out(kY1).End();
        Load(p);
        SetRegBit(kY1, false);
        Run(0, true);
        EXPECT_TRUE(RegBit(kY1));
        const std::vector<u16> w = p.Words();
        EXPECT_EQ(LadderInstruction_Words(w.data() + at, static_cast<u32>(w.size() - at), p.Tok16()), len);
    }
}

LADDER_BOTH_WIDTHS(Timers);

// Counters: an edge counts once, before the reset or load of the same
// scan; the 16-bit count stops at 32,767 and -32,768.
TEST_P(Timers, SixteenBitCounters) {
    struct Step {
        bool in, reset;
        i16 count;
        bool done;
    };
    struct Case {
        const char* name;
        u16 op;
        u32 preset;  // literal, or the register value for even opcodes
        i16 start;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"up to preset", 201, 2, 0, {{true, false, 1, false}, {true, false, 1, false}, {false, false, 1, false},
                                     {true, false, 2, true}, {false, false, 2, true}}},
        {"edge lost in the reset scan", 201, 2, 1, {{true, true, 0, false}, {false, false, 0, false},
                                                    {true, false, 1, false}}},
        {"up stops at 32767", 201, 40000, 32766, {{true, false, 32767, false}, {false, false, 32767, false},
                                                  {true, false, 32767, false}}},
        {"up, negative register preset done after reset", 200, 0xFFFE, 5, {{false, true, 0, true}}},
        {"down loads and counts to 0", 203, 2, 0, {{false, true, 2, false}, {true, false, 1, false},
                                                   {false, false, 1, false}, {true, false, 0, true}}},
        {"down stops at -32768", 203, 5, -32767, {{true, false, -32768, true}, {false, false, -32768, true},
                                                  {true, false, -32768, true}}},
        {"down load of 0 is done at once", 202, 0, 9, {{false, true, 0, true}}},
        {"down load of a negative register preset", 202, 0xFFF6, 9, {{false, true, -10, true}}},
        {"down load above 32767 saturates", 203, 40000, 0, {{false, true, 32767, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetRegWord(kRec, static_cast<u16>(c.start));
        SetRegWord(kRec + 16, 0);
        SetRegWord(kPre, static_cast<u16>(c.preset));
        SetRegBit(kA, false);
        LoadCounter(c.op, c.preset);
        for (const Step& s : c.steps) {
            SetRegBit(kReset, s.reset);
            EXPECT_EQ(Run(1, s.in), s.done);
            EXPECT_EQ(static_cast<i16>(RegWord(kRec)), s.count);
            EXPECT_EQ((RegWord(kRec + 16) & 0xC000) >> 14, (s.done ? 2 : 0) | (s.in ? 1 : 0));
        }
    }
}

// The 32-bit counter's routine, called as the interpreter calls it: the
// cursor ends after the operands for every sub-operation and width, and the
// down count stops one above the most negative i32.
TEST(Counter32, CountsAndConsumesItsOperands) {
    RegFixture regs;
    const u32 rec = 100, pre = 120;  // register words
    const u32 resetBit = lreg::Word(130);
    for (bool tok16 : {true, false}) {
        for (u16 sub : {0, 1, 2, 3}) {
            SCOPED_TRACE(::testing::Message() << "sub " << sub << (tok16 ? " tok16" : " tok32"));
            auto two = [](std::vector<u16>& c, u32 v) {
                c.push_back(static_cast<u16>(v));
                c.push_back(static_cast<u16>(v >> 16));
            };
            std::vector<u16> code{199, sub};
            if (tok16)
                code.insert(code.end(), {static_cast<u16>(resetBit), static_cast<u16>(lreg::Word(rec))});
            else {
                two(code, resetBit);
                two(code, lreg::Word(rec));
            }
            const bool down = sub >= 2;
            const i32 start = down ? -2147483646 : 2147483646;
            if ((sub & 1) != 0)
                two(code, 5);
            else if (tok16)
                code.push_back(static_cast<u16>(lreg::Word(pre)));
            else
                two(code, lreg::Word(pre));
            PutLe32(&plc_reg[2 * pre], 5);
            const u32 words = static_cast<u32>(code.size()) - 1;
            code.push_back(9);
            EXPECT_EQ(Counter32_OperandWords(code.data() + 1, words, tok16), words);
            EXPECT_EQ(Counter32_OperandWords(code.data() + 1, words - 1, tok16), 0u);
            PutLe32(&plc_reg[2 * rec], static_cast<u32>(start));
            PutLe16(&plc_reg[2 * (rec + 2)], 0);
            const i32 limit = down ? -2147483647 : 2147483647;
            for (int i = 0; i < 3; ++i) {
                u32 ip = 1;
                const u8 out = Logic32bCounters(code.data(), ip, static_cast<u8>(i % 2 == 0 ? 0xFF : 0), tok16);
                EXPECT_EQ(ip, words + 1);
                EXPECT_EQ(static_cast<i32>(GetLe32(&plc_reg[2 * rec])), limit);
                EXPECT_EQ(out, 1);
            }
            // Load/reset: up to 0 (not done for preset 5), down to the preset.
            plc_reg[(resetBit - 0x400) / 8] |= 1;
            u32 ip = 1;
            const u8 out = Logic32bCounters(code.data(), ip, 0, tok16);
            EXPECT_EQ(static_cast<i32>(GetLe32(&plc_reg[2 * rec])), down ? 5 : 0);
            EXPECT_EQ(out, 0);
            plc_reg[(resetBit - 0x400) / 8] &= static_cast<u8>(~1u);
        }
    }
}

}  // namespace
