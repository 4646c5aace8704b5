// Starts the real firmware executable in the current test root (PLC_ROOT of
// the test process) with its standard input closed, its output captured in
// a file, and its working directory an empty folder outside the root, and
// waits for it with bounded polls.
//
// Each process can be given an environment of its own (another root and
// port offset for a second controller beside the first) and a network
// namespace to start in (testsupport/net_namespace.h); the test process's
// own environment and namespace are never changed.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bytes.h"

class FirmwareProcess {
public:
    FirmwareProcess();
    ~FirmwareProcess();  // kills a process still running and removes its folders
    FirmwareProcess(const FirmwareProcess&) = delete;
    FirmwareProcess& operator=(const FirmwareProcess&) = delete;

    // Set before Start: a variable of this process's environment only (an
    // empty value removes the variable), and the named network namespace
    // (ip netns) that the process starts in.
    void SetEnv(const std::string& name, const std::string& value);
    void SetNetNamespace(const std::string& name) { netns_ = name; }

    bool Start(const std::vector<std::string>& args = {});
    pid_t Pid() const { return pid_; }
    bool Running() const { return pid_ > 0; }
    void Signal(int sig);
    // Waits for the process to end; false on time-out (it is then killed).
    bool WaitExit(int timeoutMs);
    // True once the process has ended (looks once, never waits or kills).
    bool HasExited();
    bool Exited() const { return exited_; }
    int ExitCode() const;     // -1 when it did not exit normally
    int TermSignal() const;   // 0 when it was not ended by a signal
    std::string Output() const;
    bool WaitForOutput(const std::string& text, int timeoutMs);
    // Names of the entries in the working directory (should stay empty).
    std::vector<std::string> WorkDirEntries() const;
    // Pids of the process's direct children.
    std::vector<pid_t> Children() const;

private:
    std::string workDir_, logDir_, outPath_, netns_;
    std::vector<std::pair<std::string, std::string>> env_;
    pid_t pid_ = 0;
    bool exited_ = false;
    int status_ = 0;
};

// Polls the condition every few milliseconds until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// Waits until the running controller has tickled its watchdog n more times,
// i.e. has run n more main-loop passes (the board must be open).
bool WaitMainLoopPasses(int n, int timeoutMs);
