#include "iec/kernel/q4fbsignal.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4signal.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"

namespace {

constexpr i32 kWindow = 128;

// Moving average over the last N samples (N at most 128) of f32 (AVERAGE) or
// f64 (AVERAGEL) samples: sum (f64), average, samples, write index, N, held.
template <typename T>
struct AverageLayout {
    static constexpr u32 kSum = 0, kAvg = 8, kSamples = kAvg + sizeof(T), kIndex = kSamples + kWindow * sizeof(T),
                         kN = kIndex + 4, kHeld = kN + 4;
};

template <typename T>
T Sample(const u8* inst, u32 at) {
    if constexpr (sizeof(T) == 4) return Q4Fb_F32(inst, at);
    else return Q4Fb_F64(inst, at);
}
template <typename T>
void SetSample(u8* inst, u32 at, T v) {
    if constexpr (sizeof(T) == 4) Q4Fb_SetF32(inst, at, v);
    else Q4Fb_SetF64(inst, at, v);
}

template <typename T>
void AverageStep(u8* db, u8* inst, const u16* ops) {
    using L = AverageLayout<T>;
    i32 held = static_cast<i32>(Q4Fb_U32(inst, L::kHeld)), n = static_cast<i32>(Q4Fb_U32(inst, L::kN)),
        idx = static_cast<i32>(Q4Fb_U32(inst, L::kIndex));
    // Values in the instance come from a saved database: keep them in range.
    n = std::clamp(n, 0, kWindow);
    idx = (idx < 0 || idx >= kWindow) ? 0 : idx;
    held = std::clamp(held, 0, n);
    double sum = Q4Fb_F64(inst, L::kSum);
    T avg = 0;
    if (!Q4Fb_Bool(db, ops[0])) {
        n = std::clamp(Q4Fb_Dint(db, ops[2]), 0, kWindow);
        sum = 0;
        idx = held = 0;
    } else if (n != 0) {
        T x;
        if constexpr (sizeof(T) == 4) x = Q4Fb_Real(db, ops[1]);
        else x = Q4Fb_Lreal(db, ops[1]);
        u32 at = L::kSamples + static_cast<u32>(idx) * sizeof(T);
        if (held >= n) sum -= static_cast<double>(Sample<T>(inst, at));
        SetSample<T>(inst, at, x);
        sum += static_cast<double>(x);
        if (held < n) ++held;
        if (++idx >= n) idx = 0;
        avg = static_cast<T>(sum / held);
    }
    Q4Fb_SetF64(inst, L::kSum, sum);
    SetSample<T>(inst, L::kAvg, avg);
    Q4Fb_SetU32(inst, L::kIndex, static_cast<u32>(idx));
    Q4Fb_SetU32(inst, L::kN, static_cast<u32>(n));
    Q4Fb_SetU32(inst, L::kHeld, static_cast<u32>(held));
    if constexpr (sizeof(T) == 4) Q4Fb_PutReal(db, ops[3], avg);
    else Q4Fb_PutLreal(db, ops[3], avg);
}

template <typename T>
int Average(u16 cls, u32 size, int command, u8* db, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit && inst) Q4Fb_SetU32(inst, AverageLayout<T>::kN, kWindow);
    return Q4Fb_Run({cls, size, false}, command, inst, ops, 4, [&] { AverageStep<T>(db, inst, ops); });
}
static_assert(AverageLayout<float>::kHeld + 4 <= 536 && AverageLayout<double>::kHeld + 4 <= 1056);

}  // namespace

int Q4Stfb_Average(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Average<float>(17, 536, command, db, inst, ops);
}
int Q4Stfb_AverageL(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Average<double>(43, 1056, command, db, inst, ops);
}

// INTEGRAL: RUN, R1, XIN, X0, CYCLE -> Q, XOUT. Instance: stamp, integral.
int Q4Stfb_Integral(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbHotInit && inst && Q4Fb_U32(inst, 0)) Q4Fb_SetU32(inst, 0, Q4Fb_Now(db));
    return Q4Fb_Run({20, 8, false}, command, inst, ops, 7, [&] {
        u32 now = Q4Fb_Now(db);
        if (!Q4Fb_U32(inst, 0)) Q4Fb_SetU32(inst, 0, now);
        bool reset = Q4Fb_Bool(db, ops[1]);
        if (reset) {
            Q4Fb_SetF32(inst, 4, Q4Fb_Real(db, ops[3]));
            Q4Fb_SetU32(inst, 0, now);
        } else if (Q4Fb_Bool(db, ops[0])) {
            u32 e = Q4VM_Elapsed(now, Q4Fb_U32(inst, 0));
            if (e > Q4Fb_Time(db, ops[4])) {
                Q4Fb_SetU32(inst, 0, now);
                Q4Fb_SetF32(inst, 4, Q4Fb_F32(inst, 4) + static_cast<float>(e) * Q4Fb_Real(db, ops[2]));
            }
        } else {
            Q4Fb_SetU32(inst, 0, now);
        }
        Q4Fb_PutBool(db, ops[5], !reset);
        Q4Fb_PutReal(db, ops[6], Q4Fb_F32(inst, 4));
    });
}

// DERIVATE: RUN, XIN, CYCLE -> XOUT. Instance: stamp (all ones: not
// started), the last three samples newest first, output.
namespace {
constexpr u32 kDvStamp = 0, kDvX1 = 4, kDvX2 = 8, kDvX3 = 12, kDvOut = 16, kDvFresh = 0xFFFFFFFFu;
}

int Q4Stfb_Derivate(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit && inst) Q4Fb_SetU32(inst, kDvStamp, kDvFresh);
    if (command == kFbHotInit && inst && Q4Fb_U32(inst, kDvStamp) != kDvFresh) Q4Fb_SetU32(inst, kDvStamp, Q4Fb_Now(db));
    return Q4Fb_Run({15, 20, false}, command, inst, ops, 4, [&] {
        u32 now = Q4Fb_Now(db);
        float x = Q4Fb_Real(db, ops[1]);
        if (Q4Fb_U32(inst, kDvStamp) == kDvFresh) {
            Q4Fb_SetF32(inst, kDvX1, x);
            Q4Fb_SetF32(inst, kDvX2, x);
            Q4Fb_SetF32(inst, kDvX3, x);
            Q4Fb_SetU32(inst, kDvStamp, now);
        }
        u32 e = Q4VM_Elapsed(now, Q4Fb_U32(inst, kDvStamp));
        if (Q4Fb_Bool(db, ops[0]) && e != 0 && e > Q4Fb_Time(db, ops[2])) {
            float x1 = Q4Fb_F32(inst, kDvX1), x2 = Q4Fb_F32(inst, kDvX2), x3 = Q4Fb_F32(inst, kDvX3);
            Q4Fb_SetF32(inst, kDvOut, (3.0f * (x - x3) + x1 - x2) / (10.0f * static_cast<float>(e)));
            Q4Fb_SetF32(inst, kDvX3, x2);
            Q4Fb_SetF32(inst, kDvX2, x1);
            Q4Fb_SetF32(inst, kDvX1, x);
            Q4Fb_SetU32(inst, kDvStamp, now);
        }
        Q4Fb_PutReal(db, ops[3], Q4Fb_F32(inst, kDvOut));
    });
}

// RAMP: IN, ASC, DSC, TM, RST -> Y. Instance: stamp (0 = never run), output,
// rates and time base as taken at the first execution or RST. Its stamp is
// not moved on a hot restart: the first step after one covers the stop.
namespace {
constexpr u32 kRpStamp = 0, kRpOut = 4, kRpAsc = 8, kRpDsc = 12, kRpBase = 16;
}

int Q4Stfb_Ramp(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({27, 20, false}, command, inst, ops, 6, [&] {
        u32 now = Q4Fb_Now(db);
        float in = Q4Fb_Real(db, ops[0]);
        if (Q4Fb_Bool(db, ops[4]) || !Q4Fb_U32(inst, kRpStamp)) {
            Q4Fb_SetF32(inst, kRpAsc, Q4Fb_Real(db, ops[1]));
            Q4Fb_SetF32(inst, kRpDsc, Q4Fb_Real(db, ops[2]));
            Q4Fb_SetF32(inst, kRpBase, static_cast<float>(Q4Fb_Time(db, ops[3])));
            Q4Fb_SetF32(inst, kRpOut, in);
        } else if (u32 t = Q4VM_Elapsed(now, Q4Fb_U32(inst, kRpStamp))) {
            float out = Q4Fb_F32(inst, kRpOut), asc = Q4Fb_F32(inst, kRpAsc), dsc = Q4Fb_F32(inst, kRpDsc),
                  base = Q4Fb_F32(inst, kRpBase);
            if (in > out && asc > 0.0f) out = std::min(in, out + static_cast<float>(t) * asc / base);
            else if (in < out && dsc > 0.0f) out = std::max(in, out - static_cast<float>(t) * dsc / base);
            Q4Fb_SetF32(inst, kRpOut, out);
        }
        Q4Fb_SetU32(inst, kRpStamp, now);
        Q4Fb_PutReal(db, ops[5], Q4Fb_F32(inst, kRpOut));
    });
}

// HYSTERACC: X, EPS, K -> Y. Instance: accumulated deviation (f64), held
// value, stamp, started. Not restamped on a hot restart.
namespace {
constexpr u32 kHaAcc = 0, kHaHeld = 8, kHaStamp = 12, kHaStarted = 16;
}

int Q4Stfb_HysterAcc(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({54, 24, false}, command, inst, ops, 4, [&] {
        u32 now = Q4Fb_Now(db);
        float x = Q4Fb_Real(db, ops[0]), eps = Q4Fb_Real(db, ops[1]), k = Q4Fb_Real(db, ops[2]);
        if (!inst[kHaStarted]) {
            inst[kHaStarted] = 1;
            Q4Fb_SetF32(inst, kHaHeld, x);
            Q4Fb_SetF64(inst, kHaAcc, 0);
        } else {
            float d = std::fabs(x - Q4Fb_F32(inst, kHaHeld));
            double acc = Q4Fb_F64(inst, kHaAcc);
            if (d > eps) {
                Q4Fb_SetF32(inst, kHaHeld, x);
                acc = 0;
            } else {
                acc += static_cast<double>(Q4VM_Elapsed(now, Q4Fb_U32(inst, kHaStamp))) * d / 1000.0;
                if (acc > static_cast<double>(eps) * k) {
                    Q4Fb_SetF32(inst, kHaHeld, x);
                    acc = 0;
                }
            }
            Q4Fb_SetF64(inst, kHaAcc, acc);
        }
        Q4Fb_SetU32(inst, kHaStamp, now);
        Q4Fb_PutReal(db, ops[3], Q4Fb_F32(inst, kHaHeld));
    });
}

namespace {

float At(const u8* a, u32 k) { return std::bit_cast<float>(GetLe32(a + 4 * k)); }

bool Increasing(const u8* a, u32 n) {
    for (u32 k = 0; k + 1 < n; ++k)
        if (!(At(a, k) < At(a, k + 1))) return false;
    return true;
}

// First k with a[k] <= x <= a[k+1], 0 when none.
u32 Segment(const u8* a, u32 n, float x) {
    for (u32 k = 0; k + 1 < n; ++k)
        if (At(a, k) <= x && x <= At(a, k + 1)) return k;
    return 0;
}

float Lerp(float y0, float y1, float x0, float x1, float x) { return y0 + (y1 - y0) / (x1 - x0) * (x - x0); }

}  // namespace

// CURVELIN: X, XAXIS, NX, YAXIS, NY -> Y, OK, ERR. The sizes are plain numbers.
int Q4Stfb_CurveLin(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({44, 0, true}, command, inst, ops, 8, [&] {
        float x = Q4Fb_Real(db, ops[0]), y = 0.0f;
        bool ok = false;
        i32 err = -1;
        u32 nx = ops[2], ny = ops[4];
        const u8* xa = nx > 1 ? Q4Fb_Array(db, kQ4TypeReal, ops[1], nx) : nullptr;
        const u8* ya = nx > 1 ? Q4Fb_Array(db, kQ4TypeReal, ops[3], ny) : nullptr;
        if (nx <= 1 || nx != ny || !xa || !ya) {
            err = 1;
        } else if (!Increasing(xa, nx)) {
            err = 2;
        } else if (x < At(xa, 0)) {
            y = At(ya, 0);
            err = 4;
        } else if (x > At(xa, nx - 1)) {
            y = At(ya, nx - 1);
            err = 5;
        } else {
            u32 k = Segment(xa, nx, x);
            y = Lerp(At(ya, k), At(ya, k + 1), At(xa, k), At(xa, k + 1), x);
            ok = true;
            err = 0;
        }
        Q4Fb_PutReal(db, ops[5], y);
        Q4Fb_PutBool(db, ops[6], ok);
        Q4Fb_PutDint(db, ops[7], err);
    });
}

// SURFLIN: X, Y, XAXIS, NX, YAXIS, NY, ZTAB, NZ -> Z, OK, ERR; ZTAB holds NX
// rows of NY values.
int Q4Stfb_SurfLin(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({45, 0, true}, command, inst, ops, 11, [&] {
        float x = Q4Fb_Real(db, ops[0]), y = Q4Fb_Real(db, ops[1]), z = 0.0f;
        bool ok = false;
        i32 err = -1;
        u32 nx = ops[3], ny = ops[5], nz = ops[7];
        bool sizes = nx > 1 && ny > 1 && nz == nx * ny;
        const u8* xa = sizes ? Q4Fb_Array(db, kQ4TypeReal, ops[2], nx) : nullptr;
        const u8* ya = sizes ? Q4Fb_Array(db, kQ4TypeReal, ops[4], ny) : nullptr;
        const u8* za = sizes ? Q4Fb_Array(db, kQ4TypeReal, ops[6], nz) : nullptr;
        if (!xa || !ya || !za) {
            err = 1;
        } else if (!Increasing(xa, nx)) {
            err = 2;
        } else if (!Increasing(ya, ny)) {
            err = 3;
        } else {
            float t = std::clamp(x, At(xa, 0), At(xa, nx - 1)), u = std::clamp(y, At(ya, 0), At(ya, ny - 1));
            if (t != x) err = 4;
            else if (u != y) err = 5;
            else ok = true, err = 0;
            u32 i = Segment(xa, nx, t), j = Segment(ya, ny, u);
            auto zij = [&](u32 r, u32 c) { return At(za, r * ny + c); };
            float z0 = Lerp(zij(i, j), zij(i, j + 1), At(ya, j), At(ya, j + 1), u);
            float z1 = Lerp(zij(i + 1, j), zij(i + 1, j + 1), At(ya, j), At(ya, j + 1), u);
            z = Lerp(z0, z1, At(xa, i), At(xa, i + 1), t);
        }
        Q4Fb_PutReal(db, ops[8], z);
        Q4Fb_PutBool(db, ops[9], ok);
        Q4Fb_PutDint(db, ops[10], err);
    });
}

// SIGPLAY: IN, ID, RST, TMIN -> END, Q, ET. Instance (32 bytes): the loaded
// signal's offset in the code image (0: none; an offset, not an address, so
// a saved database stays valid), value, loaded number, play position, stamp,
// time of the last output update (0: none), duration, done.
namespace {
constexpr u32 kSpSignal = 0, kSpValue = 4, kSpNumber = 8, kSpPos = 12, kSpStamp = 16, kSpUpdate = 20, kSpDuration = 24,
              kSpDone = 28;

void Load(u8* db, u8* inst, i32 id) {
    Q4SignalView s = id > 0 ? Q4Signal_Find(Q4VM_CodeOf(db), static_cast<u32>(id)) : Q4SignalView{};
    Q4Fb_SetU32(inst, kSpSignal, s.offset);
    Q4Fb_SetU32(inst, kSpDuration, s.duration);
    Q4Fb_SetU32(inst, kSpNumber, static_cast<u32>(id));
}
}  // namespace

int Q4Stfb_SigPlay(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbHotInit && inst) {
        Q4Fb_SetU32(inst, kSpStamp, Q4Fb_Now(db));
        Q4Fb_SetU32(inst, kSpUpdate, 0);
        if (Q4Fb_U32(inst, kSpSignal)) Load(db, inst, static_cast<i32>(Q4Fb_U32(inst, kSpNumber)));
    }
    return Q4Fb_Run({40, 32, false}, command, inst, ops, 7, [&] {
        const Q4Code& code = Q4VM_CodeOf(db);
        u32 now = Q4Fb_Now(db);
        bool rst = Q4Fb_Bool(db, ops[2]);
        i32 id = Q4Fb_Dint(db, ops[1]);
        if (!rst && static_cast<u32>(id) != Q4Fb_U32(inst, kSpNumber)) Load(db, inst, id);
        if (!Q4Fb_U32(inst, kSpStamp)) Q4Fb_SetU32(inst, kSpStamp, now);
        // The loaded signal, checked again against the image.
        Q4SignalView s = Q4Signal_At(code, Q4Fb_U32(inst, kSpSignal));
        u32 e = Q4VM_Elapsed(now, Q4Fb_U32(inst, kSpStamp));
        if (rst) {
            std::memset(inst, 0, 32);
        } else if (Q4Fb_Bool(db, ops[0]) && !inst[kSpDone] && s.offset && e != 0) {
            u32 pos = static_cast<u32>(std::min<u64>(static_cast<u64>(Q4Fb_U32(inst, kSpPos)) + e, s.duration));
            u32 last = Q4Fb_U32(inst, kSpUpdate);
            if (pos < s.duration) {
                if (!last || Q4VM_Elapsed(now, last) >= Q4Fb_Time(db, ops[3])) {
                    Q4Fb_SetF32(inst, kSpValue, Q4Signal_Value(code, s, pos));
                    Q4Fb_SetU32(inst, kSpUpdate, now);
                }
            } else if (!last) {
                // Never shown since the start: show the value at the end
                // once; done follows at the next execution.
                Q4Fb_SetF32(inst, kSpValue, Q4Signal_Value(code, s, pos));
                Q4Fb_SetU32(inst, kSpUpdate, now);
            } else {
                inst[kSpDone] = 1;
                Q4Fb_SetF32(inst, kSpValue, Q4Signal_LastValue(code, s));
                Q4Fb_SetU32(inst, kSpUpdate, now);
            }
            Q4Fb_SetU32(inst, kSpPos, pos);
        }
        Q4Fb_SetU32(inst, kSpStamp, now);
        Q4Fb_PutBool(db, ops[4], inst[kSpDone]);
        Q4Fb_PutReal(db, ops[5], Q4Fb_F32(inst, kSpValue));
        Q4Fb_PutTime(db, ops[6], Q4Fb_U32(inst, kSpPos));
    });
}
