#include "iec/kernel/q4fbpid.h"

#include "iec/kernel/q4fbstd.h"

namespace {

// PID instance (16 bytes): stamp of the last computation, held error,
// integral, limited flag, started flag.
constexpr u32 kStamp = 0, kHeld = 4, kIntegral = 8, kLimited = 12, kStarted = 13;
constexpr u16 kPidOperands = 23;

constexpr bool kForce = true;

}  // namespace

int Q4Blk_Pid(int command, u8* db, u8*, u8* inst, const u16* ops) {
    switch (command) {
        case kFbInstanceSize: return 16;
        case kFbAnyType: return 1;
        case kFbInstanceInit:
        case kFbHotInit:
            if (inst) {
                Q4Fb_SetU32(inst, kStamp, Q4Fb_Now(db));
                inst[kStarted] = 0;
            }
            return 0;
        case kFbExecute: break;
        default: return 0;
    }
    if (!inst || Q4Fb_OperandCount(ops) < kPidOperands) return 0;
    u32 now = Q4Fb_Now(db);
    if (!inst[kStarted]) {
        Q4Fb_SetU32(inst, kStamp, now);
        inst[kStarted] = 1;
    }
    u32 elapsed = Q4VM_Elapsed(now, Q4Fb_U32(inst, kStamp));
    if (elapsed == 0 || elapsed < Q4Fb_Time(db, ops[7])) return 0;

    bool automatic = Q4Fb_Bool(db, ops[0]);
    float pv = Q4Fb_Real(db, ops[1]), sp = Q4Fb_Real(db, ops[2]), manual = Q4Fb_Real(db, ops[3]);
    float gain = Q4Fb_Real(db, ops[4]), ti = Q4Fb_Real(db, ops[5]), td = Q4Fb_Real(db, ops[6]);
    float lo = Q4Fb_Real(db, ops[8]), hi = Q4Fb_Real(db, ops[9]);
    bool withIntegral = Q4Fb_Bool(db, ops[10]), hold = Q4Fb_Bool(db, ops[11]), load = Q4Fb_Bool(db, ops[12]);
    float preset = Q4Fb_Real(db, ops[13]), band = Q4Fb_Real(db, ops[14]), bias = Q4Fb_Real(db, ops[15]);

    Q4Fb_SetU32(inst, kStamp, now);
    float error = sp - pv;
    float before = Q4Fb_F32(inst, kHeld), held = before;
    if (band < 0.0f || error <= held - band || error >= held + band) held = error;
    Q4Fb_SetF32(inst, kHeld, held);
    Q4Fb_PutReal(db, ops[17], held, kForce);

    float d = (error - before) * td * gain;
    float p = held * gain;
    Q4Fb_PutReal(db, ops[20], d, kForce);
    Q4Fb_PutReal(db, ops[18], p, kForce);

    float integral = Q4Fb_F32(inst, kIntegral);
    if (load) integral = preset;
    else if (!hold && !inst[kLimited] && automatic && ti != 0.0f)
        integral += static_cast<float>(elapsed) / 1000.0f * p / ti;
    Q4Fb_SetF32(inst, kIntegral, integral);
    float i = withIntegral ? integral : 0.0f;
    Q4Fb_PutReal(db, ops[19], i, kForce);

    float out = (automatic ? p + i + d : manual) + bias;
    bool high = false, low = false;
    if (lo > out) out = lo, low = true;
    else if (out > hi) out = hi, high = true;
    inst[kLimited] = high || low;
    Q4Fb_PutReal(db, ops[16], out, kForce);
    Q4Fb_PutBool(db, ops[21], high, kForce);
    Q4Fb_PutBool(db, ops[22], low, kForce);
    return 0;
}

namespace {

// Counter instance (8 bytes): value, then the previous value of each edge
// input in the order the block lists them.
constexpr u32 kValue = 0, kPrev = 4;

// An edge on input k (its operand op): 1 now, 0 at the previous execution.
bool Edge(u8* db, u8* inst, u32 k, u16 op) { return Q4Fb_Edge(inst, kPrev + k, Q4Fb_Bool(db, op)); }

// Counters answer only their instance size.
bool Executes(int command, u8* inst, const u16* ops, u16 n, int* answer) {
    *answer = command == kFbInstanceSize ? 8 : 0;
    return command == kFbExecute && inst && Q4Fb_OperandCount(ops) >= n;
}

i32 Value(const u8* inst) { return static_cast<i32>(Q4Fb_U32(inst, kValue)); }
void SetValue(u8* inst, i32 v) { Q4Fb_SetU32(inst, kValue, static_cast<u32>(v)); }

}  // namespace

int Q4Blk_Ctur(int command, u8* db, u8*, u8* inst, const u16* ops) {
    int answer = 0;
    if (!Executes(command, inst, ops, 5, &answer)) return answer;
    bool up = Edge(db, inst, 0, ops[0]), reset = Edge(db, inst, 1, ops[1]);
    i32 pv = Q4Fb_Dint(db, ops[2]), v = Value(inst);
    if (reset) v = 0;
    else if (up && v < pv) ++v;
    SetValue(inst, v);
    Q4Fb_PutBool(db, ops[3], v >= pv, kForce);
    Q4Fb_PutDint(db, ops[4], v, kForce);
    return 0;
}

int Q4Blk_Ctdr(int command, u8* db, u8*, u8* inst, const u16* ops) {
    int answer = 0;
    if (!Executes(command, inst, ops, 5, &answer)) return answer;
    bool down = Edge(db, inst, 0, ops[0]), load = Edge(db, inst, 1, ops[1]);
    i32 pv = Q4Fb_Dint(db, ops[2]), v = Value(inst);
    if (load) v = pv;
    else if (down && v > 0) --v;
    SetValue(inst, v);
    Q4Fb_PutBool(db, ops[3], v <= 0, kForce);
    Q4Fb_PutDint(db, ops[4], v, kForce);
    return 0;
}

int Q4Blk_Ctudr(int command, u8* db, u8*, u8* inst, const u16* ops) {
    int answer = 0;
    if (!Executes(command, inst, ops, 8, &answer)) return answer;
    // Previous values kept in the order count up, reset, count down, load.
    bool up = Edge(db, inst, 0, ops[0]), reset = Edge(db, inst, 1, ops[2]);
    bool down = Edge(db, inst, 2, ops[1]), load = Edge(db, inst, 3, ops[3]);
    i32 pv = Q4Fb_Dint(db, ops[4]), v = Value(inst);
    if (reset) v = 0;
    else if (load) v = pv;
    else if (up && v < pv) ++v;
    else if (down && v > 0) --v;
    SetValue(inst, v);
    Q4Fb_PutBool(db, ops[5], v >= pv, kForce);
    Q4Fb_PutBool(db, ops[6], v <= 0, kForce);
    Q4Fb_PutDint(db, ops[7], v, kForce);
    return 0;
}
