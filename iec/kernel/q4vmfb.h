// Function-block registry: binds the block classes and custom functions that
// a code image names to handlers of the standard list, the controller's block
// table and the loadable block library, sizes and fills the class, instance
// and custom-function tables of the VM database, and sends the handlers their
// life-cycle commands.
//
// The database holds no host addresses: a record's handler is a handle (index
// into the process's handler table, Q4VMFbl_HandlerAt) and its class and
// instance data are byte offsets from the start of the database (0: none).
#pragma once

#include <array>
#include <span>

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmtic.h"

// FB class record (area 12, 36 bytes).
constexpr u32 kFbcName = 0, kFbcClassSize = 16, kFbcInstSize = 20, kFbcHandler = 24, kFbcClassData = 28,
              kFbcFlags = 32, kFbcCodeClass = 34, kFbcBytes = 36;
// FB instance record (area 13, 20 bytes), numbered from 1.
constexpr u32 kFbiClass = 0, kFbiFlags = 2, kFbiHandler = 4, kFbiClassData = 8, kFbiInstData = 12, kFbiCodeWord = 16,
              kFbiBytes = 20;
// Custom-function record (area 16, 24 bytes), numbered from 1.
constexpr u32 kCfName = 0, kCfHandler = 16, kCfResolved = 20, kCfBytes = 24;
constexpr u16 kFbiKeepAlive = 0x8000;

// Handler handles 0 and 1 are the placeholders.
constexpr u32 kFbHandleNull = 0, kFbHandleCustNull = 1;
Q4FbHandler Q4VMFbl_HandlerAt(u32 handle);

int Q4VMFbl_null(int command, u8* db, u8* classData, u8* instanceData, const u16* operands);
int Q4VMFCust_null(int command, u8* db, u8* classData, u8* instanceData, const u16* operands);

// The controller's block table: 203 named entries and a closing null entry.
struct Q4BlockEntry {
    const char* name;
    Q4FbHandler handler;
};
constexpr u32 kPfbCount = 203;
extern const std::array<Q4BlockEntry, kPfbCount + 1> PFB;
int Q4Blocks_GetFirstID(u32* id);
int Q4Blocks_GetNextID(u32* id);
const char* Q4Blocks_GetName(u32 id);
Q4FbHandler Q4Blocks_GetProc(u32 id);

// The standard list (54 blocks, fixed order).
constexpr u32 kStdBlockCount = 54;
extern const std::array<Q4BlockEntry, kStdBlockCount> kQ4StdBlocks;

// Both tables take their names from the format's lists and each block's
// handler from the rows of its family's own module; these are the families'
// rows, one span per family.
std::span<const std::span<const Q4BlockEntry>> Q4VMFbl_Families();

// Search record of the list walk.
struct Q4FbSearch {
    u32 total = 0;
    char name[16] = {};
    u16 classNumber = 0;
    u32 handle = 0;  // handler handle found (mode 7)
};
// Applies mode 1, 2, 4, 6 or 7 to the standard list (standard != 0) or the
// custom lists; 0 when a mode reported a match, else 1.
int Q4VMFbl_List(int mode, void* record, int standard);

u16 Q4VMFbl_GetNbClass();
u32 Q4VMFbl_GetClassDataSize();
u32 Q4VMFbl_GetInstanceDataSize(const Q4Code& code);
u32 Q4VMFbl_GetInstanceDataSizeExact(const Q4Code& code);
int Q4VMFbl_Link(const Q4Code& code, u8* db);
int Q4VMFbl_InitInstances(const Q4Code& code, u8* db, int init);
int Q4VMFbl_InitCustomFunctions(const Q4Code& code, u8* db);
void Q4VMFbl_InitNewInstances(u8* db, u16 kept);
void Q4VMFbl_KeepAlive(u8* db);
void Q4VMFbl_ShutDown(u8* db);
u16 Q4VMFbl_GetInstanceCount(u8* db, const char* name);

// Instance n (from 1) and custom function n (from 1) records, null outside.
u8* Q4VMFbl_Instance(u8* db, u16 n);
u8* Q4VMFbl_CustomFunction(u8* db, u16 n);
