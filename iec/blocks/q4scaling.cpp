#include "iec/blocks/q4scaling.h"

#include "iec/blocks/q4fbctl.h"

namespace {
// The full turn the panel program's conversions use (not a full-precision
// two pi), so that both give the same values.
constexpr double kTurn = 6.2831853;
}  // namespace

// in, in-min, in-max, out-min, out-max; out value. A zero input span
// divides by 1; the quotient truncates toward zero.
int Q4Ctl_ScaleInt(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] {
        const i32 in = Q4Ctl_Int(db, ops[0]), inMin = Q4Ctl_Int(db, ops[1]), inMax = Q4Ctl_Int(db, ops[2]);
        const i32 outMin = Q4Ctl_Int(db, ops[3]), outMax = Q4Ctl_Int(db, ops[4]);
        i32 d = static_cast<i16>(inMax - inMin);
        if (d == 0) d = 1;
        const i32 r = static_cast<i32>(static_cast<i16>(outMax - outMin)) * (in - inMin);
        Q4Ctl_PutInt(db, ops[5], static_cast<i16>(outMin + r / d));
    });
}

int Q4Ctl_ScaleReal(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 6, [&] {
        const float in = Q4Fb_Real(db, ops[0]), inMin = Q4Fb_Real(db, ops[1]), inMax = Q4Fb_Real(db, ops[2]);
        const float outMin = Q4Fb_Real(db, ops[3]), outMax = Q4Fb_Real(db, ops[4]);
        float d = inMax - inMin;
        if (d == 0.0f) d = 1.0f;
        const float v = (in - inMin) * (outMax - outMin) / d + outMin;
        Q4Fb_PutReal(db, ops[5], v);
    });
}

int Q4Ctl_DegToRad(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] {
        Q4Fb_PutReal(db, ops[1], static_cast<float>(static_cast<double>(Q4Fb_Real(db, ops[0])) * kTurn / 360.0));
    });
}

int Q4Ctl_RadToDeg(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] {
        Q4Fb_PutReal(db, ops[1], static_cast<float>(static_cast<double>(Q4Fb_Real(db, ops[0])) * 360.0 / kTurn));
    });
}
