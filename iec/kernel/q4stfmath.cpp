#include "iec/kernel/q4stfmath.h"

#include <cstring>

#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4vmdb.h"

namespace {

// EXPT (IN REAL, N DINT) -> REAL: IN to the integer power N in double
// precision, clamped to +-1e307 (and to +-1e-307 for negative powers), then
// rounded to single precision. Computed by squaring, so that any N takes at
// most 32 steps; the clamps apply to the magnitude, whose growth (or decay)
// is monotonic, and the sign is that of IN for an odd N.
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

}  // namespace

int Q4Stf_Expt(u8* db, const u16* ops, u16) {
    u8* res = Q4Tools_Element(db, kDbData32, ops[0]);
    u8* in = Q4Tools_Element(db, kDbData32, ops[1]);
    u8* np = Q4Tools_Element(db, kDbData32, ops[2]);
    if (!res || !in || !np) return 0;
    if (!Q4VMStf_CanStore(db, 0x04, ops[0])) return 1;
    float f;
    std::memcpy(&f, in, 4);
    i32 n = static_cast<i32>(GetLe32(np));
    double x = f;
    u64 e = n < 0 ? static_cast<u64>(-static_cast<i64>(n)) : static_cast<u64>(n);
    bool negative = x < 0 && (e & 1), huge = false;
    double w;
    if (n == 0) {
        w = 1.0;
    } else if (x == 0) {
        w = n > 0 ? 0.0 : 1e307;
    } else {
        double m = ExptMagnitude(x < 0 ? -x : x, e, &huge);
        // A negative power of a huge magnitude is below 1e-307: 0 in single
        // precision; of a vanishing one, infinity.
        w = n > 0 ? m : (huge ? 0.0 : 1.0 / m);
        if (negative) w = -w;
    }
    // 1e307 and beyond round to infinity in single precision.
    float r = static_cast<float>(w);
    std::memcpy(res, &r, 4);
    return 1;
}
