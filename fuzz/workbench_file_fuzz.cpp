// Workbench file-transfer requests of any content and length, served one
// after the other on one context: names, block lengths and sub-commands from
// the input must never read beyond the request, write beyond the answer or
// reach a file outside the runtime's folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "iec/ext/q4cs.h"
#include "iec/ext/q4ft.h"
#include "platform/root.h"
#include "testsupport/fuzz_env.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("plc_workbench_file_fuzz_");
    static Q4CSContext cs;
    cs.open = 1;
    for (size_t at = 0; at + 2 <= size;) {
        size_t n = 1 + (static_cast<size_t>(data[at]) << 8 | data[at + 1]) % 1030;
        at += 2;
        if (n > size - at) n = size - at;
        Q4CSSlot& s = cs.slots[0];
        Q4CS_ClearSlot(s);
        s.number = 1;
        s.flags = kQ4CSUsed | kQ4CSTcp | kQ4CSComplete;
        const size_t frame = 5 + n;
        s.request[0] = 'Q';
        s.request[1] = '4';
        PutBe16(&s.request[2], static_cast<u16>(n + 1));
        s.request[4] = kQ4CSRqFile;
        std::memcpy(&s.request[5], data + at, n);
        s.received = s.expected = static_cast<u16>(frame);
        at += n;
        Q4CSFT_Serve(&cs, 1);
        Check(s.answerLength >= 8 && s.answerLength <= kQ4CSAnswerMax);
        Check(GetBe16(&s.answer[2]) + 4u == s.answerLength);
        Check(!(s.flags & kQ4CSComplete));
        std::string path;
        char name[64] = "a/../../b";
        Check(Q4FT_GetFullPath(name, &path) && path == "b");
    }
    Q4CSFT_Close(&cs);
    cs.ftCrc = 0;
    return 0;
}
