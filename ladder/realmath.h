// REAL arithmetic and functions, integer functions, compares, range tests and the conversion loads.
//
// All of them work on the interpreter's word stack (a REAL or a 32-bit
// integer takes two entries, low word first) and report a failure only by
// making the rung value FALSE; none of them ends the scan.
//
// - REAL arithmetic and functions: an operand that is not finite (exponent
//   bits all ones), a failed domain test or a result that is not finite sets
//   the rung FALSE; the result is stored all the same, except that a
//   division by 0.0 leaves the dividend and the square root of a value with
//   its sign bit set stores +infinity.
// - Compares of the replace kind write 1 or 0 into the rung value whatever
//   it held; those of the AND kind only ever write 0. Range tests replace.
// - Conversion loads read one register operand, convert it and push the
//   result; out of range, the rung goes FALSE and 0 is pushed (the
//   conversions from REAL push the converted value).
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderReal_Exec(u16 op, LadderVm& vm);

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kRealOps[] = {
    Wd(108, 108, "DEG2RAD", E::kReal, 2, 0),
    Wd(109, 109, "RAD2DEG", E::kReal, 2, 0),
    Wd(128, 128, "ADDR", E::kReal, 4, -2),
    Wd(129, 129, "SUBR", E::kReal, 4, -2),
    Wd(130, 130, "MULR", E::kReal, 4, -2),
    Wd(131, 131, "DIVR", E::kReal, 4, -2),
    Wd(140, 140, "ABSI", E::kReal, 1, 0),
    Wd(141, 141, "MODI", E::kReal, 2, -1),
    Wd(142, 142, "SQRTI", E::kReal, 1, 0),
    Wd(143, 143, "ABSDI", E::kReal, 2, 0),
    Wd(144, 144, "MODDI", E::kReal, 4, -2),
    Wd(145, 145, "SQRTDI", E::kReal, 2, 0),
    Wd(146, 146, "ABSR", E::kReal, 2, 0),
    Wd(147, 147, "MODR", E::kReal, 4, -2),
    Wd(148, 148, "SQRTR", E::kReal, 2, 0),
    Wd(149, 149, "POWR", E::kReal, 4, -2),
    Wd(150, 150, "LOGR", E::kReal, 2, 0),
    Wd(151, 151, "EXPR", E::kReal, 2, 0),
    Wd(152, 152, "LNR", E::kReal, 2, 0),
    Wd(153, 153, "SINR", E::kReal, 2, 0),
    Wd(154, 154, "COSR", E::kReal, 2, 0),
    Wd(155, 155, "TANR", E::kReal, 2, 0),
    Wd(156, 156, "ASINR", E::kReal, 2, 0),
    Wd(157, 157, "ACOSR", E::kReal, 2, 0),
    Wd(158, 158, "ATANR", E::kReal, 2, 0),
    Wd(160, 160, "EQI", E::kReal, 2, -2),
    Wd(161, 161, "NEI", E::kReal, 2, -2),
    Wd(162, 162, "LTI", E::kReal, 2, -2),
    Wd(163, 163, "GTI", E::kReal, 2, -2),
    Wd(164, 164, "LEI", E::kReal, 2, -2),
    Wd(165, 165, "GEI", E::kReal, 2, -2),
    Wd(166, 166, "EQDI", E::kReal, 4, -4),
    Wd(167, 167, "NEDI", E::kReal, 4, -4),
    Wd(168, 168, "LTDI", E::kReal, 4, -4),
    Wd(169, 169, "GTDI", E::kReal, 4, -4),
    Wd(170, 170, "LEDI", E::kReal, 4, -4),
    Wd(171, 171, "GEDI", E::kReal, 4, -4),
    Wd(172, 172, "EQR", E::kReal, 4, -4),
    Wd(173, 173, "NER", E::kReal, 4, -4),
    Wd(174, 174, "LTR", E::kReal, 4, -4),
    Wd(175, 175, "GTR", E::kReal, 4, -4),
    Wd(176, 176, "LER", E::kReal, 4, -4),
    Wd(177, 177, "GER", E::kReal, 4, -4),
    Wd(192, 192, "RANGEI", E::kReal, 3, -3),
    Wd(193, 193, "RANGEDI", E::kReal, 6, -6),
    Wd(194, 194, "RANGER", E::kReal, 6, -6),
    Wd(280, 280, "GTB", E::kReal, 2, -2),
    Wd(281, 281, "GEB", E::kReal, 2, -2),
    Wd(282, 282, "GTUW", E::kReal, 2, -2),
    Wd(283, 283, "GEUW", E::kReal, 2, -2),
    Wd(284, 284, "GTUD", E::kReal, 4, -4),
    Wd(285, 285, "GEUD", E::kReal, 4, -4),
    Wd(286, 286, "EQSB", E::kReal, 2, -2),
    Wd(287, 287, "GTSB", E::kReal, 2, -2),
    Wd(288, 288, "GESB", E::kReal, 2, -2),
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
};
}  // namespace lrow
