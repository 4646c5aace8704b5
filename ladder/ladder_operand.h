// Decoding of the register operands that follow a ladder opcode, for both
// token widths. Programs with 16-bit tokens name registers with one word (a
// register bit address below 0x10000) or, for words and bytes beyond it, a
// far-bank escape (1776 or 1777) and an index word; programs with 32-bit
// tokens give the register bit address in two words, low word first, where
// the %T, %M and %ESR windows are moved onto their linear addresses.
//
// The decoders advance the instruction pointer `ip` (a word index into the
// code) past the operand and return the linear address, register word or
// byte. They do not check the result: the program checker checks every
// operand of a program before it runs (the *Valid functions below), so the
// interpreter indexes the register memory directly.
#pragma once

#include "platform/bytes.h"
#include "core/plc_regs.h"

constexpr u32 kLadderBitFirst = 0x400;
constexpr u32 kLadderBitEnd = kLadderBitFirst + kPlcRegBytes * 8;  // first bit address past the memory
constexpr u32 kLadderRegWords = kPlcRegBytes / 2;

// Far-bank escapes of 16-bit programs and the linear bit address each adds
// to its index word.
constexpr u16 kLadderFarBank1 = 1776, kLadderFarBank2 = 1777;
constexpr u32 kLadderFarBank1Base = 0x10000, kLadderFarBank2Base = 0x20000;

// Windows of 32-bit programs.
constexpr u32 kLadderWindowT = 0x10008000, kLadderWindowM = 0x1001C000, kLadderWindowEsr = 0x10030000;

// Moves a window address onto the linear address it names; other values
// are returned unchanged.
inline u32 LadderRemap(u32 a) {
    if (a - kLadderWindowT < 0x4000u) return a + 0xF00C4400u;
    if (a - kLadderWindowM < 0x4000u) return a + 0xF00B4400u;
    if (a - kLadderWindowEsr < 0x1000u) return a + 0xF00A4400u;
    return a;
}

inline u16 LadderLit(const u16* code, u32& ip) { return code[ip++]; }
inline u32 LadderLit2(const u16* code, u32& ip) {
    u32 v = code[ip] | (static_cast<u32>(code[ip + 1]) << 16);
    ip += 2;
    return v;
}

// Bit operand: the linear register bit address.
template <bool kTok16>
inline u32 LadderBitOperand(const u16* code, u32& ip) {
    if constexpr (kTok16) return code[ip++];
    return LadderRemap(LadderLit2(code, ip));
}

// Word operand: the register word index. kPlain: no far-bank escapes.
template <bool kTok16, bool kPlain = false>
inline u32 LadderWordOperand(const u16* code, u32& ip) {
    if constexpr (kTok16) {
        u32 t = code[ip++];
        if (!kPlain && t == kLadderFarBank1) return code[ip++] / 16u + 4032u;
        if (!kPlain && t == kLadderFarBank2) return code[ip++] / 16u + 8128u;
        return (t - kLadderBitFirst) >> 4;
    }
    return (LadderRemap(LadderLit2(code, ip)) - kLadderBitFirst) >> 4;
}

// Byte operand: the register byte index.
template <bool kTok16>
inline u32 LadderByteOperand(const u16* code, u32& ip) {
    if constexpr (kTok16) {
        u32 t = code[ip++];
        if (t == kLadderFarBank1) return code[ip++] / 8u + 8064u;
        if (t == kLadderFarBank2) return code[ip++] / 8u + 16256u;
        return (t - kLadderBitFirst) >> 3;
    }
    return (LadderRemap(LadderLit2(code, ip)) - kLadderBitFirst) >> 3;
}

// Short word operand: as a word operand with 16-bit tokens; with 32-bit
// tokens only the low 16 bits count, without window remap.
template <bool kTok16>
inline u32 LadderShortWordOperand(const u16* code, u32& ip) {
    if constexpr (kTok16) return LadderWordOperand<true>(code, ip);
    u32 low = code[ip];
    ip += 2;
    return static_cast<u16>((low >> 4) - 64u);
}

// Literal-or-register operand: the decoded value; 1024 or less is a
// literal, above it a register bit address (read through the register
// access functions, which check it).
template <bool kTok16>
inline u32 LadderLitOrRegOperand(const u16* code, u32& ip) {
    if constexpr (kTok16) return code[ip++];
    return LadderRemap(LadderLit2(code, ip));
}

// The same decoders for block routines, which learn the token width at run
// time.
inline u32 LadderBitOperand(const u16* code, u32& ip, bool tok16) {
    return tok16 ? LadderBitOperand<true>(code, ip) : LadderBitOperand<false>(code, ip);
}
inline u32 LadderWordOperand(const u16* code, u32& ip, bool tok16) {
    return tok16 ? LadderWordOperand<true>(code, ip) : LadderWordOperand<false>(code, ip);
}
inline u32 LadderLitOrRegOperand(const u16* code, u32& ip, bool tok16) {
    return tok16 ? LadderLitOrRegOperand<true>(code, ip) : LadderLitOrRegOperand<false>(code, ip);
}

inline bool LadderBitValid(u32 a) { return a >= kLadderBitFirst && a < kLadderBitEnd; }
inline bool LadderWordValid(u32 w, u32 span) { return w <= kLadderRegWords && kLadderRegWords - w >= span; }
inline bool LadderByteValid(u32 b) { return b < kPlcRegBytes; }

// Register word w and the pair at w, w + 1 (low word first). The index is
// one the program checker proved, or one the caller checked.
inline u16 LadderRegWord(u32 w) { return GetLe16(&plc_reg[2 * w]); }
inline void LadderPutRegWord(u32 w, u16 v) { PutLe16(&plc_reg[2 * w], v); }
inline u32 LadderRegDword(u32 w) { return GetLe32(&plc_reg[2 * w]); }
inline void LadderPutRegDword(u32 w, u32 v) { PutLe32(&plc_reg[2 * w], v); }

// Byte and mask of a bit address.
inline u32 LadderBitByte(u32 a) { return (a - kLadderBitFirst) >> 3; }
extern const u8 on_mask[8];
extern const u8 off_mask[8];

// The register bit at a (checked by the program checker or the caller).
inline bool LadderRegBit(u32 a) { return (plc_reg[LadderBitByte(a)] & on_mask[a & 7]) != 0; }
inline void LadderPutRegBit(u32 a, bool on) {
    u8& b = plc_reg[LadderBitByte(a)];
    b = on ? static_cast<u8>(b | on_mask[a & 7]) : static_cast<u8>(b & off_mask[a & 7]);
}
