// Shift and rotate of a block of elements in the register memory: a bit
// field of any length and bit offset, or a run of bytes, words or double
// words.
#pragma once

#include "platform/bytes.h"
#include "ladder/ladder_ops.h"
#include "ladder/ladder_routines.h"

// Filled by the instruction, consumed by one element routine.
struct MultiPar {
    u32 start;      // linear register bit address of the first element
    u32 length;     // elements in the block
    u32 count;      // positions to move
    u8 direction;   // 1 = toward higher addresses, 0 = toward lower
    u32 out;        // bit address receiving the last element shifted out (shift only)
    u32 fill;       // bit address of the value shifted in (shift only)
};

// Element types of the instructions.
enum MultiType : u16 { kMultiBits = 0, kMultiBytes = 1, kMultiWords = 2, kMultiDwords = 3 };

// Each returns the output power flow: 0, moving nothing, when the count
// exceeds the length or the block (or the out or fill operand) does not lie
// inside the register memory; otherwise 1. A count or length of 0 moves
// nothing and writes no out operand. Byte, word and double-word blocks start
// at the register that holds the start address (bytes low byte first).
// Rotates move by count modulo the length in one pass.
int MultiShiftBits(MultiPar* p);
int MultiShiftBytes(MultiPar* p);
int MultiShiftWords(MultiPar* p);
int MultiShiftDwords(MultiPar* p);
int MultiRotateBits(MultiPar* p);
int MultiRotateBytes(MultiPar* p);
int MultiRotateWords(MultiPar* p);
int MultiRotateDwords(MultiPar* p);

// Dispatch on the element type (0-3); other types move nothing and give 1.
int MultiShift(u16 type, MultiPar* p);
int MultiRotate(u16 type, MultiPar* p);

// Ladder instructions 118 (shift), 119 (rotate) and their IEC-operand forms
// 529 and 530. ip stands on the word after the opcode and is advanced past
// the operands: element type (literal word), start (bit operand; in the IEC
// forms a register pair holding a byte offset into the register memory),
// length and count (literal-or-register: below 1024 the value itself,
// otherwise a register holding it), direction (bit), and for the shifts out
// and fill (bit operands naming the bit, or the register, receiving and
// supplying elements). The input power flow is not looked at; the result is
// the output power flow (0 also for operands outside the register memory).
u8 Multi_Shift(const u16* code, u32& ip, u8 rung, bool tok16);
u8 Multi_Rotate(const u16* code, u32& ip, u8 rung, bool tok16);
u8 IEC_Multi_Shift(const u16* code, u32& ip, u8 rung, bool tok16);
u8 IEC_Multi_Rotate(const u16* code, u32& ip, u8 rung, bool tok16);

// The family's block-routine rows.
extern const std::span<const LadderRoutineRow> kMultiShiftRoutines;

// The family's rows of the ladder opcode table.
namespace lrow {
inline constexpr Row kMultiShiftOps[] = {
    Rt(118, 119, "MREGSHIFT"),
    Rt(529, 530, "MREGSHIFTX"),
};
}  // namespace lrow
