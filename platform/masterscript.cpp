#include "platform/masterscript.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/root.h"

int MasterFilePresent = -1;
int MasterScriptPipefd = -1;

namespace {

struct State {
    pid_t reader = 0;  // the reader child, 0 when none runs
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
    return true;
}
