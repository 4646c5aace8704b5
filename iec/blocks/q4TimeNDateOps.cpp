#include "iec/blocks/q4TimeNDateOps.h"

#include "iec/blocks/q4fbctl.h"
#include "ladder/schedule.h"
#include "ladder/sunpos.h"

namespace {
// Hours, minutes and masks are INT operands; a negative one is taken as the
// large unsigned value it is, which every schedule refuses.
u32 Unsigned(u8* db, u16 index) { return static_cast<u32>(static_cast<i32>(Q4Ctl_Int(db, index))); }
}  // namespace

// start hour, start minute, end hour, end minute; out active.
int Q4Ctl_TimeOfDay(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 5, [&] {
        Q4Fb_PutBool(db, ops[4], Q4Schedule_TimeOfDay(Unsigned(db, ops[0]), Unsigned(db, ops[1]),
                                                      Unsigned(db, ops[2]), Unsigned(db, ops[3])) != 0);
    });
}

int Q4Ctl_DaysOfWeek(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2,
                     [&] { Q4Fb_PutBool(db, ops[1], Q4Schedule_DayOfWeek(Unsigned(db, ops[0])) != 0); });
}

int Q4Ctl_DaysOfMonth(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2,
                     [&] { Q4Fb_PutBool(db, ops[1], Q4Schedule_DayOfMonth(Q4Fb_Dint(db, ops[0])) != 0); });
}

int Q4Ctl_MonthsOfYear(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2,
                     [&] { Q4Fb_PutBool(db, ops[1], Q4Schedule_MonthOfYear(Unsigned(db, ops[0])) != 0); });
}

// year range: DINT, start year in the low word, end year in the high word.
int Q4Ctl_StartEndYear(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] {
        const u32 years = static_cast<u32>(Q4Fb_Dint(db, ops[0]));
        Q4Fb_PutBool(db, ops[1], Q4Schedule_Year(&years) != 0);
    });
}

// year, month, day, hour, minute, second (INT), latitude, longitude (LREAL);
// out azimuth, zenith angle (LREAL).
int Q4Ctl_SunPos(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 10, [&] {
        SunTime t{Q4Ctl_Int(db, ops[0]), Q4Ctl_Int(db, ops[1]), Q4Ctl_Int(db, ops[2]),
                  Q4Ctl_Int(db, ops[3]), Q4Ctl_Int(db, ops[4]), Q4Ctl_Int(db, ops[5])};
        SunLocation place{Q4Fb_Lreal(db, ops[7]), Q4Fb_Lreal(db, ops[6])};
        SunResult r{};
        sunpos(&t, &place, &r);
        Q4Fb_PutLreal(db, ops[8], r.azimuth);
        Q4Fb_PutLreal(db, ops[9], r.zenith);
    });
}
