// Contacts, combiners, coils and one-shots: exact stack bytes on the
// instruction routines, and every instruction run by the interpreter in
// both token widths.
#include <functional>

#include "ladder/contacts.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

// ---------------------------------------------------------------------------
// Stack bytes, popped entries included (what REPUSH brings back).

struct StackCase {
    const char* name;
    void (*op)(u8*&);
    std::vector<u8> before;  // entries 1.. from the bottom; the last is the top
    std::vector<u8> after;   // the same stack memory afterwards
    int depthAfter;
};

TEST(LadderStackBytes, CombinersLeaveTheirValues) {
    const StackCase cases[] = {
        {"NOT of 0xFF", [](u8*& t) { lcontact::NotTop(t); }, {0xFF}, {0}, 1},
        {"NOT of 1", [](u8*& t) { lcontact::NotTop(t); }, {1}, {0}, 1},
        {"NOT of 0", [](u8*& t) { lcontact::NotTop(t); }, {0}, {1}, 1},
        {"SETTRUE overwrites", [](u8*& t) { lcontact::SetTrue(t); }, {0, 0}, {0, 0xFF}, 2},
        {"SETFALSE overwrites", [](u8*& t) { lcontact::SetFalse(t); }, {0xFF, 0xFF}, {0xFF, 0}, 2},
        {"OR with popped 1 writes 0xFF", lcontact::Or, {0, 1}, {0xFF, 1}, 1},
        {"OR with FALSE keeps", lcontact::Or, {7, 0}, {7, 0}, 1},
        {"AND with FALSE", lcontact::And, {0xFF, 0}, {0, 0}, 1},
        {"AND with TRUE keeps", lcontact::And, {0xFF, 0xFF}, {0xFF, 0xFF}, 1},
        {"ANDN with TRUE", lcontact::Andn, {0xFF, 0xFF}, {0, 0}, 1},
        {"ANDN with FALSE", lcontact::Andn, {0xFF, 0}, {0xFF, 1}, 1},
        {"ORN with FALSE", lcontact::Orn, {0, 0}, {1, 1}, 1},
        {"ORN with TRUE", lcontact::Orn, {0, 0xFF}, {0, 0}, 1},
        {"NAND TRUE TRUE", lcontact::Nand, {0xFF, 0xFF}, {0, 0xFF}, 1},
        {"NAND TRUE FALSE", lcontact::Nand, {0xFF, 0}, {1, 0}, 1},
        {"NOR FALSE FALSE", lcontact::Nor, {0, 0}, {1, 0}, 1},
        {"NOR FALSE TRUE", lcontact::Nor, {0, 0xFF}, {0, 0xFF}, 1},
        {"ORAND a FALSE, b TRUE", lcontact::OrAnd, {0, 0xFF, 0}, {0, 0, 0}, 1},
        {"ORAND both TRUE", lcontact::OrAnd, {0, 0xFF, 0xFF}, {1, 0xFF, 0xFF}, 1},
        {"ORAND keeps a TRUE top", lcontact::OrAnd, {0xFF, 0, 0}, {0xFF, 0, 0}, 1},
        {"ANDOR a TRUE", lcontact::AndOr, {0xFF, 0, 0xFF}, {0xFF, 1, 0xFF}, 1},
        {"ANDOR both FALSE", lcontact::AndOr, {0xFF, 0, 0}, {0, 0, 0}, 1},
        {"ANDOR b TRUE keeps b", lcontact::AndOr, {0xFF, 0xFF, 0}, {0xFF, 0xFF, 0}, 1},
        {"POP", lcontact::Pop, {5, 6}, {5, 6}, 1},
        {"REPUSH", lcontact::Repush, {5}, {5}, 2},
    };
    for (const StackCase& c : cases) {
        u8 stack[8] = {};
        for (size_t i = 0; i < c.before.size(); ++i) stack[1 + i] = c.before[i];
        u8* top = &stack[c.before.size()];
        c.op(top);
        for (size_t i = 0; i < c.after.size(); ++i) EXPECT_EQ(stack[1 + i], c.after[i]) << c.name << " entry " << i;
        EXPECT_EQ(top - &stack[0], c.depthAfter) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Combiners through the interpreter: every input combination, the rung
// value on Y0 and, after a REPUSH, the popped entry on Y1.

using Truth = std::function<bool(bool x, bool b, bool a)>;
struct CombineCase {
    const char* name;
    u16 opcode;
    int inputs;  // entries the combiner reads: x (deepest), [b], a (top)
    Truth top;
    Truth popped;  // what REPUSH brings back (unused for unary)
};

class LadderCombine : public LadderTest {};

TEST_P(LadderCombine, EveryCombinerAndWhatRepushBringsBack) {
    const CombineCase cases[] = {
        {"NOT", 32, 1, [](bool x, bool, bool) { return !x; }, nullptr},
        {"SETTRUE", 33, 1, [](bool, bool, bool) { return true; }, nullptr},
        {"SETFALSE", 34, 1, [](bool, bool, bool) { return false; }, nullptr},
        {"OR", 35, 2, [](bool x, bool, bool a) { return x || a; }, [](bool, bool, bool a) { return a; }},
        {"AND", 36, 2, [](bool x, bool, bool a) { return x && a; }, [](bool, bool, bool a) { return a; }},
        {"ANDN", 60, 2, [](bool x, bool, bool a) { return x && !a; }, [](bool, bool, bool a) { return !a; }},
        {"ORN", 61, 2, [](bool x, bool, bool a) { return x || !a; }, [](bool, bool, bool a) { return !a; }},
        {"NAND", 62, 2, [](bool x, bool, bool a) { return !(x && a); }, [](bool, bool, bool a) { return a; }},
        {"NOR", 63, 2, [](bool x, bool, bool a) { return !(x || a); }, [](bool, bool, bool a) { return a; }},
        {"ORAND", 64, 3, [](bool x, bool b, bool a) { return x || (b && a); },
         [](bool, bool b, bool a) { return b && a; }},
        {"ANDOR", 65, 3, [](bool x, bool b, bool a) { return x && (b || a); },
         [](bool, bool b, bool a) { return b || a; }},
    };
    for (const CombineCase& c : cases) {
        LadderBuilder p = Prog();
        // x by a contact word, b and a by CONTL (the width-dependent operand).
        p.Contact(kA);
        if (c.inputs == 3) p.Contl(kB);
        if (c.inputs >= 2) p.Contl(kC);
        p.Op(c.opcode);
        if (c.popped) p.Repush().Out(kY1);
        p.Out(kY0).End();
        Load(p);
        for (int bits = 0; bits < 8; ++bits) {
            bool x = bits & 1, b = bits & 2, a = bits & 4;
            SetRegBit(kA, x);
            SetRegBit(kB, b);
            SetRegBit(kC, a);
            ASSERT_EQ(Scan(), kLadderEnd) << c.name << "\n" << LadderDisassembleBlock();
            EXPECT_EQ(RegBit(kY0), c.top(x, b, a)) << c.name << " x=" << x << " b=" << b << " a=" << a;
            if (c.popped) {
                EXPECT_EQ(RegBit(kY1), c.popped(x, b, a)) << c.name << " x=" << x << " b=" << b << " a=" << a;
            }
        }
    }
}

TEST_P(LadderCombine, PopAndRepushMoveOnlyThePointer) {
    // A B POP REPUSH: B is on top again with its value; A stays below it.
    LadderBuilder p = Prog();
    p.Contact(kA).Contl(kB).Pop().Repush().Out(kY1).Out(kY0).End();
    Load(p);
    SetRegBit(kA, true);
    for (bool b : {false, true}) {
        SetRegBit(kB, b);
        ASSERT_EQ(Scan(), kLadderEnd);
        EXPECT_EQ(RegBit(kY1), b);
        EXPECT_TRUE(RegBit(kY0));
    }
}

LADDER_BOTH_WIDTHS(LadderCombine);

// ---------------------------------------------------------------------------
// Coils.

struct CoilCase {
    const char* name;
    u16 opcode;
    std::vector<int> rungs;     // rung value of each scan
    bool initial;               // output bit (and edge bit) before the first scan
    std::vector<int> expected;  // output bit after each scan
};

class LadderCoil : public LadderTest {};

TEST_P(LadderCoil, CoilsAcrossScans) {
    const CoilCase cases[] = {
        {"OUT", 38, {1, 0, 1}, false, {1, 0, 1}},
        {"OUTNOT", 54, {1, 0, 1}, false, {0, 1, 0}},
        {"SET", 52, {0, 1, 0}, false, {0, 1, 1}},
        {"RESET", 53, {0, 1, 0}, true, {1, 0, 0}},
        {"OSRISE pulses once per rising edge", 50, {1, 1, 0, 1, 1}, false, {1, 0, 0, 1, 0}},
        {"OSRISE held TRUE from I/O start with the bit already on", 50, {1, 1}, true, {0, 0}},
        {"OSFALL pulses on the first FALSE scan", 51, {1, 0, 0, 1, 0}, false, {0, 1, 0, 0, 1}},
        {"OSFALL FALSE from I/O start with the bit on", 51, {0, 0}, true, {1, 0}},
    };
    for (const CoilCase& c : cases) {
        LadderBuilder p = Prog();
        p.Contl(kA).Op(c.opcode, {kY0}).End();
        Load(p);
        SetRegBit(kY0, c.initial);
        PlcOldInit();  // the I/O start copies the registers into the edge memory
        for (size_t s = 0; s < c.rungs.size(); ++s) {
            SetRegBit(kA, c.rungs[s] != 0);
            ASSERT_EQ(Scan(), kLadderEnd) << c.name;
            EXPECT_EQ(RegBit(kY0), c.expected[s] != 0) << c.name << " scan " << s;
        }
    }
}

TEST_P(LadderCoil, OneShotsKeepTheirEdgeBitApart) {
    // Two OSRISE coils on neighbouring bits of one byte do not disturb each
    // other's edge memory.
    LadderBuilder p = Prog();
    p.Contl(kA).OsRise(kY0).Contl(kB).OsRise(kY1).End();
    Load(p);
    PlcOldInit();
    SetRegBit(kA, true);
    ASSERT_EQ(Scan(), kLadderEnd);
    SetRegBit(kB, true);
    ASSERT_EQ(Scan(), kLadderEnd);
    EXPECT_FALSE(RegBit(kY0));
    EXPECT_TRUE(RegBit(kY1));
}

LADDER_BOTH_WIDTHS(LadderCoil);

// ---------------------------------------------------------------------------
// Word contacts and masks.

class LadderWordBits : public LadderTest {};

TEST_P(LadderWordBits, ContEq1TestAndMask) {
    const u32 reg = lreg::R(20), reg2 = lreg::R(21), mask = lreg::R(30), mask2 = lreg::R(31);
    struct Case {
        const char* name;
        u16 opcode;
        u16 reg[2], mask[2];
        bool rung;
        bool push;        // for contacts: expected result
        u16 regAfter[2];  // for masks
    };
    const Case cases[] = {
        {"CONTEQ1 on 1", 360, {1, 0}, {}, false, true, {}},
        {"CONTEQ1 on 0x0101", 360, {0x0101, 0}, {}, false, false, {}},
        {"CONTEQ1 on 0", 360, {0, 0}, {}, false, false, {}},
        {"TESTW shared bit", 362, {0x0810, 0}, {0x0010, 0}, false, true, {}},
        {"TESTW no shared bit", 362, {0x0810, 0xFFFF}, {0x0101, 0}, false, false, {}},
        {"TESTD high words share", 363, {0, 0x8000}, {0, 0x8001}, false, true, {}},
        {"TESTD none", 363, {0x00F0, 0x0F00}, {0x0F0F, 0xF0F0}, false, false, {}},
        {"MASKW TRUE sets", 364, {0x1200, 0x5555}, {0x0034, 0}, true, false, {0x1234, 0x5555}},
        {"MASKW FALSE clears only the mask", 364, {0xFFFF, 0x5555}, {0x0F0F, 0}, false, false, {0xF0F0, 0x5555}},
        {"MASKD TRUE", 365, {0x0001, 0x1000}, {0x0100, 0x0010}, true, false, {0x0101, 0x1010}},
        {"MASKD FALSE", 365, {0xFFFF, 0xFFFF}, {0x00FF, 0xFF00}, false, false, {0xFF00, 0x00FF}},
    };
    for (const Case& c : cases) {
        SetRegWord(reg, c.reg[0]);
        SetRegWord(reg2, c.reg[1]);
        SetRegWord(mask, c.mask[0]);
        SetRegWord(mask2, c.mask[1]);
        SetRegBit(kA, c.rung);
        LadderBuilder p = Prog();
        if (c.opcode == 360)
            p.ContEq1(reg).Out(kY0);
        else if (c.opcode == 362 || c.opcode == 363)
            p.Op(c.opcode, {reg, mask}).Out(kY0);
        else
            p.Contl(kA).Op(c.opcode, {reg, mask});
        p.End();
        ASSERT_EQ(Exec(p), kLadderEnd) << c.name;
        if (c.opcode <= 363) {
            EXPECT_EQ(RegBit(kY0), c.push) << c.name;
        } else {
            EXPECT_EQ(RegWord(reg), c.regAfter[0]) << c.name;
            EXPECT_EQ(RegWord(reg2), c.regAfter[1]) << c.name;
        }
    }
}

LADDER_BOTH_WIDTHS(LadderWordBits);

}  // namespace
