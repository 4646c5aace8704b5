#include "ladder/flow_fun.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/plc_regs.h"

namespace {

constexpr double kE = 2.718281828459;
constexpr double kDelta60 = 0.01374979547;
constexpr double kHalfDelta60 = 0.006874897735;
constexpr double kBase68 = 60.0068749;  // 60 °F on the IPTS-68 scale
constexpr double kPsiPerKpa = 6.894757;
constexpr double kIts90[8] = {-0.148759, -0.267408, 1.080760, 1.269056, -4.089591, -1.871251, 7.438081, -3.536296};

// Operands of one instruction; tokens are bit addresses.
struct FlowArgs {
    u16 op = 0;
    u32 in = 0;
    u32 out = 0;
    bool a = false;  // first mode word (low byte non-zero)
    bool b = false;  // second mode word
    bool c = false;  // third mode word
    u16 n = 0;       // decimals of the rounding
};

// Bounded reader of the operand words.
struct Reader {
    const u16* p;
    const u16* end;
    bool ok = true;
    u16 Word() {
        if (p >= end) {
            ok = false;
            return 0;
        }
        return *p++;
    }
    u32 Token() {
        const u16 w = Word();
        if (w == 1776) return Word() + 0x10000u;
        if (w == 1777) return Word() + 0x20000u;
        return w;
    }
    bool Mode() { return (Word() & 0xFF) != 0; }
};

// Decodes the operands; false for a sub-operation above 7 (only its word is
// consumed) or operands running past the end.
bool Parse(Reader& r, FlowArgs& a) {
    a.op = r.Word();
    switch (a.op) {
    case kFlowTemperature:
        a.in = r.Token();
        a.a = r.Mode();
        a.b = r.Mode();
        a.out = r.Token();
        break;
    case kFlowCtlCpl:
        a.a = r.Mode();
        a.in = r.Token();
        a.b = r.Mode();
        a.c = r.Mode();
        a.out = r.Token();
        break;
    case kFlowLrealToReal:
    case kFlowRealToLreal:
        a.in = r.Token();
        a.out = r.Token();
        break;
    case kFlowDivide:
    case kFlowMultiply:
        a.in = r.Token();
        a.a = r.Mode();
        a.b = r.Mode();
        a.out = r.Token();
        break;
    case kFlowBaseDensity:
        a.in = r.Token();
        a.a = r.Mode();
        a.b = r.Mode();
        a.out = r.Token();
        break;
    case kFlowRound:
        a.in = r.Token();
        a.n = r.Word();
        a.out = r.Token();
        break;
    default:
        return false;
    }
    return r.ok;
}

bool Get32(u32 address, u32* v) {
    u8 b[4];
    if (!PlcReg_Get(b, address, 32)) return false;
    *v = GetLe32(b);
    return true;
}

// n values from base, REAL (32 bits each) or LREAL (64 bits, high half first).
bool ReadValues(u32 base, bool real, double* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (real) {
            u32 bits;
            if (!Get32(base + 32u * i, &bits)) return false;
            float f;
            std::memcpy(&f, &bits, 4);
            v[i] = f;
        } else {
            u32 hi, lo;
            if (!Get32(base + 64u * i, &hi) || !Get32(base + 64u * i + 32, &lo)) return false;
            const u64 bits = (u64{hi} << 32) | lo;
            std::memcpy(&v[i], &bits, 8);
        }
    }
    return true;
}

// Writes all n values or, when the block does not lie in the register
// memory, none.
bool WriteValues(u32 base, bool real, const double* v, int n) {
    const u32 bits = (real ? 32u : 64u) * n;
    if (base + u64{bits} > 0xFFFFFFFFull || PlcReg_Ptr(base, bits) == nullptr) return false;
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        u8 b[8];
        if (real) {
            const float f = static_cast<float>(v[i]);
            u32 w;
            std::memcpy(&w, &f, 4);
            PutLe32(b, w);
            ok &= PlcReg_Set(base + 32u * i, b, 32) == 1;
        } else {
            u64 w;
            std::memcpy(&w, &v[i], 8);
            PutLe32(b, static_cast<u32>(w >> 32));
            PutLe32(b + 4, static_cast<u32>(w));
            ok &= PlcReg_Set(base + 64u * i, b, 32) == 1;
            ok &= PlcReg_Set(base + 64u * i + 32, b + 4, 32) == 1;
        }
    }
    return ok;
}

// Range checks written so that NaN fails them.
inline bool InRange(double v, double lo, double hi) { return v >= lo && v <= hi; }
inline bool TempOk(double f) { return InRange(f, -58.0, 302.0); }
inline bool PressureOk(double psi) { return InRange(psi, 0.0, 1500.0); }

inline double Exp(double x) { return std::pow(kE, x); }

// ITS-90 °C to IPTS-68 °C.
double Ipts68(double tc) {
    const double tau = tc / 630.0;
    double s = kIts90[7];
    for (int i = 6; i >= 0; --i) s = kIts90[i] + tau * s;
    return tc - tau * s;
}

// ITS-90 °F to IPTS-68 °F.
double TStar(double tF) { return Ipts68((tF - 32.0) / 1.8) * 1.8 + 32.0; }

struct Coefficients {
    double k0, k1, k2;
};

double Alpha(double rho, const Coefficients& k) { return (k.k0 / rho + k.k1) / rho + k.k2; }

double Shifted(double rho, const Coefficients& k) {
    const double a = kHalfDelta60 * Alpha(rho, k);
    const double b = (2 * k.k0 + k.k1 * rho) / (k.k0 + (k.k1 + k.k2 * rho) * rho);
    return rho * (1 + (Exp(a * (1 + 0.8 * a)) - 1) / (1 + a * (1 + 1.6 * a) * b));
}

double Ctl(double alpha60, double tStar) {
    const double dt = tStar - kBase68;
    return Exp(-alpha60 * dt * (1 + 0.8 * alpha60 * (dt + kDelta60)));
}

double Fp(double tStar, double rhoStar) {
    return Exp(-1.9947 + 0.00013427 * tStar + (793920 + 2326 * tStar) / (rhoStar * rhoStar));
}

double Cpl(double fp, double psi) { return 1 / (1 - 0.00001 * fp * psi); }

inline double Single(double v) { return static_cast<float>(v); }

u8 Temperature(const FlowArgs& a) {
    double t;
    if (!ReadValues(a.in, false, &t, 1)) return 0;
    const double t68 = Ipts68(a.a ? (t - 32.0) / 1.8 : t);
    const double out[2] = {t68, t68 * 1.8 + 32.0};
    return WriteValues(a.out, a.b, out, 2) ? 1 : 0;
}

u8 CtlCpl(const FlowArgs& a) {
    const bool givenAlpha = !a.b;
    double v[8];
    if (!ReadValues(a.in, a.a, v, givenAlpha ? 8 : 7)) return 0;
    const double t = v[0], p = v[1], rho60 = v[2], vol = v[3];
    const int k = givenAlpha ? 5 : 4;
    const Coefficients c{v[k], v[k + 1], v[k + 2]};
    if (!TempOk(t) || !PressureOk(p)) return 0;
    const double ts = TStar(t);
    const double rs = Shifted(rho60, c);
    const double alpha = givenAlpha ? v[4] : Alpha(rs, c);
    const double ctl = Ctl(alpha, ts);
    const double fp = Fp(ts, rs);
    const double cpl = Cpl(fp, p);
    const double ctpl = ctl * cpl;
    const double out[7] = {ctl, fp, cpl, ctpl, rho60 * ctpl, vol * Single(ctpl), alpha};
    return WriteValues(a.out, a.c, out, 7) ? 1 : 0;
}

u8 BaseDensity(const FlowArgs& a) {
    const bool givenAlpha = !a.a;
    const bool iterate = a.b;
    double v[13];
    const int n = 10 + (givenAlpha ? 1 : 0) + (iterate ? 0 : 2);
    if (!ReadValues(a.in, false, v, n)) return 0;
    const double rhoObs = v[0], tObs = v[1], t2 = v[2], p2 = v[3], vol = v[4], pObs = v[5];
    const Coefficients c{v[7], v[8], v[9]};
    const double given = givenAlpha ? v[10] : 0;
    auto alphaOf = [&](double rs) { return givenAlpha ? given : Alpha(rs, c); };

    double rho60 = 0, ctlObs = 0;
    if (iterate) {
        const double tF = tObs * 1.8 + 32;
        if (!TempOk(tF) || !PressureOk(pObs) || !InRange(rhoObs, 470.5, 1201.8)) return 0;
        const double ts = TStar(tF);
        const double d = tF - 60;
        double rho = std::clamp(rhoObs, 610.6, 1163.5);
        double smallest = 4294967295.0;
        bool found = false;
        for (int pass = 0; pass < 15; ++pass) {
            const double rs = Shifted(rho, c);
            const double alpha = alphaOf(rs);
            const double ctl = Ctl(alpha, ts);
            const double fp = Fp(ts, rs);
            const double cpl = Cpl(fp, pObs);
            const double ctpl = ctl * cpl;
            const double e = std::fabs(rhoObs - ctpl * rho);
            if (e < smallest) {
                smallest = e;
                if (e < 0.000001) {
                    rho60 = rho;
                    ctlObs = ctl;
                    found = true;
                }
            }
            const double step = (rhoObs / ctpl - rho) /
                                (fp * 2 * cpl * pObs * (0.02326 * tF + 7.9392) / (rho * rho) + 1 +
                                 2 * alpha * d * (1 + 1.6 * alpha * d));
            rho = rho + step;
            // NaN stays NaN here and never passes the convergence test.
            if (rho < 470.5) rho = 470.5;
            if (rho > 1201.8) rho = 1201.8;
        }
        if (!found) return 0;  // no pass converged: nothing to report
    } else {
        const int at = givenAlpha ? 11 : 10;
        rho60 = v[at];
        ctlObs = v[at + 1];
    }

    const double t2F = t2 * 1.8 + 32;
    const double psi2 = p2 / kPsiPerKpa;
    if (!TempOk(t2F) || !PressureOk(psi2)) return 0;
    const double rs = Shifted(rho60, c);
    const double alpha = alphaOf(rs);
    const double ts2 = TStar(t2F);
    const double ctl2 = Ctl(alpha, ts2);
    const double fp2 = Fp(ts2, rs);
    const double cpl2 = Cpl(fp2, psi2);
    const double ctpl = cpl2 * ctl2 / ctlObs;
    const double out[8] = {ctl2 / ctlObs, cpl2, fp2 / kPsiPerKpa, ctpl, rhoObs * Single(ctpl), vol * ctpl, rho60, ctlObs};
    return WriteValues(a.out, false, out, 8) ? 1 : 0;
}

u8 Round(const FlowArgs& a) {
    double x;
    if (!ReadValues(a.in, false, &x, 1)) return 0;
    // Powers of ten up to 10^22 are exact doubles; more decimals than that
    // cannot change a REAL result.
    const int n = std::min<int>(a.n, 22);
    double m = 1;
    for (int i = 0; i < n; ++i) m *= 10;
    const double y = x * m;
    double r = x;  // NaN and infinities pass through unrounded
    if (std::isfinite(y)) {
        double f = std::floor(y);
        if (static_cast<int>((y - f) * 1000) > 500) f += 1;
        r = f / m;
    }
    return WriteValues(a.out, true, &r, 1) ? 1 : 0;
}

u8 Arith(const FlowArgs& a) {
    double v[2];
    if (!ReadValues(a.in, a.a, v, 2)) return 0;
    const double r = a.op == kFlowDivide ? v[0] / v[1] : v[0] * v[1];
    return WriteValues(a.out, a.b, &r, 1) ? 1 : 0;
}

u8 Convert(const FlowArgs& a, bool toReal) {
    double v;
    if (!ReadValues(a.in, !toReal, &v, 1)) return 0;
    return WriteValues(a.out, toReal, &v, 1) ? 1 : 0;
}

}  // namespace

u8 Flow_Funs(const u16** ip, u8 flow) {
    // The program checker has verified the operands lie inside the program.
    Reader r{*ip, *ip + 16};
    FlowArgs a;
    const bool known = Parse(r, a);
    *ip = known ? r.p : *ip + 1;
    if (!known) return 0;
    if (flow == 0) return a.op == kFlowBaseDensity ? 0 : 1;
    switch (a.op) {
    case kFlowTemperature: return Temperature(a);
    case kFlowCtlCpl: return CtlCpl(a);
    case kFlowLrealToReal: return Convert(a, true);
    case kFlowRealToLreal: return Convert(a, false);
    case kFlowDivide:
    case kFlowMultiply: return Arith(a);
    case kFlowBaseDensity: return BaseDensity(a);
    default: return Round(a);
    }
}

u32 Flow_OperandWords(const u16* code, u32 avail) {
    Reader r{code, code + avail};
    FlowArgs a;
    if (!Parse(r, a)) return r.ok && avail > 0 ? 1 : 0;
    return static_cast<u32>(r.p - code);
}

u8 Flow_Instruction(const u16* code, u32& ip, u8 rung, bool) {
    const u16* p = code + ip;
    const u8 r = Flow_Funs(&p, rung != 0 ? 1 : 0);
    ip = static_cast<u32>(p - code);
    return r;
}

namespace {

u32 OperandWords(const u16* code, u32 avail, bool) { return Flow_OperandWords(code, avail); }

constexpr LadderRoutineRow kRoutines[] = {
    {381, 381, "FLOW", Flow_Instruction, 0, {}, OperandWords},
};

}  // namespace

const std::span<const LadderRoutineRow> kFlowRoutines{kRoutines};
