// Command-line pieces the tools beside a running controller share: the root
// option in front of the command, and whole-number arguments.
#pragma once

#include <cstdlib>
#include <cstring>

#include "platform/bytes.h"

// Takes a leading "--root DIR" (it becomes PLC_ROOT for Root_Init); the
// index of the command word.
inline int TakeRootOption(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--root") == 0) {
        setenv("PLC_ROOT", argv[2], 1);
        return 3;
    }
    return 1;
}

// A 32-bit whole number, decimal or with 0x / 0 prefix; no sign and nothing
// after the digits.
inline bool ParseU32(const char* s, u32* out) {
    if (!s || !*s || s[0] == '-') return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull) return false;
    *out = static_cast<u32>(v);
    return true;
}
