// The VM database: the single block of memory that holds every run-time object
// of one IEC application, laid out as 40 table descriptors followed by the 40
// areas they describe.
//
// The block is written to a file byte for byte (hot-restart image), so the
// descriptors hold no host pointers: each holds the 32-bit byte offset of its
// area from the start of the database, recomputed from the sizes alone by
// Q4VM_BuildDBMainLinks. All descriptor fields are little-endian. Records
// inside the areas follow the same rule: what would be a pointer is a 32-bit
// offset (into the database, or into the code image for code addresses).
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

constexpr u32 kVmDbTableCount = 40;
constexpr u32 kVmDbDescriptorBytes = 16;
constexpr u32 kVmDbDescriptorBlockBytes = kVmDbTableCount * kVmDbDescriptorBytes;  // 640
static_assert(kVmDbDescriptorBlockBytes == 640);

// Area numbers (index of the descriptor).
enum VmDbArea : u32 {
    kDbStatus = 0,          // status record, 248 x 1
    kDbLog = 1,             // pending VM log events, raw 128
    kDbExecBuffer = 2,      // TIC words sent by the workbench, 1 x 1024
    kDbPrivate = 3,         // private record and heap
    kDbPrograms = 4,        // program records, 24 each
    kDbLockFlags = 5,       // one byte per index
    kDbData8 = 6,           // BOOL, SINT, USINT
    kDbData16 = 7,          // INT, UINT
    kDbData32 = 8,          // DINT, UDINT, REAL
    kDbData64 = 9,          // LINT, ULINT, LREAL
    kDbTime = 10,           // TIME values, u32 milliseconds
    kDbActiveTimers = 11,
    kDbFbClasses = 12,
    kDbFbInstances = 13,
    kDbClassData = 14,
    kDbInstanceData = 15,
    kDbCustomFunctions = 16,
    kDbStringPointers = 17,  // u32 offset of each string's buffer; 0 = no string
    kDbStringBuffer = 18,    // VM strings: capacity, length, text, NUL
    kDbResources = 19,
    kDbSfcSteps = 20,
    kDbSfcTransitions = 21,
    kDbUnresolved = 22,
    kDbIoSystem = 23,
    kDbMapEntries = 24,
    kDbMapHash = 25,
    kDbExternalVars = 26,
    kDbSampling = 27,
    kDbTasks = 28,
    kDbCallStack = 29,
    kDbModbus = 30,
    kDbAsi = 31,
    kDbChangeEvents = 32,
    kDbBindConnections = 33,
    kDbBindVariables = 34,
    kDbCtSegment = 35,  // structures and arrays held as raw bytes
    kDbCanPorts = 36,
    kDbCanMessages = 37,
    kDbCanVariables = 38,
    kDbBusDrivers = 39,
};

// One table descriptor as it lies in the database (16 bytes).
struct VmDbDesc {
    u32 offset;       // byte offset of the area from the start of the database
    u32 rawSize;      // byte size; 0 means elementSize x allocated
    u16 elementSize;  // bytes per element
    u16 boundary;     // index below which values survive an on-line change
    u16 used;         // elements in use
    u16 allocated;    // elements allocated
};

// The running database (null when no application is linked).
extern u8* pDB;
// Application state: 0 none, 1 running, 2 stop requested, 3 held (idle mode).
extern u16 iVmAlive;

// --- VM error codes (results of sizing, build, hot start and change) --------
enum Q4VmError : int {
    kVmOk = 0,
    kVmErrGeneric = 1,
    kVmErrFormat = 2,
    kVmErrSignature = 3,
    kVmErrVersion = 4,
    kVmErrSizeData8 = 9,
    kVmErrSizeData16 = 10,
    kVmErrSizeData32 = 11,
    kVmErrSizeTime = 13,
    kVmErrSizeData64 = 19,
    kVmErrSizeString = 20,
    kVmErrResources = 23,
    kVmErrTimers = 25,
    kVmErrBuildStamp = 26,
    kVmErrSfcCrc = 27,
    kVmErrRetain = 28,
    kVmErrDbSignature = 29,
    kVmErrExternals = 34,
    kVmErrTasks = 36,
    kVmErrCallStack = 37,
    kVmErrAsi = 39,
    kVmErrCodeInvalid = 43,
    kVmErrOtherApp = 44,
    kVmErrIoHot = 45,
    kVmErrCtSegment = 46,
    kVmErrBusDrivers = 47,
    kVmErrMap = 48,
    kVmErrTaskList = 49,
    kVmErrModbus = 50,
    kVmErrCan = 51,
    kVmErrBinding = 52,
    kVmErrAllocData8 = 53,  // 53-58: allocation of data8 ... STRING differs
    kVmErrBoundData8 = 153, // 153-158: boundary of data8 ... STRING moved back
    kVmErrInstCount = 59,
    kVmErrInstBound = 159,
    kVmErrCustomFuncs = 60,
    kVmErrXvAlloc = 61,
    kVmErrXvBound = 161,
    kVmErrStringBuffer = 62,
    kVmErrStringCap = 63,
    kVmErrInstanceData = 64,
    kVmErrInstanceClass = 65,
    kVmErrProgramKind = 66,
    kVmErrProgramCount = 67,
    kVmErrHeap = 71,
    kVmErrBreakpoint = 72,
    kVmErrStepping = 73,
    kVmErrLayoutStamp = 76,
};

// --- Status record (area 0, 248 bytes) ---------------------------------------
// Offsets beyond those of the code image's status initialisation.
constexpr u32 kVmStLastCycle = 20;
constexpr u32 kVmStMaxCycle = 24;
constexpr u32 kVmStNow = 28;
constexpr u32 kVmStOverflows = 32;
constexpr u32 kVmStCycleCount = 36;
constexpr u32 kVmStCurProgram = 62;
constexpr u32 kVmStPosition = 64;
constexpr u32 kVmStExtra = 66;
constexpr u32 kVmStLogCount = 68;
constexpr u32 kVmStUnresolvedCount = 70;
constexpr u32 kVmStExecLength = 72;
constexpr u32 kVmStActiveTimers = 74;
constexpr u32 kVmStBreakpoints = 76;  // 16 slots of 8 bytes
constexpr u32 kVmStLockedCount = 216;
// Text buffers and XML documents of the application (counts of live objects
// and the last error of each family).
constexpr u32 kVmStTextCount = 224;
constexpr u32 kVmStTextError = 228;
constexpr u32 kVmStXmlCount = 232;
constexpr u32 kVmStXmlError = 236;
constexpr u32 kVmStSeconds = 240;
constexpr u32 kVmStMillis = 244;
static_assert(kVmStBreakpoints + 16 * 8 == kQ4StOptions);
static_assert(kVmStMillis + 4 == kQ4StBytes);

// Status flags (u16 at kQ4StFlags).
enum Q4VmFlag : u16 {
    kVmFlagRunning = 0x0001,
    kVmFlagStopped = 0x0002,
    kVmFlagHalted = 0x0008,
    kVmFlagLogPending = 0x0010,
    kVmFlagLocked = 0x0040,
    kVmFlagOneCycle = 0x0100,
    kVmFlagEventsOff = 0x0200,
    kVmFlagCtSegment = 0x1000,
    kVmFlagBreakpoints = 0x2000,
    kVmFlagStopRequest = 0x4000,
};
// Option bits (u32 at kQ4StOptions).
enum Q4VmOption : u32 {
    kVmOptDiscardStop = 0x0002,
    kVmOptChangeCycle = 0x0010,
    kVmOptRetainLoaded = 0x0040,
};

// --- Private record (start of area 3, 112 bytes) -----------------------------
constexpr u32 kVmDbSignature = 0x08000026;
constexpr u32 kVmPrivSignature = 0;
constexpr u32 kVmPrivCode = 4;         // 0: the code image is found through Q4VM_CodeOf
constexpr u32 kVmPrivBuildStamp = 8;
constexpr u32 kVmPrivSfcCrc = 12;
constexpr u32 kVmPrivTypeList = 16;    // offset of the variable type list in the code image
constexpr u32 kVmPrivPassword = 20;
constexpr u32 kVmPrivCtUsed = 24;
// 28: variable map stamp (kQ4PrivMapStamp); 32-95 kept for other services.
constexpr u32 kVmPrivDispatcher = 96;  // 1 = the standard-function dispatcher is installed
constexpr u32 kVmPrivDefStrTable = 100;
constexpr u32 kVmPrivStrTable = 104;   // offset of the first string table in the code image
constexpr u32 kVmPrivHeap = 108;       // heap handle, see Q4VM_GetHeap
constexpr u32 kVmPrivBytes = 112;

// --- Descriptors and layout ---------------------------------------------------
VmDbDesc Q4VM_GetDesc(const u8* db, u32 area);
void Q4VM_PutDesc(u8* db, u32 area, const VmDbDesc& desc);

// Byte size of an area as its descriptor gives it.
u32 Q4VM_AreaBytes(const VmDbDesc& desc);

// Descriptor block plus the area sizes, each rounded up to a multiple of 8;
// 0 when the sum does not fit 32 bits.
u32 Q4VM_GetTotalDBSize(const u8* descriptors);

// Recomputes every area offset from the sizes: each area starts where the
// previous one ends (rounded to 8); an empty area gets the next one's start.
void Q4VM_BuildDBMainLinks(u8* db);

// Start of an area and its byte size (through *bytes when given). Null for an
// area number outside the table or a database whose links were not built.
u8* Q4VM_AreaPtr(u8* db, u32 area, u32* bytes);

// Status and private records (null when the area is too small).
u8* Q4VM_Status(u8* db);
u8* Q4VM_Private(u8* db);

// --- Sizing and build -------------------------------------------------------
// Fills the 40 descriptors (640 bytes) for the code: 1 when the code is not
// valid or has no usable variable map (header word at +14 not 0x8000).
int Q4VM_GetDBSize(const Q4Code& code, u8* descriptors);

// Builds a database whose descriptors were filled by Q4VM_GetDBSize and whose
// links were built. 0 or a VM error code; on failure the caller frees the
// database (Q4VM_Forget first).
int Q4VM_BuildEx(const Q4Code& code, u8* db, int openIo, int buildBusDrivers);
inline int Q4VM_Build(const Q4Code& code, u8* db) { return Q4VM_BuildEx(code, db, 1, 1); }

// The code image a database was built for (empty view when none). The
// database keeps only offsets into the code; this is where they resolve.
const Q4Code& Q4VM_CodeOf(const u8* db);
void Q4VM_SetCode(const u8* db, const Q4Code& code);
// Drops everything kept outside a database that is being freed (code link,
// variable map, malloc heap, resource objects); its bytes are not touched.
void Q4VM_Forget(u8* db);
// Back to the start: forgets every database (tests, runtime shutdown).
void Q4VM_Reset();

void Q4VM_SetPauseMode(u8* db, int pause);

// --- Hot-restart image checks -------------------------------------------------
// Structure of a database image read from a file: at least the descriptor
// block, its size equal to what its own descriptors add up to, the fixed
// records of their sizes and the database signature. 0 or 29.
int Q4VM_CheckImage(const u8* image, u32 size);
// The image against the code it is to run with, before anything is linked
// from it: the code valid (43), the structure (29), the layout stamp (76),
// and every allocation the code fixes (variable tables 53-58, records 29).
int Q4VM_CheckHotImage(const Q4Code& code, const u8* image, u32 size);

// --- Heap of the application --------------------------------------------------
struct Q4Heap;
// Creates (rebuild 0) or relocates (rebuild 1) the heap the code asks for:
// none, a buffer heap after the private record, or a malloc heap of 64 slots
// per block (refused with 71 on a rebuild). 0 or 71.
int Q4VM_AllocHeap(const Q4Code& code, u8* db, int rebuild);
Q4Heap* Q4VM_GetHeap(u8* db);
// Empties and deletes the heap (shutdown).
void Q4VM_DeleteHeap(u8* db);

// --- Tasks ----------------------------------------------------------------------
u16 Q4VM_GetNbTask(u8* db);
// Name of task n (from 0), null above the count.
const char* Q4VM_GetTaskName(u8* db, u16 n);
// Searches tasks 1 and up by name: 0 and the index when found, else 1 and 0.
int Q4VM_FindTask(u8* db, const char* name, u16* index);
