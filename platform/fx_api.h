// File layer: one call set for files and directories on the three drives,
// carried out on the drives' folders below the root.
//
//   A: 0  microSD card           /mnt/USB0
//   B: 1  USB stick              /mnt/USB1
//   Z: 2  internal flash volume  /mnt/cfg
//
// A removable medium is present when its block device shows under the
// root's /sys/block (a name containing "mmcblk" for A:, "sd" for B:) with its
// device node under the root's /dev; mounting marks its mount point in the
// command runner's mount table. Fx_InsertMedium / Fx_RemoveMedium put a
// simulated medium in or take it out.
//
// Names compare without regard to case, as on the FAT media: a component that
// does not exist as written takes the name of one that differs only in case.
// Names never leave their drive: a ".." component, a name longer than 511
// characters or a symbolic link inside the drive is refused with 13.
// Nothing here waits: every call answers a status code at once.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include "platform/bytes.h"

// Status codes of this layer.
constexpr u32 kFxSuccess = 0;
constexpr u32 kFxNotFound = 4;
constexpr u32 kFxNotAFile = 5;
constexpr u32 kFxIoError = 6;
constexpr u32 kFxNotOpen = 7;
constexpr u32 kFxEndOfFile = 9;
constexpr u32 kFxAlreadyExists = 11;
constexpr u32 kFxInvalidName = 13;
constexpr u32 kFxNotDirectory = 14;
constexpr u32 kFxNoMoreEntries = 15;
constexpr u32 kFxDirNotEmpty = 16;
constexpr u32 kFxMediaInvalid = 17;
constexpr u32 kFxInvalidAttr = 25;
constexpr u32 kFxWriteProtect = 35;
constexpr u32 kFxTooManyFiles = 144;

// Longest current directory or resolved name, in characters.
constexpr u32 kFxMaxPath = 511;

// Attribute bits.
constexpr u32 kFxReadOnly = 0x01;
constexpr u32 kFxSystem = 0x04;
constexpr u32 kFxVolume = 0x08;
constexpr u32 kFxDirectory = 0x10;

// A saved current directory (owned by the caller of local_path_set).
struct FxLocalPath {
    char path[kFxMaxPath + 1];
};

// Media block of one drive.
struct FxMedia {
    u32 drive;               // 0 A:, 1 B:, 2 Z:
    FxLocalPath* localPath;  // current local-path record, or none
    DIR* dirStream;          // open enumeration, or none
    u32 kbPerBlock;          // free-space fields of the last query
    u32 totalBlocks;
    u32 spaceKnown;
    char currentDir[kFxMaxPath + 1];  // "" = root, else ends in "/"
};

// The file object; callers clear it before the first open.
struct FxFile {
    u32 open;
    i32 fd;  // 0: none
    u32 size;
    u32 sizeAtOpen;
};

struct MntDriveRow {
    char device[16];
    char mountPoint[16];
    u8 mounted;
};
extern MntDriveRow MntDrive[3];
extern MntDriveRow* MntDrivePtr1;
extern MntDriveRow* MntDrivePtr2;

extern FxMedia Cf_Media;   // A:
extern FxMedia Cf_Media2;  // B:
extern FxMedia Cf_Media3;  // Z:
// The media block of a drive number (A: for anything but 1 and 2).
FxMedia* Fx_MediaOf(u32 drive);

// Set around the main process's own drive status query and its reading of
// the free-space file.
extern u8 FileMutex;

// Free-space file written by the free-space child.
constexpr const char* kFxSpaceFile = "/dev/shm/read.dat";

// Open types.
constexpr u32 kFxOpenRead = 0, kFxOpenReadWrite = 1, kFxOpenTruncate = 4, kFxOpenAppend = 2;

u32 _fxe_file_open(FxMedia* media, FxFile* file, const char* name, u32 openType);
u32 _fxe_file_create(FxMedia* media, const char* name);
u32 _fxe_file_read(FxFile* file, void* buffer, u32 size, u32* actual);
// Every byte is written or the call fails: a short write (a full medium)
// answers 6.
u32 _fxe_file_write(FxFile* file, const void* data, u32 size);
u32 _fxe_file_seek(FxFile* file, u32 offset);
u32 _fxe_file_relative_seek(FxFile* file, u32 offset, u32 from);
u32 _fxe_file_close(FxFile* file);
u32 _fxe_file_truncate(FxFile* file, u32 size);
u32 _fxe_file_delete(FxMedia* media, const char* name);
u32 _fxe_file_rename(FxMedia* media, const char* oldName, const char* newName);
u32 _fxe_file_attributes_read(FxMedia* media, const char* name, u32* attributes);
u32 _fxe_file_attributes_set(FxMedia* media, const char* name, u32 attributes);

u32 _fxe_directory_create(FxMedia* media, const char* name);
u32 _fxe_directory_delete(FxMedia* media, const char* name);
u32 _fxe_directory_rename(FxMedia* media, const char* oldName, const char* newName);
u32 _fxe_directory_name_test(FxMedia* media, const char* name);
u32 _fxe_directory_attributes_read(FxMedia* media, const char* name, u32* attributes);
u32 _fxe_directory_attributes_set(FxMedia* media, const char* name, u32 attributes);
// Every output may be null.
u32 _fxe_directory_information_get(FxMedia* media, const char* name, u32* attributes, u32* size, u32* year,
                                   u32* month, u32* day, u32* hour, u32* minute, u32* second);
// nameOut holds at least 256 bytes.
u32 _fxe_directory_first_full_entry_find(FxMedia* media, char* nameOut, u32* attributes, u32* size, u32* year,
                                         u32* month, u32* day, u32* hour, u32* minute, u32* second);
u32 _fxe_directory_next_full_entry_find(FxMedia* media, char* nameOut, u32* attributes, u32* size, u32* year,
                                        u32* month, u32* day, u32* hour, u32* minute, u32* second);
// A current directory that would grow past 511 characters is refused (13)
// and the old one kept.
u32 _fxe_directory_local_path_set(FxMedia* media, FxLocalPath* record, const char* path);
// textOut holds at least 512 bytes.
u32 _fxe_directory_local_path_get(FxMedia* media, char* textOut);
u32 _fxe_directory_local_path_restore(FxMedia* media, FxLocalPath* record);

// Free kilobytes of the media block's drive. A: and B: come from the
// free-space file, Z: from a status query of its own volume.
u32 _fxe_media_space_available(FxMedia* media, u32* freeKb);
u32 _fxe_media_flush(FxMedia* media);

// 1 when the drive is usable (mount point copied out, 16 bytes), else 0.
int MountDrive(int drive, char* mountPointOut);
int UnmountDrive(const char* mountPoint);
// 3 when the drive is usable, else 0.
int Cf_Check(int drive);
// 3 formatted and mounted again, 2 failure, 0 drive not available.
int Cf_Format(FxMedia* media, int drive);
void Cf_Init();

// Stamps the access (flag 0x01) and modification (0x02) times from the
// controller clock; flag 0x10: target is a firmware-side name already
// resolved to a host path, else an FxFile*.
constexpr u32 kMtimeAccess = 0x01, kMtimeModify = 0x02, kMtimeByName = 0x10;
void set_mtime(const void* target, u32 flags);

// Body of the free-space child: once a second writes the free, total and
// block-size values of A: and B: to the free-space file. Never returns.
[[noreturn]] void BackTsk();
// One round of BackTsk (tests).
void BackTsk_WriteOnce();

// Simulated media: puts a medium into drive 0 (A:) or 1 (B:) or takes it
// out. The content of a medium stays in its mount point's folder, as it
// stays on a card that is taken out. False for another drive.
bool Fx_InsertMedium(int drive);
bool Fx_RemoveMedium(int drive);
bool Fx_MediumPresent(int drive);

// Closes directory streams and forgets the drive rows (tests, start-up).
void Fx_Reset();
