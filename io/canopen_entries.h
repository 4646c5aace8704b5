// The CANopen node as programs reach it: the ladder CANopen instruction
// (opcode 367, CANOpenLadrBlock) and the entries of the IEC CANopen blocks
// (Q4_...). Both ask for the node id, a node's NMT state, send NMT
// commands, arm emergency reception and run SDO transfers, through the same
// rules; a block reports its progress in a status word (kCoBlock...).
//
// SDO transfers of the blocks use the node's SDO client, one at a time: the
// block that started a transfer owns it until its answer, its time-out or
// its own rung (or enable) going false; another block finds it busy.
#pragma once

#include "iec/ext/q4canopen.h"
#include "ladder/ladder_routines.h"
#include "platform/bytes.h"

constexpr u16 kCoBlockIdle = 255, kCoBlockBusy = 254, kCoBlockDone = 0, kCoBlockAborted = 1,
              kCoBlockOtherTransfer = 32, kCoBlockClientBusy = 33, kCoBlockRefused = 34, kCoBlockNoAnswer = 35,
              kCoBlockNotMaster = 36, kCoBlockAlreadyArmed = 37, kCoBlockBadNode = 38;

constexpr u16 kCoLadderOpcode = 367;
// Instance numbers of the inline ladder form.
constexpr u32 kCoSdoInstances = 256;
// The SDO buffer of a block transfer; remote transfers carry at most 4
// bytes (expedited).
constexpr u32 kCoBlockBufferBytes = 258;
constexpr u32 kCoBlockRemoteMax = 4;
// Ticks a block waits for the remote node's answer.
constexpr u32 kCoBlockTimeoutTicks = 1000;

// Ladder: the routine of opcode 367 (ip on the word after the opcode, left
// behind the operands) and its row for the interpreter and the checker.
u8 CANOpenLadrBlock(const u16* code, u32& ip, u8 rung, bool tok16);
const LadderRoutineRow* CANOpen_FindRow(u16 opcode);
// Status kept for an inline SDO instance.
u16 CANOpen_InstanceStatus(u32 instance);

// IEC entries (iec/ext/q4canopen.h tells the records). A reference whose
// value would leave the area makes the entry answer 0 without effect.
using CoIecArea = Q4CanOpenArea;
u16 Q4_get_node_id();
// node u8 in, state u8 out.
void Q4_get_state(CoIecArea area, const u8* record);
// node u8, command u16, status u16.
int Q4_set_nmt_state(CoIecArea area, const u8* record, int enable);
// node u8, index u16, subindex u16, status u16, abort code u32, an unused
// slot, length u8 out, data out (up to 4 bytes, or 8 from this node).
int Q4_canopen_sdo_read(CoIecArea area, const u8* record, int enable);
// node u8, index u16, subindex u16, status u16, abort code u32, an unused
// slot, length u16, data in.
int Q4_canopen_sdo_write(CoIecArea area, const u8* record, int enable);
// node u16, status u16, 8 data bytes out.
void Q4_canopen_rec_emrgency(CoIecArea area, const u8* record, int enable);
// status u16, 8 data bytes out.
void Q4_canopen_rec_emrgency_any(CoIecArea area, const u8* record, int enable);

// Forgets the block transfer, instance statuses (tests, node restart).
void CoEntries_Reset();
