#include "link/datagram.h"

#include <cstring>

#include "core/plc_regs.h"
#include "link/command.h"
#include "platform/fpga.h"

DgDef DgDefTable[kDgEntries];

namespace {

// Largest reference whose register bit address (reference x 16) fits 32 bits.
constexpr u32 kDgMaxRef = 0x0FFFFFFF;

struct State {
    bool primed = false;  // the ageing clock has its first stamp
    u32 lastTick = 0;     // 100-us counter of the last ageing step
};
State g;

bool Valid(u8 index, u16 key) { return index < kDgEntries && DgDefTable[index].inUse == 1 && DgDefTable[index].key == key; }

// Request words after the index and key (data byte 4 on), and their count.
u32 RequestWords(u16* out) {
    u32 stored = CmdBuf.Stored();
    if (stored < 4 || CmdBuf.Truncated()) return 0;
    u32 n = (stored - 4) / 2;
    if (n > kDgMaxRegs + 2) n = kDgMaxRegs + 2;  // more can never be valid
    for (u32 i = 0; i < n; ++i) out[i] = GetLe16(&CmdBuf.data[4 + 2 * i]);
    return n;
}

u32 RequestWordCount() {
    u32 stored = CmdBuf.Stored();
    return stored < 4 || CmdBuf.Truncated() ? 0 : (stored - 4) / 2;
}

}  // namespace

void Datagram_Reset() {
    std::memset(DgDefTable, 0, sizeof DgDefTable);
    g = State{};
}

u8 Datagram_Create(u8 timeout, u16 key, const u16* words, u32 wordCount) {
    if (wordCount > kDgMaxRegs || (wordCount != 0 && words == nullptr)) return kDgRefused;
    // Turn the words into references: the first 0 word is an escape whose
    // following word is the upper half of every later reference.
    u32 refs[kDgMaxRegs + 2];
    u32 count = 0;
    u32 upper = 0;
    bool escaped = false;
    for (u32 i = 0; i < wordCount; ++i) {
        if (!escaped && words[i] == 0) {
            if (i + 1 >= wordCount) return kDgRefused;  // the upper word is missing
            escaped = true;
            upper = words[++i];
            continue;
        }
        refs[count++] = upper * 65536u + words[i];
    }
    if (count > kDgMaxRegs) return kDgRefused;
    for (u32 e = 0; e < kDgEntries; ++e) {
        DgDef& d = DgDefTable[e];
        if (d.inUse != 0) continue;
        d.inUse = 1;
        d.timeout = timeout;
        d.key = key;
        d.count = static_cast<u8>(count);
        std::memcpy(d.refs, refs, count * sizeof refs[0]);
        return static_cast<u8>(e);
    }
    return kDgRefused;
}

u8 Datagram_Delete(u8 index, u16 key) {
    if (index == 255) {
        for (DgDef& d : DgDefTable) d.inUse = 0;
        return 0;
    }
    if (index >= kDgEntries || DgDefTable[index].key != key) return kDgRefused;
    DgDefTable[index].inUse = 0;
    return index;
}

u8 Datagram_Read(u8 index, u16 key, u16* destination) {
    if (!Valid(index, key)) return kDgRefused;
    DgDef& d = DgDefTable[index];
    for (u32 i = 0; i < d.count; ++i) {
        u16 v = 0;
        if (d.refs[i] > kDgMaxRef || !PlcReg_Get(&v, d.refs[i] * 16u, 16)) return kDgRefused;
        destination[i] = v;
    }
    d.age = 0;
    return d.count;
}

u8 Datagram_Write(u8 index, u16 key, const u16* source, u32 wordCount) {
    if (!Valid(index, key)) return kDgRefused;
    DgDef& d = DgDefTable[index];
    if (wordCount != d.count) return kDgRefused;
    for (u32 i = 0; i < d.count; ++i) {
        u16 v = source[i];
        if (d.refs[i] > kDgMaxRef || !PlcReg_Set(d.refs[i] * 16u, &v, 16)) return kDgRefused;
    }
    d.age = 0;
    return index;
}

void Datagram_Check() {
    u32 now = FPGA_GetFrt();
    if (!g.primed) {
        g.primed = true;
        g.lastTick = now;
        return;
    }
    if (static_cast<u16>(now - g.lastTick) < 1001) return;
    for (DgDef& d : DgDefTable) {
        if (d.inUse != 1 || d.timeout == 0) continue;
        d.age++;
        if (d.age == d.timeout) d.inUse = 0;
    }
    g.lastTick = now;
}

void cmd_datagram_delete() {
    u8 r = CmdBuf.Stored() < 4 ? kDgRefused : Datagram_Delete(CmdBuf.data[1], GetLe16(&CmdBuf.data[2]));
    putbyte(r == kDgRefused ? kCmdNak : kCmdAck);
    CmdRun = 255;
}

void cmd_datagram_create() {
    u16 words[kDgMaxRegs + 2];
    u8 r = kDgRefused;
    if (CmdBuf.Stored() >= 4 && RequestWordCount() <= kDgMaxRegs) {
        u32 n = RequestWords(words);
        r = Datagram_Create(CmdBuf.data[1], GetLe16(&CmdBuf.data[2]), words, n);
    }
    put_packet(kCmdData, 1, &r);
    CmdRun = 255;
}

void cmd_datagram_write() {
    u16 words[kDgMaxRegs + 2];
    u8 r = kDgRefused;
    if (CmdBuf.Stored() >= 4 && RequestWordCount() <= kDgMaxRegs) {
        u32 n = RequestWords(words);
        r = Datagram_Write(CmdBuf.data[1], GetLe16(&CmdBuf.data[2]), words, n);
    }
    putbyte(r == kDgRefused ? kCmdNak : kCmdAck);
    CmdRun = 255;
}

void cmd_datagram_read() {
    u16 values[kDgMaxRegs];
    u8 r = CmdBuf.Stored() < 4 ? kDgRefused : Datagram_Read(CmdBuf.data[1], GetLe16(&CmdBuf.data[2]), values);
    if (r == kDgRefused) {
        putbyte(kCmdNak);
    } else {
        u8 out[2 * kDgMaxRegs];
        for (u32 i = 0; i < r; ++i) PutLe16(&out[2 * i], values[i]);
        put_packet(kCmdData, 2u * r, out);
    }
    CmdRun = 255;
}
