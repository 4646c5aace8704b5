#include "iec/kernel/q4tools.h"

#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

u8* Q4Tools_Element(u8* db, u32 area, u16 index) {
    if (!db) return nullptr;
    u32 bytes = 0;
    u8* base = Q4VM_AreaPtr(db, area, &bytes);
    if (!base) return nullptr;
    VmDbDesc d = Q4VM_GetDesc(db, area);
    if (d.elementSize == 0 || index >= d.allocated) return nullptr;
    u64 at = static_cast<u64>(index) * d.elementSize;
    if (at + d.elementSize > bytes) return nullptr;
    return base + at;
}

u8* Q4Tools_String(u8* db, u16 index) {
    u8* slot = Q4Tools_Element(db, kDbStringPointers, index);
    if (!slot) return nullptr;
    u32 off = GetLe32(slot);
    u32 bufBytes = 0;
    u8* buf = Q4VM_AreaPtr(db, kDbStringBuffer, &bufBytes);
    if (off == 0 || !buf) return nullptr;
    u32 bufOff = static_cast<u32>(buf - db);
    // The whole VM string (capacity + 3 bytes) must lie in the string buffer.
    if (off < bufOff || off - bufOff + 3 > bufBytes) return nullptr;
    u8* s = db + off;
    if (off - bufOff + s[0] + 3u > bufBytes) return nullptr;
    return s;
}

u8* Q4Tools_External(u8* db, u16 type, u16 index) {
    const u16 base = Q4Type_Base(static_cast<u16>(type & 0x7F));
    const bool isString = base == kQ4TypeString;
    const u32 width = isString ? kQ4StrOverhead : Q4Type_Size(base);
    Q4XvEntry xv{};
    const u8* slot = Q4Tools_Element(db, kDbExternalVars, index);
    const u32 off = slot ? GetLe32(slot) : 0;
    if (!off || index == 0 || width == 0 || !Q4VMCode_GetXv(Q4VM_CodeOf(db), static_cast<u16>(index - 1), &xv) ||
        Q4Type_FoldUnsigned(xv.type) != Q4Type_FoldUnsigned(base))
        return nullptr;
    const u64 total = Q4VM_GetTotalDBSize(db);
    if (off < kVmDbDescriptorBlockBytes || off + u64{width} > total) return nullptr;
    if (isString && off + u64{db[off]} + kQ4StrOverhead > total) return nullptr;
    return db + off;
}

u8* Q4Tools_GetAnyParam(u8* db, u16 type, u16 index, int* lock, u32* size) {
    const Q4TypeInfo* t = (type & kQ4TypeExternal) ? nullptr : Q4Type_Info(type);
    if (!t || t->storage == kQ4ClassComplex) return nullptr;
    u8* p = t->storage == kQ4ClassString ? Q4Tools_String(db, index) : Q4Tools_Element(db, t->storage, index);
    if (!p) return nullptr;
    if (lock) {
        u8* l = Q4Tools_Element(db, kDbLockFlags, index);
        *lock = (l && (*l & t->lockBit)) ? 1 : 0;
    }
    if (size) *size = t->storage == kQ4ClassString ? p[0] + 3u : t->size;
    return p;
}

bool Q4Tools_HasCtSegment(u8* db) {
    u32 bytes = 0;
    return db && Q4VM_AreaPtr(db, kDbCtSegment, &bytes) && bytes != 0;
}

u8* Q4Tools_GetCTParam(u8* db, u16 index) {
    u32 bytes = 0;
    u8* ct = db ? Q4VM_AreaPtr(db, kDbCtSegment, &bytes) : nullptr;
    if (!ct || bytes == 0) return nullptr;
    u8* dint = Q4Tools_Element(db, kDbData32, index);
    if (!dint) return nullptr;
    u32 off = GetLe32(dint);
    if (off >= bytes) return nullptr;
    return ct + off;
}

u8* Q4Tools_GetAnyArray(u8* db, u16 type, u16 index) {
    if (Q4Tools_HasCtSegment(db)) return Q4Tools_GetCTParam(db, index);
    return Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr);
}

namespace {
u8* ArrayOf(u8* db, u32 area, u16 index) {
    if (Q4Tools_HasCtSegment(db)) return Q4Tools_GetCTParam(db, index);
    return Q4Tools_Element(db, area, index);
}
}  // namespace

u8* Q4Tools_GetD8Array(u8* db, u16 index) { return ArrayOf(db, kDbData8, index); }
u8* Q4Tools_GetD16Array(u8* db, u16 index) { return ArrayOf(db, kDbData16, index); }
u8* Q4Tools_GetD32Array(u8* db, u16 index) { return ArrayOf(db, kDbData32, index); }
u8* Q4Tools_GetTimeArray(u8* db, u16 index) { return ArrayOf(db, kDbTime, index); }
u8* Q4Tools_GetD64Array(u8* db, u16 index) { return ArrayOf(db, kDbData64, index); }

u8* Q4Tools_GetStringArray(u8* db, u16 index, int* inCt) {
    if (Q4Tools_HasCtSegment(db)) {
        if (inCt) *inCt = 1;
        return Q4Tools_GetCTParam(db, index);
    }
    if (inCt) *inCt = 0;
    return Q4Tools_Element(db, kDbStringPointers, index);
}
