#include "iec/blocks/q4fbctl.h"

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"

int Q4Ctl_Answer(int command, u32 instanceSize) {
    if (command == kFbAnyType) return 1;
    if (command == kFbInstanceSize) return static_cast<int>(instanceSize);
    return 0;
}

u8 Q4Ctl_Byte(u8* db, u16 index, bool* ok) {
    u8* p = Q4Tools_Element(db, kDbData8, index);
    if (ok) *ok = p != nullptr;
    return p ? *p : 0;
}

i16 Q4Ctl_Int(u8* db, u16 index) {
    u8* p = Q4Tools_Element(db, kDbData16, index);
    return p ? static_cast<i16>(GetLe16(p)) : 0;
}

void Q4Ctl_PutInt(u8* db, u16 index, i16 value) {
    u8* p = Q4Tools_Element(db, kDbData16, index);
    u8* l = Q4Tools_Element(db, kDbLockFlags, index);
    if (p && !(l && (*l & kQ4LockData16))) PutLe16(p, static_cast<u16>(value));
}

Q4CtlArray::Q4CtlArray(u8* db, u16 type, u16 index, u16 count)
    : data_(count ? Q4Fb_Array(db, type, index, count) : nullptr), count_(count) {}

u8* Q4Ctl_Any(u8* db, u16 type, u16 index, u32* size) { return Q4Tools_GetAnyParam(db, type, index, nullptr, size); }

u64 Q4Ctl_LoadLe(const u8* p, u32 width) {
    u64 v = 0;
    for (u32 k = 0; k < width; ++k) v |= static_cast<u64>(p[k]) << (8 * k);
    return v;
}

void Q4Ctl_StoreLe(u8* p, u32 width, u64 v) {
    for (u32 k = 0; k < width; ++k) p[k] = static_cast<u8>(v >> (8 * k));
}

bool Q4Ctl_GetBits(u8* db, u16 type, u16 index, u64* bits) {
    const Q4TypeInfo* t = (type & kQ4TypeExternal) ? nullptr : Q4Type_Info(type);
    if (!t || t->size == 0) return false;
    u8* p = Q4Tools_GetAnyParam(db, type, index, nullptr, nullptr);
    if (!p) return false;
    *bits = Q4Ctl_LoadLe(p, t->size);
    return true;
}

void Q4Ctl_PutBits(u8* db, u16 type, u16 index, u64 bits) {
    const Q4TypeInfo* t = (type & kQ4TypeExternal) ? nullptr : Q4Type_Info(type);
    if (!t || t->size == 0) return;
    int lock = 0;
    u8* p = Q4Tools_GetAnyParam(db, type, index, &lock, nullptr);
    if (p && !lock) Q4Ctl_StoreLe(p, t->size, bits);
}
