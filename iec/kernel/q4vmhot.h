// On-line change and hot restart: an application continues on an existing
// VM database instead of starting cold. A hot start rebuilds a stopped
// application from its hot-restart image; an on-line change replaces the code
// of the running application by a new compilation while keeping its database.
//
// Both run the same check (Q4VM_CanHOTStart) and the same rebuild
// (Q4VM_BuildHOT). The transfer of the variable tables (Q4VMHot_PrcVarMap)
// decides which variables are kept (below each table's boundary) and which are
// new (from the boundary up to the highest index the new code declares): new
// ones are cleared and get their initial values, kept ones keep their values.
//
// The check refuses everything the rebuild would fail on, programs included:
// once the new code has replaced the running one, the rebuild cannot leave the
// application half built; only services outside the database (a port that
// will not open) can still fail, and they are reported, not fatal.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

// 0 when code can run on db, else a VM error code (also queued as a system
// event; a foreign application as event 1). Nothing in db changes.
int Q4VM_CanHOTStart(const Q4Code& code, u8* db);

// Rebuilds db for code (now: VM time in milliseconds of the day). 0 or a VM
// error code. Status option 0x10 (an on-line change in progress) keeps the
// heap where it is; otherwise a buffer heap is relocated.
int Q4VM_BuildHOT(const Q4Code& code, u8* db, u32 now);

// Transfer of the variable tables: 1 when they fit, 0 with the VM error code
// in *reason. apply 0 only checks; apply 1 also clears the new variables,
// places the new strings and moves the boundaries and used counts.
int Q4VMHot_PrcVarMap(const Q4Code& code, u8* db, int apply, int* reason);
