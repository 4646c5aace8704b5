// Peers served by socat for the tests. SocatPair: two pseudo-terminals
// joined by socat, each reachable under a host path (a symbolic link): one
// where the controller expects its serial device, the other for the test's
// peer.
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

// A TCP echo on 127.0.0.1:port served by socat (one echo per connection).
class SocatTcpEcho {
public:
    explicit SocatTcpEcho(int port);
    ~SocatTcpEcho();
    SocatTcpEcho(const SocatTcpEcho&) = delete;
    SocatTcpEcho& operator=(const SocatTcpEcho&) = delete;
    // It accepts connections (waits up to 10 s).
    bool Ready();

private:
    int port_;
    pid_t pid_ = -1;
};
