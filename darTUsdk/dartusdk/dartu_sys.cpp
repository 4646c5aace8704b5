#include "darTUsdk/dartusdk/dartu_sys.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

constexpr const char* kRandomDevice = "/dev/urandom";
std::string g_randomDevice;  // empty: kRandomDevice

void* ThreadBody(void* arg) {
    dartu_thread_slot* slot = static_cast<dartu_thread_slot*>(arg);
    // The stop flag is cleared before the slot shows as running, so a stop
    // request made once it is running is never lost.
    slot->stop.store(0);
    slot->state.store(kDartuThreadRunning);
    slot->entry(slot);
    slot->stop.store(0);
    slot->state.store(kDartuThreadFinished);
    return nullptr;
}

void JoinAndFree(dartu_thread_slot& slot) {
    pthread_join(slot.thread, nullptr);
    slot.state.store(kDartuThreadFree);
    dartu_global_context()->thread_count--;
}

}  // namespace

dartu_thread_slot* dartu_sys_thread_start(dartu_thread_entry entry, void* argument) {
    dartu_global_context_t* ctx = dartu_global_context();
    dartu_thread_slot* slot = nullptr;
    for (dartu_thread_slot& s : ctx->threads) {
        u32 state = s.state.load();
        if (state == kDartuThreadFree) {
            slot = &s;
            break;
        }
        if (state == kDartuThreadFinished) {
            JoinAndFree(s);
            slot = &s;
            break;
        }
    }
    if (!slot) return nullptr;
    slot->state.store(kDartuThreadStarting);
    slot->stop.store(0);
    slot->entry = entry;
    slot->argument = argument;

    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    if (pthread_create(&slot->thread, nullptr, ThreadBody, slot) != 0) {
        slot->state.store(kDartuThreadFree);
        return nullptr;
    }
    ctx->thread_count++;
    return slot;
}

void dartu_sys_thread_tick() {
    for (dartu_thread_slot& s : dartu_global_context()->threads) {
        if (s.state.load() == kDartuThreadFinished) JoinAndFree(s);
    }
}

void dartu_sys_thread_shutdown_threads() {
    for (;;) {
        bool busy = false;
        for (dartu_thread_slot& s : dartu_global_context()->threads) {
            u32 state = s.state.load();
            if (state == kDartuThreadFinished) {
                JoinAndFree(s);
            } else if (state == kDartuThreadRunning) {
                s.stop.store(1);
                busy = true;
            } else if (state == kDartuThreadStarting) {
                busy = true;
            }
        }
        if (!busy) return;
        dartu_sys_sleep(200);
    }
}

void dartu_sys_sleep(u32 milliseconds) {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int dartu_sys_is_file(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int dartu_sys_is_directory(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

void dartu_sys_set_random_device(const char* path) { g_randomDevice = path ? path : ""; }

int dartu_sys_get_random_data(u8* destination, size_t count, int hex, int nonzero) {
    const char* device = g_randomDevice.empty() ? kRandomDevice : g_randomDevice.c_str();
    FILE* f = std::fopen(device, "rb");
    bool ok = f && std::fread(destination, 1, count, f) == count;
    if (ok && nonzero) {
        for (size_t i = 0; i < count && ok; ++i) {
            for (int draw = 0; draw < 8 && destination[i] == 0; ++draw) {
                if (std::fread(&destination[i], 1, 1, f) != 1) ok = false;
            }
            if (destination[i] == 0) destination[i] = 1;
        }
    }
    if (f) std::fclose(f);
    if (!ok) {
        dartu_options_log_error("Cannot fetch random data from /dev/urandom");
        std::memset(destination, 0, hex ? 2 * count + 1 : count);
        return -1;
    }
    if (hex) dartu_util_hex_encode(destination, count, reinterpret_cast<char*>(destination));
    return 0;
}
