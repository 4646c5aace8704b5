#include "remote/dhcpClient.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/fpga.h"
#include "platform/nx_api.h"
#include "platform/service.h"
#include "platform/system.h"

DhcpPortState dhcpProcCtrl[kDhcpPorts];
DhcpLease dhcpOffered[kDhcpPorts];

namespace {

constexpr const char* kInterfaces[2] = {"eth0", "eth1"};
constexpr u8 kCookie[4] = {99, 130, 83, 99};
constexpr u16 kClientPort = 68, kServerPort = 67;
constexpr u32 kBroadcast = 0xFFFFFFFF;
constexpr int kReadsPerPass = 16;  // frames looked at in one pass

struct Module {
    bool initialised = false;
};
Module g;

void ClearPort(DhcpPortState& s) {
    std::memset(&s, 0, sizeof s);
    s.socket = -1;
}

void EnsureInitialised() {
    if (g.initialised) return;
    for (DhcpPortState& s : dhcpProcCtrl) ClearPort(s);
    std::memset(dhcpOffered, 0, sizeof dhcpOffered);
    g.initialised = true;
}

u64 NowSeconds() { return Clock_MonotonicNs() / 1000000000ull; }

// A new transaction ID for each exchange, so that a late reply to an old
// one, or to another client, is not taken.
u32 NewXid() {
    u32 v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != sizeof v) v = static_cast<u32>(Clock_MonotonicNs() * 2654435761u);
    return v != 0 ? v : 1;
}

const u8* PortMac(int port) { return tinyImage + (port == 0 ? kTinyMac0 : kTinyMac1); }

// Only IPv4 UDP datagrams to the client port, unfragmented, reach the
// socket; the rest of the interface's traffic never wakes the main loop.
bool AttachFilter(int fd) {
    static sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),          // protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 6),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),          // fragment offset
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, 4, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),         // header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),          // UDP destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kClientPort, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0;
}

void CloseSocket(DhcpPortState& s) {
    if (s.socket >= 0) ::close(s.socket);
    s.socket = -1;
}

// Puts one option; false when it would not fit the message area.
bool PutOption(u8* m, u32& at, u8 code, const void* value, u8 length) {
    if (at + 2u + length >= kDhcpSentMessageBytes) return false;
    m[at++] = code;
    m[at++] = length;
    std::memcpy(m + at, value, length);
    at += length;
    return true;
}

void PutAddressOption(u8* m, u32& at, u8 code, u32 address) {
    u8 v[4];
    PutBe32(v, address);
    PutOption(m, at, code, v, 4);
}

// The lease ends: the client reports acquiring and starts over.
void DropLease(DhcpPortState& s, int port) {
    s.bound = 0;
    s.acquisition = kDhcpAcquiring;
    s.renewalTiming = 0;
    s.leaseLost = 1;
    std::memset(&dhcpOffered[port], 0, sizeof dhcpOffered[port]);
    s.state = kDhcpIdle;
}

// Frames that arrive while no reply is awaited are stale: dropped, so the
// socket does not stay readable.
void Drain(DhcpPortState& s) {
    u8 buffer[kDhcpFrameBytes];
    for (int k = 0; k < kReadsPerPass && s.socket >= 0 && Service_Ready(s.socket, POLLIN) != 0; ++k)
        if (recv(s.socket, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
            Service_Consume(s.socket);
            break;
        }
}

// A reply to another client or to an older exchange is ignored (the wait
// goes on), so that other clients' broadcast replies on the link cannot
// hold this one back.
void HandleReply(DhcpPortState& s, int port) {
    const u8 kind = s.kind;
    const u8* m = s.received;
    const u32 n = s.receivedLength;
    if (kind != kDhcpDiscover && kind != kDhcpRequest && kind != kDhcpRenew) {
        s.state = kDhcpIdle;
        return;
    }
    if (GetBe32(m + 4) != s.xid || std::memcmp(m + 28, PortMac(port), 6) != 0) return;
    const u8 type = Dhcp_MessageType(m, n);
    DhcpLease& lease = dhcpOffered[port];
    if (type == kDhcpOffer) {
        if (kind != kDhcpDiscover) return;  // a second offer while the first is asked for
        s.kind = kDhcpOffer;
        procOfferAckPacket(s, lease);
        s.kind = kDhcpRequest;
        s.state = kDhcpSend;
    } else if (type == kDhcpAck) {
        if (kind == kDhcpDiscover) return;
        s.kind = kDhcpAck;
        procOfferAckPacket(s, lease);
        if (lease.t1 == 0) lease.t1 = kDhcpDefaultRenewalS;
        s.kind = kDhcpInform;
        s.acquisition = kDhcpHeld;
        s.bound = 1;
        s.leaseLost = 0;
        s.leaseStartS = NowSeconds();
        s.renewalTiming = 1;
        s.renewalStartS = s.leaseStartS;
        s.renewalAfterS = lease.t1;
        s.state = kDhcpSend;
    } else if (type == kDhcpNak && kind == kDhcpRenew) {
        DropLease(s, port);
    } else {
        s.state = kDhcpIdle;
    }
}

}  // namespace

int Dhcp_AcceptFrame(const u8* f, u32 n, bool checkUdpSum) {
    if (f == nullptr || n < kDhcpHeaderBytes || n > kDhcpFrameBytes) return -1;
    const u32 total = GetBe16(f + 2);
    if (f[0] != 0x45 || f[9] != IPPROTO_UDP || total > n || total < kDhcpHeaderBytes) return -1;
    if (GetBe16(f + 22) != kClientPort) return -1;
    const u32 udpLength = GetBe16(f + 24);
    if (udpLength != total - 20) return -1;
    if (Dhcp_Checksum(f, 20) != 0) return -1;
    if (checkUdpSum && GetBe16(f + 26) != 0) {
        // Pseudo header: source, destination, protocol, UDP length.
        u32 sum = GetBe16(f + 12) + GetBe16(f + 14) + GetBe16(f + 16) + GetBe16(f + 18) + IPPROTO_UDP + udpLength;
        if (Dhcp_Checksum(f + 20, udpLength, sum) != 0) return -1;
    }
    return static_cast<int>(udpLength - 8);
}

u16 Dhcp_Checksum(const u8* data, u32 length, u32 sum) {
    u64 s = sum;
    for (u32 i = 0; i + 1 < length; i += 2) s += GetBe16(data + i);
    if (length & 1) s += static_cast<u32>(data[length - 1]) << 8;
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<u16>(~s & 0xFFFF);
}

namespace {

// Walks the options from the cookie on, within the received bytes and each
// option's own length; fn(code, value, length) for every option.
template <typename Fn>
void WalkOptions(const u8* m, u32 n, Fn fn) {
    if (m == nullptr) return;
    u32 at = kDhcpOptionsOffset;
    while (at < n) {
        const u8 code = m[at];
        if (code == 0) {  // pad: a single byte
            ++at;
            continue;
        }
        if (code == 255 || at + 1 >= n) return;
        const u32 length = m[at + 1];
        if (at + 2 + length > n) return;
        if (!fn(code, m + at + 2, length)) return;
        at += 2 + length;
    }
}

}  // namespace

u8 Dhcp_MessageType(const u8* m, u32 n) {
    u8 type = 0;
    WalkOptions(m, n, [&](u8 code, const u8* v, u32 length) {
        if (code != 53) return true;
        if (length >= 1) type = v[0];
        return false;
    });
    return type;
}

void Dhcp_ReadOptions(const u8* m, u32 n, DhcpLease& lease) {
    WalkOptions(m, n, [&](u8 code, const u8* v, u32 length) {
        u32* field = nullptr;
        switch (code) {
            case 1: field = &lease.mask; break;
            case 3: field = &lease.router; break;
            case 6: field = &lease.dns; break;
            case 51: field = &lease.leaseTime; break;
            case 54: field = &lease.server; break;
            case 58: field = &lease.t1; break;
            case 59: field = &lease.t2; break;
            default: break;
        }
        if (field != nullptr && length >= 4) *field = GetBe32(v);
        return true;
    });
}

u32 dhcpInit(int port, u8 dhcpOn) {
    EnsureInitialised();
    if (port < 0 || port > 1) return NX_FAILURE;
    DhcpPortState& s = dhcpProcCtrl[port];
    CloseSocket(s);
    ClearPort(s);
    std::memset(&dhcpOffered[port], 0, sizeof dhcpOffered[port]);
    s.enable = dhcpOn;
    s.acquisition = kDhcpAcquiring;
    s.xid = NewXid();
    if (!Nx_OwnNamespace()) return NX_SUCCESS;  // the host's interfaces see nothing
    s.ifIndex = static_cast<int>(if_nametoindex(kInterfaces[port]));
    // Index 0 would bind the socket to every interface.
    if (s.ifIndex == 0) return NX_FAILURE;
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) return NX_FAILURE;
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_IP);
    a.sll_ifindex = s.ifIndex;
    int on = 1;
    if (!AttachFilter(fd) || setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return NX_FAILURE;
    }
    s.socket = fd;
    Drain(s);  // what passed before the filter was on
    return NX_SUCCESS;
}

int dhcpTimer(u32* timer, u32 ticks) {
    const u32 now = FPGA_GetFrt();
    if (ticks == 0) {
        *timer = now;
        return 0;
    }
    return static_cast<u32>(now - *timer) >= ticks ? 1 : 0;
}

int sendUdpPacket(DhcpPortState& s, u32 destination) {
    if (s.socket < 0) return 0;
    u8* f = s.frame;
    std::memset(f, 0, kDhcpFrameBytes);
    f[0] = 0x45;
    PutBe16(f + 2, static_cast<u16>(kDhcpFrameBytes));
    f[8] = 64;
    f[9] = IPPROTO_UDP;
    PutBe32(f + 12, 0);
    PutBe32(f + 16, destination);
    PutBe16(f + 10, Dhcp_Checksum(f, 20));
    u8* u = f + 20;
    const u16 udpLength = static_cast<u16>(kDhcpFrameBytes - 20);
    PutBe16(u + 0, kClientPort);
    PutBe16(u + 2, kServerPort);
    PutBe16(u + 4, udpLength);
    std::memcpy(u + 8, s.request, kDhcpSentMessageBytes);
    u32 pseudo = (destination >> 16) + (destination & 0xFFFF) + IPPROTO_UDP + udpLength;
    u16 sum = Dhcp_Checksum(u, udpLength, pseudo);
    PutBe16(u + 6, sum == 0 ? 0xFFFF : sum);
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_IP);
    a.sll_ifindex = s.ifIndex;
    a.sll_halen = 6;
    std::memset(a.sll_addr, 0xFF, 6);
    ssize_t n = sendto(s.socket, f, kDhcpFrameBytes, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(kDhcpFrameBytes) ? 1 : 0;
}

int setQryPacket(DhcpPortState& s, u8 kind, const DhcpLease& lease, int port) {
    u8* m = s.request;
    std::memset(m, 0, kDhcpMessageBytes);
    m[0] = 1;
    m[1] = 1;
    m[2] = 6;
    PutBe32(m + 4, s.xid);
    if (kind == kDhcpDiscover) PutBe16(m + 10, 0x8000);
    if (kind == kDhcpRelease || kind == kDhcpInform || kind == kDhcpRenew) PutBe32(m + 12, lease.address);
    std::memcpy(m + 28, PortMac(port), 6);
    std::memcpy(m + 236, kCookie, 4);
    u32 at = kDhcpOptionsOffset;
    const u8 type = kind == kDhcpRenew ? kDhcpRequest : kind;
    PutOption(m, at, 53, &type, 1);
    u8 clientId[7] = {1};
    std::memcpy(clientId + 1, PortMac(port), 6);
    PutOption(m, at, 61, clientId, 7);
    if ((kind == kDhcpDiscover || kind == kDhcpRequest || kind == kDhcpRenew) && s.addressKnown)
        PutAddressOption(m, at, 50, s.requestedAddress);
    if (kind == kDhcpRequest || kind == kDhcpRelease) PutAddressOption(m, at, 54, lease.server);
    if (kind != kDhcpRelease) {
        constexpr u8 kAsked[3] = {1, 3, 6};
        PutOption(m, at, 55, kAsked, 3);
    }
    m[at] = 255;
    const bool unicast = kind == kDhcpRenew || kind == kDhcpRelease;
    return sendUdpPacket(s, unicast ? lease.server : kBroadcast);
}

int readUdpPacket(DhcpPortState& s) {
    // The idle wait polls the socket: when it saw nothing, nothing is there.
    if (s.socket < 0 || Service_Ready(s.socket, POLLIN) == 0) return 0;
    u8 f[kDhcpFrameBytes];
    iovec io{f, sizeof f};
    alignas(cmsghdr) u8 control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s.socket, &msg, MSG_DONTWAIT);
    if (n <= 0) {
        Service_Consume(s.socket);
        return 0;
    }
    // A frame of this host whose checksum the kernel left to the hardware
    // carries no final UDP checksum yet; the kernel vouches for it.
    bool checkUdp = true;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
            c->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata))) {
            tpacket_auxdata aux;
            std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
            if (aux.tp_status & TP_STATUS_CSUMNOTREADY) checkUdp = false;
        }
    int payload = Dhcp_AcceptFrame(f, static_cast<u32>(n), checkUdp);
    // A message without the fixed part and the cookie is no DHCP reply.
    if (payload < static_cast<int>(kDhcpOptionsOffset)) return 0;
    std::memcpy(s.received, f + kDhcpHeaderBytes, static_cast<size_t>(payload));
    s.receivedLength = static_cast<u32>(payload);
    return 1;
}

void procOfferAckPacket(DhcpPortState& s, DhcpLease& lease) {
    if (s.receivedLength < kDhcpOptionsOffset) return;
    lease.address = GetBe32(s.received + 16);
    s.addressKnown = 1;
    s.requestedAddress = lease.address;
    Dhcp_ReadOptions(s.received, s.receivedLength, lease);
}

void dhcpScan(int enable, int port) {
    EnsureInitialised();
    if (port < 0 || port > 1) return;
    DhcpPortState& s = dhcpProcCtrl[port];
    DhcpLease& lease = dhcpOffered[port];
    s.enable = static_cast<u8>(enable != 0);
    if (s.socket < 0) return;  // no interface of our own: acquiring, silent
    if (s.state != kDhcpWait) Drain(s);
    switch (s.state) {
        case kDhcpStart:
            s.kind = kDhcpDiscover;
            s.state = kDhcpSend;
            break;
        case kDhcpSend:
            switch (s.kind) {
                case kDhcpDiscover:
                    std::memset(&lease, 0, sizeof lease);
                    s.acquisition = kDhcpAcquiring;
                    s.xid = NewXid();
                    setQryPacket(s, kDhcpDiscover, lease, port);
                    break;
                case kDhcpRequest:
                    s.acquisition = kDhcpAcquiring;
                    setQryPacket(s, kDhcpRequest, lease, port);
                    break;
                case kDhcpRelease:
                case kDhcpInform:
                case kDhcpRenew:
                    s.xid = NewXid();
                    setQryPacket(s, s.kind, lease, port);
                    break;
                default:
                    break;
            }
            dhcpTimer(&s.replyTimer, 0);
            s.state = kDhcpWait;
            break;
        case kDhcpWait:
            for (int k = 0; k < kReadsPerPass && s.state == kDhcpWait; ++k) {
                if (!readUdpPacket(s)) break;
                HandleReply(s, port);
            }
            if (s.state == kDhcpWait && dhcpTimer(&s.replyTimer, kDhcpReplyTicks)) {
                s.state = kDhcpIdle;
                // The lease stays in force until its end; the renewal is
                // tried again a little later.
                if (s.kind == kDhcpRenew && s.bound) {
                    s.renewalTiming = 1;
                    s.renewalStartS = NowSeconds();
                    s.renewalAfterS = kDhcpRenewalRetryS;
                }
            }
            break;
        case kDhcpReleasing:
            s.acquisition = kDhcpReleased;
            s.bound = 0;
            s.renewalTiming = 0;
            s.kind = kDhcpRelease;
            s.state = kDhcpSend;
            break;
        default:
            s.state = kDhcpIdle;
            if (!s.enable) {
                if (s.bound) s.state = kDhcpReleasing;
                break;
            }
            if (!s.bound) {
                s.state = kDhcpStart;
                break;
            }
            const u64 now = NowSeconds();
            if (lease.leaseTime != 0 && now - s.leaseStartS >= lease.leaseTime) {
                DropLease(s, port);
                s.state = kDhcpStart;
            } else if (!s.renewalTiming) {
                s.renewalTiming = 1;
                s.renewalStartS = now;
                s.renewalAfterS = lease.t1 != 0 ? lease.t1 : kDhcpDefaultRenewalS;
            } else if (now - s.renewalStartS >= s.renewalAfterS) {
                s.renewalTiming = 0;
                s.kind = kDhcpRenew;
                s.state = kDhcpSend;
            }
            break;
    }
}

void getFromDhcp(u32* value, u8* acquisition, int what, int port) {
    EnsureInitialised();
    if (port < 0 || port > 1) return;
    const DhcpPortState& s = dhcpProcCtrl[port];
    const DhcpLease& lease = dhcpOffered[port];
    if (s.bound && value != nullptr) {
        switch (what) {
            case 0: *value = lease.address; break;
            case 1: *value = lease.mask; break;
            case 2: *value = lease.router; break;
            case 3: *value = lease.dns; break;
            default: break;
        }
    }
    if (acquisition != nullptr) *acquisition = s.acquisition;
}

bool dhcpBusy(int port) {
    EnsureInitialised();
    return port >= 0 && port < 2 && dhcpProcCtrl[port].acquisition == kDhcpAcquiring;
}

bool dhcpLeaseLost(int port) {
    if (port < 0 || port > 1 || !dhcpProcCtrl[port].leaseLost) return false;
    dhcpProcCtrl[port].leaseLost = 0;
    return true;
}

void Dhcp_PollSet(std::vector<pollfd>& fds) {
    for (const DhcpPortState& s : dhcpProcCtrl)
        if (g.initialised && s.socket >= 0) fds.push_back(pollfd{s.socket, POLLIN, 0});
}

void Dhcp_Reset() {
    if (g.initialised)
        for (DhcpPortState& s : dhcpProcCtrl) CloseSocket(s);
    g = Module{};
    EnsureInitialised();
}
