#include "testsupport/tshark_capture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/fileio.h"
#include "testsupport/firmware_process.h"
#include "testsupport/shell.h"

bool TsharkCapture::Start(const std::string& netns, const std::string& iface, const std::string& filter,
                          const std::string& file, const std::function<void()>& probe) {
    if (access("/usr/bin/tshark", X_OK) != 0) return false;
    file_ = file;
    std::vector<std::string> args;
    if (!netns.empty()) args = {"/usr/sbin/ip", "netns", "exec", netns};
    for (const char* a : {"/usr/bin/tshark", "-l", "-P", "-i"}) args.push_back(a);
    args.push_back(iface);
    if (!filter.empty()) args.insert(args.end(), {"-f", filter});
    args.insert(args.end(), {"-w", file});
    pid_ = fork();
    if (pid_ == 0) {
        std::freopen((file + ".out").c_str(), "w", stdout);
        std::freopen((file + ".log").c_str(), "w", stderr);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid_ > 0 && WaitUntil(
                           [&] {
                               probe();
                               std::vector<u8> out;
                               return File_ReadAll(file + ".out", out, 1u << 20) && !out.empty();
                           },
                           30000);  // tshark starts slowly on a loaded machine
}

void TsharkCapture::Stop(int settleMs) {
    if (pid_ <= 0) return;
    if (settleMs > 0) usleep(static_cast<useconds_t>(settleMs) * 1000);
    kill(pid_, SIGINT);
    int st = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 10000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    pid_ = 0;
}

void TsharkCapture::StopAfterMarker(const std::function<std::string()>& marker) {
    if (pid_ <= 0) return;
    const std::string text = marker();
    if (!text.empty())
        WaitUntil(
            [&] {
                std::vector<u8> out;
                File_ReadAll(file_ + ".out", out, 1u << 24);
                return std::string(out.begin(), out.end()).find(text) != std::string::npos;
            },
            30000);
    Stop();
}

std::string TsharkCapture::Log() const { return Shell("cat " + file_ + ".log"); }
