// What the web data items need of the running IEC application's symbols:
// where the variable a symbolic path names lies, and its IEC type.
//
// The runtime's own symbol parser answers through the lookup installed
// here; until it is installed, a small table of symbols (filled by whoever
// knows the application, tests among them) stands in for it.
#pragma once

#include "platform/bytes.h"

struct DartuSymbol {
    u16 iecType;    // Q4Type code; kQ4TypeComplex is not a variable of its own
    u32 offset;     // byte offset in the table of its class (CT segment for members)
    u32 stringNo;   // STRING: the string's number
    bool member;    // a member of a structure (held in the CT segment)
    u32 capacity;   // STRING: its capacity
};

// 1 with the symbol of the path, 0 when the path names nothing.
using DartuSymbolLookup = int (*)(u8* db, const char* path, DartuSymbol* out);
void DartuSym_SetLookup(DartuSymbolLookup lookup);
int DartuSym_Lookup(u8* db, const char* path, DartuSymbol* out);

// The stand-in table.
void DartuSym_FakeClear();
void DartuSym_FakeAdd(const char* path, const DartuSymbol& symbol);
