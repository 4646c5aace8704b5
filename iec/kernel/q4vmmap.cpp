#include "iec/kernel/q4vmmap.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// The code image each database was built from, and an in-memory index of its
// entries. The buckets in the database keep their fixed 49 chains (they are
// part of the stored layout), which grow long in a large map; the index finds
// the same entry as the chain walk (the one built last among equal keys) in
// constant time. Every hit is checked against the entry before it is used.
struct Link {
    const u8* db = nullptr;
    Q4Code code;
    std::unordered_map<std::string, u32> bySymbol;  // folded symbol -> entry offset
    std::unordered_map<u32, u32> byIndex;           // folded type << 16 | index -> entry offset
    std::unordered_map<u16, u32> byTag;
};
// A few databases live at once (the running one, a change or hot-restart
// candidate, a clone build); a slot is freed by Q4VMMap_Forget.
constexpr int kLinks = 16;
struct State {
    Link links[kLinks];
    int nextLink = 0;  // the slot taken when none is free
};
State g;

Link* LinkOf(const u8* db) {
    for (Link& l : g.links)
        if (l.db == db && db) return &l;
    return nullptr;
}

const Q4Code* CodeOf(const u8* db) {
    Link* l = LinkOf(db);
    return l ? &l->code : nullptr;
}

Link* Remember(const u8* db, const Q4Code& code) {
    Link* l = LinkOf(db);
    if (!l) {
        l = &g.links[g.nextLink];
        g.nextLink = (g.nextLink + 1) % kLinks;
        *l = Link{};
        l->db = db;
    }
    l->code = code;
    l->bySymbol.clear();
    l->byIndex.clear();
    l->byTag.clear();
    return l;
}

std::string Folded(const char* s) {
    std::string k(s);
    for (char& ch : k)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    return k;
}

u32 IndexKey(u16 type, u16 index) { return (static_cast<u32>(Q4Type_FoldUnsigned(type)) << 16) | index; }

enum EntryField : u32 { kRecord = 0, kData = 4, kLock = 8, kNextIndex = 12, kNextSymbol = 16, kNextTag = 20, kVsi = 24 };

struct Entries {
    u8* base = nullptr;
    u32 bytes = 0;
    u32 elem = 0;
    u32 used = 0;
    u32 Count() const { return elem ? (used * elem <= bytes ? used : bytes / elem) : 0; }
};

Entries EntriesOf(u8* db) {
    Entries e;
    if (!db) return e;
    e.base = Q4VM_AreaPtr(db, kDbMapEntries, &e.bytes);
    VmDbDesc d = Q4VM_GetDesc(db, kDbMapEntries);
    e.elem = d.elementSize;
    e.used = d.used;
    if (!e.base || (e.elem != kQ4MapEntryBytes && e.elem != kQ4MapEntryVsiBytes)) e = Entries{};
    return e;
}

u8* Buckets(u8* db) {
    u32 bytes = 0;
    u8* b = db ? Q4VM_AreaPtr(db, kDbMapHash, &bytes) : nullptr;
    return b && bytes >= kQ4MapBuckets * 4 ? b : nullptr;
}

// Entry from its database offset; none unless it is one of the used entries.
u8* EntryAtOffset(u8* db, const Entries& e, u32 off) {
    if (off == 0 || !e.base) return nullptr;
    u32 start = static_cast<u32>(e.base - db);
    if (off < start || (off - start) % e.elem != 0 || (off - start) / e.elem >= e.Count()) return nullptr;
    return db + off;
}

struct Rec {
    u32 at = 0;
    u16 size = 0, type = 0, index = 0, dim = 0, cap = 0, ext = 0, tag = 0, flags = 0;
};

bool ReadRec(const Q4Code& c, u32 at, Rec* r) {
    if (!Q4Code_InRange(c, at, 16)) return false;
    r->at = at;
    r->size = Q4Code_U16(c, at);
    if (r->size < 16 || !Q4Code_InRange(c, at, r->size)) return false;
    r->type = Q4Code_U16(c, at + 2);
    r->index = Q4Code_U16(c, at + 4);
    r->dim = Q4Code_U16(c, at + 6);
    r->cap = Q4Code_U16(c, at + 8);
    r->ext = Q4Code_U16(c, at + 10);
    r->tag = Q4Code_U16(c, at + 12);
    r->flags = Q4Code_U16(c, at + 14);
    return true;
}

bool RecOf(u8* db, const u8* entry, const Q4Code** code, Rec* r) {
    if (!entry) return false;
    *code = CodeOf(db);
    return *code && ReadRec(**code, GetLe32(entry + kRecord), r);
}

const char* SymbolOf(const Q4Code& c, const Rec& r) {
    if (!(r.flags & kQ4RecSymbol) || Q4Code_TextLen(c, r.at + 16, r.size - 16u) < 0) return nullptr;
    return reinterpret_cast<const char*>(c.data + r.at + 16);
}

// Offset of the complex-type location in the record, or 0.
u32 CtLocation(const Rec& r) {
    if (!(r.flags & kQ4RecComplex) || r.ext < 16 || r.ext + 8u > r.size) return 0;
    return r.at + r.ext;
}

bool MapBlock(const Q4Code& c, u32* block) {
    u32 m = Q4VMCode_GetMap(c);
    if (!m || !Q4Code_InRange(c, m, 16) || Q4Code_U16(c, m) == 0 || Q4Code_U16(c, m + 14) != 0x8000) return false;
    *block = m;
    return true;
}

u16 SymbolHash(const char* s) {
    u16 h = 0;
    for (; *s; ++s) {
        u8 ch = static_cast<u8>(*s);
        if (ch >= 'a' && ch <= 'z') ch = static_cast<u8>(ch - 32);
        h = static_cast<u16>(h * 33 + ch);
    }
    return h;
}

u32 DbOffset(u8* db, const u8* p) { return p ? static_cast<u32>(p - db) : 0; }

u32 DataOffset(u8* db, const Q4Code& c, const Rec& r) {
    if (r.type != kQ4TypeComplex && (r.type & kQ4TypeExternal)) {
        u8* slot = Q4Tools_Element(db, kDbExternalVars, r.index);
        return slot ? GetLe32(slot) : 0;
    }
    switch (r.type) {
        case kQ4TypeBool:
        case kQ4TypeSint:
        case kQ4TypeUsint: return DbOffset(db, Q4Tools_Element(db, kDbData8, r.index));
        case kQ4TypeDint:
        case kQ4TypeReal:
        case kQ4TypeUdint: return DbOffset(db, Q4Tools_Element(db, kDbData32, r.index));
        case kQ4TypeTime: return DbOffset(db, Q4Tools_Element(db, kDbTime, r.index));
        case kQ4TypeString: return DbOffset(db, Q4Tools_String(db, r.index));
        case kQ4TypeInt:
        case kQ4TypeUint: return DbOffset(db, Q4Tools_Element(db, kDbData16, r.index));
        case kQ4TypeLint:
        case kQ4TypeLreal:
        case kQ4TypeUlint: return DbOffset(db, Q4Tools_Element(db, kDbData64, r.index));
        case kQ4TypeComplex: {
            u32 loc = CtLocation(r);
            u32 bytes = 0;
            u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
            if (!loc || !ct) return 0;
            u32 off = Q4Code_U32(c, loc);
            return off < bytes ? DbOffset(db, ct + off) : 0;
        }
        default: return 0;
    }
}

u8* PrivateRecord(u8* db) {
    u32 bytes = 0;
    u8* p = Q4VM_AreaPtr(db, kDbPrivate, &bytes);
    return p && bytes >= kQ4PrivMapStamp + 4 ? p : nullptr;
}

u8* VsiOf(u8* db, u16 type, u16 index) {
    u8* entry = Q4Map_GetByIndex(db, type, index);
    return Q4Map_GetVSI(db, entry);
}

}  // namespace

// ---------------------------------------------------------------------------
// Sizing and build
// ---------------------------------------------------------------------------

int Q4VMMap_GetSizing(u8* db, const Q4Code& code) {
    u32 m = 0;
    if (!db || !MapBlock(code, &m)) return 1;
    u16 flags = Q4Code_U16(code, m + 6);
    VmDbDesc d = Q4VM_GetDesc(db, kDbMapEntries);
    d.elementSize = (flags & kQ4MapFlagVsi) ? kQ4MapEntryVsiBytes : kQ4MapEntryBytes;
    d.allocated = Q4Code_U16(code, m + 2);
    d.used = d.boundary = Q4Code_U16(code, m + 4);
    d.rawSize = 0;
    Q4VM_PutDesc(db, kDbMapEntries, d);
    VmDbDesc h = Q4VM_GetDesc(db, kDbMapHash);
    h.elementSize = 4;
    h.allocated = h.used = h.boundary = kQ4MapBuckets;
    h.rawSize = 0;
    Q4VM_PutDesc(db, kDbMapHash, h);
    return 0;
}

int Q4VMMap_Build(u8* db, const Q4Code& code) {
    if (!db) return 0;
    Link* link = Remember(db, code);
    u8* buckets = Buckets(db);
    if (buckets) std::memset(buckets, 0, kQ4MapBuckets * 4);
    Entries e = EntriesOf(db);
    u32 m = 0;
    VmDbDesc d = Q4VM_GetDesc(db, kDbMapEntries);
    if (!e.base || !buckets || !MapBlock(code, &m)) {
        d.used = 0;
        Q4VM_PutDesc(db, kDbMapEntries, d);
        return 0;
    }
    u32 stamp = Q4Code_U32(code, m + 8);
    u8* priv = PrivateRecord(db);
    bool stampChanged = !priv || GetLe32(priv + kQ4PrivMapStamp) != stamp;
    u32 at = m + Q4Code_U16(code, m);
    u32 filled = 0;
    for (; filled < e.Count(); ++filled) {
        Rec r;
        if (!ReadRec(code, at, &r)) break;
        u8* entry = e.base + filled * e.elem;
        u32 self = DbOffset(db, entry);
        PutLe32(entry + kRecord, at);
        PutLe32(entry + kData, DataOffset(db, code, r));
        PutLe32(entry + kLock, DbOffset(db, Q4Tools_Element(db, kDbLockFlags, r.index)));
        u8* slot = buckets + 4u * (r.index & 15);
        PutLe32(entry + kNextIndex, GetLe32(slot));
        PutLe32(slot, self);
        link->byIndex[IndexKey(r.type, r.index)] = self;
        PutLe32(entry + kNextTag, 0);
        if (r.flags & kQ4RecTag) {
            link->byTag[r.tag] = self;
            slot = buckets + 4u * (16 + (r.tag & 15));
            PutLe32(entry + kNextTag, GetLe32(slot));
            PutLe32(slot, self);
        }
        PutLe32(entry + kNextSymbol, 0);
        if (const char* sym = SymbolOf(code, r)) {
            link->bySymbol[Folded(sym)] = self;
            slot = buckets + 4u * (32 + SymbolHash(sym) % 17);
            PutLe32(entry + kNextSymbol, GetLe32(slot));
            PutLe32(slot, self);
        }
        if (e.elem == kQ4MapEntryVsiBytes && (stampChanged || !(r.flags & kQ4RecVsi)))
            std::memset(entry + kVsi, 0, 16);
        at += r.size;
    }
    // Entries the records did not fill are not published.
    if (filled < e.used) {
        d.used = static_cast<u16>(filled);
        Q4VM_PutDesc(db, kDbMapEntries, d);
    }
    if (priv) PutLe32(priv + kQ4PrivMapStamp, stamp);
    return 0;
}

int Q4VMMap_CanHotRestart(u8* db, const Q4Code& newCode) {
    u32 m = 0;
    if (!db || !MapBlock(newCode, &m)) return 0;
    VmDbDesc d = Q4VM_GetDesc(db, kDbMapEntries);
    u16 elem = (Q4Code_U16(newCode, m + 6) & kQ4MapFlagVsi) ? kQ4MapEntryVsiBytes : kQ4MapEntryBytes;
    return (elem != d.elementSize || Q4Code_U16(newCode, m + 2) != d.allocated) ? 1 : 0;
}

int Q4VMMap_HotRestart(u8* db, const Q4Code& newCode) {
    if (!db) return 1;
    if (u8* b = Buckets(db)) std::memset(b, 0, kQ4MapBuckets * 4);
    VmDbDesc d = Q4VM_GetDesc(db, kDbMapEntries);
    u32 m = 0;
    if (!MapBlock(newCode, &m)) {
        d.used = 0;
        Q4VM_PutDesc(db, kDbMapEntries, d);
        Remember(db, newCode);
        return 0;
    }
    if (Q4VMMap_CanHotRestart(db, newCode)) return 1;
    u16 count = Q4Code_U16(newCode, m + 4);
    d.used = count <= d.allocated ? count : d.allocated;
    Q4VM_PutDesc(db, kDbMapEntries, d);
    return Q4VMMap_Build(db, newCode);
}

void Q4VMMap_Forget(const u8* db) {
    for (Link& l : g.links)
        if (l.db == db) l = Link{};
}

// ---------------------------------------------------------------------------
// Look-ups
// ---------------------------------------------------------------------------

u8* Q4Map_GetByIndex(u8* db, u16 type, u16 index) {
    if (Link* l = LinkOf(db)) {
        auto it = l->byIndex.find(IndexKey(type, index));
        if (it == l->byIndex.end()) return nullptr;
        Rec r;
        u8* p = EntryAtOffset(db, EntriesOf(db), it->second);
        if (p && ReadRec(l->code, GetLe32(p + kRecord), &r) && r.index == index &&
            Q4Type_FoldUnsigned(r.type) == Q4Type_FoldUnsigned(type))
            return p;
    }
    const Q4Code* code = CodeOf(db);
    u8* buckets = Buckets(db);
    Entries e = EntriesOf(db);
    if (!code || !buckets || !e.base) return nullptr;
    u16 want = Q4Type_FoldUnsigned(type);
    u32 guard = e.Count();
    for (u8* p = EntryAtOffset(db, e, GetLe32(buckets + 4u * (index & 15))); p && guard--;
         p = EntryAtOffset(db, e, GetLe32(p + kNextIndex))) {
        Rec r;
        if (ReadRec(*code, GetLe32(p + kRecord), &r) && r.index == index && Q4Type_FoldUnsigned(r.type) == want)
            return p;
    }
    return nullptr;
}

u8* Q4Map_GetBySymbol(u8* db, const char* name) {
    Link* l = LinkOf(db);
    if (l && name) {
        auto it = l->bySymbol.find(Folded(name));
        if (it == l->bySymbol.end()) return nullptr;
        Rec r;
        u8* p = EntryAtOffset(db, EntriesOf(db), it->second);
        const char* sym = p && ReadRec(l->code, GetLe32(p + kRecord), &r) ? SymbolOf(l->code, r) : nullptr;
        if (sym && Q4Str_ICmp(sym, name) == 0) return p;
    }
    const Q4Code* code = CodeOf(db);
    u8* buckets = Buckets(db);
    Entries e = EntriesOf(db);
    if (!code || !buckets || !e.base || !name) return nullptr;
    u32 guard = e.Count();
    for (u8* p = EntryAtOffset(db, e, GetLe32(buckets + 4u * (32 + SymbolHash(name) % 17))); p && guard--;
         p = EntryAtOffset(db, e, GetLe32(p + kNextSymbol))) {
        Rec r;
        if (!ReadRec(*code, GetLe32(p + kRecord), &r)) continue;
        const char* sym = SymbolOf(*code, r);
        if (sym && Q4Str_ICmp(sym, name) == 0) return p;
    }
    return nullptr;
}

u8* Q4Map_GetByNumTag(u8* db, u16 tag) {
    if (Link* l = LinkOf(db)) {
        auto it = l->byTag.find(tag);
        if (it == l->byTag.end()) return nullptr;
        Rec r;
        u8* p = EntryAtOffset(db, EntriesOf(db), it->second);
        if (p && ReadRec(l->code, GetLe32(p + kRecord), &r) && (r.flags & kQ4RecTag) && r.tag == tag) return p;
    }
    const Q4Code* code = CodeOf(db);
    u8* buckets = Buckets(db);
    Entries e = EntriesOf(db);
    if (!code || !buckets || !e.base) return nullptr;
    u32 guard = e.Count();
    for (u8* p = EntryAtOffset(db, e, GetLe32(buckets + 4u * (16 + (tag & 15)))); p && guard--;
         p = EntryAtOffset(db, e, GetLe32(p + kNextTag))) {
        Rec r;
        if (ReadRec(*code, GetLe32(p + kRecord), &r) && (r.flags & kQ4RecTag) && r.tag == tag) return p;
    }
    return nullptr;
}

u8* Q4Map_GetByData(u8* db, const u8* address) {
    Entries e = EntriesOf(db);
    if (!e.base || !address) return nullptr;
    for (u32 i = 0; i < e.Count(); ++i) {
        u8* p = e.base + i * e.elem;
        u32 off = GetLe32(p + kData);
        if (off != 0 && db + off == address) return p;
    }
    return nullptr;
}

u8* Q4Map_GetVSIByData(u8* db, const u8* address) { return Q4Map_GetVSI(db, Q4Map_GetByData(db, address)); }

int Q4Map_CheckPointer(u8* db, const u8* address) {
    Entries e = EntriesOf(db);
    if (!e.base || !address || address < e.base) return 0;
    u64 rel = static_cast<u64>(address - e.base);
    return (rel % e.elem == 0 && rel / e.elem < e.Count()) ? 1 : 0;
}

u32 Q4Map_GetHandle(u8* db, const u8* entry) {
    if (!Q4Map_CheckPointer(db, entry)) return 0;
    Entries e = EntriesOf(db);
    return static_cast<u32>(entry - e.base) / e.elem + 1;
}

u8* Q4Map_GetByHandle(u8* db, u32 handle) {
    Entries e = EntriesOf(db);
    if (handle == 0 || handle > e.Count()) return nullptr;
    return e.base + (handle - 1) * e.elem;
}

u8* Q4Map_GetFirst(u8* db, u16* pos) {
    Entries e = EntriesOf(db);
    if (pos) *pos = 0;
    return e.Count() ? e.base : nullptr;
}

u8* Q4Map_GetNext(u8* db, u16* pos) {
    Entries e = EntriesOf(db);
    if (!pos || static_cast<u32>(*pos) + 1 >= e.Count()) return nullptr;
    ++*pos;
    return e.base + static_cast<u32>(*pos) * e.elem;
}

// ---------------------------------------------------------------------------
// Entry accessors
// ---------------------------------------------------------------------------

const char* Q4Map_GetSymbol(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    return RecOf(db, entry, &c, &r) ? SymbolOf(*c, r) : nullptr;
}

const char* Q4Map_GetProfileName(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    if (!RecOf(db, entry, &c, &r) || !(r.flags & kQ4RecProfile)) return nullptr;
    u32 at = r.at + r.ext + ((r.flags & kQ4RecComplex) ? 8u : 0u);
    if (r.ext < 16 || at + 16 > r.at + r.size) return nullptr;
    return reinterpret_cast<const char*>(c->data + at);
}

const char* Q4Map_GetTypeInfo(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    if (!RecOf(db, entry, &c, &r)) return nullptr;
    u32 loc = CtLocation(r);
    u32 defs = Q4VMCode_GetCTTypeDef(*c);
    if (!loc || !defs) return nullptr;
    u32 at = defs + Q4Code_U32(*c, loc + 4);
    if (at < defs || Q4Code_TextLen(*c, at) < 0) return nullptr;
    return reinterpret_cast<const char*>(c->data + at);
}

const char* Q4Map_GetTypeName(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    if (!RecOf(db, entry, &c, &r)) return nullptr;
    if ((r.type & 0x7F) == kQ4TypeComplex) return Q4Map_GetTypeInfo(db, entry);
    return Q4Type_Name(r.type);
}

u16 Q4Map_GetType(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    return RecOf(db, entry, &c, &r) ? r.type : 0;
}

u16 Q4Map_GetIndex(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    return RecOf(db, entry, &c, &r) ? r.index : 0;
}

u16 Q4Map_GetNumTag(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    return RecOf(db, entry, &c, &r) ? r.tag : 0;
}

u16 Q4Map_GetDim(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    return RecOf(db, entry, &c, &r) && r.dim != 1 ? r.dim : 0;
}

u8* Q4Map_GetData(u8* db, const u8* entry) {
    if (!entry || !Q4Map_CheckPointer(db, entry)) return nullptr;
    u32 off = GetLe32(entry + kData);
    return off ? db + off : nullptr;
}

u8* Q4Map_GetVSI(u8* db, u8* entry) {
    const Q4Code* c;
    Rec r;
    if (!entry || EntriesOf(db).elem != kQ4MapEntryVsiBytes || !RecOf(db, entry, &c, &r) || !(r.flags & kQ4RecVsi))
        return nullptr;
    return entry + kVsi;
}

int Q4Map_IsLocked(u8* db, const u8* entry) {
    const Q4Code* c;
    Rec r;
    if (!RecOf(db, entry, &c, &r)) return 0;
    u32 off = GetLe32(entry + kLock);
    if (!off) return 0;
    u8 bit = (r.type != kQ4TypeComplex && (r.type & kQ4TypeExternal)) ? static_cast<u8>(kQ4LockExternal) : Q4Type_LockBit(r.type);
    return (db[off] & bit) ? 1 : 0;
}

u8* Q4Map_IsArrayOfSingleVar(u8* db, const u8* entry, u32* count, u16* type) {
    if (count) *count = 0;
    if (type) *type = 0;
    const Q4Code* c;
    Rec r;
    if (!RecOf(db, entry, &c, &r)) return nullptr;
    if (r.type == kQ4TypeComplex) {
        static const struct {
            const char* prefix;
            u16 type;
        } kPrefixes[] = {{"BOOL[", 1},   {"SINT[", 10},  {"USINT[", 14}, {"BYTE[", 14},  {"INT[", 11},
                         {"UINT[", 15},  {"WORD[", 15},  {"DINT[", 2},   {"UDINT[", 16}, {"DWORD[", 16},
                         {"LINT[", 12},  {"ULINT[", 17}, {"LWORD[", 17}, {"REAL[", 3},   {"LREAL[", 13},
                         {"TIME[", 4},   {"STRING[", 5}};
        const char* name = Q4Map_GetTypeInfo(db, entry);
        if (!name) return nullptr;
        for (const auto& p : kPrefixes) {
            size_t n = std::strlen(p.prefix);
            if (std::strncmp(name, p.prefix, n) != 0) continue;
            u32 total = 1, num = 0;
            bool inNum = false;
            for (const char* s = name + n;; ++s) {
                if (*s >= '0' && *s <= '9') {
                    num = num * 10 + static_cast<u32>(*s - '0');
                    inNum = true;
                } else if (*s == ',') {
                    total *= num;
                    num = 0;
                    inNum = false;
                } else {
                    if (inNum) total *= num;
                    break;
                }
            }
            if (count) *count = total;
            if (type) *type = p.type;
            return Q4Map_GetData(db, entry);
        }
        return nullptr;
    }
    if (r.dim > 1 && Q4Type_Info(r.type) && !(r.type & kQ4TypeExternal)) {
        if (count) *count = r.dim;
        if (type) *type = r.type;
        return Q4Map_GetData(db, entry);
    }
    return nullptr;
}

u32 Q4Map_GetDescLength(u8* db, u16 n) {
    Entries e = EntriesOf(db);
    if (n >= e.Count()) return 12;
    const char* sym = Q4Map_GetSymbol(db, e.base + static_cast<u32>(n) * e.elem);
    size_t len = sym ? std::strlen(sym) : 0;
    return 12u + static_cast<u32>(len > 255 ? 255 : len);
}

u32 Q4Map_GetDesc(u8* db, u16 n, u8* out) {
    Entries e = EntriesOf(db);
    const Q4Code* c;
    Rec r;
    u8* entry = n < e.Count() ? e.base + static_cast<u32>(n) * e.elem : nullptr;
    if (!entry || !RecOf(db, entry, &c, &r)) {
        std::memset(out, 0, 12);
        return 12;
    }
    PutBe16(out, r.type);
    if (u32 loc = CtLocation(r)) {
        PutBe32(out + 2, Q4Code_U32(*c, loc));
        PutBe16(out + 6, static_cast<u16>(Q4Code_U32(*c, loc + 4)));
    } else {
        PutBe16(out + 2, r.index);
        PutBe16(out + 4, r.cap);
        PutBe16(out + 6, r.dim);
    }
    PutBe16(out + 8, r.flags);
    const char* sym = SymbolOf(*c, r);
    size_t len = sym ? std::strlen(sym) : 0;
    if (len > 255) len = 255;
    out[10] = static_cast<u8>(len);
    if (len) std::memcpy(out + 11, sym, len);
    out[11 + len] = 0;
    return 12u + static_cast<u32>(len);
}

// ---------------------------------------------------------------------------
// VSI
// ---------------------------------------------------------------------------

int Q4Map_GetVSIBit(u8* db, u16 type, u16 index, u32 bit) {
    u8* v = VsiOf(db, type, index);
    if (!v || bit >= 64) return 0;
    u32 word = bit < 32 ? GetLe32(v + 4) : GetLe32(v);
    return (word >> (bit % 32)) & 1;
}

int Q4Map_SetVSIBit(u8* db, u16 type, u16 index, u32 bit, int value) {
    u8* v = VsiOf(db, type, index);
    if (!v || bit >= 64) return 0;
    u8* w = bit < 32 ? v + 4 : v;
    u32 mask = 1u << (bit % 32);
    PutLe32(w, value ? (GetLe32(w) | mask) : (GetLe32(w) & ~mask));
    return 1;
}

int Q4Map_ResetSetVSIBits(u8* db, u16 type, u16 index) {
    u8* v = VsiOf(db, type, index);
    if (!v) return 0;
    std::memset(v, 0, 8);
    return 1;
}

u32 Q4Map_GetVSIDate(u8* db, u16 type, u16 index) {
    u8* v = VsiOf(db, type, index);
    return v ? GetLe32(v + 8) : 0;
}

int Q4Map_SetVSIDate(u8* db, u16 type, u16 index, u32 date) {
    u8* v = VsiOf(db, type, index);
    if (!v) return 0;
    PutLe32(v + 8, date);
    return 1;
}

u32 Q4Map_GetVSITime(u8* db, u16 type, u16 index) {
    u8* v = VsiOf(db, type, index);
    return v ? GetLe32(v + 12) : 0;
}

int Q4Map_SetVSITime(u8* db, u16 type, u16 index, u32 time) {
    u8* v = VsiOf(db, type, index);
    if (!v) return 0;
    PutLe32(v + 12, time);
    return 1;
}

namespace {
int Stamp(u8* db, u16 type, u16 index, int local) {
    u8* v = VsiOf(db, type, index);
    if (!v) return 0;
    u32 date = 0, time = 0;
    Q4RtClk_GetCurDateTimeStamp(local, &date, &time, nullptr);
    PutLe32(v + 8, date);
    PutLe32(v + 12, time);
    return 1;
}
}  // namespace

int Q4Map_StampVSI(u8* db, u16 type, u16 index) { return Stamp(db, type, index, 1); }
int Q4Map_StampVSIGMT(u8* db, u16 type, u16 index) { return Stamp(db, type, index, 0); }

int Q4Map_CopyVSI(u8* db, u16 type, u16 dst, u16 src, int copyStatus, int copyStamp) {
    u8* d = VsiOf(db, type, dst);
    u8* s = VsiOf(db, type, src);
    if (!d || !s) return 0;
    if (copyStatus) std::memmove(d, s, 8);
    if (copyStamp) std::memmove(d + 8, s + 8, 8);
    return 1;
}
