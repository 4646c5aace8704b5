// Process data objects of the CANopen node: transmit PDOs composed from
// registers (or IEC variables) and sent by their transmission type, receive
// PDOs written into them, and the dynamic mapping that an SDO client may set
// up in place of the network table's static one.
//
// The configuration comes from the network table at each (re)start; the
// node (io/canopen.h) calls the transmit step once per scan in operational
// state, hands over received PDOs and remote requests, and reports the
// status bits and error indices kept here in its status word and register.
#pragma once

#include "io/candrv.h"
#include "io/canopen_table.h"

// Status word bits owned by the PDOs.
constexpr u32 kCoStatusRpdoWrite = 0x20, kCoStatusRpdoMapping = 0x40, kCoStatusRpdoLength = 0x80,
              kCoStatusRpdoEmpty = 0x100, kCoStatusTpdoRead = 0x400, kCoStatusTpdoLength = 0x800,
              kCoStatusTpdoMapping = 0x1000, kCoStatusTpdoEmpty = 0x2000;
constexpr u32 kCoStatusPdoBits = 0x3FE0;

constexpr int kCoDynamicMapEntries = 1024;
constexpr int kCoDynamicBlock = 64;

struct CoPdoSetup {
    bool iecLayout = false;  // IEC variable mode: 12-byte TPDO parameters, 8-byte mapping entries
    u32 mapEnable = 0;       // IEC variable mode: bit 0 = the PDO map register rule
    u32 mapRegister = 0;     // IEC variable mode: reference of the PDO map register
    bool initialTx = false;  // every TPDO sends once without being asked
};

// Takes the PDOs of a checked table (or none) and empties the dynamic map.
void CoPdo_Init(const CoTable& table, const CoPdoSetup& setup);
// The TPDO transmission of one scan (operational state). The synchronous
// TPDOs go out only while SYNC is configured and its window is open.
void CoPdo_Transmit(bool syncConfigured, bool windowOpen);
// A received data frame: true when it belonged to an RPDO.
bool CoPdo_Receive(const CanMsg& m);
// A received remote frame: true when it asked for a TPDO.
bool CoPdo_RemoteRequest(u32 id);
// SYNC processing: counters of the synchronous TPDOs, then the RPDOs that
// waited for the SYNC.
void CoPdo_SyncCount();
void CoPdo_SyncApply();

u32 CoPdo_Status();
u16 CoPdo_TpdoError();
u16 CoPdo_RpdoError();

// Dictionary objects 0x1400-0x1BFF (communication and mapping parameters).
// On a read fills data (up to 4 bytes) and *length; on a write takes
// *length bytes. 0 or an SDO abort code.
u32 CoPdo_Object(u16 index, u8 subindex, bool write, u8* data, u16* length);
// IEC variable mode: the variable that dictionary object index/subindex
// stands for (a mapping entry's reference or the PDO map register rule);
// 1 found.
int CoPdo_IecTarget(u16 index, u8 subindex, u32* target);
bool CoPdo_IecMode();

int CANOpenTPDOCompose(int tpdo, u8* data);
void CANOpenRPDOExtract(int rpdo, u8 count, const u8* data, u8 dataLength);

void CoPdo_Reset();
