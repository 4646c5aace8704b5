// Error texts, the toolkit clock, worker threads, random data, locks and
// file tests.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "darTUsdk/dartusdk/dartu_error.h"
#include "darTUsdk/dartusdk/dartu_lock.h"
#include "darTUsdk/dartusdk/dartu_sys.h"
#include "darTUsdk/dartusdk/dartu_timer.h"
#include "testsupport/firmware_process.h"
#include "testsupport/manual_clock.h"
#include "testsupport/temp_root.h"
#include "webhmi_fixture.h"

namespace {

class Toolkit : public WebHmiTest {};

// True while the thread sleeps in the kernel on a futex: it waits for a
// lock (the kernel names the system call a blocked thread is in).
bool BlockedInALock(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long call = -1;
    return static_cast<bool>(f >> call) && call == SYS_futex;
}

std::string ErrorJson(i32 code) {
    int n = dartu_util_write_errstrings(nullptr, 0, code);
    std::string s(static_cast<size_t>(n), '\0');
    EXPECT_EQ(dartu_util_write_errstrings(s.data(), s.size(), code), n);
    return s;
}

const char* AppErrorText(i32 code, void*, i32) { return code == 10001 ? "Value out of range" : nullptr; }

TEST_F(Toolkit, ErrorTexts) {
    EXPECT_EQ(ErrorJson(454), "\"X-DarTU is missing\"");
    EXPECT_EQ(ErrorJson(404), "\"Cannot convert error code to an error string\"");
    EXPECT_EQ(ErrorJson(10000), "\"Error fetching callback not set\"");
    EXPECT_EQ(ErrorJson(302), "\"Too many deferred read\\/write\\/query filter requests\"");
    const char* text = nullptr;
    dartu_get_error_strings(0, &text, nullptr);
    EXPECT_STREQ(text, "OK");
    dartu_get_error_strings(-5, &text, nullptr);
    EXPECT_STREQ(text, kDartuUnknownErrorText);
    // An application's texts come from its callback, table texts never do.
    dartu_global_context()->cb.error_text = AppErrorText;
    EXPECT_EQ(ErrorJson(10001), "\"Value out of range\"");
    EXPECT_EQ(ErrorJson(10002), "\"Error fetching callback not set\"");
    EXPECT_EQ(ErrorJson(900), "\"Out of memory\"");
}

TEST_F(Toolkit, ClockCountsHalfSecondsOfWholeSeconds) {
    ManualClock clock(0, 1000ull * 1000000000ull);
    // Two readings 1.5 s apart differ by 2 or 4, never by 3.
    for (u64 phaseMs : {0, 400, 600, 999}) {
        clock.AdvanceMs(1000 - (Clock_MonotonicNs() / 1000000) % 1000 + phaseMs);
        u64 a = 0;
        u64 b = 0;
        ASSERT_EQ(dartu_timer_get_time_imp(&a), 0);
        clock.AdvanceMs(1500);
        dartu_timer_get_time_imp(&b);
        EXPECT_EQ(b - a, phaseMs < 500 ? 2u : 4u) << phaseMs;
    }
    // The server clock stays 0 until the server timer starts.
    EXPECT_EQ(dartu_sys_get_current_monotonous_time(), 0u);
    clock.AdvanceMs(1000 - (Clock_MonotonicNs() / 1000000) % 1000);  // on a whole second
    dartu_timer_start_imp(&dartu_global_context()->server_timer);
    clock.AdvanceMs(2999);
    EXPECT_EQ(dartu_sys_get_current_monotonous_time(), 4u);
    clock.AdvanceMs(1);
    EXPECT_EQ(dartu_sys_get_current_monotonous_time(), 6u);
    dartu_timer_stop_imp(&dartu_global_context()->server_timer);
    clock.AdvanceMs(10000);
    EXPECT_EQ(dartu_sys_get_current_monotonous_time(), 6u);

    dartu_timer_init_imp(nullptr);  // the default timer
    dartu_timer_start_imp(nullptr);
    clock.AdvanceMs(1000);
    EXPECT_EQ(dartu_timer_elapsed_imp(nullptr), 2u);
}

struct WorkerControl {
    std::atomic<bool> finish{false};
    std::atomic<int> runs{0};
};

void Worker(dartu_thread_slot* slot) {
    WorkerControl* c = static_cast<WorkerControl*>(slot->argument);
    c->runs++;
    while (slot->stop.load() == 0 && !c->finish.load()) dartu_sys_sleep(20);
}

TEST_F(Toolkit, FourWorkerSlots) {
    WorkerControl busy;
    WorkerControl quick;
    dartu_thread_slot* slots[4];
    slots[0] = dartu_sys_thread_start(Worker, &quick);
    for (int i = 1; i < 4; ++i) slots[i] = dartu_sys_thread_start(Worker, &busy);
    for (dartu_thread_slot* s : slots) ASSERT_NE(s, nullptr);
    EXPECT_EQ(dartu_sys_thread_start(Worker, &busy), nullptr);
    EXPECT_EQ(dartu_global_context()->thread_count, 4);

    quick.finish = true;
    while (slots[0]->state.load() != kDartuThreadFinished) std::this_thread::yield();
    dartu_sys_thread_tick();
    EXPECT_EQ(slots[0]->state.load(), kDartuThreadFree);
    EXPECT_EQ(dartu_global_context()->thread_count, 3);
    EXPECT_EQ(dartu_sys_thread_start(Worker, &busy), slots[0]);

    // The busy workers never end by themselves (nothing sets their finish):
    // the shutdown ends only by asking them to stop. Bounded by a guard.
    auto shutdown = std::async(std::launch::async, [] { dartu_sys_thread_shutdown_threads(); });
    ASSERT_EQ(shutdown.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_FALSE(busy.finish.load());
    EXPECT_EQ(dartu_global_context()->thread_count, 0);
    for (dartu_thread_slot* s : slots) EXPECT_EQ(s->state.load(), kDartuThreadFree);
    EXPECT_EQ(busy.runs.load(), 4);
}

std::string WriteFile(TempRoot& root, const char* name, const std::string& bytes) {
    std::string path = root.Path(std::string("/dev/shm/") + name);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

TEST_F(Toolkit, RandomData) {
    u8 hex[17];
    std::memset(hex, 0xAA, sizeof hex);
    ASSERT_EQ(dartu_sys_get_random_data(hex, 8, 1, 0), 0);
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(std::strchr("0123456789abcdef", hex[i]) && hex[i]) << i;
    EXPECT_EQ(hex[16], 0);

    u8 many[4096];
    ASSERT_EQ(dartu_sys_get_random_data(many, sizeof many, 0, 1), 0);
    for (u8 b : many) ASSERT_NE(b, 0);

    // A zero byte is drawn again up to 8 times, and becomes 1 after 8 zeros.
    TempRoot root;
    std::string zeros = WriteFile(root, "zeros", std::string("\0\0\0\0\x07", 5) + std::string(8, '\0'));
    dartu_sys_set_random_device(zeros.c_str());
    u8 two[2];
    EXPECT_EQ(dartu_sys_get_random_data(two, 2, 0, 1), 0);
    EXPECT_EQ(two[0], 7);
    EXPECT_EQ(two[1], 1);

    // A device that gives too few bytes fails, and nothing of the
    // destination's earlier contents is handed back as random.
    std::string shortFile = WriteFile(root, "short", "abc");
    for (const std::string& device : {shortFile, root.Path("/dev/shm/missing")}) {
        dartu_sys_set_random_device(device.c_str());
        u8 out[9];
        std::memset(out, 0x5A, sizeof out);
        EXPECT_EQ(dartu_sys_get_random_data(out, 4, 1, 0), -1) << device;
        for (u8 b : out) EXPECT_EQ(b, 0) << device;
    }
    u8 nonzero[4];
    dartu_sys_set_random_device(zeros.c_str());
    EXPECT_EQ(dartu_sys_get_random_data(nonzero, 4, 0, 1), -1);  // redraws run out of bytes
    dartu_sys_set_random_device(nullptr);
    EXPECT_EQ(CountLogged("Cannot fetch random data from /dev/urandom"), 3);
}

TEST_F(Toolkit, MutexIsRecursive) {
    dartu_mutex m;
    ASSERT_EQ(dartu_lock_mutex_initialize(&m), 0);
    ASSERT_EQ(dartu_lock_mutex_lock(&m), 0);
    ASSERT_EQ(dartu_lock_mutex_lock(&m), 0);
    EXPECT_EQ(dartu_lock_mutex_unlock(&m), 0);
    // Still held once: another thread cannot take it.
    EXPECT_EQ(std::async(std::launch::async, [&] { return pthread_mutex_trylock(&m.m); }).get(), EBUSY);
    EXPECT_EQ(dartu_lock_mutex_unlock(&m), 0);
    EXPECT_EQ(std::async(std::launch::async, [&] {
                  int r = pthread_mutex_trylock(&m.m);
                  if (r == 0) pthread_mutex_unlock(&m.m);
                  return r;
              }).get(),
              0);
    EXPECT_EQ(dartu_lock_mutex_destroy(&m), 0);
}

TEST_F(Toolkit, ReadWriteLockLetsReadersPastAWaitingWriter) {
    dartu_rwlock l;
    dartu_lock_rw_init(&l);
    dartu_lock_rw_lock_read(&l);
    std::atomic<bool> wrote{false};
    std::atomic<pid_t> writerTid{0};
    std::thread writer([&] {
        writerTid = gettid();
        dartu_lock_rw_lock_write(&l);
        wrote = true;
        dartu_lock_rw_unlock_write(&l);
    });
    // Wait until the writer has queued up (it sleeps in the lock); a
    // writer-preferring lock would now hold back the second reader until
    // the first one leaves.
    ASSERT_TRUE(WaitUntil([&] { return writerTid != 0 && BlockedInALock(writerTid); }, 20000));
    auto reader = std::async(std::launch::async, [&] {
        dartu_lock_rw_lock_read(&l);
        dartu_lock_rw_unlock_read(&l);
        return true;
    });
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(wrote.load());
    dartu_lock_rw_unlock_read(&l);
    writer.join();
    EXPECT_TRUE(wrote.load());
    dartu_lock_rw_destroy(&l);
}

TEST(ToolkitDeath, RefusedReadWriteLockOperationStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            dartu_rwlock l;
            dartu_lock_rw_init(&l);
            dartu_lock_rw_lock_write(&l);
            dartu_lock_rw_lock_write(&l);  // the holder again: refused with EDEADLK
        },
        "ret == 0");
}

TEST(ToolkitFiles, FileAndDirectoryTestsFollowLinks) {
    TempRoot root;
    std::string file = root.Path("/mnt/USB0/a.htm");
    std::string dir = root.Path("/mnt/USB0");
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    std::filesystem::create_symlink(file, root.Path("/mnt/USB0/link.htm"));
    std::filesystem::create_directory_symlink(dir, root.Path("/mnt/dirlink"));
    std::filesystem::create_symlink(root.Path("/nowhere"), root.Path("/mnt/dangling"));
    struct Case {
        std::string path;
        int file;
        int dir;
    } cases[] = {
        {file, 1, 0}, {dir, 0, 1}, {root.Path("/mnt/USB0/link.htm"), 1, 0}, {root.Path("/mnt/dirlink"), 0, 1},
        {root.Path("/mnt/dangling"), 0, 0}, {root.Path("/mnt/none"), 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dartu_sys_is_file(c.path.c_str()), c.file) << c.path;
        EXPECT_EQ(dartu_sys_is_directory(c.path.c_str()), c.dir) << c.path;
    }
}

}  // namespace
