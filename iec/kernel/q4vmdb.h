// The VM database: the single block of memory that holds every run-time object
// of one IEC application, laid out as 40 table descriptors followed by the 40
// areas they describe.
//
// The block is written to a file byte for byte (hot-restart image), so the
// descriptors hold no host pointers: each holds the 32-bit byte offset of its
// area from the start of the database, recomputed from the sizes alone by
// Q4VM_BuildDBMainLinks. All descriptor fields are little-endian.
#pragma once

#include "core/bytes.h"

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

VmDbDesc Q4VM_GetDesc(const u8* db, u32 area);
void Q4VM_PutDesc(u8* db, u32 area, const VmDbDesc& desc);

// Byte size of an area as its descriptor gives it.
u32 Q4VM_AreaBytes(const VmDbDesc& desc);

// Descriptor block plus the area sizes, each rounded up to a multiple of 8.
u32 Q4VM_GetTotalDBSize(const u8* descriptors);

// Recomputes every area offset from the sizes: each area starts where the
// previous one ends (rounded to 8); an empty area gets the next one's start.
void Q4VM_BuildDBMainLinks(u8* db);

// Start of an area and its byte size (through *bytes when given). Null for an
// area number outside the table or a database whose links were not built.
u8* Q4VM_AreaPtr(u8* db, u32 area, u32* bytes);
