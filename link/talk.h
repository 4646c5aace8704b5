// Program-controlled serial ports ("TALK ports"). Serial ports 0 and 1
// belong to the programming link until the control program takes one over:
// an open instruction (or IEC block) opens it with its own settings, send
// and receive move raw bytes between the port and register memory, the
// Modbus and Hayes modem engines run on it, and a close gives it back.
//
// This module keeps the per-port table, the take-over marks that other
// users (protocol drivers, the programming-port hand-over mailbox) claim a
// port with, the operand decoding of the ladder instructions (TALKOPEN 132,
// TALKSEND 133, TALKRECV 134, TALKCLOSE 135, TALKMODEM 136, TALKMODBUS 137,
// TALKIEC 394 sub-operations 0-3, TALKMODBUSX 531) and the entries of the
// IEC blocks. Everything runs in the scan; nothing waits.
#pragma once

#include "ladder/ladder_routines.h"
#include "platform/bytes.h"
#include "platform/neighbour.h"
#include "remote/modemsock.h"

// --- Neighbours ------------------------------------------------------------
// The cellular modem's data sockets, the external GSM modem's services and
// the serial Modbus engine. Every entry may be empty: without the cellular
// modem no data socket is ever connected, without a GSM modem the modem
// engine drives a plain Hayes modem, without a Modbus engine the Modbus
// instructions never report done.

// The fields of the GSM record that the modem engine reads and writes, as
// pointers into the record its owner keeps.
constexpr u32 kGsmDestinationBytes = 23;  // 22 characters and a NUL
struct GsmRecordRef {
    u8* statusFlags;   // bit 0 external modem configured, 1, 2 IP destination, 4 set-up complete, 5
    u8* optionFlags;   // bit 0 dial-up or answer, bit 1 GPRS
    u8* error;
    u8* port;          // low nibble: serial port of the modem
    u8* controlFlags;  // bit 1 set-up started, 2, 3 data call wanted, 7 error pending
    u16* statusWord;
    u8* owner;         // 1: the TALK modem engine
    u8* retries;
    char* destination;  // kGsmDestinationBytes
};

// Configuration of a port's Modbus station, as the Modbus instructions
// decode it (pointers into register memory).
struct TalkModbusConfig {
    u16 address;   // 0 master, else the station address
    u16 timeout;   // tenths of a second, 0 none
    u8* control;   // control word
    u8* data;      // data area
    u8* status;    // status word
    u8 triggerBit;
    u16 extension;     // extension word L
    u16 forwardPairs;  // store-and-forward pairs
    u8* forwardTable;  // null: none
    u32 writeInhibit;  // register bit address, 0 none
};

struct TalkPeers {
    // The internal cellular module's data sockets (ModemConnRequest is theirs).
    int (*IsModemSocketActive)(int socket) = nullptr;  // 0 when connected
    int (*ModemCheckRecv)(int socket) = nullptr;
    int (*ModemDataRecv)(int socket) = nullptr;
    int (*ModemDataSend)(int socket, const u8* data, u32 length, int copy) = nullptr;
    int (*ModemDataConnRequest)(ModemConnRequest* request) = nullptr;  // 0 once connected
    int (*ModemDataDisConnRequest)(int socket) = nullptr;             // 0 when free
    // The state of socket 0 in the cellular modem's global socket snapshot.
    u8 (*GlobalSocketState)() = nullptr;
    // Communication option in slot 1: the module identity (0 none).
    u16 (*CommOptionIdent)() = nullptr;
    // External GSM modem.
    int (*GSMGPRSRsrcMngr)(int user, int operation) = nullptr;
    void (*GSMGPRSParmInit)() = nullptr;
    void (*GSMModemInit)(int port) = nullptr;
    // The engine's own call on the modem is on line (the set-up's connected step).
    void (*GSMDataCallUp)() = nullptr;
    // Fills the references to the GSM record; 0 when there is none.
    int (*GSMGPRSInfo)(GsmRecordRef* ref) = nullptr;
    // Serial Modbus engine.
    int (*ModbusInit)(int port, const TalkModbusConfig& config) = nullptr;
    int (*ModbusExecute)(int port) = nullptr;
    int (*ModbusStop)(int port) = nullptr;
    void (*MOD_TCPInit)(int on, int port) = nullptr;
    // 0 the IEC Modbus blocks need a Modbus port, 1 only the programming
    // port, other values any port.
    int (*q4runtime_modbusinit)() = nullptr;
};
extern TalkPeers talkPeers;  // filled by core/wiring.cpp (every entry optional)

// --- Port management ---------------------------------------------------------

// 0 when port > 1 or already marked; else marks it and answers 1.
int Talk_Override(int port);
void Talk_Release(int port);
// The port's open flag.
int TalkOpened(int port);
void TalkClosed(int port);
// Sets a port's open flag (tests).
void Talk_SetOpened(int port);
// First-scan reset of the table (keeps a live modem call of the
// programming port).
void TalkInit();
extern u8 TalkModemProtect;

// --- Ladder instructions -----------------------------------------------------

// Each takes the code and the index of its first operand word, advances the
// index past the operands and answers the new power flow; 255 from
// TALKMODEM stops the program with a fault.
u8 TalkOpen(const u16* code, u32& ip, u8 power, bool tok16);
u8 TalkClose(const u16* code, u32& ip, u8 power, bool tok16);
u8 IEC_TalkSend(const u16* code, u32& ip, u8 power, bool tok16, int indirect);
u8 IEC_TalkReceive(const u16* code, u32& ip, u8 power, bool tok16, int indirect);
u8 TalkModem(const u16* code, u32& ip, u8 power, bool tok16);
u8 TalkModbus(const u16* code, u32& ip, u8 power, bool tok16);
u8 IEC_TalkModbus(const u16* code, u32& ip, u8 power, bool tok16);

// The routine rows of 132-137, 394 and 531 (nullptr for another opcode).
const LadderRoutineRow* Talk_FindRow(u16 opcode);

// --- IEC entries ---------------------------------------------------------------
// Records are little-endian byte records; register memory is reached by byte
// offsets (32-bit) in place of pointers.

// Open record: u16 port, then the six mode bytes.
constexpr u32 kTalkOpenRecordBytes = 8;
// Transfer record: u16 port, u16 count, u16 buffer offset high, low,
// u16 progress-register offset high, low. The buffer and the progress word
// may instead be IEC variable references (both top bits set) of the running
// application: the bytes then stay within the variable's table.
constexpr u32 kTalkTransferRecordBytes = 12;
// Modbus record: u16 port, u32 own address, u32 time-out, u32 control-word
// offset, u32 data-area offset, u32 status-word offset.
constexpr u32 kTalkModbusRecordBytes = 22;

int Q4TalkOpen(const u8* record, int enable);
int Q4TalkClose(const u8* record, int enable);
int Q4TalkSend(const u8* record, int enable);
int Q4TalkReceive(const u8* record, int enable);
int Q4_TalkModbus(const u8* record, int enable);
// The same for a station whose control word, data area (the IEC request
// record or slave map of link/modapi.h) and status word the caller keeps in
// static storage of its own, for as long as the process runs.
int Q4_TalkModbusAt(int port, u16 address, u16 timeout, u8* control, u8* data, u8* status, int enable);
// Modem record: u16 port, u16 function, u16 status word, then the
// parameter block (function 0: u16 n, text; 1: u16 options, u16 n, text; 2:
// u16 rings); `bytes` bounds it (a GSM modem's OK line goes to the words
// after the status word, within the record).
int Q4TalkModem(u8* record, u32 bytes, int enable);

// Forgets the module state (tests).
void Talk_Reset();
