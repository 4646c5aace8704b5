// Hostile bytes through the web-HMI server's request parsers: the framing of
// received bytes into requests (and the request line, headers and JSON
// dispatch behind it), the Authorization header of Basic and Digest, and
// the X-DarTU request digest. The first byte chooses the parser.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_server.h"

namespace {

void Quiet(const char*) {}

// Every user has the digest of "op:darTU:secret".
int DigestOf(const dartu_credentials*, const char*, char* out, i32* error) {
    std::strcpy(out, "a0dd8a7a8b3e1b9f0a0a2f3ac5e7c8f1");
    *error = 0;
    return 0;
}

dartu_replay_window g_window;
u64 g_last = 0;
int Find(const char* id, dartu_session_view* out) {
    if (std::strcmp(id, "1a2b") != 0) return -1;
    out->session = &g_window;
    out->index = 0;
    out->secret = "s3cret";
    out->last_access = &g_last;
    out->window = &g_window;
    return 0;
}

bool Setup() {
    dartu_server_initialize();
    dartu_global_options()->error_log = Quiet;
    dartu_options_set_web_root("/nonexistent-web-root", "index.htm;index.html");
    dartu_options_set_auth_options(kDartuLoginHttpBasic, "darTU");
    dartu_global_options()->server_level = kDartuLevelScada;
    dartu_server_set_auth_callbacks(nullptr, DigestOf, nullptr, nullptr);
    dartu_auth_initialize();
    dartu_auth_set_session_lookup(Find, nullptr);
    return true;
}

void Framing(const u8* data, size_t size) {
    dartu_connection_info* c = dartu_connection_info_get();
    if (!c) return;
    c->id = 1;
    // Received in pieces of at most 4096 bytes, as a connection would.
    for (size_t at = 0; at <= size && !c->close_after_send;) {
        size_t n = size - at < kDartuReceiveBufferSize ? size - at : kDartuReceiveBufferSize;
        if (!c->receive) c->receive = dartu_buffer_get(kDartuBufContent, kDartuReceiveBufferSize, kDartuReceiveBufferSize, 0);
        dartu_buffer_reset_data(c->receive);
        dartu_buffer_put_data(c->receive, data + at, n);
        dartu_engine_handle_data(c, &c->partial, c->receive);
        if (n == 0) break;  // the empty receive of a closing peer came last
        at += n;
    }
    c->quiet_close = 1;
    dartu_comm_drop_connection(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    if (size == 0) return 0;
    const u8 which = data[0] % 3;
    ++data;
    --size;
    if (which == 0) {
        Framing(data, size);
    } else if (which == 1) {
        std::string text(reinterpret_cast<const char*>(data), size);
        // Cleared as the server's own caller clears them: a header of an
        // unknown scheme leaves the fields untouched.
        char realm[kDartuAuthFieldSize] = {}, user[kDartuAuthFieldSize] = {}, password[kDartuAuthFieldSize] = {};
        i32 error = 0;
        int stale = 0;
        for (u32 method : {kDartuLoginHttpBasic, kDartuLoginHttpDigest}) {
            dartu_global_options()->login_method = method;
            dartu_auth_verify_auth_header(text.data(), static_cast<u32>(text.size()), "GET", "/index.htm", realm,
                                          user, password, &error, &stale);
            if (std::memchr(realm, 0, sizeof realm) == nullptr || std::memchr(user, 0, sizeof user) == nullptr)
                std::abort();
        }
        dartu_global_options()->login_method = kDartuLoginHttpBasic;
    } else {
        std::string text(reinterpret_cast<const char*>(data), size);
        const std::string before = text;
        void* session = nullptr;
        int index = 0;
        dartu_engine_session_get_vrfy(text.data(), static_cast<u32>(text.size()), 9, &session, &index);
        if (text != before) std::abort();  // the header text is left as it was
    }
    return 0;
}
