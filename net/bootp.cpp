#include "net/bootp.h"

#include <cstring>

namespace {

struct State {
    BootPPortState eth[4];
};
State g;

constexpr u32 kOpOffset = 0, kYiaddr = 16, kSiaddr = 20, kChaddr = 28, kSname = 44, kCookie = 236, kOptions = 240;

}  // namespace

u32 BootPInit(NxIp* ip, NxPacketPool* pool) {
    BootPPortState& b = g.eth[ip->index & 3];
    b.ip = ip;
    b.pool = pool;
    u32 r = _nx_udp_socket_create(ip, &b.socket, "BOOTP Socket", 0, 0x4000, 128, 5);
    if (r != NX_SUCCESS) return r;
    return _nx_udp_socket_bind(&b.socket, kBootpServerPort, 0);
}

int BootPConfig(const u8* mac, u32 address, u32 n, int iface) {
    BootPPortState& b = g.eth[iface & 3];
    if (n < 1 || n > kBootpEntries || n > static_cast<u32>(b.count) + 1) return 0;
    std::memcpy(b.entries[n - 1].mac, mac, 6);
    b.entries[n - 1].address = address;
    b.count = static_cast<u8>(n);
    return 1;
}

bool BootP_Reply(int iface, const u8* request, u32 length, u32 ownAddress, u32 mask, u8 reply[kBootpReplyBytes],
                 u32* entry) {
    const BootPPortState& b = g.eth[iface & 3];
    // A request shorter than the fixed fields and the cookie is no request.
    if (length < kBootpMinRequest || request[kOpOffset] != 1) return false;
    for (u32 k = 0; k < b.count; ++k) {
        if (std::memcmp(request + kChaddr, b.entries[k].mac, 6) != 0) continue;
        std::memset(reply, 0, kBootpReplyBytes);
        std::memcpy(reply, request, length < kBootpReplyBytes ? length : kBootpReplyBytes);
        reply[kOpOffset] = 2;
        PutBe32(reply + kYiaddr, b.entries[k].address);
        PutBe32(reply + kSiaddr, ownAddress);
        std::memcpy(reply + kSname, "ZEK", 3);
        u8* o = reply + kOptions;
        std::memset(o, 0, kBootpReplyBytes - kOptions);
        o[0] = 1;
        o[1] = 4;
        PutBe32(o + 2, mask);
        o[6] = 0xFF;
        (void)kCookie;  // bytes 236-239 stay those of the request
        *entry = k;
        return true;
    }
    return false;
}

void BootPScan(int iface) {
    BootPPortState& b = g.eth[iface & 3];
    if (b.count == 0 || b.ip == nullptr) return;
    NxPacket* p = nullptr;
    if (_nx_udp_socket_receive(&b.socket, &p, 0) != NX_SUCCESS || p == nullptr) return;
    u8 reply[kBootpReplyBytes];
    u32 k = 0;
    const bool owed = BootP_Reply(iface, p->dataStart, p->length, b.ip->address, b.ip->mask, reply, &k);
    _nx_packet_release(p);
    if (!owed) return;
    NxPacket* out = nullptr;
    if (_nx_packet_allocate(b.pool, &out, 0, 0) != NX_SUCCESS) return;
    const BootPEntry& e = b.entries[k];
    _nx_arp_dynamic_entry_set(b.ip, e.address, static_cast<u32>(e.mac[0]) << 8 | e.mac[1], GetBe32(e.mac + 2));
    _nx_packet_data_append(out, reply, kBootpReplyBytes, b.pool, 0);
    _nx_udp_socket_send(&b.socket, out, e.address, kBootpClientPort);
}

void BootP_Reset() {
    for (BootPPortState& b : g.eth) _nx_udp_socket_delete(&b.socket);
    g = State{};
}

const BootPPortState& BootP_Block(int iface) { return g.eth[iface & 3]; }
