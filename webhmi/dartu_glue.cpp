#include "webhmi/dartu_glue.h"

#include <signal.h>
#include <time.h>

#include "platform/clock.h"

std::atomic<u8> DartuServerState{kDartuStopped};
std::atomic<u8> DartuThreadCreated{0};
std::atomic<u8> DartuFtping{0};
u8 dartuFtpStates = 0;
u8 dartu_error_page = 0;
pthread_mutex_t demoMutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
pthread_mutex_t DartuQueryFilterMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<u32> dartuThreadPasses{0};

namespace {

// Written and read by the main-loop thread only.
bool g_mainHolds = false;

void* ServerThread(void*) {
    for (;;) {
        if (DartuServerState.load() == kDartuStop) break;
        if (pthread_mutex_trylock(&demoMutex) == 0) {
            u8 expected = kDartuCreated;
            DartuServerState.compare_exchange_strong(expected, kDartuRunning);
            dartuThreadPasses++;
            pthread_mutex_unlock(&demoMutex);
        }
        // Host time: the thread only hands the lock back and forth; it has
        // no timing of the controller's own.
        SleepHostMs(2);
    }
    DartuServerState = kDartuStopped;
    DartuThreadCreated = 0;
    return nullptr;
}

}  // namespace

void Dartu_InitMutexes() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&demoMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    pthread_mutex_init(&DartuQueryFilterMutex, nullptr);
    g_mainHolds = false;
}

void Dartu_MainLoopTake() {
    if (g_mainHolds) return;
    if (pthread_mutex_lock(&demoMutex) == 0) g_mainHolds = true;
}

void Dartu_MainLoopGive() {
    if (!g_mainHolds) return;
    pthread_mutex_unlock(&demoMutex);
    g_mainHolds = false;
}

bool Dartu_MainLoopHolds() { return g_mainHolds; }

void dartu_thread_create() {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (pthread_create(&thread, &attr, ServerThread, nullptr) != 0) {
        DartuThreadCreated = 0;
        DartuServerState = kDartuStopped;
    }
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void dartu_check_ftp_state() {}

bool Dartu_StopThread(int timeoutMs) {
    if (!DartuThreadCreated.load()) return true;
    bool held = g_mainHolds;
    Dartu_MainLoopGive();
    DartuServerState = kDartuStop;
    for (int waited = 0; DartuThreadCreated.load() && waited < timeoutMs; waited += 2) SleepHostMs(2);
    if (held) Dartu_MainLoopTake();
    return !DartuThreadCreated.load();
}

void Dartu_Reset() {
    Dartu_StopThread(1000);
    Dartu_MainLoopGive();
    DartuServerState = kDartuStopped;
    DartuThreadCreated = 0;
    DartuFtping = 0;
    dartuFtpStates = 0;
    dartu_error_page = 0;
    dartuThreadPasses = 0;
}
