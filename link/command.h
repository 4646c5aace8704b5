// Command protocol of the programming link: frames and their checksum, the
// byte layers of the hosts (programming serial port or modem, Ethernet
// mailbox, USB serial port, CAN tunnel), host arbitration, the command and
// idle timers, node-id routing and the relay of commands to other nodes.
//
// Frame: [command][n][data][checksum] or, extended, [command][0xFF][n low]
// [n high][data][checksum]; the sum of every byte plus the seed is 0 mod 256.
#pragma once

#include "platform/bytes.h"

// Single-byte answers.
constexpr u8 kCmdAck = 0xA0, kCmdNak = 0x09, kCmdResend = 0x0F, kCmdBusy = 0x60;
// Command code of answers and data packets; node id of a broadcast.
constexpr u8 kCmdData = 0xFF, kCmdBroadcast = 0xFF;
// Data bytes of a frame that are stored; the rest are summed only.
constexpr u32 kCmdDataStore = 1024;
// Largest data length of a frame in the normal form.
constexpr u32 kCmdNormalMax = 252;

// Receive record.
struct CmdBuffer {
    u8 cmd;
    u16 len;                  // data length announced by the frame
    u8 data[kCmdDataStore];
    u8 chksum;
    u16 count;                // data bytes received
    u32 state;                // 0 command, 1 length, 2 data, 3 checksum
    u8 answerFlag;            // a single byte other than 0xFF is a complete answer
    u8 timer;                 // command timer handle
    u16 timeoutMs;            // current time-out
    // Data bytes that were stored (the frame's own length, at most 1024).
    u32 Stored() const { return len < kCmdDataStore ? len : kCmdDataStore; }
    // True when the frame carried more data than was stored.
    bool Truncated() const { return len > kCmdDataStore; }
};
extern CmdBuffer CmdBuf;

// 255 while no programming command is running.
extern u8 CmdRun;
extern u8 CmdMode;            // step of the running command
extern u32 CmdHost;           // host whose bytes are read and written
extern u32 ChkHost;           // host found by the last poll
extern u8 CmdHostToPlc;       // relay direction: 1 host to node, 0 back
extern u8 CmdGlobal;          // the request was a broadcast
extern u8 NegotiationFlag;    // extended frames in use
extern u16 CmdDataMax;        // largest data length the controller sends
extern u8 count_flag;
extern u8 CmdBaudTimer;       // baud fallback timer handle
extern u16 CmdOldIdle;
// Set while an on-line program change is in progress.
extern u8 OLPMode;
// 1 while a download is in progress.
extern u8 Cmd_Downloading;
// Set when a program-controlled function has taken the programming port.
extern u8 Cmd_Override;
// Logical serial port of the link (never changed from 0).
extern u32 ProgrammingPort;
// Set while the IEC workbench protocol owns the serial or USB link.
extern u32 is_q4protocol;

// System information block (memory area 17): four I/O entries of 24 bytes
// (u16 detected identity, 21 bytes of the slot record from its status
// character on, one spare byte), the rest zero.
constexpr u32 kCmdSsInfoBytes = 98;
constexpr u32 kCmdSsInfoEntryBytes = 24;
extern u8 Cmd_SS_Info[kCmdSsInfoBytes];

// On-line edit block (memory area 26): u16 CRC-16, u16 reserved, u32 size,
// then up to 4 MB of program data.
constexpr u32 kLadderOlpDataBytes = 4194296;
extern u8 ladder_olp[8 + kLadderOlpDataBytes];

// Checksum seed: the low 7 bits of the OEM identity byte.
u8 Cmd_Seed();

// What the link lends the IEC runtime's serial handle. The runtime borrows
// port 1 (/dev/ttySP4) or the USB device port, never the programming port
// /dev/ttySP3: the descriptor of a lent port (which 1 port 1, 2 USB), -1 for
// the programming port (which 0) and for a port that is not open.
int Cmd_LentPortDescriptor(int which);
// The link's current host (kHostSerial ... kHostUsb of link/vcomm.h).
u32 Cmd_HostCode();
// The runtime gives the link back: the workbench no longer owns it; from the
// serial host the programming port returns to the programming protocol at
// 9600 baud.
void Cmd_WorkbenchHandBack(int serialHost);

// 0 warm-resets the controller, 1 reopens the programming port.
void Cmd_PortInit(u8 how);
void Cmd_Init();
void Cmd_Check();
// Claims a free link for the serial host (no caller in the system).
int Cmd_Request(u8 nodeId);

// Byte layer of the current host (chkchar ... putchar) and with the CAN
// direction of a relay or remote programming (chkbyte ... putbyte).
int chkchar();
int cmd_getchar();
void flushchar();
int cmd_putchar(u8 byte);
int chkbyte();
int getbyte();
void flushbyte();
int putbyte(u8 byte);
// 1 when a whole frame is in CmdBuf.
int get_packet();
// Builds and sends a frame. More data than the normal form carries is sent
// in the extended form, which every receiver accepts.
void put_packet(u8 command, u32 length, const u8* data);

// Command timer (current time-out) and the time settings of %SR136/%SR137.
void Cmd_TimerStart();
void Cmd_TimerStop();
u16 Cmd_ReplyTimeout();  // max(%SR137, 500)
u16 Cmd_IdleTimeout();   // max(%SR136, 5000)
u16 Cmd_LongTimeout();   // max(%SR136, 9000)

// Forgets the module state (tests).
void Cmd_Reset();
