#include "io/canopen_tunnel.h"

#include <cstring>

#include "io/canopen.h"
#include "io/canopen_sdo.h"
#include "link/vcomm.h"
#include "platform/fpga.h"

namespace {

// Block download command bytes.
constexpr u8 kInitiateSized = 0xC2;      // client: initiate, size indicated, no CRC
constexpr u8 kInitiateAnswer = 0xA0;     // server: initiate response (bit 2: server CRC)
constexpr u8 kBlockAck = 0xA2;           // server: block acknowledge
constexpr u8 kAbort = 0x80;
constexpr u8 kLastSegment = 0x80;        // segment byte 0: last of the transfer
constexpr u32 kSizeMask = 0x3FFFFFFFu;   // 30-bit size of the initiate request
constexpr u32 kDataPerSegment = 7;
constexpr int kRuns = 64;

// Sending side: idle, then initiate queued, answered, segments, the last
// segment sent.
enum class Send : u8 { kIdle = 0, kInitiate = 1, kAwaitInitiate = 2, kSegments = 3, kAwaitAck = 4 };

struct Sender {
    Send state = Send::kIdle;
    u8 dest = 0;
    u8 buffer[kCoTunnelBufferBytes] = {};
    u16 size = 0;
    u16 position = 0;
    u8 segments = 0;
    u8 sequence = 0;   // of the next segment
    bool pacing = false;
    u32 last = 0;      // time of the last frame sent
};

// Receiving side: one transfer at a time, on the server channel it began on.
struct Receiver {
    bool active = false;
    int channel = 0;
    u8 buffer[kCoTunnelBufferBytes] = {};
    u16 size = 0;
    u16 received = 0;
    u8 segments = 0;
    u8 expected = 0;   // sequence number of the next segment
    u32 last = 0;
};

// Link bytes waiting to be sent, as runs of one destination each.
struct Run {
    u8 dest = 0;
    u16 length = 0;
};

struct State {
    Sender send;
    Receiver receive;
    u8 lastDest = 0;   // 0: none
    u32 lastAbort = 0;
    // Receive queue of the link.
    u8 queue[kCoTunnelQueueBytes] = {};
    u32 queueHead = 0, queueCount = 0;
    // Send queue.
    u8 out[kCoTunnelSendBytes] = {};
    u32 outHead = 0, outCount = 0;
    Run runs[kRuns];
    int runHead = 0, runCount = 0;
};
State g;

u32 Now() { return FPGA_GetFrt(); }

void AbortFrame(u32 id, u32 code) {
    u8 f[8] = {kAbort, static_cast<u8>(kCoTunnelIndex), static_cast<u8>(kCoTunnelIndex >> 8), 0};
    PutLe32(f + 4, code);
    CANOpen_Queue(id, 8, f, false);
    g.lastAbort = code;
}

// --- sending -----------------------------------------------------------------

void EndSending() { g.send.state = Send::kIdle; }

// Fills the transfer buffer from the front run of the send queue.
bool TakeNextTransfer() {
    if (g.runCount == 0) return false;
    Run& r = g.runs[g.runHead];
    const u32 n = r.length < kCoTunnelBufferBytes - 1 ? r.length : kCoTunnelBufferBytes - 1;
    Sender& s = g.send;
    s = Sender{};
    s.dest = r.dest;
    s.buffer[0] = static_cast<u8>(CANOpen_NodeId());
    for (u32 i = 0; i < n; ++i) s.buffer[1 + i] = g.out[(g.outHead + i) % kCoTunnelSendBytes];
    g.outHead = (g.outHead + n) % kCoTunnelSendBytes;
    g.outCount -= n;
    r.length = static_cast<u16>(r.length - n);
    if (r.length == 0) {
        g.runHead = (g.runHead + 1) % kRuns;
        --g.runCount;
    }
    s.size = static_cast<u16>(n + 1);
    s.segments = static_cast<u8>((s.size + kDataPerSegment - 1) / kDataPerSegment);
    s.sequence = 1;
    s.state = Send::kInitiate;
    return true;
}

void SendInitiate() {
    Sender& s = g.send;
    u8 f[8] = {kInitiateSized, static_cast<u8>(kCoTunnelIndex), static_cast<u8>(kCoTunnelIndex >> 8), 0};
    PutLe32(f + 4, s.size);
    if (!CANOpen_Queue(0x600u + s.dest, 8, f, false)) return;  // the ring is full: again next scan
    s.state = Send::kAwaitInitiate;
    s.last = Now();
}

void SendSegment() {
    Sender& s = g.send;
    const u32 remaining = s.size - s.position;
    const bool last = remaining < 8;
    const u32 n = last ? remaining : kDataPerSegment;
    u8 f[8] = {static_cast<u8>(s.sequence | (last ? kLastSegment : 0))};
    std::memcpy(f + 1, s.buffer + s.position, n);
    if (!CANOpen_Queue(0x600u + s.dest, 8, f, false)) return;
    s.position = static_cast<u16>(s.position + n);
    s.last = Now();
    if (last) {
        s.state = Send::kAwaitAck;
    } else {
        ++s.sequence;
        s.pacing = true;
    }
}

// An answer of the node this transfer goes to: true when it was the
// tunnel's (an answer naming object 0x5000, or a block acknowledge).
bool SenderFrame(const CanMsg& m) {
    Sender& s = g.send;
    if (s.state == Send::kIdle || s.state == Send::kInitiate || m.remote || m.id != 0x580u + s.dest) return false;
    if (m.length < 8) return false;
    const u8* q = m.data;
    const bool ours = GetLe16(q + 1) == kCoTunnelIndex && q[3] == 0;
    if (q[0] == kAbort && ours) {
        g.lastAbort = GetLe32(q + 4);
        EndSending();
        return true;
    }
    if ((q[0] & 0xFB) == kInitiateAnswer && ours) {
        if (s.state != Send::kAwaitInitiate) return true;
        if (q[4] != s.segments) {
            // The node cannot take the whole transfer in one block.
            AbortFrame(0x600u + s.dest, kSdoAbortBlockSize);
            EndSending();
            return true;
        }
        s.state = Send::kSegments;
        s.pacing = false;
        return true;
    }
    if (q[0] == kBlockAck) {
        if (s.state != Send::kAwaitAck) return true;
        if (q[1] != s.sequence || q[2] != s.segments) AbortFrame(0x600u + s.dest, kSdoAbortSequence);
        EndSending();
        return true;
    }
    return false;
}

// --- receiving -----------------------------------------------------------------

void EndReceiving() { g.receive = Receiver{}; }

void ReceiverAbort(u32 code) {
    AbortFrame(CoSdo_ServerAnswerId(g.receive.channel), code);
    EndReceiving();
}

void QueuePut(const u8* data, u32 n) {
    for (u32 i = 0; i < n; ++i) g.queue[(g.queueHead + g.queueCount + i) % kCoTunnelQueueBytes] = data[i];
    g.queueCount += n;
}

void Initiate(int channel, const u8* q) {
    Receiver& r = g.receive;
    const u32 answerId = CoSdo_ServerAnswerId(channel);
    r = Receiver{};
    r.channel = channel;
    // Only transfers that announce their size are taken, and only sizes the
    // buffer holds: the segments are checked against that size.
    if (!(q[0] & 0x02)) return AbortFrame(answerId, kSdoAbortCommand);
    const u32 size = GetLe32(q + 4) & kSizeMask;
    if (size == 0 || size > kCoTunnelBufferBytes) return AbortFrame(answerId, kSdoAbortNoMemory);
    r.active = true;
    r.size = static_cast<u16>(size);
    r.segments = static_cast<u8>((size + kDataPerSegment - 1) / kDataPerSegment);
    r.expected = 1;
    r.last = Now();
    u8 f[8] = {kInitiateAnswer, static_cast<u8>(kCoTunnelIndex), static_cast<u8>(kCoTunnelIndex >> 8), 0,
               r.segments};
    CANOpen_Queue(answerId, 8, f, false);
}

void Segment(const CanMsg& m) {
    Receiver& r = g.receive;
    const u8* q = m.data;
    if (m.length < 8) return ReceiverAbort(kSdoAbortCommand);
    if (q[0] == kAbort) return EndReceiving();  // the sender gave up
    const u8 sequence = q[0] & 0x7F;
    const bool last = (q[0] & kLastSegment) != 0;
    if (sequence != r.expected) return ReceiverAbort(kSdoAbortSequence);
    // More segments than the announced size needs, or a last one too early.
    if (sequence > r.segments || (last && sequence != r.segments)) return ReceiverAbort(kSdoAbortBlockSize);
    const u32 left = static_cast<u32>(r.size - r.received);
    const u32 n = left < kDataPerSegment ? left : kDataPerSegment;
    std::memcpy(r.buffer + r.received, q + 1, n);
    r.received = static_cast<u16>(r.received + n);
    r.last = Now();
    if (!last) {
        ++r.expected;
        return;
    }
    const u32 bytes = r.size - 1u;
    if (bytes > kCoTunnelQueueBytes - g.queueCount) return ReceiverAbort(kSdoAbortNoMemory);
    const u8 sender = r.buffer[0];
    g.lastDest = (sender & 0x80) ? 0 : sender;
    // A node without an id takes the bytes but cannot be the link's remote
    // end.
    if (CANOpen_NodeId() != 0) Vcomm_ModeSet(0, kHostCan, kLinkRemote, sender);
    QueuePut(r.buffer + 1, bytes);
    const u8 f[8] = {kBlockAck, sequence, r.segments};
    CANOpen_Queue(CoSdo_ServerAnswerId(r.channel), 8, f, false);
    EndReceiving();
}

bool ReceiverFrame(const CanMsg& m) {
    if (m.remote) return false;
    const int channel = CoSdo_ServerChannel(m.id);
    if (channel < 0) return false;
    if (g.receive.active && g.receive.channel == channel) {
        Segment(m);
        return true;
    }
    if (m.length < 8) return false;
    const u8* q = m.data;
    // Block download initiate (bit 0 clear) to object 0x5000.
    if ((q[0] & 0xE1) != 0xC0 || GetLe16(q + 1) != kCoTunnelIndex) return false;
    Initiate(channel, q);
    return true;
}

}  // namespace

void CoTunnel_Init() { g = State{}; }

int Net_CheckRx() { return g.queueCount > 0 ? 1 : 0; }

int Net_GetRx() {
    if (g.queueCount == 0) return 0;
    const u8 b = g.queue[g.queueHead];
    g.queueHead = (g.queueHead + 1) % kCoTunnelQueueBytes;
    --g.queueCount;
    return b;
}

void Net_FlushRx() { g.queueHead = g.queueCount = 0; }

void CANOpen_PutByte(const u8* bytes, u32 count, u32 linkMode) {
    if (bytes == nullptr || count == 0) return;
    if (linkMode == kCoTunnelRelay && count > 2) {
        // A whole command frame: [command][length][node]..., or with the
        // long length form [command][0xFF][low][high][node]...
        const u32 at = bytes[1] == 0xFF ? 4 : 2;
        if (bytes[0] != 0xFF) {
            if (count <= at || (bytes[at] & 0x7F) == 0) return;
            g.lastDest = bytes[at] & 0x7F;
        }
    }
    const u8 dest = g.lastDest;
    if (dest == 0 || count > kCoTunnelSendBytes - g.outCount) return;
    Run* tail = g.runCount > 0 ? &g.runs[(g.runHead + g.runCount - 1) % kRuns] : nullptr;
    if (tail == nullptr || tail->dest != dest || tail->length + count > 0xFFFF) {
        if (g.runCount == kRuns) return;
        tail = &g.runs[(g.runHead + g.runCount) % kRuns];
        *tail = Run{dest, 0};
        ++g.runCount;
    }
    for (u32 i = 0; i < count; ++i) g.out[(g.outHead + g.outCount + i) % kCoTunnelSendBytes] = bytes[i];
    g.outCount += count;
    tail->length = static_cast<u16>(tail->length + count);
    // The initiate goes out now when nothing else is being sent.
    if (g.send.state == Send::kIdle && TakeNextTransfer()) SendInitiate();
}

bool CoTunnel_Frame(const CanMsg& m) { return SenderFrame(m) || ReceiverFrame(m); }

void CoTunnel_Transmit() {
    const u32 now = Now();
    if (g.receive.active && now - g.receive.last > kCoTunnelTimeoutTicks) ReceiverAbort(kSdoAbortTimeout);
    Sender& s = g.send;
    if (s.state != Send::kIdle && s.state != Send::kInitiate && now - s.last > kCoTunnelTimeoutTicks) {
        AbortFrame(0x600u + s.dest, kSdoAbortTimeout);
        EndSending();
    }
    if (s.state == Send::kIdle && !TakeNextTransfer()) return;
    if (s.state == Send::kInitiate) return SendInitiate();
    if (s.state != Send::kSegments) return;
    if (s.pacing) {
        if (now - s.last <= kCoTunnelPacingTicks) return;
        s.pacing = false;
    }
    SendSegment();
}

bool CoTunnel_Sending() { return g.send.state != Send::kIdle; }
u32 CoTunnel_LastAbort() { return g.lastAbort; }
u8 CoTunnel_Destination() { return g.lastDest; }
