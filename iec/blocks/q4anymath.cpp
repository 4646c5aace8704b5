#include "iec/blocks/q4anymath.h"

#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// Tags of the types that are not computed on as numbers.
struct BoolT {};
struct TimeT {};
struct StringT {};

// Calls f with a value of the C++ type of the IEC type code (BoolT, TimeT
// and StringT for those); false for a code that is no elementary type.
template <typename F>
bool ByType(u16 type, F&& f) {
    switch (type) {
        case kQ4TypeBool: f(BoolT{}); return true;
        case kQ4TypeSint: f(i8{}); return true;
        case kQ4TypeUsint: f(u8{}); return true;
        case kQ4TypeInt: f(i16{}); return true;
        case kQ4TypeUint: f(u16{}); return true;
        case kQ4TypeDint: f(i32{}); return true;
        case kQ4TypeUdint: f(u32{}); return true;
        case kQ4TypeLint: f(i64{}); return true;
        case kQ4TypeUlint: f(u64{}); return true;
        case kQ4TypeReal: f(float{}); return true;
        case kQ4TypeLreal: f(double{}); return true;
        case kQ4TypeTime: f(TimeT{}); return true;
        case kQ4TypeString: f(StringT{}); return true;
        default: return false;
    }
}

template <typename T>
constexpr bool kInteger = std::is_integral_v<T>;
template <typename T>
constexpr bool kFloat = std::is_floating_point_v<T>;

// Value of an operand of numeric type T (BOOL and TIME as their raw bits).
template <typename T>
T Get(u8* db, u16 type, u16 index) {
    u64 bits = 0;
    Q4Ctl_GetBits(db, type, index, &bits);
    if constexpr (std::is_same_v<T, float>) return std::bit_cast<float>(static_cast<u32>(bits));
    else if constexpr (std::is_same_v<T, double>) return std::bit_cast<double>(bits);
    else return static_cast<T>(bits);
}

template <typename T>
void Put(u8* db, u16 type, u16 index, T v) {
    if constexpr (std::is_same_v<T, float>) Q4Ctl_PutBits(db, type, index, std::bit_cast<u32>(v));
    else if constexpr (std::is_same_v<T, double>) Q4Ctl_PutBits(db, type, index, std::bit_cast<u64>(v));
    else Q4Ctl_PutBits(db, type, index, static_cast<u64>(static_cast<std::make_unsigned_t<T>>(v)));
}

// OUT := IN of the type, STRING by the string copy (cut to the output's
// capacity).
void Copy(u8* db, u16 type, u16 in, u16 out) {
    if (type == kQ4TypeString) {
        Q4VMStr_Copy(db, out, in);
        return;
    }
    u64 bits = 0;
    if (Q4Ctl_GetBits(db, type, in, &bits)) Q4Ctl_PutBits(db, type, out, bits);
}

// type, IN1, IN2; out OUT. BOOL answers 1 when the combination is not 0.
enum class Mask { kAnd, kOr, kXor };

template <Mask m>
int MaskBlock(int command, u8* db, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        const u16 type = ops[0];
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (kInteger<T> || std::is_same_v<T, BoolT>) {
                const u64 a = Get<u64>(db, type, ops[1]), b = Get<u64>(db, type, ops[2]);
                const u64 r = m == Mask::kAnd ? (a & b) : m == Mask::kOr ? (a | b) : (a ^ b);
                Q4Ctl_PutBits(db, type, ops[3], std::is_same_v<T, BoolT> ? (r != 0 ? 1 : 0) : r);
            } else {
                Copy(db, type, ops[1], ops[3]);
            }
        });
    });
}

// Shift count: the low 8 bits of IN2 for widths up to 32 bits (all of an
// 8-bit IN2), its low 32 bits for 64-bit types.
template <typename T>
u32 ShiftCount(u64 in2) {
    if constexpr (sizeof(T) <= 4) return static_cast<u8>(in2);
    else return static_cast<u32>(in2);
}

enum class Shift { kLeft, kRight, kRotLeft, kRotRight };

template <Shift s>
int ShiftBlock(int command, u8* db, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        const u16 type = ops[0];
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (kInteger<T>) {
                using U = std::make_unsigned_t<T>;
                constexpr u32 kWidth = 8 * sizeof(T);
                const U a = static_cast<U>(Get<T>(db, type, ops[1]));
                const u64 in2 = Get<u64>(db, type, ops[2]);
                U r = 0;
                if constexpr (s == Shift::kLeft || s == Shift::kRight) {
                    const u32 n = ShiftCount<T>(in2);
                    if (n < kWidth) r = static_cast<U>(s == Shift::kLeft ? a << n : a >> n);
                } else {
                    const int n = static_cast<int>(in2 & (kWidth - 1));
                    r = s == Shift::kRotLeft ? std::rotl(a, n) : std::rotr(a, n);
                }
                Put<T>(db, type, ops[3], static_cast<T>(r));
            } else {
                Copy(db, type, ops[1], ops[3]);
            }
        });
    });
}

}  // namespace

int Q4Ctl_AndMask(int command, u8* db, u8*, u8* inst, const u16* ops) { return MaskBlock<Mask::kAnd>(command, db, inst, ops); }
int Q4Ctl_OrMask(int command, u8* db, u8*, u8* inst, const u16* ops) { return MaskBlock<Mask::kOr>(command, db, inst, ops); }
int Q4Ctl_XorMask(int command, u8* db, u8*, u8* inst, const u16* ops) { return MaskBlock<Mask::kXor>(command, db, inst, ops); }

int Q4Ctl_NotMask(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const u16 type = ops[0];
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (std::is_same_v<T, BoolT>) Q4Ctl_PutBits(db, type, ops[2], Get<u64>(db, type, ops[1]) == 0 ? 1 : 0);
            else if constexpr (kInteger<T>) Put<T>(db, type, ops[2], static_cast<T>(~Get<T>(db, type, ops[1])));
            else Copy(db, type, ops[1], ops[2]);
        });
    });
}

int Q4Ctl_Shl(int command, u8* db, u8*, u8* inst, const u16* ops) { return ShiftBlock<Shift::kLeft>(command, db, inst, ops); }
int Q4Ctl_Shr(int command, u8* db, u8*, u8* inst, const u16* ops) { return ShiftBlock<Shift::kRight>(command, db, inst, ops); }
int Q4Ctl_Rol(int command, u8* db, u8*, u8* inst, const u16* ops) { return ShiftBlock<Shift::kRotLeft>(command, db, inst, ops); }
int Q4Ctl_Ror(int command, u8* db, u8*, u8* inst, const u16* ops) { return ShiftBlock<Shift::kRotRight>(command, db, inst, ops); }

// Remainder truncated toward zero; by 0 it is 0, and the most negative value
// by -1 is 0 (the processor would trap on the quotient).
int Q4Ctl_Mod(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        const u16 type = ops[0];
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (kInteger<T>) {
                const T a = Get<T>(db, type, ops[1]), b = Get<T>(db, type, ops[2]);
                T r = 0;
                if constexpr (std::is_signed_v<T>) {
                    if (b != 0 && b != -1) r = static_cast<T>(a % b);
                } else {
                    if (b != 0) r = static_cast<T>(a % b);
                }
                Put<T>(db, type, ops[3], r);
            } else if constexpr (kFloat<T>) {
                const T a = Get<T>(db, type, ops[1]), b = Get<T>(db, type, ops[2]);
                Put<T>(db, type, ops[3], b == 0 ? T(0) : static_cast<T>(std::fmod(static_cast<double>(a), static_cast<double>(b))));
            } else {
                Copy(db, type, ops[1], ops[3]);
            }
        });
    });
}

// Signed integers: the magnitude in two's complement, so the most negative
// value stays. REAL and LREAL: the sign bit cleared only below 0, so -0.0
// and NaN stay as they are.
int Q4Ctl_Abs(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const u16 type = ops[0];
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (kInteger<T> && std::is_signed_v<T>) {
                using U = std::make_unsigned_t<T>;
                const T a = Get<T>(db, type, ops[1]);
                Put<T>(db, type, ops[2], a < 0 ? static_cast<T>(static_cast<U>(0u - static_cast<U>(a))) : a);
            } else if constexpr (kFloat<T>) {
                const T a = Get<T>(db, type, ops[1]);
                Put<T>(db, type, ops[2], a < 0 ? std::fabs(a) : a);
            } else {
                Copy(db, type, ops[1], ops[2]);
            }
        });
    });
}

// Integers: the root truncated toward zero, taken in single precision for
// widths up to 32 bits and in double for 64; negative signed values give 0.
int Q4Ctl_Sqrt(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const u16 type = ops[0];
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            if constexpr (kInteger<T>) {
                const T a = Get<T>(db, type, ops[1]);
                T r = 0;
                if (!(a < 0)) {
                    if constexpr (sizeof(T) <= 4) r = static_cast<T>(std::sqrt(static_cast<float>(a)));
                    else r = static_cast<T>(std::sqrt(static_cast<double>(a)));
                }
                Put<T>(db, type, ops[2], r);
            } else if constexpr (kFloat<T>) {
                const T a = Get<T>(db, type, ops[1]);
                Put<T>(db, type, ops[2], a < 0 ? T(0) : std::sqrt(a));
            } else {
                Copy(db, type, ops[1], ops[2]);
            }
        });
    });
}

// type, G, IN0, IN1; out OUT.
int Q4Ctl_Sel(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        if (!Q4Type_Info(ops[0]) || ops[0] == kQ4TypeComplex) return;
        Copy(db, ops[0], Q4Fb_Bool(db, ops[1]) ? ops[3] : ops[2], ops[4]);
    });
}

namespace {

// An operand of the range test, through the array accessors: with a CT
// segment the index names the DINT that holds the variable's offset.
const u8* LimOperand(u8* db, u16 type, u16 index) {
    if (type != kQ4TypeString) return Q4Fb_Array(db, type, index, 1);
    u8* s = Q4Tools_GetAnyArray(db, type, index);
    if (!s) return nullptr;
    if (!Q4Tools_HasCtSegment(db)) return s;
    u32 bytes = 0;
    u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
    return ct && static_cast<u64>(s - ct) + 3 <= bytes ? s : nullptr;
}

template <typename T>
bool InRange(T mn, T in, T mx) {
    if (mn <= mx) return mn <= in && in <= mx;
    return in > mn || in < mx;
}

}  // namespace

// type, MN, IN, MX; out Q. Limits in either order: reversed limits test for
// outside. REAL and LREAL widen the range by one unit.
int Q4Ctl_Lim(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        const u16 type = ops[0];
        const u8* p[3] = {LimOperand(db, type, ops[1]), LimOperand(db, type, ops[2]), LimOperand(db, type, ops[3])};
        if (!p[0] || !p[1] || !p[2]) return;
        ByType(type, [&](auto tag) {
            using T = decltype(tag);
            bool q = false;
            if constexpr (std::is_same_v<T, StringT>) {
                q = InRange<u8>(p[0][2], p[1][2], p[2][2]);
            } else if constexpr (std::is_same_v<T, BoolT>) {
                q = InRange<u8>(p[0][0], p[1][0], p[2][0]);
            } else if constexpr (std::is_same_v<T, TimeT>) {
                q = InRange<u32>(GetLe32(p[0]), GetLe32(p[1]), GetLe32(p[2]));
            } else if constexpr (kFloat<T>) {
                using U = std::conditional_t<sizeof(T) == 4, u32, u64>;
                const T mn = std::bit_cast<T>(static_cast<U>(Q4Ctl_LoadLe(p[0], sizeof(T))));
                const T in = std::bit_cast<T>(static_cast<U>(Q4Ctl_LoadLe(p[1], sizeof(T))));
                const T mx = std::bit_cast<T>(static_cast<U>(Q4Ctl_LoadLe(p[2], sizeof(T))));
                if (mn <= mx) q = mn - T(1) < in && in < mx + T(1);
                else q = in >= mn + T(1) || in <= mx - T(1);
            } else {
                q = InRange<T>(static_cast<T>(Q4Ctl_LoadLe(p[0], sizeof(T))), static_cast<T>(Q4Ctl_LoadLe(p[1], sizeof(T))),
                               static_cast<T>(Q4Ctl_LoadLe(p[2], sizeof(T))));
            }
            Q4Fb_PutBool(db, ops[4], q);
        });
    });
}
