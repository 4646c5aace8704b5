// Switches the platform clock to a hand-advanced one for the object's life.
#pragma once

#include "platform/clock.h"

class ManualClock {
public:
    // 2021-03-05 12:00:00 UTC by default; monotonic time starts at 1000 s.
    explicit ManualClock(i64 utcSeconds = 1614945600, u64 monotonicNs = 1000ull * 1000000000ull) {
        Clock_UseManual(monotonicNs, utcSeconds * 1000000000ll);
    }
    ~ManualClock() { Clock_UseReal(); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void AdvanceNs(u64 ns) { Clock_Advance(ns); }
    void AdvanceUs(u64 us) { Clock_Advance(us * 1000ull); }
    void AdvanceMs(u64 ms) { Clock_Advance(ms * 1000000ull); }
    // One tick of the free-running counter.
    void AdvanceTicks(u64 ticks) { Clock_Advance(ticks * 100000ull); }
};
