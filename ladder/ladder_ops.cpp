#include "ladder/ladder_ops.h"

#include <array>
#include <cstring>
#include <initializer_list>

#include "ladder/intmath.h"
#include "ladder/panel.h"
#include "ladder/pid.h"
#include "ladder/pointer.h"
#include "ladder/realmath.h"
#include "ladder/textops.h"
#include "ladder/wordmove.h"

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
    u8 wordNeed;
    i8 wordDelta;
    u8 wordSpan;
    u8 count;
    std::array<O, kLadderMaxOperands> operands;
    LadderLayoutFn layout;
};

constexpr Row MakeRow(u16 first, u16 last, const char* name, E exec, F flow, u8 need, i8 delta, u8 span,
                      std::initializer_list<O> ops, u8 wneed = 0, i8 wdelta = 0, LadderLayoutFn layout = nullptr) {
    Row r{first, last, name, exec, flow, need, delta, wneed, wdelta, span, 0, {}, layout};
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

// An instruction of the word-stack families: `wneed` entries needed, net
// change `wdelta`; the power-flow stack keeps its depth (the rung value may
// be written).
constexpr Row Wd(u16 first, u16 last, const char* name, E exec, u8 wneed, i8 wdelta,
                 std::initializer_list<O> ops = {}, u8 span = 1) {
    return MakeRow(first, last, name, exec, F::kNext, 0, 0, span, ops, wneed, wdelta);
}
// An instruction with several encodings: its family's decoder gives its
// operands, length and word-stack effect.
constexpr Row Ly(u16 code, const char* name, E exec, u8 need, i8 delta, LadderLayoutFn layout) {
    return MakeRow(code, code, name, exec, F::kNext, need, delta, 1, {}, 0, 0, layout);
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
    Op(39, "SCRFORCE", E::kPanel, F::kNext, 1, -1, {O::kLit}),
    Op(40, "SCRTEST", E::kPanel, F::kNext, 0, 1, {O::kLit}),
    Ly(41, "ALMLIST", E::kPanel, 0, 0, LadderPanel_LayoutAlarm),
    Op(48, "SCRSWITCH", E::kPanel, F::kNext, 1, -1, {O::kLit}),
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
    Wd(75, 75, "LDDI2I", E::kMove, 0, 1, {O::kWord}, 2),
    Wd(76, 76, "LDR2DI", E::kMove, 0, 2, {O::kWord}, 2),
    Wd(77, 77, "LDR2I", E::kMove, 0, 1, {O::kWord}, 2),
    Wd(78, 78, "LDDI2R", E::kMove, 0, 2, {O::kWord}, 2),
    Wd(79, 79, "LDI2R", E::kMove, 0, 2, {O::kWord}),
    Wd(80, 80, "LDW", E::kMove, 0, 1, {O::kWord}),
    Wd(81, 81, "LDKW", E::kMove, 0, 1, {O::kLit}),
    Wd(82, 82, "STW", E::kMove, 1, -1, {O::kWord}),
    Wd(83, 83, "LDD", E::kMove, 0, 2, {O::kWord}, 2),
    Wd(84, 84, "LDKD", E::kMove, 0, 2, {O::kLit2}),
    Wd(85, 85, "STD", E::kMove, 2, -2, {O::kWord}, 2),
    Wd(86, 86, "LDKI2DI", E::kMove, 0, 2, {O::kLit}),
    Wd(87, 87, "LDI2DI", E::kMove, 0, 2, {O::kWord}),
    Wd(90, 90, "MOVW", E::kMove, 0, 0, {O::kWord, O::kWord}),
    Ly(91, "BLKMOV", E::kMove, 0, 0, LadderMove_LayoutBlk),
    Wd(92, 92, "MOVKW", E::kMove, 0, 0, {O::kWord, O::kLit}),
    Wd(93, 93, "FILLW", E::kMove, 0, 0, {O::kWord, O::kWord, O::kLit}),
    Wd(94, 94, "FILLKW", E::kMove, 0, 0, {O::kWord, O::kLit, O::kLit}),
    Wd(95, 95, "MOVD", E::kMove, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(96, 96, "MOVKD", E::kMove, 0, 0, {O::kWord, O::kLit2}, 2),
    Ly(97, "TBLGET", E::kMove, 0, 0, LadderMove_LayoutTbl),
    Ly(98, "TBLPUT", E::kMove, 0, 0, LadderMove_LayoutTbl),
    Ly(99, "TBLCOPY", E::kMove, 0, 0, LadderMove_LayoutTbl),
    Wd(100, 100, "ANDW", E::kIntMath, 2, -1), Wd(101, 101, "ORW", E::kIntMath, 2, -1),
    Wd(102, 102, "XORW", E::kIntMath, 2, -1), Wd(103, 103, "NOTW", E::kIntMath, 1, 0),
    Wd(104, 104, "ANDD", E::kIntMath, 4, -2), Wd(105, 105, "ORD", E::kIntMath, 4, -2),
    Wd(106, 106, "XORD", E::kIntMath, 4, -2), Wd(107, 107, "NOTD", E::kIntMath, 2, 0),
    Wd(108, 108, "DEG2RAD", E::kReal, 2, 0), Wd(109, 109, "RAD2DEG", E::kReal, 2, 0),
    Wd(110, 110, "SHLW", E::kIntMath, 2, -1), Wd(111, 111, "SHRW", E::kIntMath, 2, -1),
    Wd(112, 112, "ROLW", E::kIntMath, 2, -1), Wd(113, 113, "RORW", E::kIntMath, 2, -1),
    Wd(114, 114, "SHLD", E::kIntMath, 4, -2), Wd(115, 115, "SHRD", E::kIntMath, 4, -2),
    Wd(116, 116, "ROLD", E::kIntMath, 4, -2), Wd(117, 117, "RORD", E::kIntMath, 4, -2),
    Rt(118, 119, "MREGSHIFT"),
    Wd(120, 120, "ADDI", E::kIntMath, 2, -1), Wd(121, 121, "SUBI", E::kIntMath, 2, -1),
    Wd(122, 122, "MULI", E::kIntMath, 2, -1), Wd(123, 123, "DIVI", E::kIntMath, 2, -1),
    Wd(124, 124, "ADDDI", E::kIntMath, 4, -2), Wd(125, 125, "SUBDI", E::kIntMath, 4, -2),
    Wd(126, 126, "MULDI", E::kIntMath, 4, -2), Wd(127, 127, "DIVDI", E::kIntMath, 4, -2),
    Wd(128, 128, "ADDR", E::kReal, 4, -2), Wd(129, 129, "SUBR", E::kReal, 4, -2),
    Wd(130, 130, "MULR", E::kReal, 4, -2), Wd(131, 131, "DIVR", E::kReal, 4, -2),
    Un(132, 132, "TALKOPEN", {O::kRoutine}), Un(133, 133, "TALKSEND", {O::kRoutine}),
    Un(134, 134, "TALKRECV", {O::kRoutine}), Un(135, 135, "TALKCLOSE", {O::kRoutine}),
    Un(136, 136, "TALKMODEM", {O::kRoutine}), Un(137, 137, "TALKMODBUS", {O::kRoutine}),
    Wd(140, 140, "ABSI", E::kReal, 1, 0), Wd(141, 141, "MODI", E::kReal, 2, -1),
    Wd(142, 142, "SQRTI", E::kReal, 1, 0), Wd(143, 143, "ABSDI", E::kReal, 2, 0),
    Wd(144, 144, "MODDI", E::kReal, 4, -2), Wd(145, 145, "SQRTDI", E::kReal, 2, 0),
    Wd(146, 146, "ABSR", E::kReal, 2, 0), Wd(147, 147, "MODR", E::kReal, 4, -2),
    Wd(148, 148, "SQRTR", E::kReal, 2, 0), Wd(149, 149, "POWR", E::kReal, 4, -2),
    Wd(150, 150, "LOGR", E::kReal, 2, 0), Wd(151, 151, "EXPR", E::kReal, 2, 0),
    Wd(152, 152, "LNR", E::kReal, 2, 0), Wd(153, 153, "SINR", E::kReal, 2, 0),
    Wd(154, 154, "COSR", E::kReal, 2, 0), Wd(155, 155, "TANR", E::kReal, 2, 0),
    Wd(156, 156, "ASINR", E::kReal, 2, 0), Wd(157, 157, "ACOSR", E::kReal, 2, 0),
    Wd(158, 158, "ATANR", E::kReal, 2, 0),
    Wd(160, 160, "EQI", E::kReal, 2, -2), Wd(161, 161, "NEI", E::kReal, 2, -2),
    Wd(162, 162, "LTI", E::kReal, 2, -2), Wd(163, 163, "GTI", E::kReal, 2, -2),
    Wd(164, 164, "LEI", E::kReal, 2, -2), Wd(165, 165, "GEI", E::kReal, 2, -2),
    Wd(166, 166, "EQDI", E::kReal, 4, -4), Wd(167, 167, "NEDI", E::kReal, 4, -4),
    Wd(168, 168, "LTDI", E::kReal, 4, -4), Wd(169, 169, "GTDI", E::kReal, 4, -4),
    Wd(170, 170, "LEDI", E::kReal, 4, -4), Wd(171, 171, "GEDI", E::kReal, 4, -4),
    Wd(172, 172, "EQR", E::kReal, 4, -4), Wd(173, 173, "NER", E::kReal, 4, -4),
    Wd(174, 174, "LTR", E::kReal, 4, -4), Wd(175, 175, "GTR", E::kReal, 4, -4),
    Wd(176, 176, "LER", E::kReal, 4, -4), Wd(177, 177, "GER", E::kReal, 4, -4),
    Wd(178, 178, "STRCMP", E::kText, 0, 0, {O::kLit, O::kByte, O::kByte}),
    Ly(179, "STRCMPK", E::kText, 0, 0, LadderText_LayoutTextLit),
    Wd(182, 182, "STRMOV", E::kText, 0, 0, {O::kLit, O::kByte, O::kByte}),
    Ly(183, "STRMOVK", E::kText, 0, 0, LadderText_LayoutTextLit),
    Wd(184, 184, "STR2NUM", E::kText, 0, 0, {O::kWord, O::kByte, O::kLit}),
    Ly(187, "NUM2STR", E::kText, 0, 0, LadderText_LayoutFormat),
    Wd(188, 188, "STRLEN", E::kText, 0, 0, {O::kWord, O::kByte}),
    Wd(192, 192, "RANGEI", E::kReal, 3, -3), Wd(193, 193, "RANGEDI", E::kReal, 6, -6),
    Wd(194, 194, "RANGER", E::kReal, 6, -6),
    Wd(195, 195, "LDB", E::kMove, 0, 1, {O::kByte}),
    Wd(196, 196, "STB", E::kMove, 1, -1, {O::kByte}),
    Rt(199, 199, "CNT32"),
    Rt(200, 203, "CNT16"),
    Rt(204, 215, "TMR16"),
    Op(230, "RTCSET", E::kPanel, F::kNext, 0, 0, {O::kWord}, 7),
    Rt(240, 243, "PID"),
    Rt(244, 244, "SUNPOS"),
    Rt(248, 254, "FILE"),
    Wd(260, 260, "MULB", E::kIntMath, 2, -1), Wd(261, 261, "DIVB", E::kIntMath, 2, -1),
    Wd(262, 262, "MULUW", E::kIntMath, 2, -1), Wd(263, 263, "DIVUW", E::kIntMath, 2, -1),
    Wd(264, 264, "MULUD", E::kIntMath, 4, -2), Wd(265, 265, "DIVUD", E::kIntMath, 4, -2),
    Wd(266, 266, "ADDSB", E::kIntMath, 2, -1), Wd(267, 267, "SUBSB", E::kIntMath, 2, -1),
    Wd(268, 268, "MULSB", E::kIntMath, 2, -1), Wd(269, 269, "DIVSB", E::kIntMath, 2, -1),
    Wd(270, 270, "SHLB", E::kIntMath, 2, -1), Wd(271, 271, "SHRB", E::kIntMath, 2, -1),
    Wd(272, 272, "ROLB", E::kIntMath, 2, -1), Wd(273, 273, "RORB", E::kIntMath, 2, -1),
    Wd(280, 280, "GTB", E::kReal, 2, -2), Wd(281, 281, "GEB", E::kReal, 2, -2),
    Wd(282, 282, "GTUW", E::kReal, 2, -2), Wd(283, 283, "GEUW", E::kReal, 2, -2),
    Wd(284, 284, "GTUD", E::kReal, 4, -4), Wd(285, 285, "GEUD", E::kReal, 4, -4),
    Wd(286, 286, "EQSB", E::kReal, 2, -2), Wd(287, 287, "GTSB", E::kReal, 2, -2),
    Wd(288, 288, "GESB", E::kReal, 2, -2),
    Ly(289, "ADDU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(290, "SUBU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(291, "SQRTU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(292, "MODU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    // Conversion loads: one register operand, the converted value pushed.
    Wd(300, 300, "CVTUB2W", E::kReal, 0, 1, {O::kByte}),
    Wd(301, 301, "CVTUB2D", E::kReal, 0, 2, {O::kByte}),
    Wd(302, 302, "CVTUB2R", E::kReal, 0, 2, {O::kByte}),
    Wd(303, 303, "CVTUB2UW", E::kReal, 0, 1, {O::kByte}),
    Wd(304, 304, "CVTUB2UD", E::kReal, 0, 2, {O::kByte}),
    Wd(305, 305, "CVTUW2SB", E::kReal, 0, 1, {O::kWord}),
    Wd(306, 306, "CVTUW2D", E::kReal, 0, 2, {O::kWord}),
    Wd(307, 307, "CVTUW2R", E::kReal, 0, 2, {O::kWord}),
    Wd(308, 308, "CVTUW2UB", E::kReal, 0, 1, {O::kWord}),
    Wd(309, 309, "CVTUW2UD", E::kReal, 0, 2, {O::kWord}),
    Wd(310, 310, "CVTUD2SB", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(311, 311, "CVTD2W", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(312, 312, "CVTUD2R", E::kReal, 0, 2, {O::kWord}, 2),
    Wd(313, 313, "CVTUD2UB", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(314, 314, "CVTUD2UW", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(315, 315, "CVTW2UB", E::kReal, 0, 1, {O::kWord}),
    Wd(316, 316, "CVTW2UD", E::kReal, 0, 2, {O::kWord}),
    Wd(317, 317, "CVTD2UB", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(318, 318, "CVTD2UW", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(319, 319, "CVTR2UB", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(320, 320, "CVTR2UW", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(321, 321, "CVTR2UD", E::kReal, 0, 2, {O::kWord}, 2),
    Wd(324, 324, "CVTSB2W", E::kReal, 0, 1, {O::kByte}),
    Wd(325, 325, "CVTSB2D", E::kReal, 0, 2, {O::kByte}),
    Wd(326, 326, "CVTSB2R", E::kReal, 0, 2, {O::kByte}),
    Wd(327, 327, "CVTSB2UW", E::kReal, 0, 1, {O::kByte}),
    Wd(328, 328, "CVTSB2UD", E::kReal, 0, 2, {O::kByte}),
    Wd(329, 329, "CVTW2SB", E::kReal, 0, 1, {O::kWord}),
    Wd(330, 330, "CVTD2SB", E::kReal, 0, 1, {O::kWord}, 2),
    Wd(331, 331, "CVTR2SB", E::kReal, 0, 1, {O::kWord}, 2),
    Op(340, "CONTX", E::kPointer, F::kNext, 0, 1, {O::kLit, O::kShortWord}),
    Op(341, "OUTX", E::kPointer, F::kNext, 1, -1, {O::kLit, O::kShortWord}),
    Wd(342, 342, "LDBX", E::kPointer, 0, 1, {O::kByte, O::kShortWord}),
    Wd(343, 343, "STBX", E::kPointer, 1, -1, {O::kByte, O::kShortWord}),
    Wd(344, 344, "LDWX", E::kPointer, 0, 1, {O::kWord, O::kShortWord}),
    Wd(345, 345, "STWX", E::kPointer, 1, -1, {O::kWord, O::kShortWord}),
    Wd(346, 346, "LDDX", E::kPointer, 0, 2, {O::kWord, O::kShortWord}),
    Wd(347, 347, "STDX", E::kPointer, 2, -2, {O::kWord, O::kShortWord}),
    Wd(350, 350, "PTRADDR", E::kPointer, 0, 0, {O::kWord, O::kByte, O::kLit}, 2),
    Wd(351, 351, "LDBP", E::kPointer, 0, 1, {O::kWord, O::kLit}, 2),
    Wd(352, 352, "LDWP", E::kPointer, 0, 1, {O::kWord, O::kLit}, 2),
    Wd(353, 353, "LDDP", E::kPointer, 0, 2, {O::kWord, O::kLit}, 2),
    Op(354, "CONTP", E::kPointer, F::kNext, 0, 1, {O::kWord, O::kLit}, 2),
    Wd(355, 355, "STBP", E::kPointer, 1, -1, {O::kWord, O::kLit}, 2),
    Wd(356, 356, "STWP", E::kPointer, 1, -1, {O::kWord, O::kLit}, 2),
    Wd(357, 357, "STDP", E::kPointer, 2, -2, {O::kWord, O::kLit}, 2),
    Op(358, "OUTP", E::kPointer, F::kNext, 1, -1, {O::kWord, O::kLit}, 2),
    Wd(359, 359, "PTRADDRX", E::kPointer, 0, 0, {O::kWord, O::kByte, O::kShortWord}, 2),
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
    Wd(384, 384, "BITARR", E::kPointer, 0, 0, {O::kRecord7}),
    Ly(394, "TALKIEC", E::kPanel, 0, 0, LadderPanel_LayoutTalkIec),
    Wd(400, 400, "U64STR", E::kText, 0, 0, {O::kByte, O::kWord}, 4),
    Rt(450, 455, "TMR32"),
    Rt(458, 463, "TMR16"),
    Rt(466, 471, "TMR32"),
    Rt(474, 479, "TMR16"),
    Rt(482, 487, "TMR32"),
    Rt(498, 503, "TMR32"),
    Wd(505, 505, "PMOVW", E::kPointer, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Wd(506, 506, "PFILLP", E::kPointer, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Wd(507, 507, "PFILLK", E::kPointer, 0, 0, {O::kWord, O::kLit, O::kLit}, 2),
    Wd(508, 508, "PMOVD", E::kPointer, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(509, 509, "PMOVKD", E::kPointer, 0, 0, {O::kWord, O::kLit2}, 2),
    Wd(511, 511, "PSTRCPY", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(512, 512, "PSTRCAT", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(513, 513, "PSTREQ", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(514, 514, "PSTRNE", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(515, 515, "PSTRGE", E::kText, 0, 0, {O::kWord, O::kWord}, 2),
    Wd(516, 516, "PSTR2NUM", E::kText, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Ly(517, "PNUM2STR", E::kText, 0, 0, LadderText_LayoutFormat),
    Ly(518, "PNUM2VSTR", E::kText, 0, 0, LadderText_LayoutFormat),
    Wd(519, 519, "PCSTR2NUM", E::kText, 0, 0, {O::kWord, O::kWord, O::kLit}, 2),
    Op(520, "RTCSETP", E::kPanel, F::kNext, 0, 0, {O::kWord}, 2),
    Rt(523, 526, "PIDX"),
    Ly(528, "ALMLISTX", E::kPanel, 0, 0, LadderPanel_LayoutAlarm),
    Rt(529, 530, "MREGSHIFTX"),
    Un(531, 531, "TALKMODBUSX", {O::kRoutine}),
    Op(544, "NODEID", E::kPanel, F::kNext, 0, 0, {O::kLitOrReg}),
};

// Unassigned codes of groups 1 and 2 are one-word no-operations (older
// editors left them in programs); every other unassigned code is a fault.
constexpr u16 kNops[] = {66, 67, 72, 88, 89, 138, 139, 159, 180, 181, 185, 186, 189, 190, 191};

constexpr std::array<LadderOp, kLadderOpcodes> BuildTable() {
    std::array<LadderOp, kLadderOpcodes> t{};
    for (u16 c = 0; c < kLadderOpcodes; ++c) t[c] = LadderOp{c, nullptr, E::kFault, F::kStop, 0, 0, 0, 0, 1, 0, {}, nullptr};
    for (u16 c : kNops) t[c] = LadderOp{c, nullptr, E::kNop, F::kNext, 0, 0, 0, 0, 1, 0, {}, nullptr};
    for (const Row& r : kRows) {
        for (u32 c = r.first; c <= r.last; ++c) {
            LadderOp op{static_cast<u16>(c), r.name,        r.exec,     r.flow, r.boolNeed, r.boolDelta, r.wordNeed,
                        r.wordDelta,         r.wordSpan, 0,          {},     r.layout};
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

u32 LadderLayout::Add(LOpd kind, const u16* code, u32 at, u32 avail, bool tok16, u16 span) {
    u32 n = at < avail ? LadderOperand_Words(kind, code + at, avail - at, tok16) : 0;
    if (n == 0) {
        Fail(LLayoutStatus::kTruncated);
        return 0;
    }
    if (count < kLadderMaxLayoutOperands) regs[count++] = LadderOperandAt{kind, static_cast<u16>(at), span};
    return n;
}

LadderLayout LadderInstruction_Layout(const u16* code, u32 avail, bool tok16) {
    LadderLayout out;
    if (avail == 0) {
        out.status = LLayoutStatus::kTruncated;
        return out;
    }
    if (code[0] >= kLadderFirstContact) {
        out.words = 1;
        return out;
    }
    const LadderOp& op = LadderOp_Get(code[0]);
    if (op.layout != nullptr) {
        op.layout(code, avail, tok16, out);
        if (out.status == LLayoutStatus::kOk && (out.words == 0 || out.words > avail))
            out.status = LLayoutStatus::kTruncated;
        return out;
    }
    out.wordNeed = op.wordNeed;
    out.wordDelta = op.wordDelta;
    if (op.exec == LExec::kRoutine) {
        out.words = LadderRoutine_Words(code, avail, tok16);
        if (out.words == 0) out.status = LLayoutStatus::kTruncated;
        return out;
    }
    u32 pos = 1;
    for (u8 i = 0; i < op.operandCount; ++i) {
        const LOpd kind = op.operands[i];
        const bool reg = kind == LOpd::kBit || kind == LOpd::kWord || kind == LOpd::kWordPlain ||
                         kind == LOpd::kByte || kind == LOpd::kShortWord;
        u32 n = reg ? out.Add(kind, code, pos, avail, tok16, kind == LOpd::kByte ? 1 : op.wordSpan)
                    : LadderOperand_Words(kind, code + pos, avail - pos, tok16);
        if (n == 0) {
            out.status = LLayoutStatus::kTruncated;
            return out;
        }
        pos += n;
    }
    out.words = pos;
    return out;
}

u32 LadderInstruction_Words(const u16* code, u32 avail, bool tok16) {
    LadderLayout l = LadderInstruction_Layout(code, avail, tok16);
    return l.status == LLayoutStatus::kOk || l.status == LLayoutStatus::kBadLiteral ? l.words : 0;
}
