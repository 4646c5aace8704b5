// What the standard function blocks share: reading and writing their operands
// (variable indexes into the typed tables, checked, outputs stored only when
// their lock flag is clear), bounded array operands, the VM time the blocks
// measure with, and the answers every block gives to the life-cycle commands.
//
// Operand indexes come from downloaded code and the verifier cannot know a
// block's operand types, so every access is checked: an input that designates
// nothing reads as 0, an output that designates nothing is not written.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmtic.h"

// Number of operands of a call (the word before the first operand).
inline u16 Q4Fb_OperandCount(const u16* ops) { return ops ? ops[-1] : 0; }

bool Q4Fb_Bool(u8* db, u16 index);
i32 Q4Fb_Dint(u8* db, u16 index);
float Q4Fb_Real(u8* db, u16 index);
double Q4Fb_Lreal(u8* db, u16 index);
u32 Q4Fb_Time(u8* db, u16 index);

// Stores an output unless its lock flag is set (force != false: always).
void Q4Fb_PutBool(u8* db, u16 index, bool value, bool force = false);
void Q4Fb_PutDint(u8* db, u16 index, i32 value, bool force = false);
void Q4Fb_PutReal(u8* db, u16 index, float value, bool force = false);
void Q4Fb_PutLreal(u8* db, u16 index, double value, bool force = false);
void Q4Fb_PutTime(u8* db, u16 index, u32 value, bool force = false);

// First element of an array operand of count elements of the type, when all
// of them lie inside the table or CT segment that holds them; else none.
u8* Q4Fb_Array(u8* db, u16 type, u16 index, u32 count);

// The VM's millisecond time of the day of this cycle, and its running
// seconds counter.
u32 Q4Fb_Now(u8* db);
u32 Q4Fb_Seconds(u8* db);

// Instance fields (little-endian in the database, which is saved whole).
inline u32 Q4Fb_U32(const u8* inst, u32 at) { return GetLe32(inst + at); }
inline void Q4Fb_SetU32(u8* inst, u32 at, u32 v) { PutLe32(inst + at, v); }
// An edge: v is 1 and the previous value kept at inst[at] was 0; the new
// value is kept.
inline bool Q4Fb_Edge(u8* inst, u32 at, bool v) {
    bool e = v && !inst[at];
    inst[at] = v ? 1 : 0;
    return e;
}
float Q4Fb_F32(const u8* inst, u32 at);
void Q4Fb_SetF32(u8* inst, u32 at, float v);
double Q4Fb_F64(const u8* inst, u32 at);
void Q4Fb_SetF64(u8* inst, u32 at, double v);

// How a standard block answers the commands other than execution: its class
// number (command 1), no class data, its instance size (command 3), 1 to
// command 9 when typed, 0 to everything else.
struct Q4FbClass {
    u16 classNumber;
    u32 instanceSize;
    bool typed;
};
int Q4Fb_Answer(const Q4FbClass& c, int command);

// Runs body when the call is an execution with at least n operands and, for
// a block with instance data, an instance; answers the other commands for
// class k.
template <typename Body>
int Q4Fb_Run(const Q4FbClass& k, int command, u8* inst, const u16* ops, u16 n, Body body) {
    if (command != kFbExecute) return Q4Fb_Answer(k, command);
    if ((k.instanceSize && !inst) || Q4Fb_OperandCount(ops) < n) return 0;
    body();
    return 0;
}
