#include "testsupport/firmware_process.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/board.h"
#include "testsupport/temp_root.h"

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0;; waited += 5) {
        if (condition()) return true;
        if (waited >= timeoutMs) return false;
        usleep(5000);
    }
}

namespace {

std::string MakeTempDir(const char* prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    if (!mkdtemp(tmpl.data())) return {};
    return tmpl;
}

}  // namespace

FirmwareProcess::FirmwareProcess() {
    workDir_ = MakeTempDir("plcfw-cwd-");
    logDir_ = MakeTempDir("plcfw-log-");
    outPath_ = logDir_ + "/output.txt";
}

FirmwareProcess::~FirmwareProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(workDir_, ec);
    std::filesystem::remove_all(logDir_, ec);
}

void FirmwareProcess::SetEnv(const std::string& name, const std::string& value) {
    for (auto& e : env_)
        if (e.first == name) {
            e.second = value;
            return;
        }
    env_.emplace_back(name, value);
}

bool FirmwareProcess::Start(const std::vector<std::string>& args) {
    if (pid_ > 0 && !exited_) return false;
    exited_ = false;
    status_ = 0;
    std::vector<std::string> words = {PLC_FIRMWARE_EXE};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    // The child's environment is made here: after the fork only
    // async-signal-safe calls are allowed.
    std::vector<std::string> envWords;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string word = *e;
        bool replaced = false;
        for (const auto& [name, value] : env_) replaced = replaced || word.rfind(name + "=", 0) == 0;
        if (!replaced) envWords.push_back(word);
    }
    for (const auto& [name, value] : env_)
        if (!value.empty()) envWords.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& w : envWords) envp.push_back(w.data());
    envp.push_back(nullptr);
    std::string nsPath = netns_.empty() ? std::string() : "/var/run/netns/" + netns_;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (!nsPath.empty()) {
            int ns = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(126);
            close(ns);
        }
        int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out < 0 || chdir(workDir_.c_str()) != 0) _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close(out);
        close(STDIN_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    pid_ = pid;
    // On a clock the test drives, the controller counts as busy from now
    // until it first waits, so no advance runs ahead of its start.
    std::string root;
    for (const auto& [name, value] : env_)
        if (name == "PLC_ROOT") root = value;
    RootScope scope(root);
    if (Board_ClockDriven()) Board_ClockNoteBusy(static_cast<u32>(pid));
    return true;
}

void FirmwareProcess::Signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

bool FirmwareProcess::WaitExit(int timeoutMs) {
    if (pid_ <= 0) return false;
    if (exited_) return true;
    bool done = WaitUntil(
        [&] {
            pid_t r = waitpid(pid_, &status_, WNOHANG);
            return r == pid_;
        },
        timeoutMs);
    if (!done) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    exited_ = true;
    return done;
}

bool FirmwareProcess::HasExited() {
    if (pid_ <= 0) return false;
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
}

int FirmwareProcess::ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
int FirmwareProcess::TermSignal() const { return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

std::string FirmwareProcess::Output() const {
    std::ifstream in(outPath_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FirmwareProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeoutMs);
}

std::vector<std::string> FirmwareProcess::WorkDirEntries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(workDir_, ec)) names.push_back(e.path().filename());
    return names;
}

std::vector<pid_t> FirmwareProcess::Children() const {
    std::vector<pid_t> out;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
    pid_t p;
    while (in >> p) out.push_back(p);
    return out;
}

bool WaitMainLoopPasses(int n, int timeoutMs) {
    BoardWatchdog w;
    Board_GetWatchdog(&w);
    u64 last = w.lastKeepAliveNs;
    int seen = 0;
    return WaitUntil(
        [&] {
            Board_GetWatchdog(&w);
            if (w.lastKeepAliveNs != last) {
                last = w.lastKeepAliveNs;
                ++seen;
            }
            return seen >= n;
        },
        timeoutMs);
}
