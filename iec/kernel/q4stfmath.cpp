#include "iec/kernel/q4stfmath.h"

#include <cmath>

#include "iec/kernel/q4stfops.h"

namespace {

// Degree conversion: the REAL functions use the single-precision constant,
// the LREAL ones a double.
constexpr float kDegF = 57.29578f;
constexpr double kDegD = 57.29577951308;

bool Degrees(u8* db) {
    const u8* st = Q4VM_Status(db);
    return st && (GetLe16(st + kQ4StFlags) & kVmFlagDegrees);
}

// One REAL (or LREAL) input, one result of the same width; the result is
// computed only when it may be stored.
using RealFn = float (*)(float x, bool degrees);
using LrealFn = double (*)(double x, bool degrees);
using Real2Fn = float (*)(float a, float b, bool degrees);
using Lreal2Fn = double (*)(double a, double b, bool degrees);

int Real1(u8* db, const u16* ops, RealFn f) {
    u8 *r = Q4Stf_D32(db, ops[0]), *x = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, x)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) Q4Stf_PutF32(r, f(Q4Stf_F32(x), Degrees(db)));
    return 1;
}
int Lreal1(u8* db, const u16* ops, LrealFn f) {
    u8 *r = Q4Stf_D64(db, ops[0]), *x = Q4Stf_D64(db, ops[1]);
    if (!Q4Stf_All(r, x)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData64, ops[0])) Q4Stf_PutF64(r, f(Q4Stf_F64(x), Degrees(db)));
    return 1;
}
int Real2(u8* db, const u16* ops, Real2Fn f) {
    u8 *r = Q4Stf_D32(db, ops[0]), *a = Q4Stf_D32(db, ops[1]), *b = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(r, a, b)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) Q4Stf_PutF32(r, f(Q4Stf_F32(a), Q4Stf_F32(b), Degrees(db)));
    return 1;
}
int Lreal2(u8* db, const u16* ops, Lreal2Fn f) {
    u8 *r = Q4Stf_D64(db, ops[0]), *a = Q4Stf_D64(db, ops[1]), *b = Q4Stf_D64(db, ops[2]);
    if (!Q4Stf_All(r, a, b)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData64, ops[0])) Q4Stf_PutF64(r, f(Q4Stf_F64(a), Q4Stf_F64(b), Degrees(db)));
    return 1;
}

// DINT inputs; the result word is produced by f from the n input words.
using WordsFn = u32 (*)(const u32* in);
int Words(u8* db, const u16* ops, int n, WordsFn f) {
    u8* r = Q4Stf_D32(db, ops[0]);
    u32 in[3] = {};
    for (int i = 0; i < n; ++i) {
        u8* p = Q4Stf_D32(db, ops[1 + i]);
        if (!Q4Stf_All(r, p)) return 0;
        in[i] = GetLe32(p);
    }
    if (!r) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, f(in));
    return 1;
}
i32 S(u32 w) { return static_cast<i32>(w); }

// X with its sign bit inverted unless X >= 0 (so -0 stays and a NaN flips).
float AbsF(float x, bool) { return x >= 0 ? x : BitsFloat(FloatBits(x) ^ 0x80000000u); }
double AbsD(double x, bool) { return x >= 0 ? x : -x; }

double Trunc(double x) { return x >= 0 ? std::floor(x) : std::ceil(x); }

// The inverse functions: a REAL result in degrees is the rounded radian
// result times the constant, in double, rounded again.
float ToDegreesF(float radians, bool degrees) {
    return degrees ? static_cast<float>(static_cast<double>(radians) * static_cast<double>(kDegF)) : radians;
}
double ToDegreesD(double radians, bool degrees) { return degrees ? radians * kDegD : radians; }

// Tangent in double, with the replacement value where the cosine vanishes.
double TanOf(double x, double replacement) {
    const double c = std::cos(x);
    return (c > -1e-307 && c < 1e-307) ? replacement : std::tan(x);
}

float AsinF(float x, bool deg) {
    return ToDegreesF(x < -1 || x > 1 ? 0.0f : static_cast<float>(std::asin(static_cast<double>(x))), deg);
}
float AcosF(float x, bool deg) {
    return ToDegreesF(x < -1 || x > 1 ? 0.0f : static_cast<float>(std::acos(static_cast<double>(x))), deg);
}
double AsinD(double x, bool deg) { return ToDegreesD(x < -1 || x > 1 ? 0.0 : std::asin(x), deg); }
double AcosD(double x, bool deg) { return ToDegreesD(x < -1 || x > 1 ? 0.0 : std::acos(x), deg); }

// EXPT's magnitude by squaring, so that any N takes at most 32 steps: the
// clamp to 1e307 applies to the magnitude, whose growth (or decay) is
// monotonic, and the sign is that of IN for an odd N.
double ExptMagnitude(double x, u64 n, bool* huge) {
    double w = 1.0, b = x;
    *huge = false;
    while (n) {
        if (n & 1) {
            w *= b;
            if (w >= 1e307) {
                *huge = true;
                return 1e307;
            }
        }
        n >>= 1;
        if (n) {
            b *= b;
            if (b >= 1e307 && x >= 1.0) {
                *huge = true;
                return 1e307;
            }
        }
    }
    return w;
}

// The step k (1..n) at which |x|^k first reaches 1e307, or 0 when it does
// not within n steps (also for |x| <= 1). Found from the logarithm and then
// made exact with the same products the power uses.
u64 CrossingStep(double ax, u64 n) {
    bool huge = false;
    if (!(ax > 1.0) || ExptMagnitude(ax, n, &huge) < 1e307) return 0;
    double guess = std::ceil(std::log(1e307) / std::log(ax));
    u64 k = guess < 1 ? 1 : guess > static_cast<double>(n) ? n : static_cast<u64>(guess);
    while (k > 1 && ExptMagnitude(ax, k - 1, &huge) >= 1e307) --k;
    while (k < n && ExptMagnitude(ax, k, &huge) < 1e307) ++k;
    return k;
}

constexpr i32 kLiteralSteps = 100000;

// The literal definition: W = 1, multiplied (N > 0) or divided (N < 0) by X
// |N| times, stopping as soon as W passes +-1e307 (or comes within +-1e-307),
// then clamped there.
double ExptLiteral(double x, i32 n) {
    double w = 1.0;
    if (n > 0) {
        for (i32 i = 0; i < n; ++i) {
            w *= x;
            if (w >= 1e307 || w <= -1e307) break;
        }
        return w > 1e307 ? 1e307 : w < -1e307 ? -1e307 : w;
    }
    for (; n < 0 && (w > 1e-307 || w < -1e-307); ++n) w /= x;
    return (w > 0 && w < 1e-307) ? 1e-307 : (w < 0 && w > -1e-307) ? -1e-307 : w;
}

// The process's pseudo-random generator: never seeded, shared by every
// application, 31-bit non-negative values.
struct RandState {
    u32 x = 0x2545F491u;
} g_rand;
u32 NextRandom() {
    // xorshift32, top bit dropped.
    u32 x = g_rand.x;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    g_rand.x = x;
    return x >> 1;
}

}  // namespace

// The literal definition multiplies (N > 0) or divides (N < 0) up to |N|
// times and stops, with its value clamped to +-1e307 or +-1e-307, the first
// time the magnitude passes the clamp; the sign is then that of the step it
// stopped at. Beyond 100,000 steps the same result in bounded time: the
// magnitude by squaring, the stopping step from CrossingStep, the sign from
// the parity of the steps taken (an odd count of a negative X, -0 included,
// is negative).
double Q4StfMath_ExptValue(double x, i32 n) {
    if (n == 0) return 1.0;
    if (x == 0 && n < 0) return 1e307;
    // Up to 100,000 steps (well under a millisecond) the literal loop itself,
    // so that a product that ends right at the clamp stops where it does.
    if (n >= -kLiteralSteps && n <= kLiteralSteps) return ExptLiteral(x, n);
    const u64 e = n < 0 ? static_cast<u64>(-static_cast<i64>(n)) : static_cast<u64>(n);
    const double ax = std::fabs(x);
    const u64 stop = CrossingStep(ax, e);
    const u64 steps = stop ? stop : e;
    const bool negative = std::signbit(x) && (steps & 1);
    double w;
    if (stop) {
        w = n > 0 ? 1e307 : 1e-307;
    } else {
        bool huge = false;
        const double m = ExptMagnitude(ax, e, &huge);
        w = n > 0 ? m : 1.0 / m;
    }
    if (std::isnan(x)) return x;
    return negative ? -w : w;
}

int Q4Stf_Abs(u8* db, const u16* ops, u16) { return Real1(db, ops, AbsF); }
int Q4Stf_AbsL(u8* db, const u16* ops, u16) { return Lreal1(db, ops, AbsD); }

int Q4Stf_Max(u8* db, const u16* ops, u16) {
    return Words(db, ops, 2, [](const u32* v) { return S(v[0]) > S(v[1]) ? v[0] : v[1]; });
}
int Q4Stf_Min(u8* db, const u16* ops, u16) {
    return Words(db, ops, 2, [](const u32* v) { return S(v[0]) < S(v[1]) ? v[0] : v[1]; });
}
int Q4Stf_Limit(u8* db, const u16* ops, u16) {
    return Words(db, ops, 3, [](const u32* v) { return S(v[1]) < S(v[0]) ? v[0] : S(v[2]) < S(v[1]) ? v[2] : v[1]; });
}
int Q4Stf_Mod(u8* db, const u16* ops, u16) {
    return Words(db, ops, 2, [](const u32* v) {
        // INT_MIN % -1 never happens: B <= 0 answers -1 first.
        return S(v[1]) <= 0 ? 0xFFFFFFFFu : static_cast<u32>(S(v[0]) % S(v[1]));
    });
}
int Q4Stf_Rand(u8* db, const u16* ops, u16) {
    return Words(db, ops, 1, [](const u32* v) {
        if (S(v[0]) == 0) return 0u;
        // Truncating remainder of a non-negative number: 0..|N|-1 (also for
        // N = INT_MIN, whose magnitude is above every 31-bit value).
        const i64 n = S(v[0]);
        return static_cast<u32>(static_cast<i64>(NextRandom()) % n);
    });
}

int Q4Stf_Odd(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *in = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, in)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) *r = in[0] & 1;
    return 1;
}

int Q4Stf_Sel(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D32(db, ops[0]), *g = Q4Stf_D8(db, ops[1]), *in0 = Q4Stf_D32(db, ops[2]),
       *in1 = Q4Stf_D32(db, ops[3]);
    if (!Q4Stf_All(r, g, in0, in1)) return 0;
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, GetLe32(*g ? in1 : in0));
    return 1;
}

namespace {
// MUX: K selects one of the n 32-bit inputs after it; any other K gives 0.
int Mux(u8* db, const u16* ops, u32 n) {
    u8 *r = Q4Stf_D32(db, ops[0]), *k = Q4Stf_D32(db, ops[1]);
    if (!Q4Stf_All(r, k)) return 0;
    u8* in[8] = {};
    for (u32 i = 0; i < n; ++i)
        if (!(in[i] = Q4Stf_D32(db, ops[2 + i]))) return 0;
    const u32 sel = GetLe32(k);  // a negative K is a large unsigned number
    if (Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) PutLe32(r, sel < n ? GetLe32(in[sel]) : 0u);
    return 1;
}
}  // namespace
int Q4Stf_Mux4(u8* db, const u16* ops, u16) { return Mux(db, ops, 4); }
int Q4Stf_Mux8(u8* db, const u16* ops, u16) { return Mux(db, ops, 8); }

int Q4Stf_ScaleLin(u8* db, const u16* ops, u16) {
    u8* p[6];
    for (int i = 0; i < 6; ++i)
        if (!(p[i] = Q4Stf_D32(db, ops[i]))) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    const float in = Q4Stf_F32(p[1]), imin = Q4Stf_F32(p[2]), imax = Q4Stf_F32(p[3]), omin = Q4Stf_F32(p[4]),
                omax = Q4Stf_F32(p[5]);
    float r;
    if (imin >= imax) {
        r = in;
    } else if (in < imin) {
        r = omin;
    } else if (in > imax) {
        r = omax;
    } else {
        // Each operation rounded to single precision, in this order (the
        // build keeps the compiler from fusing a multiply and an add).
        const float d = imax - imin;
        const float t = (omin * imax - omax * imin) / d;
        r = t + ((omax - omin) * in) / d;
    }
    Q4Stf_PutF32(p[0], r);
    return 1;
}

int Q4Stf_Expt(u8* db, const u16* ops, u16) {
    u8 *res = Q4Stf_D32(db, ops[0]), *in = Q4Stf_D32(db, ops[1]), *np = Q4Stf_D32(db, ops[2]);
    if (!Q4Stf_All(res, in, np)) return 0;
    if (!Q4VMStf_CanStore(db, kQ4LockData32, ops[0])) return 1;
    const i32 n = S(GetLe32(np));
    const double x = Q4Stf_F32(in);
    Q4Stf_PutF32(res, static_cast<float>(Q4StfMath_ExptValue(x, n)));
    return 1;
}

int Q4Stf_Pow(u8* db, const u16* ops, u16) {
    return Real2(db, ops, [](float a, float b, bool) {
        return a == 0 && b == 0 ? 0.0f : static_cast<float>(std::pow(static_cast<double>(a), static_cast<double>(b)));
    });
}
int Q4Stf_PowL(u8* db, const u16* ops, u16) {
    return Lreal2(db, ops, [](double a, double b, bool) { return a == 0 && b == 0 ? 0.0 : std::pow(a, b); });
}
int Q4Stf_Sqrt(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool) { return x <= 0 ? 0.0f : static_cast<float>(std::sqrt(static_cast<double>(x))); });
}
int Q4Stf_SqrtL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool) { return x <= 0 ? 0.0 : std::sqrt(x); });
}
int Q4Stf_Ln(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool) { return x <= 0 ? -1e37f : static_cast<float>(std::log(static_cast<double>(x))); });
}
int Q4Stf_LnL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool) { return x <= 0 ? -1e307 : std::log(x); });
}
int Q4Stf_Log(u8* db, const u16* ops, u16) {
    return Real1(db, ops,
                 [](float x, bool) { return x <= 0 ? -1e37f : static_cast<float>(std::log10(static_cast<double>(x))); });
}
int Q4Stf_LogL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool) { return x <= 0 ? -1e307 : std::log10(x); });
}
int Q4Stf_Exp(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool) { return static_cast<float>(std::exp(static_cast<double>(x))); });
}
int Q4Stf_ExpL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool) { return std::exp(x); });
}
int Q4Stf_Trunc(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool) { return static_cast<float>(Trunc(x)); });
}
int Q4Stf_TruncL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool) { return Trunc(x); });
}
int Q4Stf_ModR(u8* db, const u16* ops, u16) {
    return Real2(db, ops, [](float a, float b, bool) {
        return b <= 0 ? -1.0f : static_cast<float>(std::fmod(static_cast<double>(a), static_cast<double>(b)));
    });
}
int Q4Stf_ModLR(u8* db, const u16* ops, u16) {
    return Lreal2(db, ops, [](double a, double b, bool) { return b <= 0 ? -1.0 : std::fmod(a, b); });
}

int Q4Stf_UseDegrees(u8* db, const u16* ops, u16) {
    u8 *r = Q4Stf_D8(db, ops[0]), *on = Q4Stf_D8(db, ops[1]), *st = Q4VM_Status(db);
    if (!Q4Stf_All(r, on, st)) return 0;
    const u16 f = GetLe16(st + kQ4StFlags);
    if (Q4VMStf_CanStore(db, kQ4LockData8, ops[0])) *r = (f & kVmFlagDegrees) ? 1 : 0;
    PutLe16(st + kQ4StFlags, *on ? static_cast<u16>(f | kVmFlagDegrees) : static_cast<u16>(f & ~kVmFlagDegrees));
    return 1;
}

int Q4Stf_Sin(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool deg) { return std::sin(deg ? x / kDegF : x); });
}
int Q4Stf_Cos(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool deg) { return std::cos(deg ? x / kDegF : x); });
}
int Q4Stf_Tan(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool deg) {
        const double v = deg ? static_cast<double>(x) / static_cast<double>(kDegF) : static_cast<double>(x);
        return static_cast<float>(TanOf(v, 1e37));
    });
}
int Q4Stf_Asin(u8* db, const u16* ops, u16) { return Real1(db, ops, AsinF); }
int Q4Stf_Acos(u8* db, const u16* ops, u16) { return Real1(db, ops, AcosF); }
int Q4Stf_Atan(u8* db, const u16* ops, u16) {
    return Real1(db, ops, [](float x, bool deg) { return ToDegreesF(std::atan(x), deg); });
}
int Q4Stf_Atan2(u8* db, const u16* ops, u16) {
    return Real2(db, ops, [](float y, float x, bool deg) {
        return ToDegreesF(y == 0 && x == 0 ? 0.0f
                                           : static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x))),
                          deg);
    });
}
int Q4Stf_SinL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool deg) { return std::sin(deg ? x / kDegD : x); });
}
int Q4Stf_CosL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool deg) { return std::cos(deg ? x / kDegD : x); });
}
int Q4Stf_TanL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool deg) { return TanOf(deg ? x / kDegD : x, 1e307); });
}
int Q4Stf_AsinL(u8* db, const u16* ops, u16) { return Lreal1(db, ops, AsinD); }
int Q4Stf_AcosL(u8* db, const u16* ops, u16) { return Lreal1(db, ops, AcosD); }
int Q4Stf_AtanL(u8* db, const u16* ops, u16) {
    return Lreal1(db, ops, [](double x, bool deg) { return ToDegreesD(std::atan(x), deg); });
}
int Q4Stf_Atan2L(u8* db, const u16* ops, u16) {
    return Lreal2(db, ops,
                  [](double y, double x, bool deg) { return ToDegreesD(y == 0 && x == 0 ? 0.0 : std::atan2(y, x), deg); });
}
