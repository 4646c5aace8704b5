// Timer and counter instructions of the ladder program. Each works on a
// record of two or three consecutive registers that holds all of its state,
// takes the power flow of the rung as its input and gives its output in
// place of it.
//
// 16-bit timer record: word 0 accumulator (u16, in units of the base);
// word 1 status: bit 15 output, bit 14 enabled, bits 0-13 the tick stamp
// from which the time not yet counted is measured. 32-bit timer record:
// words 0-1 accumulator (i32, low word first), word 2 status.
// 16-bit counter record: word 0 count (i16); word 1 bit 15 done, bit 14 the
// input at the previous execution. 32-bit counter record: words 0-1 count
// (i32), word 2 status.
//
// Time is measured in 100 us ticks of the scan's 14-bit stamp, so two
// executions of one timer that lie 1.6384 s or more apart lose whole
// multiples of 1.6384 s.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

// Block routines. ip stands on the word after the opcode and is advanced
// past the operands. An operand outside the register memory leaves every
// register untouched and gives FALSE.
u8 LogicTimers(const u16* code, u32& ip, u8 rung, bool tok16);       // 16-bit timers
u8 Logic32bTimers(const u16* code, u32& ip, u8 rung, bool tok16);    // 32-bit timers
u8 LogicCounters(const u16* code, u32& ip, u8 rung, bool tok16);     // opcodes 200-203
// Opcode 199: ip stands on the sub-operation word (0 up with a register
// preset, 1 up with a literal preset, 2 down with a register preset, 3 down
// with a literal preset).
u8 Logic32bCounters(const u16* code, u32& ip, u8 rung, bool tok16);

// Words of the 32-bit counter's operands at code[0..avail) (sub-operation
// word included) for the given token width; 0 when they run past avail.
u32 Counter32_OperandWords(const u16* code, u32 avail, bool tok16);

// The routine row of a timer or 16-bit counter opcode, or nullptr.
const LadderRoutineRow* Timer_FindRow(u16 opcode);
// The family's block-routine rows.
extern const std::span<const LadderRoutineRow> kTimerCounterRoutines;

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kTimerCounterOps[] = {
    Rt(199, 199, "CNT32"),
    Rt(200, 203, "CNT16"),
    Rt(204, 215, "TMR16"),
    Rt(450, 455, "TMR32"),
    Rt(458, 463, "TMR16"),
    Rt(466, 471, "TMR32"),
    Rt(474, 479, "TMR16"),
    Rt(482, 487, "TMR32"),
    Rt(498, 503, "TMR32"),
};
}  // namespace lrow
