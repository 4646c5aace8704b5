#include "io/powermeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/plc_regs.h"
#include "io/i2c_io.h"
#include "io/iodriver_state.h"
#include "platform/fpga.h"
#include "platform/spi_imx28_drv.h"

namespace {

IoDriverState& g = ioDrv;

constexpr double kVoltsPerCount = 0.000419504, kAmpsPerCount = 3.077192e-06, kKwhPerCount = 1.87729e-08;
constexpr double kPeakVolts = 4.1947, kPeakAmps = 0.0345036;

struct Meter {
    double ptratio[3] = {1, 1, 1}, ctratio[3] = {1, 1, 1};
    // Settings last written (NaN: never), so that only changes are written.
    float lastOut[14] = {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};
    u32 lastCycles = 0xFFFFFFFF;
    i32 fV[3] = {}, fI[3] = {}, fFreq = 0;
    u16 freq = 0;
    double energy[2][3] = {}, ref[2][3] = {};
    u32 readAt[2][3] = {}, refAt[2][3] = {};
    double power[2][3] = {}, total[2] = {};
    double totalEnergy = 0;
    bool started = false;
    int outLevel = -1, ctlLevel = -1;
    float values[14] = {};
};

struct Protection {
    u8 instState = 0;  // 0 idle, 1 timing, 2 tripped
    u32 instStart = 0;
    u16 instOutput = 0;
    double acc = 0;
    bool latched = false;
    u32 last = 0;
};

struct State {
    Meter meter[2];
    Protection prot;
};
State s;

u8 Device(int slot) { return g.tbl[slot].row == kRowMeter1 ? 0x50 : 0x52; }

// Selects a register and reads its value (n = 4: signed 24 bits, 3: signed
// 16 bits, 2: unsigned 8 bits). The selecting write pads with zeros.
bool ReadReg(int slot, u8 reg, int n, i32* value) {
    static const u32 kSelectBytes[5] = {0, 0, 3, 4, 5};
    const u8 select[5] = {0x01, reg, 0, 0, 0};
    u8 b[4] = {};
    u8 dev = Device(slot);
    if (I2C_write_io(dev, select, 4, kSelectBytes[n]) != 0) return false;
    if (I2C_read_io(dev, b, 4, static_cast<u32>(n)) != 0) return false;
    if (n == 4) *value = static_cast<i32>(static_cast<u32>((b[1] << 24) | (b[2] << 16) | (b[3] << 8))) >> 8;
    else if (n == 3) *value = static_cast<i16>((b[1] << 8) | b[2]);
    else *value = b[1];
    return true;
}

void WriteReg8(int slot, u8 reg, u8 v) {
    const u8 b[3] = {0x01, reg, v};
    I2C_write_io(Device(slot), b, 4, 3);
}
void WriteReg16(int slot, u8 reg, u16 v) {
    const u8 b[4] = {0x01, reg, static_cast<u8>(v >> 8), static_cast<u8>(v)};
    I2C_write_io(Device(slot), b, 4, 4);
}

i32 FilterStep(i32 f, i32 raw, int n) {
    if (n <= 0) return raw;
    return static_cast<i32>((static_cast<i64>(raw) - f + (static_cast<i64>(f) << n)) >> n);
}

int PeakPhase(int slot) {
    u8 code = g.tbl[slot].typeCodes[0];
    return code < 3 ? code : 0;
}

double Lpf(const Meter& m) {
    double x = m.freq * 0.000240385;
    return std::sqrt(1 + x * x);
}

// Energies of one kind (0 active, 1 reactive) and their powers.
void Energies(int slot, Meter& m, int kind, u32 now) {
    for (int k = 0; k < 3; ++k) {
        i32 inc;
        // A read that failed adds nothing: the buffer holds another value.
        if (!ReadReg(slot, static_cast<u8>((kind == 0 ? 0x01 : 0x04) + k), 3, &inc)) continue;
        m.readAt[kind][k] = now;
        double e = inc * m.ptratio[k] * m.ctratio[k] * kKwhPerCount;
        m.energy[kind][k] += e;
        if (kind == 0) m.totalEnergy += e;
    }
    if (!m.started) return;
    if (now - m.refAt[kind][0] < 1000) return;
    double total = 0;
    for (int k = 0; k < 3; ++k) {
        u32 ticks = m.readAt[kind][k] - m.refAt[kind][k];
        if (ticks != 0) m.power[kind][k] = (m.energy[kind][k] - m.ref[kind][k]) * 3.6e10 / ticks;
        m.ref[kind][k] = m.energy[kind][k];
        m.refAt[kind][k] = m.readAt[kind][k];
        total += m.power[kind][k];
    }
    m.total[kind] = total;
}

u32 Clamp(double v, double lo, double hi) { return static_cast<u32>(static_cast<i32>(std::clamp(v, lo, hi))); }

bool Changed(Meter& m, int i, float v) {
    if (m.lastOut[i] == v) return false;
    m.lastOut[i] = v;
    return true;
}

}  // namespace

double dround(double x) { return x >= 0 ? x + 0.5 : x - 0.5; }

double lpf1(int slot) { return slot >= 0 && slot < 2 ? Lpf(s.meter[slot]) : 1.0; }
u16 PowerMeter_Frequency(int slot) { return slot >= 0 && slot < 2 ? s.meter[slot].freq : 0; }

void PowerMeter_Convert(int slot, u8* out, u32 words) {
    Meter& m = s.meter[slot];
    int n = std::min<int>(g.tbl[slot].filterShift, 16);
    float* v = m.values;
    i32 raw;
    for (int k = 0; k < 3; ++k) {
        if (ReadReg(slot, static_cast<u8>(0x0D + k), 4, &raw)) m.fV[k] = FilterStep(m.fV[k], raw, n);
        if (ReadReg(slot, static_cast<u8>(0x0A + k), 4, &raw)) m.fI[k] = FilterStep(m.fI[k], raw, n);
    }
    if (ReadReg(slot, 0x10, 3, &raw)) {
        m.fFreq = FilterStep(m.fFreq, raw & 0x0FFF, n);
        m.freq = static_cast<u16>(m.fFreq);
    }
    double lpf = Lpf(m);
    for (int k = 0; k < 3; ++k) {
        v[k] = static_cast<float>(m.fV[k] * kVoltsPerCount * lpf * m.ptratio[k]);
        v[3 + k] = static_cast<float>(m.fI[k] * kAmpsPerCount * m.ctratio[k]);
    }
    v[6] = static_cast<float>(m.freq * 0.0625);
    u32 now = FPGA_GetFrt();
    Energies(slot, m, 0, now);
    Energies(slot, m, 1, now);
    if (!m.started) {
        m.started = true;
        for (int kind = 0; kind < 2; ++kind)
            for (int k = 0; k < 3; ++k) {
                m.ref[kind][k] = m.energy[kind][k];
                m.refAt[kind][k] = m.readAt[kind][k];
            }
    }
    double va = std::sqrt(m.total[0] * m.total[0] + m.total[1] * m.total[1]);
    v[7] = static_cast<float>(m.total[0]);
    v[8] = va != 0 ? static_cast<float>(m.total[0] / va) : 0.0f;
    v[9] = static_cast<float>(va);
    v[10] = static_cast<float>(m.total[1]);
    v[11] = static_cast<float>(m.totalEnergy);
    int ph = PeakPhase(slot);
    if (ReadReg(slot, 0x21, 2, &raw)) v[12] = static_cast<float>(raw * kPeakVolts * lpf * m.ptratio[ph]);
    if (ReadReg(slot, 0x22, 2, &raw)) v[13] = static_cast<float>(raw * kPeakAmps * m.ctratio[ph]);
    if (out == nullptr) return;
    for (u32 i = 0; i < 14 && 2 * i + 2 <= words; ++i) std::memcpy(out + 4 * i, &v[i], 4);
}

void input_acm(IoMessage* msg) {
    if (g.tbl[msg->slot].flags & kFlagCalMode) return;
    PowerMeter_Convert(msg->slot, static_cast<u8*>(msg->data), msg->data ? msg->count : 0);
}

void PowerMeter_PhasePowers(int slot, float powers[6]) {
    for (int k = 0; k < 3; ++k) {
        powers[k] = static_cast<float>(s.meter[slot].power[0][k]);
        powers[3 + k] = static_cast<float>(s.meter[slot].power[1][k]);
    }
}

void PowerMeter_SetRatios(int slot, const float r[6]) {
    Meter& m = s.meter[slot];
    for (int k = 0; k < 3; ++k) {
        m.ptratio[k] = r[k];
        m.ctratio[k] = r[3 + k];
    }
}

void PowerMeter_Outputs(int slot, const u8* words, u32 count) {
    if (words == nullptr || count < 56) return;  // fourteen 32-bit words
    Meter& m = s.meter[slot];
    float f[14];
    for (int i = 0; i < 14; ++i) std::memcpy(&f[i], words + 4 * i, 4);
    for (int k = 0; k < 3; ++k) {
        m.ptratio[k] = f[k];
        m.ctratio[k] = f[3 + k];
    }
    double lpf = Lpf(m);
    int ph = PeakPhase(slot);
    for (int k = 0; k < 3; ++k) {
        // Without a line frequency the compensation waits (stays "changed").
        if (m.freq <= 407 || !Changed(m, 6 + k, f[6 + k])) continue;
        double c = f[6 + k];
        double v = (c > 0 ? -0.5 * c : -c) / (m.freq * 2.7e-05);
        WriteReg8(slot, static_cast<u8>(0xBF + k), static_cast<u8>(static_cast<i8>(Clamp(dround(v), -64, 63))));
    }
    if (Changed(m, 9, f[9])) WriteReg16(slot, 0x9B, static_cast<u16>(Clamp(dround(f[9] / 3.84e-05), 0, 65535)));
    if (Changed(m, 10, f[10])) {
        double v = std::fabs(f[10]) * 0.233628 / lpf;
        if (m.ptratio[ph] > 0.001) v /= m.ptratio[ph];
        WriteReg8(slot, 0x9E, static_cast<u8>(Clamp(v, 0, 255)));
    }
    u32 cycles = GetLe32(words + 44);
    if ((cycles & 0xFF) != (m.lastCycles & 0xFF)) WriteReg8(slot, 0x9D, static_cast<u8>(cycles));
    if ((cycles >> 16) != (m.lastCycles >> 16)) WriteReg16(slot, 0x9C, static_cast<u16>(cycles >> 16));
    m.lastCycles = cycles;
    if (Changed(m, 12, f[12])) {
        double v = std::fabs(f[12]) / kPeakVolts / lpf;
        if (m.ptratio[ph] > 0.001) v /= m.ptratio[ph];
        WriteReg8(slot, 0x9F, static_cast<u8>(Clamp(v, 0, 255)));
    }
    if (Changed(m, 13, f[13])) {
        double v = std::fabs(f[13]) / kPeakAmps;
        if (m.ctratio[ph] > 0.001) v /= m.ctratio[ph];
        WriteReg8(slot, 0xA0, static_cast<u8>(Clamp(v, 0, 255)));
    }
}

int PowerMeter_DigitalInputs(int slot, u8* bytes) {
    i32 v;
    if (!ReadReg(slot, 0x19, 4, &v)) return 1;
    bytes[0] = static_cast<u8>(v);
    bytes[1] = static_cast<u8>(v >> 8);
    bytes[2] = static_cast<u8>(v >> 16);
    bytes[3] = 0;
    return 0;
}

void PowerMeter_DigitalOutputs(int slot, u8 image, int control) {
    Meter& m = s.meter[slot];
    int level = image & 1, ctl = control & 1;
    if (level != m.outLevel) {
        spi_data_RD_nWR(static_cast<u32>(level), 0x40, 1, 0);
        m.outLevel = level;
    }
    if (ctl != m.ctlLevel) {
        spi_data_RD_nWR(static_cast<u32>(ctl), 0x80, 1, 0);
        m.ctlLevel = ctl;
    }
    if (image & 0x40) {
        for (int k = 0; k < 3; ++k) m.energy[0][k] = m.ref[0][k] = 0;
        m.totalEnergy = 0;
    }
    if (image & 0x80) {
        const u8 b[5] = {0x01, 0x1A, 0, 0, 0};
        I2C_write_io(Device(slot), b, 4, 5);
    }
}

void PowerMeter_Configure(int slot) {
    const SlotState& t = g.tbl[slot];
    s.meter[slot] = Meter{};
    if (t.row != kRowMeter1) return;
    const u8 cfg[2] = {0xF0, 0x04};
    I2C_write_io(0x50, cfg, 4, 2);
    WriteReg8(slot, 0x93, 0x04);
    WriteReg8(slot, 0x94, static_cast<u8>(0xFC | (t.typeCodes[0] & 3)));
    WriteReg8(slot, 0x96, static_cast<u8>(t.typeCodes[1] << 7));
    WriteReg8(slot, 0x94, 0x78);
}

// ---------------------------------------------------------------------------
// Protection.

namespace {

const double ansi51p[7] = {2, 2, 0.02, 0.04, 0.02, 1, 2};
const double ansi51a[7] = {6.407, 2.855, 0.0086, 0.05, 0.14, 13.5, 80};
const double ansi51b[7] = {0.025, 0.0712, 0.0185, 0, 0, 0, 0};
constexpr u16 kElementMask = 0x0F;

u16 TripSet(u16 mask, const i16 v[4], i32 level) {
    u16 set = 0;
    for (int k = 0; k < 4; ++k)
        if ((mask & (1u << k)) && v[k] > level) set |= static_cast<u16>(1u << k);
    return set;
}

}  // namespace

void Protection_Run(u32 base, const i16 v[4], bool run) {
    if (base == 0) return;
    u32 n = std::min<u32>(base, 9900);
    u8* p = PlcReg_Ptr(0x8000 + 16 * (n - 1), 14 * 16);  // %Rn, the whole block or nothing
    if (p == nullptr) return;
    auto word = [&](int i) { return static_cast<i16>(GetLe16(p + 2 * i)); };
    auto put = [&](int i, u16 w) { PutLe16(p + 2 * i, w); };
    Protection& pr = s.prot;
    u32 now = FPGA_GetFrt();
    u16 mask0 = static_cast<u16>(word(0));
    if (mask0 & kElementMask) {
        u16 set = TripSet(mask0, v, std::max<i32>(word(1), 0));
        i32 delay = std::clamp<i32>(word(2), 0, 10000);
        u16 bits = 0;
        if (!run) {
            pr.instState = 0;
            pr.instStart = now;
        }
        switch (pr.instState) {
            case 0:
                if (set) {
                    pr.instStart = now;
                    pr.instState = delay == 0 ? 2 : 1;
                }
                break;
            case 1:
                if (!set) {
                    pr.instState = 0;
                } else if (now - pr.instStart >= static_cast<u32>(delay) * 10) {
                    pr.instState = 2;
                    pr.instOutput = 1;
                    bits = set;
                }
                break;
            default:
                if (!set) {
                    pr.instState = 0;
                    pr.instOutput = 0;
                } else {
                    pr.instOutput = 1;
                    bits = set;
                }
                break;
        }
        put(5, pr.instOutput);
        put(4, static_cast<u16>(GetLe16(p + 8) | bits));
    }
    u16 mask6 = static_cast<u16>(word(6));
    if (mask6 & kElementMask) {
        i32 pickup = std::max<i32>(word(7), 1);
        u16 set = TripSet(mask6, v, pickup);
        i32 h = 0;
        for (int k = 0; k < 4; ++k)
            if (set & (1u << k)) h = std::max<i32>(h, v[k]);
        double M = static_cast<double>(h) / pickup;
        if (!run) {
            pr.acc = 0;
            pr.latched = false;
            pr.last = now;
        }
        double e = (now - pr.last) * 0.001;
        int curve = std::clamp<i32>(word(8), 0, 6);
        double td = std::clamp<i32>(word(9), 1, 999);
        double reset = std::max<i32>(word(10), 1);
        if (M <= 1 && pr.acc > 0) {
            pr.acc = std::max(0.0, pr.acc + e * (M * M - 1) / reset);
        } else if (M > 1 && pr.acc < 1) {
            double mp = std::pow(M, ansi51p[curve]) - 1;
            pr.acc += e * mp / (td * (ansi51a[curve] + ansi51b[curve] * mp));
        }
        pr.last = now;
        if (pr.latched) {
            if (pr.acc <= 0) {
                pr.latched = false;
                put(13, 0);
            }
        } else if (pr.acc >= 1) {
            pr.latched = true;
            put(13, 1);
            put(12, static_cast<u16>(GetLe16(p + 24) | set));
        }
    }
}

void PowerMeter_Reset() { s = State{}; }
