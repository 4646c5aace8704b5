#include "remote/gsmgprs.h"

#include "storage/dbg_logger.h"

void GSMGPRSParmInit(const u16* gsmRecord, u32 words) {
    // A record too short to hold the setting leaves the debug log off.
    if (gsmRecord == nullptr || words < 30) {
        DBG_SetLogRegister(0);
        return;
    }
    DBG_SetLogRegister(static_cast<u32>(gsmRecord[28]) | (static_cast<u32>(gsmRecord[29]) << 16));
}
