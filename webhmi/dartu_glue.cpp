#include "webhmi/dartu_glue.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/bkuprstr.h"
#include "core/plc_regs.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_server.h"
#include "darTUsdk/dartusdk/dartu_sys.h"
#include "platform/clock.h"
#include "platform/cmdrun.h"
#include "platform/file_watch.h"
#include "platform/root.h"
#include "platform/rtclock.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "webhmi/dartu_items.h"
#include "webhmi/dartu_security.h"

std::atomic<u8> DartuServerState{kDartuStopped};
std::atomic<u8> DartuThreadCreated{0};
std::atomic<u8> DartuFtping{0};
std::atomic<u8> DartuServerStatus{0};
u8 dartuFtpStates = 0;
u8 dartu_error_page = 0;
u16 ConnectionTimeOut = 60;
u16 SessionTimeOut = 300;
u8 dartu_authentication_method = 2;
u16 darTU_global_config_file_size = 0;
pthread_mutex_t demoMutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
pthread_mutex_t DartuQueryFilterMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<u32> dartuThreadPasses{0};

namespace {

constexpr const char* kWatchFolder = "/mnt/USB0/darTU";
constexpr const char* kEndOfFtp = "/mnt/USB0/EndOfFTP.txt";
constexpr const char* kCertificate = "/mnt/USB0/server.pem";
// The thread waits this long for network activity between passes: an idle
// server keeps this pace, a busy one is served as its sockets wake it.
constexpr int kPassWaitMs = 5;

struct Watch {
    u8 absent = 0;  // never reset: a later absence reaches state 3 at once
    int fd = -1;
    int wd = -1;
};

// Written and read by the main-loop thread only.
bool g_mainHolds = false;
Watch g_watch;

bool Oem() { return OemSelection == 0x80; }

void ReleaseWatch() {
    if (g_watch.fd >= 0) {
        if (g_watch.wd >= 0) inotify_rm_watch(g_watch.fd, g_watch.wd);
        close(g_watch.fd);
    }
    g_watch.fd = g_watch.wd = -1;
}

bool Exists(const char* firmwarePath) { return access(Root_HostPath(firmwarePath).c_str(), F_OK) == 0; }

int dartu_create_inotify(int* instance, int* watch, const char* path, int creations) {
    *instance = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (*instance < 0) {
        std::perror("inotify_init");
        return 0;
    }
    *watch = inotify_add_watch(*instance, Root_HostPath(path).c_str(), creations ? IN_CREATE : IN_DELETE);
    if (*watch < 0) {
        std::perror("inotify_add_watch");
        close(*instance);
        *instance = -1;
        return 0;
    }
    return 1;
}

// 1 when the web root is gone (the watch is then released), else 0.
int dartu_check_inotify(int instance, int) {
    pollfd p{instance, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return 0;
    alignas(inotify_event) char events[32768];
    ssize_t n = read(instance, events, sizeof events);
    if (n < 0) {
        if (errno != EAGAIN) std::perror("read");
        return 0;
    }
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const inotify_event* e = reinterpret_cast<const inotify_event*>(events + at);
        const bool noName = e->len == 0;
        const bool rootGone = !(e->mask & IN_CREATE) && (e->mask & IN_DELETE) && (e->mask & IN_ISDIR) &&
                              std::strncmp(e->name, "wwwroot", e->len) == 0 && std::strlen(e->name) == 7;
        if (noName || rootGone) {
            ReleaseWatch();
            return 1;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    return 0;
}

void WriteStatusBit(u8 value) {
    u8 v = value ? 1 : 0;
    PlcReg_Set(kDartuStatusBitAddress, &v, 1);
}

// Unix seconds of the controller's clock (SR44-SR49), or -1.
i64 ControllerSeconds() {
    u16 words[6];
    for (int i = 0; i < 6; ++i) words[i] = SR_Get(44 + i);
    u64 s = 0;
    return UtcGet(words, &s) ? static_cast<i64>(s) : -1;
}

void WithDemoMutex(void (*fn)()) {
    pthread_mutex_lock(&demoMutex);
    fn();
    pthread_mutex_unlock(&demoMutex);
}

void dartu_thread_clear() {
    dartu_comm_mainloop_exit();
    dartu_server_clear();
    dartu_server_free();
    Dartu_ItemsForgetSubscriptions();
    if (DartuServerStatus.load() != 0) dartu_invalidate_all_user_login_details();
    dartu_clear_user_login_details();
    dartu_acccess_rights_clear();
    if (DartuServerStatus.load() != 0) {
        DartuServerStatus = 0;
        WriteStatusBit(0);
    }
}

int dartu_server_main() {
    DartuServerStatus = 0;
    WithDemoMutex([] { WriteStatusBit(0); });
    dartu_acccess_rights_clear();
    darTU_global_config_file_size = 0;
    char config[kDartuGlobalConfigMax] = {};
    dartu_read_file(config, sizeof config, (std::string(Dartu_Folder()) + "/config/darTUGlobal.cfg").c_str());
    if (darTU_global_config_file_size != 0) dartu_update_global_config_parameters(config);
    dartu_get_acccess_rights();
    darTU_global_config_file_size = 0;

    dartu_options_set_oem_variant(Oem());
    dartu_server_initialize();
    const std::string root = Root_HostPath(std::string(Dartu_Folder()) + "/wwwroot");
    dartu_options_set_web_root(root.c_str(), "index.htm;index.html");
    dartu_options_set_server_name(Oem() ? "VAQ_server" : "darTU_server");
    dartu_options_set_auth_options(dartu_authentication_method, Oem() ? "u5TAV" : "darTU");
    dartu_options_set_http_options(nullptr, 80);
    const std::string pem = Root_HostPath(kCertificate);
    dartu_options_set_https_options(nullptr, 443, pem.c_str(), nullptr);
    dartu_options_generate_temporary_rsa(1024, 0x10001);
    dartu_global_options()->server_level = kDartuLevelScada;

    dartu_global_options()->connection_timeout = ConnectionTimeOut ? ConnectionTimeOut : 60;
    dartu_global_options()->session_timeout = SessionTimeOut ? SessionTimeOut : 300;
    Dartu_InstallCallbacks();
    dartu_engine_set_clock(ControllerSeconds);
    dartu_server_prepare();
    dartu_server_mainloop();

    // Listening means a listener is open: a taken port leaves the bit at 0.
    DartuServerStatus = (dartu_comm_http_port() != 0 || dartu_comm_https_port() != 0) ? 1 : 0;
    if (ConnectionTimeOut == 0) ConnectionTimeOut = 60;
    if (SessionTimeOut == 0) SessionTimeOut = 300;
    WithDemoMutex([] { WriteStatusBit(DartuServerStatus.load()); });
    return 0;
}

void* dartu_Loop(void*) {
    dartu_server_main();
    // A stop requested during start-up stands: only a thread still in its
    // start-up state becomes running.
    u8 expected = kDartuCreated;
    DartuServerState.compare_exchange_strong(expected, kDartuRunning);
    for (;;) {
        dartu_comm_wait(kPassWaitMs);
        pthread_mutex_lock(&demoMutex);
        dartu_comm_mainloop_accept_conn(0);
        dartu_automatic_update_variables();
        dartuThreadPasses++;
        if (DartuServerState.load() == kDartuStop) break;
        pthread_mutex_unlock(&demoMutex);
    }
    dartu_sys_thread_shutdown_threads();
    dartu_thread_clear();
    DartuThreadCreated = 0;
    pthread_mutex_unlock(&demoMutex);
    // Only the stop this thread ended on becomes stopped: a start asked for
    // meanwhile (the main loop may already run the next thread) stands.
    u8 stopping = kDartuStop;
    DartuServerState.compare_exchange_strong(stopping, kDartuStopped);
    return nullptr;
}

}  // namespace

void Dartu_InstallCallbacks() {
    dartu_server_set_request_hook_callback(request_hook_callback);
    dartu_server_set_basic_callbacks_simple(dartu_read_data_simple_cb, dartu_write_data_simple_cb);
    dartu_server_set_basic_callbacks_multi(dartu_read_data_multi_cb, dartu_write_data_multi_cb);
    dartu_server_set_advanced_callbacks(dartu_subscribe_data_cb, dartu_unsubscribe_data_cb);
    dartu_engine_session_set_login_hooks(dartu_add_user_login_details, dartu_delete_user_login_details);
    dartu_server_set_auth_callbacks(nullptr, dartu_authentication_digest_cb, dartu_authentication_user_info_cb,
                                    nullptr);
}

const char* Dartu_Folder() { return Oem() ? "/mnt/USB0/u5TAV" : "/mnt/USB0/darTU"; }

void dartu_read_file(char* buffer, u32 capacity, const char* path) {
    if (capacity == 0) return;
    FILE* f = std::fopen(Root_HostPath(path).c_str(), "rb");
    if (!f) return;
    // At most capacity - 1 bytes: the text stays NUL-terminated.
    size_t n = std::fread(buffer, 1, capacity - 1, f);
    std::fclose(f);
    buffer[n] = 0;
    if (n > 0) darTU_global_config_file_size = static_cast<u16>(n);
}

int dartu_update_global_config_parameters(char* text) {
    const size_t size = std::strlen(text);
    size_t pos = 0;
    while (pos < size) {
        char* line = text + pos;
        char* nl = std::strchr(line, '\n');
        size_t len = nl ? static_cast<size_t>(nl - line) : std::strlen(line);
        pos += len + 1;
        if (nl) *nl = 0;
        char* colon = std::strchr(line, ':');
        if (!colon) continue;
        *colon = 0;
        const char* key = line;
        const char* value = colon + 1;
        if (std::strcmp(key, "KeepAlive") == 0) {
            long v = std::strtol(value, nullptr, 10);
            ConnectionTimeOut = static_cast<u16>(v < 0 ? 0 : (v > 65535 ? 65535 : v));
        } else if (std::strcmp(key, "InactivityTimeOut") == 0) {
            // Minutes; a value whose seconds exceed 16 bits is held at the
            // largest time instead of wrapping to a short one.
            long v = std::strtol(value, nullptr, 10);
            long s = v < 0 ? 0 : (v > 65535 / 60 ? 65535 : v * 60);
            SessionTimeOut = static_cast<u16>(s);
        } else if (std::strcmp(key, "Authentication") == 0) {
            dartu_authentication_method = std::strstr(value, "Basic") ? 1 : 2;
        }
    }
    return 0;
}

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
    if (pthread_create(&thread, &attr, dartu_Loop, nullptr) != 0) {
        // No thread: back to stopped, so that a later start can try again.
        DartuThreadCreated = 0;
        DartuServerState = kDartuStopped;
    }
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void dartu_check_ftp_state() {
    // The card check may have reset the state while a watch was open.
    if (dartuFtpStates == 0 && g_watch.fd >= 0) ReleaseWatch();
    switch (dartuFtpStates) {
        case 0:
            if (Exists(kWatchFolder)) {
                dartuFtpStates = 1;
            } else if (g_watch.absent <= 100) {
                g_watch.absent++;
            } else {
                g_watch.absent = 100;
                dartuFtpStates = 3;
            }
            break;
        case 1:
            // A folder that vanished since state 0 sends the watch back there.
            dartuFtpStates = dartu_create_inotify(&g_watch.fd, &g_watch.wd, kWatchFolder, 0) ? 2 : 0;
            break;
        case 2:
            if (dartu_check_inotify(g_watch.fd, g_watch.wd)) {
                DartuFtping = 1;
                DartuServerState = kDartuStop;
                dartuFtpStates = 4;
            }
            break;
        case 3:
            // Looked for again only once the card's folder changed.
            if (FileWatch_Changed(FileWatch_Add(kWatchFolder)) && Exists(kWatchFolder)) {
                dartuFtpStates = 4;
                DartuFtping = 1;
                DartuServerState = kDartuStop;
            }
            break;
        case 4:
            // The server starts again once no thread of it is left, whatever
            // state word the stop met: a stop that found no thread (during a
            // restart for a new address) is never answered by "stopped", and
            // a start asked for meanwhile waits for the end of the transfer.
            if (Exists(kEndOfFtp) && !DartuThreadCreated.load()) {
                SysCmd_Run("rm /mnt/USB0/EndOfFTP.txt");
                SysCmd_Run("sync");
                DartuFtping = 0;
                DartuServerState = kDartuStart;
                dartuFtpStates = 0;
            }
            break;
        default:
            dartuFtpStates = 0;
            break;
    }
}

bool Dartu_StopThread(int timeoutMs) {
    if (!DartuThreadCreated.load()) return true;
    bool held = g_mainHolds;
    Dartu_MainLoopGive();
    DartuServerState = kDartuStop;
    for (int waited = 0; DartuThreadCreated.load() && waited < timeoutMs; waited += 2) SleepHostMs(2);
    // The thread clears the flag just before it gives the mutex back.
    for (int waited = 0; DartuServerState.load() != kDartuStopped && waited < timeoutMs; waited += 2) SleepHostMs(2);
    if (held) Dartu_MainLoopTake();
    return !DartuThreadCreated.load();
}

void Dartu_Reset() {
    Dartu_StopThread(1000);
    Dartu_MainLoopGive();
    ReleaseWatch();
    g_watch = Watch{};
    DartuServerState = kDartuStopped;
    DartuThreadCreated = 0;
    DartuFtping = 0;
    DartuServerStatus = 0;
    dartuFtpStates = 0;
    dartu_error_page = 0;
    dartuThreadPasses = 0;
}
