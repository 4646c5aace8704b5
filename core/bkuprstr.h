// Register images: the automatic image autoreg.dta, the manual backup
// bkpreg.dta, the small settings files, the clean-stop marker, the start-up
// choice between them, the manual backup operations driven by SR164 and the
// power-down sequence.
#pragma once

#include "platform/bytes.h"
#include "core/plc_regs.h"

class NeighbourCheck;

// What the register images reach above them: the IEC application's retained
// values, the card-load requests of the media manager and the program media
// that a clone is made from and loaded through. Every entry is required.
struct BackupPeers {
    // The IEC application's retained values.
    int (*deleteIecRetained)() = nullptr;                 // 1 when the retained-value file is gone
    int (*saveIecRetained)(const char* firmwarePath) = nullptr;  // 1 on success
    int (*loadIecRetained)(const char* firmwarePath) = nullptr;  // 1 on success
    // Program loads from the card that the LOAD key or start-up asked for
    // (bits kCardLoadKey, kCardLoadAuto, kCardLoadApp).
    u8 (*cardLoadRequests)() = nullptr;
    void (*clearCardLoadRequests)(u8 bits) = nullptr;
    u8 (*mediaInitTime)() = nullptr;  // requests the media manager has served since start-up
    // The media manager's requests on the backup slot, each awaited with
    // pollMedia (answers kMediaBusy while it runs; result 0 on success).
    u32 (*mediaFreeKb)() = nullptr;
    void (*saveProgramToMedia)(const char* name) = nullptr;
    void (*readProgramIdentity)(u8* identity) = nullptr;  // kProgramIdentityBytes
    void (*validateProgram)(const char* name, const u8* identity) = nullptr;
    void (*loadProgram)() = nullptr;
    int (*pollMedia)(i32* result) = nullptr;
    i32 (*makeCloneImage)(const char* name) = nullptr;  // 0 on success
};
extern BackupPeers backupPeers;  // filled by core/wiring.cpp
void BackupPeers_Check(NeighbourCheck& check);
constexpr u8 kCardLoadKey = 1, kCardLoadAuto = 2, kCardLoadApp = 4;
constexpr int kMediaBusy = 2;
constexpr u32 kProgramIdentityBytes = 80;
// A clone image holds the register memory and its CRC.
constexpr u32 kCloneBytes = kPlcRegBytes + 2;

// Backup area: u16 CRC, u16 reserved, u32 length (0xFFFFFFFF when erased),
// the register image, then the marker byte and, 4 bytes later, the restored flag.
constexpr u32 kBackupAreaBytes = 262144;
constexpr u32 kBackupMarkerOffset = 8 + kPlcRegBytes;
constexpr u32 kBackupRestoredOffset = kBackupMarkerOffset + 4;
constexpr u8 kBackupMarker = 90;
extern u8 crcsize_tbl[kBackupAreaBytes];

// The battery-backed settings image. The Ethernet layer keeps one 24-byte
// record per interface at offsets 0, 24, 48 and 72, so it holds 96 bytes; a
// shorter file of an older firmware is read as far as it goes.
constexpr u32 kBbramBytes = 96;
extern u8 bbram[kBbramBytes];
// OEM selection byte (first byte of /mnt/cfg/oeminfo).
extern u8 OemSelection;

// Manual operation state.
extern u8 Manual_test;
extern u8 Mrstate_flag;
extern u8 Clone_Sure_Flag;
extern u8 Clon_LoadClone;

int AutoSaveRegisters();
int AutoLoadRegisters();
int CrtAutoSaveRegFile();
int DelAutoRegFile();
int ClrRegFile();
int LoadRegisters();
int BkpRegisters();
void SaveBBRAMFile();
void CreateSavedFile();
[[noreturn]] void PowerDown();

void StoreBBRAM();
void RestoreBBRAM(int atStartup);
void EraseBackupData();
void CopyBkToBBRAM();
void RestoreSRReg(int eraseRequest, int forceDefaults, int mode);

void FailSafeFlagCheck();
void ManualRegbackupScan();
void ManualRestoreExecute();
int CheckCloneError();

void q4_reg_store_backup();
void q4_reg_load_backup();

// Forgets all module state (tests and start-up).
void Bkuprstr_Reset();
