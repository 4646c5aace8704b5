#include "iec/kernel/q4fbclock.h"

#include <cstring>

#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4rtclk.h"

namespace {
constexpr u32 kDay = 86400000;
}

int Q4Stfb_DtCurDateTime(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({46, 0, true}, command, inst, ops, 10, [&] {
        u32 date = 0, ms = 0, dst = 0;
        Q4RtClk_GetCurDateTimeStamp(Q4Fb_Bool(db, ops[0]) ? 1 : 0, &date, &ms, &dst);
        Q4Fb_PutDint(db, ops[1], static_cast<i32>(date >> 16));
        Q4Fb_PutDint(db, ops[2], static_cast<i32>((date >> 8) & 0xFF));
        Q4Fb_PutDint(db, ops[3], static_cast<i32>(date & 0xFF));
        Q4Fb_PutDint(db, ops[4], static_cast<i32>(ms / 3600000));
        Q4Fb_PutDint(db, ops[5], static_cast<i32>(ms / 60000 % 60));
        Q4Fb_PutDint(db, ops[6], static_cast<i32>(ms / 1000 % 60));
        Q4Fb_PutDint(db, ops[7], static_cast<i32>(ms % 1000));
        Q4Fb_PutTime(db, ops[8], ms);
        Q4Fb_PutBool(db, ops[9], dst != 0);
    });
}

// DTAT instance (12 bytes): target date stamp, target time, pulse, done, armed.
namespace {
constexpr u32 kAtDate = 0, kAtTime = 4, kAtPulse = 8, kAtDone = 9, kAtArmed = 10;
}

int Q4Stfb_DtAt(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Fb_Run({29, 12, false}, command, inst, ops, 7, [&] {
        if (!inst[kAtArmed] || Q4Fb_Bool(db, ops[4])) {
            u32 y = static_cast<u32>(Q4Fb_Dint(db, ops[0])), m = static_cast<u32>(Q4Fb_Dint(db, ops[1])),
                d = static_cast<u32>(Q4Fb_Dint(db, ops[2]));
            Q4Fb_SetU32(inst, kAtDate, (y << 16) | ((m << 8) & 0xFFFF) | (d & 0xFF));
            Q4Fb_SetU32(inst, kAtTime, Q4Fb_Time(db, ops[3]));
            inst[kAtArmed] = 1;
            inst[kAtDone] = inst[kAtPulse] = 0;
        } else if (inst[kAtDone]) {
            inst[kAtPulse] = 0;
        } else {
            u32 today = 0, now = 0;
            Q4RtClk_GetCurDateTimeStamp(1, &today, &now, nullptr);
            u32 target = Q4Fb_U32(inst, kAtDate);
            if (target < 0x10000) {  // year 0: a repeating alarm
                if (target & 0xFF00) today &= 0xFFFF;      // yearly: month and day
                else if (target & 0xFF) today &= 0xFF;     // monthly: day
                else today = 0;                            // daily
            }
            if (today >= target && now >= Q4Fb_U32(inst, kAtTime)) inst[kAtDone] = inst[kAtPulse] = 1;
        }
        Q4Fb_PutBool(db, ops[5], inst[kAtPulse]);
        Q4Fb_PutBool(db, ops[6], inst[kAtDone]);
    });
}

// DTEVERY instance (16 bytes): days counted, milliseconds counted, stamp
// (0 = not started), Q.
namespace {
constexpr u32 kEvDays = 0, kEvMs = 4, kEvStamp = 8, kEvQ = 12;
}

int Q4Stfb_DtEvery(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbHotInit && inst && Q4Fb_U32(inst, kEvStamp)) Q4Fb_SetU32(inst, kEvStamp, Q4Fb_Now(db));
    return Q4Fb_Run({30, 16, false}, command, inst, ops, 4, [&] {
        u32 now = Q4Fb_Now(db);
        if (!Q4Fb_Bool(db, ops[0])) {
            std::memset(inst, 0, 16);
        } else if (!Q4Fb_U32(inst, kEvStamp)) {
            Q4Fb_SetU32(inst, kEvStamp, now);
            inst[kEvQ] = 1;
        } else if (inst[kEvQ]) {
            inst[kEvQ] = 0;
        } else {
            u32 ms = Q4Fb_U32(inst, kEvMs) + Q4VM_Elapsed(now, Q4Fb_U32(inst, kEvStamp));
            u32 days = Q4Fb_U32(inst, kEvDays);
            while (ms > kDay) ms -= kDay, ++days;
            i32 want = Q4Fb_Dint(db, ops[1]);
            if ((want <= 0 || days >= static_cast<u32>(want)) && ms >= Q4Fb_Time(db, ops[2])) {
                days = 0;
                ms = 0;
                inst[kEvQ] = 1;
            }
            Q4Fb_SetU32(inst, kEvMs, ms);
            Q4Fb_SetU32(inst, kEvDays, days);
            Q4Fb_SetU32(inst, kEvStamp, now);
        }
        Q4Fb_PutBool(db, ops[3], inst[kEvQ]);
    });
}
