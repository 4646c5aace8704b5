#include "net/asciitcp.h"

#include <cstring>

#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "net/dpr.h"
#include "platform/fpga.h"

namespace {

struct State {
    AsciiTCPConnEth eth[4];
};
State g;

bool IecRef(u32 r) { return Dpr_IecActive() && (r & 0xC0000000u) == 0xC0000000u; }
bool ByteClass(u32 r) { return ((r >> 26) & 7u) == 0; }

u32 ElementRef(u32 r, u32 e) { return (r & ~0xFFFFFu) | ((r + e) & 0xFFFFFu); }

// Word w of an area of 16-bit registers, or of IEC variables stepped by
// elements.
u16 ReadWord(u32 area, u32 w) {
    u8 b[2] = {};
    if (IecRef(area) && ByteClass(area)) {
        u32 e = Quillet_WordRef(area, w);
        PlcReg_Get(&b[0], e, 8);
        PlcReg_Get(&b[1], ElementRef(e, 1), 8);
    } else {
        PlcReg_Get(b, IecRef(area) ? Quillet_WordRef(area, w) : area + 16 * w, 16);
    }
    return GetLe16(b);
}

// Writes word w; with lowOnly only its low byte changes.
void WriteWord(u32 area, u32 w, u16 v, bool lowOnly = false) {
    u8 b[2];
    PutLe16(b, v);
    if (IecRef(area) && ByteClass(area)) {
        u32 e = Quillet_WordRef(area, w);
        PlcReg_Set(e, &b[0], 8);
        if (!lowOnly) PlcReg_Set(ElementRef(e, 1), &b[1], 8);
    } else if (IecRef(area)) {
        u32 e = Quillet_WordRef(area, w);
        if (lowOnly) {
            u8 old[2] = {};
            PlcReg_Get(old, e, 16);
            b[1] = old[1];
        }
        PlcReg_Set(e, b, 16);
    } else {
        PlcReg_Set(area + 16 * w, b, lowOnly ? 8 : 16);
    }
}

// Bits 0-14 of the status word; bit 15 is the program's to clear.
void WriteStatus(const AsciiTCPConnEth& a, u32 reg) {
    u16 now = ReadWord(reg, 0);
    WriteWord(reg, 0, static_cast<u16>((now & 0x8000) | (a.status & 0x7FFF)));
}

AsciiTCPConnEth* BlockOf(NxTcpSocket* s) {
    for (AsciiTCPConnEth& a : g.eth)
        if (&a.socket == s) return &a;
    return nullptr;
}

void Accept(NxTcpSocket* s, u32) {
    if (_nx_tcp_server_socket_accept(s, 0) != NX_IN_PROGRESS) _nx_tcp_server_socket_unaccept(s);
}

void Disconnected(NxTcpSocket* s) {
    if (AsciiTCPConnEth* a = BlockOf(s)) a->listening = 0;
    _nx_tcp_socket_disconnect(s, 0);
    _nx_tcp_server_socket_unaccept(s);
}

void Arm(AsciiTCPConnEth& a, u16 port) {
    if (a.socket.state != NX_TCP_CLOSED) return;
    if (a.listening) {
        if (_nx_tcp_server_socket_relisten(a.ip, port, &a.socket) == NX_ALREADY_BOUND)
            _nx_tcp_server_socket_unaccept(&a.socket);
        return;
    }
    a.socket.bound = 0;
    if (_nx_tcp_server_socket_listen(a.ip, port, &a.socket, 1, Accept) == NX_SUCCESS) {
        a.listening = 1;
        a.port = port;
    }
}

void StopListening(AsciiTCPConnEth& a) {
    if (a.socket.state == NX_TCP_ESTABLISHED) _nx_tcp_socket_disconnect(&a.socket, 0);
    if (a.listening) _nx_tcp_server_socket_unlisten(a.ip, a.port);
    _nx_tcp_socket_delete(&a.socket);
    a.listening = 0;
    a.segmentTimer = 0;
    a.stored = 0;
}

void Transmit(AsciiTCPConnEth& a, const u32* set) {
    const u32 txArea = set[2], trigger = set[3];
    if (ReadWord(trigger, 0) != 1) return;
    u32 n = ReadWord(txArea, 0);
    if (n > kAsciiMaxBytes) {
        n = kAsciiMaxBytes;
        a.status |= kAsciiTxCut;
    } else {
        a.status &= static_cast<u16>(~kAsciiTxCut);
    }
    for (u32 done = 0; done < n;) {
        NxPacket* p = nullptr;
        if (_nx_packet_allocate(a.pool, &p, 0, 0) != NX_SUCCESS) return;  // sent again in full later
        u32 take = n - done < kAsciiSegment ? n - done : kAsciiSegment;
        u8 bytes[kAsciiSegment + 1];
        for (u32 k = 0; k < take; k += 2) PutLe16(bytes + k, ReadWord(txArea, 2 + (done + k) / 2));
        _nx_packet_data_append(p, bytes, take, a.pool, 0);
        if (_nx_tcp_socket_send(&a.socket, p, 0) != NX_SUCCESS) return;
        done += take;
    }
    WriteWord(trigger, 0, 0);
}

// Stores the bytes of one received packet. Bytes arriving within 50 ms of
// the start of a message continue it, up to 2000 bytes; later ones start a
// new message. A terminator ends the message and is not stored.
void Store(AsciiTCPConnEth& a, const u32* set, const u8* data, u32 length) {
    const u32 rxArea = set[4];
    const u32 now = FPGA_GetFrt();
    const bool continues = a.segmentTimer != 0 && static_cast<u32>(now - a.segmentTimer) < kAsciiWindowTicks;
    if (!continues) {
        a.stored = 0;
        a.segmentTimer = now != 0 ? now : 1;
    }
    const u16 termWord = ReadWord(rxArea, 1);
    const u8 term = static_cast<u8>(termWord & 0xFF);
    const bool useTerm = term != '0';
    u32 start = a.stored;
    u32 room = kAsciiMaxBytes - start;
    bool cut = false, ended = false;
    u32 k = 0;
    for (; k < length; ++k) {
        if (useTerm && data[k] == term) {
            ended = true;
            break;
        }
        if (k >= room) {
            cut = true;
            break;
        }
        a.message[start + k] = data[k];
    }
    const u32 end = start + k;
    a.stored = static_cast<u16>(end);
    if (cut) a.status |= kAsciiCut;
    else a.status &= static_cast<u16>(~kAsciiCut);
    // Whole words from the one holding the first new byte; an odd last byte
    // leaves the high byte of its word as it was.
    for (u32 b = start & ~1u; b < end; b += 2) {
        if (b + 1 < end) WriteWord(rxArea, 2 + b / 2, GetLe16(a.message + b));
        else WriteWord(rxArea, 2 + b / 2, a.message[b], true);
    }
    WriteWord(rxArea, 0, static_cast<u16>(end));
    if (ended || end >= kAsciiMaxBytes) a.segmentTimer = 0;
    a.lastSegment = now;
}

void Receive(AsciiTCPConnEth& a, const u32* set) {
    const u32 statusReg = set[5];
    NxPacket* p = nullptr;
    if (_nx_tcp_socket_receive(&a.socket, &p, 0) != NX_SUCCESS || p == nullptr) {
        WriteStatus(a, statusReg);
        return;
    }
    u32 n = p->length < kNxReceiveMax ? p->length : kNxReceiveMax;
    u8 bytes[kNxReceiveMax];
    std::memcpy(bytes, p->dataStart, n);
    _nx_packet_release(p);
    Store(a, set, bytes, n);
    WriteWord(statusReg, 0, static_cast<u16>(a.status | kAsciiReceived));
    WriteStatus(a, statusReg);
}

}  // namespace

u32 Ascii_Init(NxIp* ip, NxPacketPool* pool) {
    AsciiTCPConnEth& a = g.eth[ip->index & 3];
    _nx_tcp_socket_delete(&a.socket);
    a = AsciiTCPConnEth{};
    a.ip = ip;
    a.pool = pool;
    if (_nx_tcp_socket_create(ip, &a.socket, "ascii sockt", 0, 0, 128, 1380, nullptr, Disconnected) != NX_SUCCESS) {
        a.socketFailed = 1;
        a.status |= kAsciiNoSocket;
        return 1;
    }
    a.socket.owner = &a;
    return 0;
}

void Ascii_Scan(int iface) {
    AsciiTCPConnEth& a = g.eth[iface & 3];
    if (a.ip == nullptr) return;
    const EnetPortConfig& c = Dpr_Configuration[iface & 3];
    const u32* set = c.tail.ascii;
    const bool established = a.socket.state == NX_TCP_ESTABLISHED;
    if (!(c.flags.address & kAddrAscii)) {
        NxPacket* p = nullptr;
        for (int guard = 0; established && guard < 64 && _nx_tcp_socket_receive(&a.socket, &p, 0) == NX_SUCCESS;
             ++guard)
            _nx_packet_release(p);
        return;
    }
    if (GetLe16(DprMap + kDprRunFlag) == 0) {
        if (established || a.listening) StopListening(a);
        return;
    }
    if (a.socketFailed) {
        WriteStatus(a, set[5]);
        return;
    }
    if (!established) {
        if (!a.listening || a.socket.state == NX_TCP_CLOSED) {
            u16 port = set[0] != 0 ? ReadWord(set[1], 0) : static_cast<u16>(set[1]);
            if (a.listening && port != a.port) {
                _nx_tcp_server_socket_unlisten(a.ip, a.port);
                _nx_tcp_socket_delete(&a.socket);
                a.listening = 0;
            }
            Arm(a, port);
        }
        WriteStatus(a, set[5]);
        return;
    }
    Transmit(a, set);
    Receive(a, set);
}

u32 Ascii_cnn_cnt(int iface) { return g.eth[iface & 3].socket.state == NX_TCP_ESTABLISHED ? 1 : 0; }

void Ascii_DeInit(NxIp* ip) {
    if ((ip->index & 3) == 0) return;
    AsciiTCPConnEth& a = g.eth[ip->index & 3];
    _nx_tcp_socket_disconnect(&a.socket, 0);
    a.listening = 0;
}

bool Ascii_HasWork() { return false; }

void Ascii_Reset() {
    for (AsciiTCPConnEth& a : g.eth) _nx_tcp_socket_delete(&a.socket);
    g = State{};
}

const AsciiTCPConnEth& Ascii_Block(int iface) { return g.eth[iface & 3]; }
