// Retained variables: the runs of each storage class that the application
// declares retained, saved to a retain file at stop and read back at start.
//
// File: u32 signature, then the data8, data16, data32, data64, TIME blocks,
// the retained strings whole (capacity, length, text, NUL) and the retained
// CT block, all raw little-endian bytes without padding. A file is accepted
// only with the running application's signature, only when it holds every
// block whole, and only when each string it carries has the capacity of the
// running string; a save replaces the file atomically.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

// Descriptor of the retained blocks (kept per database, rebuilt at every
// build). Offsets are from the start of the database.
struct Q4RetainDesc {
    u32 off[6] = {};    // data8, data16, data32, data64, TIME, STRING
    u32 size[6] = {};
    u32 signature = 0;
    u32 ctOff = 0, ctSize = 0;
};

int Q4VMWarm_PrepareData(const Q4Code& code, u8* db);
int Q4VMWarm_CanUpdatePointers(const Q4Code& code, u8* db);
int Q4VMWarm_UpdatePointers(const Q4Code& code, u8* db);
// The descriptor of db (all zero when none was prepared).
Q4RetainDesc Q4VMWarm_Descriptor(const u8* db);

// Whole file to a firmware path; 1 written, 0 failure.
int Q4VMWarm_SaveToFileDb(u8* db, const char* firmwarePath);
// 1 when the file matched and every block was read, 0 otherwise (nothing
// changed then).
int Q4VMWarm_LoadFromFileDb(u8* db, const char* firmwarePath);
// Save at stop: nothing without a path, the file deleted when nothing is retained.
void Q4VMWarm_ShutDown(u8* db, const char* firmwarePath);
// Load at start: 0 loaded; 1 no path, no file, another signature, or a file
// that does not fit the running layout (short, long, other string capacities).
int Q4VMWarm_Load(u8* db, const char* firmwarePath);
int Q4VMWarm_CanStore(u8* db);
void Q4VMWarm_CycleExchange(u8* db, int value);
int Q4VMWarm_CheckFile(u32 signature, const char* firmwarePath);
void Q4VMWarm_Forget(const u8* db);
