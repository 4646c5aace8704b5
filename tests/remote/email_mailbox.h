// The system update step's part in the e-mail file mailbox, for in-process
// e-mail tests with a card in drive A:.
#pragma once

#include "core/plc_regs.h"
#include "platform/bytes.h"
#include "platform/fx_api.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"

class EmailMailbox {
public:
    // Puts a fresh card in drive A:; false when the medium cannot be inserted.
    bool InsertCard() {
        Reset();
        inserted_ = Fx_InsertMedium(0);
        return inserted_;
    }
    ~EmailMailbox() {
        if (inserted_) Reset();
    }
    // One pass of the update step: takes a posted request, or finishes one.
    void Serve() {
        u8* mb = dpram + kDpramEmail;
        if (!busy_) {
            if (mb[0] != mb[1] && CFM_LoadEmailReq() == 1) busy_ = true;
            return;
        }
        CFM_Update();
        CFM_TheLoop();
        i32 r = 0;
        if (CFM_PollReq(pEmailCFCB, &r) == kCfmComplete) {
            PutLe32(mb + 4, static_cast<u32>(r));
            mb[1] = mb[0];
            busy_ = false;
        }
    }

private:
    static void Reset() {
        Fx_Reset();
        CF_Reset();
        CFM_Reset();
    }
    bool inserted_ = false;
    bool busy_ = false;
};
