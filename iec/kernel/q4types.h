// IEC type codes, storage classes and lock flags of the runtime.
//
// One table serves every part of the runtime that meets a type code: the code
// image, TIC operands, the variable map, block operands, binding and the
// workbench protocol. Each storage class is one table of the VM database
// addressed by a u16 index; the index spaces are separate, so DINT 3 and INT 3
// are different variables.
#pragma once

#include "platform/bytes.h"

enum Q4Type : u16 {
    kQ4TypeBool = 1,
    kQ4TypeDint = 2,
    kQ4TypeReal = 3,
    kQ4TypeTime = 4,
    kQ4TypeString = 5,
    kQ4TypeSint = 10,
    kQ4TypeInt = 11,
    kQ4TypeLint = 12,
    kQ4TypeLreal = 13,
    kQ4TypeUsint = 14,
    kQ4TypeUint = 15,
    kQ4TypeUdint = 16,
    kQ4TypeUlint = 17,
    kQ4TypeComplex = 127,
};

// Added to a type code: the variable is external (reached through the
// external-variable pointer table, index = its slot there).
constexpr u16 kQ4TypeExternal = 0x80;

// Storage classes. The values are also the VM database area numbers of the
// numeric classes' tables, so they can index descriptors directly.
enum Q4Class : u8 {
    kQ4ClassNone = 0,
    kQ4ClassData8 = 6,
    kQ4ClassData16 = 7,
    kQ4ClassData32 = 8,
    kQ4ClassData64 = 9,
    kQ4ClassTime = 10,
    kQ4ClassString = 17,   // string pointer table; each entry points at a VM string
    kQ4ClassComplex = 35,  // CT segment, addressed by byte offset
};

// Lock bits in the lock byte of an index (one lock byte per index, shared by
// the classes).
enum Q4Lock : u8 {
    kQ4LockData8 = 0x01,
    kQ4LockData16 = 0x02,
    kQ4LockData32 = 0x04,
    kQ4LockData64 = 0x08,
    kQ4LockTime = 0x10,
    kQ4LockString = 0x20,
    kQ4LockExternal = 0x80,
};

struct Q4TypeInfo {
    u16 code;
    const char* name;  // "BOOL"...; nullptr for complex (named by its definition)
    Q4Class storage;
    u8 size;     // element size in bytes; 0 for STRING (capacity + 3) and complex
    u8 lockBit;  // 0 for complex
    bool isSigned;
    bool isReal;
};

// The row of a type code (bit 0x80 ignored), or nullptr for a code that is not
// a variable type (0, 6-9, 18-126, above 127).
const Q4TypeInfo* Q4Type_Info(u16 code);

// Shortcuts on the row; a code without a row answers kQ4ClassNone / 0 / "?".
Q4Class Q4Type_Class(u16 code);
u8 Q4Type_Size(u16 code);
u8 Q4Type_LockBit(u16 code);
const char* Q4Type_Name(u16 code);

// Folds an unsigned type onto its signed twin of the same storage (14->10,
// 15->11, 16->2, 17->12), keeping bit 0x80. REAL/DINT and LREAL/LINT stay apart.
u16 Q4Type_FoldUnsigned(u16 code);

inline bool Q4Type_IsExternal(u16 code) { return (code & kQ4TypeExternal) != 0 && code != kQ4TypeComplex; }
inline u16 Q4Type_Base(u16 code) { return code == kQ4TypeComplex ? code : static_cast<u16>(code & 0x7F); }
