// Stored program blocks: the in-memory blocks that hold the downloaded
// program and configuration, their files ladder.pgm and config.pgm, the
// start-up check that rewrites defaults, the hand-over of an IEC application
// carried in the program block, the crash log and the persistent fault flags.
#pragma once

#include "platform/bytes.h"

class NeighbourCheck;

// What the stored-program code reaches of the IEC runtime above it when an
// application is handed over, stopped or deleted. Every entry is required.
struct NvramPeers {
    void (*startIec)() = nullptr;            // start the runtime with the stored code image
    void (*stopIec)() = nullptr;             // stop the runtime
    void (*forgetIecVariables)() = nullptr;  // the variable map of the stopped application is gone
    int (*deleteIecCode)() = nullptr;        // delete the stored code image; 1 when gone
    // Marks the network and I/O configuration as pending (on) for the apply
    // below, or as taken (off).
    void (*markNetIoConfig)(u8 on) = nullptr;
    void (*applyNetIoConfig)() = nullptr;  // applies a pending network and I/O configuration
};
extern NvramPeers nvramPeers;  // filled by core/wiring.cpp
void NvramPeers_Check(NeighbourCheck& check);

// A stored block: an 8-byte header (u16 CRC-16 of the data, u16 reserved,
// u32 data size, little-endian) followed by the data. `base` points at the
// header; the data capacity is the room after it.
constexpr u32 kNvHeaderBytes = 8;
struct NvBlock {
    u8* base;      // header, then `capacity` bytes of data
    u32 capacity;  // data bytes the block can hold
    u32 validMin;  // valid size range of the start-up check (max 0: not checked)
    u32 validMax;

    u8* Data() const { return base + kNvHeaderBytes; }
    u16 Crc() const { return GetLe16(base); }
    u32 Size() const { return GetLe32(base + 4); }
    void SetHeader(u16 crc, u32 size) const {
        PutLe16(base, crc);
        PutLe16(base + 2, 0);
        PutLe32(base + 4, size);
    }
};

// Data capacities of the blocks.
constexpr u32 kLadderCapacity = 4194296;
constexpr u32 kIoConfigCapacity = 1040376;
constexpr u32 kNetConfigCapacity = 4088;
constexpr u32 kPromgrCapacity = 4194296;
constexpr u32 kSmsCapacity = 131064;
constexpr u32 kDatalogCapacity = 131064;
constexpr u32 kCanopenCapacity = 131064;
constexpr u32 kMqttCapacity = 8388600;
constexpr u32 kFlashParmCapacity = 65528;

extern const NvBlock ladder_bl, io_config_bl, net_config_bl, promgr_table_bl, sms_table_bl, datalog_table,
    copendnet_tbl, mqtt_tbl, flash_parm_tbl;

// The data of the blocks.
extern u8* const ladder;
extern u8* const io_config;
extern u8* const promgr_table;
extern u8* const sms_table;
extern u8* const net_config;

// The two tables kept in the register memory.
constexpr u32 kSecurityTableOffset = 109088;  // plc_reg byte of the security table
constexpr u32 kSecurityTableMax = 80;
constexpr u32 kForceTableOffset = 640;  // plc_reg byte of the force table (F area)
constexpr u32 kForceTableMax = 256;

// Feature bits of the program image's trailer.
constexpr u32 kFeatPromgr = 0x1, kFeatSms = 0x2, kFeatDatalog = 0x4, kFeatCanopen = 0x8, kFeatMqtt = 0x10,
              kFeatMqttAlt = 0x80, kFeatTok16 = 0x8000;
extern u32 NV_EditorFeatures;
void nv_get_features();

// Copies into a block; callers pass even counts.
void nv_write(void* destination, const void* source, u32 count);

// True when the block's size lies in its valid range (and within its
// capacity) and the CRC-16 of its data matches the header.
bool NvBlockValid(const NvBlock& block);

// Program files.
int LoadLadder();
int LoadProgram();
int SaveLadder();
int SaveProgram();
int Q4SaveLadderPgm();
int DeleteProgram();

// Start-up check of every block; returns the defaults request.
int nvram_init(int eraseRequest, int forceDefaults, int mode);

// Set by a firmware load that wants defaults; cleared when they are written.
extern u8 fwload_set_def;

// IEC application hand-over.
extern u8 QuilletRuntime;   // 1 when the stored program carries an IEC application
extern u8 Q4_init;          // cleared when a new application is handed over
extern const u8* QuilletI0_VarLoc;  // register location table of the application, or nullptr
// `size` bytes of the record are present; a code length beyond them is refused.
void LoadQuillet(const u8* record, u32 size);
void QuilletStop();
void QuilletStart();

// Crash log. GenLogFile_Prepare computes the file's host path and loads the
// unwinder once (LoadProgram calls it at start-up); GenLogFile then uses only
// async-signal-safe calls and may run in a fault signal handler. Returns 1
// after writing, 0 when the file cannot be created (or nothing was prepared).
void GenLogFile_Prepare();
int GenLogFile();

// Persistent fault flags (battery-backed, shown in ESR7) and the counter of
// power-ups that did not follow a clean stop (SR52).
constexpr u32 kPfRegSave = 0x1, kPfRegShort = 0x4, kPfRegCreate = 0x8, kPfColdStart = 0x10,
              kPfLadderWrite = 0x20, kPfLadderRead = 0x40, kPfConfigWrite = 0x80, kPfConfigRead = 0x100,
              kPfCleanStop = 0x8000;
u32 PersistFlags_Get();
void PersistFlags_Set(u32 flags);
void PersistFlags_Or(u32 bits);
u32 UncleanCount_Get();
void UncleanCount_Set(u32 count);

// Forgets all module state and clears every block (tests).
void Nvram_Reset();
