#include "platform/iomodules.h"

#include <cstring>
#include <vector>

#include "platform/board.h"
#include "platform/clock.h"
#include "platform/i2c_imx28_drv.h"

namespace {

// ---------------------------------------------------------------------------
// Layout of the board's module reserve (18 areas of 256 words). Every byte of
// a memory has a word of its own, so that the controller and a tool in
// another process never tear each other's bytes.

constexpr int kAreaSlot0 = 0;          // control words of slot 0 (slot 1: area 1)
constexpr int kAreaBusMemory = 2;      // slot-1 module memory, 4 areas: common and input side
constexpr int kAreaBusMemoryOut = 6;   // slot-1 module memory, 4 areas: output side
constexpr int kAreaGen2 = 10;          // slot s: input side 10 + 2s, output side 11 + 2s
constexpr int kAreaCal = 14;           // calibration EEPROMs: 128 words per slot
constexpr int kAreaBoard = 15;         // board-level devices (the I/O logic: areas 16-17)

// Control words of a slot area.
constexpr int kWMarker = 0, kWIdent = 1, kWNoAck = 2, kWBusy = 3, kWRefused = 4, kWWriteCycle = 5, kWBusyAfter = 6;
constexpr int kWExpander = 8;       // 8 expanders x (latch, pins)
constexpr int kWTemperature = 24;   // i16 in 1/16 degree
constexpr int kWAnalogIn = 25;      // 8 channels
constexpr int kWDac = 33;           // 8 channels
constexpr int kWMcuOutputs = 41;    // row-22 controller: output bytes 0 and 1
constexpr int kWMcuInputs = 42;     // its input word
constexpr int kWMcuCommand = 43;    // last command byte
constexpr int kWMemPointer = 44;    // address pointer of the module memory
constexpr int kWCalPointer = 45;
constexpr int kWGen2Pointer = 46;
constexpr int kWTempPointer = 47;
constexpr int kWConverterCfg = 48;
constexpr int kWConverterStart = 49;  // 100-us tick of the last configuration write
constexpr int kWDacVoltage = 50;      // chain-1 converters: channels in the voltage range (bit per channel)
constexpr int kWMeterSelect = 52;     // metering device: register the last write selected
constexpr int kWMeterSetup = 53;      // its last set-up word (0xF0 writes)
constexpr int kWMeterRegs = 56;       // registers 0-199
constexpr u32 kMeterRegs = 200;
constexpr u32 kMarker = 0x4D4F4455;  // "UDOM"

// Board-level words.
constexpr int kWChainOut = 0;   // 3 words
constexpr int kWChainIn = 3;    // 3 words
constexpr int kWAdcInput = 8;   // 8 multiplexer channels

constexpr u32 kCalBytes = 128;
constexpr u32 kGen2Bytes = 256;
constexpr u32 kEepromWriteCycle = 3;  // address phases refused after a write

const u8 kExpanderAddr[] = {0x40, 0x42, 0x44, 0x4C, 0x4E, 0x70, 0x72};
constexpr int kExpanders = sizeof(kExpanderAddr);

u32 Word(int area, int w) { return Board_ModuleWord(area, w); }
void SetWord(int area, int w, u32 v) { Board_SetModuleWord(area, w, v); }

bool SlotOk(int slot) { return slot >= 0 && slot < kIoModuleSlots; }
int Area(int slot) { return kAreaSlot0 + slot; }

u16 IdentOf(int slot) {
    if (!SlotOk(slot) || Word(Area(slot), kWMarker) != kMarker) return 0xFF;
    return static_cast<u16>(Word(Area(slot), kWIdent));
}

int ExpanderIndex(u8 device) {
    for (int i = 0; i < kExpanders; ++i)
        if (kExpanderAddr[i] == device) return i;
    return -1;
}

IoExpanderState GetExpander(int slot, int idx) {
    return {static_cast<u16>(Word(Area(slot), kWExpander + 2 * idx)),
            static_cast<u16>(Word(Area(slot), kWExpander + 2 * idx + 1))};
}
void SetLatch(int slot, int idx, u16 v) { SetWord(Area(slot), kWExpander + 2 * idx, v); }
void SetPins(int slot, int idx, u16 v) { SetWord(Area(slot), kWExpander + 2 * idx + 1, v); }

// Byte memories, one byte per word.
u8 MemByte(int area, u32 address) { return static_cast<u8>(Word(area + static_cast<int>(address / 256), address % 256)); }
void SetMemByte(int area, u32 address, u8 v) { SetWord(area + static_cast<int>(address / 256), address % 256, v); }

// ---------------------------------------------------------------------------
// What a module carries.

enum class Dev { None, Expander, BusMemory, CalEeprom, Gen2Memory, Gen2Probe, Temperature, Converter, Dac, Metering, Mcu };

bool IsScanListSlot0(u16 id) {
    return id == 0xA60F || id == 0xA00F || id == 0xA40F || id == 0xA20F || id == 0x500F || id == 0x520F;
}
bool IsGen2(u16 id) { return id == 0xAE0F || id == 0xAC0F; }
constexpr u16 kFieldBus = 0x9F0F;

bool Pluggable(int slot, u16 id) {
    if (slot == 0) return (id & 0xFF) == 0x0E || IsScanListSlot0(id) || id == 0x080F;
    if (slot == 1) return (id & 0xFF) == 0x0F && !IsScanListSlot0(id) && id != 0x080F;
    return false;
}

// Calibration EEPROM device byte of a module (0 when it has none).
u8 CalDevice(u16 id) {
    switch (id) {
        case 0xA60F: case 0xA00F: case 0xA40F: case 0xA20F: return static_cast<u8>(id >> 8);
        case 0x7F0E: case 0x500F: case 0x520F: return 0xAA;
        case 0x3F0E: case 0x1F0E: case 0x9F0E: return 0xAC;
        case 0x8F0F: case 0x0F0F: return 0xA8;
        default: return 0;
    }
}

Dev Carries(int slot, u16 id, u8 dev) {
    if (slot == 0) {
        if (id == 0x080F) return dev == 0x08 ? Dev::Gen2Probe : Dev::None;
        if ((id & 0xFF) == 0x0E) {
            if (dev == 0x4C) return Dev::Expander;
            if (dev == CalDevice(id)) return Dev::CalEeprom;
            if (dev == 0x40) {
                if (id == 0xDF0E) return Dev::Mcu;
                if (id == 0x3F0E || id == 0x5F0E || id == 0x9F0E) return Dev::Expander;
            }
            return Dev::None;
        }
        if (id == 0x500F || id == 0x520F) {
            if (dev == (id >> 8)) return Dev::Metering;
            return dev == CalDevice(id) ? Dev::CalEeprom : Dev::None;
        }
        // Base modules found by the scan list.
        if (dev == CalDevice(id)) return Dev::CalEeprom;
        if (dev == 0x40 || dev == 0x42) return Dev::Expander;
        if (dev == 0x44 && id == 0xA40F) return Dev::Expander;
        if (id == 0xA20F) {
            if (dev == 0x9C) return Dev::Converter;
            if (dev == 0x96) return Dev::Temperature;
            if (dev == 0x98 || dev == 0x9A) return Dev::Dac;
        }
        return Dev::None;
    }
    if (id == 0x0A0F) return dev == 0x0A ? Dev::Gen2Probe : Dev::None;
    if (id == 0x720F || id == 0x700F) return dev == (id >> 8) ? Dev::Expander : Dev::None;
    if (id == kFieldBus) return dev == 0x1E ? Dev::BusMemory : Dev::None;
    if (dev == 0x4E) return Dev::Expander;
    if (CalDevice(id) != 0 && dev == CalDevice(id)) return Dev::CalEeprom;
    if (IsGen2(id) && dev == ((id & 0x0E00) >> 8)) return Dev::Gen2Memory;
    if ((id == 0x8F0F && (dev == 0x20 || dev == 0x22)) || (id == 0x0F0F && dev == 0x20)) return Dev::Dac;
    return Dev::None;
}

// The slot whose module carries the device; slot 0 wins a clash.
int Owner(u8 dev, Dev* kind) {
    for (int s = 0; s < kIoModuleSlots; ++s) {
        u16 id = IdentOf(s);
        if (id == 0xFF) continue;
        Dev d = Carries(s, id, dev);
        if (d != Dev::None) {
            *kind = d;
            return s;
        }
    }
    *kind = Dev::None;
    return -1;
}

// ---------------------------------------------------------------------------
// Point wiring: (device, bit of the two ports, active level).

struct Wire {
    u8 device;
    u8 bit;
    bool activeLow;
};

struct Wiring {
    std::vector<Wire> in, out;
};

void Range(std::vector<Wire>& v, u8 device, int firstBit, int n, bool activeLow) {
    for (int i = 0; i < n; ++i) v.push_back({device, static_cast<u8>(firstBit + i), activeLow});
}

Wiring WiringOf(int slot, u16 id) {
    Wiring w;
    if (slot == 0) {
        switch (id) {
            case 0xA60F:  // twelve inputs, the first eight on the expander
                Range(w.in, 0x40, 0, 8, false);
                Range(w.out, 0x40, 8, 7, true);  // the rest are the I/O logic's
                break;
            case 0xA00F:
            case 0xA40F:
            case 0xA20F:
                Range(w.in, 0x40, 0, 8, false);
                if (id == 0xA40F) {
                    for (int i = 0; i < 4; ++i) w.in.push_back({0, 0, false});  // counter inputs 9-12
                    Range(w.in, 0x44, 0, 12, false);
                }
                w.out.push_back({0x40, 8, true});
                w.out.push_back({0, 0, false});  // output 2: its line reads the supply state
                Range(w.out, 0x40, 10, 6, true);
                Range(w.out, 0x42, 0, id == 0xA20F ? 7 : 8, true);
                break;
            case 0x7F0E:
                Range(w.in, 0x4C, 0, 4, false);
                Range(w.out, 0x4C, 4, 4, true);
                break;
            case 0x3F0E:
                Range(w.in, 0x40, 0, 8, false);
                Range(w.out, 0x40, 8, 4, true);
                break;
            case 0x1F0E:
                Range(w.in, 0x4C, 0, 2, true);
                Range(w.out, 0x4C, 8, 4, true);
                break;
            case 0x5F0E:
                Range(w.in, 0x4C, 1, 14, false);
                Range(w.out, 0x40, 0, 10, true);
                break;
            case 0x9F0E:
                Range(w.in, 0x4C, 1, 8, false);
                Range(w.out, 0x40, 0, 8, true);
                break;
            default: break;
        }
    }
    return w;
}

bool IsMcu(int slot, u16 id) { return slot == 0 && id == 0xDF0E; }
bool IsMemoryModule(int slot, u16 id) { return slot == 1 && (IsGen2(id) || id == kFieldBus); }

// Process image of the memory modules: bytes of inputs / outputs.
u32 InputImageArea(int slot, u16 id, u32* base) {
    if (id == kFieldBus) {
        *base = 16;
        return kAreaBusMemory;
    }
    *base = 0x10;
    return static_cast<u32>(kAreaGen2 + 2 * slot);
}
u32 OutputImageArea(int slot, u16 id, u32* base) {
    if (id == kFieldBus) {
        *base = 16;
        return kAreaBusMemoryOut;
    }
    *base = 0x10;
    return static_cast<u32>(kAreaGen2 + 2 * slot + 1);
}

int ImageBits(int slot, u16 id, bool input) {
    if (id == kFieldBus) return input ? 8 * 64 : 8 * 64;
    u8 di = MemByte(kAreaGen2 + 2 * slot, 4), dout = MemByte(kAreaGen2 + 2 * slot, 6);
    return input ? di : dout;
}

// ---------------------------------------------------------------------------
// Device behaviour.

bool Refuse(int slot) {
    int a = Area(slot);
    bool refuse = false;
    if (Word(a, kWNoAck) != 0) {
        refuse = true;
    } else if (u32 after = Word(a, kWBusyAfter); after != 0 && Word(a, kWBusy) != 0) {
        SetWord(a, kWBusyAfter, after - 1);
    } else if (u32 busy = Word(a, kWBusy); busy != 0) {
        SetWord(a, kWBusy, busy - 1);
        refuse = true;
    }
    if (refuse) SetWord(a, kWRefused, Word(a, kWRefused) + 1);
    return refuse;
}

// Reads of the field-bus memory: the state byte follows the run flag.
u8 BusMemoryRead(u32 address) {
    address %= kIoModuleMemoryBytes;
    if (address == 1) return MemByte(kAreaBusMemory, 0) == 1 ? 0xE0 : 0x00;
    return MemByte(kAreaBusMemory, address);
}

void BusMemoryWrite(u32 address, u8 v) {
    address %= kIoModuleMemoryBytes;
    if (address >= 16 && address < 0xFC) {
        SetMemByte(kAreaBusMemoryOut, address, v);
    } else if (address == 0xFE) {
        SetMemByte(kAreaBusMemoryOut, address, v);  // reconfigure request
    } else {
        SetMemByte(kAreaBusMemory, address, v);
    }
}

void ExpanderWrite(int slot, int idx, const u8* d, u32 n) {
    IoExpanderState e = GetExpander(slot, idx);
    u16 latch = e.latch;
    if (n >= 1) latch = static_cast<u16>((latch & 0xFF00) | d[0]);
    if (n >= 2) latch = static_cast<u16>((latch & 0x00FF) | (d[1] << 8));
    SetLatch(slot, idx, latch);
}

void ExpanderRead(int slot, int idx, u8* d, u32 n) {
    IoExpanderState e = GetExpander(slot, idx);
    u16 v = e.latch & e.pins;
    for (u32 i = 0; i < n; ++i) d[i] = static_cast<u8>(i % 2 == 0 ? v : v >> 8);
}

void McuWrite(int slot, const u8* d, u32 n) {
    int a = Area(slot);
    if (n == 0) return;
    SetWord(a, kWMcuCommand, d[0]);
    if (d[0] == 0x40 && n >= 3) SetWord(a, kWMcuOutputs, static_cast<u32>(d[1] | (d[2] << 8)));
}

void McuRead(int slot, u8* d, u32 n) {
    int a = Area(slot);
    u8 cmd = static_cast<u8>(Word(a, kWMcuCommand));
    u16 v = 0;
    if (cmd == 0x40) v = static_cast<u16>(Word(a, kWMcuInputs));
    else if (cmd == 0x10) v = 0x0101;  // version
    else if (cmd >= 0x20 && cmd < 0x26) v = static_cast<u16>(Word(a, kWAnalogIn + (cmd - 0x20)));
    for (u32 i = 0; i < n; ++i) d[i] = i == 0 ? static_cast<u8>(v) : i == 1 ? static_cast<u8>(v >> 8) : 0;
}

// The two-channel converter: a conversion takes 5 ms at resolution code 0
// (configuration bits 2-3), 15 ms at code 1 and 60 ms at codes 2 and 3.
u32 ConverterTick() { return static_cast<u32>(Clock_MonotonicNs() / 100000); }
u32 ConversionTicks(u32 cfg) {
    static const u32 ticks[4] = {50, 150, 600, 600};
    return ticks[(cfg >> 2) & 3];
}

void DeviceWrite(int slot, Dev kind, u8 dev, const u8* d, u32 n) {
    int a = Area(slot);
    switch (kind) {
        case Dev::Expander: ExpanderWrite(slot, ExpanderIndex(dev), d, n); break;
        case Dev::Mcu: McuWrite(slot, d, n); break;
        case Dev::BusMemory: {
            if (n < 2) break;
            u32 addr = static_cast<u32>((d[0] << 8) | d[1]);
            for (u32 i = 2; i < n; ++i) BusMemoryWrite(addr + i - 2, d[i]);
            SetWord(a, kWMemPointer, (addr + (n - 2)) % kIoModuleMemoryBytes);
            break;
        }
        case Dev::CalEeprom: {
            if (n < 1) break;
            u32 addr = d[0];
            for (u32 i = 1; i < n; ++i) SetWord(kAreaCal, static_cast<int>(slot * kCalBytes + (addr + i - 1) % kCalBytes), d[i]);
            SetWord(a, kWCalPointer, (addr + (n - 1)) % kCalBytes);
            if (n > 1) SetWord(a, kWWriteCycle, kEepromWriteCycle);
            break;
        }
        case Dev::Gen2Memory: {
            if (n < 1) break;
            u32 addr = d[0];
            for (u32 i = 1; i < n; ++i) SetMemByte(kAreaGen2 + 2 * slot + 1, (addr + i - 1) % kGen2Bytes, d[i]);
            SetWord(a, kWGen2Pointer, (addr + (n - 1)) % kGen2Bytes);
            break;
        }
        case Dev::Temperature:
            if (n >= 1) SetWord(a, kWTempPointer, d[0]);
            break;
        case Dev::Metering: {
            // 0x01, register, then the value bytes: a write of a setting
            // (registers from 0x90 and the command register 0x1A) stores
            // them, most significant first; any other register is only
            // selected for the read that follows.
            if (n >= 2 && d[0] == 0xF0) SetWord(a, kWMeterSetup, d[1]);
            if (n < 2 || d[0] != 0x01 || d[1] >= kMeterRegs) break;
            SetWord(a, kWMeterSelect, d[1]);
            if (d[1] >= 0x90 || d[1] == 0x1A) {
                u32 v = 0;
                for (u32 i = 2; i < n && i < 5; ++i) v = (v << 8) | d[i];
                SetWord(a, kWMeterRegs + d[1], v);
            }
            break;
        }
        case Dev::Converter:
            if (n >= 1) {
                SetWord(a, kWConverterCfg, d[0]);
                SetWord(a, kWConverterStart, ConverterTick());
            }
            break;
        case Dev::Dac: {
            // 0x20/0x22: command 0x30 + channel, code << 4 high byte, low byte;
            // 0x98/0x9A: the code's two bytes, high first.
            if (dev == 0x20 || dev == 0x22) {
                if (n >= 3 && (d[0] & 0xF0) == 0x30) {
                    int ch = (dev == 0x22 ? 2 : 0) + (d[0] & 1);
                    SetWord(a, kWDac + ch, static_cast<u32>(((d[1] << 8) | d[2]) >> 4));
                }
            } else if (n >= 2) {
                SetWord(a, kWDac + (dev == 0x9A ? 1 : 0), static_cast<u32>((d[0] << 8) | d[1]));
            }
            break;
        }
        default: break;
    }
}

void DeviceRead(int slot, Dev kind, u8 dev, u8* d, u32 n) {
    int a = Area(slot);
    std::memset(d, 0, n);
    switch (kind) {
        case Dev::Expander: ExpanderRead(slot, ExpanderIndex(dev), d, n); break;
        case Dev::Mcu: McuRead(slot, d, n); break;
        case Dev::BusMemory: {
            u32 addr = Word(a, kWMemPointer);
            for (u32 i = 0; i < n; ++i) d[i] = BusMemoryRead(addr + i);
            SetWord(a, kWMemPointer, (addr + n) % kIoModuleMemoryBytes);
            break;
        }
        case Dev::CalEeprom: {
            u32 addr = Word(a, kWCalPointer);
            for (u32 i = 0; i < n; ++i) d[i] = static_cast<u8>(Word(kAreaCal, static_cast<int>(slot * kCalBytes + (addr + i) % kCalBytes)));
            SetWord(a, kWCalPointer, (addr + n) % kCalBytes);
            break;
        }
        case Dev::Gen2Memory: {
            u32 addr = Word(a, kWGen2Pointer);
            for (u32 i = 0; i < n; ++i) d[i] = MemByte(kAreaGen2 + 2 * slot, (addr + i) % kGen2Bytes);
            SetWord(a, kWGen2Pointer, (addr + n) % kGen2Bytes);
            break;
        }
        case Dev::Temperature: {
            // Register 0: the temperature, big-endian, 1/16 degree scaled to
            // the sensor's format (13 bits for the LM92 type, 12 for TMP275).
            i16 t = static_cast<i16>(Word(a, kWTemperature));
            int shift = dev == 0x9E ? 4 : 3;
            u16 raw = static_cast<u16>(static_cast<u16>(t) << shift);
            if (n >= 1) d[0] = static_cast<u8>(raw >> 8);
            if (n >= 2) d[1] = static_cast<u8>(raw);
            break;
        }
        case Dev::Metering: {
            // Reads of the selected register: four bytes carry a signed
            // 24-bit value in bytes 1-3, three bytes a 16-bit value in bytes
            // 1-2, two bytes an 8-bit value in byte 1; byte 0 is not used.
            u32 v = Word(a, kWMeterRegs + static_cast<int>(Word(a, kWMeterSelect) % kMeterRegs));
            for (u32 i = 1; i < n; ++i) d[i] = static_cast<u8>(v >> (8 * (n - 1 - i)));
            break;
        }
        case Dev::Converter: {
            // Channel from bit 5 of the configuration byte; the value is the
            // channel's signed reading, big-endian; the third byte echoes the
            // configuration with the not-ready bit 7 set until the
            // conversion started by the last configuration write is done.
            u32 cfg = Word(a, kWConverterCfg);
            int ch = (cfg & 0x20) ? 1 : 0;
            u16 v = static_cast<u16>(Word(a, kWAnalogIn + ch));
            bool ready = ConverterTick() - Word(a, kWConverterStart) >= ConversionTicks(cfg);
            if (n >= 1) d[0] = static_cast<u8>(v >> 8);
            if (n >= 2) d[1] = static_cast<u8>(v);
            if (n >= 3) d[2] = static_cast<u8>((cfg & 0x7F) | (ready ? 0 : 0x80));
            break;
        }
        default: break;
    }
}

// ---------------------------------------------------------------------------
// I2C0 controller model (direct register path).

// The transfer the I2C0 controller model is in, with the bytes a read
// brought; the shift chain the pins select; the SPI transaction of the I/O
// logic.
struct I2cTransaction {
    bool active = false;
    u8 address = 0;
    std::vector<u8> written;
};
struct ChainState {
    int active = -1;
    u32 shifted = 0;
    int bits = 0;
};
struct LogicTransaction {
    u8 header[4] = {};
    int headerBytes = 0;
    int dataBytes = 0;
    u32 value = 0;
};
struct State {
    I2cTransaction txn;
    std::vector<u8> rx;
    size_t rxPos = 0;
    ChainState chain;
    LogicTransaction logic;
};
State g;

u32 I2cReg(u32 offset) { return Board_RegRead(kSocI2c0Base + offset); }
void I2cRegWrite(u32 offset, u32 v) { Board_RegWrite(kSocI2c0Base + offset, v); }

void EndTransaction() {
    if (g.txn.active && (g.txn.address & 1) == 0 && !g.txn.written.empty())
        IoBus_Write(g.txn.address, g.txn.written.data(), static_cast<u32>(g.txn.written.size()));
    g.txn = I2cTransaction{};
}

void I2cRun(u32 ctrl0) {
    u32 count = ctrl0 & kI2cCtrl0CountMask;
    bool ack = true;
    if (ctrl0 & kI2cCtrl0Transmit) {
        u32 data = I2cReg(kI2cData);
        u32 n = count < 4 ? count : 4;
        for (u32 i = 0; i < n && ack; ++i) {
            u8 b = static_cast<u8>(data >> (8 * i));
            if (i == 0 && (ctrl0 & kI2cCtrl0PreSendStart)) {
                EndTransaction();
                ack = IoBus_Address(b);
                if (ack) {
                    g.txn.active = true;
                    g.txn.address = b;
                }
            } else if (g.txn.active && (g.txn.address & 1) == 0) {
                g.txn.written.push_back(b);
            } else {
                ack = false;
            }
        }
    } else {
        g.rx.assign(count, 0);
        g.rxPos = 0;
        if (g.txn.active && (g.txn.address & 1)) IoBus_Read(g.txn.address, g.rx.data(), count);
        else ack = false;
    }
    if (!ack) g.txn = I2cTransaction{};
    if (ctrl0 & kI2cCtrl0PostSendStop) EndTransaction();
    u32 flags = kI2cCtrl1EngineDone | kI2cCtrl1BusFree | (ack ? 0 : kI2cCtrl1NoSlaveAck);
    I2cRegWrite(kI2cCtrl1 + kRegSet, flags);
    I2cRegWrite(kI2cCtrl0 + kRegClr, kI2cCtrl0Run);
}

void I2cWriteHook(u32 regAddr, u32 oldValue, u32 newValue) {
    if (regAddr != kSocI2c0Base + kI2cCtrl0) return;
    if ((newValue & kI2cCtrl0Run) && !(oldValue & kI2cCtrl0Run)) I2cRun(newValue);
    if (newValue & kCtrlSoftReset) {
        g.txn = I2cTransaction{};
        g.rx.clear();
        g.rxPos = 0;
    }
}

// Each read of the data register takes the next four received bytes.
void I2cReadHook(u32 regAddr) {
    if (regAddr != kSocI2c0Base + kI2cData || g.rxPos >= g.rx.size()) return;
    u32 v = 0;
    for (int i = 0; i < 4 && g.rxPos < g.rx.size(); ++i) v |= static_cast<u32>(g.rx[g.rxPos++]) << (8 * i);
    I2cRegWrite(kI2cData, v);
}

// ---------------------------------------------------------------------------
// Shift-chain devices on the pin-control block. Chains 0 and 1 take the data
// line on the falling clock edge, most significant bit first, and present
// their next input bit after it; chain 2 takes it on the rising edge, least
// significant first.

constexpr u32 kClockBit = 1u << 16, kDataOutBit = 1u << 17, kDataInBit = 1u << 18;
constexpr u32 kChain0Select = 1u << 5;  // bank 4, active high
constexpr u32 kChain1Select = 1u << 19, kChain2Select = 1u << 21;  // bank 2, active low


int SelectedChain() {
    if (Board_GpioOut(4) & kChain0Select) return 0;
    u32 b2 = Board_GpioOut(2);
    if (!(b2 & kChain1Select)) return 1;
    if (!(b2 & kChain2Select)) return 2;
    return -1;
}

void PresentInputBit() {
    if (g.chain.active != 0 && g.chain.active != 1) return;
    u32 in = Word(kAreaBoard, kWChainIn + g.chain.active);
    int bit = 15 - g.chain.bits;
    bool level = bit >= 0 ? ((in >> bit) & 1) : true;
    Board_SetGpioInput(2, kDataInBit, level ? kDataInBit : 0);
}

// The output converters of the slot-0 modules whose analog outputs hang on
// chain 1. A frame is taken when all 16 bits arrived and bit 12 marks it as
// a converter frame: the code in bits 0-11, the channel in bits 14-15; the
// two-output module uses bit 14 for the channel and bit 15 for the voltage
// range (clear: current). Bit 13 is never set in a converter frame.
int ChainDacChannels(u16 id) {
    switch (id) {
        case 0x3F0E: case 0x1F0E: return 4;
        case 0x9F0E: return 2;
        default: return 0;
    }
}

void ChainDacFrame(u32 frame) {
    u16 id = IdentOf(0);
    int channels = ChainDacChannels(id);
    if (channels == 0 || (frame & 0x3000) != 0x1000) return;
    bool twoOutputs = channels == 2;
    int ch = static_cast<int>(twoOutputs ? (frame >> 14) & 1 : (frame >> 14) & 3);
    int a = Area(0);
    SetWord(a, kWDac + ch, frame & 0xFFF);
    u32 voltage = Word(a, kWDacVoltage);
    bool v = twoOutputs ? (frame & 0x8000) != 0 : true;
    SetWord(a, kWDacVoltage, v ? (voltage | (1u << ch)) : (voltage & ~(1u << ch)));
}

void ChainSelectChanged() {
    int now = SelectedChain();
    if (now == g.chain.active) return;
    if (g.chain.active >= 0 && g.chain.bits > 0) SetWord(kAreaBoard, kWChainOut + g.chain.active, g.chain.shifted);
    if (g.chain.active == 1 && g.chain.bits == 16) ChainDacFrame(g.chain.shifted);
    g.chain = ChainState{};
    g.chain.active = now;
    if (now >= 0) PresentInputBit();
    else Board_SetGpioInput(2, kDataInBit, kDataInBit);  // pulled up
}

void PinWriteHook(u32 regAddr, u32 oldValue, u32 newValue) {
    if (regAddr == kSocPinctrlBase + kPinctrlDout0 + 0x10 * 4) {
        if ((oldValue ^ newValue) & kChain0Select) ChainSelectChanged();
        return;
    }
    if (regAddr != kSocPinctrlBase + kPinctrlDout0 + 0x10 * 2) return;
    if ((oldValue ^ newValue) & (kChain1Select | kChain2Select)) ChainSelectChanged();
    if (!((oldValue ^ newValue) & kClockBit) || g.chain.active < 0) return;
    bool rising = (newValue & kClockBit) != 0;
    bool bit = (newValue & kDataOutBit) != 0;
    if (g.chain.active == 2) {
        if (rising && g.chain.bits < 12) {
            if (bit) g.chain.shifted |= 1u << g.chain.bits;
            ++g.chain.bits;
        }
    } else if (!rising && g.chain.bits < 16) {
        g.chain.shifted = (g.chain.shifted << 1) | (bit ? 1 : 0);
        ++g.chain.bits;
        PresentInputBit();
    }
}

// ---------------------------------------------------------------------------
// Low-resolution ADC: setting bit 0 of control register 0 converts channel 0
// at the multiplexer setting (bank 4 pins 9-11) into the result register.

constexpr u32 kLradcCtrl0 = 0x00, kLradcResult0 = 0x50;

void LradcWriteHook(u32 regAddr, u32 oldValue, u32 newValue) {
    if (regAddr != kSocLradcBase + kLradcCtrl0 || !(newValue & 1) || (oldValue & 1)) return;
    int mux = static_cast<int>((Board_GpioOut(4) >> 9) & 7);
    u32 v = Word(kAreaBoard, kWAdcInput + mux) & 0xFFF;
    Board_RegWrite(kSocLradcBase + kLradcResult0, v);
    Board_RegWrite(kSocLradcBase + kLradcCtrl0 + kRegClr, 1);
}

// ---------------------------------------------------------------------------
// The board's I/O logic behind an SSP port: each transaction is a 4-byte
// header (1 read / 2 write, length 1-4, register high, register low) and
// the value's bytes, least significant first. Each started byte transfer
// (DATA_XFER) moves one byte at once.

constexpr u32 kSspCtrl0 = 0x000, kSspData = 0x090, kSspStatus = 0x100;
constexpr u32 kSspCtrl0Read = 0x02000000, kSspCtrl0DataXfer = 0x01000000;
constexpr u32 kSspStatusFifoEmpty = 0x20;
constexpr int kAreaLogic = 16;  // two areas: registers 0-511
constexpr u32 kLogicRegs = 512;

u32 LogicReg(u16 reg) { return reg < kLogicRegs ? Word(kAreaLogic + reg / 256, reg % 256) : 0; }
void SetLogicReg(u16 reg, u32 v) {
    if (reg < kLogicRegs) SetWord(kAreaLogic + reg / 256, reg % 256, v);
}

void SspByte(u32 base, bool read) {
    LogicTransaction& t = g.logic;
    if (t.headerBytes < 4) {
        t.header[t.headerBytes++] = static_cast<u8>(Board_RegRead(base + kSspData));
        if (t.headerBytes == 4) {
            u16 reg = static_cast<u16>((t.header[2] << 8) | t.header[3]);
            t.value = LogicReg(reg);
            t.dataBytes = 0;
            if (t.header[1] == 0 || t.header[1] > 4 || (t.header[0] != 1 && t.header[0] != 2)) g.logic = {};
        }
        return;
    }
    int len = t.header[1];
    u16 reg = static_cast<u16>((t.header[2] << 8) | t.header[3]);
    int k = t.dataBytes++;
    if (read) {
        Board_RegWrite(base + kSspData, (t.value >> (8 * k)) & 0xFF);
        Board_RegWrite(base + kSspStatus + kRegClr, kSspStatusFifoEmpty);
    } else {
        u32 b = Board_RegRead(base + kSspData) & 0xFF;
        t.value = (t.value & ~(0xFFu << (8 * k))) | (b << (8 * k));
    }
    if (t.dataBytes >= len) {
        if (t.header[0] == 2) SetLogicReg(reg, t.value);
        g.logic = {};
    }
}

void SspWriteHook(u32 regAddr, u32 oldValue, u32 newValue) {
    u32 base = regAddr & ~(kSocBlockBytes - 1);
    if (regAddr != base + kSspCtrl0) return;
    if ((newValue & kSspCtrl0DataXfer) && !(oldValue & kSspCtrl0DataXfer)) SspByte(base, (newValue & kSspCtrl0Read) != 0);
}

void ClearArea(int area) {
    for (int w = 0; w < kModuleSlotWords; ++w) SetWord(area, w, 0);
}

void ClearSlotDevices(int slot) {
    ClearArea(Area(slot));
    for (u32 i = 0; i < kCalBytes; ++i) SetWord(kAreaCal, static_cast<int>(slot * kCalBytes + i), 0xFF);
    ClearArea(kAreaGen2 + 2 * slot);
    ClearArea(kAreaGen2 + 2 * slot + 1);
    if (slot == 1) {
        for (int k = 0; k < 4; ++k) {
            ClearArea(kAreaBusMemory + k);
            ClearArea(kAreaBusMemoryOut + k);
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------

bool IoModules_Plug(int slot, u16 ident) {
    if (!SlotOk(slot) || !Pluggable(slot, ident)) return false;
    ClearSlotDevices(slot);
    int a = Area(slot);
    SetWord(a, kWIdent, ident);
    // Released latches, pulled-up pins; the identity code is strapped on the
    // second port of the identity expander.
    for (int i = 0; i < kExpanders; ++i) {
        SetLatch(slot, i, 0xFFFF);
        SetPins(slot, i, 0xFFFF);
    }
    if (slot == 0 && (ident & 0xFF) == 0x0E) SetPins(slot, ExpanderIndex(0x4C), static_cast<u16>((ident & 0xFF00) | 0xFF));
    if (slot == 1 && Carries(1, ident, 0x4E) == Dev::Expander)
        SetPins(slot, ExpanderIndex(0x4E), static_cast<u16>((ident & 0xFF00) | 0xFF));
    SetWord(a, kWMarker, kMarker);
    // Every input point starts off, except those read on the strapped
    // identity port, which show the strap until an input drives them.
    Wiring w = WiringOf(slot, ident);
    for (size_t i = 0; i < w.in.size(); ++i) {
        const Wire& in = w.in[i];
        bool strapped = (in.device == 0x4C || in.device == 0x4E) && in.bit >= 8;
        if (in.device != 0 && !strapped) IoModules_SetInput(slot, static_cast<int>(i + 1), false);
    }
    if (ident == kFieldBus) SetMemByte(kAreaBusMemory, 8, 0x9F);
    if (IsGen2(ident)) IoModules_SetGen2Header(slot, 16, 2, 16, 2, 7, "GEN2IO");
    SetWord(a, kWTemperature, static_cast<u32>(25 * 16));
    return true;
}

void IoModules_Unplug(int slot) {
    if (SlotOk(slot)) ClearSlotDevices(slot);
}

u16 IoModules_Ident(int slot) { return IdentOf(slot); }

void IoModules_Reset() {
    for (int s = 0; s < kIoModuleSlots; ++s) IoModules_Unplug(s);
    ClearArea(kAreaBoard);
    ClearArea(kAreaLogic);
    ClearArea(kAreaLogic + 1);
    g = State{};
}

void IoModules_SetNoAck(int slot, bool on) {
    if (SlotOk(slot)) SetWord(Area(slot), kWNoAck, on ? 1 : 0);
}
bool IoModules_NoAck(int slot) { return SlotOk(slot) && Word(Area(slot), kWNoAck) != 0; }
void IoModules_SetBusy(int slot, u32 count, u32 after) {
    if (!SlotOk(slot)) return;
    SetWord(Area(slot), kWBusyAfter, after);
    SetWord(Area(slot), kWBusy, count);
}
u32 IoModules_Refused(int slot) { return SlotOk(slot) ? Word(Area(slot), kWRefused) : 0; }

bool IoModules_SetInput(int slot, int point, bool on) {
    u16 id = IdentOf(slot);
    if (id == 0xFF || point < 1) return false;
    if (IsMcu(slot, id)) {
        if (point > 16) return false;
        u32 v = Word(Area(slot), kWMcuInputs);
        u32 m = 1u << (point - 1);
        SetWord(Area(slot), kWMcuInputs, on ? (v | m) : (v & ~m));
        return true;
    }
    if (IsMemoryModule(slot, id)) {
        if (point > ImageBits(slot, id, true)) return false;
        u32 base;
        int area = static_cast<int>(InputImageArea(slot, id, &base));
        u32 addr = base + static_cast<u32>(point - 1) / 8;
        u8 m = static_cast<u8>(1u << ((point - 1) % 8));
        u8 v = MemByte(area, addr);
        SetMemByte(area, addr, on ? (v | m) : (v & ~m));
        return true;
    }
    Wiring w = WiringOf(slot, id);
    if (static_cast<size_t>(point) > w.in.size() || w.in[point - 1].device == 0) return false;
    const Wire& wire = w.in[point - 1];
    int idx = ExpanderIndex(wire.device);
    IoExpanderState e = GetExpander(slot, idx);
    bool high = on != wire.activeLow;
    u16 m = static_cast<u16>(1u << wire.bit);
    SetPins(slot, idx, high ? (e.pins | m) : (e.pins & ~m));
    return true;
}

int IoModules_Input(int slot, int point) {
    u16 id = IdentOf(slot);
    if (id == 0xFF || point < 1) return -1;
    if (IsMcu(slot, id)) return point <= 16 ? static_cast<int>((Word(Area(slot), kWMcuInputs) >> (point - 1)) & 1) : -1;
    if (IsMemoryModule(slot, id)) {
        if (point > ImageBits(slot, id, true)) return -1;
        u32 base;
        int area = static_cast<int>(InputImageArea(slot, id, &base));
        return (MemByte(area, base + static_cast<u32>(point - 1) / 8) >> ((point - 1) % 8)) & 1;
    }
    Wiring w = WiringOf(slot, id);
    if (static_cast<size_t>(point) > w.in.size() || w.in[point - 1].device == 0) return -1;
    const Wire& wire = w.in[point - 1];
    bool high = (GetExpander(slot, ExpanderIndex(wire.device)).pins >> wire.bit) & 1;
    return high != wire.activeLow ? 1 : 0;
}

int IoModules_Output(int slot, int point) {
    u16 id = IdentOf(slot);
    if (id == 0xFF || point < 1) return -1;
    if (IsMcu(slot, id)) return point <= 16 ? static_cast<int>((Word(Area(slot), kWMcuOutputs) >> (point - 1)) & 1) : -1;
    if (IsMemoryModule(slot, id)) {
        if (point > ImageBits(slot, id, false)) return -1;
        u32 base;
        int area = static_cast<int>(OutputImageArea(slot, id, &base));
        return (MemByte(area, base + static_cast<u32>(point - 1) / 8) >> ((point - 1) % 8)) & 1;
    }
    Wiring w = WiringOf(slot, id);
    if (static_cast<size_t>(point) > w.out.size() || w.out[point - 1].device == 0) return -1;
    const Wire& wire = w.out[point - 1];
    bool high = (GetExpander(slot, ExpanderIndex(wire.device)).latch >> wire.bit) & 1;
    return high != wire.activeLow ? 1 : 0;
}

int IoModules_InputCount(int slot) {
    u16 id = IdentOf(slot);
    if (id == 0xFF) return 0;
    if (IsMcu(slot, id)) return 16;
    if (IsMemoryModule(slot, id)) return ImageBits(slot, id, true);
    return static_cast<int>(WiringOf(slot, id).in.size());
}

int IoModules_OutputCount(int slot) {
    u16 id = IdentOf(slot);
    if (id == 0xFF) return 0;
    if (IsMcu(slot, id)) return 16;
    if (IsMemoryModule(slot, id)) return ImageBits(slot, id, false);
    return static_cast<int>(WiringOf(slot, id).out.size());
}

bool IoModules_SetAnalogInput(int slot, int channel, u16 value) {
    if (!SlotOk(slot) || channel < 0 || channel >= 8) return false;
    SetWord(Area(slot), kWAnalogIn + channel, value);
    // Slot 0's analog channels also sit on the SoC converter's multiplexer.
    if (slot == 0) SetWord(kAreaBoard, kWAdcInput + channel, value >> 4);
    return true;
}

int IoModules_AnalogOutput(int slot, int channel) {
    if (!SlotOk(slot) || channel < 0 || channel >= 8) return -1;
    return static_cast<int>(Word(Area(slot), kWDac + channel));
}

int IoModules_AnalogOutputRange(int slot, int channel) {
    if (slot != 0 || channel < 0 || channel >= ChainDacChannels(IdentOf(0))) return -1;
    return static_cast<int>((Word(Area(0), kWDacVoltage) >> channel) & 1);
}

void IoModules_SetMeterRegister(int slot, u8 reg, u32 value) {
    if (SlotOk(slot) && reg < kMeterRegs) SetWord(Area(slot), kWMeterRegs + reg, value);
}

u32 IoModules_MeterRegister(int slot, u8 reg) {
    return SlotOk(slot) && reg < kMeterRegs ? Word(Area(slot), kWMeterRegs + reg) : 0;
}

u8 IoModules_MeterSetup(int slot) { return SlotOk(slot) ? static_cast<u8>(Word(Area(slot), kWMeterSetup)) : 0; }

void IoModules_SetTemperature(int slot, i16 sixteenths) {
    if (SlotOk(slot)) SetWord(Area(slot), kWTemperature, static_cast<u16>(sixteenths));
}

bool IoModules_Expander(u8 device, IoExpanderState* out) {
    Dev kind;
    int s = Owner(device, &kind);
    if (s < 0 || kind != Dev::Expander) return false;
    *out = GetExpander(s, ExpanderIndex(device));
    return true;
}

u8 IoModules_MemoryByte(int slot, u32 address) {
    if (slot != 1) return 0;
    return MemByte(kAreaBusMemory, address % kIoModuleMemoryBytes);
}

u8 IoModules_MemoryWritten(int slot, u32 address) {
    if (slot != 1) return 0;
    return MemByte(kAreaBusMemoryOut, address % kIoModuleMemoryBytes);
}

void IoModules_SetMemoryByte(int slot, u32 address, u8 value) {
    if (slot == 1) SetMemByte(kAreaBusMemory, address % kIoModuleMemoryBytes, value);
}

void IoModules_SetGen2Header(int slot, u8 di, u8 ai, u8 dout, u8 aq, u8 speed, const char* name) {
    if (!SlotOk(slot)) return;
    int area = kAreaGen2 + 2 * slot;
    SetMemByte(area, 1, static_cast<u8>(0xE0 | (speed & 7)));
    SetMemByte(area, 4, di);
    SetMemByte(area, 5, ai);
    SetMemByte(area, 6, dout);
    SetMemByte(area, 7, aq);
    size_t len = name ? std::strlen(name) : 0;
    for (u32 i = 0; i < 8; ++i) SetMemByte(area, 8 + i, i < len ? static_cast<u8>(name[i]) : (i < 6 ? ' ' : 0));
}

u8 IoModules_CalByte(int slot, u32 address) {
    if (!SlotOk(slot)) return 0;
    return static_cast<u8>(Word(kAreaCal, static_cast<int>(slot * kCalBytes + address % kCalBytes)));
}

bool IoBus_Address(u8 addressByte) {
    u8 dev = addressByte & 0xFE;
    Dev kind;
    int s = Owner(dev, &kind);
    if (s < 0) return false;
    if (Refuse(s)) return false;
    // An EEPROM in its write cycle does not answer.
    if (kind == Dev::CalEeprom) {
        u32 cycle = Word(Area(s), kWWriteCycle);
        if (cycle != 0) {
            SetWord(Area(s), kWWriteCycle, cycle - 1);
            SetWord(Area(s), kWRefused, Word(Area(s), kWRefused) + 1);
            return false;
        }
    }
    return true;
}

void IoBus_Write(u8 addressByte, const u8* data, u32 count) {
    Dev kind;
    int s = Owner(addressByte & 0xFE, &kind);
    if (s >= 0) DeviceWrite(s, kind, addressByte & 0xFE, data, count);
}

void IoBus_Read(u8 addressByte, u8* data, u32 count) {
    Dev kind;
    int s = Owner(addressByte & 0xFE, &kind);
    if (s >= 0) DeviceRead(s, kind, addressByte & 0xFE, data, count);
    else std::memset(data, 0xFF, count);
}

bool IoBus_Transfer(u8 addressByte, u8* data, u32 count, bool read) {
    if (!IoBus_Address(addressByte)) return false;
    if (count == 0) return true;
    if (read) IoBus_Read(addressByte, data, count);
    else IoBus_Write(addressByte, data, count);
    return true;
}

long IoBus_KernelCall(long operation, void* recordAddressWord, long) {
    if (operation != 1 || recordAddressWord == nullptr) return -1;
    I2cCmd* cmd = *static_cast<I2cCmd**>(recordAddressWord);
    if (cmd == nullptr) return -1;
    u8 address = static_cast<u8>(cmd->address);
    if (cmd->length == 0) {
        // A probe: the result tells whether the address was acknowledged.
        cmd->result = IoBus_Address(address) ? 1 : 0;
        return 0;
    }
    if (cmd->data == nullptr) {
        cmd->result = 22;  // invalid argument
        return -1;
    }
    bool read = cmd->direction == 1;
    u8 a = static_cast<u8>(read ? (address | 1) : (address & 0xFE));
    cmd->result = IoBus_Transfer(a, cmd->data, cmd->length, read) ? 0 : 6;  // 6: no such device
    return 0;
}

void IoModules_AttachBoard() {
    Board_SetWriteHook(kSocI2c0Base, I2cWriteHook);
    Board_SetReadHook(kSocI2c0Base, I2cReadHook);
    Board_SetWriteHook(kSocPinctrlBase, PinWriteHook);
    Board_SetWriteHook(kSocLradcBase, LradcWriteHook);
    Board_SetWriteHook(kSocSsp1Base, SspWriteHook);
    Board_SetWriteHook(kSocSsp2Base, SspWriteHook);
}

u32 IoModules_LogicRegister(u16 reg) { return LogicReg(reg); }

void IoModules_SetLogicRegister(u16 reg, u32 value) { SetLogicReg(reg, value); }

u32 IoModules_ChainOutput(int chain) {
    return chain >= 0 && chain < 3 ? Word(kAreaBoard, kWChainOut + chain) : 0;
}

void IoModules_SetChainInput(int chain, u16 value) {
    if (chain >= 0 && chain < 3) SetWord(kAreaBoard, kWChainIn + chain, value);
}
