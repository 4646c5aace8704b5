#include "net/eip/eip.h"

#include <cstring>

#include "net/dpr.h"
#include "platform/fpga.h"
#include "platform/root.h"
#include "platform/system.h"

EipPortState EipConnEth[4];
u8 EipTxData[kEipImageBytes];
u8 EipRxData[kEipImageBytes];

namespace {

// The identity paths the adapter's connections and link object report.
constexpr u8 Eip_Production_Path[6] = {0x20, 0x04, 0x24, 0x65, 0x30, 0x03};
constexpr u8 Eip_Consumption_Path[6] = {0x20, 0x04, 0x24, 0x64, 0x30, 0x03};
constexpr u8 Eip_Link_Path[4] = {0x20, 0xF6, 0x24, 0x01};
constexpr u8 kProducedInstance = 101, kConsumedInstance = 100;

struct State {
    u8 rx[kEipBufferBytes] = {};
    u8 tx[kEipBufferBytes] = {};
    NxPacketPool* pool = nullptr;
    u32 session = 1;  // next session handle; 0 reads as "no session" to originators
    CipPathInfo pathInfo;
};
State g;

u32 Now() { return _tx_time_get(); }

// A part of the register map; a size the image cannot hold moves nothing.
struct MapPart {
    u32 reg;
    u32 bytes;
};
MapPart Part(int port, int k, u32 limit) {
    const u32* eip = Dpr_Configuration[port].eip;
    MapPart p{eip[2 * k], eip[2 * k + 1]};
    if (p.reg == 0 || p.bytes == 0 || p.bytes > limit) return {0, 0};
    return p;
}
MapPart Produced(int port) { return Part(port, 0, kEipImageBytes); }
MapPart Consumed(int port) { return Part(port, 1, kEipImageBytes); }
MapPart Status(int port) { return Part(port, 2, 2); }

// A configured size the image cannot hold: the assembly is unusable.
bool SizeOk(int port, int k) {
    u32 bytes = Dpr_Configuration[port].eip[2 * k + 1];
    return bytes <= kEipImageBytes;
}

EipPortState* PortOfConfig(const CipConnConfig* c) {
    u32 manager = CipConnConfig_Manager(*c);
    if (manager < 1 || manager > 2) return nullptr;
    return &EipConnEth[manager - 1];
}

EipTcpSession* SessionOf(NxTcpSocket* s) {
    EipPortState* p = static_cast<EipPortState*>(s->owner);
    if (p == nullptr) return nullptr;
    for (EipTcpSession& e : p->sessions)
        if (&e.socket == s) return &e;
    return nullptr;
}

void ClearSession(EipTcpSession& e) {
    e.streamLength = 0;
    e.skip = 0;
}

void EipTcpConnect(NxTcpSocket* s, u32) {
    EipTcpSession* e = SessionOf(s);
    if (e != nullptr && _nx_tcp_server_socket_accept(s, 0) == NX_IN_PROGRESS) {
        e->lastActivity = Now();
        ClearSession(*e);
    } else {
        _nx_tcp_server_socket_unaccept(s);
    }
}

void EipTcpDisconnect(NxTcpSocket* s) {
    _nx_tcp_socket_disconnect(s, 0);
    _nx_tcp_server_socket_unaccept(s);
    if (EipTcpSession* e = SessionOf(s)) ClearSession(*e);
}

// Arms a closed session socket when none listens; 1 when none could be.
int EipTcpSocketListen(EipPortState& p) {
    for (EipTcpSession& e : p.sessions)
        if (e.socket.state == NX_TCP_LISTEN) return 0;
    for (EipTcpSession& e : p.sessions) {
        if (e.socket.state != NX_TCP_CLOSED) continue;
        u32 r;
        if (p.listening) {
            r = _nx_tcp_server_socket_relisten(p.ip, kEipTcpPort, &e.socket);
        } else {
            e.socket.bound = 0;
            r = _nx_tcp_server_socket_listen(p.ip, kEipTcpPort, &e.socket, 0, EipTcpConnect);
            if (r == NX_SUCCESS) p.listening = 1;
        }
        if (r == NX_SUCCESS) {
            e.socket.owner = &p;
            return 0;
        }
    }
    return 1;
}

// Closes an established session socket.
void DropSession(EipTcpSession& e) {
    _nx_tcp_socket_disconnect(&e.socket, 0);
    _nx_tcp_server_socket_unaccept(&e.socket);
    ClearSession(e);
}

void TouchSessions(EipPortState& p, u32 now) {
    for (EipTcpSession& e : p.sessions)
        if (e.socket.state == NX_TCP_ESTABLISHED) e.lastActivity = now;
}

bool Send(NxTcpSocket& s, const u8* data, u32 n) {
    NxPacket* packet = nullptr;
    if (_nx_packet_allocate(g.pool, &packet, 0, 0) != NX_SUCCESS) return false;
    if (_nx_packet_data_append(packet, data, n, g.pool, 0) != NX_SUCCESS) {
        _nx_packet_release(packet);
        return false;
    }
    return _nx_tcp_socket_send(&s, packet, 0) == NX_SUCCESS;
}

void SetStatus(u32 status) { PutLe32(g.tx + 8, status); }
void SetLength(u32 n) { PutLe16(g.tx + 2, static_cast<u16>(n)); }

// ---------------------------------------------------------------------------
// Unconnected and connected messages.

bool PortAddress(const EipPortState& p, u32* address, u32* mask) {
    if (p.ip == nullptr) return false;
    *address = p.ip->address;
    *mask = p.ip->mask;
    return true;
}

// Appends one sockaddr info item at out; answers its 20 bytes.
u32 SockaddrItem(u8* out, u16 type, u32 address, u16 port) {
    PutLe16(out, type);
    PutLe16(out + 2, 16);
    PutBe16(out + 4, 2);
    PutBe16(out + 6, port);
    PutBe32(out + 8, address);
    std::memset(out + 12, 0, 8);
    return 20;
}

// Sockaddr items of the connections the request opened; answers the bytes
// appended at out and counts the items.
u32 NewConnectionItems(EipPortState& p, u8* out, u32 room, u16* items) {
    u32 n = 0;
    u32 own = 0, mask = 0;
    PortAddress(p, &own, &mask);
    const u16 udpPort = static_cast<u16>(kEipUdpPort + static_cast<u32>(Root_PortOffset()));
    for (EipConnSlot& s : p.slots) {
        if (s.connection == nullptr || s.connection->type != 1 || s.remoteAddress != 0) continue;
        if (s.connection->transport & 0x80) {
            if (room - n < 40) break;
            s.remoteAddress = own;
            n += SockaddrItem(out + n, kCpfSockaddrOT, own, udpPort);
            n += SockaddrItem(out + n, kCpfSockaddrTO, Eip_MulticastAddress(own, mask), udpPort);
            *items = static_cast<u16>(*items + 2);
        } else if (s.config != nullptr && (s.config->toParams & 0x6000) == 0x4000) {
            s.port = static_cast<u16>(kEipUdpPort);
            s.remoteAddress = p.originatorAddress;
        } else {
            s.remoteAddress = Eip_MulticastAddress(own, mask);
        }
    }
    return n;
}

void SendRRData(EipPortState& p, const u8* d, u32 n) {
    p.action = kEipReply;
    EipCommonPktInfo cpf;
    if (n < 8 || GetLe32(d) != 0 || !EipParseCpf(d + 6, n - 6, &cpf) || !cpf.addressPresent ||
        cpf.addressType != kCpfNull || !cpf.dataPresent || cpf.dataType != kCpfUnconnectedData) {
        SetStatus(kEipStatusBadData);
        return;
    }
    u8* request = const_cast<u8*>(cpf.data);
    // Interface 1's objects are its instance 2: a request for instance 1 by
    // an 8-bit class and instance path reaches them.
    if (p.index == 1 && cpf.dataLength >= 6 && request[1] >= 2 && request[2] == 0x20 && request[4] == 0x24)
        request[5] = 2;
    u8* out = g.tx + kEipHeaderBytes;
    PutLe32(out, 0);
    PutLe16(out + 4, 0);
    u16 items = 2;
    PutLe16(out + 8, kCpfNull);
    PutLe16(out + 10, 0);
    PutLe16(out + 12, kCpfUnconnectedData);
    u32 replyLength = Ucmm_Msg(request, out + 16, cpf.dataLength);
    PutLe16(out + 14, static_cast<u16>(replyLength));
    u32 total = 16 + replyLength;
    total += NewConnectionItems(p, out + total, kEipBufferBytes - kEipHeaderBytes - total, &items);
    PutLe16(out + 6, items);
    SetLength(total);
}

void SendUnitData(EipPortState& p, const u8* d, u32 n) {
    p.action = kEipReply;
    EipCommonPktInfo cpf;
    if (n < 8 || GetLe32(d) != 0 || !EipParseCpf(d + 6, n - 6, &cpf) || !cpf.addressPresent ||
        cpf.addressType != kCpfConnectedAddress || !cpf.dataPresent || cpf.dataType != kCpfConnectedData ||
        cpf.dataLength < 2) {
        SetStatus(kEipStatusBadData);
        return;
    }
    EipConnSlot* slot = nullptr;
    for (EipConnSlot& s : p.slots)
        if (s.connection != nullptr && s.connection->cipConsumedId == cpf.connectionId) {
            slot = &s;
            break;
        }
    if (slot == nullptr) {
        SetStatus(kEipStatusBadData);
        return;
    }
    CipConnection* c = slot->connection;
    const u16 sequence = GetLe16(cpf.data);
    if (sequence != c->expectedSeq) {
        p.action = kEipNoReply;
        return;
    }
    c->expectedSeq = static_cast<u16>(c->expectedSeq + 1);
    slot->lastActivity = Now();
    u8* out = g.tx + kEipHeaderBytes;
    PutLe32(out, 0);
    PutLe16(out + 4, 0);
    PutLe16(out + 6, 2);
    PutLe16(out + 8, kCpfConnectedAddress);
    PutLe16(out + 10, 4);
    PutLe32(out + 12, c->cipProducedId);
    PutLe16(out + 16, kCpfConnectedData);
    PutLe16(out + 20, sequence);
    u32 replyLength = Conn_Put_Data(cpf.data + 2, cpf.dataLength - 2, out + 22, c);
    PutLe16(out + 18, static_cast<u16>(2 + replyLength));
    SetLength(22 + replyLength);
}

void ListServices() {
    u8* out = g.tx + kEipHeaderBytes;
    PutLe16(out, 1);
    PutLe16(out + 2, 0x0100);
    PutLe16(out + 4, 20);
    PutLe16(out + 6, 1);
    PutLe16(out + 8, 0x0020);
    std::memset(out + 10, 0, 16);
    std::memcpy(out + 10, "Communications", 14);
    SetLength(26);
}

// ---------------------------------------------------------------------------
// Connections.

void FreeSlot(EipPortState& p, EipConnSlot& s) {
    if (s.udpCreated) {
        _nx_udp_socket_unbind(&s.udp);
        _nx_udp_socket_delete(&s.udp);
    }
    if (s.connection != nullptr) {
        if (s.connection->type == 1) {
            if (p.ioCount > 0) --p.ioCount;
        } else if (p.explicitCount > 0) {
            --p.explicitCount;
        }
        Connection_Inst_Free(s.connection);
    }
    s = EipConnSlot{};
}

// A free slot with a fresh connection instance, or null.
EipConnSlot* TakeSlot(EipPortState& p, CipConnConfig* c) {
    for (EipConnSlot& s : p.slots) {
        if (s.connection != nullptr) continue;
        CipConnection* conn = nullptr;
        if (Connection_Inst_Allocate(&conn) != 0) return nullptr;
        s = EipConnSlot{};
        s.config = c;
        s.connection = conn;
        return &s;
    }
    return nullptr;
}

void Fail(CipConnConfig* c, u8 general, u16 extended) {
    EipConnectionClose(c);
    c->generalStatus = general;
    c->extendedStatus = extended;
}

u32 Multiplied(u32 rateMs, u8 multiplier) {
    const u32 shift = multiplier > 7 ? 7 : multiplier;
    return rateMs * (4u << shift);
}

bool PathReaches(const CipPathEntry& e, u8 instance) {
    return e.cls == kCipClassAssembly && (e.instance == instance || e.point == instance);
}

// One direction of a class-1 connection; false when it failed (the
// configuration then carries the status).
bool OpenIo(EipPortState& p, CipConnConfig* c, bool consumer, const CipPathEntry& entry) {
    EipConnSlot* s = TakeSlot(p, c);
    if (s == nullptr) {
        Fail(c, kCipConnFailure, kCipExtTargetOutOfConnections);
        return false;
    }
    ++p.ioCount;
    CipConnection& conn = *s->connection;
    conn.type = 1;
    conn.watchdogAction = 1;
    const u16 params = consumer ? c->otParams : c->toParams;
    const u32 rpi = consumer ? c->otRpi : c->toRpi;
    const u32 wire = params & 0x1FFu;
    const int part = consumer ? 1 : 0;
    const u32 configured = Dpr_Configuration[p.index].eip[2 * part + 1];
    conn.expectedPacketRate = static_cast<u16>(rpi / 1000 > 0xFFFF ? 0xFFFF : rpi / 1000);
    if (consumer) {
        conn.transport = static_cast<u8>(c->transport | 0x80);
        conn.consumedSize = static_cast<u16>(configured + 2);
        conn.consumedId = static_cast<u16>(c->otId);
        conn.cipConsumedId = c->otId;
        conn.consumedPathLength = sizeof Eip_Consumption_Path;
        std::memcpy(conn.consumedPath, Eip_Consumption_Path, sizeof Eip_Consumption_Path);
    } else {
        conn.transport = static_cast<u8>(c->transport & 0x7F);
        conn.producedSize = static_cast<u16>(wire);
        conn.producedId = static_cast<u16>(c->toId);
        conn.cipProducedId = c->toId;
        conn.producedPathLength = sizeof Eip_Production_Path;
        std::memcpy(conn.producedPath, Eip_Production_Path, sizeof Eip_Production_Path);
    }
    if (!SizeOk(p.index, part) || wire != configured + (consumer ? 6u : 2u)) {
        Fail(c, kCipConnFailure, kCipExtBadSize);
        return false;
    }
    if (!PathReaches(entry, consumer ? kConsumedInstance : kProducedInstance)) {
        Fail(c, kCipConnFailure, kCipExtBadSegment);
        return false;
    }
    Connection_Inst_Ready(&conn);
    s->port = static_cast<u16>(kEipUdpPort);
    s->udpCreated = 1;
    const char* name = consumer ? "E/IP Recieve" : "E/IP Transmit";
    if (_nx_udp_socket_create(p.ip, &s->udp, name, 0, 0, 128, 5) != NX_SUCCESS ||
        _nx_udp_socket_bind(&s->udp, consumer ? kEipUdpPort : 0, 0) != NX_SUCCESS) {
        Fail(c, kCipResourceUnavailable, 0);
        return false;
    }
    if (consumer) s->timeout = Multiplied(conn.expectedPacketRate, c->timeoutMultiplier);
    else s->productionInterval = conn.expectedPacketRate;
    s->lastActivity = Now();
    return true;
}

// What the watchdog does to a connection that saw no traffic in time.
void Watchdog(EipPortState& p, EipConnSlot& s, u32 now) {
    switch (s.connection->watchdogAction) {
        case 0: s.connection->state = kCipConnTimedOut; break;
        case 2: s.lastActivity = now; break;
        default: EipConnectionClose(s.config); break;
    }
}

void Consume(EipPortState& p, EipConnSlot& s, u32 now) {
    NxPacket* packet = nullptr;
    if (_nx_udp_socket_receive(&s.udp, &packet, 0) != NX_SUCCESS) {
        if (s.connection->state != kCipConnTimedOut && now - s.lastActivity > s.timeout) Watchdog(p, s, now);
        return;
    }
    u32 n = packet->length < kEipBufferBytes ? packet->length : kEipBufferBytes;
    const bool whole = packet->length <= kEipBufferBytes;
    std::memcpy(g.rx, packet->dataStart, n);
    _nx_packet_release(packet);
    const MapPart part = Consumed(p.index);
    const u32 size = Dpr_Configuration[p.index].eip[3];
    EipCommonPktInfo cpf;
    if (!whole || n != size + 24 || !EipParseCpf(g.rx, n, &cpf)) return;
    if (!cpf.addressPresent || cpf.addressType != kCpfSequencedAddress || cpf.connectionId != s.connection->cipConsumedId)
        return;
    if (!cpf.dataPresent || cpf.dataType != kCpfConnectedData || cpf.dataLength != size + 6) return;
    if (s.sequenceSeen && !Eip_SequenceNewer(cpf.sequence, s.encapSequence)) return;
    s.sequenceSeen = 1;
    s.encapSequence = cpf.sequence;
    s.lastActivity = now;
    if (s.connection->state == kCipConnTimedOut) s.connection->state = kCipConnEstablished;
    if (part.bytes > 0) std::memcpy(EipRxData, cpf.data + 6, part.bytes);
    TouchSessions(p, now);
}

void Produce(EipPortState& p, EipConnSlot& s, u32 now) {
    if (now - s.lastActivity < s.productionInterval) return;
    NxPacket* packet = nullptr;
    if (_nx_packet_allocate(g.pool, &packet, 0, 0) != NX_SUCCESS) return;
    const u32 size = s.connection->producedSize >= 2 ? s.connection->producedSize - 2u : 0u;
    u8* d = g.tx;
    PutLe16(d, 2);
    PutLe16(d + 2, kCpfSequencedAddress);
    PutLe16(d + 4, 8);
    PutLe32(d + 6, s.connection->cipProducedId);
    PutLe32(d + 10, s.encapSequence);
    PutLe16(d + 14, kCpfConnectedData);
    PutLe16(d + 16, s.connection->producedSize);
    PutLe16(d + 18, s.dataSequence);
    s.dataSequence = static_cast<u16>(s.dataSequence + 1);
    std::memcpy(d + 20, EipTxData, size <= kEipImageBytes ? size : kEipImageBytes);
    const u32 port = s.port + static_cast<u32>(Root_PortOffset());
    if (_nx_packet_data_append(packet, d, size + 20, g.pool, 0) == NX_SUCCESS) {
        if (s.remoteAddress != 0 && _nx_udp_socket_send(&s.udp, packet, s.remoteAddress, port) == NX_SUCCESS)
            ++s.encapSequence;
        else if (s.remoteAddress == 0)
            _nx_packet_release(packet);
    } else {
        _nx_packet_release(packet);
    }
    s.lastActivity = now;
    TouchSessions(p, now);
}

// Serves every whole message at the start of a session's stream.
void ServeStream(EipPortState& p, EipTcpSession& e) {
    while (e.socket.state == NX_TCP_ESTABLISHED) {
        if (e.skip > 0) {
            u32 drop = e.skip < e.streamLength ? e.skip : e.streamLength;
            std::memmove(e.stream, e.stream + drop, e.streamLength - drop);
            e.streamLength -= drop;
            e.skip -= drop;
            if (e.skip > 0) return;
        }
        if (e.streamLength < kEipHeaderBytes) return;
        const u32 total = kEipHeaderBytes + GetLe16(e.stream + 2);
        if (total > kEipBufferBytes) {
            // Longer than any message the adapter takes: refused, its data dropped.
            std::memcpy(g.tx, e.stream, kEipHeaderBytes);
            SetLength(0);
            SetStatus(kEipStatusBadLength);
            PutLe32(g.tx + 20, 0);
            Send(e.socket, g.tx, kEipHeaderBytes);
            e.skip = total - kEipHeaderBytes;
            std::memmove(e.stream, e.stream + kEipHeaderBytes, e.streamLength - kEipHeaderBytes);
            e.streamLength -= kEipHeaderBytes;
            continue;
        }
        if (e.streamLength < total) return;
        std::memcpy(g.rx, e.stream, total);
        std::memmove(e.stream, e.stream + total, e.streamLength - total);
        e.streamLength -= total;
        u8 action = EncapMsg(p.index, g.rx, total);
        if (action == kEipClose) {
            DropSession(e);
            return;
        }
        if (action == kEipReply) {
            u32 length = 0;
            const u8* reply = Eip_Reply(&length);
            Send(e.socket, reply, length);
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------

bool Eip_SequenceNewer(u32 sequence, u32 last) { return static_cast<i32>(sequence - last) > 0; }

u32 Eip_MulticastAddress(u32 address, u32 mask) {
    u32 host = mask == 0 ? (address & 0xFF) : (address & ~mask);
    return 0xEFC00100u + 32u * ((host - 1u) % 1024u);
}

bool EipParseCpf(const u8* p, u32 n, EipCommonPktInfo* out) {
    *out = EipCommonPktInfo{};
    if (n < 2) return false;
    const u32 count = GetLe16(p);
    if (count < 2) return false;
    u32 pos = 2;
    for (u32 i = 0; i < count; ++i) {
        if (n - pos < 4) return false;
        const u16 type = GetLe16(p + pos);
        const u32 len = GetLe16(p + pos + 2);
        const u8* body = p + pos + 4;
        if (n - pos - 4 < len) return false;
        switch (type) {
            case kCpfNull:
                if (len != 0) return false;
                out->addressPresent = 1;
                out->addressType = type;
                break;
            case kCpfConnectedAddress:
                if (len != 4) return false;
                out->addressPresent = 1;
                out->addressType = type;
                out->connectionId = GetLe32(body);
                break;
            case kCpfSequencedAddress:
                if (len != 8) return false;
                out->addressPresent = 1;
                out->addressType = type;
                out->connectionId = GetLe32(body);
                out->sequence = GetLe32(body + 4);
                break;
            case kCpfConnectedData:
            case kCpfUnconnectedData:
                out->dataPresent = 1;
                out->dataType = type;
                out->dataLength = len;
                out->data = body;
                break;
            case kCpfSockaddrOT:
            case kCpfSockaddrTO:
                if (len != 16) return false;
                out->sockaddrType = kCpfSockaddrOT;
                out->sockaddrFamily = GetBe16(body);
                out->sockaddrPort = GetBe16(body + 2);
                out->sockaddrAddress = GetBe32(body + 4);
                break;
            default: return false;
        }
        pos += 4 + len;
    }
    return true;
}

u32 Ucmm_Msg(u8* request, u8* reply, u32 length) {
    const u8 service = length > 0 ? request[0] : 0;
    if (service != kCipGetSingle && service != kCipSetSingle && service != kCipForwardClose &&
        service != kCipForwardOpen)
        return Cip_ErrorReply(reply, service, kCipServiceNotSupported);
    return Message_Router_Route(request, length, reply, kCipPathSegmentError);
}

u8 EncapMsg(int port, const u8* message, u32 received) {
    EipPortState& p = EipConnEth[port & 3];
    p.action = kEipNoReply;
    if (received < kEipHeaderBytes || received > kEipBufferBytes) return p.action;
    const u32 length = GetLe16(message + 2);
    if (kEipHeaderBytes + length > received) return p.action;
    if (message != g.rx) std::memmove(g.rx, message, kEipHeaderBytes + length);
    std::memcpy(g.tx, g.rx, kEipHeaderBytes);
    SetLength(0);
    SetStatus(0);
    PutLe32(g.tx + 20, 0);
    const u8* d = g.rx + kEipHeaderBytes;
    switch (GetLe16(g.rx)) {
        case kEipNop: break;
        case kEipListServices:
            p.action = kEipReply;
            ListServices();
            break;
        case kEipRegisterSession:
            p.action = kEipReply;
            PutLe32(g.tx + 4, g.session);
            g.session = g.session + 1 == 0 ? 1 : g.session + 1;
            PutLe16(g.tx + kEipHeaderBytes, 1);
            PutLe16(g.tx + kEipHeaderBytes + 2, 0);
            SetLength(4);
            break;
        case kEipUnRegisterSession: p.action = kEipClose; break;
        case kEipSendRRData: SendRRData(p, d, length); break;
        case kEipSendUnitData: SendUnitData(p, d, length); break;
        default:
            p.action = kEipReply;
            SetStatus(kEipStatusBadCommand);
            break;
    }
    return p.action;
}

const u8* Eip_Reply(u32* length) {
    *length = kEipHeaderBytes + GetLe16(g.tx + 2);
    return g.tx;
}

void EipConnectionOpen(CipConnConfig* c) {
    EipPortState* pp = PortOfConfig(c);
    if (pp == nullptr) {
        c->generalStatus = kCipConnFailure;
        c->extendedStatus = kCipExtBadSegment;
        return;
    }
    EipPortState& p = *pp;
    if (Epath_Parse(c->path, &g.pathInfo, 2u * c->pathWords) != 0) {
        c->generalStatus = kCipConnFailure;
        c->extendedStatus = kCipExtBadSegment;
        return;
    }
    const u8 cls = c->transport & 0x0F;
    if (cls == 3) {
        EipConnSlot* s = TakeSlot(p, c);
        if (s == nullptr) {
            Fail(c, kCipConnFailure, kCipExtTargetOutOfConnections);
            return;
        }
        CipConnection& conn = *s->connection;
        conn.state = kCipConnEstablished;
        conn.type = 0;
        conn.transport = c->transport;
        conn.producedSize = static_cast<u16>(c->toParams & 0x1FF);
        conn.consumedSize = static_cast<u16>(c->otParams & 0x1FF);
        conn.expectedPacketRate = static_cast<u16>(c->otRpi / 1000 > 0xFFFF ? 0xFFFF : c->otRpi / 1000);
        conn.producedId = static_cast<u16>(c->toId);
        conn.consumedId = static_cast<u16>(c->otId);
        conn.cipProducedId = c->toId;
        conn.cipConsumedId = c->otId;
        conn.watchdogAction = 1;
        conn.expectedSeq = 0;
        u32 t = Multiplied(conn.expectedPacketRate, c->timeoutMultiplier);
        s->timeout = t <= kEipClass3MinTimeoutMs ? kEipClass3MinTimeoutMs : t;
        ++p.explicitCount;
        s->lastActivity = Now();
        return;
    }
    if (cls != 1) {
        c->generalStatus = kCipConnFailure;
        c->extendedStatus = kCipExtBadTransport;
        return;
    }
    const CipPathInfo& path = g.pathInfo;
    if (path.entryCount == 0) {
        c->generalStatus = kCipConnFailure;
        c->extendedStatus = kCipExtBadSegment;
        return;
    }
    const CipPathEntry& production = path.entries[path.entryCount == 3 ? 1 : 0];
    const CipPathEntry& consumption = path.entries[path.entryCount - 1];
    if ((c->toParams & 0x6000) != 0 && !OpenIo(p, c, false, production)) return;
    if ((c->otParams & 0x6000) != 0 && !OpenIo(p, c, true, consumption)) return;
}

void EipConnectionClose(CipConnConfig* c) {
    EipPortState* p = PortOfConfig(c);
    if (p == nullptr) return;
    for (EipConnSlot& s : p->slots)
        if (s.connection != nullptr && s.config == c) FreeSlot(*p, s);
    if (p->manager != nullptr)
        for (CipConnConfig*& k : p->manager->configs)
            if (k == c) k = nullptr;
    Conn_Cfg_Inst_Free(c);
}

u32 Eip_Init(NxIp* ip, NxPacketPool* pool) {
    const int port = static_cast<int>(ip->index & 3);
    if (port > 1) return 0;  // the adapter runs on the wired interfaces only
    EipPortState& p = EipConnEth[port];
    // Started again (a retry, a restart): the connections end, the object
    // instances stay, the sessions start afresh.
    if (p.manager != nullptr)
        for (CipConnConfig* c : p.manager->configs)
            if (c != nullptr) EipConnectionClose(c);
    for (EipTcpSession& e : p.sessions) _nx_tcp_socket_delete(&e.socket);
    EipPortState kept = p;
    p = EipPortState{};
    p.ip = ip;
    p.index = port;
    g.pool = pool;
    const u16 number = static_cast<u16>(port + 1);
    if (kept.router != nullptr) {
        p.router = kept.router;
        p.identity = kept.identity;
        p.manager = kept.manager;
        p.produced = kept.produced;
        p.consumed = kept.consumed;
        p.tcpIp = kept.tcpIp;
        p.link = kept.link;
        *p.router = CipMessageRouter{};
        p.router->allocated = 1;
    } else if (Message_Router_Inst_Allocate(&p.router) != 0 || Identity_Inst_Allocate(&p.identity) != 0 ||
               Conn_Manager_Inst_Allocate(&p.manager) != 0 || Assembly_Inst_Allocate(&p.produced) != 0 ||
               Assembly_Inst_Allocate(&p.consumed) != 0 || TcpIp_Inst_Allocate(&p.tcpIp) != 0 ||
               Enet_Lnk_Inst_Allocate(&p.link) != 0) {
        return 1;
    }
    p.router->instance = p.identity->instance = p.manager->instance = p.tcpIp->instance = p.link->instance = number;

    const u8* mac = tinyImage + (port == 0 ? kTinyMac0 : kTinyMac1);
    CipIdentity& id = *p.identity;
    id.vendor = kEipVendorId;
    id.deviceType = 0;
    id.productCode = kEipProductCode;
    id.major = 1;
    id.minor = 0;
    id.status = 0;
    id.serial = GetBe32(mac + 2);
    id.name = Eip_Product_Name;
    Identity_Inst_Ready(&id);

    p.manager->open = EipConnectionOpen;
    p.manager->close = EipConnectionClose;
    Conn_Manager_Inst_Ready(p.manager);

    Message_Router_Class_Install(p.router, kCipClassIdentity, Identity_Service);
    Message_Router_Class_Install(p.router, kCipClassConnManager, Conn_Manager_Service);
    Message_Router_Class_Install(p.router, kCipClassConnection, Connection_Service);
    Message_Router_Class_Install(p.router, kCipClassAssembly, Assembly_Service);
    Message_Router_Class_Install(p.router, kCipClassTcpIp, TcpIp_Service);
    Message_Router_Class_Install(p.router, kCipClassEnetLink, Enet_Lnk_Service);
    Message_Router_Inst_Ready(p.router);

    // Sizes in bits of the configured bytes; a size the image cannot hold
    // leaves the assembly empty.
    p.produced->instance = kProducedInstance;
    p.produced->data = EipTxData;
    p.produced->memberBits[0] = static_cast<u16>(8 * Produced(port).bytes);
    Assembly_Inst_Ready(p.produced);
    p.consumed->instance = kConsumedInstance;
    p.consumed->data = EipRxData;
    p.consumed->memberBits[0] = static_cast<u16>(8 * Consumed(port).bytes);
    Assembly_Inst_Ready(p.consumed);

    p.tcpIp->status = 1;
    p.tcpIp->capability = 0;
    p.tcpIp->linkPathWords = 2;
    p.tcpIp->linkPath = Eip_Link_Path;
    TcpIp_Inst_Ready(p.tcpIp);
    p.link->speed = 100;
    p.link->flags = 3;
    std::memcpy(p.link->mac, mac, 6);
    Enet_Lnk_Inst_Ready(p.link);

    for (EipTcpSession& e : p.sessions) {
        if (_nx_tcp_socket_create(ip, &e.socket, "eip server", 0, 0, 128, kEipBufferBytes, nullptr,
                                  EipTcpDisconnect) != NX_SUCCESS)
            return 1;
        e.socket.owner = &p;
    }
    return EipTcpSocketListen(p) != 0 ? 1 : 0;
}

void Eip_Scan(int port) {
    if (port < 0 || port > 1) return;
    EipPortState& p = EipConnEth[port];
    if (p.ip == nullptr || p.produced == nullptr || p.consumed == nullptr) return;
    if (!(Dpr_Configuration[port].flags.service & kSvcEip)) {
        for (EipTcpSession& e : p.sessions) {
            if (e.socket.state != NX_TCP_ESTABLISHED) continue;
            NxPacket* packet = nullptr;
            while (_nx_tcp_socket_receive(&e.socket, &packet, 0) == NX_SUCCESS) _nx_packet_release(packet);
        }
        return;
    }
    EipTcpSocketListen(p);
    p.statusWord = static_cast<u16>(p.explicitCount * 256 + p.ioCount);
    // A new configuration may have changed the sizes.
    p.produced->memberBits[0] = static_cast<u16>(8 * Produced(port).bytes);
    p.consumed->memberBits[0] = static_cast<u16>(8 * Consumed(port).bytes);

    if (GetLe16(DprMap + kDprRunFlag) == 1) {
        const MapPart produced = Produced(port), consumed = Consumed(port), status = Status(port);
        if (produced.bytes > 0) Dpr_Data_Block(produced.reg, static_cast<u16>(8 * produced.bytes), EipTxData, 0, 1);
        if (consumed.bytes > 0) Dpr_Data_Block(consumed.reg, static_cast<u16>(8 * consumed.bytes), EipRxData, 1, 1);
        if (status.bytes > 0) {
            u8 word[2];
            PutLe16(word, p.statusWord);
            Dpr_Data_Block(status.reg, static_cast<u16>(8 * status.bytes), word, 1, 1);
        }
    } else {
        std::memset(EipTxData, 0, sizeof EipTxData);
    }

    u32 now = Now();
    for (EipTcpSession& e : p.sessions) {
        if (e.socket.state != NX_TCP_ESTABLISHED) continue;
        NxPacket* packet = nullptr;
        const bool room = kEipStreamBytes - e.streamLength >= kNxReceiveMax;
        if (room && _nx_tcp_socket_receive(&e.socket, &packet, 0) == NX_SUCCESS) {
            p.originatorAddress = e.socket.peerAddress;
            e.lastActivity = now;
            u32 n = packet->length <= kNxReceiveMax ? packet->length : kNxReceiveMax;
            std::memcpy(e.stream + e.streamLength, packet->dataStart, n);
            e.streamLength += n;
            _nx_packet_release(packet);
        } else if (now - e.lastActivity > kEipSessionIdleMs) {
            DropSession(e);
            continue;
        }
        ServeStream(p, e);
    }

    now = Now();
    for (EipConnSlot& s : p.slots) {
        if (s.connection == nullptr) continue;
        const u8 transport = s.connection->transport;
        if ((transport & 0x0F) == 3) {
            if (now - s.lastActivity > s.timeout) Watchdog(p, s, now);
        } else if (transport & 0x80) {
            Consume(p, s, now);
        } else {
            Produce(p, s, now);
        }
    }
}

u32 Eip_NextProductionMs() {
    u32 best = ~0u;
    const u32 now = Now();
    for (const EipPortState& p : EipConnEth)
        for (const EipConnSlot& s : p.slots) {
            if (s.connection == nullptr || (s.connection->transport & 0x8F) != 1) continue;
            u32 elapsed = now - s.lastActivity;
            u32 left = elapsed >= s.productionInterval ? 0 : s.productionInterval - elapsed;
            if (left < best) best = left;
        }
    return best;
}

u32 Eip_Conn_Cnt(int port) {
    if (port < 0 || port > 1) return 0;
    u32 n = 0;
    for (const EipTcpSession& e : EipConnEth[port].sessions) n += e.socket.state == NX_TCP_ESTABLISHED;
    return n;
}

void Eip_DeInit(NxIp* ip) {
    const int port = static_cast<int>(ip->index & 3);
    if (port != 1) return;
    for (EipTcpSession& e : EipConnEth[port].sessions) {
        if (e.socket.fd < 0 && e.socket.connFd < 0) continue;
        EipTcpDisconnect(&e.socket);
    }
}

bool Eip_HasWork() { return false; }

void Eip_Reset() {
    for (EipPortState& p : EipConnEth) {
        for (EipTcpSession& e : p.sessions) _nx_tcp_socket_delete(&e.socket);
        for (EipConnSlot& s : p.slots)
            if (s.udpCreated) _nx_udp_socket_delete(&s.udp);
        p = EipPortState{};
    }
    std::memset(EipTxData, 0, sizeof EipTxData);
    std::memset(EipRxData, 0, sizeof EipRxData);
    g = State{};
    Cip_Reset();
}
