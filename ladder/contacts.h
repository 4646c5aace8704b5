// Contacts, combiners, coils and one-shots: the boolean part of a rung.
//
// The power-flow stack is a byte array; `top` points at its top entry. An
// entry of 0 is FALSE, anything else TRUE. Contacts push 0xFF or 0; values
// computed here are written as 1 for TRUE. Popping only moves `top` down:
// the popped byte stays in the stack memory, and several combiners leave a
// value there on purpose, which REPUSH brings back as the new top.
//
// Bit operands are linear register bit addresses already checked against
// the register memory by the program checker; word operands are register
// word indexes checked the same way. Transition coils keep the previous rung
// value in old_reg at their own bit position.
#pragma once

#include "platform/bytes.h"
#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"

namespace lcontact {

[[gnu::always_inline]] inline u8 Not(u8 v) { return v == 0 ? 1 : 0; }

[[gnu::always_inline]] inline bool BitOf(const u8* mem, u32 a) { return (mem[LadderBitByte(a)] & on_mask[a & 7]) != 0; }
[[gnu::always_inline]] inline void PutBit(u8* mem, u32 a, bool on) {
    u8& b = mem[LadderBitByte(a)];
    b = on ? static_cast<u8>(b | on_mask[a & 7]) : static_cast<u8>(b & off_mask[a & 7]);
}

// Contacts (push).
[[gnu::always_inline]] inline void Contact(u8*& top, u32 a) { *++top = BitOf(plc_reg, a) ? 0xFF : 0; }
[[gnu::always_inline]] inline void ContEq1(u8*& top, u32 w) { *++top = LadderRegWord(w) == 1 ? 1 : 0; }
[[gnu::always_inline]] inline void TestW(u8*& top, u32 reg, u32 mask) { *++top = (LadderRegWord(reg) & LadderRegWord(mask)) != 0 ? 0xFF : 0; }
[[gnu::always_inline]] inline void TestD(u8*& top, u32 reg, u32 mask) {
    bool any = (LadderRegWord(reg) & LadderRegWord(mask)) != 0 || (LadderRegWord(reg + 1) & LadderRegWord(mask + 1)) != 0;
    *++top = any ? 0xFF : 0;
}

// Operations on the top entries.
[[gnu::always_inline]] inline void NotTop(u8* top) { *top = Not(*top); }
[[gnu::always_inline]] inline void SetTrue(u8* top) { *top = 0xFF; }
[[gnu::always_inline]] inline void SetFalse(u8* top) { *top = 0; }
[[gnu::always_inline]] inline void Or(u8*& top) {
    u8 a = *top--;
    if (a != 0) *top = 0xFF;
}
[[gnu::always_inline]] inline void And(u8*& top) {
    u8 a = *top--;
    if (a == 0) *top = 0;
}
[[gnu::always_inline]] inline void Andn(u8*& top) {
    u8 a = *top;
    *top-- = Not(a);
    if (a != 0) *top = 0;
}
[[gnu::always_inline]] inline void Orn(u8*& top) {
    u8 a = *top;
    *top-- = Not(a);
    if (a == 0) *top = 1;
}
[[gnu::always_inline]] inline void Nand(u8*& top) {
    u8 a = *top--;
    if (a == 0) *top = 0;
    *top = Not(*top);
}
[[gnu::always_inline]] inline void Nor(u8*& top) {
    u8 a = *top--;
    if (a != 0) *top = 1;
    *top = Not(*top);
}
// top = top OR (b AND a); the popped entry of b keeps b AND a.
[[gnu::always_inline]] inline void OrAnd(u8*& top) {
    u8 a = *top--;
    u8 b = *top;
    if (a == 0) *top = 0;
    --top;
    if (a != 0 && b != 0) *top = 1;
}
// top = top AND (b OR a); the popped entry of b keeps b OR a.
[[gnu::always_inline]] inline void AndOr(u8*& top) {
    u8 a = *top--;
    u8 b = *top;
    if (a != 0) *top = 1;
    --top;
    if (a == 0 && b == 0) *top = 0;
}
[[gnu::always_inline]] inline void Pop(u8*& top) { --top; }
[[gnu::always_inline]] inline void Repush(u8*& top) { ++top; }

// Coils (pop the rung value r first).
[[gnu::always_inline]] inline void Out(u8*& top, u32 a) { PutBit(plc_reg, a, *top-- != 0); }
[[gnu::always_inline]] inline void OutNot(u8*& top, u32 a) { PutBit(plc_reg, a, *top-- == 0); }
[[gnu::always_inline]] inline void Set(u8*& top, u32 a) {
    if (*top-- != 0) PutBit(plc_reg, a, true);
}
[[gnu::always_inline]] inline void Reset(u8*& top, u32 a) {
    if (*top-- != 0) PutBit(plc_reg, a, false);
}
// On for one scan when the rung turns TRUE.
[[gnu::always_inline]] inline void OsRise(u8*& top, u32 a) {
    if (*top-- != 0) {
        PutBit(plc_reg, a, !BitOf(old_reg, a));
        PutBit(old_reg, a, true);
    } else {
        PutBit(plc_reg, a, false);
        PutBit(old_reg, a, false);
    }
}
// On for one scan when the rung turns FALSE.
[[gnu::always_inline]] inline void OsFall(u8*& top, u32 a) {
    if (*top-- != 0) {
        PutBit(plc_reg, a, false);
        PutBit(old_reg, a, true);
    } else {
        PutBit(plc_reg, a, BitOf(old_reg, a));
        PutBit(old_reg, a, false);
    }
}
[[gnu::always_inline]] inline void MaskW(u8*& top, u32 reg, u32 mask) {
    u16 m = LadderRegWord(mask);
    LadderPutRegWord(reg, *top-- != 0 ? static_cast<u16>(LadderRegWord(reg) | m) : static_cast<u16>(LadderRegWord(reg) & ~m));
}
[[gnu::always_inline]] inline void MaskD(u8*& top, u32 reg, u32 mask) {
    bool r = *top-- != 0;
    for (u32 k = 0; k < 2; ++k) {
        u16 m = LadderRegWord(mask + k);
        LadderPutRegWord(reg + k, r ? static_cast<u16>(LadderRegWord(reg + k) | m) : static_cast<u16>(LadderRegWord(reg + k) & ~m));
    }
}

}  // namespace lcontact
