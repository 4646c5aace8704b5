// The controller as a CANopen node on CAN port 0.
//
// Its behaviour comes from the CANopen network table (memory area 23, read
// through io/canopen_table.h); without a valid table a built-in default
// record makes it a pre-operational slave. CANOpenInit (re)starts the node
// and opens the port; CANOpenRxMsg, at the start of each scan, serves the
// received frames; CANOpenTxMsg, at the end of each scan in every mode,
// runs the transmitting services and writes the status register.
#pragma once

#include "core/plc.h"
#include "platform/bytes.h"

// Device type answered for object 0x1000.
constexpr u32 kCoDeviceType = 0x195;
// Vendor id answered for object 0x1018 sub 1: 0, the reserved number, as
// this node carries no registered one.
constexpr u32 kCoVendorId = 0;
constexpr u32 kCoRevision = 0x10000;

// Set once SR29 and SR30 were taken from the downloaded CANopen table.
extern u8 NodeId_Flag;

// NMT states of this node.
constexpr u8 kNmtInitialising = 0, kNmtStopped = 4, kNmtOperational = 5, kNmtPreOperational = 127;
// NMT commands (byte 0 of a frame with identifier 0).
constexpr u8 kNmtStart = 0x01, kNmtStop = 0x02, kNmtEnterPreOperational = 0x80, kNmtResetNode = 0x81,
             kNmtResetCommunication = 0x82;

// Status word bits.
constexpr u32 kCoStatusInvalidTable = 0x1;
constexpr u32 kCoStatusUnsupervised = 0x4;
constexpr u32 kCoStatusTxRingFull = 0x8;
constexpr u32 kCoStatusShortNmt = 0x8000;
constexpr u32 kCoStatusRegisterFailed = 0x10000;
constexpr u32 kCoStatusGuardingLost = 0x20000;
constexpr u32 kCoStatusHeartbeatLost = 0x40000;
constexpr u32 kCoStatusRxOverflow = 0x200000;
constexpr u32 kCoStatusBusOff = 0x400000;
constexpr u32 kCoStatusWarning = 0x800000;
// The status bits that EMCY reports (and the error register shows).
constexpr u32 kCoEmcyReportedBits = 0x1EBFFB;

void CANOpenInit(const CanOpenNetStart* start);
void CANOpenRxMsg();
void CANOpenTxMsg();
// Queues an NMT command (node id 0: all nodes). 1 when queued, 0 when the
// transmit ring was full.
int CANOpenNMTSend(u8 node, u8 command);
// Sends one heartbeat now.
void CANOpenHBProd();

// Queues one frame on port 0: false (and status bit 0x8) when the transmit
// ring is full.
bool CANOpen_Queue(u32 id, u8 length, const u8* data, bool remote);
// The node's communication objects of the dictionary (0x1000-0x1FFF other
// than the SDO and PDO parameters): 0 or an SDO abort code; reads fill data
// (up to 8 bytes) and *length, writes take *length bytes.
u32 CANOpen_CommObject(u16 index, u8 subindex, bool write, u8* data, u16* length);

u16 CANOpen_NodeId();
u8 CANOpen_NmtState();
// For the NMT master and the blocks: this node's NMT state, bits of the
// status word, whether it is the master, and a restart of the node from its
// table with its own settings.
void CANOpen_SetNmtState(u8 state);
void CANOpen_StatusBits(u32 bits, bool on);
bool CANOpen_Master();
void CANOpen_Restart();
// NMT state of a supervised node (254 unknown), 255 when it is not listed.
u8 CANOpen_NodeNmtState(u8 node);
// Status of a supervised node (0 fine, 11 heartbeat lost, the master's boot
// codes); 255 when the node is not supervised.
u8 CANOpen_NodeStatus(u8 node);
u32 CANOpen_Status();
// Forgets every state (tests).
void CANOpen_Reset();
