// One event queue of an event-server client: a flat byte buffer of queued
// events (u8 kind, u8 code, u8 data length n, u8 client slot, u32 date stamp,
// u32 time stamp, both in host order, then n data bytes), a read position
// marking the events put into the frame in flight, and the count of events
// that did not fit.
#pragma once

#include "platform/bytes.h"

constexpr u32 kQ4EvsEventHead = 12;

struct Q4EvsQueue {
    u32 capacity = 0;
    u32 key = 0;
    u8* storage = nullptr;
    u32 readPos = 0;       // bytes already put into the frame in flight
    u32 length = 0;        // bytes in use
    u16 flags = 1;         // bit 0: empty
    u16 lost = 0;          // events that did not fit
    u16 lostReported = 0;  // lost count announced in the frame in flight
};

void Q4Evsq_Init(Q4EvsQueue* q, u32 capacity, u32 key, u8* storage);
// Appends one event; 0, or 1 when it does not fit (counted lost).
int Q4Evsq_Put(Q4EvsQueue* q, u8 kind, u8 code, u8 n, u8 slot, u32 date, u32 time, const void* data);
// The event at the read position: its bytes (head and data) and total size;
// false when none is left.
bool Q4Evsq_Peek(const Q4EvsQueue* q, const u8** event, u32* size);
// Drops the event at the read position and counts it lost.
void Q4Evsq_DropAtRead(Q4EvsQueue* q);
// The events before the read position were delivered: they go, and so does
// the lost count reported with them.
void Q4Evsq_FlushReadData(Q4EvsQueue* q);
// The frame in flight was not delivered: everything goes out again.
void Q4Evsq_FlushReadPointer(Q4EvsQueue* q);
void Q4Evsq_FlushAllEvents(Q4EvsQueue* q);
inline bool Q4Evsq_Empty(const Q4EvsQueue* q) { return q->flags & 1; }
