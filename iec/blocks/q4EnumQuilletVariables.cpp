#include "iec/blocks/q4EnumQuilletVariables.h"

#include "iec/kernel/q4bind.h"
#include "iec/kernel/q4vmdb.h"

u8 quillet_variables_enumerateded = 0;

namespace {

// Number of variables found by the last walk of the variable map.
u32 enumeratedCount = 0;

constexpr u32 kStringRef = 0x20000000u;

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

}  // namespace

int ClearQuilletFlags(int value) {
    quillet_variables_enumerateded = 0;
    enumeratedCount = 0;
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
    if (cls == 7) return 0;
    if (cls == 4) {
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
    if (!(reference & kStringRef) && ((reference >> 26) & 7u) == 7) return fallback;
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

// --- Per-scan synchronisation ------------------------------------------------------

namespace {

// Word pair: the side that changed since the last scan goes to the other;
// when both changed, the register wins. `regIsA` tells which side is the register.
void SyncWords(Q4WordBind* t, u32 n, bool regIsA) {
    for (u32 k = 0; k < n; ++k) {
        Q4WordBind& e = t[k];
        if (!e.a || !e.b) continue;
        u16 va = GetLe16(e.a), vb = GetLe16(e.b);
        if (va != vb) {
            u16 reg = regIsA ? va : vb, var = regIsA ? vb : va;
            u16 v = (reg != e.last) ? reg : var;
            PutLe16(e.a, v);
            PutLe16(e.b, v);
            va = v;
        }
        e.last = va;
    }
}

// Bit pair (register bit against a BOOL byte): the changed side wins; when
// both changed, the IEC variable wins.
void SyncBits(Q4BitBind* t, u32 n, bool regIsA) {
    for (u32 k = 0; k < n; ++k) {
        Q4BitBind& e = t[k];
        if (!e.a || !e.b) continue;
        u8* reg = regIsA ? e.a : e.b;
        u8* var = regIsA ? e.b : e.a;
        u8 mask = static_cast<u8>(1u << (e.bit & 7));
        u8 r = (*reg & mask) ? 1 : 0, v = *var ? 1 : 0;
        if (r != v) {
            u8 now = (v != e.last) ? v : r;
            *var = now;
            *reg = now ? static_cast<u8>(*reg | mask) : static_cast<u8>(*reg & ~mask);
            r = now;
        }
        e.last = r;
    }
}

}  // namespace

void EnumQuilletVars() {
    if (pDB == nullptr) {
        quillet_variables_enumerateded = 0;
        return;
    }
    enumeratedCount = Q4VM_GetDesc(pDB, kDbMapEntries).used;
    quillet_variables_enumerateded = 1;
}

void QuilletUpdateWordSRRegs() {
    Q4Bind_Refresh();
    bool first = FistScanRegFlag & 1;
    FistScanRegFlag = static_cast<u8>(FistScanRegFlag & ~1u);
    for (u32 k = 0; k < WordSREntries; ++k) {
        Q4SysWordBind& e = VmDbWordSR_ptr[k];
        if (!e.reg || !e.var) continue;
        u16 reg = GetLe16(e.reg), var = GetLe16(e.var);
        if ((e.flags & 1) && !first && var != e.last && var != reg) {
            i16 s = static_cast<i16>(var);
            if ((e.flags & 2) || (s >= e.minimum && s <= e.maximum)) {
                PutLe16(e.reg, var);
                reg = var;
            }
        }
        PutLe16(e.var, reg);
        e.last = reg;
    }
}

void QuilletUpdateBitSysRegs() {
    Q4Bind_Refresh();
    bool first = FistScanRegFlag & 2;
    FistScanRegFlag = static_cast<u8>(FistScanRegFlag & ~2u);
    for (u32 k = 0; k < BoolSysEntries; ++k) {
        Q4BitBind& e = VmDbBitSys_ptr[k];
        if (!e.a || !e.b) continue;
        u8 mask = e.setMask;
        u8 r = (*e.b & mask) ? 1 : 0, v = *e.a ? 1 : 0;
        if ((e.bit & 0x10) && !first && v != e.last && v != r) {
            *e.b = v ? static_cast<u8>(*e.b | mask) : static_cast<u8>(*e.b & e.clearMask);
            r = v;
        }
        *e.a = r;
        e.last = r;
    }
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
