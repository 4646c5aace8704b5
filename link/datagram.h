// Datagrams: up to 64 lists of at most 30 registers that a host of the
// programming link defines once and then reads or writes whole with one
// short command, each protected by a 16-bit key and dropped when unused for
// its time-out.
#pragma once

#include "platform/bytes.h"

constexpr u32 kDgEntries = 64;
constexpr u32 kDgMaxRegs = 30;
constexpr u8 kDgRefused = 255;

struct DgDef {
    u8 inUse;
    u8 timeout;  // ageing ticks (about 100 ms each), 0 never expires
    u8 age;
    u8 count;
    u16 key;
    u32 refs[kDgMaxRegs];  // reference r names the 16-bit register at bit address r * 16
};
extern DgDef DgDefTable[kDgEntries];

// Entry index, or 255 when the list is invalid or no entry is free.
u8 Datagram_Create(u8 timeout, u16 key, const u16* words, u32 wordCount);
u8 Datagram_Delete(u8 index, u16 key);
// Register count, or 255.
u8 Datagram_Read(u8 index, u16 key, u16* destination);
u8 Datagram_Write(u8 index, u16 key, const u16* source, u32 wordCount);
void Datagram_Check();

// Handlers of commands 31-34.
void cmd_datagram_delete();
void cmd_datagram_create();
void cmd_datagram_write();
void cmd_datagram_read();

// Empties the table and forgets the ageing state (tests).
void Datagram_Reset();
