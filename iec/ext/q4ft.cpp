#include "iec/ext/q4ft.h"

#include <cstring>

#include "iec/ext/q4bdll.h"
#include "iec/kernel/q4file.h"
#include "platform/root.h"

namespace {

constexpr const char* kRegFile = "q4.reg";

// Set while the open file is "q4.reg".
bool g_regFile = false;

// Reduces the name to a path inside the runtime's folder; empty when
// nothing is left.
std::string Reduce(char* name) {
    for (char* p = name; *p; ++p)
        if (*p == '\\') *p = '/';
    std::string n = name;
    size_t lead = n.find_first_not_of('/');
    n = lead == std::string::npos ? std::string() : n.substr(lead);
    bool dotdot = false;
    for (size_t i = 0; i <= n.size();) {
        size_t j = n.find('/', i);
        if (j == std::string::npos) j = n.size();
        if (n.compare(i, j - i, "..") == 0 && j - i == 2) dotdot = true;
        i = j + 1;
    }
    if (dotdot) {
        size_t slash = n.rfind('/');
        n = slash == std::string::npos ? std::string() : n.substr(slash + 1);
        if (n == "..") n.clear();
    } else {
        while (n.compare(0, 2, "./") == 0) n.erase(0, 2);
    }
    return n;
}

// The NUL-terminated name at offset `at` of the frame, null when it does not
// end inside the frame.
char* NameAt(Q4CSSlot& s, u32 at) {
    const u32 end = Q4CS_FrameEnd(s);
    if (end <= at) return nullptr;
    if (!std::memchr(&s.request[at], 0, end - at)) return nullptr;
    return reinterpret_cast<char*>(&s.request[at]);
}

void CloseFile(Q4CSContext* cs) {
    if (!cs->ftFile) return;
    Q4File_Close(cs->ftFile);
    cs->ftFile = nullptr;
    if (g_regFile) {
        g_regFile = false;
        Q4_SignalRegChange(kRegFile);
    }
}

Q4FileHandle Open(char* name, bool write, u32* size) {
    g_regFile = false;
    std::string path;
    if (!Q4FT_GetFullPath(name, &path)) return nullptr;
    // The block library loads from this folder at the runtime's start: a
    // file sent over the link must never become native code of the
    // controller.
    if (write && Root_HostPath(path) == Root_HostPath(kQ4BdllFile)) return nullptr;
    if (size) *size = Q4File_GetSize(path.c_str());
    Q4FileHandle f = Q4File_Open(path.c_str(), write ? 1 : 0);
    if (f && write && std::strcmp(name, kRegFile) == 0) g_regFile = true;
    return f;
}

}  // namespace

u32 Q4FT_Crc32(u32 crc, const void* data, u32 n) {
    const u8* p = static_cast<const u8*>(data);
    for (u32 i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA000A001u : crc >> 1;
    }
    return crc;
}

bool Q4FT_GetFullPath(char* name, std::string* path) {
    if (!name || !path) return false;
    std::string reduced = Reduce(name);
    char full[256];
    if (reduced.empty() || !Q4_GetFullPath(reduced.c_str(), full)) return false;
    *path = full;
    return true;
}

void Q4CSFT_Close(Q4CSContext* cs) {
    if (cs) CloseFile(cs);
}

void Q4FT_Reset() { g_regFile = false; }

void Q4CSFT_Serve(Q4CSContext* cs, u16 slot) {
    Q4CSSlot* sp = Q4CS_Slot(cs, slot);
    if (!sp) return;
    Q4CSSlot& s = *sp;
    u8* a = s.answer;
    const u32 end = Q4CS_FrameEnd(s);
    const u8 sub = end >= 6 ? s.request[5] : 0;
    u16 result = 0;
    u32 data = 0;  // answer data bytes behind the sub-command
    switch (sub) {
        case 1: {
            CloseFile(cs);
            cs->ftCrc = kQ4FTCrcStart;
            char* name = NameAt(s, 10);
            cs->ftFile = name ? Open(name, true, nullptr) : nullptr;
            if (!cs->ftFile) result = kQ4FTCannotCreate;
            break;
        }
        case 2: {
            if (!cs->ftFile) {
                result = kQ4FTWriteNotOpen;
                break;
            }
            const u32 n = end >= 8 ? GetBe16(&s.request[6]) : 0;
            if (end < 8 || n > end - 8u) {
                result = kQ4FTBadRequest;
                break;
            }
            // Flushed at once, so that a block the medium refuses is answered
            // as refused, not found out at the close.
            const bool written =
                n == 0 || (Q4File_Write(cs->ftFile, &s.request[8], n) == 1 && Q4File_Fflush(cs->ftFile) == 1);
            cs->ftCrc = Q4FT_Crc32(cs->ftCrc, &s.request[8], n);
            if (!written) result = kQ4FTWriteFailed;
            break;
        }
        case 3:
        case 6:
            if (!cs->ftFile) {
                result = kQ4FTCloseNotOpen;
                break;
            }
            CloseFile(cs);
            PutBe32(a + 8, cs->ftCrc);
            data = 4;
            break;
        case 4: {
            CloseFile(cs);
            cs->ftCrc = kQ4FTCrcStart;
            char* name = NameAt(s, 6);
            u32 size = 0;
            cs->ftFile = name ? Open(name, false, &size) : nullptr;
            if (!cs->ftFile) {
                result = kQ4FTCannotOpen;
                break;
            }
            PutBe32(a + 8, size);
            data = 4;
            break;
        }
        case 5: {
            if (!cs->ftFile) {
                result = kQ4FTReadNotOpen;
                break;
            }
            u32 n = Q4File_Fread(cs->ftFile, 1, kQ4FTReadBlock, a + 10);
            cs->ftCrc = Q4FT_Crc32(cs->ftCrc, a + 10, n);
            PutBe16(a + 8, static_cast<u16>(n));
            data = 2 + n;
            break;
        }
        case 7: result = kQ4FTCannotOpenDir; break;  // no directory listing here
        case 8: result = kQ4FTNoDirEntry; break;
        case 9: result = kQ4FTDirNotOpen; break;
        case 10: {
            CloseFile(cs);
            char* name = NameAt(s, 6);
            std::string path;
            if (!name || !Q4FT_GetFullPath(name, &path) || Q4File_Delete(path.c_str()) != 1)
                result = kQ4FTCannotDelete;
            break;
        }
        default: result = kQ4FTBadRequest; break;
    }
    if (result) data = 0;
    a[0] = 'Q';
    a[1] = '4';
    PutBe16(a + 2, static_cast<u16>(4 + data));
    a[4] = kQ4CSRqFile;
    PutBe16(a + 5, result);
    a[7] = sub;
    Q4CS_Queue(s, 8 + data);
    Q4CS_ReleaseQuestion(cs, slot);
}
