// The one opcode table of the ladder program. Every opcode below 0x400 has a
// row: its name, the operand words that follow it, what the interpreter does
// with it and what it does to the power-flow and word stacks. The
// interpreter's dispatch, the program checker, the program builder of the
// tests and the disassembler all read this table, so an opcode is either
// known to all of them or to none.
#pragma once

#include <array>
#include <initializer_list>
#include <span>

#include "platform/bytes.h"

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
    // Instruction families, each executed by its own module (ladder_vm.h).
    kMove,     // loads, stores, moves, fills, block and table moves (wordmove)
    kIntMath,  // bit logic, shifts, rotates, integer arithmetic (intmath)
    kReal,     // REAL arithmetic and functions, compares, ranges, conversions (realmath)
    kText,     // byte strings, counted strings, number and text (textops)
    kPointer,  // indexed access, byte pointers, bit arrays (pointer)
    kPanel,    // screens, alarm list, clock, node number (panel)
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

// The operands of an instruction with several encodings (block and table
// moves, inline texts, type words, formats), decoded from the program by the
// instruction's family: what the checker needs to check it and the tools to
// step over it.
enum class LLayoutStatus : u8 {
    kOk,
    kTruncated,   // the operands run past the code
    kBadLiteral,  // a literal operand the instruction cannot carry out (refused)
    kStops,       // executing it ends the scan with a program fault
};

struct LadderOperandAt {
    LOpd kind;
    u16 at;    // words after the opcode word
    u16 span;  // register words (or bytes for kByte) the operand must reach
};

constexpr int kLadderMaxLayoutOperands = 12;

struct LadderLayout {
    LLayoutStatus status = LLayoutStatus::kOk;
    u32 words = 0;  // the whole instruction, opcode word included
    u8 wordNeed = 0;
    i8 wordDelta = 0;
    u8 count = 0;
    LadderOperandAt regs[kLadderMaxLayoutOperands] = {};

    // A register operand to check; returns the words it takes (0 when it
    // runs past `avail`, which also marks the layout truncated).
    u32 Add(LOpd kind, const u16* code, u32 at, u32 avail, bool tok16, u16 span = 1);
    void Fail(LLayoutStatus s) {
        if (status == LLayoutStatus::kOk) status = s;
    }
};

// Decodes the instruction at code[0] (its opcode word), `avail` words
// available from there.
using LadderLayoutFn = void (*)(const u16* code, u32 avail, bool tok16, LadderLayout& out);

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
    // Instructions with several encodings: their operands come from here,
    // not from `operands`.
    LadderLayoutFn layout;

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

// The layout of the instruction at code[0]: register operands with their
// spans, its length and its word-stack effect, from the table or from the
// instruction's own decoder.
LadderLayout LadderInstruction_Layout(const u16* code, u32 avail, bool tok16);

// ---------------------------------------------------------------------------
// Rows of the table. Each instruction family declares its rows in its own
// header (namespace lrow, a constexpr array named k...Ops); ladder_ops.cpp
// assembles the table from the families' arrays at compile time and refuses
// to build when two rows claim one opcode.
namespace lrow {

using O = LOpd;
using E = LExec;
using F = LFlow;

struct Row {
    u16 first;  // opcode range
    u16 last;
    const char* name;
    E exec;
    F flow;
    u8 boolNeed;
    i8 boolDelta;
    u8 wordNeed;
    i8 wordDelta;
    u8 wordSpan;
    u8 count;
    std::array<O, kLadderMaxOperands> operands;
    LadderLayoutFn layout;
};

constexpr Row MakeRow(u16 first, u16 last, const char* name, E exec, F flow, u8 need, i8 delta, u8 span,
                      std::initializer_list<O> ops, u8 wneed = 0, i8 wdelta = 0, LadderLayoutFn layout = nullptr) {
    Row r{first, last, name, exec, flow, need, delta, wneed, wdelta, span, 0, {}, layout};
    for (O o : ops) r.operands[r.count++] = o;
    return r;
}

// An instruction this interpreter executes.
constexpr Row Op(u16 code, const char* name, E exec, F flow, u8 need, i8 delta, std::initializer_list<O> ops = {},
                 u8 span = 1) {
    return MakeRow(code, code, name, exec, flow, need, delta, span, ops);
}
// An assigned instruction of a family not built yet: executing it is a
// program fault, so the checker treats it as the end of its path.
constexpr Row Un(u16 first, u16 last, const char* name, std::initializer_list<O> ops = {}) {
    return MakeRow(first, last, name, E::kFault, F::kStop, 0, 0, 1, ops);
}
// An instruction of the word-stack families: `wneed` entries needed, net
// change `wdelta`; the power-flow stack keeps its depth (the rung value may
// be written).
constexpr Row Wd(u16 first, u16 last, const char* name, E exec, u8 wneed, i8 wdelta,
                 std::initializer_list<O> ops = {}, u8 span = 1) {
    return MakeRow(first, last, name, exec, F::kNext, 0, 0, span, ops, wneed, wdelta);
}
// An instruction with several encodings: its family's decoder gives its
// operands, length and word-stack effect.
constexpr Row Ly(u16 code, const char* name, E exec, u8 need, i8 delta, LadderLayoutFn layout) {
    return MakeRow(code, code, name, exec, F::kNext, need, delta, 1, {}, 0, 0, layout);
}
// An instruction carried out by a block routine (see LadderRoutine_Find):
// it needs one power-flow entry, replaces it with its result, and gives its
// own length to the checker.
constexpr Row Rt(u16 first, u16 last, const char* name) {
    return MakeRow(first, last, name, E::kRoutine, F::kNext, 1, 0, 1, {O::kRoutine});
}

}  // namespace lrow

// The families' rows as the table was assembled from them, one span per
// family (for the checks of the tests and tools).
std::span<const std::span<const lrow::Row>> LadderOp_Families();
