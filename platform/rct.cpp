#include "platform/rct.h"

#include "platform/fpga.h"

namespace {

enum : u16 { kFree = 0, kStopped = 1, kRunning = 2 };
enum : u16 { kOneShot = 1, kPeriodicMode = 2 };

struct SerialTimer {
    u16 state;
    u16 mode;
    u32 remaining;  // ticks
    u32 period;     // ticks
    u32 stamp;      // counter value when remaining was last brought up to date
    RctCallback callback;
};

constexpr u32 kMinRebasedTicks = 8;

// Message time-outs by baud code, in microseconds.
constexpr u32 cnt_table[13] = {150000, 150000, 150000, 150000, 150000, 26666, 26666,
                               26666,  26666,  26666,  26666,  26666,  26730};

SerialTimer tmr[kRctCount];
bool g_anyRunning = false;
RctCallback g_captureCallback = nullptr;

SerialTimer* Slot(int id) {
    if (id < 1 || id > kRctCount) return nullptr;
    return &tmr[id - 1];
}

void UpdateAnyRunning() {
    g_anyRunning = false;
    for (const SerialTimer& t : tmr)
        if (t.state == kRunning) g_anyRunning = true;
}

}  // namespace

u32 RCT_BaudTimeoutUs(u32 baudCode) {
    constexpr u32 kCodes = sizeof cnt_table / sizeof cnt_table[0];
    return baudCode < kCodes ? cnt_table[baudCode] : cnt_table[0];
}

void RCT_Init() {
    for (SerialTimer& t : tmr) t = SerialTimer{};
    g_anyRunning = false;
}

int RCT_Allocate(RctCallback callback) {
    for (int i = 0; i < kRctCount; ++i) {
        if (tmr[i].state == kFree) {
            tmr[i] = SerialTimer{};
            tmr[i].state = kStopped;
            tmr[i].callback = callback;
            return i + 1;
        }
    }
    return 0;
}

void RCT_Release(int id) {
    if (SerialTimer* t = Slot(id)) {
        *t = SerialTimer{};
        UpdateAnyRunning();
    }
}

void RCT_Stop(int id) {
    SerialTimer* t = Slot(id);
    if (!t || t->state == kFree) return;
    t->state = kStopped;
    UpdateAnyRunning();
}

void RCT_Set(int id, u32 value, int type) {
    SerialTimer* t = Slot(id);
    if (!t || t->state == kFree) return;
    if (type == kRctByBaudCode) {
        t->mode = kOneShot;
        t->period = RCT_BaudTimeoutUs(value) / 100;
    } else if (type == kRctPeriodic) {
        t->mode = kPeriodicMode;
        t->period = value / 100;
    } else {
        t->mode = kOneShot;
        t->period = value / 100;
    }
}

void RCT_Start(int id) {
    SerialTimer* t = Slot(id);
    if (!t || t->state == kFree || t->period == 0) return;
    const u32 now = FPGA_GetFrt();
    for (SerialTimer& other : tmr) {
        if (&other == t || other.state != kRunning) continue;
        const u32 elapsed = now - other.stamp;
        other.remaining = other.remaining > elapsed && other.remaining - elapsed > kMinRebasedTicks
                              ? other.remaining - elapsed
                              : kMinRebasedTicks;
        other.stamp = now;
    }
    t->remaining = t->period;
    t->stamp = now;
    t->state = kRunning;
    g_anyRunning = true;
}

void RctISR() {
    const u32 now = FPGA_GetFrt();
    for (SerialTimer& t : tmr) {
        if (t.state != kRunning) continue;
        const u32 elapsed = now - t.stamp;
        if (t.remaining < elapsed) {
            if (t.mode == kPeriodicMode) {
                // A periodic timer counts its next period from this poll.
                t.remaining = t.period;
                t.stamp = now;
            } else {
                t.state = kStopped;
            }
            if (t.callback) t.callback();
        } else {
            t.remaining -= elapsed;
            t.stamp = now;
        }
    }
    UpdateAnyRunning();
}

void RCT_RegCaptureCallback(RctCallback callback) { g_captureCallback = callback; }

bool RCT_AnyRunning() { return g_anyRunning; }
