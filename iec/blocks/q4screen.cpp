#include "iec/blocks/q4screen.h"

#include "core/plc_regs.h"
#include "iec/blocks/q4fbctl.h"

namespace {

// FORCESCREEN instance: its number (u16) and its active flag (u8).
constexpr u32 kNumber = 0, kActive = 2, kForceBytes = 4;

struct Arbitration {
    u16 forcing = 0;       // instance that forces now, 0 none
    u16 saved = 0;         // screen shown before the force, 0 none
    u16 lastReleased = 0;  // instance that last ended its force
    u16 instances = 0;
    u8 renumber = 0;       // set at registration: numbering starts again
};
Arbitration g;

}  // namespace

void Q4Screen_Reset() { g = Arbitration{}; }

int Q4Ctl_ChangeScreen(int command, u8* db, u8*, u8* inst, const u16* ops) {
    return Q4Ctl_Run(command, 0, inst, ops, 2, [&] {
        if (SR_Get(2) != 0) return;
        const i32 screen = Q4Fb_Dint(db, ops[0]);
        if (screen != static_cast<i32>(SR_Get(1)) || screen != Q4Fb_Dint(db, ops[1])) {
            SR_Put(1, static_cast<u16>(screen));
            Q4Fb_PutDint(db, ops[1], static_cast<u16>(screen));
        }
    });
}

int Q4Ctl_ForceScreen(int command, u8* db, u8*, u8* inst, const u16* ops) {
    if (command == kFbInstanceSize) {
        g.renumber = 1;
        return kForceBytes;
    }
    if (command == kFbInstanceInit && inst) {
        const u16 number = g.renumber ? 1 : static_cast<u16>(g.instances + 1);
        g.renumber = 0;
        g.instances = number;
        PutLe16(inst + kNumber, number);
        inst[kActive] = 0;
        return 0;
    }
    return Q4Ctl_Run(command, kForceBytes, inst, ops, 3, [&] {
        const u16 number = GetLe16(inst + kNumber);
        if (Q4Fb_Bool(db, ops[0])) {
            inst[kActive] = 1;
            if (g.forcing < number) {
                g.forcing = number;
                g.saved = SR_Get(1);
                const u16 screen = static_cast<u16>(Q4Fb_Dint(db, ops[1]));
                SR_Put(2, screen);
                g.lastReleased = 0;
                Q4Fb_PutDint(db, ops[2], screen);
            }
        } else if (inst[kActive]) {
            inst[kActive] = 0;
            if (g.forcing == number) {
                g.lastReleased = number;
                g.forcing = 0;
                SR_Put(2, 0);
            }
        }
        if (SR_Get(2) != 0) {
            if (number + 1 == g.instances && SR_Get(1) != SR_Get(2)) SR_Put(1, SR_Get(2));
        } else if (g.saved != 0 && (number == g.lastReleased + 1 || number == 1)) {
            SR_Put(1, g.saved);
            g.saved = 0;
        }
    });
}

int Q4Ctl_KeyPress(int command, u8*, u8*, u8*, const u16*) { return command == kFbAnyType ? 1 : 0; }
