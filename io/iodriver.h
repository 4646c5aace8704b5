// Plug-in I/O modules: identification, configuration and per-scan exchange.
// Until the module drivers are built this answers as a board with no modules
// plugged in: every slot reports no identity and nothing is exchanged.
#pragma once

#include "core/bytes.h"
#include "core/plc.h"

// Detected module identity per slot (0xFF: no module); the word of slot 1 is
// also the controller model code.
extern u16 io_init[3];

// I/O driver message kinds.
constexpr u8 kIoMsgInit = 1, kIoMsgQuery = 2, kIoMsgConfigure = 4, kIoMsgService = 6, kIoMsgStop = 13,
             kIoMsgStart = 14;
struct IoMessage {
    u8 kind;
    u8 slot;
    u8 status;
    const void* data;
};
void io_driver(IoMessage* message);

void get_io_info(u16* identities);
int IoInit(const u16* identities, int slotCount);
int IoCfg(IoSlotRecord* record, int slot);
void IoGetIs(u8* image, int slot, u32 startBit, u32 bitCount);
void IoPutQs(u8* image, int slot, u32 startBit, u32 bitCount);
void IoGetAIs(u8* image, int slot, u32 startWord, u32 wordCount);
void IoPutAQs(u8* image, int slot, u32 startWord, u32 wordCount);
void IoService(int slot);
int IoStop();
int write_io_eeprom(u8 device, u32 address, u32 length, const u8* data, int addressing);

// Test view of the stand-in: what the scan asked of it.
struct IoDriverCalls {
    int start[3], stop, service[3], getIs[3], putQs[3], getAIs[3], putAQs[3], cfg[3], init;
    u32 lastStartBit[3];
    u32 lastPutStartBit[3];
    u32 eepromWrites;
};
extern IoDriverCalls ioDriverCalls;
// Modules the stand-in reports (identity and model name per slot) and the
// result IoCfg gives; tests plug modules in here.
void IoDriver_SetModule(int slot, u16 identity, const char* model, u16 di, u16 dq, u16 ai, u16 aq, int cfgResult);
void IoDriver_Reset();
