// Register binding tables: pairs of a controller register and an IEC
// variable of the running application, built from the register location
// table whenever an application is loaded, and walked around each scan.
//
// Entries keep the variable's reference token beside the resolved pointer:
// the pointers are resolved again whenever another database is linked (a
// workbench stop and start, a hot start, a change), so that a walker never
// writes into a database that was freed. Until then, and while no database
// is linked, the variable pointers are null and the entry is skipped.
#pragma once

#include "platform/bytes.h"

struct Q4WordBind {
    u32 code;   // register bit address
    u32 token;  // IEC variable reference
    u8* a;      // inputs: register word; outputs: IEC variable
    u8* b;      // the other side
    u16 last;
};
struct Q4BitBind {
    u32 code;
    u32 token;
    u8* a;  // inputs: register byte; outputs and system bits: IEC variable
    u8* b;
    u8 setMask, clearMask, last, bit;  // bit: bit number, 0x10 two-way (system bits)
};
struct Q4SysWordBind {
    u32 code;
    u32 token;
    u8* reg;
    u8* var;
    u16 last;
    i16 minimum, maximum;
    u8 flags;  // bit 0 two-way, bit 1 no limit check
};

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

// Register code of location-table index i (0 when none).
u32 Q4Bind_RegisterCode(u32 index);
// Clears the six tables and builds them from the 6,464 little-endian tokens
// of the location table (null: all tables empty) against the running database.
void Q4Bind_Build(const u8* locationTable);
void Q4Bind_Clear();
// Re-resolves every variable pointer when the linked database changed since
// the last resolution (cheap otherwise); the walkers call it first.
void Q4Bind_Refresh();
// Announces that another database is (or no database is) linked.
void Q4Bind_DatabaseChanged();
