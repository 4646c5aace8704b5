// The variable map: publishes the variables of the running application to
// everything outside the compiled code (workbench, standard functions,
// binding, Modbus, register binding, web symbols), found by (type, index), by
// numeric tag, by symbol and by data address; each published variable may
// carry a VSI record (64 status bits and a date/time stamp).
//
// The map lives in two areas of the VM database: the entries (area 24) and 49
// hash buckets (area 25). On this 64-bit host the entries hold 32-bit offsets
// instead of pointers: the record as an offset in the code image, the data,
// lock and chain links as offsets in the database (0 = none). Entry layout:
//   +0 record  +4 data  +8 lock  +12 next by index  +16 next by symbol
//   +20 next by tag  [+24 VSI: status bits 32-63, status bits 0-31, date, time]
// An entry is the public handle of a variable; in memory it is the entry's
// address (u8*), kept as its database offset where it must fit a DINT.
//
// Every operation takes the database; the code image a database was built
// from is remembered by Q4VMMap_Build (and forgotten by Q4VMMap_Forget).
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

constexpr u32 kQ4MapEntryBytes = 24;
constexpr u32 kQ4MapEntryVsiBytes = 40;
constexpr u32 kQ4MapBuckets = 49;
constexpr u16 kQ4MapFlagVsi = 0x200;
// Where the private record (area 3) keeps the map stamp of the last build.
constexpr u32 kQ4PrivMapStamp = 28;

enum Q4MapRecordFlag : u16 {
    kQ4RecSymbol = 0x01,
    kQ4RecTag = 0x02,
    kQ4RecProps = 0x04,
    kQ4RecProfile = 0x08,
    kQ4RecComplex = 0x100,
    kQ4RecVsi = 0x200,
};

// Fills the descriptors of areas 24 and 25 (db = the descriptor block);
// 1 when the code has no valid map block.
int Q4VMMap_GetSizing(u8* db, const Q4Code& code);
int Q4VMMap_Build(u8* db, const Q4Code& code);
int Q4VMMap_CanHotRestart(u8* db, const Q4Code& newCode);
int Q4VMMap_HotRestart(u8* db, const Q4Code& newCode);
// Drops the remembered code image of a database that is being freed.
void Q4VMMap_Forget(const u8* db);

u8* Q4Map_GetByIndex(u8* db, u16 type, u16 index);
u8* Q4Map_GetBySymbol(u8* db, const char* name);
u8* Q4Map_GetByNumTag(u8* db, u16 tag);
u8* Q4Map_GetByData(u8* db, const u8* address);
u8* Q4Map_GetVSIByData(u8* db, const u8* address);
int Q4Map_CheckPointer(u8* db, const u8* address);
// The handle an application keeps for an entry in a DINT: its number in the
// map + 1 (0 for no entry); and the entry of a handle (none when the handle
// names no entry of the map).
u32 Q4Map_GetHandle(u8* db, const u8* entry);
u8* Q4Map_GetByHandle(u8* db, u32 handle);
u8* Q4Map_GetFirst(u8* db, u16* pos);
u8* Q4Map_GetNext(u8* db, u16* pos);

// Entry accessors (none / 0 for a null entry).
const char* Q4Map_GetSymbol(u8* db, const u8* entry);
const char* Q4Map_GetProfileName(u8* db, const u8* entry);  // 16 bytes, not always NUL-terminated
const char* Q4Map_GetTypeName(u8* db, const u8* entry);
const char* Q4Map_GetTypeInfo(u8* db, const u8* entry);
u16 Q4Map_GetType(u8* db, const u8* entry);
u16 Q4Map_GetIndex(u8* db, const u8* entry);
u16 Q4Map_GetNumTag(u8* db, const u8* entry);
u16 Q4Map_GetDim(u8* db, const u8* entry);
u8* Q4Map_GetData(u8* db, const u8* entry);
u8* Q4Map_GetVSI(u8* db, u8* entry);
int Q4Map_IsLocked(u8* db, const u8* entry);
// Data of an array of a simple type (count and element type set), or none.
u8* Q4Map_IsArrayOfSingleVar(u8* db, const u8* entry, u32* count, u16* type);

// Variable description of entry number n (big-endian), written to out (at
// least 267 bytes); returns its size. GetDescLength gives the size alone.
u32 Q4Map_GetDesc(u8* db, u16 n, u8* out);
u32 Q4Map_GetDescLength(u8* db, u16 n);

// VSI of the variable (type, index).
int Q4Map_GetVSIBit(u8* db, u16 type, u16 index, u32 bit);
int Q4Map_SetVSIBit(u8* db, u16 type, u16 index, u32 bit, int value);
int Q4Map_ResetSetVSIBits(u8* db, u16 type, u16 index);
u32 Q4Map_GetVSIDate(u8* db, u16 type, u16 index);
int Q4Map_SetVSIDate(u8* db, u16 type, u16 index, u32 date);
u32 Q4Map_GetVSITime(u8* db, u16 type, u16 index);
int Q4Map_SetVSITime(u8* db, u16 type, u16 index, u32 time);
int Q4Map_StampVSI(u8* db, u16 type, u16 index);
int Q4Map_StampVSIGMT(u8* db, u16 type, u16 index);
int Q4Map_CopyVSI(u8* db, u16 type, u16 dst, u16 src, int copyStatus, int copyStamp);
