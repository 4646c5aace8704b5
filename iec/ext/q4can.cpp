#include "iec/ext/q4can.h"

#include <fcntl.h>
#include <linux/can.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "iec/ext/q4vmcan.h"
#include "iec/kernel/q4host.h"
#include "platform/canbus.h"

namespace {

// The sockets this layer opened. A port record's handle is only used when it
// is one of them: a database restored from a hot-restart image carries
// handles of an earlier process, which must never be read or closed.
struct Open {
    int fd;
    bool standIn;
    CanBusSeat seat;
};
std::vector<Open> g_open;

Open* OpenOf(int fd) {
    if (fd < 0) return nullptr;
    for (Open& o : g_open)
        if (o.fd == fd) return &o;
    return nullptr;
}

CanBusSeat* SeatOf(int fd) {
    Open* o = OpenOf(fd);
    return o && o->standIn ? &o->seat : nullptr;
}

int Handle(const u8* port) { return static_cast<i32>(GetLe32(port + kCanPrHandle)); }
void SetHandle(u8* port, int fd) { PutLe32(port + kCanPrHandle, static_cast<u32>(fd)); }

// One frame from the socket, or false when none waits. Reads of another size
// than one frame are dropped.
bool ReadFrame(int fd, CanFrame* f) {
    for (;;) {
        u8 raw[kCanFrameBytes];
        if (CanBusSeat* s = SeatOf(fd)) {
            if (CanBus_Receive(*s, raw) != kCanFrameBytes) return false;
            *f = CanFrame_Unpack(raw);
        } else {
            const ssize_t n = read(fd, raw, sizeof raw);
            if (n < 0) return false;
            if (n != kCanFrameBytes) continue;
            can_frame cf;
            std::memcpy(&cf, raw, sizeof cf);
            f->idWord = cf.can_id;
            f->length = cf.len;
            std::memcpy(f->data, cf.data, 8);
        }
        return true;
    }
}

bool WriteFrame(int fd, const CanFrame& f) {
    if (CanBusSeat* s = SeatOf(fd)) {
        u8 raw[kCanFrameBytes];
        CanFrame_Pack(f, raw);
        return CanBus_Send(*s, raw) == kCanFrameBytes;
    }
    can_frame cf{};
    cf.can_id = f.idWord;
    cf.len = f.length;
    std::memcpy(cf.data, f.data, 8);
    return write(fd, &cf, sizeof cf) == static_cast<ssize_t>(sizeof cf);
}

// can0 on the stand-in bus.
int OpenStandIn(u8* port, const char* name, int bus) {
    if (std::strcmp(name, "can0") != 0) {
        Q4EVSTRACE("IOCTL error\n");
        return 1;
    }
    CanBusSeat seat;
    if (!CanBus_Join(bus, &seat)) {
        Q4EVSTRACE("Cannot create CAN socket %d\n", errno);
        return 1;
    }
    g_open.push_back(Open{seat.fd, true, seat});
    SetHandle(port, seat.fd);
    return 0;
}

}  // namespace

int Q4Can_PreOpen(u8*) { return 0; }
void Q4Can_PostClose(u8*) {}

int Q4Can_Open(u8* port, const char* name) {
    SetHandle(port, -1);
    char lower[16] = {};
    for (u32 i = 0; i < 15 && name && name[i]; ++i)
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    if (std::strncmp(lower, "can", 3) != 0) return 0;
    int bus = CanBus_FromEnvironment();
    if (bus != 0) return OpenStandIn(port, lower, bus);
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        if (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT) return OpenStandIn(port, lower, kCanDefaultBus);
        Q4EVSTRACE("Cannot create CAN socket %d\n", errno);
        return 1;
    }
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, lower, sizeof lower < IFNAMSIZ ? sizeof lower : IFNAMSIZ);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0) {
        Q4EVSTRACE("IOCTL error\n");
        close(fd);
        return 1;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Q4EVSTRACE("Cannot bind CAN port");
        close(fd);
        return 1;
    }
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) != 0) {
        close(fd);
        return 1;
    }
    g_open.push_back(Open{fd, false, CanBusSeat{}});
    SetHandle(port, fd);
    return 0;
}

void Q4Can_OnPreExchange(u8* db, u8* port) {
    const int fd = Handle(port);
    if (!OpenOf(fd)) return;
    CanFrame f;
    while (ReadFrame(fd, &f)) Q4Can_Deliver(db, port, f);
}

int Q4Can_Deliver(u8* db, u8* port, const CanFrame& f) {
    if (f.length > kQ4CanMaxData) return 0;
    u8* msg = Q4VMCan_FindRcvMsg(db, port, f.idWord);
    if (!msg) return 0;
    // A frame shorter than its message changes its own bytes only.
    const u32 n = std::min<u32>(msg[kCanMrLength], f.length);
    std::memcpy(msg + kCanMrData, f.data, n);
    Q4VMCan_MarkRcvMsg(db, port, msg);
    return 1;
}

void Q4Can_OnPostExchange(u8* db, u8* port) {
    const int fd = Handle(port);
    if (!OpenOf(fd)) return;
    while (u8* msg = Q4VMCan_PopNextSndMsg(db, port)) {
        CanFrame f;
        f.idWord = GetLe32(msg + kCanMrId);
        f.length = std::min<u8>(msg[kCanMrLength], kQ4CanMaxData);
        std::memcpy(f.data, msg + kCanMrData, 8);
        WriteFrame(fd, f);  // a frame the socket refuses is lost
    }
}

void Q4Can_Close(u8* port) {
    if (Open* o = OpenOf(Handle(port))) {
        if (o->standIn) CanBus_Leave(&o->seat);
        else close(o->fd);
        g_open.erase(g_open.begin() + (o - g_open.data()));
    }
    SetHandle(port, -1);
}

int Q4Can_GetErrors(u8*) { return 0; }
int Q4Can_GetBusOffFlag(u8*) { return 0; }
void Q4CAN_OnSpcOut(u8*, u8*) {}
int Q4Can_Descriptor(const u8* port) { return port && OpenOf(Handle(port)) ? Handle(port) : -1; }
