// Block tools: turn a block operand (an index into the VM database) into the
// address of the variable or array it designates, with its lock flag and size.
//
// Operand indexes come from downloaded code, so every index and every CT
// segment offset is checked against its table; an operand that designates
// nothing answers none (nullptr) instead of an address outside the database.
#pragma once

#include "platform/bytes.h"

// Address of a single variable of a simple type; lock (0/1) and size in bytes
// (STRING: capacity + 3) when asked for. None for a type outside the table or
// an index outside its table.
u8* Q4Tools_GetAnyParam(u8* db, u16 type, u16 index, int* lock, u32* size);

// True when the database has a CT segment (area 35 with a non-zero size).
bool Q4Tools_HasCtSegment(u8* db);

// CT segment + DINT[index] (the DINT holds the byte offset); none without a CT
// segment or when the offset lies outside it.
u8* Q4Tools_GetCTParam(u8* db, u16 index);

// First element of an array operand: with a CT segment CT + DINT[index]
// whatever the type, otherwise the element at index in the type's table (the
// first VM string for STRING).
u8* Q4Tools_GetAnyArray(u8* db, u16 type, u16 index);
u8* Q4Tools_GetD8Array(u8* db, u16 index);
u8* Q4Tools_GetD16Array(u8* db, u16 index);
u8* Q4Tools_GetD32Array(u8* db, u16 index);
u8* Q4Tools_GetTimeArray(u8* db, u16 index);
u8* Q4Tools_GetD64Array(u8* db, u16 index);
// With a CT segment: the first VM string of the array (inCt 1). Otherwise the
// slot of the string pointer table (inCt 0), from which consecutive slots
// (u32 database offsets) follow.
u8* Q4Tools_GetStringArray(u8* db, u16 index, int* inCt);

// The VM string of string index (the string pointer table resolved), or none.
u8* Q4Tools_String(u8* db, u16 index);
// The variable of slot index (from 1) of the external-variable pointer
// table, taken as a variable of type (bit 0x80 ignored; a VM string for
// STRING): none when the code image does not declare the slot with that
// type (unsigned types count as their signed twins), when the slot is empty,
// or when the variable does not lie whole inside the database. The type
// check keeps a value of one width from being written over another.
u8* Q4Tools_External(u8* db, u16 type, u16 index);
// The element at index of a storage area (area number = the class), or none.
u8* Q4Tools_Element(u8* db, u32 area, u16 index);
