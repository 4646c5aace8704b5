#include "ladder/textops.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "iec/kernel/q4vmstr.h"

namespace {

constexpr u16 kStrCmp = 178, kStrCmpK = 179, kStrMov = 182, kStrMovK = 183, kStr2Num = 184, kNum2Str = 187,
              kStrLen = 188, kU64Str = 400;
constexpr u16 kPStrCpy = 511, kPStrCat = 512, kPStrEq = 513, kPStrNe = 514, kPStrGe = 515, kPStr2Num = 516,
              kPNum2Str = 517, kPNum2VStr = 518, kPCStr2Num = 519;

// Value kinds of the conversions: u16, i32 (register pair), REAL (register pair).
constexpr u16 kKindWord = 0, kKindDint = 1, kKindReal = 2;

constexpr u32 kFormatWords = 10, kFormatBytes = 2 * kFormatWords;

// Text buffers of the number-to-text instructions, NUL included: the text
// may take one byte less.
constexpr u32 kNum2StrBuf = 40, kPNum2StrBuf = 30, kPNum2VStrBuf = 258;
// PNUM2VSTR stores its width as the destination's capacity byte.
constexpr u32 kMaxVStrWidth = 255;

using VmString = u8[kQ4StrMaxCap + kQ4StrOverhead];

// The byte k of inline text starting at code word `at` (low byte first).
inline u8 TextByte(const u16* code, u32 at, u32 k) { return static_cast<u8>(code[at + k / 2] >> (8 * (k & 1))); }

// ---- Formats ----

// The one conversion of a format: its character (0 when the format has
// none) and its length modifier ('h', 'l' or 0).
struct Conversion {
    char conv = 0;
    char length = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIntegerConv(char c) { return c != 0 && std::strchr("diuxXoc", c) != nullptr; }
bool IsRealConv(char c) { return c != 0 && std::strchr("eEfFgG", c) != nullptr; }

// A format the formatter can apply to a value of `kind` without reading an
// argument it was not given, writing through one, or producing more than
// `maxChars` characters from its field width or precision alone. Kinds other
// than 0, 1 and 2 format nothing; their format only has to be well formed.
bool ParseFormat(const char* f, u16 kind, u32 maxChars, Conversion& out) {
    out = {};
    for (u32 i = 0; f[i] != 0; ++i) {
        if (f[i] != '%') continue;
        ++i;
        if (f[i] == '%') continue;
        if (out.conv != 0) return false;  // a second conversion would read a value nobody passed
        bool alt = false, zero = false, precision = false;
        for (; f[i] != 0 && std::strchr("-+ #0", f[i]) != nullptr; ++i) {
            alt = alt || f[i] == '#';
            zero = zero || f[i] == '0';
        }
        for (u32 width = 0; IsDigit(f[i]); ++i)
            if ((width = 10 * width + static_cast<u32>(f[i] - '0')) > maxChars) return false;
        if (f[i] == '.') {
            precision = true;
            for (u32 p = 0; IsDigit(f[++i]);)
                if ((p = 10 * p + static_cast<u32>(f[i] - '0')) > maxChars) return false;
        }
        char length = 0;
        if (f[i] == 'h' || f[i] == 'l') length = f[i++];
        const char c = f[i];  // '*', 's', 'n', 'p', a doubled modifier, the NUL: refused below
        const bool integer = IsIntegerConv(c), real = IsRealConv(c);
        if (kind == kKindWord || kind == kKindDint) {
            if (!integer) return false;
        } else if (kind == kKindReal) {
            if (!real) return false;
        } else if (!integer && !real) {
            return false;
        }
        if (real && length == 'h') return false;
        // Flags and modifiers the conversion has no meaning for.
        if (c == 'c' && (length != 0 || alt || zero || precision)) return false;
        if (alt && (c == 'd' || c == 'i' || c == 'u')) return false;
        out.conv = c;
        out.length = length;
    }
    return true;
}

// The format's bytes with a NUL after them; false when none of its 20 bytes
// is a NUL.
bool FormatText(const u16* words, char (&f)[kFormatBytes + 1]) {
    for (u32 k = 0; k < kFormatBytes; ++k) f[k] = static_cast<char>(TextByte(words, 0, k));
    f[kFormatBytes] = 0;
    return std::memchr(f, 0, kFormatBytes) != nullptr;
}

// Applies a checked format to the value `bits` of `kind` (the u16, the i32
// or the REAL's bits), passing the type the conversion and its length
// modifier expect. On the controller long is 32 bits, so "%ld" means the
// same as "%d" and "%lu" prints the i32's bits unsigned.
int FormatValue(char* buf, u32 size, const char* f, const Conversion& cv, u16 kind, u32 bits) {
    if (kind == kKindReal) {
        float r;
        std::memcpy(&r, &bits, 4);
        return std::snprintf(buf, size, f, static_cast<double>(r));
    }
    if (kind == kKindWord) bits &= 0xFFFF;
    const bool isSigned = cv.conv == 'd' || cv.conv == 'i' || cv.conv == 'c';
    if (isSigned) {
        const i32 v = static_cast<i32>(bits);
        if (cv.length == 'l') return std::snprintf(buf, size, f, static_cast<long>(v));
        return std::snprintf(buf, size, f, static_cast<int>(v));
    }
    if (cv.length == 'l') return std::snprintf(buf, size, f, static_cast<unsigned long>(bits));
    return std::snprintf(buf, size, f, static_cast<unsigned>(bits));
}

// Blanks and the sign in front of a number's digits.
u32 SignPrefix(const char* t, u32 len) {
    u32 k = 0;
    while (k < len && t[k] == ' ') ++k;
    if (k < len && (t[k] == '-' || t[k] == '+')) ++k;
    return k;
}

struct NumberText {
    char text[kPNum2VStrBuf];
    u32 len;
};

// The text of a value: formatted, with `decimals` digits moved behind a
// point (kinds 0 and 1), and with the zero before the point dropped when
// that makes the text fit `width`. False when there is nothing to write: an
// unknown kind, a REAL that is not finite, or a text longer than the buffer.
bool NumberToText(const u16* fmtWords, u16 kind, u32 bits, u32 decimals, u32 width, u32 bufBytes,
                  NumberText& out) {
    if (kind > kKindReal) return false;
    if (kind == kKindReal && (bits & 0x7F800000u) == 0x7F800000u) return false;
    const u32 maxChars = bufBytes - 1;
    char f[kFormatBytes + 1];
    Conversion cv;
    if (!FormatText(fmtWords, f) || !ParseFormat(f, kind, maxChars, cv)) return false;  // refused at load
    const int n = FormatValue(out.text, bufBytes, f, cv, kind, bits);
    if (n < 0 || static_cast<u32>(n) > maxChars) return false;
    u32 len = static_cast<u32>(n);
    char* t = out.text;

    if (kind != kKindReal && decimals != 0) {
        // The point goes among the digits; blanks and the sign stay in front,
        // so -5 with two decimals reads -0.05.
        const u32 lead = SignPrefix(t, len);
        const u32 digits = len - lead;
        if (decimals < digits) {
            if (len + 1 > maxChars) return false;
            std::memmove(t + len - decimals + 1, t + len - decimals, decimals);
            t[len - decimals] = '.';
            len += 1;
        } else {
            const u32 total = lead + decimals + 2;
            if (total > maxChars) return false;
            std::memmove(t + total - digits, t + lead, digits);
            t[lead] = '0';
            t[lead + 1] = '.';
            std::memset(t + lead + 2, '0', decimals - digits);
            len = total;
        }
    }
    if (u64{len} == u64{width} + 1) {
        const u32 lead = SignPrefix(t, len);
        if (lead < len && t[lead] == '0') {
            std::memmove(t + lead, t + lead + 1, len - lead - 1);
            len -= 1;
        }
    }
    out.len = len;
    return true;
}

// ---- Texts ----

// Length of the NUL-terminated text at register byte `offset`; false when
// no NUL ends it inside the register memory.
bool TextLength(u64 offset, u32& len) {
    if (offset >= kPlcRegBytes) return false;
    const u8* p = plc_reg + offset;
    const void* nul = std::memchr(p, 0, kPlcRegBytes - offset);
    if (nul == nullptr) return false;
    len = static_cast<u32>(static_cast<const u8*>(nul) - p);
    return true;
}

bool IsBlank(u8 c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The number a text gives for `kind` (0, 1 or 2), as the little-endian bytes
// to store; returns their count. The conversions of the VM strings: leading
// blanks, an optional sign, digits up to the first other character, 0
// without digits; 32-bit integers saturate, kind 0 keeps the low 16 bits.
// Blanks are skipped here so that the number itself may lie anywhere in a
// long text; 255 characters of it are read.
u32 TextToNumber(const u8* text, u32 len, u16 kind, u8 (&out)[4]) {
    u32 k = 0;
    while (k < len && IsBlank(text[k])) ++k;
    VmString s;
    Q4Str_Init(s, kQ4StrMaxCap);
    Q4Str_AscForce(s, text + k, len - k);
    if (kind == kKindReal) {
        // Straight to the REAL: going through a double rounds twice, and a
        // text just above the largest REAL still rounds to it.
        PutLeFloat(out, std::strtof(Q4Str_GetText(s), nullptr));
        return 4;
    }
    const u32 v = static_cast<u32>(Q4Str_AtoI(s));
    if (kind == kKindWord) {
        PutLe16(out, static_cast<u16>(v));
        return 2;
    }
    PutLe32(out, v);
    return 4;
}

// The counted string at a pointer: its text and length (the length byte as
// it stands, whatever the capacity); false when any of it lies outside.
bool SourceString(u32 pointer, const u8*& text, u32& len) {
    const u8* h = LadderRegBytes(pointer, 2);
    if (h == nullptr) return false;
    len = h[1];
    text = LadderRegBytes(u64{pointer} + 2, len);
    return text != nullptr;
}

// A copy of the counted string at a pointer, read once.
bool LoadString(u32 pointer, VmString& s) {
    const u8* text;
    u32 len;
    if (!SourceString(pointer, text, len)) return false;
    Q4Str_Init(s, kQ4StrMaxCap);
    Q4Str_AscForce(s, text, len);
    return true;
}

// ---- Instructions ----

template <bool kTok16>
void ByteStrings(u16 op, LadderVm& vm) {
    const u32 n = LadderLit(vm.code, vm.ip);
    const u32 a = LadderByteOperand<kTok16>(vm.code, vm.ip);
    if (op == kStrCmpK || op == kStrMovK) {
        // The checker has proven the n bytes at a inside the memory.
        const u32 at = vm.ip;
        vm.ip += (n + 1) / 2;
        u8* p = plc_reg + a;
        if (op == kStrMovK) {
            for (u32 k = 0; k < n; ++k) p[k] = TextByte(vm.code, at, k);
            return;
        }
        for (u32 k = 0; k < n; ++k)
            if (p[k] != TextByte(vm.code, at, k)) return vm.RungFalse();
        return;
    }
    const u32 b = LadderByteOperand<kTok16>(vm.code, vm.ip);
    u8* pa = LadderRegBytes(a, n);
    const u8* pb = LadderRegBytes(b, n);
    if (pa == nullptr || pb == nullptr) return vm.RungFalse();
    if (op == kStrMov)
        std::memmove(pa, pb, n);
    else if (std::memcmp(pa, pb, n) != 0)
        vm.RungFalse();
}

template <bool kTok16>
void Str2Num(LadderVm& vm) {
    const u32 dest = LadderWordOperand<kTok16>(vm.code, vm.ip);
    const u32 src = LadderByteOperand<kTok16>(vm.code, vm.ip);
    const u16 kind = LadderLit(vm.code, vm.ip);
    if (kind > kKindReal) return;  // nothing to convert to
    u32 len;
    if (!TextLength(src, len)) return vm.RungFalse();
    u8 bytes[4];
    const u32 n = TextToNumber(plc_reg + src, len, kind, bytes);
    u8* d = LadderRegWords(dest, n / 2);
    if (d == nullptr) return vm.RungFalse();
    std::memcpy(d, bytes, n);
}

template <bool kTok16>
void StrLen(LadderVm& vm) {
    const u32 dest = LadderWordOperand<kTok16>(vm.code, vm.ip);
    const u32 src = LadderByteOperand<kTok16>(vm.code, vm.ip);
    u32 len;
    if (!TextLength(src, len) || len > 0xFFFF) return vm.RungFalse();
    PutLe16(&plc_reg[2 * dest], static_cast<u16>(len));
}

template <bool kTok16>
void U64Str(LadderVm& vm) {
    const u32 dest = LadderByteOperand<kTok16>(vm.code, vm.ip);
    const u32 src = LadderWordOperand<kTok16>(vm.code, vm.ip);
    char digits[24];
    Q4Str_ULINTtoSZ(digits, GetLe64(&plc_reg[2 * src]));
    const u32 n = static_cast<u32>(std::strlen(digits)) + 1;
    u8* d = LadderRegBytes(dest, n);
    if (d == nullptr) return vm.RungFalse();
    std::memcpy(d, digits, n);
}

template <bool kTok16>
void Num2Str(u16 op, LadderVm& vm) {
    const bool pointers = op != kNum2Str;
    const u32 dest = pointers ? LadderPointerOperand<kTok16>(vm)
                              : LadderByteOperand<kTok16>(vm.code, vm.ip);
    const u32 srcWord = LadderWordOperand<kTok16>(vm.code, vm.ip);
    const u16 kind = LadderLit(vm.code, vm.ip);
    const u16 decimals = op == kPNum2VStr ? 0 : LadderLit(vm.code, vm.ip);
    u32 width = LadderLit(vm.code, vm.ip);
    const u16* fmt = vm.code + vm.ip;
    vm.ip += kFormatWords;
    if (kind > kKindReal) return vm.RungFalse();

    // The value: kind 0 a u16, kinds 1 and 2 four bytes, in the register
    // (checked by the checker for the kind) or at the source pointer.
    const u32 size = kind == kKindWord ? 2 : 4;
    const u8* s = pointers ? LadderRegBytes(LadderRegDword(srcWord), size) : &plc_reg[2 * srcWord];
    if (s == nullptr) return vm.RungFalse();
    const u32 bits = size == 2 ? GetLe16(s) : GetLe32(s);

    if (op == kPNum2VStr) width = std::min(width, kMaxVStrWidth);
    const u32 buf = op == kNum2Str ? kNum2StrBuf : op == kPNum2Str ? kPNum2StrBuf : kPNum2VStrBuf;
    NumberText t;
    if (!NumberToText(fmt, kind, bits, decimals, width, buf, t)) return vm.RungFalse();
    const u32 n = std::min(width, t.len);

    if (op == kPNum2VStr) {
        u8* d = LadderRegBytes(dest, 2 + u64{n});
        if (d == nullptr) return vm.RungFalse();
        d[0] = static_cast<u8>(width);
        d[1] = static_cast<u8>(n);
        std::memcpy(d + 2, t.text, n);
        return;
    }
    // NUM2STR's destination reaches width + 1 bytes (checked by the checker).
    u8* d = pointers ? LadderRegBytes(dest, u64{n} + 1) : &plc_reg[dest];
    if (d == nullptr) return vm.RungFalse();
    std::memcpy(d, t.text, n);
    d[n] = 0;
    if (width < t.len) vm.RungFalse();
}

template <bool kTok16>
void CountedStrings(u16 op, LadderVm& vm) {
    const u32 a = LadderPointerOperand<kTok16>(vm);
    const u32 b = LadderPointerOperand<kTok16>(vm);
    switch (op) {
        case kPStrCpy:
        case kPStrCat: {
            u8* d = LadderRegBytes(a, 2);
            const u8* text;
            u32 len;
            if (d == nullptr || !SourceString(b, text, len)) return vm.RungFalse();
            const u32 cap = d[0];
            const u32 cur = op == kPStrCpy ? 0 : d[1];
            if (cur > cap) return vm.RungFalse();
            const u32 n = std::min(cap - cur, len);
            u8* to = LadderRegBytes(u64{a} + 2 + cur, n);
            if (to == nullptr) return vm.RungFalse();
            std::memmove(to, text, n);
            d[1] = static_cast<u8>(cur + n);
            return;
        }
        default: {
            VmString sa, sb;
            if (!LoadString(a, sa) || !LoadString(b, sb)) return vm.RungFalse();
            const u32 la = Q4Str_GetLength(sa), lb = Q4Str_GetLength(sb);
            if (op == kPStrGe) return vm.SetRung(Q4Str_Compare(sa, sb) >= 0 ? 1 : 0);
            const bool differ = std::memcmp(sa + 2, sb + 2, std::min(la, lb)) != 0;
            if (op == kPStrEq) return vm.SetRung(!differ && la == lb ? 1 : 0);
            return vm.SetRung(differ ? 0xFF : la != lb ? 1 : 0);
        }
    }
}

template <bool kTok16>
void PointerToNumber(u16 op, LadderVm& vm) {
    const u32 dest = LadderPointerOperand<kTok16>(vm);
    const u32 src = LadderPointerOperand<kTok16>(vm);
    const u16 kind = LadderLit(vm.code, vm.ip);
    if (kind > kKindReal) return;
    const u8* text;
    u32 len;
    if (op == kPStr2Num) {
        if (!SourceString(src, text, len)) return vm.RungFalse();
    } else {
        if (!TextLength(src, len)) return vm.RungFalse();
        text = plc_reg + src;
    }
    u8 bytes[4];
    const u32 n = TextToNumber(text, len, kind, bytes);
    u8* d = LadderRegBytes(dest, n);
    if (d == nullptr) return vm.RungFalse();
    std::memcpy(d, bytes, n);
}

}  // namespace

template <bool kTok16>
bool LadderText_Exec(u16 op, LadderVm& vm) {
    switch (op) {
        case kStrCmp:
        case kStrCmpK:
        case kStrMov:
        case kStrMovK:
            ByteStrings<kTok16>(op, vm);
            return true;
        case kStr2Num:
            Str2Num<kTok16>(vm);
            return true;
        case kStrLen:
            StrLen<kTok16>(vm);
            return true;
        case kU64Str:
            U64Str<kTok16>(vm);
            return true;
        case kNum2Str:
        case kPNum2Str:
        case kPNum2VStr:
            Num2Str<kTok16>(op, vm);
            return true;
        case kPStrCpy:
        case kPStrCat:
        case kPStrEq:
        case kPStrNe:
        case kPStrGe:
            CountedStrings<kTok16>(op, vm);
            return true;
        case kPStr2Num:
        case kPCStr2Num:
            PointerToNumber<kTok16>(op, vm);
            return true;
        default:
            return false;  // not an instruction of this family
    }
}

template bool LadderText_Exec<true>(u16, LadderVm&);
template bool LadderText_Exec<false>(u16, LadderVm&);

void LadderText_LayoutTextLit(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    if (avail < 2) return out.Fail(LLayoutStatus::kTruncated);
    const u32 n = code[1];
    const u32 y = out.Add(LOpd::kByte, code, 2, avail, tok16, static_cast<u16>(n));
    if (y == 0) return;
    out.words = 2 + y + (n + 1) / 2;
    if (out.words > avail) out.Fail(LLayoutStatus::kTruncated);
}

void LadderText_LayoutFormat(const u16* code, u32 avail, bool tok16, LadderLayout& out) {
    const u16 op = code[0];
    const bool num2str = op == kNum2Str, vstr = op == kPNum2VStr;
    // NUM2STR: byte destination, source register. Pointer forms: two pairs.
    const LOpd destKind = num2str ? LOpd::kByte : LOpd::kWord;
    const u32 destWords = avail > 1 ? LadderOperand_Words(destKind, code + 1, avail - 1, tok16) : 0;
    const u32 srcAt = 1 + destWords;
    const u32 srcWords =
        destWords != 0 && avail > srcAt ? LadderOperand_Words(LOpd::kWord, code + srcAt, avail - srcAt, tok16) : 0;
    const u32 litAt = srcAt + srcWords;
    const u32 lits = vstr ? 2 : 3;  // kind, decimals (not PNUM2VSTR), width
    if (srcWords == 0 || avail < litAt + lits + kFormatWords) return out.Fail(LLayoutStatus::kTruncated);
    const u16 kind = code[litAt];
    const u16 decimals = vstr ? 0 : code[litAt + 1];
    const u16 width = code[litAt + lits - 1];
    out.words = litAt + lits + kFormatWords;

    const u32 maxChars = (num2str ? kNum2StrBuf : vstr ? kPNum2VStrBuf : kPNum2StrBuf) - 1;
    if (num2str) {
        // Up to width characters and a NUL; the value as its kind reads it.
        out.Add(LOpd::kByte, code, 1, avail, tok16, static_cast<u16>(width <= maxChars ? width + 1 : 1));
        out.Add(LOpd::kWord, code, srcAt, avail, tok16, kind == kKindDint || kind == kKindReal ? 2 : 1);
    } else {
        out.Add(LOpd::kWord, code, 1, avail, tok16, 2);
        out.Add(LOpd::kWord, code, srcAt, avail, tok16, 2);
    }
    // The width bounds what is written, so it must fit the buffer (PNUM2VSTR
    // limits its own); so must the point and zeros that decimals add.
    if (!vstr && width > maxChars) out.Fail(LLayoutStatus::kBadLiteral);
    if (!vstr && kind <= kKindDint && u32{decimals} + 2 > maxChars) out.Fail(LLayoutStatus::kBadLiteral);
    char f[kFormatBytes + 1];
    Conversion cv;
    if (!FormatText(code + litAt + lits, f) || !ParseFormat(f, kind, maxChars, cv))
        out.Fail(LLayoutStatus::kBadLiteral);
}
