// The controller side of the IEC application's variables: the flag that says
// the running application's variables are known, the decode of a variable
// reference given as a register bit address, the packing of BOOL variables
// into register bit strings, and the per-scan synchronisation of registers
// bound to IEC variables.
#pragma once

#include "platform/bytes.h"

// 1 once the running application's variable map has been walked; cleared when
// an application is loaded or deleted. Read only outside this module.
extern u8 quillet_variables_enumerateded;

// Clears quillet_variables_enumerateded and the count of enumerated variables;
// returns its argument unchanged.
int ClearQuilletFlags(int value);

// Storage of the IEC variable that a reference (register bit address with both
// top bits set) names in the running VM database, or null when there is no
// database or the reference lies outside its table. Class 7 gives the
// caller's fallback. For a string: its text (capacity and length bytes
// skipped). The two middle arguments are not read.
u8* QuilletCalculateVmDbAddress(u32 reference, u32 unused1, u32 unused2, u8* fallback);

// The same decode with its bound: *data and *bytes receive the storage and
// how many bytes from there still belong to the addressed table (for a
// string: its text and the NUL). Returns 1 when resolved; 0 when the
// reference names nothing to store into (class 7, a string entry that was
// never built); -1 when there is no database or the reference lies outside
// its table.
int QuilletVmDbSpan(u32 reference, u8** data, u32* bytes);

// Walks the running application's variables and sets the flag above; without a
// database the flag is cleared.
void EnumQuilletVars();

// Packs count bytes (0 or 1) into count bits, least significant bit first;
// bits beyond count in the last byte are 0.
void Quillet_Byte_To_Bit(const u8* source, u8* packed, u32 count);
// Unpacks count bits, least significant bit of each byte first, into count
// bytes of 0 or 1.
void Quillet_Bit_To_Byte(const u8* packed, u8* destination, u32 count);

// Per-scan synchronisation of registers bound to IEC variables. The scan calls
// them, with an application whose variables are enumerated, in this order:
// WordSR and BitSys before the inputs, BitInput then WordInput after reading
// the inputs, BitOutput then WordOutput after the IEC cycle.
void QuilletUpdateWordSRRegs();
void QuilletUpdateBitSysRegs();
void QuilletUpdateBitInputRegs();
void QuilletUpdateWordInputRegs();
void QuilletUpdateBitOutputRegs();
void QuilletUpdateWordOutputRegs();

// The reference of the element at 16-bit word position `words` of an area
// that starts at an IEC variable reference: a variable of the 8-bit class
// holds one byte, so a word position is two elements; any other class
// holds a word position per element.
u32 Quillet_WordRef(u32 reference, u32 words);
