// The flow instruction: double-precision arithmetic and the petroleum volume
// corrections (temperature scale conversion, CTL and CPL, base density by
// iteration), REAL and LREAL conversions, and rounding to N decimals.
//
// Operands are one-word register tokens whatever the program's token width:
// a word w other than 1776 and 1777 is the bit address w; 1776 or 1777
// followed by x is x + 0x10000 or x + 0x20000. An LREAL takes four registers,
// the high half of the double in the first two.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

// Sub-operations.
enum FlowOp : u16 {
    kFlowTemperature = 0,
    kFlowCtlCpl = 1,
    kFlowLrealToReal = 2,
    kFlowRealToLreal = 3,
    kFlowDivide = 4,
    kFlowMultiply = 5,
    kFlowBaseDensity = 6,
    kFlowRound = 7,
};

// Runs the instruction whose operands start at *ip (the word after the
// opcode) with the input power flow, advances *ip past the operands and
// returns the output power flow: with power flow 0, 1 (0 for sub-operation
// 6) without computing; otherwise 1 after a computation, 0 after a failed
// range check, an unreachable register, no convergence of the base density,
// or a sub-operation above 7 (which consumes only its own word).
u8 Flow_Funs(const u16** ip, u8 flow);

// Words of the operands at code[0..avail) (sub-operation word included), or
// 0 when they run past avail.
u32 Flow_OperandWords(const u16* code, u32 avail);

// Ladder instruction 381 in the interpreter's routine form: ip (a word
// index into code) stands on the word after the opcode and is advanced past
// the operands; any non-zero rung value is power flow. The operand tokens
// are one-word tokens whatever the token width.
u8 Flow_Instruction(const u16* code, u32& ip, u8 rung, bool tok16);

// The family's block-routine rows.
extern const std::span<const LadderRoutineRow> kFlowRoutines;

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kFlowOps[] = {
    Rt(381, 381, "FLOW"),
};
}  // namespace lrow
