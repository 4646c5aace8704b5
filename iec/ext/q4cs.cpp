#include "iec/ext/q4cs.h"

#include <cstdio>
#include <cstring>

#include "iec/ext/q4cssock.h"
#include "iec/ext/q4csser.h"
#include "iec/ext/q4ft.h"
#include "iec/kernel/q4socket.h"
#include "platform/root.h"

namespace {

constexpr u32 kDiscoveryBytes = 256;

u16 FrameLength(const Q4CSSlot& s) { return GetBe16(&s.request[2]); }

bool Complete(const Q4CSSlot& s) { return (s.flags & (kQ4CSUsed | kQ4CSComplete)) == (kQ4CSUsed | kQ4CSComplete); }

int CodeOf(const Q4CSSlot& s) {
    if (Q4CS_IsWorkbenchFrame(s)) return s.request[4];
    return (s.flags & kQ4CSTcp) ? kQ4CSRqModbusTcp : kQ4CSRqModbusRtu;
}

// Announced ports are those a client dials: the listeners carry the
// controller's port offset.
long Announced(u16 port) { return port ? static_cast<long>(port) + Root_PortOffset() : 0; }

void Discovery(Q4CSContext* cs) {
    u8 in[kDiscoveryBytes];
    Q4PeerAddr peer{};
    u32 n = Q4Socket_UdpRecvFrom(cs->udp, in, sizeof in, &peer);
    if (n != 4 || std::memcmp(in, "disc", 4) != 0) return;
    char text[64];
    int len = std::snprintf(text, sizeof text, "disc:%ld,%ld,%s", Announced(cs->tcpPort),
                            Announced(static_cast<u16>(Q4EVSPORT())), (cs->options & kQ4CSOptM5) ? "M5" : "Q4");
    if (len > 0) Q4Socket_UdpSendTo(cs->udp, &peer, text, static_cast<u32>(len));
}

// Request 21: sub-code 1 (with two u32 that are not used) is the one option
// this runtime knows.
void LinkOption(Q4CSContext* cs, u16 slot) {
    Q4CSSlot& s = cs->slots[slot - 1];
    u16 result = 1;
    if (Q4CS_FrameEnd(s) >= 7 && GetBe16(&s.request[5]) == 1) result = 0;
    Q4CS_SendRC(cs, slot, result);
}

}  // namespace

Q4CSSlot* Q4CS_Slot(Q4CSContext* cs, u16 slot) {
    if (!cs || slot < 1 || slot > kQ4CSSlots) return nullptr;
    return &cs->slots[slot - 1];
}

u32 Q4CS_FrameEnd(const Q4CSSlot& s) {
    if (!Q4CS_IsWorkbenchFrame(s)) return s.received;
    const u32 end = FrameLength(s) + 4u;
    return end < s.received ? end : s.received;
}

bool Q4CS_IsWorkbenchFrame(const Q4CSSlot& s) {
    return s.received >= 4 && s.request[0] == 'Q' && s.request[1] == '4' && FrameLength(s) != 0;
}

bool Q4CS_AnswerFree(const Q4CSSlot& s) {
    return (s.flags & kQ4CSUsed) && !(s.flags & (kQ4CSQueued | kQ4CSPartSent));
}

void Q4CS_Queue(Q4CSSlot& s, u32 n) {
    s.answerLength = static_cast<u16>(n);
    s.toSend = static_cast<u16>(n);
    s.flags = static_cast<u16>((s.flags | kQ4CSQueued) & ~kQ4CSCrcAdded);
}

void Q4CS_ClearSlot(Q4CSSlot& s) {
    s = Q4CSSlot{};
}

int Q4CS_Open(Q4CSContext* cs, const Q4CSSettings* settings) {
    if (!cs) return 1;
    if (cs->open) Q4CS_Close(cs);
    *cs = Q4CSContext{};
    cs->open = 1;
    int backlog = 8;
    if (settings && settings->serial) {
        Q4CSSer_Open(cs, settings->serial);
        backlog = 7;
    }
    Q4Socket_Initialize();
    if (settings && settings->tcpPort) {
        int sock = -1;
        if (Q4Socket_CreateListeningSocket(settings->tcpPort, backlog, &sock) != 0) sock = -1;
        cs->listener = sock;
    }
    cs->tcpPort = settings ? settings->tcpPort : 0;
    int udp = -1;
    if (Q4Socket_UdpCreate(kQ4CSDiscoveryPort, &udp) == 0) {
        Q4Socket_AcceptBroadcast(udp);
        cs->udp = udp;
    }
    return 0;
}

void Q4CS_Activate(Q4CSContext* cs) {
    if (!cs || !cs->open) return;
    if (cs->udp >= 0) Discovery(cs);
    Q4CSSock_Accept(cs);
    Q4CSSock_ActivateAllSockets(cs);
    if (cs->slots[0].flags & kQ4CSSerial) Q4CSSer_Activate(cs);
}

void Q4CS_Flush(Q4CSContext* cs) {
    if (!cs || !cs->open) return;
    Q4CSSock_SendAll(cs);
    if (cs->slots[0].flags & kQ4CSSerial) Q4CSSer_Send(cs);
}

void Q4CS_ActivateStamp(Q4CSContext* cs, u32 nowMs) {
    if (!cs) return;
    cs->stamp = nowMs;
    Q4CS_Activate(cs);
}

int Q4CS_GetQuestion(Q4CSContext* cs, u16* slot) {
    if (!cs || !cs->open) return 0;
    for (u16 k = 1; k <= kQ4CSSlots; ++k) {
        Q4CSSlot& s = cs->slots[k - 1];
        // A slot's next request waits until its previous answer is out, so
        // no answer is overwritten and none is lost.
        if (!Complete(s) || !Q4CS_AnswerFree(s)) continue;
        int code = CodeOf(s);
        if (code == kQ4CSRqFile || code == kQ4CSRqLinkOption || code == 0) {
            if (code == kQ4CSRqFile) Q4CSFT_Serve(cs, k);
            else if (code == kQ4CSRqLinkOption) LinkOption(cs, k);
            else Q4CS_SendRC(cs, k, 1);
            Q4CS_ReleaseQuestion(cs, k);
            k = 0;  // the scan starts again at slot 1
            continue;
        }
        if (slot) *slot = k;
        return code;
    }
    return 0;
}

void Q4CS_ReleaseQuestion(Q4CSContext* cs, u16 slot) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !(s->flags & kQ4CSUsed)) return;
    s->flags = static_cast<u16>(s->flags & ~(kQ4CSComplete | kQ4CSReceiving));
    s->received = 0;
    s->expected = 0;
}

u8* Q4CS_GetVMRequest(Q4CSContext* cs, u16 slot) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !Complete(*s) || CodeOf(*s) != 1) return nullptr;
    return &s->request[5];
}

u32 Q4CS_GetVMRequestLength(Q4CSContext* cs, u16 slot) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !Complete(*s) || CodeOf(*s) != 1) return 0;
    return FrameLength(*s) - 1u;
}

u8* Q4CS_GetRequestFrame(Q4CSContext* cs, u16 slot, u32* length) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !Complete(*s)) return nullptr;
    if (length) *length = Q4CS_FrameEnd(*s);
    return s->request;
}

u8* Q4CS_GetVMAnswerBuffer(Q4CSContext* cs, u16 slot) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    return s && Q4CS_AnswerFree(*s) ? s->answer + 5 : nullptr;
}

u8* Q4CS_GetAnswerFrameBuffer(Q4CSContext* cs, u16 slot) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    return s && Q4CS_AnswerFree(*s) ? s->answer : nullptr;
}

void Q4CS_SendRC(Q4CSContext* cs, u16 slot, u16 result) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    // A Modbus frame gets no status answer.
    if (!s || !Q4CS_AnswerFree(*s) || !Q4CS_IsWorkbenchFrame(*s)) return;
    u8* a = s->answer;
    a[0] = 'Q';
    a[1] = '4';
    PutBe16(a + 2, 3);
    a[4] = s->request[4];
    PutBe16(a + 5, result);
    Q4CS_Queue(*s, 7);
}

void Q4CS_SendVMAnswer(Q4CSContext* cs, u16 slot, u32 n) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !Q4CS_AnswerFree(*s) || n > kQ4CSVMAnswerMax) return;
    u8* a = s->answer;
    a[0] = 'Q';
    a[1] = '4';
    PutBe16(a + 2, static_cast<u16>(n + 1));
    a[4] = 1;
    Q4CS_Queue(*s, n + 5);
}

void Q4CS_SendAnswerFrame(Q4CSContext* cs, u16 slot, u32 n) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || n == 0 || n > kQ4CSAnswerMax || !Q4CS_AnswerFree(*s)) return;
    Q4CS_Queue(*s, n);
}

int Q4CS_GetLoadInfo(Q4CSContext* cs, u16 slot, Q4LoadRequest* out) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !out || !Complete(*s) || !Q4CS_IsWorkbenchFrame(*s)) return 0;
    int code = s->request[4];
    if (code < kQ4LoadStart || code > kQ4LoadEnd) return 0;
    const u32 end = Q4CS_FrameEnd(*s);
    if (end < 10) return 0;  // kind, length and at least the name's NUL
    const u8* name = &s->request[10];
    const u32 room = end - 10 < 256 ? end - 10 : 256;  // at most 255 characters and the NUL
    const void* nul = std::memchr(name, 0, room);
    if (!nul) return 0;
    const u8* data = static_cast<const u8*>(nul) + 1;
    const u32 carried = end - static_cast<u32>(data - s->request);
    const u32 length = GetBe32(&s->request[6]);
    if (code == kQ4LoadBlock && length > carried) return 0;
    out->kind = s->request[5];
    out->length = length;
    out->name = reinterpret_cast<const char*>(name);
    out->data = data;
    return 1;
}

int Q4CS_GetStartInfo(Q4CSContext* cs, u16 slot, Q4StartRequest* out) {
    Q4CSSlot* s = Q4CS_Slot(cs, slot);
    if (!s || !out || !Complete(*s) || !Q4CS_IsWorkbenchFrame(*s)) return 0;
    int code = s->request[4];
    const u32 end = Q4CS_FrameEnd(*s);
    if (code < kQ4RqStop || code > kQ4RqChange || end < 7) return 0;
    // A request without a name (a stop) names nothing; one with a name ends
    // it inside the frame.
    if (end > 7 && !std::memchr(&s->request[7], 0, end - 7u)) return 0;
    out->loadRetains = s->request[5] != 0;
    out->paused = s->request[6] != 0;
    out->name = end > 7 ? reinterpret_cast<const char*>(&s->request[7]) : "";
    return 1;
}

void Q4CS_Close(Q4CSContext* cs) {
    if (!cs || !cs->open) return;
    Q4CSSock_CloseAllSockets(cs);
    Q4Socket_Terminate();
    if (cs->udp >= 0) Q4Socket_CloseSocket(cs->udp);
    if (cs->slots[0].flags & kQ4CSSerial) Q4CSSer_Close(cs);
    Q4CSFT_Close(cs);
    *cs = Q4CSContext{};
}

int Q4CS_GetNbHostTCP(const Q4CSContext* cs) {
    if (!cs) return 0;
    int n = 0;
    for (const Q4CSSlot& s : cs->slots)
        if ((s.flags & kQ4CSTcp) && s.socket >= 0) ++n;
    return n;
}

void Q4CS_CheckSilentSockets(Q4CSContext* cs, u32 nowMs, u32 timeoutMs) { Q4CSSock_CheckSilentSocketsEx(cs, nowMs, timeoutMs); }

int Q4CS_Descriptors(const Q4CSContext* cs, int* fds, int capacity) {
    if (!cs || !cs->open || !fds) return 0;
    int n = 0;
    auto add = [&](int fd) {
        if (fd >= 0 && n < capacity) fds[n++] = fd;
    };
    add(cs->listener);
    add(cs->udp);
    for (const Q4CSSlot& s : cs->slots) {
        if (s.flags & kQ4CSTcp) add(s.socket);
        if (s.flags & kQ4CSSerial) add(s.serial);
    }
    return n;
}
