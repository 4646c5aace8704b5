#include "iec/kernel/q4fbtimer.h"

#include <cmath>
#include <cstring>

#include "iec/kernel/q4fbstd.h"

namespace {

// Instance of the millisecond timers (12 bytes): elapsed or accumulated
// time, time stamp, then two state bytes.
constexpr u32 kEt = 0, kStamp = 4, kS0 = 8, kS1 = 9, kTimerBytes = 12;
constexpr u32 kDay = 86400000;

// Command 8: a stamp that is set moves to now, so the time spent stopped is
// not counted; a stamp of 0 ("not started") stays 0.
void Restamp(u8* db, u8* inst, u32 at) {
    if (inst && Q4Fb_U32(inst, at)) Q4Fb_SetU32(inst, at, Q4Fb_Now(db));
}

// Adds the time since the stamp to the field at `acc` and moves the stamp.
u32 Accumulate(u8* db, u8* inst, u32 acc, u32 stamp) {
    u32 now = Q4Fb_Now(db);
    u32 v = Q4Fb_U32(inst, acc) + Q4VM_Elapsed(now, Q4Fb_U32(inst, stamp));
    Q4Fb_SetU32(inst, acc, v);
    Q4Fb_SetU32(inst, stamp, now);
    return v;
}

// A timer block: class, then the body run on execution.
template <typename Body>
int Timer(u16 cls, int command, u8* db, u8* inst, const u16* ops, u16 n, Body body) {
    if (command == kFbHotInit) Restamp(db, inst, kStamp);
    return Q4Fb_Run({cls, kTimerBytes, false}, command, inst, ops, n, body);
}

void PutQEt(u8* db, const u16* ops, u16 q, u8* inst) {
    Q4Fb_PutBool(db, ops[q], inst[kS1]);
    Q4Fb_PutTime(db, ops[q + 1], Q4Fb_U32(inst, kEt));
}

// One execution of TP on (in, pt).
void PulseStep(u8* db, u8* inst, bool in, u32 pt) {
    if (in && !inst[kS0]) {
        Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
        inst[kS0] = 1;
        inst[kS1] = 1;
    }
    if (inst[kS1] && Accumulate(db, inst, kEt, kStamp) >= pt) {
        inst[kS1] = 0;
        Q4Fb_SetU32(inst, kEt, pt);
    }
    if (!inst[kS1] && !in) {
        inst[kS0] = 0;
        Q4Fb_SetU32(inst, kEt, 0);
    }
}

// One execution of TOF on (in, pt).
void OffDelayStep(u8* db, u8* inst, bool in, u32 pt) {
    if (in) {
        Q4Fb_SetU32(inst, kEt, 0);
        inst[kS1] = 1;
        inst[kS0] = 1;
        return;
    }
    if (inst[kS0]) {
        Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
        inst[kS0] = 0;
    }
    if (inst[kS1] && Accumulate(db, inst, kEt, kStamp) >= pt) {
        Q4Fb_SetU32(inst, kEt, pt);
        inst[kS1] = 0;
    }
}

}  // namespace

int Q4Stfb_Ton(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(9, command, db, inst, ops, 4, [&] {
        if (Q4Fb_Bool(db, ops[0])) {
            if (!inst[kS0]) {
                Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
                inst[kS0] = 1;
            }
            u32 pt = Q4Fb_Time(db, ops[1]);
            if (!inst[kS1] && Accumulate(db, inst, kEt, kStamp) >= pt) {
                Q4Fb_SetU32(inst, kEt, pt);
                inst[kS1] = 1;
            }
        } else {
            Q4Fb_SetU32(inst, kEt, 0);
            inst[kS0] = inst[kS1] = 0;
        }
        PutQEt(db, ops, 2, inst);
    });
}

int Q4Stfb_Tof(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(10, command, db, inst, ops, 4, [&] {
        OffDelayStep(db, inst, Q4Fb_Bool(db, ops[0]), Q4Fb_Time(db, ops[1]));
        PutQEt(db, ops, 2, inst);
    });
}

int Q4Stfb_Tp(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(11, command, db, inst, ops, 4, [&] {
        PulseStep(db, inst, Q4Fb_Bool(db, ops[0]), Q4Fb_Time(db, ops[1]));
        PutQEt(db, ops, 2, inst);
    });
}

int Q4Stfb_Tpr(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(24, command, db, inst, ops, 5, [&] {
        if (Q4Fb_Bool(db, ops[2])) std::memset(inst, 0, kTimerBytes);
        else PulseStep(db, inst, Q4Fb_Bool(db, ops[0]), Q4Fb_Time(db, ops[1]));
        PutQEt(db, ops, 3, inst);
    });
}

int Q4Stfb_Tofr(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(23, command, db, inst, ops, 5, [&] {
        if (Q4Fb_Bool(db, ops[2])) std::memset(inst, 0, kTimerBytes);
        else OffDelayStep(db, inst, Q4Fb_Bool(db, ops[0]), Q4Fb_Time(db, ops[1]));
        PutQEt(db, ops, 3, inst);
    });
}

// TMU and TMD count only while IN is 1 (time between executions with IN 1):
// the stamp moves at every execution. Q is the first state byte.
int Q4Stfb_Tmu(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(36, command, db, inst, ops, 5, [&] {
        u32 pt = Q4Fb_Time(db, ops[2]);
        if (Q4Fb_Bool(db, ops[1])) {
            std::memset(inst, 0, kTimerBytes);
        } else if (Q4Fb_Bool(db, ops[0]) && !inst[kS0]) {
            if (!Q4Fb_U32(inst, kStamp)) Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
            if (Accumulate(db, inst, kEt, kStamp) >= pt) {
                Q4Fb_SetU32(inst, kEt, pt);
                inst[kS0] = 1;
            }
        }
        Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
        Q4Fb_PutBool(db, ops[3], inst[kS0]);
        Q4Fb_PutTime(db, ops[4], Q4Fb_U32(inst, kEt));
    });
}

int Q4Stfb_Tmd(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(37, command, db, inst, ops, 5, [&] {
        if (Q4Fb_Bool(db, ops[1])) {
            std::memset(inst, 0, kTimerBytes);
            Q4Fb_SetU32(inst, kEt, Q4Fb_Time(db, ops[2]));
        } else if (Q4Fb_Bool(db, ops[0]) && !inst[kS0]) {
            u32 now = Q4Fb_Now(db);
            if (!Q4Fb_U32(inst, kStamp)) Q4Fb_SetU32(inst, kStamp, now);
            u32 e = Q4VM_Elapsed(now, Q4Fb_U32(inst, kStamp)), et = Q4Fb_U32(inst, kEt);
            if (e < et) {
                Q4Fb_SetU32(inst, kEt, et - e);
            } else {
                Q4Fb_SetU32(inst, kEt, 0);
                inst[kS0] = 1;
            }
        }
        Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
        Q4Fb_PutBool(db, ops[3], inst[kS0]);
        Q4Fb_PutTime(db, ops[4], Q4Fb_U32(inst, kEt));
    });
}

// TMU on the VM's running seconds counter, PT and ET in DINT seconds.
int Q4Stfb_TmuSec(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbHotInit && inst && Q4Fb_U32(inst, kStamp)) Q4Fb_SetU32(inst, kStamp, Q4Fb_Seconds(db));
    return Q4Fb_Run({52, kTimerBytes, false}, command, inst, ops, 5, [&] {
        u32 pt = static_cast<u32>(Q4Fb_Dint(db, ops[2])), now = Q4Fb_Seconds(db);
        if (Q4Fb_Bool(db, ops[1])) {
            std::memset(inst, 0, kTimerBytes);
        } else if (Q4Fb_Bool(db, ops[0]) && !inst[kS0]) {
            if (!Q4Fb_U32(inst, kStamp)) Q4Fb_SetU32(inst, kStamp, now);
            u32 et = Q4Fb_U32(inst, kEt) + (now - Q4Fb_U32(inst, kStamp));
            if (static_cast<i32>(pt) >= 0 && et >= pt) {
                et = pt;
                inst[kS0] = 1;
            }
            Q4Fb_SetU32(inst, kEt, et);
        }
        Q4Fb_SetU32(inst, kStamp, now);
        Q4Fb_PutBool(db, ops[3], inst[kS0]);
        Q4Fb_PutDint(db, ops[4], static_cast<i32>(Q4Fb_U32(inst, kEt)));
    });
}

namespace {
// Common start of the blinkers: RUN 0 clears and answers false; RUN 1 starts
// the stamp on the first execution and accumulates.
bool BlinkRun(u8* db, u8* inst, bool run) {
    if (!run) {
        Q4Fb_SetU32(inst, kEt, 0);
        inst[kS0] = inst[kS1] = 0;
        return false;
    }
    if (!inst[kS0]) {
        Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
        inst[kS0] = 1;
    }
    Accumulate(db, inst, kEt, kStamp);
    return true;
}
}  // namespace

int Q4Stfb_Blink(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(19, command, db, inst, ops, 3, [&] {
        if (BlinkRun(db, inst, Q4Fb_Bool(db, ops[0])) && Q4Fb_U32(inst, kEt) >= Q4Fb_Time(db, ops[1]) / 2) {
            Q4Fb_SetU32(inst, kEt, 0);
            inst[kS1] = !inst[kS1];
        }
        Q4Fb_PutBool(db, ops[2], inst[kS1]);
    });
}

int Q4Stfb_BlinkA(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(28, command, db, inst, ops, 4, [&] {
        if (BlinkRun(db, inst, Q4Fb_Bool(db, ops[0]))) {
            u32 limit = Q4Fb_Time(db, ops[inst[kS1] ? 2 : 1]);
            if (Q4Fb_U32(inst, kEt) >= limit) {
                Q4Fb_SetU32(inst, kEt, 0);
                inst[kS1] = !inst[kS1];
            }
        }
        Q4Fb_PutBool(db, ops[3], inst[kS1]);
    });
}

int Q4Stfb_Pls(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Timer(25, command, db, inst, ops, 3, [&] {
        if (!Q4Fb_Bool(db, ops[0])) {
            std::memset(inst, 0, kTimerBytes);
        } else if (inst[kS1]) {
            inst[kS1] = 0;
        } else if (BlinkRun(db, inst, true) && Q4Fb_U32(inst, kEt) >= Q4Fb_Time(db, ops[1])) {
            Q4Fb_SetU32(inst, kEt, 0);
            inst[kS1] = 1;
        }
        Q4Fb_PutBool(db, ops[2], inst[kS1]);
    });
}

// SIG_GEN instance (16 bytes).
namespace {
constexpr u32 kSgStamp = 0, kSgAcc = 4, kSgCount = 8, kSgPulse = 12, kSgRun = 13;
}

int Q4Stfb_SigGen(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbHotInit) Restamp(db, inst, kSgStamp);
    return Q4Fb_Run({1, 16, false}, command, inst, ops, 7, [&] {
        i32 max = Q4Fb_Dint(db, ops[2]);
        if (Q4Fb_Bool(db, ops[0])) {
            if (!inst[kSgRun]) {
                Q4Fb_SetU32(inst, kSgStamp, Q4Fb_Now(db));
                inst[kSgRun] = 1;
            }
            if (Accumulate(db, inst, kSgAcc, kSgStamp) >= Q4Fb_Time(db, ops[1])) {
                inst[kSgPulse] = !inst[kSgPulse];
                Q4Fb_SetU32(inst, kSgAcc, 0);
                i32 c = static_cast<i32>(Q4Fb_U32(inst, kSgCount));
                Q4Fb_SetU32(inst, kSgCount, static_cast<u32>(c < max ? c + 1 : 0));
            }
        } else {
            inst[kSgPulse] = inst[kSgRun] = 0;
            Q4Fb_SetU32(inst, kSgAcc, 0);
            Q4Fb_SetU32(inst, kSgCount, 0);
        }
        i32 c = static_cast<i32>(Q4Fb_U32(inst, kSgCount));
        Q4Fb_PutBool(db, ops[3], inst[kSgPulse]);
        Q4Fb_PutDint(db, ops[4], c);
        Q4Fb_PutBool(db, ops[5], c == 0);
        float sine = max == 0 ? 0.0f : std::sin(static_cast<float>(c) / static_cast<float>(max) * 6.2826f);
        Q4Fb_PutReal(db, ops[6], sine);
    });
}

// Step blocks: CMD DINT -> X, T, FIRST, ACTIVE, LAST. Instance: active time,
// stamp, state (0 inactive, 1 activating, 2 active, 3 deactivating).
namespace {
constexpr u32 kStT = 0, kStStamp = 4, kStState = 8;

void StepTimeRuns(u8* db, u8* inst) {
    u32 now = Q4Fb_Now(db);
    if (Q4Fb_U32(inst, kStStamp)) {
        u64 t = static_cast<u64>(Q4Fb_U32(inst, kStT)) + Q4VM_Elapsed(now, Q4Fb_U32(inst, kStStamp));
        Q4Fb_SetU32(inst, kStT, t > kDay ? kDay : static_cast<u32>(t));
    }
    Q4Fb_SetU32(inst, kStStamp, now);
}

int Step(u16 cls, int command, u8* db, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit && inst && cls == 42) inst[kStState] = 1;
    if (command == kFbHotInit) Restamp(db, inst, kStStamp);
    return Q4Fb_Run({cls, 12, false}, command, inst, ops, 6, [&] {
        i32 cmd = Q4Fb_Dint(db, ops[0]);
        u8& s = inst[kStState];
        u32 now = Q4Fb_Now(db);
        if (cmd == 1) {
            if (s == 0 || s == 3) {
                s = 1;
                Q4Fb_SetU32(inst, kStT, 0);
                Q4Fb_SetU32(inst, kStStamp, now);
            } else {
                s = 2;
                StepTimeRuns(db, inst);
            }
        } else if (cmd == 0) {
            s = s == 2 ? 3 : 0;
            Q4Fb_SetU32(inst, kStStamp, now);
        } else if (cmd != 2) {
            if (s == 0 || s == 3) {
                s = 0;
                Q4Fb_SetU32(inst, kStStamp, now);
            } else {
                s = 2;
                StepTimeRuns(db, inst);
            }
        }
        Q4Fb_PutBool(db, ops[1], s == 2);
        Q4Fb_PutTime(db, ops[2], Q4Fb_U32(inst, kStT));
        Q4Fb_PutBool(db, ops[3], s == 1);
        Q4Fb_PutBool(db, ops[4], s == 1 || s == 2);
        Q4Fb_PutBool(db, ops[5], s == 3);
    });
}
}  // namespace

int Q4Stfb_SfcStep(int command, u8* db, u8*, u8* inst, const u16* ops) { return Step(41, command, db, inst, ops); }
int Q4Stfb_SfcInitStep(int command, u8* db, u8*, u8* inst, const u16* ops) { return Step(42, command, db, inst, ops); }
