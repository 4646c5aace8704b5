// tshark writing what passes an interface into a capture file, for system
// tests that have tshark dissect what the controller sent. The capture runs
// on the host's loopback or inside a network namespace of the test's own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

class TsharkCapture {
public:
    ~TsharkCapture() { Stop(); }
    // Starts tshark on the interface (inside the namespace when one is
    // named) with the capture filter, writing into file, and waits until it
    // shows packets: tshark captures only some time after it starts, so the
    // probe makes traffic until the first packet shows up in its summary.
    bool Start(const std::string& netns, const std::string& iface, const std::string& filter,
               const std::string& file, const std::function<void()>& probe);
    // Waits settleMs for the last packets to reach the capture, then ends it
    // (a capture that does not end on the interrupt is killed).
    void Stop(int settleMs = 0);
    // Ends the capture once a marker has reached it: the marker sends a last
    // packet and answers a text its summary line holds. tshark prints
    // packets in the order it captures them, so every packet sent before
    // the marker is then in the file.
    void StopAfterMarker(const std::function<std::string()>& marker);
    std::string Log() const;

private:
    pid_t pid_ = 0;
    std::string file_;
};
