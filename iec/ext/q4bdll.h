// The optional loadable block library (./libq4blocks.so): blocks enumerated
// at run time for the function-block registry. The library is looked for
// when the runtime opens its dynamic links; without it the list is empty.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmtic.h"

int Q4Bdll_OpenDynaLinks();
void Q4Bdll_CloseDynaLinks();
// Enumeration: 1 when started (a library is present), 0 otherwise.
int Q4Bdll_StartEnum();
void Q4Bdll_StopEnum();
// Block id (from 0): its name and handler; null past the end.
const char* Q4Bdll_GetName(u32 id);
Q4FbHandler Q4Bdll_GetProc(u32 id);

// Blocks linked into the process in place of a library (tests, benches):
// a null-terminated list that the enumeration yields after any library block.
struct Q4BdllBlock {
    const char* name;
    Q4FbHandler handler;
};
void Q4Bdll_SetBuiltin(const Q4BdllBlock* list);
