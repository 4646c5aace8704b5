#include "iec/kernel/q4types.h"

namespace {

constexpr Q4TypeInfo kTypes[] = {
    {kQ4TypeBool, "BOOL", kQ4ClassData8, 1, kQ4LockData8, false, false},
    {kQ4TypeDint, "DINT", kQ4ClassData32, 4, kQ4LockData32, true, false},
    {kQ4TypeReal, "REAL", kQ4ClassData32, 4, kQ4LockData32, true, true},
    {kQ4TypeTime, "TIME", kQ4ClassTime, 4, kQ4LockTime, false, false},
    {kQ4TypeString, "STRING", kQ4ClassString, 0, kQ4LockString, false, false},
    {kQ4TypeSint, "SINT", kQ4ClassData8, 1, kQ4LockData8, true, false},
    {kQ4TypeInt, "INT", kQ4ClassData16, 2, kQ4LockData16, true, false},
    {kQ4TypeLint, "LINT", kQ4ClassData64, 8, kQ4LockData64, true, false},
    {kQ4TypeLreal, "LREAL", kQ4ClassData64, 8, kQ4LockData64, true, true},
    {kQ4TypeUsint, "USINT", kQ4ClassData8, 1, kQ4LockData8, false, false},
    {kQ4TypeUint, "UINT", kQ4ClassData16, 2, kQ4LockData16, false, false},
    {kQ4TypeUdint, "UDINT", kQ4ClassData32, 4, kQ4LockData32, false, false},
    {kQ4TypeUlint, "ULINT", kQ4ClassData64, 8, kQ4LockData64, false, false},
    {kQ4TypeComplex, nullptr, kQ4ClassComplex, 0, 0, false, false},
};

}  // namespace

const Q4TypeInfo* Q4Type_Info(u16 code) {
    if (code != kQ4TypeComplex) code &= 0x7F;
    for (const Q4TypeInfo& t : kTypes)
        if (t.code == code) return &t;
    return nullptr;
}

Q4Class Q4Type_Class(u16 code) {
    const Q4TypeInfo* t = Q4Type_Info(code);
    return t ? t->storage : kQ4ClassNone;
}

u8 Q4Type_Size(u16 code) {
    const Q4TypeInfo* t = Q4Type_Info(code);
    return t ? t->size : 0;
}

u8 Q4Type_LockBit(u16 code) {
    const Q4TypeInfo* t = Q4Type_Info(code);
    return t ? t->lockBit : 0;
}

const char* Q4Type_Name(u16 code) {
    const Q4TypeInfo* t = Q4Type_Info(code);
    return t && t->name ? t->name : "?";
}

u16 Q4Type_FoldUnsigned(u16 code) {
    if (code == kQ4TypeComplex) return code;
    u16 ext = code & kQ4TypeExternal;
    switch (code & 0x7F) {
        case kQ4TypeUsint: return ext | kQ4TypeSint;
        case kQ4TypeUint: return ext | kQ4TypeInt;
        case kQ4TypeUdint: return ext | kQ4TypeDint;
        case kQ4TypeUlint: return ext | kQ4TypeLint;
        default: return code;
    }
}
