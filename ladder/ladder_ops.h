// The one opcode table of the ladder program. Every opcode below 0x400 has a
// row: its name, the operand words that follow it, what the interpreter does
// with it and what it does to the power-flow and word stacks. The
// interpreter's dispatch, the program checker, the program builder of the
// tests and the disassembler all read this table, so an opcode is either
// known to all of them or to none.
#pragma once

#include "core/bytes.h"

// Words 0x400 and above are contact words (the word is the bit address).
constexpr u16 kLadderFirstContact = 0x400;
constexpr u16 kLadderOpcodes = 0x400;

// Operand kinds. The decoding of each is in ladder_operand.h.
enum class LOpd : u8 {
    kBit,        // register bit
    kWord,       // register word (16-bit tokens: far-bank escapes allowed)
    kWordPlain,  // register word, 16-bit tokens without far-bank escapes
    kByte,       // register byte
    kShortWord,  // register word, short form
    kLit,        // literal word
    kLit2,       // literal double word, low word first
    kLitOrReg,   // literal up to 1024, else a register read as 16 bits
    kFormat20,   // 20-byte format text (10 words)
    kRecord7,    // seven-word record
    kText,       // inline text: its length is decoded by its instruction
    kRoutine,    // decoded by a block routine: layout not known to the table
};

// What the interpreter does with an opcode. kFault: unassigned, or of an
// instruction family that is not built into this interpreter; executing it
// ends the scan with a program fault.
enum class LExec : u8 {
    kFault,
    kNop,
    kEnd,
    kContact,  // contact word (not an opcode; listed for completeness)
    kContl,
    kNot,
    kSetTrue,
    kSetFalse,
    kOr,
    kAnd,
    kOut,
    kOsRise,
    kOsFall,
    kSet,
    kReset,
    kOutNot,
    kPop,
    kRepush,
    kAndn,
    kOrn,
    kNand,
    kNor,
    kOrAnd,
    kAndOr,
    kJmpl,
    kCalll,
    kSkipf,
    kJmp,
    kCall,
    kRet,
    kStep,
    kContEq1,
    kTestW,
    kTestD,
    kMaskW,
    kMaskD,
    kRoutine,  // block routine: decodes its own operands, replaces the top entry
};

// How control leaves an instruction (the checker follows these).
enum class LFlow : u8 {
    kNext,      // falls through
    kStop,      // ends the scan here (END, or a program fault)
    kJump,      // conditional jump: target or next
    kCall,      // conditional call: target or next; returns after the operands
    kSkip,      // conditional forward skip by an unsigned count
    kRet,       // conditional return: a return site or next
    kStep,      // one of four targets
};

constexpr int kLadderMaxOperands = 9;

struct LadderOp {
    u16 code;
    const char* name;  // nullptr: unassigned
    LExec exec;
    LFlow flow;
    // Power-flow entries the instruction needs on the stack and its net
    // change of the depth; the same for the word stack.
    u8 boolNeed;
    i8 boolDelta;
    u8 wordNeed;
    i8 wordDelta;
    // Register words each word operand spans (2 for the 32-bit pairs of
    // TESTD and MASKD, 3 for the STEP record); checked against the memory.
    u8 wordSpan;
    u8 operandCount;
    LOpd operands[kLadderMaxOperands];

    bool Assigned() const { return name != nullptr; }
    bool Built() const { return exec != LExec::kFault; }
};

// The row of an opcode (0..0x3FF). Unassigned opcodes have a row with a null
// name and kFault (or kNop for the one-word no-operations).
const LadderOp& LadderOp_Get(u16 opcode);
// The row of a name, or nullptr.
const LadderOp* LadderOp_Find(const char* name);

// Dispatch bytes for the interpreter: exec kind of every opcode.
extern const LExec kLadderExec[kLadderOpcodes];

// Words taken by one operand of the given kind at code[0..avail); 0 when the
// length is not known from the table (kText, kRoutine) or the operand would
// run past `avail`.
u32 LadderOperand_Words(LOpd kind, const u16* code, u32 avail, bool tok16);
// Words of a whole instruction starting at code[0] (the opcode word or a
// contact word), operands included; 0 when not known or truncated.
u32 LadderInstruction_Words(const u16* code, u32 avail, bool tok16);
