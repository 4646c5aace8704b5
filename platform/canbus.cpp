#include "platform/canbus.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

void CanFrame_Pack(const CanFrame& f, u8* out16) {
    PutLe32(out16, f.idWord);
    out16[4] = f.length;
    out16[5] = out16[6] = out16[7] = 0;
    std::memcpy(out16 + 8, f.data, 8);
}

CanFrame CanFrame_Unpack(const u8* in16) {
    CanFrame f;
    f.idWord = GetLe32(in16);
    f.length = in16[4];
    std::memcpy(f.data, in16 + 8, 8);
    return f;
}

namespace {

bool ValidBus(long bus) { return bus > 0 && bus + kCanBusSeats - 1 <= 65535; }

sockaddr_in SeatAddress(int bus, int seat) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u16>(bus + seat));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

int CanBus_FromEnvironment() {
    const char* text = std::getenv("PLC_CAN_BUS");
    if (!text || !*text) return 0;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    return (*end == '\0' && ValidBus(v)) ? static_cast<int>(v) : 0;
}

bool CanBus_Join(int bus, CanBusSeat* seat) {
    *seat = CanBusSeat{};
    if (!ValidBus(bus)) {
        errno = EINVAL;
        return false;
    }
    for (int k = 0; k < kCanBusSeats; ++k) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in a = SeatAddress(bus, k);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            seat->fd = fd;
            seat->bus = bus;
            seat->seat = k;
            return true;
        }
        int e = errno;
        close(fd);
        if (e != EADDRINUSE) {
            errno = e;
            return false;
        }
    }
    errno = EADDRINUSE;
    return false;
}

void CanBus_Leave(CanBusSeat* seat) {
    if (seat->fd >= 0) close(seat->fd);
    *seat = CanBusSeat{};
}

int CanBus_Send(const CanBusSeat& seat, const u8* frame16) {
    if (seat.fd < 0) return -1;
    // Seats nobody holds answer with an ICMP error that an unconnected UDP
    // socket never reports; only a full send queue refuses the frame, and
    // only when no seat at all took it (a retry would repeat it to those).
    bool sent = false, refused = false;
    for (int k = 0; k < kCanBusSeats; ++k) {
        if (k == seat.seat) continue;
        sockaddr_in a = SeatAddress(seat.bus, k);
        ssize_t n = sendto(seat.fd, frame16, kCanFrameBytes, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (n == kCanFrameBytes) {
            sent = true;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            refused = true;
        }
    }
    return (refused && !sent) ? -1 : kCanFrameBytes;
}

int CanBus_Receive(const CanBusSeat& seat, u8* frame16) {
    if (seat.fd < 0) return -1;
    for (;;) {
        u8 buf[kCanFrameBytes + 1];
        ssize_t n = recv(seat.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n != kCanFrameBytes) continue;
        std::memcpy(frame16, buf, kCanFrameBytes);
        return kCanFrameBytes;
    }
}
