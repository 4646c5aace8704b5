#include "iec/blocks/q4bit.h"

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4types.h"

namespace {

enum class BitAction { kTest, kSet, kClear };

// Operands: words (INT array) and its element count, length (INT, bytes),
// bit number (INT, from 1); out (BOOL).
int BitBlock(BitAction action, int command, u8* db, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        const i32 length = Q4Ctl_Int(db, ops[2]), number = Q4Ctl_Int(db, ops[3]);
        Q4Fb_PutBool(db, ops[4], false);
        if (length == 0 || number < 1 || number > 8 * length) return;
        Q4CtlArray words = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        const i32 w = (number - 1) / 16, b = (number - 1) % 16;
        if (!words.Has(w)) return;
        const u16 v = static_cast<u16>(words.Int(w));
        switch (action) {
            case BitAction::kTest: Q4Fb_PutBool(db, ops[4], (v >> b) & 1u); return;
            case BitAction::kSet: words.SetInt(w, static_cast<i16>(v | (1u << b))); break;
            case BitAction::kClear: words.SetInt(w, static_cast<i16>(v & ~(1u << b))); break;
        }
        Q4Fb_PutBool(db, ops[4], true);
    });
}

}  // namespace

int Q4Ctl_BitTest(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return BitBlock(BitAction::kTest, command, db, inst, ops);
}
int Q4Ctl_BitSet(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return BitBlock(BitAction::kSet, command, db, inst, ops);
}
int Q4Ctl_BitClear(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return BitBlock(BitAction::kClear, command, db, inst, ops);
}
