#include "net/srtp.h"

#include <cstring>

#include "core/nvram.h"
#include "net/dpr.h"
#include "platform/fpga.h"

SrtpConn SrtpConnEth[4];
u8 SrtpPlcPriv = 2;
NxPacketPool* SrtpPacketPoolPtr = nullptr;

SrtpHeader SrtpHeader_Decode(const u8* b) {
    SrtpHeader h;
    h.type = b[0];
    h.sequence = GetLe16(b + 2);
    h.textLength = GetLe32(b + 4);
    h.byte8 = b[8];
    h.paramPos = b[9];
    h.byte16 = b[16];
    h.textFlag = b[17];
    h.byte30 = b[30];
    h.kind = b[31];
    h.word32 = GetLe32(b + 32);
    h.word36 = GetLe32(b + 36);
    std::memcpy(h.tail, b + 40, sizeof h.tail);
    return h;
}

void SrtpHeader_Encode(const SrtpHeader& h, u8* b) {
    std::memset(b, 0, kSrtpHeaderBytes);
    b[0] = h.type;
    PutLe16(b + 2, h.sequence);
    PutLe32(b + 4, h.textLength);
    b[8] = h.byte8;
    b[9] = h.paramPos;
    b[16] = h.byte16;
    b[17] = h.textFlag;
    b[30] = h.byte30;
    b[31] = h.kind;
    PutLe32(b + 32, h.word32);
    PutLe32(b + 36, h.word36);
    std::memcpy(b + 40, h.tail, sizeof h.tail);
}

namespace {

static_assert(kSrtpHeaderBytes + kSrtpShortText == kSrtpPacketBytes);

// One answer packet and the data of reads and short writes; shared by all
// interfaces, used within one call.
struct State {
    u8 txMsg[kSrtpPacketBytes] = {};
    u8 data[kSrtpShortText + 8] = {};
    SrtpSender sender = nullptr;
};
State g;

struct Selector {
    u8 code;
    u32 unitBits;
    u32 lengthModulo;  // 0: none
    u32 base;          // 0: T base, 1: M base, otherwise the address
    u32 limitBits;
};
constexpr u32 kTBase = 0, kMBase = 1;
constexpr Selector kSelectors[] = {
    {8, 16, 4096, 0x8000, 799984},  {10, 16, 0, 0x4000, 8192},     {12, 16, 0, 0x6000, 8192},
    {16, 8, 8192, 0x2000, 2048},    {18, 8, 0, 0x2800, 2048},      {20, 8, 0, kTBase, 16384},
    {22, 8, 0, kMBase, 16384},      {70, 1, 0, 0x2000, 2048},      {72, 1, 0, 0x2800, 2048},
    {74, 1, 0, kTBase, 16384},      {76, 1, 0, kMBase, 16384},
};
constexpr u8 kSelectorMemAlloc = 230, kSelectorModuleCfg = 236;

const Selector* FindSelector(u8 code) {
    for (const Selector& s : kSelectors)
        if (s.code == code) return &s;
    return nullptr;
}

bool IecMap() { return QuilletRuntime == 1; }

u16 StatusWord() { return GetLe16(DprMap + kDprRunFlag) == 1 ? 0 : 0x2000; }

u32 SendToSocket(int port, u32 s, const u8* data, u32 n) {
    NxTcpSocket& sock = SrtpConnEth[port & 3].entries[s].socket;
    u32 done = 0;
    while (done < n) {
        NxPacket* p = nullptr;
        if (SrtpPacketPoolPtr == nullptr || _nx_packet_allocate(SrtpPacketPoolPtr, &p, 0, 0) != NX_SUCCESS) return 1;
        u32 piece = n - done < kSrtpPacketBytes ? n - done : kSrtpPacketBytes;
        if (_nx_packet_data_append(p, data + done, piece, SrtpPacketPoolPtr, 0) != NX_SUCCESS) {
            _nx_packet_release(p);
            return 1;
        }
        if (_nx_tcp_socket_send(&sock, p, 0) != NX_SUCCESS) return 1;
        done += piece;
    }
    return 0;
}

u32 Send(int port, u32 s, const u8* data, u32 n) {
    return g.sender != nullptr ? g.sender(port, s, data, n) : SendToSocket(port, s, data, n);
}

// Connect acknowledges and error answers: bytes 0, 2-7 and 8.
u32 SendBare(int port, u32 s, u8 type, u16 sequence) {
    SrtpHeader h;
    h.type = type;
    h.sequence = sequence;
    h.byte8 = 1;
    SrtpHeader_Encode(h, g.txMsg);
    return Send(port, s, g.txMsg, kSrtpHeaderBytes);
}

u32 SrtpError(int port, u32 s, u16 sequence) { return SendBare(port, s, kSrtpErrorType, sequence); }

// What a service answer returns of its request.
struct Reply {
    u16 sequence;
    u8 byte30;
    u32 wordA, wordB;
};

Reply ReplyTo(const SrtpHeader& q) { return {q.sequence, q.byte30, q.word36, q.word32}; }
Reply ReplyTo(const SrtpSocketEntry& e) { return {e.sequence, e.byte30, e.wordA, e.wordB}; }

// The header of a service answer into txMsg; data of at most 6 bytes go to
// bytes 44-49.
void AnswerHeader(const Reply& r, u8 kind, u32 textLength, const u8* shortData = nullptr, u32 shortBytes = 0) {
    SrtpHeader h;
    h.type = kSrtpAnswer;
    h.sequence = r.sequence;
    h.textLength = textLength;
    h.textFlag = textLength != 0 ? 2 : 1;
    h.byte30 = r.byte30;
    h.kind = kind;
    h.word32 = r.wordA;
    h.word36 = r.wordB;
    if (kind == kSrtpRefused) {
        h.tail[2] = 5;
        h.tail[3] = 0xF4;
    } else if (textLength != 0) {
        PutLe16(h.tail + 2, static_cast<u16>(textLength));
    }
    if (shortData != nullptr) std::memcpy(h.tail + 4, shortData, shortBytes < 6 ? shortBytes : 6);
    h.tail[10] = 0xFF;
    h.tail[11] = SrtpPlcPriv;
    PutLe16(h.tail + 12, 116);
    PutLe16(h.tail + 14, StatusWord());
    SrtpHeader_Encode(h, g.txMsg);
}

// An answer without text; a failed send is followed by an error answer.
void AnswerNoText(int port, u32 s, const Reply& r) {
    AnswerHeader(r, kSrtpNoText, 0);
    if (Send(port, s, g.txMsg, kSrtpHeaderBytes) != 0) SrtpError(port, s, r.sequence);
}

// An answer with a fixed text of at most 1388 bytes.
void AnswerText(int port, u32 s, const Reply& r, const u8* text, u32 n) {
    AnswerHeader(r, kSrtpWithText, n);
    std::memcpy(g.txMsg + kSrtpHeaderBytes, text, n);
    if (Send(port, s, g.txMsg, kSrtpHeaderBytes + n) != 0) SrtpError(port, s, r.sequence);
}

void SrtpRejectMsg(int port, u32 s, const Reply& r) {
    AnswerHeader(r, kSrtpRefused, 0);
    if (Send(port, s, g.txMsg, kSrtpHeaderBytes) != 0) SrtpError(port, s, r.sequence);
}

// The controller's identification texts.
void FixedText(int port, u32 s, const Reply& r, u32 n, u32 oneAt) {
    u8 text[64] = {};
    std::memcpy(text, "VDL420", 6);
    text[oneAt] = 1;
    AnswerText(port, s, r, text, n);
}

void FixedRead(int port, u32 s, const Reply& r, u8 selector) {
    u8 text[256] = {};
    if (selector == kSelectorMemAlloc) {
        PutLe16(text + 4, 512);
        PutLe16(text + 6, 512);
        PutLe16(text + 8, 49999);
    } else {
        text[55] = 0x44;
        text[57] = 0x44;
    }
    AnswerText(port, s, r, text, sizeof text);
}

int TakeTextBuffer(SrtpConn& b) {
    for (u32 i = 0; i < kSrtpTextBuffers; ++i)
        if (b.text[i].inUse == 0) {
            b.text[i].inUse = 1;
            return static_cast<int>(i);
        }
    return -1;
}

// The pending read of an entry: answered whole, or left pending (the part
// already sent is remembered, so nothing goes twice).
void AnswerPendingRead(int port, u32 s) {
    SrtpConn& b = SrtpConnEth[port & 3];
    SrtpSocketEntry& e = b.entries[s];
    if (!e.pendingRead) return;
    const Reply r = ReplyTo(e);
    const u32 n = (e.length / 8) & 0xFFFF;
    SrtpBlock block{e.reference, e.length};
    const u32 moved = Srtp_BlockBytes(block);
    if (n <= kSrtpShortText) {
        std::memset(g.data, 0, sizeof g.data);
        if (!Dpr_Data_Block(e.reference, static_cast<u16>(e.length), g.data, 0, 0)) {
            e.pendingRead = 0;
            SrtpError(port, s, r.sequence);
            return;
        }
        u32 length = kSrtpHeaderBytes;
        if (n <= 6) {
            AnswerHeader(r, kSrtpNoText, 0, g.data, moved);
        } else {
            AnswerHeader(r, kSrtpWithText, n);
            std::memcpy(g.txMsg + kSrtpHeaderBytes, g.data, n);
            length += n;
        }
        if (Send(port, s, g.txMsg, length) == 0) e.pendingRead = 0;
        return;
    }
    // A long answer is read once into a text buffer and sent from there.
    if (e.readBuffer == 0) {
        int t = TakeTextBuffer(b);
        if (t < 0) return;  // all text buffers busy: tried again on the next call
        std::memset(b.text[t].data, 0, kSrtpTextBytes);
        if (!Dpr_Data_Block(e.reference, static_cast<u16>(e.length), b.text[t].data, 0, 0)) {
            b.text[t].inUse = 0;
            e.pendingRead = 0;
            SrtpError(port, s, r.sequence);
            return;
        }
        e.readBuffer = static_cast<u32>(t) + 1;
        e.readSent = 0;
    }
    const u8* text = b.text[e.readBuffer - 1].data;
    while (e.readSent < kSrtpHeaderBytes + n) {
        u32 sent;
        if (e.readSent == 0) {
            AnswerHeader(r, kSrtpWithText, n);
            std::memcpy(g.txMsg + kSrtpHeaderBytes, text, kSrtpShortText);
            if (Send(port, s, g.txMsg, kSrtpPacketBytes) != 0) return;
            sent = kSrtpPacketBytes;
        } else {
            u32 at = e.readSent - kSrtpHeaderBytes;
            u32 piece = n - at < kSrtpPacketBytes ? n - at : kSrtpPacketBytes;
            if (Send(port, s, text + at, piece) != 0) return;
            sent = piece;
        }
        e.readSent += sent;
    }
    b.text[e.readBuffer - 1].inUse = 0;
    e.readBuffer = 0;
    e.readSent = 0;
    e.pendingRead = 0;
}

bool Allowed(int port, const SrtpHeader& q, SrtpBlock* block) {
    return Srtp_MapRequest(port, q.Selector(), q.Offset(), q.Length(), block);
}

bool Valid(const SrtpBlock& block) {
    DprRequest req{block.reference, block.bits};
    return EtnValidateReq(&req) == 0;
}

// What the answer of a pending read or a long write needs of its request.
void Remember(SrtpSocketEntry& e, const SrtpBlock& block, const Reply& r) {
    e.reference = block.reference;
    e.length = block.bits;
    e.sequence = r.sequence;
    e.byte30 = r.byte30;
    e.wordA = r.wordA;
    e.wordB = r.wordB;
}

void Read(int port, u32 s, const SrtpHeader& q) {
    SrtpSocketEntry& e = SrtpConnEth[port & 3].entries[s];
    const Reply r = ReplyTo(q);
    if (q.Selector() == kSelectorMemAlloc || q.Selector() == kSelectorModuleCfg) {
        FixedRead(port, s, r, q.Selector());
        return;
    }
    SrtpBlock block;
    // An answer must fit one text buffer.
    if (!Allowed(port, q, &block) || Srtp_BlockBytes(block) > kSrtpTextBytes) {
        SrtpRejectMsg(port, s, r);
        return;
    }
    if (!Valid(block)) {
        SrtpError(port, s, r.sequence);
        return;
    }
    e.pendingRead = 1;
    Remember(e, block, r);
}

bool WriteKindWithText(u8 kind) { return kind == 0x80 || kind == 0x93; }

// A write message whose header is complete. Short writes carry their text
// in `text`; a long write's text follows in the stream. Answers whether a
// long write was started.
bool Write(int port, u32 s, const SrtpHeader& q, const u8* header, const u8* text) {
    SrtpConn& b = SrtpConnEth[port & 3];
    SrtpSocketEntry& e = b.entries[s];
    const Reply r = ReplyTo(q);
    SrtpBlock block;
    if (!Allowed(port, q, &block)) {
        SrtpRejectMsg(port, s, r);
        return false;
    }
    if (!Valid(block)) {
        SrtpError(port, s, r.sequence);
        return false;
    }
    const u32 need = Srtp_BlockBytes(block);
    if (q.kind == 0xD7) return false;
    if (q.kind == 0xC0) {
        // The data lie in header bytes 48-55: a write may not ask for more.
        if (need > 8) {
            SrtpRejectMsg(port, s, r);
            return false;
        }
        std::memset(g.data, 0, sizeof g.data);
        std::memcpy(g.data, header + 48, 8);
    } else if (WriteKindWithText(q.kind)) {
        if (need > q.textLength) {
            SrtpRejectMsg(port, s, r);
            return false;
        }
        if (q.textLength > kSrtpShortText) {
            int t = TakeTextBuffer(b);
            if (t < 0) {
                SrtpError(port, s, r.sequence);
                return false;
            }
            e.textBuffer = static_cast<u32>(t);
            e.remaining = q.textLength;
            e.received = 0;
            Remember(e, block, r);
            return true;
        }
        std::memset(g.data, 0, sizeof g.data);
        std::memcpy(g.data, text, q.textLength);
    } else {
        SrtpError(port, s, r.sequence);
        return false;
    }
    if (!Dpr_Data_Block(block.reference, static_cast<u16>(block.bits), g.data, 1, 0)) {
        SrtpError(port, s, r.sequence);
        return false;
    }
    AnswerNoText(port, s, r);
    return false;
}

void FinishLongWrite(int port, u32 s) {
    SrtpConn& b = SrtpConnEth[port & 3];
    SrtpSocketEntry& e = b.entries[s];
    SrtpTextBuffer& t = b.text[e.textBuffer];
    const Reply r = ReplyTo(e);
    bool ok = Dpr_Data_Block(e.reference, static_cast<u16>(e.length), t.data, 1, 0) != 0;
    t.inUse = 0;
    e.remaining = 0;
    e.received = 0;
    if (ok) AnswerNoText(port, s, r);
    else SrtpError(port, s, r.sequence);
}

void ChangePriv(int port, u32 s, const SrtpHeader& q) {
    u8 level = q.Selector();
    SrtpPlcPriv = level == 255 ? 4 : (level < 2 || level > 4) ? 2 : level;
    AnswerNoText(port, s, ReplyTo(q));
}

void Session(int port, u32 s, const SrtpHeader& q) {
    if (q.tail[2] != 79) SrtpError(port, s, q.sequence);
    else AnswerNoText(port, s, ReplyTo(q));
}

// One whole message of at most one packet, or the header of a long write.
// Answers whether a long write was started.
bool Handle(int port, u32 s, const u8* message) {
    const SrtpHeader q = SrtpHeader_Decode(message);
    const u8* text = message + kSrtpHeaderBytes;
    switch (q.type) {
        case kSrtpConnect: SendBare(port, s, kSrtpConnectAck, q.sequence); return false;
        case kSrtpSession: Session(port, s, q); return false;
        case kSrtpService: break;
        default: return false;
    }
    const Reply r = ReplyTo(q);
    switch (q.Service()) {
        case 0: {
            const u8 zeros[6] = {};
            AnswerHeader(r, kSrtpNoText, 0, zeros, 6);
            if (Send(port, s, g.txMsg, kSrtpHeaderBytes) != 0) SrtpError(port, s, r.sequence);
            return false;
        }
        case 1: FixedText(port, s, r, 44, 8); return false;
        case 4: Read(port, s, q); return false;
        case 7: return Write(port, s, q, message, text);
        case 33: ChangePriv(port, s, q); return false;
        case 67: FixedText(port, s, r, 40, 10); return false;
        case 79: Session(port, s, q); return false;
        case 97: {
            const u8 features[10] = {10, 2};
            AnswerText(port, s, r, features, sizeof features);
            return false;
        }
        default: return false;
    }
}

void Consume(SrtpSocketEntry& e, u32 n) {
    std::memmove(e.stream, e.stream + n, e.streamLength - n);
    e.streamLength -= n;
}

// Continuation of a long write: the text bytes in the stream go to its text
// buffer; with the last of them the write is done and answered. False when
// the stream holds none.
bool SrtpTextMsg(int port, u32 s) {
    SrtpSocketEntry& e = SrtpConnEth[port & 3].entries[s];
    u32 take = e.streamLength < e.remaining ? e.streamLength : e.remaining;
    if (take == 0) return false;
    std::memcpy(SrtpConnEth[port & 3].text[e.textBuffer].data + e.received, e.stream, take);
    e.received += take;
    e.remaining -= take;
    Consume(e, take);
    if (e.remaining == 0) FinishLongWrite(port, s);
    return true;
}

// Serves the entry's stream until it holds no whole message or a read is
// left pending (later messages wait behind it, in order).
void Serve(int port, u32 s) {
    SrtpSocketEntry& e = SrtpConnEth[port & 3].entries[s];
    while (!e.pendingRead) {
        if (e.remaining != 0) {
            if (!SrtpTextMsg(port, s)) return;
            continue;
        }
        if (e.skip != 0) {
            u32 take = e.streamLength < e.skip ? e.streamLength : e.skip;
            if (take == 0) return;
            e.skip -= take;
            Consume(e, take);
            continue;
        }
        if (e.streamLength < kSrtpHeaderBytes) return;
        const SrtpHeader q = SrtpHeader_Decode(e.stream);
        if (q.textLength > kSrtpTextBytes) {
            // No message is that long: nothing after it can be trusted.
            SrtpError(port, s, q.sequence);
            e.streamLength = 0;
            return;
        }
        const bool longWrite = q.type == kSrtpService && q.Service() == 7 && WriteKindWithText(q.kind) &&
                               q.textLength > kSrtpShortText;
        if (!longWrite && q.textLength > kSrtpShortText) {
            SrtpError(port, s, q.sequence);
            Consume(e, kSrtpHeaderBytes);
            e.skip = q.textLength;
            continue;
        }
        if (longWrite) {
            u8 header[kSrtpHeaderBytes];
            std::memcpy(header, e.stream, kSrtpHeaderBytes);
            Consume(e, kSrtpHeaderBytes);
            if (!Handle(port, s, header)) e.skip = q.textLength;  // refused: its text is passed over
            continue;
        }
        const u32 whole = kSrtpHeaderBytes + q.textLength;
        if (e.streamLength < whole) return;
        Handle(port, s, e.stream);
        Consume(e, whole);
    }
}

// Nothing arrived on an entry: a message left incomplete too long is
// answered with an error and dropped; a connection idle too long is closed.
void Quiet(int port, u32 s, u32 now) {
    SrtpSocketEntry& e = SrtpConnEth[port & 3].entries[s];
    const u32 idle = now - e.lastActivity;
    const bool partial = e.streamLength != 0 || e.remaining != 0 || e.skip != 0;
    if (partial && !e.pendingRead && idle > kSrtpPartialMs) {
        if (e.remaining != 0) SrtpError(port, s, e.sequence);
        else if (e.streamLength != 0) SrtpError(port, s, e.streamLength >= 4 ? GetLe16(e.stream + 2) : 0);
        Srtp_ClearEntry(port, s);
        e.lastActivity = now;
        return;
    }
    if (idle > kSrtpIdleMs) {
        _nx_tcp_socket_disconnect(&e.socket, 0);
        _nx_tcp_server_socket_unaccept(&e.socket);
        Srtp_ClearEntry(port, s);
    }
}

SrtpConn* BlockOf(NxTcpSocket* sock, u32* index) {
    for (SrtpConn& b : SrtpConnEth)
        for (u32 i = 0; i < kSrtpSockets; ++i)
            if (&b.entries[i].socket == sock) {
                *index = i;
                return &b;
            }
    return nullptr;
}

void SrtpConnect(NxTcpSocket* sock, u32) {
    u32 i = 0;
    SrtpConn* b = BlockOf(sock, &i);
    if (b == nullptr) return;
    if (_nx_tcp_server_socket_accept(sock, 0) == NX_IN_PROGRESS) {
        Srtp_ClearEntry(b->index, i);
        b->entries[i].lastActivity = _tx_time_get();
    } else {
        _nx_tcp_server_socket_unaccept(sock);
    }
}

void SrtpDisconnect(NxTcpSocket* sock) {
    _nx_tcp_socket_disconnect(sock, 0);
    _nx_tcp_server_socket_unaccept(sock);
    u32 i = 0;
    if (SrtpConn* b = BlockOf(sock, &i)) Srtp_ClearEntry(b->index, i);
}

u32 SrtpSocketListen(SrtpConn& b) {
    for (const SrtpSocketEntry& e : b.entries)
        if (e.socket.state == NX_TCP_LISTEN) return 0;
    for (SrtpSocketEntry& e : b.entries) {
        if (e.socket.state != NX_TCP_CLOSED) continue;
        u32 r;
        if (!b.listening) {
            e.socket.bound = 0;
            r = _nx_tcp_server_socket_listen(b.ip, kSrtpPort, &e.socket, 0, SrtpConnect);
            if (r == NX_SUCCESS) b.listening = 1;
        } else {
            r = _nx_tcp_server_socket_relisten(b.ip, kSrtpPort, &e.socket);
        }
        return r == NX_SUCCESS ? 0 : 1;
    }
    return 1;
}

void Discard(SrtpSocketEntry& e) {
    NxPacket* p = nullptr;
    while (_nx_tcp_socket_receive(&e.socket, &p, 0) == NX_SUCCESS) _nx_packet_release(p);
}

}  // namespace

bool Srtp_MapRequest(int port, u8 selector, u16 offset, u16 length, SrtpBlock* out) {
    const Selector* sel = FindSelector(selector);
    if (sel == nullptr) return false;
    u32 units = sel->lengthModulo != 0 ? length % sel->lengthModulo : length;
    u64 offsetBits = static_cast<u64>(offset) * sel->unitBits;
    u64 bits = static_cast<u64>(units) * sel->unitBits;
    if (IecMap()) {
        const EnetPortConfigTail& t = Dpr_Configuration[port & 3].tail;
        if ((t.srtpBase & 0xC0000000u) != 0xC0000000u) return false;
        if (offsetBits + bits > 16ull * t.srtpCount) return false;
        out->reference = t.srtpBase + static_cast<u32>(offsetBits / 16);
        out->bits = static_cast<u32>(bits);
        return true;
    }
    if (offsetBits + bits > sel->limitBits) return false;
    u32 base = sel->base == kTBase ? T_token : sel->base == kMBase ? M_token : sel->base;
    out->reference = base + static_cast<u32>(offsetBits);
    out->bits = static_cast<u32>(bits);
    return true;
}

u32 Srtp_BlockBytes(const SrtpBlock& b) {
    // A variable of the IEC map starts on its first byte.
    u32 first = (b.reference & 0xC0000000u) == 0xC0000000u ? 0 : (b.reference & 7);
    return static_cast<u32>((static_cast<u64>(first) + b.bits + 7) / 8);
}

void Srtp_SetSender(SrtpSender sender) { g.sender = sender; }

void Srtp_ClearEntry(int port, u32 s) {
    SrtpConn& b = SrtpConnEth[port & 3];
    if (s >= kSrtpSockets) return;
    SrtpSocketEntry& e = b.entries[s];
    if (e.remaining != 0 && e.textBuffer < kSrtpTextBuffers) b.text[e.textBuffer].inUse = 0;
    if (e.readBuffer != 0 && e.readBuffer <= kSrtpTextBuffers) b.text[e.readBuffer - 1].inUse = 0;
    e.pendingRead = 0;
    e.remaining = e.received = 0;
    e.readBuffer = e.readSent = 0;
    e.skip = 0;
    e.streamLength = 0;
}

void Srtp_Feed(int port, u32 s, const u8* data, u32 n) {
    if (s >= kSrtpSockets) return;
    SrtpSocketEntry& e = SrtpConnEth[port & 3].entries[s];
    AnswerPendingRead(port, s);
    while (n > 0) {
        u32 room = kSrtpStreamBytes - e.streamLength;
        u32 take = n < room ? n : room;
        std::memcpy(e.stream + e.streamLength, data, take);
        e.streamLength += take;
        data += take;
        n -= take;
        Serve(port, s);
        if (take == 0) break;  // a pending read holds a full stream: the rest waits with the peer
    }
    Serve(port, s);
}

u32 Srtp_Init(NxIp* ip, NxPacketPool* pool) {
    int port = static_cast<int>(ip->index & 3);
    SrtpConn& b = SrtpConnEth[port];
    b.ip = ip;
    b.index = port;
    b.listening = 0;
    SrtpPacketPoolPtr = pool;
    for (SrtpTextBuffer& t : b.text) t.inUse = 0;
    for (u32 i = 0; i < kSrtpSockets; ++i) {
        SrtpSocketEntry& e = b.entries[i];
        Srtp_ClearEntry(port, i);
        e.lastActivity = 0;
        _nx_tcp_socket_create(ip, &e.socket, "srtp client", 0, 0, 128, kSrtpPacketBytes, nullptr, SrtpDisconnect);
        e.socket.owner = &b;
    }
    return SrtpSocketListen(b);
}

void Srtp_Scan(int port) {
    SrtpConn& b = SrtpConnEth[port & 3];
    if (b.ip == nullptr) return;
    if (!(Dpr_Configuration[port & 3].flags.service & kSvcSrtp)) {
        for (u32 i = 0; i < kSrtpSockets; ++i)
            if (b.entries[i].socket.state == NX_TCP_ESTABLISHED) {
                Discard(b.entries[i]);
                Srtp_ClearEntry(port, i);
            }
        return;
    }
    SrtpSocketListen(b);
    for (u32 i = 0; i < kSrtpSockets; ++i) {
        SrtpSocketEntry& e = b.entries[i];
        if (e.socket.state == NX_TCP_ESTABLISHED && e.pendingRead) {
            AnswerPendingRead(port, i);
            Serve(port, i);  // messages that waited behind the read
        }
    }
    const u32 now = _tx_time_get();
    for (u32 i = 0; i < kSrtpSockets; ++i) {
        SrtpSocketEntry& e = b.entries[i];
        if (e.socket.state != NX_TCP_ESTABLISHED) continue;
        NxPacket* p = nullptr;
        const bool room = kSrtpStreamBytes - e.streamLength >= kNxReceiveMax;
        if (room && _nx_tcp_socket_receive(&e.socket, &p, 0) == NX_SUCCESS) {
            e.lastActivity = now;
            u32 n = p->length;
            u8 bytes[kNxReceiveMax];
            std::memcpy(bytes, p->dataStart, n);
            _nx_packet_release(p);
            Srtp_Feed(port, i, bytes, n);
        } else {
            Quiet(port, i, now);
        }
    }
}

void Srtp_DeInit(NxIp* ip) {
    SrtpConn& b = SrtpConnEth[ip->index & 3];
    for (u32 i = 0; i < kSrtpSockets; ++i) {
        SrtpSocketEntry& e = b.entries[i];
        if (e.socket.fd < 0 && e.socket.connFd < 0) continue;
        _nx_tcp_socket_disconnect(&e.socket, 0);
        _nx_tcp_server_socket_unaccept(&e.socket);
        Srtp_ClearEntry(b.index, i);
    }
    b.listening = 0;
}

u32 Srtp_Conn_Cnt(int port) {
    u32 n = 0;
    for (const SrtpSocketEntry& e : SrtpConnEth[port & 3].entries) n += e.socket.state == NX_TCP_ESTABLISHED;
    return n;
}

bool Srtp_HasWork() {
    for (const SrtpConn& b : SrtpConnEth)
        for (const SrtpSocketEntry& e : b.entries)
            if (e.pendingRead) return true;
    return false;
}

void Srtp_Reset() {
    for (int port = 0; port < 4; ++port) {
        SrtpConn& b = SrtpConnEth[port];
        b.index = port;
        for (u32 i = 0; i < kSrtpSockets; ++i) {
            _nx_tcp_socket_delete(&b.entries[i].socket);
            b.entries[i].socket = NxTcpSocket{};
            b.entries[i].lastActivity = 0;
            Srtp_ClearEntry(port, i);
        }
        for (SrtpTextBuffer& t : b.text) t.inUse = 0;
        b.ip = nullptr;
        b.listening = 0;
    }
    SrtpPacketPoolPtr = nullptr;
    SrtpPlcPriv = 2;
    g.sender = nullptr;
}
