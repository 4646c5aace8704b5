#include "iec/kernel/q4vmstr.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/plc_regs.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"

namespace {

// Room for the longest text any operation can build before it is cut.
struct Tmp {
    char text[2 * kQ4StrMaxCap + 64];
    u32 len = 0;
    void Put(const void* p, u32 n) {
        if (n > sizeof text - len) n = static_cast<u32>(sizeof text - len);
        std::memcpy(text + len, p, n);
        len += n;
    }
};

void SetText(u8* dst, const void* text, u32 len) {
    u8 cap = dst[0];
    if (len > cap) len = cap;
    if (len) std::memmove(dst + 2, text, len);
    dst[1] = static_cast<u8>(len);
    dst[2 + len] = 0;
}

// Copies the string's text into a NUL-terminated local buffer for parsing.
struct CText {
    char buf[kQ4StrMaxCap + 1];
    explicit CText(const u8* s) {
        u8 n = Q4Str_GetLength(s);
        std::memcpy(buf, s + 2, n);
        buf[n] = 0;
    }
};

i32 Clamp(i32 v, i32 lo, i32 hi) { return v < lo ? lo : (v > hi ? hi : v); }

u8 Fold(u8 c) { return (c >= 'a' && c <= 'z') ? static_cast<u8>(c - 32) : c; }

// Float to DINT as the board's converter does it: truncation toward zero,
// saturated at the range ends, NaN as 0 (a plain cast is undefined here).
i32 TruncToI32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<i32>::max();
    if (v <= -2147483648.0) return std::numeric_limits<i32>::min();
    return static_cast<i32>(v);
}

}  // namespace

void Q4Str_Init(u8* s, u8 capacity) {
    s[0] = capacity;
    s[1] = 0;
    s[2] = 0;
}

void Q4Str_Empty(u8* dst) {
    dst[1] = 0;
    dst[2] = 0;
}

void Q4Str_Char(u8* dst, u8 c) {
    if (dst[0] == 0) return;
    SetText(dst, &c, 1);
}

u8 Q4Str_Ascii(const u8* s, i32 pos) {
    if (pos < 0 || pos >= Q4Str_GetLength(s)) return 0;
    return s[2 + pos];
}

void Q4Str_AscForce(u8* dst, const void* text, u32 len) {
    if (!text) len = 0;
    SetText(dst, text, len);
}

void Q4Str_AscForceC(u8* dst, const char* text) {
    if (!text) {
        Q4Str_Empty(dst);
        return;
    }
    u32 n = static_cast<u32>(strnlen(text, dst[0]));
    SetText(dst, text, n);
}

void Q4Str_Force(u8* dst, const u8* lpText) { SetText(dst, lpText + 1, lpText[0]); }

void Q4Str_Copy(u8* dst, const u8* src) { SetText(dst, src + 2, Q4Str_GetLength(src)); }

void Q4Str_DBForce(u8* dst, const u8* units, u32 unitCount) {
    if (unitCount == 0) {
        Q4Str_Empty(dst);
        return;
    }
    u32 n = units[0];
    if (n > unitCount - 1) n = unitCount - 1;
    if (n > dst[0]) n = dst[0];
    for (u32 i = 0; i < n; ++i) dst[2 + i] = units[2 * (i + 1)];
    dst[1] = static_cast<u8>(n);
    dst[2 + n] = 0;
}

void Q4Str_Cat(u8* dst, const u8* a, const u8* b) {
    Tmp t;
    t.Put(a + 2, Q4Str_GetLength(a));
    t.Put(b + 2, Q4Str_GetLength(b));
    SetText(dst, t.text, t.len);
}

void Q4Str_Left(u8* dst, const u8* src, i32 n) {
    i32 len = Q4Str_GetLength(src);
    SetText(dst, src + 2, static_cast<u32>(Clamp(n, 0, len)));
}

void Q4Str_Right(u8* dst, const u8* src, i32 n) {
    i32 len = Q4Str_GetLength(src);
    n = Clamp(n, 0, len);
    SetText(dst, src + 2 + (len - n), static_cast<u32>(n));
}

void Q4Str_Mid(u8* dst, const u8* src, i32 pos, i32 n) {
    i32 len = Q4Str_GetLength(src);
    i32 p = Clamp(pos, 0, len);
    n = Clamp(n, 0, len - p);
    SetText(dst, src + 2 + p, static_cast<u32>(n));
}

void Q4Str_Delete(u8* dst, const u8* src, i32 pos, i32 n) {
    i32 len = Q4Str_GetLength(src);
    i32 p = Clamp(pos, 0, len);
    n = Clamp(n, 0, len - p);
    Tmp t;
    t.Put(src + 2, static_cast<u32>(p));
    t.Put(src + 2 + p + n, static_cast<u32>(len - p - n));
    SetText(dst, t.text, t.len);
}

void Q4Str_Insert(u8* dst, const u8* src, const u8* ins, i32 pos) {
    i32 len = Q4Str_GetLength(src);
    i32 p = Clamp(pos, 0, len);
    i32 room = src[0] - len;
    i32 m = Clamp(Q4Str_GetLength(ins), 0, room);
    Tmp t;
    t.Put(src + 2, static_cast<u32>(p));
    t.Put(ins + 2, static_cast<u32>(m));
    t.Put(src + 2 + p, static_cast<u32>(len - p));
    SetText(dst, t.text, t.len);
}

i32 Q4Str_Find(const u8* a, const u8* b) {
    i32 la = Q4Str_GetLength(a), lb = Q4Str_GetLength(b);
    if (lb == 0 || lb > la) return 0;
    for (i32 i = 0; i + lb <= la; ++i)
        if (std::memcmp(a + 2 + i, b + 2, static_cast<size_t>(lb)) == 0) return i + 1;
    return 0;
}

i32 Q4Str_Compare(const u8* a, const u8* b) {
    i32 la = Q4Str_GetLength(a), lb = Q4Str_GetLength(b);
    i32 n = la < lb ? la : lb;
    for (i32 i = 0; i < n; ++i)
        if (a[2 + i] != b[2 + i]) return static_cast<i32>(a[2 + i]) - static_cast<i32>(b[2 + i]);
    if (la == lb) return 0;
    return la > lb ? 1 : -1;
}

int Q4Str_ICmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        u8 ca = Fold(static_cast<u8>(*a)), cb = Fold(static_cast<u8>(*b));
        if (ca != cb) return static_cast<u8>(ca - cb);
        if (ca == 0) return 0;
    }
}

int Q4Str_NICmp(const char* a, const char* b, u32 n) {
    for (u32 i = 0; i < n; ++i) {
        u8 ca = Fold(static_cast<u8>(a[i])), cb = Fold(static_cast<u8>(b[i]));
        if (ca != cb) return static_cast<u8>(ca - cb);
        if (ca == 0) return 0;
    }
    return 0;
}

void Q4Str_BootoA(u8* dst, int value) { Q4Str_AscForce(dst, value ? "1" : "0", 1); }

void Q4Str_ItoA(u8* dst, i32 value) {
    char buf[16];
    int n = std::snprintf(buf, sizeof buf, "%" PRId32, value);
    SetText(dst, buf, static_cast<u32>(n));
}

void Q4Str_UtoA(u8* dst, u32 value) {
    char buf[16];
    Q4Str_UtoSZ(buf, value);
    SetText(dst, buf, static_cast<u32>(std::strlen(buf)));
}

void Q4Str_LINTtoA(u8* dst, i64 value) {
    char buf[24];
    Q4Str_LINTtoSZ(buf, value);
    SetText(dst, buf, static_cast<u32>(std::strlen(buf)));
}

void Q4Str_FtoA(u8* dst, float value) {
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
    SetText(dst, buf, static_cast<u32>(n));
}

void Q4Str_DtoA(u8* dst, double value) {
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "%g", value);
    SetText(dst, buf, static_cast<u32>(n));
}

void Q4Str_ULINTtoSZ(char* buf, u64 value) {
    char rev[24];
    int n = 0;
    do {
        rev[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (int i = 0; i < n; ++i) buf[i] = rev[n - 1 - i];
    buf[n] = 0;
}

void Q4Str_UtoSZ(char* buf, u32 value) { Q4Str_ULINTtoSZ(buf, value); }

void Q4Str_LINTtoSZ(char* buf, i64 value) {
    if (value < 0) {
        *buf++ = '-';
        // Magnitude in unsigned arithmetic: -INT64_MIN does not fit an i64.
        Q4Str_ULINTtoSZ(buf, 0 - static_cast<u64>(value));
        return;
    }
    Q4Str_ULINTtoSZ(buf, static_cast<u64>(value));
}

i32 Q4Str_AtoI(const u8* s) {
    CText t(s);
    // A 32-bit long saturates at its range ends; so does this.
    long long v = std::strtoll(t.buf, nullptr, 10);
    if (v > std::numeric_limits<i32>::max()) return std::numeric_limits<i32>::max();
    if (v < std::numeric_limits<i32>::min()) return std::numeric_limits<i32>::min();
    return static_cast<i32>(v);
}

double Q4Str_AtoD(const u8* s) {
    CText t(s);
    return std::strtod(t.buf, nullptr);
}

float Q4Str_AtoF(const u8* s) {
    // Narrowed as IEEE rounding would: values up to half a unit above the
    // largest REAL round down to it, the rest overflow (the cast itself is
    // undefined outside the REAL range).
    constexpr double kOverflow = 0x1.ffffffp127;  // largest REAL + half a unit
    double d = Q4Str_AtoD(s);
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    if (d > std::numeric_limits<float>::max()) return std::numeric_limits<float>::max();
    if (d < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::max();
    return static_cast<float>(d);
}

u32 Q4Str_AtoUL(const u8* s) {
    CText t(s);
    const char* p = t.buf;
    while (*p == ' ') ++p;
    u32 v = 0;
    while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<u32>(*p++ - '0');
    return v;
}

i64 Q4Str_SZtoLINT(const char* text) {
    bool neg = false;
    if (*text == '-') {
        neg = true;
        ++text;
    }
    u64 v = 0;
    while (*text >= '0' && *text <= '9') v = v * 10 + static_cast<u64>(*text++ - '0');
    return static_cast<i64>(neg ? 0 - v : v);
}

i64 Q4Str_AtoLINT(const u8* s) {
    CText t(s);
    const char* p = t.buf;
    while (*p == ' ') ++p;
    return Q4Str_SZtoLINT(p);
}

u32 Q4Str_AtoH(const u8* s) {
    CText t(s);
    u32 v = 0;
    for (const char* p = t.buf;; ++p) {
        char c = *p;
        u32 d;
        if (c >= '0' && c <= '9') d = static_cast<u32>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<u32>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<u32>(c - 'A' + 10);
        else break;
        v = (v << 4) | d;
    }
    return v;
}

void Q4Str_HtoA(u8* dst, u32 value) {
    if (dst[0] < 8) {
        Q4Str_Empty(dst);
        return;
    }
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08" PRIX32, value);
    const char* p = buf;
    while (std::strlen(p) > 2 && p[0] == '0' && p[1] == '0') p += 2;
    SetText(dst, p, static_cast<u32>(std::strlen(p)));
}

u16 Q4Str_Crc16(const u8* s) { return crc16(s + 2, Q4Str_GetLength(s)); }

i32 Q4Str_FromArray(u8* dst, const void* array, i32 arraySize, i32 count, u32 elemSize) {
    i32 n = count;
    if (arraySize < n) n = arraySize;
    i32 fit = static_cast<i32>(dst[0] / elemSize);
    if (fit < n) n = fit;
    if (n <= 0 || !array) {
        dst[1] = 0;
        return 0;
    }
    std::memmove(dst + 2, array, static_cast<size_t>(n) * elemSize);
    dst[1] = static_cast<u8>(static_cast<u32>(n) * elemSize);
    return n;
}

i32 Q4Str_ToArray(const u8* src, void* array, i32 count, u32 elemSize) {
    i32 n = static_cast<i32>(Q4Str_GetLength(src) / elemSize);
    if (count < n) n = count;
    if (n <= 0 || !array) return 0;
    std::memmove(array, src + 2, static_cast<size_t>(n) * elemSize);
    return n;
}

void Q4Str_DateFmt(u8* dst, const u8* format, u32 date, u32 time) {
    const u32 cap = dst[0];
    const u32 flen = Q4Str_GetLength(format);
    const u8* f = format + 2;
    char out[kQ4StrMaxCap + 1];
    u32 o = 0;
    u32 year = (date >> 16) % 10000, month = (date >> 8) & 0xFF, day = date & 0xFF;
    auto put2 = [&](u32 v) {
        out[o++] = static_cast<char>('0' + (v / 10) % 10);
        out[o++] = static_cast<char>('0' + v % 10);
    };
    for (u32 i = 0; i < flen && o < cap; ++i) {
        char c = static_cast<char>(f[i]);
        if (c != '%' || i + 1 >= flen || cap - o < 2) {
            out[o++] = c;
            continue;
        }
        char code = static_cast<char>(f[++i]);
        switch (code) {
            case 'Y':
                if (cap - o >= 4) {
                    put2(year / 100);
                    put2(year % 100);
                } else {
                    put2(year % 100);
                }
                break;
            case 'y': put2(year % 100); break;
            case 'm': put2(month); break;
            case 'd': put2(day); break;
            case 'H': put2((time / 3600000) % 100); break;
            case 'M': put2((time / 60000) % 60); break;
            case 'S': put2((time / 1000) % 60); break;
            default:
                out[o++] = '%';
                out[o++] = code;
                break;
        }
    }
    SetText(dst, out, o);
}

int Q4Str_NumToStr(u8* dst, u16 type, const void* data, i32 width, i32 decimals) {
    const u32 cap = dst[0];
    const bool left = width < 0;
    const u32 field = static_cast<u32>(width < 0 ? -static_cast<i64>(width) : width);
    const bool padded = field != 0;
    const u32 limit = padded ? field : cap;

    auto stars = [&]() {
        u32 n = (padded && field <= cap) ? field : cap;
        char buf[kQ4StrMaxCap];
        std::memset(buf, '*', n);
        SetText(dst, buf, n);
        return 0;
    };

    const Q4TypeInfo* info = Q4Type_Info(type);
    if (field > cap || !data || !info || type == kQ4TypeString || type == kQ4TypeComplex || decimals < 0 ||
        static_cast<i64>(decimals) > static_cast<i64>(limit) + 2)
        return stars();

    char text[320];
    double realValue = 0;
    bool isReal = false;
    switch (type & 0x7F) {
        case kQ4TypeBool: std::snprintf(text, sizeof text, "%d", *static_cast<const u8*>(data) ? 1 : 0); break;
        case kQ4TypeSint: std::snprintf(text, sizeof text, "%" PRId32, static_cast<i32>(*static_cast<const i8*>(data))); break;
        case kQ4TypeUsint: std::snprintf(text, sizeof text, "%" PRIu32, static_cast<u32>(*static_cast<const u8*>(data))); break;
        case kQ4TypeInt: std::snprintf(text, sizeof text, "%" PRId32, static_cast<i32>(static_cast<i16>(GetLe16(data)))); break;
        case kQ4TypeUint: std::snprintf(text, sizeof text, "%" PRIu32, static_cast<u32>(GetLe16(data))); break;
        case kQ4TypeDint: std::snprintf(text, sizeof text, "%" PRId32, static_cast<i32>(GetLe32(data))); break;
        case kQ4TypeUdint:
        case kQ4TypeTime: Q4Str_UtoSZ(text, GetLe32(data)); break;
        case kQ4TypeLint: Q4Str_LINTtoSZ(text, static_cast<i64>(GetLe64(data))); break;
        // Unsigned: a value above 2^63 is not shown as a negative number.
        case kQ4TypeUlint: Q4Str_ULINTtoSZ(text, GetLe64(data)); break;
        case kQ4TypeReal: {
            float f = GetLeFloat(data);
            if (!std::isfinite(f)) return stars();
            realValue = f;
            isReal = true;
            i32 t = TruncToI32(f);
            if (t == 0 && f < 0) std::snprintf(text, sizeof text, "-0");
            else std::snprintf(text, sizeof text, "%" PRId32, t);
            break;
        }
        case kQ4TypeLreal: {
            u64 bits = GetLe64(data);
            double d;
            std::memcpy(&d, &bits, sizeof d);
            if (!std::isfinite(d)) return stars();
            realValue = d;
            isReal = true;
            double t = std::trunc(d);
            int n = std::snprintf(text, sizeof text, "%.0f", t);
            if (n < 0 || n > 255 + (t < 0 ? 1 : 0)) return stars();
            if (t == 0 && d < 0) std::snprintf(text, sizeof text, "-0");
            break;
        }
        default: return stars();
    }
    u32 len = static_cast<u32>(std::strlen(text));
    if (len > limit) return stars();
    if (decimals > 0) {
        u32 n = static_cast<u32>(decimals);
        if (len + 1 + n > limit) return stars();
        text[len++] = '.';
        double frac = isReal ? std::fabs(realValue) - std::floor(std::fabs(realValue)) : 0.0;
        for (u32 i = 0; i < n; ++i) {
            frac *= 10;
            int digit = static_cast<int>(frac);
            if (digit > 9) digit = 9;
            text[len++] = static_cast<char>('0' + digit);
            frac -= digit;
        }
        text[len] = 0;
    }
    if (!padded) {
        SetText(dst, text, len);
        return 1;
    }
    char out[kQ4StrMaxCap];
    u32 pad = field - len;
    if (left) {
        std::memcpy(out, text, len);
        std::memset(out + len, ' ', pad);
    } else {
        std::memset(out, ' ', pad);
        std::memcpy(out + pad, text, len);
    }
    SetText(dst, out, field);
    return 1;
}

// ---------------------------------------------------------------------------
// By string index
// ---------------------------------------------------------------------------

namespace {

// Read side: a missing string reads as the empty string.
const u8* R(u8* db, u16 s) {
    static const u8 kEmpty[3] = {0, 0, 0};
    const u8* p = Q4Tools_String(db, s);
    return p ? p : kEmpty;
}
u8* W(u8* db, u16 s) { return Q4Tools_String(db, s); }

}  // namespace

u8 Q4VMStr_GetLength(u8* db, u16 s) { return Q4Str_GetLength(R(db, s)); }
u8 Q4VMStr_GetMaxLength(u8* db, u16 s) { return Q4Str_GetMaxLength(R(db, s)); }
const char* Q4VMStr_GetText(u8* db, u16 s) { return Q4Str_GetText(R(db, s)); }
int Q4VMStr_IsEmpty(u8* db, u16 s) { return Q4Str_IsEmpty(R(db, s)); }
void Q4VMStr_Empty(u8* db, u16 dst) {
    if (u8* d = W(db, dst)) Q4Str_Empty(d);
}
void Q4VMStr_Char(u8* db, u16 dst, u8 c) {
    if (u8* d = W(db, dst)) Q4Str_Char(d, c);
}
u8 Q4VMStr_Ascii(u8* db, u16 s, i32 pos) { return Q4Str_Ascii(R(db, s), pos); }
void Q4VMStr_Force(u8* db, u16 dst, const u8* lpText) {
    if (u8* d = W(db, dst)) Q4Str_Force(d, lpText);
}
void Q4VMStr_Copy(u8* db, u16 dst, u16 src) {
    if (u8* d = W(db, dst)) Q4Str_Copy(d, R(db, src));
}
void Q4VMStr_AscForce(u8* db, u16 dst, const void* text, u32 len) {
    if (u8* d = W(db, dst)) Q4Str_AscForce(d, text, len);
}
void Q4VMStr_AscForceC(u8* db, u16 dst, const char* text) {
    if (u8* d = W(db, dst)) Q4Str_AscForceC(d, text);
}
void Q4VMStr_DBForce(u8* db, u16 dst, const u8* units, u32 unitCount) {
    if (u8* d = W(db, dst)) Q4Str_DBForce(d, units, unitCount);
}
void Q4VMStr_Cat(u8* db, u16 dst, u16 a, u16 b) {
    if (u8* d = W(db, dst)) Q4Str_Cat(d, R(db, a), R(db, b));
}
void Q4VMStr_Left(u8* db, u16 dst, u16 src, i32 n) {
    if (u8* d = W(db, dst)) Q4Str_Left(d, R(db, src), n);
}
void Q4VMStr_Right(u8* db, u16 dst, u16 src, i32 n) {
    if (u8* d = W(db, dst)) Q4Str_Right(d, R(db, src), n);
}
void Q4VMStr_Mid(u8* db, u16 dst, u16 src, i32 pos, i32 n) {
    if (u8* d = W(db, dst)) Q4Str_Mid(d, R(db, src), pos, n);
}
void Q4VMStr_Delete(u8* db, u16 dst, u16 src, i32 pos, i32 n) {
    if (u8* d = W(db, dst)) Q4Str_Delete(d, R(db, src), pos, n);
}
void Q4VMStr_Insert(u8* db, u16 dst, u16 src, u16 ins, i32 pos) {
    if (u8* d = W(db, dst)) Q4Str_Insert(d, R(db, src), R(db, ins), pos);
}
i32 Q4VMStr_Find(u8* db, u16 a, u16 b) { return Q4Str_Find(R(db, a), R(db, b)); }
i32 Q4VMStr_Compare(u8* db, u16 a, u16 b) { return Q4Str_Compare(R(db, a), R(db, b)); }
void Q4VMStr_BootoA(u8* db, u16 dst, int value) {
    if (u8* d = W(db, dst)) Q4Str_BootoA(d, value);
}
void Q4VMStr_ItoA(u8* db, u16 dst, i32 value) {
    if (u8* d = W(db, dst)) Q4Str_ItoA(d, value);
}
void Q4VMStr_TmrtoA(u8* db, u16 dst, i32 ms) { Q4VMStr_ItoA(db, dst, ms); }
void Q4VMStr_UtoA(u8* db, u16 dst, u32 value) {
    if (u8* d = W(db, dst)) Q4Str_UtoA(d, value);
}
void Q4VMStr_LINTtoA(u8* db, u16 dst, i64 value) {
    if (u8* d = W(db, dst)) Q4Str_LINTtoA(d, value);
}
void Q4VMStr_FtoA(u8* db, u16 dst, float value) {
    if (u8* d = W(db, dst)) Q4Str_FtoA(d, value);
}
void Q4VMStr_DtoA(u8* db, u16 dst, double value) {
    if (u8* d = W(db, dst)) Q4Str_DtoA(d, value);
}
i32 Q4VMStr_AtoI(u8* db, u16 s) { return Q4Str_AtoI(R(db, s)); }
double Q4VMStr_AtoD(u8* db, u16 s) { return Q4Str_AtoD(R(db, s)); }
float Q4VMStr_AtoF(u8* db, u16 s) { return Q4Str_AtoF(R(db, s)); }
u32 Q4VMStr_AtoUL(u8* db, u16 s) { return Q4Str_AtoUL(R(db, s)); }
i64 Q4VMStr_AtoLINT(u8* db, u16 s) { return Q4Str_AtoLINT(R(db, s)); }
u32 Q4VMStr_AtoH(u8* db, u16 s) { return Q4Str_AtoH(R(db, s)); }
void Q4VMStr_HtoA(u8* db, u16 dst, u32 value) {
    if (u8* d = W(db, dst)) Q4Str_HtoA(d, value);
}
u16 Q4VMStr_Crc16(u8* db, u16 s) { return Q4Str_Crc16(R(db, s)); }
i32 Q4VMStr_FromD8(u8* db, u16 dst, const void* array, i32 size, i32 count) {
    u8* d = W(db, dst);
    return d ? Q4Str_FromArray(d, array, size, count, 1) : 0;
}
i32 Q4VMStr_FromD16(u8* db, u16 dst, const void* array, i32 size, i32 count) {
    u8* d = W(db, dst);
    return d ? Q4Str_FromArray(d, array, size, count, 2) : 0;
}
i32 Q4VMStr_FromD32(u8* db, u16 dst, const void* array, i32 size, i32 count) {
    u8* d = W(db, dst);
    return d ? Q4Str_FromArray(d, array, size, count, 4) : 0;
}
i32 Q4VMStr_ToD8(u8* db, u16 src, void* array, i32 count) { return Q4Str_ToArray(R(db, src), array, count, 1); }
i32 Q4VMStr_ToD16(u8* db, u16 src, void* array, i32 count) { return Q4Str_ToArray(R(db, src), array, count, 2); }
i32 Q4VMStr_ToD32(u8* db, u16 src, void* array, i32 count) { return Q4Str_ToArray(R(db, src), array, count, 4); }
void Q4VMStr_DateFmt(u8* db, u16 dst, u16 format, u32 date, u32 time) {
    if (u8* d = W(db, dst)) Q4Str_DateFmt(d, R(db, format), date, time);
}
int Q4VMStr_NumToStr(u8* db, u16 dst, u16 type, u16 index, i32 width, i32 decimals) {
    u8* d = W(db, dst);
    if (!d) return 0;
    const u8* data = type == kQ4TypeString ? nullptr : Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr);
    return Q4Str_NumToStr(d, type, data, width, decimals);
}
