// The board's serial ports as the serial drivers reach them.
//
// The devices are paths under the root ("/dev/ttySP3", "/dev/ttySP4",
// "/dev/ttyGS0", "/dev/ttySP0"), where a test puts a pseudo-terminal. What a
// pseudo-terminal cannot do (the modem lines, the board driver's private
// requests and the UART FIFO of the SoC) is answered by the serial drivers
// (link/sci.h) and recorded there; the FIFO of the two UARTs is reached here.
#pragma once

#include "platform/bytes.h"

// Private requests of the board's serial driver.
constexpr unsigned long kSciReqMode485 = 0x5461, kSciReqGapSeen = 0x5463, kSciReqGapSet = 0x5465,
                        kSciReqGapArm = 0x5466;

// Firmware path of the device of a serial unit (0 ttySP3, 1 ttySP4, 2 the USB
// device port ttyGS0, 3 ttySP0); nullptr for another unit.
const char* Serial_DevicePath(int unit);

// Switches off and clears the receive and transmit FIFO of the UART behind
// logical port 0 or 1 (the RS-485 and RTU modes need every byte at once).
void Serial_ClearUartFifo(int port);
