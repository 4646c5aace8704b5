#include "testsupport/board_clock.h"

#include "platform/board.h"
#include "testsupport/firmware_process.h"
#include "testsupport/temp_root.h"

namespace {

constexpr int kGuardMs = 20000;
constexpr u64 kNsPerMs = 1000000ull;

}  // namespace

BoardClock::BoardClock(i64 utcSeconds, u64 monotonicNs) : BoardClock(std::string(), utcSeconds, monotonicNs) {}

BoardClock::BoardClock(const std::string& root, i64 utcSeconds, u64 monotonicNs)
    : root_(root), startNs_(monotonicNs) {
    RootScope scope(root_);
    Board_SetClockDriven(true, monotonicNs, utcSeconds * 1000000000ll);
}

bool BoardClock::Settle(int guardMs) {
    RootScope scope(root_);
    return Board_ClockSettle(guardMs);
}

bool BoardClock::Advance(u64 ms, u64 stepMs) {
    RootScope scope(root_);
    return Board_ClockAdvanceSettled(ms * kNsPerMs, stepMs * kNsPerMs, kGuardMs);
}

bool BoardClock::AdvanceUntil(const std::function<bool()>& condition, u64 maxMs, u64 stepMs) {
    if (condition()) return true;
    if (stepMs == 0) stepMs = 1;
    for (u64 done = 0; done < maxMs; done += stepMs) {
        if (!Advance(stepMs, stepMs)) return false;
        if (condition()) return true;
    }
    return false;
}

bool BoardClock::AdvanceToOutput(FirmwareProcess& fw, const std::string& text, u64 maxMs) {
    return AdvanceUntil([&] { return fw.Output().find(text) != std::string::npos; }, maxMs);
}

bool BoardClock::AdvanceUntilEnded(const std::function<bool()>& condition, u64 maxMs) {
    return AdvanceUntil(
        [&] {
            RootScope scope(root_);
            return condition() || !Board_ClockInUse();
        },
        maxMs);
}

bool BoardClock::AdvanceToExit(FirmwareProcess& fw, u64 maxMs) {
    return AdvanceUntilEnded([&] { return fw.HasExited(); }, maxMs) && fw.WaitExit(kGuardMs);
}

u64 BoardClock::ElapsedMs() const {
    RootScope scope(root_);
    return (Board_ClockMonotonicNs() - startNs_) / kNsPerMs;
}

i64 BoardClock::UtcSeconds() const {
    RootScope scope(root_);
    return Board_ClockUtcNs() / 1000000000ll;
}
