// Serial side of the workbench communication server: slot 1 on the serial
// port the runtime borrows. Workbench frames carry a CRC-16/MODBUS (high
// byte first); Modbus RTU frames are recognised by their function code, their
// length found by trying the CRC at the lengths the function allows.
#pragma once

#include "iec/ext/q4cs.h"

// Set when the serial server starts reading a new frame: the serial host
// layer then answers 0 to a 4-byte read until 4 bytes are pending, and clears
// it.
extern u8 new_serial_packet;

// Opens the serial handle and takes slot 1 for it; non-zero on success.
int Q4CSSer_Open(Q4CSContext* cs, const char* settings);
void Q4CSSer_Close(Q4CSContext* cs);
// Sends what is queued for slot 1, without receiving.
void Q4CSSer_Send(Q4CSContext* cs);
// One pass of slot 1: the queued answer with its CRC, then the request.
void Q4CSSer_Activate(Q4CSContext* cs);
