// The program checker: run when a ladder program is loaded or downloaded,
// and by the interpreter before it runs a program it has not seen. It
// follows every path of the program from its first word, the way the
// interpreter would take it, and refuses the program when
// - a jump, call, skip or step target lies outside the code or inside the
//   operands of another instruction, or an instruction runs past the end;
// - the power-flow stack could hold more than 20 entries or the word stack
//   more than 40, or an instruction could pop an empty stack;
// - a register operand lies outside the register memory, or a literal
//   operand (a format, a count) is one its instruction cannot carry out;
// - no path reaches END.
// A RET may return to the word after any CALL, so the depth at each return
// site covers every subroutine. Instructions of families this interpreter
// does not execute end their path (executing one is a program fault).
#pragma once

#include <vector>

#include "platform/bytes.h"

constexpr int kLadderBoolStackDepth = 20;
constexpr int kLadderWordStackDepth = 40;

enum class LadderCheckStatus : u8 {
    kOk,
    kEmpty,           // no code word
    kNoEnd,           // no path reaches END
    kTargetOutside,   // a jump, call, skip or step target outside the code
    kTargetInside,    // a target inside the operands of an instruction
    kRunsOffEnd,      // the last instruction continues past the code
    kTruncated,       // an instruction's operands run past the code
    kBoolOverflow,    // more than 20 power-flow entries
    kBoolUnderflow,   // a pop of the empty power-flow stack
    kWordOverflow,    // more than 40 word-stack entries
    kWordUnderflow,   // a pop of the empty word stack
    kBadOperand,      // a register operand outside the register memory
    kTooLarge,        // larger than the largest program block
    kBadLiteral,      // a literal operand (count, format, width) the instruction cannot carry out
};

struct LadderCheckResult {
    LadderCheckStatus status;
    u32 offset;  // word offset of the instruction concerned (0 when none)

    bool Ok() const { return status == LadderCheckStatus::kOk; }
};

const char* LadderCheck_Text(LadderCheckStatus status);

// Checks `words` code words (host order) with the given token width.
LadderCheckResult LadderCheck_Words(const u16* code, u32 words, bool tok16);
// Checks a program block's data (little-endian words; an odd last byte is
// ignored).
LadderCheckResult LadderCheck(const u8* data, u32 sizeBytes, bool tok16);

// The load check of a stored program block: true for an IEC application
// record, or for a ladder program that passes the checker with the token
// width its editor-features word gives.
bool LadderProgram_Acceptable(const u8* data, u32 sizeBytes);
