// The runtime's files: stdio streams on firmware paths ("/mnt/cfg/q4.ret",
// "q4.hot"), each turned into a host path below the controller's root folder,
// so that nothing outside the root is ever touched.
#pragma once

#include <cstdio>

#include "platform/bytes.h"

using Q4FileHandle = std::FILE*;

// "rb", or "wb" when write != 0; null when the file cannot be opened.
Q4FileHandle Q4File_Open(const char* path, int write);
// "ab", falling back to "wb".
Q4FileHandle Q4File_OpenAppend(const char* path);
// 1 when closed; 0 for no handle or a failed close.
int Q4File_Close(Q4FileHandle f);
// 1 when exactly length bytes moved, else 0 (0 for no handle).
int Q4File_Read(Q4FileHandle f, void* buffer, u32 length);
int Q4File_Write(Q4FileHandle f, const void* buffer, u32 length);
// Items moved.
u32 Q4File_Fread(Q4FileHandle f, u32 size, u32 count, void* buffer);
u32 Q4File_Fwrite(Q4FileHandle f, u32 size, u32 count, const void* buffer);
// origin 1: from the current position, 2: from the end, other: from the start.
int Q4File_Fseek(Q4FileHandle f, int origin, i32 offset);
int Q4File_Fflush(Q4FileHandle f);
// 1 at the end of the file or for no handle.
int Q4File_Eof(Q4FileHandle f);
// Size in bytes, 0 when the file does not exist.
u32 Q4File_GetSize(const char* path);
int Q4File_Exist(const char* path);
int Q4File_Delete(const char* path);
int Q4File_Rename(const char* from, const char* to);
// Copies in 64-byte pieces; 1 when everything was copied.
int Q4File_Copy(const char* source, const char* destination);
// Writes the text and "\n"; 1 when both writes succeeded.
int Q4File_WriteLine(Q4FileHandle f, const char* text);
// Reads one line: up to a newline (not stored), the end of the file, size
// characters or 255 characters; NUL characters read are dropped. buffer needs
// size + 1 bytes and is NUL-terminated. Returns the number of characters.
int Q4File_ReadLine(Q4FileHandle f, char* buffer, u32 size);
