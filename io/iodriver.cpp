#include "io/iodriver.h"

#include "io/analog.h"
#include "io/hsc.h"
#include "io/powermeter.h"
#include "io/iodriver_state.h"

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "platform/gpio.h"
#include "platform/fpga.h"
#include "platform/spi_imx28_drv.h"

IoDriverState ioDrv;

namespace {

IoDriverState& g = ioDrv;

// Module memory of a field-bus module (two address bytes).
constexpr u8 kIdpbs[2] = {0x1C, 0x1E};
constexpr u32 kBusRun = 0, kBusState = 1, kBusStartupStatus = 2, kBusSizes = 4, kBusStation = 0xFC,
              kBusStatus = 0xFD, kBusReconfigure = 0xFE;

// Generation-2 modules: header reads before the module counts as absent.
constexpr int kGen2HeaderTries = 8;
constexpr u32 kGen2MaxBits = 128, kGen2MaxWords = 112;

// Termination patterns: control bits 4-7 index the first 16 bytes; rows 24
// and 25 take their termination bits from the 16 that follow.
const u8 term_map[32] = {0x00, 0x40, 0x80, 0xC0, 0x10, 0x50, 0x90, 0xD0, 0x20, 0x60, 0xA0,
                         0xE0, 0x30, 0x70, 0xB0, 0xF0, 0x00, 0x08, 0x10, 0x18, 0, 0,
                         0,    0,    0,    0,    0,    0,    0,    0,    0,    0};


u8 SlotCheck(const IoMessage* m) {
    if (m->slot >= 2) return kIoStatusBadSlot;
    if (g.tbl[m->slot].row == kNoRow) return kIoStatusNoModule;
    return kIoStatusOk;
}

bool Inverted(const SlotState& t) { return (t.mode & kModeInverted) != 0; }
u8 Inv(const SlotState& t, u8 v) { return Inverted(t) ? static_cast<u8>(~v) : v; }

// The modules' enable and write line.
void Pin17(bool high) { Gpio_DriveIoEnable(high); }

int WriteIo2(u8 device, u8 a, u8 b) {
    const u8 d[2] = {a, b};
    return I2C_write_io(device, d, 1, 2);
}

int ReadIo2(u8 device, u8* ports) { return I2C_read_io(device, ports, 1, 2); }

// Input levels of the four high-speed counters (the I/O logic).
u8 CounterInputLevels() { return io_get_hscbits(); }

u16 IdentOfRow(u16 row) { return row < kIoIdentRows ? io_ident[row].ident : 0; }

bool IsFieldBusRow(u16 row) {
    if (row >= kIoIdentRows) return false;
    return std::memcmp(IoIdent_Name(row), "DONRU", 5) == 0;
}

// ---------------------------------------------------------------------------
// Field-bus module memory.

int BusRead(int slot, u32 address, u8* buf, u32 n) { return read_io_eeprom(kIdpbs[slot], address, n, buf, 3); }
int BusWrite(int slot, u32 address, const u8* buf, u32 n) { return write_io_eeprom(kIdpbs[slot], address, n, buf, 3); }

// Reads the state byte and the status word (into the status register of the
// configuration); true when process data are exchanged.
bool BusState(int slot) {
    Config c = ConfigOf(slot);
    u8 state = 0;
    if (BusRead(slot, kBusState, &state, 1) != 0) return false;
    u8 sw[2];
    if (BusRead(slot, kBusStatus, sw, 2) == 0) {
        u32 ref = c.U32(36);
        if (ref != 0) {
            u16 w = static_cast<u16>(sw[0] | (sw[1] << 8));
            PlcReg_Set(ref, &w, 16);
        }
    }
    return (state >> 4) == 0xE;
}

// ---------------------------------------------------------------------------
// Generation-2 modules.

u32 Gen2Base(const SlotState& t) { return (IdentOfRow(t.row) & 0x0E00u) >> 1; }

void Gen2ReadHeader(SlotState& t) {
    t.gen2Present = false;
    std::memset(t.gen2Header, 0, sizeof t.gen2Header);
    u32 base = Gen2Base(t);
    // A missing or faulty module never shows a valid header byte: give up
    // after a few reads and treat the module as absent.
    for (int i = 0; i < kGen2HeaderTries; ++i) {
        u8 h[2];
        if (I2C_read_mem(h, base, 2, 4 | (2u << 8)) == 0 && h[1] >= 0xE0 && h[1] <= 0xE7) {
            t.gen2Header[0] = h[0];
            t.gen2Header[1] = h[1];
            t.gen2Type = 4 | (static_cast<u32>(h[1] & 0x0F) << 8);
            if (I2C_read_mem(t.gen2Header + 2, base + 2, 14, t.gen2Type) == 0) t.gen2Present = true;
            return;
        }
    }
}

// Register bit addresses of the process images of a slot: slot 0's start at
// %I1, %AI1, %Q1 and %AQ1; slot 1's follow 256 bits or 256 words later.
u32 Gen2Address(int slot, int image) {
    static const u32 kBase[4] = {0x2000, 0x4000, 0x2800, 0x6000};
    static const u32 kStride[4] = {256, 4096, 256, 4096};
    return kBase[image] + kStride[image] * static_cast<u32>(slot);
}

void Gen2Service(int slot, SlotState& t) {
    if (!t.gen2Present) return;
    u32 base = Gen2Base(t);
    const u8 request = 1;
    if (I2C_write_mem(&request, base, 1, t.gen2Type) != 0) return;
    u32 di = std::min<u32>(t.gen2Header[4], kGen2MaxBits), ai = std::min<u32>(t.gen2Header[5], kGen2MaxWords);
    u32 dout = std::min<u32>(t.gen2Header[6], kGen2MaxBits), aq = std::min<u32>(t.gen2Header[7], kGen2MaxWords);
    u8 buf[2 * kGen2MaxWords];
    if (di != 0) {
        u32 n = (di + 7) / 8;
        if (u8* p = PlcReg_Ptr(Gen2Address(slot, 0), n * 8))
            if (I2C_read_mem(buf, base + 0x10, n, t.gen2Type) == 0) std::memcpy(p, buf, n);
    }
    if (ai != 0) {
        if (u8* p = PlcReg_Ptr(Gen2Address(slot, 1), ai * 16))
            if (I2C_read_mem(buf, base + 0x20, 2 * ai, t.gen2Type) == 0) std::memcpy(p, buf, 2 * ai);
    }
    if (dout != 0) {
        u32 n = (dout + 7) / 8;
        if (u8* p = PlcReg_Ptr(Gen2Address(slot, 2), n * 8)) I2C_write_mem(p, base + 0x10, n, t.gen2Type);
    }
    if (aq != 0) {
        if (u8* p = PlcReg_Ptr(Gen2Address(slot, 3), aq * 16)) I2C_write_mem(p, base + 0x20, 2 * aq, t.gen2Type);
    }
}

// ---------------------------------------------------------------------------
// Message handlers.

void Init(IoMessage* m) {
    for (int s = 0; s < 2; ++s) {
        int row = IoIdent_Find(m->idents[s]);
        g.tbl[s].row = row < 0 ? kNoRow : static_cast<u16>(row);
        if (row >= 0) g.tbl[s].flags = 0;
    }
    Gpio_SetupIoEnableLine();
}

void Query(IoMessage* m) {
    m->length = 0;
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    SlotState& t = g.tbl[m->slot];
    if (t.row == kRowGen2A || t.row == kRowGen2B) {
        if (!t.gen2Present) {
            m->status = kIoStatusNoModule;
            return;
        }
        m->name = reinterpret_cast<const char*>(t.gen2Header + 8);
        m->counts[0] = t.gen2Header[4];
        m->counts[1] = t.gen2Header[6];
        m->counts[2] = t.gen2Header[5];
        m->counts[3] = t.gen2Header[7];
        return;
    }
    const IoIdentRow& r = io_ident[t.row];
    m->name = IoIdent_Name(t.row);
    if (IsFieldBusRow(t.row)) {
        Config c = ConfigOf(m->slot);
        m->counts[0] = static_cast<u16>(c.U32(8));
        m->counts[1] = static_cast<u16>(c.U32(16));
        m->counts[2] = static_cast<u16>(c.U32(24));
        m->counts[3] = static_cast<u16>(c.U32(32));
        return;
    }
    m->counts[0] = r.di;
    m->counts[1] = r.dout;
    m->counts[2] = r.ai;
    m->counts[3] = r.aq;
    if (t.row == 1 && PULMAR_present) {
        m->counts[0] = 32;
        m->counts[1] = 32;
        m->counts[3] = 14;
    }
}

void Row22Setup(SlotState& t, const Config& c) {
    u8 p[2] = {0xFF, 0xFF};
    ReadIo2(0x4C, p);
    WriteIo2(0x4C, static_cast<u8>(p[0] & ~0x04), p[1]);
    WriteIo2(0x4C, static_cast<u8>(p[0] | 0x14), p[1]);
    t.row22Channel[0] = c.U16(0x78);
    t.row22Channel[1] = c.U16(0x7A);
    for (int i = 0; i < 4; ++i) t.row22Output[i] = c.U16(0x7C + 2 * static_cast<u32>(i));
    t.row22StopSelect[0] = c.U8(0x84);
    t.row22StopSelect[1] = c.U8(0x85);
    t.row22AltMode = c.U16(0x86);
    t.row22Stop[0] = c.U16(0x88);
    t.row22Stop[1] = c.U16(0x8A);
    t.row22Diag = c.U32(0x8C);
    // Wait for the module to leave reset (bit 4 of the first port low), at
    // most 10 ms.
    u32 start = FPGA_GetFrt();
    for (int i = 0; i < 1000 && FPGA_GetFrt() - start < 100; ++i) {
        if (ReadIo2(0x4C, p) == 0 && !(p[0] & 0x10)) break;
    }
    const u8 versionCmd = 0x10;
    u8 version[2] = {};
    I2C_write_io(0x40, &versionCmd, 4, 1);
    I2C_read_io(0x40, version, 4, 2);
    u8 inMask = 0, outMask = 0;
    for (int ch = 0; ch < 6; ++ch) {
        u16 setting = ch < 4 ? c.U16(2 * static_cast<u32>(ch)) : t.row22Channel[ch - 4];
        const u8 cmd[3] = {static_cast<u8>(ch + 2), static_cast<u8>(setting), static_cast<u8>(setting >> 8)};
        I2C_write_io(0x40, cmd, 4, 3);
        if (setting != 10) inMask |= static_cast<u8>(1u << ch);
    }
    for (int o = 0; o < 4; ++o) {
        const u8 cmd[3] = {static_cast<u8>(o + 8), static_cast<u8>(t.row22Output[o]), 0};
        I2C_write_io(0x40, cmd, 4, 3);
        if (t.row22Output[o] != 10) outMask |= static_cast<u8>(1u << o);
    }
    const u8 enable[3] = {1, inMask, outMask};
    I2C_write_io(0x40, enable, 4, 3);
    const u8 run[3] = {0, 0, static_cast<u8>(((t.row22AltMode & 1) ? 9 : 1) | (Inverted(t) ? 2 : 0))};
    I2C_write_io(0x40, run, 4, 3);
    if (t.row22Diag != 0) {
        u16 v = static_cast<u16>(version[0] | (version[1] << 8));
        bool iec = (t.row22Diag & 0xC0000000u) == 0xC0000000u;
        PlcReg_Set(t.row22Diag + (iec ? 1 : 16), &v, 16);
        const u8 cmd = 0x12;
        u8 second[2] = {};
        I2C_write_io(0x40, &cmd, 4, 1);
        I2C_read_io(0x40, second, 4, 2);
        u16 w = static_cast<u16>(second[0] | (second[1] << 8));
        PlcReg_Set(t.row22Diag + (iec ? 2 : 32), &w, 16);
    }
}

void Configure(IoMessage* m) {
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    int slot = m->slot;
    SlotState& t = g.tbl[slot];
    if (t.flags & kFlagCalMode) return;
    t.flags = static_cast<u16>((t.flags & ~0x300u) | ((m->status & 3u) << 8));
    if (t.row == kRowGen2A || t.row == kRowGen2B) {
        Gen2ReadHeader(t);
        return;
    }
    // The module's calibration constants, also without configuration data.
    io_get_cal_const(slot);
    Config c = ConfigOf(slot);
    if (c.p == nullptr) return;
    if (slot == 1 && t.row == 5) {
        IoPutRESET(1, 0);
        return;
    }
    t.flags |= kFlagConfigured;
    t.filterShift = c.U8(8);
    for (int i = 0; i < 4; ++i) t.typeCodes[i] = c.U8(2 * static_cast<u32>(i));
    if (t.row == 25) {
        t.typeCodes[4] = c.U8(0x78);
        t.typeCodes[5] = c.U8(0x7A);
    }
    t.mode = static_cast<u16>(c.U8(9) | (c.U8(10) << 8));
    t.counter[0][0] = c.U32(0x4C);
    t.counter[0][1] = c.U32(0x50);
    t.counter[1][0] = c.U32(0x54);
    t.counter[1][1] = c.U32(0x58);
    t.clockOption = c.U8(0xAC);
    u16 freq = c.U16(0xAE);
    if ((t.clockOption & 0x0F) == 0 || freq == 0) {
        t.clockOption = 0;
        t.clockDivider = 0;
    } else {
        t.clockDivider = static_cast<u16>(25000 / freq - 1);
    }
    if (c.U32(0x94) == 2) {
        t.counter[2][0] = c.U32(0x98);
        t.counter[2][1] = c.U32(0x9C);
        t.counter[3][0] = c.U32(0xA0);
        t.counter[3][1] = c.U32(0xA4);
    }
    for (int i = 0; i < 6; ++i) t.refs[i] = c.U32(0x5C + 4 * static_cast<u32>(i));
    if (t.row == kRowMeter1 || t.row == kRowMeter2) PowerMeter_Configure(slot);
    std::memcpy(t.storedConfig, t.typeCodes, 6);
    t.storedConfig[6] = t.filterShift;
    t.storedConfig[7] = static_cast<u8>(t.mode);
    t.storedConfig[8] = static_cast<u8>(t.mode >> 8);

    bool mode7 = Inverted(t);
    u8 p[2] = {0xFF, 0xFF};
    switch (t.row) {
        case 21:
            if (ReadIo2(0x40, p) == 0) {
                p[1] = static_cast<u8>((p[1] | 0x80) & ~0x40);
                if (mode7) p[1] |= 0x40;
                WriteIo2(0x40, 0xFF, p[1]);
            }
            break;
        case 24:
            WriteIo2(0x4C, 0xFE, 0x7F);
            if (ReadIo2(0x40, p) == 0) WriteIo2(0x40, p[0], static_cast<u8>(mode7 ? (p[1] | 0x40) : (p[1] & ~0x40)));
            break;
        case 25: {
            u8 port1 = 0x01;
            for (int ch = 0; ch < 4; ++ch)
                if (t.typeCodes[ch] == 0) port1 |= static_cast<u8>(1u << (ch + 1));
            WriteIo2(0x4C, 0xFE, port1);
            if (ReadIo2(0x40, p) == 0) WriteIo2(0x40, p[0], static_cast<u8>(mode7 ? (p[1] | 0x40) : (p[1] & ~0x40)));
            break;
        }
        default: break;
    }

    if (slot == 0) {
        t.protectionBase = (t.mode & kModeProtection) ? c.U32(0x3C) : 0;
        t.stopMask = c.U16(0x20);
        t.stopValues = c.U16(0x22);
        t.aqStopFlag[0] = c.U8(0x26);
        t.aqStopFlag[1] = c.U8(0x27);
        t.aqStop[0] = c.U16(0x38);
        t.aqStop[1] = c.U16(0x3A);
        for (int i = 0; i < 4; ++i) {
            t.aq4StopFlag[i] = c.U8(0x40 + static_cast<u32>(i));
            t.aq4Stop[i] = c.U16(0x44 + 2 * static_cast<u32>(i));
        }
        if (t.row == 22) Row22Setup(t, c);
        t.pulseStopSelect = c.U8(0x24);
        for (int i = 0; i < 4; ++i) t.pulseStop[i] = c.U32(0x28 + 4 * static_cast<u32>(i));
        Hsc_Configure(slot);
    }
    if (slot == 1 && (t.row == kRowAq4 || t.row == kRowAq2)) {
        int channels = t.row == kRowAq4 ? 4 : 2;
        for (int ch = 0; ch < channels; ++ch) {
            if (t.typeCodes[ch] != 9) continue;
            io_q_put(1, 4);
            const u8 cmd[3] = {static_cast<u8>(0x30 + (ch & 1)), 0x80, 0x00};
            I2C_write_io(ch < 2 ? 0x20 : 0x22, cmd, 8, 3);
        }
        for (int i = 0; i < 4; ++i) {
            t.aq4StopFlag[i] = c.U8(0x40 + static_cast<u32>(i));
            t.aq4Stop[i] = c.U16(0x44 + 2 * static_cast<u32>(i));
        }
        if (t.mode & kModeSlot1Aq) t.aqRef = c.U32(0x74);
    }
}

void ReadConfig(IoMessage* m) {
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    const SlotState& t = g.tbl[m->slot];
    for (int i = 0; i < 12; ++i) m->configWords[i] = t.storedConfig[i];
    m->length = t.filterShift;
}

// Bytes of a digital input or output message that the image can take.
u32 ImageBytes(const IoMessage* m, u32 wanted) { return std::min<u32>(wanted, m->count); }

void PutBytes(IoMessage* m, const u8* bytes, u32 n) {
    if (m->data == nullptr) return;
    std::memcpy(m->data, bytes, ImageBytes(m, n));
}

void DigitalInputs(IoMessage* m) {
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    int slot = m->slot;
    SlotState& t = g.tbl[slot];
    u8 b[4] = {};
    u8 p[2];
    switch (t.row) {
        case 0: case 1: case 2: case 3: case 4: {
            if (ReadIo2(0x40, p) != 0) return;
            b[0] = Inv(t, p[0]);
            b[1] = static_cast<u8>(Inv(t, CounterInputLevels()) & 0x0F);
            b[2] = 0;
            b[3] = (p[1] & 0x02) ? 0 : 0x80;
            if (t.row == 3) {
                u8 q[2];
                if (ReadIo2(0x44, q) != 0) return;
                q[0] = Inv(t, q[0]);
                q[1] = Inv(t, q[1]);
                b[1] = static_cast<u8>(b[1] | ((q[0] & 0x0F) << 4));
                b[2] = static_cast<u8>(((q[1] & 0x0F) << 4) | (q[0] >> 4));
            }
            PutBytes(m, b, 4);
            break;
        }
        case 7:
            if (ReadIo2(0x4C, p) != 0) return;
            b[0] = p[0] & 0x0F;
            PutBytes(m, b, 1);
            break;
        case kRowFieldBus: {
            if (!BusState(slot) || m->data == nullptr || m->count == 0) return;
            BusRead(slot, m->start, static_cast<u8*>(m->data), m->count);
            break;
        }
        case kRowMeter1: case kRowMeter2:
            if (PowerMeter_DigitalInputs(slot, b) != 0) return;
            PutBytes(m, b, 4);
            break;
        case 21:
            if (ReadIo2(0x40, p) != 0) return;
            b[0] = Inv(t, p[0]);
            b[1] = (p[1] & 0x80) ? 0 : 0x80;
            PutBytes(m, b, 2);
            break;
        case 22: {
            const u8 cmd = 0x40;
            if (I2C_write_io(0x40, &cmd, 4, 1) != 0 && I2C_write_io(0x40, &cmd, 4, 1) != 0) return;
            if (I2C_read_io(0x40, p, 4, 2) != 0 && I2C_read_io(0x40, p, 4, 2) != 0) return;
            b[0] = Inv(t, p[0]);
            b[1] = Inverted(t) ? static_cast<u8>(p[1] ^ 0x0F) : p[1];
            PutBytes(m, b, 2);
            break;
        }
        case 23:
            if (ReadIo2(0x4C, p) != 0) return;
            b[0] = static_cast<u8>(~p[0] & 3);
            PutBytes(m, b, 2);
            break;
        case 24:
            if (ReadIo2(0x4C, p) != 0) return;
            p[0] = Inv(t, p[0]);
            p[1] = Inv(t, p[1]);
            b[0] = static_cast<u8>((p[0] >> 1) | (p[1] << 7));
            b[1] = static_cast<u8>((p[1] >> 1) & 0x3F);
            PutBytes(m, b, 2);
            break;
        case 25:
            if (ReadIo2(0x4C, p) != 0) return;
            p[0] = Inv(t, p[0]);
            p[1] = Inv(t, p[1]);
            b[0] = static_cast<u8>((p[0] >> 1) | (p[1] << 7));
            PutBytes(m, b, 2);
            break;
        default: break;
    }
    Hsc_DigitalInputs(slot);
}

void DigitalOutputs(IoMessage* m) {
    if (g.pwmMode == 0) g.pwmMode = 1;
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    SlotState& t = g.tbl[m->slot];
    if (t.row == kRowAq4 || t.row == kRowAq2) return;
    u8 image[4] = {};
    if (m->data) std::memcpy(image, m->data, std::min<u32>(4, m->count));
    std::memcpy(t.outImage, image, 4);
    io_q_put(m->slot, 0);
    Hsc_DigitalOutputs(m->slot);
}

void AnalogInputs(IoMessage* m) {
    m->status = SlotCheck(m);
    if (m->status == kIoStatusOk) {
        SlotState& t = g.tbl[m->slot];
        if (t.row != kRowFieldBus) {
            input_ais(m);
        } else if (!(t.flags & kFlagCalMode) && m->data && BusState(m->slot)) {
            u32 n = (m->count & 0x7FFFu) * 2;
            if (n != 0) BusRead(m->slot, m->start, static_cast<u8*>(m->data), n);
        }
        if (!(t.flags & kFlagCalMode)) {
            Hsc_AnalogInputs(m->slot);
            t.flags &= static_cast<u16>(~kFlagConfigured);
        }
    }
    g.analogRun = 1;
}

void AnalogOutputs(IoMessage* m) {
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    SlotState& t = g.tbl[m->slot];
    if (t.flags & kFlagCalMode) return;
    if (t.row != kRowFieldBus) {
        Hsc_AnalogOutputs(m->slot);
        output_aqx(m);
    } else if (m->data && BusState(m->slot)) {
        u32 n = (m->count & 0x7FFFu) * 2;
        if (n != 0) BusWrite(m->slot, m->start, static_cast<const u8*>(m->data), n);
    }
}

void Calibrate(IoMessage* m) {
    m->status = SlotCheck(m);
    u8* buf = static_cast<u8*>(m->data);
    if (buf == nullptr) return;
    u8 sub = m->length > 0 ? buf[0] : 0xFF;
    if (sub == 0) {
        // Identify.
        if (m->status != kIoStatusOk) {
            const u8 answer[9] = {m->status, 0, 0, 0, 0x35, 0x01, 0xFF, 0x00, 0};
            std::memcpy(buf, answer, sizeof answer);
            m->length = 9;
            return;
        }
        const SlotState& t = g.tbl[m->slot];
        u16 id = IdentOfRow(t.row);
        buf[0] = 0;
        buf[1] = 0;
        PutLe16(buf + 2, t.flags);
        PutLe16(buf + 4, 0x0135);
        PutLe16(buf + 6, id);
        std::memcpy(buf + 8, IoIdent_Name(t.row), 6);
        buf[14] = 0;
        std::memcpy(buf + 20, t.typeCodes, 4);
        buf[24] = t.filterShift;
        buf[25] = static_cast<u8>(t.mode);
        m->length = 26;
        return;
    }
    Analog_Calibrate(m);
}

void Stop(IoMessage* m) {
    if (m->slot == 0 && SlotCheck(m) == kIoStatusOk) Hsc_Stop(0);
    g.hscMode = 0;
    g.pwmMode = 0;
    g.analogRun = 0;
    if (m->slot < 2 && g.tbl[m->slot].row == kRowFieldBus) {
        const u8 zero = 0;
        BusWrite(m->slot, kBusRun, &zero, 1);
        return;
    }
    m->status = SlotCheck(m);
    if (m->status != kIoStatusOk) return;
    int slot = m->slot;
    SlotState& t = g.tbl[slot];
    if (t.row == kRowGen2A || t.row == kRowGen2B) {
        if (t.gen2Present) {
            const u8 zero = 0;
            I2C_write_mem(&zero, Gen2Base(t), 1, t.gen2Type);
        }
    }
    if (slot == 0) {
        u8 lo = static_cast<u8>(t.stopMask), hi = static_cast<u8>(t.stopMask >> 8);
        t.outImage[0] = static_cast<u8>((t.outImage[0] & ~lo) | (static_cast<u8>(t.stopValues) & lo));
        t.outImage[1] = static_cast<u8>((t.outImage[1] & ~hi) | (static_cast<u8>(t.stopValues >> 8) & hi));
        io_q_put(0, 0);
        for (int i = 0; i < 4; ++i) {
            if (t.pulseStopSelect & (1u << i)) {
                t.aqImage[2 * i] = static_cast<u16>(t.pulseStop[i]);
                t.aqImage[2 * i + 1] = static_cast<u16>(t.pulseStop[i] >> 16);
            }
        }
        auto apply = [&](int word, u8 flag, u16 value) {
            if (flag == 1 && word >= 0 && word < 12) t.aqImage[word] = value;
        };
        switch (t.row) {
            case 21: case 23:
                for (int i = 0; i < 4; ++i) apply(i, t.aq4StopFlag[i], t.aq4Stop[i]);
                break;
            case 25:
                apply(0, t.aqStopFlag[0], t.aqStop[0]);
                apply(1, t.aqStopFlag[1], t.aqStop[1]);
                break;
            case 22:
                apply(8, t.aqStopFlag[0], t.aqStop[0]);
                apply(9, t.aqStopFlag[1], t.aqStop[1]);
                apply(10, t.row22StopSelect[0], t.row22Stop[0]);
                apply(11, t.row22StopSelect[1], t.row22Stop[1]);
                break;
            default:
                apply(8, t.aqStopFlag[0], t.aqStop[0]);
                apply(9, t.aqStopFlag[1], t.aqStop[1]);
                break;
        }
    }
    if (slot == 1 && (t.row == kRowAq4 || t.row == kRowAq2)) {
        int channels = t.row == kRowAq4 ? 4 : 2;
        u8* regs = (t.mode & kModeSlot1Aq) && t.aqRef ? PlcReg_Ptr(t.aqRef, 16 * static_cast<u32>(channels)) : nullptr;
        for (int ch = 0; ch < channels; ++ch) {
            if (t.aq4StopFlag[ch] != 1) continue;
            if (regs) PutLe16(regs + 2 * ch, t.aq4Stop[ch]);
            else t.aqImage[ch] = t.aq4Stop[ch];
        }
    }
    // The stop values reach the converters now: no output message follows.
    Analog_WriteOutputs(slot);
}

void Start(IoMessage* m) {
    if (m->slot >= 2 || g.tbl[m->slot].row != kRowFieldBus) return;
    int slot = m->slot;
    Config c = ConfigOf(slot);
    if (c.p == nullptr) return;
    const u8 sizes[4] = {static_cast<u8>((c.U32(8) + 7) / 8), static_cast<u8>(c.U32(24)),
                         static_cast<u8>((c.U32(16) + 7) / 8), static_cast<u8>(c.U32(32))};
    BusWrite(slot, kBusSizes, sizes, 4);
    u32 station = c.U32(0);
    if (station > 1024) {
        u16 w = 0;
        PlcReg_Get(&w, station, 16);
        station = w;
    }
    u8 st = static_cast<u8>(station);
    const u8 one = 1;
    if (st == 0xFF) {
        BusWrite(slot, kBusReconfigure, &one, 1);
    } else if (!(st & 0x80)) {
        u8 stored = 0;
        if (BusRead(slot, kBusStation, &stored, 1) == 0 && stored != st) {
            BusWrite(slot, kBusStation, &st, 1);
            BusWrite(slot, kBusReconfigure, &one, 1);
        }
    }
    u8 sw[2];
    u32 ref = c.U32(40);
    if (ref != 0 && BusRead(slot, kBusStartupStatus, sw, 2) == 0) {
        u16 w = static_cast<u16>(sw[0] | (sw[1] << 8));
        PlcReg_Set(ref, &w, 16);
    }
    BusWrite(slot, kBusRun, &one, 1);
}

}  // namespace

void io_driver(IoMessage* m) {
    if (m == nullptr) return;
    g.current = m;
    switch (m->kind) {
        case kIoMsgNone: m->status = kIoStatusOk; break;
        case kIoMsgInit: case kIoMsgInit3: Init(m); break;
        case kIoMsgQuery: Query(m); break;
        case kIoMsgConfigure: Configure(m); break;
        case kIoMsgReadConfig: ReadConfig(m); break;
        case kIoMsgService:
            m->status = SlotCheck(m);
            if (m->status == kIoStatusOk && (g.tbl[m->slot].row == kRowGen2A || g.tbl[m->slot].row == kRowGen2B))
                Gen2Service(m->slot, g.tbl[m->slot]);
            break;
        case kIoMsgCalibrate: Calibrate(m); break;
        case kIoMsgGetIs: DigitalInputs(m); break;
        case kIoMsgPutQs: DigitalOutputs(m); break;
        case kIoMsgGetAIs: AnalogInputs(m); break;
        case kIoMsgPutAQs: AnalogOutputs(m); break;
        case kIoMsgStop: Stop(m); break;
        case kIoMsgStart: Start(m); break;
        default: m->status = kIoStatusBadType; break;
    }
    g.current = nullptr;
}

int io_q_put(int slot, int control) {
    if (slot < 0 || slot > 1) return 0;
    SlotState& t = g.tbl[slot];
    const u8* b = t.outImage;
    bool ctl0 = (control & 1) != 0;
    bool mode7 = Inverted(t);
    int r = 0;
    switch (t.row) {
        case 0: case 1:
            r = WriteIo2(0x40, 0xFF, static_cast<u8>((~b[0] & 0x7F) | (control == 0 ? 0x80 : 0)));
            break;
        case 2: case 3: case 4: {
            r = WriteIo2(0x40, 0xFF, static_cast<u8>(~b[0] | 2));
            u8 q = static_cast<u8>(~b[1]);
            if (t.row == 4) q = static_cast<u8>((q & 0x7F) | (control == 0 ? 0x80 : 0));
            r |= I2C_write_io(0x42, &q, 0, 1);
            if (t.row != 4 && control != t.lastControl) {
                r |= WriteIo2(0x44, 0xFF, control ? 0x7F : 0xFF);
            }
            t.lastControl = control;
            break;
        }
        case 7:
            r = WriteIo2(0x4C, static_cast<u8>((~b[0] << 4) | 0x0F),
                         static_cast<u8>(0xFF & ~(ctl0 ? 1 : 0) & ~((control & 2) ? 2 : 0)));
            break;
        case kRowFieldBus: {
            IoMessage* m = g.current;
            if (m && m->kind == kIoMsgPutQs && m->slot == slot && BusState(slot) && m->data && m->count)
                r = BusWrite(slot, m->start, static_cast<const u8*>(m->data), m->count);
            break;
        }
        case kRowMeter1: case kRowMeter2:
            PowerMeter_DigitalOutputs(slot, b[0], control);
            break;
        case kRowAq4: case kRowAq2: {
            u8 v = static_cast<u8>((b[0] & 0x7F) | (ctl0 ? 0 : 0x80));
            if (control & 4) v &= static_cast<u8>(~4);
            if (control & 8) v |= 4;
            t.outImage[0] = v;
            r = WriteIo2(0x4E, v, 0xFF);
            break;
        }
        case 21:
            if (ctl0) {
                Pin17(false);
            } else {
                Pin17(true);
                r = WriteIo2(0x40, 0xFF, static_cast<u8>((~b[0] & 0x0F) | 0x80 | (mode7 ? 0x40 : 0)));
            }
            break;
        case 22: {
            const u8 d[3] = {0x40, b[0], b[1]};
            r = I2C_write_io(0x40, d, 8, 3);
            break;
        }
        case 23:
            if (ctl0) {
                Pin17(false);
            } else {
                Pin17(true);
                r = WriteIo2(0x4C, static_cast<u8>(~term_map[(control >> 4) & 15]), static_cast<u8>(~(b[0] & 0x0F)));
            }
            break;
        case 24:
            r = WriteIo2(0x40, static_cast<u8>(~b[0]),
                         static_cast<u8>((~b[1] & 3) | term_map[16 + ((control >> 4) & 15)] | (mode7 ? 0x40 : 0) | 4));
            break;
        case 25:
            if (ctl0) {
                Pin17(false);
            } else {
                Pin17(true);
                // Bits 0, 5 and 7 stay released; bits 1-2 set, 3-4 the
                // termination, 6 the polarity.
                u8 port1 = static_cast<u8>(0xA1 | 0x06 | term_map[16 + ((control >> 4) & 15)] | (mode7 ? 0x40 : 0));
                r = WriteIo2(0x40, static_cast<u8>(~b[0]), port1);
            }
            break;
        default: break;
    }
    return r;
}

void IoPutRESET(int slot, int asserted) {
    if (slot < 0 || slot > 1) return;
    u16 row = g.tbl[slot].row;
    if (row != 5 && row != 6) return;
    u8 device = row == 5 ? 0x72 : 0x70;
    u8 v;
    if (I2C_read_io(device, &v, 0, 1) != 0) return;
    v = asserted ? static_cast<u8>(v | 0x40) : static_cast<u8>(v & ~0x40);
    I2C_write_io(device, &v, 0, 1);
}

void io_driver_init() {}

u16 IoDriver_Row(int slot) { return slot >= 0 && slot < 2 ? g.tbl[slot].row : kNoRow; }
u16 IoDriver_Flags(int slot) { return slot >= 0 && slot < 2 ? g.tbl[slot].flags : 0; }
const u8* IoDriver_OutputImage(int slot) { return slot >= 0 && slot < 2 ? g.tbl[slot].outImage : nullptr; }
u32 IoDriver_Gen2Address(int slot, int image) { return Gen2Address(slot, image); }

void IoDriverState_Reset() {
    g = IoDriverState{};
    Hsc_Reset();
    PowerMeter_Reset();
}
