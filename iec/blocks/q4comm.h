// Serial-port and modem blocks of the controller's library: the application
// takes a serial port over (OPENCOMM, OPENCOMMREG), gives it back
// (CLOSECOMM), sends and receives bytes of a byte array (SENDCOMM, RCVCOMM;
// a count beyond the array is refused), and drives a Hayes modem or GPRS call on it (MODEMSENDINIT,
// MODEMAUTODIAL, GPRSCONNECTS, GPRSCONNECT, MODEMAUTOANSWER). The blocks do
// no I/O themselves: they fill the records of the TALK port functions and
// call them once per execution. The recipe blocks, which have no effect,
// are here as well.
//
// The TALK functions know the block that owns a port by the address of the
// record it hands them, so every open of a port presents that port's entry
// of talk_open (OPENCOMMREG too), and every close its entry of talk_close.
// A modem text longer than its record holds is refused: the modem is not
// called and the status stays as it was.
#pragma once

#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmfb.h"
#include "platform/neighbour.h"

// The TALK port functions (filled by the wiring; all required).
struct Q4CommPeers {
    int (*talkOpen)(const u8* record, int enable) = nullptr;
    int (*talkClose)(const u8* record, int enable) = nullptr;
    int (*talkSend)(const u8* record, int enable) = nullptr;
    int (*talkReceive)(const u8* record, int enable) = nullptr;
    int (*talkModem)(u8* record, u32 bytes, int enable) = nullptr;
};
extern Q4CommPeers q4CommPeers;
void Q4CommPeers_Check(NeighbourCheck& check);

// Open records of ports 0 and 1 (u16 port, baud code, parity, data-bits
// code, stop-bits code, line mode, protocol | options << 4) and the close
// words. The protocol last opened by OPENCOMM goes to q4protocol
// (iec/kernel/q4host.h), which the Modbus engine reads.
constexpr u32 kTalkOpenBytes = 8;
extern u8 talk_open[2][kTalkOpenBytes];
extern u8 talk_close[2][2];
// Longest texts of the modem record.
constexpr u32 kModemInitMax = 49, kModemNumberMax = 29, kModemRingsMax = 22;
// Clears the records and the selector (start-up, tests).
void Q4Comm_Reset();

int Q4Ctl_OpenComm(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_OpenCommReg(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_CloseComm(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_SendComm(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_RcvComm(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ModemSendInit(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ModemAutoDial(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_GprsConnectS(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_GprsConnect(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ModemAutoAnswer(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_Recipe(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4CtlCommRows[] = {
    {"OPENCOMM", Q4Ctl_OpenComm},
    {"OPENCOMMREG", Q4Ctl_OpenCommReg},
    {"CLOSECOMM", Q4Ctl_CloseComm},
    {"SENDCOMM", Q4Ctl_SendComm},
    {"RCVCOMM", Q4Ctl_RcvComm},
    {"MODEMSENDINIT", Q4Ctl_ModemSendInit},
    {"MODEMAUTODIAL", Q4Ctl_ModemAutoDial},
    {"GPRSCONNECTS", Q4Ctl_GprsConnectS},
    {"GPRSCONNECT", Q4Ctl_GprsConnect},
    {"MODEMAUTOANSWER", Q4Ctl_ModemAutoAnswer},
    {"SAVERCPBYSTR", Q4Ctl_Recipe},
    {"SAVERCPBYINDEX", Q4Ctl_Recipe},
    {"SAVERCPBYSTR2", Q4Ctl_Recipe},
    {"LOADRCPBYSTR", Q4Ctl_Recipe},
    {"LOADRCPBYINDEX", Q4Ctl_Recipe},
    {"LOADRCPBYSTR2", Q4Ctl_Recipe},
};
