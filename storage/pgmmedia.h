// Program save and load on the card, and clone images.
//
// Save and load act as a programming tool talking to the controller's own
// command interpreter over the media transfer link: a save uploads each table
// and writes what arrives; a load checks the whole file first, then downloads
// each table, so the interpreter stores and checks the blocks exactly as for
// a download from the PC software.
//
// The media manager runs these as its operations 16-20 (a load is 16, 17,
// 18; 19 releases the link when a client stops after 16 or 17). Every
// failure releases the link, and a failed validation or load reloads the
// stored program so that the running program and the stored blocks agree.
//
// Clone image: the whole register memory followed by its CRC-16 (109,178
// bytes); with an IEC application its retained values travel beside it in
// "/mnt/USB0/BRVQclone.dat".
#pragma once

#include "platform/bytes.h"
#include "core/plc_regs.h"
#include "platform/neighbour.h"
#include "storage/pgmfile.h"

constexpr u32 kCloneImageBytes = kPlcRegBytes + 2;

// Diagnostic number of the last failed command exchange (1 link claim on
// save, 2 version query on save, 11 upload command, 12 upload data, 20 link
// claim for the identity, 21 identity upload, 30 version query on validate,
// 40 stop command, 50 download command, 51 download data, 70 register
// preset, 80 link release).
extern u32 MCMD_Errno;

// Operation 16: takes and claims the link and copies the first 80 bytes of
// the security table to out. The link stays claimed for 17 and 18.
i32 PgmReadIdentity(u8* out80);
// Operation 17: reads and checks the whole file and this controller's model
// and version. 0 keeps the link claimed and the tables in memory.
i32 ValidatePgm(const char* name, u8* identityOut80);
// Operation 18: downloads the validated tables.
i32 LoadPgm();
// Operation 19 and the end of every job.
i32 ReleaseCnxn();
// Operation 20: saves the stored program as the named file. The file is
// written aside and put in place only when complete, so a failed save keeps
// the old file.
i32 SavePgm(const char* name);

// Clone image save and load. LoadDat checks the whole image before it
// changes anything: registers and retained values stay as they are on a
// short or damaged image (73).
i32 MakeDat(const char* name);
i32 LoadDat(const char* name);
// The IEC part of a clone load: the retained values beside the image are
// handed to the runtime and, when accepted, become q4.ret. 1 when copied.
int q4LoadDat();
// This controller's kernel revision text into ESR9-ESR13, the ramdisk
// version into ESR8 (a clone image carries the other controller's).
void Update_SystemVariables();

// Identity, validation and load of one file in a row (the same road as the
// card load of the media manager). 0 or the first failure's code.
i32 PgmMedia_LoadFile(const char* name);

// What ends a clone load: the warm reset that starts the loaded program.
struct PgmMediaPeers {
    void (*warmReset)() = nullptr;
};
extern PgmMediaPeers pgmMediaPeers;  // filled by core/wiring.cpp
void PgmMediaPeers_Check(NeighbourCheck& check);
void PgmMedia_Reset();
