// Scan cycle and controller modes: one scan of the I/O and the program, the
// controller mode in SR5 with the side effects of a change, the I/O
// configuration check, the on-line programming handshake and the controller
// network settings.
#pragma once

#include "platform/bytes.h"

class NeighbourCheck;

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

// Start record of the CANopen layer, built by Plc_NetInit.
struct CanOpenNetStart {
    volatile u32* counter;  // free-running counter reading
    u32 ticksPerMs;
    u16 baudCode;           // SR30
    u8 a, b;                // 2, 3
    u16 settings;           // network settings word
    u16 nodeId;             // SR29
    u16 idCount;            // SR61
    u8 sr31Bit1;
};

// Normal end of a program pass; any other result is the fault offset.
constexpr i32 kProgramEnd = -1;

// What the scan and the mode changes reach of the engines and services
// above them. Every entry is required.
struct ScanPeers {
    // The control program.
    i32 (*runLadder)(const u8* code) = nullptr;  // one pass of the program; kProgramEnd or the fault offset
    // The IEC application's variables.
    u8 (*iecVariablesKnown)() = nullptr;  // 1 once the running application's variables are enumerated
    void (*iecSyncSystem)() = nullptr;    // system registers bound to variables, before the inputs
    void (*iecSyncInputs)() = nullptr;    // input registers, after reading the inputs
    void (*iecSyncOutputs)() = nullptr;   // output registers, after the cycle
    void (*iecSeesS9)() = nullptr;          // S9 is on: the runtime keeps it for its first cycle
    void (*iecForgetFirstRun)() = nullptr;  // leaving stop: the restarted application runs a first cycle
    void (*iecHalted)() = nullptr;          // entering stop: the runtime's cycle is reported halted
    // The local I/O.
    u16 (*moduleIdentity)(int slot) = nullptr;  // detected module of a slot, 0xFF for none
    int (*detectModules)() = nullptr;           // reads the identities and starts the modules; flags of unsupported slots
    int (*configureSlot)(IoSlotRecord* record, int slot) = nullptr;
    void (*getInputs)(u8* image, int slot, u32 firstBit, u32 bits) = nullptr;
    void (*putOutputs)(u8* image, int slot, u32 firstBit, u32 bits) = nullptr;
    void (*getAnalogInputs)(u8* image, int slot, u32 firstWord, u32 words) = nullptr;
    void (*putAnalogOutputs)(u8* image, int slot, u32 firstWord, u32 words) = nullptr;
    void (*serviceModule)(int slot) = nullptr;  // after the outputs of a scan
    void (*startModule)(u8 slot) = nullptr;     // at an I/O start
    int (*stopIo)() = nullptr;
    int (*writeModuleMemory)(u8 device, u32 address, u32 count, const u8* data, int type) = nullptr;
    // CAN and CANopen.
    void (*startCanOpen)(const CanOpenNetStart* start) = nullptr;  // (re)starts the network with these settings
    void (*canOpenReceive)() = nullptr;
    void (*canOpenTransmit)() = nullptr;
    // The programming link.
    u8 (*onlineEditing)() = nullptr;                  // the on-line programming mode is on
    void (*endOnlineEditing)() = nullptr;
    u8* (*editBlock)(u32* capacity) = nullptr;        // the on-line edit block: 8-byte header and data
    void (*clearOverride)() = nullptr;                // a mode change ends the link's override
    void (*publishSlotInfo)(const u8* info) = nullptr;  // the system information block's slot records (kSlotInfoBytes)
    int (*talkOpened)(int port) = nullptr;
    void (*talkClosed)(int port) = nullptr;
    void (*openProgrammingMode)(u32 port) = nullptr;
    // Services stepped by the scan and started and stopped by the mode.
    void (*protocolScan)() = nullptr;
    void (*protocolStart)() = nullptr;
    void (*protocolStop)() = nullptr;
    void (*smsScan)() = nullptr;
    void (*smsStart)() = nullptr;
    void (*smsStop)() = nullptr;
    void (*logUpdate)() = nullptr;
    void (*logStart)() = nullptr;
    void (*logStop)() = nullptr;
    void (*debugLogUpdate)() = nullptr;
    void (*emailScan)() = nullptr;        // models with e-mail only
    void (*stopFileJobs)() = nullptr;
    void (*ethernetStatus)() = nullptr;  // end of every scan
};
extern ScanPeers scanPeers;  // filled by core/wiring.cpp
void ScanPeers_Check(NeighbourCheck& check);

// Slot records of the system information block: four entries of the module
// identity (u16) and the IoSlotInfo, padded.
constexpr u32 kSlotInfoEntryBytes = 24, kSlotInfoBytes = 98;

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
