#include "platform/timers.h"

#include "platform/fpga.h"

namespace {

struct OneShot {
    u32 start;
    u32 period;  // ticks
    u8 running;
    u8 allocated;
};

OneShot g_timer[kTimerCount];
volatile u32* g_frt = &fpga_port;
u32 g_tickUs = 100;

// Refreshes the counter and returns the reading the timers stamp with.
u32 Now() {
    FPGA_GetFrt();
    return *g_frt;
}

}  // namespace

void Timer_Init(volatile u32* counter, u32 tickMicroseconds) {
    for (OneShot& t : g_timer) t = OneShot{};
    g_frt = counter ? counter : &fpga_port;
    g_tickUs = tickMicroseconds ? tickMicroseconds : 100;
}

u8 Timer_Allocate(u8 count) {
    if (count == 0 || count > kTimerCount) return kTimerNone;
    for (u8 first = 0; first + count <= kTimerCount; ++first) {
        u8 n = 0;
        while (n < count && !g_timer[first + n].allocated) ++n;
        if (n == count) {
            for (u8 i = 0; i < count; ++i) {
                g_timer[first + i].allocated = 1;
                g_timer[first + i].running = 0;
            }
            return first;
        }
        first = static_cast<u8>(first + n);  // skip past the allocated slot
    }
    return kTimerNone;
}

u32 Timer_Start(u8 index, u32 milliseconds) {
    if (index >= kTimerCount || !g_timer[index].allocated) return index;
    OneShot& t = g_timer[index];
    u32 period = t.period;
    if (milliseconds != 0) {
        const u64 ticks = static_cast<u64>(milliseconds) * 1000u / g_tickUs;
        // A time the 32-bit counter cannot measure is refused, not wrapped
        // into a short one.
        if (ticks > 0xFFFFFFFFull) return 0;
        period = static_cast<u32>(ticks);
    }
    if (period == 0) return 0;
    t.period = period;
    t.start = Now();
    t.running = 1;
    return period;
}

int Timer_Status(u8 index) {
    if (index >= kTimerCount) return kTimerInvalid;
    OneShot& t = g_timer[index];
    if (!t.allocated) return kTimerFree;
    if (!t.running) return kTimerStopped;
    if (static_cast<u32>(Now() - t.start) >= t.period) {
        t.running = 0;
        return kTimerExpired;
    }
    return kTimerRunning;
}

void Timer_Stop(u8 index) {
    if (index < kTimerCount) g_timer[index].running = 0;
}

void Timer_Release(u8 index) {
    if (index < kTimerCount) g_timer[index] = OneShot{};
}
