// Drive-letter file API: whole operations on names such as B:\LOG\DATA.CSV
// on top of the file layer, answered with CF status codes, and the two
// register-block transfers of the file instructions (a block of values to a
// CSV file and back).
//
// Names carry their drive letter; a name without one means A:. The drive
// argument of a call picks the media block whose current directory is used.
#pragma once

#include "platform/bytes.h"
#include "platform/fx_api.h"

// CF status codes.
constexpr i16 kCfOk = 0;
constexpr i16 kCfEndOfFile = -1;
constexpr i16 kCfFormatFailed = 1;
constexpr i16 kCfNoMedium = 2;
constexpr i16 kCfMediumError = 5;
constexpr i16 kCfNotFound = 66;
constexpr i16 kCfNotAFile = 73;
constexpr i16 kCfAccessDenied = 77;
constexpr i16 kCfExists = 81;
constexpr i16 kCfBusy = 82;
constexpr i16 kCfInvalid = 86;
constexpr i16 kCfNotEmpty = 92;
constexpr i16 kCfTooDeep = 96;

// Last file-layer code, last drive state, last CF status.
extern u32 CfResult;
extern int CfState;
extern i16 CfStatus;
// Set by the file instructions' format thread while it runs.
extern u8 CfFormatRunning;

// Bits per element of the element types 0-8.
extern const u8 CF_TypeWidth[9];

// Directory entry record of the listing calls.
struct CfDirEntry {
    char fullName[512];  // as stored on the medium
    char name[256];      // upper case; a directory's whole name
    char ext[15];        // upper case; empty for directories
    u8 attr;
    u16 time;  // hour*2048 + minute*32 + second/2
    u16 date;  // day + month*32 + (year-1980)*512
    u32 size;
    // Listing state: the drive's local path before the listing, the
    // patterns and the record of the listed directory.
    FxLocalPath* savedRecord;
    FxLocalPath savedPath;
    FxLocalPath work;
    char namePattern[256];
    char extPattern[15];
    u8 started;
};

// File transfer request (the thirteen words; pointer words are native
// pointers here).
struct CfTransferRequest {
    u32 format;         // 0 raw, 1 CSV (writes)
    const char* name;   // 1
    void* data;         // 2: values (write) or destination (read)
    u32 type;           // 3
    u32 count;          // 4
    u32* countDone;     // 5
    i32 position;       // 6: write: elements per line; read: position
    u32 openMode;       // 7: 0 new, 1 append existing, 2 append or create, 3 replace
    u32 word8;          // write: low byte end-of-line flag; read: low 16 bits 76 mixed
    u32 word9;          // write: low 16 bits 77 mixed, high 16 bits header flag
    const u8* mixedTable;  // read: word 9, the mixed-type table
    u32 word10;            // write: low 16 bits number of column descriptors
    const char* columnNames;  // 11
    const u8* columnDesc;     // 12
    // Bytes the data area holds (0: exactly what the request names). Reads
    // never store past it; writes never take more than it.
    u32 dataBytes;
    // Bytes of the column-name text and of the mixed-type read table (0:
    // not known, the caller's own record).
    u32 columnNamesBytes;
    u32 mixedTableBytes;
};
constexpr u32 kCfMixedRead = 76;
constexpr u32 kCfMixedWrite = 77;

struct CfRenameRequest {
    const char* oldName;
    const char* newName;
};

i16 CfResultDecode(u32 fxCode, u32 drive = 0);
i16 CfStateDecode(int state);

void CF_Init();
i16 CF_GetStatus(int drive);
i16 CF_Open(FxFile* file, const char* name, u32 flags);
i16 CF_Read(FxFile* file, void* buffer, u32 size, u32* count);
i16 CF_Write(FxFile* file, const void* data, u32 size, u32* count);
i16 CF_Close(FxFile* file);
i16 CF_Size(FxFile* file, u32* size);
i16 CF_RenameFile(const CfRenameRequest* request);
i16 CF_ChangeDir(int drive, const char* path);
i16 CF_GetFirst(int drive, CfDirEntry* entry, const char* patternPath);
i16 CF_GetNext(int drive, CfDirEntry* entry);
i16 CF_GetDone(int drive, CfDirEntry* entry);
i16 CF_DeleteFile(int drive, const char* namePattern);
i16 CF_MakeDir(int drive, const char* path);
i16 CF_RemoveDir(int drive, const char* path);
i16 CF_GetFreeSpace(int drive, u32* totalKb, u32* freeKb);
i16 CF_ReadFile(int drive, CfTransferRequest* request);
i16 CF_WriteFile(int drive, CfTransferRequest* request);
i16 CF_FormatCard(int drive);
i16 CF_CopyFile(const CfRenameRequest* request);

// directoryOut 512 bytes, nameOut 256, extensionOut 15.
i16 CF_PathParse(char* directoryOut, char* nameOut, char* extensionOut, const char* path);
i16 CF_FileParse(char* nameOut, char* extensionOut, const char* file);
// Upper-case copy of at most 511 characters in a module buffer.
const char* CfUpper(const char* text);
// 1 when the name matches the pattern ("?" any character, "*" the rest).
int CfPatternCmp(const char* name, const char* pattern, u32 length);
// Collects bytes in a 512-byte buffer; size 0 writes what remains. -1 when a
// write fails, else the bytes taken.
i32 CfWriteBuffered(FxFile* file, const void* data, u32 size);

// Forgets the module state (tests).
void CF_Reset();
