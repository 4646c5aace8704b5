// Bit blocks of the controller's library: test, set and clear one bit of an
// INT array, the bits numbered from 1 (bit 1 is bit 0 of word 0, bit 17 bit
// 0 of word 1), within a length in bytes and the array's element count.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_BitTest(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_BitSet(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_BitClear(int command, u8* db, u8* classData, u8* inst, const u16* ops);
