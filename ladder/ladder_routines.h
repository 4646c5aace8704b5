#pragma once

#include <span>

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"

// Block routines: the instructions whose operands and execution one routine
// of their family handles (shift and rotate, timers and counters, PID, sun
// position, schedules, flow, files), for the interpreter's dispatch and the
// program checker.
// Each routine takes the code, the index of the word after the opcode (which
// it advances past the operands), the rung value (the top of the power-flow
// stack, which must hold one entry) and the token width, and returns the
// value that replaces the top; the stack depth does not change. Routines
// check every register they reach against the register memory themselves.

using LadderRoutineFn = u8 (*)(const u16* code, u32& ip, u8 rung, bool tok16);

constexpr int kLadderRoutineMaxOperands = 11;

struct LadderRoutineRow {
    u16 first;  // opcode range
    u16 last;
    const char* name;
    LadderRoutineFn run;
    // Operand layout after the opcode in the table's operand kinds; when
    // `words` is set the layout is variable and it gives the operand words
    // (0 when they run past avail).
    u8 count;
    LOpd operands[kLadderRoutineMaxOperands];
    u32 (*words)(const u16* operands, u32 avail, bool tok16);
    // Set when the routine may answer kLadderRoutineFault, which stops the
    // program with a fault at the instruction.
    bool faults = false;
};
constexpr u8 kLadderRoutineFault = 255;

// Each family of this floor declares its rows in its own module (a span
// named k...Routines); the file instructions, which belong to a service,
// reach the table through the ladder engine's neighbour record
// (ladderEnginePeers.fileRow).

// The row of an opcode, or nullptr when none of these routines serves it.
const LadderRoutineRow* LadderRoutine_Find(u16 opcode);
// Words of the instruction at code[0] (opcode included) with the given token
// width; 0 when the opcode is not one of these or the operands run past
// avail.
u32 LadderRoutine_Words(const u16* code, u32 avail, bool tok16);

// The routine families of the ladder floor, one span each (for the checks of
// the tests and tools); the file rows come from the wiring besides these.
std::span<const std::span<const LadderRoutineRow>> LadderRoutine_Families();
