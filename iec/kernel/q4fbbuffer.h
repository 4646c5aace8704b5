// Buffer blocks of the standard list: a stack of DINTs, and FIFO and LIFO
// buffers of any non-string type over an array of the application; and the
// family's rows of the block table.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4Stfb_StackInt(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Fifo(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Stfb_Lifo(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4FbBufferRows[] = {
    {"STACKINT", Q4Stfb_StackInt},
    {"FIFO", Q4Stfb_Fifo},
    {"LIFO", Q4Stfb_Lifo},
};
