// The controller's clock driven by the test, for system tests of the real
// executable (the board record holds the time; platform/board.h).
//
// Made before the controller starts, a BoardClock makes the board of the
// current root driven; the controller started on it reads its time there
// and only moves when the test advances it. Advance goes in steps and,
// after each, waits until the board is settled: everything that fell due
// by then (main-loop passes, timers, sleeping threads and children) has
// run, so what the test reads afterwards is the state at exactly that time.
// Waits are bounded in host time only as a guard against a hung controller.
#pragma once

#include <functional>
#include <string>

#include "platform/bytes.h"

class FirmwareProcess;

class BoardClock {
public:
    // 2021-03-05 12:00:00 UTC by default; monotonic time starts at 1000 s.
    explicit BoardClock(i64 utcSeconds = 1614945600, u64 monotonicNs = 1000ull * 1000000000ull);
    // The board of the root folder `root` (a second controller's), not the
    // current one.
    explicit BoardClock(const std::string& root, i64 utcSeconds = 1614945600,
                        u64 monotonicNs = 1000ull * 1000000000ull);
    BoardClock(const BoardClock&) = delete;
    BoardClock& operator=(const BoardClock&) = delete;

    // Waits until the board is settled; false when the guard ran out.
    bool Settle(int guardMs = 20000);
    // Advances ms milliseconds in steps of stepMs, settling after each step.
    bool Advance(u64 ms, u64 stepMs = 10);
    // Advances in steps of stepMs until the condition holds after a step
    // (checked before the first step too), at most maxMs; false when it
    // never held or a settle ran out.
    bool AdvanceUntil(const std::function<bool()>& condition, u64 maxMs, u64 stepMs = 10);
    // Advances until the controller has printed the text, or has ended.
    bool AdvanceToOutput(FirmwareProcess& fw, const std::string& text, u64 maxMs = 20000);
    // Advances until the controller has ended, then waits for its process
    // in host time (an ending is the process's own work, not the clock's).
    bool AdvanceToExit(FirmwareProcess& fw, u64 maxMs = 20000);
    // Advances until the condition holds or the controller on this board
    // has ended; for a process the test starts another way.
    bool AdvanceUntilEnded(const std::function<bool()>& condition, u64 maxMs = 20000);
    // Milliseconds advanced since the clock was made.
    u64 ElapsedMs() const;
    // The controller's time of day (host UTC of its clock), in seconds.
    i64 UtcSeconds() const;

private:
    std::string root_;  // empty: the current root
    u64 startNs_;
};
