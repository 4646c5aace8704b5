// Command set of the programming link: the command table, the handlers and
// the memory areas that downloads, verifies and uploads move.
//
// Handlers take no arguments: they read the request in CmdBuf (data byte 0
// the node id, their own fields from data byte 1), answer through putbyte or
// put_packet, and set CmdRun to 255 when done. A handler that needs several
// passes keeps its step in CmdMode.
#pragma once

#include "platform/bytes.h"

constexpr u32 kCmdCount = 39;
// Relay kinds.
constexpr u16 kRelayByte = 0, kRelayFrame = 1, kRelayDownload = 2, kRelayUpload = 3;

struct CmdInfoRow {
    void (*handler)();
    u16 relayKind;
    u8 idIndependent;
    u8 broadcast;
};
extern const CmdInfoRow CmdInfo[kCmdCount];

// Memory areas 0-33.
constexpr u32 kAreaCount = 34;
struct FileInfoRow {
    u8* data;            // null: the area has no data
    u8* header;          // 8-byte header (u16 CRC, u16 reserved, u32 size)
    u32 capacity;        // data bytes the area can hold
    int crcReg;          // %SR number of the CRC register, 0 none
    int sizeReg;         // %SR number of the size register pair, 0 none
    u16 eraseKb;
    u8 erase;
};
// The row of an area (areas beyond 33 give an empty row).
FileInfoRow Cmd_FileInfo(u32 area);

extern u8 CmdGrfxType;
// CmdNetIoConfigUpdated and NetIoConfig (apply a changed network and I/O
// configuration) are declared in iec/blocks/q4hostglue.h.
// Set while the CANopen network table is being downloaded.
extern u8 CANOpen_dwnld;

// 0 marks a download in progress; 1 ends it (and stores the program and
// configuration unless the controller is in mode 2).
void CmdPanel(int value);
// Lock and time settings of command 25 (also applied by the relay).
void do_comm_lock();
// Abandons a download: I/O stopped, stored blocks checked again, download ended.
void Cmd_AbandonDownload();

// Handlers.
void do_default();
void get_mode();
void set_mode();
void verify_memory();
void download_memory();
void upload_memory();
void get_version();
void get_local_id();
void set_local_id();
void get_global_data();
void set_global_data();
void protect_nvram();
void reset_plc();
void press_key();
void get_plc_reg();
void cal_module();
void set_plc_reg();
void set_comm_lock();
void get_baud_rate();
void set_baud_rate();
void cmd_negotiation();
void dummy_cmd();
void q4_debug_switch();

// Forgets the handler state (tests).
void CmdProc_Reset();
