// The controller's CANopen node as the IEC runtime's CANopen blocks reach it:
// node id, node states, NMT commands, SDO transfers and emergency reception.
// The node lives in a service above the runtime; the wiring fills in these
// entries at start-up.
//
// Each entry takes a parameter record with one reference per parameter,
// two u16 halves each (high half first): a byte offset into the variable
// area the block passes, never a pointer. An entry whose references would
// leave the area answers 0 and changes nothing.
#pragma once

#include "platform/bytes.h"
#include "platform/neighbour.h"

struct Q4CanOpenArea {
    u8* base = nullptr;
    u32 bytes = 0;
};

// The parameters of each record, in order (widths in bytes):
//   getState: node 1 in, state 1 out
//   setNmtState: node 1, command 2, status 2
//   sdoRead: node 1, index 2, subindex 2, status 2, abort code 4, unused,
//            length 1 out, data out
//   sdoWrite: as sdoRead with length 2 in and data in
//   recEmergency: node 2, status 2, 8 data bytes out
//   recEmergencyAny: status 2, 8 data bytes out
// Results are the blocks' power flow.
struct Q4CanOpenPeers {
    u16 (*getNodeId)() = nullptr;
    void (*getState)(Q4CanOpenArea area, const u8* record) = nullptr;
    int (*setNmtState)(Q4CanOpenArea area, const u8* record, int enable) = nullptr;
    int (*sdoRead)(Q4CanOpenArea area, const u8* record, int enable) = nullptr;
    int (*sdoWrite)(Q4CanOpenArea area, const u8* record, int enable) = nullptr;
    void (*recEmergency)(Q4CanOpenArea area, const u8* record, int enable) = nullptr;
    void (*recEmergencyAny)(Q4CanOpenArea area, const u8* record, int enable) = nullptr;
};
extern Q4CanOpenPeers q4CanOpenPeers;  // filled by core/wiring.cpp
void Q4CanOpenPeers_Check(NeighbourCheck& check);
