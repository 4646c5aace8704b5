#include "platform/clock.h"

#include <time.h>

#include <cerrno>

#include <atomic>

#include "platform/board.h"

namespace {

std::atomic<bool> g_manual{false};
std::atomic<bool> g_board{false};
std::atomic<u64> g_manualMono{0};
std::atomic<i64> g_manualUtc{0};

}  // namespace

u64 Clock_MonotonicNs() {
    if (g_board.load(std::memory_order_acquire)) return Board_ClockMonotonicNs();
    if (g_manual.load(std::memory_order_acquire)) return g_manualMono.load(std::memory_order_acquire);
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<u64>(ts.tv_sec) * 1000000000ull + static_cast<u64>(ts.tv_nsec);
}

i64 Clock_UtcNs() {
    if (g_board.load(std::memory_order_acquire)) return Board_ClockUtcNs();
    if (g_manual.load(std::memory_order_acquire)) return g_manualUtc.load(std::memory_order_acquire);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<i64>(ts.tv_sec) * 1000000000ll + ts.tv_nsec;
}

void Clock_UseManual(u64 monotonicNs, i64 utcNs) {
    g_manualMono.store(monotonicNs, std::memory_order_release);
    g_manualUtc.store(utcNs, std::memory_order_release);
    g_manual.store(true, std::memory_order_release);
}

void Clock_UseReal() {
    g_manual.store(false, std::memory_order_release);
    g_board.store(false, std::memory_order_release);
}

bool Clock_UseBoardIfDriven() {
    if (!Board_ClockDriven()) return false;
    g_board.store(true, std::memory_order_release);
    // The calling thread is busy until it first waits: a test that advances
    // the clock waits for that, not only for threads already asleep.
    Board_ClockNoteDeadline(0);
    return true;
}

bool Clock_IsBoard() { return g_board.load(std::memory_order_acquire); }

void Clock_NoteDeadline(u64 monotonicNs) {
    if (g_board.load(std::memory_order_acquire)) Board_ClockNoteDeadline(monotonicNs);
}

void Clock_NoteChildBusy(int pid) {
    if (g_board.load(std::memory_order_acquire) && pid > 0) Board_ClockNoteBusy(static_cast<u32>(pid));
}

bool Clock_IsManual() { return g_manual.load(std::memory_order_acquire); }

void Clock_Advance(u64 ns) {
    if (!g_manual.load(std::memory_order_acquire)) return;
    g_manualMono.fetch_add(ns, std::memory_order_acq_rel);
    g_manualUtc.fetch_add(static_cast<i64>(ns), std::memory_order_acq_rel);
}

void Clock_SetManualUtc(i64 utcNs) { g_manualUtc.store(utcNs, std::memory_order_release); }

void SleepMs(long ms) {
    if (ms <= 0) return;
    if (g_board.load(std::memory_order_acquire)) {
        const u64 deadline = Board_ClockMonotonicNs() + static_cast<u64>(ms) * 1000000ull;
        while (!Board_ClockWait(deadline, 50)) {
        }
        return;
    }
    SleepHostMs(ms);
}

void SleepHostMs(long ms) {
    if (ms <= 0) return;
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
