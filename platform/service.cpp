#include "platform/service.h"

#include <time.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/fpga.h"

ServiceList serviceList;

namespace {

struct State {
    int capMs = -1;
    std::vector<pollfd> fds;  // kept between waits so a wait allocates nothing
    bool seen = false;        // fds holds what the last wait saw
    u64 seenNs = 0;           // host time at which it saw it
};
State g;

// A pass this long after its wait looks at its descriptors again.
constexpr u64 kRefreshNs = 50000;

// Host time, not the controller's: how long a pass has really run, also on
// a clock a test drives.
u64 HostNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<u64>(ts.tv_sec) * 1000000000ull + static_cast<u64>(ts.tv_nsec);
}

// Calls f for every entry of the last wait that polled fd.
template <typename F>
void EachSeen(int fd, F f) {
    if (!g.seen || fd < 0) return;
    for (pollfd& p : g.fds)
        if (p.fd == fd) f(p);
}

int Polled(int r) {
    g.seen = r >= 0;
    if (g.seen) g.seenNs = HostNs();
    return r > 0 ? r : 0;
}

}  // namespace

void ServiceList_Check(NeighbourCheck& check) {
    if (serviceList.count == 0 || serviceList.entries == nullptr) {
        check.Require("serviceList", "entries", static_cast<void (*)()>(nullptr));
        return;
    }
    for (u32 i = 0; i < serviceList.count; ++i) {
        const Service& s = serviceList.entries[i];
        const char* name = s.name != nullptr ? s.name : "unnamed";
        if (s.name == nullptr) check.Require("serviceList", "name", static_cast<void (*)()>(nullptr));
        check.Require("serviceList", name, s.step);
    }
}

void Service_InitAll() {
    for (u32 i = 0; i < serviceList.count; ++i)
        if (serviceList.entries[i].init != nullptr) serviceList.entries[i].init();
}

void Service_StopAll() {
    for (u32 i = serviceList.count; i-- > 0;)
        if (serviceList.entries[i].stop != nullptr) serviceList.entries[i].stop();
}

u32 Service_Pass(u32 now) {
    u32 due = Service_NextTick(now);
    for (u32 i = 0; i < serviceList.count; ++i) due = Service_Earlier(due, serviceList.entries[i].step(now));
    return due;
}

void Service_Descriptors(std::vector<pollfd>& fds) {
    for (u32 i = 0; i < serviceList.count; ++i)
        if (serviceList.entries[i].descriptors != nullptr) serviceList.entries[i].descriptors(fds);
}

int Service_Ready(int fd, short events) {
    int ready = -1;
    EachSeen(fd, [&](const pollfd& p) {
        if ((p.events & events) == events && ready < 0) ready = p.revents;
    });
    return ready;
}

void Service_Consume(int fd) {
    EachSeen(fd, [](pollfd& p) { p.revents = 0; });
}

void Service_Forget(int fd) {
    EachSeen(fd, [](pollfd& p) { p.fd = -1; });
}

void Service_Refresh() {
    if (!g.seen || g.fds.empty()) return;
    const u64 now = HostNs();
    if (now - g.seenNs < kRefreshNs) return;
    // Descriptors forgotten since the wait are negative and not looked at.
    if (poll(g.fds.data(), g.fds.size(), 0) < 0) {
        g.seen = false;  // the steps ask the kernel themselves
        return;
    }
    g.seenNs = now;
}

int Service_IdleWait(u32 due) {
    g.seen = false;
    if (g.capMs == 0) return 0;
    u32 now = FPGA_GetFrt();
    g.fds.clear();
    Service_Descriptors(g.fds);
    // Already due: no wait, but one look at every descriptor, so that the
    // steps of the next pass know which have input without asking each.
    if (!Service_Before(now, due)) return Polled(poll(g.fds.data(), g.fds.size(), 0));
    // Round up: a wait that ends early would only spin through another pass.
    int ms = static_cast<int>((due - now + 9u) / 10u);
    if (g.capMs > 0 && ms > g.capMs) ms = g.capMs;
    if (Clock_IsBoard()) {
        // The test moves the time: wait in short host slices until it has
        // moved past the due time or a descriptor is ready. The deadline is
        // noted on the board, so the test knows this pass has been run.
        Clock_NoteDeadline(Clock_MonotonicNs() + static_cast<u64>(due - now) * 100000ull);
        int r = -1;
        while (r <= 0 && Service_Before(FPGA_GetFrt(), due)) r = poll(g.fds.data(), g.fds.size(), 1);
        // Woken, by time or by input: busy with the pass until the next wait.
        Clock_NoteDeadline(0);
        return Polled(r);
    }
    // On a clock that is advanced by hand no due time comes by waiting: the
    // wait only gives peers the old millisecond to answer.
    if (Clock_IsManual() && ms > 1) ms = 1;
    return Polled(poll(g.fds.data(), g.fds.size(), ms));
}

void Service_SetIdleCapMs(int ms) { g.capMs = ms; }
int Service_IdleCapMs() { return g.capMs; }
