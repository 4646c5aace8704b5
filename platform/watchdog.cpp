#include "platform/watchdog.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/board.h"
#include "platform/clock.h"
#include "platform/reset.h"
#include "platform/root.h"

namespace {

constexpr u64 kNsPerS = 1000000000ull;
constexpr auto kMonitorPeriod = std::chrono::milliseconds(100);
constexpr u64 kMonitorPeriodNs = 100000000ull;

struct WatchdogState {
    int fd = -1;            // open descriptor, -1 when closed
    bool counting = false;  // started and not stopped by the magic close
    bool magicArmed = false;
    int timeoutS = kWatchdogDefaultTimeoutS;
    u64 lastKeepAliveNs = 0;
    WatchdogResetAction action = nullptr;  // nullptr: DefaultReset
    bool monitorWanted = true;
    long stallAfter = 0;  // PLC_TEST_HANG_AFTER: keep-alive writes before the device stalls its writer
    long writes = 0;
};

std::mutex g_mutex;
WatchdogState g_wd;
volatile sig_atomic_t g_signalStopped = 0;

void DefaultReset() {
    std::fprintf(stderr, "watchdog: not kept alive, resetting the controller\n");
    std::fflush(stderr);
    _exit(kExitWarmReset);
}

// The monitor thread. Created on the first open and stopped by
// Watchdog_Reset or at process exit (its holder is a function-local static,
// so it goes before the file-level state of the other modules). A forked
// child has no such thread: it only forgets the parent's.
class Monitor {
public:
    ~Monitor() { Stop(); }
    void Start() {
        std::lock_guard<std::mutex> lock(m_);
        if (thread_ && owner_ == getpid()) return;
        stop_ = false;
        owner_ = getpid();
        thread_ = new std::thread([this] { Run(); });
    }
    void Stop() {
        if (!thread_) return;
        if (owner_ != getpid()) {
            thread_ = nullptr;  // the parent's thread object: never joined here
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_->join();
        delete thread_;
        thread_ = nullptr;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_);
        while (!stop_) {
            if (Clock_IsBoard()) {
                // On a clock the test drives, look every 100 ms of that
                // clock, as a noted waiter; a stop is seen within 50 ms.
                const u64 deadline = Clock_MonotonicNs() + kMonitorPeriodNs;
                lock.unlock();
                while (!Board_ClockWait(deadline, 50) && !StopRequested()) {
                }
                lock.lock();
            } else {
                cv_.wait_for(lock, kMonitorPeriod);
            }
            if (stop_) break;
            lock.unlock();
            Watchdog_Poll();
            lock.lock();
        }
    }
    bool StopRequested() {
        std::lock_guard<std::mutex> lock(m_);
        return stop_;
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::thread* thread_ = nullptr;
    pid_t owner_ = 0;
    bool stop_ = false;
};

Monitor& TheMonitor() {
    static Monitor monitor;
    return monitor;
}

int TimeLeftLocked(u64 now) {
    if (!g_wd.counting || g_signalStopped) return g_wd.timeoutS;
    u64 limit = static_cast<u64>(g_wd.timeoutS) * kNsPerS;
    u64 elapsed = now - g_wd.lastKeepAliveNs;
    if (elapsed >= limit) return 0;
    return static_cast<int>((limit - elapsed) / kNsPerS);
}

// Mirrors the state into the board record for the board tool.
void PublishLocked(u64 now, bool fired) {
    BoardWatchdog b;
    Board_GetWatchdog(&b);
    b.open = g_wd.fd >= 0 && !g_signalStopped ? 1 : 0;
    b.enabled = g_wd.counting && !g_signalStopped ? 1 : 0;
    b.timeoutS = static_cast<u32>(g_wd.timeoutS);
    b.timeLeftS = static_cast<u32>(TimeLeftLocked(now));
    b.lastKeepAliveNs = g_wd.lastKeepAliveNs;
    if (fired) ++b.resets;
    Board_SetWatchdog(b);
}

bool GoodFd(int fd) { return fd >= 0 && fd == g_wd.fd; }

void KeepAliveLocked() {
    g_wd.lastKeepAliveNs = Clock_MonotonicNs();
    PublishLocked(g_wd.lastKeepAliveNs, false);
}

}  // namespace

int Watchdog_Open() {
    bool startMonitor;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_wd.fd >= 0) return -1;  // the device admits one user
        int fd = open(Root_HostPath(kWatchdogDevice).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        g_wd.fd = fd;
        g_wd.counting = true;
        g_wd.magicArmed = false;
        g_wd.writes = 0;
        g_wd.stallAfter = 0;
        if (const char* s = std::getenv("PLC_TEST_HANG_AFTER")) g_wd.stallAfter = std::strtol(s, nullptr, 10);
        KeepAliveLocked();
        startMonitor = g_wd.monitorWanted;
    }
    if (startMonitor) TheMonitor().Start();
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_wd.fd;
}

long Watchdog_Write(int fd, const void* data, size_t count) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!GoodFd(fd)) return -1;
    if (count == 0) return 0;
    const char* p = static_cast<const char*>(data);
    if (g_wd.stallAfter > 0 && ++g_wd.writes >= g_wd.stallAfter) {
        // The injected fault of the simulated board: the device never returns
        // from this write, so its writer (the main loop) hangs and the
        // watchdog, still counting, resets the controller.
        lock.unlock();
        std::fputs("main loop hangs: the watchdog device stalls its writer\n", stdout);
        std::fflush(stdout);
        for (;;) SleepMs(1000);
    }
    g_wd.magicArmed = false;
    for (size_t i = 0; i < count; ++i)
        if (p[i] == 'V') g_wd.magicArmed = true;
    g_wd.counting = true;
    KeepAliveLocked();
    return static_cast<long>(count);
}

int Watchdog_KeepAlive(int fd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!GoodFd(fd)) return -1;
    KeepAliveLocked();
    return 0;
}

int Watchdog_SetTimeout(int fd, int seconds) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!GoodFd(fd) || seconds < 1 || seconds > kWatchdogMaxTimeoutS) return -1;
    g_wd.timeoutS = seconds;
    KeepAliveLocked();
    return 0;
}

int Watchdog_GetTimeout(int fd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return GoodFd(fd) ? g_wd.timeoutS : -1;
}

int Watchdog_TimeLeft(int fd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!GoodFd(fd)) return -1;
    u64 now = Clock_MonotonicNs();
    PublishLocked(now, false);
    return TimeLeftLocked(now);
}

int Watchdog_Close(int fd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!GoodFd(fd)) return -1;
    close(g_wd.fd);
    g_wd.fd = -1;
    if (g_wd.magicArmed) g_wd.counting = false;
    g_wd.magicArmed = false;
    PublishLocked(Clock_MonotonicNs(), false);
    return 0;
}

bool Watchdog_Poll() {
    if (g_signalStopped) return false;
    WatchdogResetAction action;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_wd.counting) return false;
        u64 now = Clock_MonotonicNs();
        bool expired = now - g_wd.lastKeepAliveNs >= static_cast<u64>(g_wd.timeoutS) * kNsPerS;
        if (!expired) {
            PublishLocked(now, false);
            return false;
        }
        // One reset per expiry: the board restarts with the watchdog off.
        g_wd.counting = false;
        PublishLocked(now, true);
        action = g_wd.action ? g_wd.action : DefaultReset;
    }
    action();
    return true;
}

void Watchdog_SetResetAction(WatchdogResetAction action) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_wd.action = action;
}

void Watchdog_SetMonitor(bool on) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_wd.monitorWanted = on;
    }
    if (!on) TheMonitor().Stop();
}

void Watchdog_StopFromSignal() {
    g_signalStopped = 1;
    BoardWatchdog b;
    Board_GetWatchdog(&b);
    b.enabled = 0;
    b.open = 0;
    Board_SetWatchdog(b);
}

void Watchdog_Reset() {
    TheMonitor().Stop();
    g_signalStopped = 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_wd.fd >= 0) close(g_wd.fd);
    g_wd = WatchdogState();
}
