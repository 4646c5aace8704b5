// The boolean sampling trace: up to 8 BOOL variables of the running
// application recorded into 900 one-byte samples, one sample per cycle or
// per period, with optional start and stop triggers and delays, read by the
// workbench as a logic-analyser view. One trace per application; its record
// is VM database area 27 and lives (and survives a hot restart) with it.
//
// The trace is configured and controlled by TIC instructions the workbench
// queues, and sampled once per cycle right after the VM cycle.
#pragma once

#include "platform/bytes.h"

// Record (area 27, little-endian).
enum Q4BsmpField : u32 {
    kBsPeriod = 0,       // u32 ms, 0 = every cycle
    kBsBase = 4,         // u32 time of the last sample (period) or sample counter
    kBsDelay = 8,        // u32 remaining delay: ms (period) or cycles
    kBsWraps = 12,       // u32
    kBsCount = 16,       // u32 sample counter
    kBsEndDate = 20,     // u32
    kBsEndTime = 24,     // u32
    kBsStartDelay = 28,  // u16 samples
    kBsStopDelay = 30,   // u16 samples
    kBsSignals = 32,     // 8 x u16 data8 indexes, 0 ends the list
    kBsFlags = 48,       // u16
    kBsStartTrig = 50,   // u16 data8 index, 0 none
    kBsStopTrig = 52,    // u16
    kBsPosition = 54,    // u16 write position 0..900
    kBsLastStart = 56,   // u8
    kBsLastStop = 57,    // u8
    kBsSamples = 58,     // 900 bytes
};
constexpr u32 kBsmpSamples = 900;
constexpr u32 kBsmpRecordBytes = 960;
static_assert(kBsSamples + kBsmpSamples <= kBsmpRecordBytes);

enum Q4BsmpFlag : u16 {
    kBsEnabled = 0x0001,
    kBsStartNow = 0x0002,
    kBsStopWhenFull = 0x0008,
    kBsStartFalling = 0x0010,
    kBsStopFalling = 0x0020,
    kBsRecording = 0x0100,
    kBsFilled = 0x0200,
    kBsStarted = 0x0400,
};

constexpr u32 kBsmpSettingsBytes = 32;
constexpr u32 kBsmpDataBytes = 922;

// Configures from the words flags, period high, period low, start trigger,
// stop trigger, start delay, stop delay, n, then n signal indexes (count =
// words available). 0, or 1 when an index names no BOOL of the application
// (the trace is then left cleared, disabled).
int Q4VMBsmp_Set(u8* db, u16 trace, const u16* words, u32 count);
void Q4VMBsmp_Ctl(u8* db, u16 trace, int start);
void Q4VMBsmp_Activate(u8* db, u16 trace);
void Q4VMBsmp_ResetContent(u8* db, u16 trace);
u32 Q4VMBsmp_GetSettingsSize(u8* db, u16 trace);
u32 Q4VMBsmp_GetSettings(u8* db, u16 trace, u8* out);  // 32 bytes, big-endian
u32 Q4VMBsmp_GetDataSize(u8* db, u16 trace);
u32 Q4VMBsmp_GetData(u8* db, u16 trace, u8* out);  // 922 bytes, big-endian
