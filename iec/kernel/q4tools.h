// Block tools: turn a block operand (an index into the VM database) into the
// address of the variable or array it designates, with its lock flag and size,
// and the CRC-16 that blocks and protocols share.
//
// Operand indexes come from downloaded code, so every index and every CT
// segment offset is checked against its table; an operand that designates
// nothing answers none (nullptr) instead of an address outside the database.
#pragma once

#include "platform/bytes.h"

// CRC-16/MODBUS (initial 0xFFFF, reflected polynomial 0xA001, no final
// inversion); 0xFFFF for length 0. Longer buffers than 65,535 bytes are
// computed whole.
u16 Q4Tools_Crc16(const void* data, u32 length);

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
// The element at index of a storage area (area number = the class), or none.
u8* Q4Tools_Element(u8* db, u32 area, u16 index);
