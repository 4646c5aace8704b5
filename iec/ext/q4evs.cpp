#include "iec/ext/q4evs.h"

#include <cstring>
#include <new>

#include "iec/kernel/q4rtclk.h"
#include "iec/kernel/q4socket.h"

namespace {

constexpr u32 kDayMs = 86400000u;
constexpr u32 kDiscardMax = 1024;
constexpr u8 kMaxText = 255;

u32 Round8(u32 n) { return (n + 7u) & ~7u; }
u32 Elapsed(u32 now, u32 then) { return (now - then + kDayMs) % kDayMs; }

Q4EvsClient* ClientAt(Q4EvsServer* s, u32 k) {
    return reinterpret_cast<Q4EvsClient*>(reinterpret_cast<u8*>(s) + Round8(sizeof(Q4EvsServer)) + k * s->clientSize);
}

int QueueOf(u8 kind) {
    switch (kind) {
        case 1: return 0;
        case 2: return 1;
        case 4:
        case 132: return 2;
        case 8: return 3;
        default: return -1;
    }
}

void Drop(Q4EvsClient* c) {
    Q4Socket_CloseSocket(c->socket);
    c->socket = -1;
    for (Q4EvsQueue& q : c->queues) Q4Evsq_FlushReadPointer(&q);
    c->mask = 0;
    c->state = kQ4EvsDisconnected;
    c->position = 0;
    c->frameLength = 0;
}

// Throws away what the client sent while a frame goes out; false when the
// connection broke.
bool Discard(Q4EvsClient* c) {
    u8 b[64];
    for (u32 k = 0; k < kDiscardMax;) {
        int broken = 0;
        u32 n = Q4Socket_Receive(c->socket, sizeof b, b, &broken);
        if (broken) return false;
        if (n == 0) break;
        k += n;
    }
    return true;
}

void StartFrame(Q4EvsClient* c, u32 now) {
    c->lastFrame = now;
    c->state = kQ4EvsSending;
    c->position = 0;
    c->frameLength = static_cast<u16>(GetBe16(c->frame + 2) + 4u);
}

void Send(Q4EvsClient* c) {
    if (!Discard(c)) {
        Drop(c);
        return;
    }
    int broken = 0;
    u32 n = Q4Socket_Send(c->socket, c->frameLength - c->position, c->frame + c->position, &broken);
    if (broken) {
        Drop(c);
        return;
    }
    c->position = static_cast<u16>(c->position + n);
    if (c->position < c->frameLength) return;
    c->position = 0;
    c->frameLength = 0;
    if (c->mask & kQ4EvsMaskNoAck) {
        for (Q4EvsQueue& q : c->queues) Q4Evsq_FlushReadData(&q);
        c->state = kQ4EvsReady;
    } else {
        c->state = kQ4EvsWaitAck;
    }
}

void Stamps(u32* date, u32* time) {
    *date = Q4RtClk_GetCurDateStamp();
    *time = Q4RtClk_GetCurTimeStamp();
}

void Ready(Q4EvsClient* c, u32 now) {
    u32 date, time;
    Stamps(&date, &time);
    if (Q4EvsFrm_PutEventList(c, date, time)) {
        StartFrame(c, now);
        Send(c);
    } else if (Elapsed(now, c->lastFrame) > kQ4EvsIdleMs) {
        Q4EvsFrm_PutIdle(c, date, time);
        StartFrame(c, now);
        Send(c);
    } else {
        for (Q4EvsQueue& q : c->queues) Q4Evsq_FlushReadPointer(&q);
    }
}

// Waiting for the acknowledgement of the frame sent.
void WaitAck(Q4EvsClient* c, u32 now) {
    if (Elapsed(now, c->lastFrame) > kQ4EvsAckMs) {
        Drop(c);
        return;
    }
    int broken = 0;
    if (c->frameLength == 0) {
        u32 n = Q4Socket_Receive(c->socket, 4u - c->position, c->frame + c->position, &broken);
        if (broken) return Drop(c);
        c->position = static_cast<u16>(c->position + n);
        if (c->position < 4) return;
        const u32 want = GetBe16(c->frame + 2) + 4u;
        if (c->frame[0] != 'Q' || c->frame[1] != '4') {
            // Not an acknowledgement: thrown away, still missing.
            c->position = 0;
            if (!Discard(c)) Drop(c);
            return;
        }
        if (want > kQ4EvsFrameBytes) {
            // Longer than any acknowledgement can be: the client is dropped.
            Drop(c);
            return;
        }
        c->frameLength = static_cast<u16>(want);
    }
    if (c->position < c->frameLength) {
        u32 n = Q4Socket_Receive(c->socket, c->frameLength - c->position, c->frame + c->position, &broken);
        if (broken) return Drop(c);
        c->position = static_cast<u16>(c->position + n);
        if (c->position < c->frameLength) return;
    }
    const u32 n = c->frameLength;
    c->position = 0;
    c->frameLength = 0;
    c->state = kQ4EvsReady;
    if (Q4EvsFrm_GetAck(c, n)) {
        for (Q4EvsQueue& q : c->queues) Q4Evsq_FlushReadData(&q);
    } else {
        for (Q4EvsQueue& q : c->queues) Q4Evsq_FlushReadPointer(&q);
    }
    Ready(c, now);
}

void Step(Q4EvsClient* c, u32 now) {
    switch (c->state) {
        case kQ4EvsDisconnected: {
            if (c->socket < 0) return;
            u32 date, time;
            Stamps(&date, &time);
            Q4EvsFrm_PutIdle(c, date, time);
            StartFrame(c, now);
            Send(c);
            break;
        }
        case kQ4EvsReady: Ready(c, now); break;
        case kQ4EvsSending: Send(c); break;
        case kQ4EvsWaitAck: WaitAck(c, now); break;
        default: Drop(c); break;
    }
}

}  // namespace

u32 Q4Evs1_GetMemorySize(const Q4EvsSettings* settings) {
    if (!settings) return 0;
    u32 n = Round8(sizeof(Q4EvsClient));
    for (u32 c : settings->capacity) n += Round8(c);
    return n;
}

u32 Q4Evs_GetMemorySize(const Q4EvsSettings* settings) {
    if (!settings) return 0;
    return Round8(sizeof(Q4EvsServer)) + kQ4EvsClients * Q4Evs1_GetMemorySize(settings);
}

Q4EvsClient* Q4Evs_Client(Q4EvsServer* server, u32 index) {
    return server && index < kQ4EvsClients ? ClientAt(server, index) : nullptr;
}

int Q4Evs_Open(Q4EvsServer* server, const Q4EvsSettings* settings) {
    if (!server || !settings) return 1;
    *server = Q4EvsServer{};
    server->clientSize = Q4Evs1_GetMemorySize(settings);
    server->port = settings->port;
    int sock = -1;
    if (Q4Socket_CreateListeningSocket(settings->port, 8, &sock) != 0) return 1;
    server->listener = sock;
    for (u32 k = 0; k < kQ4EvsClients; ++k) {
        u8* base = reinterpret_cast<u8*>(ClientAt(server, k));
        Q4EvsClient* c = new (base) Q4EvsClient();
        u8* storage = base + Round8(sizeof(Q4EvsClient));
        for (u32 q = 0; q < kQ4EvsQueues; ++q) {
            Q4Evsq_Init(&c->queues[q], settings->capacity[q], settings->key[q], storage);
            storage += Round8(settings->capacity[q]);
        }
    }
    return 0;
}

void Q4Evs_Close(Q4EvsServer* server) {
    if (!server) return;
    if (server->listener >= 0) {
        for (u32 k = 0; k < kQ4EvsClients; ++k) {
            Q4EvsClient* c = ClientAt(server, k);
            if (c->socket >= 0) Drop(c);
        }
        Q4Socket_CloseSocket(server->listener);
    }
    server->listener = -1;
    server->flags = 0;
}

void Q4Evs_Activate(Q4EvsServer* server, u32 now) {
    if (!server || server->listener < 0) return;
    int pending = Q4Socket_Accept(server->listener);
    for (u32 k = 0; k < kQ4EvsClients; ++k) {
        Q4EvsClient* c = ClientAt(server, k);
        if (c->socket < 0) {
            if (pending < 0) continue;
            c->socket = pending;
            c->slot = static_cast<u16>(k + 1);
            c->state = kQ4EvsDisconnected;
            c->mask = 0;
            c->maxFrame = 0;
            // Variable changes queued for an earlier client of the slot may
            // be another client's private subscriptions: not inherited.
            Q4Evsq_FlushAllEvents(&c->queues[2]);
            Step(c, now);
            pending = Q4Socket_Accept(server->listener);
            continue;
        }
        const u16 before = c->mask;
        Step(c, now);
        if ((c->mask & ~before) != 0 || (before != 0 && c->mask == 0)) server->flags |= 1;
    }
    if (pending >= 0) Q4Socket_CloseSocket(pending);
}

int Q4Evs1_EventDT(Q4EvsClient* c, u8 kind, u8 code, u32 n, const void* data, u32 date, u32 time) {
    if (!c) return 1;
    if ((kind & c->mask) == 0 || (code == 255 && (c->mask & kQ4EvsMaskNo255))) return 0;
    int q = QueueOf(kind);
    if (q < 0 || n > 255) return 1;
    return Q4Evsq_Put(&c->queues[q], kind, code, static_cast<u8>(n), static_cast<u8>(c->slot), date, time, data);
}

int Q4Evs_EventTo(Q4EvsServer* server, u8 kind, u8 code, u32 n, const void* data, u32 index, int* noClient,
                  u32 date, u32 time) {
    Q4EvsClient* c = Q4Evs_Client(server, index);
    if (!c || c->socket < 0) {
        if (noClient) *noClient = 1;
        return 1;
    }
    if (noClient) *noClient = 0;
    return Q4Evs1_EventDT(c, kind, code, n, data, date, time);
}

int Q4Evs_Event(Q4EvsServer* server, u8 kind, u8 code, u32 n, const void* data) {
    if (!server || server->listener < 0) return 0;
    u32 date, time;
    Stamps(&date, &time);
    int rc = 0;
    for (u32 k = 0; k < kQ4EvsClients; ++k) {
        Q4EvsClient* c = ClientAt(server, k);
        if (c->socket >= 0 && Q4Evs1_EventDT(c, kind, code, n, data, date, time) != 0) rc = 1;
    }
    return rc;
}

int Q4Evs_TextEvent(Q4EvsServer* server, u8 kind, u8 code, const char* text) {
    u32 n = text ? static_cast<u32>(strnlen(text, kMaxText)) : 0;
    return Q4Evs_Event(server, kind, code, n, text);
}

int Q4Evs_OnAppStart(Q4EvsServer* server, const char* name) { return Q4Evs_TextEvent(server, 1, 5, name); }
int Q4Evs_OnAppStop(Q4EvsServer* server, const char* name) { return Q4Evs_TextEvent(server, 1, 6, name); }
int Q4Evs_OnAppChange(Q4EvsServer* server, const char* name) { return Q4Evs_TextEvent(server, 1, 7, name); }
int Q4Evs_Trace(Q4EvsServer* server, const char* text) { return Q4Evs_TextEvent(server, 8, 1, text); }
int Q4Evs_EAOpen(Q4EvsServer* server) { return Q4Evs_Event(server, 1, 8, 0, nullptr); }

void Q4Evs_FlushEAEvents(Q4EvsServer* server) {
    if (!server || server->listener < 0) return;
    for (u32 k = 0; k < kQ4EvsClients; ++k) Q4Evsq_FlushAllEvents(&ClientAt(server, k)->queues[2]);
}

int Q4Evs_HasNewConections(Q4EvsServer* server) {
    if (!server) return 0;
    int f = server->flags & 1;
    server->flags = static_cast<u16>(server->flags & ~1u);
    return f;
}

void Q4Evs_GetCnxVsiPrefs(Q4EvsServer* server, u8 out[kQ4EvsClients]) {
    for (u32 k = 0; k < kQ4EvsClients; ++k) {
        Q4EvsClient* c = server && server->listener >= 0 ? ClientAt(server, k) : nullptr;
        out[k] = c && c->socket >= 0 && (c->mask & kQ4EvsMaskStatus) ? 1 : 0;
    }
}

int Q4Evs_GetNbClient(Q4EvsServer* server) {
    int n = 0;
    for (u32 k = 0; server && server->listener >= 0 && k < kQ4EvsClients; ++k)
        if (ClientAt(server, k)->socket >= 0) ++n;
    return n;
}

u16 Q4Evs_GetCnxPrefs(Q4EvsServer* server, u32 index) {
    Q4EvsClient* c = server && server->listener >= 0 ? Q4Evs_Client(server, index) : nullptr;
    return c && c->socket >= 0 ? c->mask : 0;
}

int Q4Evs_Descriptors(Q4EvsServer* server, int* fds, int capacity) {
    if (!server || server->listener < 0 || !fds) return 0;
    int n = 0;
    if (n < capacity) fds[n++] = server->listener;
    for (u32 k = 0; k < kQ4EvsClients; ++k) {
        Q4EvsClient* c = ClientAt(server, k);
        if (c->socket >= 0 && n < capacity) fds[n++] = c->socket;
    }
    return n;
}
