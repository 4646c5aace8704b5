#include "link/promgr_move.h"

#include <cstring>

#include "iec/blocks/q4EnumQuilletVariables.h"

namespace {

u8 g_writeShift[kPmgrShiftBytes];

u16 Reg(const PromgrMessageBlock* m, u32 k) { return GetLe16(m->data + 2 * k); }
void SetReg(PromgrMessageBlock* m, u32 k, u16 v) { PutLe16(m->data + 2 * k, v); }
u32 Words(const PromgrMessageBlock* m) { return u32{m->count} * m->width; }

// --- 32-bit elements: the register pair in wire order (swapped when asked).
struct Pair {
    u16 a, b;
    bool operator==(const Pair&) const = default;
};
Pair RegPair(const PromgrMessageBlock* m, u32 k, bool swap) {
    u16 lo = Reg(m, 2 * k), hi = Reg(m, 2 * k + 1);
    return swap ? Pair{hi, lo} : Pair{lo, hi};
}
void SetRegPair(PromgrMessageBlock* m, u32 k, Pair p, bool swap) {
    SetReg(m, 2 * k, swap ? p.b : p.a);
    SetReg(m, 2 * k + 1, swap ? p.a : p.b);
}
Pair BufPair(const u16* buffer, u32 k) { return {buffer[2 * k], buffer[2 * k + 1]}; }
void SetBufPair(u16* buffer, u32 k, Pair p) {
    buffer[2 * k] = p.a;
    buffer[2 * k + 1] = p.b;
}
bool Swapped(const PromgrMessageBlock* m) { return (m->options & 0x10) != 0; }

// --- Bits: register side and buffer side.
bool RegBit(const PromgrMessageBlock* m, u32 k) {
    if (m->boolBytes) return m->data[k] != 0;
    const u32 b = m->bitOffset + k;
    return (m->data[b >> 3] >> (b & 7)) & 1;
}
void SetRegBit(PromgrMessageBlock* m, u32 k, bool v) {
    if (m->boolBytes) {
        m->data[k] = v ? 1 : 0;
        return;
    }
    const u32 b = m->bitOffset + k;
    u8& byte = m->data[b >> 3];
    byte = static_cast<u8>(v ? byte | (1u << (b & 7)) : byte & ~(1u << (b & 7)));
}
bool BufBit(const u16* buffer, u32 k) { return (reinterpret_cast<const u8*>(buffer)[k >> 3] >> (k & 7)) & 1; }
void SetBufBit(u16* buffer, u32 k, bool v) {
    u8& byte = reinterpret_cast<u8*>(buffer)[k >> 3];
    byte = static_cast<u8>(v ? byte | (1u << (k & 7)) : byte & ~(1u << (k & 7)));
}

// The change search shared by every kind: from `from`, the first element
// whose register side differs from the shadow; it and (unless single
// writes) the differing elements after it are copied into the shadow.
// Answers 1 with index, run and run index set, 0 (index 0) when none.
template <typename Differs, typename Copy>
int FindRun(PromgrMessageBlock* m, u32 from, bool single, Differs differs, Copy copy) {
    const u32 c = m->count;
    u32 k = from;
    while (k < c && !differs(k)) ++k;
    if (k >= c) {
        m->index = 0;
        return 0;
    }
    copy(k);
    u32 end = k + 1;
    if (!single)
        while (end < c && differs(end)) copy(end++);
    m->index = static_cast<u16>(k);
    m->runIndex = static_cast<u16>(k);
    m->run = static_cast<u16>(end - k);
    return 1;
}

}  // namespace

int PutRegs(PromgrMessageBlock* m) {
    for (u32 k = 0; k < Words(m); ++k) SetReg(m, k, m->read[k]);
    return 0;
}

int GetRegs(PromgrMessageBlock* m) {
    for (u32 k = 0; k < Words(m); ++k) m->write[k] = Reg(m, k);
    return 1;
}

int CovPutRegs(PromgrMessageBlock* m) {
    // A register the program changed since the last exchange keeps its value
    // (it goes out as a change); the others take what was read.
    for (u32 k = 0; k < Words(m); ++k) {
        if (Reg(m, k) != m->write[k]) continue;
        SetReg(m, k, m->read[k]);
        m->write[k] = m->read[k];
    }
    return 0;
}

int CmpRegs(PromgrMessageBlock* m) {
    return FindRun(
        m, m->index, (m->options & 1) != 0, [m](u32 k) { return Reg(m, k) != m->write[k]; },
        [m](u32 k) { m->write[k] = Reg(m, k); });
}

int CmpRegs_string(PromgrMessageBlock* m) {
    const u32 w = kPmgrStringWords;
    auto differs = [m, w](u32 k) {
        for (u32 j = 0; j < w; ++j)
            if (Reg(m, k * w + j) != m->write[k * w + j]) return true;
        return false;
    };
    auto copy = [m, w](u32 k) {
        for (u32 j = 0; j < w; ++j) m->write[k * w + j] = Reg(m, k * w + j);
    };
    return FindRun(m, m->index, true, differs, copy);
}

int PutDRegs(PromgrMessageBlock* m) {
    for (u32 k = 0; k < m->count; ++k) SetRegPair(m, k, BufPair(m->read, k), Swapped(m));
    return 0;
}

int GetDRegs(PromgrMessageBlock* m) {
    const bool wordOrder = (m->options & 0x100) && (GetLe16(m->record) & 0x100);
    const bool swap = Swapped(m) != wordOrder;
    for (u32 k = 0; k < m->count; ++k) SetBufPair(m->write, k, RegPair(m, k, swap));
    return 1;
}

int CovPutDRegs(PromgrMessageBlock* m) {
    for (u32 k = 0; k < m->count; ++k) {
        if (!(RegPair(m, k, Swapped(m)) == BufPair(m->write, k))) continue;
        const Pair v = BufPair(m->read, k);
        SetRegPair(m, k, v, Swapped(m));
        SetBufPair(m->write, k, v);
    }
    return 0;
}

int CmpDRegs(PromgrMessageBlock* m) {
    const bool swap = Swapped(m);
    return FindRun(
        m, m->index, (m->options & 1) != 0, [m, swap](u32 k) { return !(RegPair(m, k, swap) == BufPair(m->write, k)); },
        [m, swap](u32 k) { SetBufPair(m->write, k, RegPair(m, k, swap)); });
}

int PutBitPackedRegs(PromgrMessageBlock* m) {
    if (m->boolBytes) {
        QuilletUnPackBitData(reinterpret_cast<const u8*>(m->read), m->data, m->count);
        return 0;
    }
    for (u32 k = 0; k < m->count; ++k) SetRegBit(m, k, BufBit(m->read, k));
    return 0;
}

int GetBitPackedRegs(PromgrMessageBlock* m) {
    u8* out = reinterpret_cast<u8*>(m->write);
    if (m->boolBytes) {
        QuilletPackBitData(m->data, out, m->count);
        return 1;
    }
    // Only the message's own bits: the register bits after the range are
    // neither read nor sent.
    std::memset(out, 0, (u32{m->count} + 7) / 8);
    for (u32 k = 0; k < m->count; ++k) SetBufBit(m->write, k, RegBit(m, k));
    return 1;
}

int CovPutBitPackedRegs(PromgrMessageBlock* m) {
    for (u32 k = 0; k < m->count; ++k) {
        if (RegBit(m, k) != BufBit(m->write, k)) continue;
        const bool v = BufBit(m->read, k);
        SetRegBit(m, k, v);
        SetBufBit(m->write, k, v);
    }
    return 0;
}

int CmpBitPackedRegs(PromgrMessageBlock* m) {
    const int r = FindRun(
        m, m->index & ~7u, (m->options & 1) != 0, [m](u32 k) { return RegBit(m, k) != BufBit(m->write, k); },
        [m](u32 k) { SetBufBit(m->write, k, RegBit(m, k)); });
    if (r) m->runIndex = static_cast<u16>(m->index >> 3);
    return r;
}

u8* ShiftBitData(const u8* data, u32 shift, u32 bits) {
    shift &= 7;
    const u32 maxBits = (kPmgrShiftBytes - 1) * 8;
    if (bits > maxBits) bits = maxBits;
    const u32 out = (bits + 7) / 8;
    const u32 in = (shift + bits + 7) / 8;  // the source bytes the run covers
    for (u32 j = 0; j < out; ++j) {
        const u32 word = data[j] | (j + 1 < in ? u32{data[j + 1]} << 8 : 0u);
        g_writeShift[j] = static_cast<u8>(word >> shift);
    }
    return g_writeShift;
}

void QuilletPackBitData(const u8* bools, u8* destination, u32 count) { Quillet_Byte_To_Bit(bools, destination, count); }

void QuilletUnPackBitData(const u8* source, u8* bools, u32 count) { Quillet_Bit_To_Byte(source, bools, count); }
