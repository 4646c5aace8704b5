// The NMT master of the CANopen node, and the node's reaction to a new
// network table.
//
// A controller whose network table carries start-up flag 0x01 supervises the
// nodes of the table's node rows: once per scan it takes one step of the
// current node's boot (reset, identity checks and configuration download
// through the SDO client, error check, start, run), while it consumes their
// heartbeats or guards them. What the master owns: the node list with each
// node's status, NMT state and boot step, the reset wait, the start round and
// the node status registers. The node itself (io/canopen.h) calls in here
// from its receive and transmit services.
//
// Every node, master or slave, also holds its network while memory area 23
// is being downloaded and starts again from the new table once the download
// has ended (CoMaster_TableDownload).
#pragma once

#include "io/canopen_table.h"

// Node status codes (node list, node status registers).
constexpr u8 kCoNodeBooted = 0, kCoNodeNotASlave = 1, kCoNodeDeviceType = 3, kCoNodeVendor = 4,
             kCoNodeHeartbeatAtBoot = 5, kCoNodeGuardingLost = 6, kCoNodeNoSoftwareDate = 7,
             kCoNodeSoftwareDate = 8, kCoNodeHeartbeatLost = 11, kCoNodeKeptAlive = 12, kCoNodeProduct = 13,
             kCoNodeRevision = 14, kCoNodeSerial = 15, kCoNodeWrongState = 253, kCoNodeWatchedId = 254,
             kCoNodeNotBooted = 255;
// Status word bits owned by the master.
constexpr u32 kCoStatusOptionalFailed = 0x80000, kCoStatusMandatoryFailed = 0x100000;

// Boot steps of a supervised node.
constexpr u8 kCoStepReset = 1, kCoStepErrorCheck = 16, kCoStepStart = 17, kCoStepRun = 18, kCoStepGivenUp = 19;

// Takes the node rows of a checked table (master set) or forgets them, and
// remembers the table's CRC. Called by every (re)start of the node.
void CoMaster_Init(const CoTable& table, bool master, u8 startupFlags, u32 statusRegister, bool iecMode);
// A master with rows whose TPDOs are requested once the network runs: then
// every TPDO of this node is sent once without being asked.
bool CoMaster_InitialTpdo(const CoTable& table, bool master);

bool CoMaster_Active();
// The master consumes heartbeats (start-up flag 0x80), else it guards.
bool CoMaster_ConsumesHeartbeats();

// Receive side, called by the node: the per-scan supervision (heartbeat or
// guard check), a frame with identifier 0x701-0x77F, a frame that may be a
// node's watched identifier (true when it was), the SDO client's answer.
void CoMaster_Supervise();
void CoMaster_NodeFrame(u8 node, u8 data0, bool remote);
bool CoMaster_Watched(u32 id);
void CoMaster_ClientAnswered();
// An NMT command has just been queued.
void CoMaster_NmtSent();

// Transmit side: the table download (true when the rest of the node's
// transmit services are held this scan), then one master step.
bool CoMaster_TableDownload();
void CoMaster_Step();

// Status of the node with this id in the master's list; 255 when not listed.
u8 CoMaster_NodeStatus(u8 node);
u8 CoMaster_NodeStep(u8 node);
// The SDO client carries a transfer of the master's boot.
bool CoMaster_ClientBusy();
// The SDO client entry of the row that supervises this node: false when the
// node has no row.
bool CoMaster_SdoClient(u8 node, CoSdoEntry* entry);

void CoMaster_Reset();
