// The I/O driver's state, shared by the driver's own messages (io/iodriver)
// and the analog conversion and calibration (io/analog): per slot the module
// row, calibration constants, configuration, images and filter states, and
// the single instances the modules share (the row-4 converter, the
// cold-junction sensor, the counter and pulse modes).
#pragma once

#include "core/plc.h"
#include "io/ioapi.h"
#include "platform/bytes.h"

// Rows of the module table the driver treats specially.
constexpr u16 kNoRow = 0xFFFF;
constexpr u16 kRowFieldBus = 13, kRowGen2A = 14, kRowGen2B = 15, kRowMeter1 = 16, kRowMeter2 = 17, kRowAq4 = 18,
              kRowAq2 = 19;

// Flags word: constants loaded or written (signature present), calibration
// mode, restart the filters at the next analog input.
constexpr u16 kFlagCalWritten = 0x1, kFlagCalMode = 0x2, kFlagConfigured = 0x4;

// Mode word bits.
constexpr u16 kModeInverted = 0x80, kModeSlot1Aq = 0x800, kModeProtection = 0x8000;

constexpr int kIoAnalogChannels = 8;

struct SlotState {
    u16 row = kNoRow;  // no row until an init message finds one
    u16 gain[16] = {};
    i16 offset[16] = {};
    u16 flags = 0;
    u8 typeCodes[6] = {};
    u8 filterShift = 0;
    u16 mode = 0;
    u8 outImage[4] = {};
    u8 storedConfig[12] = {};
    // Stop data.
    u16 stopMask = 0, stopValues = 0;
    u8 pulseStopSelect = 0;
    u32 pulseStop[4] = {};
    u8 aqStopFlag[4] = {};
    u16 aqStop[4] = {};
    u8 aq4StopFlag[4] = {};
    u16 aq4Stop[4] = {};
    u32 protectionBase = 0;
    u32 aqRef = 0;
    // Counters and pulse channels (programmed through the I/O logic).
    u32 counter[4][2] = {};
    u32 refs[6] = {};
    u8 clockOption = 0;
    u16 clockDivider = 0;
    // Row 22.
    u16 row22Channel[2] = {};
    u16 row22Output[4] = {};
    u8 row22StopSelect[2] = {};
    u16 row22AltMode = 0;
    u16 row22Stop[2] = {};
    u32 row22Diag = 0;
    // Analog output image (words 0-11) and the last control bits written.
    u16 aqImage[12] = {};
    int lastControl = -1;
    // Generation-2 header and access type.
    u8 gen2Header[16] = {};
    u32 gen2Type = 4;
    bool gen2Present = false;
    // Analog inputs: first-order filters, one per channel.
    i64 filterAcc[kIoAnalogChannels] = {};
    u8 filterRestart = 0;  // channels whose next reading restarts the filter
    i32 filterLast[kIoAnalogChannels] = {};
    // Cold junction: the compensation term of each thermocouple type and
    // the cold-junction word (1/40 degree).
    i32 cjTerm[8] = {};
    u16 cjWord = 0;
};

// The row-4 converter's conversion cycle (one instance for both slots).
struct ConverterState {
    u8 state = 0;       // 0 start channel 0, 1 waiting for channel 0, 2 for channel 1
    u32 deadline = 0;   // free-running count by which the reading is due
};

struct IoDriverState {
    SlotState tbl[2];
    IoMessage* current = nullptr;
    u8 hscMode = 0, pwmMode = 0, analogRun = 0;
    // Analog conversion shared by the slots.
    ConverterState converter;
    u8 cjSensor = 0;        // 0 not found yet, else its device byte
    bool cjRead = false;    // a reading was taken (cjLastRead is valid)
    u32 cjLastRead = 0;
    u16 adcPrevious = 0;    // last result of the low-resolution converter
    u8 calNormalMode = 0;
    u8 scratch[64] = {};    // the analog image that calibration reads convert into
};
// The driver's state (io/iodriver.cpp).
extern IoDriverState ioDrv;

// Configuration data of a slot (bounded by what was downloaded).
struct Config {
    const u8* p = nullptr;
    u32 bytes = 0;
    u8 U8(u32 off) const { return p && off + 1 <= bytes ? p[off] : 0; }
    u16 U16(u32 off) const { return p && off + 2 <= bytes ? GetLe16(p + off) : 0; }
    u32 U32(u32 off) const { return p && off + 4 <= bytes ? GetLe32(p + off) : 0; }
};

inline Config ConfigOf(int slot) {
    Config c;
    if (slot >= 0 && slot < kIoSlots && io_cfg[slot].config) {
        c.p = io_cfg[slot].config;
        c.bytes = io_cfg[slot].configBytes;
    }
    return c;
}
