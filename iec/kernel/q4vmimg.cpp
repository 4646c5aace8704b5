#include "iec/kernel/q4vmimg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "iec/kernel/q4vmdb.h"
#include "platform/fileio.h"
#include "platform/root.h"

namespace {

const char* FileOf(u16 kind) {
    switch (kind) {
        case kQ4MemCode: return "/mnt/cfg/q4.cod";
        case kQ4MemVmdb: return "q4.hot";
        case kQ4MemChange: return "/mnt/cfg/q4.upd";
        default: return nullptr;
    }
}

bool HostPath(u16 kind, const char* prefix, std::string* out) {
    char path[kQ4MemPathMax + 1];
    if (!Q4Memory_FilePath(kind, prefix, path)) return false;
    *out = Root_HostPath(path);
    return true;
}

// A database image larger than this is not one of ours; a code image either.
constexpr u64 kMaxImage = 512u * 1024 * 1024;

bool WriteAll(int fd, const u8* p, u32 n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<u32>(w);
    }
    return true;
}

void Clear(Q4MemImage* rec) {
    u16 kind = rec->kind;
    *rec = Q4MemImage{};
    rec->kind = kind;
}

// The record takes over a freshly filled image: loaded, nothing linked yet.
int Adopt(Q4MemImage* rec, u8* mem, u32 size) {
    rec->memory = mem;
    rec->size = size;
    rec->flags = kQ4MemLoaded;
    rec->linkCount = 0;
    rec->linked = nullptr;
    return 0;
}

}  // namespace

bool Q4Memory_FilePath(u16 kind, const char* prefix, char out[kQ4MemPathMax + 1]) {
    const char* file = FileOf(kind);
    if (!file) return false;
    if (!prefix) prefix = "";
    size_t a = std::strlen(prefix), b = std::strlen(file);
    if (a + b > kQ4MemPathMax) return false;
    std::memcpy(out, prefix, a);
    std::memcpy(out + a, file, b + 1);
    return true;
}

int Q4Memory_Alloc(Q4MemImage* rec, u32 size) {
    if (!rec || rec->flags != 0 || size == 0) return 1;
    u8* mem = static_cast<u8*>(std::calloc(1, size));
    if (!mem) return 1;
    return Adopt(rec, mem, size);
}

int Q4Memory_Load(Q4MemImage* rec, const char* prefix) {
    std::string path;
    if (!rec || rec->flags != 0 || !HostPath(rec->kind, prefix, &path)) return 1;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    struct stat sb {};
    if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size <= 0 || static_cast<u64>(sb.st_size) > kMaxImage) {
        ::close(fd);
        return 1;
    }
    u32 size = static_cast<u32>(sb.st_size);
    u8* mem = static_cast<u8*>(std::calloc(1, size));
    bool ok = mem != nullptr;
    for (u32 at = 0; ok && at < size;) {
        u32 piece = size - at < kQ4MemPiece ? size - at : kQ4MemPiece;
        ssize_t r = ::read(fd, mem + at, piece);
        if (r < 0 && errno == EINTR) continue;
        ok = r == static_cast<ssize_t>(piece);
        at += piece;
    }
    ::close(fd);
    if (ok && rec->kind == kQ4MemVmdb) ok = Q4VM_CheckImage(mem, size) == kVmOk;
    if (!ok) {
        std::free(mem);
        return 1;
    }
    return Adopt(rec, mem, size);
}

int Q4Memory_Save(Q4MemImage* rec, const char* prefix) {
    std::string path;
    if (!rec || !(rec->flags & kQ4MemLoaded) || !rec->memory || !HostPath(rec->kind, prefix, &path)) return 1;
    return File_WriteAtomic(path, rec->memory, rec->size) ? 0 : 1;
}

int Q4Memory_StartWrite(Q4MemImage* rec, const Q4LoadRequest* /*req*/, const char* prefix) {
    std::string path;
    if (!rec || rec->flags != 0 || !HostPath(rec->kind, prefix, &path)) return 1;
    int fd = ::open((path + ".part").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    ::close(fd);
    return 0;
}

int Q4Memory_Write(Q4MemImage* rec, const Q4LoadRequest* req, const char* prefix) {
    std::string path;
    if (!rec || !req || rec->flags != 0 || !HostPath(rec->kind, prefix, &path)) return 1;
    if (req->length > 0 && !req->data) return 1;
    // Without a started download there is no file to append to.
    int fd = ::open((path + ".part").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return 1;
    bool ok = WriteAll(fd, req->data, req->length);
    ::close(fd);
    return ok ? 0 : 1;
}

int Q4Memory_EndWrite(Q4MemImage* rec, const Q4LoadRequest* /*req*/, const char* prefix) {
    std::string path;
    if (!rec || rec->flags != 0 || !HostPath(rec->kind, prefix, &path)) return 1;
    std::string part = path + ".part";
    int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    struct stat sb {};
    bool ok = ::fstat(fd, &sb) == 0 && sb.st_size > 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(part.c_str(), path.c_str()) != 0) {
        ::unlink(part.c_str());
        return 1;
    }
    File_SyncDirOf(path);
    return 0;
}

int Q4Memory_Link(Q4MemImage* rec) {
    if (!rec || !(rec->flags & kQ4MemLoaded)) return 1;
    rec->linked = rec->memory;
    ++rec->linkCount;
    rec->flags |= kQ4MemLinked;
    return 0;
}

int Q4Memory_Unlink(Q4MemImage* rec) {
    if (!rec || (rec->flags & (kQ4MemLoaded | kQ4MemLinked)) != (kQ4MemLoaded | kQ4MemLinked)) return 1;
    if (rec->linkCount > 0) --rec->linkCount;
    if (rec->linkCount == 0) {
        rec->flags &= static_cast<u16>(~kQ4MemLinked);
        rec->linked = nullptr;
    }
    return 0;
}

int Q4Memory_Free(Q4MemImage* rec) {
    if (!rec || rec->flags != kQ4MemLoaded) return 1;
    std::free(rec->memory);
    Clear(rec);
    return 0;
}

// --- Manager ------------------------------------------------------------------

void Q4MM_Open(Q4MMData* mm, const char* prefix) {
    *mm = Q4MMData{};
    mm->prefix = prefix ? prefix : "";
    mm->code.kind = kQ4MemCode;
    mm->vmdb.kind = kQ4MemVmdb;
    mm->change.kind = kQ4MemChange;
}

void Q4MM_Close(Q4MMData* mm) {
    for (Q4MemImage* r : {&mm->code, &mm->vmdb}) {
        while (r->flags & kQ4MemLinked) Q4Memory_Unlink(r);
        Q4Memory_Free(r);
    }
}

int Q4MM_LoadCode(Q4MMData* mm) { return Q4Memory_Load(&mm->code, mm->prefix); }
int Q4MM_LoadVMDB(Q4MMData* mm) { return Q4Memory_Load(&mm->vmdb, mm->prefix); }
int Q4MM_LoadChange(Q4MMData* mm) { return Q4Memory_Load(&mm->change, mm->prefix); }
u8* Q4MM_LinkCode(Q4MMData* mm) { return Q4Memory_Link(&mm->code) ? nullptr : mm->code.linked; }
u8* Q4MM_LinkVMDB(Q4MMData* mm) { return Q4Memory_Link(&mm->vmdb) ? nullptr : mm->vmdb.linked; }
u8* Q4MM_LinkChange(Q4MMData* mm) { return Q4Memory_Link(&mm->change) ? nullptr : mm->change.linked; }
int Q4MM_UnlinkCode(Q4MMData* mm) { return Q4Memory_Unlink(&mm->code); }
int Q4MM_UnlinkVMDB(Q4MMData* mm) { return Q4Memory_Unlink(&mm->vmdb); }
int Q4MM_UnlinkChange(Q4MMData* mm) { return Q4Memory_Unlink(&mm->change); }
int Q4MM_FreeCode(Q4MMData* mm) { return Q4Memory_Free(&mm->code); }
int Q4MM_FreeVMDB(Q4MMData* mm) { return Q4Memory_Free(&mm->vmdb); }
int Q4MM_FreeChange(Q4MMData* mm) { return Q4Memory_Free(&mm->change); }
int Q4MM_AllocRawVMDB(Q4MMData* mm, u32 size) { return Q4Memory_Alloc(&mm->vmdb, size); }
int Q4MM_SaveVMDB(Q4MMData* mm) { return Q4Memory_Save(&mm->vmdb, mm->prefix); }

int Q4MM_SaveChange(Q4MMData* mm) {
    if (!mm->code.replaced) return 0;
    return Q4Memory_Save(&mm->code, mm->prefix);
}

namespace {

int WriteRequest(u16 kind, const char* prefix, int code, const Q4LoadRequest* req) {
    // The download goes to the file only; a running image of the same kind
    // stays loaded, so the steps work on a record of their own.
    Q4MemImage rec;
    rec.kind = kind;
    switch (code) {
        case kQ4LoadStart: return Q4Memory_StartWrite(&rec, req, prefix);
        case kQ4LoadBlock: return Q4Memory_Write(&rec, req, prefix);
        case kQ4LoadEnd: return Q4Memory_EndWrite(&rec, req, prefix);
        default: return 1;
    }
}

}  // namespace

int Q4MM_WriteCodeRequest(Q4MMData* mm, int code, const Q4LoadRequest* req) {
    return WriteRequest(kQ4MemCode, mm->prefix, code, req);
}

int Q4MM_WriteChangeRequest(Q4MMData* mm, int code, const Q4LoadRequest* req) {
    return WriteRequest(kQ4MemChange, mm->prefix, code, req);
}

int Q4MM_RegisterChange(Q4MMData* mm) {
    if (!(mm->change.flags & kQ4MemLoaded) || (mm->code.flags & kQ4MemLinked)) return 1;
    std::free(mm->code.memory);
    mm->code = mm->change;
    mm->code.kind = kQ4MemCode;
    mm->code.replaced = 1;
    mm->change = Q4MemImage{};
    mm->change.kind = kQ4MemChange;
    return 0;
}

int Q4MM_LoadHotImage(Q4MMData* mm, const Q4Code& code, u8** db) {
    if (db) *db = nullptr;
    if (Q4MM_LoadVMDB(mm) != 0) return kVmErrGeneric;
    int rc = Q4VM_CheckHotImage(code, mm->vmdb.memory, mm->vmdb.size);
    u8* p = rc == kVmOk ? Q4MM_LinkVMDB(mm) : nullptr;
    if (!p) {
        Q4MM_FreeVMDB(mm);
        return rc ? rc : kVmErrGeneric;
    }
    Q4VM_BuildDBMainLinks(p);
    if (db) *db = p;
    return kVmOk;
}
