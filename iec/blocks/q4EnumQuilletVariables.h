// The controller side of the IEC application's variables: the binding of
// controller registers to the application's variables (six tables built from
// the register location table that the application carries, walked around
// every scan so that both sides stay equal), the decode of a variable
// reference given as a register bit address, the packing of BOOL variables
// into register bit strings, the dotted-path lookup of the web pages, and the
// flag that says the running application's variables are known.
//
// The tables are in memory only. Each entry keeps the variable's reference
// token beside the resolved pointers, and the pointers are resolved again
// whenever another database is linked (a stop and start, a hot start, an
// on-line change), so that a walker never touches a database that was freed;
// until then, and while no database is linked, an entry is skipped.
#pragma once

#include "platform/bytes.h"

// 1 once the running application's variable map has been walked; cleared when
// an application is stopped, loaded or deleted. Read only outside this module.
extern u8 quillet_variables_enumerateded;

// Clears quillet_variables_enumerateded; returns its argument unchanged.
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

// Walks the running application's variable map and sets the flag above: 1.
// Without a database the flag is cleared: 0.
int EnumQuilletVars();

// Packs count bytes (0 or 1) into count bits, least significant bit first;
// bits beyond count in the last byte are 0.
void Quillet_Byte_To_Bit(const u8* source, u8* packed, u32 count);
// Unpacks count bits, least significant bit of each byte first, into count
// bytes of 0 or 1.
void Quillet_Bit_To_Byte(const u8* packed, u8* destination, u32 count);

// The variable-map item that a dotted path begins with: the shortest prefix
// of whole segments (split at '.', ended by '[' or the end) that names an
// item. *cursor is advanced past what was consumed; null when no prefix of
// at most 256 characters names one (a grown name at most 255), or without a
// database.
u8* Varnok_Q4VmSyb_GetMapItem(u8* db, const char** cursor);

// --- Register binding tables ---------------------------------------------------

// Word entry. Inputs: a is the register word, b the variable; outputs: a is
// the variable, b the register word.
struct Q4WordBind {
    u32 code;   // register bit address
    u32 token;  // IEC variable reference
    u8* a;
    u8* b;
    u16 last;   // last synchronised value
};
// Bit entry. Inputs and system bits: a is the register byte that holds the
// bit, b the variable's BOOL byte; outputs: a is the variable, b the register.
struct Q4BitBind {
    u32 code;
    u32 token;
    u8* a;
    u8* b;
    u8 mask;  // 1 << bit number
    u8 last;  // the variable's byte after the last synchronisation
    u8 bit;   // bits 0-3 the bit number; 0x10 two-way (system bits)
};
// System-word entry; the limits are compared unsigned.
struct Q4SysWordBind {
    u32 code;
    u32 token;
    u8* reg;
    u8* var;
    u16 last;
    u16 minimum, maximum;
    u8 flags;  // bit 0 two-way
};
constexpr u8 kBindTwoWayBit = 0x10;

constexpr u32 kRegLocationEntries = 6464;
constexpr u32 kBindWordCap = 544, kBindBitCap = 2304, kBindSysBitCap = 512, kBindSysWordCap = 256;
extern Q4WordBind VmDbWordInput_ptr[kBindWordCap];
extern Q4WordBind VmDbWordOutput_ptr[kBindWordCap];
extern Q4BitBind VmDbBitInput_ptr[kBindBitCap];
extern Q4BitBind VmDbBitOutput_ptr[kBindBitCap];
extern Q4BitBind VmDbBitSys_ptr[kBindSysBitCap];
extern Q4SysWordBind VmDbWordSR_ptr[kBindSysWordCap];
extern u32 WordInputEntries, WordOutputEntries, BoolInputEntries, BoolOutputEntries, WordSREntries, BoolSysEntries;
// First-scan flags of the walkers: bit 0 system words, bit 1 system bits.
extern u8 FistScanRegFlag;

// Register bit address of location-table entry i (0 when none).
u32 Q4Bind_RegisterCode(u32 index);
// Clears the six tables and builds them from the 6,464 little-endian tokens
// of the location table (null: all tables empty) against the running
// database; sets FistScanRegFlag to 3. Entries that name no usable variable
// (class 7, a word bound to an 8-bit or string variable) are refused.
void Q4Bind_Build(const u8* locationTable);
void Q4Bind_Clear();
// Re-resolves every variable pointer when the linked database changed since
// the last resolution (cheap otherwise); the walkers call it first.
void Q4Bind_Refresh();
// Announces that another database is (or no database is) linked.
void Q4Bind_DatabaseChanged();

// Register bit address of the entry whose variable pointer is var: kind 0
// words, 1 bits (input flag: input or output table), 2 system words, 3
// system bits; 0 when none.
u32 QuilletCalculateRegToken(const u8* var, int kind, int input);

// Per-scan synchronisation. The scan calls them, while an application whose
// variables are enumerated is loaded, in this order: WordSR and BitSys right
// after the clock registers (every mode), BitInput then WordInput after the
// inputs, BitOutput then WordOutput after the outputs. The four input and
// output walkers act only while the application runs (iVmAlive 1).
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
