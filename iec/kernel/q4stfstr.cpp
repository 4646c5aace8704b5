#include "iec/kernel/q4stfstr.h"

#include <climits>
#include <cstring>

#include "iec/kernel/q4stfops.h"
#include "iec/kernel/q4vmstr.h"

namespace {

u8* Str(u8* db, u16 i) { return Q4Tools_String(db, i); }
i32 Dint(const u8* p) { return static_cast<i32>(GetLe32(p)); }
// The IEC's 1-based position as the operations' 0-based one (a position of
// INT_MIN stays negative instead of wrapping).
i32 ZeroBased(i32 p) { return p == INT_MIN ? p : p - 1; }

// The inputs after the result: `strings` STRING operands, then `dints` DINT
// ones read into d. False when one designates nothing.
bool Inputs(u8* db, const u16* ops, int strings, int dints, i32* d) {
    for (int i = 0; i < strings; ++i)
        if (!Str(db, ops[1 + i])) return false;
    for (int i = 0; i < dints; ++i) {
        u8* p = Q4Stf_D32(db, ops[1 + strings + i]);
        if (!p) return false;
        d[i] = Dint(p);
    }
    return true;
}

// STRING result := op(...) when the result is free.
int Text(u8* db, const u16* ops, int strings, int dints, void (*op)(u8* db, const u16* ops, const i32* d)) {
    i32 d[2] = {};
    if (!Str(db, ops[0]) || !Inputs(db, ops, strings, dints, d)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockString, ops[0])) op(db, ops, d);
    return 1;
}

// A DINT (wide) or INT result of string inputs.
int Number(u8* db, const u16* ops, int strings, int dints, bool wide, u32 (*f)(u8* db, const u16* ops, const i32* d)) {
    u8* r = wide ? Q4Stf_D32(db, ops[0]) : Q4Stf_D16(db, ops[0]);
    i32 d[2] = {};
    if (!r || !Inputs(db, ops, strings, dints, d)) return 0;
    if (!Q4VMStf_CanStore(db, wide ? kQ4LockData32 : kQ4LockData16, ops[0])) return 1;
    const u32 v = f(db, ops, d);
    if (wide) PutLe32(r, v);
    else PutLe16(r, static_cast<u16>(v));
    return 1;
}

}  // namespace

int Q4Stf_Mlen(u8* db, const u16* ops, u16) {
    return Number(db, ops, 1, 0, true, [](u8* db, const u16* o, const i32*) -> u32 { return Q4VMStr_GetLength(db, o[1]); });
}
int Q4Stf_FLen(u8* db, const u16* ops, u16) {
    return Number(db, ops, 1, 0, false, [](u8* db, const u16* o, const i32*) -> u32 { return Q4VMStr_GetLength(db, o[1]); });
}
int Q4Stf_Find(u8* db, const u16* ops, u16) {
    return Number(db, ops, 2, 0, true,
                  [](u8* db, const u16* o, const i32*) { return static_cast<u32>(Q4VMStr_Find(db, o[1], o[2])); });
}
int Q4Stf_Ascii(u8* db, const u16* ops, u16) {
    return Number(db, ops, 1, 1, true,
                  [](u8* db, const u16* o, const i32* d) -> u32 { return Q4VMStr_Ascii(db, o[1], ZeroBased(d[0])); });
}
int Q4Stf_AtoH(u8* db, const u16* ops, u16) {
    return Number(db, ops, 1, 0, true, [](u8* db, const u16* o, const i32*) { return Q4VMStr_AtoH(db, o[1]); });
}
int Q4Stf_Crc16(u8* db, const u16* ops, u16) {
    return Number(db, ops, 1, 0, false, [](u8* db, const u16* o, const i32*) -> u32 { return Q4VMStr_Crc16(db, o[1]); });
}

int Q4Stf_Left(u8* db, const u16* ops, u16) {
    return Text(db, ops, 1, 1, [](u8* db, const u16* o, const i32* d) { Q4VMStr_Left(db, o[0], o[1], d[0]); });
}
int Q4Stf_Right(u8* db, const u16* ops, u16) {
    return Text(db, ops, 1, 1, [](u8* db, const u16* o, const i32* d) { Q4VMStr_Right(db, o[0], o[1], d[0]); });
}
int Q4Stf_Mid(u8* db, const u16* ops, u16) {  // IN, L, P
    return Text(db, ops, 1, 2,
                [](u8* db, const u16* o, const i32* d) { Q4VMStr_Mid(db, o[0], o[1], ZeroBased(d[1]), d[0]); });
}
int Q4Stf_Delete(u8* db, const u16* ops, u16) {  // IN, L, P
    return Text(db, ops, 1, 2,
                [](u8* db, const u16* o, const i32* d) { Q4VMStr_Delete(db, o[0], o[1], ZeroBased(d[1]), d[0]); });
}
int Q4Stf_Insert(u8* db, const u16* ops, u16) {  // IN1, IN2, P
    return Text(db, ops, 2, 1,
                [](u8* db, const u16* o, const i32* d) { Q4VMStr_Insert(db, o[0], o[1], o[2], ZeroBased(d[0])); });
}
int Q4Stf_Replace(u8* db, const u16* ops, u16) {  // IN1, IN2, L, P
    return Text(db, ops, 2, 2, [](u8* db, const u16* o, const i32* d) {
        // Built aside, so that IN2 may be the result itself.
        u8* r = Str(db, o[0]);
        u8 tmp[kQ4StrMaxCap + kQ4StrOverhead];
        Q4Str_Init(tmp, Q4Str_GetMaxLength(r));
        Q4Str_Delete(tmp, Str(db, o[1]), ZeroBased(d[1]), d[0]);
        Q4Str_Insert(tmp, tmp, Str(db, o[2]), ZeroBased(d[1]));
        Q4Str_Copy(r, tmp);
    });
}
int Q4Stf_Char(u8* db, const u16* ops, u16) {
    return Text(db, ops, 0, 1, [](u8* db, const u16* o, const i32* d) {
        Q4VMStr_Char(db, o[0], static_cast<u8>(d[0]));
    });
}
int Q4Stf_HtoA(u8* db, const u16* ops, u16) {
    return Text(db, ops, 0, 1,
                [](u8* db, const u16* o, const i32* d) { Q4VMStr_HtoA(db, o[0], static_cast<u32>(d[0])); });
}

// NUMTOSTRING (type, IN, WIDTH, DIGITS) -> STRING.
int Q4Stf_NumToString(u8* db, const u16* ops, u16) {
    u8 *w = Q4Stf_D32(db, ops[3]), *dg = Q4Stf_D32(db, ops[4]);
    if (!Q4Stf_All(Str(db, ops[0]), w, dg)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockString, ops[0])) Q4VMStr_NumToStr(db, ops[0], ops[1], ops[2], Dint(w), Dint(dg));
    return 1;
}

namespace {
// IN, DST array and count -> DINT: the number of elements copied.
int ToArray(u8* db, const u16* ops, u16 type, u32 size, i32 (*copy)(u8*, u16, void*, i32)) {
    u8* r = Q4Stf_D32(db, ops[0]);
    u8* dst = Q4Stf_Array(db, type, ops[2], ops[3], size);
    if (!Q4Stf_All(r, Str(db, ops[1]), dst)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, static_cast<u32>(copy(db, ops[1], dst, ops[3])));
    return 1;
}
// SRC array and count, DST STRING, NB -> DINT; DST is written only when the
// result is free.
int FromArray(u8* db, const u16* ops, u16 type, u32 size, i32 (*copy)(u8*, u16, const void*, i32, i32)) {
    u8 *r = Q4Stf_D32(db, ops[0]), *nb = Q4Stf_D32(db, ops[4]);
    u8* src = Q4Stf_Array(db, type, ops[1], ops[2], size);
    if (!Q4Stf_All(r, nb, src, Str(db, ops[3]))) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0]))
        PutLe32(r, static_cast<u32>(copy(db, ops[3], src, ops[2], Dint(nb))));
    return 1;
}
}  // namespace

int Q4Stf_StringToArray(u8* db, const u16* ops, u16) { return ToArray(db, ops, kQ4TypeUsint, 1, Q4VMStr_ToD8); }
int Q4Stf_StringToArray16(u8* db, const u16* ops, u16) { return ToArray(db, ops, kQ4TypeInt, 2, Q4VMStr_ToD16); }
int Q4Stf_StringToArray32(u8* db, const u16* ops, u16) { return ToArray(db, ops, kQ4TypeDint, 4, Q4VMStr_ToD32); }
int Q4Stf_ArrayToString(u8* db, const u16* ops, u16) { return FromArray(db, ops, kQ4TypeUsint, 1, Q4VMStr_FromD8); }
int Q4Stf_ArrayToString16(u8* db, const u16* ops, u16) { return FromArray(db, ops, kQ4TypeInt, 2, Q4VMStr_FromD16); }
int Q4Stf_ArrayToString32(u8* db, const u16* ops, u16) { return FromArray(db, ops, kQ4TypeDint, 4, Q4VMStr_FromD32); }

namespace {
// The operands of SERPUTSTRING and SERGETSTRING: BUF and count, STR, POS,
// FIXLEN, ENDZERO, HEADLEN. POS is refused when negative and every bound is
// added in 64 bits, so nothing reaches outside the buffer.
struct SerArgs {
    u8* result;
    u8* buf;
    i64 count, pos, fixlen;
    bool endzero, headlen;
};
bool SerRead(u8* db, const u16* ops, SerArgs* a) {
    u8 *pos = Q4Stf_D32(db, ops[4]), *fix = Q4Stf_D32(db, ops[5]), *ez = Q4Stf_D8(db, ops[6]), *hl = Q4Stf_D8(db, ops[7]);
    a->result = Q4Stf_D32(db, ops[0]);
    a->buf = Q4Stf_Bytes(db, ops[1], ops[2]);
    if (!Q4Stf_All(a->result, a->buf, pos, fix, ez, hl, Str(db, ops[3]))) return false;
    a->count = ops[2];
    a->pos = Dint(pos);
    a->fixlen = Dint(fix);
    a->endzero = *ez != 0;
    a->headlen = *hl != 0;
    return true;
}
}  // namespace

int Q4Stf_SerPutString(u8* db, const u16* ops, u16) {
    SerArgs a;
    if (!SerRead(db, ops, &a)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    const u8* s = Str(db, ops[3]);
    const i64 len = Q4Str_GetLength(s);
    i64 next = 0;
    if (a.pos < 0) {
        next = 0;
    } else if (a.fixlen > 0) {
        if (a.pos + a.fixlen <= a.count) {
            std::memset(a.buf + a.pos, 0, static_cast<size_t>(a.fixlen));
            std::memcpy(a.buf + a.pos, Q4Str_GetText(s), static_cast<size_t>(len < a.fixlen ? len : a.fixlen));
            next = a.pos + a.fixlen;
        }
    } else if (a.endzero || a.headlen) {
        if (a.pos + len + 1 <= a.count) {
            u8* at = a.buf + a.pos;
            if (a.endzero) {
                std::memcpy(at, Q4Str_GetText(s), static_cast<size_t>(len));
                at[len] = 0;
            } else {
                at[0] = static_cast<u8>(len);
                std::memcpy(at + 1, Q4Str_GetText(s), static_cast<size_t>(len));
            }
            next = a.pos + len + 1;
        }
    }
    PutLe32(a.result, static_cast<u32>(next));
    return 1;
}

// The string is written without looking at its own lock bit.
int Q4Stf_SerGetString(u8* db, const u16* ops, u16) {
    SerArgs a;
    if (!SerRead(db, ops, &a)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    i64 next = 0;
    auto upToZero = [&](i64 max) {
        const u8* from = a.buf + a.pos;
        const void* z = std::memchr(from, 0, static_cast<size_t>(max));
        const i64 n = z ? static_cast<const u8*>(z) - from : max;
        Q4VMStr_AscForce(db, ops[3], from, static_cast<u32>(n));
        return n;
    };
    if (a.pos < 0) {
        next = 0;
    } else if (a.fixlen > 0) {
        if (a.pos + a.fixlen <= a.count) {
            upToZero(a.fixlen);
            next = a.pos + a.fixlen;
        }
    } else if (a.endzero) {
        if (a.pos < a.count) next = a.pos + upToZero(a.count - a.pos) + 1;
    } else if (a.headlen) {
        if (a.pos < a.count) {
            const i64 n = a.buf[a.pos];
            if (a.pos + 1 + n <= a.count) {
                Q4VMStr_AscForce(db, ops[3], a.buf + a.pos + 1, static_cast<u32>(n));
                next = a.pos + 1 + n;
            }
        }
    }
    PutLe32(a.result, static_cast<u32>(next));
    return 1;
}

// STRINGTABLE (ID) -> BOOL: table ID of the code image becomes the current one.
int Q4Stf_StringTable(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *id = Q4Stf_D32(db, ops[1]), *priv = Q4VM_Private(db);
    if (!Q4Stf_All(r, id, priv)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) return 1;
    const u32 table = Q4VMCode_GetStringTable(Q4VM_CodeOf(db), GetLe32(id));
    if (table) {
        PutLe32(priv + kVmPrivDefStrTable, GetLe32(id));
        PutLe32(priv + kVmPrivStrTable, table);
    }
    *r = table ? 1 : 0;
    return 1;
}

// LOADSTRING (ID) -> STRING: text ID of the current table. The table holds
// its first and last text numbers and, per number, the offset of a
// length-prefixed text from the table's start (0: no text). Every offset is
// read through the bounds-checked view of the image; anything outside it
// gives the empty string.
int Q4Stf_LoadString(u8* db, const u16* ops, u16) {
    u8 *id = Q4Stf_D32(db, ops[1]), *priv = Q4VM_Private(db);
    if (!Q4Stf_All(Str(db, ops[0]), id, priv)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockString, ops[0])) return 1;
    const Q4Code& c = Q4VM_CodeOf(db);
    const u64 t = GetLe32(priv + kVmPrivStrTable), n = GetLe32(id);
    const u8* text = nullptr;
    u32 len = 0;
    if (t && Q4Code_InRange(c, static_cast<u32>(t), 8)) {
        const u32 first = Q4Code_U32(c, static_cast<u32>(t)), last = Q4Code_U32(c, static_cast<u32>(t + 4));
        const u64 slot = t + 8 + 4 * (n - first);
        if (first <= n && n <= last && slot + 4 <= c.size) {
            const u64 at = t + Q4Code_U32(c, static_cast<u32>(slot));
            if (at != t && at < c.size) {
                len = c.data[at];
                if (Q4Code_InRange(c, static_cast<u32>(at + 1), len)) text = c.data + at + 1;
            }
        }
    }
    if (text) Q4VMStr_AscForce(db, ops[0], text, len);
    else Q4VMStr_Empty(db, ops[0]);
    return 1;
}
