#include "iec/blocks/q4EnumQuilletVariables.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/ext/q4vmsyb.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"

u8 quillet_variables_enumerateded = 0;

Q4WordBind VmDbWordInput_ptr[kBindWordCap];
Q4WordBind VmDbWordOutput_ptr[kBindWordCap];
Q4BitBind VmDbBitInput_ptr[kBindBitCap];
Q4BitBind VmDbBitOutput_ptr[kBindBitCap];
Q4BitBind VmDbBitSys_ptr[kBindSysBitCap];
Q4SysWordBind VmDbWordSR_ptr[kBindSysWordCap];
u32 WordInputEntries = 0, WordOutputEntries = 0, BoolInputEntries = 0, BoolOutputEntries = 0, WordSREntries = 0,
    BoolSysEntries = 0;
u8 FistScanRegFlag = 0;

namespace {

constexpr u32 kStringRef = 0x20000000u;
constexpr u32 kClassString = 4, kClassNone = 7;

// Bytes per element of the typed tables; the 8-bit table and the bit array
// use one byte per element.
u32 ElementScale(u32 cls) {
    switch (cls) {
        case 1: return 2;
        case 2: return 4;
        case 3: return 8;
        case 5: return 4;
        default: return 1;
    }
}

u32 TableOf(u32 cls) {
    switch (cls) {
        case 1: return kDbData16;
        case 2: return kDbData32;
        case 3: return kDbData64;
        case 5: return kDbTime;
        default: return kDbData8;
    }
}

// The bindings are resolved again when the database generation they were
// resolved for is no longer the current one.
struct BindState {
    u32 generation = 1;
    u32 resolved = 0;
};
BindState g;

// The sixteen system words that the application may also write.
constexpr u32 kTwoWaySr[16] = {1, 2, 3, 5, 10, 29, 30, 32, 33, 57, 58, 62, 164, 167, 174, 184};

// Whether a token can name a variable of width bytes at all: class 7 names
// none, and a word never goes into an 8-bit or string variable.
bool TokenFits(u32 token, u32 width) {
    if (token & kStringRef) return true;
    const u32 cls = (token >> 26) & 7u;
    if (cls == kClassNone) return false;
    if (width == 2 && (cls == 0 || cls == 6 || cls == kClassString)) return false;
    return true;
}

// Storage of the variable when width bytes of its table follow; else null.
u8* Var(u32 token, u32 width) {
    u8* d = nullptr;
    u32 n = 0;
    return QuilletVmDbSpan(token, &d, &n) > 0 && n >= width ? d : nullptr;
}

u8* RegByte(u32 code) { return &plc_reg[(code - 0x400) / 8]; }

bool In(u32 c, u32 first, u32 last) { return c >= first && c <= last; }

}  // namespace

int ClearQuilletFlags(int value) {
    quillet_variables_enumerateded = 0;
    return value;
}

int QuilletVmDbSpan(u32 reference, u8** data, u32* bytes) {
    *data = nullptr;
    *bytes = 0;
    u8* db = pDB;
    if (db == nullptr) return -1;
    const u32 index = reference & 0xFFFFFu;
    const u32 cls = (reference >> 26) & 7u;
    u32 size = 0;
    if (reference & kStringRef) {
        u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &size);
        if (ct == nullptr || index >= size) return -1;
        *data = ct + index;
        *bytes = size - index;
        return 1;
    }
    if (cls == kClassNone) return 0;
    if (cls == kClassString) {
        u8* table = Q4VM_AreaPtr(db, kDbStringPointers, &size);
        if (table == nullptr || u64{index} * 4 + 4 > size) return -1;
        u32 at = GetLe32(table + 4 * index);
        if (at == 0) return 0;  // declared but never built
        u32 bufSize = 0;
        u8* buf = Q4VM_AreaPtr(db, kDbStringBuffer, &bufSize);
        const u64 bufStart = buf ? static_cast<u64>(buf - db) : 0;
        // Capacity, length, text and NUL must all lie in the string buffer.
        if (buf == nullptr || at < bufStart || u64{at} + 3 > bufStart + bufSize) return -1;
        const u32 capacity = db[at];
        if (u64{at} + capacity + 3 > bufStart + bufSize) return -1;
        *data = db + at + 2;
        *bytes = capacity + 1;
        return 1;
    }
    u8* table = Q4VM_AreaPtr(db, TableOf(cls), &size);
    const u64 offset = u64{index} * ElementScale(cls);
    if (table == nullptr || offset >= size) return -1;
    *data = table + offset;
    *bytes = static_cast<u32>(size - offset);
    return 1;
}

u8* QuilletCalculateVmDbAddress(u32 reference, u32, u32, u8* fallback) {
    if (pDB == nullptr) return nullptr;
    if (!(reference & kStringRef) && ((reference >> 26) & 7u) == kClassNone) return fallback;
    u8* data;
    u32 bytes;
    return QuilletVmDbSpan(reference, &data, &bytes) > 0 ? data : nullptr;
}

void Quillet_Byte_To_Bit(const u8* source, u8* packed, u32 count) {
    for (u32 i = 0; i < count; ++i) {
        if ((i & 7) == 0) packed[i >> 3] = 0;
        if (source[i] != 0) packed[i >> 3] = static_cast<u8>(packed[i >> 3] | (1u << (i & 7)));
    }
}

void Quillet_Bit_To_Byte(const u8* packed, u8* destination, u32 count) {
    for (u32 i = 0; i < count; ++i) destination[i] = (packed[i >> 3] >> (i & 7)) & 1u;
}

int EnumQuilletVars() {
    u8* db = pDB;
    if (db == nullptr) {
        quillet_variables_enumerateded = 0;
        return 0;
    }
    u16 pos = 0;
    for (u8* item = Q4Map_GetFirst(db, &pos); item; item = Q4Map_GetNext(db, &pos)) (void)Q4Map_GetSymbol(db, item);
    quillet_variables_enumerateded = 1;
    return 1;
}

// The same name look-up as the symbol paths of the XML blocks and the web HMI.
u8* Varnok_Q4VmSyb_GetMapItem(u8* db, const char** cursor) { return Q4VmSyb_GetMapItem(db, cursor); }

// --- Building the tables -----------------------------------------------------------

u32 Q4Bind_RegisterCode(u32 i) {
    if (i < 256) return 0x400 + i;
    if (i < 512) return 0x500 + (i - 256);
    if (i < 768) return 0x600 + (i - 512);
    if (i < 1024) return 0x700 + (i - 768);
    if (i < 1056) return 0x800 + 16 * (i - 1024);
    if (i < 1088) return 0xA00 + 16 * (i - 1056);
    if (i < 1280) return 0xC00 + 16 * (i - 1088);
    if (i < 1344) return 0x10030000 + 16 * (i - 1280);
    if (i < 3392) return 0x2000 + (i - 1344);
    if (i < 5440) return 0x2800 + (i - 3392);
    if (i < 5952) return 0x4000 + 16 * (i - 5440);
    if (i < kRegLocationEntries) return 0x6000 + 16 * (i - 5952);
    return 0;
}

void Q4Bind_Clear() {
    WordInputEntries = WordOutputEntries = BoolInputEntries = BoolOutputEntries = WordSREntries = BoolSysEntries = 0;
    std::memset(VmDbWordInput_ptr, 0, sizeof VmDbWordInput_ptr);
    std::memset(VmDbWordOutput_ptr, 0, sizeof VmDbWordOutput_ptr);
    std::memset(VmDbBitInput_ptr, 0, sizeof VmDbBitInput_ptr);
    std::memset(VmDbBitOutput_ptr, 0, sizeof VmDbBitOutput_ptr);
    std::memset(VmDbBitSys_ptr, 0, sizeof VmDbBitSys_ptr);
    std::memset(VmDbWordSR_ptr, 0, sizeof VmDbWordSR_ptr);
}

void Q4Bind_Build(const u8* table) {
    Q4Bind_Clear();
    FistScanRegFlag = 3;
    g.resolved = g.generation;
    if (!table) return;
    for (u32 i = 0; i < kRegLocationEntries; ++i) {
        const u32 token = GetLe32(table + 4 * i);
        if (!token) continue;
        const u32 c = Q4Bind_RegisterCode(i);
        const bool word = c >= 0x800 && !In(c, 0x2000, 0x2FFF);
        if (!TokenFits(token, word ? 2 : 1)) continue;
        u8* var = Var(token, word ? 2 : 1);
        const u8 bit = static_cast<u8>(i & 7);
        const u8 mask = static_cast<u8>(1u << bit);
        if (In(c, 0xC00, 0x17FF)) {
            Q4SysWordBind e{c, token, RegByte(c), var, 0, 0, 0, 0};
            const u32 sr = (c - 0xC00) / 16 + 1;
            for (u32 k : kTwoWaySr)
                if (k == sr) {
                    e.flags = 1;
                    VmDbWordSR_MinMax(&e.minimum, &e.maximum, static_cast<int>(sr - 1));
                }
            VmDbWordSR_ptr[WordSREntries++] = e;
        } else if (In(c, 0x10030000, 0x10030FFF)) {
            VmDbWordSR_ptr[WordSREntries++] = {c, token, PlcReg_Ptr(c, 16), var, 0, 0, 0, 0};
        } else if (In(c, 0x800, 0x9FF) || In(c, 0x4000, 0x5FFF)) {
            VmDbWordInput_ptr[WordInputEntries++] = {c, token, RegByte(c), var, 0};
        } else if (In(c, 0xA00, 0xBFF) || In(c, 0x6000, 0x7FFF)) {
            VmDbWordOutput_ptr[WordOutputEntries++] = {c, token, var, RegByte(c), 0};
        } else if (In(c, 0x400, 0x4FF) || In(c, 0x2000, 0x27FF)) {
            VmDbBitInput_ptr[BoolInputEntries++] = {c, token, RegByte(c), var, mask, 0, bit};
        } else if (In(c, 0x500, 0x5FF) || In(c, 0x2800, 0x2FFF)) {
            VmDbBitOutput_ptr[BoolOutputEntries++] = {c, token, var, RegByte(c), mask, 0, bit};
        } else if (In(c, 0x600, 0x7FF)) {
            const u8 flags = static_cast<u8>(bit | (c >= 0x700 ? kBindTwoWayBit : 0));
            VmDbBitSys_ptr[BoolSysEntries++] = {c, token, RegByte(c), var, mask, 0, flags};
        }
    }
}

void Q4Bind_DatabaseChanged() { ++g.generation; }

void Q4Bind_Refresh() {
    if (g.resolved == g.generation) return;
    g.resolved = g.generation;
    for (u32 k = 0; k < WordInputEntries; ++k) VmDbWordInput_ptr[k].b = Var(VmDbWordInput_ptr[k].token, 2);
    for (u32 k = 0; k < WordOutputEntries; ++k) VmDbWordOutput_ptr[k].a = Var(VmDbWordOutput_ptr[k].token, 2);
    for (u32 k = 0; k < BoolInputEntries; ++k) VmDbBitInput_ptr[k].b = Var(VmDbBitInput_ptr[k].token, 1);
    for (u32 k = 0; k < BoolOutputEntries; ++k) VmDbBitOutput_ptr[k].a = Var(VmDbBitOutput_ptr[k].token, 1);
    for (u32 k = 0; k < BoolSysEntries; ++k) VmDbBitSys_ptr[k].b = Var(VmDbBitSys_ptr[k].token, 1);
    for (u32 k = 0; k < WordSREntries; ++k) VmDbWordSR_ptr[k].var = Var(VmDbWordSR_ptr[k].token, 2);
}

u32 QuilletCalculateRegToken(const u8* var, int kind, int input) {
    if (var == nullptr) return 0;
    auto words = [var](const Q4WordBind* t, u32 n, bool varIsA) -> u32 {
        for (u32 k = 0; k < n; ++k)
            if ((varIsA ? t[k].a : t[k].b) == var) return t[k].code;
        return 0;
    };
    auto bits = [var](const Q4BitBind* t, u32 n, bool varIsA) -> u32 {
        for (u32 k = 0; k < n; ++k)
            if ((varIsA ? t[k].a : t[k].b) == var) return t[k].code;
        return 0;
    };
    switch (kind) {
        case 0:
            return input ? words(VmDbWordInput_ptr, WordInputEntries, false)
                         : words(VmDbWordOutput_ptr, WordOutputEntries, true);
        case 1:
            return input ? bits(VmDbBitInput_ptr, BoolInputEntries, false)
                         : bits(VmDbBitOutput_ptr, BoolOutputEntries, true);
        case 2:
            for (u32 k = 0; k < WordSREntries; ++k)
                if (VmDbWordSR_ptr[k].var == var) return VmDbWordSR_ptr[k].code;
            return 0;
        case 3: return bits(VmDbBitSys_ptr, BoolSysEntries, false);
        default: return 0;
    }
}

// --- Per-scan synchronisation ------------------------------------------------------

namespace {

// Word pair: a side that changed alone goes to the other; when both changed
// the register wins. The last value is the common value after every pass,
// also when both sides changed to the same value, so that a later change of
// one side is recognised as that side's.
void SyncWord(u8* reg, u8* var, u16& last) {
    const u16 r = GetLe16(reg), v = GetLe16(var);
    if (r != v) {
        if (r == last) PutLe16(reg, v);
        else PutLe16(var, r);
    }
    last = GetLe16(reg);
}

void SyncWords(Q4WordBind* t, u32 n, bool regIsA) {
    for (u32 k = 0; k < n; ++k) {
        Q4WordBind& e = t[k];
        if (!e.a || !e.b) continue;
        SyncWord(regIsA ? e.a : e.b, regIsA ? e.b : e.a, e.last);
    }
}

// Bit pair (register bit against a BOOL byte): a side that changed alone goes
// to the other; when both changed the variable wins. The last value is the
// variable's byte after every pass.
void SyncBit(u8* reg, u8* var, u8 mask, u8 bit, u8& last) {
    const u8 b = static_cast<u8>((*reg & mask) >> bit);
    const u8 v = *var;
    if (v != b) {
        if (v == last) *var = b;
        else *reg = v ? static_cast<u8>(*reg | mask) : static_cast<u8>(*reg & ~mask);
    }
    last = *var;
}

void SyncBits(Q4BitBind* t, u32 n, bool regIsA) {
    for (u32 k = 0; k < n; ++k) {
        Q4BitBind& e = t[k];
        if (!e.a || !e.b) continue;
        SyncBit(regIsA ? e.a : e.b, regIsA ? e.b : e.a, e.mask, static_cast<u8>(e.bit & 7), e.last);
    }
}

}  // namespace

void QuilletUpdateWordSRRegs() {
    Q4Bind_Refresh();
    const bool first = FistScanRegFlag & 1;
    for (u32 k = 0; k < WordSREntries; ++k) {
        Q4SysWordBind& e = VmDbWordSR_ptr[k];
        if (!e.reg || !e.var) continue;
        const u16 r = GetLe16(e.reg), v = GetLe16(e.var);
        if (first || !(e.flags & 1)) {
            PutLe16(e.var, r);
        } else if (v != r) {
            if (v != e.last && v >= e.minimum && v <= e.maximum) PutLe16(e.reg, v);
            else PutLe16(e.var, r);  // the register changed, or the application wrote out of range
        }
        e.last = GetLe16(e.reg);
    }
    FistScanRegFlag = static_cast<u8>(FistScanRegFlag & ~1u);
}

void QuilletUpdateBitSysRegs() {
    Q4Bind_Refresh();
    const bool first = FistScanRegFlag & 2;
    for (u32 k = 0; k < BoolSysEntries; ++k) {
        Q4BitBind& e = VmDbBitSys_ptr[k];
        if (!e.a || !e.b) continue;
        const u8 bit = static_cast<u8>(e.bit & 7);
        if (first || !(e.bit & kBindTwoWayBit)) {
            *e.b = static_cast<u8>((*e.a & e.mask) >> bit);
            e.last = *e.b;
        } else {
            SyncBit(e.a, e.b, e.mask, bit, e.last);
        }
    }
    FistScanRegFlag = static_cast<u8>(FistScanRegFlag & ~2u);
}

void QuilletUpdateBitInputRegs() {
    Q4Bind_Refresh();
    if (iVmAlive == 1) SyncBits(VmDbBitInput_ptr, BoolInputEntries, true);
}
void QuilletUpdateWordInputRegs() {
    Q4Bind_Refresh();
    if (iVmAlive == 1) SyncWords(VmDbWordInput_ptr, WordInputEntries, true);
}
void QuilletUpdateBitOutputRegs() {
    Q4Bind_Refresh();
    if (iVmAlive == 1) SyncBits(VmDbBitOutput_ptr, BoolOutputEntries, false);
}
void QuilletUpdateWordOutputRegs() {
    Q4Bind_Refresh();
    if (iVmAlive == 1) SyncWords(VmDbWordOutput_ptr, WordOutputEntries, false);
}

u32 Quillet_WordRef(u32 reference, u32 words) {
    const u32 step = ((reference >> 26) & 7u) == 0 ? 2 * words : words;
    return (reference & ~0xFFFFFu) | ((reference + step) & 0xFFFFFu);
}
