#include "iec/kernel/q4stfops.h"

#include <bit>

#include "iec/kernel/q4vmstr.h"

u32 Q4Stf_ValueSize(u16 type) {
    switch (type) {
        case kQ4TypeBool: case kQ4TypeSint: case kQ4TypeUsint: return 1;
        case kQ4TypeInt: case kQ4TypeUint: return 2;
        case kQ4TypeDint: case kQ4TypeUdint: case kQ4TypeReal: case kQ4TypeTime: return 4;
        case kQ4TypeLint: case kQ4TypeUlint: case kQ4TypeLreal: return 8;
        default: return 0;
    }
}

u8* Q4Stf_Array(u8* db, u16 type, u16 index, u32 count, u32 elemSize) {
    const bool ct = Q4Tools_HasCtSegment(db);
    u32 area = ct ? u32{kDbCtSegment} : static_cast<u32>(Q4Type_Class(type));
    if (!ct && (area == kQ4ClassNone || area == kQ4ClassString || area == kQ4ClassComplex)) return nullptr;
    u32 bytes = 0;
    u8* base = Q4VM_AreaPtr(db, area, &bytes);
    u8* first = ct ? Q4Tools_GetCTParam(db, index) : Q4Tools_Element(db, area, index);
    if (!base || !first) return nullptr;
    const u64 at = static_cast<u64>(first - base);
    if (at + static_cast<u64>(count) * elemSize > bytes) return nullptr;
    return first;
}

double Q4Stf_F64(const u8* p) { return std::bit_cast<double>(GetLe64(p)); }
void Q4Stf_PutF64(u8* p, double d) { PutLe64(p, std::bit_cast<u64>(d)); }

std::string Q4Stf_Name(const u8* s) {
    std::string t(Q4Str_GetText(s), Q4Str_GetLength(s));
    return t.substr(0, t.find('\0'));
}
