#include "iec/blocks/q4counter.h"

#include "iec/blocks/q4fbctl.h"

namespace {
constexpr u32 kCounterBytes = 2;
}

int Q4Ctl_Ctu(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, kCounterBytes, inst, ops, 5, [&] {
        i16 cv = static_cast<i16>(GetLe16(inst));
        const i16 pv = Q4Ctl_Int(db, ops[2]);
        if (Q4Fb_Bool(db, ops[1])) cv = 0;
        else if (Q4Fb_Bool(db, ops[0]) && cv < pv) ++cv;
        PutLe16(inst, static_cast<u16>(cv));
        Q4Fb_PutBool(db, ops[3], cv >= pv);
        Q4Ctl_PutInt(db, ops[4], cv);
    });
}

int Q4Ctl_Ctd(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, kCounterBytes, inst, ops, 5, [&] {
        i16 cv = static_cast<i16>(GetLe16(inst));
        if (Q4Fb_Bool(db, ops[1])) cv = Q4Ctl_Int(db, ops[2]);
        else if (Q4Fb_Bool(db, ops[0]) && cv > 0) --cv;
        PutLe16(inst, static_cast<u16>(cv));
        Q4Fb_PutBool(db, ops[3], cv <= 0);
        Q4Ctl_PutInt(db, ops[4], cv);
    });
}

int Q4Ctl_AdderAny(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbInstanceInit) {
        if (inst) inst[0] = 0;
        return 0;
    }
    return Q4Ctl_Run(command, 1, inst, ops, 2, [&] {
        const bool in = Q4Fb_Bool(db, ops[0]);
        inst[0] = in ? 1 : 0;
        Q4Fb_PutBool(db, ops[1], !in);
    });
}
