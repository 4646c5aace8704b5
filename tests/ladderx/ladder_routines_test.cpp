// The block routines as the interpreter calls them: operands of both token
// widths, the cursor left after the operands, and what reaches the
// register memory.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/plc_regs.h"
#include "ladder/flow_fun.h"
#include "ladder/multi_sr.h"
#include "ladder/pid.h"
#include "storage/file.h"
#include "ladder/schedule.h"
#include "ladder/sunpos.h"
#include "testsupport/reg_fixture.h"

namespace {

constexpr u32 Word(u32 index) { return 0x400 + 16 * index; }
constexpr u32 Bit(u32 word, u32 bit) { return Word(word) + bit; }

// Encodes operands in the table's kinds; register operands are bit
// addresses.
struct Code {
    bool tok16;
    std::vector<u16> w;

    Code& Op(u16 opcode) {
        w.push_back(opcode);
        return *this;
    }
    Code& Lit(u32 v) {
        w.push_back(static_cast<u16>(v));
        return *this;
    }
    Code& Two(u32 v) {
        w.push_back(static_cast<u16>(v));
        w.push_back(static_cast<u16>(v >> 16));
        return *this;
    }
    Code& BitOp(u32 a) { return tok16 ? Lit(a) : Two(a); }
    Code& LitOrReg(u32 v) { return tok16 ? Lit(v) : Two(v); }
    Code& WordOp(u32 a) {
        if (!tok16) return Two(a);
        if (a >= 0x20000) return Lit(1777).Lit(a - 0x20000);
        if (a >= 0x10000) return Lit(1776).Lit(a - 0x10000);
        return Lit(a);
    }
    Code& Any(LOpd kind, u32 v) {
        switch (kind) {
        case LOpd::kLit: return Lit(v);
        case LOpd::kWord: return WordOp(v);
        case LOpd::kBit: return BitOp(v);
        default: return LitOrReg(v);
        }
    }
};

// The file instructions share the routine table but carry records of their
// own layout, tested with the file layer.
bool IsFileOp(u16 op) { return op >= kFileOpRecord && op <= kFileOpFormat; }
// The serial-port instructions: operands of their own layout, tested with
// the program-controlled ports (tests/link) and their fuzz target.
bool IsTalkOp(u16 op) { return (op >= 132 && op <= 137) || op == 394 || op == 531; }

// Runs the routine of the instruction at code[0]; checks the cursor lands
// on the word after the operands, which the words function agrees with.
u8 Exec(const Code& c, u8 rung) {
    const LadderRoutineRow* row = LadderRoutine_Find(c.w[0]);
    EXPECT_NE(row, nullptr);
    if (row == nullptr) return 0xEE;
    std::vector<u16> code = c.w;
    code.push_back(9);  // END
    u32 ip = 1;
    const u8 r = row->run(code.data(), ip, rung, c.tok16);
    EXPECT_EQ(ip, c.w.size());
    EXPECT_EQ(LadderRoutine_Words(code.data(), static_cast<u32>(code.size()), c.tok16), c.w.size());
    EXPECT_EQ(LadderRoutine_Words(code.data(), static_cast<u32>(c.w.size() - 1), c.tok16), 0u);
    return r;
}

class Routines : public ::testing::Test {
protected:
    RegFixture regs;
    u16 Reg(u32 word) { return GetLe16(&plc_reg[2 * word]); }
    void SetReg(u32 word, u16 v) { PutLe16(&plc_reg[2 * word], v); }
};

// Every routine with every register operand in the far bank (16-bit) or
// high in the memory (32-bit), rung on and off: the cursor always ends on
// the next instruction.
TEST_F(Routines, EveryLayoutIsConsumedExactly) {
    for (bool tok16 : {true, false}) {
        for (u16 op = 0; op < 1024; ++op) {
            const LadderRoutineRow* row = LadderRoutine_Find(op);
            // Records of their own layout (files, ports, CANopen), tested with
            // their families.
            if (row == nullptr || IsFileOp(op) || IsTalkOp(op) || op == 199 || op == 367) continue;
            for (u8 rung : {0, 1}) {
                SCOPED_TRACE(::testing::Message() << "opcode " << op << (tok16 ? " tok16" : " tok32") << " rung " << int(rung));
                Code c{tok16, {}};
                c.Op(op);
                if (row->words != nullptr) {  // flow: temperature conversion with far tokens
                    c.Lit(0).Lit(1776).Lit(0x100).Lit(1).Lit(0).Lit(1777).Lit(0x200);
                } else {
                    for (u8 i = 0; i < row->count; ++i) {
                        const LOpd k = row->operands[i];
                        const u32 v = k == LOpd::kLit ? 1 : k == LOpd::kLitOrReg ? 2 : k == LOpd::kBit ? Bit(4000, i) : Word(4100 + 20 * i);
                        c.Any(k, v);
                    }
                }
                Exec(c, rung);
            }
        }
    }
}

// Operand words straight from a random generator, against random register
// contents: every routine stays inside the register memory (the sanitizer
// build checks) and consumes exactly the words its layout gives.
TEST_F(Routines, RandomOperandsStayInsideTheMemory) {
    std::mt19937 rng(77);
    auto word = [&]() -> u16 {
        switch (rng() % 6) {
        case 0: return static_cast<u16>(rng() % 1100);  // literals and low addresses
        case 1: return static_cast<u16>(1776 + rng() % 2);
        case 2: return static_cast<u16>(0x400 + rng() % 0xFC00);
        case 3: return 0xFFFF;
        default: return static_cast<u16>(rng());
        }
    };
    for (int round = 0; round < 4000; ++round) {
        if (round % 200 == 0)
            for (u32 i = 0; i < kPlcRegBytes; ++i) plc_reg[i] = static_cast<u8>(rng() & (rng() % 4 ? 0x0F : 0xFF));
        std::vector<u16> code;
        u16 op;
        do {
            op = static_cast<u16>(rng() % 1024);
        } while (LadderRoutine_Find(op) == nullptr || IsFileOp(op) || IsTalkOp(op) || op == 199 || op == 367);
        code.push_back(op);
        for (int i = 0; i < 40; ++i) code.push_back(word());
        const bool tok16 = rng() & 1;
        S_Put(1, (rng() % 8) == 0);
        const u32 words = LadderRoutine_Words(code.data(), static_cast<u32>(code.size()), tok16);
        ASSERT_NE(words, 0u) << op;
        u32 ip = 1;
        LadderRoutine_Find(op)->run(code.data(), ip, static_cast<u8>(rng() % 2 ? 0xFF : 0), tok16);
        ASSERT_EQ(ip, words) << "opcode " << op;
    }
}

TEST_F(Routines, ShiftAndRotateOperands) {
    for (bool tok16 : {true, false}) {
        SCOPED_TRACE(tok16);
        SetUp();
        for (u16 i = 0; i < 8; ++i) SetReg(100 + i, static_cast<u16>(10 + i));
        SetReg(200, 3);                  // count held in a register
        plc_reg[2 * 201] = 1;            // direction bit: toward higher addresses
        SetReg(202, 0x5555);             // fill
        // Word shift of 8 registers by the register count 3.
        Code c{tok16, {}};
        c.Op(118).Lit(kMultiWords).BitOp(Word(100)).LitOrReg(8).LitOrReg(Word(200)).BitOp(Bit(201, 0)).BitOp(Word(203)).BitOp(Word(202));
        EXPECT_EQ(Exec(c, 0), 1);  // runs whatever the power flow
        EXPECT_EQ(Reg(203), 15);
        const u16 expect[8] = {0x5555, 0x5555, 0x5555, 10, 11, 12, 13, 14};
        for (u16 i = 0; i < 8; ++i) EXPECT_EQ(Reg(100 + i), expect[i]);

        // Rotate back toward lower addresses by a literal 3.
        plc_reg[2 * 201] = 0;
        Code r{tok16, {}};
        r.Op(119).Lit(kMultiWords).BitOp(Word(100)).LitOrReg(8).LitOrReg(3).BitOp(Bit(201, 0));
        EXPECT_EQ(Exec(r, 1), 1);
        const u16 rotated[8] = {10, 11, 12, 13, 14, 0x5555, 0x5555, 0x5555};
        for (u16 i = 0; i < 8; ++i) EXPECT_EQ(Reg(100 + i), rotated[i]);

        // Count above the length: FALSE, nothing moves.
        Code big{tok16, {}};
        big.Op(119).Lit(kMultiWords).BitOp(Word(100)).LitOrReg(8).LitOrReg(9).BitOp(Bit(201, 0));
        EXPECT_EQ(Exec(big, 1), 0);
        EXPECT_EQ(Reg(100), 10);
    }
}

TEST_F(Routines, IecShiftTakesTheBlockFromAByteOffset) {
    for (u16 i = 0; i < 4; ++i) SetReg(300 + i, static_cast<u16>(i + 1));
    const struct {
        u32 offset;
        u8 result;
        u16 first;
    } cases[] = {
        {600, 1, 4},                 // register 300
        {601, 1, 4},                 // odd byte: the register containing it
        {kPlcRegBytes, 0, 1},        // outside the memory
        {0xFFFFFFFFu, 0, 1},
    };
    for (const auto& k : cases) {
        for (u16 i = 0; i < 4; ++i) SetReg(300 + i, static_cast<u16>(i + 1));
        PutLe32(&plc_reg[2 * 50], k.offset);
        Code c{false, {}};
        c.Op(530).Lit(kMultiWords).WordOp(Word(50)).LitOrReg(4).LitOrReg(1).BitOp(Bit(52, 0));
        plc_reg[2 * 52] = 1;
        EXPECT_EQ(Exec(c, 1), k.result) << k.offset;
        EXPECT_EQ(Reg(300), k.first) << k.offset;
    }
    // A bit block starts at bit 0 of the byte.
    SetReg(300, 0x0100);
    PutLe32(&plc_reg[2 * 50], 601);
    Code b{true, {}};
    b.Op(530).Lit(kMultiBits).WordOp(Word(50)).LitOrReg(8).LitOrReg(1).BitOp(Bit(52, 0));
    EXPECT_EQ(Exec(b, 1), 1);
    EXPECT_EQ(Reg(300), 0x0200);
}

// Block at register 1000: a P-only loop with gain 1.0 and a 100 ms sample.
class PidRoutine : public Routines {
protected:
    static constexpr u32 kBlock = 1000, kSp = 1100, kPv = 1101, kOut = 1102, kBits = 1103;
    void SetUp() override {
        std::memset(plc_reg, 0, kPlcRegBytes);
        SetReg(kBlock + kPidSampleTime, 10);
        SetReg(kBlock + kPidGain, 100);
        SetReg(kBlock + kPidOutHigh, 32767);
        SetReg(kBlock + kPidOutLow, 0x8000);
        SetReg(kSp, 250);
        SetReg(kPv, 50);
        SetReg(kOut, 0xBEEF);
        Pid_Reset();
    }
    Code Instruction(u16 opcode, bool tok16, u32 blockOperand) {
        Code c{tok16, {}};
        const bool tune = opcode == 242 || opcode == 243 || opcode == 525 || opcode == 526;
        c.Op(opcode).Lit(3).WordOp(blockOperand).WordOp(Word(kSp)).WordOp(Word(kPv));
        c.BitOp(Bit(kBits, 0)).BitOp(Bit(kBits, 1)).BitOp(Bit(kBits, 2));
        if (tune) c.BitOp(Bit(kBits, 3)).Lit(0x0000);
        c.WordOp(Word(kOut));
        if (tune) c.BitOp(Bit(kBits, 4));
        return c;
    }
    void Stamp(u32 ticks) { SR_PutDword(149, ticks); }
};

TEST_F(PidRoutine, LadderFormRunsTheLoopOnItsRegisters) {
    for (u16 opcode : {u16{240}, u16{241}, u16{242}, u16{243}}) {
        for (bool tok16 : {true, false}) {
            SCOPED_TRACE(::testing::Message() << opcode << (tok16 ? " tok16" : " tok32"));
            SetUp();
            const Code c = Instruction(opcode, tok16, Word(kBlock));
            // Power flow off: nothing computed or written.
            EXPECT_EQ(Exec(c, 0), 0);
            EXPECT_EQ(Reg(kOut), 0xBEEF);
            EXPECT_EQ(Reg(kBlock + kPidFlags), 0);
            // First scan: the loop starts, power flow FALSE.
            S_Put(1, true);
            Stamp(0);
            EXPECT_EQ(Exec(c, 0xFF), 0);
            S_Put(1, false);
            Stamp(1000);
            EXPECT_EQ(Exec(c, 0xFF), 0xFF);
            const bool isa = opcode == 241 || opcode == 243;
            EXPECT_EQ(Reg(kBlock + kPidFlags), kPidFlagEnabled | (isa ? kPidFlagIsa : 0));
            EXPECT_EQ(Reg(kBlock + kPidSetpoint), 250);
            EXPECT_EQ(Reg(kBlock + kPidProcess), 50);
            EXPECT_EQ(Reg(kOut), 200);
            // Manual bit from the instruction.
            plc_reg[2 * kBits] = 1;
            SetReg(kBlock + kPidOutput, 77);
            Stamp(2000);
            Exec(c, 1);
            EXPECT_EQ(Reg(kOut), 77);
            EXPECT_EQ(Reg(kBlock + kPidFlags) & kPidFlagManual, kPidFlagManual);
        }
    }
}

TEST_F(PidRoutine, BadOperandsMakeThePowerFlowFalse) {
    // Loop number outside the tables.
    Code c{true, {}};
    c.Op(240).Lit(64).WordOp(Word(kBlock)).WordOp(Word(kSp)).WordOp(Word(kPv)).BitOp(Bit(kBits, 0)).BitOp(Bit(kBits, 1)).BitOp(Bit(kBits, 2)).WordOp(Word(kOut));
    Stamp(1000);
    EXPECT_EQ(Exec(c, 1), 0);
    EXPECT_EQ(Reg(kOut), 0);  // the block's unchanged final output

    // A block that runs past the end of the memory.
    const u32 lastWords = kPlcRegBytes / 2 - 8;
    Code far{false, {}};
    far.Op(240).Lit(1).WordOp(Word(lastWords)).WordOp(Word(kSp)).WordOp(Word(kPv)).BitOp(Bit(kBits, 0)).BitOp(Bit(kBits, 1)).BitOp(Bit(kBits, 2)).WordOp(Word(kOut));
    const std::vector<u8> before(plc_reg, plc_reg + kPlcRegBytes);
    EXPECT_EQ(Exec(far, 1), 0);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), plc_reg));

    // IEC form: the block offset from a register pair, bounded.
    for (u32 offset : {kPlcRegBytes - 31, kPlcRegBytes, 0xFFFFFFF0u}) {
        PutLe32(&plc_reg[2 * 60], offset);
        const std::vector<u8> snapshot(plc_reg, plc_reg + kPlcRegBytes);
        EXPECT_EQ(Exec(Instruction(523, false, Word(60)), 1), 0) << offset;
        EXPECT_TRUE(std::equal(snapshot.begin(), snapshot.end(), plc_reg)) << offset;
    }
}

TEST_F(PidRoutine, IecFormFindsTheBlockByByteOffset) {
    // Block copied to byte offset 4000 (register 2000).
    for (u32 i = 0; i < kPidBlockWords; ++i) SetReg(2000 + i, Reg(kBlock + i));
    PutLe32(&plc_reg[2 * 60], 4000);
    const Code c = Instruction(524, true, Word(60));
    Stamp(0);
    Exec(c, 1);
    Stamp(1000);
    EXPECT_EQ(Exec(c, 1), 1);
    EXPECT_EQ(Reg(kOut), 200);
    EXPECT_EQ(Reg(2000 + kPidFlags), kPidFlagEnabled | kPidFlagIsa);
    EXPECT_EQ(Reg(kBlock + kPidFlags), 0);  // the register named directly is not the block
}

TEST_F(PidRoutine, TuneBitAndDoneBit) {
    SetReg(kBlock + kPidOutLow, 0);
    SetReg(kBlock + kPidOutHigh, 1000);
    const Code c = Instruction(242, true, Word(kBlock));
    Stamp(0);
    Exec(c, 1);
    plc_reg[2 * kBits] = 0x08;  // tune
    Stamp(1000);
    Exec(c, 1);
    EXPECT_EQ(Pid_TuneState(3), 1);
    EXPECT_EQ(Reg(kOut), 0);  // relay at the low limit
    EXPECT_EQ(plc_reg[2 * kBits] & 0x10, 0);
    plc_reg[2 * kBits] = 0;
    Stamp(2000);
    Exec(c, 1);
    EXPECT_EQ(Pid_TuneState(3), 0);
}

TEST_F(Routines, SchedulesReadTheClockOnlyWithPowerFlow) {
    SR_Put(45, 30);  // 23:30, 31 December 2024, weekday 3
    SR_Put(46, 23);
    SR_Put(47, 31);
    SR_Put(48, 12);
    SR_Put(49, 2024);
    SR_Put(50, 3);
    SetReg(500, 22);  // start hour from a register
    SetReg(501, 0x04);
    SetReg(502, 0);
    SetReg(503, 0x4000);
    SetReg(504, 2024);
    SetReg(505, 2024);
    SetReg(506, 2000);
    SetReg(507, 2101);
    for (bool tok16 : {true, false}) {
        SCOPED_TRACE(tok16);
        struct Case {
            Code code;
            u8 expect;
        };
        auto C = [&] { return Code{tok16, {}}; };
        const Case cases[] = {
            {C().Op(370).LitOrReg(Word(500)).LitOrReg(0).LitOrReg(6).LitOrReg(0), 1},
            {C().Op(370).LitOrReg(Word(500)).LitOrReg(60).LitOrReg(6).LitOrReg(0), 0},
            {C().Op(370).LitOrReg(Word(kPlcRegBytes / 2)).LitOrReg(0).LitOrReg(6).LitOrReg(0), 0},
            {C().Op(372).Lit(0x04), 1},
            {C().Op(372).Lit(0x84), 0},
            {C().Op(373).WordOp(Word(501)), 1},
            {C().Op(374).Lit(0).Lit(0x4000), 1},
            {C().Op(374).Lit(0).Lit(0xC000), 0},
            {C().Op(375).WordOp(Word(502)), 1},
            {C().Op(375).WordOp(Word(kPlcRegBytes / 2 - 1)), 0},
            {C().Op(376).Lit(0x800), 1},
            {C().Op(377).WordOp(Word(501)), 0},
            {C().Op(378).Lit(2024).Lit(2030), 1},
            {C().Op(378).Lit(1999).Lit(2030), 0},
            {C().Op(379).WordOp(Word(504)), 1},
            {C().Op(379).WordOp(Word(506)), 0},
        };
        for (const auto& k : cases) {
            SCOPED_TRACE(k.code.w[0]);
            EXPECT_EQ(Exec(k.code, 0xFF), k.expect);
            EXPECT_EQ(Exec(k.code, 0), 0);
        }
    }
}

TEST_F(Routines, SunPositionWritesRealsAndKeepsThePowerFlow) {
    // 2012-03-20 05:14:00, on the equator near 103.4 E.
    const u16 time[6] = {0, 14, 5, 20, 3, 2012};
    for (u16 i = 0; i < 6; ++i) SetReg(4100 + i, time[i]);
    PutLeFloat(&plc_reg[2 * 4110], 103.4f);
    PutLeFloat(&plc_reg[2 * 4112], 0.0f);
    for (bool tok16 : {true, false}) {
        for (u8 rung : {0, 0xFF}) {
            PutLeFloat(&plc_reg[2 * 4120], -1);
            PutLeFloat(&plc_reg[2 * 4122], -1);
            Code c{tok16, {}};
            c.Op(244).WordOp(Word(4100)).WordOp(Word(4110)).WordOp(Word(4112)).WordOp(Word(4120)).WordOp(Word(4122));
            EXPECT_EQ(Exec(c, rung), rung);
            EXPECT_LT(GetLeFloat(&plc_reg[2 * 4120]), 0.3f);
            const float az = GetLeFloat(&plc_reg[2 * 4122]);
            EXPECT_TRUE(az >= 0 && az < 360);
        }
    }
    // An output pair past the end of the memory: nothing written.
    Code bad{false, {}};
    bad.Op(244).WordOp(Word(4100)).WordOp(Word(4110)).WordOp(Word(4112)).WordOp(Word(4120)).WordOp(Word(kPlcRegBytes / 2 - 1));
    PutLeFloat(&plc_reg[2 * 4120], -1);
    EXPECT_EQ(Exec(bad, 1), 1);
    EXPECT_EQ(GetLeFloat(&plc_reg[2 * 4120]), -1.0f);
}

}  // namespace
