#include "net/vcommetn.h"

#include <cstring>

#include "core/plc_regs.h"
#include "link/promgr.h"
#include "net/dpr.h"
#include "platform/fpga.h"
#include "remote/wifi.h"

namespace {

constexpr u32 kTcpChunk = 1460, kUdpChunk = 512;
constexpr u32 kConnectRetryMs = 9999;
constexpr u32 kDisconnectWait = 200;  // ms, as the socket layer is asked

struct State {
    VCommConnEth eth[4];
};
State g;

bool WifiAccessPoint() { return wifiCntFlw.mode == 1; }

// The channel of a port, null when the port designates none.
VCommChannel* Channel(u32 port, VCommConnEth** block = nullptr) {
    int iface = 0, ch = 0;
    if (!EtnVCommPort(port, &iface, &ch)) return nullptr;
    if (block != nullptr) *block = &g.eth[iface];
    return &g.eth[iface].ch[ch];
}

u32 RegDword(u32 reg) {
    u8 v[4] = {};
    return PlcReg_Get(v, reg, 32) ? GetLe32(v) : 0;
}

u16 RegWord(u32 reg) {
    u8 v[2] = {};
    return PlcReg_Get(v, reg, 16) ? GetLe16(v) : 0;
}

bool Tcp(const VCommChannel& c) { return c.transport == 0; }

void SaveEphemeralPort(const NxIp* ip) { PutLe16(&plc_reg[kEphemeralPortByte], ip->nextEphemeralPort); }

void Disconnect(VCommChannel& c) { _nx_tcp_socket_disconnect(&c.tcp, kDisconnectWait); }

void TcpDisconnected(NxTcpSocket* s) {
    _nx_tcp_socket_disconnect(s, 0);
    if (auto* c = static_cast<VCommChannel*>(s->owner)) c->flags &= static_cast<u8>(~kVcConnected);
}

void ReleaseRx(VCommChannel& c) {
    if (c.rx != nullptr) _nx_packet_release(c.rx);
    c.rx = nullptr;
    c.rxIndex = 0;
}

void ReleaseTx(VCommChannel& c) {
    if (c.tx != nullptr) _nx_packet_release(c.tx);
    c.tx = nullptr;
    c.txLength = 0;
}

// A remote address kept in a register is followed: a new value drops the
// connection, and the next operation connects to the new device at once.
void FollowAddress(VCommChannel& c) {
    if (c.addressReg == 0) return;
    u32 a = RegDword(c.addressReg);
    if (a == 0 || a == c.remoteAddress) return;
    if (Tcp(c)) Disconnect(c);
    c.remoteAddress = a;
    c.flags &= static_cast<u8>(~(kVcConnected | kVcConnectStarted));
}

// Connects the channel when it is not; true when it can carry data now.
bool Establish(VCommConnEth& b, VCommChannel& c) {
    FollowAddress(c);
    if (b.ip == nullptr || !b.ip->linkUp) return false;
    // A disconnect gives the TCP socket's binding up with it.
    if (Tcp(c) && !c.tcp.bound) c.flags &= static_cast<u8>(~kVcBound);
    if (!(c.flags & kVcBound)) {
        u32 r = Tcp(c) ? _nx_tcp_client_socket_bind(&c.tcp, 0, 0) : _nx_udp_socket_bind(&c.udp, c.localPort, 0);
        if (r == 7 || r == 17 || r == 20) return false;
        SaveEphemeralPort(b.ip);
        c.flags |= kVcBound;
    }
    const u32 now = _tx_time_get();
    if (c.flags & kVcConnectStarted) {
        if (!Tcp(c) || c.tcp.state == NX_TCP_ESTABLISHED) {
            c.flags |= kVcConnected;
            return true;
        }
        if (static_cast<u32>(now - c.connectTime) <= kConnectRetryMs) return false;
        c.flags &= static_cast<u8>(~kVcConnectStarted);
        if (c.tcp.state == NX_TCP_CONNECTING || c.tcp.state == NX_TCP_CLOSED) {
            Disconnect(c);
            if (_nx_tcp_client_socket_bind(&c.tcp, 0, 0) != NX_SUCCESS) {
                c.flags &= static_cast<u8>(~kVcBound);
                return false;
            }
            SaveEphemeralPort(b.ip);
        }
    }
    c.connectTime = now;
    if (!Tcp(c)) {
        c.flags |= kVcConnectStarted | kVcConnected;
        return true;
    }
    u32 r = _nx_tcp_client_socket_connect(&c.tcp, c.remoteAddress, c.remotePort, 0);
    if (r == NX_SUCCESS) {
        c.flags |= kVcConnectStarted | kVcConnected;
        return true;
    }
    if (r == NX_IN_PROGRESS) {
        c.flags |= kVcConnectStarted;
        return false;
    }
    c.flags &= static_cast<u8>(~kVcBound);
    return false;
}

// The channel when it may be used now: IP instance, link up, open and
// connected; otherwise *why holds the unusable result.
VCommChannel* Usable(u32 port, int* why) {
    VCommConnEth* b = nullptr;
    VCommChannel* c = Channel(port, &b);
    *why = 0;
    if (c == nullptr || b->ip == nullptr) return nullptr;
    if (!(c->flags & kVcOpen)) {
        FollowAddress(*c);
        return nullptr;
    }
    bool ok = Establish(*b, *c);
    if (!b->ip->linkUp) {
        *why = kVCommLinkDown;
        return nullptr;
    }
    if (!ok) {
        *why = kVCommNotConnected;
        return nullptr;
    }
    return c;
}

bool Receive(VCommChannel& c) {
    NxPacket* p = nullptr;
    u32 r = Tcp(c) ? _nx_tcp_socket_receive(&c.tcp, &p, 0) : _nx_udp_socket_receive(&c.udp, &p, 0);
    if (r != NX_SUCCESS || p == nullptr) return false;
    c.rx = p;
    c.rxIndex = 0;
    return true;
}

void MakeSockets(VCommConnEth& b, u32* result) {
    for (VCommChannel& c : b.ch) {
        u32 r = _nx_tcp_socket_create(b.ip, &c.tcp, "Virtual Serial Socket", 0, 0x4000, 128, 1380, nullptr,
                                      TcpDisconnected);
        c.tcp.owner = &c;
        if (r != NX_SUCCESS && *result == 0) *result = r;
        r = _nx_udp_socket_create(b.ip, &c.udp, "modbus udp client", 0, 0, 128, 5);
        if (r != NX_SUCCESS && *result == 0) *result = r;
    }
    b.socketsMade = 1;
}

void OpenOn(VCommConnEth& b, VCommChannel& c, const u8* rec, u16 version) {
    c.flags |= kVcOpen;
    ReleaseRx(c);
    ReleaseTx(c);
    const bool late = version > 312;
    const u16 options = GetLe16(rec + (late ? 20 : 12));
    c.transport = late ? GetLe16(rec + 12) : 0;
    c.addressReg = 0;
    if (options & 1) {
        c.addressReg = GetLe32(rec);
        c.remoteAddress = RegDword(c.addressReg);
    } else {
        c.remoteAddress = GetLe32(rec);
    }
    c.remotePort = (options & 2) ? RegWord(GetLe32(rec + 4)) : GetLe16(rec + 4);
    c.localPort = 0;
    if (late && (options & 4)) c.localPort = RegWord(GetLe32(rec + 8));
    else if (late && (options & 8)) c.localPort = GetLe16(rec + 8);
    if (b.ip == nullptr || !b.ip->linkUp) c.flags &= static_cast<u8>(~(kVcBound | kVcConnectStarted | kVcConnected));
}

}  // namespace

bool EtnVCommPort(u32 port, int* iface, int* channel) {
    const u32 p = port & 0xFFFF;
    int i = -1;
    u32 ch = 0;
    if (port > 0xFFFF) return false;
    if (p <= 2) {
        i = 0;
        ch = p;
    } else if (p <= 98) {
        i = 0;
        ch = p - 3;
    } else if (p & 0x800) {
        if (WifiAccessPoint()) return false;
        i = 2;
        ch = p & 0xFF;
    } else {
        ch = (p & 0xFF) + ((p & 0xF00) / 8);
        if (p & 0x2000) i = 0;
        else if (p & 0x4000) i = 1;
        else if ((p & 0x8000) && !WifiAccessPoint()) i = 2;
    }
    if (i < 0 || ch >= kVCommChannels) return false;
    *iface = i;
    *channel = static_cast<int>(ch);
    return true;
}

int EtnVComm_Open(u32 port, const u8* record) {
    if (record == nullptr) return 0;
    VCommConnEth* b = nullptr;
    VCommChannel* c = Channel(port, &b);
    if (c == nullptr) return 0;
    const u32 key = port > 35 ? port / 256 : ((port & 0x800) ? 0 : 3);
    u16 version = 0;
    // Without its driver the layout of the record is not known.
    if (!PMGR_DriverVersion(key, &version)) return 0;
    OpenOn(*b, *c, record, version);
    if (port & 0x8000) {
        int iface = 0, ch = 0;
        EtnVCommPort(port, &iface, &ch);
        OpenOn(g.eth[3], g.eth[3].ch[ch], record, version);
    }
    return 1;
}

void EtnVComm_FlushTx(u32 port) {
    int why;
    VCommChannel* c = Usable(port, &why);
    if (c == nullptr) return;
    c->txLength = 0;
    if (c->tx != nullptr) {  // kept for the next bytes
        c->tx->length = 0;
        c->tx->dataEnd = c->tx->dataStart;
    }
}

int EtnVComm_PutTx(u32 port, u8 byte) {
    int why;
    VCommConnEth* b = nullptr;
    if (Channel(port, &b) == nullptr) return 0;
    VCommChannel* c = Usable(port, &why);
    if (c == nullptr) return why == kVCommNotConnected ? kVCommNotConnected : 0;
    if (c->tx == nullptr && _nx_packet_allocate(b->pool, &c->tx, 0, 0) != NX_SUCCESS) {
        c->tx = nullptr;
        return byte;  // no packet: the byte is dropped
    }
    if (_nx_packet_data_append(c->tx, &byte, 1, b->pool, 0) != NX_SUCCESS) return byte;
    ++c->txLength;
    if (c->txLength >= (Tcp(*c) ? kTcpChunk : kUdpChunk)) EtnVComm_DoTx(port);
    return byte;
}

void EtnVComm_DoTx(u32 port) {
    int why;
    VCommChannel* c = Usable(port, &why);
    if (c == nullptr) {
        if (VCommChannel* any = Channel(port)) ReleaseTx(*any);
        return;
    }
    if (c->tx != nullptr) {
        bool connected = true;
        if (Tcp(*c) && c->tcp.state != NX_TCP_ESTABLISHED) {
            connected = false;
            if (c->tcp.state == NX_TCP_CLOSED) {
                c->flags &= static_cast<u8>(~(kVcConnected | kVcConnectStarted));
                VCommConnEth* b = nullptr;
                Channel(port, &b);
                Establish(*b, *c);
            }
        }
        if (connected && c->txLength > 0) {
            NxPacket* p = c->tx;
            c->tx = nullptr;
            // The send gives the packet back whether it went or not.
            if (Tcp(*c)) _nx_tcp_socket_send(&c->tcp, p, 0);
            else _nx_udp_socket_send(&c->udp, p, c->remoteAddress, c->remotePort);
        }
    }
    ReleaseTx(*c);
}

void EtnVComm_FlushRx(u32 port) {
    int why;
    VCommChannel* c = Usable(port, &why);
    if (c == nullptr) return;
    ReleaseRx(*c);
    for (int guard = 0; guard < 1000 && Receive(*c); ++guard) ReleaseRx(*c);
}

int EtnVComm_CheckRx(u32 port) {
    int why;
    VCommChannel* c = Usable(port, &why);
    if (c == nullptr) return why;
    if (c->rx != nullptr && c->rxIndex < c->rx->length) return 1;
    ReleaseRx(*c);
    return Receive(*c) ? 1 : 0;
}

int EtnVComm_GetRx(u32 port) {
    VCommConnEth* b = nullptr;
    if (Channel(port, &b) == nullptr || b->ip == nullptr) return b == nullptr ? -1 : 0;
    int why;
    VCommChannel* c = Usable(port, &why);
    if (c == nullptr) return -1;
    if (c->rx == nullptr && !Receive(*c)) return -1;
    if (c->rxIndex >= c->rx->length) {
        ReleaseRx(*c);
        return -1;
    }
    int v = c->rx->dataStart[c->rxIndex++];
    if (c->rxIndex >= c->rx->length) ReleaseRx(*c);
    return v;
}

u32 EtnVComm_InitWait(u32 port) { return port; }
u32 EtnVComm_WaitRx(u32 port) { return port; }
u32 EtnVComm_IoCtl(u32 port) { return port; }

int EtnVComm_Close1(u32 port) {
    VCommChannel* c = Channel(port);
    if (c == nullptr || !(c->flags & kVcOpen)) return 0;
    Disconnect(*c);
    c->flags &= static_cast<u8>(~(kVcBound | kVcConnectStarted | kVcConnected));
    return 1;
}

int EtnVComm_Close(u32 port) {
    VCommConnEth* b = nullptr;
    VCommChannel* c = Channel(port, &b);
    if (c == nullptr || !(c->flags & kVcOpen)) return 0;
    c->flags &= static_cast<u8>(~(kVcOpen | kVcConnectStarted | kVcConnected));
    b->closePending = 1;
    return 1;
}

u32 EtnVComm_Init(NxIp* ip, NxPacketPool* pool) {
    VCommConnEth& b = g.eth[ip->index & 3];
    b.ip = ip;
    b.pool = pool;
    b.closePending = 0;
    b.closeState = 0;
    u32 result = 0;
    MakeSockets(b, &result);
    u16 saved = GetLe16(&plc_reg[kEphemeralPortByte]);
    if (saved > 29999) ip->nextEphemeralPort = saved;
    else SaveEphemeralPort(ip);
    return result;
}

void EtnVComm_DeInit(NxIp* ip) {
    if ((ip->index & 3) == 0) return;
    VCommConnEth& b = g.eth[ip->index & 3];
    if (!b.socketsMade) return;
    for (VCommChannel& c : b.ch) {
        Disconnect(c);
        _nx_udp_socket_delete(&c.udp);
        c.flags &= static_cast<u8>(~(kVcBound | kVcConnectStarted | kVcConnected));
    }
}

// Outside run mode the channels closed by the drivers are disconnected one
// at a time. Each is visited once: a channel is picked only while it is
// still bound, and picking it unbinds it.
void EtnVComm_Scan(int iface) {
    VCommConnEth& b = g.eth[iface & 3];
    if (GetLe16(DprMap + kDprRunFlag) == 1) {
        b.closeState = 0;
        return;
    }
    const u32 now = _tx_time_get();
    if (b.closeState == 0 && b.closePending) {
        int pick = -1;
        for (u32 k = 0; k < kVCommChannels && pick < 0; ++k) {
            const VCommChannel& c = b.ch[k];
            bool live = c.tcp.state == NX_TCP_ESTABLISHED || c.tcp.state == NX_TCP_CONNECTING;
            if (live || (!Tcp(c) && (c.flags & kVcBound))) pick = static_cast<int>(k);
        }
        if (pick < 0) {
            b.closePending = 0;
            return;
        }
        VCommChannel& c = b.ch[pick];
        b.closing = static_cast<u8>(pick);
        c.flags &= static_cast<u8>(~kVcBound);
        if (!Tcp(c)) _nx_udp_socket_unbind(&c.udp);
        Disconnect(c);
        c.connectTime = now;
        b.closeState = 2;
    } else if (b.closeState == 1) {
        VCommChannel& c = b.ch[b.closing];
        Disconnect(c);
        c.connectTime = now;
        b.closeState = 2;
    } else if (b.closeState == 2) {
        VCommChannel& c = b.ch[b.closing];
        if (c.tcp.state == NX_TCP_ESTABLISHED) {
            if (static_cast<u32>(now - c.connectTime) > kConnectRetryMs) b.closeState = 1;
        } else {
            _nx_tcp_client_socket_unbind(&c.tcp);
            b.closeState = 0;
        }
    }
}

u32 EtnVComm_Conn_Cnt(int iface) {
    u32 n = 0;
    for (const VCommChannel& c : g.eth[iface & 3].ch) n += (c.flags & kVcConnected) ? 1 : 0;
    return n;
}

bool EtnVComm_HasWork() { return false; }

void EtnVComm_Reset() {
    for (VCommConnEth& b : g.eth)
        for (VCommChannel& c : b.ch) {
            if (c.tcp.fd >= 0 || c.tcp.connFd >= 0) _nx_tcp_socket_delete(&c.tcp);
            _nx_udp_socket_delete(&c.udp);
            // The pool may be gone already; packets are forgotten with it.
        }
    g = State{};
}

const VCommConnEth& EtnVComm_Block(int iface) { return g.eth[iface & 3]; }
