#include "iec/blocks/q4pid.h"

#include <cmath>
#include <tuple>
#include <utility>

#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4types.h"
#include "ladder/pid.h"
#include "platform/fpga.h"

u8 pid_Instance = 0;

void Q4Pid_Reset() { pid_Instance = 0; }

namespace {

// REAL to INT, truncated toward zero and saturated; NaN gives 0.
i16 ToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<i16>(v);
}

enum class Form { kInd, kIsa };

// Operand positions of a loop block (after the block and its count).
template <bool real, bool autoTune>
struct LoopOps {
    static constexpr u16 kSp = 2, kPv = 3, kM2 = 4, kM8 = 5, kM10 = 6;
    static constexpr u16 kTune = 7, kOptA = 8, kOptB = 9, kOptC = 10, kOptD = 11;
    static constexpr u16 kScale = autoTune ? 12 : 7;
    static constexpr u16 kCv = static_cast<u16>((autoTune ? 12 : 7) + (real ? 1 : 0));
    static constexpr u16 kTuned = kCv + 1;
    static constexpr u16 kCount = static_cast<u16>(kCv + (autoTune ? 2 : 1));
};

template <Form form, bool real, bool autoTune>
int Loop(int command, u8* db, u8* inst, const u16* ops) {
    using O = LoopOps<real, autoTune>;
    const u32 size = form == Form::kInd && !autoTune ? 72 : 34;
    if (command == kFbInstanceInit) {
        if (!inst) return 0;
        inst[kPidInstLatch] = 0;
        inst[kPidInstLoop] = pid_Instance < kPidLoops ? pid_Instance : kPidNoLoop;
        if (pid_Instance < kPidNoLoop) ++pid_Instance;
        return 0;
    }
    return Q4Ctl_Run(command, size, inst, ops, O::kCount, [&] {
        Q4CtlArray block = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (block.Count() < kPidBlockWords || inst[kPidInstLatch] || inst[kPidInstLoop] >= kPidLoops) return;
        PidContext ctx{FPGA_GetFrt(), inst[kPidInstLoop], 0, 0};
        u16 w[kPidBlockWords];
        for (int k = 0; k < kPidBlockWords; ++k) w[k] = static_cast<u16>(block.Int(k));
        if constexpr (form == Form::kIsa) w[kPidFlags] |= kPidFlagIsa | kPidFlagEnabled;
        else w[kPidFlags] = static_cast<u16>((w[kPidFlags] & ~kPidFlagIsa) | kPidFlagEnabled);
        float scale = 1.0f;
        if constexpr (real) scale = Q4Fb_Real(db, ops[O::kScale]);
        auto value = [&](u16 op) -> i16 {
            if constexpr (real) return ToInt(static_cast<double>(Q4Fb_Real(db, ops[op]) / scale));
            else return Q4Ctl_Int(db, ops[op]);
        };
        w[kPidProcess] = static_cast<u16>(value(O::kPv));
        block.SetInt(kPidProcess, static_cast<i16>(w[kPidProcess]));
        if (!(w[kPidFlags] & kPidFlagOwnSetpoint)) {
            w[kPidSetpoint] = static_cast<u16>(value(O::kSp));
            u16 f = w[kPidFlags] & ~(kPidFlagManual | kPidFlagRampUp | kPidFlagRampDown);
            if (Q4Fb_Bool(db, ops[O::kM2])) f |= kPidFlagManual;
            if (Q4Fb_Bool(db, ops[O::kM8])) f |= kPidFlagRampUp;
            if (Q4Fb_Bool(db, ops[O::kM10])) f |= kPidFlagRampDown;
            w[kPidFlags] = f;
        }
        if constexpr (autoTune) {
            ctx.tuneFlags = static_cast<u8>((Q4Fb_Bool(db, ops[O::kTune]) ? kPidTuneRequest : 0) |
                                            (Q4Fb_Bool(db, ops[O::kOptD]) ? kPidTuneTwoThirds : 0));
            ctx.tuneOptions = static_cast<u8>(((Q4Fb_Dint(db, ops[O::kOptC]) & 3) << 1) |
                                              ((Q4Fb_Dint(db, ops[O::kOptB]) & 3) << 3) |
                                              ((Q4Fb_Dint(db, ops[O::kOptA]) & 7) << 5));
        }
        const int r = fbk_pid(&ctx, w);
        if (r == kPidBadDeadband || r == kPidBadLimits) inst[kPidInstLatch] = 1;
        if constexpr (real) Q4Fb_PutReal(db, ops[O::kCv], static_cast<float>(static_cast<i16>(w[kPidFinalOutput])) * scale);
        else Q4Ctl_PutInt(db, ops[O::kCv], static_cast<i16>(w[kPidFinalOutput]));
        if constexpr (autoTune) Q4Fb_PutBool(db, ops[O::kTuned], (ctx.tuneFlags & kPidTuneDone) != 0);
        for (int k = 0; k < kPidBlockWords; ++k) {
            block.SetInt(k, static_cast<i16>(w[k]));
            PutLe16(inst + kPidInstBlock + 2 * k, w[k]);
        }
    });
}

// The flag inputs of SETPID and SETPID_R, in call order.
constexpr u16 kSetPidFlags[4] = {kPidFlagReverse, kPidFlagDerivOnPv, kPidFlagNegate, kPidFlagDerivFine};
constexpr int kSetPidWords = 11;

void StoreImage(u8* db, const u16* ops, u16 firstFlag, Q4CtlArray& block, i16* image) {
    u16 f = 0;
    for (int k = 0; k < 4; ++k)
        if (Q4Fb_Bool(db, ops[firstFlag + k])) f |= kSetPidFlags[k];
    image[kPidFlags] = static_cast<i16>(f);
    for (int k = 0; k < kSetPidWords; ++k) block.SetInt(k, image[k]);
}

i16 InRange(i32 v, i32 lo, i32 hi) { return v >= lo && v <= hi ? static_cast<i16>(v) : 0; }

}  // namespace

int Q4Ctl_PidInd(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kInd, false, false>(c, db, inst, ops); }
int Q4Ctl_PidIsa(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kIsa, false, false>(c, db, inst, ops); }
int Q4Ctl_PidIndR(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kInd, true, false>(c, db, inst, ops); }
int Q4Ctl_PidIsaR(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kIsa, true, false>(c, db, inst, ops); }
int Q4Ctl_PidIndAuto(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kInd, false, true>(c, db, inst, ops); }
int Q4Ctl_PidIsaAuto(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kIsa, false, true>(c, db, inst, ops); }
int Q4Ctl_PidIndAutoR(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kInd, true, true>(c, db, inst, ops); }
int Q4Ctl_PidIsaAutoR(int c, u8* db, u8*, u8* inst, const u16* ops) { return Loop<Form::kIsa, true, true>(c, db, inst, ops); }

// block+n, words 0-9 (INT), four flags.
int Q4Ctl_SetPid(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 16, [&] {
        Q4CtlArray block = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (block.Count() < kSetPidWords) return;
        i16 image[kSetPidWords] = {};
        auto in = [&](int word) { return static_cast<i32>(Q4Ctl_Int(db, ops[2 + word])); };
        image[0] = InRange(in(0), 0, 32767);
        for (int k : {1, 2, 9}) image[k] = static_cast<u16>(in(k)) <= 32000 ? static_cast<i16>(in(k)) : 0;
        image[3] = InRange(in(3), 0, 327);
        image[4] = InRange(in(4), 0, 327);
        image[5] = InRange(in(5), 0, 32);
        for (int k : {6, 7, 8}) image[k] = InRange(in(k), -32000, 32000);
        StoreImage(db, ops, 12, block, image);
    });
}

// block+n, words 0-2 (INT), gain, derivative, integral (REAL), words 6-8
// (REAL), word 9 (INT), four flags, scale (REAL). Gains times 1000 above
// the word's range store its largest value.
int Q4Ctl_SetPidR(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 17, [&] {
        Q4CtlArray block = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (block.Count() < kSetPidWords) return;
        i16 image[kSetPidWords] = {};
        auto integer = [&](int op) { return static_cast<i32>(Q4Ctl_Int(db, ops[op])); };
        auto real = [&](int op) { return static_cast<double>(Q4Fb_Real(db, ops[op])); };
        image[0] = InRange(integer(2), 0, 32767);
        for (auto [word, op] : {std::pair{1, 3}, {2, 4}, {9, 11}})
            image[word] = static_cast<u16>(integer(op)) <= 32000 ? static_cast<i16>(integer(op)) : 0;
        for (auto [word, op, limit] : {std::tuple{3, 5, 327.67}, {4, 6, 327.67}, {5, 7, 32.767}}) {
            const double v = real(op);
            image[word] = v >= 0 && v < limit ? ToInt(v * 1000.0) : 0;
        }
        const double scale = real(16);
        for (auto [word, op] : {std::pair{6, 8}, {7, 9}, {8, 10}}) {
            const double v = real(op);
            image[word] = v >= -32000 && v <= 32000 ? ToInt(static_cast<double>(static_cast<float>(v) / static_cast<float>(scale))) : 0;
        }
        StoreImage(db, ops, 12, block, image);
    });
}

// block+n, manual output (INT); out done.
int Q4Ctl_SetPidMan(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 4, [&] {
        Q4CtlArray block = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (!block.Has(kPidOutput)) return;
        block.SetInt(kPidOutput, Q4Ctl_Int(db, ops[2]));
        Q4Fb_PutBool(db, ops[3], true);
    });
}

// block+n, value, factor (REAL); out done.
int Q4Ctl_SetPidManR(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        Q4CtlArray block = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (!block.Has(kPidOutput)) return;
        block.SetInt(kPidOutput, ToInt(static_cast<double>(Q4Fb_Real(db, ops[2]) * Q4Fb_Real(db, ops[3]))));
        Q4Fb_PutBool(db, ops[4], true);
    });
}

// block+n; out final output.
int Q4Ctl_GetPidMan(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        Q4CtlArray block = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (block.Has(kPidFinalOutput)) Q4Ctl_PutInt(db, ops[2], block.Int(kPidFinalOutput));
    });
}
