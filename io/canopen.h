// CANopen layer. Until the CANopen stack is built the start and the per-scan
// steps do nothing; the start record (CanOpenNetStart) is the controller's,
// built from its network settings by Plc_NetInit.
#pragma once

#include "core/plc.h"
#include "platform/bytes.h"

// Set once SR29 and SR30 were taken from the downloaded CANopen table.
extern u8 NodeId_Flag;

void CANOpenInit(const CanOpenNetStart* start);
void CANOpenRxMsg();
void CANOpenTxMsg();
