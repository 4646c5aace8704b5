// OS layer of the communication code: message queues and the timer check
// that the main loop runs once per pass. Nothing here waits: a call that
// would have to wait answers a status code at once.
#pragma once

#include "core/bytes.h"

constexpr u32 kTxSuccess = 0, kTxQueueEmpty = 10, kTxQueueFull = 11, kTxSizeError = 5, kTxPtrError = 3;

// Ring of fixed-size messages over caller-supplied storage.
struct TxQueue {
    const char* name;
    u32 messageWords;
    u32* start;
    u32* end;
    u32* read;
    u32* write;
    u32 enqueued;
    u32 available;
    u32 capacity;
};

u32 _txe_queue_create(TxQueue* queue, const char* name, u32 messageWords, void* storage, u32 storageBytes);
u32 _txe_queue_send(TxQueue* queue, const void* source, u32 waitOption);
u32 _txe_queue_receive(TxQueue* queue, void* destination, u32 waitOption);

// Fires the OS-layer timers that are due (none can be created yet).
void tx_timer_check();
