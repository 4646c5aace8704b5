#include "iec/ext/q4cssock.h"

#include "iec/kernel/q4link.h"
#include "iec/kernel/q4socket.h"

namespace {

constexpr u32 kDayMs = 86400000u;

void Drop(Q4CSSlot& s) {
    Q4Socket_CloseSocket(s.socket);
    Q4CS_ClearSlot(s);
}

// Step 1: what is left of the queued answer. False when the connection broke.
bool SendAnswer(Q4CSSlot& s) {
    if (!(s.flags & (kQ4CSQueued | kQ4CSPartSent)) || s.toSend == 0) {
        if (s.flags & (kQ4CSQueued | kQ4CSPartSent)) {
            s.answerLength = 0;
            s.flags = static_cast<u16>(s.flags & ~(kQ4CSQueued | kQ4CSPartSent));
        }
        return true;
    }
    int broken = 0;
    u32 from = static_cast<u32>(s.answerLength - s.toSend);
    u32 n = Q4Socket_Send(s.socket, s.toSend, s.answer + from, &broken);
    if (broken) return false;
    if (n) s.lastActivity = 0;
    s.toSend = static_cast<u16>(s.toSend - (n < s.toSend ? n : s.toSend));
    if (s.toSend) {
        s.flags |= kQ4CSPartSent;
    } else {
        s.answerLength = 0;
        s.flags = static_cast<u16>(s.flags & ~(kQ4CSQueued | kQ4CSPartSent));
    }
    return true;
}

// The framing once n more bytes arrived.
void Frame(Q4CSSlot& s) {
    const u8* r = s.request;
    const bool q4 = r[0] == 'Q' && r[1] == '4';
    if (s.expected == 0 && s.received == 4) {
        const u16 l = GetBe16(r + 2);
        if (q4 && l != 0) {
            if (l <= kQ4CSMaxLength) {
                s.expected = static_cast<u16>(l + 4);
                s.flags |= kQ4CSReceiving;
            } else {
                Q4EVSTRACE("Invalid frame size - endianness maybe incorrect");
                s.received = 0;
            }
        } else if (l == 0) {
            s.expected = 6;  // an MBAP header: its length field comes next
            s.flags |= kQ4CSReceiving;
        } else {
            s.received = 0;  // MBAP with a protocol id other than 0
        }
        return;
    }
    const bool workbench = q4 && GetBe16(r + 2) != 0;
    if (!workbench && s.expected == 6 && s.received == 6) {
        const u16 u = GetBe16(r + 4);
        if (u >= 1 && u <= kQ4CSMaxMbapLength) {
            s.expected = static_cast<u16>(u + 6);
            s.flags |= kQ4CSReceiving;
        } else {
            s.received = 0;
            s.expected = 0;
            s.flags = static_cast<u16>(s.flags & ~kQ4CSReceiving);
        }
        return;
    }
    if (s.expected != 0 && s.received == s.expected) {
        s.flags = static_cast<u16>((s.flags & ~kQ4CSReceiving) | kQ4CSComplete);
    } else {
        s.flags |= kQ4CSReceiving;
    }
}

// Step 3: one read of what the current stage still misses. False when the
// connection broke.
bool Receive(Q4CSSlot& s) {
    const u16 stage = s.expected ? s.expected : 4;
    if (s.received >= stage) return true;
    int broken = 0;
    u32 n = Q4Socket_Receive(s.socket, static_cast<u32>(stage - s.received), s.request + s.received, &broken);
    if (broken) return false;
    if (n == 0) return true;
    // The controller's programming software speaking on the workbench link
    // takes the link back; the chunk is not a workbench request. Only a
    // frame's first bytes are looked at: data inside a frame may be anything.
    if (s.received == 0 && n >= 2) {
        if (s.request[0] == 'Z' && s.request[1] == 'J') {
            q4_rcv = 1;
            Q4Link_HandBack(0);
            return true;
        }
        q4_rcv = (s.request[0] == 'Q' && s.request[1] == '4') ? 1 : 0;
    }
    s.lastActivity = 0;
    s.received = static_cast<u16>(s.received + n);
    Frame(s);
    return true;
}

}  // namespace

int Q4CSSock_Take(Q4CSContext* cs, int sock) {
    if (!cs || sock < 0) return 1;
    for (u16 k = 1; k <= kQ4CSSlots; ++k) {
        Q4CSSlot& s = cs->slots[k - 1];
        if (s.flags != 0) continue;
        Q4CS_ClearSlot(s);
        s.number = k;
        s.flags = kQ4CSUsed | kQ4CSTcp;
        s.socket = sock;
        return 0;
    }
    Q4Socket_CloseSocket(sock);
    return 1;
}

void Q4CSSock_Accept(Q4CSContext* cs) {
    if (!cs || cs->listener < 0) return;
    int sock = Q4Socket_Accept(cs->listener);
    if (sock >= 0) Q4CSSock_Take(cs, sock);
}

void Q4CSSock_ActivateAllSockets(Q4CSContext* cs) {
    if (!cs) return;
    for (Q4CSSlot& s : cs->slots) {
        if (!(s.flags & kQ4CSTcp) || s.socket < 0) continue;
        if (!SendAnswer(s)) {
            Drop(s);
            continue;
        }
        if (s.flags & kQ4CSComplete) continue;
        if (!Receive(s)) Drop(s);
    }
}

void Q4CSSock_SendAll(Q4CSContext* cs) {
    if (!cs) return;
    for (Q4CSSlot& s : cs->slots)
        if ((s.flags & kQ4CSTcp) && s.socket >= 0 && !SendAnswer(s)) Drop(s);
}

void Q4CSSock_CloseAllSockets(Q4CSContext* cs) {
    if (!cs) return;
    for (Q4CSSlot& s : cs->slots)
        if ((s.flags & kQ4CSTcp) && s.socket >= 0) Drop(s);
    if (cs->listener >= 0) Q4Socket_CloseSocket(cs->listener);
    cs->listener = -1;
}

void Q4CSSock_CheckSilentSocketsEx(Q4CSContext* cs, u32 nowMs, u32 timeoutMs) {
    if (!cs) return;
    for (Q4CSSlot& s : cs->slots) {
        if (!(s.flags & kQ4CSTcp) || s.socket < 0) continue;
        if (s.lastActivity == 0) {
            s.lastActivity = nowMs;
        } else if ((nowMs - s.lastActivity + kDayMs) % kDayMs > timeoutMs) {
            Drop(s);
        }
    }
}
