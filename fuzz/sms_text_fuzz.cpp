// Received text messages: the modem's message list, the first entry taken
// out of it, and the text checked against receive templates with value
// fields of every type. No copy may leave its buffer and a refused text
// writes nothing.
//
// Input: byte 0 picks the reader (even: the list, odd: a template check);
// for a template check byte 1 picks the template, the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remote/msgcfg.h"
#include "remote/msgfmt.h"
#include "remote/sms.h"
#include "testsupport/fuzz_env.h"
#include "testsupport/msgcfg_builder.h"

namespace {

struct Template {
    const char* text;
    const char* list;
};
// Fields of every type, at the start, the end, overlapping and out of range.
const Template kTemplates[] = {
    {"SET xxx", "4:0:"},         {"xxxxxxxx", "0:1:"},     {"ON xxx", "3:2:"},        {"H xxxxxxxx", "2:3:"},
    {"B xxxxxxxxxxxxxxxx", "2:4:"}, {"xxxxx yyyyy", "0:5:6:6:"}, {"R xxxxxxxxx", "2:7:"}, {"T xxxxxxxxxx", "2:8:"},
    {"IP xxxxxxxxxxxxxxx", "3:9:"}, {"x", "0:0:0:1:"},       {"ab", "5:0:1:99:"},      {"", ""},
};

MsgBody Body() {
    static std::vector<u8> body;
    if (body.empty()) {
        MsgCfgBuilder b;
        const u32 r = 0x8000;
        b.items = {{r, 16, 4, 3, 0, 0},        {r + 32, 16, 3, 6, 0, 0},  {r + 64, 1, 0, 3, 0, 0},
                   {r + 96, 32, 2, 8, 0, 0},   {r + 128, 32, 1, 16, 0, 0}, {r + 160, 32, 5, 5, 0, 0},
                   {r + 192, 32, 6, 5, 0, 0},  {r + 224, 32, 7, 9, 0, 0}, {r + 256, 32, 8, 255, 0, 0},
                   {r + 2304, 32, 9, 15, 0, 0}};
        body = b.Build();
    }
    return {body.data(), static_cast<u32>(body.size())};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzEnv_Init("sms_text_fuzz");
    if (size < 2) return 0;
    if ((data[0] & 1) == 0) {
        std::vector<char> list(data + 1, data + size);
        SmsListEntry e;
        if (Sms_FirstListed(list.data(), static_cast<u32>(list.size()), &e)) {
            if (strnlen(e.index, sizeof e.index) == sizeof e.index || strnlen(e.sender, sizeof e.sender) == sizeof e.sender ||
                strnlen(e.text, sizeof e.text) == sizeof e.text)
                std::abort();
        }
        return 0;
    }
    const Template& t = kTemplates[data[1] % (sizeof kTemplates / sizeof kTemplates[0])];
    MsgBody body = Body();
    MsgSection s = MsgCfg_Section(body, 0, true);
    std::vector<char> received(data + 2, data + size);
    received.push_back(0);
    u32 capacity = static_cast<u32>(received.size());
    u8 answer = 0;
    int m = ParseSMS(t.text, static_cast<u32>(std::strlen(t.text)), reinterpret_cast<const u8*>(t.list),
                     static_cast<u32>(std::strlen(t.list)), received.data(), capacity, body, s, &answer);
    if (m != 0 && m != 1) std::abort();
    if (answer && (m != 1 || strnlen(received.data(), capacity) == capacity)) std::abort();
    return 0;
}
