// Scan cycle and controller modes: one scan of the I/O and the program, the
// controller mode in SR5 with the side effects of a change, the I/O
// configuration check, the on-line programming handshake and the controller
// network settings.
#pragma once

#include "platform/bytes.h"

// Controller modes (SR5).
constexpr u8 kModeStop = 0, kModeIoOnly = 1, kModeRun = 2, kModeRunFaulted = 3, kModeIoHold = 4;
// SR4 fault bits that keep the controller out of every mode but 3.
constexpr u16 kSr4BlockingFaults = 0x90F;
constexpr u16 kSr4ProgramInvalid = 0x4, kSr4NodeIdAdjusted = 0x20, kSr4IoFault = 0x40, kSr4ProgramFault = 0x100,
              kSr4ClockDefaulted = 0x200, kSr4BatteryLow = 0x1000;
// On-line programming handshake bits in ESR1.
constexpr u16 kOlpEditWaiting = 0x01, kOlpAccept = 0x02, kOlpEditRunning = 0x04, kOlpSeen = 0x08,
              kOlpStepDone = 0x10, kOlpRevert = 0x20, kOlpFault = 0x100;

// The per-slot part of an I/O slot record that the system information block
// carries: status character, 11 characters of status text, the four point
// counts (u16 little-endian: discrete in, discrete out, analog in, analog
// out) and the configured flag.
struct IoSlotInfo {
    char status;
    char text[11];
    u8 counts[8];
    u8 configured;
};
static_assert(sizeof(IoSlotInfo) == 21, "slot info is 21 bytes in the system information block");

// One I/O slot record of io_cfg.
struct IoSlotRecord {
    const u8* config;  // the slot's configuration data in the I/O configuration block, or nullptr
    u32 configBytes;   // bytes of that data
    IoSlotInfo info;

    u16 Count(int k) const { return GetLe16(&info.counts[2 * k]); }
    void SetCount(int k, u16 v) { PutLe16(&info.counts[2 * k], v); }
};
constexpr int kIoSlots = 3;
extern IoSlotRecord io_cfg[kIoSlots];

// Register bases of slot 0: first bytes of the I, Q, AI and AQ areas.
struct PlcIoBases {
    u8* i;
    u8* q;
    u8* ai;
    u8* aq;
};
extern PlcIoBases PlcIoNormal;

// IEC runtime state the scan and the mode changes touch (owned by the
// runtime's host glue): the first-cycle flag and the copy of %S9 for the
// first cycle.
extern u8 QuilletFirstRun;
extern u8 QuilletS9;

// Set while CANopen reception is suspended in the scan.
extern u8 PlcRxHandlerStopped;

void PlcScan();
void SetPlcMode(u8 requested);
void IoStart();
int IoConfig();
void PlcInit(int cold);
void NetConfig();
void Plc_NetInit();
void Plc_StopRxHandler();
void Plc_ResumeRxHandler();

// Forgets the module state (first scan, first mode change, detected modules,
// scan statistics); start-up and tests start from here.
void Plc_Reset();
