// Modbus blocks of the controller's library on a serial port the application
// opened for Modbus RTU or ASCII: a master that sends one request per rising
// trigger (MODBUSDOREQUEST, and OLDUSERSMASTER, which takes bits and
// registers from two arrays), and a slave that serves four arrays of the
// application (MODBUSMAPSLAVE). The serial Modbus engine does the work; the
// blocks fill its IEC request record or slave map and call the TALK Modbus
// entry once per execution.
//
// The records the engine keeps using between executions lie in this
// module's static storage, one set per port and role, so that the engine
// never holds an address inside an application that was unloaded; the
// arrays in them are variable references that the engine resolves in the
// running application at every frame. A request whose local offset and
// count reach past its data array is not sent.
#pragma once

#include "iec/kernel/q4vmfb.h"
#include "platform/neighbour.h"

struct Q4ModbusPeers {
    int (*talkModbus)(int port, u16 address, u16 timeout, u8* control, u8* data, u8* status, int enable) = nullptr;
};
extern Q4ModbusPeers q4ModbusPeers;
void Q4ModbusPeers_Check(NeighbourCheck& check);

// Forgets the records (start-up, tests).
void Q4Modbus_Reset();

int Q4Ctl_ModbusDoRequest(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_OldUsersMaster(int command, u8* db, u8* classData, u8* inst, const u16* ops);
int Q4Ctl_ModbusMapSlave(int command, u8* db, u8* classData, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4CtlModbusRows[] = {
    {"MODBUSDOREQUEST", Q4Ctl_ModbusDoRequest},
    {"OLDUSERSMASTER", Q4Ctl_OldUsersMaster},
    {"MODBUSMAPSLAVE", Q4Ctl_ModbusMapSlave},
};
