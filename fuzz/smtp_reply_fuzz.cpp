// SMTP replies as a server sends them, in any pieces: the reply reader takes
// whole replies only and never reads or consumes past what came; body text
// is dot-stuffed so that no line of it can end the mail.
//
// Input: the bytes of the server (replies), also taken as a body text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "remote/email.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> in(data, data + size);
    u32 pos = 0;
    while (pos < in.size()) {
        u32 used = 0;
        int code = Smtp_ReadReply(in.data() + pos, static_cast<u32>(in.size() - pos), &used);
        if (code <= 0) break;
        if (code < 100 || code > 599 || used == 0 || used > in.size() - pos) std::abort();
        pos += used;
    }
    std::string out;
    Smtp_DotStuff(in.data(), static_cast<u32>(in.size()), true, out);
    // After stuffing, a line holding a single "." (the end of the data) never appears.
    if (out.find("\r\n.\r\n") != std::string::npos || out.rfind(".\r\n", 0) == 0) std::abort();
    return 0;
}
