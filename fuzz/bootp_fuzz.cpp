// BOOTP requests from anyone on the segment: the input's first byte chooses
// how many entries are listed (with the first listed address taken from the
// request itself half of the time, so replies are built too). Nothing may be
// read past the request or written past the 300-byte reply, and a request
// under 240 bytes is never answered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/bootp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BootP_Reset();
    const u8 choice = size ? data[0] : 0;
    std::vector<u8> request(size > 1 ? data + 1 : data, data + size);  // exactly the request, for the sanitizer
    for (u32 n = 1; n <= (choice & 15u); ++n) {
        u8 mac[6] = {2, 0, 0, 0, 0, static_cast<u8>(n)};
        if (n == 1 && (choice & 0x10) && request.size() >= 34) std::memcpy(mac, request.data() + 28, 6);
        BootPConfig(mac, 0x0A090000u + n, n, 0);
    }
    u8 reply[kBootpReplyBytes + 1];
    reply[kBootpReplyBytes] = 0x5A;
    u32 entry = 0;
    bool owed = BootP_Reply(0, request.data(), static_cast<u32>(request.size()), 0x0A090002u, 0xFFFFFF00u, reply,
                            &entry);
    if (owed && (request.size() < kBootpMinRequest || reply[0] != 2 || entry >= kBootpEntries)) std::abort();
    if (reply[kBootpReplyBytes] != 0x5A) std::abort();
    BootP_Reset();
    return 0;
}
