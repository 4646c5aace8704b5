#include "platform/tx_api.h"

#include <cstdint>
#include <cstring>

#include "platform/fpga.h"

TxTimer* TimerPtr[kTxTimerSlots];

// ---------------------------------------------------------------------------
// Threads.

u32 _txe_thread_create(TxThread* thread, const char* name, TxEntry entry, u32 entryArgument, void* stackStart,
                       u32 stackSize, u32 priority, u32 preemptionThreshold, u32 timeSlice, u32 autoStart) {
    if (thread == nullptr) return kTxThreadError;
    if (entry == nullptr || stackStart == nullptr) return kTxPtrError;
    if (preemptionThreshold > priority) return kTxThreshError;
    if (autoStart > 1) return kTxStartError;
    std::memset(thread, 0, sizeof *thread);
    thread->name = name;
    thread->entry = entry;
    thread->entryArgument = entryArgument;
    thread->stackStart = stackStart;
    // The end is only recorded; it is never dereferenced.
    thread->stackEnd = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(stackStart) + stackSize - 1);
    thread->stackSize = stackSize;
    thread->priority = priority;
    thread->userPriority = priority;
    thread->timeSlice = timeSlice;
    return kTxSuccess;
}

u32 _txe_thread_resume(TxThread*) { return kTxSuccess; }
u32 _txe_thread_suspend(TxThread*) { return kTxSuccess; }
u32 _txe_thread_terminate(TxThread*) { return kTxSuccess; }
u32 _txe_thread_delete(TxThread*) { return kTxSuccess; }
u32 _txe_thread_relinquish() { return kTxSuccess; }
u32 _txe_thread_preemption_change(TxThread*, u32, u32*) { return kTxSuccess; }
void _tx_thread_sleep(u32) {}
void _tx_initialize_kernel_enter() {}

// ---------------------------------------------------------------------------
// Queues.

u32 _txe_queue_create(TxQueue* queue, const char* name, u32 messageWords, void* storage, u32 storageBytes) {
    if (queue == nullptr || storage == nullptr) return kTxPtrError;
    // A message of no words would make the capacity a division by zero.
    if (messageWords == 0 || messageWords > storageBytes / 4) return kTxSizeError;
    std::memset(queue, 0, sizeof *queue);
    u32 capacity = storageBytes / (messageWords * 4);
    queue->name = name;
    queue->messageWords = messageWords;
    queue->capacity = capacity;
    queue->available = capacity;
    queue->start = static_cast<u32*>(storage);
    queue->end = queue->start + capacity * messageWords;
    queue->read = queue->write = queue->start;
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

// ---------------------------------------------------------------------------
// Event flags.

u32 _txe_event_flags_create(TxEventFlags* group, const char* name) {
    if (group == nullptr) return kTxPtrError;
    std::memset(group, 0, sizeof *group);
    group->name = name;
    return kTxSuccess;
}

u32 _txe_event_flags_set(TxEventFlags* group, u32 flags, u32) {
    if (group == nullptr) return kTxPtrError;
    group->current |= flags;
    return kTxSuccess;
}

u32 _txe_event_flags_get(TxEventFlags* group, u32 requested, u32 getOption, u32* actual, u32) {
    if (group == nullptr || actual == nullptr) return kTxPtrError;
    u32 present = group->current & requested;
    bool satisfied = (getOption & kTxAndOption) ? present == requested : present != 0;
    if (!satisfied) return kTxNoEvents;
    *actual = group->current;
    if (getOption & kTxOrClear) group->current &= ~requested;
    return kTxSuccess;
}

u32 _txe_event_flags_delete(TxEventFlags*) { return kTxSuccess; }

// ---------------------------------------------------------------------------
// Timers.

namespace {
constexpr u32 kTicksPerMs = 10;  // free-running counter ticks per millisecond
}

void Tx_Reset() {
    for (TxTimer*& t : TimerPtr) t = nullptr;
}

u32 _txe_timer_create(TxTimer* timer, const char* name, TxExpiry expiry, u32 expiryArgument, u32 initialTicks,
                      u32 rescheduleTicks, u32 autoActivate) {
    if (timer == nullptr) return kTxPtrError;
    // A block created again keeps its slot rather than taking a second one.
    int slot = -1;
    for (int i = 0; i < kTxTimerSlots && slot < 0; ++i)
        if (TimerPtr[i] == timer) slot = i;
    for (int i = 0; i < kTxTimerSlots && slot < 0; ++i)
        if (TimerPtr[i] == nullptr) slot = i;
    if (slot < 0) return kTxNoTimerSlot;
    std::memset(timer, 0, sizeof *timer);
    timer->name = name;
    timer->remainingTicks = initialTicks;
    timer->rescheduleTicks = rescheduleTicks;
    timer->expiry = expiry;
    timer->expiryArgument = expiryArgument;
    timer->slot = slot;
    timer->active = nullptr;
    TimerPtr[slot] = timer;
    if (autoActivate == 1) return _txe_timer_activate(timer);
    return kTxSuccess;
}

u32 _txe_timer_activate(TxTimer* timer) {
    if (timer == nullptr) return kTxPtrError;
    if (timer->active != nullptr || timer->remainingTicks == 0) return kTxActivateError;
    timer->startStamp = FPGA_GetFrt();
    timer->active = timer;
    return kTxSuccess;
}

void _txe_timer_deactivate(TxTimer* timer) {
    if (timer != nullptr) timer->active = nullptr;
}

u32 _txe_timer_delete(TxTimer* timer) {
    if (timer == nullptr) return kTxPtrError;
    if (timer->slot >= 0 && timer->slot < kTxTimerSlots && TimerPtr[timer->slot] == timer)
        TimerPtr[timer->slot] = nullptr;
    timer->slot = -1;
    timer->active = nullptr;
    return kTxSuccess;
}

void tx_timer_check() {
    for (int i = 0; i < kTxTimerSlots; ++i) {
        TxTimer* t = TimerPtr[i];
        if (t == nullptr || t->active == nullptr || t->remainingTicks == 0) continue;
        const u32 now = FPGA_GetFrt();
        const u32 elapsed = now - t->startStamp;
        const u32 elapsedMs = elapsed / kTicksPerMs;
        if (elapsedMs >= t->remainingTicks) {
            // How far past its due moment the timer was noticed.
            u64 overshoot = elapsed - static_cast<u64>(t->remainingTicks) * kTicksPerMs;
            t->remainingTicks = 0;
            if (t->expiry) t->expiry(t->expiryArgument);
            // The expiry function may have deleted, deactivated or re-created it.
            if (TimerPtr[i] != t || t->active == nullptr || t->remainingTicks != 0) continue;
            if (t->rescheduleTicks != 0) {
                const u64 period = static_cast<u64>(t->rescheduleTicks) * kTicksPerMs;
                t->remainingTicks = t->rescheduleTicks;
                t->startStamp = now - static_cast<u32>(overshoot % period);
            }
        } else if (elapsed >= kTicksPerMs) {
            t->remainingTicks -= elapsedMs;
            t->startStamp = now - (elapsed - kTicksPerMs * elapsedMs);
        }
    }
}
