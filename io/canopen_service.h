// What the CANopen node's per-scan steps add around its services: the hold
// while a new network table is downloaded (and the restart once it is in),
// and the reception of emergency messages that a ladder or IEC block armed.
#pragma once

#include "io/candrv.h"
#include "platform/bytes.h"

// From the transmit step, after the tunnel: true while memory area 23 is
// being downloaded (the node keeps only its tunnel then). At the first scan
// of a download a master sends enter-pre-operational to all nodes and this
// node becomes pre-operational; when the download has ended, or the table's
// CRC changed, the node starts again from the new table once the link has
// finished downloading.
bool CoService_DownloadHold();

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
