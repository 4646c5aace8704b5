#include "ladder/multi_sr.h"

#include <cstring>

#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"

namespace {

constexpr u32 kLinearBase = 0x400;  // bit address of bit 0 of byte 0
constexpr u64 kMemBits = u64{kPlcRegBytes} * 8;

// Holds a copy of a field while it moves; no allocation during a scan.
u8 scratch[kPlcRegBytes + 8];

inline bool GetBit(const u8* m, u64 pos) { return (m[pos >> 3] >> (pos & 7)) & 1u; }
inline void PutBit(u8* m, u64 pos, bool v) {
    const u8 mask = static_cast<u8>(1u << (pos & 7));
    m[pos >> 3] = v ? static_cast<u8>(m[pos >> 3] | mask) : static_cast<u8>(m[pos >> 3] & ~mask);
}

// Copies n bits between buffers that do not overlap.
void CopyBits(u8* dst, u64 d, const u8* src, u64 s, u64 n) {
    while (n != 0 && (d & 7) != 0) {
        PutBit(dst, d++, GetBit(src, s++));
        --n;
    }
    const u64 bytes = n >> 3;
    u8* dp = dst + (d >> 3);
    const u8* sp = src + (s >> 3);
    const unsigned sh = s & 7;
    if (sh == 0) {
        std::memcpy(dp, sp, bytes);
    } else {
        // Each destination byte takes bits from two source bytes, both inside
        // the copied range.
        for (u64 i = 0; i < bytes; ++i) dp[i] = static_cast<u8>((sp[i] >> sh) | (sp[i + 1] << (8 - sh)));
    }
    d += bytes * 8;
    s += bytes * 8;
    n &= 7;
    while (n-- != 0) PutBit(dst, d++, GetBit(src, s++));
}

void FillBits(u8* m, u64 pos, u64 n, bool v) {
    while (n != 0 && (pos & 7) != 0) {
        PutBit(m, pos++, v);
        --n;
    }
    std::memset(m + (pos >> 3), v ? 0xFF : 0x00, n >> 3);
    pos += (n >> 3) * 8;
    n &= 7;
    while (n-- != 0) PutBit(m, pos++, v);
}

// Bit position in the register memory of a linear bit address of a field of
// n bits, or -1 when the field does not fit.
i64 FieldPos(u32 address, u64 n) {
    if (address < kLinearBase) return -1;
    const u64 pos = address - kLinearBase;
    return pos + n <= kMemBits ? static_cast<i64>(pos) : -1;
}

// The register (word-aligned) bytes of a register operand spanning n bytes,
// or null when outside the register memory.
u8* RegBytes(u32 address, u64 n) {
    if (address < kLinearBase) return nullptr;
    const u64 off = u64{(address - kLinearBase) >> 4} * 2;
    return off + n <= kPlcRegBytes ? &plc_reg[off] : nullptr;
}

int ShiftBits(MultiPar* p) {
    const u64 len = p->length;
    const u64 c = p->count;
    if (c > len) return 0;
    const i64 at = FieldPos(p->start, len);
    const i64 fillAt = FieldPos(p->fill, 1);
    const i64 outAt = FieldPos(p->out, 1);
    if (at < 0 || fillAt < 0 || outAt < 0) return 0;
    if (c == 0) return 1;
    const u64 base = static_cast<u64>(at);
    const bool fill = GetBit(plc_reg, static_cast<u64>(fillAt));
    const bool up = p->direction != 0;
    PutBit(plc_reg, static_cast<u64>(outAt), GetBit(plc_reg, up ? base + len - c : base + c - 1));
    const u64 keep = len - c;
    if (up) {
        CopyBits(scratch, 0, plc_reg, base, keep);
        CopyBits(plc_reg, base + c, scratch, 0, keep);
        FillBits(plc_reg, base, c, fill);
    } else {
        CopyBits(scratch, 0, plc_reg, base + c, keep);
        CopyBits(plc_reg, base, scratch, 0, keep);
        FillBits(plc_reg, base + keep, c, fill);
    }
    return 1;
}

int RotateBits(MultiPar* p) {
    const u64 len = p->length;
    if (p->count > len) return 0;
    const i64 at = FieldPos(p->start, len);
    if (at < 0) return 0;
    if (len == 0) return 1;
    const u64 k = p->count % len;
    if (k == 0) return 1;
    const u64 base = static_cast<u64>(at);
    CopyBits(scratch, 0, plc_reg, base, len);
    if (p->direction != 0) {  // element i moves to i + k
        CopyBits(plc_reg, base + k, scratch, 0, len - k);
        CopyBits(plc_reg, base, scratch, len - k, k);
    } else {  // element i + k moves to i
        CopyBits(plc_reg, base, scratch, k, len - k);
        CopyBits(plc_reg, base + len - k, scratch, 0, k);
    }
    return 1;
}

// size: bytes per element. The out and fill registers of a byte block carry
// the element in their low byte.
int ShiftElements(MultiPar* p, u32 size) {
    const u64 len = p->length;
    const u64 c = p->count;
    if (c > len) return 0;
    u8* block = RegBytes(p->start, len * size);
    const u8* fillReg = RegBytes(p->fill, size);
    u8* outReg = RegBytes(p->out, size);
    if (block == nullptr || fillReg == nullptr || outReg == nullptr) return 0;
    if (c == 0) return 1;
    u8 fill[4];
    std::memcpy(fill, fillReg, size);
    const bool up = p->direction != 0;
    std::memmove(outReg, block + (up ? len - c : c - 1) * size, size);
    const u64 keep = (len - c) * size;
    u8* fillFrom;
    if (up) {
        std::memmove(block + c * size, block, keep);
        fillFrom = block;
    } else {
        std::memmove(block, block + c * size, keep);
        fillFrom = block + keep;
    }
    for (u64 i = 0; i < c; ++i) std::memcpy(fillFrom + i * size, fill, size);
    return 1;
}

int RotateElements(MultiPar* p, u32 size) {
    const u64 len = p->length;
    if (p->count > len) return 0;
    u8* block = RegBytes(p->start, len * size);
    if (block == nullptr) return 0;
    if (len == 0) return 1;
    const u64 k = (p->count % len) * size;
    const u64 n = len * size;
    if (k == 0) return 1;
    // Elements are whole runs of bytes in memory order, so moving k
    // elements' worth of bytes moves them as units: the part that wraps
    // waits in the scratch buffer while the rest moves in one pass.
    if (p->direction != 0) {
        std::memcpy(scratch, block + n - k, k);
        std::memmove(block + k, block, n - k);
        std::memcpy(block, scratch, k);
    } else {
        std::memcpy(scratch, block, k);
        std::memmove(block, block + k, n - k);
        std::memcpy(block + n - k, scratch, k);
    }
    return 1;
}

}  // namespace

int MultiShiftBits(MultiPar* p) { return ShiftBits(p); }
int MultiShiftBytes(MultiPar* p) { return ShiftElements(p, 1); }
int MultiShiftWords(MultiPar* p) { return ShiftElements(p, 2); }
int MultiShiftDwords(MultiPar* p) { return ShiftElements(p, 4); }
int MultiRotateBits(MultiPar* p) { return RotateBits(p); }
int MultiRotateBytes(MultiPar* p) { return RotateElements(p, 1); }
int MultiRotateWords(MultiPar* p) { return RotateElements(p, 2); }
int MultiRotateDwords(MultiPar* p) { return RotateElements(p, 4); }

int MultiShift(u16 type, MultiPar* p) {
    switch (type) {
    case kMultiBits: return MultiShiftBits(p);
    case kMultiBytes: return MultiShiftBytes(p);
    case kMultiWords: return MultiShiftWords(p);
    case kMultiDwords: return MultiShiftDwords(p);
    default: return 1;
    }
}

int MultiRotate(u16 type, MultiPar* p) {
    switch (type) {
    case kMultiBits: return MultiRotateBits(p);
    case kMultiBytes: return MultiRotateBytes(p);
    case kMultiWords: return MultiRotateWords(p);
    case kMultiDwords: return MultiRotateDwords(p);
    default: return 1;
    }
}

namespace {

// A count below 1024 is the value itself, otherwise the 16-bit register at
// that bit address holds it; false when that register does not exist.
bool CountValue(u32 v, u32* out) {
    if (v < 1024) {
        *out = v;
        return true;
    }
    u8 b[2];
    if (PlcReg_Get(b, v, 16) != 1) return false;
    *out = GetLe16(b);
    return true;
}

u8 MultiInstruction(const u16* code, u32& ip, bool tok16, bool rotate, bool iec) {
    const u16 type = LadderLit(code, ip);
    MultiPar p{};
    bool ok = true;
    if (iec) {
        // A register pair holding the byte offset of the block.
        const u32 w = LadderWordOperand(code, ip, tok16);
        if (LadderWordValid(w, 2)) {
            const u32 offset = GetLe32(&plc_reg[2 * w]);
            ok = offset < kPlcRegBytes;
            p.start = ok ? kLinearBase + offset * 8 : 0;
        } else {
            ok = false;
        }
    } else {
        p.start = LadderBitOperand(code, ip, tok16);
    }
    p.length = LadderLitOrRegOperand(code, ip, tok16);
    const u32 count = LadderLitOrRegOperand(code, ip, tok16);
    const u32 dir = LadderBitOperand(code, ip, tok16);
    if (!rotate) {
        p.out = LadderBitOperand(code, ip, tok16);
        p.fill = LadderBitOperand(code, ip, tok16);
    }
    ok = ok && CountValue(count, &p.count) && LadderBitValid(dir);
    if (!ok) return 0;
    p.direction = GetBit(plc_reg, dir - kLinearBase) ? 1 : 0;
    return static_cast<u8>(rotate ? MultiRotate(type, &p) : MultiShift(type, &p));
}

}  // namespace

u8 Multi_Shift(const u16* code, u32& ip, u8, bool tok16) { return MultiInstruction(code, ip, tok16, false, false); }
u8 Multi_Rotate(const u16* code, u32& ip, u8, bool tok16) { return MultiInstruction(code, ip, tok16, true, false); }
u8 IEC_Multi_Shift(const u16* code, u32& ip, u8, bool tok16) { return MultiInstruction(code, ip, tok16, false, true); }
u8 IEC_Multi_Rotate(const u16* code, u32& ip, u8, bool tok16) { return MultiInstruction(code, ip, tok16, true, true); }

namespace {

using O = LOpd;
constexpr O B = O::kBit, Wd = O::kWord, K = O::kLit, L = O::kLitOrReg;

constexpr LadderRoutineRow kRoutines[] = {
    {118, 118, "MSHIFT", Multi_Shift, 7, {K, B, L, L, B, B, B}, nullptr},
    {119, 119, "MROTATE", Multi_Rotate, 5, {K, B, L, L, B}, nullptr},
    {529, 529, "MSHIFTX", IEC_Multi_Shift, 7, {K, Wd, L, L, B, B, B}, nullptr},
    {530, 530, "MROTATEX", IEC_Multi_Rotate, 5, {K, Wd, L, L, B}, nullptr},
};

}  // namespace

const std::span<const LadderRoutineRow> kMultiShiftRoutines{kRoutines};
