#include "platform/fpga.h"

#include <atomic>

#include "platform/clock.h"

volatile u32 fpga_port = 0;

namespace {

constexpr u64 kNsPerSecond = 1000000000ull;
constexpr u64 kNsPerTick = 100000ull;
constexpr u64 kTicksPerSecond = 10000ull;
constexpr u64 kNoFirstSecond = ~0ull;

// The watchdog and web-HMI threads read the counter too: the first second is
// claimed once, by whichever thread comes first.
std::atomic<u64> g_firstSecond{kNoFirstSecond};

}  // namespace

u32 FPGA_GetFrt() {
    const u64 ns = Clock_MonotonicNs();
    const u64 second = ns / kNsPerSecond;
    u64 first = g_firstSecond.load(std::memory_order_acquire);
    if (first == kNoFirstSecond) {
        if (g_firstSecond.compare_exchange_strong(first, second, std::memory_order_acq_rel)) first = second;
    }
    // Truncation to 32 bits is the counter's wrap.
    const u32 ticks = static_cast<u32>((second - first) * kTicksPerSecond + (ns % kNsPerSecond) / kNsPerTick);
    fpga_port = ticks;
    return ticks;
}

u32 _tx_time_get() { return FPGA_GetFrt() / 10; }

void FPGA_Reset() {
    g_firstSecond.store(kNoFirstSecond, std::memory_order_release);
    fpga_port = 0;
}
