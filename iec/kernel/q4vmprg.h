// Programs, call stack, breakpoints, the VM event log and block resources:
// the small services of the VM database that the cycle, the interpreter, the
// standard functions and the workbench share.
//
// Program records (area 4, numbered from 1) hold the program's code as an
// offset into the code image the database was built for (Q4VM_CodeOf).
// Resources (area 19) that own host objects (memory blocks, arrays, files)
// keep the object in a table beside the database and hold a handle (entry
// number + 1) in the entry, so that the database never holds a host address.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4file.h"

// Program flags (u16 at kQ4PrFlags).
enum Q4PrgFlag : u16 {
    kPrgRunning = 0x0001,
    kPrgSuspended = 0x0002,
    kPrgExecuting = 0x0008,
    kPrgStarting = 0x0010,
    kPrgStopping = 0x0020,
};

// Runs one program through the interpreter: the database, the program's code
// and its size in bytes, the program number (0 for the execution buffer).
// Answers 0 when a breakpoint suspended execution, else non-zero.
using Q4VMPrg_Runner = int (*)(u8* db, const u8* code, u32 codeSize, u16 program);
// The interpreter installs itself here; without one no program runs.
void Q4VMPrg_SetRunner(Q4VMPrg_Runner runner);

// --- Programs -------------------------------------------------------------------
u16 Q4VMPrg_Count(u8* db);              // highest program number
u8* Q4VMPrg_Record(u8* db, u16 program);  // 24-byte record, none outside 1..count
void Q4VMPrg_ActivateAllPrograms(u8* db);
void Q4VMPrg_ActivateNewPrograms(u8* db);
// One cycle without tasks.
void Q4VMPrg_Execute(u8* db);
// One run of task's program list (cyclic: a cycle of the task, else on demand).
void Q4VMPrg_Task(u8* db, u16 task, int cyclic);
void Q4VMPrg_ProcessExecBuffer(u8* db);
int Q4VMPrg_HasBreapointOrStep(u8* db);
// Program 0xFFFF: any program, matched by the third key.
void Q4VMPrg_SetBreakpoint(u8* db, u16 program, u16 position, u16 state);
int Q4VMPrg_IsBreakpoint(u8* db, u16 program, u16 position, u16 thirdKey);
void Q4VMPrg_SaveCallStack(u8* db, u16 program);
void Q4VMPrg_RestoreCallStack(u8* db, u16 program);
int Q4VMPrg_Call(u8* db, u16 program);

// Breakpoint slot states.
enum Q4BreakState : u16 { kBreakFree = 0, kBreakOnce = 2, kBreakTrace = 3 };

// --- Event log (area 1: 16 events of u16 code, u16 and u32 arguments) --------
enum Q4VmLogCode : u16 {
    kLogBadOpcode = 8,
    kLogDivZero32 = 12,
    kLogStdFunction = 17,
    kLogDivZero64 = 18,
    kLogDivZero8 = 21,
    kLogDivZero16 = 22,
    kLogCycleOverflow = 30,
    kLogRetain = 31,
    kLogArrayIndex = 32,
    kLogRecursiveCall = 33,
    kLogCallStack = 38,
    kLogTracePoint = 68,
};
constexpr u32 kQ4LogEntries = 16;

void Q4VMLog_Push(u8* db, u16 code, u16 arg16, u32 arg32);
int Q4VMLog_Pop(u8* db, u16* code, u16* arg16, u32* arg32);
// System events: a list of 16 codes outside the database.
void Q4VMLog_PushSys(u16 code);
int Q4VMLog_PopSys(u16* code);
void Q4VMLog_ResetSys();
// Names the build could not resolve (area 22, 16 of 16 bytes).
void Q4VMLog_RegisterUnresolved(u8* db, const char* name);
// Name n (from 0), none beyond the count.
const char* Q4VMLog_GetUnresolved(u8* db, u16 n);

// --- Block resources (area 19: 128 entries of 12 bytes) ---------------------------
enum Q4RscKind : u16 { kRscMemory = 1, kRscFile = 2, kRscArray = 3, kRscSocket = 4 };
constexpr u32 kQ4RscEntries = 128;
constexpr u32 kQ4RscEntryBytes = 12;
struct Q4RscEntry {
    u32 handle;  // socket, or entry number + 1 for memory, files and arrays
    u32 size;
    u16 identifier;
    u16 kind;
};
Q4RscEntry Q4VMRsc_Get(const u8* entry);

u8* Q4VMRsc_GetFreeItem(u8* db);
// Entry in use (not a socket) with that handle.
u8* Q4VMRsc_FindData(u8* db, u32 handle);
u8* Q4VMRsc_FindSocket(u8* db, int sock);
u8* Q4VMRsc_FindArray(u8* db, u16 number);
int Q4VMRsc_Exist(u8* db);
// 1 created; 2 number 128 or more, in use, or no free entry; 3 count below 1
// (or a zero element size); 4 no memory.
int Q4VMRsc_CreateArray(u8* db, u16 number, i32 count, u32 elemSize);
// 1 copied; 0 no array or the element lies past its end.
int Q4VMRsc_ReadArray(u8* db, u16 number, i32 index, u32 elemSize, void* dst);
// 1 copied; 2 no array; 3 the element lies past its end.
int Q4VMRsc_WriteArray(u8* db, u16 number, i32 index, u32 elemSize, const void* src);
// An open file recorded as a resource: its handle (for the program's DINT),
// 0 when the table is full (the caller closes the file then).
u32 Q4VMRsc_AddFile(u8* db, Q4FileHandle file);
Q4FileHandle Q4VMRsc_GetFile(u8* db, u32 handle);
// A socket recorded as a resource: 1, or 0 when the table is full.
int Q4VMRsc_AddSocket(u8* db, int sock);
// Clears an entry without closing what it holds (the caller closed it).
void Q4VMRsc_Release(u8* db, u8* entry);
// Closes every file and socket, releases every memory block and array, clears
// all entries.
void Q4VMRsc_FreeAll(u8* db);
// Drops the host objects kept for a database that is being freed.
void Q4VMRsc_Forget(const u8* db);
// Closes and drops the objects of every database.
void Q4VMRsc_Reset();
