#include "platform/tx_api.h"

#include <cstring>

u32 _txe_queue_create(TxQueue* queue, const char* name, u32 messageWords, void* storage, u32 storageBytes) {
    if (queue == nullptr || storage == nullptr) return kTxPtrError;
    if (messageWords == 0 || storageBytes < messageWords * 4) return kTxSizeError;
    std::memset(queue, 0, sizeof *queue);
    u32 capacity = storageBytes / (messageWords * 4);
    queue->name = name;
    queue->messageWords = messageWords;
    queue->start = static_cast<u32*>(storage);
    queue->end = queue->start + capacity * messageWords;
    queue->read = queue->write = queue->start;
    queue->available = capacity;
    queue->capacity = capacity;
    return kTxSuccess;
}

u32 _txe_queue_send(TxQueue* queue, const void* source, u32) {
    if (queue == nullptr || queue->start == nullptr || source == nullptr) return kTxPtrError;
    if (queue->available == 0) return kTxQueueFull;
    std::memcpy(queue->write, source, queue->messageWords * 4);
    queue->write += queue->messageWords;
    if (queue->write >= queue->end) queue->write = queue->start;
    queue->enqueued++;
    queue->available--;
    return kTxSuccess;
}

u32 _txe_queue_receive(TxQueue* queue, void* destination, u32) {
    if (queue == nullptr || queue->start == nullptr || destination == nullptr) return kTxPtrError;
    if (queue->enqueued == 0) return kTxQueueEmpty;
    std::memcpy(destination, queue->read, queue->messageWords * 4);
    queue->read += queue->messageWords;
    if (queue->read >= queue->end) queue->read = queue->start;
    queue->enqueued--;
    queue->available++;
    return kTxSuccess;
}

void tx_timer_check() {}
