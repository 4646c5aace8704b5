#include "ladder/ladder_ops.h"

#include <array>
#include <cstring>
#include <initializer_list>

#include "ladder/pid.h"

namespace {

using O = LOpd;
using E = LExec;
using F = LFlow;

struct Row {
    u16 first;
    u16 last;
    const char* name;
    E exec;
    F flow;
    u8 boolNeed;
    i8 boolDelta;
    u8 wordSpan;
    u8 count;
    std::array<O, kLadderMaxOperands> operands;
};

constexpr Row MakeRow(u16 first, u16 last, const char* name, E exec, F flow, u8 need, i8 delta, u8 span,
                      std::initializer_list<O> ops) {
    Row r{first, last, name, exec, flow, need, delta, span, 0, {}};
    for (O o : ops) r.operands[r.count++] = o;
    return r;
}

// An instruction this interpreter executes.
constexpr Row Op(u16 code, const char* name, E exec, F flow, u8 need, i8 delta, std::initializer_list<O> ops = {},
                 u8 span = 1) {
    return MakeRow(code, code, name, exec, flow, need, delta, span, ops);
}
// An assigned instruction of a family not built yet: executing it is a
// program fault, so the checker treats it as the end of its path.
constexpr Row Un(u16 first, u16 last, const char* name, std::initializer_list<O> ops = {}) {
    return MakeRow(first, last, name, E::kFault, F::kStop, 0, 0, 1, ops);
}

// An instruction carried out by a block routine (see LadderRoutine_Find):
// it needs one power-flow entry, replaces it with its result, and gives its
// own length to the checker.
constexpr Row Rt(u16 first, u16 last, const char* name) {
    return MakeRow(first, last, name, E::kRoutine, F::kNext, 1, 0, 1, {O::kRoutine});
}

constexpr Row kRows[] = {
    Op(9, "END", E::kEnd, F::kStop, 0, 0),
    Op(31, "CONTL", E::kContl, F::kNext, 0, 1, {O::kBit}),
    Op(32, "NOT", E::kNot, F::kNext, 1, 0),
    Op(33, "SETTRUE", E::kSetTrue, F::kNext, 1, 0),
    Op(34, "SETFALSE", E::kSetFalse, F::kNext, 1, 0),
    Op(35, "OR", E::kOr, F::kNext, 2, -1),
    Op(36, "AND", E::kAnd, F::kNext, 2, -1),
    Op(38, "OUT", E::kOut, F::kNext, 1, -1, {O::kBit}),
    Un(39, 39, "SCRFORCE", {O::kLit}),
    Un(40, 40, "SCRTEST", {O::kLit}),
    Un(41, 41, "ALMLIST",
       {O::kLit, O::kLit, O::kLit, O::kWordPlain, O::kWordPlain, O::kBit, O::kBit, O::kBit, O::kBit}),
    Un(48, 48, "SCRSWITCH", {O::kLit}),
    Op(50, "OSRISE", E::kOsRise, F::kNext, 1, -1, {O::kBit}),
    Op(51, "OSFALL", E::kOsFall, F::kNext, 1, -1, {O::kBit}),
    Op(52, "SET", E::kSet, F::kNext, 1, -1, {O::kBit}),
    Op(53, "RESET", E::kReset, F::kNext, 1, -1, {O::kBit}),
    Op(54, "OUTNOT", E::kOutNot, F::kNext, 1, -1, {O::kBit}),
    Op(55, "POP", E::kPop, F::kNext, 1, -1),
    Op(56, "REPUSH", E::kRepush, F::kNext, 0, 1),
    Op(60, "ANDN", E::kAndn, F::kNext, 2, -1),
    Op(61, "ORN", E::kOrn, F::kNext, 2, -1),
    Op(62, "NAND", E::kNand, F::kNext, 2, -1),
    Op(63, "NOR", E::kNor, F::kNext, 2, -1),
    Op(64, "ORAND", E::kOrAnd, F::kNext, 3, -2),
    Op(65, "ANDOR", E::kAndOr, F::kNext, 3, -2),
    Op(68, "JMPL", E::kJmpl, F::kJump, 1, -1, {O::kLit2}),
    Op(69, "CALLL", E::kCalll, F::kCall, 1, -1, {O::kLit2}),
    Op(70, "SKIPF", E::kSkipf, F::kSkip, 1, 0, {O::kLit}),
    Op(71, "JMP", E::kJmp, F::kJump, 1, -1, {O::kLit}),
    Op(73, "CALL", E::kCall, F::kCall, 1, -1, {O::kLit}),
    Op(74, "RET", E::kRet, F::kRet, 1, -1),
    Un(75, 75, "LDDI2I", {O::kWord}),
    Un(76, 76, "LDR2DI", {O::kWord}),
    Un(77, 77, "LDR2I", {O::kWord}),
    Un(78, 78, "LDDI2R", {O::kWord}),
    Un(79, 79, "LDI2R", {O::kWord}),
    Un(80, 80, "LDW", {O::kWord}),
    Un(81, 81, "LDKW", {O::kLit}),
    Un(82, 82, "STW", {O::kWord}),
    Un(83, 83, "LDD", {O::kWord}),
    Un(84, 84, "LDKD", {O::kLit2}),
    Un(85, 85, "STD", {O::kWord}),
    Un(86, 86, "LDKI2DI", {O::kLit}),
    Un(87, 87, "LDI2DI", {O::kWord}),
    Un(90, 90, "MOVW", {O::kWord, O::kWord}),
    Un(91, 91, "BLKMOV", {O::kRoutine}),
    Un(92, 92, "MOVKW", {O::kWord, O::kLit}),
    Un(93, 93, "FILLW", {O::kWord, O::kWord, O::kLit}),
    Un(94, 94, "FILLKW", {O::kWord, O::kLit, O::kLit}),
    Un(95, 95, "MOVD", {O::kWord, O::kWord}),
    Un(96, 96, "MOVKD", {O::kWord, O::kLit2}),
    Un(97, 97, "TBLGET", {O::kRoutine}),
    Un(98, 98, "TBLPUT", {O::kRoutine}),
    Un(99, 99, "TBLCOPY", {O::kRoutine}),
    Un(100, 100, "ANDW"), Un(101, 101, "ORW"), Un(102, 102, "XORW"), Un(103, 103, "NOTW"),
    Un(104, 104, "ANDD"), Un(105, 105, "ORD"), Un(106, 106, "XORD"), Un(107, 107, "NOTD"),
    Un(108, 108, "DEG2RAD"), Un(109, 109, "RAD2DEG"),
    Un(110, 110, "SHLW"), Un(111, 111, "SHRW"), Un(112, 112, "ROLW"), Un(113, 113, "RORW"),
    Un(114, 114, "SHLD"), Un(115, 115, "SHRD"), Un(116, 116, "ROLD"), Un(117, 117, "RORD"),
    Rt(118, 119, "MREGSHIFT"),
    Un(120, 120, "ADDI"), Un(121, 121, "SUBI"), Un(122, 122, "MULI"), Un(123, 123, "DIVI"),
    Un(124, 124, "ADDDI"), Un(125, 125, "SUBDI"), Un(126, 126, "MULDI"), Un(127, 127, "DIVDI"),
    Un(128, 128, "ADDR"), Un(129, 129, "SUBR"), Un(130, 130, "MULR"), Un(131, 131, "DIVR"),
    Un(132, 132, "TALKOPEN", {O::kRoutine}), Un(133, 133, "TALKSEND", {O::kRoutine}),
    Un(134, 134, "TALKRECV", {O::kRoutine}), Un(135, 135, "TALKCLOSE", {O::kRoutine}),
    Un(136, 136, "TALKMODEM", {O::kRoutine}), Un(137, 137, "TALKMODBUS", {O::kRoutine}),
    Un(140, 140, "ABSI"), Un(141, 141, "MODI"), Un(142, 142, "SQRTI"),
    Un(143, 143, "ABSDI"), Un(144, 144, "MODDI"), Un(145, 145, "SQRTDI"),
    Un(146, 146, "ABSR"), Un(147, 147, "MODR"), Un(148, 148, "SQRTR"), Un(149, 149, "POWR"),
    Un(150, 150, "LOGR"), Un(151, 151, "EXPR"), Un(152, 152, "LNR"), Un(153, 153, "SINR"),
    Un(154, 154, "COSR"), Un(155, 155, "TANR"), Un(156, 156, "ASINR"), Un(157, 157, "ACOSR"),
    Un(158, 158, "ATANR"),
    Un(160, 160, "EQI"), Un(161, 161, "NEI"), Un(162, 162, "LTI"), Un(163, 163, "GTI"),
    Un(164, 164, "LEI"), Un(165, 165, "GEI"), Un(166, 166, "EQDI"), Un(167, 167, "NEDI"),
    Un(168, 168, "LTDI"), Un(169, 169, "GTDI"), Un(170, 170, "LEDI"), Un(171, 171, "GEDI"),
    Un(172, 172, "EQR"), Un(173, 173, "NER"), Un(174, 174, "LTR"), Un(175, 175, "GTR"),
    Un(176, 176, "LER"), Un(177, 177, "GER"),
    Un(178, 178, "STRCMP", {O::kLit, O::kByte, O::kByte}),
    Un(179, 179, "STRCMPK", {O::kLit, O::kByte, O::kText}),
    Un(182, 182, "STRMOV", {O::kLit, O::kByte, O::kByte}),
    Un(183, 183, "STRMOVK", {O::kLit, O::kByte, O::kText}),
    Un(184, 184, "STR2NUM", {O::kWord, O::kByte, O::kLit}),
    Un(187, 187, "NUM2STR", {O::kByte, O::kWord, O::kLit, O::kLit, O::kLit, O::kFormat20}),
    Un(188, 188, "STRLEN", {O::kWord, O::kByte}),
    Un(192, 192, "RANGEI"), Un(193, 193, "RANGEDI"), Un(194, 194, "RANGER"),
    Un(195, 195, "LDB", {O::kByte}),
    Un(196, 196, "STB", {O::kByte}),
    Rt(199, 199, "CNT32"),
    Rt(200, 203, "CNT16"),
    Rt(204, 215, "TMR16"),
    Un(230, 230, "RTCSET", {O::kWord}),
    Rt(240, 243, "PID"),
    Rt(244, 244, "SUNPOS"),
    Rt(248, 254, "FILE"),
    Un(260, 260, "MULB"), Un(261, 261, "DIVB"), Un(262, 262, "MULUW"), Un(263, 263, "DIVUW"),
    Un(264, 264, "MULUD"), Un(265, 265, "DIVUD"), Un(266, 266, "ADDSB"), Un(267, 267, "SUBSB"),
    Un(268, 268, "MULSB"), Un(269, 269, "DIVSB"), Un(270, 270, "SHLB"), Un(271, 271, "SHRB"),
    Un(272, 272, "ROLB"), Un(273, 273, "RORB"),
    Un(280, 280, "GTB"), Un(281, 281, "GEB"), Un(282, 282, "GTUW"), Un(283, 283, "GEUW"),
    Un(284, 284, "GTUD"), Un(285, 285, "GEUD"), Un(286, 286, "EQSB"), Un(287, 287, "GTSB"),
    Un(288, 288, "GESB"),
    Un(289, 289, "ADDU", {O::kLit}), Un(290, 290, "SUBU", {O::kLit}), Un(291, 291, "SQRTU", {O::kLit}),
    Un(292, 292, "MODU", {O::kLit}),
    Un(300, 304, "CVTLDB", {O::kByte}),
    Un(305, 321, "CVTLDW", {O::kWord}),
    Un(324, 328, "CVTLDB", {O::kByte}),
    Un(329, 331, "CVTLDW", {O::kWord}),
    Un(340, 340, "CONTX", {O::kLit, O::kShortWord}),
    Un(341, 341, "OUTX", {O::kLit, O::kShortWord}),
    Un(342, 342, "LDBX", {O::kByte, O::kShortWord}),
    Un(343, 343, "STBX", {O::kByte, O::kShortWord}),
    Un(344, 344, "LDWX", {O::kWord, O::kShortWord}),
    Un(345, 345, "STWX", {O::kWord, O::kShortWord}),
    Un(346, 346, "LDDX", {O::kWord, O::kShortWord}),
    Un(347, 347, "STDX", {O::kWord, O::kShortWord}),
    Un(350, 350, "PTRADDR", {O::kWord, O::kByte, O::kLit}),
    Un(351, 351, "LDBP", {O::kWord, O::kLit}), Un(352, 352, "LDWP", {O::kWord, O::kLit}),
    Un(353, 353, "LDDP", {O::kWord, O::kLit}), Un(354, 354, "CONTP", {O::kWord, O::kLit}),
    Un(355, 355, "STBP", {O::kWord, O::kLit}), Un(356, 356, "STWP", {O::kWord, O::kLit}),
    Un(357, 357, "STDP", {O::kWord, O::kLit}), Un(358, 358, "OUTP", {O::kWord, O::kLit}),
    Un(359, 359, "PTRADDRX", {O::kWord, O::kByte, O::kShortWord}),
    Op(360, "CONTEQ1", E::kContEq1, F::kNext, 0, 1, {O::kWord}),
    Op(361, "STEP", E::kStep, F::kStep, 0, 0, {O::kWord, O::kLit2, O::kLit2, O::kLit2, O::kLit2}, 3),
    Op(362, "TESTW", E::kTestW, F::kNext, 0, 1, {O::kWord, O::kShortWord}),
    Op(363, "TESTD", E::kTestD, F::kNext, 0, 1, {O::kWord, O::kShortWord}, 2),
    Op(364, "MASKW", E::kMaskW, F::kNext, 1, -1, {O::kWord, O::kShortWord}),
    Op(365, "MASKD", E::kMaskD, F::kNext, 1, -1, {O::kWord, O::kShortWord}, 2),
    Un(367, 367, "CANOPEN", {O::kRoutine}),
    Rt(370, 370, "SCHED"),
    Rt(372, 379, "SCHED"),
    Rt(381, 381, "FLOW"),
    Un(384, 384, "BITARR", {O::kRecord7}),
    Un(394, 394, "TALKIEC", {O::kLit, O::kRoutine}),
    Un(400, 400, "U64STR", {O::kByte, O::kWord}),
    Rt(450, 455, "TMR32"),
    Rt(458, 463, "TMR16"),
    Rt(466, 471, "TMR32"),
    Rt(474, 479, "TMR16"),
    Rt(482, 487, "TMR32"),
    Rt(498, 503, "TMR32"),
    Un(505, 505, "PMOVW", {O::kWord, O::kWord, O::kLit}),
    Un(506, 506, "PFILLP", {O::kWord, O::kWord, O::kLit}),
    Un(507, 507, "PFILLK", {O::kWord, O::kLit, O::kLit}),
    Un(508, 508, "PMOVD", {O::kWord, O::kWord}),
    Un(509, 509, "PMOVKD", {O::kWord, O::kLit2}),
    Un(511, 511, "PSTRCPY", {O::kWord, O::kWord}), Un(512, 512, "PSTRCAT", {O::kWord, O::kWord}),
    Un(513, 513, "PSTREQ", {O::kWord, O::kWord}), Un(514, 514, "PSTRNE", {O::kWord, O::kWord}),
    Un(515, 515, "PSTRGE", {O::kWord, O::kWord}),
    Un(516, 516, "PSTR2NUM", {O::kWord, O::kWord, O::kLit}),
    Un(517, 517, "PNUM2STR", {O::kWord, O::kWord, O::kLit, O::kLit, O::kLit, O::kFormat20}),
    Un(518, 518, "PNUM2VSTR", {O::kWord, O::kWord, O::kLit, O::kLit, O::kFormat20}),
    Un(519, 519, "PCSTR2NUM", {O::kWord, O::kWord, O::kLit}),
    Un(520, 520, "RTCSETP", {O::kWord}),
    Rt(523, 526, "PIDX"),
    Un(528, 528, "ALMLISTX",
       {O::kLit, O::kLit, O::kLit, O::kLit, O::kLit, O::kLit, O::kLit, O::kLit, O::kLit}),
    Rt(529, 530, "MREGSHIFTX"),
    Un(531, 531, "TALKMODBUSX", {O::kRoutine}),
    Un(544, 544, "NODEID", {O::kLitOrReg}),
};

// Unassigned codes of groups 1 and 2 are one-word no-operations (older
// editors left them in programs); every other unassigned code is a fault.
constexpr u16 kNops[] = {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191};

constexpr std::array<LadderOp, kLadderOpcodes> BuildTable() {
    std::array<LadderOp, kLadderOpcodes> t{};
    for (u16 c = 0; c < kLadderOpcodes; ++c) t[c] = LadderOp{c, nullptr, E::kFault, F::kStop, 0, 0, 0, 0, 1, 0, {}};
    for (u16 c : kNops) t[c] = LadderOp{c, nullptr, E::kNop, F::kNext, 0, 0, 0, 0, 1, 0, {}};
    for (const Row& r : kRows) {
        for (u32 c = r.first; c <= r.last; ++c) {
            LadderOp op{static_cast<u16>(c), r.name, r.exec, r.flow, r.boolNeed, r.boolDelta, 0, 0, r.wordSpan, 0, {}};
            for (u8 i = 0; i < r.count; ++i) op.operands[op.operandCount++] = r.operands[i];
            t[c] = op;
        }
    }
    return t;
}

constexpr std::array<LadderOp, kLadderOpcodes> kTable = BuildTable();

constexpr std::array<LExec, kLadderOpcodes> BuildExec() {
    std::array<LExec, kLadderOpcodes> e{};
    for (u16 c = 0; c < kLadderOpcodes; ++c) e[c] = kTable[c].exec;
    return e;
}

constexpr std::array<LExec, kLadderOpcodes> kExec = BuildExec();

static_assert(kTable[9].exec == E::kEnd && kTable[66].exec == E::kNop && kTable[10].exec == E::kFault);
static_assert(kTable[576].exec == E::kFault && kTable[1023].name == nullptr);

}  // namespace

const LExec kLadderExec[kLadderOpcodes] = {
#define X8(n) kExec[n], kExec[n + 1], kExec[n + 2], kExec[n + 3], kExec[n + 4], kExec[n + 5], kExec[n + 6], kExec[n + 7]
#define X64(n) X8(n), X8(n + 8), X8(n + 16), X8(n + 24), X8(n + 32), X8(n + 40), X8(n + 48), X8(n + 56)
#define X512(n) X64(n), X64(n + 64), X64(n + 128), X64(n + 192), X64(n + 256), X64(n + 320), X64(n + 384), X64(n + 448)
    X512(0), X512(512)
#undef X512
#undef X64
#undef X8
};

const LadderOp& LadderOp_Get(u16 opcode) { return kTable[opcode & (kLadderOpcodes - 1)]; }

const LadderOp* LadderOp_Find(const char* name) {
    if (name == nullptr) return nullptr;
    for (const LadderOp& op : kTable)
        if (op.name != nullptr && std::strcmp(op.name, name) == 0) return &op;
    return nullptr;
}

u32 LadderOperand_Words(LOpd kind, const u16* code, u32 avail, bool tok16) {
    u32 n = 0;
    switch (kind) {
        case O::kBit:
        case O::kWordPlain:
        case O::kLitOrReg:
            n = tok16 ? 1 : 2;
            break;
        case O::kWord:
        case O::kByte:
        case O::kShortWord:
            if (!tok16)
                n = 2;
            else if (avail >= 1 && (code[0] == 1776 || code[0] == 1777))
                n = 2;
            else
                n = 1;
            break;
        case O::kLit:
            n = 1;
            break;
        case O::kLit2:
            n = 2;
            break;
        case O::kFormat20:
            n = 10;
            break;
        case O::kRecord7:
            n = 7;
            break;
        case O::kText:
        case O::kRoutine:
            return 0;
    }
    return n <= avail ? n : 0;
}

u32 LadderInstruction_Words(const u16* code, u32 avail, bool tok16) {
    if (avail == 0) return 0;
    if (code[0] >= kLadderFirstContact) return 1;
    const LadderOp& op = LadderOp_Get(code[0]);
    if (op.exec == LExec::kRoutine) return LadderRoutine_Words(code, avail, tok16);
    u32 pos = 1;
    for (u8 i = 0; i < op.operandCount; ++i) {
        u32 n = LadderOperand_Words(op.operands[i], code + pos, avail - pos, tok16);
        if (n == 0) return 0;
        pos += n;
    }
    return pos;
}
