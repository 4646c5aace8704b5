#include "iec/kernel/q4file.h"

#include <sys/stat.h>

#include <string>

#include "platform/root.h"

namespace {
std::string Host(const char* path) { return Root_HostPath(path ? path : ""); }
}  // namespace

Q4FileHandle Q4File_Open(const char* path, int write) {
    if (!path) return nullptr;
    return std::fopen(Host(path).c_str(), write ? "wb" : "rb");
}

Q4FileHandle Q4File_OpenAppend(const char* path) {
    if (!path) return nullptr;
    std::string host = Host(path);
    Q4FileHandle f = std::fopen(host.c_str(), "ab");
    return f ? f : std::fopen(host.c_str(), "wb");
}

int Q4File_Close(Q4FileHandle f) { return f && std::fclose(f) == 0 ? 1 : 0; }

int Q4File_Read(Q4FileHandle f, void* buffer, u32 length) {
    if (!f) return 0;
    return std::fread(buffer, 1, length, f) == length ? 1 : 0;
}

int Q4File_Write(Q4FileHandle f, const void* buffer, u32 length) {
    if (!f) return 0;
    return std::fwrite(buffer, 1, length, f) == length ? 1 : 0;
}

u32 Q4File_Fread(Q4FileHandle f, u32 size, u32 count, void* buffer) {
    return f ? static_cast<u32>(std::fread(buffer, size, count, f)) : 0;
}

u32 Q4File_Fwrite(Q4FileHandle f, u32 size, u32 count, const void* buffer) {
    return f ? static_cast<u32>(std::fwrite(buffer, size, count, f)) : 0;
}

int Q4File_Fseek(Q4FileHandle f, int origin, i32 offset) {
    if (!f) return 0;
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    return std::fseek(f, offset, whence) == 0 ? 1 : 0;
}

int Q4File_Fflush(Q4FileHandle f) { return f && std::fflush(f) == 0 ? 1 : 0; }

int Q4File_Eof(Q4FileHandle f) {
    if (!f) return 1;
    // At the end when no further byte can be read (not only after a read
    // has run into the end).
    int c = std::fgetc(f);
    if (c == EOF) return 1;
    std::ungetc(c, f);
    return 0;
}

u32 Q4File_GetSize(const char* path) {
    struct stat st;
    if (!path || ::stat(Host(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return st.st_size > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<u32>(st.st_size);
}

int Q4File_Exist(const char* path) {
    struct stat st;
    return path && ::stat(Host(path).c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int Q4File_Delete(const char* path) { return path && std::remove(Host(path).c_str()) == 0 ? 1 : 0; }

int Q4File_Rename(const char* from, const char* to) {
    return from && to && std::rename(Host(from).c_str(), Host(to).c_str()) == 0 ? 1 : 0;
}

int Q4File_Copy(const char* source, const char* destination) {
    Q4FileHandle in = Q4File_Open(source, 0);
    if (!in) return 0;
    Q4FileHandle out = Q4File_Open(destination, 1);
    if (!out) {
        std::fclose(in);
        return 0;
    }
    u8 piece[64];
    bool ok = true;
    for (;;) {
        size_t n = std::fread(piece, 1, sizeof piece, in);
        if (n && std::fwrite(piece, 1, n, out) != n) ok = false;
        if (n < sizeof piece) {
            if (std::ferror(in)) ok = false;
            break;
        }
    }
    std::fclose(in);
    if (std::fclose(out) != 0) ok = false;
    return ok ? 1 : 0;
}

int Q4File_WriteLine(Q4FileHandle f, const char* text) {
    if (!f || !text) return 0;
    bool a = std::fputs(text, f) >= 0;
    bool b = std::fputc('\n', f) != EOF;
    return a && b ? 1 : 0;
}

int Q4File_ReadLine(Q4FileHandle f, char* buffer, u32 size) {
    if (!f || !buffer) return 0;
    u32 limit = size < 255 ? size : 255;
    u32 n = 0;
    while (n < limit) {
        int c = std::fgetc(f);
        if (c == EOF || c == '\n') break;
        if (c == 0) continue;
        buffer[n++] = static_cast<char>(c);
    }
    buffer[n] = 0;
    return static_cast<int>(n);
}
