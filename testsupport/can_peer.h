// A node of the stand-in CAN bus for tests: a free bus of its own, frames
// sent and taken by hand.
#pragma once

#include <string>
#include <vector>

#include "platform/canbus.h"

// A bus whose sixteen seats are all free now, and PLC_CAN_BUS set to it for
// this process (children inherit it). Answers the bus's first port.
int CanTest_UseFreeBus();

class CanPeer {
public:
    explicit CanPeer(int bus);
    ~CanPeer();
    CanPeer(const CanPeer&) = delete;
    CanPeer& operator=(const CanPeer&) = delete;

    bool Joined() const { return seat_.fd >= 0; }
    bool Send(const CanFrame& f);
    // A data frame (length code and data) with the given identifier word.
    bool Send(u32 idWord, std::vector<u8> data);
    // The frames waiting now (loopback delivers at once; nothing waits).
    std::vector<CanFrame> Take();
    // Waits up to guardMs of host time for count frames (a guard for frames
    // from another process).
    std::vector<CanFrame> TakeAtLeast(size_t count, int guardMs);

private:
    CanBusSeat seat_;
};
