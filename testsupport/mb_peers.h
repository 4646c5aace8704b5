// What the runtime Modbus tests share with their peers (mbpoll, pymodbus,
// socat): a free loopback port, a peer's output file, a bounded wait, and
// the runtime's serial port lent as one end of a socat pty pair.
#pragma once

#include <functional>
#include <string>

#include "testsupport/net_namespace.h"

// The whole file ("" when it does not exist).
std::string ReadTextFile(const std::string& path);
// Checks the condition every 2 ms of host time, at most `rounds` times (a
// guard against a peer that never comes, not a measure of time).
bool PollUntil(const std::function<bool()>& done, int rounds = 2500);

// socat joins two ptys, linked as dir/plc and dir/peer; the plc end is what
// the programming link lends the IEC runtime as its serial port (system
// register 163 = 0) while the object lives. Ok() is false when socat is
// missing or did not make the pair.
class LentPty {
public:
    explicit LentPty(const std::string& dir);
    ~LentPty();
    LentPty(const LentPty&) = delete;
    LentPty& operator=(const LentPty&) = delete;
    bool Ok() const { return fd_ >= 0; }
    std::string PeerPath() const { return dir_ + "/peer"; }

private:
    std::string dir_;
    PeerProcess socat_;
    int fd_ = -1;
};
