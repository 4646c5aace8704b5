// Movers of the protocol driver manager: they move a message's data between
// the register memory and its read and write buffers, and find the runs of
// changed elements that a change-detected message writes. The write buffer
// doubles as the shadow of a change-detected message: the value last
// exchanged with the station for each element.
//
// Registers are little-endian words at any byte address; buffers are native
// words. 32-bit elements are two words, low word first in the registers;
// option 0x10 exchanges the halves between registers and buffers. Bit
// messages start at the message's bit offset in the register memory and at
// bit 0 of the buffers, least significant bit first; over IEC BOOL
// variables (boolBytes) the register side holds one byte per element.
#pragma once

#include "link/promgr_driver.h"
#include "platform/bytes.h"

int PutRegs(PromgrMessageBlock* m);
int GetRegs(PromgrMessageBlock* m);
int CovPutRegs(PromgrMessageBlock* m);
int CmpRegs(PromgrMessageBlock* m);
int CmpRegs_string(PromgrMessageBlock* m);
int PutDRegs(PromgrMessageBlock* m);
int GetDRegs(PromgrMessageBlock* m);
int CovPutDRegs(PromgrMessageBlock* m);
int CmpDRegs(PromgrMessageBlock* m);
int PutBitPackedRegs(PromgrMessageBlock* m);
int GetBitPackedRegs(PromgrMessageBlock* m);
int CovPutBitPackedRegs(PromgrMessageBlock* m);
int CmpBitPackedRegs(PromgrMessageBlock* m);

// Words of a string element.
constexpr u32 kPmgrStringWords = 43;

// The bit-shift buffer: the longest run a bit message can produce fits (a
// driver's buffer area holds at most 8,192 words of a bit message's write
// buffer, one word per bit).
constexpr u32 kPmgrShiftBytes = kPmgrAreaBytes / 2 / 8 + 2;
// Byte j of the result = (the 16 bits at data + j) >> shift, for j below
// ceil(bits / 8); answers the shared shift buffer. Bit counts beyond the
// buffer are cut to it.
u8* ShiftBitData(const u8* data, u32 shift, u32 bits);
// One BOOL byte (0 or 1) per bit, first variable in bit 0; a last partial
// byte carries the remaining variables alone.
void QuilletPackBitData(const u8* bools, u8* destination, u32 count);
void QuilletUnPackBitData(const u8* source, u8* bools, u32 count);
