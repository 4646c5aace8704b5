// Interface of the local I/O: the module table, slot information, the
// start-up entry points (IoInit, IoCfg, IoCal), the per-scan calls that
// build I/O driver messages, and the option lines of slot-1 communication
// modules.
#pragma once

#include "platform/bytes.h"
#include "core/plc.h"
#include "platform/neighbour.h"

// Detected module ident per slot (0xFF: empty; 64000: the Ethernet module).
extern u16 io_init[3];

// One row of the module table.
struct IoIdentRow {
    u16 ident;
    char name[18];  // six characters, space padded, NUL filled
    u8 di, dout, ai, aq;
    u8 cls;         // 0xF0-0xF6 or 0
    u8 flags;       // bit 1 high-speed counters, bit 0 pulse outputs
};
constexpr int kIoIdentRows = 32;
extern const IoIdentRow io_ident[kIoIdentRows];
// Alternative model names, same row order (used when the OEM byte is 0x80).
extern const char io_ident_alt[kIoIdentRows][18];
// First row carrying the ident, -1 when none.
int IoIdent_Find(u16 ident);
// Model name of a row as this firmware shows it.
const char* IoIdent_Name(int row);
// OEM byte of the firmware header (0x80 selects the alternative names).
extern u8 IoOemByte;

// I/O driver message. The init form uses `idents`; the calibrate form uses
// `length` and `data` (the calibration bytes, at most 64); the query answer
// fills `name` and `counts`; the read-configuration answer fills
// `configWords`.
struct IoMessage {
    u8 kind;
    u8 slot;
    u8 status;
    void* data;
    u8 length = 0;
    u16 start = 0;
    u16 count = 0;
    const char* name = nullptr;
    u16 counts[4] = {};  // DI, DO, AI, AQ
    u16 idents[3] = {};
    u16 configWords[12] = {};
};
constexpr u8 kIoMsgNone = 0, kIoMsgInit = 1, kIoMsgQuery = 2, kIoMsgInit3 = 3, kIoMsgConfigure = 4,
             kIoMsgReadConfig = 5, kIoMsgService = 6, kIoMsgCalibrate = 8, kIoMsgGetIs = 9, kIoMsgPutQs = 10,
             kIoMsgGetAIs = 11, kIoMsgPutAQs = 12, kIoMsgStop = 13, kIoMsgStart = 14;
constexpr u8 kIoStatusOk = 0, kIoStatusNoModule = 0x80, kIoStatusBadSlot = 0xC0, kIoStatusBadType = 0x20;

// Slot information written by IoInit.
struct IoSlotInfoEntry {
    const IoMessage* init;  // the init message, null when the ident has no row
    u8 cls;                 // the row's class, 255 = no row
    u16 ident;
};
extern IoSlotInfoEntry slotinfo[3];

int IoInit(const u16* idents, int count);
int IoCfg(IoSlotRecord* record, int slot);
// buffer: byte 0 = n, byte 2 = slot, bytes 3..n = request; on return byte
// 0 = m and bytes 1..m the answer. The buffer holds at least 67 bytes.
int IoCal(u8* buffer);
int get_ident(const u16* ident);

void IoGetIs(u8* image, int slot, u32 firstBit, u32 bits);
void IoPutQs(u8* image, int slot, u32 firstBit, u32 bits);
void IoGetAIs(u8* image, int slot, u32 firstWord, u32 words);
void IoPutAQs(u8* image, int slot, u32 firstWord, u32 words);
void IoService(int slot);
int IoStop();

int IoCommPwr(int port, int on);
int IoCommReset(int port, int asserted);
int IoPutDTR(int port, int flag);
int IoCommShdn(int port, int on);
int IoCommOnOf(int port, int on);
int IoGetDCD();
int IoTermSet(int value);
void IoTick();
void api_tickle_watchdog();
void strmcpy(char* destination, const char* source, int n);

// The device side of the interface: the module driver its messages go to and
// the probing of the slots. The controller uses the driver of io/iodriver
// and the bus probing of io/i2c_io on the plug-in modules of the simulated
// board (platform/iomodules); a test may put a recording or scripted driver
// here and calls Wiring_Connect to put these back.
struct IoDriverPeers {
    // Carries out one I/O message for the module of its slot, filling in its
    // answer (status, name, counts, calibration bytes).
    void (*exchange)(IoMessage* message) = nullptr;
    // Probes slots 0 and 1 into idents[0..1] (0xFF: empty) and sets
    // idents[2] to 64000; answers 3 (get_io_info).
    int (*probe)(u16* idents) = nullptr;
    // True when the driver serves the module of a slot (0 or 1) itself,
    // outside the module table: IoInit accepts the slot with class 0 and
    // gives it no row. May be empty: the controller's driver serves only the
    // modules of the table.
    bool (*servesOutsideTable)(int slot, u16 ident) = nullptr;
};
extern IoDriverPeers ioDriverPeers;  // filled by core/wiring.cpp
void IoDriverPeers_Check(NeighbourCheck& check);

// Forgets every module state of the I/O layer (interface, driver, bus).
void IoDriver_Reset();
