#include "io/analog.h"

#include <algorithm>
#include <cstring>

#include "core/plc_regs.h"
#include "io/analog_tables.h"
#include "io/i2c_io.h"
#include "io/iodriver.h"
#include "io/iodriver_state.h"
#include "io/powermeter.h"
#include "platform/fpga.h"
#include "platform/lradc.h"
#include "platform/ssp2_xch.h"

namespace {

IoDriverState& g = ioDrv;

// Converter settings by input type code: settling time in 100-us ticks,
// shift, clip limit, converter setting.
struct Ad5t {
    i32 settle, shift, clip, setting;
};
Ad5t Ad5tOf(u8 code) {
    if (code <= 2 || code == 8) return {200, 3, 0x0FFFFFFF, 4};
    if (code == 16) return {800, 1, 0x3FFFFFFF, 12};
    if (code >= 24 && code <= 31) {
        static const i32 shift[8] = {15, 15, 15, 14, 15, 14, 14, 14};
        return {800, shift[code - 24], 0x3FFFFFFF, code == 28 ? 12 : 13};
    }
    // Codes the module does not know are served as voltage inputs.
    return {200, 3, 0x0FFFFFFF, 4};
}
// Row-4 type codes outside the known ones are treated as code 0.
u8 Row4Code(u8 code) {
    return (code <= 2 || code == 8 || code == 16 || (code >= 24 && code <= 31)) ? code : 0;
}

// Cold-junction coefficients in the order J, K, N, T, E, R, S, B.
const i32 cjy[8] = {42352, 33204, 21696, 64822, 24611, 8921, 9100, 0};
const i32 cjysq[8] = {8143, 11383, 10518, 2366, 8646, 8038, 8906, 28093};

const u16 DACSDEF[3] = {32752, 32752, 31868};
constexpr u16 kSignature = 0xF19E;
constexpr u32 kImageBytes = 66;
constexpr u8 kConfigBank = 12;

u16 EeAddr(u16 row) {
    switch (row) {
        case 0: return 0x6100;
        case 1: return 0x6500;
        case 2: return 0x6600;
        case 3: return 0x6400;
        case 4: return 0x6700;
        case 5: case 6: case 8: case 9: case 10: case 11: case 18: case 19: return 0x6200;
        case 7: case 16: case 17: return 0x6300;
        case 21: case 23: case 25: return 0x6000;
        default: return 0;
    }
}

u32 EeAddress(u16 row, u8 bank) { return static_cast<u32>(EeAddr(row) ^ (static_cast<u32>(bank) << 7)); }

bool IsMeter(u16 row) { return row == kRowMeter1 || row == kRowMeter2; }

// Channels converted and words written per row.
struct RowShape {
    int words, channels;
};
RowShape ShapeOf(u16 row) {
    switch (row) {
        case 0: return {4, 1};
        case 1: case 25: return {4, 4};
        case 2: case 3: case 4: return {4, 2};
        case 7: return {5, 5};
        case 21: return {8, 8};
        case 22: return {6, 6};
        case 23: return {1, 1};
        default: return {0, 0};
    }
}

i32 Sat(i64 v, i64 lo, i64 hi) { return static_cast<i32>(std::clamp(v, lo, hi)); }

// 4-20 mA: 0..32000 for 4..20 mA (and below 0 for less than 4 mA).
i32 Rescale420(i32 v) {
    v = std::clamp(v, 0, 32000);
    return (5 * v - 32000) / 4;
}

// ---------------------------------------------------------------------------
// Acquisition.

u16 AdcConvert() {
    u16 r = 0;
    Lradc_Convert(&r);
    return r;
}

// One multiplexed conversion with the correction for the charge the
// previous channel left behind.
u32 AdcChannel(int ch, int channels) {
    if (ch == 0) {
        g.adcPrevious = AdcConvert();
        Lradc_SelectMux(0);
    }
    u16 r = AdcConvert();
    if (r < g.adcPrevious) {
        u16 drop = static_cast<u16>((g.adcPrevious - r) / 264);
        r = r > drop ? static_cast<u16>(r - drop) : 0;
    }
    g.adcPrevious = r;
    if (ch + 1 < channels) Lradc_SelectMux(ch + 1);
    return static_cast<u32>(r) << 4;
}

// Row 25: four conversions at multiplexer codes 7, 5, 3, 1 at channel 0.
void Row25Sample(u32 s[4]) {
    static const int codes[4] = {7, 5, 3, 1};
    for (int i = 0; i < 4; ++i) {
        Lradc_SelectMux(codes[i]);
        s[i] = static_cast<u32>(AdcConvert()) << 4;
    }
}

i32 Row25Channel(const SlotState& t, int ch, const u32 s[4]) {
    bool typed = t.typeCodes[ch] != 0;
    i32 d = typed ? 130 : 200;
    i32 v;
    if (ch < 3) {
        v = static_cast<i32>(s[ch]) - static_cast<i32>(s[3]) / d;
    } else {
        v = typed ? static_cast<i32>(s[3]) - static_cast<i32>(s[0] + s[1] + s[2]) / d : static_cast<i32>(s[3]);
    }
    return v < 1 ? 0 : v;
}

// Row 4's external converter, one reading per channel across calls.
constexpr u8 kConverter = 0x9C;

void ConverterStart(const SlotState& t, int ch) {
    Ad5t a = Ad5tOf(Row4Code(t.typeCodes[ch]));
    const u8 cfg = static_cast<u8>((a.setting & 0x0F) | (ch == 0 ? 0x90 : 0xB0));
    I2C_write_io(kConverter, &cfg, 2, 1);
    g.converter.deadline = FPGA_GetFrt() + static_cast<u32>(a.settle);
    g.converter.state = static_cast<u8>(ch == 0 ? 1 : 2);
}

// True with a new reading of channel ch.
bool ConverterStep(const SlotState& t, int ch, i32* value) {
    ConverterState& c = g.converter;
    if (ch == 0 && c.state == 0) {
        ConverterStart(t, 0);
        return false;
    }
    if (c.state != ch + 1) return false;
    u8 b[3] = {};
    if (I2C_read_io(kConverter, b, 2, 3) == 0 && !(b[2] & 0x80)) {
        // The read swapped the first two bytes into memory order.
        *value = static_cast<i16>(b[0] | (b[1] << 8));
        ConverterStart(t, ch == 0 ? 1 : 0);
        return true;
    }
    if (static_cast<i32>(FPGA_GetFrt() - c.deadline) >= 0) c.state = 0;
    return false;
}

// Cold-junction sensor of row 4.
void ColdJunction(int slot, SlotState& t) {
    if (g.cjSensor == 0) {
        i16 r;
        if (I2C_read_LM92(0x96, &r) == 0) g.cjSensor = 0x96;
        else if (I2C_read_LM92(0x9E, &r) == 0) g.cjSensor = 0x9E;
        else return;
    }
    u32 now = FPGA_GetFrt();
    if (g.cjRead && now - g.cjLastRead < 15000) return;
    i16 r;
    if (I2C_read_LM92(g.cjSensor, &r) != 0) return;
    g.cjRead = true;
    g.cjLastRead = now;
    t.cjWord = static_cast<u16>((r * 5) >> 1);
    cj_comp(slot, static_cast<i16>(t.cjWord));
}

// ---------------------------------------------------------------------------
// Filter and scaling.

i32 Filter(SlotState& t, int ch, i32 raw) {
    int n = std::min<int>(t.filterShift, 16);
    bool restart = (t.filterRestart >> ch) & 1;
    t.filterRestart = static_cast<u8>(t.filterRestart & ~(1u << ch));
    if (n == 0) {
        t.filterLast[ch] = raw;
        return raw;
    }
    if (restart) {
        t.filterAcc[ch] = static_cast<i64>(raw) << n;
        t.filterLast[ch] = raw;
        return raw;
    }
    t.filterAcc[ch] = t.filterAcc[ch] - t.filterLast[ch] + raw;
    t.filterLast[ch] = static_cast<i32>(t.filterAcc[ch] >> n);
    return t.filterLast[ch];
}

i64 Product(const SlotState& t, int idx, i32 v) {
    return (static_cast<i64>(t.offset[idx]) + v) * static_cast<i64>(t.gain[idx]);
}

i32 ScaleRow4(SlotState& t, int ch, i32 v) {
    u8 code = Row4Code(t.typeCodes[ch]);
    Ad5t a = Ad5tOf(code);
    int base = 8 * ch;
    if (code <= 2) {
        i64 p = Product(t, base + (code == 0 ? 0 : 1), v);
        i32 r = p < 0 ? 0 : p > a.clip ? a.clip >> (16 - a.shift) : static_cast<i32>(p >> (16 - a.shift));
        return code == 2 ? Rescale420(r) : r;
    }
    if (code == 8) {
        // Bipolar: 8p must stay a signed 32-bit value.
        i64 p = std::clamp<i64>(Product(t, base + 2, v), -(i64{1} << 28), (i64{1} << 28) - 1);
        return static_cast<i16>(static_cast<u32>(8 * p) >> 16);
    }
    if (code == 16) {
        i64 p = std::clamp<i64>(Product(t, base + 3, v), 0, 0x3FFFFFFF);
        return rtd_table(static_cast<u32>(p >> 16));
    }
    i64 x = (Product(t, base + 4, v) >> a.shift) + 0x8000 + t.cjTerm[code - 24];
    return tc_table(static_cast<u32>(std::clamp<i64>(x, 0, 0xFFFF)), tctbl[code - 24]);
}

i32 Scale(SlotState& t, int ch, i32 v) {
    switch (t.row) {
        case 0: case 1: case 2: case 3: case 7: {
            int idx = t.row == 7 ? ch : 2 * ch + (t.typeCodes[ch] != 0 ? 1 : 0);
            i64 p = Product(t, idx, v);
            i32 r = p < 0 ? 0 : p >= (i64{1} << 29) ? 32767 : static_cast<i32>(p >> 14);
            return t.row != 7 && t.typeCodes[ch] == 2 ? Rescale420(r) : r;
        }
        case 21: case 23: {
            i64 p = Product(t, ch, v);
            return p < 0 ? 0 : Sat(p >> 16, 0, 32767);
        }
        case 25: {
            u8 code = t.typeCodes[ch];
            i64 p = Product(t, 2 * ch + (code != 0 ? 1 : 0), v);
            i32 r = p < 0 ? 0 : p >= (i64{1} << 31) ? 32767 : static_cast<i32>(p >> 16);
            if (code == 2) r = Rescale420(r);
            if (g.calNormalMode == 1 && code != 0) r = r * 32000 / (ch < 3 ? 32220 : 32550);
            return r;
        }
        case 4: return ScaleRow4(t, ch, v);
        default: return v;  // row 22: the module's own values
    }
}

// ---------------------------------------------------------------------------
// Row 22: the module's controller.

constexpr u8 kMcu = 0x40;

bool McuWord(u8 command, u16* value) {
    u8 b[2] = {};
    if (I2C_write_io(kMcu, &command, 4, 1) != 0 || I2C_read_io(kMcu, b, 4, 2) != 0) return false;
    *value = static_cast<u16>(b[0] | (b[1] << 8));
    return true;
}

u16 Row22Setting(int slot, const SlotState& t, int ch) {
    return ch < 4 ? ConfigOf(slot).U16(2 * static_cast<u32>(ch)) : t.row22Channel[ch - 4];
}

void Row22Diagnostics(const SlotState& t) {
    static const u8 cmds[7] = {0x13, 0x14, 0x15, 0x17, 0x18, 0x19, 0x1A};
    bool iec = (t.row22Diag & 0xC0000000u) == 0xC0000000u;
    u32 step = iec ? 1 : 16;
    u16 mask = 0;
    if (!PlcReg_Get(&mask, t.row22Diag, 16)) return;
    for (int i = 0; i < 7; ++i) {
        u16 v;
        if ((mask & (1u << i)) && McuWord(cmds[i], &v)) PlcReg_Set(t.row22Diag + step * static_cast<u32>(3 + i), &v, 16);
    }
}

// ---------------------------------------------------------------------------
// Outputs.

u16 Clip12(i64 v) { return static_cast<u16>(std::clamp<i64>(v, 0, 4095)); }

i64 Aq(const SlotState& t, int idx, i64 w, int shift) {
    return t.offset[idx] + ((w * t.gain[idx]) >> shift);
}

// Outputs with a voltage (code 0) and a current range (codes 1 and 2, code
// 2 being 4-20 mA), each with its own calibration slot; other codes put the
// word out as it stands.
u16 RangeCode(const SlotState& t, u8 code, int voltageIdx, int currentIdx, u16 w) {
    i64 v = w;
    if (code == 2) v = v * 4 / 5 + 6400;
    if (code == 0) return Clip12(Aq(t, voltageIdx, v, 18));
    if (code == 1 || code == 2) return Clip12(Aq(t, currentIdx, v, 18));
    return Clip12(v);
}

u16 Row4Code(const SlotState& t, int ch, u16 w) {
    return RangeCode(t, t.typeCodes[2 + ch], 8 * ch + 5, 8 * ch + 6, w);
}

// The converters of rows 21, 23 and 25 take 16-bit frames on shift chain 1:
// the code, bit 12 set, the channel from bit 14 (row 25: bit 15 selects the
// voltage range). The frame is sent with its complement as the bits to
// clear, so the chain's shadow holds exactly the frame.
void WriteChainDac(u16 frame) { Ssp2_Xch(frame, static_cast<u16>(~frame), 1); }

u16 ChainFrame(int ch, u16 code) { return static_cast<u16>(code | 0x1000 | (ch << 14)); }

u16 DacCode(const SlotState& t, int ch, u16 w) {
    u8 code = t.typeCodes[ch];
    int base = 3 * ch;
    i64 v = w;
    if (code == 0) return Clip12(Aq(t, base, v, 18));
    if (code == 1 || code == 2) {
        if (code == 2) v = v * 4 / 5 + 6400;
        return Clip12(Aq(t, base + 2, v, 18));
    }
    if (code == 9) return Clip12(((static_cast<i64>(static_cast<i16>(w)) * t.gain[base + 1]) >> 19) + 0x800 + t.offset[base + 1]);
    return Clip12(v);
}

void WriteDac(u8 device, int ch, u16 code) {
    const u8 b[3] = {static_cast<u8>(0x30 + (ch & 1)), static_cast<u8>((code << 4) >> 8), static_cast<u8>(code << 4)};
    I2C_write_io(device, b, 8, 3);
}

// The words of the slot-1 output modules: the output image, or the register
// block named by the configuration.
void Slot1Words(const SlotState& t, int channels, u16* w) {
    u8* regs = (t.mode & kModeSlot1Aq) && t.aqRef ? PlcReg_Ptr(t.aqRef, 16 * static_cast<u32>(channels)) : nullptr;
    for (int ch = 0; ch < channels; ++ch) w[ch] = regs ? GetLe16(regs + 2 * ch) : t.aqImage[ch];
}

// ---------------------------------------------------------------------------
// Calibration EEPROM.

// Writes bytes with the module's write line enabled around it.
int EepromWrite(int slot, u32 address, const u8* data, u32 n) {
    io_q_put(slot, 1);
    int r = I2C_write_mem(data, address, n, 0);
    io_q_put(slot, 0);
    return r;
}

void Defaults(SlotState& t) {
    std::memset(t.gain, 0, sizeof t.gain);
    std::memset(t.offset, 0, sizeof t.offset);
    switch (t.row) {
        case 0: case 1: case 2: case 3:
            for (int i = 0; i < 8; ++i) t.gain[i] = (i & 1) ? 13213 : 8771;
            break;
        case 4: {
            static const u16 row4[7] = {39226, 32783, 39260, 30695, 31426, 32801, 32586};
            for (int ch = 0; ch < 2; ++ch)
                for (int k = 0; k < 7; ++k) t.gain[8 * ch + k] = row4[k];
            break;
        }
        case 7:
            for (int i = 0; i < 5; ++i) t.gain[i] = 8771;
            break;
        case 21: case 23:
            for (int i = 0; i < 12; ++i) t.gain[i] = 32767;
            break;
        case 25:
            for (int i = 0; i < 8; ++i) t.gain[i] = (i & 1) ? 33700 : 32900;
            t.gain[7] = 34000;
            for (int i = 8; i < 12; ++i) t.gain[i] = 32767;
            break;
        case kRowAq4: case kRowAq2:
            for (int ch = 0; ch < 4; ++ch)
                for (int k = 0; k < 3; ++k) t.gain[3 * ch + k] = DACSDEF[k];
            break;
        default: break;
    }
}

bool HasConstants(u16 row) {
    return row <= 4 || row == 7 || IsMeter(row) || row == 21 || row == 23 || row == 25 || row == kRowAq4 ||
           row == kRowAq2;
}

// Metering device: the gains and offsets of its measurement channels.
void MeterConstant(const SlotState& t, int k) {
    u8 device = t.row == kRowMeter1 ? 0x50 : 0x52;
    if (k < 15) {
        const u8 b[4] = {0x01, static_cast<u8>(0xA4 + k), static_cast<u8>(t.gain[k] >> 8), static_cast<u8>(t.gain[k])};
        I2C_write_io(device, b, 4, 4);
    }
    if (k < 12) {
        u16 o = static_cast<u16>(t.offset[k]);
        const u8 b[4] = {0x01, static_cast<u8>(0xB3 + k), static_cast<u8>(o >> 8), static_cast<u8>(o)};
        I2C_write_io(device, b, 4, 4);
    }
}

// ---------------------------------------------------------------------------
// The conversion of one slot into words (the message's image or the scratch
// image of a calibration read).

void Convert(int slot, u8* out, u32 words) {
    SlotState& t = g.tbl[slot];
    RowShape shape = ShapeOf(t.row);
    // A channel restarts its filter with its first reading after a
    // configuration (row 4 may take a few calls to bring one).
    if (t.flags & kFlagConfigured) t.filterRestart = 0xFF;
    auto put = [&](u32 word, i32 v) {
        if (out && word < words) PutLe16(out + 2 * word, static_cast<u16>(v));
    };
    u32 s25[4] = {};
    i16 scaled[kIoAnalogChannels] = {};
    for (int ch = 0; ch < shape.channels; ++ch) {
        i32 raw = 0;
        bool fresh = true;
        switch (t.row) {
            case 0: case 1: case 2: case 3: case 21:
                raw = static_cast<i32>(AdcChannel(ch, shape.channels));
                break;
            case 7:
                if (ch == 4) io_q_put(slot, 2);
                raw = static_cast<i32>(AdcChannel(ch, shape.channels));
                if (ch == 4) io_q_put(slot, 0);
                break;
            case 23: raw = static_cast<i32>(static_cast<u32>(AdcConvert()) << 4); break;
            case 25:
                if (ch == 0) Row25Sample(s25);
                raw = Row25Channel(t, ch, s25);
                break;
            case 4: fresh = ConverterStep(t, ch, &raw); break;
            case 22: {
                if (Row22Setting(slot, t, ch) == 10) continue;
                u16 v = 0;
                if (!McuWord(static_cast<u8>(0x20 + ch), &v)) continue;
                raw = v;
                if (ch == 5 && t.row22Diag != 0) Row22Diagnostics(t);
                break;
            }
            default: break;
        }
        i32 v = fresh ? Filter(t, ch, raw) : t.filterLast[ch];
        i32 value = Scale(t, ch, v);
        scaled[ch] = static_cast<i16>(value);
        if (t.row == 22) {
            if (ch < 4) put(static_cast<u32>(ch), value);
            put(32 + static_cast<u32>(ch), value);
        } else {
            put(static_cast<u32>(ch), value);
        }
    }
    if (t.row != 22) {
        for (int w = shape.channels; w < shape.words; ++w) put(static_cast<u32>(w), 0);
    }
    if (t.row == 4) {
        if (Row4Code(t.typeCodes[0]) >= 24 || Row4Code(t.typeCodes[1]) >= 24) {
            ColdJunction(slot, t);
            put(2, t.cjWord);
        } else {
            put(2, 0);
        }
    }
    if (t.row == 7 && t.protectionBase != 0) Protection_Run(t.protectionBase, scaled, g.analogRun != 0);
    t.flags &= static_cast<u16>(~kFlagConfigured);
}

}  // namespace

// ---------------------------------------------------------------------------

int tc_table(u32 r, const u16* table) {
    r = std::min<u32>(r, 0xFFFF);
    u32 i = r / 128;
    i32 a = table[i], b = table[i + 1];
    return a + ((static_cast<i32>(r & 127) * (b - a) + 64) >> 7) - 5600;
}

int rtd_table(u32 r) {
    r = std::min<u32>(r, 0x3FFF);
    u32 i = r >> 6;
    i32 a = pt100e_tab[i], b = pt100e_tab[i + 1];
    return a + ((static_cast<i32>(r & 63) * (b - a) + 32) >> 6) - 5600;
}

void cj_comp(int slot, i32 t) {
    if (slot < 0 || slot > 1) return;
    SlotState& s = g.tbl[slot];
    for (int i = 0; i < 8; ++i) {
        s.cjTerm[i] = cjy[i] != 0 ? ((t * cjy[i]) >> 16) + ((t * t) >> 4) / cjysq[i] : ((t * t) >> 6) / cjysq[i];
    }
}

void input_ais(IoMessage* m) {
    SlotState& t = g.tbl[m->slot];
    if (t.flags & kFlagCalMode) return;
    if (IsMeter(t.row)) {
        input_acm(m);
        return;
    }
    Convert(m->slot, static_cast<u8*>(m->data), m->data ? m->count : 0);
}

void Analog_WriteOutputs(int slot) {
    if (slot < 0 || slot > 1) return;
    SlotState& t = g.tbl[slot];
    switch (t.row) {
        case 4:
            for (int ch = 0; ch < 2; ++ch) {
                u16 code = Row4Code(t, ch, t.aqImage[8 + ch]);
                const u8 b[2] = {static_cast<u8>(code >> 8), static_cast<u8>(code)};
                I2C_write_io(ch == 0 ? 0x98 : 0x9A, b, 4, 2);
            }
            break;
        case 21: case 23:
            for (int ch = 0; ch < 4; ++ch) WriteChainDac(ChainFrame(ch, Clip12(Aq(t, 8 + ch, t.aqImage[ch], 18))));
            break;
        case 25:
            // Output codes from configuration words 0x78 and 0x7A.
            for (int ch = 0; ch < 2; ++ch) {
                u8 code = t.typeCodes[4 + ch];
                u16 frame = ChainFrame(ch, RangeCode(t, code, 8 + 2 * ch, 9 + 2 * ch, t.aqImage[ch]));
                WriteChainDac(code == 0 ? static_cast<u16>(frame + 0x8000) : frame);
            }
            break;
        case 22:
            for (int ch = 0; ch < 4; ++ch) {
                if (t.row22Output[ch] == 10) continue;
                u16 w = t.aqImage[8 + ch];
                const u8 b[3] = {static_cast<u8>(0x30 + ch), static_cast<u8>(w), static_cast<u8>(w >> 8)};
                I2C_write_io(kMcu, b, 4, 3);
            }
            break;
        case kRowAq4: case kRowAq2: {
            if (slot != 1) break;
            int channels = t.row == kRowAq4 ? 4 : 2;
            u16 w[4];
            Slot1Words(t, channels, w);
            for (int ch = 0; ch < channels; ++ch) WriteDac(ch < 2 ? 0x20 : 0x22, ch, DacCode(t, ch, w[ch]));
            break;
        }
        default: break;
    }
}

void output_aqx(IoMessage* m) {
    SlotState& t = g.tbl[m->slot];
    if (t.flags & kFlagCalMode) return;
    if (IsMeter(t.row)) {
        PowerMeter_Outputs(m->slot, static_cast<const u8*>(m->data), m->data ? 2u * m->count : 0);
        return;
    }
    if (m->data) {
        u32 n = std::min<u32>(m->count, 12);
        const u8* p = static_cast<const u8*>(m->data);
        for (u32 i = 0; i < n; ++i) t.aqImage[i] = GetLe16(p + 2 * i);
    }
    Analog_WriteOutputs(m->slot);
}

void io_get_cal_const(int slot) {
    if (slot < 0 || slot > 1) return;
    SlotState& t = g.tbl[slot];
    if (!HasConstants(t.row)) return;
    // Every row reads the image from its own address word, so what a
    // calibration stored is what the next start loads.
    u8 image[kImageBytes] = {};
    bool valid = I2C_read_mem(image, EeAddress(t.row, kConfigBank), kImageBytes, 0) == 0 &&
                 GetLe16(image + 64) == kSignature;
    if (valid) {
        for (int i = 0; i < 16; ++i) {
            t.gain[i] = GetLe16(image + 2 * i);
            t.offset[i] = static_cast<i16>(GetLe16(image + 32 + 2 * i));
        }
        t.flags |= kFlagCalWritten | kFlagConfigured;
        if (IsMeter(t.row))
            for (int k = 0; k < 15; ++k) MeterConstant(t, k);
    } else {
        Defaults(t);
        t.flags = static_cast<u16>((t.flags & ~(kFlagCalWritten | kFlagConfigured)) | kFlagConfigured);
    }
}

int io_put_cal_const(int slot, u8 bank) {
    if (slot < 0 || slot > 1) return 1;
    SlotState& t = g.tbl[slot];
    u8 image[kImageBytes];
    for (int i = 0; i < 16; ++i) {
        PutLe16(image + 2 * i, t.gain[i]);
        PutLe16(image + 32 + 2 * i, static_cast<u16>(t.offset[i]));
    }
    PutLe16(image + 64, kSignature);
    int r = EepromWrite(slot, EeAddress(t.row, bank), image, kImageBytes);
    t.flags |= kFlagCalWritten;
    return r;
}

int io_put_ee_word(u16 value, u32 offset, int slot, u8 bank) {
    if (slot < 0 || slot > 1) return 1;
    u8 b[2];
    PutLe16(b, value);
    return EepromWrite(slot, EeAddress(g.tbl[slot].row, bank) + offset, b, 2);
}

void Analog_Calibrate(IoMessage* m) {
    u8* buf = static_cast<u8*>(m->data);
    if (buf == nullptr || m->status != kIoStatusOk) return;
    const int slot = m->slot;
    SlotState& t = g.tbl[slot];
    const u32 len = std::min<u32>(m->length, 64);
    const u8 sub = len > 0 ? buf[0] : 0xFF;
    const u8 param = len > 1 ? buf[1] : 0;
    auto answer = [&](u8 n) {
        buf[0] = m->status;
        m->length = n;
    };
    switch (sub) {
        case 1: {
            std::memset(g.scratch, 0, sizeof g.scratch);
            if (slot == 0 && !IsMeter(t.row)) Convert(slot, g.scratch, 12);
            std::memset(buf + 1, 0, 63);
            if (slot == 0) {
                if (IsMeter(t.row)) {
                    PowerMeter_Convert(slot, g.scratch, 12);
                    std::memcpy(buf + 4, g.scratch, 24);
                    float powers[6];
                    PowerMeter_PhasePowers(slot, powers);
                    std::memcpy(buf + 28, powers, sizeof powers);
                    answer(52);
                } else if (t.row == 21 || t.row == 23 || t.row == 25) {
                    std::memcpy(buf + 2, g.scratch, 16);
                    for (int i = 0; i < 4; ++i) PutLe16(buf + 18 + 2 * i, t.aqImage[i]);
                    answer(26);
                } else {
                    std::memcpy(buf + 2, g.scratch, 24);
                    for (int i = 0; i < 8; ++i) PutLe16(buf + 26 + 2 * i, t.aqImage[i]);
                    PutLe16(buf + 42, t.aqImage[8]);
                    PutLe16(buf + 44, t.aqImage[9]);
                    answer(46);
                }
            } else if (t.row == kRowAq4 || t.row == kRowAq2) {
                int n = t.row == kRowAq4 ? 4 : 2;
                for (int i = 0; i < n; ++i) PutLe16(buf + 2 + 2 * i, t.aqImage[i]);
                answer(static_cast<u8>(2 + 2 * n));
            } else {
                answer(1);
            }
            return;
        }
        case 2: {
            t.flags |= kFlagCalMode | kFlagConfigured;
            if (slot == 0) {
                for (int i = 0; i < 4; ++i) t.typeCodes[i] = len > 1u + i ? buf[1 + i] : 0;
                t.filterShift = len > 5 ? buf[5] : 0;
                t.mode = len > 6 ? buf[6] : 0;
                if (IsMeter(t.row)) {
                    float ratios[6] = {1, 1, 1, 1, 1, 1};
                    for (u32 i = 0; i < 6 && 8 + 4 * i + 4 <= len; ++i) std::memcpy(&ratios[i], buf + 8 + 4 * i, 4);
                    PowerMeter_SetRatios(slot, ratios);
                } else {
                    for (u32 i = 0; i < 12; ++i) t.aqImage[i] = 8 + 2 * i + 2 <= len ? GetLe16(buf + 8 + 2 * i) : 0;
                    Analog_WriteOutputs(slot);
                }
                answer(1);
            } else {
                if (t.row == kRowAq4 || t.row == kRowAq2) {
                    int channels = t.row == kRowAq4 ? 4 : 2;
                    u32 cfgBytes = static_cast<u32>(2 * channels), first = 1 + cfgBytes / 2;
                    t.mode = 0;
                    t.filterShift = 0;
                    // The request carries the configuration words of the
                    // channels; their low bytes are the type codes.
                    for (u32 i = 0; i < cfgBytes; ++i) {
                        u8 b = len > 1 + i ? buf[1 + i] : 0;
                        if (i < sizeof t.storedConfig) t.storedConfig[i] = b;
                        if (i % 2 == 0) t.typeCodes[i / 2] = b;
                    }
                    for (int ch = 0; ch < channels; ++ch) {
                        u32 at = first + 2 * static_cast<u32>(ch);
                        t.aqImage[ch] = at + 2 <= len ? GetLe16(buf + at) : 0;
                    }
                    Analog_WriteOutputs(slot);
                }
                buf[0] = m->status;
            }
            return;
        }
        case 3: {
            u32 mask = len >= 6 ? GetLe32(buf + 2) : 0;
            u32 at = 6;
            for (int k = 0; k < 16 && at + 4 <= len; ++k) {
                if (!(mask & (1u << k))) continue;
                t.gain[k] = GetLe16(buf + at);
                t.offset[k] = static_cast<i16>(GetLe16(buf + at + 2));
                at += 4;
                if (IsMeter(t.row)) MeterConstant(t, k);
            }
            answer(1);
            return;
        }
        case 4:
            io_put_cal_const(slot, param);
            answer(1);
            return;
        case 5:
            io_put_ee_word(kSignature, 64, slot, param);
            t.flags |= kFlagCalWritten;
            answer(1);
            return;
        case 6:
            io_put_ee_word(0, 64, slot, param);
            t.flags &= static_cast<u16>(~kFlagCalWritten);
            answer(1);
            return;
        case 7:
            t.flags &= static_cast<u16>(~kFlagCalMode);
            answer(1);
            return;
        case 14:
            for (int i = 0; i < 16; ++i) PutLe16(buf + 2 + 2 * i, t.gain[i]);
            buf[1] = 0;
            answer(34);
            return;
        case 15:
            buf[1] = 0;
            if (IsMeter(t.row)) {
                for (int i = 0; i < 12; ++i) PutLe16(buf + 2 + 2 * i, static_cast<u16>(t.offset[i]));
                static const float consts[4] = {0.000419504f, 3.0771921e-06f, 1.87729e-08f, 1.87729e-08f};
                buf[26] = buf[27] = 0;
                for (int i = 0; i < 4; ++i) std::memcpy(buf + 28 + 4 * i, &consts[i], 4);
                const float lpf = static_cast<float>(lpf1(slot));
                std::memcpy(buf + 44, &lpf, 4);
                PutLe16(buf + 48, PowerMeter_Frequency(slot));
                answer(50);
            } else {
                for (int i = 0; i < 16; ++i) PutLe16(buf + 2 + 2 * i, static_cast<u16>(t.offset[i]));
                answer(34);
            }
            return;
        case 27:
            if (t.row == 25) {
                g.calNormalMode = 1;
                u8 p[2] = {0xFF, 0xFF};
                if (param == 1 || param == 2) {
                    if (I2C_read_io(0x4C, p, 1, 2) == 0) {
                        p[0] = static_cast<u8>(p[0] & ~1);
                        p[1] = param == 1 ? static_cast<u8>(p[1] & ~0x1E) : static_cast<u8>(p[1] | 0x1E);
                        I2C_write_io(0x4C, p, 1, 2);
                    }
                    for (int i = 0; i < 4; ++i) t.typeCodes[i] = param == 1 ? 1 : 0;
                } else if (param == 3 || param == 4) {
                    t.typeCodes[4] = t.typeCodes[5] = param == 3 ? 1 : 0;
                }
                answer(1);
                return;
            }
            buf[0] = 0;
            return;
        default:
            buf[0] = 0;
            return;
    }
}
