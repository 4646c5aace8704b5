// Command protocol of the programming link. Until the protocol is built this
// holds the state that the scan, the mode changes and the start-up share with
// it, and the start-up and per-pass entries do nothing more than their
// bookkeeping.
#pragma once

#include "core/bytes.h"

// 255 while no programming command is running.
extern u8 CmdRun;
// Set while an on-line program change is in progress.
extern u8 OLPMode;
// 1 while a download is in progress.
extern u8 Cmd_Downloading;
// Set when a program-controlled function has taken the programming port.
extern u8 Cmd_Override;
// Logical serial port of the programming link.
extern u32 ProgrammingPort;

// System information block (memory area 17): four I/O entries of 24 bytes
// (u16 detected identity, 21 bytes of the slot record from its status
// character on, one spare byte), the rest zero.
constexpr u32 kCmdSsInfoBytes = 98;
constexpr u32 kCmdSsInfoEntryBytes = 24;
extern u8 Cmd_SS_Info[kCmdSsInfoBytes];

// On-line edit block (memory area 26): u16 CRC-16, u16 reserved, u32 size,
// then up to 4 MB of program data.
constexpr u32 kLadderOlpDataBytes = 4194296;
extern u8 ladder_olp[8 + kLadderOlpDataBytes];

// 0 warm-resets the controller, 1 reopens the programming port.
void Cmd_PortInit(u8 how);
void Cmd_Init();
void Cmd_Check();

// Forgets the module state (tests).
void Cmd_Reset();
