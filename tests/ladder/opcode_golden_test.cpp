// The ladder instruction set written out by hand, one row per instruction:
// its name, its opcode numbers and the operand words that follow it. The
// opcode table is checked against these rows through its public lookups, in
// both token widths, so a wrong number, name or layout in the table fails
// here even when every program builder agrees with it.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ladder/ladder_ops.h"

namespace {

// Operand letters, in the order the words follow the opcode:
//   b  register bit             1 word (16-bit tokens), 2 words (32-bit)
//   w  register word            1 / 2; with 16-bit tokens a far-bank escape
//                               word in front makes it 2
//   y  register byte            as w
//   s  register word, short     as w
//   k  literal word             1 / 1
//   K  literal double word      2 / 2
//   q  literal or register      1 / 2
//   f  20-byte format text      10 / 10
//   r  seven-word record        7 / 7
// Instead of letters:
//   *  several encodings, decoded by the instruction's family
//   @  carried out by a block routine, which gives its own length
//   !  assigned but not carried out by this interpreter
struct Golden {
    u16 first, last;
    const char* name;
    const char* operands;
    u8 span = 1;  // register words each word operand reaches (bytes: always 1)
};

const Golden kGolden[] = {
    {9, 9, "END", ""},
    {31, 31, "CONTL", "b"},
    {32, 32, "NOT", ""},
    {33, 33, "SETTRUE", ""},
    {34, 34, "SETFALSE", ""},
    {35, 35, "OR", ""},
    {36, 36, "AND", ""},
    {38, 38, "OUT", "b"},
    {39, 39, "SCRFORCE", "k"},
    {40, 40, "SCRTEST", "k"},
    {41, 41, "ALMLIST", "*"},
    {48, 48, "SCRSWITCH", "k"},
    {50, 50, "OSRISE", "b"},
    {51, 51, "OSFALL", "b"},
    {52, 52, "SET", "b"},
    {53, 53, "RESET", "b"},
    {54, 54, "OUTNOT", "b"},
    {55, 55, "POP", ""},
    {56, 56, "REPUSH", ""},
    {60, 60, "ANDN", ""},
    {61, 61, "ORN", ""},
    {62, 62, "NAND", ""},
    {63, 63, "NOR", ""},
    {64, 64, "ORAND", ""},
    {65, 65, "ANDOR", ""},
    {68, 68, "JMPL", "K"},
    {69, 69, "CALLL", "K"},
    {70, 70, "SKIPF", "k"},
    {71, 71, "JMP", "k"},
    {73, 73, "CALL", "k"},
    {74, 74, "RET", ""},
    {75, 75, "LDDI2I", "w", 2},
    {76, 76, "LDR2DI", "w", 2},
    {77, 77, "LDR2I", "w", 2},
    {78, 78, "LDDI2R", "w", 2},
    {79, 79, "LDI2R", "w"},
    {80, 80, "LDW", "w"},
    {81, 81, "LDKW", "k"},
    {82, 82, "STW", "w"},
    {83, 83, "LDD", "w", 2},
    {84, 84, "LDKD", "K"},
    {85, 85, "STD", "w", 2},
    {86, 86, "LDKI2DI", "k"},
    {87, 87, "LDI2DI", "w"},
    {90, 90, "MOVW", "ww"},
    {91, 91, "BLKMOV", "*"},
    {92, 92, "MOVKW", "wk"},
    {93, 93, "FILLW", "wwk"},
    {94, 94, "FILLKW", "wkk"},
    {95, 95, "MOVD", "ww", 2},
    {96, 96, "MOVKD", "wK", 2},
    {97, 97, "TBLGET", "*"},
    {98, 98, "TBLPUT", "*"},
    {99, 99, "TBLCOPY", "*"},
    {100, 100, "ANDW", ""},
    {101, 101, "ORW", ""},
    {102, 102, "XORW", ""},
    {103, 103, "NOTW", ""},
    {104, 104, "ANDD", ""},
    {105, 105, "ORD", ""},
    {106, 106, "XORD", ""},
    {107, 107, "NOTD", ""},
    {108, 108, "DEG2RAD", ""},
    {109, 109, "RAD2DEG", ""},
    {110, 110, "SHLW", ""},
    {111, 111, "SHRW", ""},
    {112, 112, "ROLW", ""},
    {113, 113, "RORW", ""},
    {114, 114, "SHLD", ""},
    {115, 115, "SHRD", ""},
    {116, 116, "ROLD", ""},
    {117, 117, "RORD", ""},
    {118, 119, "MREGSHIFT", "@"},
    {120, 120, "ADDI", ""},
    {121, 121, "SUBI", ""},
    {122, 122, "MULI", ""},
    {123, 123, "DIVI", ""},
    {124, 124, "ADDDI", ""},
    {125, 125, "SUBDI", ""},
    {126, 126, "MULDI", ""},
    {127, 127, "DIVDI", ""},
    {128, 128, "ADDR", ""},
    {129, 129, "SUBR", ""},
    {130, 130, "MULR", ""},
    {131, 131, "DIVR", ""},
    {132, 132, "TALKOPEN", "@"},
    {133, 133, "TALKSEND", "@"},
    {134, 134, "TALKRECV", "@"},
    {135, 135, "TALKCLOSE", "@"},
    {136, 136, "TALKMODEM", "@"},
    {137, 137, "TALKMODBUS", "@"},
    {140, 140, "ABSI", ""},
    {141, 141, "MODI", ""},
    {142, 142, "SQRTI", ""},
    {143, 143, "ABSDI", ""},
    {144, 144, "MODDI", ""},
    {145, 145, "SQRTDI", ""},
    {146, 146, "ABSR", ""},
    {147, 147, "MODR", ""},
    {148, 148, "SQRTR", ""},
    {149, 149, "POWR", ""},
    {150, 150, "LOGR", ""},
    {151, 151, "EXPR", ""},
    {152, 152, "LNR", ""},
    {153, 153, "SINR", ""},
    {154, 154, "COSR", ""},
    {155, 155, "TANR", ""},
    {156, 156, "ASINR", ""},
    {157, 157, "ACOSR", ""},
    {158, 158, "ATANR", ""},
    {160, 160, "EQI", ""},
    {161, 161, "NEI", ""},
    {162, 162, "LTI", ""},
    {163, 163, "GTI", ""},
    {164, 164, "LEI", ""},
    {165, 165, "GEI", ""},
    {166, 166, "EQDI", ""},
    {167, 167, "NEDI", ""},
    {168, 168, "LTDI", ""},
    {169, 169, "GTDI", ""},
    {170, 170, "LEDI", ""},
    {171, 171, "GEDI", ""},
    {172, 172, "EQR", ""},
    {173, 173, "NER", ""},
    {174, 174, "LTR", ""},
    {175, 175, "GTR", ""},
    {176, 176, "LER", ""},
    {177, 177, "GER", ""},
    {178, 178, "STRCMP", "kyy"},
    {179, 179, "STRCMPK", "*"},
    {182, 182, "STRMOV", "kyy"},
    {183, 183, "STRMOVK", "*"},
    {184, 184, "STR2NUM", "wyk"},
    {187, 187, "NUM2STR", "*"},
    {188, 188, "STRLEN", "wy"},
    {192, 192, "RANGEI", ""},
    {193, 193, "RANGEDI", ""},
    {194, 194, "RANGER", ""},
    {195, 195, "LDB", "y"},
    {196, 196, "STB", "y"},
    {199, 199, "CNT32", "@"},
    {200, 203, "CNT16", "@"},
    {204, 215, "TMR16", "@"},
    {230, 230, "RTCSET", "w", 7},
    {240, 243, "PID", "@"},
    {244, 244, "SUNPOS", "@"},
    {248, 254, "FILE", "@"},
    {260, 260, "MULB", ""},
    {261, 261, "DIVB", ""},
    {262, 262, "MULUW", ""},
    {263, 263, "DIVUW", ""},
    {264, 264, "MULUD", ""},
    {265, 265, "DIVUD", ""},
    {266, 266, "ADDSB", ""},
    {267, 267, "SUBSB", ""},
    {268, 268, "MULSB", ""},
    {269, 269, "DIVSB", ""},
    {270, 270, "SHLB", ""},
    {271, 271, "SHRB", ""},
    {272, 272, "ROLB", ""},
    {273, 273, "RORB", ""},
    {280, 280, "GTB", ""},
    {281, 281, "GEB", ""},
    {282, 282, "GTUW", ""},
    {283, 283, "GEUW", ""},
    {284, 284, "GTUD", ""},
    {285, 285, "GEUD", ""},
    {286, 286, "EQSB", ""},
    {287, 287, "GTSB", ""},
    {288, 288, "GESB", ""},
    {289, 289, "ADDU", "*"},
    {290, 290, "SUBU", "*"},
    {291, 291, "SQRTU", "*"},
    {292, 292, "MODU", "*"},
    {300, 300, "CVTUB2W", "y"},
    {301, 301, "CVTUB2D", "y"},
    {302, 302, "CVTUB2R", "y"},
    {303, 303, "CVTUB2UW", "y"},
    {304, 304, "CVTUB2UD", "y"},
    {305, 305, "CVTUW2SB", "w"},
    {306, 306, "CVTUW2D", "w"},
    {307, 307, "CVTUW2R", "w"},
    {308, 308, "CVTUW2UB", "w"},
    {309, 309, "CVTUW2UD", "w"},
    {310, 310, "CVTUD2SB", "w", 2},
    {311, 311, "CVTD2W", "w", 2},
    {312, 312, "CVTUD2R", "w", 2},
    {313, 313, "CVTUD2UB", "w", 2},
    {314, 314, "CVTUD2UW", "w", 2},
    {315, 315, "CVTW2UB", "w"},
    {316, 316, "CVTW2UD", "w"},
    {317, 317, "CVTD2UB", "w", 2},
    {318, 318, "CVTD2UW", "w", 2},
    {319, 319, "CVTR2UB", "w", 2},
    {320, 320, "CVTR2UW", "w", 2},
    {321, 321, "CVTR2UD", "w", 2},
    {324, 324, "CVTSB2W", "y"},
    {325, 325, "CVTSB2D", "y"},
    {326, 326, "CVTSB2R", "y"},
    {327, 327, "CVTSB2UW", "y"},
    {328, 328, "CVTSB2UD", "y"},
    {329, 329, "CVTW2SB", "w"},
    {330, 330, "CVTD2SB", "w", 2},
    {331, 331, "CVTR2SB", "w", 2},
    {340, 340, "CONTX", "ks"},
    {341, 341, "OUTX", "ks"},
    {342, 342, "LDBX", "ys"},
    {343, 343, "STBX", "ys"},
    {344, 344, "LDWX", "ws"},
    {345, 345, "STWX", "ws"},
    {346, 346, "LDDX", "ws"},
    {347, 347, "STDX", "ws"},
    {350, 350, "PTRADDR", "wyk", 2},
    {351, 351, "LDBP", "wk", 2},
    {352, 352, "LDWP", "wk", 2},
    {353, 353, "LDDP", "wk", 2},
    {354, 354, "CONTP", "wk", 2},
    {355, 355, "STBP", "wk", 2},
    {356, 356, "STWP", "wk", 2},
    {357, 357, "STDP", "wk", 2},
    {358, 358, "OUTP", "wk", 2},
    {359, 359, "PTRADDRX", "wys", 2},
    {360, 360, "CONTEQ1", "w"},
    {361, 361, "STEP", "wKKKK", 3},
    {362, 362, "TESTW", "ws"},
    {363, 363, "TESTD", "ws", 2},
    {364, 364, "MASKW", "ws"},
    {365, 365, "MASKD", "ws", 2},
    {367, 367, "CANOPEN", "@"},
    {370, 370, "SCHED", "@"},
    {372, 379, "SCHED", "@"},
    {381, 381, "FLOW", "@"},
    {384, 384, "BITARR", "r"},
    {394, 394, "TALKIEC", "*"},
    {400, 400, "U64STR", "yw", 4},
    {450, 455, "TMR32", "@"},
    {458, 463, "TMR16", "@"},
    {466, 471, "TMR32", "@"},
    {474, 479, "TMR16", "@"},
    {482, 487, "TMR32", "@"},
    {498, 503, "TMR32", "@"},
    {505, 505, "PMOVW", "wwk", 2},
    {506, 506, "PFILLP", "wwk", 2},
    {507, 507, "PFILLK", "wkk", 2},
    {508, 508, "PMOVD", "ww", 2},
    {509, 509, "PMOVKD", "wK", 2},
    {511, 511, "PSTRCPY", "ww", 2},
    {512, 512, "PSTRCAT", "ww", 2},
    {513, 513, "PSTREQ", "ww", 2},
    {514, 514, "PSTRNE", "ww", 2},
    {515, 515, "PSTRGE", "ww", 2},
    {516, 516, "PSTR2NUM", "wwk", 2},
    {517, 517, "PNUM2STR", "*"},
    {518, 518, "PNUM2VSTR", "*"},
    {519, 519, "PCSTR2NUM", "wwk", 2},
    {520, 520, "RTCSETP", "w", 2},
    {523, 526, "PIDX", "@"},
    {528, 528, "ALMLISTX", "*"},
    {529, 530, "MREGSHIFTX", "@"},
    {531, 531, "TALKMODBUSX", "@"},
    {544, 544, "NODEID", "q"},
};

// Unassigned codes that older editors left in programs: one-word
// no-operations.
const u16 kGoldenNops[] = {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191};

// Words of one operand letter: {16-bit tokens, 32-bit tokens}.
struct LetterWords {
    u32 tok16, tok32;
    bool reg;
};
LetterWords Letter(char c) {
    switch (c) {
    case 'b': case 'w': case 'y': case 's': return {1, 2, true};
    case 'k': return {1, 1, false};
    case 'K': return {2, 2, false};
    case 'q': return {1, 2, false};
    case 'f': return {10, 10, false};
    case 'r': return {7, 7, false};
    }
    ADD_FAILURE() << "unknown operand letter " << c;
    return {0, 0, false};
}

// The instruction at `code` with plain operand words (no far-bank escape);
// `escape` puts the escape word in front of every word, byte and short
// operand (16-bit tokens only).
std::vector<u16> Encode(u16 code, const char* operands, bool tok16, bool escape) {
    std::vector<u16> w{code};
    for (const char* c = operands; *c; ++c) {
        const LetterWords l = Letter(*c);
        const bool escapable = tok16 && escape && (*c == 'w' || *c == 'y' || *c == 's');
        if (escapable) w.push_back(1776);
        for (u32 i = 0; i < (tok16 ? l.tok16 : l.tok32); ++i) w.push_back(static_cast<u16>(0x500 + i));
    }
    return w;
}

}  // namespace

// Every row: the name of each of its codes, and for the instructions of one
// encoding their length and register operands in both token widths, with
// and without far-bank escapes; one word fewer is too short.
TEST(LadderGoldenTable, EveryInstructionHasItsNumberNameAndLayout) {
    for (const Golden& g : kGolden) {
        for (u32 code = g.first; code <= g.last; ++code) {
            SCOPED_TRACE(::testing::Message() << g.name << " " << code);
            const LadderOp& op = LadderOp_Get(static_cast<u16>(code));
            ASSERT_NE(op.name, nullptr);
            EXPECT_STREQ(op.name, g.name);
            EXPECT_EQ(op.code, code);
            if (!std::strcmp(g.operands, "!")) {
                EXPECT_FALSE(op.Built());
                continue;
            }
            EXPECT_TRUE(op.Built());
            if (!std::strcmp(g.operands, "@")) {
                EXPECT_EQ(op.exec, LExec::kRoutine);
                continue;
            }
            if (!std::strcmp(g.operands, "*")) {
                EXPECT_NE(op.layout, nullptr);
                EXPECT_EQ(op.operandCount, 0);
                continue;
            }
            EXPECT_EQ(op.layout, nullptr);
            EXPECT_NE(op.exec, LExec::kRoutine);
            for (bool tok16 : {true, false}) {
                for (bool escape : {false, true}) {
                    if (escape && !tok16) continue;
                    SCOPED_TRACE(tok16 ? (escape ? "16-bit, escaped" : "16-bit") : "32-bit");
                    std::vector<u16> w = Encode(static_cast<u16>(code), g.operands, tok16, escape);
                    const u32 words = static_cast<u32>(w.size());
                    w.insert(w.end(), {0x500, 0x500, 0x500});  // more program after it
                    const LadderLayout l = LadderInstruction_Layout(w.data(), static_cast<u32>(w.size()), tok16);
                    EXPECT_EQ(l.status, LLayoutStatus::kOk);
                    EXPECT_EQ(l.words, words);
                    EXPECT_EQ(LadderInstruction_Words(w.data(), static_cast<u32>(w.size()), tok16), words);
                    EXPECT_EQ(LadderInstruction_Words(w.data(), words - 1, tok16), 0u) << "one word short";
                    // The register operands: where each starts and what it spans.
                    std::vector<std::pair<u16, u16>> want;
                    u32 at = 1;
                    for (const char* c = g.operands; *c; ++c) {
                        if (tok16 && escape && (*c == 'w' || *c == 'y' || *c == 's')) {
                            want.push_back({static_cast<u16>(at), *c == 'y' ? u16{1} : u16{g.span}});
                            at += 2;
                            continue;
                        }
                        const LetterWords lw = Letter(*c);
                        if (lw.reg) want.push_back({static_cast<u16>(at), *c == 'y' ? u16{1} : u16{g.span}});
                        at += tok16 ? lw.tok16 : lw.tok32;
                    }
                    std::vector<std::pair<u16, u16>> got;
                    for (u8 i = 0; i < l.count; ++i) got.push_back({l.regs[i].at, l.regs[i].span});
                    EXPECT_EQ(got, want);
                }
            }
        }
    }
    for (u16 code : kGoldenNops) {
        SCOPED_TRACE(code);
        EXPECT_EQ(LadderOp_Get(code).name, nullptr);
        EXPECT_EQ(LadderOp_Get(code).exec, LExec::kNop);
        const u16 w[] = {code, 0x500};
        EXPECT_EQ(LadderInstruction_Words(w, 2, true), 1u);
        EXPECT_EQ(LadderInstruction_Words(w, 2, false), 1u);
    }
    // A name finds the first row that has it.
    std::set<std::string> seen;
    for (const Golden& g : kGolden) {
        if (!seen.insert(g.name).second) continue;
        const LadderOp* op = LadderOp_Find(g.name);
        ASSERT_NE(op, nullptr) << g.name;
        EXPECT_EQ(op->code, g.first) << g.name;
    }
    // Contact words are one word.
    for (u16 contact : {u16{0x400}, u16{0x1234}, u16{0xFFFF}}) {
        const u16 w[] = {contact, 0x500};
        EXPECT_EQ(LadderInstruction_Words(w, 2, true), 1u);
        EXPECT_EQ(LadderInstruction_Words(w, 2, false), 1u);
    }
}

// The table has no instruction the rows above lack; every other opcode below
// the contact words is a no-operation of the list or a program fault.
TEST(LadderGoldenTable, TableHasNoInstructionTheGoldenRowsLack) {
    std::map<u32, const Golden*> byCode;
    for (const Golden& g : kGolden)
        for (u32 c = g.first; c <= g.last; ++c) EXPECT_TRUE(byCode.emplace(c, &g).second) << "code twice " << c;
    const std::set<u16> nops(std::begin(kGoldenNops), std::end(kGoldenNops));
    for (u32 code = 0; code < kLadderOpcodes; ++code) {
        const LadderOp& op = LadderOp_Get(static_cast<u16>(code));
        if (byCode.count(code)) continue;
        EXPECT_EQ(op.name, nullptr) << code << " " << op.name;
        EXPECT_EQ(op.exec, nops.count(static_cast<u16>(code)) ? LExec::kNop : LExec::kFault) << code;
    }
}
