// Reception of the emergency messages that a ladder or IEC block armed, one
// of the CANopen node's per-scan steps. (The hold while a new network table
// is downloaded is the NMT master module's, io/canopen_master.)
#pragma once

#include "io/candrv.h"
#include "platform/bytes.h"

// Emergency reception: armed for one node (1-127) or any node (0). While
// armed, EMCY frames (0x81-0xFF) are taken: the expected node's first one
// is kept, the others dropped; unarmed they go on to the other services.
void CoService_EmcyArm(u8 node);
void CoService_EmcyDisarm();
bool CoService_EmcyArmed();
// The kept emergency: sending node, 2-byte error code and 6 data bytes
// (data[0..7] as received); false while none arrived. Taking it clears it.
bool CoService_EmcyTake(u8* node, u8* data8);
bool CoService_EmcyFrame(const CanMsg& m);

void CoService_Reset();
