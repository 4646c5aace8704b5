// What every block of the controller's own library shares: the answers to
// the runtime's block commands and the operand accessor.
//
// A block receives its operands as words: the index of each variable in the
// table of its width, inputs first, then outputs. An array operand is
// followed by a word holding its element count (a plain number); a block with
// ANY operands is also passed the IEC type code of the actual operands. The
// operands come from downloaded code: an index outside its table reads as 0
// and is not written, and an array is used only when the element count the
// caller passed lies whole inside the table that holds it, and never past
// that count.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4vmtic.h"

// Answer of a block to a command other than execution: 1 to the argument-type
// check (9), the instance size to command 3, 0 to everything else.
int Q4Ctl_Answer(int command, u32 instanceSize);

// Runs body when the call is an execution with at least n operands and, for a
// block with instance data, an instance; answers the other commands. The
// result of an execution is 0.
template <typename Body>
int Q4Ctl_Run(int command, u32 instanceSize, u8* inst, const u16* ops, u16 n, Body body) {
    if (command != kFbExecute) return Q4Ctl_Answer(command, instanceSize);
    if ((instanceSize && !inst) || Q4Fb_OperandCount(ops) < n) return 0;
    body();
    return 0;
}

// Scalar operands of the 8- and 16-bit tables; the wider ones are read and
// written with the standard blocks' accessors (Q4Fb_Dint, Q4Fb_PutReal...).
// Q4Ctl_Byte gives the raw byte of a BOOL (ok false when the index is invalid).
u8 Q4Ctl_Byte(u8* db, u16 index, bool* ok = nullptr);
i16 Q4Ctl_Int(u8* db, u16 index);
void Q4Ctl_PutInt(u8* db, u16 index, i16 value);

// An array operand (index word, then element-count word) of elements of an
// IEC type. Every access is bounded by the element count; elements outside
// read as 0 and are not written.
class Q4CtlArray {
public:
    Q4CtlArray() = default;
    Q4CtlArray(u8* db, u16 type, u16 index, u16 count);
    bool Valid() const { return data_ != nullptr; }
    u32 Count() const { return data_ ? count_ : 0; }
    bool Has(i64 i) const { return data_ && i >= 0 && i < count_; }
    i16 Int(i64 i) const { return Has(i) ? static_cast<i16>(GetLe16(data_ + 2 * i)) : 0; }
    void SetInt(i64 i, i16 v) {
        if (Has(i)) PutLe16(data_ + 2 * i, static_cast<u16>(v));
    }

private:
    u8* data_ = nullptr;
    u32 count_ = 0;
};

// The operand pair at ops[k] (index) and ops[k + 1] (element count).
inline Q4CtlArray Q4Ctl_Array(u8* db, u16 type, const u16* ops, u16 k) {
    return Q4CtlArray(db, type, ops[k], ops[k + 1]);
}

// A single ANY operand of an IEC type code: its storage and size, or null.
u8* Q4Ctl_Any(u8* db, u16 type, u16 index, u32* size);

// The bits of a numeric ANY operand (BOOL, integers, REAL, LREAL, TIME),
// zero-extended from its width: false when the type is not numeric or the
// index designates nothing. Q4Ctl_PutBits stores the low bits of the width
// unless the output is locked.
bool Q4Ctl_GetBits(u8* db, u16 type, u16 index, u64* bits);
void Q4Ctl_PutBits(u8* db, u16 type, u16 index, u64 bits);

// Elements of a numeric array as little-endian fields of width bytes.
u64 Q4Ctl_LoadLe(const u8* p, u32 width);
void Q4Ctl_StoreLe(u8* p, u32 width, u64 v);
