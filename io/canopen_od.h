// The CANopen object dictionary's window onto the register memory.
//
// Indices 0x2000-0x203E and the CiA 405 groups 0xA000-0xA6E7 name register
// bits and words (CANOpenGetODEntry); values move between PDO bytes, SDO
// buffers and the registers (or the running IEC application's variables)
// only through CANOpenSetData and CANOpenGetData, which refuse any index or
// address outside what the dictionary may reach. Nothing here keeps state.
#pragma once

#include "platform/bytes.h"

// Register bit address and natural width (1, 8, 16 or 32 bits) of an
// object; 1 mapped, 0 not mapped.
int CANOpenGetODEntry(u16 index, u8 subindex, u32* address, u8* width);

// True when the target is a variable reference of the running IEC
// application (both top bits set).
inline bool CoIsIecRef(u32 target) { return (target >> 30) == 3; }

// Writes the low `bits` (1-32) of value into the register or variable at
// target for object `index`: 1 written, 0 refused.
int CANOpenSetData(u32 value, u16 index, u32 bits, u32 target);
// Reads `bits` (1-32) from the register or variable at target: 1 read (the
// value in *value), 0 refused.
int CANOpenGetData(u32* value, u16 index, u32 bits, u32 target);

// The `length` bits (1-32) at bit position `position` of 8 data bytes,
// least significant bit first; 0 for a length of 0 or above 32, or a field
// that would end past the 64th bit.
u32 CANOpenGetMsgData(const u8* data, u32 position, u32 length);
// ORs the low `length` bits of value into 8 data bytes at `position`
// (the caller keeps position + length within 64).
void CoPutMsgData(u8* data, u32 position, u32 length, u32 value);
// Direction 1 reads a little-endian u32 from the bytes; otherwise writes
// *value into them.
void CANOpenDWProcess(u8* bytes, u32* value, int direction);
