// Memory images of the runtime: the code image, the VM database and the
// change image of an on-line change. Each lives in one allocation described
// by a memory image record and has one file:
//   code image      "/mnt/cfg/q4.cod"
//   VM database     "q4.hot" (hot-restart image, in the working directory)
//   change image    "/mnt/cfg/q4.upd"
// Firmware paths become host paths through Root_HostPath. Every file is
// replaced whole: a save goes through File_WriteAtomic, and a download is
// received into "<file>.part" and renamed over the file only when complete,
// so that a kill at any instant leaves the old or the new file.
//
// The hot-restart image is the database byte for byte (descriptors, then the
// areas padded to 8 bytes); its descriptors hold offsets, recomputed from the
// sizes after loading. It is checked before anything is linked from it.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmcode.h"

enum Q4MemKind : u16 { kQ4MemCode = 1, kQ4MemVmdb = 2, kQ4MemChange = 3 };
enum Q4MemFlag : u16 { kQ4MemLoaded = 1, kQ4MemLinked = 2 };

struct Q4MemImage {
    u16 kind = 0;
    u16 flags = 0;
    u16 linkCount = 0;
    u16 replaced = 0;  // code record: 1 after a change image became the code image
    u32 size = 0;
    u8* linked = nullptr;
    u8* memory = nullptr;
};

// A download request: image kind (1 code, 3 change), block length and data.
struct Q4LoadRequest {
    u8 kind = 0;
    u32 length = 0;
    const char* name = nullptr;
    const u8* data = nullptr;
};

// Download request codes.
enum Q4LoadCode : int { kQ4LoadStart = 2, kQ4LoadBlock = 3, kQ4LoadEnd = 4 };

struct Q4MMData {
    const char* prefix = "";
    Q4MemImage code;
    Q4MemImage vmdb;
    Q4MemImage change;
};

constexpr u32 kQ4MemPiece = 4096;
constexpr u32 kQ4MemPathMax = 256;

// Firmware path of the kind's file with the prefix in front; empty when the
// kind is unknown or the path would exceed 256 characters.
bool Q4Memory_FilePath(u16 kind, const char* prefix, char out[kQ4MemPathMax + 1]);

// Record operations: 0 success, 1 failure (the record left consistent).
int Q4Memory_Alloc(Q4MemImage* rec, u32 size);
// A database image is also checked for its structure (Q4VM_CheckImage).
int Q4Memory_Load(Q4MemImage* rec, const char* prefix);
int Q4Memory_Save(Q4MemImage* rec, const char* prefix);
int Q4Memory_StartWrite(Q4MemImage* rec, const Q4LoadRequest* req, const char* prefix);
int Q4Memory_Write(Q4MemImage* rec, const Q4LoadRequest* req, const char* prefix);
int Q4Memory_EndWrite(Q4MemImage* rec, const Q4LoadRequest* req, const char* prefix);
int Q4Memory_Link(Q4MemImage* rec);
int Q4Memory_Unlink(Q4MemImage* rec);
int Q4Memory_Free(Q4MemImage* rec);

// Manager operations.
void Q4MM_Open(Q4MMData* mm, const char* prefix);
void Q4MM_Close(Q4MMData* mm);
int Q4MM_LoadCode(Q4MMData* mm);
int Q4MM_LoadVMDB(Q4MMData* mm);
int Q4MM_LoadChange(Q4MMData* mm);
u8* Q4MM_LinkCode(Q4MMData* mm);
u8* Q4MM_LinkVMDB(Q4MMData* mm);
u8* Q4MM_LinkChange(Q4MMData* mm);
int Q4MM_UnlinkCode(Q4MMData* mm);
int Q4MM_UnlinkVMDB(Q4MMData* mm);
int Q4MM_UnlinkChange(Q4MMData* mm);
int Q4MM_FreeCode(Q4MMData* mm);
int Q4MM_FreeVMDB(Q4MMData* mm);
int Q4MM_FreeChange(Q4MMData* mm);
int Q4MM_AllocRawVMDB(Q4MMData* mm, u32 size);
// Writes the hot-restart image.
int Q4MM_SaveVMDB(Q4MMData* mm);
// Saves the code image to q4.cod when a change replaced it; else nothing, 0.
int Q4MM_SaveChange(Q4MMData* mm);
int Q4MM_WriteCodeRequest(Q4MMData* mm, int code, const Q4LoadRequest* req);
int Q4MM_WriteChangeRequest(Q4MMData* mm, int code, const Q4LoadRequest* req);
// The loaded change image becomes the code image (the code record unlinked).
int Q4MM_RegisterChange(Q4MMData* mm);

// Loads the hot-restart image for the code, checks it against the code
// (Q4VM_CheckHotImage) and only then links it and recomputes its area
// offsets. 0 with *db the linked database, else a VM error code (1 when the
// file cannot be loaded) with nothing left loaded.
int Q4MM_LoadHotImage(Q4MMData* mm, const Q4Code& code, u8** db);

// Code image view of a linked record.
inline Q4Code Q4MM_CodeView(const Q4MemImage& rec) { return Q4Code{rec.linked, rec.linked ? rec.size : 0}; }
