#include "iec/ext/q4evsq.h"

#include <cstring>

void Q4Evsq_Init(Q4EvsQueue* q, u32 capacity, u32 key, u8* storage) {
    *q = Q4EvsQueue{};
    q->capacity = capacity;
    q->key = key;
    q->storage = storage;
}

int Q4Evsq_Put(Q4EvsQueue* q, u8 kind, u8 code, u8 n, u8 slot, u32 date, u32 time, const void* data) {
    const u32 size = kQ4EvsEventHead + n;
    if (!q->storage || q->length + size > q->capacity) {
        if (q->lost < 0xFFFF) ++q->lost;
        return 1;
    }
    u8* e = q->storage + q->length;
    e[0] = kind;
    e[1] = code;
    e[2] = n;
    e[3] = slot;
    std::memcpy(e + 4, &date, 4);
    std::memcpy(e + 8, &time, 4);
    if (data) std::memcpy(e + kQ4EvsEventHead, data, n);
    else std::memset(e + kQ4EvsEventHead, 0, n);
    q->length += size;
    q->flags = static_cast<u16>(q->flags & ~1u);
    return 0;
}

bool Q4Evsq_Peek(const Q4EvsQueue* q, const u8** event, u32* size) {
    if (q->readPos + kQ4EvsEventHead > q->length) return false;
    const u8* e = q->storage + q->readPos;
    *event = e;
    *size = kQ4EvsEventHead + e[2];
    return true;
}

void Q4Evsq_DropAtRead(Q4EvsQueue* q) {
    const u8* e;
    u32 size;
    if (!Q4Evsq_Peek(q, &e, &size)) return;
    u8* at = q->storage + q->readPos;
    std::memmove(at, at + size, q->length - q->readPos - size);
    q->length -= size;
    if (q->length == 0) q->flags |= 1;
    if (q->lost < 0xFFFF) ++q->lost;
}

void Q4Evsq_FlushReadData(Q4EvsQueue* q) {
    if (q->readPos) std::memmove(q->storage, q->storage + q->readPos, q->length - q->readPos);
    q->length -= q->readPos;
    if (q->length == 0) q->flags |= 1;
    q->lost = static_cast<u16>(q->lost - (q->lostReported < q->lost ? q->lostReported : q->lost));
    q->lostReported = 0;
    q->readPos = 0;
}

void Q4Evsq_FlushReadPointer(Q4EvsQueue* q) {
    q->readPos = 0;
    q->lostReported = 0;
}

void Q4Evsq_FlushAllEvents(Q4EvsQueue* q) {
    q->flags |= 1;
    q->length = 0;
    q->readPos = 0;
}
