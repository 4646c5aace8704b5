#include "iec/ext/q4xs.h"

#include <cstring>

#include "iec/kernel/q4file.h"
#include "iec/kernel/q4heap.h"
#include "iec/kernel/q4vmdb.h"

namespace {

constexpr u32 kHdrMagic = 0, kHdrCap = 4, kHdrPos = 8, kHdrText = 12, kHdrBytes = 16;
constexpr u32 kFilePiece = 1024;

struct Header {
    u32 cap = 0, pos = 0, text = 0;
};

u32 StatusGet(u8* db, u32 at) {
    u8* st = Q4VM_Status(db);
    return st ? GetLe32(st + at) : 0;
}
void StatusPut(u8* db, u32 at, u32 v) {
    if (u8* st = Q4VM_Status(db)) PutLe32(st + at, v);
}

Q4Heap* Heap(u8* db) { return db ? Q4VM_GetHeap(db) : nullptr; }

// The header of a buffer, or false when the handle is none.
bool ReadHeader(Q4Heap* heap, u32 h, Header* out) {
    u8* p = Q4Heap_Lock(heap, h);
    if (!p) return false;
    bool ok = GetLe32(p + kHdrMagic) == kQ4XsMagic;
    if (ok) *out = Header{GetLe32(p + kHdrCap), GetLe32(p + kHdrPos), GetLe32(p + kHdrText)};
    Q4Heap_Unlock(heap, h);
    return ok;
}

void WriteHeader(Q4Heap* heap, u32 h, const Header& hd) {
    if (u8* p = Q4Heap_Lock(heap, h)) {
        PutLe32(p + kHdrMagic, kQ4XsMagic);
        PutLe32(p + kHdrCap, hd.cap);
        PutLe32(p + kHdrPos, hd.pos);
        PutLe32(p + kHdrText, hd.text);
        Q4Heap_Unlock(heap, h);
    }
}

// The text of a buffer: at most capacity - 1 characters, whatever the block
// holds (a heap saved with the database is read back from a file).
std::string TextOf(Q4Heap* heap, const Header& hd) {
    std::string s;
    if (hd.cap == 0) return s;
    if (const u8* p = Q4Heap_Lock(heap, hd.text)) {
        s.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), hd.cap - 1));
        Q4Heap_Unlock(heap, hd.text);
    }
    return s;
}

// Replaces the text (length bytes at most capacity - 1, checked by callers).
void PutText(Q4Heap* heap, const Header& hd, const char* data, u32 length) {
    if (u8* p = Q4Heap_Lock(heap, hd.text)) {
        if (length) std::memmove(p, data, length);
        p[length] = 0;
        Q4Heap_Unlock(heap, hd.text);
    }
}

// Validity check of every operation on a handle: error 4 when invalid.
bool Open(u8* db, Q4Heap* heap, u32 h, Header* hd, bool compact = true) {
    if (compact) Q4Heap_Compact(heap, 4);
    if (ReadHeader(heap, h, hd)) return true;
    Q4XS_SetError(db, kXsBadHandle);
    return false;
}

// Makes the capacity at least size: a new block of exactly size bytes is
// taken before the old one is let go, so a failure keeps the text.
bool Grow(u8* db, Q4Heap* heap, u32 h, Header* hd, u32 size) {
    if (size <= hd->cap) return true;
    u32 text = Q4Heap_Alloc(heap, size);
    if (!text) {
        Q4XS_SetError(db, kXsNoMemory);
        return false;
    }
    std::string old = TextOf(heap, *hd);
    if (u8* p = Q4Heap_Lock(heap, text)) {
        std::memcpy(p, old.data(), old.size());
        p[old.size()] = 0;
        Q4Heap_Unlock(heap, text);
    }
    Q4Heap_Free(heap, hd->text);
    hd->text = text;
    hd->cap = size;
    WriteHeader(heap, h, *hd);
    return true;
}

// Text = length bytes of data (cut at the first NUL for every other reader).
int SetText(u8* db, Q4Heap* heap, u32 h, Header* hd, const char* data, u32 length) {
    if (length >= 0xFFFFFFFFu || !Grow(db, heap, h, hd, length + 1)) return 0;
    PutText(heap, *hd, data, length);
    hd->pos = 0;
    WriteHeader(heap, h, *hd);
    Q4XS_SetError(db, kXsOk);
    return 1;
}

int AppendText(u8* db, Q4Heap* heap, u32 h, Header* hd, const char* text, u32 length) {
    length = static_cast<u32>(strnlen(text, length));
    std::string cur = TextOf(heap, *hd);
    u64 need = static_cast<u64>(cur.size()) + length + 1;
    if (need > 0xFFFFFFFFu || !Grow(db, heap, h, hd, static_cast<u32>(need))) return 0;
    cur.append(text, length);
    PutText(heap, *hd, cur.data(), static_cast<u32>(cur.size()));
    Q4XS_SetError(db, kXsOk);
    return 1;
}

}  // namespace

u32 Q4XS_Count(u8* db) { return StatusGet(db, kVmStTextCount); }
u32 Q4XS_LastError(u8* db) { return StatusGet(db, kVmStTextError); }
void Q4XS_SetError(u8* db, u32 code) { StatusPut(db, kVmStTextError, code); }

u32 Q4XS_Alloc(u8* db, u32 size, const char* text) {
    Q4Heap* heap = Heap(db);
    if (!heap) return 0;
    Q4Heap_Compact(heap, 4);
    u32 len = text ? static_cast<u32>(std::strlen(text)) : 0;
    if (text && size < len + 1) size = len + 1;
    if (size == 0) return 0;
    u32 h = Q4Heap_Alloc(heap, kHdrBytes);
    u32 t = h ? Q4Heap_Alloc(heap, size) : 0;
    if (!t) {
        if (h) Q4Heap_Free(heap, h);
        Q4XS_SetError(db, kXsNoMemory);
        return 0;
    }
    Header hd{size, 0, t};
    WriteHeader(heap, h, hd);
    if (text) PutText(heap, hd, text, len);
    StatusPut(db, kVmStTextCount, Q4XS_Count(db) + 1);
    Q4XS_SetError(db, kXsOk);
    return h;
}

int Q4XS_Free(u8* db, u32 h) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd, false)) return 0;
    // The magic goes first, so a handle kept by the program no longer
    // passes for a buffer should the slot be handed out again.
    if (u8* p = Q4Heap_Lock(heap, h)) {
        PutLe32(p + kHdrMagic, 0);
        Q4Heap_Unlock(heap, h);
    }
    Q4Heap_Free(heap, hd.text);
    Q4Heap_Free(heap, h);
    u32 n = Q4XS_Count(db);
    StatusPut(db, kVmStTextCount, n ? n - 1 : 0);
    Q4XS_SetError(db, kXsOk);
    Q4Heap_Compact(heap, 4);
    return 1;
}

int Q4XS_SetAllocSize(u8* db, u32 h, u32 size) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    if (!Grow(db, heap, h, &hd, size)) return 0;
    Q4XS_SetError(db, kXsOk);
    return 1;
}

int Q4XS_Set(u8* db, u32 h, const void* data, u32 length) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    return SetText(db, heap, h, &hd, static_cast<const char*>(data), data ? length : 0);
}

int Q4XS_Append(u8* db, u32 h, const char* text) {
    return Q4XS_AppendN(db, h, text ? text : "", text ? static_cast<u32>(std::strlen(text)) : 0);
}

int Q4XS_AppendN(u8* db, u32 h, const char* text, u32 length) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    return AppendText(db, heap, h, &hd, text, length);
}

// The source's text is taken whole before the destination changes, so a
// buffer appended to or copied onto itself stays sound.
int Q4XS_AppendXS(u8* db, u32 h, u32 source) {
    Q4Heap* heap = Heap(db);
    Header src, hd;
    if (!heap || !Open(db, heap, source, &src)) return 0;
    std::string text = TextOf(heap, src);
    if (!Open(db, heap, h, &hd, false)) return 0;
    return AppendText(db, heap, h, &hd, text.data(), static_cast<u32>(text.size()));
}

int Q4XS_Copy(u8* db, u32 h, u32 source) {
    Q4Heap* heap = Heap(db);
    Header src, hd;
    if (!heap || !Open(db, heap, source, &src)) return 0;
    std::string text = TextOf(heap, src);
    if (!Open(db, heap, h, &hd, false)) return 0;
    return SetText(db, heap, h, &hd, text.data(), static_cast<u32>(text.size()));
}

u32 Q4XS_Get(u8* db, u32 h, char* dst, u32 size) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    Q4XS_SetError(db, kXsOk);
    if (size == 0 || !dst) return 0;
    std::string text = TextOf(heap, hd);
    u32 n = static_cast<u32>(text.size()) < size - 1 ? static_cast<u32>(text.size()) : size - 1;
    std::memcpy(dst, text.data(), n);
    dst[n] = 0;
    return n;
}

int Q4XS_GetLine(u8* db, u32 h, char* dst, u32 size) {
    Q4Heap* heap = Heap(db);
    if (!heap || size == 0 || !dst) return 0;
    Header hd;
    if (!Open(db, heap, h, &hd)) return 0;
    const u8* p = Q4Heap_Lock(heap, hd.text);
    if (!p) return 0;
    u32 pos = hd.pos;
    if (pos >= hd.cap || p[pos] == 0) {
        Q4Heap_Unlock(heap, hd.text);
        dst[0] = 0;
        return 0;
    }
    Q4XS_SetError(db, kXsOk);
    u32 n = 0;
    while (pos < hd.cap && p[pos] != 0) {
        if (p[pos] == '\n') {
            ++pos;
            break;
        }
        if (n == size - 1) {
            Q4XS_SetError(db, kXsLineCut);
            break;
        }
        dst[n++] = static_cast<char>(p[pos++]);
    }
    dst[n] = 0;
    Q4Heap_Unlock(heap, hd.text);
    hd.pos = pos;
    WriteHeader(heap, h, hd);
    return 1;
}

int Q4XS_Rewind(u8* db, u32 h) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    hd.pos = 0;
    WriteHeader(heap, h, hd);
    Q4XS_SetError(db, kXsOk);
    return 1;
}

u32 Q4XS_GetLength(u8* db, u32 h) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    Q4XS_SetError(db, kXsOk);
    return static_cast<u32>(TextOf(heap, hd).size());
}

int Q4XS_SaveToFile(u8* db, u32 h, const char* path) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    Q4FileHandle f = Q4File_Open(path, 1);
    if (!f) {
        Q4XS_SetError(db, kXsWriteFailed);
        return 0;
    }
    std::string text = TextOf(heap, hd);
    bool ok = true;
    for (size_t at = 0; ok && at < text.size(); at += kFilePiece) {
        u32 n = static_cast<u32>(text.size() - at < kFilePiece ? text.size() - at : kFilePiece);
        ok = Q4File_Write(f, text.data() + at, n) == 1;
    }
    ok = Q4File_Close(f) == 1 && ok;
    Q4XS_SetError(db, ok ? kXsOk : kXsWriteFailed);
    return ok ? 1 : 0;
}

int Q4XS_SetFile(u8* db, u32 h, const char* path) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !Open(db, heap, h, &hd)) return 0;
    Q4FileHandle f = Q4File_Open(path, 0);
    if (!f) {
        PutText(heap, hd, "", 0);
        Q4XS_SetError(db, kXsNoFile);
        return 0;
    }
    std::string text;
    char piece[kFilePiece];
    while (hd.cap > 0 && text.size() < hd.cap - 1) {
        u32 want = static_cast<u32>(hd.cap - 1 - text.size() < kFilePiece ? hd.cap - 1 - text.size() : kFilePiece);
        u32 n = Q4File_Fread(f, 1, want, piece);
        if (n == 0) break;
        text.append(piece, n);
    }
    Q4File_Close(f);
    PutText(heap, hd, text.data(), static_cast<u32>(text.size()));
    Q4XS_SetError(db, kXsOk);
    return 1;
}

u32 Q4XS_GetTextHandle(u8* db, u32 h) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !ReadHeader(heap, h, &hd)) return 0;
    return hd.text;
}

int Q4XS_AnsiToUtf8(u8* db, u32) {
    Q4XS_SetError(db, kXsNoConversion);
    return 0;
}
int Q4XS_Utf8ToAnsi(u8* db, u32) {
    Q4XS_SetError(db, kXsNoConversion);
    return 0;
}

bool Q4XS_Text(u8* db, u32 h, std::string* out) {
    Q4Heap* heap = Heap(db);
    Header hd;
    if (!heap || !ReadHeader(heap, h, &hd)) return false;
    *out = TextOf(heap, hd);
    return true;
}

u32 Q4XS_Capacity(u8* db, u32 h) {
    Q4Heap* heap = Heap(db);
    Header hd;
    return heap && ReadHeader(heap, h, &hd) ? hd.cap : 0;
}
