#include "ladder/pid.h"

#include <algorithm>

#include "core/plc_regs.h"
#include "ladder/ladder_operand.h"
#include "ladder/pid_math.h"

namespace {

struct PidState {
    i16 outCopy;
    i16 prevDerivIn;
    i16 prevOut;
    i16 intRem;
    u32 lastSample;
    i32 intAcc;
    u32 phaseStart;
    u8 phaseState;
    u8 offPhase;
    u32 slewRem;
};

struct PidTune {
    u32 cycleStart;
    u32 cycleEnd;
    i16 largest;
    i16 smallest;
    u16 state;
    i16 tuneSetpoint;
    u16 savedOutput;
    i16 hysteresis;
    u16 savedIntegral;
    u16 manual;
    u16 rampUp;
    u16 rampDown;
    // Preliminary relay cycles still to run; kept per loop so that two loops
    // tuning at once do not shorten each other's preliminary cycles.
    u8 repeat;
};

// {gain num, gain den, integral multiplier, integral constant, derivative num, derivative den}
constexpr i32 kRule[3][4][6] = {
    {{10, 17, 1, 20000000, 1, 800},
     {1, 3, 1, 20000000, 1, 800},
     {1, 5, 1, 20000000, 1, 800},
     {10, 85, 1, 20000000, 1, 800}},
    {{10, 22, 1, 12000000, 0, 1},
     {10, 37, 1, 12000000, 0, 1},
     {10, 62, 1, 12000000, 0, 1},
     {1, 10, 1, 12000000, 0, 1}},
    {{1, 2, 1, 0, 0, 1}, {10, 34, 1, 0, 0, 1}, {10, 57, 1, 0, 0, 1}, {10, 95, 1, 0, 0, 1}},
};

struct State {
    PidState st[kPidLoops] = {};
    PidTune at[kPidLoops] = {};
};
State g;

inline i32 S(u16 w) { return static_cast<i16>(w); }
inline u16 W(i32 v) { return static_cast<u16>(static_cast<i16>(v)); }
inline i16 Clamp16(i64 v) { return static_cast<i16>(std::clamp<i64>(v, -32768, 32767)); }

// The step's scratch values.
struct PidStep {
    u32 elapsed;
    i32 derivative;
    i32 error;  // deadbanded, 16-bit range
    i32 gain;
    i32 bias;
    u16 integralWord;
    bool isa;
};

i32 IntegralTerm(PidState& st, const PidStep& s) {
    if (s.integralWord == 0) {
        st.intRem = 0;
        st.intAcc = 0;
        return 0;
    }
    i32 x = s.error;
    if (s.integralWord > 1) x *= s.integralWord >> 1;  // |error| < 2^15, factor < 2^15
    const i32 q = mulmuldiv100_limited(x, s.elapsed, s.isa ? s.gain : 1);
    i32 v;
    adds32_limited(q, st.intRem, &v);
    st.intRem = static_cast<i16>(v % 100);
    adds32_limited(st.intAcc, v / 100, &st.intAcc);
    return st.intAcc / (s.integralWord == 1 ? 1000 : 500);
}

// Anti-windup: sets the integral so that the next sample reproduces output.
void Recalculate(PidState& st, const PidStep& s, i32 output) {
    if (s.integralWord == 0) {
        st.intAcc = 0;
        st.intRem = 0;
        return;
    }
    i64 t = i64{output} - s.bias;
    if (s.isa)
        t = t * 100 - (i64{s.error} + s.derivative) * s.gain;
    else
        t = t - s.derivative - (s.error * s.gain) / 100;
    st.intAcc = PidSat32(static_cast<__int128>(t) * (s.integralWord == 1 ? 1000 : 500));
    st.intRem = 0;
}

void TimeProportion(PidState& st, u32 now, i32 out, i32 lo, i32 hi, i32 cycle) {
    if (cycle <= 0) {
        // On/off switching, at most one change per half second.
        if (now - st.phaseStart < 5000) return;
        const u8 off = out < (lo + hi) / 2 ? 1 : 0;
        if (off != st.offPhase) {
            st.offPhase = off;
            st.phaseStart = now;
        }
        return;
    }
    const u32 period = static_cast<u32>(cycle) * 10000u;
    switch (st.phaseState) {
    case 0:
        st.phaseStart = now;
        st.phaseState = 1;
        [[fallthrough]];
    case 1:
        if (out == lo) {
            st.offPhase = 1;
            st.phaseState = 0;
        } else {
            st.offPhase = 0;
            st.phaseState = 2;
        }
        break;
    case 2: {
        const u32 el = now - st.phaseStart;
        if (el >= period) {
            st.offPhase = 0;
            st.phaseState = 0;
        } else if (out == hi || hi == lo) {
            st.offPhase = 0;
        } else {
            const i64 done = el / static_cast<u32>(cycle);
            const i64 onPart = (i64{out} - lo) * 10000 / (i64{hi} - lo);
            if (done <= onPart) {
                st.offPhase = 0;
            } else {
                st.offPhase = 1;
                st.phaseState = 3;
            }
        }
        break;
    }
    case 3:
        if (now - st.phaseStart >= period) {
            st.offPhase = 0;
            st.phaseState = 0;
        } else {
            st.offPhase = 1;
        }
        break;
    default:
        st.phaseState = 0;
        break;
    }
}

void AutoTune(PidContext* c, u16* b, PidTune& at) {
    const u16 flags = b[kPidFlags];
    const i32 hi = S(b[kPidOutHigh]);
    const i32 lo = S(b[kPidOutLow]);
    if (at.state == 0 || at.state > 7) {
        at.repeat = 1;
        at.hysteresis = static_cast<i16>(25 << ((c->tuneOptions >> 5) & 7));
        const i32 sp = S(b[kPidSetpoint]);
        at.tuneSetpoint = static_cast<i16>((c->tuneFlags & kPidTuneTwoThirds) ? sp * 2 / 3 : sp);
        at.manual = 1;
        at.rampUp = 0;
        at.rampDown = 0;
        at.savedOutput = b[kPidOutput];
        b[kPidOutput] = W(lo);
        at.state = 1;
        b[kPidIntegral] = 0;
        return;
    }
    const i32 pv = S(b[kPidProcess]);
    const i32 e = (flags & kPidFlagReverse) ? pv - at.tuneSetpoint : at.tuneSetpoint - pv;
    const i32 h = at.hysteresis;
    if (at.state <= 5) b[kPidIntegral] = 0;  // the integral stays cleared while the relay runs
    switch (at.state) {
    case 1:
        if (e > h) {
            b[kPidOutput] = W(hi);
            at.state = 2;
        }
        break;
    case 2:
        if (e < -h) {
            b[kPidOutput] = W(lo);
            at.state = at.repeat != 0 ? 1 : 3;
            if (at.repeat != 0) --at.repeat;
        }
        break;
    case 3:
        at.largest = 0;
        if (e > h) {
            b[kPidOutput] = W(hi);
            at.cycleStart = c->stamp;
            at.state = 4;
        }
        break;
    case 4:
        at.largest = std::max(at.largest, Clamp16(e));
        at.smallest = 0;
        if (e < -h) {
            b[kPidOutput] = W(lo);
            at.state = 5;
        }
        break;
    case 5:
        at.smallest = std::min(at.smallest, Clamp16(e));
        if (e > h) {
            b[kPidOutput] = at.savedOutput;
            at.cycleEnd = c->stamp;
            at.state = 6;
        }
        break;
    case 6:
        at.manual = (flags & kPidFlagManual) ? 1 : 0;
        at.rampUp = (flags & kPidFlagRampUp) ? 1 : 0;
        at.rampDown = (flags & kPidFlagRampDown) ? 1 : 0;
        if (PidTuneCompute(at.cycleEnd - at.cycleStart, i32{at.largest} - at.smallest, c->tuneOptions, b)) {
            at.savedIntegral = b[kPidIntegral];
            at.state = 7;
        } else {
            at.state = 0;
        }
        break;
    default:  // 7: finished
        c->tuneFlags |= kPidTuneDone;
        break;
    }
}

}  // namespace

bool PidTuneCompute(u32 period, i32 amplitude, u8 options, u16* b) {
    const i64 t = 2 * i64{period};
    const i64 a = 2 * i64{amplitude};
    if (t <= 0 || a <= 0) return false;
    const u16 flags = b[kPidFlags];
    const bool isa = flags & kPidFlagIsa;
    int type = (options >> 1) & 3;
    if (type == 3) type = 2;
    const i32* r = kRule[type][(options >> 3) & 3];

    // 64-bit throughout: a long period times the tuned gain passes 32 bits.
    const i64 span = i64{S(b[kPidOutHigh])} - S(b[kPidOutLow]);
    const i64 gain = std::min<i64>(((span * 9040 / 71) / a) * r[0] / r[1], 32767);
    b[kPidGain] = static_cast<u16>(gain);

    i64 integral = r[3] / (t * r[2]);
    if (!isa) integral = integral * gain / 100;
    b[kPidIntegral] = static_cast<u16>(std::min<i64>(integral, 65535));

    i64 derivative = t * r[4] / r[5];
    if (!isa) derivative = derivative * gain / 100;
    if (flags & kPidFlagDerivFine) derivative *= 100;
    derivative = std::min<i64>(derivative, 32767);
    b[kPidDerivative] = W(static_cast<i32>((flags & kPidFlagDerivOnPv) ? -derivative : derivative));
    return true;
}

int fbk_pid(PidContext* c, u16* b) {
    if (c->loop >= kPidLoops) return kPidBadLoop;
    PidState& st = g.st[c->loop];
    PidTune& at = g.at[c->loop];
    const u16 flags = b[kPidFlags];
    const bool timeProp = flags & kPidFlagTimeProp;

    if (flags & kPidFlagFirstScan) {
        st.phaseStart = c->stamp;
        st.lastSample = c->stamp;
        st.phaseState = 0;
        st.offPhase = 1;
        return kPidFirstScan;
    }
    const bool tuning = c->tuneFlags & kPidTuneRequest;
    if (tuning) {
        if (at.state == 7) c->tuneFlags |= kPidTuneDone;
    } else {
        c->tuneFlags &= static_cast<u8>(~kPidTuneDone);
        at.state = 0;
    }
    if (S(b[kPidDeadbandHigh]) < S(b[kPidDeadbandLow])) return timeProp ? 1 : kPidBadDeadband;
    if (S(b[kPidOutHigh]) < S(b[kPidOutLow])) return timeProp ? 1 : kPidBadLimits;

    auto result = [&] {
        if (!timeProp) return 0;
        return (flags & kPidFlagNegate) ? 1 - st.offPhase : int{st.offPhase};
    };

    PidStep s{};
    s.elapsed = c->stamp - st.lastSample;
    if (s.elapsed < u32{b[kPidSampleTime]} * 100u || s.elapsed < 100) return result();
    st.lastSample = c->stamp;

    if (tuning) {
        at.savedIntegral = b[kPidIntegral];
        AutoTune(c, b, at);
    } else {
        at.manual = (flags & kPidFlagManual) ? 1 : 0;
        at.rampUp = (flags & kPidFlagRampUp) ? 1 : 0;
        at.rampDown = (flags & kPidFlagRampDown) ? 1 : 0;
    }

    s.isa = flags & kPidFlagIsa;
    s.gain = S(b[kPidGain]);
    s.bias = S(b[kPidBias]);
    s.integralWord = b[kPidIntegral];
    const i32 sp = S(b[kPidSetpoint]);
    const i32 pv = S(b[kPidProcess]);
    const i32 err = (flags & kPidFlagReverse) ? pv - sp : sp - pv;

    const i32 dbHigh = S(b[kPidDeadbandHigh]);
    const i32 dbLow = S(b[kPidDeadbandLow]);
    const bool offset = flags & kPidFlagDeadbandOffset;
    i32 e = 0;
    if (err >= dbHigh)
        e = offset ? err - dbHigh : err;
    else if (err <= dbLow)
        e = offset ? err - dbLow : err;
    s.error = Clamp16(e);

    const i32 kd = S(b[kPidDerivative]);
    if (kd != 0) {
        const i32 x = (flags & kPidFlagDerivOnPv) ? pv : s.error;
        const i64 delta = i64{x} - st.prevDerivIn;
        st.prevDerivIn = static_cast<i16>(x);
        const i64 scale = (flags & kPidFlagDerivFine) ? 1 : 100;
        const i32 num = PidSat32(static_cast<__int128>(kd) * scale * delta);
        s.derivative = static_cast<i32>(i64{num} / i64{s.elapsed});
    }

    const i16 savedRem = st.intRem;
    const i32 savedAcc = st.intAcc;
    const bool manual = at.manual != 0;
    i32 out;
    if (manual) {
        i32 w = S(b[kPidOutput]);
        if (at.rampUp && w != 32767) ++w;
        if (at.rampDown && w != -32768) --w;
        b[kPidOutput] = W(w);
        out = w;
    } else {
        const i32 integral = IntegralTerm(st, s);
        const i32 p = s.isa ? s.error : (s.error * s.gain) / 100;
        adds32_limited(s.derivative, p, &out);
        if (s.isa) {
            muls32_limited(out, s.gain, &out);
            adds32_limited(out, integral, &out);
            out /= 100;
        } else {
            adds32_limited(out, integral, &out);
        }
        adds32_limited(out, s.bias, &out);
    }

    if (b[kPidSlewTime] != 0) {
        const u64 divisor = u64{b[kPidSlewTime]} * 100u;
        u64 step = std::min<u64>(u64{s.elapsed} * 320u, 0x7FFFFFFFu) + st.slewRem;
        st.slewRem = static_cast<u32>(step % divisor);
        step /= divisor;
        const i64 diff = i64{out} - st.prevOut;
        if (diff > static_cast<i64>(step) || diff < -static_cast<i64>(step)) {
            out = static_cast<i32>(diff > 0 ? st.prevOut + static_cast<i64>(step) : st.prevOut - static_cast<i64>(step));
            if (!(flags & kPidFlagManual)) {
                out = Clamp16(out);
                Recalculate(st, s, out);
            }
        }
    }

    const i32 hi = S(b[kPidOutHigh]);
    const i32 lo = S(b[kPidOutLow]);
    bool clamped = false;
    if (out >= hi) {
        out = hi;
        clamped = true;
    } else if (out <= lo) {
        out = lo;
        clamped = true;
    }
    if (manual) {
        Recalculate(st, s, out);
    } else {
        if (clamped) {
            if (flags & kPidFlagIntegralHold) {
                st.intRem = savedRem;
                st.intAcc = savedAcc;
            } else {
                Recalculate(st, s, out);
            }
        }
        b[kPidOutput] = W(out);
    }

    st.outCopy = static_cast<i16>(out);
    st.prevOut = static_cast<i16>(out);
    if (timeProp) TimeProportion(st, c->stamp, out, lo, hi, S(b[kPidCycleTime]));
    b[kPidFinalOutput] = W((flags & kPidFlagNegate) ? (out == -32768 ? 32767 : -out) : out);
    if (tuning) b[kPidIntegral] = at.savedIntegral;
    return result();
}

void Pid_Reset() { g = State{}; }

u16 Pid_TuneState(u16 loop) { return loop < kPidLoops ? g.at[loop].state : 0; }

namespace {

}  // namespace

u32 IEC_NON_IEC_PidParser(const u16* code, u32 ip, u16 opcode, u32 stamp, u8* top, int form, bool tok16) {
    const bool tune = opcode == 242 || opcode == 243 || opcode == 525 || opcode == 526;
    const bool isa = opcode == 241 || opcode == 243 || opcode == 524 || opcode == 526;
    const u16 loop = LadderLit(code, ip);
    const u32 blockWord = LadderWordOperand(code, ip, tok16);
    const u32 spWord = LadderWordOperand(code, ip, tok16);
    const u32 pvWord = LadderWordOperand(code, ip, tok16);
    const u32 manualBit = LadderBitOperand(code, ip, tok16);
    const u32 upBit = LadderBitOperand(code, ip, tok16);
    const u32 downBit = LadderBitOperand(code, ip, tok16);
    u32 tuneBit = kLadderBitFirst, doneBit = kLadderBitFirst;
    u16 option = 0;
    if (tune) {
        tuneBit = LadderBitOperand(code, ip, tok16);
        option = LadderLit(code, ip);
    }
    const u32 outWord = LadderWordOperand(code, ip, tok16);
    if (tune) doneBit = LadderBitOperand(code, ip, tok16);
    if (!*top) return ip;

    // The block's place: in the IEC form a byte offset read from a register
    // pair, which must leave the 32 bytes of the block inside the memory.
    u8* block = nullptr;
    if (form == 0) {
        if (LadderWordValid(blockWord, kPidBlockWords)) block = &plc_reg[2 * blockWord];
    } else if (LadderWordValid(blockWord, 2)) {
        const u32 offset = GetLe32(&plc_reg[2 * blockWord]);
        if (offset <= kPlcRegBytes - 2 * kPidBlockWords) block = &plc_reg[offset];
    }
    const bool bitsOk = LadderBitValid(manualBit) && LadderBitValid(upBit) && LadderBitValid(downBit) &&
                        LadderBitValid(tuneBit) && LadderBitValid(doneBit);
    if (block == nullptr || !bitsOk || !LadderWordValid(spWord, 1) || !LadderWordValid(pvWord, 1) ||
        !LadderWordValid(outWord, 1)) {
        *top = 0;
        return ip;
    }

    u16 b[kPidBlockWords];
    for (int i = 0; i < kPidBlockWords; ++i) b[i] = GetLe16(block + 2 * i);
    u16 flags = static_cast<u16>((b[kPidFlags] & ~kPidFlagIsa) | (isa ? kPidFlagIsa : 0) | kPidFlagEnabled);
    flags = S_Get(1) ? static_cast<u16>(flags | kPidFlagFirstScan) : static_cast<u16>(flags & ~kPidFlagFirstScan);
    b[kPidProcess] = GetLe16(&plc_reg[2 * pvWord]);
    if (!(flags & kPidFlagOwnSetpoint)) {
        b[kPidSetpoint] = GetLe16(&plc_reg[2 * spWord]);
        flags = static_cast<u16>(flags & ~(kPidFlagManual | kPidFlagRampUp | kPidFlagRampDown));
        if (LadderRegBit(manualBit)) flags |= kPidFlagManual;
        if (LadderRegBit(upBit)) flags |= kPidFlagRampUp;
        if (LadderRegBit(downBit)) flags |= kPidFlagRampDown;
    }
    b[kPidFlags] = flags;

    PidContext ctx{stamp, loop, 0, 0};
    if (tune) {
        if (LadderRegBit(tuneBit)) ctx.tuneFlags |= kPidTuneRequest;
        ctx.tuneFlags |= static_cast<u8>(option);
        ctx.tuneOptions |= static_cast<u8>(option >> 8);
    }
    if ((fbk_pid(&ctx, b) & 0xFFFF) != 0) *top = 0;

    PutLe16(&plc_reg[2 * outWord], b[kPidFinalOutput]);
    if (tune) LadderPutRegBit(doneBit, ctx.tuneFlags & kPidTuneDone);
    for (int i = 0; i < kPidBlockWords; ++i) PutLe16(block + 2 * i, b[i]);
    return ip;
}

u8 Pid_Instruction(const u16* code, u32& ip, u8 rung, bool tok16) {
    const u16 opcode = code[ip - 1];
    u8 top = rung;
    ip = IEC_NON_IEC_PidParser(code, ip, opcode, SR_GetDword(149), &top, opcode >= 523 ? 1 : 0, tok16);
    return top;
}

namespace {

using O = LOpd;
constexpr O B = O::kBit, Wd = O::kWord, K = O::kLit;

constexpr LadderRoutineRow kRoutines[] = {
    {240, 241, "PID", Pid_Instruction, 8, {K, Wd, Wd, Wd, B, B, B, Wd}, nullptr},
    {242, 243, "PIDTUNE", Pid_Instruction, 11, {K, Wd, Wd, Wd, B, B, B, B, K, Wd, B}, nullptr},
    {523, 524, "PIDX", Pid_Instruction, 8, {K, Wd, Wd, Wd, B, B, B, Wd}, nullptr},
    {525, 526, "PIDTUNEX", Pid_Instruction, 11, {K, Wd, Wd, Wd, B, B, B, B, K, Wd, B}, nullptr},
};

}  // namespace

const std::span<const LadderRoutineRow> kPidRoutines{kRoutines};
