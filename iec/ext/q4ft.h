// Workbench file transfer (request 19): whole files between the workbench and
// the runtime's file folder, in blocks with a running 32-bit CRC; delete; no
// directory listing. One open file and one CRC per server context, shared by
// its clients (the last open wins). A file received under the name "q4.reg"
// tells the runtime, when it is closed, that its register parameters
// changed.
//
// Request: "Q4", u16 L, 19, u8 sub-command, arguments. Answer: "Q4", u16 L,
// 19, u16 result (0 or an error number), sub-command, data.
//
// Names never leave the runtime's folder: backslashes become "/", leading
// "/" are dropped, a name with a ".." component keeps only its last
// component, and a leading "./" goes.
#pragma once

#include <string>

#include "iec/ext/q4cs.h"

// Error numbers of the answer.
enum Q4FTError : u16 {
    kQ4FTBadRequest = 1,   // unknown sub-command, or arguments beyond the frame
    kQ4FTCannotCreate = 2,
    kQ4FTWriteNotOpen = 3,
    kQ4FTCloseNotOpen = 4,
    kQ4FTCannotOpen = 5,
    kQ4FTReadNotOpen = 6,
    kQ4FTCannotDelete = 7,
    kQ4FTCannotOpenDir = 8,
    kQ4FTDirNotOpen = 9,
    kQ4FTNoDirEntry = 10,
    kQ4FTWriteFailed = 11,  // the block could not be written
};

constexpr u32 kQ4FTReadBlock = 800;
constexpr u32 kQ4FTCrcStart = 0xFFFFFFFFu;

// Running CRC: reflected polynomial 0xA000A001, no final inversion.
u32 Q4FT_Crc32(u32 crc, const void* data, u32 n);

// Serves the complete request 19 of the slot, queues its answer and
// releases the slot.
void Q4CSFT_Serve(Q4CSContext* cs, u16 slot);
// Closes the context's open file (and signals a received "q4.reg").
void Q4CSFT_Close(Q4CSContext* cs);

// The firmware path of a name in the runtime's folder, by the rules above;
// false when nothing is left of the name or the path is too long. The name's
// backslashes are replaced in place.
bool Q4FT_GetFullPath(char* name, std::string* path);

// Forgets the register-file mark (tests).
void Q4FT_Reset();
