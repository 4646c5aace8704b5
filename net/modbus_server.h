// The Modbus TCP and UDP server as an Ethernet protocol server: it serves
// only an interface with an address that carries stream services.
#pragma once

#include "net/enet_server.h"
#include "net/modbus.h"

inline constexpr EnetServer kModbusServer{
    "Modbus", Modbus_Init, Modbus_DeInit, Modbus_Scan, Modbus_Conn_Cnt, Modbus_HasWork, Modbus_Reset, true,
};
