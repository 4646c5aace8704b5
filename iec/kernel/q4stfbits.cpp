#include "iec/kernel/q4stfbits.h"

#include <cstring>

#include "iec/kernel/q4stfops.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// One of the four widths: its table, lock bit and size.
struct Width {
    u32 area;
    u8 lock;
    u32 bytes;
};
constexpr Width kW8{kDbData8, kQ4LockData8, 1}, kW16{kDbData16, kQ4LockData16, 2}, kW32{kDbData32, kQ4LockData32, 4},
    kW64{kDbData64, kQ4LockData64, 8};

u64 Load(const u8* p, u32 bytes) {
    u64 v = 0;
    for (u32 i = 0; i < bytes; ++i) v |= static_cast<u64>(p[i]) << (8 * i);
    return v;
}
void Store(u8* p, u32 bytes, u64 v) {
    for (u32 i = 0; i < bytes; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}
u64 Mask(u32 bytes) { return bytes == 8 ? ~u64{0} : (u64{1} << (8 * bytes)) - 1; }

bool LogicalShift(u8* db) {
    const u8* st = Q4VM_Status(db);
    return st && (GetLe32(st + kQ4StOptions) & kVmOptLogicalShift);
}

// result := f(inputs...) on values of one width; n inputs (1 or 2) from the
// same table as the result.
using Fn = u64 (*)(u64 a, u64 b, u32 bits, bool logical);
int Apply(u8* db, const u16* ops, const Width& w, int n, Fn f) {
    u8* r = Q4Tools_Element(db, w.area, ops[0]);
    u8* a = Q4Tools_Element(db, w.area, ops[1]);
    u8* b = n > 1 ? Q4Tools_Element(db, w.area, ops[2]) : a;
    if (!Q4Stf_All(r, a, b)) return 0;
    if (Q4VMStf_CanStore(db, w.lock, ops[0]))
        Store(r, w.bytes, f(Load(a, w.bytes), Load(b, w.bytes), 8 * w.bytes, LogicalShift(db)) & Mask(w.bytes));
    return 1;
}

u64 And(u64 a, u64 b, u32, bool) { return a & b; }
u64 Or(u64 a, u64 b, u32, bool) { return a | b; }
u64 Xor(u64 a, u64 b, u32, bool) { return a ^ b; }
u64 Not(u64 a, u64, u32, bool) { return ~a; }

// Only the low bits of N count: N is taken modulo the width.
u64 Rol(u64 a, u64 n, u32 bits, bool) {
    n &= bits - 1;
    return n ? (a << n) | (a >> (bits - n)) : a;
}
u64 Ror(u64 a, u64 n, u32 bits, bool) {
    n &= bits - 1;
    return n ? (a >> n) | (a << (bits - n)) : a;
}
u64 Shl(u64 a, u64 n, u32 bits, bool) { return a << (n & (bits - 1)); }
// The top bit is kept (a sign, whatever the type) unless the option asks
// for a logical shift.
u64 Shr(u64 a, u64 n, u32 bits, bool logical) {
    n &= bits - 1;
    const u64 top = u64{1} << (bits - 1);
    for (u64 i = 0; i < n; ++i) a = (a >> 1) | (!logical && (a & top) ? top : 0);
    return a;
}

// Reads a value of an any-typed operand (1, 2, 4 or 8 bytes by the type).
u8* Any(u8* db, u16 type, u16 index) { return Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr); }

// The bit count of the types whose single bits TESTBIT and SETBIT reach
// (bytes, 16- and 32-bit integers); 0 for the others.
u32 BitWidth(u16 type) {
    switch (type) {
        case kQ4TypeBool: case kQ4TypeSint: case kQ4TypeUsint: return 8;
        case kQ4TypeInt: case kQ4TypeUint: return 16;
        case kQ4TypeDint: case kQ4TypeUdint: return 32;
        default: return 0;
    }
}

}  // namespace

int Q4Stf_AndMask(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, And); }
int Q4Stf_OrMask(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, Or); }
int Q4Stf_XorMask(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, Xor); }
int Q4Stf_NotMask(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 1, Not); }
int Q4Stf_AndWord(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, And); }
int Q4Stf_OrWord(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, Or); }
int Q4Stf_XorWord(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, Xor); }
int Q4Stf_NotWord(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 1, Not); }
int Q4Stf_AndByte(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, And); }
int Q4Stf_OrByte(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, Or); }
int Q4Stf_XorByte(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, Xor); }
int Q4Stf_NotByte(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 1, Not); }
int Q4Stf_And64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, And); }
int Q4Stf_Or64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, Or); }
int Q4Stf_Xor64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, Xor); }
int Q4Stf_Not64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 1, Not); }
int Q4Stf_Rol(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, Rol); }
int Q4Stf_Ror(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, Ror); }
int Q4Stf_Shl(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, Shl); }
int Q4Stf_Shr(u8* db, const u16* ops, u16) { return Apply(db, ops, kW32, 2, Shr); }
int Q4Stf_RolW(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, Rol); }
int Q4Stf_RorW(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, Ror); }
int Q4Stf_ShlW(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, Shl); }
int Q4Stf_ShrW(u8* db, const u16* ops, u16) { return Apply(db, ops, kW16, 2, Shr); }
int Q4Stf_RolB(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, Rol); }
int Q4Stf_RorB(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, Ror); }
int Q4Stf_ShlB(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, Shl); }
int Q4Stf_ShrB(u8* db, const u16* ops, u16) { return Apply(db, ops, kW8, 2, Shr); }
int Q4Stf_Rol64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, Rol); }
int Q4Stf_Ror64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, Ror); }
int Q4Stf_Shl64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, Shl); }
int Q4Stf_Shr64(u8* db, const u16* ops, u16) { return Apply(db, ops, kW64, 2, Shr); }

namespace {
// result (width out) := f(inputs of width in).
int Split(u8* db, const u16* ops, const Width& out, const Width& in, int n, u64 (*f)(const u64* v)) {
    u8* r = Q4Tools_Element(db, out.area, ops[0]);
    if (!r) return 0;
    u64 v[8] = {};
    for (int i = 0; i < n; ++i) {
        u8* p = Q4Tools_Element(db, in.area, ops[1 + i]);
        if (!p) return 0;
        v[i] = Load(p, in.bytes);
    }
    if (Q4VMStf_CanStore(db, out.lock, ops[0])) Store(r, out.bytes, f(v));
    return 1;
}
}  // namespace

int Q4Stf_LoByte(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW8, kW16, 1, [](const u64* v) { return v[0] & 0xFF; });
}
int Q4Stf_HiByte(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW8, kW16, 1, [](const u64* v) { return (v[0] >> 8) & 0xFF; });
}
int Q4Stf_LoWord(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW16, kW32, 1, [](const u64* v) { return v[0] & 0xFFFF; });
}
int Q4Stf_HiWord(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW16, kW32, 1, [](const u64* v) { return (v[0] >> 16) & 0xFFFF; });
}
int Q4Stf_MakeWord(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW16, kW8, 2, [](const u64* v) { return (v[0] << 8) | v[1]; });
}
int Q4Stf_MakeDword(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW32, kW16, 2, [](const u64* v) { return (v[0] << 16) | v[1]; });
}
int Q4Stf_Pack8(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW8, kW8, 8, [](const u64* v) {
        u64 r = 0;
        for (int i = 0; i < 8; ++i)
            if (v[i]) r |= u64{1} << i;
        return r;
    });
}

// Digit k weighs 16^k in 32-bit arithmetic, so digits beyond the eighth wrap
// out of the word.
int Q4Stf_BinToBcd(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW32, kW32, 1, [](const u64* v) -> u64 {
        const i32 in = static_cast<i32>(v[0]);
        if (in <= 0) return 0;
        u32 r = 0, weight = 1;
        for (u32 q = static_cast<u32>(in); q; q /= 10, weight *= 16) r += (q % 10) * weight;
        return r;
    });
}
int Q4Stf_BcdToBin(u8* db, const u16* ops, u16) {
    return Split(db, ops, kW32, kW32, 1, [](const u64* v) -> u64 {
        const i32 in = static_cast<i32>(v[0]);
        if (in <= 0) return 0;
        u32 r = 0, weight = 1;
        for (u32 q = static_cast<u32>(in); q; q >>= 4, weight *= 10) {
            if ((q & 0xF) > 9) return 0;
            r += (q & 0xF) * weight;
        }
        return r;
    });
}

// The element count that follows the array operand, as the compiler wrote it.
int Q4Stf_CountOf(u8* db, const u16* ops, u16) {
    u8* r = Q4Stf_D32(db, ops[0]);
    if (!r) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, ops[3]);
    return 1;
}

int Q4Stf_TestBit(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *bit = Q4Stf_D32(db, ops[3]);
    if (!Q4Stf_All(r, bit)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const u16 type = ops[1];
    const u32 width = BitWidth(type), b = GetLe32(bit);
    u8 value = 0;
    if (width && b < width) {
        u8* in = Any(db, type, ops[2]);
        if (!in) return 0;
        value = (Load(in, width / 8) >> b) & 1;
    }
    *r = value;
    return 1;
}

// SETBIT writes its result without looking at the lock flags; only the
// string copy keeps the lock test of a STRING result.
int Q4Stf_SetBit(u8* db, const u16* ops, u16) {
    const u16 type = ops[1];
    u8 *bit = Q4Stf_D32(db, ops[3]), *value = Q4Stf_D8(db, ops[4]);
    if (!Q4Stf_All(bit, value)) return 0;
    if (type == kQ4TypeString) {
        if (!Q4Tools_String(db, ops[0]) || !Q4Tools_String(db, ops[2])) return 0;
        if (Q4VMStf_CanStore(db, kQ4LockString, ops[0])) Q4VMStr_Copy(db, ops[0], ops[2]);
        return 1;
    }
    const u32 size = Q4Stf_ValueSize(type);
    if (!size) return 1;
    u8 *r = Any(db, type, ops[0]), *in = Any(db, type, ops[2]);
    if (!Q4Stf_All(r, in)) return 0;
    u64 v = Load(in, size);
    const u32 width = BitWidth(type), b = GetLe32(bit);
    if (width && b < width) v = *value ? v | (u64{1} << b) : v & ~(u64{1} << b);
    Store(r, size, v);
    return 1;
}

int Q4Stf_Swab(u8* db, const u16* ops, u16) {
    const u16 type = ops[1];
    if (type == kQ4TypeString) {
        if (!Q4Tools_String(db, ops[0]) || !Q4Tools_String(db, ops[2])) return 0;
        if (Q4VMStf_CanStore(db, kQ4LockString, ops[0])) Q4VMStr_Copy(db, ops[0], ops[2]);
        return 1;
    }
    const u32 size = Q4Stf_ValueSize(type);
    if (!size) return 1;  // other codes leave the result untouched
    u8 *r = Any(db, type, ops[0]), *in = Any(db, type, ops[2]);
    if (!Q4Stf_All(r, in)) return 0;
    if (!Q4VMStf_CanStore(db, Q4Type_LockBit(type), ops[0])) return 1;
    u8 tmp[8];
    std::memcpy(tmp, in, size);
    // 16- and 32-bit integers reverse their bytes; every other value is copied.
    const bool swap = BitWidth(type) == 16 || BitWidth(type) == 32;
    for (u32 i = 0; i < size; ++i) r[i] = swap ? tmp[size - 1 - i] : tmp[i];
    return 1;
}

// MOVEBLOCK (type, SRC, count, DST, count, POSSRC, POSDST, NB) -> BOOL.
// Positions and NB are taken unsigned and added in 64 bits, so a negative
// one is refused; overlapping ranges of one array move as a whole.
int Q4Stf_MoveBlock(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *ps = Q4Stf_D32(db, ops[6]), *pd = Q4Stf_D32(db, ops[7]),
       *pn = Q4Stf_D32(db, ops[8]);
    if (!Q4Stf_All(r, ps, pd, pn)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const u16 type = ops[1];
    const u64 posSrc = GetLe32(ps), posDst = GetLe32(pd), nb = GetLe32(pn);
    const u32 size = Q4Stf_ValueSize(type);
    if (nb == 0 || posSrc + nb > ops[3] || posDst + nb > ops[5] || size == 0) {
        *r = 0;
        return 1;
    }
    u8 *src = Q4Stf_Array(db, type, ops[2], ops[3], size), *dst = Q4Stf_Array(db, type, ops[4], ops[5], size);
    if (!Q4Stf_All(src, dst)) return 0;
    std::memmove(dst + posDst * size, src + posSrc * size, nb * size);
    *r = 1;
    return 1;
}

// MBSHIFT (type, BUF, count, POS, NBBYTE, NBSHIFT, RIGHT, ROTATE, INBIT) -> BOOL:
// the NBBYTE bytes from element POS on are one bit string, its first byte
// the most significant, shifted NBSHIFT times by one bit.
int Q4Stf_MbShift(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *pp = Q4Stf_D32(db, ops[4]), *pn = Q4Stf_D32(db, ops[5]),
       *ps = Q4Stf_D32(db, ops[6]), *right = Q4Stf_D8(db, ops[7]), *rotate = Q4Stf_D8(db, ops[8]),
       *inbit = Q4Stf_D8(db, ops[9]);
    if (!Q4Stf_All(r, pp, pn, ps, right, rotate, inbit)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const u16 type = ops[1];
    const u32 size = type == kQ4TypeBool || type == kQ4TypeReal || type == kQ4TypeTime || type == kQ4TypeLreal
                         ? 0
                         : Q4Stf_ValueSize(type);
    const u64 count = u64{ops[3]} * size, pos = u64{GetLe32(pp)} * size, nbyte = GetLe32(pn);
    const u32 nshift = GetLe32(ps);
    if (size == 0 || nbyte == 0 || pos + nbyte > count || nshift > 255) {
        *r = 0;
        return 1;
    }
    u8* buf = Q4Stf_Array(db, type, ops[2], ops[3], size);
    if (!buf) return 0;
    u8* b = buf + pos;
    const u64 last = nbyte - 1;
    for (u32 s = 0; s < nshift; ++s) {
        if (*right) {
            const u8 in = *rotate ? (b[last] & 1) : (*inbit ? 1 : 0);
            for (u64 i = last; i > 0; --i) b[i] = static_cast<u8>((b[i] >> 1) | ((b[i - 1] & 1) << 7));
            b[0] = static_cast<u8>((b[0] >> 1) | (in << 7));
        } else {
            const u8 in = *rotate ? (b[0] >> 7) : (*inbit ? 1 : 0);
            for (u64 i = 0; i < last; ++i) b[i] = static_cast<u8>((b[i] << 1) | (b[i + 1] >> 7));
            b[last] = static_cast<u8>((b[last] << 1) | in);
        }
    }
    *r = 1;
    return 1;
}

namespace {
// SERIALIZEOUT / SERIALIZEIN (type, BUF, count, DATA, POS, BIGENDIAN) -> DINT:
// the next position, or 0 when the value does not fit. POS is taken unsigned
// and added in 64 bits, so a negative one never reaches before the buffer.
int Serialize(u8* db, const u16* ops, bool out) {
    u8 *r = Q4Stf_D32(db, ops[0]), *pp = Q4Stf_D32(db, ops[5]), *big = Q4Stf_D8(db, ops[6]);
    if (!Q4Stf_All(r, pp, big)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    const u16 type = ops[1];
    const u32 size = Q4Stf_ValueSize(type);
    const u64 pos = GetLe32(pp);
    if (size == 0 || pos + size > ops[3]) {
        PutLe32(r, 0);
        return 1;
    }
    int locked = 0;
    u8* buf = Q4Stf_Bytes(db, ops[2], ops[3]);
    u8* data = Q4Tools_GetAnyParam(db, type, ops[4], &locked, nullptr);
    if (!Q4Stf_All(buf, data)) return 0;
    u8* at = buf + pos;
    for (u32 i = 0; i < size; ++i) {
        const u32 j = *big ? size - 1 - i : i;  // buffer byte of value byte i
        if (out) at[j] = data[i];
        else if (!locked) data[i] = at[j];
    }
    PutLe32(r, static_cast<u32>(pos + size));
    return 1;
}
}  // namespace

int Q4Stf_SerializeOut(u8* db, const u16* ops, u16) { return Serialize(db, ops, true); }
int Q4Stf_SerializeIn(u8* db, const u16* ops, u16) { return Serialize(db, ops, false); }
