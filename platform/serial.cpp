#include "platform/serial.h"

#include "platform/board.h"

namespace {

constexpr const char* kDevices[] = {"/dev/ttySP3", "/dev/ttySP4", "/dev/ttyGS0", "/dev/ttySP0"};
// FIFO control words of the two application UARTs (bit 4 switches the FIFO
// off and clears it).
constexpr u32 kUartFifoCtrl[2] = {kSocMapBase + 0x58038, kSocMapBase + 0x5a038};
constexpr u32 kUartFifoOff = 0x10;

}  // namespace

const char* Serial_DevicePath(int unit) {
    if (unit < 0 || unit >= static_cast<int>(sizeof kDevices / sizeof kDevices[0])) return nullptr;
    return kDevices[unit];
}

void Serial_ClearUartFifo(int port) {
    if (port < 0 || port > 1) return;
    // The simulated board has no UART blocks: there the FIFO is the
    // pseudo-terminal's, which needs nothing.
    if (Board_RegExists(kUartFifoCtrl[port])) Board_RegWrite(kUartFifoCtrl[port], kUartFifoOff);
}
