#include "iec/kernel/q4vmret.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"
#include "platform/fileio.h"
#include "platform/root.h"

namespace {

struct Entry {
    const u8* db;
    Q4RetainDesc d;
};
std::vector<Entry> g_desc;

Q4RetainDesc* Desc(const u8* db, bool create) {
    for (Entry& e : g_desc)
        if (e.db == db) return &e.d;
    if (!create) return nullptr;
    g_desc.push_back({db, {}});
    return &g_desc.back().d;
}

// Retain record words (u16 index from the record start): count and first index.
constexpr u32 kRetWord[6] = {32, 40, 34, 42, 36, 38};  // data8, data16, data32, data64, TIME, STRING
constexpr u32 kArea[5] = {kDbData8, kDbData16, kDbData32, kDbData64, kDbTime};
constexpr u32 kWidth[5] = {1, 2, 4, 8, 4};

// Fills d from the code's retain record against db's tables; 0 or 28.
int Compute(const Q4Code& c, u8* db, Q4RetainDesc* d) {
    *d = {};
    u32 r = Q4VMCode_GetRetainRecord(c);
    if (!r || !Q4Code_InRange(c, r, kQ4RetainRecordBytes)) return 0;
    d->signature = Q4Code_U32(c, r + 88);
    for (u32 k = 0; k < 5; ++k) {
        u16 count = Q4Code_U16(c, r + 2 * kRetWord[k]), first = Q4Code_U16(c, r + 2 * kRetWord[k] + 2);
        if (count == 0) continue;
        u8* p = Q4Tools_Element(db, kArea[k], first);
        u8* last = Q4Tools_Element(db, kArea[k], static_cast<u16>(first + count - 1));
        if (!p || !last || first + count - 1u > 0xFFFF) return kVmErrRetain;
        d->off[k] = static_cast<u32>(p - db);
        d->size[k] = count * kWidth[k];
    }
    u16 sCount = Q4Code_U16(c, r + 2 * kRetWord[5]), sFirst = Q4Code_U16(c, r + 2 * kRetWord[5] + 2);
    if (sCount) {
        // The retained strings' buffers lie back to back: one run.
        u8* p = Q4Tools_String(db, sFirst);
        if (!p) return kVmErrRetain;
        u32 size = 0;
        for (u32 k = 0; k < sCount; ++k) {
            u8* s = Q4Tools_String(db, static_cast<u16>(sFirst + k));
            if (!s || s != p + size) return kVmErrRetain;
            size += s[0] + 3u;
        }
        d->off[5] = static_cast<u32>(p - db);
        d->size[5] = size;
    }
    if (Q4VMCode_GetExtLevel(c) >= 11) {
        u32 ctSize = Q4Code_U32(c, r + 92), ctOff = Q4Code_U32(c, r + 96), bytes = 0;
        u8* ct = Q4VM_AreaPtr(db, kDbCtSegment, &bytes);
        if (ctSize) {
            if (!ct || ctOff > bytes || ctSize > bytes - ctOff) return kVmErrRetain;
            d->ctOff = static_cast<u32>(ct + ctOff - db);
            d->ctSize = ctSize;
        }
    }
    return 0;
}

std::string HostPath(const char* firmwarePath) { return Root_HostPath(firmwarePath); }

bool Empty(const Q4RetainDesc& d) {
    for (u32 s : d.size)
        if (s) return false;
    return d.ctSize == 0;
}

std::vector<u8> Image(u8* db, const Q4RetainDesc& d) {
    std::vector<u8> out(4);
    PutLe32(out.data(), d.signature);
    for (u32 k = 0; k < 6; ++k) out.insert(out.end(), db + d.off[k], db + d.off[k] + d.size[k]);
    out.insert(out.end(), db + d.ctOff, db + d.ctOff + d.ctSize);
    return out;
}

}  // namespace

int Q4VMWarm_PrepareData(const Q4Code& c, u8* db) {
    Q4RetainDesc d;
    int rc = Compute(c, db, &d);
    *Desc(db, true) = d;
    return rc;
}

int Q4VMWarm_CanUpdatePointers(const Q4Code& c, u8* db) {
    // The retained runs of the code must lie in the database; a database
    // prepared in this process keeps its retain signature (a database read
    // back from a hot-restart image has no descriptor yet).
    Q4RetainDesc want;
    if (Compute(c, db, &want) != 0) return kVmErrRetain;
    const Q4RetainDesc* d = Desc(db, false);
    return !d || d->signature == want.signature ? 0 : kVmErrRetain;
}

int Q4VMWarm_UpdatePointers(const Q4Code& c, u8* db) {
    if (Q4VMWarm_CanUpdatePointers(c, db)) return kVmErrRetain;
    Q4RetainDesc d;
    int rc = Compute(c, db, &d);
    if (rc == 0) *Desc(db, true) = d;
    return rc;
}

Q4RetainDesc Q4VMWarm_Descriptor(const u8* db) {
    Q4RetainDesc* d = Desc(db, false);
    return d ? *d : Q4RetainDesc{};
}

int Q4VMWarm_SaveToFileDb(u8* db, const char* path) {
    Q4RetainDesc* d = Desc(db, false);
    if (!d || !path) return 0;
    std::vector<u8> img = Image(db, *d);
    return File_WriteAtomic(HostPath(path), img.data(), img.size()) ? 1 : 0;
}

int Q4VMWarm_LoadFromFileDb(u8* db, const char* path) {
    Q4RetainDesc* d = Desc(db, false);
    if (!d || !path) return 0;
    std::vector<u8> img;
    std::vector<u8> want = Image(db, *d);
    if (!File_ReadAll(HostPath(path), img, want.size() + 1)) return 0;
    std::printf("dwCrcFile is %d and pRetain->dwCrc is %d\n", img.size() >= 4 ? static_cast<int>(GetLe32(img.data())) : 0,
                static_cast<int>(d->signature));
    // The file must be exactly the running layout: same signature, every
    // block whole, and every retained string of the same capacity (a file
    // must never raise a capacity and let a string overrun its buffer).
    if (img.size() != want.size() || GetLe32(img.data()) != d->signature) return 0;
    u32 at = 4;
    for (u32 k = 0; k < 5; ++k) at += d->size[k];
    for (u32 s = 0; s < d->size[5];) {
        u8 cap = db[d->off[5] + s];
        if (img[at + s] != cap || img[at + s + 1] > cap) return 0;
        s += cap + 3u;
    }
    at = 4;
    for (u32 k = 0; k < 6; ++k) {
        std::memcpy(db + d->off[k], img.data() + at, d->size[k]);
        at += d->size[k];
    }
    // Each string ends with its NUL whatever the file held.
    for (u32 s = 0; s < d->size[5];) {
        u8* str = db + d->off[5] + s;
        str[2 + str[1]] = 0;
        str[str[0] + 2] = 0;
        s += str[0] + 3u;
    }
    std::memcpy(db + d->ctOff, img.data() + at, d->ctSize);
    return 1;
}

void Q4VMWarm_ShutDown(u8* db, const char* path) {
    if (!path) return;
    Q4RetainDesc* d = Desc(db, false);
    if (!d || Empty(*d)) {
        std::string p = HostPath(path);
        if (unlink(p.c_str()) == 0) File_SyncDirOf(p);
        return;
    }
    Q4VMWarm_SaveToFileDb(db, path);
}

int Q4VMWarm_Load(u8* db, const char* path) {
    if (!path) return 1;
    return Q4VMWarm_LoadFromFileDb(db, path) ? 0 : 1;
}

int Q4VMWarm_CanStore(u8*) { return 1; }
void Q4VMWarm_CycleExchange(u8*, int) {}

int Q4VMWarm_CheckFile(u32 signature, const char* path) {
    std::vector<u8> img;
    if (!path || !File_ReadAll(HostPath(path), img, 4) || img.size() < 4) return 0;
    return GetLe32(img.data()) == signature ? 1 : 0;
}

void Q4VMWarm_Forget(const u8* db) {
    for (size_t k = 0; k < g_desc.size(); ++k)
        if (g_desc[k].db == db) {
            g_desc.erase(g_desc.begin() + static_cast<long>(k));
            return;
        }
}
