#include "storage/file.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include <mutex>

i16 CopyRet = 0;
i16 DeleteRet = 0;

namespace {

std::mutex g_lock;
pid_t g_pid[2];

int Index(FileJob job) { return job == FileJob::kCopy ? 0 : 1; }
i16& Result(int i) { return i == 0 ? CopyRet : DeleteRet; }

// Ends the child by pid and reaps it. The child is still ours (not reaped
// before), so the pid cannot belong to another process.
void EndChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace

void File_RecordJob(FileJob job, pid_t child) {
    std::lock_guard<std::mutex> lock(g_lock);
    int i = Index(job);
    g_pid[i] = child;
    if (child > 0) Result(i) = -2;
}

pid_t File_JobPid(FileJob job) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_pid[Index(job)];
}

void File_PollJobs() {
    std::lock_guard<std::mutex> lock(g_lock);
    for (int i = 0; i < 2; ++i) {
        if (g_pid[i] <= 0) continue;
        int status = 0;
        if (waitpid(g_pid[i], &status, WNOHANG) == g_pid[i]) {
            Result(i) = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 5;
            g_pid[i] = 0;
        }
    }
}

void File_StopJobs() {
    std::lock_guard<std::mutex> lock(g_lock);
    for (int i = 0; i < 2; ++i) {
        if (g_pid[i] <= 0) continue;
        EndChild(g_pid[i]);
        Result(i) = -4;
        g_pid[i] = 0;
    }
}

void File_Reset() {
    File_StopJobs();
    std::lock_guard<std::mutex> lock(g_lock);
    CopyRet = 0;
    DeleteRet = 0;
}
