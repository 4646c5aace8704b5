// Hostile formats and values through the PRINTF trace formatter: whatever
// the application's format, the line stays within its buffer, is
// NUL-terminated at the length answered, and a format without '%' comes
// back as written.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "iec/kernel/q4stfdate.h"

namespace {
void Check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 17) return 0;
    i32 args[4];
    std::memcpy(args, data, sizeof args);
    // The capacity from one byte, so that short buffers are exercised too.
    const u32 cap = 1 + data[16] % kQ4TraceLineBytes;
    const char* fmt = reinterpret_cast<const char*>(data + 17);
    const u32 len = static_cast<u32>(size - 17);
    char out[kQ4TraceLineBytes + 8];
    std::memset(out, 0x5A, sizeof out);
    const u32 n = Q4StfDate_FormatTrace(out, cap, fmt, len, args);
    Check(n < cap);
    Check(out[n] == 0);
    Check(std::strlen(out) == n);
    for (u32 i = cap; i < sizeof out; ++i) Check(out[i] == 0x5A);
    const void* pct = std::memchr(fmt, '%', len);
    if (!pct) {
        const void* nul = std::memchr(fmt, 0, len);
        const u32 plain = nul ? static_cast<u32>(static_cast<const char*>(nul) - fmt) : len;
        Check(n == (plain < cap - 1 ? plain : cap - 1));
        Check(std::memcmp(out, fmt, n) == 0);
    }
    return 0;
}
