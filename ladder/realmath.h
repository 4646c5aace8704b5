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

// The conversion loads with their operand decoded: the register byte
// (CVTUB2*, CVTSB2*), the register word (the 16-bit sources) or the first
// word of the register pair (the 32-bit and REAL sources).
void LadderReal_ConvertByte(u16 op, LadderVm& vm, u32 byte);
void LadderReal_ConvertWord(u16 op, LadderVm& vm, u32 word);
void LadderReal_ConvertPair(u16 op, LadderVm& vm, u32 word);

// The REAL arithmetic and the compares, inline so that the translated
// program runs each with its opcode known; the family's dispatch runs the
// same code.
namespace lreal {

constexpr u32 kExpMask = 0x7F800000u;
constexpr u32 kSignBit = 0x80000000u;
constexpr u32 kPlusInf = 0x7F800000u;

inline bool Finite(float f) { return (FloatBits(f) & kExpMask) != kExpMask; }

// Results computed in double are rounded to single; IEEE-754 makes a value
// beyond the single range an infinity, which the result test then catches.
inline float Narrow(double d) { return static_cast<float>(d); }

// ---------------------------------------------------------------- REAL

// ADDR, SUBR, MULR, DIVR: second op top replaces second.
[[gnu::always_inline]] inline void Arith(u16 op, LadderVm& vm) {
    const float t = vm.AtReal(1);
    const float s = vm.AtReal(3);
    vm.wsp -= 2;
    bool ok = Finite(s) && Finite(t);
    float r;
    switch (op) {
        case 128:
            r = s + t;
            break;
        case 129:
            r = s - t;
            break;
        case 130:
            r = s * t;
            break;
        default:
            if (t == 0.0f) {
                // No division: the dividend stays.
                vm.RungFalse();
                return;
            }
            r = s / t;
            break;
    }
    vm.PutReal(1, r);
    if (!ok || !Finite(r)) vm.RungFalse();
}

// ---------------------------------------------------------------- compares

// The relation of one compare: `rel` 0 =, 1 <>, 2 <, 3 >, 4 <=, 5 >=.
template <typename T>
inline bool Relation(int rel, T s, T t) {
    switch (rel) {
        case 0:
            return s == t;
        case 1:
            return s != t;  // true with a NaN operand
        case 2:
            return s < t;
        case 3:
            return s > t;
        case 4:
            return s <= t;
        default:
            return s >= t;
    }
}

inline void Replace(LadderVm& vm, bool holds) { vm.SetRung(holds ? 1 : 0); }
inline void AndRung(LadderVm& vm, bool holds) {
    if (!holds) vm.RungFalse();
}

[[gnu::always_inline]] inline void Compare(u16 op, LadderVm& vm) {
    if (op >= 160 && op <= 165) {
        const i16 t = static_cast<i16>(vm.Pop16());
        const i16 s = static_cast<i16>(vm.Pop16());
        Replace(vm, Relation(op - 160, s, t));
    } else if (op >= 166 && op <= 171) {
        const i32 t = static_cast<i32>(vm.Pop32());
        const i32 s = static_cast<i32>(vm.Pop32());
        AndRung(vm, Relation(op - 166, s, t));
    } else if (op >= 172 && op <= 177) {
        const float t = BitsFloat(vm.Pop32());
        const float s = BitsFloat(vm.Pop32());
        AndRung(vm, Relation(op - 172, s, t));
    } else if (op == 284 || op == 285) {
        const u32 t = vm.Pop32();
        const u32 s = vm.Pop32();
        AndRung(vm, op == 284 ? s > t : s >= t);
    } else {
        const u16 t = vm.Pop16();
        const u16 s = vm.Pop16();
        const u8 tb = static_cast<u8>(t), sb = static_cast<u8>(s);
        const i8 ti = static_cast<i8>(tb), si = static_cast<i8>(sb);
        switch (op) {
            case 280:
                Replace(vm, sb > tb);
                break;
            case 281:
                Replace(vm, sb >= tb);
                break;
            case 282:
                Replace(vm, s > t);
                break;
            case 283:
                Replace(vm, s >= t);
                break;
            case 286:
                Replace(vm, si == ti);
                break;
            case 287:
                Replace(vm, si > ti);
                break;
            default:  // 288
                Replace(vm, si >= ti);
                break;
        }
    }
}

}  // namespace lreal

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
