// The board's bit-banged shift chains on GPIO bank 2 and 4, with the output
// shadow of the three chains kept in the kernel file /proc/Ssp2_Out_Data
// (under the root) so that every user of the chains sees the same outputs.
#pragma once

#include "platform/bytes.h"

// shadow[chain] = (shadow[chain] | setBits) & ~clearBits is shifted out on
// chain 0, 1 or 2; returns the 16 bits read back (chains 0 and 1), 0 for
// chain 2 and for any other chain (which touches nothing).
u32 Ssp2_Xch(u32 setBits, u32 clearBits, int chain);
// 1 while any chain select is active.
int Ssp2_Busy();
// Reads the shadow file (12 bytes, three little-endian u32); zeros when it
// is missing or short.
void Ssp2_ReadShadow(u32 shadow[3]);
// Forgets the pin set-up (tests).
void Ssp2_Reset();
