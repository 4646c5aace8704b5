// Operand access shared by the standard-function families: a variable of a
// storage class by its index, an array operand checked against the area it
// lies in, and the width of each IEC type.
//
// Every index and every array count comes from downloaded code: an operand
// that designates nothing (an index beyond its table, an array running past
// its area) answers none, and the handler then stops the application rather
// than read or write outside the database.
#pragma once

#include <string>

#include "platform/bytes.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstd.h"

inline u8* Q4Stf_D8(u8* db, u16 i) { return Q4Tools_Element(db, kDbData8, i); }
inline u8* Q4Stf_D16(u8* db, u16 i) { return Q4Tools_Element(db, kDbData16, i); }
inline u8* Q4Stf_D32(u8* db, u16 i) { return Q4Tools_Element(db, kDbData32, i); }
inline u8* Q4Stf_D64(u8* db, u16 i) { return Q4Tools_Element(db, kDbData64, i); }

// True when no pointer is null.
template <class... P>
bool Q4Stf_All(P*... p) {
    return (... && (p != nullptr));
}

// Bytes of one value of a type code that the bit and block functions handle
// (1, 2, 4 or 8); 0 for STRING, complex and unknown codes.
u32 Q4Stf_ValueSize(u16 type);

// First element of an array operand of count elements of elemSize bytes:
// with a CT segment the segment + DINT[index], otherwise the element at index
// in the table of the type's class. None unless all count elements lie inside
// that segment or table.
u8* Q4Stf_Array(u8* db, u16 type, u16 index, u32 count, u32 elemSize);
// A USINT/SINT byte buffer operand.
inline u8* Q4Stf_Bytes(u8* db, u16 index, u32 count) { return Q4Stf_Array(db, kQ4TypeUsint, index, count, 1); }

inline float Q4Stf_F32(const u8* p) { return GetLeFloat(p); }
inline void Q4Stf_PutF32(u8* p, float f) { PutLeFloat(p, f); }
double Q4Stf_F64(const u8* p);
void Q4Stf_PutF64(u8* p, double d);

// Results stored only when the lock bit of their class is clear.
inline void Q4Stf_StoreBool(u8* db, u16 index, u8* r, bool v) {
    if (Q4VMStf_CanStore(db, kQ4LockData8, index)) *r = v ? 1 : 0;
}
inline void Q4Stf_StoreDint(u8* db, u16 index, u8* r, u32 v) {
    if (Q4VMStf_CanStore(db, kQ4LockData32, index)) PutLe32(r, v);
}

// The text of a VM string used as a name (a path, an address, a symbol): its
// current characters up to the first NUL.
std::string Q4Stf_Name(const u8* s);
