// Loads, stores, moves, fills, block moves and table moves run through the
// interpreter in both token widths. Every case is followed by a MOVKW to
// show that the instruction left the instruction pointer after its own
// operands.
#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "ladder/ladder_check.h"
#include "ladder/ladder_ops.h"
#include "tests/ladder/ladder_fixture.h"

namespace {

constexpr u32 kIn = lreg::R(10);     // %R10-%R11: load operand
constexpr u32 kOut = lreg::R(20);    // %R20-%R21: stored results
constexpr u32 kAfter = lreg::R(40);  // written by the instruction after the case
constexpr u16 kAfterValue = 0x5A5A;
constexpr u32 kLastWord = kPlcRegBytes / 2 - 1;

constexpr u32 R(u32 n) { return lreg::R(n); }
// Bit address of the low (h = 0) or high (h = 1) byte of %Rn.
constexpr u32 RB(u32 n, u32 h) { return lreg::R(n) + 8 * h; }
constexpr u32 F(float f) { return std::bit_cast<u32>(f); }

u16 MemWord(u32 word) { return GetLe16(&plc_reg[2 * word]); }
void SetMemWord(u32 word, u16 v) { PutLe16(&plc_reg[2 * word], v); }

struct Opd {
    LOpd kind;
    u32 value;
};
struct RegVal {
    u32 addr;  // register bit address of the word
    u16 value;
};

class WordMove : public LadderTest {
protected:
    // CONTACT on, the body, MOVKW %R40, OUT Y0, END; returns the rung value
    // the body left.
    template <class Body>
    bool Run(Body body) {
        LadderBuilder p = Prog();
        p.Contact(kOn);
        body(p);
        p.Op("MOVKW", {kAfter, kAfterValue}).Out(kY0).End();
        SetRegWord(kAfter, 0);
        const i32 r = Exec(p);
        EXPECT_EQ(r, kLadderEnd) << LadderCheck_Text(Ladder_LastCheck().status) << "\n"
                                 << LadderDisassemble(p.Words(), p.Tok16());
        EXPECT_EQ(RegWord(kAfter), kAfterValue) << "the next instruction did not run";
        return RegBit(kY0);
    }

    static void Emit(LadderBuilder& p, const std::vector<Opd>& opds) {
        for (const Opd& o : opds) p.Operand(o.kind, o.value);
    }
    // The opcode, then the header of the mode form unless `mode` < 0.
    static void Head(LadderBuilder& p, u16 op, int mode, u16 flags) {
        p.Raw(op);
        if (mode >= 0) p.Raw(0).Raw(0).Raw(static_cast<u16>(mode)).Raw(flags);
    }
};

// ---- Loads and stores --------------------------------------------------

struct LoadCase {
    const char* name;
    u32 in;   // the register pair %R10-%R11 (low word first), or the literal
    u32 out;  // pushed entries: low (or only) entry, then the top entry << 16
    bool rung;
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr u32 kNaN = 0x7FC00000, kNegNaN = 0xFFC00001;

const LoadCase kLoads[] = {
    {"LDDI2I", 32767, 32767, true},
    {"LDDI2I", static_cast<u32>(-32768), 0x8000, true},
    {"LDDI2I", 32768, 0, false},
    {"LDDI2I", static_cast<u32>(-32769), 0, false},
    {"LDDI2I", 0x80000000u, 0, false},
    {"LDR2DI", F(-3.7f), static_cast<u32>(-3), true},
    {"LDR2DI", F(2147483520.0f), 2147483520u, true},
    {"LDR2DI", F(-2147483648.0f), 0x80000000u, true},
    {"LDR2DI", F(2147483648.0f), 0x7FFFFFFF, false},
    {"LDR2DI", F(-1e10f), 0x80000000u, false},
    {"LDR2DI", F(kInf), 0x7FFFFFFF, false},
    {"LDR2DI", kNaN, 0, false},
    {"LDR2DI", kNegNaN, 0, false},
    {"LDR2I", F(40000.0f), static_cast<u16>(-25536), false},
    {"LDR2I", kNaN, 0, false},
    {"LDR2I", F(-32768.0f), 0x8000, true},
    {"LDR2I", F(32767.0f), 0x7FFF, true},
    {"LDR2I", F(32767.5f), 0x7FFF, false},
    {"LDR2I", F(-2.9f), 0xFFFE, true},
    {"LDR2I", F(1e10f), 0xFFFF, false},  // low word of the saturated 2,147,483,647
    {"LDR2I", F(-kInf), 0, false},
    {"LDDI2R", 16777217, F(16777216.0f), true},
    {"LDDI2R", static_cast<u32>(-5), F(-5.0f), true},
    {"LDI2R", 0x7FFF8000, F(-32768.0f), true},  // only the first register counts
    {"LDI2R", 0xFFFF, F(-1.0f), true},
    {"LDW", 0x1234ABCD, 0xABCD, true},
    {"LDKW", 0xBEEF, 0xBEEF, true},
    {"LDD", 0x22221111, 0x22221111, true},
    {"LDKD", 0x89ABCDEF, 0x89ABCDEF, true},
    {"LDKI2DI", 0x8001, 0xFFFF8001, true},
    {"LDKI2DI", 0x7FFF, 0x00007FFF, true},
    {"LDI2DI", 0x0000FFFE, 0xFFFFFFFE, true},
    {"LDI2DI", 0xFFFF0005, 0x00000005, true},
    {"LDB", 0x1234AB12, 0xAB, true},  // the high byte of %R10
};

TEST_P(WordMove, LoadsPushConvertedValues) {
    for (const LoadCase& c : kLoads) {
        SCOPED_TRACE(::testing::Message() << c.name << " 0x" << std::hex << c.in);
        const LadderOp* op = LadderOp_Find(c.name);
        ASSERT_NE(op, nullptr);
        SetRegWord(kIn, static_cast<u16>(c.in));
        SetRegWord(kIn + 16, static_cast<u16>(c.in >> 16));
        SetRegWord(kOut, 0xEEEE);
        SetRegWord(kOut + 16, 0xEEEE);
        const LOpd kind = op->operands[0];
        const u32 operand = kind == LOpd::kLit || kind == LOpd::kLit2 ? c.in : kind == LOpd::kByte ? kIn + 8 : kIn;
        const bool two = op->wordDelta == 2;
        const bool rung = Run([&](LadderBuilder& p) {
            p.Op(c.name, {operand});
            // The top entry first.
            if (two) p.Op("STW", {kOut + 16});
            p.Op("STW", {kOut});
        });
        EXPECT_EQ(rung, c.rung);
        EXPECT_EQ(RegWord(kOut), static_cast<u16>(c.out));
        EXPECT_EQ(RegWord(kOut + 16), two ? static_cast<u16>(c.out >> 16) : 0xEEEE);
    }
}

TEST_P(WordMove, StoresPopIntoRegisters) {
    SetRegWord(R(23), 0x7777);
    const bool rung = Run([](LadderBuilder& p) {
        p.Op("LDKW", {0x1234}).Op("STW", {R(20)});
        // STD: the top entry (high word) into the second register.
        p.Op("LDKD", {0x11112222}).Op("STD", {R(21)});
        // STB: only the low byte of the entry, only the byte addressed.
        p.Op("LDKW", {0x55AA}).Op("STB", {RB(23, 1)});
        p.Op("LDB", {RB(23, 1)}).Op("STW", {R(24)});
    });
    EXPECT_TRUE(rung);
    EXPECT_EQ(RegWord(R(20)), 0x1234);
    EXPECT_EQ(RegWord(R(21)), 0x2222);
    EXPECT_EQ(RegWord(R(22)), 0x1111);
    EXPECT_EQ(RegWord(R(23)), 0xAA77);
    EXPECT_EQ(RegWord(R(24)), 0x00AA);
}

// ---- Register moves and fills -------------------------------------------

struct MoveCase {
    const char* name;
    std::vector<u32> operands;
    u16 after[5];  // %R20-%R24, preset 0x1111, 0x2222 ... 0x5555
    bool rung;
};

const MoveCase kMoves[] = {
    {"MOVW", {R(20), R(23)}, {0x4444, 0x2222, 0x3333, 0x4444, 0x5555}, true},
    {"MOVKW", {R(21), 0x9999}, {0x1111, 0x9999, 0x3333, 0x4444, 0x5555}, true},
    {"MOVD", {R(20), R(23)}, {0x4444, 0x5555, 0x3333, 0x4444, 0x5555}, true},
    // Overlapping pair: the 32-bit value is read whole before it is written.
    {"MOVD", {R(21), R(20)}, {0x1111, 0x1111, 0x2222, 0x4444, 0x5555}, true},
    {"MOVKD", {R(22), 0xABCD1234}, {0x1111, 0x2222, 0x1234, 0xABCD, 0x5555}, true},
    {"FILLW", {R(21), R(20), 3}, {0x1111, 0x1111, 0x1111, 0x1111, 0x5555}, true},
    {"FILLW", {R(21), R(20), 0}, {0x1111, 0x2222, 0x3333, 0x4444, 0x5555}, true},
    {"FILLW", {R(21), R(20), 65535}, {0x1111, 0x2222, 0x3333, 0x4444, 0x5555}, false},
    {"FILLKW", {R(22), 0x7777, 2}, {0x1111, 0x2222, 0x7777, 0x7777, 0x5555}, true},
    {"FILLKW", {R(22), 0x7777, 0}, {0x1111, 0x2222, 0x3333, 0x4444, 0x5555}, true},
    {"FILLKW", {R(21), 0x7777, 65535}, {0x1111, 0x2222, 0x3333, 0x4444, 0x5555}, false},
};

TEST_P(WordMove, MovesAndFills) {
    for (const MoveCase& c : kMoves) {
        SCOPED_TRACE(::testing::Message() << c.name << " count/value " << c.operands.back());
        for (u32 k = 0; k < 5; ++k) SetRegWord(R(20 + k), static_cast<u16>(0x1111 * (k + 1)));
        const bool rung = Run([&](LadderBuilder& p) {
            const LadderOp* op = LadderOp_Find(c.name);
            p.Raw(op->code);
            for (size_t i = 0; i < c.operands.size(); ++i) p.Operand(op->operands[i], c.operands[i]);
        });
        EXPECT_EQ(rung, c.rung);
        for (u32 k = 0; k < 5; ++k) EXPECT_EQ(RegWord(R(20 + k)), c.after[k]) << "%R" << 20 + k;
    }
}

// Moves do not depend on the rung value (programs skip them with SKIPF)
// and a move that succeeds does not make a FALSE rung TRUE.
TEST_P(WordMove, MovesRunOnAFalseRungAndLeaveItFalse) {
    SetRegWord(R(10), 0x1234);
    SetRegWord(R(11), 102);  // a pointer to %R102
    SetRegWord(R(102), 0xA102);
    SetRegWord(R(100), 0xB100);
    const bool rung = Run([](LadderBuilder& p) {
        p.SetFalse();
        p.Op("MOVW", {R(20), R(10)});
        p.Op("LDW", {R(10)}).Op("STW", {R(21)});
        p.Op("FILLKW", {R(22), 0x7777, 2});
        p.Raw(91).Operand(LOpd::kWord, R(24)).Operand(LOpd::kWord, R(10)).Raw(1);
        p.Raw(97).Operand(LOpd::kWord, R(25)).Operand(LOpd::kWord, R(11)).Raw(1);
        p.Raw(99).Raw(0).Raw(0).Raw(5).Raw(0);  // indexed: %R26 <- %R100[%R12]
        p.Operand(LOpd::kWord, R(26)).Operand(LOpd::kWord, R(100)).Raw(1);
        p.Operand(LOpd::kWord, R(12)).Operand(LOpd::kWord, R(13));
    });
    EXPECT_FALSE(rung);
    const u16 want[] = {0x1234, 0x1234, 0x7777, 0x7777, 0x1234, 0xA102, 0xB100};
    for (u32 k = 0; k < std::size(want); ++k) EXPECT_EQ(RegWord(R(20 + k)), want[k]) << "%R" << 20 + k;
}

// Counts are checked against the end of the register memory before the
// first word is written: a count that ends on the last word is carried
// out, one more writes nothing.
TEST_P(WordMove, CountsStopAtTheEndOfTheMemory) {
    const u32 dstWord = (R(100) - 0x400) / 16;
    const u32 srcWord = (R(2000) - 0x400) / 16;
    struct Case {
        const char* what;
        bool blk;
        u32 count;
        bool rung;
    };
    const u32 fillFits = kLastWord + 1 - dstWord;
    const u32 blkFits = kLastWord + 1 - srcWord;  // the source ends on the last word; the destination lies lower
    const Case cases[] = {
        {"FILLKW fits", false, fillFits, true},
        {"FILLKW one past", false, fillFits + 1, false},
        {"BLKMOV fits", true, blkFits, true},
        {"BLKMOV source one past", true, blkFits + 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(plc_reg + 2 * dstWord, plc_reg + kPlcRegBytes, 0);
        SetMemWord(srcWord, 0x4242);
        SetMemWord(kLastWord, 0x4343);
        const bool rung = Run([&](LadderBuilder& p) {
            if (c.blk)
                p.Raw(91).Operand(LOpd::kWord, R(100)).Operand(LOpd::kWord, R(2000)).Raw(static_cast<u16>(c.count));
            else
                p.Op("FILLKW", {R(100), 0x6161, c.count});
        });
        EXPECT_EQ(rung, c.rung);
        if (!c.rung) {
            EXPECT_EQ(MemWord(dstWord), 0);
            EXPECT_EQ(MemWord(kLastWord), 0x4343);
        } else if (c.blk) {
            EXPECT_EQ(MemWord(dstWord), 0x4242);
            EXPECT_EQ(MemWord(dstWord + c.count - 1), 0x4343);
        } else {
            EXPECT_EQ(MemWord(dstWord), 0x6161);
            EXPECT_EQ(MemWord(kLastWord), 0x6161);
        }
    }
}

// ---- Block move ------------------------------------------------------------

struct BlkCase {
    const char* what;
    int mode;  // -1: plain form
    std::vector<Opd> opds;
    u16 after[8];  // %R20-%R27, preset with the bytes 01 02 03 ... 10
    bool rung;
};

constexpr u16 kBlkPreset[8] = {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F};

const BlkCase kBlk[] = {
    {"plain",
     -1,
     {{LOpd::kWord, R(24)}, {LOpd::kWord, R(20)}, {LOpd::kLit, 3}},
     {0x0201, 0x0403, 0x0605, 0x0807, 0x0201, 0x0403, 0x0605, 0x100F},
     true},
    {"plain count 0",
     -1,
     {{LOpd::kWord, R(24)}, {LOpd::kWord, R(20)}, {LOpd::kLit, 0}},
     {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     true},
    // Upward one word at a time: a destination one word above the source
    // spreads the first word.
    {"plain src = dest - 1",
     -1,
     {{LOpd::kWord, R(21)}, {LOpd::kWord, R(20)}, {LOpd::kLit, 3}},
     {0x0201, 0x0201, 0x0201, 0x0201, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     true},
    {"plain src = dest + 1",
     -1,
     {{LOpd::kWord, R(20)}, {LOpd::kWord, R(21)}, {LOpd::kLit, 3}},
     {0x0403, 0x0605, 0x0807, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     true},
    {"plain past the memory",
     -1,
     {{LOpd::kWord, R(21)}, {LOpd::kWord, R(20)}, {LOpd::kLit, 65535}},
     {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     false},
    {"mode 2 src = dest - 1",
     2,
     {{LOpd::kWord, R(21)}, {LOpd::kWord, R(20)}, {LOpd::kLit, 2}},
     {0x0201, 0x0201, 0x0201, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     true},
    {"mode 4",
     4,
     {{LOpd::kWord, R(24)}, {LOpd::kWord, R(20)}, {LOpd::kLit, 2}},
     {0x0201, 0x0403, 0x0605, 0x0807, 0x0201, 0x0403, 0x0E0D, 0x100F},
     true},
    {"mode 1 odd bytes",
     1,
     {{LOpd::kByte, RB(24, 1)}, {LOpd::kByte, RB(20, 0)}, {LOpd::kLit, 3}},
     {0x0201, 0x0403, 0x0605, 0x0807, 0x0109, 0x0302, 0x0E0D, 0x100F},
     true},
    // Overlapping bytes move as with memmove, in either direction.
    {"mode 1 overlap upward",
     1,
     {{LOpd::kByte, RB(20, 1)}, {LOpd::kByte, RB(20, 0)}, {LOpd::kLit, 5}},
     {0x0101, 0x0302, 0x0504, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     true},
    {"mode 1 overlap downward",
     1,
     {{LOpd::kByte, RB(20, 0)}, {LOpd::kByte, RB(20, 1)}, {LOpd::kLit, 3}},
     {0x0302, 0x0404, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F},
     true},
    // Any other mode: the header alone.
    {"mode 0", 0, {}, {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F}, true},
    {"mode 5", 5, {}, {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F}, true},
    {"mode 0xFFFF", 0xFFFF, {}, {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F}, true},
};

TEST_P(WordMove, BlockMoveBothForms) {
    for (const BlkCase& c : kBlk) {
        SCOPED_TRACE(c.what);
        for (u32 k = 0; k < 8; ++k) SetRegWord(R(20 + k), kBlkPreset[k]);
        const bool rung = Run([&](LadderBuilder& p) {
            Head(p, 91, c.mode, 0xFFFF);  // the fourth header word is not read
            Emit(p, c.opds);
        });
        EXPECT_EQ(rung, c.rung);
        for (u32 k = 0; k < 8; ++k) EXPECT_EQ(RegWord(R(20 + k)), c.after[k]) << "%R" << 20 + k;
    }
}

// ---- Table moves -------------------------------------------------------

struct TblCase {
    const char* what;
    u16 op;
    int mode;  // -1: plain form
    u16 flags;
    std::vector<Opd> opds;
    std::vector<RegVal> before;
    std::vector<RegVal> after;
    bool rung;
};

// The table %R100-%R111 holds 0xA000 + i; %R30-%R33 hold 0xEEEE.
constexpr u32 kPtr = R(10), kPtr2 = R(11);
const Opd kDst{LOpd::kWord, R(30)}, kBase{LOpd::kWord, R(100)}, kIdx{LOpd::kWord, R(10)}, kIdx2{LOpd::kWord, R(11)};
constexpr Opd K(u32 n) { return {LOpd::kLit, n}; }
constexpr Opd Wd(u32 a) { return {LOpd::kWord, a}; }
constexpr Opd By(u32 a) { return {LOpd::kByte, a}; }

const std::vector<RegVal> kDstUnchanged = {{R(30), 0xEEEE}, {R(31), 0xEEEE}};

const TblCase kTables[] = {
    // Plain form: pointer registers holding %R numbers.
    {"TBLGET plain, last two %R",
     97, -1, 0, {kDst, Wd(kPtr), K(2)},
     {{kPtr, 50239}, {R(50239), 0x1234}, {R(50240), 0x5678}},
     {{R(30), 0x1234}, {R(31), 0x5678}, {R(32), 0xEEEE}}, true},
    {"TBLGET plain, past %R50240", 97, -1, 0, {kDst, Wd(kPtr), K(2)}, {{kPtr, 50240}}, kDstUnchanged, false},
    {"TBLGET plain, pointer 0", 97, -1, 0, {kDst, Wd(kPtr), K(1)}, {{kPtr, 0}}, kDstUnchanged, false},
    {"TBLPUT plain",
     98, -1, 0, {Wd(kPtr), kBase, K(3)}, {{kPtr, 200}},
     {{R(200), 0xA000}, {R(201), 0xA001}, {R(202), 0xA002}, {R(203), 0}}, true},
    {"TBLPUT plain, past %R50240",
     98, -1, 0, {Wd(kPtr), kBase, K(3)}, {{kPtr, 50239}}, {{R(50239), 0}, {R(50240), 0}}, false},
    {"TBLCOPY plain",
     99, -1, 0, {Wd(kPtr), Wd(kPtr2), K(2)}, {{kPtr, 300}, {kPtr2, 104}},
     {{R(300), 0xA004}, {R(301), 0xA005}, {R(302), 0}}, true},
    {"TBLCOPY plain, source pointer 0",
     99, -1, 0, {Wd(kPtr), Wd(kPtr2), K(2)}, {{kPtr, 300}, {kPtr2, 0}}, {{R(300), 0}}, false},

    // Indexed forms: base + index x step.
    {"TBLGET mode 5 (always indexed)",
     97, 5, 0, {kDst, kBase, K(2), kIdx}, {{kPtr, 3}},
     {{R(30), 0xA003}, {R(31), 0xA004}, {R(32), 0xEEEE}}, true},
    {"TBLGET mode 2, step 2 words",
     97, 2, 4, {kDst, kBase, K(2), kIdx}, {{kPtr, 3}}, {{R(30), 0xA006}, {R(31), 0xA007}}, true},
    {"TBLPUT mode 4, step 4 words",
     98, 4, 8, {kBase, Wd(R(20)), K(2), kIdx}, {{kPtr, 2}, {R(20), 0x1111}, {R(21), 0x2222}},
     {{R(107), 0xA007}, {R(108), 0x1111}, {R(109), 0x2222}, {R(110), 0xA00A}}, true},
    {"TBLGET mode 1, bytes",
     97, 1, 4, {By(RB(30, 0)), By(RB(100, 0)), K(3), kIdx}, {{kPtr, 3}},
     {{R(30), 0x02A0}, {R(31), 0xEEA0}}, true},
    {"TBLCOPY mode 5: source index, then destination index",
     99, 5, 0, {kDst, kBase, K(2), kIdx, kIdx2}, {{kPtr, 4}, {kPtr2, 1}},
     {{R(30), 0xEEEE}, {R(31), 0xA004}, {R(32), 0xA005}, {R(33), 0xEEEE}}, true},
    {"TBLCOPY mode 1, overlapping bytes move as memmove",
     99, 1, 12, {By(RB(100, 0)), By(RB(100, 0)), K(4), kIdx, kIdx2}, {{kPtr, 0}, {kPtr2, 1}},
     {{R(100), 0x0000}, {R(101), 0x01A0}, {R(102), 0xA0A0}}, true},
    {"TBLPUT mode 5, index beyond the memory",
     98, 5, 0, {kBase, Wd(R(20)), K(1), kIdx}, {{kPtr, 60000}, {R(20), 0x1111}}, {{R(100), 0xA000}}, false},
    {"TBLGET mode 5, index onto the last word",
     97, 5, 0, {kDst, Wd(R(1)), K(1), kIdx}, {{kPtr, kLastWord - 1984}, {lreg::Word(kLastWord), 0x4343}},
     {{R(30), 0x4343}}, true},
    {"TBLGET mode 5, index one word short of the end",
     97, 5, 0, {kDst, Wd(R(1)), K(2), kIdx}, {{kPtr, kLastWord - 1984}, {lreg::Word(kLastWord), 0x4343}},
     kDstUnchanged, false},

    // Pointer forms of the mode form.
    {"TBLGET mode 2 pointer, last two %R",
     97, 2, 1, {kDst, Wd(kPtr), K(2)}, {{kPtr, 50239}, {R(50239), 0x1234}, {R(50240), 0x5678}},
     {{R(30), 0x1234}, {R(31), 0x5678}}, true},
    {"TBLGET mode 2 pointer, past %R50240", 97, 2, 1, {kDst, Wd(kPtr), K(2)}, {{kPtr, 50240}}, kDstUnchanged, false},
    // The count is of words: the check covers exactly the words copied.
    {"TBLGET mode 4 pointer, count in words",
     97, 4, 1, {kDst, Wd(kPtr), K(2)}, {{kPtr, 50239}, {R(50239), 0x1234}, {R(50240), 0x5678}},
     {{R(30), 0x1234}, {R(31), 0x5678}}, true},
    {"TBLGET mode 1 pointer, the two bytes of %R50240",
     97, 1, 1, {By(RB(30, 1)), Wd(kPtr), K(2)}, {{kPtr, 50240}, {R(50240), 0x5678}},
     {{R(30), 0x78EE}, {R(31), 0xEE56}}, true},
    // An odd third byte lies in %R50241.
    {"TBLGET mode 1 pointer, a byte past %R50240",
     97, 1, 1, {By(RB(30, 0)), Wd(kPtr), K(3)}, {{kPtr, 50240}}, kDstUnchanged, false},
    {"TBLPUT mode 5 has no pointer form",
     98, 5, 2, {kBase, Wd(R(20)), K(1), kIdx}, {{kPtr, 1}, {R(20), 0x1111}}, {{R(101), 0x1111}}, true},
    {"TBLCOPY mode 3 pointer",
     99, 3, 3, {Wd(kPtr), Wd(kPtr2), K(2)}, {{kPtr, 300}, {kPtr2, 102}},
     {{R(300), 0xA002}, {R(301), 0xA003}}, true},

    // A mode without element: the header alone, nothing changes.
    {"TBLGET mode 0", 97, 0, 0xF, {}, {}, kDstUnchanged, true},
    {"TBLCOPY mode 6", 99, 6, 0xF, {}, {}, kDstUnchanged, true},
    // Flags that choose no form: FALSE, nothing copied, every operand skipped
    // (an index register word read as a contact would push TRUE).
    {"TBLGET mode 2, no flags", 97, 2, 0, {kDst, kBase, K(2), kIdx}, {{kPtr, 0xFFFF}}, kDstUnchanged, false},
    {"TBLPUT mode 1, source flags only",
     98, 1, 5, {By(RB(30, 0)), By(RB(100, 0)), K(2), kIdx}, {{kPtr, 0xFFFF}}, kDstUnchanged, false},
    {"TBLCOPY mode 3, one side indexed, one through a pointer",
     99, 3, 0x9, {kDst, kBase, K(2), kIdx, kIdx2}, {{kPtr, 0xFFFF}, {kPtr2, 0xFFFF}}, kDstUnchanged, false},
};

TEST_P(WordMove, TableMoves) {
    for (const TblCase& c : kTables) {
        SCOPED_TRACE(c.what);
        for (u32 k = 0; k < 12; ++k) SetRegWord(R(100 + k), static_cast<u16>(0xA000 + k));
        for (u32 k = 0; k < 4; ++k) SetRegWord(R(30 + k), 0xEEEE);
        for (const RegVal& v : c.before) SetRegWord(v.addr, v.value);
        const bool rung = Run([&](LadderBuilder& p) {
            Head(p, c.op, c.mode, c.flags);
            Emit(p, c.opds);
        });
        EXPECT_EQ(rung, c.rung);
        for (const RegVal& v : c.after) EXPECT_EQ(RegWord(v.addr), v.value) << "bit address 0x" << std::hex << v.addr;
        // Clean the words the case set far away.
        for (u32 n : {200u, 201u, 202u, 300u, 301u, 50239u, 50240u}) SetRegWord(R(n), 0);
        SetMemWord(kLastWord, 0);
    }
}

// Hostile block and table moves: random forms, modes, flags, operands,
// counts, and index and pointer registers (which peers can write). What the
// checker accepts runs to END without touching anything outside the
// register memory (the sanitizer build watches every access).
TEST_P(WordMove, RandomMovesStayInsideTheMemory) {
    std::mt19937 rng(20261210);
    const bool tok16 = GetParam() == LadderWidth::k16;
    const u32 lastAddr = lreg::Word(kLastWord);
    const u32 places[] = {R(10), R(11), R(30), R(100), lreg::Word(0), tok16 ? R(2000) : lastAddr,
                          tok16 ? R(2047) : lastAddr - 16 * 3};
    const u16 values[] = {0, 1, 2, 50239, 50240, 50241, 65535, static_cast<u16>(kLastWord - 1984), 12345};
    const u16 counts[] = {0, 1, 2, 3, 7, 4000, 50606, 65535};
    const u16 ops[] = {91, 97, 98, 99};
    int ran = 0;
    for (int round = 0; round < 1500; ++round) {
        const u16 op = ops[rng() % 4];
        const int mode = rng() % 3 == 0 ? -1 : static_cast<int>(rng() % 7);
        const LOpd elem = mode == 1 ? LOpd::kByte : LOpd::kWord;
        SetRegWord(R(10), values[rng() % std::size(values)]);
        SetRegWord(R(11), values[rng() % std::size(values)]);
        // The longest operand list, cut to the length the instruction takes.
        LadderBuilder ins = Prog();
        Head(ins, op, mode, static_cast<u16>(rng() % 16));
        auto place = [&] { return places[rng() % std::size(places)] + (elem == LOpd::kByte ? 8 * (rng() % 2) : 0); };
        ins.Operand(elem, place()).Operand(elem, place()).Raw(counts[rng() % std::size(counts)]);
        ins.Operand(LOpd::kWord, R(10 + rng() % 2)).Operand(LOpd::kWord, R(10 + rng() % 2));
        const std::vector<u16> w = ins.Words();
        const u32 n = LadderInstruction_Words(w.data(), static_cast<u32>(w.size()), tok16);
        ASSERT_NE(n, 0u);
        LadderBuilder p = Prog();
        p.Contact(kOn);
        for (u32 k = 0; k < n; ++k) p.Raw(w[k]);
        p.Out(kY0).End();
        Load(p);
        const i32 r = Scan();
        if (!Ladder_LastCheck().Ok()) continue;
        ++ran;
        ASSERT_EQ(r, kLadderEnd) << LadderDisassemble(p.Words(), tok16);
    }
    EXPECT_GT(ran, 500);
}

LADDER_BOTH_WIDTHS(WordMove);

// The layout decoders list every register operand, so the checker refuses
// a program where any of them lies outside the memory (only 32-bit
// addresses reach past it), and one whose operands run past the code.
TEST(WordMoveCheck, EveryRegisterOperandIsChecked) {
    constexpr u32 kOutside = 0x400 + kPlcRegBytes * 8;  // the first bit address past the memory
    constexpr u32 kLastByte = kOutside - 8;
    struct Case {
        const char* what;
        u16 op;
        int mode;
        u16 flags;
        std::vector<Opd> opds;
        LadderCheckStatus status;
    };
    const Opd ok = Wd(R(30));
    const Opd bad = Wd(kOutside);
    const Case cases[] = {
        {"BLKMOV plain dest", 91, -1, 0, {bad, ok, K(1)}, LadderCheckStatus::kBadOperand},
        {"BLKMOV plain src", 91, -1, 0, {ok, bad, K(1)}, LadderCheckStatus::kBadOperand},
        {"BLKMOV mode 1 src", 91, 1, 0, {By(RB(30, 0)), By(kOutside), K(1)}, LadderCheckStatus::kBadOperand},
        {"BLKMOV mode 1 last byte", 91, 1, 0, {By(RB(30, 0)), By(kLastByte), K(1)}, LadderCheckStatus::kOk},
        {"TBLGET plain pointer", 97, -1, 0, {ok, bad, K(1)}, LadderCheckStatus::kBadOperand},
        {"TBLCOPY indexed src index", 99, 5, 0, {ok, ok, K(1), bad, ok}, LadderCheckStatus::kBadOperand},
        {"TBLCOPY indexed dest index", 99, 5, 0, {ok, ok, K(1), ok, bad}, LadderCheckStatus::kBadOperand},
        {"TBLCOPY indexed", 99, 5, 0, {ok, ok, K(1), ok, ok}, LadderCheckStatus::kOk},
        {"TBLPUT pointer register", 98, 2, 2, {bad, ok, K(1)}, LadderCheckStatus::kBadOperand},
        {"TBLGET no form, index register", 97, 2, 0, {ok, ok, K(1), bad}, LadderCheckStatus::kBadOperand},
        {"TBLGET mode 1 base byte", 97, 1, 4, {By(RB(30, 0)), By(kOutside), K(1), ok}, LadderCheckStatus::kBadOperand},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LadderBuilder p(LadderWidth::k32);
        p.Contact(kOn);
        p.Raw(c.op);
        if (c.mode >= 0) p.Raw(0).Raw(0).Raw(static_cast<u16>(c.mode)).Raw(c.flags);
        for (const Opd& o : c.opds) p.Operand(o.kind, o.value);
        p.Out(kY0).End();
        const std::vector<u16> w = p.Words();
        const LadderCheckResult r = LadderCheck_Words(w.data(), static_cast<u32>(w.size()), false);
        EXPECT_EQ(r.status, c.status) << LadderCheck_Text(r.status);
        if (c.status != LadderCheckStatus::kOk) {
            EXPECT_EQ(r.offset, 1u);
        }
    }
}

TEST(WordMoveCheck, TruncatedOperandsAreRefused) {
    for (bool tok16 : {true, false}) {
        for (u16 op : {u16{91}, u16{97}, u16{99}}) {
            SCOPED_TRACE(::testing::Message() << "opcode " << op << (tok16 ? " tok16" : " tok32"));
            LadderBuilder p(tok16 ? LadderWidth::k16 : LadderWidth::k32);
            p.Raw(op).Raw(0).Raw(0).Raw(2).Raw(op == 91 ? 0 : 12);
            p.Operand(LOpd::kWord, R(30)).Operand(LOpd::kWord, R(31));
            // The count word (and the index registers) are missing.
            const std::vector<u16> w = p.Words();
            EXPECT_EQ(LadderInstruction_Words(w.data(), static_cast<u32>(w.size()), tok16), 0u);
        }
    }
}

}  // namespace
