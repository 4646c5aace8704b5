#include "iec/blocks/q4setclock.h"

#include "core/plc.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4fbctl.h"
#include "iec/kernel/q4types.h"
#include "platform/rtclock.h"

// Operands: date and time (INT array) and its element count; out done.
// An array of fewer than six elements, or a day, month or year of 0, leaves
// the clock untouched with done 0; the clock itself refuses an invalid date
// or time. The day of week is that of the date.
int Q4Ctl_SetClk(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 3, [&] {
        Q4CtlArray t = Q4Ctl_Array(db, kQ4TypeInt, ops, 0);
        if (t.Count() < 6 || t.Int(3) == 0 || t.Int(4) == 0 || t.Int(5) == 0) {
            Q4Fb_PutBool(db, ops[2], false);
            return;
        }
        RTCTime r{};
        r.second = static_cast<u16>(t.Int(0));
        r.minute = static_cast<u16>(t.Int(1));
        r.hour = static_cast<u16>(t.Int(2));
        r.day = static_cast<u16>(t.Int(3));
        r.month = static_cast<u16>(t.Int(4));
        r.year = static_cast<u16>(t.Int(5));
        r.dayOfWeek = static_cast<u16>(DayOfWeek(r.year, r.month, r.day) + 1);
        Q4Fb_PutBool(db, ops[2], RtcSet(&r) == 1);
    });
}

// Operand: node id (INT). Ids below 1, above 254 minus the controller's
// share of network nodes (%SR61), or equal to the present one change nothing.
int Q4Ctl_SetCanId(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 1, [&] {
        const i32 id = Q4Ctl_Int(db, ops[0]);
        if (id < 1 || id > 254 - static_cast<i32>(SR_Get(61))) return;
        if (id == SR_Get(29)) return;
        SR_Put(29, static_cast<u16>(id));
        Plc_NetInit();
    });
}
