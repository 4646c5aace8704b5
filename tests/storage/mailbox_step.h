// The file request mailbox's side of the system update, as the tests drive
// it: a pending mailbox is handed to the media manager, its slot is polled,
// and the result and the acknowledge toggle are written back.
#pragma once

#include "platform/bytes.h"
#include "storage/cfmgr.h"

class FileMailboxStep {
public:
    void Step() {
        u8* mb = dpram + kDpramFile;
        if (state_ == 0) {
            if (mb[0] != mb[1] && CFM_LoadDpramReq()) state_ = 2;
            return;
        }
        i32 result = 0;
        if (CFM_PollReq(pDpramCFCB, &result) == kCfmComplete) {
            PutLe32(dpram + kDpramFileResult, static_cast<u32>(result));
            mb[1] = mb[0];
            state_ = 0;
        }
    }
    // One main-loop pass of the three steps, in the main loop's order.
    void Pass() {
        Step();
        CFM_Update();
        CFM_TheLoop();
    }

private:
    int state_ = 0;
};
