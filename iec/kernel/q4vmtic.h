// The TIC interpreter: runs the compiled programs of an IEC application (and
// the TIC words the workbench queues) against the VM database, with the
// active-timer table, SFC step records, variable locks and the CT segment.
//
// Every code stream is checked once by Q4VMTic_Verify before it runs:
// instruction boundaries, operand indexes against the size of their class,
// jump targets on instruction boundaries inside the same stream, and call
// numbers against the block and function tables. The interpreter therefore
// reads its operands without checks; only values computed at run time
// (indexes held in DINT variables, CT offsets) are checked as they are used.
#pragma once

#include "platform/bytes.h"
#include "iec/ext/q4blocklib.h"

// Block handler convention: (block command, database, class data, instance
// data, operand indices) -> int. The same for built-in blocks and for those
// of a loadable block library, whose authors have it from the public header.
using Q4FbHandler = Q4BlockHandler;

enum Q4BlockCommand : int {
    kFbExecute = Q4BLK_EXECUTE,
    kFbClassId = Q4BLK_CLASS_ID,
    kFbClassSize = Q4BLK_CLASS_SIZE,
    kFbInstanceSize = Q4BLK_INSTANCE_SIZE,
    kFbClassInit = Q4BLK_CLASS_INIT,
    kFbClassEnd = Q4BLK_CLASS_END,
    kFbInstanceInit = Q4BLK_INSTANCE_INIT,
    kFbInstanceEnd = Q4BLK_INSTANCE_END,
    kFbHotInit = Q4BLK_HOT_INIT,
    kFbAnyType = Q4BLK_ANY_TYPE,
    kFbKeepAlive = Q4BLK_KEEP_ALIVE,
    kFbWantsKeepAlive = Q4BLK_WANTS_KEEP_ALIVE,
    kFbInstanceName = Q4BLK_INSTANCE_NAME,
};

// Runs one stream: program 0 is the execution buffer. Returns 1 when the
// stream ended or handed control back, 0 when it halted at a step point or
// the application must stop.
int Q4VMTic_Run(u8* db, u8* status, const u8* code, u32 length, u16 program);

// Checks every program of the database's code image; remembered for the
// database until Q4VMTic_Forget. 0, or 43 (code invalid) with the first fault
// described in the returned text (tests, console).
int Q4VMTic_VerifyAll(u8* db);
// What a database will hold once a code is built on it (an on-line change
// checked before the code replaces the running one): the highest string,
// external-variable slot, program, instance and custom-function numbers.
struct Q4TicLimits {
    u16 strings = 0, externals = 0, programs = 0, instances = 0, functions = 0;
};
struct Q4Code;
// Checks every program of code as it will run on db within lim (nothing is
// remembered). 0 valid, 43 invalid.
int Q4VMTic_VerifyCode(u8* db, const Q4Code& code, const Q4TicLimits& lim);
// Checks one stream of length bytes as program `program` of db (0: the
// execution buffer). 0 valid, 43 invalid.
int Q4VMTic_Verify(u8* db, const u8* code, u32 length, u16 program);
// The last verification fault (empty when none).
const char* Q4VMTic_LastFault();
void Q4VMTic_Forget(const u8* db);

// Installs the interpreter as the program runner; clears nothing else.
void Q4VMTic_Init();
void Q4VMTic_Exit();

void Q4VMTic_SetSfcBreakS(u8* db, u16 step, u16 value);
void Q4VMTic_SetSfcBreakT(u8* db, u16 transition, u16 value);
void Q4VMTic_UnlockVar(u8* db, u16 index, u8 lockBit);
void Q4VMTic_UnlockAllVars(u8* db);
int Q4VMTic_LockVar(u8* db, u16 index, u8 lockBit);

// CT segment items: class 1 data8, 2 data32, 4 TIME, 5 STRING, 11 data16,
// 12 data64; offsetVar is the DINT holding the CT byte offset. 1 done, 0
// refused (offset outside the segment, unknown class).
int Q4VMTic_SetCTSegItem(u8* db, u16 cls, u16 index, u16 offsetVar);
int Q4VMTic_GetCTSegItem(u8* db, u16 cls, u16 index, u16 offsetVar);
int Q4VMTic_CTMemcpy(u8* db, u16 dstVar, u16 srcVar, u16 sizeVar);

// Active timers (area 11). Start: 1 added or already active, 0 refused.
int Q4VMTmr_StartTimer(u8* db, u16 timeIndex);
void Q4VMTmr_StopTimer(u8* db, u16 timeIndex);
void Q4VMTmr_UpdateTimers(u8* db);
void Q4VMTmr_HotRestartTimers(u8* db);

// Elapsed milliseconds of the day from last to now (both below 86,400,000).
inline u32 Q4VM_Elapsed(u32 now, u32 last) {
    return static_cast<u32>(((static_cast<i64>(now) - static_cast<i64>(last)) % 86400000 + 86400000) % 86400000);
}

// Step record (area 20, 12 bytes) and transition record (area 21, 4 bytes).
constexpr u32 kStepElapsed = 0, kStepStamp = 4, kStepState = 8, kStepBreak = 10, kStepBytes = 12;
constexpr u32 kTransCond = 0, kTransBreak = 2, kTransBytes = 4;
enum Q4StepState : u16 { kStepInactive = 0, kStepActive = 1, kStepActivating = 2, kStepDeactivating = 3 };
// Program record: SFC cycle counter of opcode 421 (u16, after the fixed fields).
constexpr u32 kQ4PrSfcCounter = 20;
