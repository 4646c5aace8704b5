// File blocks of the controller's library: write and read a data file
// (WRITE_CF, WRITE_CF2, READ_CF, READ_CF2) and rename one (RENAME_CF) on the
// removable media or the internal volume, through the controller's file
// request mailbox, and copy and delete files (COPY_CF, DELETE_CF) through
// the file-instruction engine, exactly as the ladder program's file
// instructions do. COPY_CF and DELETE_CF keep the instruction in the word
// form of the ladder's in their instance, its status naming the block's
// status variable; names too long for that instance are refused (86).
//
// One request can be in the mailbox at a time. The blocks of a family share
// an owner: the instance that submitted a request polls it at its next
// executions until it completes; others of the family see -3 meanwhile. A
// completed transfer is repeated only after enable has been FALSE. Status:
// -2 pending, -3 channel or mailbox busy, -4 disabled, 86 refused (name
// without an end, a TIME array, or data larger than the array or the
// mailbox's data area), else the completion code with the number of
// elements transferred in bits 16-31. Read data comes through a buffer of
// the block's own and is copied into the array only up to its size.
#pragma once

#include "iec/kernel/q4vmfb.h"
#include "platform/neighbour.h"

// A write or read request as the mailbox takes it.
struct Q4CfRequest {
    u32 mode = 0;
    const char* name = nullptr;
    void* data = nullptr;  // write: the data; read: where the mailbox copies it
    u32 type = 0;          // file data type (index of the mailbox's width table)
    u32 count = 0;
    u32* countOut = nullptr;  // elements transferred, written at completion
    u32 perLine = 0;          // write: elements per line; read: the first element word
    u32 format = 0;           // write only
    u32 flag = 0;             // write only (append)
};

// The file request mailbox (filled by the wiring; all required). poll: post
// when false, poll the pending request when true.
struct Q4FilePeers {
    i32 (*writeFile)(bool poll, const Q4CfRequest& request) = nullptr;
    i32 (*readFile)(bool poll, const Q4CfRequest& request) = nullptr;
    i32 (*renameFile)(bool poll, const char* oldName, const char* newName) = nullptr;
    // Executes the file instruction at ip (copy or delete) with the power
    // flow; its status goes to the IEC variable its record names.
    u8 (*fileAccess)(const u16*& ip, u8 power) = nullptr;
};
extern Q4FilePeers q4FilePeers;
void Q4FilePeers_Check(NeighbourCheck& check);

// Bytes of the mailbox's data area.
constexpr u32 kQ4CfDataBytes = 8192;
// Status values of the blocks besides the completion codes.
constexpr i32 kQ4CfPending = -2, kQ4CfBusy = -3, kQ4CfDisabled = -4, kQ4CfRefused = 86;

// Frees every family's channel (application start, block command 6).
void Q4Files_Reset();

int Q4Ctl_WriteCf(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_WriteCf2(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ReadCf(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ReadCf2(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_RenameCf(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_CopyCf(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_DeleteCf(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4CtlFileRows[] = {
    {"WRITE_CF", Q4Ctl_WriteCf}, {"WRITE_CF2", Q4Ctl_WriteCf2}, {"READ_CF", Q4Ctl_ReadCf},
    {"READ_CF2", Q4Ctl_ReadCf2}, {"RENAME_CF", Q4Ctl_RenameCf}, {"COPY_CF", Q4Ctl_CopyCf},
    {"DELETE_CF", Q4Ctl_DeleteCf},
};
