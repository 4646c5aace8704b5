// Serial client of the workbench communication server.
#pragma once

#include "platform/bytes.h"

// Set when the serial server starts reading a new frame: the serial host
// layer then answers 0 to a 4-byte read until 4 bytes are pending, and clears
// it.
extern u8 new_serial_packet;
