#include "iec/kernel/q4bind.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "iec/kernel/q4vmdb.h"

Q4WordBind VmDbWordInput_ptr[kBindWordCap];
Q4WordBind VmDbWordOutput_ptr[kBindWordCap];
Q4BitBind VmDbBitInput_ptr[kBindBitCap];
Q4BitBind VmDbBitOutput_ptr[kBindBitCap];
Q4BitBind VmDbBitSys_ptr[kBindSysBitCap];
Q4SysWordBind VmDbWordSR_ptr[kBindSysWordCap];
u32 WordInputEntries = 0, WordOutputEntries = 0, BoolInputEntries = 0, BoolOutputEntries = 0, WordSREntries = 0,
    BoolSysEntries = 0;
u8 FistScanRegFlag = 0;

namespace {

// The bindings are rebuilt when the database generation they were resolved
// for is no longer the current one.
struct State {
    u32 generation = 1;
    u32 resolved = 0;
};
State g;

constexpr u32 kTwoWay[16] = {0xC00, 0xC10, 0xC20, 0xC40, 0xC90, 0xDC0, 0xDD0, 0xDF0,
                             0xE00, 0xF80, 0xF90, 0xFD0, 0x1630, 0x1660, 0x16D0, 0x1770};

// Storage of the variable when at least width bytes of its table follow.
u8* Var(u32 token, u32 width) {
    u8* d = nullptr;
    u32 n = 0;
    return token && QuilletVmDbSpan(token, &d, &n) > 0 && n >= width ? d : nullptr;
}
u8* RegByte(u32 code) { return &plc_reg[(code - 0x400) / 8]; }

}  // namespace

u32 Q4Bind_RegisterCode(u32 i) {
    if (i < 256) return 0x400 + i;
    if (i < 512) return 0x500 + (i - 256);
    if (i < 768) return 0x600 + (i - 512);
    if (i < 1024) return 0x700 + (i - 768);
    if (i < 1056) return 0x800 + 16 * (i - 1024);
    if (i < 1088) return 0xA00 + 16 * (i - 1056);
    if (i < 1280) return 0xC00 + 16 * (i - 1088);
    if (i < 1344) return 0x10030000 + 16 * (i - 1280);
    if (i < 3392) return 0x2000 + (i - 1344);
    if (i < 5440) return 0x2800 + (i - 3392);
    if (i < 5952) return 0x4000 + 16 * (i - 5440);
    if (i < 6464) return 0x6000 + 16 * (i - 5952);
    return 0;
}

void Q4Bind_Clear() {
    WordInputEntries = WordOutputEntries = BoolInputEntries = BoolOutputEntries = WordSREntries = BoolSysEntries = 0;
    std::memset(VmDbWordInput_ptr, 0, sizeof VmDbWordInput_ptr);
    std::memset(VmDbWordOutput_ptr, 0, sizeof VmDbWordOutput_ptr);
    std::memset(VmDbBitInput_ptr, 0, sizeof VmDbBitInput_ptr);
    std::memset(VmDbBitOutput_ptr, 0, sizeof VmDbBitOutput_ptr);
    std::memset(VmDbBitSys_ptr, 0, sizeof VmDbBitSys_ptr);
    std::memset(VmDbWordSR_ptr, 0, sizeof VmDbWordSR_ptr);
}

void Q4Bind_Build(const u8* table) {
    Q4Bind_Clear();
    if (!table) return;
    for (u32 i = 0; i < 6464; ++i) {
        u32 token = GetLe32(table + 4 * i);
        if (!token) continue;
        u32 c = Q4Bind_RegisterCode(i);
        u8* var = Var(token, c >= 0x800 && !(c >= 0x2000 && c <= 0x2FFF) ? 2 : 1);
        if (c >= 0xC00 && c <= 0x17FF) {
            if (WordSREntries >= kBindSysWordCap) continue;
            Q4SysWordBind& e = VmDbWordSR_ptr[WordSREntries++];
            e = {c, token, RegByte(c), var, 0, 0, 0, 0};
            for (u32 k : kTwoWay)
                if (k == c) {
                    e.flags = 1;
                    VmDbWordSR_MinMax(&e.minimum, &e.maximum, static_cast<int>((c - 0xC00) / 16 + 1));
                }
        } else if (c >= 0x10030000 && c <= 0x10030FFF) {
            if (WordSREntries >= kBindSysWordCap) continue;
            VmDbWordSR_ptr[WordSREntries++] = {c, token, PlcReg_Ptr(c, 16), var, 0, 0, 0, 0};
        } else if ((c >= 0x800 && c <= 0x9FF) || (c >= 0x4000 && c <= 0x5FFF)) {
            if (WordInputEntries < kBindWordCap) VmDbWordInput_ptr[WordInputEntries++] = {c, token, RegByte(c), var, 0};
        } else if ((c >= 0xA00 && c <= 0xBFF) || (c >= 0x6000 && c <= 0x7FFF)) {
            if (WordOutputEntries < kBindWordCap) VmDbWordOutput_ptr[WordOutputEntries++] = {c, token, var, RegByte(c), 0};
        } else if ((c >= 0x400 && c <= 0x4FF) || (c >= 0x2000 && c <= 0x27FF)) {
            if (BoolInputEntries < kBindBitCap)
                VmDbBitInput_ptr[BoolInputEntries++] = {c, token, RegByte(c), var, static_cast<u8>(1u << (i & 7)), 0, 0,
                                                        static_cast<u8>(i & 7)};
        } else if ((c >= 0x500 && c <= 0x5FF) || (c >= 0x2800 && c <= 0x2FFF)) {
            if (BoolOutputEntries < kBindBitCap)
                VmDbBitOutput_ptr[BoolOutputEntries++] = {c, token, var, RegByte(c), static_cast<u8>(1u << (i & 7)),
                                                          static_cast<u8>(~(1u << (i & 7))), 0, static_cast<u8>(i & 7)};
        } else if (c >= 0x600 && c <= 0x7FF) {
            if (BoolSysEntries < kBindSysBitCap)
                VmDbBitSys_ptr[BoolSysEntries++] = {
                    c, token, var, RegByte(c), static_cast<u8>(1u << (i & 7)), static_cast<u8>(~(1u << (i & 7))), 0,
                    static_cast<u8>((i & 7) | (c >= 0x700 ? 0x10 : 0))};
        }
    }
    g.resolved = g.generation;
}

void Q4Bind_DatabaseChanged() { ++g.generation; }

void Q4Bind_Refresh() {
    if (g.resolved == g.generation) return;
    g.resolved = g.generation;
    for (u32 k = 0; k < WordInputEntries; ++k) VmDbWordInput_ptr[k].b = Var(VmDbWordInput_ptr[k].token, 2);
    for (u32 k = 0; k < WordOutputEntries; ++k) VmDbWordOutput_ptr[k].a = Var(VmDbWordOutput_ptr[k].token, 2);
    for (u32 k = 0; k < BoolInputEntries; ++k) VmDbBitInput_ptr[k].b = Var(VmDbBitInput_ptr[k].token, 1);
    for (u32 k = 0; k < BoolOutputEntries; ++k) VmDbBitOutput_ptr[k].a = Var(VmDbBitOutput_ptr[k].token, 1);
    for (u32 k = 0; k < BoolSysEntries; ++k) VmDbBitSys_ptr[k].a = Var(VmDbBitSys_ptr[k].token, 1);
    for (u32 k = 0; k < WordSREntries; ++k) VmDbWordSR_ptr[k].var = Var(VmDbWordSR_ptr[k].token, 2);
}
