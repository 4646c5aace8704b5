#include "io/canopen_od.h"

#include "core/plc_regs.h"
#include "ladder/ladder_engine.h"

namespace {

struct Group {
    u16 first;
    u8 width;
};
// The CiA 405 groups of 40 indices each; outputs from 0xA480.
constexpr Group kGroups[] = {
    {0xA000, 8},  {0xA040, 8},  {0xA080, 1},  {0xA0C0, 16}, {0xA100, 16}, {0xA1C0, 32},
    {0xA200, 32}, {0xA240, 32}, {0xA480, 8},  {0xA4C0, 8},  {0xA500, 1},  {0xA540, 16},
    {0xA580, 16}, {0xA640, 32}, {0xA680, 32}, {0xA6C0, 32},
};
constexpr u16 kGroupSize = 40;
constexpr u16 kFirstOutputGroup = 0xA480;

bool IecModePossible() { return regPeers.iecVariablesKnown && regPeers.iecVariablesKnown() == 1; }

bool TargetAllowed(u16 index, u32 target, u16 firstGroupIndex) {
    if (CoIsIecRef(target)) return IecModePossible();
    const bool indexOk = (index >= 0x2000 && index <= 0x5FFF) || (index >= firstGroupIndex && index <= 0xA6FF);
    return indexOk && target >= 0x400 && target <= 0x10030FFF;
}

}  // namespace

int CANOpenGetODEntry(u16 index, u8 s, u32* address, u8* width) {
    const u32 sub = s;
    u32 a = 0;
    u8 w = 1;
    const u32 k = static_cast<u32>(index) - 0x2000;  // used by the 0x20xx rows only
    if (sub == 0 || sub == 255) return 0;
    if (index >= 0x2000 && index <= 0x2008) {
        a = 0x2000 + 254 * k + sub - 1;
    } else if (index >= 0x2009 && index <= 0x2011) {
        a = 0x2800 + 254 * (index - 0x2009) + sub - 1;
    } else if (index >= 0x2012 && index <= 0x201A) {
        a = (RegTokLen_16b ? 0x3000u : 0x10008000u) + 254 * (index - 0x2012) + sub - 1;
    } else if (index >= 0x201B && index <= 0x2023) {
        a = (RegTokLen_16b ? 0x3800u : 0x1001C000u) + 254 * (index - 0x201B) + sub - 1;
    } else if (index >= 0x2024 && index <= 0x202C) {
        a = 0x4000 + 16 * (254 * (index - 0x2024) + sub - 1);
        w = 16;
    } else if (index >= 0x202D && index <= 0x2035) {
        a = 0x6000 + 16 * (254 * (index - 0x202D) + sub - 1);
        w = 16;
    } else if (index >= 0x2036 && index <= 0x2037) {
        a = 0x600 + 254 * (index - 0x2036) + sub - 1;
    } else if (index == 0x2038) {
        a = 0x700 + sub - 1;
    } else if (index >= 0x2039 && index <= 0x203D) {
        a = 0x1800 + 254 * (index - 0x2039) + sub - 1;
    } else if (index == 0x203E) {
        a = 0xC00 + 16 * (sub - 1);
        w = 16;
    } else {
        const Group* g = nullptr;
        for (const Group& c : kGroups) {
            if (index >= c.first && index < c.first + kGroupSize) g = &c;
        }
        if (!g) return 0;
        u32 kk = index - g->first;
        // Output groups have no separate second bit or word group.
        if (g->first >= kFirstOutputGroup && (kk == 1 || kk == 3)) --kk;
        if (kk == 0) {
            a = 0x400 + sub - 1;
        } else if (kk == 1) {
            a = 0x500 + sub - 1;
        } else if (kk == 2) {
            a = 0x800 + 16 * (sub - 1);
        } else if (kk == 3) {
            a = 0xA00 + 16 * (sub - 1);
        } else {
            a = 16 * (0x407 + sub + 254 * kk);
        }
        w = g->width;
    }
    *address = a;
    *width = w;
    return 1;
}

int CANOpenSetData(u32 value, u16 index, u32 bits, u32 target) {
    if (bits == 0 || bits > 32 || !TargetAllowed(index, target, kFirstOutputGroup)) return 0;
    u8 b[4];
    PutLe32(b, value);
    if (bits == 1) {
        b[0] &= 1;
        return PlcReg_Set(target, b, 1);
    }
    if (bits % 8 == 0 && (CoIsIecRef(target) || (target & 7) == 0)) return PlcReg_Set(target, b, bits);
    if (CoIsIecRef(target)) {
        // A variable takes whole bytes: the other bits of its last byte are
        // kept.
        const u32 span = (bits + 7) / 8 * 8;
        u8 old[4] = {};
        if (!PlcReg_Get(old, target, span)) return 0;
        const u32 mask = (1u << bits) - 1;
        PutLe32(b, (GetLe32(old) & ~mask) | (value & mask));
        return PlcReg_Set(target, b, span);
    }
    // A field that does not start on a byte or does not fill its last one
    // goes bit by bit, so the bits around it stay.
    if (!PlcReg_Ptr(target, bits) || !PlcReg_Ptr(target + bits - 1, 1)) return 0;
    for (u32 i = 0; i < bits; ++i) {
        const u8 bit = static_cast<u8>((value >> i) & 1);
        if (!PlcReg_Set(target + i, &bit, 1)) return 0;
    }
    return 1;
}

int CANOpenGetData(u32* value, u16 index, u32 bits, u32 target) {
    if (bits == 0 || bits > 32 || !TargetAllowed(index, target, 0xA000)) return 0;
    u8 b[4] = {};
    u32 v = 0;
    if (bits == 1 || CoIsIecRef(target) || (target & 7) == 0) {
        const u32 span = bits == 1 ? 1 : (bits + 7) / 8 * 8;
        if (!PlcReg_Get(b, target, span)) return 0;
        v = GetLe32(b);
    } else {
        if (!PlcReg_Ptr(target + bits - 1, 1)) return 0;
        for (u32 i = 0; i < bits; ++i) {
            u8 bit = 0;
            if (!PlcReg_Get(&bit, target + i, 1)) return 0;
            v |= static_cast<u32>(bit & 1) << i;
        }
    }
    if (bits < 32) v &= (1u << bits) - 1;
    *value = v;
    return 1;
}

u32 CANOpenGetMsgData(const u8* data, u32 position, u32 length) {
    if (length == 0 || length > 32 || position > 64 || length > 64 - position) return 0;
    u64 all = 0;
    for (int i = 7; i >= 0; --i) all = (all << 8) | data[i];
    all >>= position;
    return static_cast<u32>(all & ((length == 32) ? 0xFFFFFFFFull : ((1ull << length) - 1)));
}

void CoPutMsgData(u8* data, u32 position, u32 length, u32 value) {
    if (length == 0 || length > 32 || position > 64 || length > 64 - position) return;
    u64 v = value & ((length == 32) ? 0xFFFFFFFFull : ((1ull << length) - 1));
    v <<= position;
    for (int i = 0; i < 8; ++i) data[i] |= static_cast<u8>(v >> (8 * i));
}

void CANOpenDWProcess(u8* bytes, u32* value, int direction) {
    if (direction == 1) {
        *value = GetLe32(bytes);
    } else {
        PutLe32(bytes, *value);
    }
}
