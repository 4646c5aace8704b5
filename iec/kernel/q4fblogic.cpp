#include "iec/kernel/q4fblogic.h"

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmdb.h"

namespace {

// Option bit: edge memories of R_TRIG start at 1 (no edge at the first cycle
// for an input already true).
constexpr u32 kOptEdgesStartHigh = 0x0080;


}  // namespace

int Q4Stfb_RTrig(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit && inst) {
        u8* st = Q4VM_Status(db);
        inst[0] = st && (GetLe32(st + kQ4StOptions) & kOptEdgesStartHigh) ? 1 : 0;
        return 0;
    }
    return Q4Fb_Run({4, 1, false}, command, inst, ops, 2, [&] {
        bool clk = Q4Fb_Bool(db, ops[0]);
        Q4Fb_PutBool(db, ops[1], clk && !inst[0]);
        inst[0] = clk;
    });
}

int Q4Stfb_FTrig(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({5, 1, false}, command, inst, ops, 2, [&] {
        bool clk = Q4Fb_Bool(db, ops[0]);
        Q4Fb_PutBool(db, ops[1], inst[0] && !clk);
        inst[0] = clk;
    });
}

int Q4Stfb_Rs(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({2, 1, false}, command, inst, ops, 3, [&] {
        if (Q4Fb_Bool(db, ops[1])) inst[0] = 0;
        else if (Q4Fb_Bool(db, ops[0])) inst[0] = 1;
        Q4Fb_PutBool(db, ops[2], inst[0]);
    });
}

int Q4Stfb_Sr(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({3, 1, false}, command, inst, ops, 3, [&] {
        if (Q4Fb_Bool(db, ops[0])) inst[0] = 1;
        else if (Q4Fb_Bool(db, ops[1])) inst[0] = 0;
        Q4Fb_PutBool(db, ops[2], inst[0]);
    });
}

int Q4Stfb_Sema(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({12, 1, false}, command, inst, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], inst[0]);
        if (Q4Fb_Bool(db, ops[0])) {
            inst[0] = 1;
        } else if (Q4Fb_Bool(db, ops[1])) {
            Q4Fb_PutBool(db, ops[2], false);
            inst[0] = 0;
        }
    });
}

int Q4Stfb_Cmp(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({13, 4, false}, command, inst, ops, 5, [&] {
        i32 a = Q4Fb_Dint(db, ops[0]), b = Q4Fb_Dint(db, ops[1]);
        Q4Fb_PutBool(db, ops[2], a < b);
        Q4Fb_PutBool(db, ops[3], a == b);
        Q4Fb_PutBool(db, ops[4], a > b);
    });
}

int Q4Stfb_FlipFlop(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({26, 2, false}, command, inst, ops, 3, [&] {
        bool in = Q4Fb_Bool(db, ops[0]);
        if (Q4Fb_Bool(db, ops[1])) {
            inst[0] = inst[1] = 0;
        } else {
            if (in && !inst[0]) inst[1] = !inst[1];
            inst[0] = in;
        }
        Q4Fb_PutBool(db, ops[2], inst[1]);
    });
}

int Q4Stfb_Hyster(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({16, 1, false}, command, inst, ops, 4, [&] {
        float x1 = Q4Fb_Real(db, ops[0]), x2 = Q4Fb_Real(db, ops[1]), eps = Q4Fb_Real(db, ops[2]);
        if (inst[0] && x1 < x2 - eps) inst[0] = 0;
        else if (!inst[0] && x1 > x2 + eps) inst[0] = 1;
        Q4Fb_PutBool(db, ops[3], inst[0]);
    });
}

int Q4Stfb_LimAlrm(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({18, 2, false}, command, inst, ops, 7, [&] {
        float h = Q4Fb_Real(db, ops[0]), x = Q4Fb_Real(db, ops[1]), l = Q4Fb_Real(db, ops[2]),
              eps = Q4Fb_Real(db, ops[3]);
        if (inst[0] && x < h - eps) inst[0] = 0;
        else if (!inst[0] && x > h) inst[0] = 1;
        if (inst[1] && x > l + eps) inst[1] = 0;
        else if (!inst[1] && x < l) inst[1] = 1;
        Q4Fb_PutBool(db, ops[4], inst[0]);
        Q4Fb_PutBool(db, ops[5], inst[0] || inst[1]);
        Q4Fb_PutBool(db, ops[6], inst[1]);
    });
}

// IN of any 8-bit type, then Q0..Q7. The call may carry IN's type code
// first (ten operands) or not (nine); only its byte matters.
int Q4Stfb_Unpack8(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({22, 0, true}, command, inst, ops, 9, [&] {
        const u16* o = Q4Fb_OperandCount(ops) >= 10 ? ops + 1 : ops;
        u8* p = Q4Tools_Element(db, kDbData8, o[0]);
        u8 in = p ? *p : 0;
        for (int b = 0; b < 8; ++b) Q4Fb_PutBool(db, o[1 + b], (in >> b) & 1, true);
    });
}

namespace {
enum AlarmState : u8 { kIdle = 0, kActive = 1, kAcked = 2 };
void AlarmOut(u8* db, const u16* ops, u16 q, u8 state) {
    Q4Fb_PutBool(db, ops[q], state == kActive);
    Q4Fb_PutBool(db, ops[q + 1], state == kAcked);
}
}  // namespace

int Q4Stfb_AlarmM(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({33, 1, false}, command, inst, ops, 5, [&] {
        bool in = Q4Fb_Bool(db, ops[0]), ack = Q4Fb_Bool(db, ops[1]), rst = Q4Fb_Bool(db, ops[2]);
        if (inst[0] == kIdle && in) inst[0] = kActive;
        else if (inst[0] == kActive && ack) inst[0] = kAcked;
        else if (inst[0] == kAcked && !in && rst) inst[0] = kIdle;
        AlarmOut(db, ops, 3, inst[0]);
    });
}

int Q4Stfb_AlarmA(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({34, 1, false}, command, inst, ops, 4, [&] {
        bool in = Q4Fb_Bool(db, ops[0]), ack = Q4Fb_Bool(db, ops[1]);
        if (inst[0] == kIdle && in) inst[0] = kActive;
        else if (inst[0] == kActive && ack) inst[0] = in ? kAcked : kIdle;
        else if (inst[0] == kAcked && !in) inst[0] = kIdle;
        AlarmOut(db, ops, 2, inst[0]);
    });
}
