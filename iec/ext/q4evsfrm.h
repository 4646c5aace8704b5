// Event frames of the event server (numbers big-endian): "Q4", u16 L (total
// size - 4), 18, u8 event count, then the events, each u8 kind, u8 code,
// u8 data length n, u8 client slot, u32 date stamp, u32 time stamp, n bytes.
// Acknowledgement (client to server): "Q4", u16 L, 18, u8 event mask, u32
// key, and with L >= 10 a u32 maximum frame size.
#pragma once

#include "platform/bytes.h"

struct Q4EvsClient;

constexpr u32 kQ4EvsFrameBytes = 1024;
constexpr u8 kQ4EvsFrameCode = 18;
constexpr u32 kQ4EvsFrameHead = 6;

// Writes an empty frame header into the client's frame buffer.
void Q4EvsFrm_PutHeader(Q4EvsClient* c);
// Fills the client's frame from its queues as its mask allows; true when any
// event was added. An event that can never fit the client's frame size is
// dropped and counted lost.
bool Q4EvsFrm_PutEventList(Q4EvsClient* c, u32 date, u32 time);
// The idle frame: one event kind 8 code 0 with 09 01 01.
void Q4EvsFrm_PutIdle(Q4EvsClient* c, u32 date, u32 time);
// Takes a received acknowledgement of n bytes (frame buffer): the mask the
// key grants and the frame size; false when it is not one.
bool Q4EvsFrm_GetAck(Q4EvsClient* c, u32 n);
