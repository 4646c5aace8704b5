#include "darTUsdk/dartusdk/dartu_timer.h"

#include "darTUsdk/dartusdk/dartu_context.h"
#include "platform/clock.h"

namespace {

dartu_timer g_defaultTimer;

dartu_timer* Pick(dartu_timer* timer) { return timer ? timer : &g_defaultTimer; }

}  // namespace

int dartu_timer_get_time_imp(u64* value) {
    // Whole seconds only: two readings 1.5 s apart differ by 2 or 4, never 3.
    *value = 2 * (Clock_MonotonicNs() / 1000000000ull);
    return 0;
}

void dartu_timer_init_imp(dartu_timer* timer) {
    timer = Pick(timer);
    timer->start = 0;
    timer->stop = 0;
    timer->flags = 0;
}

void dartu_timer_start_imp(dartu_timer* timer) {
    timer = Pick(timer);
    u64 now = 0;
    dartu_timer_get_time_imp(&now);
    timer->start = now;
    timer->flags = kDartuTimerRunning;
}

void dartu_timer_stop_imp(dartu_timer* timer) {
    timer = Pick(timer);
    u64 now = 0;
    dartu_timer_get_time_imp(&now);
    timer->stop = now;
    timer->flags = 0;
}

u64 dartu_timer_elapsed_imp(dartu_timer* timer) {
    timer = Pick(timer);
    if (timer->flags & kDartuTimerRunning) {
        u64 now = 0;
        dartu_timer_get_time_imp(&now);
        return now - timer->start;
    }
    return timer->stop - timer->start;
}

u64 dartu_sys_get_current_monotonous_time() { return dartu_timer_elapsed_imp(&dartu_global_context()->server_timer); }
