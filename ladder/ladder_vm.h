// What an instruction family sees of the interpreter while one of its
// instructions runs: the checked code, the instruction pointer (standing on
// the word after the opcode when the family is called; the family moves it
// past the operands), the top of the power-flow stack and the word stack.
//
// Power flow: `*top` is the rung value; the entry below the bottom exists,
// so an instruction that writes the rung value of an empty stack is safe.
// Word stack: u16 entries growing upward, `wsp` points at the next free
// entry; a 32-bit value takes two entries, low word in the lower one. The
// program checker has proven the depths each instruction needs (the need
// and effect given in the opcode table or by the family's layout decoder),
// so the helpers below do not check them.
#pragma once

#include "platform/bytes.h"
#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"

struct LadderVm {
    const u16* code;
    u32 ip;
    u8* top;
    u16* wsp;

    // Power flow.
    u8 Rung() const { return *top; }
    void SetRung(u8 v) { *top = v; }
    void RungFalse() { *top = 0; }
    void PushRung(u8 v) { *++top = v; }
    u8 PopRung() { return *top--; }

    // Word stack. Depth 1 is the top entry; a 32-bit value at depth d
    // occupies entries d (high word) and d + 1 (low word).
    void Push16(u16 v) { *wsp++ = v; }
    u16 Pop16() { return *--wsp; }
    u16& At16(u32 depth) { return wsp[-static_cast<i32>(depth)]; }
    void Push32(u32 v) {
        wsp[0] = static_cast<u16>(v);
        wsp[1] = static_cast<u16>(v >> 16);
        wsp += 2;
    }
    u32 Pop32() {
        wsp -= 2;
        return wsp[0] | (static_cast<u32>(wsp[1]) << 16);
    }
    u32 At32(u32 depth) const {
        const u16* p = wsp - depth - 1;
        return p[0] | (static_cast<u32>(p[1]) << 16);
    }
    void Put32(u32 depth, u32 v) {
        u16* p = wsp - depth - 1;
        p[0] = static_cast<u16>(v);
        p[1] = static_cast<u16>(v >> 16);
    }
    float AtReal(u32 depth) const { return BitsFloat(At32(depth)); }
    void PutReal(u32 depth, float f) { Put32(depth, FloatBits(f)); }
    void PushReal(float f) { Push32(FloatBits(f)); }
};

// Family entry points return true to go on, false to end the scan with a
// program fault at the instruction pointer they leave.

// Bytes [offset, offset + length) of the register memory, or nullptr when
// any of them lies outside it. Every pointer, index, count and length a
// program takes from registers (which peers can write) goes through here.
inline u8* LadderRegBytes(u64 offset, u64 length) {
    if (offset > kPlcRegBytes || length > kPlcRegBytes - offset) return nullptr;
    return plc_reg + offset;
}
// The same for `count` register words from register word `word`.
inline u8* LadderRegWords(u64 word, u64 count) { return LadderRegBytes(2 * word, 2 * count); }

// A byte pointer (an offset from the first byte of the register memory)
// held in the register pair named by the next word operand.
template <bool kTok16>
inline u32 LadderPointerOperand(LadderVm& vm) {
    return LadderRegDword(LadderWordOperand<kTok16>(vm.code, vm.ip));
}
