// The loadable block library: "libq4blocks.so" in the runtime's folder of
// the controller's root (<root>/run; the public interface is
// iec/ext/q4blocklib.h). Loaded when the IEC runtime starts, it offers its
// blocks to the block registry after the built-in ones, and is unloaded at
// exit. A missing or unusable library leaves the built-in blocks only; a
// file that is not a whole shared object for this host is never handed to
// the dynamic loader.
#pragma once

#include <cstddef>

#include "platform/bytes.h"
#include "iec/kernel/q4vmtic.h"

// The firmware path of the library (relative: the runtime's folder).
constexpr const char* kQ4BdllFile = Q4BLOCKS_LIBRARY_FILE;
// Ids beyond this end every enumeration, so that a library naming ids
// without end cannot hold the registry's walk.
constexpr u32 kQ4BdllMaxBlocks = 4096;
// Largest library file taken.
constexpr u64 kQ4BdllMaxFile = 64u << 20;

// Loads the library (replacing a loaded one): its handle, or none when
// there is no usable library (nothing printed then).
void* Q4Bdll_OpenDynaLinks();
// Result of closing; 0 when nothing was loaded.
int Q4Bdll_CloseDynaLinks();

// Enumeration of the library's blocks: ids from 1.
int Q4Bdll_StartEnumerate();
void Q4Bdll_StopEnumerate();
int Q4Bdll_GetFirstID(u32* id);
int Q4Bdll_GetNextID(u32* id);
const char* Q4Bdll_GetName(u32 id);
Q4FbHandler Q4Bdll_GetProc(u32 id);

// Checks the image of a library file (the whole file) before it is loaded:
// an ELF shared object of this host's class, byte order and machine whose
// header tables and loadable segments lie inside the file.
enum Q4BdllImage : int {
    kBdllImageOk = 0,
    kBdllNotElf = 1,       // too short, no ELF magic, wrong version
    kBdllOtherHost = 2,    // class, byte order or machine of another host
    kBdllNotShared = 3,    // not a shared object
    kBdllDamaged = 4,      // a table or segment reaches past the file's end
};
int Q4Bdll_CheckImage(const u8* data, std::size_t size);

// Tests only: blocks linked into the process that take the library's place
// (ids 1, 2 ... in list order, up to the entry with a null name), for tests
// of the interpreter whose blocks reach into the database. Null: none.
struct Q4BdllBlock {
    const char* name;
    Q4FbHandler handler;
};
void Q4Bdll_SetBuiltin(const Q4BdllBlock* list);
