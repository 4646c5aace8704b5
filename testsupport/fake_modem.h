// A Hayes modem for the tests, on the far end of a pseudo-terminal: it
// collects the command lines the controller sends (ended by CR), answers each
// with the scripted result for its command (numeric codes by default, with an
// optional echo of the command), and raises and drops the carrier-detect
// line of its serial port on the simulated board. The escape "+++" arrives
// without a CR and is recorded as a line of its own.
#pragma once

#include <map>
#include <string>
#include <vector>

class FakeModem {
public:
    FakeModem(int fd, int port) : fd_(fd), port_(port) {}

    // The answer to a command that begins with prefix (the longest prefix
    // wins); without one a command is answered "0" (OK). An empty answer
    // sends nothing.
    void Answer(const std::string& prefix, const std::string& result) { script_[prefix] = result; }
    // Echo every command back before its result (a modem whose echo stays on).
    void Echo(bool on) { echo_ = on; }

    // Reads what the controller sent and answers each complete line; returns
    // the number of lines seen so far.
    size_t Poll();
    // Sends raw text to the controller (a RING, a late CONNECT).
    void Send(const std::string& text);
    const std::vector<std::string>& Lines() const { return lines_; }

    void Carrier(bool on);
    // The modem control line the controller drives.
    bool ControlLine() const;

private:
    int fd_;
    int port_;
    bool echo_ = false;
    std::string partial_;
    std::vector<std::string> lines_;
    std::map<std::string, std::string> script_;
};
