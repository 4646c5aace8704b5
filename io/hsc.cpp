#include "io/hsc.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "io/iodriver_state.h"
#include "platform/spi_imx28_drv.h"

namespace {

IoDriverState& g = ioDrv;

// Registers of the I/O logic.
constexpr u16 kRun = 3, kPolarity = 4, kClockOption = 6, kClockDivider = 7, kInputLevels = 0xCB;
constexpr u16 kChannelBase[2] = {0x40, 0x80};
constexpr u16 kCounterStride = 0x20;

// Mode word bits.
constexpr u16 kPwm[2] = {0x10, 0x20}, kStepper[2] = {0x40, 0x400}, kPulse3[2] = {0x100, 0x200};

// Configuration references (offsets of the slot's configuration).
enum Ref { kRefStatus, kRefOutputs, kRefReadings, kRefParams, kRefPulseParams, kRefPulseStatus };

struct ChannelShadow {
    u32 accSteps = 0, runSteps = 0, decSteps = 0;
    u32 accCorr = 0, decCorr = 0, accPre = 0, decPre = 0, startPre = 0, runPre = 0;
    bool written[9] = {};
    int level = -1;
};

struct State {
    u32 preload_value[4] = {}, match1_value[4] = {}, match2_value[4] = {};
    ChannelShadow channel[2];
};
State h;

void Put(u16 reg, u32 value, int bytes) { spi_data_RD_nWR(value, reg, bytes, 0); }
u32 Get(u16 reg, int bytes) { return spi_data_RD_nWR(0, reg, bytes, 1); }

bool HasCounters(const SlotState& t) { return t.row < kIoIdentRows && (io_ident[t.row].flags & 2); }
bool HasPulses(const SlotState& t) { return t.row < kIoIdentRows && (io_ident[t.row].flags & 1); }
bool CounterOn(const SlotState& t, int k) { return (t.mode >> k) & 1; }

bool IsIec(u32 ref) { return (ref & 0xC0000000u) == 0xC0000000u; }

// The register block (or IEC variable) of a reference, whole or not at all.
u8* Block(u32 ref, u32 bits) { return ref != 0 ? PlcReg_Ptr(ref, bits) : nullptr; }

u32 Le32Words(const u8* p) { return static_cast<u32>(GetLe16(p)) | (static_cast<u32>(GetLe16(p + 2)) << 16); }

// Writes a value when it differs from the shadow.
void PutChanged(u32* shadow, bool* written, u16 reg, u32 value, int bytes) {
    if (*written && *shadow == value) return;
    Put(reg, value, bytes);
    *shadow = value;
    *written = true;
}

// Ramp of a stepper: prescale and correction of steps n over period
// difference d.
void Ramp(u32 n, u32 d, u32* prescale, u32* correction) {
    if (n == 0) {
        *prescale = 0;
        *correction = 0;
    } else if (n > d) {
        *prescale = n / d - 1;
        *correction = n % d == 0 ? 0x7FFF : (n / (n % d) - 1) & 0x7FFF;
    } else {
        *prescale = d / n - 1;
        *correction = d % n == 0 ? 0xFFFF : ((n / (d % n)) - 1) | 0x8000;
    }
}

void PulseChannel(const SlotState& t, int ch, const u32 p[5]) {
    ChannelShadow& s = h.channel[ch];
    u16 base = kChannelBase[ch];
    if (t.mode & kPwm[ch]) {
        u32 period = p[1] ? 10000000u / p[1] : 0;
        u32 duty = p[0] ? static_cast<u32>(static_cast<u64>(period) * p[0] / 32000) : 0;
        PutChanged(&s.startPre, &s.written[7], base + 0x04, duty ? duty - 1 : 0, 3);
        PutChanged(&s.runPre, &s.written[8], base + 0x08, period ? period - 1 : 0, 3);
        return;
    }
    if (!(t.mode & kStepper[ch])) return;
    u32 r = p[1] ? 10000000u / p[1] : 0, st = p[0] ? 10000000u / p[0] : 0;
    u32 accPre = 0, accCorr = 0, decPre = 0, decCorr = 0;
    if (st > r) {
        Ramp(p[2], st - r, &accPre, &accCorr);
        Ramp(p[4], st - r, &decPre, &decCorr);
    }
    PutChanged(&s.accSteps, &s.written[0], base + 0x0C, p[2], 4);
    PutChanged(&s.runSteps, &s.written[1], base + 0x10, p[3], 4);
    PutChanged(&s.decSteps, &s.written[2], base + 0x14, p[4], 4);
    PutChanged(&s.accCorr, &s.written[3], base + 0x18, accCorr, 2);
    PutChanged(&s.decCorr, &s.written[4], base + 0x1A, decCorr, 2);
    PutChanged(&s.accPre, &s.written[5], base + 0x1C, accPre, 4);
    PutChanged(&s.decPre, &s.written[6], base + 0x20, decPre, 4);
    PutChanged(&s.startPre, &s.written[7], base + 0x04, st ? st - 1 : 0, 3);
    PutChanged(&s.runPre, &s.written[8], base + 0x08, r ? r - 1 : 0, 3);
}

// Bits into a status register, or one BOOL byte per bit into IEC variables.
void PutBits(u32 ref, u32 firstBit, u32 count, u32 bits) {
    if (IsIec(ref)) {
        u8* p = Block(ref + firstBit, 8 * count);
        if (!p) return;
        u8 packed[1] = {static_cast<u8>(bits)};
        Quillet_Bit_To_Byte(packed, p, count);
        return;
    }
    u8* p = Block(ref, 16);
    if (!p) return;
    u16 w = GetLe16(p);
    u16 mask = static_cast<u16>(((1u << count) - 1) << firstBit);
    w = static_cast<u16>((w & ~mask) | ((bits << firstBit) & mask));
    PutLe16(p, w);
}

}  // namespace

u8 io_get_hscbits() { return static_cast<u8>(Get(kInputLevels, 1) & 0x0F); }

void reset_pwm_settings() {
    std::memset(h.preload_value, 0, sizeof h.preload_value);
    std::memset(h.match1_value, 0, sizeof h.match1_value);
    std::memset(h.match2_value, 0, sizeof h.match2_value);
}

void Hsc_Configure(int slot) {
    if (slot != 0) return;
    const SlotState& t = g.tbl[0];
    Put(kClockOption, t.clockOption, 1);
    Put(kClockDivider, t.clockDivider, 2);
    for (u16 r = 0x40; r < 0x64; r += 4) Put(r, 0, 4);
    for (u16 r = 0x80; r < 0xA4; r += 4) Put(r, 0, 4);
    for (u16 r = 0xC0; r < 0xD8; r += 4) Put(r, 0, 4);
    for (u16 r = 0xE0; r < 0xF8; r += 4) Put(r, 0, 4);
    for (int k = 0; k < 4; ++k) {
        if (!CounterOn(t, k)) continue;
        u16 base = static_cast<u16>(0xC0 + kCounterStride * k);
        Put(base + 2, t.counter[k][0] | 0xFF, 4);
        Put(base + 6, t.counter[k][1], 4);
    }
    for (int ch = 0; ch < 2; ++ch) {
        u16 reg = kChannelBase[ch] + 1;
        if (t.mode & kPwm[ch]) Put(reg, 0x11, 1);
        else if (t.mode & kStepper[ch]) Put(reg, 0x12, 1);
        else if (t.mode & kPulse3[ch]) Put(reg, 3, 1);
    }
    Put(kPolarity, (t.mode & kModeInverted) ? 0 : 1, 1);
    h = State{};
}

void Hsc_AnalogInputs(int slot) {
    const SlotState& t = g.tbl[slot];
    if (slot != 0 || !HasCounters(t)) return;
    if (g.hscMode == 0) {
        Put(kRun, 1, 1);
        for (int k = 0; k < 4; ++k)
            if (CounterOn(t, k)) Put(static_cast<u16>(0xC2 + kCounterStride * k), t.counter[k][0] & 0xFF, 1);
        g.hscMode = 1;
    }
    u8* p = Block(t.refs[kRefReadings], 16 * 16);
    if (!p) return;
    for (int k = 0; k < 4; ++k) {
        if (!CounterOn(t, k)) continue;
        u16 base = static_cast<u16>(0xC0 + kCounterStride * k);
        for (int i = 0; i < 2; ++i) {
            u32 v = Get(static_cast<u16>(base + 0x18 + 4 * i), 4);
            PutLe16(p + 8 * k + 4 * i, static_cast<u16>(v));
            PutLe16(p + 8 * k + 4 * i + 2, static_cast<u16>(v >> 16));
        }
    }
}

void Hsc_AnalogOutputs(int slot) {
    const SlotState& t = g.tbl[slot];
    if (slot != 0) return;
    if (HasPulses(t) && (t.mode & (kPwm[0] | kPwm[1] | kStepper[0] | kStepper[1]))) {
        if (const u8* p = Block(t.refs[kRefPulseParams], 20 * 16)) {
            for (int ch = 0; ch < 2; ++ch) {
                u32 v[5];
                for (int i = 0; i < 5; ++i) v[i] = Le32Words(p + 20 * ch + 4 * i);
                for (int i = 0; i < 2; ++i) {
                    int sel = 2 * ch + i;
                    if (g.pwmMode == 0 && (t.pulseStopSelect & (1u << sel))) v[i] = t.pulseStop[sel];
                }
                PulseChannel(t, ch, v);
            }
        }
    }
    if (!HasCounters(t)) return;
    const u8* p = Block(t.refs[kRefParams], 24 * 16);
    if (!p) return;
    for (int k = 0; k < 4; ++k) {
        if (!CounterOn(t, k)) continue;
        u16 base = static_cast<u16>(0xC0 + kCounterStride * k);
        u32* shadow[3] = {&h.preload_value[k], &h.match1_value[k], &h.match2_value[k]};
        for (int i = 0; i < 3; ++i) {
            u32 v = Le32Words(p + 12 * k + 4 * i);
            if (v == *shadow[i]) continue;
            Put(static_cast<u16>(base + 0x0C + 4 * i), v, 4);
            *shadow[i] = v;
        }
    }
}

void Hsc_DigitalInputs(int slot) {
    const SlotState& t = g.tbl[slot];
    if (slot != 0) return;
    if (HasCounters(t) && t.refs[kRefStatus] != 0) {
        for (int k = 0; k < 4; ++k) {
            if (!CounterOn(t, k)) continue;
            u32 st = Get(static_cast<u16>(0xCA + kCounterStride * k), 1) & 0x0F;
            PutBits(t.refs[kRefStatus], 4 * static_cast<u32>(k), 4, st);
        }
    }
    if (HasPulses(t) && t.refs[kRefPulseStatus] != 0) {
        for (int ch = 0; ch < 2; ++ch) {
            if (!(t.mode & kStepper[ch])) continue;
            u32 st = Get(static_cast<u16>(kChannelBase[ch] + 2), 1) & 3;
            PutBits(t.refs[kRefPulseStatus], 2 * static_cast<u32>(ch), 2, st);
        }
    }
}

void Hsc_DigitalOutputs(int slot) {
    const SlotState& t = g.tbl[slot];
    if (slot != 0) return;
    if (t.row <= 4 || t.row == 22) {
        bool low = t.row <= 1;
        Config c = ConfigOf(0);
        u16 enable = low ? c.U16(0x28) : c.U16(0x20);
        for (int ch = 0; ch < 2; ++ch) {
            u8 byte = low ? t.outImage[3] : t.outImage[0];
            int bit = low ? 5 + ch : ch;
            bool drive = (!(t.mode & kPwm[ch]) && !(t.mode & kPulse3[ch])) ||
                         ((t.mode & kPulse3[ch]) && ((enable >> bit) & 1));
            if (!drive) continue;
            int level = (byte >> bit) & 1;
            if (h.channel[ch].level == level) continue;
            Put(kChannelBase[ch], static_cast<u32>(level), 1);
            h.channel[ch].level = level;
        }
    }
    if (!HasCounters(t) || t.refs[kRefOutputs] == 0) return;
    u32 ref = t.refs[kRefOutputs];
    for (int k = 0; k < 4; ++k) {
        if (CounterOn(t, k)) continue;
        u16 w = 0;
        if (IsIec(ref)) {
            // Sixteen BOOL bytes per counter.
            const u8* p = Block(ref + 16 * static_cast<u32>(k), 16 * 8);
            if (!p) continue;
            u8 packed[2];
            Quillet_Byte_To_Bit(p, packed, 16);
            w = static_cast<u16>(packed[0] | (packed[1] << 8));
        } else {
            const u8* p = Block(ref + 16 * static_cast<u32>(k), 16);
            if (!p) continue;
            w = GetLe16(p);
        }
        Put(static_cast<u16>(0xC0 + kCounterStride * k), w, 2);
    }
}

void Hsc_Stop(int slot) {
    const SlotState& t = g.tbl[slot];
    if (slot != 0) return;
    Put(kRun, 0, 1);
    g.hscMode = 0;
    for (int k = 0; k < 4; ++k) {
        if (k < 2 || CounterOn(t, k)) Put(static_cast<u16>(0xC2 + kCounterStride * k), 0, 1);
    }
    reset_pwm_settings();
    for (int ch = 0; ch < 2; ++ch) {
        if (!(t.mode & kStepper[ch])) continue;
        Put(kChannelBase[ch], 0, 1);
        h.channel[ch].level = 0;
    }
    g.pwmMode = 0;
}

void Hsc_Reset() { h = State{}; }
