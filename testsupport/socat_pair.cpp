#include "testsupport/socat_pair.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "testsupport/firmware_process.h"

SocatPair::SocatPair(const std::string& a, const std::string& b) : a_(a), b_(b) {
    pid_ = ::fork();
    if (pid_ == 0) {
        std::string l = "PTY,raw,echo=0,link=" + a, r = "PTY,raw,echo=0,link=" + b;
        ::execlp("socat", "socat", l.c_str(), r.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

SocatPair::~SocatPair() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool SocatPair::Ready() {
    return pid_ > 0 && WaitUntil([&] { return std::filesystem::exists(a_) && std::filesystem::exists(b_); }, 10000);
}
