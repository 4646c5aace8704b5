// Hostile request bytes through the web-HMI toolkit's text handling: the
// field dictionary of a url-encoded body, URL, hex and base64 decoding, and
// the JSON string writer, whose output must stay well-formed UTF-8 with no
// raw control characters and exactly the measured length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "darTUsdk/dartusdk/dartu_base64.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_json.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

void Quiet(const char*) {}

bool Setup() {
    dartu_options_initialize();
    dartu_global_options()->error_log = Quiet;
    dartu_init_global_context_buff();
    return true;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

// Independent of the writer: decodes with a plain state machine.
bool WellFormedUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        u8 c = static_cast<u8>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int n;
        u32 cp;
        if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(n) >= s.size()) return false;
        for (int k = 1; k <= n; ++k) {
            u8 d = static_cast<u8>(s[i + static_cast<size_t>(k)]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const u32 kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<size_t>(n) + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    const char* text = reinterpret_cast<const char*>(data);

    // Field dictionary under a maximum that large bodies exceed.
    dartu_buffer* b = dartu_buffer_get(kDartuBufRequest, 64, 2048, 0);
    Check(b != nullptr);
    const char head[] = "POST /darTU/?read HTTP/1.1\r\n\r\n";
    dartu_buffer_put_data(b, head, sizeof head - 1);
    b->read_pos = sizeof head - 1;
    if (dartu_buffer_put_data(b, data, size) == 0) {
        u32 bodyEnd = b->length;
        int rc = dartu_buffer_build_dict(b);
        const char* key;
        const char* value;
        u32 length;
        for (u32 i = 0; dartu_buffer_get_dict_entry(b, i, &key, &value, &length) == 0; ++i) {
            Check(key >= b->storage + b->read_pos && key < b->storage + bodyEnd + 1);
            Check(value >= b->storage + b->read_pos && value + length <= b->storage + bodyEnd);
            Check(value[length] == '\0');
        }
        if (rc != 0) Check(b->overflow == 1);
    }
    dartu_buffer_return(b);

    // URL decoding only shrinks; comparing a URL with itself is equal.
    std::vector<char> out(size + 1);
    int n = dartu_util_url_decode(text, static_cast<int>(size), out.data(), static_cast<int>(out.size()), 1, 1);
    Check(n >= 0 && static_cast<size_t>(n) <= size && out[static_cast<size_t>(n)] == '\0');
    std::string z(text, size);
    Check(dartu_util_url_compare(z.c_str(), z.c_str(), 1) == 0);

    size_t count = 0;
    std::vector<u8> bytes(size / 2 + 1);
    if (dartu_util_hex_decode(z.c_str(), -1, bytes.data(), bytes.size(), &count) == 0) Check(count <= size / 2);

    size_t decoded = size;
    std::vector<u8> b64(size + 1);
    if (dartu_base64_decode(text, size, b64.data(), &decoded) == 0) Check(decoded <= size * 3 / 4);

    // JSON string: measured length, well-formed UTF-8, no raw control bytes.
    int need = dartu_json_put_string(nullptr, 0, text, static_cast<int>(size));
    std::string json(static_cast<size_t>(need), '\0');
    Check(dartu_json_put_string(json.data(), json.size(), text, static_cast<int>(size)) == need);
    Check(json.size() >= 2 && json.front() == '"' && json.back() == '"');
    for (char c : json) Check(static_cast<u8>(c) >= 0x20);
    Check(WellFormedUtf8(json));
    return 0;
}
