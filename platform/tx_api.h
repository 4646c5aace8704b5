// OS layer of the communication code: polled threads, message queues,
// event-flag groups, software timers and the millisecond clock.
//
// Everything runs inside the single main loop. Nothing here creates an
// operating-system thread and nothing ever waits: wait options and time-outs
// are accepted and ignored, and a call that would have to wait answers a
// status code at once so that the caller retries on a later pass. A "thread"
// is a control block whose entry function its owner calls once per pass;
// timers are checked once per pass by tx_timer_check.
//
// The structures have no locks: only the main loop's thread may use them.
// Every control block and all queue storage belong to the caller; nothing is
// allocated.
#pragma once

#include "platform/bytes.h"

// Status codes.
constexpr u32 kTxSuccess = 0;
constexpr u32 kTxPtrError = 3;        // null entry function, stack, queue or storage
constexpr u32 kTxSizeError = 5;       // queue message size 0, or storage too small for one message
constexpr u32 kTxNoEvents = 7;        // requested event flags not present
constexpr u32 kTxQueueEmpty = 10;
constexpr u32 kTxQueueFull = 11;
constexpr u32 kTxThreadError = 14;    // null thread control block
constexpr u32 kTxStartError = 16;     // auto-start value above 1
constexpr u32 kTxNoTimerSlot = 21;    // all timer slots in use
constexpr u32 kTxActivateError = 23;  // timer already active, or no ticks remaining
constexpr u32 kTxThreshError = 24;    // preemption threshold above the priority

// Event-flag get options: bit 1 clears the requested bits, bit 2 wants all.
constexpr u32 kTxOrOption = 0, kTxOrClear = 1, kTxAndOption = 2, kTxAndClear = 3;

// ---------------------------------------------------------------------------
// Threads: recorded, never scheduled.

using TxEntry = void (*)(u32 argument);

struct TxThread {
    const char* name;
    TxEntry entry;
    u32 entryArgument;
    void* stackStart;
    void* stackEnd;  // start + size - 1
    u32 stackSize;
    u32 priority;
    u32 userPriority;
    u32 timeSlice;
};

u32 _txe_thread_create(TxThread* thread, const char* name, TxEntry entry, u32 entryArgument, void* stackStart,
                       u32 stackSize, u32 priority, u32 preemptionThreshold, u32 timeSlice, u32 autoStart);
u32 _txe_thread_resume(TxThread* thread);
u32 _txe_thread_suspend(TxThread* thread);
u32 _txe_thread_terminate(TxThread* thread);
u32 _txe_thread_delete(TxThread* thread);
// Do nothing; no output is written and the result carries no status.
u32 _txe_thread_relinquish();
u32 _txe_thread_preemption_change(TxThread* thread, u32 newThreshold, u32* oldThreshold);
void _tx_thread_sleep(u32 ticks);
void _tx_initialize_kernel_enter();

// ---------------------------------------------------------------------------
// Message queues: a ring of fixed-size messages over caller storage.

struct TxQueue {
    u32 id;  // always 0
    const char* name;
    u32 messageWords;
    u32 capacity;   // messages
    u32 enqueued;
    u32 available;  // enqueued + available == capacity
    u32* start;
    u32* end;       // start + capacity * messageWords
    u32* read;
    u32* write;
};

// Capacity = storageBytes / (4 * messageWords). A message size of 0 words, or
// storage too small for one message, is refused with kTxSizeError.
u32 _txe_queue_create(TxQueue* queue, const char* name, u32 messageWords, void* storage, u32 storageBytes);
// kTxQueueFull when no slot is free; a failed call changes nothing.
u32 _txe_queue_send(TxQueue* queue, const void* source, u32 waitOption);
// kTxQueueEmpty when nothing is enqueued; a failed call changes nothing.
u32 _txe_queue_receive(TxQueue* queue, void* destination, u32 waitOption);

// ---------------------------------------------------------------------------
// Event-flag groups.

struct TxEventFlags {
    u32 id;  // always 0
    const char* name;
    u32 current;
};

u32 _txe_event_flags_create(TxEventFlags* group, const char* name);
u32 _txe_event_flags_set(TxEventFlags* group, u32 flags, u32 setOption);
// Satisfied: *actual = the flags before any clearing, then the requested bits
// are cleared with option bit 1. Not satisfied: kTxNoEvents, nothing written.
u32 _txe_event_flags_get(TxEventFlags* group, u32 requested, u32 getOption, u32* actual, u32 waitOption);
u32 _txe_event_flags_delete(TxEventFlags* group);

// ---------------------------------------------------------------------------
// Software timers, in milliseconds of the clock below.

using TxExpiry = void (*)(u32 argument);

struct TxTimer {
    i32 slot;  // 0-9 while created, -1 after deletion
    const char* name;
    u32 remainingTicks;
    u32 rescheduleTicks;  // 0: one-shot
    TxExpiry expiry;
    u32 expiryArgument;
    const void* active;  // non-null while active (the timer itself)
    u32 startStamp;      // free-running counter (100-us ticks)
};

constexpr int kTxTimerSlots = 10;
// The process-wide slot table.
extern TxTimer* TimerPtr[kTxTimerSlots];

u32 _txe_timer_create(TxTimer* timer, const char* name, TxExpiry expiry, u32 expiryArgument, u32 initialTicks,
                      u32 rescheduleTicks, u32 autoActivate);
u32 _txe_timer_activate(TxTimer* timer);
void _txe_timer_deactivate(TxTimer* timer);
u32 _txe_timer_delete(TxTimer* timer);

// The per-pass timer service: fires every active timer that is due.
//
// A timer is due when its remaining milliseconds have passed since its start
// stamp; sub-millisecond parts are carried, never dropped. A periodic timer
// keeps its phase: the next period is counted from the moment it was due,
// not from the (later) pass that noticed it, so a timer of 100 ms checked
// every 3 ms fires once in every 100 ms forever. After a stall longer than a
// period it fires once and stays on its phase (missed periods are skipped,
// not fired in a burst).
void tx_timer_check();

// Empties the slot table (tests, start-up).
void Tx_Reset();

// The millisecond clock (_tx_time_get, the free-running counter / 10) is
// declared with the counter in platform/fpga.h.
