#include "storage/cfmgr.h"

TxQueue qcb_cfi;
TxQueue qcb_cfo;
u8 Sys_AppLoad = 0;
u8 Sys_AutoLoad = 0;
u8 Sys_ALstmcInited = 0;

namespace {
u32 g_requestStorage[4];
u32 g_responseStorage[2];
}  // namespace

void CFM_CreateQueues() {
    _txe_queue_create(&qcb_cfi, "CFI_REQUEST", 4, g_requestStorage, sizeof g_requestStorage);
    _txe_queue_create(&qcb_cfo, "CFI_RESPONSE", 2, g_responseStorage, sizeof g_responseStorage);
}

void CFM_Open() {}
void CFM_Update() {}
// No medium can be served yet: an automatic program load ends at once
// without a program, so the scan is not held off for ever.
void CFM_TheLoop() {
    if (Sys_AutoLoad) {
        Sys_AutoLoad = 0;
        Sys_AppLoad = 0;
    }
}
void Dpram_Init() {}
void Dpram_Service() {}
