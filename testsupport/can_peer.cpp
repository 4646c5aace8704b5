#include "testsupport/can_peer.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>

int CanTest_UseFreeBus() {
    // Start somewhere that depends on the process, so parallel tests rarely
    // probe the same ports, and take the first bus whose seats all bind.
    int start = 20000 + static_cast<int>(getpid() % 1000) * kCanBusSeats;
    for (int i = 0; i < 2000; ++i) {
        int bus = 20000 + ((start - 20000 + i * kCanBusSeats) % (16000));
        CanBusSeat seats[kCanBusSeats];
        int joined = 0;
        while (joined < kCanBusSeats && CanBus_Join(bus, &seats[joined]) && seats[joined].seat == joined) ++joined;
        for (auto& s : seats) CanBus_Leave(&s);
        if (joined == kCanBusSeats) {
            setenv("PLC_CAN_BUS", std::to_string(bus).c_str(), 1);
            return bus;
        }
    }
    return 0;
}

CanPeer::CanPeer(int bus) { CanBus_Join(bus, &seat_); }

CanPeer::~CanPeer() { CanBus_Leave(&seat_); }

bool CanPeer::Send(const CanFrame& f) {
    u8 raw[kCanFrameBytes];
    CanFrame_Pack(f, raw);
    return CanBus_Send(seat_, raw) == kCanFrameBytes;
}

bool CanPeer::Send(u32 idWord, std::vector<u8> data) {
    CanFrame f;
    f.idWord = idWord;
    f.length = static_cast<u8>(data.size());
    if (!data.empty()) std::memcpy(f.data, data.data(), data.size() < 8 ? data.size() : 8);
    return Send(f);
}

std::vector<CanFrame> CanPeer::Take() {
    std::vector<CanFrame> out;
    u8 raw[kCanFrameBytes];
    while (CanBus_Receive(seat_, raw) == kCanFrameBytes) out.push_back(CanFrame_Unpack(raw));
    return out;
}

std::vector<CanFrame> CanPeer::TakeAtLeast(size_t count, int guardMs) {
    std::vector<CanFrame> out = Take();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(guardMs);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{seat_.fd, POLLIN, 0};
        poll(&p, 1, 50);
        for (const CanFrame& f : Take()) out.push_back(f);
    }
    return out;
}
