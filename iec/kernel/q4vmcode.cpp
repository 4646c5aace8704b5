#include "iec/kernel/q4vmcode.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

// ---------------------------------------------------------------------------
// Checked raw reads
// ---------------------------------------------------------------------------

bool Q4Code_InRange(const Q4Code& c, u32 offset, u32 length) {
    return c.data != nullptr && offset <= c.size && length <= c.size - offset;
}

u16 Q4Code_U16(const Q4Code& c, u32 offset) { return Q4Code_InRange(c, offset, 2) ? GetLe16(c.data + offset) : 0; }

u32 Q4Code_U32(const Q4Code& c, u32 offset) { return Q4Code_InRange(c, offset, 4) ? GetLe32(c.data + offset) : 0; }

u32 Q4Code_Header(const Q4Code& c, u32 word) { return word < kQ4HdrWords ? Q4Code_U32(c, word * 4) : 0; }

i32 Q4Code_TextLen(const Q4Code& c, u32 offset, u32 maxLen) {
    if (!Q4Code_InRange(c, offset, 0)) return -1;
    u32 avail = c.size - offset;
    if (maxLen < avail) avail = maxLen;
    const void* nul = std::memchr(c.data + offset, 0, avail);
    if (!nul) return -1;
    return static_cast<i32>(static_cast<const u8*>(nul) - (c.data + offset));
}

namespace {

constexpr u32 kInitListOffset[] = {kQ4InitData8, kQ4InitData16, kQ4InitData32, kQ4InitData64, kQ4InitTime, kQ4InitStrings};
constexpr u32 kSizingOffset[] = {kQ4SizeData8, kQ4SizeData16, kQ4SizeData32, kQ4SizeData64, kQ4SizeTime, kQ4SizeString};
constexpr u32 kClassArea[] = {kDbData8, kDbData16, kDbData32, kDbData64, kDbTime, kDbStringPointers};
constexpr int kSizingError[] = {9, 10, 11, 19, 13, 20};
constexpr u32 kValueBytes[] = {1, 2, 4, 8, 4, 0};
constexpr u32 kEntryBytes[] = {4, 4, 8, 12, 8, 0};
constexpr u32 kValueAt[] = {2, 2, 4, 4, 4, 2};

u32 Sizing(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrSizing); }
u32 InitDir(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrInitDir); }
u32 App(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrApplication); }

u16 SizingU16(const Q4Code& c, u32 field) {
    u32 s = Sizing(c);
    return s ? Q4Code_U16(c, s + field) : 0;
}

// Byte length of the value-list entry at off, 0 when it does not fit.
u32 InitEntryLen(const Q4Code& c, Q4InitClass cls, u32 off) {
    if (cls == kQ4InitClsString) {
        if (!Q4Code_InRange(c, off, 3)) return 0;
        u32 len = 4u + c.data[off + 2];
        if (((off + len) & 1) != 0) ++len;
        // The last entry may omit its pad byte.
        u32 need = 4u + c.data[off + 2];
        return Q4Code_InRange(c, off, need) ? len : 0;
    }
    return Q4Code_InRange(c, off, kEntryBytes[cls]) ? kEntryBytes[cls] : 0;
}

// Walks a value list; false when it leaves the image before its end marker.
bool InitListValid(const Q4Code& c, Q4InitClass cls) {
    u32 off = Q4Code_U32(c, InitDir(c) + kInitListOffset[cls]);
    if (off == 0) return true;
    for (;;) {
        if (!Q4Code_InRange(c, off, 2)) return false;
        if (Q4Code_U16(c, off) == 0) return true;
        u32 len = InitEntryLen(c, cls, off);
        if (len == 0) return false;
        off += len;
    }
}

u32 ListHeader(const Q4Code& c, u32 word) { return Q4Code_Header(c, word); }

u16 ListEntries(const Q4Code& c, u32 word) {
    u32 off = ListHeader(c, word);
    if (off == 0) return 0;
    u16 n = Q4Code_U16(c, off + 2);
    // Entries that would lie past the image end do not exist.
    if (!Q4Code_InRange(c, off + 4, static_cast<u32>(n) * kQ4ListEntryBytes)) return 0;
    return n;
}

struct Block {
    u32 off, len;
};

bool Overlap(const Block& a, const Block& b) {
    return static_cast<u64>(a.off) < static_cast<u64>(b.off) + b.len &&
           static_cast<u64>(b.off) < static_cast<u64>(a.off) + a.len;
}

bool TaskRecordValid(const Q4Code& c, u32 rec) {
    if (!Q4Code_InRange(c, rec, 4)) return false;
    if (Q4Code_TextLen(c, rec + 4) < 0) return false;
    u32 list = rec + Q4Code_U16(c, rec + 2);
    return Q4Code_InRange(c, list, 2);
}

bool MapValid(const Q4Code& c) {
    u32 m = Q4Code_Header(c, kQ4HdrMap);
    if (m == 0 || !Q4Code_InRange(c, m, 16)) return m == 0;
    if (Q4Code_U16(c, m) == 0 || Q4Code_U16(c, m + 14) != 0x8000) return true;  // no map: sizing refuses it
    u16 alloc = Q4Code_U16(c, m + 2), count = Q4Code_U16(c, m + 4), mapFlags = Q4Code_U16(c, m + 6);
    if (count > alloc) return false;
    u32 rec = m + Q4Code_U16(c, m);
    for (u32 i = 0; i < count; ++i) {
        if (!Q4Code_InRange(c, rec, 2)) return false;
        u16 size = Q4Code_U16(c, rec);
        if (size == 0) break;
        if (size < 16 || !Q4Code_InRange(c, rec, size)) return false;
        u16 type = Q4Code_U16(c, rec + 2), ext = Q4Code_U16(c, rec + 10), flags = Q4Code_U16(c, rec + 14);
        if ((flags & 0x01) && Q4Code_TextLen(c, rec + 16, size - 16u) < 0) return false;
        if ((flags & 0x200) && !(mapFlags & 0x200)) return false;
        u32 extNeed = ((flags & 0x100) ? 8u : 0u) + ((flags & 0x08) ? 16u : 0u);
        if ((type == kQ4TypeComplex) && !(flags & 0x100)) return false;
        if (extNeed && (ext < 16 || static_cast<u32>(ext) + extNeed > size)) return false;
        rec += size;
    }
    return true;
}

bool ExtOffsetsValid(const Q4Code& c) {
    static constexpr u32 kOffsetEntries[] = {kQ4ExtModbus,     kQ4ExtAsi,     kQ4ExtStaticEvents, kQ4ExtBindCnx,
                                             kQ4ExtBindVars,   kQ4ExtBusDrivers, kQ4ExtCtSegment, kQ4ExtCtTypes,
                                             kQ4ExtBusIo,      kQ4ExtRecipes, kQ4ExtVarLists,    kQ4ExtStringTables,
                                             kQ4ExtSignals,    kQ4ExtCan,     kQ4ExtInterrupts,  kQ4ExtInstanceNames,
                                             kQ4ExtBindVersions};
    for (u32 e : kOffsetEntries) {
        u32 v = 0;
        if (Q4VMCode_GetExt(c, e, &v) && v != 0 && !Q4Code_InRange(c, v, 1)) return false;
    }
    for (u32 e : {kQ4ExtStringTables, kQ4ExtSignals}) {
        u32 t = 0;
        if (!Q4VMCode_GetExt(c, e, &t) || t == 0) continue;
        if (!Q4Code_InRange(c, t, 4)) return false;
        u16 n = Q4Code_U16(c, t + 2);
        if (!Q4Code_InRange(c, t + 4, 4u * n)) return false;
        for (u32 k = 1; k <= n; ++k)
            if (!Q4Code_InRange(c, Q4Code_U32(c, t + 4 * k), 1)) return false;
    }
    u32 ct = 0;
    if (Q4VMCode_GetExt(c, kQ4ExtCtSegment, &ct) && ct != 0) {
        if (!Q4Code_InRange(c, ct, 8)) return false;
        u32 alloc = Q4Code_U32(c, ct);
        if (Q4Code_U32(c, ct + 4) > alloc) return false;
        u32 p = ct + 8;
        for (;;) {
            if (!Q4Code_InRange(c, p, 1)) return false;
            u8 len = c.data[p];
            if (len == 0) break;
            if (!Q4Code_InRange(c, p, 5u + len)) return false;
            u32 at = GetLe32(c.data + p + 1);
            // A record that would land outside the segment is a broken image.
            if (at > alloc || len > alloc - at) return false;
            p += 5u + len;
        }
    }
    return true;
}

}  // namespace

u32 Q4VMCode_ExtLevel(u32 entry) {
    static constexpr u8 kLevel[kQ4ExtDirMaxEntry + 1] = {0, 1,  2,  3,  4,  4,  4,  5,  6,  7,  8,  9, 10,
                                                        12, 13, 14, 14, 15, 16, 17, 18, 19, 22, 0, 24};
    return entry <= kQ4ExtDirMaxEntry ? kLevel[entry] : 0;
}

u32 Q4VMCode_ExtEntries(u32 level) {
    u32 n = 0;
    for (u32 k = 1; k <= kQ4ExtDirMaxEntry; ++k)
        if (Q4VMCode_ExtLevel(k) != 0 && Q4VMCode_ExtLevel(k) <= level) n = k;
    return n;
}

u32 Q4VMCode_GetExtLevel(const Q4Code& c) {
    u32 d = Q4Code_Header(c, kQ4HdrExtDir);
    return d ? Q4Code_U32(c, d) : 0;
}

bool Q4VMCode_GetExt(const Q4Code& c, u32 entry, u32* value) {
    u32 level = Q4VMCode_ExtLevel(entry);
    u32 d = Q4Code_Header(c, kQ4HdrExtDir);
    if (level == 0 || d == 0 || Q4VMCode_GetExtLevel(c) < level || !Q4Code_InRange(c, d + 4 * entry, 4)) {
        if (value) *value = 0;
        return false;
    }
    if (value) *value = Q4Code_U32(c, d + 4 * entry);
    return true;
}

namespace {
u32 ExtOr0(const Q4Code& c, u32 entry) {
    u32 v = 0;
    Q4VMCode_GetExt(c, entry, &v);
    return v;
}
}  // namespace

// ---------------------------------------------------------------------------
// Check
// ---------------------------------------------------------------------------

int Q4VMCode_CheckCode(const Q4Code& c) {
    if (!c.data || c.size < kQ4HeaderBytes) return 2;
    if ((Q4Code_Header(c, kQ4HdrFormat) & 0xF) != 1) return 2;
    u32 sig = Q4Code_Header(c, kQ4HdrSignature);
    if (!Q4Code_InRange(c, sig, 6) || std::memcmp(c.data + sig, "Q4RTI", 6) != 0) return 3;
    if (!Q4Code_InRange(c, sig + 16, 3) || std::memcmp(c.data + sig + 16, "1.0", 3) != 0) return 4;

    // Fixed blocks: inside the image, clear of the header and of each other.
    u32 extLevel = Q4VMCode_GetExtLevel(c);
    Block fixed[] = {
        {sig, 19},
        {App(c), kQ4ApplicationBytes},
        {Sizing(c), kQ4SizingBytes},
        {InitDir(c), kQ4InitDirBytes},
        {Q4Code_Header(c, kQ4HdrProgCount), kQ4ProgCountBytes},
        {Q4Code_Header(c, kQ4HdrExtDir), 4 + 4 * Q4VMCode_ExtEntries(extLevel)},
    };
    for (size_t i = 0; i < std::size(fixed); ++i) {
        if (fixed[i].off < kQ4HeaderBytes || !Q4Code_InRange(c, fixed[i].off, fixed[i].len)) return 2;
        for (size_t j = 0; j < i; ++j)
            if (Overlap(fixed[i], fixed[j])) return 2;
    }

    // Optional sections (offset 0: absent) must lie after the header.
    for (u32 w : {kQ4HdrCustomFuncs, kQ4HdrClasses, kQ4HdrTasks, kQ4HdrExternals, kQ4HdrInstances, kQ4HdrIoDef,
                  kQ4HdrProgTable, kQ4HdrMap}) {
        u32 off = Q4Code_Header(c, w);
        if (off != 0 && (off < kQ4HeaderBytes || !Q4Code_InRange(c, off, 4))) return 2;
    }
    for (u32 w : {kQ4HdrCustomFuncs, kQ4HdrClasses}) {
        u32 off = ListHeader(c, w);
        if (off && !Q4Code_InRange(c, off + 4, static_cast<u32>(Q4Code_U16(c, off + 2)) * kQ4ListEntryBytes)) return 2;
    }

    // Instance list: ends inside the image, within the declared count.
    if (u32 ib = Q4Code_Header(c, kQ4HdrInstances)) {
        if (!Q4Code_InRange(c, ib, kQ4InstanceHeaderBytes)) return 2;
        u32 limit = Q4Code_U16(c, ib);  // instance count - 1 = records 1..limit
        u32 n = 0;
        for (u32 p = ib + kQ4InstanceHeaderBytes;; p += kQ4InstanceEntryBytes, ++n) {
            if (!Q4Code_InRange(c, p, 4)) return 2;
            if (Q4Code_U16(c, p + 2) == 0) break;
            if (!Q4Code_InRange(c, p, kQ4InstanceEntryBytes) || n >= limit) return 2;
        }
        if (u32 names = Q4VMCode_GetInstanceNames(c)) {
            u32 p = names;
            for (u32 i = 0; i < n; ++i) {
                i32 len = Q4Code_TextLen(c, p);
                if (len < 0) return 2;
                if (len == 0 && i == 0) break;  // no names
                p += static_cast<u32>(len) + 1;
            }
        }
    }

    // External-variable list and program table end inside the image.
    if (u32 xv = Q4Code_Header(c, kQ4HdrExternals)) {
        for (u32 p = xv;; p += 4) {
            if (!Q4Code_InRange(c, p, 4)) return 2;
            if (Q4Code_U16(c, p + 2) == 0) break;
        }
    }
    if (u32 pt = Q4Code_Header(c, kQ4HdrProgTable)) {
        for (u32 p = pt;; p += kQ4ProgEntryBytes) {
            if (!Q4Code_InRange(c, p, 4)) return 2;
            u32 code = Q4Code_U32(c, p);
            if (code == 0) break;
            if (!Q4Code_InRange(c, p, kQ4ProgEntryBytes) || code < kQ4HeaderBytes || !Q4Code_InRange(c, code, 2))
                return 2;
        }
    }

    // Task chain: records inside the image, moving forward.
    if (u32 rec = Q4Code_Header(c, kQ4HdrTasks)) {
        for (u32 i = 0; i <= kQ4MaxTasks; ++i) {
            if (!TaskRecordValid(c, rec)) return 2;
            u16 dist = Q4Code_U16(c, rec);
            if (dist == 0) break;
            rec += dist;
        }
    }

    // Initial values, string capacities and the retain record.
    for (u32 k = 0; k <= kQ4InitClsString; ++k)
        if (!InitListValid(c, static_cast<Q4InitClass>(k))) return 2;
    if (u32 caps = Q4Code_U32(c, InitDir(c) + kQ4InitStringCaps))
        if (Q4Code_TextLen(c, caps) < 0) return 2;
    if (u32 types = Q4Code_U32(c, InitDir(c) + kQ4InitVarTypes))
        if (!Q4Code_InRange(c, types, 1)) return 2;
    if (u32 ret = Q4Code_U32(c, InitDir(c) + kQ4InitRetain))
        if (!Q4Code_InRange(c, ret, kQ4RetainRecordBytes)) return 2;

    if (!ExtOffsetsValid(c) || !MapValid(c)) return 2;
    return 0;
}

// ---------------------------------------------------------------------------
// Identity
// ---------------------------------------------------------------------------

void Q4VMCode_GetAppName(const Q4Code& c, char out[16]) {
    std::memset(out, 0, 16);
    u32 a = App(c);
    if (!a || !Q4Code_InRange(c, a, 16)) return;
    for (u32 i = 0; i < 15 && c.data[a + i]; ++i) out[i] = static_cast<char>(c.data[a + i]);
}

u32 Q4VMCode_GetCycleTime(const Q4Code& c) { return App(c) ? Q4Code_U32(c, App(c) + 24) : 0; }
u16 Q4VMCode_GetStartPaused(const Q4Code& c) { return App(c) ? Q4Code_U16(c, App(c) + 32) : 0; }
u32 Q4VMCode_GetFullBuildStamp(const Q4Code& c) { return App(c) ? Q4Code_U32(c, App(c) + 36) : 0; }
u32 Q4VMCode_GetSfcCrc(const Q4Code& c) { return App(c) ? Q4Code_U32(c, App(c) + 40) : 0; }
u32 Q4VMCode_GetPassword(const Q4Code& c) { return ExtOr0(c, kQ4ExtPassword); }
u32 Q4VMCode_GetLayoutStamp(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrLayoutStamp); }

// ---------------------------------------------------------------------------
// Counts
// ---------------------------------------------------------------------------

Q4ClassSizing Q4VMCode_GetClassSizing(const Q4Code& c, Q4InitClass cls) {
    u32 f = kSizingOffset[cls];
    return Q4ClassSizing{SizingU16(c, f), SizingU16(c, f + 2), SizingU16(c, f + 4)};
}

namespace {
u16 PlusOne(u16 v) { return static_cast<u16>(v + 1); }
}  // namespace

u16 Q4VMCode_GetNbData8(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeData8)); }
u16 Q4VMCode_GetNbData16(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeData16)); }
u16 Q4VMCode_GetNbData32(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeData32)); }
u16 Q4VMCode_GetNbData64(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeData64)); }
u16 Q4VMCode_GetNbTime(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeTime)); }
u16 Q4VMCode_GetNbActiveTime(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeActiveTime)); }
u16 Q4VMCode_GetNbStep(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeSteps)); }
u16 Q4VMCode_GetNbTrans(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeTrans)); }
u16 Q4VMCode_GetNbXV(const Q4Code& c) { return PlusOne(SizingU16(c, kQ4SizeXvAlloc)); }

u16 Q4VMCode_GetNbFBInstance(const Q4Code& c) {
    u32 ib = Q4Code_Header(c, kQ4HdrInstances);
    return ib ? PlusOne(Q4Code_U16(c, ib)) : 1;
}

u16 Q4VMCode_GetNbCustomFunc(const Q4Code& c) {
    u32 l = ListHeader(c, kQ4HdrCustomFuncs);
    return l ? PlusOne(Q4Code_U16(c, l)) : 1;
}

u16 Q4VMCode_GetNbProg(const Q4Code& c) {
    u32 p = Q4Code_Header(c, kQ4HdrProgCount);
    return p ? PlusOne(Q4Code_U16(c, p)) : 1;
}

u16 Q4VMCode_GetNbProgAlloc(const Q4Code& c) {
    u32 slots = ExtOr0(c, kQ4ExtProgSlots);
    u16 n = Q4VMCode_GetNbProg(c);
    return slots > n ? static_cast<u16>(std::min<u32>(slots, 0xFFFF)) : n;
}

u16 Q4VMCode_GetNbProgWithStack(const Q4Code& c) {
    u16 n = 0;
    Q4ProgEntry e;
    for (u16 i = 0; Q4VMCode_GetProg(c, i, &e); ++i)
        if (e.kind == 0) ++n;
    return n;
}

u16 Q4VMCode_GetNbLockFlags(const Q4Code& c) {
    u16 m = 0;
    for (u32 f : kSizingOffset) m = std::max(m, SizingU16(c, f));
    return PlusOne(m);
}

u16 Q4VMCode_GetNbString(const Q4Code& c, u32* bufferSize) {
    if (bufferSize) {
        u32 total = 0;
        u16 n = Q4VMCode_GetStringCapCount(c);
        for (u16 i = 1; i <= n; ++i) total += Q4VMCode_GetStringCap(c, i) + kQ4StrOverhead;
        u32 minimum = Sizing(c) ? Q4Code_U32(c, Sizing(c) + kQ4SizeStringMin) : 0;
        *bufferSize = std::max(total, minimum);
    }
    return PlusOne(SizingU16(c, kQ4SizeString));
}

u16 Q4VMCode_GetCallStackSize(const Q4Code& c) {
    u32 p = Q4Code_Header(c, kQ4HdrProgCount);
    u16 s = p ? Q4Code_U16(c, p + 2) : 0;
    return s ? s : 16;
}

u16 Q4VMCode_GetCallStackAllocSize(const Q4Code& c) {
    return static_cast<u16>(Q4VMCode_GetCallStackSize(c) * (Q4VMCode_GetNbProgWithStack(c) + 1));
}

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

u16 Q4VMCode_GetClassCount(const Q4Code& c) { return ListEntries(c, kQ4HdrClasses); }
u16 Q4VMCode_GetCustomFuncCount(const Q4Code& c) { return ListEntries(c, kQ4HdrCustomFuncs); }

namespace {
void Name16(const u8* p, char out[17]) {
    u32 i = 0;
    for (; i < 16 && p[i]; ++i) out[i] = static_cast<char>(p[i]);
    std::memset(out + i, 0, 17 - i);
}
}  // namespace

bool Q4VMCode_GetClass(const Q4Code& c, u16 i, Q4ClassEntry* out) {
    if (i >= Q4VMCode_GetClassCount(c)) return false;
    u32 e = ListHeader(c, kQ4HdrClasses) + 4 + static_cast<u32>(i) * kQ4ListEntryBytes;
    out->classNumber = GetLe16(c.data + e);
    out->useCount = GetLe16(c.data + e + 2);
    Name16(c.data + e + 4, out->name);
    return true;
}

bool Q4VMCode_GetCustomFunc(const Q4Code& c, u16 i, char name[17]) {
    if (i >= Q4VMCode_GetCustomFuncCount(c)) return false;
    u32 e = ListHeader(c, kQ4HdrCustomFuncs) + 4 + static_cast<u32>(i) * kQ4ListEntryBytes;
    Name16(c.data + e + 4, name);
    return true;
}

u16 Q4VMCode_GetInstanceCount(const Q4Code& c) {
    u32 ib = Q4Code_Header(c, kQ4HdrInstances);
    if (!ib) return 0;
    u16 n = 0;
    for (u32 p = ib + kQ4InstanceHeaderBytes; n < 0xFFFF; p += kQ4InstanceEntryBytes, ++n)
        if (!Q4Code_InRange(c, p, kQ4InstanceEntryBytes) || Q4Code_U16(c, p + 2) == 0) break;
    return n;
}

bool Q4VMCode_GetInstance(const Q4Code& c, u16 i, Q4InstanceEntry* out) {
    u32 ib = Q4Code_Header(c, kQ4HdrInstances);
    if (!ib || i >= Q4VMCode_GetInstanceCount(c)) return false;
    u32 p = ib + kQ4InstanceHeaderBytes + static_cast<u32>(i) * kQ4InstanceEntryBytes;
    *out = Q4InstanceEntry{Q4Code_U16(c, p), Q4Code_U16(c, p + 2), Q4Code_U32(c, p + 4)};
    return true;
}

u32 Q4VMCode_GetWishedFBIRawSize(const Q4Code& c) {
    u32 ib = Q4Code_Header(c, kQ4HdrInstances);
    return ib ? Q4Code_U32(c, ib + 12) : 0;
}

u32 Q4VMCode_GetInstanceNames(const Q4Code& c) { return ExtOr0(c, kQ4ExtInstanceNames); }

u16 Q4VMCode_GetXvListCount(const Q4Code& c) {
    u32 xv = Q4Code_Header(c, kQ4HdrExternals);
    if (!xv) return 0;
    u16 n = 0;
    for (u32 p = xv; n < 0xFFFF && Q4Code_InRange(c, p, 4) && Q4Code_U16(c, p + 2) != 0; p += 4) ++n;
    return n;
}

bool Q4VMCode_GetXv(const Q4Code& c, u16 i, Q4XvEntry* out) {
    if (i >= Q4VMCode_GetXvListCount(c)) return false;
    u32 p = Q4Code_Header(c, kQ4HdrExternals) + 4u * i;
    *out = Q4XvEntry{Q4Code_U16(c, p), Q4Code_U16(c, p + 2)};
    return true;
}

u16 Q4VMCode_GetTaskCount(const Q4Code& c) {
    u32 rec = Q4Code_Header(c, kQ4HdrTasks);
    if (!rec) return 0;
    u16 n = 0;
    while (n <= kQ4MaxTasks && TaskRecordValid(c, rec)) {
        ++n;
        u16 dist = Q4Code_U16(c, rec);
        if (dist == 0) break;
        rec += dist;
    }
    return n;
}

bool Q4VMCode_GetTask(const Q4Code& c, u16 i, Q4TaskEntry* out) {
    if (i >= Q4VMCode_GetTaskCount(c)) return false;
    u32 rec = Q4Code_Header(c, kQ4HdrTasks);
    for (u16 k = 0; k < i; ++k) rec += Q4Code_U16(c, rec);
    *out = Q4TaskEntry{rec + 4, rec + Q4Code_U16(c, rec + 2)};
    return true;
}

u16 Q4VMCode_GetProgTableCount(const Q4Code& c) {
    u32 pt = Q4Code_Header(c, kQ4HdrProgTable);
    if (!pt) return 0;
    u16 n = 0;
    for (u32 p = pt; n < 0xFFFF; p += kQ4ProgEntryBytes, ++n)
        if (!Q4Code_InRange(c, p, kQ4ProgEntryBytes) || Q4Code_U32(c, p) == 0) break;
    return n;
}

bool Q4VMCode_GetProg(const Q4Code& c, u16 i, Q4ProgEntry* out) {
    if (i >= Q4VMCode_GetProgTableCount(c)) return false;
    u32 p = Q4Code_Header(c, kQ4HdrProgTable) + static_cast<u32>(i) * kQ4ProgEntryBytes;
    *out = Q4ProgEntry{Q4Code_U32(c, p), Q4Code_U32(c, p + 4), Q4Code_U16(c, p + 8)};
    return true;
}

bool Q4VMCode_NextInit(const Q4Code& c, Q4InitClass cls, u32* cursor, Q4InitValue* out) {
    u32 off = *cursor ? *cursor : Q4Code_U32(c, InitDir(c) + kInitListOffset[cls]);
    if (off == 0 || !Q4Code_InRange(c, off, 2)) return false;
    u16 index = Q4Code_U16(c, off);
    if (index == 0) return false;
    u32 len = InitEntryLen(c, cls, off);
    if (len == 0) return false;
    out->index = index;
    out->value = c.data + off + kValueAt[cls];
    out->length = cls == kQ4InitClsString ? 1u + c.data[off + 2] : kValueBytes[cls];
    *cursor = off + len;
    return true;
}

u16 Q4VMCode_GetStringCapCount(const Q4Code& c) {
    u32 caps = Q4Code_U32(c, InitDir(c) + kQ4InitStringCaps);
    if (!caps) return 0;
    i32 n = Q4Code_TextLen(c, caps);
    return n < 0 ? 0 : static_cast<u16>(std::min<i32>(n, 0xFFFF));
}

u8 Q4VMCode_GetStringCap(const Q4Code& c, u16 i) {
    if (i == 0 || i > Q4VMCode_GetStringCapCount(c)) return 0;
    return c.data[Q4Code_U32(c, InitDir(c) + kQ4InitStringCaps) + i - 1];
}

u32 Q4VMCode_GetInitOptions(const Q4Code& c) { return Q4Code_U32(c, InitDir(c) + kQ4InitOptions); }
u32 Q4VMCode_GetVarTypeList(const Q4Code& c) { return Q4Code_U32(c, InitDir(c) + kQ4InitVarTypes); }
u32 Q4VMCode_GetRetainRecord(const Q4Code& c) { return Q4Code_U32(c, InitDir(c) + kQ4InitRetain); }
u32 Q4VMCode_GetIODef(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrIoDef); }
u32 Q4VMCode_GetMap(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrMap); }

u32 Q4VMCode_GetCTSegAllocSize(const Q4Code& c) {
    u32 ct = ExtOr0(c, kQ4ExtCtSegment);
    return ct ? Q4Code_U32(c, ct) : 0;
}

u32 Q4VMCode_GetCTSegUsedSize(const Q4Code& c) {
    u32 ct = ExtOr0(c, kQ4ExtCtSegment);
    return ct ? Q4Code_U32(c, ct + 4) : 0;
}

bool Q4VMCode_NextCtInit(const Q4Code& c, u32* cursor, Q4CtInit* out) {
    u32 p = *cursor;
    if (p == 0) {
        u32 ct = ExtOr0(c, kQ4ExtCtSegment);
        if (!ct) return false;
        p = ct + 8;
    }
    if (!Q4Code_InRange(c, p, 1) || c.data[p] == 0) return false;
    u8 len = c.data[p];
    if (!Q4Code_InRange(c, p, 5u + len)) return false;
    *out = Q4CtInit{len, GetLe32(c.data + p + 1), c.data + p + 5};
    *cursor = p + 5u + len;
    return true;
}

u32 Q4VMCode_GetCTTypeDef(const Q4Code& c) { return ExtOr0(c, kQ4ExtCtTypes); }
u32 Q4VMCode_GetCanDef(const Q4Code& c) { return ExtOr0(c, kQ4ExtCan); }
u32 Q4VMCode_GetBusDrv(const Q4Code& c) { return ExtOr0(c, kQ4ExtBusDrivers); }
u32 Q4VMCode_StaticEvents(const Q4Code& c) { return ExtOr0(c, kQ4ExtStaticEvents); }
u32 Q4VMCode_MBClientConfig(const Q4Code& c) { return ExtOr0(c, kQ4ExtModbus); }
u32 Q4VMCode_AsiConfig(const Q4Code& c) { return ExtOr0(c, kQ4ExtAsi); }
u32 Q4VMCode_GetRecipes(const Q4Code& c) { return ExtOr0(c, kQ4ExtRecipes); }
u32 Q4VMCode_GetVLsts(const Q4Code& c) { return ExtOr0(c, kQ4ExtVarLists); }
i32 Q4VMCode_GetHeapSize(const Q4Code& c) { return static_cast<i32>(ExtOr0(c, kQ4ExtHeapSize)); }

int Q4VMCode_GetEAX(const Q4Code& c, u32* connections, u32* variables) {
    u32 cnx = ExtOr0(c, kQ4ExtBindCnx), vars = ExtOr0(c, kQ4ExtBindVars);
    if (connections) *connections = cnx;
    if (variables) *variables = vars;
    return cnx != 0 && vars != 0;
}

namespace {
u32 TableEntry(const Q4Code& c, u32 entry, u32 n) {
    u32 t = ExtOr0(c, entry);
    if (!t || n == 0 || n > Q4Code_U16(c, t + 2)) return 0;
    return Q4Code_U32(c, t + 4 * n);
}
}  // namespace

int Q4VMCode_GetDefStringTable(const Q4Code& c) {
    u32 t = ExtOr0(c, kQ4ExtStringTables);
    return t && Q4Code_U16(c, t + 2) >= 1;
}
u32 Q4VMCode_GetNbIOs(const Q4Code& c) { return ExtOr0(c, kQ4ExtIoCount); }
u32 Q4VMCode_GetBusIOList(const Q4Code& c) { return ExtOr0(c, kQ4ExtBusIo); }
u32 Q4VMCode_GetPublishedList(const Q4Code& c) { return Q4Code_Header(c, kQ4HdrMap); }
int Q4VMCode_IsCCPure(const Q4Code& c) { return (ExtOr0(c, kQ4ExtFlags12) & 1) ? 1 : 0; }
int Q4VMCode_IsCodeDebug(const Q4Code& c) {
    return (Q4VMCode_GetExtLevel(c) >= 20 && (ExtOr0(c, kQ4ExtFlags21) & 2)) ? 1 : 0;
}
u32 Q4VMCode_GetITs(const Q4Code& c) { return ExtOr0(c, kQ4ExtInterrupts); }
u32 Q4VMCode_GetITCount(const Q4Code& c) {
    if (!Q4VMCode_GetITs(c)) return 0;
    return Q4VMCode_GetExtLevel(c) >= 20 ? 64 : 16;
}

u32 Q4VMCode_GetStringTable(const Q4Code& c, u32 n) { return TableEntry(c, kQ4ExtStringTables, n); }
u32 Q4VMCode_GetSignal(const Q4Code& c, u32 n) { return TableEntry(c, kQ4ExtSignals, n); }

u32 Q4VMCode_GetEATableVers(const Q4Code& c, u32 n) {
    u32 t = ExtOr0(c, kQ4ExtBindVersions);
    return t ? Q4Code_U32(c, t + 4 * n) : 0;
}

// ---------------------------------------------------------------------------
// Into the VM database
// ---------------------------------------------------------------------------

namespace {

int ClassSizing(const Q4Code& c, u8* db, Q4InitClass cls) {
    if (!db) return 1;
    Q4ClassSizing s = Q4VMCode_GetClassSizing(c, cls);
    VmDbDesc d = Q4VM_GetDesc(db, kClassArea[cls]);
    // The boundary must stay inside the table too: the variables from the old
    // boundary up to C are cleared at an on-line change.
    if (s.used >= d.allocated || s.declared >= d.allocated) return kSizingError[cls];
    if (cls == kQ4InitClsTime && s.used >= s.allocated) return kSizingError[cls];
    d.used = static_cast<u16>(s.used + 1);
    d.boundary = static_cast<u16>(s.declared + 1);
    Q4VM_PutDesc(db, kClassArea[cls], d);
    return 0;
}

void ApplyInit(const Q4Code& c, u8* db, Q4InitClass cls, int all) {
    if (!db) return;
    VmDbDesc d = Q4VM_GetDesc(db, kClassArea[cls]);
    u32 cursor = 0;
    Q4InitValue v;
    while (Q4VMCode_NextInit(c, cls, &cursor, &v)) {
        if (v.index >= d.used || (!all && v.index < d.boundary)) continue;
        if (cls == kQ4InitClsString) {
            if (u8* s = Q4Tools_String(db, v.index)) Q4Str_Force(s, v.value);
            continue;
        }
        if (u8* p = Q4Tools_Element(db, kClassArea[cls], v.index)) std::memcpy(p, v.value, v.length);
    }
}

}  // namespace

int Q4VMCode_GetData8Sizing(const Q4Code& c, u8* db) { return ClassSizing(c, db, kQ4InitClsData8); }
int Q4VMCode_GetData16Sizing(const Q4Code& c, u8* db) { return ClassSizing(c, db, kQ4InitClsData16); }
int Q4VMCode_GetData32Sizing(const Q4Code& c, u8* db) { return ClassSizing(c, db, kQ4InitClsData32); }
int Q4VMCode_GetData64Sizing(const Q4Code& c, u8* db) { return ClassSizing(c, db, kQ4InitClsData64); }
int Q4VMCode_GetTimeSizing(const Q4Code& c, u8* db) { return ClassSizing(c, db, kQ4InitClsTime); }
int Q4VMCode_GetStringSizing(const Q4Code& c, u8* db) { return ClassSizing(c, db, kQ4InitClsString); }

int Q4VMCode_GetXVSizing(const Q4Code& c, u8* db) {
    if (!db) return 1;
    u16 used = SizingU16(c, kQ4SizeXvUsed);
    VmDbDesc d = Q4VM_GetDesc(db, kDbExternalVars);
    if (used >= d.allocated) return 34;
    d.used = d.boundary = static_cast<u16>(used + 1);
    Q4VM_PutDesc(db, kDbExternalVars, d);
    return 0;
}

void Q4VMCode_ApplyData8Init(const Q4Code& c, u8* db, int all) { ApplyInit(c, db, kQ4InitClsData8, all); }
void Q4VMCode_ApplyData16Init(const Q4Code& c, u8* db, int all) { ApplyInit(c, db, kQ4InitClsData16, all); }
void Q4VMCode_ApplyData32Init(const Q4Code& c, u8* db, int all) { ApplyInit(c, db, kQ4InitClsData32, all); }
void Q4VMCode_ApplyData64Init(const Q4Code& c, u8* db, int all) { ApplyInit(c, db, kQ4InitClsData64, all); }
void Q4VMCode_ApplyTimeInit(const Q4Code& c, u8* db, int all) { ApplyInit(c, db, kQ4InitClsTime, all); }
void Q4VMCode_ApplyStringInit(const Q4Code& c, u8* db, int all) { ApplyInit(c, db, kQ4InitClsString, all); }

void Q4VMCode_ApplyCTSegInit(const Q4Code& c, u8* db, u32 from) {
    u32 bytes = 0;
    u8* ct = db ? Q4VM_AreaPtr(db, kDbCtSegment, &bytes) : nullptr;
    if (!ct) return;
    u32 cursor = 0;
    Q4CtInit r;
    while (Q4VMCode_NextCtInit(c, &cursor, &r)) {
        if (r.offset < from || r.offset > bytes || r.length > bytes - r.offset) continue;
        std::memcpy(ct + r.offset, r.bytes, r.length);
    }
}

int Q4VMCode_SetProgramPointers(const Q4Code& c, u8* db) {
    if (!db) return 1;
    VmDbDesc d = Q4VM_GetDesc(db, kDbPrograms);
    u16 entries = Q4VMCode_GetProgTableCount(c);
    d.used = 0;
    if (d.allocated < 2) {
        Q4VM_PutDesc(db, kDbPrograms, d);
        return entries ? 1 : 0;
    }
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbPrograms, &bytes);
    u16 stack = Q4VMCode_GetCallStackSize(c);
    u32 stackAlloc = Q4VM_GetDesc(db, kDbCallStack).allocated;
    u32 next = stack;
    int result = 0;
    u16 i = 0;
    for (; i < entries; ++i) {
        u32 rec = static_cast<u32>(i + 1);
        if (rec >= d.allocated || (rec + 1) * kQ4PrBytes > bytes) {
            result = 1;
            break;
        }
        Q4ProgEntry e;
        Q4VMCode_GetProg(c, i, &e);
        u8* r = area + rec * kQ4PrBytes;
        std::memset(r, 0, kQ4PrBytes);
        PutLe32(r + kQ4PrCode, e.codeOffset);
        PutLe32(r + kQ4PrCodeSize, e.word2);
        PutLe16(r + kQ4PrKind, e.kind);
        u16 save = 0;
        if (e.kind == 0) {
            if (next + stack <= stackAlloc) save = static_cast<u16>(next);
            next += stack;
        }
        PutLe16(r + kQ4PrSaveOffset, save);
    }
    d.used = static_cast<u16>(i + 1);
    Q4VM_PutDesc(db, kDbPrograms, d);
    return result;
}

int Q4VMCode_SetStringPointers(const Q4Code& c, u8* db) {
    if (!db) return 1;
    VmDbDesc d = Q4VM_GetDesc(db, kDbStringPointers);
    u32 tableBytes = 0, bufBytes = 0;
    u8* table = Q4VM_AreaPtr(db, kDbStringPointers, &tableBytes);
    u8* buf = Q4VM_AreaPtr(db, kDbStringBuffer, &bufBytes);
    if (!table || !buf) return 20;
    u16 n = Q4VMCode_GetStringCapCount(c);
    u32 at = 0;
    for (u16 i = 1; i <= n && i < d.allocated && (i + 1u) * 4 <= tableBytes; ++i) {
        u8 cap = Q4VMCode_GetStringCap(c, i);
        if (at + cap + kQ4StrOverhead > bufBytes) return 20;
        Q4Str_Init(buf + at, cap);
        PutLe32(table + 4u * i, static_cast<u32>(buf + at - db));
        at += cap + kQ4StrOverhead;
    }
    return 0;
}

int Q4VMCode_SetXVPointers(const Q4Code& c, u8* db) {
    if (!db) return 1;
    u32 bytes = 0;
    u8* table = Q4VM_AreaPtr(db, kDbExternalVars, &bytes);
    VmDbDesc d = Q4VM_GetDesc(db, kDbExternalVars);
    u16 n = Q4VMCode_GetXvListCount(c);
    for (u16 k = 1; k <= n; ++k) {
        if (!table || k >= d.allocated || (k + 1u) * 4 > bytes) return 34;
        Q4XvEntry e;
        Q4VMCode_GetXv(c, k - 1, &e);
        u8* p = nullptr;
        switch (e.type) {
            case kQ4TypeBool:
            case kQ4TypeSint: p = Q4Tools_Element(db, kDbData8, e.index); break;
            case kQ4TypeInt: p = Q4Tools_Element(db, kDbData16, e.index); break;
            case kQ4TypeDint:
            case kQ4TypeReal: p = Q4Tools_Element(db, kDbData32, e.index); break;
            case kQ4TypeTime: p = Q4Tools_Element(db, kDbTime, e.index); break;
            case kQ4TypeString: p = Q4Tools_String(db, e.index); break;
            case kQ4TypeLint:
            case kQ4TypeLreal: p = Q4Tools_Element(db, kDbData64, e.index); break;
            default: return 1;
        }
        if (!p) return 1;
        PutLe32(table + 4u * k, static_cast<u32>(p - db));
    }
    return 0;
}

int Q4VMCode_CanHOTBuildTaskList(const Q4Code& c) { return Q4VMCode_GetTaskCount(c) > kQ4MaxTasks ? 36 : 0; }

int Q4VMCode_BuildTaskList(const Q4Code& c, u8* db) {
    if (!db) return 1;
    u16 n = Q4VMCode_GetTaskCount(c);
    if (n > kQ4MaxTasks) return 36;
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, kDbTasks, &bytes);
    VmDbDesc d = Q4VM_GetDesc(db, kDbTasks);
    for (u16 i = 0; i < n; ++i) {
        if (!area || (i + 1u) * 8 > bytes) return 36;
        Q4TaskEntry t;
        Q4VMCode_GetTask(c, i, &t);
        PutLe32(area + 8u * i, t.nameOffset);
        PutLe32(area + 8u * i + 4, t.progListOffset);
    }
    d.used = n;
    Q4VM_PutDesc(db, kDbTasks, d);
    return 0;
}

namespace {

void CopyAppFields(const Q4Code& c, u8* st) {
    char name[16];
    Q4VMCode_GetAppName(c, name);
    std::memcpy(st + kQ4StName, name, 16);
    PutLe32(st + kQ4StCycleTime, Q4VMCode_GetCycleTime(c));
    u32 a = App(c);
    u32 linked = Q4Code_U32(c, a + 28);
    PutLe32(st + kQ4StAppWords, Q4Code_U32(c, a + 16));
    PutLe32(st + kQ4StAppWords + 4, Q4Code_U32(c, a + 20));
    PutLe32(st + kQ4StAppWords + 8, linked >= 4 ? Q4Code_U32(c, linked - 4) : 0);
    PutLe32(st + kQ4StAppWords + 12, Q4Code_U16(c, a + 34));
    PutLe32(st + kQ4StLayoutStamp, Q4VMCode_GetLayoutStamp(c));
}

u8* StatusOf(u8* db) {
    u32 bytes = 0;
    u8* st = db ? Q4VM_AreaPtr(db, kDbStatus, &bytes) : nullptr;
    return st && bytes >= kQ4StBytes ? st : nullptr;
}

}  // namespace

void Q4VMCode_InitiateStatus(const Q4Code& c, u8* db) {
    u8* st = StatusOf(db);
    if (!st) return;
    std::memset(st, 0, kQ4StBytes);
    CopyAppFields(c, st);
    u16 flags = 0x8400;
    if (Q4VMCode_GetStartPaused(c) == 0) flags |= 0x0001;
    if (Q4VMCode_GetCTSegAllocSize(c) != 0) flags |= 0x1000;
    PutLe16(st + kQ4StFlags, flags);
    u32 options = 0;
    u32 e12 = 0;
    if (!(Q4VMCode_GetExt(c, kQ4ExtFlags12, &e12) && (e12 & 1))) options |= 0x0004;
    u32 init = Q4VMCode_GetInitOptions(c);
    if (init & 1) options |= 0x0008;
    if (init & 2) options |= 0x0080;
    if (init & 4) options |= 0x0200;
    u32 e21 = 0;
    Q4VMCode_GetExt(c, kQ4ExtFlags21, &e21);
    if (e21 & 1) options |= 0x0020;
    if ((e21 & 2) && Q4VMCode_GetExtLevel(c) >= 20) options |= 0x0100;
    PutLe32(st + kQ4StOptions, options);
}

int Q4VMCode_CanUpdateStatus(const Q4Code& c, const u8* db) {
    const u8* st = StatusOf(const_cast<u8*>(db));
    if (!st) return 0;
    char name[16];
    Q4VMCode_GetAppName(c, name);
    return std::strncmp(name, reinterpret_cast<const char*>(st + kQ4StName), 16) == 0;
}

int Q4VMCode_UpdateStatus(const Q4Code& c, u8* db) {
    u8* st = StatusOf(db);
    if (!st) return 1;
    int differ = !Q4VMCode_CanUpdateStatus(c, db);
    CopyAppFields(c, st);
    return differ;
}
