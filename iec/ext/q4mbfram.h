// Modbus frame pieces shared by the runtime's Modbus client, server and
// blocks: the MBAP header of network frames, the CRC-16 of RTU frames, the
// LRC of ASCII frames and the length of an RTU answer told by its first
// three bytes. Nothing here keeps state.
#pragma once

#include "platform/bytes.h"

constexpr u32 kQ4MBMbapBytes = 6;
// Largest frame any side builds or accepts: an MBAP header and a 256-byte
// unit id + PDU, or an RTU frame of 256 bytes and the CRC.
constexpr u32 kQ4MBFrameBytes = 264;

// CRC-16/MODBUS of n bytes appended low byte first; answers n + 2.
u32 Q4MBFram_AppendCrc(u8* frame, u32 n);
// True when the last two of n bytes (n >= 4) are the CRC of the others.
bool Q4MBFram_CrcOk(const u8* frame, u32 n);
// Two's complement of the byte sum of n bytes.
u8 Q4MBFram_Lrc(const u8* data, u32 n);

// MBAP header for a PDU (unit id onward) of pduLength bytes.
void Q4MBFram_PutMbap(u8* frame, u16 transaction, u32 pduLength);
// Whole frame length from a 6-byte MBAP header: 0 when its length field
// cannot hold a unit id and a function code or exceeds 256 (the header is
// then dropped).
u32 Q4MBFram_MbapFrameLength(const u8* header);

// Whole RTU answer length (CRC included) from its first three bytes (unit,
// function, byte count): 0 for a function code no answer is expected with.
u32 Q4MBFram_RtuAnswerLength(const u8* head);

// The client's frames on a connection record of the runtime's Modbus context.
struct Q4MBView;
// Builds the request's frame into the connection (MBAP header for TCP and
// UDP, CRC for serial lines); position 0, length and time-out set.
void Q4MBFram_Build(const Q4MBView& v, u8* con, u8* request);
// Checks the answer in the connection's frame (or its failure status) and
// moves its data into the request's buffer; stamps, counts and error code
// of the request follow the outcome.
void Q4MBFram_Extract(const Q4MBView& v, u8* con, u8* request);
