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
