#include "core/plc_regs.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/neighbour.h"
#include "platform/root.h"
#include "platform/rtclock.h"

alignas(8) u8 plc_reg[kPlcRegBytes];
alignas(8) u8 old_reg[kPlcRegBytes];
u8 io_force[kForceTableBytes];
RegPeers regPeers;

void RegPeers_Check(NeighbourCheck& check) {
    NEIGHBOUR_REQUIRE(check, regPeers, setMode);
    NEIGHBOUR_REQUIRE(check, regPeers, networkRestart);
    NEIGHBOUR_REQUIRE(check, regPeers, portRequest);
    NEIGHBOUR_REQUIRE(check, regPeers, menuOption);
    NEIGHBOUR_REQUIRE(check, regPeers, iecLoaded);
    NEIGHBOUR_REQUIRE(check, regPeers, iecVariablesKnown);
    NEIGHBOUR_REQUIRE(check, regPeers, onlineEditing);
    NEIGHBOUR_REQUIRE(check, regPeers, iecSpan);
    NEIGHBOUR_REQUIRE(check, regPeers, packBools);
    NEIGHBOUR_REQUIRE(check, regPeers, unpackBools);
    NEIGHBOUR_REQUIRE(check, regPeers, stopIec);
    NEIGHBOUR_REQUIRE(check, regPeers, identityImage);
    NEIGHBOUR_REQUIRE(check, regPeers, versionText);
}

namespace {

// ---------------------------------------------------------------------------
// System-register limits

constexpr u32 kReadOnlyMin = 1, kReadOnlyMax = 0;
constexpr u32 kU32Max = 0xFFFFFFFFu;

struct SrSpan {
    int first, last;  // SR numbers, inclusive
    u8 width;
    u32 min, max;
};

// Registers wider than one word are followed by width-0 rows, which can only
// be written through the register that heads them.
constexpr SrSpan kSrSpans[] = {
    {1, 2, 16, 0, 0},
    {3, 3, 16, 0, 28},
    {4, 4, 16, kReadOnlyMin, kReadOnlyMax},
    {5, 5, 16, 0, 4},
    {6, 8, 16, kReadOnlyMin, kReadOnlyMax},
    {9, 10, 16, 0, 65535},
    {23, 28, 16, kReadOnlyMin, kReadOnlyMax},
    {29, 29, 16, 1, 127},
    {30, 30, 16, 0, 4},
    {31, 31, 16, kReadOnlyMin, kReadOnlyMax},
    {32, 32, 16, 1, 40},
    {33, 34, 16, 0, 1},
    {35, 35, 32, kReadOnlyMin, kReadOnlyMax},
    {36, 36, 0, kReadOnlyMin, kReadOnlyMax},
    {37, 43, 16, kReadOnlyMin, kReadOnlyMax},
    {44, 44, 96, 0, 59},
    {45, 45, 0, 0, 59},
    {46, 46, 0, 0, 23},
    {47, 47, 48, 1, 31},
    {48, 48, 0, 1, 12},
    {49, 49, 0, 1900, 1999},
    {50, 50, 0, 1, 7},
    {51, 52, 16, kReadOnlyMin, kReadOnlyMax},
    {53, 53, 32, kReadOnlyMin, kReadOnlyMax},
    {54, 54, 0, kReadOnlyMin, kReadOnlyMax},
    {55, 56, 16, kReadOnlyMin, kReadOnlyMax},
    {57, 57, 16, 0, 255},
    {58, 58, 16, 0, 65535},
    {59, 60, 16, kReadOnlyMin, kReadOnlyMax},
    {61, 61, 0, kReadOnlyMin, kReadOnlyMax},
    {62, 62, 16, 0, 65535},
    {63, 63, 16, 0, 0},
    {64, 65, 16, kReadOnlyMin, kReadOnlyMax},
    {72, 77, 16, kReadOnlyMin, kReadOnlyMax},
    {84, 89, 16, kReadOnlyMin, kReadOnlyMax},
    {96, 101, 16, kReadOnlyMin, kReadOnlyMax},
    {108, 112, 16, kReadOnlyMin, kReadOnlyMax},
    {125, 130, 16, kReadOnlyMin, kReadOnlyMax},
    {131, 131, 80, kReadOnlyMin, kReadOnlyMax},
    {132, 135, 0, kReadOnlyMin, kReadOnlyMax},
    {136, 138, 16, kReadOnlyMin, kReadOnlyMax},
    {139, 139, 32, kReadOnlyMin, kReadOnlyMax},
    {140, 140, 0, kReadOnlyMin, kReadOnlyMax},
    {141, 141, 16, kReadOnlyMin, kReadOnlyMax},
    {142, 142, 0, kReadOnlyMin, kReadOnlyMax},
    {143, 143, 32, kReadOnlyMin, kReadOnlyMax},
    {144, 144, 0, kReadOnlyMin, kReadOnlyMax},
    {145, 145, 32, kReadOnlyMin, kReadOnlyMax},
    {146, 146, 0, kReadOnlyMin, kReadOnlyMax},
    {147, 148, 16, kReadOnlyMin, kReadOnlyMax},
    {149, 149, 32, kReadOnlyMin, kReadOnlyMax},
    {150, 150, 0, kReadOnlyMin, kReadOnlyMax},
    {151, 151, 16, 0, 65535},
    {152, 152, 16, 0, 4},
    {153, 153, 16, 0, 15},
    {154, 154, 16, 0, 65535},
    {155, 155, 16, 135, 1500},
    {156, 156, 16, 0, 65535},
    {163, 166, 16, 0, 65535},
    {167, 167, 16, 2, 50},
    {168, 170, 16, 0, 65535},
    {171, 171, 16, 0, 480},
    {172, 172, 16, 0, 800},
    {173, 173, 16, 0, 1},
    {174, 175, 16, 0, 65535},
    {180, 180, 16, 0, 2},
    {181, 181, 32, 0, kU32Max},
    {182, 182, 16, 0, 65535},
    {183, 185, 16, 0, 1},
    {186, 186, 16, 5, 1200},
    {187, 187, 16, kReadOnlyMin, kReadOnlyMax},
    {188, 189, 16, 0, 1000},
    {190, 190, 16, kReadOnlyMin, kReadOnlyMax},
    {191, 192, 16, 0, 1000},
};

// Pairs and groups whose head is wide and whose other words have width 0.
struct SrWide {
    int head;
    u8 width;
    int words;
    u32 min, max;
};
constexpr SrWide kSrWide[] = {
    {11, 32, 2, kReadOnlyMin, kReadOnlyMax},  {13, 32, 2, kReadOnlyMin, kReadOnlyMax},
    {15, 32, 2, kReadOnlyMin, kReadOnlyMax},  {17, 32, 2, kReadOnlyMin, kReadOnlyMax},
    {19, 32, 2, kReadOnlyMin, kReadOnlyMax},  {21, 32, 2, kReadOnlyMin, kReadOnlyMax},
    {66, 96, 6, kReadOnlyMin, kReadOnlyMax},  {78, 96, 6, kReadOnlyMin, kReadOnlyMax},
    {90, 96, 6, kReadOnlyMin, kReadOnlyMax},  {102, 96, 6, kReadOnlyMin, kReadOnlyMax},
    {113, 32, 2, kReadOnlyMin, kReadOnlyMax}, {115, 32, 2, kReadOnlyMin, kReadOnlyMax},
    {117, 32, 2, kReadOnlyMin, kReadOnlyMax}, {119, 32, 2, kReadOnlyMin, kReadOnlyMax},
    {121, 32, 2, kReadOnlyMin, kReadOnlyMax}, {123, 32, 2, kReadOnlyMin, kReadOnlyMax},
    {157, 32, 2, 0, kU32Max},                 {159, 32, 2, 0, kU32Max},
    {161, 32, 2, 0, kU32Max},                 {176, 32, 2, 0, kU32Max},
    {178, 32, 2, 0, kU32Max},
};

constexpr std::array<SrInfo, 192> BuildSrInfo() {
    std::array<SrInfo, 192> t{};
    // Anything left unset would be a hole in the table: make it read-only.
    for (SrInfo& r : t) r = SrInfo{16, kReadOnlyMin, kReadOnlyMax};
    for (const SrSpan& s : kSrSpans)
        for (int n = s.first; n <= s.last; ++n) t[n - 1] = SrInfo{s.width, s.min, s.max};
    for (const SrWide& w : kSrWide) {
        t[w.head - 1] = SrInfo{w.width, w.min, w.max};
        for (int n = w.head + 1; n < w.head + w.words; ++n) t[n - 1] = SrInfo{0, w.min, w.max};
    }
    return t;
}

constexpr std::array<SrInfo, 192> kSrInfo = BuildSrInfo();

// ---------------------------------------------------------------------------
// Address decode

constexpr u32 kLinearFirst = 0x400, kLinearEnd = 0xCC400;
constexpr u32 kEtFirst = 0x10008000, kEtEnd = 0x1000C000;
constexpr u32 kEmFirst = 0x1001C000, kEmEnd = 0x10020000;
constexpr u32 kEsrFirst = 0x10030000, kEsrEnd = 0x10031000;
constexpr u64 kAddressLimit = 0x10031010;
constexpr u32 kSrFirst = 0xC00, kSrLast = 0x17FF, kSr9 = 0xC80;
constexpr u32 kNoOffset = 0xFFFFFFFFu;

// Byte offset of a register bit address inside the register memory, or
// kNoOffset. Sums are taken in 64 bits so that a huge bit count cannot wrap
// past the checks.
inline u32 DecodeOffset(u32 address, u32 bits) {
    if (address < kLinearFirst || u64{address} + bits > kAddressLimit) return kNoOffset;
    u32 byte;
    if (address < kLinearEnd)
        byte = (address - kLinearFirst) >> 3;
    else if (address >= kEtFirst && address < kEtEnd)
        byte = kRegET + ((address - kEtFirst) >> 3);
    else if (address >= kEmFirst && address < kEmEnd)
        byte = kRegEM + ((address - kEmFirst) >> 3);
    else if (address >= kEsrFirst && address < kEsrEnd)
        byte = kRegESR + ((address - kEsrFirst) >> 3);
    else
        return kNoOffset;
    if (u64{byte} + (u64{bits} + 7) / 8 > kPlcRegBytes) return kNoOffset;
    return byte;
}

inline bool TopBitsSet(u32 address) { return (address & 0xC0000000u) == 0xC0000000u; }

// An address that names a variable of the running IEC application.
inline bool IsLiveIecRef(u32 address) {
    return TopBitsSet(address) && address != 0xFFFFFFFFu && regPeers.iecLoaded() == 1 &&
           regPeers.iecVariablesKnown() == 1;
}

inline u32 IecClass(u32 address) { return (address >> 26) & 7u; }
inline u32 IecBit(u32 address) { return (address >> 20) & 63u; }

// Bytes of one element for single-bit access; 0 for classes without it.
inline u32 BitElementBytes(u32 cls) {
    switch (cls) {
        case 0:
        case 6: return 1;
        case 1: return 2;
        case 2: return 4;
        case 3: return 8;
        default: return 0;
    }
}

inline u64 LoadLe(const u8* p, u32 n) {
    u64 v = 0;
    for (u32 i = 0; i < n; ++i) v |= u64{p[i]} << (8 * i);
    return v;
}
inline void StoreLe(u8* p, u32 n, u64 v) {
    for (u32 i = 0; i < n; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

// Read of an IEC variable straight from the VM database.
int IecGet(u8* dst, u32 address, u32 bits) {
    const u32 cls = IecClass(address);
    const u32 bit = IecBit(address);
    if (cls == 7) return 1;
    u8* p;
    u32 avail;
    int r = regPeers.iecSpan(address, &p, &avail);
    if (r < 0) return 0;
    if (r == 0) return 1;  // a string that was never built: nothing to copy
    if (bits == 1) {
        const u32 n = BitElementBytes(cls);
        if (n == 0) {
            dst[0] = 0;
            return 1;
        }
        if (avail < n) return 0;
        dst[0] = bit < 8 * n ? static_cast<u8>((LoadLe(p, n) >> bit) & 1u) : 0;
        return 1;
    }
    const u32 count = bits / 8;
    if (cls == 6) {
        // One byte per BOOL becomes one bit; whole destination bytes only.
        if (u64{count} * 8 > avail) return 0;
        regPeers.packBools(p, dst, count * 8);
        return 1;
    }
    if (cls == 4 && !(address & 0x20000000u)) {
        // Never read past the string's own storage; the rest reads as 0.
        const u32 n = count < avail ? count : avail;
        std::memcpy(dst, p, n);
        std::memset(dst + n, 0, count - n);
        return 1;
    }
    if (count > avail) return 0;
    if (bit != 0 && BitElementBytes(cls) != 0) {
        // The value starting at that bit: the following bytes of the table
        // (the neighbouring element) supply the upper bits, zeros past its end.
        const u32 shift = bit & 7, skip = bit >> 3;
        for (u32 i = 0; i < count; ++i) {
            const u32 lo = skip + i, hi = lo + 1;
            const u32 v = (lo < avail ? p[lo] : 0u) | ((hi < avail ? p[hi] : 0u) << 8);
            dst[i] = static_cast<u8>(v >> shift);
        }
        return 1;
    }
    std::memcpy(dst, p, count);
    return 1;
}

// Write of an IEC variable straight into the VM database.
int IecSet(u32 address, const u8* src, u32 bits) {
    const u32 cls = IecClass(address);
    const u32 bit = IecBit(address);
    if (cls == 7) return 1;
    u8* p;
    u32 avail;
    int r = regPeers.iecSpan(address, &p, &avail);
    if (r < 0) return 0;
    if (r == 0) return 1;
    if (bits == 1) {
        const u32 n = BitElementBytes(cls);
        if (n == 0 || bit >= 8 * n) return 1;  // no such bit: left unchanged
        if (avail < n) return 0;
        u64 v = LoadLe(p, n);
        const u64 mask = u64{1} << bit;
        v = src[0] == 1 ? (v | mask) : (v & ~mask);
        StoreLe(p, n, v);
        return 1;
    }
    const u32 count = bits / 8;
    if (cls == 6) {
        if (u64{count} * 8 > avail) return 0;
        regPeers.unpackBools(src, p, count * 8);
        return 1;
    }
    if (bit != 0) return 1;
    if (cls == 4 && !(address & 0x20000000u)) {
        // The text is cut at the capacity, and the length never exceeds what
        // was copied: the source is only read within the bytes given.
        const u32 capacity = p[-2];
        const u32 n = count < capacity ? count : capacity;
        const u8* nul = static_cast<const u8*>(std::memchr(src, 0, n));
        const u32 length = nul ? static_cast<u32>(nul - src) : n;
        std::memcpy(p, src, n);
        p[-1] = static_cast<u8>(length);
        p[length] = 0;
        return 1;
    }
    if (count > avail) return 0;
    std::memcpy(p, src, count);
    return 1;
}

enum { kSrRefused = 0, kSrDone = 1, kSrContinue = 2 };

// Limits and side effects of a write that starts in the system registers.
int SrWrite(u32 address, const u8* src, u32 bits) {
    if (address == 0xEB0) {  // SR44: clock
        if (bits == 96) {
            RTCTime t{GetLe16(src), GetLe16(src + 2), GetLe16(src + 4), GetLe16(src + 6),
                      GetLe16(src + 8), GetLe16(src + 10), SR_Get(50)};
            return RtcSet(&t);
        }
        if (bits == 48) return RtcTimeSet(GetLe16(src), GetLe16(src + 2), GetLe16(src + 4));
        return kSrRefused;
    }
    if (address == 0xEE0) {  // SR47: date
        if (bits == 48) return RtcDateSet(GetLe16(src), GetLe16(src + 2), GetLe16(src + 4));
        return kSrRefused;
    }
    const SrInfo& row = kSrInfo[(address - kSrFirst) / 16];
    if (bits > row.width) return kSrRefused;
    const u32 valueBytes = (bits + 7) / 8 < 4 ? (bits + 7) / 8 : 4;
    const u32 value = static_cast<u32>(LoadLe(src, valueBytes));
    if (value < row.min || value > row.max) return kSrRefused;
    switch (address) {
        case 0xC40:  // SR5: mode change, which writes SR5 itself
            regPeers.setMode(static_cast<u8>(value));
            return kSrDone;
        case 0xDC0:  // SR29: node id; the controller occupies SR61 ids from it
            if (static_cast<i64>(value) > 128 - static_cast<i64>(SR_Get(61))) return kSrRefused;
            SR_Put(29, static_cast<u16>(value));
            regPeers.networkRestart();
            SR_Put(4, static_cast<u16>(SR_Get(4) & ~0x20u));
            return kSrDone;
        case 0xDD0:  // SR30
            SR_Put(30, static_cast<u16>(value));
            regPeers.networkRestart();
            return kSrDone;
        case 0xE10:  // SR34: port request, never stored
            regPeers.portRequest(static_cast<u8>(value));
            return kSrDone;
        case 0xDF0:
        case 0x1640:
        case 0x1660:
        case 0x1730:
        case 0x1760:
        case 0x1780:
        case 0x1790:
            PutLe16(&plc_reg[(address - kLinearFirst) >> 3], static_cast<u16>(value));
            return kSrDone;
        case 0x1630:  // SR164 bits 0 and 1: menu options
        case 0x1631:
            regPeers.menuOption(static_cast<int>(address - 0x1630), static_cast<int>(value));
            return kSrContinue;
        default:
            return kSrContinue;
    }
}

// ---------------------------------------------------------------------------
// CRC-16/MODBUS

constexpr std::array<u16, 256> BuildCrcTab() {
    std::array<u16, 256> t{};
    for (u32 i = 0; i < 256; ++i) {
        u16 c = static_cast<u16>(i);
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<u16>((c >> 1) ^ 0xA001) : static_cast<u16>(c >> 1);
        t[i] = c;
    }
    return t;
}
constexpr std::array<u16, 256> CrcTab = BuildCrcTab();

// ---------------------------------------------------------------------------
// Forces

constexpr u32 kForceEntryBytes = 6;
constexpr u32 kForceMaxEntries = (kForceTableBytes - 4) / kForceEntryBytes;  // 42
static_assert(kForceMaxEntries == 42);

void ApplyForces(u32 first, u32 count) {
    for (u32 i = first; i < first + count; ++i) {
        const u8* e = &io_force[4 + i * kForceEntryBytes];
        const u32 word = GetLe16(e);
        if (word >= kPlcRegBytes / 2) continue;  // names no register: skipped
        u8* w = &plc_reg[2 * word];
        PutLe16(w, static_cast<u16>((GetLe16(w) & GetLe16(e + 2)) | GetLe16(e + 4)));
    }
}

u32 ForceInputCount() {
    const u32 n = GetLe16(io_force);
    return n < kForceMaxEntries ? n : kForceMaxEntries;
}

// ---------------------------------------------------------------------------
// Clear rules

void ClearBytes(u32 from, u32 count) { std::memset(&plc_reg[from], 0, count); }

void ClearSr(int first, int last) {
    for (int n = first; n <= last; ++n) SR_Put(n, 0);
}

constexpr char kWatchBat[8] = {'W', 'A', 'T', 'C', 'H', 'B', 'A', 'T'};

}  // namespace

const SrInfo sr_info[192] = {
#define R(i) kSrInfo[i]
#define R8(i) R(i), R(i + 1), R(i + 2), R(i + 3), R(i + 4), R(i + 5), R(i + 6), R(i + 7)
#define R64(i) R8(i), R8(i + 8), R8(i + 16), R8(i + 24), R8(i + 32), R8(i + 40), R8(i + 48), R8(i + 56)
    R64(0), R64(64), R64(128)
#undef R64
#undef R8
#undef R
};

u8* PlcReg_Ptr(u32 address, u32 bits) {
    if (IsLiveIecRef(address)) {
        // Bounded by the variable's table (string: its text and NUL). Class 7
        // names no storage, so there is no pointer to give.
        u8* p;
        u32 avail;
        if (regPeers.iecSpan(address, &p, &avail) <= 0 || (u64{bits} + 7) / 8 > avail) return nullptr;
        return p;
    }
    const u32 off = DecodeOffset(address, bits);
    return off == kNoOffset ? nullptr : &plc_reg[off];
}

int PlcReg_Get(void* destination, u32 address, u32 bits) {
    u8* dst = static_cast<u8*>(destination);
    u32 bitInByte = address & 7;
    u32 span = bits;
    if (IsLiveIecRef(address)) {
        if (regPeers.onlineEditing() == 0) return IecGet(dst, address, bits);
        // During an on-line change the variable is read in place; a single
        // bit is the element's bit, not the low bits of the index.
        if (bits == 1) {
            const u32 bit = IecBit(address);
            bitInByte = bit & 7;
            span = bit + 1;
        }
    }
    const u8* p = PlcReg_Ptr(address, span);
    if (p == nullptr) return 0;
    if (bits == 1) {
        if (span > 1) p += (span - 1) >> 3;
        dst[0] = (p[0] >> bitInByte) & 1u;
    } else {
        std::memcpy(dst, p, bits / 8);
    }
    return 1;
}

int PlcReg_Set(u32 address, const void* source, u32 bits) {
    const u8* src = static_cast<const u8*>(source);
    if (address >= kSrFirst && address <= kSrLast && address != kSr9) {
        const int r = SrWrite(address, src, bits);
        if (r != kSrContinue) return r;
    }
    if (TopBitsSet(address)) {
        if (regPeers.iecVariablesKnown() == 1) {
            if (regPeers.iecLoaded() == 1 && address != 0xFFFFFFFFu)
                return regPeers.onlineEditing() ? 0 : IecSet(address, src, bits);
        } else if (regPeers.iecLoaded() == 1) {
            return 0;
        }
    }
    u8* p = PlcReg_Ptr(address, bits);
    if (p == nullptr) return 0;
    if (bits == 1) {
        const u8 m = static_cast<u8>(1u << (address & 7));
        p[0] = src[0] ? static_cast<u8>(p[0] | m) : static_cast<u8>(p[0] & ~m);
    } else {
        std::memcpy(p, src, bits / 8);
    }
    return 1;
}

u8* OldReg_Ptr(u32 address, u32 bits) {
    const u32 off = DecodeOffset(address, bits);
    return off == kNoOffset ? nullptr : &old_reg[off];
}

void PlcForceInputs() { ApplyForces(0, ForceInputCount()); }

void PlcForceOutputs() {
    const u32 in = ForceInputCount();
    const u32 out = GetLe16(io_force + 2);
    ApplyForces(in, out < kForceMaxEntries - in ? out : kForceMaxEntries - in);
}

void PlcOldInit() { std::memcpy(old_reg, plc_reg, kPlcRegBytes); }

void PlcTmpClear() {
    ClearBytes(kRegK, 32);
    ClearBytes(kRegQ, 256);
    ClearBytes(kRegT, 256);
    ClearBytes(kRegAQ, 1024);
    ClearBytes(kRegET, 2048);
    S_Put(9, false);
    S_Put(10, false);
    SR_Put(57, 255);
    SR_Put(58, 0);
    SR_Put(62, 0);
    SR_Put(184, 0);
}

void PlcRegClear() {
    if (regPeers.iecLoaded() == 1) {
        // The IEC application keeps its own retained values: a cold clear
        // stops it and forgets them instead of clearing registers.
        regPeers.stopIec();
        const std::string path = Root_HostPath("/mnt/cfg/q4.ret");
        if (std::remove(path.c_str()) != 0) std::printf("Remove_error: %s\n", std::strerror(errno));
        return;
    }
    PlcTmpClear();
    ClearBytes(kRegIG, 32);
    ClearBytes(kRegQG, 32);
    ClearBytes(kRegAIG, 64);
    ClearBytes(kRegAQG, 64);
    ClearBytes(kRegI, 256);
    ClearBytes(kRegM, 256);
    ClearBytes(kRegAI, 1024);
    ClearBytes(kRegR, kRegET - kRegR);
    ClearBytes(kRegEM, 2048);
}

namespace {

// "15.50 ..." gives 1550: characters 1, 2, 4 and 5; anything but a digit
// (a leading blank) counts as 0.
u16 VersionNumber(const char* text) {
    static constexpr int kPos[4] = {0, 1, 3, 4};
    static constexpr int kWeight[4] = {1000, 100, 10, 1};
    const size_t len = std::strlen(text);
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<size_t>(kPos[i]) < len ? text[kPos[i]] : ' ';
        if (c >= '0' && c <= '9') n += (c - '0') * kWeight[i];
    }
    return static_cast<u16>(n);
}

void ClockToSr(const RTCTime& t) {
    const u16 f[7] = {t.second, t.minute, t.hour, t.day, t.month, t.year, t.dayOfWeek};
    for (int i = 0; i < 7; ++i) SR_Put(44 + i, f[i]);
}

RTCTime ClockFromSr() {
    return RTCTime{SR_Get(44), SR_Get(45), SR_Get(46), SR_Get(47), SR_Get(48), SR_Get(49), SR_Get(50)};
}

}  // namespace

void PlcRegInit(int cold) {
    if (cold != 0) {
        std::memcpy(&plc_reg[kRegColdMarker], kWatchBat, sizeof kWatchBat);
        PlcRegClear();
    } else {
        PlcTmpClear();
    }

    SR_PutDword(35, GetBe32(regPeers.identityImage() + 10));
    SR_Put(6, 0);
    SR_Put(38, VersionNumber(regPeers.versionText()));

    dstActive = static_cast<u8>(ESR_Get(19));
    SR_Put(59, 0);
    SR_Put(60, 2);
    ClearSr(40, 42);
    SR_Put(43, 255);

    RTCTime now{};
    RtcGet(&now);
    ClockToSr(now);
    if (!RtcCheck(&now)) {
        const RTCTime rtc_default{0, 0, 0, 1, 1, 1900, 0};
        ClockToSr(rtc_default);
        RtcSet(&rtc_default);
        SR_Put(4, static_cast<u16>(SR_Get(4) | 0x200));
    }

    const RTCTime local = ClockFromSr();
    u16 utc[6];
    for (int i = 0; i < 6; ++i) utc[i] = ESR_Get(20 + i);
    const i16 offset = static_cast<i16>(ESR_Get(18));
    SyncUtcWithRtc(&local, utc, offset, static_cast<u8>(ESR_Get(19)));
    for (int i = 0; i < 6; ++i) ESR_Put(20 + i, utc[i]);
    timezoneValue = offset;
    timezoneAdvance = timezoneModField = offset >= 0 ? 1 : 0;

    static constexpr int kZeroed[] = {149, 150, 51, 56, 58, 63, 153, 156, 166, 168, 171,
                                      172, 174, 175, 176, 178, 181, 182};
    for (int n : kZeroed) SR_Put(n, 0);
    ClearSr(187, 192);
    SR_PutDword(53, 0xFFFFFFFFu);
    SR_Put(155, 1500);

    for (int n = 1; n <= 8; ++n) S_Put(n, n == 7);
    S_Put(14, false);
    S_Put(15, false);
    for (int n = 17; n <= 208; ++n) S_Put(n, false);

    for (int n = 31; n <= 256; ++n) ESR_Put(n, 0);
    ClearBytes(kRegSettings, 26);
}

int PlcBatCheck() { return std::memcmp(&plc_reg[kRegColdMarker], kWatchBat, sizeof kWatchBat) == 0 ? 1 : 0; }

void VmDbWordSR_MinMax(u16* minimum, u16* maximum, int row) {
    if (row < 0 || row >= 192) {
        *minimum = 0;
        *maximum = 0;
        return;
    }
    *minimum = static_cast<u16>(sr_info[row].min);
    *maximum = static_cast<u16>(sr_info[row].max);
}

u16 crc16(const void* data, u32 length) { return crc16_next(data, length, 0xFFFF); }

u16 crc16_next(const void* data, u32 length, u16 crc) {
    const u8* p = static_cast<const u8*>(data);
    for (u32 i = 0; i < length; ++i) crc = static_cast<u16>((crc >> 8) ^ CrcTab[(crc ^ p[i]) & 0xFF]);
    return crc;
}

u32 UTIL_GetDword(const u16* words) { return words[0] | (static_cast<u32>(words[1]) << 16); }

void UTIL_PutDword(u16* words, u32 value) {
    words[0] = static_cast<u16>(value);
    words[1] = static_cast<u16>(value >> 16);
}

float UTIL_GetFloat(const u16* words) {
    const u32 bits = UTIL_GetDword(words);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

int Main_KernelBuild() {
    char text[10];
    for (int i = 0; i < 5; ++i) {
        u16 w = ESR_Get(9 + i);
        text[2 * i] = static_cast<char>(w & 0xFF);
        text[2 * i + 1] = static_cast<char>(w >> 8);
    }
    static const int kPos[4] = {4, 5, 7, 8};
    static const int kWeight[4] = {1000, 100, 10, 1};
    int build = 0;
    for (int k = 0; k < 4; ++k) {
        char c = text[kPos[k]];
        if (c < '0' || c > '9') return 0;
        build += (c - '0') * kWeight[k];
    }
    return build;
}
