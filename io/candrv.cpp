#include "io/candrv.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/canbus.h"
#include "platform/cmdrun.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "platform/service.h"

namespace {

const char* const kInterfaceNames[] = {"can0", "can1"};
const char* const kDeviceNames[] = {"FlexCAN.0", "FlexCAN.1"};
const char* const kBitRateText[kCanBitRateCount] = {"125000", "250000", "500000", "1000000", "50000"};
const u32 kBitsPerMs[kCanBitRateCount] = {125, 250, 500, 1000, 50};

// Error-frame classes and controller-byte bits of SocketCAN.
constexpr u32 kErrClassCrtl = 0x04, kErrClassBusOff = 0x40, kErrClassRestarted = 0x100;
constexpr u8 kCrtlRxOverflow = 0x01, kCrtlRxWarning = 0x04, kCrtlTxWarning = 0x08, kCrtlRxPassive = 0x10,
             kCrtlTxPassive = 0x20, kCrtlActive = 0x40;
constexpr u8 kLatchedBits = kCanStatusTxWarning | kCanStatusRxWarning | kCanStatusBusOff;

enum Counter { kCntTxWarning, kCntRxWarning, kCntDropped, kCntOverflow, kCntReserved, kCntBusOff, kCounters };

struct Ring {
    CanMsg msgs[kCanRingSize];
    u16 write = 0, read = 0, count = 0;
};

struct Port {
    u8 settings[kCanSettingsBytes] = {};
    Ring rx, tx;
    u8 rxOverflow = 0;
    u8 frameFlags = 0;  // conditions of the error frame being handled
    u8 latched = 0;     // warning, passive and bus-off until recovery
    u32 lastActivity = 0;
    bool open = false;
    // Socket: SocketCAN descriptor, or the seat on the stand-in bus.
    int fd = -1;
    bool standIn = false;
    CanBusSeat seat;
    u16 txLoad = 0, rxLoad = 0;
    u16 counters[kCounters] = {};
    // Load window, on the full counter so that a window never wraps.
    bool windowStarted = false;
    u32 windowStart = 0, txBits = 0, rxBits = 0;
    CanEventCallback events[3] = {};
    CanIdFilter filter = CanIdFilterDefault;
    bool configured = false;  // callbacks and filter were set up once
};

struct State {
    Port port;
    u8 dataCopy[kCanStatisticsBytes] = {};
};
State g;

Port* PortOf(int port) { return port == 0 ? &g.port : nullptr; }

int BitRateIndex(const Port& p) {
    u8 i = p.settings[kCanSettingBitRate];
    return i < kCanBitRateCount ? i : 0;
}
bool Extended(const Port& p) { return p.settings[kCanSettingMode] == kCanModeExtended; }

void Bump(u16* c) {
    if (*c < 0xFFFF) ++*c;
}

void CloseSocket(Port* p) {
    if (p->standIn) {
        CanBus_Leave(&p->seat);
    } else if (p->fd >= 0) {
        close(p->fd);
    }
    p->fd = -1;
    p->standIn = false;
}

// Writes one attribute of the device's sysfs folder (under the root).
void WriteAttribute(int port, const char* name, const char* text) {
    std::string dir = Root_HostPath(std::string("/sys/devices/platform/") + kDeviceNames[port]);
    std::string path = dir + "/" + name;
    // The simulated kernel has the attribute; make it on first use.
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::exists(path, ec)) {
        if (FILE* f = std::fopen(path.c_str(), "w")) std::fclose(f);
    }
    FILE* f = std::fopen(path.c_str(), "r+");
    if (!f) {
        std::perror("fopen");
        return;
    }
    if (std::fputs(text, f) < 0) std::perror("fputs");
    // A sysfs attribute holds what was written last, not the tail of an
    // older, longer value.
    std::fflush(f);
    if (ftruncate(fileno(f), static_cast<off_t>(std::strlen(text))) != 0) std::perror("fputs");
    if (std::fclose(f) != 0) std::perror("fclose");
}

void RunIpLink(int port, const char* updown) {
    std::string line = std::string("ip link set ") + kInterfaceNames[port] + " " + updown;
    if (SysCmd_Run(line.c_str()) != 0) std::fprintf(stderr, "system: %s failed\n", line.c_str());
}

// Opens the raw socket: SocketCAN when the kernel has it and no stand-in bus
// is named, else a seat on the stand-in bus.
bool OpenSocket(int port, Port* p) {
    int bus = CanBus_FromEnvironment();
    if (bus == 0) {
        int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (fd >= 0) {
            if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) std::perror("fcntl");
            can_err_mask_t mask = kErrClassCrtl | kErrClassBusOff | kErrClassRestarted;
            setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask);
            ifreq ifr{};
            std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", kInterfaceNames[port]);
            ioctl(fd, SIOCGIFINDEX, &ifr);
            sockaddr_can addr{};
            addr.can_family = AF_CAN;
            addr.can_ifindex = ifr.ifr_ifindex;
            if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::perror("bind");
            if (p->settings[kCanSettingMode] == kCanModeNoSendBuffer) {
                int zero = 0;
                if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &zero, sizeof zero) != 0) std::perror("setsockopt");
            }
            p->fd = fd;
            return true;
        }
        if (errno != EAFNOSUPPORT && errno != EPROTONOSUPPORT) {
            std::perror("socket");
            return false;
        }
        bus = kCanDefaultBus;
    }
    if (!CanBus_Join(bus, &p->seat)) {
        std::perror("socket");
        return false;
    }
    p->fd = p->seat.fd;
    p->standIn = true;
    return true;
}

// SocketCAN frames are in host order; the stand-in bus's are little-endian.
// The port's descriptor is in the idle wait: when the wait saw nothing
// there, nothing is read until the next one.
int ReadFrame(Port* p, CanFrame* f) {
    if (Service_Ready(p->fd, POLLIN) == 0) return -1;
    u8 raw[kCanFrameBytes];
    if (p->standIn) {
        if (CanBus_Receive(p->seat, raw) != kCanFrameBytes) {
            Service_Consume(p->fd);
            return -1;
        }
        *f = CanFrame_Unpack(raw);
        return kCanFrameBytes;
    }
    if (read(p->fd, raw, sizeof raw) != kCanFrameBytes) {
        Service_Consume(p->fd);
        return -1;
    }
    can_frame cf;
    std::memcpy(&cf, raw, sizeof cf);
    f->idWord = cf.can_id;
    f->length = cf.len;
    std::memcpy(f->data, cf.data, 8);
    return kCanFrameBytes;
}

int WriteFrame(Port* p, const CanFrame& f) {
    if (p->standIn) {
        u8 raw[kCanFrameBytes];
        CanFrame_Pack(f, raw);
        return CanBus_Send(p->seat, raw);
    }
    can_frame cf{};
    cf.can_id = f.idWord;
    cf.len = f.length;
    std::memcpy(cf.data, f.data, 8);
    return static_cast<int>(write(p->fd, &cf, sizeof cf));
}

// Books one frame for the bus load of its direction.
void BookLoad(Port* p, u8 length, bool transmit) {
    u32 now = FPGA_GetFrt();
    p->lastActivity = now;
    if (!p->windowStarted) {
        p->windowStarted = true;
        p->windowStart = now;
        p->txBits = p->rxBits = 0;
        return;
    }
    u32 bits = (Extended(*p) ? 72u : 52u) + 8u * (length > 8 ? 8u : length);
    (transmit ? p->txBits : p->rxBits) += bits;
    u32 elapsedMs = (now - p->windowStart) / 10;
    if (elapsedMs < 1000) return;
    u64 capacity = static_cast<u64>(elapsedMs) * kBitsPerMs[BitRateIndex(*p)];
    p->txLoad = static_cast<u16>(static_cast<u64>(p->txBits) * 1000 / capacity);
    p->rxLoad = static_cast<u16>(static_cast<u64>(p->rxBits) * 1000 / capacity);
    p->windowStart = now;
    p->txBits = p->rxBits = 0;
}

void Call(CanEventCallback cb) {
    if (cb) cb();
}

void HandleErrorFrame(Port* p, const CanFrame& f) {
    u32 cls = f.idWord & kCanEffMask;
    u8 flags = 0;
    if (cls & kErrClassCrtl) {
        u8 c = f.data[1];
        if (c & (kCrtlTxWarning | kCrtlTxPassive)) flags |= kCanStatusTxWarning;
        if (c & (kCrtlRxWarning | kCrtlRxPassive)) flags |= kCanStatusRxWarning;
        if (c & kCrtlRxOverflow) flags |= kCanStatusRxOverflow;
        if (c & kCrtlActive) p->latched &= static_cast<u8>(~(kCanStatusTxWarning | kCanStatusRxWarning));
    }
    if (cls & kErrClassBusOff) flags |= kCanStatusBusOff;
    if (cls & kErrClassRestarted) p->latched = 0;
    if (flags & kCanStatusTxWarning) Bump(&p->counters[kCntTxWarning]);
    if (flags & kCanStatusRxWarning) Bump(&p->counters[kCntRxWarning]);
    if (flags & kCanStatusRxOverflow) Bump(&p->counters[kCntOverflow]);
    if (flags & kCanStatusBusOff) Bump(&p->counters[kCntBusOff]);
    p->latched |= flags & kLatchedBits;
    p->frameFlags = flags;
    Call(p->events[kCanEventError]);
    p->frameFlags = 0;
}

// Answers true when the frame was stored.
bool HandleDataFrame(Port* p, const CanFrame& f) {
    // A length code above 8 still carries only 8 data bytes.
    u8 length = f.length & 0x0F;
    if (length > 8) length = 8;
    BookLoad(p, length, false);
    u32 id = f.idWord & (Extended(*p) ? kCanEffMask : kCanSffMask);
    if (p->filter(id) == 0) return false;
    Ring& r = p->rx;
    if (r.count >= kCanRingSize) {
        Bump(&p->counters[kCntDropped]);
        p->rxOverflow = 1;
        Call(p->events[kCanEventError]);
        return false;
    }
    CanMsg& m = r.msgs[r.write];
    m.length = length;
    m.remote = (f.idWord & kCanRtrFlag) ? 1 : 0;
    m.id = id;
    std::memcpy(m.data, f.data, 8);
    ++r.count;
    r.write = static_cast<u16>((r.write + 1) % kCanRingSize);
    p->rxOverflow = 0;
    return true;
}

void ClearRing(Ring* r) { r->write = r->read = r->count = 0; }

}  // namespace

int CanIdFilterDefault(u32) { return 1; }

void _Can_Init(int port, const u8* settings) {
    Port* p = PortOf(port);
    if (!p || !settings) return;
    if (p->open) CloseSocket(p);
    std::memcpy(p->settings, settings, kCanSettingsBytes);
    if (!p->configured) {
        for (auto& e : p->events) e = nullptr;
        p->filter = CanIdFilterDefault;
        p->configured = true;
    }
    if (settings[kCanSettingBitRate] >= kCanBitRateCount) {
        std::fprintf(stderr, "CAN: bit-rate code %u unknown, 125 kbit/s used\n", settings[kCanSettingBitRate]);
    }
    p->frameFlags = 0;
    p->latched = 0;
    ClearRing(&p->rx);
    ClearRing(&p->tx);
    p->rxOverflow = 0;
    p->txLoad = p->rxLoad = 0;
    for (auto& c : p->counters) c = 0;
    p->lastActivity = FPGA_GetFrt();
    RunIpLink(port, "down");
    WriteAttribute(port, "bitrate", kBitRateText[BitRateIndex(*p)]);
    WriteAttribute(port, "abort", "1");
    RunIpLink(port, "up");
    // A port whose socket could not be opened stays closed: nothing is
    // served until the next initialisation.
    p->open = OpenSocket(port, p);
}

void Can_Isr() {
    Port* p = &g.port;
    if (!p->open) return;
    bool stored = false;
    CanFrame f;
    while (ReadFrame(p, &f) == kCanFrameBytes) {
        if (f.idWord & kCanErrFlag) {
            HandleErrorFrame(p, f);
        } else if (HandleDataFrame(p, f)) {
            stored = true;
        }
    }
    if (stored) Call(p->events[kCanEventReceive]);
    Ring& t = p->tx;
    while (t.count != 0) {
        const CanMsg& m = t.msgs[t.read];
        CanFrame out;
        out.idWord = m.id | (Extended(*p) ? kCanEffFlag : 0u) | (m.remote ? kCanRtrFlag : 0u);
        out.length = m.length > 8 ? 8 : m.length;
        std::memcpy(out.data, m.data, 8);
        if (WriteFrame(p, out) != kCanFrameBytes) return;
        BookLoad(p, out.length, true);
        Call(p->events[kCanEventTransmit]);
        t.read = static_cast<u16>((t.read + 1) % kCanRingSize);
        --t.count;
    }
}

CanMsg* _Can_NextTx(int port) {
    Port* p = PortOf(port);
    if (!p || p->tx.count >= kCanRingSize) return nullptr;
    return &p->tx.msgs[p->tx.write];
}

void _Can_PutTx(int port, CanMsg*) {
    Port* p = PortOf(port);
    if (!p || p->tx.count >= kCanRingSize) return;
    p->tx.write = static_cast<u16>((p->tx.write + 1) % kCanRingSize);
    ++p->tx.count;
}

int _Can_CheckRx(int port) {
    Port* p = PortOf(port);
    return p && p->rx.count ? 1 : 0;
}

CanMsg* _Can_GetRx(int port) {
    Port* p = PortOf(port);
    if (!p || p->rx.count == 0) return nullptr;
    return &p->rx.msgs[p->rx.read];
}

void _Can_NextRx(int port) {
    Port* p = PortOf(port);
    if (!p || p->rx.count == 0) return;
    p->rx.read = static_cast<u16>((p->rx.read + 1) % kCanRingSize);
    --p->rx.count;
}

u8 _Can_Status(int port) {
    Port* p = PortOf(port);
    if (!p) return 0;
    return static_cast<u8>(p->frameFlags | p->latched | (p->rxOverflow ? kCanStatusRxRingFull : 0));
}

void _Can_SetEvent(int port, int kind, CanEventCallback callback) {
    Port* p = PortOf(port);
    if (!p || kind < 0 || kind > 2) return;
    p->events[kind] = callback;
}

CanEventCallback _Can_GetEvent(int port, int kind) {
    Port* p = PortOf(port);
    if (!p || kind < 0 || kind > 2) return nullptr;
    return p->events[kind];
}

void _Can_SetSWFilter(int port, CanIdFilter filter) {
    if (Port* p = PortOf(port)) p->filter = filter ? filter : CanIdFilterDefault;
}

int _Can_CountRx(int port) {
    Port* p = PortOf(port);
    return p ? p->rx.count : 0;
}

int _Can_CountTx(int port) {
    Port* p = PortOf(port);
    return p ? p->tx.count : 0;
}

int _Can_CheckTx(int port) {
    Port* p = PortOf(port);
    return p && p->tx.count < kCanRingSize ? 1 : 0;
}

void _Can_FlushRx(int port) {
    if (Port* p = PortOf(port)) ClearRing(&p->rx);
}

void _Can_FlushTx(int port) {
    if (Port* p = PortOf(port)) ClearRing(&p->tx);
}

const u8* _Can_Data(int port, int clear) {
    Port* p = PortOf(port);
    if (!p) return nullptr;
    if ((p->txLoad || p->rxLoad) && FPGA_GetFrt() - p->lastActivity > 9999) p->txLoad = p->rxLoad = 0;
    PutLe16(g.dataCopy, p->txLoad);
    PutLe16(g.dataCopy + 2, p->rxLoad);
    for (int i = 0; i < kCounters; ++i) PutLe16(g.dataCopy + 4 + 2 * i, p->counters[i]);
    if (clear) {
        for (auto& c : p->counters) c = 0;
    }
    return g.dataCopy;
}

int _Can_SentTx(int) { return 0; }
int _Can_Lockup(int) { return 0; }
void _Can_AbortTx(int) {}
void _Can_BusOn(int) {}
void _Can_BusOff(int) {}

int Can_Descriptor(int port) {
    Port* p = PortOf(port);
    return p && p->open ? p->fd : -1;
}

bool Can_IsOpen(int port) {
    Port* p = PortOf(port);
    return p && p->open;
}

bool Can_OnStandInBus(int port) {
    Port* p = PortOf(port);
    return p && p->open && p->standIn;
}

void Can_Reset() {
    CloseSocket(&g.port);
    g = State{};
}
