#include "iec/blocks/q4Timers.h"

#include "core/plc_regs.h"
#include "iec/blocks/q4fbctl.h"

namespace {

constexpr u32 kCallStamp = 0, kUnitStamp = 4;

// PT and ET in the block's width.
template <bool wide>
i32 ReadWidth(u8* db, u16 index) {
    if constexpr (wide) return Q4Fb_Dint(db, index);
    else return Q4Ctl_Int(db, index);
}
template <bool wide>
void WriteWidth(u8* db, u16 index, i32 v) {
    if constexpr (wide) Q4Fb_PutDint(db, index, v);
    else Q4Ctl_PutInt(db, index, static_cast<i16>(v));
}

// A stamp of 0 marks a timer never called; a call at counter value 0 is
// kept as 1 (the call stamp is not used to count).
void MarkCalled(u8* inst, u32 now) { PutLe32(inst + kCallStamp, now ? now : 1); }

// Adds the whole units since the last boundary to et and moves the boundary
// by as many units; et stops at the type's maximum.
template <u32 unitTicks, bool wide>
i32 Count(u8* inst, u32 now, i32 et) {
    if (GetLe32(inst + kCallStamp) == 0) {
        PutLe32(inst + kUnitStamp, now);
        return et;
    }
    const u32 elapsed = now - GetLe32(inst + kUnitStamp);
    const u32 n = elapsed / unitTicks;
    if (n == 0) return et;
    PutLe32(inst + kUnitStamp, now - elapsed % unitTicks);
    constexpr i64 kMax = wide ? 0x7FFFFFFF : 0x7FFF;
    const i64 sum = static_cast<i64>(et) + n;
    return static_cast<i32>(sum > kMax ? kMax : sum);
}

}  // namespace

// Operands: TON, TOF: IN, PT; out Q, ET. TONR: IN, R, PT; out Q, ET.
template <Q4TimerKind kind, u32 unitTicks, bool wide>
int Q4Ctl_Timer(int command, u8* db, u8*, u8* inst, const u16* ops) {
    constexpr u16 kIn = 0, kReset = 1, kPt = kind == Q4TimerKind::kTonr ? 2 : 1;
    constexpr u16 kQ = kPt + 1, kEt = kPt + 2;
    return Q4Ctl_Run(command, kQ4TimerInstanceBytes, inst, ops, kEt + 1, [&] {
        bool ok = false;
        const u8 in = Q4Ctl_Byte(db, ops[kIn], &ok);
        if (!ok || in > 1) return;
        u8 reset = 0;
        if constexpr (kind == Q4TimerKind::kTonr) {
            reset = Q4Ctl_Byte(db, ops[kReset], &ok);
            if (!ok || reset > 1) return;
        }
        const u32 now = SR_GetDword(149);
        const i32 pt = ReadWidth<wide>(db, ops[kPt]);
        i32 et = ReadWidth<wide>(db, ops[kEt]);
        bool q = false;
        // Q on (or off, for TOF) once ET has reached PT; otherwise count.
        auto delay = [&](bool qWhileCounting) {
            if (et >= pt) {
                q = !qWhileCounting;
                et = pt;
            } else {
                q = qWhileCounting;
                et = Count<unitTicks, wide>(inst, now, et);
            }
        };
        auto restart = [&](i32 etValue, bool qValue) {
            et = etValue;
            q = qValue;
            PutLe32(inst + kUnitStamp, now);
        };
        if (kind == Q4TimerKind::kTon) {
            if (in) delay(false);
            else restart(0, false);
        } else if (kind == Q4TimerKind::kTof) {
            if (in) restart(0, true);
            else delay(true);
        } else if (reset) {
            restart(0, false);
        } else if (in) {
            delay(false);
        } else {
            // Held: the time with IN off is not counted.
            restart(et, Q4Ctl_Byte(db, ops[kQ]) != 0);
        }
        MarkCalled(inst, now);
        Q4Fb_PutBool(db, ops[kQ], q);
        WriteWidth<wide>(db, ops[kEt], et);
    });
}

#define Q4CTL_TIMER_INSTANCES(k)                                                   \
    template int Q4Ctl_Timer<Q4TimerKind::k, 10, false>(int, u8*, u8*, u8*, const u16*);    \
    template int Q4Ctl_Timer<Q4TimerKind::k, 10, true>(int, u8*, u8*, u8*, const u16*);     \
    template int Q4Ctl_Timer<Q4TimerKind::k, 100, false>(int, u8*, u8*, u8*, const u16*);   \
    template int Q4Ctl_Timer<Q4TimerKind::k, 100, true>(int, u8*, u8*, u8*, const u16*);    \
    template int Q4Ctl_Timer<Q4TimerKind::k, 1000, false>(int, u8*, u8*, u8*, const u16*);  \
    template int Q4Ctl_Timer<Q4TimerKind::k, 1000, true>(int, u8*, u8*, u8*, const u16*);   \
    template int Q4Ctl_Timer<Q4TimerKind::k, 10000, false>(int, u8*, u8*, u8*, const u16*); \
    template int Q4Ctl_Timer<Q4TimerKind::k, 10000, true>(int, u8*, u8*, u8*, const u16*);
Q4CTL_TIMER_INSTANCES(kTon)
Q4CTL_TIMER_INSTANCES(kTof)
Q4CTL_TIMER_INSTANCES(kTonr)
#undef Q4CTL_TIMER_INSTANCES
