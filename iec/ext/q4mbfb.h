// Modbus function blocks of the runtime's standard list: the masters that
// send one request at a time under the program's control, over TCP
// (MBMASTERTCP) or as RTU frames on the serial port the runtime borrows
// (MBMASTERRTU), and the family's rows of the block table.
#pragma once

#include "iec/kernel/q4vmfb.h"

int Q4MbFb_MasterTcp(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4MbFb_MasterRtu(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// Slaves serving the application's Modbus server on a TCP port of their own
// (workbench frames on it are served as on the workbench port).
int Q4MbFb_SlaveTcp(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4MbFb_SlaveTcpEx(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// Slaves on a UDP port (Modbus/TCP framing, or RTU frames with their CRC).
int Q4MbFb_SlaveUdp(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4MbFb_SlaveUdpEx(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// RTU slaves on the runtime's serial port.
int Q4MbFb_SlaveRtu(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4MbFb_SlaveRtuEx(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4MbFb_SlaveRtuExD(int command, u8* db, u8* classData, u8* inst, const u16* ops);
// Forgets which RTU master holds the serial port and closes the TCP slaves'
// servers (the application stopped).
void Q4MbFb_Reset();

// Instance of the RTU slaves (556 bytes).
constexpr u32 kMbsRx = 0, kMbsTx = 256, kMbsHeld = 512, kMbsExpected = 514, kMbsOther = 516, kMbsPos = 518,
              kMbsAnswerLen = 520, kMbsAnswerSent = 522, kMbsCounters = 524, kMbsHandle = 548, kMbsOpen = 552,
              kMbsBytes = 556;
// Counters in instance order.
enum Q4MbSlaveCounter : u32 { kMbsNReq, kMbsNGood, kMbsNExc, kMbsNAns, kMbsNBcast, kMbsNCrcErr };
// Instance size the TCP slaves report.
constexpr u32 kMbsTcpBytes = 20260;

// Instance data of both masters (288 bytes, little-endian fields).
constexpr u32 kMbmSendTime = 0, kMbmTransaction = 4, kMbmLength = 6, kMbmPosition = 8, kMbmReadQuantity = 10,
              kMbmState = 12, kMbmError = 13, kMbmDone = 14, kMbmPrevEnable = 15, kMbmPrevRequest = 16,
              kMbmFrame = 17, kMbmWaiting = 281, kMbmHandle = 284, kMbmBytes = 288;
enum Q4MbMasterState : u8 { kMbmClosed = 0, kMbmConnecting = 1, kMbmReady = 2, kMbmSending = 3, kMbmAwaiting = 4 };
// Error output codes.
enum Q4MbMasterError : u8 {
    kMbmErrFunction = 1,
    kMbmErrTimeout = 128,
    kMbmErrCrc = 129,
    kMbmErrPort = 130,
    kMbmErrSlave = 200,
    kMbmErrAddress = 201,
    kMbmErrAnswerSize = 202,
    kMbmErrType = 203,
    kMbmErrQuantity = 204,
};

inline constexpr Q4BlockEntry kQ4MbFbRows[] = {
    {"MBMASTERTCP", Q4MbFb_MasterTcp},
    {"MBMASTERRTU", Q4MbFb_MasterRtu},
    {"MBSLAVETCP", Q4MbFb_SlaveTcp},
    {"MBSLAVETCPEX", Q4MbFb_SlaveTcpEx},
    {"MBSLAVEUDP", Q4MbFb_SlaveUdp},
    {"MBSLAVEUDPEX", Q4MbFb_SlaveUdpEx},
    {"MBSLAVERTU", Q4MbFb_SlaveRtu},
    {"MBSLAVERTUEX", Q4MbFb_SlaveRtuEx},
    {"MBSLAVERTUEXD", Q4MbFb_SlaveRtuExD},
};
