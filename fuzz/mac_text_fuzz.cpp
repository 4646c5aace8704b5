// MAC address text from the media and the board identity: six hex pairs
// with separators, checked against the maker's prefix. Any text must be
// refused or give six bytes, never read past its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/boardid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A NUL-terminated copy of exactly the input, so that a read past the
    // text's end is seen by the address sanitizer.
    std::string text(reinterpret_cast<const char*>(data), size);
    char* copy = new char[size + 1];
    std::memcpy(copy, text.c_str(), size + 1);
    u8 mac[6] = {1, 2, 3, 4, 5, 6};
    u8 before[6];
    std::memcpy(before, mac, 6);
    int ok = convert_MACSTR_MACINT(copy, mac);
    if (!ok && std::memcmp(mac, before, 6) != 0) std::abort();  // written only on success
    if (ok && !Mac_IsMakers(mac)) std::abort();
    char hex[3] = {};
    convert_BYTE_ASCIIHEX(hex, size ? data[0] : 0);
    delete[] copy;
    return 0;
}
