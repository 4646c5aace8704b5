#include "platform/file_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/root.h"
#include "platform/service.h"

namespace {

constexpr size_t kMaxWatches = 32;
constexpr u32 kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

struct Watch {
    std::string path;     // firmware path
    std::string root;     // root the watch was set under
    int wd = -1;          // watch of the nearest existing folder, -1: none
    bool changed = true;  // the first look reads the file
};

struct State {
    int fd = -1;
    std::vector<Watch> watches;
};
State g;

bool IsDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Watches the file's folder, or the nearest one above it that exists.
void Arm(Watch& w) {
    w.root = Root_Dir();
    w.wd = -1;
    if (g.fd < 0) return;
    std::string folder = Root_HostPath(w.path);
    for (;;) {
        size_t slash = folder.find_last_of('/');
        if (slash == std::string::npos || slash == 0) return;
        folder.resize(slash);
        if (IsDir(folder)) break;
    }
    w.wd = inotify_add_watch(g.fd, folder.c_str(), kEvents);
}

void Open() {
    if (g.fd >= 0) return;
    g.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    Service_Forget(g.fd);
}

// Takes the events the wait saw (or, without a wait that polled the
// descriptor, whatever is there) and marks the watches they touch.
void Drain() {
    if (g.fd < 0) return;
    int seen = Service_Ready(g.fd, POLLIN);
    if (seen == 0) return;
    alignas(inotify_event) char events[4096];
    for (;;) {
        ssize_t n = read(g.fd, events, sizeof events);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const inotify_event* e = reinterpret_cast<const inotify_event*>(events + at);
            for (Watch& w : g.watches) {
                // An overflow loses events: every watch looks again.
                if (w.wd == e->wd || (e->mask & IN_Q_OVERFLOW)) w.changed = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    Service_Consume(g.fd);
    // A folder may have appeared or gone: watch the nearest one again.
    for (Watch& w : g.watches)
        if (w.changed) Arm(w);
}

}  // namespace

int FileWatch_Add(const char* firmwarePath) {
    for (size_t i = 0; i < g.watches.size(); ++i)
        if (g.watches[i].path == firmwarePath) return static_cast<int>(i);
    if (g.watches.size() >= kMaxWatches) return -1;
    Open();
    g.watches.push_back(Watch{firmwarePath});
    Arm(g.watches.back());
    return static_cast<int>(g.watches.size() - 1);
}

bool FileWatch_Changed(int handle) {
    if (handle < 0 || static_cast<size_t>(handle) >= g.watches.size()) return true;
    Watch& w = g.watches[static_cast<size_t>(handle)];
    if (w.root != Root_Dir()) {
        Arm(w);
        w.changed = true;
    }
    Drain();
    // Without a watch (no inotify, no folder at all) every look reads.
    bool changed = w.changed || w.wd < 0;
    w.changed = false;
    return changed;
}

void FileWatch_Descriptors(std::vector<pollfd>& fds) {
    if (g.fd >= 0) fds.push_back({g.fd, POLLIN, 0});
}

u32 FileWatch_Step(u32 now) {
    Drain();
    return Service_NextTick(now);
}

void FileWatch_Reset() {
    if (g.fd >= 0) close(g.fd);
    g = State{};
}
