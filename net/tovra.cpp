#include "net/tovra.h"

#include <cstring>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "link/command.h"
#include "net/dpr.h"
#include "platform/fpga.h"

TovraConnState TovraConn[4];

namespace {

// Output that found the transmit slot full: kept in order, moved into the
// slot as soon as it is emptied.
constexpr u32 kTxQueueBlocks = 128;
struct TxBlock {
    u8 n;
    u8 data[kTovraMailboxData];
};

struct State {
    NxPacketPool* pool = nullptr;
    u32 rxPos = 0;  // read position in the waiting frame
    TxBlock txQueue[kTxQueueBlocks] = {};
    u32 txHead = 0, txCount = 0;
};
State g;

u8* Mb() { return DprMap; }

u8 Complement(u8 ref) { return ref <= 1 ? static_cast<u8>(1 - ref) : 0; }
bool Full(u32 flag) { return Mb()[flag] != Mb()[flag + 1]; }
void Produce(u32 flag) { Mb()[flag] = Complement(Mb()[flag + 1]); }
void Consume(u32 flag) { Mb()[flag + 1] = Mb()[flag]; }

bool InputWaiting() { return Full(kEtnRxFlag) || Full(kEtnOobFlag); }
bool OutputWaiting() { return Full(kEtnTxFlag) || g.txCount != 0; }

// Moves the oldest queued block into the transmit slot when it is empty.
void Promote() {
    if (Full(kEtnTxFlag) || g.txCount == 0) return;
    const TxBlock& b = g.txQueue[g.txHead];
    if (b.n != 0) std::memcpy(Mb() + kEtnTxData, b.data, b.n);
    PutLe16(Mb() + kEtnTxLength, b.n);
    Produce(kEtnTxFlag);
    g.txHead = (g.txHead + 1) % kTxQueueBlocks;
    g.txCount--;
}

void Enqueue(const u8* data, u32 n) {
    if (g.txCount == kTxQueueBlocks) return;  // far more than any answer of the interpreter
    TxBlock& b = g.txQueue[(g.txHead + g.txCount) % kTxQueueBlocks];
    b.n = static_cast<u8>(n);
    if (n != 0) std::memcpy(b.data, data, n);
    g.txCount++;
    Promote();
}

u32 Now() { return _tx_time_get(); }

TovraConnState* StateOf(NxTcpSocket* s) { return static_cast<TovraConnState*>(s->owner); }

int SlotIndex(TovraConnState& c, NxTcpSocket* s) {
    for (u32 k = 0; k < kTovraSlots; ++k)
        if (&c.slots[k].socket == s) return static_cast<int>(k);
    return -1;
}

void DropSplit(TovraConnState& c) {
    c.splitActive = 0;
    c.splitRemaining = 0;
    c.splitPos = 0;
}

// The selected connection is gone: a transfer it had under way cannot go
// on, so the next host starts clean (no chunk held, no reply absorbed).
void Release(TovraConnState& c) {
    c.selected = c.lastSlot = 255;
    c.rxState = kTovraRxIdle;
    c.replyMode = kTovraPlain;
    DropSplit(c);
    if (c.gather != nullptr) _nx_packet_release(c.gather);
    c.gather = nullptr;
    c.gatherLength = 0;
}

// Everything a connection leaves behind: its bytes, the reply header fields
// taken from its requests, and the link itself when it held it. A new
// connection starts from nothing.
void Forget(TovraConnState& c, u32 k) {
    TovraSlot& sl = c.slots[k];
    sl.streamLength = 0;
    sl.key = 0;
    sl.version = sl.word6 = sl.word8 = 0;
    sl.lastActivity = sl.frameStart = Now();
    if (c.selected == k) Release(c);
    if (c.lastSlot == k) c.lastSlot = 255;
}

// Closes the connection only: the slot goes back to listening on the shared
// descriptor, so that dropping every slot at once never closes the listening
// socket under the hosts still waiting in its queue.
void DropSlot(TovraConnState& c, u32 k) {
    _nx_tcp_server_socket_unaccept(&c.slots[k].socket);
    Forget(c, k);
}

void Listened(NxTcpSocket* s, u32) {
    TovraConnState* c = StateOf(s);
    if (c == nullptr) return;
    int k = SlotIndex(*c, s);
    if (k < 0) return;
    if (_nx_tcp_server_socket_accept(s, 0) == NX_IN_PROGRESS) Forget(*c, static_cast<u32>(k));
    else _nx_tcp_server_socket_unaccept(s);
}

void Disconnected(NxTcpSocket* s) {
    TovraConnState* c = StateOf(s);
    if (c == nullptr) return;
    int k = SlotIndex(*c, s);
    if (k >= 0) DropSlot(*c, static_cast<u32>(k));
}

void ArmListening(TovraConnState& c) {
    for (const TovraSlot& sl : c.slots)
        if (sl.socket.state == NX_TCP_LISTEN) return;
    for (TovraSlot& sl : c.slots) {
        if (sl.socket.state != NX_TCP_CLOSED) continue;
        if (!c.listening) {
            sl.socket.bound = 0;
            if (_nx_tcp_server_socket_listen(c.ip, kTovraPort, &sl.socket, 0, Listened) == NX_SUCCESS)
                c.listening = 1;
        } else if (_nx_tcp_server_socket_relisten(c.ip, kTovraPort, &sl.socket) == NX_ALREADY_BOUND) {
            _nx_tcp_server_socket_unaccept(&sl.socket);
        }
        return;
    }
}

void ClockInto(u8* header) { std::memcpy(header + kTovraClock, DprMap + kDprClock, 12); }

// False while the connection still holds bytes the kernel has not taken:
// what is sent now would have to be thrown away.
bool Writable(const TovraSlot& sl) { return sl.socket.backlog.empty() && sl.socket.canSend != 0; }

// Hands a finished packet to the connection; one that cannot take it is
// dropped.
bool Transmit(TovraConnState& c, u32 k, NxPacket* p) {
    if (_nx_tcp_socket_send(&c.slots[k].socket, p, 0) != NX_SUCCESS) {
        _nx_tcp_server_socket_unaccept(&c.slots[k].socket);
        return false;
    }
    return true;
}

// Sends header and data as one packet on slot k; false when nothing was sent
// (not writable now, no packet free, or the send failed and the connection
// was dropped).
bool SendPacket(TovraConnState& c, u32 k, const u8* header, const u8* data, u32 n) {
    if (!Writable(c.slots[k])) return false;
    NxPacket* p = nullptr;
    if (_nx_packet_allocate(g.pool, &p, 0, 0) != NX_SUCCESS) return false;
    if (_nx_packet_data_append(p, header, kTovraHeaderBytes, g.pool, 0) != NX_SUCCESS ||
        (n != 0 && _nx_packet_data_append(p, data, n, g.pool, 0) != NX_SUCCESS)) {
        _nx_packet_release(p);
        return false;
    }
    return Transmit(c, k, p);
}

// An answer of the link itself: the request's header with its status (or
// type) and data changed, sent at once.
void Answer(TovraConnState& c, u32 k, u16 status, const u8* data, u32 n) {
    u8 h[kTovraHeaderBytes];
    std::memcpy(h, c.request, kTovraHeaderBytes);
    PutLe16(h + kTovraType, status);
    PutLe16(h + kTovraLength, static_cast<u16>(n));
    ClockInto(h);
    SendPacket(c, k, h, data, n);
}

// Header of a packet carrying the interpreter's output towards slot k.
void OutputHeader(const TovraSlot& sl, u8* h, u32 n) {
    std::memset(h, 0, kTovraHeaderBytes);
    PutLe32(h + kTovraKey, sl.key);
    PutLe16(h + kTovraVersion, sl.version);
    PutLe16(h + kTovraWord6, sl.word6);
    PutLe16(h + kTovraWord8, sl.word8);
    ClockInto(h);
    PutLe16(h + kTovraLength, static_cast<u16>(n));
}

void OpenSession(TovraConnState& c, bool open) {
    c.session = open ? kTovraSessionOpen : 0;
    if (open) c.sessionOpened = Now();
    else c.challenge = 0;
}

void Handle(TovraConnState& c, u32 k) {
    const u8* req = c.request;
    if (c.selected == 255) c.selected = c.lastSlot = static_cast<u8>(k);
    if (c.session == kTovraSessionOpen && static_cast<u32>(Now() - c.sessionOpened) > kTovraSessionMs)
        OpenSession(c, false);
    const u16 type = GetLe16(req + kTovraType);
    if (type == kTovraChallenge) {
        c.challenge = Tovra_ChallengeOf(DprMap + kDprClock);
        u8 h[kTovraHeaderBytes];
        std::memcpy(h, req, kTovraHeaderBytes);
        u32 n = c.challenge;
        PutLe32(h + kTovraKey, ((n << 16) | (n >> 16)) ^ kTovraKeyMask);
        PutLe16(h + kTovraLength, 0);
        ClockInto(h);
        SendPacket(c, k, h, nullptr, 0);
        return;
    }
    if (type == kTovraAnswer) {
        bool ok = GetLe32(req + kTovraKey) == c.challenge;
        c.session = ok ? kTovraSessionOpen : 0;
        if (ok) c.sessionOpened = Now();
        Answer(c, k, ok ? kTovraDone : kTovraRefused, nullptr, 0);
        return;
    }
    if (type == kTovraClose) {
        OpenSession(c, false);
        Answer(c, k, kTovraDone, nullptr, 0);
        return;
    }
    // Data. The session does not gate it: the programming software works
    // without one.
    const u16 version = GetLe16(req + kTovraVersion);
    if (version > 2) {
        u8 h[kTovraHeaderBytes];
        std::memcpy(h, req, kTovraHeaderBytes);
        PutLe16(h + kTovraVersion, 2);
        PutLe16(h + kTovraType, kTovraBadVersion);
        PutLe16(h + kTovraLength, 0);
        ClockInto(h);
        SendPacket(c, k, h, nullptr, 0);
        return;
    }
    if (InputWaiting() || c.selected != k) {
        const u8 busy = kCmdBusy;
        Answer(c, k, kTovraBusy, &busy, 1);
        return;
    }
    const u32 n = GetLe16(req + kTovraLength);
    const u8* data = req + kTovraHeaderBytes;
    if (n == 1) {
        Mb()[kEtnOobByte] = data[0];
        Produce(kEtnOobFlag);
    } else {
        u32 m = n < kTovraMailboxData ? n : kTovraMailboxData;
        std::memcpy(Mb() + kEtnRxData, data, m);
        PutLe16(Mb() + kEtnRxCount, static_cast<u16>(m));
        g.rxPos = 0;
        Produce(kEtnRxFlag);
        if (n != 0 && (data[0] == 3 || data[0] == 4)) {
            c.rxState = kTovraRxLong;
            DropSplit(c);
        }
        if (n != 0 && (data[0] == 5 || data[0] == 11) && version > 1) {
            c.replyMode = kTovraArmed;
            if (c.gather != nullptr) _nx_packet_release(c.gather);
            c.gather = nullptr;
            c.gatherLength = 0;
        }
    }
    TovraSlot& sl = c.slots[k];
    sl.key = GetLe32(req + kTovraKey);
    sl.version = version;
    sl.word6 = GetLe16(req + kTovraWord6);
    sl.word8 = GetLe16(req + kTovraWord8);
}

// Takes the next whole packet of slot k's stream into out (header and data,
// at most `room` bytes copied); returns the packet's full length, 0 when no
// whole packet is there. A header announcing an impossible length drops the
// connection: the stream can no longer be followed.
bool HoldsWholePacket(const TovraSlot& sl) {
    return sl.streamLength >= kTovraHeaderBytes &&
           sl.streamLength >= kTovraHeaderBytes + GetLe16(sl.stream + kTovraLength);
}

u32 NextPacket(TovraConnState& c, u32 k, u8* out, u32 room) {
    TovraSlot& sl = c.slots[k];
    if (sl.socket.state != NX_TCP_ESTABLISHED) return 0;
    if (kTovraStreamBytes - sl.streamLength >= kNxReceiveMax) {
        NxPacket* p = nullptr;
        if (_nx_tcp_socket_receive(&sl.socket, &p, 0) == NX_SUCCESS) {
            if (sl.streamLength == 0) sl.frameStart = Now();
            std::memcpy(sl.stream + sl.streamLength, p->dataStart, p->length);
            sl.streamLength += p->length;
            _nx_packet_release(p);
            sl.lastActivity = Now();
        }
    }
    // A packet trickled in a byte at a time holds its slot no longer than
    // the time to send it whole (what has arrived is taken first, so
    // that a slow pass never drops a packet waiting whole).
    if (sl.streamLength != 0 && !HoldsWholePacket(sl) && static_cast<u32>(Now() - sl.frameStart) > kTovraFrameMs) {
        DropSlot(c, k);
        return 0;
    }
    if (sl.streamLength < kTovraHeaderBytes) return 0;
    const u32 n = GetLe16(sl.stream + kTovraLength);
    if (n > kTovraMaxData) {
        DropSlot(c, k);
        return 0;
    }
    const u32 whole = kTovraHeaderBytes + n;
    if (sl.streamLength < whole) return 0;
    std::memcpy(out, sl.stream, whole < room ? whole : room);
    std::memmove(sl.stream, sl.stream + whole, sl.streamLength - whole);
    sl.streamLength -= whole;
    // What follows the packet is the start of the next one.
    sl.frameStart = Now();
    return whole;
}

// Builds the next chunk of the long frame in the request buffer.
void NextChunk(TovraConnState& c) {
    const u32 m = c.splitRemaining <= 63 ? c.splitRemaining : 64;
    u8* d = c.request + kTovraHeaderBytes;
    std::memcpy(c.request, c.split, kTovraHeaderBytes);
    d[0] = 0xFF;
    d[1] = static_cast<u8>(m);
    std::memcpy(d + 2, c.split + kTovraHeaderBytes + c.splitPos, m);
    u8 sum = static_cast<u8>(Cmd_Seed() + 0xFF + m);
    for (u32 i = 0; i < m; ++i) sum = static_cast<u8>(sum + d[2 + i]);
    d[2 + m] = static_cast<u8>(-sum);
    PutLe16(c.request + kTovraLength, static_cast<u16>(m + 3));
    c.splitPos += m;
    c.splitRemaining = static_cast<u16>(c.splitRemaining - m);
    if (c.splitRemaining == 0) {
        DropSplit(c);
        c.rxState = m != 0 ? kTovraRxLong : kTovraRxIdle;
    } else {
        c.rxState = kTovraRxChunkHeld;
        c.replyMode = kTovraChunkTaken;
    }
}

// Gets and handles at most one request of slot k; true when one was handled.
bool Serve(TovraConnState& c, u32 k) {
    const bool owner = c.selected == 255 || c.selected == k;
    const u8 state = owner ? c.rxState : static_cast<u8>(kTovraRxIdle);
    // While the link feeds the interpreter from what it holds, it reads
    // nothing more from this host: the host's time does not run.
    if (state == kTovraRxChunkHeld || state == kTovraRxAckOwed || (state == kTovraRxLong && c.splitActive))
        c.slots[k].frameStart = Now();
    if (state == kTovraRxChunkHeld) {
        if (c.replyMode == kTovraChunkTaken) return false;
        c.rxState = kTovraRxLong;
        return false;
    }
    if (state == kTovraRxAckOwed) {
        std::memset(c.request + kTovraHeaderBytes, 0, kTovraRequestBytes - kTovraHeaderBytes);
        c.request[kTovraHeaderBytes] = kCmdAck;
        PutLe16(c.request + kTovraType, 0);
        PutLe16(c.request + kTovraLength, 1);
        c.rxState = kTovraRxIdle;
        Handle(c, k);
        return true;
    }
    if (state == kTovraRxLong && c.splitActive) {
        NextChunk(c);
        Handle(c, k);
        return true;
    }
    u32 whole = NextPacket(c, k, c.split, sizeof c.split);
    if (whole == 0) return false;
    std::memcpy(c.request, c.split, whole < kTovraRequestBytes ? whole : kTovraRequestBytes);
    const u32 n = whole - kTovraHeaderBytes;
    const u8 first = n != 0 ? c.split[kTovraHeaderBytes] : 0;
    const bool data = GetLe16(c.split + kTovraType) != kTovraChallenge &&
                      GetLe16(c.split + kTovraType) != kTovraAnswer && GetLe16(c.split + kTovraType) != kTovraClose;
    if (state == kTovraRxLong && data && n != 0 && first == 0xFF && c.selected == k) {
        // A long frame: 0xFF, a byte, the data, a checksum; the interpreter
        // gets the data in short frames with checksums of their own.
        if (n < 3) {
            Answer(c, k, kTovraRefused, nullptr, 0);
            return true;
        }
        c.splitPos = 2;
        c.splitRemaining = static_cast<u16>(n - 3);
        c.splitActive = 1;
        NextChunk(c);
        Handle(c, k);
        return true;
    }
    if (state == kTovraRxLong) c.rxState = kTovraRxIdle;
    if (owner && data) {
        if (c.replyMode == kTovraGatherEnded) {
            if (first != 9) {
                c.replyMode = kTovraGathering;
                return false;  // the host's acknowledge of the last gathered packet
            }
            c.replyMode = kTovraPlain;
        } else if (first == 9) {
            c.replyMode = kTovraPlain;
        }
    }
    Handle(c, k);
    return true;
}

enum class Sent { kNo, kYes, kAbsorbed };

u32 GatherLimit() {
    u32 limit = (static_cast<u32>(SR_Get(155)) - 71) & 0xFFC0;
    // A gathered packet must still hold one more frame and its header.
    const u32 cap = (g.pool != nullptr ? g.pool->payloadSize : 1520) - kTovraHeaderBytes - 3 - kTovraMailboxData;
    return limit < cap ? limit : (cap & 0xFFC0);
}

// Finishes and sends the gathered packet; false when it could not be sent.
bool SendGathered(TovraConnState& c, u32 k) {
    if (!Writable(c.slots[k])) return false;
    NxPacket* p = c.gather;
    c.gather = nullptr;
    u8 sum = static_cast<u8>(c.gatherChecksum + Cmd_Seed());
    u8 chk = static_cast<u8>(-sum);
    PutLe16(p->dataStart + kTovraLength, static_cast<u16>(c.gatherLength + 3));
    if (_nx_packet_data_append(p, &chk, 1, g.pool, 0) != NX_SUCCESS) {
        _nx_packet_release(p);
        return false;
    }
    return Transmit(c, k, p);
}

Sent Plain(TovraConnState& c, u32 k, const u8* data, u32 n) {
    OutputHeader(c.slots[k], c.reply, n);
    if (!SendPacket(c, k, c.reply, data, n)) return Sent::kNo;
    if (c.replyMode == kTovraArmed) c.replyMode = kTovraGathering;
    return Sent::kYes;
}

Sent ReplyPath(TovraConnState& c, u32 k, const u8* data, u32 n) {
    if (n == 1 && data[0] != kCmdAck) {
        c.replyMode = kTovraPlain;
        c.rxState = kTovraRxIdle;
        DropSplit(c);
    }
    switch (c.replyMode) {
        case kTovraPlain:
        case kTovraArmed: return Plain(c, k, data, n);
        case kTovraGatherEnded: return Sent::kNo;
        case kTovraChunkTaken: c.replyMode = kTovraPlain; return Sent::kAbsorbed;
        default: break;
    }
    // Gathering: the block must be a short frame 0xFF, m, m bytes, checksum.
    if (n < 3 || data[0] != kCmdData || data[1] + 3u > n) {
        if (!Writable(c.slots[k])) return Sent::kNo;
        if (c.gather != nullptr && c.gatherLength != 0 && !SendGathered(c, k)) return Sent::kNo;
        if (c.gather != nullptr) _nx_packet_release(c.gather);
        c.gather = nullptr;
        c.gatherLength = 0;
        c.replyMode = kTovraPlain;
        return Plain(c, k, data, n);
    }
    const u32 m = data[1];
    const bool finish = m == 0 || c.gatherLength + m >= GatherLimit();
    if (finish && !Writable(c.slots[k])) return Sent::kNo;  // nothing taken yet: tried again
    if (c.gather == nullptr) {
        if (_nx_packet_allocate(g.pool, &c.gather, 0, 0) != NX_SUCCESS) {
            c.gather = nullptr;
            return Sent::kNo;
        }
        OutputHeader(c.slots[k], c.reply, 0);
        const u8 start[2] = {kCmdData, 0};
        _nx_packet_data_append(c.gather, c.reply, kTovraHeaderBytes, g.pool, 0);
        _nx_packet_data_append(c.gather, start, 2, g.pool, 0);
        c.gatherChecksum = 0xFF;
        c.gatherLength = 0;
    }
    if (m != 0 && _nx_packet_data_append(c.gather, data + 2, m, g.pool, 0) != NX_SUCCESS) return Sent::kNo;
    for (u32 i = 0; i < m; ++i) c.gatherChecksum = static_cast<u8>(c.gatherChecksum + data[2 + i]);
    c.gatherLength = static_cast<u16>(c.gatherLength + m);
    if (!finish) {
        c.rxState = kTovraRxAckOwed;
        return Sent::kAbsorbed;
    }
    const u16 gathered = c.gatherLength;
    const bool sent = SendGathered(c, k);
    c.gatherLength = 0;
    if (!sent) return Sent::kNo;
    if (gathered == 0) {
        c.replyMode = kTovraPlain;
        return Sent::kYes;
    }
    if (m == 0) {
        c.replyMode = kTovraGatherEnded;
        return Sent::kNo;
    }
    return Sent::kYes;
}

void Transmit(TovraConnState& c) {
    // Several waiting blocks may leave in one step; each needs the slot
    // emptied by the one before.
    for (int round = 0; round < 16 && Full(kEtnTxFlag); ++round) {
        u8 target = c.selected != 255 ? c.selected : c.lastSlot;
        if (target == 255 || target >= kTovraSlots) return;
        if (c.slots[target].socket.state != NX_TCP_ESTABLISHED) return;
        u32 n = GetLe16(Mb() + kEtnTxLength);
        if (n > kTovraMailboxData) n = kTovraMailboxData;
        u8 block[kTovraMailboxData];
        std::memcpy(block, Mb() + kEtnTxData, n);
        Sent r = ReplyPath(c, target, block, n);
        if (r == Sent::kNo) return;
        Consume(kEtnTxFlag);
        Promote();
    }
}

void IdleToggle(TovraConnState& c) {
    if (Mb()[kEtnIdle] == Mb()[kEtnIdleRef]) return;
    if (!InputWaiting() && !OutputWaiting()) {
        // The interpreter is done with the host: a long frame it was being
        // fed in chunks is abandoned with it, or the next host would wait
        // behind a chunk nobody takes.
        if (c.selected != 255) c.lastSlot = c.selected;
        c.selected = 255;
        DropSplit(c);
        if (c.rxState == kTovraRxLong || c.rxState == kTovraRxChunkHeld) c.rxState = kTovraRxIdle;
        if (c.replyMode == kTovraChunkTaken) c.replyMode = kTovraPlain;
        Consume(kEtnIdle);
    } else if (InputWaiting()) {
        Consume(kEtnIdle);
    }
}

}  // namespace

u32 Tovra_ChallengeOf(const u8* clockWords) {
    u32 s = 0;
    for (int i = 0; i < 6; ++i) s += GetLe16(clockWords + 2 * i);
    u32 seconds = clockWords[0];
    if (seconds != 0) s *= seconds;
    return s * 47;
}

u32 Tovra_Init(NxIp* ip, NxPacketPool* pool) {
    TovraConnState& c = TovraConn[ip->index & 3];
    g.pool = pool;
    // Started again while running (the other services of the interface are
    // retried): the connections stay.
    if (c.ip == ip)
        for (const TovraSlot& sl : c.slots)
            if (sl.socket.fd >= 0) return 0;
    c.ip = ip;
    c.session = 0;
    c.challenge = 0;
    c.replyMode = kTovraPlain;
    c.rxState = kTovraRxIdle;
    c.selected = c.lastSlot = 255;
    c.listening = 0;
    DropSplit(c);
    if (c.gather != nullptr) _nx_packet_release(c.gather);
    c.gather = nullptr;
    c.gatherLength = 0;
    u32 result = 0;
    for (TovraSlot& sl : c.slots) {
        if (sl.socket.fd >= 0 || sl.socket.connFd >= 0) _nx_tcp_socket_delete(&sl.socket);
        sl.key = 0;
        sl.version = sl.word6 = sl.word8 = 0;
        sl.lastActivity = 0;
        sl.streamLength = 0;
        u32 r = _nx_tcp_socket_create(ip, &sl.socket, "Tovra Socket", 0, 0, 128, 2048, nullptr, Disconnected);
        sl.socket.owner = &c;
        if (r != NX_SUCCESS && result == 0) result = r;
    }
    ArmListening(c);
    return result;
}

void Tovra_Scan(int iface) {
    TovraConnState& c = TovraConn[iface & 3];
    if (c.ip == nullptr) return;
    ArmListening(c);
    const u32 now = Now();
    bool full = true;
    int quietest = -1;
    for (u32 k = 0; k < kTovraSlots; ++k) {
        TovraSlot& sl = c.slots[k];
        if (sl.socket.state != NX_TCP_ESTABLISHED) {
            full = false;
            continue;
        }
        if (static_cast<u32>(now - sl.lastActivity) > kTovraIdleMs) {
            DropSlot(c, k);
            full = false;
            continue;
        }
        if (k != c.selected && (quietest < 0 || static_cast<i32>(sl.lastActivity - c.slots[quietest].lastActivity) < 0))
            quietest = static_cast<int>(k);
    }
    // Every slot taken and someone knocking: the connection quiet longest
    // (never the host the link serves) makes room.
    if (full && quietest >= 0 && static_cast<u32>(now - c.slots[quietest].lastActivity) > kTovraFrameMs &&
        Nx_ConnectionWaiting(&c.slots[quietest].socket))
        DropSlot(c, static_cast<u32>(quietest));
    for (u32 k = 0; k < kTovraSlots; ++k) {
        TovraSlot& sl = c.slots[k];
        if (sl.socket.state != NX_TCP_ESTABLISHED) {
            if (c.selected == k) Release(c);
            continue;
        }
        if (Serve(c, k)) sl.lastActivity = Now();
    }
    Transmit(c);
    IdleToggle(c);
}

u32 Tovra_ConnCnt(int iface) {
    u32 n = 0;
    for (const TovraSlot& sl : TovraConn[iface & 3].slots) n += sl.socket.state == NX_TCP_ESTABLISHED;
    return n;
}

void Tovra_DeInit(NxIp* ip) {
    if ((ip->index & 3) == 0) return;
    TovraConnState& c = TovraConn[ip->index & 3];
    for (u32 k = 0; k < kTovraSlots; ++k) {
        TovraSlot& sl = c.slots[k];
        if (sl.socket.fd < 0 && sl.socket.connFd < 0) continue;
        _nx_tcp_socket_disconnect(&sl.socket, 0);
        DropSlot(c, k);
    }
    c.selected = c.lastSlot = 255;
    c.listening = 0;
}

// Whether serving slot k would move on now; false while the link waits for
// the interpreter to take the chunk it holds (the interpreter may never take
// it: a transfer it gave up), so that the main loop waits instead of turning.
bool CanServe(const TovraConnState& c, u32 k) {
    const bool owner = c.selected == 255 || c.selected == k;
    const u8 state = owner ? c.rxState : static_cast<u8>(kTovraRxIdle);
    if (state == kTovraRxChunkHeld) return c.replyMode != kTovraChunkTaken;
    if (state == kTovraRxAckOwed || (state == kTovraRxLong && c.splitActive)) return true;
    // Only whole packets: a host sending a part of one is waited for.
    return HoldsWholePacket(c.slots[k]);
}

bool Tovra_HasWork() {
    for (const TovraConnState& c : TovraConn) {
        if (c.ip == nullptr) continue;
        for (u32 k = 0; k < kTovraSlots; ++k)
            if (c.slots[k].socket.state == NX_TCP_ESTABLISHED && CanServe(c, k)) return true;
    }
    return false;
}

void Tovra_Reset() {
    for (TovraConnState& c : TovraConn) {
        for (TovraSlot& sl : c.slots) _nx_tcp_socket_delete(&sl.socket);
        if (c.gather != nullptr) _nx_packet_release(c.gather);
        c = TovraConnState{};
    }
    g = State{};
    std::memset(DprMap + kDprStatusTableEnd, 0, kDprMapBytes - kDprStatusTableEnd);
}

// --- interpreter side ------------------------------------------------------------

int Etn_CheckRx() {
    if (Full(kEtnOobFlag)) return 1;
    if (!Full(kEtnRxFlag)) return 0;
    // An empty frame carries no byte to read.
    if (GetLe16(Mb() + kEtnRxCount) == 0) {
        g.rxPos = 0;
        Consume(kEtnRxFlag);
        return 0;
    }
    return 1;
}

int Etn_GetRx() {
    if (Full(kEtnOobFlag)) {
        u8 b = Mb()[kEtnOobByte];
        Consume(kEtnOobFlag);
        return b;
    }
    if (!Full(kEtnRxFlag)) return -1;
    u32 count = GetLe16(Mb() + kEtnRxCount);
    if (count > kTovraMailboxData) count = kTovraMailboxData;
    if (g.rxPos >= count) {
        g.rxPos = 0;
        PutLe16(Mb() + kEtnRxCount, 0);
        Consume(kEtnRxFlag);
        return -1;
    }
    u8 b = Mb()[kEtnRxData + g.rxPos++];
    if (g.rxPos >= count) {
        g.rxPos = 0;
        PutLe16(Mb() + kEtnRxCount, 0);
        Consume(kEtnRxFlag);
    }
    return b;
}

void Etn_FlushRx() {
    if (!InputWaiting()) return;
    g.rxPos = 0;
    Consume(kEtnRxFlag);
    Consume(kEtnOobFlag);
}

int Etn_PutTx(u8 byte) {
    if (byte == 112) {
        Mb()[kEtnIdle] = Complement(Mb()[kEtnIdle]);
        return byte;
    }
    Enqueue(&byte, 1);
    return byte;
}

void Etn_PutnTx(const u8* data, u32 n) {
    if (n == 0) {
        Enqueue(nullptr, 0);
        return;
    }
    for (u32 off = 0; off < n; off += kTovraMailboxData) {
        u32 m = n - off < kTovraMailboxData ? n - off : kTovraMailboxData;
        Enqueue(data + off, m);
    }
}

u32 Etn_TxQueued() { return g.txCount; }

void Etn_UpdateSecurity() {
    const u8* t = plc_reg + kSecurityTableOffset;
    Mb()[kEtnSecurityFlags] = static_cast<u8>(t[0] & ~0x10);
    std::memcpy(Mb() + kEtnSecurityWord, t + 4, 4);
    for (int k = 0; k < 3; ++k) {
        std::memcpy(Mb() + kEtnPasswords + 4 * k, t + 8 + 24 * k, 4);
        Mb()[kEtnPasswordBytes + k] = t[28 + 24 * k];
    }
}
