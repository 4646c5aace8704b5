// DHCP replies as read from the packet socket: the IPv4 and UDP checks and
// the option walk. Any bytes must be refused or read within their length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "remote/dhcpClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exact-size copies, so a read past the end is seen by the sanitizer.
    std::vector<u8> frame(data, data + size);
    int payload = Dhcp_AcceptFrame(frame.data(), static_cast<u32>(frame.size()));
    if (payload >= 0) {
        if (static_cast<size_t>(payload) + 28 > size) std::abort();
        std::vector<u8> message(frame.begin() + 28, frame.begin() + 28 + payload);
        DhcpLease lease{};
        Dhcp_ReadOptions(message.data(), static_cast<u32>(message.size()), lease);
        Dhcp_MessageType(message.data(), static_cast<u32>(message.size()));
    }
    // The same bytes taken as a message whose frame checks passed.
    DhcpLease lease{};
    Dhcp_ReadOptions(frame.data(), static_cast<u32>(frame.size()), lease);
    Dhcp_MessageType(frame.data(), static_cast<u32>(frame.size()));
    return 0;
}
