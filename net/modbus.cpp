#include "net/modbus.h"

#include <cstring>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "platform/fpga.h"

ModbusConn ModbusConnEth[4];
NxPacketPool* ModbusPacketPoolPtr = nullptr;

namespace {

// Scratch of one request: the frame taken from the stream and its answer.
struct State {
    u8 rxBuff[kModbusRxBytes] = {};
    u8 txMsg[kModbusTxBytes] = {};
};
State g;

// Function codes and their tables.
constexpr u32 kTabCoils = 1, kTabInputs = 2, kTabHolding = 3, kTabInputRegs = 4;

u32 TableOf(u32 function) {
    switch (function) {
        case 1: case 5: case 15: return kTabCoils;
        case 2: return kTabInputs;
        case 3: case 6: case 16: return kTabHolding;
        case 4: return kTabInputRegs;
        default: return 0;
    }
}

// The IEC set once a configuration gave one while an IEC application was
// loaded; without one the register set stays in force, so the server keeps
// listening on its port and serving the register map (an IEC set never
// given has port 0 and no tables).
const ModbusSettings& SetInForce(int port, bool* iec) {
    const EnetPortConfigTail& t = Dpr_Configuration[port].tail;
    *iec = Dpr_IecActive() && t.modbusIec.set.inUse;
    return *iec ? t.modbusIec.set : t.modbus;
}

bool Tcp(int port) {
    bool iec;
    return SetInForce(port, &iec).transport == 0;
}

// The IEC map: a variable reference, or 0 when the table has none there.
// `ok` is false when the request lies outside the table.
u32 Q4_ModbusMap(u32 function, int port, u32 address, u32 quantity, bool single, bool* ok) {
    const ModbusIecSettings& s = Dpr_Configuration[port].tail.modbusIec;
    u32 table = TableOf(function);
    int slot = table == kTabHolding ? 0 : table == kTabInputRegs ? 1 : table == kTabCoils ? 2 : 3;
    u32 count = s.count[slot];
    *ok = address < count && (single || quantity <= count - address);
    if (!*ok) return 0;
    u32 base = s.base[slot];
    if (table == kTabHolding || table == kTabInputRegs) {
        base |= 0xC0000000u;
        u32 cls = (base >> 26) & 7;
        if (cls != 1 && cls != 2 && !(base & 0x20000000u)) return 0;
    }
    return base + address;
}

u32 Exception(const u8* req, u8 code, u8* tx) {
    PutBe16(tx, GetBe16(req));
    PutBe16(tx + 2, 0);
    PutBe16(tx + 4, 3);
    tx[6] = req[6];
    tx[7] = static_cast<u8>(req[7] | 0x80);
    tx[8] = code;
    return 9;
}

u32 Echo(const u8* req, u16 a, u16 b, u8* tx) {
    PutBe16(tx, GetBe16(req));
    PutBe16(tx + 2, 0);
    PutBe16(tx + 4, 6);
    tx[6] = req[6];
    tx[7] = req[7];
    PutBe16(tx + 8, a);
    PutBe16(tx + 10, b);
    return 12;
}

// Sends the first length bytes of the answer buffer; 0 on success.
int SendResponse(ModbusConn& b, int s, u32 length, const u8* data) {
    bool udp = !Tcp(b.index);
    u32 chunk = udp ? 512 : 1024;
    u32 done = 0;
    while (done < length) {
        NxPacket* p = nullptr;
        if (_nx_packet_allocate(ModbusPacketPoolPtr, &p, 0, 0) != NX_SUCCESS) return 1;
        u32 n = length - done < chunk ? length - done : chunk;
        if (_nx_packet_data_append(p, data + done, n, ModbusPacketPoolPtr, 0) != NX_SUCCESS) {
            _nx_packet_release(p);
            return 1;
        }
        u32 r = udp ? _nx_udp_socket_send(&b.udp, p, b.peerAddress, b.peerPort)
                    : _nx_tcp_socket_send(&b.sockets[s].socket, p, 0);
        if (r != NX_SUCCESS) return 1;
        done += n;
    }
    return 0;
}

ModbusConn* BlockOf(NxTcpSocket* s) { return static_cast<ModbusConn*>(s->owner); }

ModbusSocketEntry* EntryOf(NxTcpSocket* s) {
    ModbusConn* b = BlockOf(s);
    if (b == nullptr) return nullptr;
    for (ModbusSocketEntry& e : b->sockets)
        if (&e.socket == s) return &e;
    return nullptr;
}

// Everything a connection leaves behind: the answer owed to it and the
// bytes of its unfinished frame. A new connection starts from nothing.
void Forget(ModbusSocketEntry& e) {
    e.read = {};
    e.streamLength = 0;
    e.lastActivity = e.frameStart = _tx_time_get();
}

// Closes the connection only: the slot goes back to listening on the shared
// descriptor, so that dropping every slot at once never closes the listening
// socket under the clients still waiting in its queue.
void Drop(ModbusSocketEntry& e) {
    _nx_tcp_server_socket_unaccept(&e.socket);
    Forget(e);
}

void ModbusConnect(NxTcpSocket* s, u32) {
    ModbusSocketEntry* e = EntryOf(s);
    if (e == nullptr) return;
    if (_nx_tcp_server_socket_accept(s, 0) == NX_IN_PROGRESS) Forget(*e);
    else _nx_tcp_server_socket_unaccept(s);
}

void ModbusDisconnect(NxTcpSocket* s) {
    if (ModbusSocketEntry* e = EntryOf(s)) Drop(*e);
    else _nx_tcp_server_socket_unaccept(s);
}

int ModbusSocketListen(ModbusConn& b) {
    bool iec;
    const ModbusSettings& set = SetInForce(b.index, &iec);
    for (ModbusSocketEntry& e : b.sockets) {
        if (e.socket.state != NX_TCP_CLOSED) continue;
        u32 r;
        if (!b.active) {
            e.socket.bound = 0;
            r = _nx_tcp_server_socket_listen(b.ip, set.port, &e.socket, 0, ModbusConnect);
            if (r == NX_SUCCESS) {
                b.active = 1;
                b.port = set.port;
            }
        } else {
            r = _nx_tcp_server_socket_relisten(b.ip, b.port, &e.socket);
        }
        if (r == NX_SUCCESS) return 0;
    }
    return 1;
}

void DiscardTcp(ModbusSocketEntry& e) {
    NxPacket* p = nullptr;
    while (_nx_tcp_socket_receive(&e.socket, &p, 0) == NX_SUCCESS) _nx_packet_release(p);
    e.streamLength = 0;
}

// Answers a read from the registers as they stand now (the scan of this pass
// has published them). A send the socket cannot take now leaves the read
// owed; it goes out first on a later pass, so answers keep request order.
// True when the answer left (or can never be built).
bool AnswerRead(ModbusConn& b, int s, const ModbusPendingRead& r) {
    ModbusSocketEntry& e = b.sockets[s];
    u32 len = Modbus_BuildReadAnswer(r, g.txMsg);
    if (len == 0 || SendResponse(b, s, len, g.txMsg) == 0) {
        e.read.pending = 0;
        return true;
    }
    e.read = r;
    e.read.pending = 1;
    return false;
}

// Serves every complete frame at the start of the entry's stream, each
// answered before the next is taken, until none is left or an answer owed
// cannot be sent yet.
void ServeStream(ModbusConn& b, int s) {
    ModbusSocketEntry& e = b.sockets[s];
    while (!e.read.pending && e.socket.state == NX_TCP_ESTABLISHED) {
        u32 len = Modbus_FrameLength(e.stream, e.streamLength);
        if (len == 0) return;
        if (len == ~0u) {
            e.streamLength = 0;  // no frame can be found in it again
            return;
        }
        std::memcpy(g.rxBuff, e.stream, len);
        std::memmove(e.stream, e.stream + len, e.streamLength - len);
        e.streamLength -= len;
        // What follows the frame is the start of the next one.
        e.frameStart = _tx_time_get();
        ModbusOutcome o = Modbus_Process(b.index, g.rxBuff, len, g.txMsg);
        if (o.kind == ModbusOutcome::kAnswer) SendResponse(b, s, o.answerLength, g.txMsg);
        else if (o.kind == ModbusOutcome::kRead) AnswerRead(b, s, o.read);
    }
}

// Takes in what the connection has waiting and serves it: receives while
// the stream has room and the last receive filled its packet (more may
// wait), serving the complete frames after each, so that every frame a
// client has sent is answered in this pass. True when anything came.
bool ReceiveAndServe(ModbusConn& b, int s, u32 now) {
    ModbusSocketEntry& e = b.sockets[s];
    bool any = false;
    // A client that sends faster than it reads cannot hold the pass: a
    // bounded number of receives per connection and pass.
    for (int round = 0; round < 8 && !e.read.pending && e.socket.state == NX_TCP_ESTABLISHED; ++round) {
        if (kModbusStreamBytes - e.streamLength < kNxReceiveMax) break;
        NxPacket* p = nullptr;
        if (_nx_tcp_socket_receive(&e.socket, &p, 0) != NX_SUCCESS) break;
        any = true;
        e.lastActivity = now;
        if (e.streamLength == 0) e.frameStart = now;
        const u32 n = p->length;
        std::memcpy(e.stream + e.streamLength, p->dataStart, n);
        e.streamLength += n;
        _nx_packet_release(p);
        ServeStream(b, s);
        if (n < kNxReceiveMax) break;  // the kernel had no more than this
    }
    return any;
}

// Answers owed from an earlier pass whose send could not leave, with the
// register values of now, before anything newer on their connection.
void ServeOwed(ModbusConn& b, bool tcp) {
    const u32 count = tcp ? kModbusSockets : 1;
    for (u32 s = 0; s < count; ++s) {
        ModbusSocketEntry& e = b.sockets[s];
        if (!e.read.pending) continue;
        if (tcp && e.socket.state != NX_TCP_ESTABLISHED) continue;
        const ModbusPendingRead owed = e.read;
        AnswerRead(b, static_cast<int>(s), owed);
        // Frames that waited behind the read are served now.
        if (tcp && !e.read.pending) ServeStream(b, static_cast<int>(s));
    }
}

// Every datagram waiting is served (up to the socket's queue), each
// answered to its own sender.
void ServeDatagrams(ModbusConn& b, int port) {
    ModbusSocketEntry& e = b.sockets[0];
    NxPacket* p = nullptr;
    for (int k = 0; k < 16 && b.active && !e.read.pending &&
                    _nx_udp_socket_receive_port_detail(&b.udp, &p, &b.peerAddress, &b.peerPort) == NX_SUCCESS;
         ++k) {
        u32 n = p->length < kModbusRxBytes ? p->length : kModbusRxBytes;
        std::memcpy(g.rxBuff, p->dataStart, n);
        _nx_packet_release(p);
        ModbusOutcome o = Modbus_Process(port, g.rxBuff, n, g.txMsg);
        if (o.kind == ModbusOutcome::kAnswer) SendResponse(b, 0, o.answerLength, g.txMsg);
        else if (o.kind == ModbusOutcome::kRead) AnswerRead(b, 0, o.read);
    }
}

}  // namespace

u32 Modbus_FrameLength(const u8* data, u32 n) {
    if (n < 6) return 0;
    u32 len = GetBe16(data + 4);
    if (len < 2 || len > 254) return ~0u;
    return n >= len + 6 ? len + 6 : 0;
}

u32 ModbusMapToken(u32 table, u32 a, u32 quantity) {
    const bool tok16 = T_token == 0x3000;
    switch (table) {
        case 1: case 5: case 15:
            if (a < 3000) return 0x2800 + a < T_token ? 0x2800 + a : 0;
            if (a < 6000) {
                // The M area of 16-bit operands holds 2048 bits; nothing after it is a coil.
                if (tok16 && a - 3000 + (quantity ? quantity : 1) > 2048) return 0;
                return M_token + (a - 3000);
            }
            if (a < 9000) return T_token + (a - 6000) < M_token ? T_token + (a - 6000) : 0;
            if (a < 9256) return 0x500 + (a - 9000);
            return 0;
        case 2:
            if (a < 2048) return 0x2000 + a;
            if (a >= 3000 && a < 3256) return 0x400 + (a - 3000);
            if (a >= 4000 && a < 4256) return 0x600 + (a - 4000);
            if (a >= 5000 && a < 5256) return 0x700 + (a - 5000);
            return 0;
        case 4:
            if (a < 512) return 0x4000 + 16 * a;
            if (a >= 3000 && a < 3032) return 0x800 + 16 * (a - 3000);
            if (a >= 4000 && a < 4192) return 0xC00 + 16 * (a - 4000);
            return 0;
        case 3: case 6: case 16:
            if (a < 512) return 0x6000 + 16 * a;
            if (a < 3000) return a + quantity <= 3000 ? 0x6000 + 16 * a : 0;
            if (a < 6000) return 0x8000 + 16 * (a - 3000);
            if (a < 6032) return 0xA00 + 16 * (a - 6000);
            if (a >= 10000 && a < 20240) return 0x8000 + 16 * (a - 10000);
            return 0;
        default:
            return 0;
    }
}

ModbusOutcome Modbus_Process(int port, const u8* f, u32 n, u8* tx) {
    ModbusOutcome o;
    if (n <= 7) return o;  // no function code
    u32 length = GetBe16(f + 4);
    if (length > n - 6 || length < 2) return o;
    n = length + 6;  // what the frame says it is; trailing bytes are not its
    u8 fc = f[7];
    o.kind = ModbusOutcome::kAnswer;
    if (fc > 16 || !(fc <= 7 || fc == 15 || fc == 16) || fc == 0) {
        o.answerLength = Exception(f, 1, tx);
        return o;
    }
    if (fc == 7) {
        PutBe16(tx, GetBe16(f));
        PutBe16(tx + 2, 0);
        PutBe16(tx + 4, 3);
        tx[6] = f[6];
        tx[7] = 7;
        tx[8] = 0;
        o.answerLength = 9;
        return o;
    }
    if (n < 12) {
        o.answerLength = Exception(f, 3, tx);
        return o;
    }
    u32 address = GetBe16(f + 8);
    u32 quantity = GetBe16(f + 10);
    bool iec = false;
    SetInForce(port, &iec);
    const bool single = fc == 5 || fc == 6;

    // Quantities and data the answer or the frame cannot hold.
    u32 bits = 0;
    switch (fc) {
        case 1: case 2:
            if (quantity < 1 || quantity > 2000) return o.answerLength = Exception(f, 3, tx), o;
            bits = quantity;
            break;
        case 3: case 4:
            if (quantity < 1 || quantity > 125) return o.answerLength = Exception(f, 3, tx), o;
            bits = 16 * quantity;
            break;
        case 5: bits = 1; break;
        case 6: bits = 16; break;
        case 15:
            if (quantity < 1 || quantity > 1968 || n < 13 || f[12] != static_cast<u8>((quantity + 7) / 8) || n < 13u + f[12])
                return o.answerLength = Exception(f, 3, tx), o;
            bits = quantity;
            break;
        case 16:
            if (quantity < 1 || quantity > 123 || n < 13 || f[12] != static_cast<u8>(2 * quantity) || n < 13u + f[12])
                return o.answerLength = Exception(f, 3, tx), o;
            bits = 16 * quantity;
            break;
    }

    const bool write = fc == 5 || fc == 6 || fc == 15 || fc == 16;
    if (write) {
        const EnetPortConfigTail& t = Dpr_Configuration[port].tail;
        u32 inhibitRef = t.modbus.inhibit;
        if (iec && (t.modbusIec.set.inhibit & 0xC0000000u) == 0xC0000000u) inhibitRef = t.modbusIec.set.inhibit;
        u8 inhibit = 0;
        if (inhibitRef == 0 || !PlcReg_Get(&inhibit, inhibitRef, 1)) inhibit = 0;
        if (inhibit & 1) return o.answerLength = Exception(f, 1, tx), o;
    }

    u32 ref;
    if (iec) {
        bool ok = false;
        ref = Q4_ModbusMap(fc, port, address, single ? 1 : quantity, single, &ok);
        if (!ok || ref == 0) return o.answerLength = Exception(f, 2, tx), o;
    } else {
        ref = ModbusMapToken(fc, address, single ? 1 : quantity);
    }
    DprRequest req{ref, bits};
    if (ref == 0 || EtnValidateReq(&req) != 0) return o.answerLength = Exception(f, 2, tx), o;

    if (!write) {
        o.kind = ModbusOutcome::kRead;
        o.read = {ref, bits, static_cast<u16>(GetBe16(f)), 1, fc, f[6]};
        return o;
    }
    u8 data[256] = {};
    switch (fc) {
        case 5: data[0] = f[10] & 1; break;
        case 6: data[0] = f[11]; data[1] = f[10]; break;
        case 15: std::memcpy(data, f + 13, f[12]); break;
        case 16:
            for (u32 i = 0; i < quantity; ++i) {
                data[2 * i] = f[13 + 2 * i + 1];
                data[2 * i + 1] = f[13 + 2 * i];
            }
            break;
    }
    if (!Dpr_Data_Block(ref, static_cast<u16>(bits), data, 1, 1)) return o.answerLength = Exception(f, 2, tx), o;
    if (fc == 5) o.answerLength = Echo(f, static_cast<u16>(address), static_cast<u16>(f[10] << 8), tx);
    else o.answerLength = Echo(f, static_cast<u16>(address), static_cast<u16>(quantity), tx);
    return o;
}

u32 Modbus_BuildReadAnswer(const ModbusPendingRead& r, u8* tx) {
    u32 count = (r.function == 1 || r.function == 2) ? (r.bits + 7) / 8 : r.bits / 8;
    if (count > kModbusTxBytes - 9) return 0;
    u8* data = tx + 9;
    std::memset(data, 0, count);
    if (!Dpr_Data_Block(r.reference, static_cast<u16>(r.bits), data, 0, 1)) return 0;
    if (r.function == 3 || r.function == 4)
        for (u32 i = 0; i + 1 < count; i += 2) std::swap(data[i], data[i + 1]);
    PutBe16(tx, r.transaction);
    PutBe16(tx + 2, 0);
    PutBe16(tx + 4, static_cast<u16>(count + 3));
    tx[6] = r.unit;
    tx[7] = r.function;
    tx[8] = static_cast<u8>(count);
    return count + 9;
}

u32 Modbus_Init(NxIp* ip, NxPacketPool* pool) {
    int port = static_cast<int>(ip->index & 3);
    ModbusConn& b = ModbusConnEth[port];
    b.ip = ip;
    b.index = port;
    ModbusPacketPoolPtr = pool;
    b.active = 0;
    for (ModbusSocketEntry& e : b.sockets) {
        e.lastActivity = 0;
        e.read = {};
        e.streamLength = 0;
        _nx_tcp_socket_create(ip, &e.socket, "modbus server", 0, 0, 128, 1024, nullptr, ModbusDisconnect);
        e.socket.owner = &b;
    }
    if (Tcp(port)) return ModbusSocketListen(b) != 0 ? 1 : 0;
    return 0;
}

void Modbus_Stop(int port) {
    ModbusConn& b = ModbusConnEth[port & 3];
    if (!Tcp(port)) {
        NxPacket* p = nullptr;
        u32 a, pt;
        while (b.udp.bound && _nx_udp_socket_receive_port_detail(&b.udp, &p, &a, &pt) == NX_SUCCESS)
            _nx_packet_release(p);
    } else {
        for (ModbusSocketEntry& e : b.sockets)
            if (e.socket.state == NX_TCP_ESTABLISHED) DiscardTcp(e);
        for (ModbusSocketEntry& e : b.sockets) {
            _nx_tcp_socket_disconnect(&e.socket, 0);
            Drop(e);
        }
    }
    if (b.udp.fd >= 0) _nx_udp_socket_unbind(&b.udp);
    if (Tcp(port) && b.active && b.ip) _nx_tcp_server_socket_unlisten(b.ip, b.port);
    b.active = 0;
}

void Modbus_DeInit(NxIp* ip) {
    ModbusConn& b = ModbusConnEth[ip->index & 3];
    for (ModbusSocketEntry& e : b.sockets) {
        if (e.socket.fd < 0 && e.socket.connFd < 0) continue;
        _nx_tcp_socket_disconnect(&e.socket, 0);
        _nx_tcp_server_socket_unaccept(&e.socket);
    }
}

u32 Modbus_Conn_Cnt(int port) {
    if (!Tcp(port)) return 1;
    u32 n = 0;
    for (const ModbusSocketEntry& e : ModbusConnEth[port & 3].sockets) n += e.socket.state == NX_TCP_ESTABLISHED;
    return n;
}

void Modbus_Scan(int port) {
    ModbusConn& b = ModbusConnEth[port & 3];
    if (b.ip == nullptr) return;
    bool iec;
    const ModbusSettings& set = SetInForce(port, &iec);
    const bool tcp = set.transport == 0;
    if (GetLe16(DprMap + kDprRunFlag) == 0) {
        if (b.active) {
            if (tcp) {
                Modbus_Stop(port);
            } else {
                b.active = 0;
                if (b.udp.fd >= 0) {
                    _nx_udp_socket_unbind(&b.udp);
                    _nx_udp_socket_delete(&b.udp);
                }
            }
        }
        return;
    }
    if (!tcp && !b.active) {
        _nx_udp_socket_delete(&b.udp);
        b.udp = NxUdpSocket{};
        if (_nx_udp_socket_create(b.ip, &b.udp, "modbus udp server", 0, 0, 128, 5) == NX_SUCCESS &&
            _nx_udp_socket_bind(&b.udp, set.port, 0) == NX_SUCCESS) {
            b.port = set.port;
            b.active = 1;
        }
    }
    const bool enabled = Dpr_Configuration[port].flags.service & kSvcModbus;
    if (tcp) {
        if (enabled) {
            ModbusSocketListen(b);
        } else {
            for (ModbusSocketEntry& e : b.sockets)
                if (e.socket.state == NX_TCP_ESTABLISHED) DiscardTcp(e);
            return;
        }
    }

    ServeOwed(b, tcp);
    u32 now = _tx_time_get();
    if (!tcp) {
        ServeDatagrams(b, port);
        return;
    }
    bool full = true;
    int quietest = -1;
    for (u32 s = 0; s < kModbusSockets; ++s) {
        ModbusSocketEntry& e = b.sockets[s];
        if (e.socket.state != NX_TCP_ESTABLISHED) {
            full = full && e.socket.state != NX_TCP_CLOSED && e.socket.state != NX_TCP_LISTEN;
            continue;
        }
        if (!ReceiveAndServe(b, static_cast<int>(s), now) && static_cast<u32>(now - e.lastActivity) > kModbusIdleMs) {
            Drop(e);
            continue;
        }
        // A frame trickled in a byte at a time holds its slot no longer
        // than the time to send it whole (what has arrived is taken first,
        // so that a slow pass never drops a frame waiting whole).
        const bool unfinished = e.streamLength != 0 && Modbus_FrameLength(e.stream, e.streamLength) == 0;
        if (!e.read.pending && unfinished && static_cast<u32>(now - e.frameStart) > kModbusFrameMs) {
            Drop(e);
            continue;
        }
        if (!e.read.pending && (quietest < 0 || static_cast<i32>(e.lastActivity - b.sockets[quietest].lastActivity) < 0))
            quietest = static_cast<int>(s);
    }
    // Every slot taken and someone knocking: the connection quiet longest
    // makes room, so that idle clients cannot lock the others out.
    if (full && quietest >= 0 && static_cast<u32>(now - b.sockets[quietest].lastActivity) > kModbusFrameMs &&
        Nx_ConnectionWaiting(&b.sockets[quietest].socket))
        Drop(b.sockets[quietest]);
}

void Modbus_Serve() {
    if (GetLe16(DprMap + kDprRunFlag) == 0) return;
    const u32 now = _tx_time_get();
    for (ModbusConn& b : ModbusConnEth) {
        // Only a server its step has started; starting, stopping and
        // dropping connections stay with the step.
        if (b.ip == nullptr || !b.active) continue;
        bool iec;
        const bool tcp = SetInForce(b.index, &iec).transport == 0;
        if (tcp && !(Dpr_Configuration[b.index].flags.service & kSvcModbus)) continue;
        ServeOwed(b, tcp);
        if (!tcp) {
            ServeDatagrams(b, b.index);
            continue;
        }
        for (u32 s = 0; s < kModbusSockets; ++s)
            if (b.sockets[s].socket.state == NX_TCP_ESTABLISHED) ReceiveAndServe(b, static_cast<int>(s), now);
    }
}

bool Modbus_HasWork() {
    for (const ModbusConn& b : ModbusConnEth)
        for (const ModbusSocketEntry& e : b.sockets) {
            if (!e.read.pending) continue;
            // A connection that found its kernel buffer full wakes the wait
            // when it has room again: until then there is nothing to do.
            const bool full = e.socket.state == NX_TCP_ESTABLISHED && (!e.socket.canSend || !e.socket.backlog.empty());
            if (!full) return true;
        }
    return false;
}

void Modbus_Reset() {
    for (ModbusConn& b : ModbusConnEth) {
        for (ModbusSocketEntry& e : b.sockets) _nx_tcp_socket_delete(&e.socket);
        _nx_udp_socket_delete(&b.udp);
        b = ModbusConn{};
    }
    ModbusPacketPoolPtr = nullptr;
}
