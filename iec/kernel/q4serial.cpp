#include "iec/kernel/q4serial.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "core/plc_regs.h"
#include "iec/ext/q4csser.h"
#include "iec/kernel/q4link.h"

namespace {
// System register word 290 (SR163): the port the runtime borrows.
u16 PortSelect() { return SR_Get(163); }
}  // namespace

void Q4Serial_Initialize(int* handle) {
    if (handle) *handle = -1;
}

int Q4Serial_IsValid(const int* handle) { return handle && *handle != -1; }

int Q4Serial_Open(int* handle, const char* settings) {
    (void)settings;
    if (!handle || *handle != -1) return 1;
    const Q4LinkPeers& ops = q4LinkPeers;
    if (!ops.descriptor || !ops.hostCode) return 1;
    if (ops.hostCode() == 3) {
        int fd = ops.descriptor(kQ4PortUSB);
        if (fd >= 0) tcflush(fd, TCIFLUSH);
        *handle = fd >= 0 ? fd : -1;
        return 1;
    }
    u16 sel = PortSelect();
    if (sel == 0 || sel == 10) {
        int fd = ops.descriptor(sel == 0 ? kQ4PortMJ1 : kQ4PortMJ3);
        *handle = fd >= 0 ? fd : -1;
    }
    return 1;
}

void Q4Serial_Close(int* handle) {
    // The descriptor is borrowed: the serial layer goes on using it, so only
    // the runtime's hold on it ends here.
    if (handle) *handle = -1;
}

u32 Q4Serial_Send(int* handle, u32 count, const u8* data) {
    if (!handle || *handle == -1 || !data) return 0;
    u16 attempts = static_cast<u16>(count > 0xFFFF ? 0xFFFF : count);
    u16 sent = 0;
    for (u16 a = 0; a < attempts && sent < attempts; ++a) {
        ssize_t n = ::write(*handle, data + sent, 1);
        if (n == 1) ++sent;
    }
    return sent;
}

u32 Q4Serial_Receive(int* handle, u32 maximum, u8* buffer) {
    if (!handle || *handle == -1 || !buffer || maximum == 0) return 0;
    int pending = 0;
    if (::ioctl(*handle, FIONREAD, &pending) != 0 || pending <= 0) return 0;
    if (maximum == 4 && new_serial_packet) {
        if (pending < 4) return 0;
        new_serial_packet = 0;
    }
    u32 want = static_cast<u32>(pending) < maximum ? static_cast<u32>(pending) : maximum;
    ssize_t n = ::read(*handle, buffer, want);
    if (n <= 0) return 0;
    if (n >= 2 && buffer[0] == 'Z' && buffer[1] == 'J') {
        // The controller's programming software speaks: give the port back.
        q4_rcv = 0;
        Q4Link_HandBack(1);
        *handle = -1;  // the descriptor belongs to the serial layer
        return 0;
    }
    q4_rcv = (n >= 2 && buffer[0] == 'Q' && buffer[1] == '4') ? 1 : 0;
    return static_cast<u32>(n);
}
