#include "iec/blocks/q4alarm.h"

#include "core/plc_regs.h"
#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4types.h"

u8 fACK_Enab = 0, fCLR_Enab = 0;

namespace {

constexpr u16 kCount = 0x00FF, kCondition = 0x100, kActive = 0x200, kAcked = 0x400;
constexpr u16 kAnyActive = 0x8000, kAnyUnacked = 0x4000;
// Selection flags: inputs already served, and a valid current alarm.
constexpr u16 kNextServed = 0x200, kPrevServed = 0x400, kClearServed = 0x800, kAckServed = 0x1000,
              kValid = 0x8000;
constexpr u32 kNone = 0xFFFF;

struct Selection {
    u16 flags = 0;
    i64 current = -1;  // first screen + index, -1 none
};
Selection g;

}  // namespace

void Q4Alarm_Reset() { g = Selection{}; }

void Alarm_Remote_AckClr_enable() {
    fACK_Enab = 0;
    fCLR_Enab = 0;
}

// Operands: alarms (INT array) and its element count, next, previous, clear,
// acknowledge (BOOL), first screen (DINT), number of alarms (DINT).
int Q4Ctl_Alarm(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 8, [&] {
        Q4CtlArray a = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        const bool next = Q4Fb_Bool(db, ops[2]), prev = Q4Fb_Bool(db, ops[3]);
        const bool clear = Q4Fb_Bool(db, ops[4]), ack = Q4Fb_Bool(db, ops[5]);
        const i64 first = Q4Fb_Dint(db, ops[6]);
        i64 n = Q4Fb_Dint(db, ops[7]);
        if (n < 0) n = 0;
        if (n > a.Count()) n = a.Count();
        auto word = [&](i64 i) { return static_cast<u16>(a.Int(i)); };
        auto active = [&](i64 i) { return (word(i) & kActive) != 0; };
        auto firstActive = [&]() -> i64 {
            for (i64 i = 0; i < n; ++i)
                if (active(i)) return i;
            return -1;
        };
        u32 r = 0;
        if (a.Count() == 0) {
            g.flags = static_cast<u16>(g.flags & ~kValid);
        } else {
            i64 cur = -1;
            if ((g.flags & kValid) && g.current >= 0 && g.current - first >= 0 && g.current - first < n)
                cur = g.current - first;
            else
                cur = firstActive();
            if (cur < 0) {
                r = kNone;
            } else {
                if (next && !(g.flags & kNextServed)) {
                    for (i64 j = cur + 1; j < n; ++j)
                        if (active(j)) {
                            cur = j;
                            break;
                        }
                    g.flags |= kNextServed;
                }
                if (prev && !(g.flags & kPrevServed)) {
                    for (i64 j = cur - 1; j >= 0; --j)
                        if (active(j)) {
                            cur = j;
                            break;
                        }
                    g.flags |= kPrevServed;
                }
                if (ack && !(g.flags & kAckServed)) {
                    a.SetInt(cur, static_cast<i16>(word(cur) | kAcked));
                    g.flags |= kAckServed;
                }
                const u16 w = word(cur);
                if ((clear && !(g.flags & kClearServed) && (w & kAcked)) || !(w & kActive)) {
                    a.SetInt(cur, static_cast<i16>(w & ~(kActive | kAcked)));
                    const i64 j = firstActive();
                    if (j >= 0) {
                        g.current = first + j;
                        g.flags = static_cast<u16>((g.flags & 0x7600) | kValid | kClearServed);
                        r = static_cast<u32>(g.current);
                    } else {
                        g.current = -1;
                        g.flags = 0xFFFF;
                        r = kNone;
                    }
                } else {
                    g.current = first + cur;
                    g.flags = static_cast<u16>((g.flags & 0xFE00) | kValid);
                    r = static_cast<u32>(g.current);
                }
            }
            if (!next) g.flags = static_cast<u16>(g.flags & ~kNextServed);
            if (!prev) g.flags = static_cast<u16>(g.flags & ~kPrevServed);
            if (!clear) g.flags = static_cast<u16>(g.flags & ~kClearServed);
            if (!ack) g.flags = static_cast<u16>(g.flags & ~kAckServed);
            u16 summary = static_cast<u16>(word(0) & ~(kAnyActive | kAnyUnacked));
            a.SetInt(0, static_cast<i16>(summary));
            for (i64 i = 0; i < n; ++i) {
                u16 w = word(i);
                if (w & kActive) {
                    summary = static_cast<u16>(word(0) | kAnyActive | ((w & kAcked) ? 0 : kAnyUnacked));
                    a.SetInt(0, static_cast<i16>(summary));
                    w = word(i);
                }
                if (w & kCondition) {
                    if ((w & kCount) != kCount && !(w & kActive)) w = static_cast<u16>(w + 1);
                    a.SetInt(i, static_cast<i16>(w | kActive));
                }
            }
        }
        SR_Put(1, static_cast<u16>(r));
        SR_Put(2, static_cast<u16>(r));
    });
}
