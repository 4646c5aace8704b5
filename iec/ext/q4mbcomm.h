// Transports of the runtime's Modbus client: TCP, UDP and the serial port the
// runtime borrows (RTU, or ASCII for an address beginning "ASCII:"), each on
// a connection record of the context. Nothing waits.
#pragma once

#include "platform/bytes.h"

struct Q4MBView;

// 0 connected, 1 connecting, 7 failed (status 130); sets the state too.
int Q4MBComm_Open(const Q4MBView& v, u8* con);
void Q4MBComm_CheckPendingConnect(const Q4MBView& v, u8* con);
// Sends what is left of the frame: state 4 once all is out, 7 on failure.
void Q4MBComm_Send(const Q4MBView& v, u8* con);
// Reads the answer: state 6 when it is whole or the time-out passed
// (status 128), 7 when the connection broke.
void Q4MBComm_Receive(const Q4MBView& v, u8* con, u32 now);
void Q4MBComm_Close(const Q4MBView& v, u8* con);

// The ASCII layer over the serial handle. The mode word's bit 31 selects
// ASCII; without it bytes pass through unchanged. Bits 16-27 count the
// characters of a frame already written, bit 30 marks a received high digit
// kept in bits 0-3.
constexpr u32 kQ4AscMode = 0x80000000u, kQ4AscNibble = 0x40000000u;
void Q4SerialAsc_Open(int* handle, const char* name, u32* mode);
// Sends an RTU frame of n bytes (its CRC not sent) as ":", hex pairs, LRC,
// CR LF. Answers n once the whole frame is out, else 0 (the rest goes with
// the next call).
u32 Q4SerialAsc_Send(int* handle, u32 n, const u8* frame, u32* mode);
// Up to n bytes assembled from hex digit pairs (other characters skipped).
u32 Q4SerialAsc_Receive(int* handle, u32 n, u8* buffer, u32* mode);
void Q4SerialAsc_Flush(int* handle, u32* mode);
void Q4SerialAsc_Close(int* handle, u32* mode);
