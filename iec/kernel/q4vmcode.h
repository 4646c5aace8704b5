// The code image: the compiled IEC application as one contiguous byte block
// (stored as /mnt/cfg/q4.cod, a change image as /mnt/cfg/q4.upd), and every
// read of it.
//
// The image comes from outside (download, file), so it is only ever read
// through a view that knows its size. Q4VMCode_CheckCode validates the header,
// the identity and the layout of every section (each offset, count and list
// end lies inside the image, the fixed blocks do not overlap the header or
// each other); the accessors check every read again and answer 0 / none for
// anything outside the image, so even an unchecked image is never read past
// its end. All fields are little-endian; offsets are u32 byte offsets from the
// image start; variable indexes are 1-based and 0 ends every list.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4types.h"

struct Q4Code {
    const u8* data = nullptr;
    u32 size = 0;
};

// Header words.
enum Q4CodeHeader : u32 {
    kQ4HdrFormat = 0,
    kQ4HdrSignature = 1,
    kQ4HdrApplication = 2,
    kQ4HdrCustomFuncs = 3,
    kQ4HdrClasses = 4,
    kQ4HdrTasks = 5,
    kQ4HdrExternals = 6,
    kQ4HdrInstances = 7,
    kQ4HdrSizing = 8,
    kQ4HdrInitDir = 9,
    kQ4HdrExtDir = 10,
    kQ4HdrIoDef = 11,
    kQ4HdrProgCount = 12,
    kQ4HdrProgTable = 14,
    kQ4HdrLayoutStamp = 15,
    kQ4HdrMap = 16,
    kQ4HdrWords = 17,
};
constexpr u32 kQ4HeaderBytes = kQ4HdrWords * 4;

// Fixed block sizes.
constexpr u32 kQ4SignatureBytes = 20;    // "Q4RTI\0", version text at +16
constexpr u32 kQ4ApplicationBytes = 44;  // name[16] ... SFC CRC at +40
constexpr u32 kQ4SizingBytes = 96;
constexpr u32 kQ4InitDirBytes = 44;
constexpr u32 kQ4ProgCountBytes = 4;
constexpr u32 kQ4InstanceHeaderBytes = 16;
constexpr u32 kQ4RetainRecordBytes = 100;
constexpr u32 kQ4ListEntryBytes = 20;    // class and custom-function entries
constexpr u32 kQ4InstanceEntryBytes = 8;
constexpr u32 kQ4ProgEntryBytes = 12;
constexpr u32 kQ4ExtDirMaxEntry = 24;
constexpr u32 kQ4MaxTasks = 8;

// Offsets of the sizing block: A (highest allocated), B (highest used),
// C (highest declared) of each class, and the other counts.
enum Q4Sizing : u32 {
    kQ4SizeData8 = 0,
    kQ4SizeData16 = 12,
    kQ4SizeData32 = 24,
    kQ4SizeData64 = 36,
    kQ4SizeTime = 48,
    kQ4SizeActiveTime = 58,
    kQ4SizeString = 60,
    kQ4SizeSteps = 72,
    kQ4SizeXvAlloc = 80,
    kQ4SizeXvUsed = 82,
    kQ4SizeTrans = 84,
    kQ4SizeStringMin = 92,
};

// Offsets in the initial-value directory.
enum Q4InitDir : u32 {
    kQ4InitData8 = 0,
    kQ4InitData16 = 4,
    kQ4InitData32 = 8,
    kQ4InitData64 = 12,
    kQ4InitTime = 16,
    kQ4InitStrings = 20,
    kQ4InitStringCaps = 24,
    kQ4InitVarTypes = 28,
    kQ4InitRetain = 36,
    kQ4InitOptions = 40,
};

// Entries of the code extension directory and the level from which each is read.
enum Q4Ext : u32 {
    kQ4ExtPassword = 1,
    kQ4ExtModbus = 2,
    kQ4ExtAsi = 3,
    kQ4ExtStaticEvents = 4,
    kQ4ExtBindCnx = 5,
    kQ4ExtBindVars = 6,
    kQ4ExtBusDrivers = 7,
    kQ4ExtIoCount = 8,
    kQ4ExtCtSegment = 9,
    kQ4ExtCtTypes = 10,
    kQ4ExtBusIo = 11,
    kQ4ExtFlags12 = 12,
    kQ4ExtRecipes = 13,
    kQ4ExtVarLists = 14,
    kQ4ExtStringTables = 15,
    kQ4ExtSignals = 16,
    kQ4ExtCan = 17,
    kQ4ExtHeapSize = 18,
    kQ4ExtProgSlots = 19,
    kQ4ExtInterrupts = 20,
    kQ4ExtFlags21 = 21,
    kQ4ExtInstanceNames = 22,
    kQ4ExtBindVersions = 24,
};
// Level from which entry k is read (0 for entries that do not exist).
u32 Q4VMCode_ExtLevel(u32 entry);
// Number of entries a directory of level N holds: the highest entry whose
// level is at most N.
u32 Q4VMCode_ExtEntries(u32 level);

// The numeric storage classes that have sizing and initial values, in the
// order of the sizing block.
enum Q4InitClass : u32 { kQ4InitClsData8, kQ4InitClsData16, kQ4InitClsData32, kQ4InitClsData64, kQ4InitClsTime, kQ4InitClsString };

// --- Checked raw reads (0 outside the image) --------------------------------
bool Q4Code_InRange(const Q4Code& c, u32 offset, u32 length);
u16 Q4Code_U16(const Q4Code& c, u32 offset);
u32 Q4Code_U32(const Q4Code& c, u32 offset);
u32 Q4Code_Header(const Q4Code& c, u32 word);
// Length of the NUL-terminated text at offset, or -1 when no NUL follows
// inside the image (or within maxLen bytes).
i32 Q4Code_TextLen(const Q4Code& c, u32 offset, u32 maxLen = 0xFFFFFFFFu);

// --- Check and identity -----------------------------------------------------
// 0 valid; 2 format (format bits, truncated header, a section outside the
// image or overlapping); 3 signature; 4 version.
int Q4VMCode_CheckCode(const Q4Code& c);
// Application name, at most 15 characters, NUL-terminated into out[16].
void Q4VMCode_GetAppName(const Q4Code& c, char out[16]);
u32 Q4VMCode_GetCycleTime(const Q4Code& c);
u16 Q4VMCode_GetStartPaused(const Q4Code& c);
u32 Q4VMCode_GetFullBuildStamp(const Q4Code& c);
u32 Q4VMCode_GetSfcCrc(const Q4Code& c);
u32 Q4VMCode_GetPassword(const Q4Code& c);
u32 Q4VMCode_GetLayoutStamp(const Q4Code& c);

// Extension directory: level, and entry k when the level allows (else false).
u32 Q4VMCode_GetExtLevel(const Q4Code& c);
bool Q4VMCode_GetExt(const Q4Code& c, u32 entry, u32* value);

// --- Counts -----------------------------------------------------------------
struct Q4ClassSizing {
    u16 allocated;  // A: highest allocated index
    u16 used;       // B: highest used index
    u16 declared;   // C: highest index declared by this code
};
Q4ClassSizing Q4VMCode_GetClassSizing(const Q4Code& c, Q4InitClass cls);

u16 Q4VMCode_GetNbData8(const Q4Code& c);
u16 Q4VMCode_GetNbData16(const Q4Code& c);
u16 Q4VMCode_GetNbData32(const Q4Code& c);
u16 Q4VMCode_GetNbData64(const Q4Code& c);
u16 Q4VMCode_GetNbTime(const Q4Code& c);
u16 Q4VMCode_GetNbActiveTime(const Q4Code& c);
u16 Q4VMCode_GetNbStep(const Q4Code& c);
u16 Q4VMCode_GetNbTrans(const Q4Code& c);
u16 Q4VMCode_GetNbXV(const Q4Code& c);
u16 Q4VMCode_GetNbFBInstance(const Q4Code& c);
u16 Q4VMCode_GetNbCustomFunc(const Q4Code& c);
u16 Q4VMCode_GetNbProg(const Q4Code& c);
u16 Q4VMCode_GetNbProgAlloc(const Q4Code& c);
u16 Q4VMCode_GetNbProgWithStack(const Q4Code& c);
u16 Q4VMCode_GetNbLockFlags(const Q4Code& c);
// String count; *bufferSize (when given) the string buffer size: the sum of
// capacity + 3 over the capacity list, or the sizing minimum when larger.
u16 Q4VMCode_GetNbString(const Q4Code& c, u32* bufferSize);
u16 Q4VMCode_GetCallStackSize(const Q4Code& c);
u16 Q4VMCode_GetCallStackAllocSize(const Q4Code& c);

// --- Lists ------------------------------------------------------------------
// Function-block class list and custom-function list: number of entries.
u16 Q4VMCode_GetClassCount(const Q4Code& c);
u16 Q4VMCode_GetCustomFuncCount(const Q4Code& c);
struct Q4ClassEntry {
    u16 classNumber;
    u16 useCount;
    char name[17];
};
bool Q4VMCode_GetClass(const Q4Code& c, u16 i, Q4ClassEntry* out);  // i from 0
bool Q4VMCode_GetCustomFunc(const Q4Code& c, u16 i, char name[17]);

struct Q4InstanceEntry {
    u16 standard;     // non-zero: a block of the standard list
    u16 classNumber;  // 0 ends the list
    u32 codeWord;
};
// Number of instance-list entries before the class number 0.
u16 Q4VMCode_GetInstanceCount(const Q4Code& c);
bool Q4VMCode_GetInstance(const Q4Code& c, u16 i, Q4InstanceEntry* out);  // i from 0
u32 Q4VMCode_GetWishedFBIRawSize(const Q4Code& c);
// Offset of the first instance name (0: no names; an empty first name means
// none either).
u32 Q4VMCode_GetInstanceNames(const Q4Code& c);

struct Q4XvEntry {
    u16 type;
    u16 index;
};
u16 Q4VMCode_GetXvListCount(const Q4Code& c);
bool Q4VMCode_GetXv(const Q4Code& c, u16 i, Q4XvEntry* out);

struct Q4TaskEntry {
    u32 nameOffset;      // NUL-terminated name
    u32 progListOffset;  // program-number list
};
// Number of records in the task chain (up to kQ4MaxTasks + 1).
u16 Q4VMCode_GetTaskCount(const Q4Code& c);
bool Q4VMCode_GetTask(const Q4Code& c, u16 i, Q4TaskEntry* out);

struct Q4ProgEntry {
    u32 codeOffset;
    u32 word2;
    u16 kind;
};
// Entries of the program table before the first offset 0.
u16 Q4VMCode_GetProgTableCount(const Q4Code& c);
bool Q4VMCode_GetProg(const Q4Code& c, u16 i, Q4ProgEntry* out);

// Initial values of one class. cursor starts at 0; each call yields the next
// entry (index, pointer to its value bytes in the image, byte length; for
// STRING the pointer is the length-prefixed text) and false at the end.
struct Q4InitValue {
    u16 index;
    const u8* value;
    u32 length;
};
bool Q4VMCode_NextInit(const Q4Code& c, Q4InitClass cls, u32* cursor, Q4InitValue* out);
// Capacity of string i (from 1) from the capacity list; 0 past its end.
u16 Q4VMCode_GetStringCapCount(const Q4Code& c);
u8 Q4VMCode_GetStringCap(const Q4Code& c, u16 i);

u32 Q4VMCode_GetInitOptions(const Q4Code& c);
u32 Q4VMCode_GetVarTypeList(const Q4Code& c);
u32 Q4VMCode_GetRetainRecord(const Q4Code& c);
u32 Q4VMCode_GetIODef(const Q4Code& c);
u32 Q4VMCode_GetMap(const Q4Code& c);

// CT segment definition (extension 9): sizes and the initial-value records.
u32 Q4VMCode_GetCTSegAllocSize(const Q4Code& c);
u32 Q4VMCode_GetCTSegUsedSize(const Q4Code& c);
struct Q4CtInit {
    u8 length;
    u32 offset;
    const u8* bytes;
};
bool Q4VMCode_NextCtInit(const Q4Code& c, u32* cursor, Q4CtInit* out);

// Offsets held by the extension directory (0 when absent).
u32 Q4VMCode_GetCTTypeDef(const Q4Code& c);
u32 Q4VMCode_GetCanDef(const Q4Code& c);
u32 Q4VMCode_GetBusDrv(const Q4Code& c);
u32 Q4VMCode_StaticEvents(const Q4Code& c);
u32 Q4VMCode_MBClientConfig(const Q4Code& c);
u32 Q4VMCode_AsiConfig(const Q4Code& c);
u32 Q4VMCode_GetRecipes(const Q4Code& c);
u32 Q4VMCode_GetVLsts(const Q4Code& c);
i32 Q4VMCode_GetHeapSize(const Q4Code& c);
int Q4VMCode_GetEAX(const Q4Code& c, u32* connections, u32* variables);
int Q4VMCode_GetDefStringTable(const Q4Code& c);
u32 Q4VMCode_GetNbIOs(const Q4Code& c);
u32 Q4VMCode_GetBusIOList(const Q4Code& c);
u32 Q4VMCode_GetPublishedList(const Q4Code& c);
// 1 when extension 12 bit 0 is set (level 10 and up).
int Q4VMCode_IsCCPure(const Q4Code& c);
// 1 when the code was compiled with debug information (extension 21 bit 1, level 20 and up).
int Q4VMCode_IsCodeDebug(const Q4Code& c);
// Interrupt list (extension 20) and its entry count: 16 at levels 18-19, 64 from 20.
u32 Q4VMCode_GetITs(const Q4Code& c);
u32 Q4VMCode_GetITCount(const Q4Code& c);
u32 Q4VMCode_GetStringTable(const Q4Code& c, u32 n);
u32 Q4VMCode_GetSignal(const Q4Code& c, u32 n);
u32 Q4VMCode_GetEATableVers(const Q4Code& c, u32 n);

// --- Into the VM database ---------------------------------------------------
// Sizing of one class into its descriptor: B must be below the allocated
// count (else 9, 10, 11, 19, 13 or 20); used = B + 1, boundary = C + 1.
int Q4VMCode_GetData8Sizing(const Q4Code& c, u8* db);
int Q4VMCode_GetData16Sizing(const Q4Code& c, u8* db);
int Q4VMCode_GetData32Sizing(const Q4Code& c, u8* db);
int Q4VMCode_GetData64Sizing(const Q4Code& c, u8* db);
int Q4VMCode_GetTimeSizing(const Q4Code& c, u8* db);
int Q4VMCode_GetStringSizing(const Q4Code& c, u8* db);
int Q4VMCode_GetXVSizing(const Q4Code& c, u8* db);

// Initial values: with all, every listed index below the used count; without,
// only the indexes at or above the boundary (new variables).
void Q4VMCode_ApplyData8Init(const Q4Code& c, u8* db, int all);
void Q4VMCode_ApplyData16Init(const Q4Code& c, u8* db, int all);
void Q4VMCode_ApplyData32Init(const Q4Code& c, u8* db, int all);
void Q4VMCode_ApplyData64Init(const Q4Code& c, u8* db, int all);
void Q4VMCode_ApplyTimeInit(const Q4Code& c, u8* db, int all);
void Q4VMCode_ApplyStringInit(const Q4Code& c, u8* db, int all);
void Q4VMCode_ApplyCTSegInit(const Q4Code& c, u8* db, u32 from);

int Q4VMCode_SetProgramPointers(const Q4Code& c, u8* db);
int Q4VMCode_SetStringPointers(const Q4Code& c, u8* db);
int Q4VMCode_SetXVPointers(const Q4Code& c, u8* db);
int Q4VMCode_BuildTaskList(const Q4Code& c, u8* db);
int Q4VMCode_CanHOTBuildTaskList(const Q4Code& c);
void Q4VMCode_InitiateStatus(const Q4Code& c, u8* db);
int Q4VMCode_CanUpdateStatus(const Q4Code& c, const u8* db);
int Q4VMCode_UpdateStatus(const Q4Code& c, u8* db);

// Status record fields (area 0).
enum Q4Status : u32 {
    kQ4StName = 0,
    kQ4StCycleTime = 16,
    kQ4StAppWords = 40,
    kQ4StLayoutStamp = 56,
    kQ4StFlags = 60,
    kQ4StOptions = 204,
    kQ4StCallStackSize = 220,
    kQ4StSeparators = 222,
    kQ4StBytes = 248,
};
// Program record fields (area 4, 24 bytes).
enum Q4ProgRecord : u32 {
    kQ4PrCode = 0,
    kQ4PrCodeSize = 4,
    kQ4PrResume = 8,
    kQ4PrFlags = 12,
    kQ4PrKind = 14,
    kQ4PrSavedDepth = 16,
    kQ4PrSaveOffset = 18,
    kQ4PrBytes = 24,
};
