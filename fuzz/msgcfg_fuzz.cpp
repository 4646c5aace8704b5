// Messaging configuration block: the SMS tables, the GSM record and its texts
// are located and validated in a body of any content. No read may leave the
// body, and every text the readers hand out lies within it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "remote/msgcfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read past the end is seen by the sanitizer.
    std::vector<u8> copy(data, data + size);
    MsgBody body{copy.data(), static_cast<u32>(copy.size())};
    auto inside = [&](const u8* p, u32 n) { return p >= copy.data() && p + n <= copy.data() + copy.size(); };
    CfgSetUp set;
    u32 magic = SmsStructInit(body, &set);
    if (magic == kMagicSmv1) {
        const MsgSection& s = set.sms;
        for (u32 i = 0; i < s.transmitCount; ++i) {
            u32 e = s.transmit + i * kEntryBytes;
            const u8* text = nullptr;
            if (!MsgCfg_PoolText(body, s, body.U32(e), body.U32(e + 4), &text)) std::abort();  // validated
            if (!inside(text, body.U32(e + 4))) std::abort();
        }
    }
    GsmRecordView g = MsgCfg_FindGsm(body);
    for (u32 field = 8; field <= 32; field += 4) {
        const u8* text = nullptr;
        u32 length = 0;
        if (g.Text(field, &text, &length) && !inside(text, length)) std::abort();
    }
    (void)g.U32(56);
    return 0;
}
