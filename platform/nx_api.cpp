#include "platform/nx_api.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/fpga.h"
#include "platform/root.h"
#include "platform/service.h"

namespace {

struct State {
    NxTcpSocket* registry[kNxRegistrySlots] = {};
    int ownNamespace = -1;  // -1 not decided yet
    int listenAddressRead = 0;
    u32 listenAddress = INADDR_LOOPBACK;  // servers' address in the host's namespace
    // Bound UDP descriptors, for the idle wait only.
    std::vector<int> udpFds;
    u32 linkStamp = 0;  // shared by all instances: when a link last came up
};
State g;

std::string NsOf(long pid) {
    char path[64], link[64] = {};
    std::snprintf(path, sizeof path, "/proc/%ld/ns/net", pid);
    ssize_t n = readlink(path, link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

long ParentOf(long pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    char buf[512] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* close = std::strrchr(buf, ')');  // the name may hold spaces
    long ppid = 0;
    if (close == nullptr || std::sscanf(close + 1, " %*c %ld", &ppid) != 1) return 0;
    return ppid;
}

// The host's namespace is that of PID 1; where PID 1 cannot be looked at
// (a sandbox), that of the oldest ancestor that can.
bool OwnNs() {
    if (g.ownNamespace < 0) {
        std::string self = NsOf(static_cast<long>(getpid()));
        std::string host = NsOf(1);
        for (long pid = ParentOf(getpid()); host.empty() && pid > 1;) {
            std::string ns = NsOf(pid);
            long parent = ParentOf(pid);
            if (!ns.empty() && (parent <= 1 || NsOf(parent).empty())) host = ns;
            pid = parent;
        }
        g.ownNamespace = (!self.empty() && !host.empty() && self != host) ? 1 : 0;
    }
    return g.ownNamespace == 1;
}

// Records an interface setting the host namespace must not receive.
void Record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Record(const char* fmt, ...) {
    std::string path = Root_HostPath("/sys/netif.log");
    FILE* f = std::fopen(path.c_str(), "a");
    if (f == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fclose(f);
}

std::string Dotted(u32 a) {
    char t[20];
    std::snprintf(t, sizeof t, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
    return t;
}

u32 Port(u32 port) { return (port + static_cast<u32>(Root_PortOffset())) & 0xFFFF; }

// In the host's namespace every interface would listen on the same host
// addresses; only eth0's servers take the port there. The others listen on a
// loopback port of the system's choosing, so that their state stays sound.
sockaddr_in ServerAddress(const NxIp* ip, const char* kind, u32 port);

// A descriptor 0 would read as "none" in records that use 0; replace it.
// Every descriptor the socket layer opens passes here: what the last idle
// wait saw on its number belonged to a descriptor closed since.
int NotZero(int fd) {
    if (fd == 0) {
        int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = d;
    }
    Service_Forget(fd);
    return fd;
}

bool FdValid(int fd) { return fd >= 0 && fcntl(fd, F_GETFL) != -1; }

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

sockaddr_in Sin(u32 address, u32 port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(static_cast<u16>(port));
    return sa;
}

// False when the interface does not exist in the process's own namespace.
bool BindToDevice(int fd, const NxIp* ip) {
    if (ip == nullptr || !OwnNs()) return true;
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ip->name.c_str(), static_cast<socklen_t>(ip->name.size())) ==
           0;
}

bool Register(NxTcpSocket* s) {
    for (NxTcpSocket*& slot : g.registry)
        if (slot == s) return true;
    for (NxTcpSocket*& slot : g.registry) {
        if (slot == nullptr) {
            slot = s;
            return true;
        }
    }
    return false;
}

void Unregister(NxTcpSocket* s) {
    for (NxTcpSocket*& slot : g.registry)
        if (slot == s) slot = nullptr;
}

bool LiveServerOn(const NxTcpSocket* s, const NxIp* ip, u32 port) {
    return s != nullptr && s->client == 0 && s->fd >= 0 && s->ip == ip && s->localPort == port &&
           (s->state == NX_TCP_LISTEN || s->state == NX_TCP_ESTABLISHED || s->state == NX_TCP_PEER_CLOSED) &&
           FdValid(s->fd);
}

sockaddr_in ServerAddress(const NxIp* ip, const char* kind, u32 port) {
    if (!OwnNs() && ip != nullptr && ip->index != 0) {
        Record("%s %s %u kept off the host", ip->name.c_str(), kind, port);
        return Sin(INADDR_LOOPBACK, 0);
    }
    return Sin(Nx_ServerAddress(), Port(port));
}

// One datagram socket for the interface requests, kept open (the link is
// queried several times a pass) and kept by a reset of the socket layer,
// unless the thread has moved to another network namespace since it was
// opened (a test that runs the controller in namespaces of its own).
int g_ioctlFd = -1;
ino_t g_ioctlNs = 0;
ino_t ThreadNs() {
    struct stat st {};
    return stat("/proc/thread-self/ns/net", &st) == 0 ? st.st_ino : 0;
}
// The kernel tells of every change of a link on a netlink socket, which the
// idle wait polls: interface flags are asked once and kept until a change is
// told, or until the controller sets flags or addresses itself, so that an
// idle pass asks nothing (and does not fail every pass on an absent one).
int g_linkFd = -1;
struct LinkFlags {
    std::string name;
    bool ok = false;
    short flags = 0;
};
std::vector<LinkFlags> g_linkFlags;

void OpenLinkEvents() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_LINK;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return;
    }
    g_linkFd = NotZero(fd);
}

// Forgets the kept flags when the kernel told of a change since the last look.
void FollowLinkEvents() {
    // Without events nothing is kept (GetFlags asks the kernel every time).
    if (g_linkFd < 0) return;
    int seen = Service_Ready(g_linkFd, POLLIN);
    if (seen == 0) return;
    char buffer[8192];
    bool told = seen > 0;
    for (;;) {
        ssize_t n = recv(g_linkFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            told = true;
        } else {
            if (n < 0 && errno == ENOBUFS) told = true;  // events were lost: assume a change
            if (n < 0 && errno == EINTR) continue;
            break;
        }
    }
    Service_Consume(g_linkFd);
    if (told) g_linkFlags.clear();
}

int IoctlSocket() {
    if (g_ioctlFd < 0) {
        g_ioctlFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        g_ioctlNs = ThreadNs();
        g_linkFlags.clear();
        if (g_ioctlFd >= 0) OpenLinkEvents();
    }
    return g_ioctlFd;
}

bool SetAddrIoctl(int s, const char* name, unsigned long request, u32 address) {
    g_linkFlags.clear();
    ifreq r{};
    std::snprintf(r.ifr_name, IFNAMSIZ, "%s", name);
    sockaddr_in sa = Sin(address, 0);
    std::memcpy(&r.ifr_addr, &sa, sizeof sa);
    return ioctl(s, request, &r) == 0;
}

bool GetFlags(int s, const char* name, short* flags) {
    FollowLinkEvents();
    for (const LinkFlags& kept : g_linkFlags) {
        if (kept.name == name) {
            *flags = kept.flags;
            return kept.ok;
        }
    }
    ifreq r{};
    std::snprintf(r.ifr_name, IFNAMSIZ, "%s", name);
    LinkFlags asked{name, ioctl(s, SIOCGIFFLAGS, &r) == 0, r.ifr_flags};
    if (!asked.ok) asked.flags = 0;
    if (g_linkFd >= 0) g_linkFlags.push_back(asked);
    *flags = asked.flags;
    return asked.ok;
}

// Whether the interface is known to be absent from the process's own
// namespace: a socket made for it could not be bound to it. Asked of the
// flags kept from the link events, so an idle pass costs no system call;
// without the events nothing is known to be missing.
bool InterfaceMissing(const NxIp* ip) {
    if (ip == nullptr || !OwnNs()) return false;
    int s = IoctlSocket();
    short flags = 0;
    return s >= 0 && g_linkFd >= 0 && !GetFlags(s, ip->name.c_str(), &flags);
}

bool SetFlags(int s, const char* name, short flags) {
    ifreq r{};
    std::snprintf(r.ifr_name, IFNAMSIZ, "%s", name);
    r.ifr_flags = flags;
    g_linkFlags.clear();
    return ioctl(s, SIOCSIFFLAGS, &r) == 0;
}

// Programs address and mask on the interface and brings it up.
bool ProgramAddress(NxIp* ip, u32 address, u32 mask) {
    if (!OwnNs()) {
        Record("%s address %s mask %s up", ip->name.c_str(), Dotted(address).c_str(), Dotted(mask).c_str());
        return true;
    }
    int s = IoctlSocket();
    if (s < 0) return false;
    short flags = 0;
    bool ok = GetFlags(s, ip->name.c_str(), &flags);
    if (ok) {
        SetAddrIoctl(s, ip->name.c_str(), SIOCSIFADDR, 0);  // delete the current one
        ok = SetAddrIoctl(s, ip->name.c_str(), SIOCSIFADDR, address);
        if (ok && address != 0) ok = SetAddrIoctl(s, ip->name.c_str(), SIOCSIFNETMASK, mask);
        if (ok) ok = GetFlags(s, ip->name.c_str(), &flags) && SetFlags(s, ip->name.c_str(), flags | IFF_UP);
    }
    return ok;
}

u16 IcmpChecksum(const u8* p, size_t n) {
    u32 sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
    if (n & 1) sum += p[n - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<u16>(~sum);
}

int ConnectionFd(const NxTcpSocket* s) { return s->client ? s->fd : s->connFd; }

// What an established connection is watched for, by the idle wait and the
// poll loop alike (so that what the wait saw stands for the poll loop): input
// and the peer's close, and room to send only while bytes wait for it (the
// backlog, or a send that found the connection full).
short EstablishedEvents(const NxTcpSocket* s) {
    return static_cast<short>(POLLIN | POLLRDHUP | (s->backlog.empty() && s->canSend ? 0 : POLLOUT));
}

// Sends what the kernel takes now; the rest stays in the backlog.
bool FlushBacklog(NxTcpSocket* s) {
    int fd = ConnectionFd(s);
    while (!s->backlog.empty()) {
        ssize_t n = send(fd, s->backlog.data(), s->backlog.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            s->backlog.clear();
            return false;
        }
        s->backlog.erase(s->backlog.begin(), s->backlog.begin() + n);
    }
    return true;
}

void ReadLinkSettings(int s, NxIp* ip) {
    ethtool_cmd cmd{};
    cmd.cmd = ETHTOOL_GSET;
    ifreq r{};
    std::snprintf(r.ifr_name, IFNAMSIZ, "%s", ip->name.c_str());
    r.ifr_data = reinterpret_cast<char*>(&cmd);
    u32 code = 0;
    if (ioctl(s, SIOCETHTOOL, &r) == 0) {
        u32 speed = ethtool_cmd_speed(&cmd);
        code = speed == 100 ? 1 : speed == 1000 ? 2 : 0;
        if (cmd.duplex == DUPLEX_FULL) code |= 0x100;
    }
    ip->linkCode = code;
}

}  // namespace

bool Nx_InterfaceMissing(const NxIp* ip) { return InterfaceMissing(ip); }

bool Nx_OwnNamespace() { return OwnNs(); }

u32 Nx_ServerAddress() {
    if (OwnNs()) return INADDR_ANY;
    if (!g.listenAddressRead) {
        g.listenAddressRead = 1;
        const char* text = std::getenv("PLC_LISTEN_ADDRESS");
        in_addr a{};
        if (text != nullptr && *text != 0) {
            if (inet_pton(AF_INET, text, &a) == 1) g.listenAddress = ntohl(a.s_addr);
            else std::fprintf(stderr, "PLC_LISTEN_ADDRESS \"%s\" is no IPv4 address: listening on 127.0.0.1\n", text);
        }
    }
    return g.listenAddress;
}

void Nx_Reset() {
    g = State{};
    g_linkFlags.clear();
    if (g_ioctlFd >= 0 && ThreadNs() != g_ioctlNs) {
        CloseFd(g_ioctlFd);
        CloseFd(g_linkFd);
    }
}

u32 Nx_RegisteredCount() {
    u32 n = 0;
    for (NxTcpSocket* s : g.registry) n += s != nullptr;
    return n;
}

// ---------------------------------------------------------------------------
// Interfaces.

u32 _nx_system_initialize() {
    PortDisable("eth1");
    return NX_SUCCESS;
}

void PortDisable(const char* name) {
    if (!OwnNs()) {
        Record("%s down", name);
        return;
    }
    int s = IoctlSocket();
    if (s < 0) return;
    SetAddrIoctl(s, name, SIOCSIFADDR, 0);
    short flags = 0;
    if (GetFlags(s, name, &flags)) SetFlags(s, name, static_cast<short>(flags & ~IFF_UP));
}

u32 _nx_ip_create(NxIp* ip, const char* name, u32 address, u32 mask, NxPacketPool* pool, void (*)(void*), void*,
                  u32, u32) {
    *ip = NxIp{};
    ip->name = name != nullptr ? name : "";
    ip->pool = pool;
    if (ip->name == "mlan0" || ip->name == "uap0") {
        ip->index = ip->name == "mlan0" ? 2 : 3;
        return NX_SUCCESS;
    }
    ip->index = ip->name.size() > 3 ? static_cast<u32>(ip->name[3] - '0') & 3 : 0;
    ip->address = address;
    ip->mask = mask;
    ip->network = address & mask;
    return _nx_ip_address_set(ip, address, mask) == NX_SUCCESS ? NX_SUCCESS : NX_FAILURE;
}

u32 _nx_ip_address_set(NxIp* ip, u32 address, u32 mask) {
    if (address == 0) {
        if (ip->keepUpFlag) {
            ip->keepUpFlag = 0;
        } else if (ip->disableFlag) {
            ip->disableFlag = 0;
            PortDisable(ip->name.c_str());
            ip->address = 0;
            ip->mask = mask;
            ip->network = 0;
            return NX_SUCCESS;
        }
    }
    if (!ProgramAddress(ip, address, mask)) return NX_FAILURE;
    ip->address = address;
    ip->mask = mask;
    ip->network = address & mask;
    if (ip->gateway != 0) _nx_ip_gateway_address_set(ip, ip->gateway);
    return NX_SUCCESS;
}

u32 _nx_ip_address_get(NxIp* ip, u32*, u32*) {
    if (!OwnNs()) return NX_SUCCESS;  // the recorded values stand
    int s = IoctlSocket();
    if (s < 0) return NX_FAILURE;
    ifreq r{};
    std::snprintf(r.ifr_name, IFNAMSIZ, "%s", ip->name.c_str());
    u32 result = NX_FAILURE;
    if (ioctl(s, SIOCGIFADDR, &r) == 0) {
        u32 a = ntohl(reinterpret_cast<sockaddr_in*>(&r.ifr_addr)->sin_addr.s_addr);
        if (ioctl(s, SIOCGIFNETMASK, &r) == 0) {
            ip->address = a;
            ip->mask = ntohl(reinterpret_cast<sockaddr_in*>(&r.ifr_netmask)->sin_addr.s_addr);
            ip->network = ip->address & ip->mask;
            result = NX_SUCCESS;
        }
    }
    return result;
}

u32 _nx_ip_gateway_address_set(NxIp* ip, u32 gateway) {
    if (!OwnNs()) {
        Record("%s gateway %s", ip->name.c_str(), Dotted(gateway).c_str());
        ip->gateway = gateway;
        return NX_SUCCESS;
    }
    int s = IoctlSocket();
    if (s < 0) return NX_FAILURE;
    rtentry rt{};
    sockaddr_in zero = Sin(0, 0), gw = Sin(gateway, 0);
    std::memcpy(&rt.rt_dst, &zero, sizeof zero);
    std::memcpy(&rt.rt_genmask, &zero, sizeof zero);
    std::memcpy(&rt.rt_gateway, &gw, sizeof gw);
    rt.rt_flags = RTF_UP | RTF_GATEWAY;
    char dev[IFNAMSIZ];
    std::snprintf(dev, sizeof dev, "%s", ip->name.c_str());
    rt.rt_dev = dev;
    ioctl(s, SIOCDELRT, &rt);  // the old default route through this interface, if any
    bool ok = ioctl(s, SIOCADDRT, &rt) == 0;
    if (!ok) return NX_FAILURE;
    ip->gateway = gateway;
    return NX_SUCCESS;
}

u32 _nx_ip_driver_direct_command(NxIp* ip, u32 command, u32* valueOut) {
    if (ip->address == 0) {
        if (valueOut) *valueOut = 0;
        return NX_SUCCESS;
    }
    int s = IoctlSocket();
    if (s < 0) return NX_SUCCESS;
    short flags = 0;
    bool running = GetFlags(s, ip->name.c_str(), &flags) && (flags & IFF_RUNNING) && (flags & IFF_UP);
    if (!running) {
        ip->linkUp = 0;
    } else if (ip->linkUp == 0) {
        g.linkStamp = FPGA_GetFrt();
        if (g.linkStamp == 0) g.linkStamp = 1;
        ip->linkUp = 1;
        ReadLinkSettings(s, ip);
    } else if (g.linkStamp != 0 && static_cast<u32>(FPGA_GetFrt() - g.linkStamp) > 100000) {
        g.linkStamp = 0;
        ReadLinkSettings(s, ip);
    }
    u32 v = 0;
    switch (command) {
        case 11: v = ip->linkCode & 0xFF; break;
        case 12: v = (ip->linkCode & 0x100) ? 1 : 0; break;
        case 14: v = ip->linkUp ? ip->received : 0; break;
        case 15: v = ip->linkUp ? ip->sent : 0; break;
        default: v = 0;
    }
    if (valueOut) *valueOut = v;
    return NX_SUCCESS;
}

u32 _nx_arp_dynamic_entry_set(NxIp* ip, u32 address, u32 high16, u32 low32) {
    u8 mac[6] = {static_cast<u8>(high16 >> 8), static_cast<u8>(high16), static_cast<u8>(low32 >> 24),
                 static_cast<u8>(low32 >> 16), static_cast<u8>(low32 >> 8), static_cast<u8>(low32)};
    if (!OwnNs()) {
        Record("%s arp %s %02X:%02X:%02X:%02X:%02X:%02X", ip->name.c_str(), Dotted(address).c_str(), mac[0],
               mac[1], mac[2], mac[3], mac[4], mac[5]);
        return NX_SUCCESS;
    }
    int s = IoctlSocket();
    if (s < 0) return NX_FAILURE;
    arpreq r{};
    sockaddr_in pa = Sin(address, 0);
    std::memcpy(&r.arp_pa, &pa, sizeof pa);
    r.arp_ha.sa_family = ARPHRD_ETHER;
    std::memcpy(r.arp_ha.sa_data, mac, 6);
    r.arp_flags = ATF_PERM | ATF_COM;
    std::snprintf(r.arp_dev, sizeof r.arp_dev, "%s", ip->name.c_str());
    bool ok = ioctl(s, SIOCSARP, &r) == 0;
    return ok ? NX_SUCCESS : NX_FAILURE;
}

void Etn_SetMacId(const u8* mac6, int port) {
    const char* name = port == 0 ? "eth0" : "eth1";
    if (!OwnNs()) {
        Record("%s hwaddr %02X:%02X:%02X:%02X:%02X:%02X", name, mac6[0], mac6[1], mac6[2], mac6[3], mac6[4],
               mac6[5]);
    } else {
        int s = IoctlSocket();
        ifreq r{};
        std::snprintf(r.ifr_name, IFNAMSIZ, "%s", name);
        r.ifr_hwaddr.sa_family = ARPHRD_ETHER;
        std::memcpy(r.ifr_hwaddr.sa_data, mac6, 6);
        if (s < 0 || ioctl(s, SIOCSIFHWADDR, &r) != 0) std::perror("ioctl(SIOCSIFHWADDR)");
    }
}

u32 _nx_arp_enable(NxIp*, void*, u32) { return NX_SUCCESS; }
u32 _nx_igmp_enable(NxIp*) { return NX_SUCCESS; }
u32 _nx_udp_enable(NxIp*) { return NX_SUCCESS; }
u32 _nx_tcp_enable(NxIp*) { return NX_SUCCESS; }
void Etn_IrqInit() {}
void Etn_Driver(void*) {}

u32 _nx_icmp_enable(NxIp* ip) {
    CloseFd(ip->icmpFd);
    ip->pingPending = 0;
    ip->pingTarget = 0;
    ip->pingStamp = 0;
    int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return NX_FAILURE;
    fd = NotZero(fd);
    int on = 1;
    BindToDevice(fd, ip);
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        close(fd);
        return NX_FAILURE;
    }
    ip->icmpFd = fd;
    return NX_SUCCESS;
}

// ---------------------------------------------------------------------------
// Packets.

u32 Nx_PoolFree(const NxPacketPool* pool) {
    u32 n = 0;
    for (const NxPacket& p : pool->packets) n += p.state == kNxPacketFree;
    return n;
}

u32 _nx_packet_pool_create(NxPacketPool* pool, const char* name, u32 payloadSize, void* memory, u32 memorySize) {
    pool->name = name != nullptr ? name : "";
    pool->payloadSize = payloadSize;
    pool->memory = static_cast<u8*>(memory);
    pool->memorySize = memorySize;
    u32 stride = payloadSize + kNxPacketHeaderBytes;
    pool->count = stride != 0 ? memorySize / stride : 0;
    pool->packets.assign(pool->count, NxPacket{});
    for (u32 i = 0; i < pool->count; ++i) {
        NxPacket& p = pool->packets[i];
        p.payloadStart = pool->memory + static_cast<size_t>(i) * stride + kNxPacketHeaderBytes;
        p.payloadEnd = p.payloadStart + payloadSize;
        p.dataStart = p.dataEnd = p.payloadStart;
        p.pool = pool;
        p.next = i + 1 < pool->count ? &pool->packets[i + 1] : nullptr;
    }
    pool->first = pool->count ? &pool->packets[0] : nullptr;
    return NX_SUCCESS;
}

u32 _nx_packet_allocate(NxPacketPool* pool, NxPacket** packetOut, u32, u32) {
    for (NxPacket* p = pool != nullptr ? pool->first : nullptr; p != nullptr; p = p->next) {
        if (p->state == kNxPacketFree) {
            p->state = kNxPacketAllocated;
            p->dataStart = p->dataEnd = p->payloadStart;
            p->length = 0;
            *packetOut = p;
            return NX_SUCCESS;
        }
    }
    *packetOut = nullptr;
    return NX_FAILURE;
}

u32 _nx_packet_release(NxPacket* packet) {
    if (packet == nullptr) return NX_INVALID_PACKET;
    packet->state = kNxPacketFree;
    packet->dataStart = packet->dataEnd = packet->payloadStart;
    packet->length = 0;
    return NX_SUCCESS;
}

u32 _nx_packet_data_append(NxPacket* packet, const void* data, u32 size, NxPacketPool*, u32) {
    if (packet == nullptr || packet->state != kNxPacketAllocated) return NX_FAILURE;
    if (size > static_cast<size_t>(packet->payloadEnd - packet->dataEnd)) return NX_FAILURE;
    if (size != 0) std::memcpy(packet->dataEnd, data, size);
    packet->dataEnd += size;
    packet->length += size;
    return NX_SUCCESS;
}

u32 _nx_packet_copy(NxPacket* packet, NxPacket** copyOut, NxPacketPool* pool, u32 wait) {
    *copyOut = nullptr;
    if (packet == nullptr || packet->length == 0) return NX_INVALID_PACKET;
    NxPacket* c = nullptr;
    if (_nx_packet_allocate(pool, &c, 0, wait) != NX_SUCCESS) return NX_FAILURE;
    if (_nx_packet_data_append(c, packet->dataStart, packet->length, pool, wait) != NX_SUCCESS) {
        _nx_packet_release(c);
        return NX_INVALID_PACKET;
    }
    *copyOut = c;
    return NX_SUCCESS;
}

// ---------------------------------------------------------------------------
// TCP.

u32 _nx_tcp_socket_create(NxIp* ip, NxTcpSocket* s, const char* name, u32 tos, u32 fragment, u32 ttl, u32 window,
                          NxTcpCallback urgent, NxTcpCallback disconnect) {
    CloseFd(s->fd);
    if (InterfaceMissing(ip)) return NX_FAILURE;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return NX_FAILURE;
    fd = NotZero(fd);
    int on = 1;
    timeval tv{10, 0};
    bool ok = fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
              setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
              setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
    if (!ok || !BindToDevice(fd, ip)) {
        if (fd >= 0) close(fd);
        return NX_FAILURE;
    }
    if (name != nullptr) {
        Unregister(s);
        CloseFd(s->connFd);
        *s = NxTcpSocket{};
        s->name = name;
        s->ip = ip;
        s->tos = tos;
        s->ttl = ttl;
        s->fragment = fragment ? 0x4000 : 0;
        s->window = window;
        s->urgentCallback = urgent;
        s->disconnectCallback = disconnect;
    }
    s->connFd = -1;
    s->state = NX_TCP_CLOSED;
    s->client = 1;
    s->canSend = 1;
    s->txIndicator = 0;
    s->receiveNotify = nullptr;
    s->backlog.clear();
    s->fd = fd;
    return NX_SUCCESS;
}

u32 _nx_tcp_client_socket_bind(NxTcpSocket* s, u32 port, u32) {
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_tcp_socket_create(s->ip, s, nullptr, s->tos, s->fragment, s->ttl, s->window,
                                           s->urgentCallback, s->disconnectCallback) != NX_SUCCESS)
        return NX_FAILURE;
    if (port != 0) {
        sockaddr_in sa = Sin(INADDR_ANY, Port(port));
        if (bind(s->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return NX_NOT_BOUND;
        s->localPort = port;
    }
    s->bound = 1;
    return NX_SUCCESS;
}

u32 _nx_tcp_client_socket_unbind(NxTcpSocket* s) {
    if (s->state != NX_TCP_CLOSED) return NX_NOT_CLOSED;
    if (!s->bound) return NX_NOT_BOUND;
    s->bound = 0;
    return NX_SUCCESS;
}

u32 _nx_tcp_client_socket_connect(NxTcpSocket* s, u32 address, u32 port, u32) {
    if (!s->bound) return NX_NOT_BOUND;
    if (s->state == NX_TCP_ESTABLISHED) return NX_SUCCESS;
    if (s->state == NX_TCP_CONNECTING) return NX_IN_PROGRESS;
    if (s->state != NX_TCP_CLOSED) return NX_NOT_CLOSED;
    sockaddr_in sa = Sin(address, Port(port));
    int r = connect(s->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int e = r == 0 ? 0 : errno;
    if (r != 0 && e != EINPROGRESS && e != EALREADY && e != EISCONN) return NX_NOT_CONNECTED;
    s->peerAddress = address;
    s->peerPort = port;
    s->client = 1;
    if (r != 0 && e != EISCONN) {
        if (!Register(s)) return NX_FAILURE;  // it could never be seen to complete
        s->state = NX_TCP_CONNECTING;
        return NX_IN_PROGRESS;
    }
    s->state = NX_TCP_ESTABLISHED;
    return NX_SUCCESS;
}

u32 _nx_tcp_server_socket_listen(NxIp* ip, u32 port, NxTcpSocket* s, u32, NxListenCallback cb) {
    if (s->state != NX_TCP_CLOSED) return NX_NOT_CLOSED;
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && _nx_tcp_socket_create(ip, s, nullptr, s->tos, s->fragment, s->ttl, s->window,
                                           s->urgentCallback, s->disconnectCallback) != NX_SUCCESS)
        return NX_FAILURE;
    sockaddr_in sa = ServerAddress(ip, "tcp", port);
    if (bind(s->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return NX_NOT_BOUND;
    if (listen(s->fd, 16) != 0) return NX_FAILURE;
    if (!Register(s)) {
        // An unpolled listener would never see its connections.
        CloseFd(s->fd);
        return NX_FAILURE;
    }
    s->ip = ip;
    s->bound = 1;
    s->localPort = port;
    s->state = NX_TCP_LISTEN;
    s->client = 0;
    s->queueSize = 16;
    if (cb != nullptr) s->listenCallback = cb;
    return NX_SUCCESS;
}

u32 _nx_tcp_server_socket_relisten(NxIp* ip, u32 port, NxTcpSocket* s) {
    if (s->state != NX_TCP_CLOSED) return NX_NOT_CLOSED;
    for (NxTcpSocket* other : g.registry) {
        if (other == s || !LiveServerOn(other, ip, port)) continue;
        if (!Register(s)) return NX_FAILURE;
        if (s->fd >= 0 && s->fd != other->fd) close(s->fd);
        s->fd = other->fd;
        s->listenCallback = other->listenCallback;
        s->ip = ip;
        s->localPort = port;
        s->bound = 1;
        s->state = NX_TCP_LISTEN;
        s->client = 0;
        return NX_SUCCESS;
    }
    s->bound = 0;
    u32 r = _nx_tcp_server_socket_listen(ip, port, s, 0, nullptr);
    if (r != NX_SUCCESS || s->listenCallback == nullptr) return NX_FAILURE;
    return NX_SUCCESS;
}

u32 _nx_tcp_server_socket_accept(NxTcpSocket* s, u32 wait) {
    if (s->state != NX_TCP_LISTEN) return NX_NOT_LISTEN_STATE;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int c = accept4(s->fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (c < 0) return NX_FAILURE;
    c = NotZero(c);
    if (c < 0 || fcntl(c, F_SETFL, fcntl(c, F_GETFL) | O_NONBLOCK) != 0) {
        if (c >= 0) close(c);
        return NX_FAILURE;
    }
    int on = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int mss = 0;
    socklen_t ml = sizeof mss;
    if (getsockopt(c, IPPROTO_TCP, TCP_MAXSEG, &mss, &ml) == 0 && mss > 0) s->mss = static_cast<u32>(mss);
    s->peerAddress = ntohl(peer.sin_addr.s_addr);
    s->peerPort = ntohs(peer.sin_port);
    CloseFd(s->connFd);
    s->connFd = c;
    s->backlog.clear();
    s->canSend = 1;
    s->txIndicator = 0;
    s->dataWaiting = 0;
    s->state = NX_TCP_ESTABLISHED;
    return wait == 0 ? NX_IN_PROGRESS : NX_SUCCESS;
}

u32 _nx_tcp_server_socket_unaccept(NxTcpSocket* s) {
    if (s->connFd < 0) return NX_FAILURE;
    CloseFd(s->connFd);
    s->backlog.clear();
    if (s->state != NX_TCP_CLOSED) s->state = NX_TCP_LISTEN;
    return NX_SUCCESS;
}

bool Nx_ConnectionWaiting(const NxTcpSocket* s) {
    if (s == nullptr || s->client || s->fd < 0 || !s->bound) return false;
    pollfd p{s->fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

u32 _nx_tcp_server_socket_unlisten(NxIp* ip, u32 port) {
    for (NxTcpSocket* s : g.registry)
        if (LiveServerOn(s, ip, port)) _nx_tcp_socket_delete(s);
    return NX_SUCCESS;
}

u32 _nx_tcp_socket_delete(NxTcpSocket* s) {
    if (s->fd < 0) {
        Unregister(s);
        return NX_SUCCESS;
    }
    if (s->client) {
        close(s->fd);
        Unregister(s);
    } else {
        bool shared = false;
        for (NxTcpSocket*& slot : g.registry) {
            if (slot == s) {
                slot = nullptr;
                continue;
            }
            if (slot != nullptr && slot->client == 0 && slot->fd == s->fd && slot->ip == s->ip &&
                slot->localPort == s->localPort) {
                shared = true;
                break;
            }
        }
        Unregister(s);
        if (!shared) close(s->fd);
    }
    CloseFd(s->connFd);
    s->backlog.clear();
    s->state = NX_TCP_CLOSED;
    s->fd = -1;
    s->bound = 0;
    return NX_SUCCESS;
}

u32 _nx_tcp_socket_disconnect(NxTcpSocket* s, u32) { return _nx_tcp_socket_delete(s); }

u32 _nx_tcp_socket_send(NxTcpSocket* s, NxPacket* packet, u32) {
    if (packet == nullptr || packet->state != kNxPacketAllocated) return NX_INVALID_PACKET;
    u32 result = NX_SUCCESS;
    int fd = ConnectionFd(s);
    if (!s->bound && s->client) {
        result = NX_NOT_BOUND;
    } else if (s->state != NX_TCP_ESTABLISHED) {
        result = NX_NOT_CONNECTED;
    } else if (!s->backlog.empty() && !FlushBacklog(s)) {
        result = NX_FAILURE;
    } else if (s->canSend == 0 || !s->backlog.empty()) {
        result = NX_TX_QUEUE_DEPTH;
    } else if (fd >= 0) {
        // A descriptor closed behind the socket layer's back fails here
        // (EBADF): no system call is spent asking beforehand.
        ssize_t n = send(fd, packet->dataStart, packet->length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            result = NX_FAILURE;
        } else {
            // Nothing taken (the connection is not polled for room before
            // every send): the bytes wait in the backlog like the rest of a
            // partial send, so that no caller loses them to a full buffer.
            if (n < 0) n = 0;
            if (static_cast<u32>(n) < packet->length)
                s->backlog.assign(packet->dataStart + n, packet->dataStart + packet->length);
            if (s->ip) s->ip->sent++;
        }
    }
    _nx_packet_release(packet);
    return result;
}

u32 _nx_tcp_socket_receive(NxTcpSocket* s, NxPacket** packetOut, u32) {
    *packetOut = nullptr;
    if (!s->bound && s->client) return NX_NOT_BOUND;
    int fd = ConnectionFd(s);
    if (fd < 0 || s->ip == nullptr) return NX_NO_PACKET;
    // A connection the idle wait saw quiet has nothing to read until the
    // next wait: no system call to learn it again.
    if (Service_Ready(fd, POLLIN) == 0) return NX_NO_PACKET;
    NxPacket* p = nullptr;
    if (_nx_packet_allocate(s->ip->pool, &p, 0, 0) != NX_SUCCESS) return NX_NO_PACKET;
    u32 room = static_cast<u32>(p->payloadEnd - p->payloadStart);
    ssize_t n = recv(fd, p->payloadStart, room < kNxReceiveMax ? room : kNxReceiveMax, MSG_DONTWAIT);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) Service_Consume(fd);  // drained for this pass
        _nx_packet_release(p);
        return NX_NO_PACKET;
    }
    // Less than asked for: the kernel had no more, and what comes later is
    // seen by the next look at the descriptors, not by asking again now.
    if (static_cast<u32>(n) < (room < kNxReceiveMax ? room : kNxReceiveMax)) Service_Consume(fd);
    p->length = static_cast<u32>(n);
    p->dataEnd = p->dataStart + n;
    s->dataWaiting = 0;
    s->ip->received++;
    *packetOut = p;
    return NX_SUCCESS;
}

u32 _nx_tcp_socket_receive_notify(NxTcpSocket* s, NxTcpCallback cb) {
    s->receiveNotify = cb;
    return NX_SUCCESS;
}

u32 _nx_tcp_socket_transmit_configure(NxTcpSocket*, u32, u32, u32, u32) { return NX_SUCCESS; }

// ---------------------------------------------------------------------------
// UDP.

namespace {
void ForgetUdp(int fd) {
    for (size_t i = 0; i < g.udpFds.size(); ++i)
        if (g.udpFds[i] == fd) {
            g.udpFds.erase(g.udpFds.begin() + static_cast<long>(i));
            return;
        }
}

u32 UdpOpen(NxUdpSocket* s) {
    if (s->fd >= 0) {
        ForgetUdp(s->fd);
        CloseFd(s->fd);
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return NX_FAILURE;
    fd = NotZero(fd);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        if (fd >= 0) close(fd);
        return NX_FAILURE;
    }
    BindToDevice(fd, s->ip);
    s->fd = fd;
    return NX_SUCCESS;
}

u32 UdpReceive(NxUdpSocket* s, NxPacket** packetOut, u32* addressOut, u32* portOut) {
    *packetOut = nullptr;
    if (!s->bound) return NX_NOT_BOUND;
    if (s->fd < 0 || s->ip == nullptr) return NX_NO_PACKET;
    // Every open UDP socket is in the idle wait: when it saw nothing there,
    // there is nothing to read until the next wait.
    if (Service_Ready(s->fd, POLLIN) == 0) return NX_NO_PACKET;
    NxPacket* p = nullptr;
    if (_nx_packet_allocate(s->ip->pool, &p, 0, 0) != NX_SUCCESS) return NX_NO_PACKET;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    u32 room = static_cast<u32>(p->payloadEnd - p->payloadStart);
    ssize_t n = recvfrom(s->fd, p->payloadStart, room < kNxReceiveMax ? room : kNxReceiveMax, MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        _nx_packet_release(p);
        if (errno == EAGAIN || errno == EWOULDBLOCK) Service_Consume(s->fd);  // drained for this pass
        return NX_NO_PACKET;
    }
    p->length = static_cast<u32>(n);
    p->dataEnd = p->dataStart + n;
    s->ip->received++;
    if (addressOut) *addressOut = ntohl(from.sin_addr.s_addr);
    if (portOut) *portOut = ntohs(from.sin_port);
    *packetOut = p;
    return NX_SUCCESS;
}
}  // namespace

u32 _nx_udp_socket_create(NxIp* ip, NxUdpSocket* s, const char* name, u32 tos, u32 fragment, u32 ttl,
                          u32 queueMax) {
    if (name != nullptr) {
        int old = s->fd;
        *s = NxUdpSocket{};
        s->fd = old;
        s->name = name;
        s->tos = tos;
        s->ttl = ttl;
        s->fragment = fragment ? 0x4000 : 0;
        s->queueMax = queueMax;
    }
    s->ip = ip;
    return UdpOpen(s);
}

u32 _nx_udp_socket_bind(NxUdpSocket* s, u32 port, u32) {
    if (s->bound) return NX_ALREADY_BOUND;
    if (s->fd < 0 && UdpOpen(s) != NX_SUCCESS) return NX_FAILURE;
    if (port != 0) {
        sockaddr_in sa = ServerAddress(s->ip, "udp", port);
        if (bind(s->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return NX_NOT_BOUND;
        s->localPort = port;
    }
    s->bound = 1;
    // Only a bound socket receives: the idle wait watches it from now on
    // (the many created for later use are not looked at every pass).
    ForgetUdp(s->fd);
    g.udpFds.push_back(s->fd);
    return NX_SUCCESS;
}

u32 _nx_udp_socket_unbind(NxUdpSocket* s) {
    if (!s->bound) return NX_NOT_BOUND;
    s->bound = 0;
    if (s->fd >= 0) ForgetUdp(s->fd);
    return NX_SUCCESS;
}

u32 _nx_udp_socket_delete(NxUdpSocket* s) {
    if (s->fd >= 0) ForgetUdp(s->fd);
    CloseFd(s->fd);
    s->bound = 0;
    return NX_SUCCESS;
}

u32 _nx_udp_socket_send(NxUdpSocket* s, NxPacket* packet, u32 address, u32 port) {
    if (packet == nullptr || packet->state != kNxPacketAllocated) return NX_INVALID_PACKET;
    u32 result = NX_SUCCESS;
    if (!s->bound) {
        result = NX_NOT_BOUND;
    } else {
        sockaddr_in sa = Sin(address, port);
        if (sendto(s->fd, packet->dataStart, packet->length, MSG_NOSIGNAL | MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
            result = NX_FAILURE;
        else if (s->ip)
            s->ip->sent++;
    }
    _nx_packet_release(packet);
    return result;
}

u32 _nx_udp_socket_receive(NxUdpSocket* s, NxPacket** packetOut, u32) {
    return UdpReceive(s, packetOut, nullptr, nullptr);
}

u32 _nx_udp_socket_receive_port_detail(NxUdpSocket* s, NxPacket** packetOut, u32* addressOut, u32* portOut) {
    return UdpReceive(s, packetOut, addressOut, portOut);
}

u32 _nx_igmp_multicast_join(NxIp* ip, u32 group, NxUdpSocket* s) {
    if (s->fd < 0) return NX_FAILURE;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_interface.s_addr = OwnNs() ? htonl(ip->address) : htonl(INADDR_ANY);
    if (setsockopt(s->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) return NX_FAILURE;
    if (ip->groupCount < kNxMaxGroups) ip->groups[ip->groupCount++] = group;
    return NX_SUCCESS;
}

u32 _nx_igmp_multicast_leave(NxIp* ip, u32 group, NxUdpSocket* s) {
    if (!FdValid(s->fd)) return NX_FAILURE;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_interface.s_addr = OwnNs() ? htonl(ip->address) : htonl(INADDR_ANY);
    if (setsockopt(s->fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m) != 0) return NX_FAILURE;
    for (u32 i = 0; i < ip->groupCount; ++i) {
        if (ip->groups[i] == group) {
            ip->groups[i] = ip->groups[--ip->groupCount];
            ip->groups[ip->groupCount] = 0;
            break;
        }
    }
    return NX_SUCCESS;
}

// ---------------------------------------------------------------------------
// Ping.

u32 _nx_icmp_ping(NxIp* ip, u32 address, const void*, u32, NxPacket** responseOut, u32 waitMs) {
    if (responseOut) *responseOut = nullptr;
    u32 now = FPGA_GetFrt();
    if (ip->pingPending && static_cast<u32>(now - ip->pingStamp) >= 10u * waitMs) {
        ip->pingPending = 0;
        ip->pingStamp = now;
        return NX_NO_RESPONSE;
    }
    if (ip->pingPending && address == ip->pingTarget) {
        NxPacket* p = nullptr;
        if (_nx_packet_allocate(ip->pool, &p, 0, 0) != NX_SUCCESS) return NX_FAILURE;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ip->icmpFd >= 0 ? recvfrom(ip->icmpFd, p->payloadStart, 28, MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &len)
                                    : -1;
        if (n > 0 && ntohl(from.sin_addr.s_addr) == address) {
            p->length = static_cast<u32>(n);
            p->dataEnd = p->dataStart + n;
            ip->received++;
            if (responseOut) {
                *responseOut = p;  // the caller releases it
            } else {
                _nx_packet_release(p);
            }
            return NX_SUCCESS;
        }
        _nx_packet_release(p);
        return NX_FAILURE;
    }
    ip->pingPending = 0;
    NxPacket* p = nullptr;
    ip->pingStamp = now;
    if (_nx_packet_allocate(ip->pool, &p, 0, 0) != NX_SUCCESS) return NX_FAILURE;
    u8* d = p->payloadStart;
    std::memset(d, 0, 28);
    d[0] = 0x45;
    d[8] = 64;
    d[9] = 1;
    PutBe32(d + 12, ip->address);
    PutBe32(d + 16, address);
    static std::minstd_rand rng(std::random_device{}());
    u16 id = static_cast<u16>(rng());
    d[20] = 8;
    PutBe16(d + 24, id);
    u16 sum = IcmpChecksum(d + 20, 8);
    PutBe16(d + 22, sum);
    sockaddr_in to = Sin(address, 0);
    bool ok = ip->icmpFd >= 0 && sendto(ip->icmpFd, d, 28, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
                                        sizeof to) == 28;
    _nx_packet_release(p);
    if (!ok) return NX_FAILURE;
    ip->sent++;
    ip->pingPending = 1;
    ip->pingTarget = address;
    return NX_IN_PROGRESS;
}

// ---------------------------------------------------------------------------
// The poll loop.

namespace {
// The listening descriptors met so far in one walk of the registry: the 16
// slots of a server all listen on one, which is waited on once (a wait over
// every slot's copy costs the kernel a look at each).
class ListeningFds {
public:
    // True when fd was met before; remembers it otherwise.
    bool Seen(int fd) {
        for (u32 i = 0; i < n_; ++i)
            if (fds_[i] == fd) return true;
        if (n_ < kNxRegistrySlots) fds_[n_++] = fd;
        return false;
    }

private:
    int fds_[kNxRegistrySlots];
    u32 n_ = 0;
};
}  // namespace

void EnetThread() {
    ListeningFds listening;
    pollfd fds[kNxRegistrySlots];
    NxTcpSocket* who[kNxRegistrySlots];
    u32 n = 0;
    for (NxTcpSocket*& slot : g.registry) {
        NxTcpSocket* s = slot;
        if (s == nullptr) continue;
        if (s->fd < 0) {
            slot = nullptr;
            continue;
        }
        int fd = s->state == NX_TCP_ESTABLISHED ? ConnectionFd(s) : s->fd;
        short events = 0;
        if (s->state == NX_TCP_CONNECTING) events = POLLOUT;
        else if (s->state == NX_TCP_ESTABLISHED) events = EstablishedEvents(s);
        else if (s->state == NX_TCP_LISTEN) events = POLLIN;
        else continue;
        if (fd < 0) continue;
        // The slots of a server share its listening descriptor: looked at
        // once, and every slot is told below.
        if (s->state == NX_TCP_LISTEN && listening.Seen(fd)) continue;
        fds[n] = {fd, events, 0};
        who[n++] = s;
    }
    if (n == 0) return;
    // What the idle wait saw stands for the descriptors it polled with these
    // events: an idle pass asks the kernel nothing. Only the rest are polled.
    pollfd ask[kNxRegistrySlots];
    u32 asked[kNxRegistrySlots];
    u32 m = 0;
    for (u32 i = 0; i < n; ++i) {
        int seen = Service_Ready(fds[i].fd, fds[i].events);
        if (seen >= 0) {
            fds[i].revents = static_cast<short>(seen);
        } else {
            ask[m] = fds[i];
            asked[m++] = i;
        }
    }
    if (m > 0 && poll(ask, m, 0) >= 0)
        for (u32 k = 0; k < m; ++k) fds[asked[k]].revents = ask[k].revents;
    for (u32 i = 0; i < n; ++i) Service_Consume(fds[i].fd);
    std::vector<int> told;
    for (u32 i = 0; i < n; ++i) {
        NxTcpSocket* s = who[i];
        short re = fds[i].revents;
        // A callback of an earlier socket may have changed this one.
        if (s->fd < 0) continue;
        // A descriptor closed behind the socket layer's back leaves the registry.
        if (re & POLLNVAL) {
            Unregister(s);
            continue;
        }
        if (s->state == NX_TCP_CONNECTING && fds[i].fd == s->fd) {
            if (re == 0) continue;
            int err = 0;
            socklen_t el = sizeof err;
            sockaddr_in peer{};
            socklen_t pl = sizeof peer;
            if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &el) == 0 && err == 0 &&
                getpeername(s->fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0) {
                int mss = 0;
                socklen_t ml = sizeof mss;
                if (getsockopt(s->fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &ml) == 0 && mss > 0)
                    s->mss = static_cast<u32>(mss);
                s->state = NX_TCP_ESTABLISHED;
            }
        } else if (s->state == NX_TCP_ESTABLISHED && fds[i].fd == ConnectionFd(s)) {
            int avail = 0;
            if (s->receiveNotify != nullptr && (re & POLLIN) && ioctl(fds[i].fd, FIONREAD, &avail) == 0 &&
                avail > 0) {
                s->dataWaiting = 1;
                s->receiveNotify(s);
                continue;
            }
            if (!s->backlog.empty() && (re & POLLOUT)) FlushBacklog(s);
            // A connection that took everything so far is taken to be
            // writable until a send finds it full; only then is it watched.
            const bool watched = (fds[i].events & POLLOUT) != 0;
            bool writable = (!watched || (re & POLLOUT)) && s->backlog.empty();
            s->canSend = writable ? 1 : 0;
            s->txIndicator = writable ? 0 : 2;
            // The peer's close is acted on once everything it sent was read.
            if ((re & (POLLRDHUP | POLLHUP | POLLERR)) &&
                !((re & POLLIN) && ioctl(fds[i].fd, FIONREAD, &avail) == 0 && avail > 0)) {
                s->state = NX_TCP_PEER_CLOSED;
                if (s->disconnectCallback) s->disconnectCallback(s);
            }
        } else if (s->state == NX_TCP_LISTEN && fds[i].fd == s->fd) {
            if (!(re & POLLIN)) continue;
            bool seen = false;
            for (int fd : told) seen = seen || fd == s->fd;
            if (seen) continue;
            told.push_back(s->fd);
            // Every server socket sharing the descriptor is told; the first to accept wins.
            for (NxTcpSocket* t : g.registry) {
                if (t == nullptr || t->state != NX_TCP_LISTEN || t->fd != s->fd) continue;
                t->peerPort = 1;
                if (t->listenCallback) t->listenCallback(t, t->localPort);
            }
        }
    }
}

void Nx_PollSet(std::vector<pollfd>& fds) {
    ListeningFds listening;
    for (NxTcpSocket* s : g.registry) {
        if (s == nullptr || s->fd < 0) continue;
        if (s->state == NX_TCP_LISTEN) {
            if (!listening.Seen(s->fd)) fds.push_back({s->fd, POLLIN, 0});
        }
        else if (s->state == NX_TCP_CONNECTING) fds.push_back({s->fd, POLLOUT, 0});
        else if (s->state == NX_TCP_ESTABLISHED && ConnectionFd(s) >= 0)
            fds.push_back({ConnectionFd(s), EstablishedEvents(s), 0});
    }
    for (int fd : g.udpFds) fds.push_back({fd, POLLIN, 0});
    if (g_linkFd >= 0) fds.push_back({g_linkFd, POLLIN, 0});
}

void Nx_IdleWait(int ms) {
    if (ms <= 0) return;
    std::vector<pollfd> fds;
    fds.reserve(g.udpFds.size() + 16);
    Nx_PollSet(fds);
    poll(fds.data(), fds.size(), ms);
}
