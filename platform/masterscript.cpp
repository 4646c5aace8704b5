#include "platform/masterscript.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/fileio.h"
#include "platform/root.h"

int MasterFilePresent = -1;
int MasterScriptPipefd = -1;

namespace {

struct State {
    pid_t reader = 0;  // the reader child, 0 when none runs
    unsigned dns[4] = {};  // name server of each interface from its DNS line, 0 when none
};
State g;

// Only async-signal-safe calls run here (the process may have other threads
// when it forks).
[[noreturn]] void Reader(int logFd) {
    char buffer[512];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0) _exit(0);
        if (n < 0) {
            if (errno == EINTR) continue;
            _exit(1);
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(logFd, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                _exit(1);
            }
            done += w;
        }
    }
}

// The script writes the name server of a DNS line into the resolver file:
// one line per interface that has one, in interface order.
void ApplyDnsLine(const std::string& line) {
    int kind = 0, a = 0, b = 0, c = 0, d = 0;
    long port = 0;
    if (std::sscanf(line.c_str(), "dnsSet_%d_%ld_%d.%d.%d.%d", &kind, &port, &a, &b, &c, &d) != 6) return;
    if (port < 0 || port > 3 || a < 0 || a > 255 || b < 0 || b > 255 || c < 0 || c > 255 || d < 0 || d > 255) return;
    g.dns[port] = (static_cast<unsigned>(a) << 24) | (static_cast<unsigned>(b) << 16) |
                  (static_cast<unsigned>(c) << 8) | static_cast<unsigned>(d);
    std::string text;
    for (unsigned v : g.dns)
        if (v != 0)
            text += "nameserver " + std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." +
                    std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255) + "\n";
    std::string path = Root_HostPath("/etc/resolv.conf");
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    File_WriteAtomic(path, text.data(), text.size());
}

}  // namespace

void MasterScript_BindChildToParent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
}

void MasterScript_EndChild(pid_t& pid, int graceMs) {
    if (pid <= 0) return;
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    for (int waited = 0; r == 0 && waited < graceMs; waited += 5) {
        SleepHostMs(5);
        r = waitpid(pid, &status, WNOHANG);
    }
    if (r == 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid = 0;
}

void MasterScript_Start() {
    struct stat st;
    MasterFilePresent = stat(Root_HostPath(kMasterScriptPath).c_str(), &st);
    if (MasterFilePresent != 0) return;
    MasterScript_EndChild(g.reader, 0);
    if (MasterScriptPipefd >= 0) {
        close(MasterScriptPipefd);
        MasterScriptPipefd = -1;
    }
    std::string logPath = Root_HostPath(kMasterScriptLogPath);
    int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        MasterFilePresent = -1;
        if (logFd >= 0) close(logFd);
        return;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "FORK failed\n");
        close(fds[0]);
        close(fds[1]);
        if (logFd >= 0) close(logFd);
        MasterFilePresent = -1;
        return;
    }
    if (pid == 0) {
        MasterScript_BindChildToParent(parent);
        close(fds[1]);
        if (dup2(fds[0], STDIN_FILENO) < 0) {
            const char msg[] = "dup2[0]\n";
            ssize_t r = write(STDERR_FILENO, msg, sizeof msg - 1);
            (void)r;
            _exit(1);
        }
        if (logFd < 0) _exit(1);
        Reader(logFd);
    }
    close(fds[0]);
    if (logFd >= 0) close(logFd);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    MasterScriptPipefd = fds[1];
    g.reader = pid;
}

void MasterScript_End() {
    if (MasterScriptPipefd >= 0) {
        close(MasterScriptPipefd);
        MasterScriptPipefd = -1;
    }
    MasterScript_EndChild(g.reader, 500);
}

bool MasterScript_Write(const char* line) {
    if (MasterFilePresent != 0 || MasterScriptPipefd < 0 || line == nullptr) return false;
    std::string text(line);
    if (text.empty() || text.back() != '\n') text += '\n';
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(MasterScriptPipefd, text.data() + done, text.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    if (text.compare(0, 7, "dnsSet_") == 0) ApplyDnsLine(text);
    return true;
}
