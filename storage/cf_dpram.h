// File request mailbox: the requester side. The file instructions and the
// IEC file blocks post one file operation at a time into the mailbox block
// dpram and poll for its answer on later executions; the mailbox step of the
// system update hands the request to the media manager.
//
// Each routine posts when bit 7 of the channel byte is clear and polls when
// it is set. Results: -2 posted or still pending, -3 the mailbox holds
// another request, 86 a name without an end within 512 characters (or too
// much data for the data area), otherwise the server's result.
#pragma once

#include "platform/bytes.h"

constexpr i32 kDpramPending = -2, kDpramBusy = -3;
constexpr u8 kDpramPoll = 0x80;

// Commands of the mailbox.
constexpr u8 kDpramCmdRead = 0, kDpramCmdWrite = 1, kDpramCmdRename = 2, kDpramCmdDelete = 3,
             kDpramCmdFormat = 4, kDpramCmdCopy = 5;

// Caller's read request (words 0-9 of the request block).
struct CfDpramReadRequest {
    u32 mode;          // 1 CSV text
    const char* name;  // 1
    void* dest;        // 2
    u32 type;          // 3
    u32 count;         // 4
    u32* countOut;     // 5
    i32 first;         // 6: first element, -1 count rows, other negative by column
    u32 word7;
    u32 word8;               // low half record form code (76), high half bytes per record
    const void* fieldList;   // 9: record reads
    u32 fieldListBytes;      // its size (0: not known)
};

// Caller's write request (words 0-12).
struct CfDpramWriteRequest {
    u32 mode;
    const char* name;
    const void* data;
    u32 type;
    u32 count;
    u32* countOut;
    u32 perLine;     // 6
    u32 formatBits;  // 7
    u32 append;      // 8
    u32 word9;       // low half record form code (77), high half record parameter
    u32 word10;      // low half number of fields, high half bytes per record
    const void* record;     // 11
    const void* fieldList;  // 12
};

i32 CF_DpramReadFile(u8 channel, CfDpramReadRequest* request);
i32 CF_DpramWriteFile(u8 channel, CfDpramWriteRequest* request);
i32 CF_DpramRenameFile(u8 channel, const char* oldName, const char* newName);
i32 CF_DpramFormatCard(u8 channel);
i32 CF_DpramDeleteFile(u8 channel, const char* name);
i32 CF_DpramCopyFile(u8 channel, const char* source, const char* destination);
