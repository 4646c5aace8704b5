// Bit logic, shifts and rotates and integer arithmetic on the word stack (8-, 16- and 32-bit, signed and unsigned).
#pragma once

#include <limits>

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_vm.h"

// Executes opcode `op` of the family; see ladder_vm.h.
template <bool kTok16>
bool LadderIntMath_Exec(u16 op, LadderVm& vm);

// Layout decoder of ADDU, SUBU, SQRTU and MODU: the opcode and a literal
// type word, 32 for unsigned 16-bit operands, 160 for unsigned 32-bit ones.
// Any other type word makes the instruction do nothing, so it needs no
// stack entries.
void LadderIntMath_LayoutUnsigned(const u16* code, u32 avail, bool tok16, LadderLayout& out);

// Type words of the unsigned instructions.
constexpr u16 kLadderUnsigned16 = 32;
constexpr u16 kLadderUnsigned32 = 160;

// 32-bit arithmetic with overflow detection. Each stores the wrapped
// result and returns true on overflow: signed overflow for the Int forms,
// carry or borrow for the UInt forms. LH_MulInt32 reports no overflow when
// either factor is 0, otherwise when the exact product lies outside the i32
// range; LH_MulUInt32 when the product exceeds 0xFFFFFFFF.
inline bool LH_AddInt32(i32 a, i32 b, i32& sum) {
    const i64 exact = static_cast<i64>(a) + b;
    sum = static_cast<i32>(static_cast<u32>(exact));
    return exact != sum;
}

inline bool LH_SubInt32(i32 a, i32 b, i32& diff) {
    const i64 exact = static_cast<i64>(a) - b;
    diff = static_cast<i32>(static_cast<u32>(exact));
    return exact != diff;
}

inline bool LH_AddUInt32(u32 a, u32 b, u32& sum) {
    sum = a + b;
    return sum < a;
}

inline bool LH_SubUInt32(u32 a, u32 b, u32& diff) {
    diff = a - b;
    return b > a;
}

inline bool LH_MulInt32(i32 a, i32 b, i32& product) {
    const i64 exact = static_cast<i64>(a) * b;
    product = static_cast<i32>(static_cast<u32>(exact));
    if (a == 0 || b == 0) return false;
    return exact < std::numeric_limits<i32>::min() || exact > std::numeric_limits<i32>::max();
}

inline bool LH_MulUInt32(u32 a, u32 b, u32& product) {
    const u64 exact = static_cast<u64>(a) * b;
    product = static_cast<u32>(exact);
    return exact > 0xFFFFFFFFu;
}

// Integer square roots by trial bits: start from 0 and keep each trial bit
// (from the highest) whose square does not exceed the value. isqrt tries
// eight bits from 128, so its result never exceeds 255; lsqrt sixteen from
// 0x8000, never exceeding 65,535.
inline u16 isqrt(u16 v) {
    u32 r = 0;
    for (u32 bit = 128; bit != 0; bit >>= 1)
        if ((r | bit) * (r | bit) <= v) r |= bit;
    return static_cast<u16>(r);
}
inline u32 lsqrt(u32 v) {
    u64 r = 0;
    for (u64 bit = 0x8000; bit != 0; bit >>= 1)
        if ((r | bit) * (r | bit) <= v) r |= bit;
    return static_cast<u32>(r);
}

// The binary operations, inline so that the translated program runs each
// with its opcode known (the switch folds away); the family's dispatch runs
// the same code.
namespace lintmath {

constexpr u16 kAndW = 100, kOrW = 101, kXorW = 102, kNotW = 103;
constexpr u16 kAndD = 104, kOrD = 105, kXorD = 106, kNotD = 107;
constexpr u16 kShlW = 110, kShrW = 111, kRolW = 112, kRorW = 113;
constexpr u16 kShlD = 114, kShrD = 115, kRolD = 116, kRorD = 117;
constexpr u16 kAddI = 120, kSubI = 121, kMulI = 122, kDivI = 123;
constexpr u16 kAddDI = 124, kSubDI = 125, kMulDI = 126, kDivDI = 127;
constexpr u16 kMulB = 260, kDivB = 261, kMulUW = 262, kDivUW = 263, kMulUD = 264, kDivUD = 265;
constexpr u16 kAddSB = 266, kSubSB = 267, kMulSB = 268, kDivSB = 269;
constexpr u16 kShlB = 270, kShrB = 271, kRolB = 272, kRorB = 273;
constexpr u16 kAddU = 289, kSubU = 290, kSqrtU = 291, kModU = 292;

inline i32 AsI16(u16 v) { return static_cast<i16>(v); }
inline i32 AsI8(u16 v) { return static_cast<i8>(static_cast<u8>(v)); }
// Low 16 bits of a value (two's complement).
inline u16 Low16(i32 v) { return static_cast<u16>(v); }
inline u16 LowByte(u16 v) { return static_cast<u16>(v & 0xFFu); }
// The low byte of v sign-extended into a whole entry.
inline u16 SignedByteEntry(i32 v) { return static_cast<u16>(static_cast<i8>(static_cast<u8>(v))); }
// Replaces the low byte of an entry, keeping its high byte.
inline u16 WithLowByte(u16 entry, u32 low) { return static_cast<u16>((entry & 0xFF00u) | (low & 0xFFu)); }

inline u16 Rol16(u32 v, u32 n) { return static_cast<u16>((v << n) | (v >> (16 - n))); }  // n in 0..15
inline u32 Rol32(u32 v, u32 n) { return n == 0 ? v : (v << n) | (v >> (32 - n)); }     // n in 0..31
inline u32 Rol8(u32 v, u32 n) { return ((v << n) | (v >> (8 - n))) & 0xFFu; }         // n in 0..7

inline bool OutsideI16(i32 v) { return v < -32768 || v > 32767; }
inline bool OutsideI8(i32 v) { return v < -128 || v > 127; }

// 16-bit (and byte) operations on second and top: top is popped.
[[gnu::always_inline]] inline void Binary16(u16 op, LadderVm& vm) {
    const u16 b = vm.Pop16();
    u16& a = vm.At16(1);
    bool overflow = false;
    switch (op) {
        case kAndW:
            a &= b;
            break;
        case kOrW:
            a |= b;
            break;
        case kXorW:
            a ^= b;
            break;
        case kShlW: {
            const u32 n = LowByte(b);
            a = n >= 16 ? 0 : static_cast<u16>(static_cast<u32>(a) << n);
            break;
        }
        case kShrW: {
            const u32 n = LowByte(b);
            a = n >= 16 ? 0 : static_cast<u16>(static_cast<u32>(a) >> n);
            break;
        }
        case kRolW:
            a = Rol16(a, b & 15u);
            break;
        case kRorW:
            a = Rol16(a, (16u - (b & 15u)) & 15u);
            break;
        case kAddI: {
            const i32 r = AsI16(a) + AsI16(b);
            overflow = OutsideI16(r);
            a = Low16(r);
            break;
        }
        case kSubI: {
            const i32 r = AsI16(a) - AsI16(b);
            overflow = OutsideI16(r);
            a = Low16(r);
            break;
        }
        case kMulI: {
            const i32 r = AsI16(a) * AsI16(b);  // at most 2^30 in magnitude
            overflow = OutsideI16(r);
            a = Low16(r);
            break;
        }
        case kDivI:
            // -32768 / -1 is 32768 in i32; its low 16 bits store -32768.
            if (b == 0)
                overflow = true;
            else
                a = Low16(AsI16(a) / AsI16(b));
            break;
        case kMulB: {
            const u32 p = LowByte(a) * static_cast<u32>(LowByte(b));
            overflow = p > 0xFFu;
            a = static_cast<u16>(p & 0xFFu);
            break;
        }
        case kDivB: {
            const u32 d = LowByte(b);
            if (d == 0)
                overflow = true;
            else
                a = WithLowByte(a, LowByte(a) / d);
            break;
        }
        case kMulUW: {
            const u32 p = static_cast<u32>(a) * static_cast<u32>(b);
            overflow = p > 0xFFFFu;
            a = static_cast<u16>(p);
            break;
        }
        case kDivUW:
            if (b == 0)
                overflow = true;
            else
                a = static_cast<u16>(a / b);
            break;
        case kAddSB: {
            const i32 r = AsI8(a) + AsI8(b);
            overflow = OutsideI8(r);
            a = SignedByteEntry(r);
            break;
        }
        case kSubSB: {
            const i32 r = AsI8(a) - AsI8(b);
            overflow = OutsideI8(r);
            a = SignedByteEntry(r);
            break;
        }
        case kMulSB: {
            const i32 r = AsI8(a) * AsI8(b);
            overflow = OutsideI8(r);
            a = SignedByteEntry(r);
            break;
        }
        case kDivSB: {
            // -128 / -1 is 128 in i32; its low byte stores -128.
            const i32 d = AsI8(b);
            if (d == 0)
                overflow = true;
            else
                a = WithLowByte(a, static_cast<u32>(AsI8(a) / d));
            break;
        }
        case kShlB:
        case kShrB: {
            const u32 n = LowByte(b);
            const u32 v = LowByte(a);
            const u32 r = n >= 8 ? 0 : op == kShlB ? v << n : v >> n;
            a = WithLowByte(a, r);
            vm.SetRung(1);
            break;
        }
        case kRolB:
            a = WithLowByte(a, Rol8(LowByte(a), b & 7u));
            break;
        case kRorB:
            a = WithLowByte(a, Rol8(LowByte(a), (8u - (b & 7u)) & 7u));
            break;
        default:
            break;
    }
    if (overflow) vm.RungFalse();
}

// 32-bit operations on second and top: top's two entries are popped.
[[gnu::always_inline]] inline void Binary32(u16 op, LadderVm& vm) {
    const u32 b = vm.Pop32();
    u32 a = vm.At32(1);
    bool overflow = false;
    switch (op) {
        case kAndD:
            a &= b;
            break;
        case kOrD:
            a |= b;
            break;
        case kXorD:
            a ^= b;
            break;
        case kShlD: {
            const u32 n = b & 0xFFu;
            a = n >= 32 ? 0 : a << n;
            break;
        }
        case kShrD: {
            const u32 n = b & 0xFFu;
            a = n >= 32 ? 0 : a >> n;
            break;
        }
        case kRolD:
            a = Rol32(a, b & 31u);
            break;
        case kRorD:
            a = Rol32(a, (32u - (b & 31u)) & 31u);
            break;
        case kAddDI:
        case kSubDI:
        case kMulDI: {
            i32 r;
            const i32 x = static_cast<i32>(a), y = static_cast<i32>(b);
            overflow = op == kAddDI   ? LH_AddInt32(x, y, r)
                       : op == kSubDI ? LH_SubInt32(x, y, r)
                                      : LH_MulInt32(x, y, r);
            a = static_cast<u32>(r);
            break;
        }
        case kDivDI:
            // Divided in 64 bits: the minimum value / -1 gives 2^31, whose low
            // 32 bits store the minimum value again.
            if (b == 0)
                overflow = true;
            else
                a = static_cast<u32>(static_cast<i64>(static_cast<i32>(a)) / static_cast<i32>(b));
            break;
        case kMulUD:
            overflow = LH_MulUInt32(a, b, a);
            break;
        case kDivUD:
            if (b == 0)
                overflow = true;
            else
                a /= b;
            break;
        default:
            break;
    }
    vm.Put32(1, a);  // a zero divisor left it unchanged
    if (overflow) vm.RungFalse();
}
}  // namespace lintmath

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kIntMathOps[] = {
    Wd(100, 100, "ANDW", E::kIntMath, 2, -1),
    Wd(101, 101, "ORW", E::kIntMath, 2, -1),
    Wd(102, 102, "XORW", E::kIntMath, 2, -1),
    Wd(103, 103, "NOTW", E::kIntMath, 1, 0),
    Wd(104, 104, "ANDD", E::kIntMath, 4, -2),
    Wd(105, 105, "ORD", E::kIntMath, 4, -2),
    Wd(106, 106, "XORD", E::kIntMath, 4, -2),
    Wd(107, 107, "NOTD", E::kIntMath, 2, 0),
    Wd(110, 110, "SHLW", E::kIntMath, 2, -1),
    Wd(111, 111, "SHRW", E::kIntMath, 2, -1),
    Wd(112, 112, "ROLW", E::kIntMath, 2, -1),
    Wd(113, 113, "RORW", E::kIntMath, 2, -1),
    Wd(114, 114, "SHLD", E::kIntMath, 4, -2),
    Wd(115, 115, "SHRD", E::kIntMath, 4, -2),
    Wd(116, 116, "ROLD", E::kIntMath, 4, -2),
    Wd(117, 117, "RORD", E::kIntMath, 4, -2),
    Wd(120, 120, "ADDI", E::kIntMath, 2, -1),
    Wd(121, 121, "SUBI", E::kIntMath, 2, -1),
    Wd(122, 122, "MULI", E::kIntMath, 2, -1),
    Wd(123, 123, "DIVI", E::kIntMath, 2, -1),
    Wd(124, 124, "ADDDI", E::kIntMath, 4, -2),
    Wd(125, 125, "SUBDI", E::kIntMath, 4, -2),
    Wd(126, 126, "MULDI", E::kIntMath, 4, -2),
    Wd(127, 127, "DIVDI", E::kIntMath, 4, -2),
    Wd(260, 260, "MULB", E::kIntMath, 2, -1),
    Wd(261, 261, "DIVB", E::kIntMath, 2, -1),
    Wd(262, 262, "MULUW", E::kIntMath, 2, -1),
    Wd(263, 263, "DIVUW", E::kIntMath, 2, -1),
    Wd(264, 264, "MULUD", E::kIntMath, 4, -2),
    Wd(265, 265, "DIVUD", E::kIntMath, 4, -2),
    Wd(266, 266, "ADDSB", E::kIntMath, 2, -1),
    Wd(267, 267, "SUBSB", E::kIntMath, 2, -1),
    Wd(268, 268, "MULSB", E::kIntMath, 2, -1),
    Wd(269, 269, "DIVSB", E::kIntMath, 2, -1),
    Wd(270, 270, "SHLB", E::kIntMath, 2, -1),
    Wd(271, 271, "SHRB", E::kIntMath, 2, -1),
    Wd(272, 272, "ROLB", E::kIntMath, 2, -1),
    Wd(273, 273, "RORB", E::kIntMath, 2, -1),
    Ly(289, "ADDU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(290, "SUBU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(291, "SQRTU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
    Ly(292, "MODU", E::kIntMath, 0, 0, LadderIntMath_LayoutUnsigned),
};
}  // namespace lrow
