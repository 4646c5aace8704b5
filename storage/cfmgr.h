// Media manager: its request queues, the programming-port mailbox block and
// the automatic program load flags. Until the manager is built it serves no
// request; start-up creates its queues and opens it.
#pragma once

#include "core/bytes.h"
#include "platform/tx_api.h"

// "CFI_REQUEST" (four-word messages) and "CFI_RESPONSE" (two-word messages),
// one message each.
extern TxQueue qcb_cfi;
extern TxQueue qcb_cfo;
// Creates both queues over their one-message storage.
void CFM_CreateQueues();

// Automatic program load: start-up decided to load from the card; a load is
// in progress (the scan is skipped meanwhile); its state machine must start over.
extern u8 Sys_AppLoad;
extern u8 Sys_AutoLoad;
extern u8 Sys_ALstmcInited;

void CFM_Open();
void CFM_Update();
void CFM_TheLoop();
void Dpram_Init();
void Dpram_Service();
