#include "ladder/intmath.h"

#include <limits>

// Every operation works on the interpreter's word stack in place: a binary
// operation combines second (pushed first) with top, writes the result over
// second and drops top. Overflow and division by zero make the rung value
// FALSE and never stop the scan. All arithmetic is done in wider or unsigned
// types, so no input can reach undefined behaviour (signed overflow, shifts
// by the width or more, the minimum value divided by -1).

namespace {

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
void Binary16(u16 op, LadderVm& vm) {
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
void Binary32(u16 op, LadderVm& vm) {
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

// ADDU, SUBU, SQRTU and MODU after their type word.
void Unsigned(u16 op, u16 type, LadderVm& vm) {
    bool overflow = false;
    if (type == kLadderUnsigned16) {
        if (op == kSqrtU) {
            vm.At16(1) = isqrt(vm.At16(1));
            return;
        }
        const u16 b = vm.Pop16();
        u16& a = vm.At16(1);
        if (op == kAddU) {
            const u32 s = static_cast<u32>(a) + b;
            overflow = s > 0xFFFFu;
            a = static_cast<u16>(s);
        } else if (op == kSubU) {
            overflow = b > a;
            a = static_cast<u16>(static_cast<u32>(a) - b);
        } else if (b == 0) {
            overflow = true;
        } else {
            a = static_cast<u16>(a % b);
        }
    } else if (type == kLadderUnsigned32) {
        if (op == kSqrtU) {
            vm.Put32(1, lsqrt(vm.At32(1)));
            return;
        }
        const u32 b = vm.Pop32();
        u32 a = vm.At32(1);
        if (op == kAddU)
            overflow = LH_AddUInt32(a, b, a);
        else if (op == kSubU)
            overflow = LH_SubUInt32(a, b, a);
        else if (b == 0)
            overflow = true;
        else
            a %= b;
        vm.Put32(1, a);
    }
    if (overflow) vm.RungFalse();
}

}  // namespace

bool LH_AddInt32(i32 a, i32 b, i32& sum) {
    const i64 exact = static_cast<i64>(a) + b;
    sum = static_cast<i32>(static_cast<u32>(exact));
    return exact != sum;
}

bool LH_SubInt32(i32 a, i32 b, i32& diff) {
    const i64 exact = static_cast<i64>(a) - b;
    diff = static_cast<i32>(static_cast<u32>(exact));
    return exact != diff;
}

bool LH_AddUInt32(u32 a, u32 b, u32& sum) {
    sum = a + b;
    return sum < a;
}

bool LH_SubUInt32(u32 a, u32 b, u32& diff) {
    diff = a - b;
    return b > a;
}

bool LH_MulInt32(i32 a, i32 b, i32& product) {
    const i64 exact = static_cast<i64>(a) * b;
    product = static_cast<i32>(static_cast<u32>(exact));
    if (a == 0 || b == 0) return false;
    return exact < std::numeric_limits<i32>::min() || exact > std::numeric_limits<i32>::max();
}

bool LH_MulUInt32(u32 a, u32 b, u32& product) {
    const u64 exact = static_cast<u64>(a) * b;
    product = static_cast<u32>(exact);
    return exact > 0xFFFFFFFFu;
}

template <bool kTok16>
bool LadderIntMath_Exec(u16 op, LadderVm& vm) {
    // No instruction of the family has register operands, so the token
    // width does not change the decoding.
    switch (op) {
        case kNotW:
            vm.At16(1) = static_cast<u16>(~vm.At16(1));
            return true;
        case kNotD:
            vm.Put32(1, ~vm.At32(1));
            return true;
        case kAndW:
        case kOrW:
        case kXorW:
        case kShlW:
        case kShrW:
        case kRolW:
        case kRorW:
        case kAddI:
        case kSubI:
        case kMulI:
        case kDivI:
        case kMulB:
        case kDivB:
        case kMulUW:
        case kDivUW:
        case kAddSB:
        case kSubSB:
        case kMulSB:
        case kDivSB:
        case kShlB:
        case kShrB:
        case kRolB:
        case kRorB:
            Binary16(op, vm);
            return true;
        case kAndD:
        case kOrD:
        case kXorD:
        case kShlD:
        case kShrD:
        case kRolD:
        case kRorD:
        case kAddDI:
        case kSubDI:
        case kMulDI:
        case kDivDI:
        case kMulUD:
        case kDivUD:
            Binary32(op, vm);
            return true;
        case kAddU:
        case kSubU:
        case kSqrtU:
        case kModU:
            Unsigned(op, LadderLit(vm.code, vm.ip), vm);
            return true;
        default:
            return false;  // not an instruction of this family
    }
}

template bool LadderIntMath_Exec<true>(u16, LadderVm&);
template bool LadderIntMath_Exec<false>(u16, LadderVm&);

void LadderIntMath_LayoutUnsigned(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    (void)tok16;  // the type word is a literal in both widths
    if (avail < 2) {
        out.Fail(LLayoutStatus::kTruncated);
        return;
    }
    out.words = 2;
    const bool sqrt = code[0] == kSqrtU;
    switch (code[1]) {
        case kLadderUnsigned16:
            out.wordNeed = sqrt ? 1 : 2;
            out.wordDelta = sqrt ? 0 : -1;
            break;
        case kLadderUnsigned32:
            out.wordNeed = sqrt ? 2 : 4;
            out.wordDelta = sqrt ? 0 : -2;
            break;
        default:
            // Any other type does nothing beyond consuming the type word.
            out.wordNeed = 0;
            out.wordDelta = 0;
            break;
    }
}
