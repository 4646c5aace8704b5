#include "iec/kernel/q4vmcnv.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmstr.h"

namespace {

bool Known(u16 t) { return (t >= kQ4TypeBool && t <= kQ4TypeString) || (t >= kQ4TypeSint && t <= kQ4TypeUlint); }
bool IsFloat(u16 t) { return t == kQ4TypeReal || t == kQ4TypeLreal; }
bool IsSignedInt(u16 t) { return t == kQ4TypeSint || t == kQ4TypeInt || t == kQ4TypeDint || t == kQ4TypeLint; }

u32 Width(u16 t) {
    switch (t) {
        case kQ4TypeBool:
        case kQ4TypeSint:
        case kQ4TypeUsint: return 1;
        case kQ4TypeInt:
        case kQ4TypeUint: return 2;
        case kQ4TypeLint:
        case kQ4TypeUlint:
        case kQ4TypeLreal: return 8;
        default: return 4;
    }
}

// An integer, TIME or BOOL source as a 64-bit number: signed types extended
// with their sign, unsigned types and TIME with zeros, BOOL as 0 or 1.
u64 ReadInt(const u8* p, u16 t) {
    switch (t) {
        case kQ4TypeBool: return p[0] ? 1 : 0;
        case kQ4TypeSint: return static_cast<u64>(static_cast<i64>(static_cast<i8>(p[0])));
        case kQ4TypeUsint: return p[0];
        case kQ4TypeInt: return static_cast<u64>(static_cast<i64>(static_cast<i16>(GetLe16(p))));
        case kQ4TypeUint: return GetLe16(p);
        case kQ4TypeDint: return static_cast<u64>(static_cast<i64>(static_cast<i32>(GetLe32(p))));
        case kQ4TypeLint:
        case kQ4TypeUlint: return GetLe64(p);
        default: return GetLe32(p);  // UDINT, TIME
    }
}

double ReadFloat(const u8* p, u16 t) {
    if (t == kQ4TypeReal) return static_cast<double>(GetLeFloat(p));
    u64 bits = GetLe64(p);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// Keeps the low bits of the number that fit the destination.
void WriteInt(u8* p, u16 t, u64 v) {
    switch (Width(t)) {
        case 1: p[0] = static_cast<u8>(v); break;
        case 2: PutLe16(p, static_cast<u16>(v)); break;
        case 8: PutLe64(p, v); break;
        default: PutLe32(p, static_cast<u32>(v)); break;
    }
}

void WriteFloat(u8* p, u16 t, double v) {
    if (t == kQ4TypeReal) {
        PutLeFloat(p, Q4VMCnv_ToReal(v));
        return;
    }
    u64 bits;
    std::memcpy(&bits, &v, 8);
    PutLe64(p, bits);
}

// Integer destination from a float source by the rules of the destination:
// signed or unsigned 32-bit saturation (unsigned32 chooses for USINT, UINT
// and UDINT), 64-bit for LINT and ULINT, unsigned 32-bit for TIME.
void FloatToInt(u8* dst, u16 dt, double v, bool unsigned32) {
    switch (dt) {
        case kQ4TypeLint: PutLe64(dst, static_cast<u64>(Q4VMCnv_RealToLint(v))); return;
        case kQ4TypeUlint: PutLe64(dst, Q4VMCnv_RealToUlint(v)); return;
        case kQ4TypeTime: PutLe32(dst, Q4VMCnv_RealToUdint(v)); return;
        case kQ4TypeUsint:
        case kQ4TypeUint:
        case kQ4TypeUdint:
            if (unsigned32) {
                WriteInt(dst, dt, Q4VMCnv_RealToUdint(v));
                return;
            }
            [[fallthrough]];
        default: WriteInt(dst, dt, static_cast<u64>(static_cast<i64>(Q4VMCnv_RealToDint(v)))); return;
    }
}

// The numeric matrix without STRING. Same type: plain copy.
void Numeric(u8* dst, const u8* src, u16 dt, u16 st, bool unsigned32) {
    if (dt == st) {
        std::memmove(dst, src, Width(dt));
        return;
    }
    if (dt == kQ4TypeBool) {
        dst[0] = IsFloat(st) ? (ReadFloat(src, st) != 0.0 ? 1 : 0) : (ReadInt(src, st) != 0 ? 1 : 0);
        return;
    }
    if (IsFloat(st)) {
        double v = ReadFloat(src, st);
        if (IsFloat(dt)) WriteFloat(dst, dt, v);
        else FloatToInt(dst, dt, v, unsigned32);
        return;
    }
    u64 n = ReadInt(src, st);
    if (dt == kQ4TypeReal) {
        // One rounding straight to single precision (not through double).
        float f = IsSignedInt(st) ? static_cast<float>(static_cast<i64>(n)) : static_cast<float>(n);
        PutLeFloat(dst, f);
    } else if (dt == kQ4TypeLreal) {
        WriteFloat(dst, dt, IsSignedInt(st) ? static_cast<double>(static_cast<i64>(n)) : static_cast<double>(n));
    } else {
        WriteInt(dst, dt, n);
    }
}

// Signed decimal text saturating at the 32-bit limits: white space, sign,
// digits up to the first other character; no digits give 0.
i32 ParseDint(const char* p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    i64 v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > 0x80000000LL) v = 0x80000000LL;  // saturated; keep reading the digits
    }
    if (neg) v = -v;
    if (v > std::numeric_limits<i32>::max()) return std::numeric_limits<i32>::max();
    return static_cast<i32>(v);
}

// The text of a VM string, NUL-terminated, in a buffer of its own.
struct StrText {
    explicit StrText(const u8* s) {
        u32 n = Q4Str_GetLength(s);
        std::memcpy(buf, Q4Str_GetText(s), n);
        buf[n] = 0;
        len = n;
    }
    char buf[kQ4StrMaxCap + 1];
    u32 len;
};

// STRING destination (Convert only).
void ToText(u8* dst, const u8* src, u16 st) {
    switch (st) {
        case kQ4TypeBool: Q4Str_BootoA(dst, src[0]); break;
        case kQ4TypeSint:
        case kQ4TypeInt:
        case kQ4TypeDint:
        case kQ4TypeTime: Q4Str_ItoA(dst, static_cast<i32>(ReadInt(src, st))); break;
        case kQ4TypeUsint:
        case kQ4TypeUint:
        case kQ4TypeUdint: Q4Str_UtoA(dst, static_cast<u32>(ReadInt(src, st))); break;
        case kQ4TypeLint:
        case kQ4TypeUlint: Q4Str_LINTtoA(dst, static_cast<i64>(ReadInt(src, st))); break;
        case kQ4TypeReal: Q4Str_FtoA(dst, GetLeFloat(src)); break;
        case kQ4TypeLreal: Q4Str_DtoA(dst, ReadFloat(src, st)); break;
        default: break;
    }
}

// STRING source (Convert only).
void FromText(u8* dst, const u8* src, u16 dt) {
    StrText t(src);
    switch (dt) {
        case kQ4TypeBool: dst[0] = t.len != 0 ? 1 : 0; break;
        case kQ4TypeUdint: PutLe32(dst, Q4Str_AtoUL(src)); break;
        case kQ4TypeLint:
        case kQ4TypeUlint: PutLe64(dst, static_cast<u64>(Q4Str_AtoLINT(src))); break;
        case kQ4TypeReal:
        case kQ4TypeLreal: WriteFloat(dst, dt, Q4VMCnv_ParseReal(t.buf, t.len)); break;
        default: WriteInt(dst, dt, static_cast<u64>(static_cast<i64>(ParseDint(t.buf)))); break;
    }
}

}  // namespace

i32 Q4VMCnv_RealToDint(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<i32>::max();
    if (v <= -2147483648.0) return std::numeric_limits<i32>::min();
    return static_cast<i32>(v);
}

u32 Q4VMCnv_RealToUdint(double v) {
    if (std::isnan(v) || v <= 0.0) return 0;
    if (v >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<u32>(v);
}

i64 Q4VMCnv_RealToLint(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<i64>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<i64>::min();
    return static_cast<i64>(v);
}

u64 Q4VMCnv_RealToUlint(double v) {
    if (std::isnan(v) || v <= 0.0) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<u64>::max();
    return static_cast<u64>(v);
}

float Q4VMCnv_ToReal(double v) {
    // Values from FLT_MAX + half its last unit up round to infinity; below
    // that they round to FLT_MAX. Decided here, not by the cast.
    constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
    if (std::isfinite(v) && std::fabs(v) >= kOverflow)
        return v > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
        return v > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
    return static_cast<float>(v);
}

double Q4VMCnv_ParseReal(const char* text, u32 len) {
    if (!text) return 0.0;
    u32 i = 0;
    while (i < len && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    u32 start = i;
    if (i < len && (text[i] == '+' || text[i] == '-')) ++i;
    u32 digits = 0;
    while (i < len && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < len && text[i] == '.') {
        ++i;
        while (i < len && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0.0;
    if (i < len && (text[i] == 'e' || text[i] == 'E')) {
        u32 j = i + 1;
        if (j < len && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < len && text[j] >= '0' && text[j] <= '9') {
            while (j < len && text[j] >= '0' && text[j] <= '9') ++j;
            i = j;
        }
    }
    // Only the accepted decimal prefix reaches strtod, so hexadecimal, "inf"
    // and "nan" forms are never read.
    char buf[128];
    u32 n = i - start;
    if (n >= sizeof buf) {
        // Long digit runs: strtod on a heap copy keeps the exact value.
        char* big = static_cast<char*>(std::malloc(n + 1));
        if (!big) return 0.0;
        std::memcpy(big, text + start, n);
        big[n] = 0;
        double d = std::strtod(big, nullptr);
        std::free(big);
        return d;
    }
    std::memcpy(buf, text + start, n);
    buf[n] = 0;
    return std::strtod(buf, nullptr);
}

void Q4VMCnv_Convert(u8* db, const u16* ops) {
    if (!db || !ops) return;
    u16 dt = ops[2], st = ops[3];
    if (!Known(dt) || !Known(st)) return;
    int lock = 0;
    u8* dst = Q4Tools_GetAnyParam(db, dt, ops[0], &lock, nullptr);
    const u8* src = Q4Tools_GetAnyParam(db, st, ops[1], nullptr, nullptr);
    if (!dst || !src) return;
    if (dt == kQ4TypeString) {
        // A locked (forced) string keeps its forced text.
        if (lock) return;
        if (st == kQ4TypeString) Q4Str_Copy(dst, src);
        else ToText(dst, src, st);
        return;
    }
    if (st == kQ4TypeString) {
        FromText(dst, src, dt);
        return;
    }
    Numeric(dst, src, dt, st, false);
}

void Q4VMCnv_ConvBin(void* dst, const void* src, u16 dstType, u16 srcType) {
    if (!dst || !src || !Known(dstType) || !Known(srcType) || dstType == kQ4TypeString || srcType == kQ4TypeString)
        return;
    Numeric(static_cast<u8*>(dst), static_cast<const u8*>(src), dstType, srcType, true);
}

void Q4VMCnv_SZToNumPtr(void* dst, u16 type, const char* text) {
    if (!dst || !text) return;
    u8* p = static_cast<u8*>(dst);
    switch (type) {
        case kQ4TypeBool: p[0] = ParseDint(text) != 0 ? 1 : 0; break;
        case kQ4TypeSint:
        case kQ4TypeUsint:
        case kQ4TypeInt:
        case kQ4TypeUint:
        case kQ4TypeDint:
        case kQ4TypeUdint:
        case kQ4TypeTime: WriteInt(p, type, static_cast<u64>(static_cast<i64>(ParseDint(text)))); break;
        case kQ4TypeReal:
        case kQ4TypeLreal: WriteFloat(p, type, Q4VMCnv_ParseReal(text, static_cast<u32>(std::strlen(text)))); break;
        case kQ4TypeLint:
        case kQ4TypeUlint: PutLe64(p, static_cast<u64>(Q4Str_SZtoLINT(text))); break;
        default: break;
    }
}

void Q4VMCnv_SZToNum(u8* db, u16 type, u16 index, const char* text) {
    if (type == kQ4TypeString || !Known(type)) return;
    u8* p = Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr);
    if (p) Q4VMCnv_SZToNumPtr(p, type, text);
}

void Q4VMCnv_NumToSZPtr(const void* value, u16 type, char* text) {
    if (!text) return;
    text[0] = 0;
    if (!value) return;
    const u8* p = static_cast<const u8*>(value);
    switch (type) {
        case kQ4TypeBool:
        case kQ4TypeSint:
        case kQ4TypeInt:
        case kQ4TypeDint:
            std::snprintf(text, kQ4CnvTextMax, "%" PRId32,
                          type == kQ4TypeBool ? static_cast<i32>(p[0]) : static_cast<i32>(ReadInt(p, type)));
            break;
        case kQ4TypeUsint:
        case kQ4TypeUint:
        case kQ4TypeUdint:
        case kQ4TypeTime: std::snprintf(text, kQ4CnvTextMax, "%" PRIu32, static_cast<u32>(ReadInt(p, type))); break;
        case kQ4TypeLint:
        case kQ4TypeUlint: std::snprintf(text, kQ4CnvTextMax, "%" PRId64, static_cast<i64>(GetLe64(p))); break;
        case kQ4TypeReal:
        case kQ4TypeLreal: std::snprintf(text, kQ4CnvTextMax, "%g", ReadFloat(p, type)); break;
        default: break;
    }
}

void Q4VMCnv_NumToSZ(u8* db, u16 type, u16 index, char* text) {
    if (text) text[0] = 0;
    if (type == kQ4TypeString || !Known(type)) return;
    Q4VMCnv_NumToSZPtr(Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr), type, text);
}
