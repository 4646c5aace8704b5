// The CAN port layer under the runtime's CAN driver: one raw socket per port
// of the application's CAN definition, on the Linux CAN interface that the
// port's name names ("can0", "can1"; compared lower-case). It uses the
// interface as it stands and configures nothing; the controller's own CAN
// port may hold a socket on the same interface, and each socket receives
// every frame.
//
// Where the kernel has no SocketCAN (or PLC_CAN_BUS names a stand-in bus),
// can0 is a seat of its own on the stand-in bus of the simulated board, so
// the runtime's frames and the controller's own are seen by each other and by
// every other node. The stand-in board has no can1.
//
// Frames from the bus are not trusted: a read of another size than one
// frame, or a length code above 8, is dropped.
#pragma once

#include "platform/bytes.h"
#include "platform/canbus.h"

int Q4Can_PreOpen(u8* db);
void Q4Can_PostClose(u8* db);
// Opens the socket of a port record: 0, also for a name that does not
// begin with "can" (the port then has no socket); 1 when the socket could
// not be made, the interface is unknown or the bind failed.
int Q4Can_Open(u8* port, const char* name);
// Reads every waiting frame into the port's messages.
void Q4Can_OnPreExchange(u8* db, u8* port);
// Stores one frame taken from the bus in its message (a declared one, or a
// free dynamic one): 1, or 0 when it was dropped.
int Q4Can_Deliver(u8* db, u8* port, const CanFrame& f);
// Writes every message that is due, one frame each.
void Q4Can_OnPostExchange(u8* db, u8* port);
void Q4Can_Close(u8* port);
int Q4Can_GetErrors(u8* port);
int Q4Can_GetBusOffFlag(u8* port);
void Q4CAN_OnSpcOut(u8* port, u8* msg);
// The descriptor of an open port, or -1.
int Q4Can_Descriptor(const u8* port);
