#include "testsupport/socat_pair.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "testsupport/firmware_process.h"
#include "testsupport/loopback.h"

SocatPair::SocatPair(const std::string& a, const std::string& b) : a_(a), b_(b) {
    pid_ = ::fork();
    if (pid_ == 0) {
        std::string l = "PTY,raw,echo=0,link=" + a, r = "PTY,raw,echo=0,link=" + b;
        ::execlp("socat", "socat", l.c_str(), r.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

namespace {
void Finish(pid_t pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
}
}  // namespace

SocatPair::~SocatPair() { Finish(pid_); }

bool SocatPair::Ready() {
    return pid_ > 0 && WaitUntil([&] { return std::filesystem::exists(a_) && std::filesystem::exists(b_); }, 10000);
}

SocatTcpEcho::SocatTcpEcho(int port) : port_(port) {
    pid_ = ::fork();
    if (pid_ == 0) {
        std::string listen = "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork";
        ::execlp("socat", "socat", listen.c_str(), "PIPE", static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

SocatTcpEcho::~SocatTcpEcho() { Finish(pid_); }

bool SocatTcpEcho::Ready() {
    return pid_ > 0 && WaitUntil(
                           [&] {
                               int fd = ConnectLoopback(port_);
                               if (fd < 0) return false;
                               ::close(fd);
                               return true;
                           },
                           10000);
}
