#include "iec/ext/q4vmsyb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcode.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmmap.h"
#include "iec/kernel/q4vmstr.h"

namespace {

constexpr u32 kFirstMax = 256;  // first component of a path
constexpr u32 kGrownMax = 255;  // a dotted name grown component by component
constexpr u32 kMaxIndexes = 3;
constexpr int kEnumDepth = 16;

// The complex-type definitions of the running code image: from their start
// (code extension entry 10) to the end of the image, which is all that bounds
// them.
struct Defs {
    const u8* base = nullptr;
    u32 size = 0;
};

Defs DefsOf(u8* db) {
    const Q4Code& c = Q4VM_CodeOf(db);
    const u32 at = c.data ? Q4VMCode_GetCTTypeDef(c) : 0;
    if (at == 0 || at >= c.size) return {};
    return Defs{c.data + at, c.size - at};
}

// A type record whose name ends inside the definitions; fields are read
// relative to the name's NUL, and only after Has() said they are there.
struct Rec {
    const char* name = nullptr;
    const u8* nul = nullptr;
    u32 avail = 0;  // bytes from the NUL to the end of the definitions
    u8 kind = 0;
    bool Has(u32 bytes) const { return avail >= bytes; }
    u16 F16(u32 at) const { return GetLe16(nul + at); }
    u32 F32(u32 at) const { return GetLe32(nul + at); }
};

bool RecordAt(const Defs& d, u32 off, Rec* r) {
    if (!d.base || off >= d.size) return false;
    const u8* p = d.base + off;
    const void* nul = std::memchr(p, 0, d.size - off);
    if (!nul) return false;
    r->name = reinterpret_cast<const char*>(p);
    r->nul = static_cast<const u8*>(nul);
    r->avail = static_cast<u32>(d.base + d.size - r->nul);
    if (!r->Has(2)) return false;
    r->kind = r->nul[1];
    return true;
}

bool IsArray(u8 kind) { return kind >= kQ4CtArray1 && kind <= kQ4CtArray3; }
bool IsStruct(u8 kind) { return kind == kQ4CtStruct || kind == kQ4CtStruct2; }
u32 Dims(u8 kind) { return static_cast<u32>(kind - kQ4CtArray1 + 1); }

// The offset of the next member record after member m.
u32 NextMember(const Defs& d, const Rec& m) { return static_cast<u32>(m.nul - d.base) + 8; }

// The width of an elementary value that starts at off in a segment of
// `bytes`, or 0 when it is not an elementary type or does not fit.
u32 FitWidth(u8 code, const u8* at, u64 off, u64 bytes) {
    const Q4TypeInfo* t = Q4Type_Info(code);
    if (!t || (code & kQ4TypeExternal) || t->storage == kQ4ClassComplex) return 0;
    u64 width = t->size;
    if (t->storage == kQ4ClassString) {
        if (off + kQ4StrOverhead > bytes) return 0;
        width = at[0] + u64{3};
    }
    return off + width <= bytes ? static_cast<u32>(width) : 0;
}

// Reads "[" a,b,c "]" at p (p at "["): at most `max` unsigned decimal
// indexes, an empty one counting as 0; none that overflows 32 bits.
bool ReadIndexes(const char*& p, u32 max, u32* idx, u32* count) {
    ++p;
    u32 n = 0;
    for (;;) {
        u64 v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + static_cast<u32>(*p++ - '0');
            if (v > 0xFFFFFFFFu) return false;
        }
        if (n == max) return false;
        idx[n++] = static_cast<u32>(v);
        if (*p == ',') {
            ++p;
            continue;
        }
        if (*p != ']') return false;
        ++p;
        *count = n;
        return true;
    }
}

// Walks a complex variable from its data with the rest of the path.
u8* WalkComplex(u8* db, const Defs& d, u32 rec, u8* data, const char* p, u8* type, const char** typeName,
                bool whole) {
    u32 ctBytes = 0;
    u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &ctBytes);
    if (!ct || !data || data < ct || data >= ct + ctBytes) return nullptr;
    u64 off = static_cast<u64>(data - ct);
    for (;;) {
        Rec r;
        if (!RecordAt(d, rec, &r)) return nullptr;
        if (typeName) *typeName = r.name;
        if (*p == 0) {
            if (r.kind == kQ4CtElementary) {
                if (!r.Has(3) || FitWidth(r.nul[2], ct + off, off, ctBytes) == 0) return nullptr;
                *type = r.nul[2];
                return ct + off;
            }
            if (!whole || off >= ctBytes) return nullptr;
            *type = kQ4TypeComplex;
            return ct + off;
        }
        if (*p == '.') {
            if (!IsStruct(r.kind) || !r.Has(6)) return nullptr;
            ++p;
            const u16 count = r.F16(2);
            u32 at = r.F16(4);
            bool found = false;
            for (u16 k = 0; k < count && !found; ++k) {
                Rec m;
                if (!RecordAt(d, at, &m)) return nullptr;
                const size_t len = std::strlen(m.name);
                // A match over the name's length means p holds that many characters.
                if (strncasecmp(p, m.name, len) == 0 && (p[len] == 0 || p[len] == '.' || p[len] == '[')) {
                    if (m.kind != kQ4CtMember || !m.Has(8)) return nullptr;
                    off += m.F32(4);
                    rec = m.F16(2);
                    p += len;
                    found = true;
                }
                at = NextMember(d, m);
            }
            if (!found || off >= ctBytes) return nullptr;
            continue;
        }
        if (*p == '[') {
            if (!IsArray(r.kind)) return nullptr;
            const u32 n = Dims(r.kind);
            if (!r.Has(8 + 4 * n)) return nullptr;
            u32 idx[kMaxIndexes] = {}, got = 0;
            if (!ReadIndexes(p, n, idx, &got) || got != n) return nullptr;
            // Index k (from 1) of n against the size stored at position n-k+1.
            u64 flat = 0;
            for (u32 k = 0; k < n; ++k) {
                const u32 size = r.F32(8 + 4 * (n - 1 - k));
                if (idx[k] >= size) return nullptr;
                flat = flat * size + idx[k];
                if (flat >= ctBytes) return nullptr;  // no element that far fits the segment
            }
            const u32 elemSize = r.F32(4);
            if (elemSize != 0 && flat > (ctBytes - off) / elemSize) return nullptr;
            off += flat * elemSize;
            if (off >= ctBytes) return nullptr;
            rec = r.F16(2);
            continue;
        }
        return nullptr;
    }
}

// Element [index] of an elementary array published in the map; the rest
// of the path must be "[" digits "]" and nothing after.
u8* MapArrayItem(u8* db, const u8* e, u16 t, u32 n, const char* p) {
    if (*p != '[') return nullptr;
    u32 idx = 0, got = 0;
    if (!ReadIndexes(p, 1, &idx, &got) || *p != 0 || idx >= n) return nullptr;
    const Q4TypeInfo* info = Q4Type_Info(t);
    if (!info || (t & kQ4TypeExternal) || info->storage == kQ4ClassComplex) return nullptr;
    if (info->storage == kQ4ClassString) {
        const u32 s = Q4Map_GetIndex(db, e) + idx;
        return s <= 0xFFFF ? Q4Tools_String(db, static_cast<u16>(s)) : nullptr;
    }
    u8* data = Q4Map_GetData(db, e);
    u32 bytes = 0;
    u8* area = Q4VM_AreaPtr(db, info->storage, &bytes);
    if (!data || !area || data < area) return nullptr;
    const u64 at = static_cast<u64>(data - area) + static_cast<u64>(idx) * info->size;
    return at + info->size <= bytes ? area + at : nullptr;
}

u8* Resolve(u8* db, const char* path, u8* type, const char** typeName, bool whole) {
    u8 scratch = 0;
    if (!type) type = &scratch;
    *type = 0;
    if (typeName) *typeName = nullptr;
    if (!db || !path) return nullptr;
    const char* p = path;
    const u8* e = Q4VmSyb_GetMapItem(db, &p);
    if (!e) return nullptr;
    const u16 t = Q4Map_GetType(db, e) & 0xFF;
    if (t == kQ4TypeComplex) {
        const char* info = Q4Map_GetTypeInfo(db, e);
        const Defs d = DefsOf(db);
        if (!info || !d.base) return nullptr;
        const u8* at = reinterpret_cast<const u8*>(info);
        if (at < d.base || at >= d.base + d.size) return nullptr;
        return WalkComplex(db, d, static_cast<u32>(at - d.base), Q4Map_GetData(db, e), p, type, typeName, whole);
    }
    *type = static_cast<u8>(t);
    const u32 n = std::max<u32>(Q4Map_GetDim(db, e), 1);
    if (n > 1) return MapArrayItem(db, e, t, n, p);
    if (*p != 0) return nullptr;
    if (typeName) *typeName = Q4Map_GetTypeName(db, e);
    return Q4Map_GetData(db, e);
}

struct Enum {
    const Defs& d;
    char* path;
    u32 size;
    Q4VmSybEnumCb cb;
    void* user;
    u64 budget;  // records visited before the walk gives up on a looping table

    int Walk(u32 rec, u32 len, int depth) {
        Rec r;
        if (depth > kEnumDepth || budget == 0 || !RecordAt(d, rec, &r)) return 0;
        --budget;
        if (r.kind == kQ4CtElementary) {
            if (!r.Has(3)) return 0;
            cb(path, r.nul[2], user);
            return 1;
        }
        if (IsArray(r.kind)) {
            const u32 n = Dims(r.kind);
            if (!r.Has(8 + 4 * n)) return 0;
            // Index k pairs with the size stored at position n-k+1, as in the
            // path walk, and the first index varies slowest (row-major).
            u32 dim[kMaxIndexes] = {};
            u64 total = 1;
            for (u32 k = 0; k < n; ++k) {
                dim[k] = r.F32(8 + 4 * (n - 1 - k));
                total *= dim[k];
                if (total > budget) return 0;
            }
            for (u64 flat = 0; flat < total; ++flat) {
                u32 idx[kMaxIndexes] = {};
                u64 rest = flat;
                for (u32 k = n; k-- > 0;) {
                    idx[k] = static_cast<u32>(rest % dim[k]);
                    rest /= dim[k];
                }
                char suffix[48];
                const int s = n == 1   ? std::snprintf(suffix, sizeof suffix, "[%u]", idx[0])
                              : n == 2 ? std::snprintf(suffix, sizeof suffix, "[%u,%u]", idx[0], idx[1])
                                       : std::snprintf(suffix, sizeof suffix, "[%u,%u,%u]", idx[0], idx[1], idx[2]);
                if (s < 0 || len + static_cast<u32>(s) >= size) return 0;
                std::memcpy(path + len, suffix, static_cast<size_t>(s) + 1);
                const int ok = Walk(r.F16(2), len + static_cast<u32>(s), depth + 1);
                path[len] = 0;
                if (!ok) return 0;
            }
            return 1;
        }
        if (IsStruct(r.kind)) {
            if (!r.Has(6)) return 0;
            int result = 1;
            u32 at = r.F16(4);
            for (u16 k = 0, count = r.F16(2); k < count; ++k) {
                Rec m;
                if (!RecordAt(d, at, &m) || m.kind != kQ4CtMember || !m.Has(8)) return 0;
                const u32 nameLen = static_cast<u32>(std::strlen(m.name));
                if (u64{len} + 1 + nameLen < size) {
                    path[len] = '.';
                    std::memcpy(path + len + 1, m.name, nameLen + 1);
                    result &= Walk(m.F16(2), len + 1 + nameLen, depth + 1);
                    path[len] = 0;
                } else {
                    result = 0;
                }
                at = NextMember(d, m);
            }
            return result;
        }
        return 1;
    }
};

}  // namespace

u8* Q4VmSyb_GetMapItem(u8* db, const char** cursor) {
    if (!db || !cursor || !*cursor) return nullptr;
    char name[kFirstMax + 4];
    u32 n = 0;
    const char* p = *cursor;
    while (*p && *p != '.' && *p != '[') {
        if (n >= kFirstMax) {
            *cursor = p;
            return nullptr;
        }
        name[n++] = *p++;
    }
    name[n] = 0;
    *cursor = p;
    for (;;) {
        if (u8* item = Q4Map_GetBySymbol(db, name)) return item;
        if (*p != '.') return nullptr;
        // Grow by "." and the next component while the name stays short enough.
        u32 m = n + 1;
        if (m > kGrownMax) return nullptr;
        const char* q = p + 1;
        while (*q && *q != '.' && *q != '[') {
            if (m >= kGrownMax) return nullptr;
            ++m, ++q;
        }
        std::memcpy(name + n, p, m - n);
        n = m;
        name[n] = 0;
        p = q;
        *cursor = p;
    }
}

u8* Q4VmSyb_ParseSingle(u8* db, const char* path, u8* type) { return Resolve(db, path, type, nullptr, false); }

u8* Q4VmSyb_Parse(u8* db, const char* path, u8* type, const char** typeName) {
    return Resolve(db, path, type, typeName, true);
}

int Q4VmSyb_EnumCTMembers(u8* db, const u8* entry, char* path, u32 size, Q4VmSybEnumCb cb, void* user) {
    if (!db || !entry || !path || size == 0 || !cb) return 0;
    if ((Q4Map_GetType(db, entry) & 0xFF) != kQ4TypeComplex) return 0;
    const char* info = Q4Map_GetTypeInfo(db, entry);
    const Defs d = DefsOf(db);
    if (!info || !d.base) return 0;
    const u8* at = reinterpret_cast<const u8*>(info);
    if (at < d.base || at >= d.base + d.size) return 0;
    u32 ctBytes = 0;
    Q4VM_AreaPtr(db, kDbCtSegment, &ctBytes);
    path[0] = 0;
    // Every leaf takes at least one byte of the CT segment: a table that
    // claims more leaves than that is damaged (or loops).
    Enum e{d, path, size, cb, user, 4 * (u64{ctBytes} + 1) + d.size};
    return e.Walk(static_cast<u32>(at - d.base), 0, 0);
}
