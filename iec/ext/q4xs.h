// Text buffers: growable NUL-terminated texts in the application's buffer
// heap, held by the program as DINT handles. Used by the TXB... blocks and by
// the XML blocks, which exchange documents and tag contents with them.
//
// A buffer is two heap blocks: a 16-byte header (magic "TXB\0", capacity of
// the text block with its NUL, read position of the line reader, handle of
// the text block; u32 little-endian, since a buffer heap is saved with the
// database) and the text block. The header's handle is the buffer's handle.
//
// Every operation takes the VM database; without a heap in the application
// they answer 0 and touch neither the error nor the count (kept in the VM
// status record). The heap blocks are locked only inside one call.
#pragma once

#include <string>

#include "platform/bytes.h"

struct Q4Heap;

constexpr u32 kQ4XsMagic = 0x00425854;  // "TXB\0"

enum Q4XsError : u32 {
    kXsOk = 0,
    kXsBadHandle = 4,
    kXsLineCut = 5,
    kXsNoFile = 6,
    kXsWriteFailed = 7,
    kXsNoMemory = 9,
    kXsNoConversion = 10,
};

u32 Q4XS_Alloc(u8* db, u32 size, const char* text);
int Q4XS_Free(u8* db, u32 h);
int Q4XS_SetAllocSize(u8* db, u32 h, u32 size);
int Q4XS_Set(u8* db, u32 h, const void* data, u32 length);
int Q4XS_Append(u8* db, u32 h, const char* text);
// Appends length bytes (the text ends at the first NUL among them).
int Q4XS_AppendN(u8* db, u32 h, const char* text, u32 length);
int Q4XS_AppendXS(u8* db, u32 h, u32 source);
int Q4XS_Copy(u8* db, u32 h, u32 source);
// Characters copied: the text cut to size - 1 and a NUL.
u32 Q4XS_Get(u8* db, u32 h, char* dst, u32 size);
int Q4XS_GetLine(u8* db, u32 h, char* dst, u32 size);
int Q4XS_Rewind(u8* db, u32 h);
u32 Q4XS_GetLength(u8* db, u32 h);
int Q4XS_SaveToFile(u8* db, u32 h, const char* path);
int Q4XS_SetFile(u8* db, u32 h, const char* path);
u32 Q4XS_GetTextHandle(u8* db, u32 h);
int Q4XS_AnsiToUtf8(u8* db, u32 h);
int Q4XS_Utf8ToAnsi(u8* db, u32 h);

// The whole text of a buffer (for the XML reader); false for an invalid
// handle (no error is set).
bool Q4XS_Text(u8* db, u32 h, std::string* out);
// The capacity of a valid buffer, else 0 (no error is set).
u32 Q4XS_Capacity(u8* db, u32 h);

// The family's status fields.
u32 Q4XS_Count(u8* db);
u32 Q4XS_LastError(u8* db);
void Q4XS_SetError(u8* db, u32 code);
