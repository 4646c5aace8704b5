// Timer blocks of the controller's library: on-delay (TON), off-delay (TOF)
// and retentive on-delay (TONR) timers in units of 1 ms, 10 ms, 100 ms and
// 1 s, with INT or DINT (name ending in "32") preset and elapsed time: 24
// blocks from one template.
//
// They count on the free-running 100-microsecond counter that the scan
// writes into %SR149-%SR150 at its start, so they advance once per scan; the
// part of a unit that is not complete is carried into the next call. Each
// instance keeps two stamps: that of its last call (0 before the first one,
// which only takes the time) and that of its last counted unit boundary.
// Elapsed time is counted in 32 bits and stops at the type's maximum, so a
// long gap between calls and a preset near the maximum are both reached.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmfb.h"

enum class Q4TimerKind { kTon, kTof, kTonr };

// Handler of the timer of kind, unit (in 100-microsecond ticks) and width.
template <Q4TimerKind kind, u32 unitTicks, bool wide>
int Q4Ctl_Timer(int command, u8* db, u8* classData, u8* inst, const u16* ops);

// Instance data of a timer.
constexpr u32 kQ4TimerInstanceBytes = 8;

#define Q4CTL_TIMER_ROWS(K, k)                                                                   \
    {#K "1MS", Q4Ctl_Timer<Q4TimerKind::k, 10, false>},                                          \
        {#K "1MS32", Q4Ctl_Timer<Q4TimerKind::k, 10, true>},                                     \
        {#K "10MS", Q4Ctl_Timer<Q4TimerKind::k, 100, false>},                                    \
        {#K "10MS32", Q4Ctl_Timer<Q4TimerKind::k, 100, true>},                                   \
        {#K "100MS", Q4Ctl_Timer<Q4TimerKind::k, 1000, false>},                                  \
        {#K "100MS32", Q4Ctl_Timer<Q4TimerKind::k, 1000, true>},                                 \
        {#K "1S", Q4Ctl_Timer<Q4TimerKind::k, 10000, false>}, {                                  \
        #K "1S32", Q4Ctl_Timer<Q4TimerKind::k, 10000, true>                                      \
    }

inline constexpr Q4BlockEntry kQ4CtlTimerRows[] = {
    Q4CTL_TIMER_ROWS(TON, kTon),
    Q4CTL_TIMER_ROWS(TOF, kTof),
    Q4CTL_TIMER_ROWS(TONR, kTonr),
};
#undef Q4CTL_TIMER_ROWS
