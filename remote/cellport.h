// Serial port of the internal cellular module: logical port 2, the board's
// UART "/dev/ttySP2" (a path under the root, where a test puts a
// pseudo-terminal). It offers the serial operation table of ports 0 and 1 so
// the modem code drives every modem port alike. The module has no carrier or
// line-control wires on this port: GetDCD answers 0 and Enable does nothing.
#pragma once

#include <poll.h>

#include <vector>

#include "link/vcomm.h"

constexpr u32 kCellPort = 2;
constexpr const char* kCellPortPath = "/dev/ttySP2";

VcommDriver& CellPort_Driver();
// The open device's descriptor for the main loop's idle wait (none when closed).
void CellPort_Descriptors(std::vector<pollfd>& fds);
// Closes the device and forgets the mode (tests).
void CellPort_Reset();
