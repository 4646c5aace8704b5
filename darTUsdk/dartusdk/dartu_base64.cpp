#include "darTUsdk/dartusdk/dartu_base64.h"

namespace {

int SymbolValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

int dartu_base64_decode(const char* text, size_t text_length, u8* destination, size_t* length) {
    const size_t capacity = *length;
    size_t out = 0;
    u32 bits = 0;
    int symbols = 0;  // symbols and pads in the current group
    int pads = 0;     // '=' seen in the whole input
    for (size_t i = 0; i < text_length; ++i) {
        char c = text[i];
        int v;
        if (c == '=') {
            if (++pads > 3) return -1;
            v = 0;
        } else {
            v = SymbolValue(c);
            if (v < 0) continue;
            if (pads > 0) return -1;
        }
        bits = (bits << 6) | static_cast<u32>(v);
        if (++symbols < 4) continue;
        // One pad leaves two bytes, two or three pads leave one.
        size_t yield = pads == 0 ? 3 : pads == 1 ? 2 : 1;
        if (out + yield > capacity) return -2;
        destination[out++] = static_cast<u8>(bits >> 16);
        if (yield > 1) destination[out++] = static_cast<u8>(bits >> 8);
        if (yield > 2) destination[out++] = static_cast<u8>(bits);
        bits = 0;
        symbols = 0;
    }
    if (symbols != 0) return -1;
    *length = out;
    return 0;
}
