#include "iec/ext/q4evsfrm.h"

#include <cstring>

#include "iec/ext/q4evs.h"

namespace {

u32 FrameLimit(const Q4EvsClient* c) {
    return c->maxFrame == 0 || c->maxFrame > kQ4EvsFrameBytes ? kQ4EvsFrameBytes : c->maxFrame;
}

u32 Size(const Q4EvsClient* c) { return GetBe16(c->frame + 2) + 4u; }

// Adds one event when it fits below the frame limit and the count allows.
bool Add(Q4EvsClient* c, u8 kind, u8 code, u8 n, u8 slot, u32 date, u32 time, const u8* data) {
    u32 size = Size(c);
    if (c->frame[5] == 255 || size + kQ4EvsEventHead + n >= FrameLimit(c)) return false;
    u8* e = c->frame + size;
    e[0] = kind;
    e[1] = code;
    e[2] = n;
    e[3] = slot;
    PutBe32(e + 4, date);
    PutBe32(e + 8, time);
    if (n) std::memcpy(e + kQ4EvsEventHead, data, n);
    size += kQ4EvsEventHead + n;
    PutBe16(c->frame + 2, static_cast<u16>(size - 4));
    ++c->frame[5];
    return true;
}

// Events of one queue from its read position, until one does not fit.
bool AddQueue(Q4EvsClient* c, Q4EvsQueue* q) {
    bool added = false;
    const u8* e;
    u32 n;
    while (Q4Evsq_Peek(q, &e, &n)) {
        u32 date, time;
        std::memcpy(&date, e + 4, 4);
        std::memcpy(&time, e + 8, 4);
        if (!Add(c, e[0], e[1], e[2], e[3], date, time, e + kQ4EvsEventHead)) {
            // One that would not fit even an empty frame never will: it goes.
            if (kQ4EvsFrameHead + n >= FrameLimit(c)) {
                Q4Evsq_DropAtRead(q);
                continue;
            }
            break;
        }
        q->readPos += n;
        added = true;
    }
    return added;
}

}  // namespace

void Q4EvsFrm_PutHeader(Q4EvsClient* c) {
    u8* f = c->frame;
    f[0] = 'Q';
    f[1] = '4';
    PutBe16(f + 2, kQ4EvsFrameHead - 4);
    f[4] = kQ4EvsFrameCode;
    f[5] = 0;
}

bool Q4EvsFrm_PutEventList(Q4EvsClient* c, u32 date, u32 time) {
    Q4EvsFrm_PutHeader(c);
    bool added = false;
    if (c->mask & kQ4EvsMaskSystem) {
        for (u8 k = 0; k < kQ4EvsQueues; ++k) {
            Q4EvsQueue& q = c->queues[k];
            if (q.lost == 0) continue;
            if (!Add(c, 1, static_cast<u8>(k + 1), 0, static_cast<u8>(c->slot), date, time, nullptr)) break;
            q.lostReported = q.lost;
            added = true;
        }
    }
    static constexpr u16 kBits[kQ4EvsQueues] = {kQ4EvsMaskSystem, kQ4EvsMaskClass2, kQ4EvsMaskVariables,
                                                kQ4EvsMaskTrace};
    for (u32 k = 0; k < kQ4EvsQueues; ++k)
        if ((c->mask & kBits[k]) && !Q4Evsq_Empty(&c->queues[k]) && AddQueue(c, &c->queues[k])) added = true;
    return added;
}

void Q4EvsFrm_PutIdle(Q4EvsClient* c, u32 date, u32 time) {
    Q4EvsFrm_PutHeader(c);
    static const u8 kIdle[3] = {0x09, 0x01, 0x01};
    Add(c, 8, 0, 3, static_cast<u8>(c->slot), date, time, kIdle);
    for (Q4EvsQueue& q : c->queues) Q4Evsq_FlushReadPointer(&q);
}

bool Q4EvsFrm_GetAck(Q4EvsClient* c, u32 n) {
    const u8* f = c->frame;
    if (n < 10 || f[0] != 'Q' || f[1] != '4' || f[4] != kQ4EvsFrameCode) return false;
    const u16 l = GetBe16(f + 2);
    const u8 mask = f[5];
    const u32 key = GetBe32(f + 6);
    u16 granted = 0;
    if (key == c->queues[0].key) granted = mask;
    else if (key == c->queues[1].key) granted = mask & ~0x01;
    else if (key == c->queues[2].key) granted = mask & ~0x03;
    else if (key == c->queues[3].key) granted = mask & ~0x07;
    c->mask = granted;
    c->maxFrame = (l >= 10 && n >= 14) ? GetBe32(f + 10) : 0;
    return true;
}
