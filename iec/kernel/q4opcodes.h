// The TIC opcode table: one description of every instruction (mnemonic,
// length in words, operand kinds, lock-checked form) shared by the
// interpreter, the load-time verifier and the test assembler, so that the
// three can never disagree on how long an instruction is.
//
// A TIC instruction is a u16 opcode followed by u16 operands. Fixed forms have
// `words` words. Variable forms hold a count n in operand `countAt` (1-based)
// and are `words` + n words long.
#pragma once

#include "platform/bytes.h"

constexpr u16 kQ4OpMax = 569;

enum Q4Operand : u8 {
    kQ4OpndNone = 0,
    kQ4OpndD8,      // index in data8
    kQ4OpndD16,     // index in data16
    kQ4OpndD32,     // index in data32
    kQ4OpndD64,     // index in data64
    kQ4OpndTime,    // index in TIME
    kQ4OpndStr,     // index in the string table
    kQ4OpndXv,      // external-variable slot
    kQ4OpndProg,    // program number
    kQ4OpndStep,    // SFC step
    kQ4OpndTrans,   // SFC transition
    kQ4OpndImm,     // immediate word
    kQ4OpndDisp,    // signed byte displacement (relative jump)
    kQ4OpndTarget,  // absolute byte offset in the running code
    kQ4OpndCount,   // n of a variable form
    kQ4OpndType,    // IEC type code
    kQ4OpndFunc,    // standard function number
    kQ4OpndCFunc,   // custom function number
    kQ4OpndInst,    // function-block instance number
    kQ4OpndAny,     // index whose class another operand gives
};

struct Q4OpInfo {
    const char* name;  // nullptr: no operation (the interpreter stops the application)
    u8 words;          // fixed length, or base length of a variable form
    u8 countAt;        // 0 fixed; else the operand that holds n
    u8 lockBit;        // lock-checked form: lock bit of the destination; 0 plain
    Q4Operand ops[6];  // kinds of the fixed operands, in order
};

// Row of an opcode; a row with a null name for opcodes without an operation
// (including 0 and everything above kQ4OpMax).
const Q4OpInfo& Q4Op_Info(u16 opcode);

// Opcode of a mnemonic ("ADD_DINT", "ADD_DINT_L", "RET"...), 0 when unknown.
u16 Q4Op_Find(const char* mnemonic);

// Length in words of the instruction at words[0] given avail words; 0 when the
// opcode has no operation or the instruction does not fit in avail.
u32 Q4Op_Length(const u16* words, u32 avail);
