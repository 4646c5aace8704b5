// TEXTTABLE: picks a text out of the panel program's text tables by table
// number and value.
//
// The tables are a run of headers {u16 table number from 0, u16 entry
// count}, each followed by its entries {u32 upper bound, u32 offset of a
// NUL-terminated text in the program's string area}, ended by a header
// numbered 0xFFFF. Nothing in this system loads a panel program, so there
// are no tables unless given, and the block leaves its output as it is.
#pragma once

#include "platform/bytes.h"

int Q4Ctl_TextTable(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// The panel program's text tables and string area (null: none). The memory
// stays the caller's; the lookup never reads past either length.
void Q4TextTable_Set(const u8* tables, u32 tableBytes, const u8* strings, u32 stringBytes);
