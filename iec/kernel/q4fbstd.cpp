#include "iec/kernel/q4fbstd.h"

#include <bit>
#include <cstring>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"

namespace {

bool Locked(u8* db, u16 index, u8 bit) {
    u8* l = Q4Tools_Element(db, kDbLockFlags, index);
    return l && (*l & bit);
}

u8* Out(u8* db, u32 area, u16 index, u8 lockBit, bool force) {
    u8* p = Q4Tools_Element(db, area, index);
    if (!p || (!force && Locked(db, index, lockBit))) return nullptr;
    return p;
}

}  // namespace

bool Q4Fb_Bool(u8* db, u16 index) {
    u8* p = Q4Tools_Element(db, kDbData8, index);
    return p && *p;
}
i32 Q4Fb_Dint(u8* db, u16 index) {
    u8* p = Q4Tools_Element(db, kDbData32, index);
    return p ? static_cast<i32>(GetLe32(p)) : 0;
}
float Q4Fb_Real(u8* db, u16 index) {
    u8* p = Q4Tools_Element(db, kDbData32, index);
    return p ? std::bit_cast<float>(GetLe32(p)) : 0.0f;
}
double Q4Fb_Lreal(u8* db, u16 index) {
    u8* p = Q4Tools_Element(db, kDbData64, index);
    return p ? std::bit_cast<double>(GetLe64(p)) : 0.0;
}
u32 Q4Fb_Time(u8* db, u16 index) {
    u8* p = Q4Tools_Element(db, kDbTime, index);
    return p ? GetLe32(p) : 0;
}

void Q4Fb_PutBool(u8* db, u16 index, bool value, bool force) {
    if (u8* p = Out(db, kDbData8, index, kQ4LockData8, force)) *p = value ? 1 : 0;
}
void Q4Fb_PutDint(u8* db, u16 index, i32 value, bool force) {
    if (u8* p = Out(db, kDbData32, index, kQ4LockData32, force)) PutLe32(p, static_cast<u32>(value));
}
void Q4Fb_PutReal(u8* db, u16 index, float value, bool force) {
    if (u8* p = Out(db, kDbData32, index, kQ4LockData32, force)) PutLe32(p, std::bit_cast<u32>(value));
}
void Q4Fb_PutLreal(u8* db, u16 index, double value, bool force) {
    if (u8* p = Out(db, kDbData64, index, kQ4LockData64, force)) PutLe64(p, std::bit_cast<u64>(value));
}
void Q4Fb_PutTime(u8* db, u16 index, u32 value, bool force) {
    if (u8* p = Out(db, kDbTime, index, kQ4LockTime, force)) PutLe32(p, value);
}

u8* Q4Fb_Array(u8* db, u16 type, u16 index, u32 count) {
    const Q4TypeInfo* t = (type & kQ4TypeExternal) ? nullptr : Q4Type_Info(type);
    if (!t || t->size == 0) return nullptr;
    u8* first = Q4Tools_GetAnyArray(db, type, index);
    if (!first) return nullptr;
    u32 area = Q4Tools_HasCtSegment(db) ? static_cast<u32>(kDbCtSegment) : static_cast<u32>(t->storage);
    u32 bytes = 0;
    u8* base = Q4VM_AreaPtr(db, area, &bytes);
    if (!base || first < base) return nullptr;
    u64 at = static_cast<u64>(first - base), need = static_cast<u64>(count) * t->size;
    return at + need <= bytes ? first : nullptr;
}

u32 Q4Fb_Now(u8* db) {
    u8* st = Q4VM_Status(db);
    return st ? GetLe32(st + kVmStNow) : 0;
}
u32 Q4Fb_Seconds(u8* db) {
    u8* st = Q4VM_Status(db);
    return st ? GetLe32(st + kVmStSeconds) : 0;
}

float Q4Fb_F32(const u8* inst, u32 at) { return std::bit_cast<float>(GetLe32(inst + at)); }
void Q4Fb_SetF32(u8* inst, u32 at, float v) { PutLe32(inst + at, std::bit_cast<u32>(v)); }
double Q4Fb_F64(const u8* inst, u32 at) { return std::bit_cast<double>(GetLe64(inst + at)); }
void Q4Fb_SetF64(u8* inst, u32 at, double v) { PutLe64(inst + at, std::bit_cast<u64>(v)); }

int Q4Fb_Answer(const Q4FbClass& c, int command) {
    switch (command) {
        case kFbClassId: return c.classNumber;
        case kFbInstanceSize: return static_cast<int>(c.instanceSize);
        case kFbAnyType: return c.typed ? 1 : 0;
        default: return 0;
    }
}
