#include "iec/blocks/q4StringOps.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// The work buffer of the formatting blocks: 39 characters and a NUL.
constexpr i32 kWork = 40;

// A byte-array operand (index, element count): its bytes, or none.
struct Bytes {
    u8* p = nullptr;
    u32 n = 0;
};
Bytes ByteArray(u8* db, const u16* ops, u16 k) {
    const u16 n = ops[k + 1];
    u8* p = n ? Q4Fb_Array(db, kQ4TypeUsint, ops[k], n) : nullptr;
    return p ? Bytes{p, n} : Bytes{};
}

// The text of a byte array up to its NUL or its end.
std::string ArrayText(const Bytes& b) {
    const void* nul = b.p ? std::memchr(b.p, 0, b.n) : nullptr;
    const u32 len = nul ? static_cast<u32>(static_cast<const u8*>(nul) - b.p) : b.n;
    return std::string(reinterpret_cast<const char*>(b.p), len);
}

i32 Dint(u8* db, u16 index) { return Q4Fb_Dint(db, index); }

// The decimal conversion of a 32-bit long: beyond its range it saturates.
i32 Decimal(const std::string& t) {
    long long v = std::strtoll(t.c_str(), nullptr, 10);
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<i32>(v);
}

}  // namespace

int Q4Ctl_StringConcat(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] { Q4VMStr_Cat(db, ops[2], ops[0], ops[1]); });
}
int Q4Ctl_StringLeft(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] { Q4VMStr_Left(db, ops[2], ops[0], Dint(db, ops[1])); });
}
int Q4Ctl_StringRight(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] { Q4VMStr_Right(db, ops[2], ops[0], Dint(db, ops[1])); });
}
// IN, L, P; out.
int Q4Ctl_StringMid(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4,
                     [&] { Q4VMStr_Mid(db, ops[3], ops[0], Dint(db, ops[2]), Dint(db, ops[1])); });
}
// IN, P, L; out.
int Q4Ctl_DeleteChars(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4,
                     [&] { Q4VMStr_Delete(db, ops[3], ops[0], Dint(db, ops[1]), Dint(db, ops[2])); });
}
// IN1, IN2, P; out.
int Q4Ctl_InsertChars(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] { Q4VMStr_Insert(db, ops[3], ops[0], ops[1], Dint(db, ops[2])); });
}
// IN1, IN2, L, P; out. The deletion goes to the output first, so the
// insertion is cut to the output's capacity.
int Q4Ctl_StringReplace(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        const i32 l = Dint(db, ops[2]), p = Dint(db, ops[3]);
        Q4VMStr_Delete(db, ops[4], ops[0], p, l);
        Q4VMStr_Insert(db, ops[4], ops[4], ops[1], p);
    });
}
int Q4Ctl_StringFind(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] { Q4Fb_PutDint(db, ops[2], Q4VMStr_Find(db, ops[0], ops[1])); });
}
int Q4Ctl_CharAsciiCode(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] { Q4Fb_PutDint(db, ops[2], Q4VMStr_Ascii(db, ops[0], Dint(db, ops[1]))); });
}
int Q4Ctl_HexToAscii(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] { Q4VMStr_HtoA(db, ops[1], static_cast<u32>(Dint(db, ops[0]))); });
}
int Q4Ctl_AsciiToHex(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] { Q4Fb_PutDint(db, ops[1], static_cast<i32>(Q4VMStr_AtoH(db, ops[0]))); });
}
int Q4Ctl_Crc16(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] { Q4Fb_PutDint(db, ops[1], Q4VMStr_Crc16(db, ops[0])); });
}

// Characters before the first NUL, within the current length.
int Q4Ctl_StringLen(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] {
        const u8* s = Q4Tools_String(db, ops[0]);
        const size_t n = s ? strnlen(Q4Str_GetText(s), Q4Str_GetLength(s)) : 0;
        Q4Ctl_PutInt(db, ops[1], static_cast<i16>(n));
    });
}

// text+n; out: characters before the NUL or the end of the array.
int Q4Ctl_StringLenA(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const Bytes b = ByteArray(db, ops, 0);
        Q4Ctl_PutInt(db, ops[2], static_cast<i16>(ArrayText(b).size()));
    });
}

// IN, destination+n; out done. The characters, without a NUL, at most the
// array's count.
int Q4Ctl_SetString(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        const Bytes b = ByteArray(db, ops, 1);
        const u8* s = Q4Tools_String(db, ops[0]);
        if (!b.p || !s) return;
        std::memcpy(b.p, Q4Str_GetText(s), std::min<u32>(Q4Str_GetLength(s), b.n));
        Q4Fb_PutBool(db, ops[3], true);
    });
}

// text1+n, text2+n, N; out equal. N bytes beyond either array are not
// compared: the texts are reported different.
int Q4Ctl_CmpStringVar(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] {
        const Bytes a = ByteArray(db, ops, 0), b = ByteArray(db, ops, 2);
        const i32 n = Q4Ctl_Int(db, ops[4]);
        bool equal = n == 0;
        if (n > 0 && a.p && b.p && static_cast<u32>(n) <= a.n && static_cast<u32>(n) <= b.n)
            equal = std::memcmp(a.p, b.p, static_cast<size_t>(n)) == 0;
        Q4Fb_PutBool(db, ops[5], equal);
    });
}

// text+n, IN; out equal: the same characters, a prefix does not match.
int Q4Ctl_CmpStringConst(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        const u8* s = Q4Tools_String(db, ops[2]);
        const Bytes a = ByteArray(db, ops, 0);
        if (!s || !a.p) {
            Q4Fb_PutBool(db, ops[3], false);
            return;
        }
        const std::string text(Q4Str_GetText(s), strnlen(Q4Str_GetText(s), Q4Str_GetLength(s)));
        Q4Fb_PutBool(db, ops[3], ArrayText(a) == text);
    });
}

// Decimal conversions of an array's text (read within the array).
int Q4Ctl_AsciiToInt(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const std::string t = ArrayText(ByteArray(db, ops, 0));
        Q4Ctl_PutInt(db, ops[2], static_cast<i16>(Decimal(t)));
    });
}
int Q4Ctl_AsciiToDint(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const std::string t = ArrayText(ByteArray(db, ops, 0));
        Q4Fb_PutDint(db, ops[2], Decimal(t));
    });
}
int Q4Ctl_AsciiToReal(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        const std::string t = ArrayText(ByteArray(db, ops, 0));
        Q4Fb_PutReal(db, ops[2], static_cast<float>(std::strtod(t.c_str(), nullptr)));
    });
}

namespace {

// Steps shared by the three formatting blocks once the value is printed
// (d characters in text): alignment with "0" under zero fill, the dropped
// leading "0" of a text one longer than the width, fits, and the number of
// characters to copy.
int Finish(char* text, i32 d, i32 width, bool zeroFill, bool* fits) {
    if (zeroFill && width >= d) {
        std::memmove(text + (width - d), text, static_cast<size_t>(d) + 1);
        std::memset(text, '0', static_cast<size_t>(width - d));
        d = width;
    }
    if (d == width + 1 && text[0] == '0') {
        std::memmove(text, text + 1, static_cast<size_t>(d));
        d = width;
    }
    *fits = width >= d;
    return zeroFill ? width : std::min(d, width);
}

bool WidthFits(i32 width) { return width >= 0 && width < kWork; }

}  // namespace

int Q4Ctl_FormatInteger(char* text, i32 value, i32 decimals, i32 width, bool zeroFill, bool* fits) {
    *fits = false;
    if (!WidthFits(width) || decimals < 0) return -1;
    char digits[16];
    i32 d = std::snprintf(digits, sizeof digits, "%d", value);
    if (decimals > 0 && decimals < d) {
        std::snprintf(text, kWork, "%.*s.%s", static_cast<int>(d - decimals), digits, digits + (d - decimals));
        d += 1;
    } else if (decimals > 0) {
        if (decimals + 2 >= kWork) return -1;
        std::memset(text, '0', static_cast<size_t>(decimals + 2));
        text[1] = '.';
        std::memcpy(text + 2 + (decimals - d), digits, static_cast<size_t>(d));
        d = decimals + 2;
        text[d] = 0;
    } else {
        std::memcpy(text, digits, static_cast<size_t>(d) + 1);
    }
    return Finish(text, d, width, zeroFill, fits);
}

int Q4Ctl_FormatReal(char* text, float value, i32 decimals, i32 width, bool zeroFill, bool* done) {
    *done = false;
    if (!WidthFits(width) || decimals < 0 || decimals >= kWork) return -1;
    // Printed into room enough for any float, then held to the work buffer.
    char wide[64];
    const i32 d = zeroFill ? std::snprintf(wide, sizeof wide, "%.*f", static_cast<int>(decimals), static_cast<double>(value))
                           : std::snprintf(wide, sizeof wide, "%*.*f", static_cast<int>(width), static_cast<int>(decimals),
                                           static_cast<double>(value));
    if (d < 0 || d >= kWork) return -1;
    std::memcpy(text, wide, static_cast<size_t>(d) + 1);
    const int n = Finish(text, d, width, zeroFill, done);
    if (!std::isfinite(value)) *done = false;
    return n;
}

namespace {

// value, destination+n, decimals, width, zero fill; out fits. The text and
// its NUL go to the array only when both fit it.
template <typename Format>
void FormatBlock(u8* db, const u16* ops, Format format) {
    char text[kWork + 1] = {};
    bool fits = false;
    const i32 decimals = Q4Ctl_Int(db, ops[3]), width = Q4Ctl_Int(db, ops[4]);
    const int n = format(text, decimals, width, Q4Fb_Bool(db, ops[5]), &fits);
    const Bytes b = ByteArray(db, ops, 1);
    if (n < 0 || !b.p || static_cast<u32>(n) + 1 > b.n) {
        Q4Fb_PutBool(db, ops[6], false);
        return;
    }
    std::memcpy(b.p, text, static_cast<size_t>(n));
    b.p[n] = 0;
    Q4Fb_PutBool(db, ops[6], fits);
}

}  // namespace

int Q4Ctl_IntToAscii(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 7, [&] {
        FormatBlock(db, ops, [&](char* t, i32 dec, i32 w, bool z, bool* f) {
            return Q4Ctl_FormatInteger(t, Q4Ctl_Int(db, ops[0]), dec, w, z, f);
        });
    });
}
int Q4Ctl_DintToAscii(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 7, [&] {
        FormatBlock(db, ops, [&](char* t, i32 dec, i32 w, bool z, bool* f) {
            return Q4Ctl_FormatInteger(t, Dint(db, ops[0]), dec, w, z, f);
        });
    });
}
int Q4Ctl_RealToAscii(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 7, [&] {
        FormatBlock(db, ops, [&](char* t, i32 dec, i32 w, bool z, bool* f) {
            return Q4Ctl_FormatReal(t, Q4Fb_Real(db, ops[0]), dec, w, z, f);
        });
    });
}
