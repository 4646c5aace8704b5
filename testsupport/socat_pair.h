// Two pseudo-terminals joined by socat, each reachable under a host path (a
// symbolic link): one where the controller expects its serial device, the
// other for the test's peer.
#pragma once

#include <sys/types.h>

#include <string>

class SocatPair {
public:
    SocatPair(const std::string& a, const std::string& b);
    ~SocatPair();
    SocatPair(const SocatPair&) = delete;
    SocatPair& operator=(const SocatPair&) = delete;
    // Both links are there (waits up to 10 s).
    bool Ready();

private:
    std::string a_, b_;
    pid_t pid_ = -1;
};
