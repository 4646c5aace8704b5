// Random field dictionaries through the POST handlers of the web-HMI JSON
// protocol, with the controller's data items, users and login list behind
// them and one session that the inputs may use, delete or exhaust. The
// first byte chooses the request; the rest becomes url-encoded fields whose
// names mostly come from the protocol's own.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_server.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "darTUsdk/dartusdk/dartu_subscription.h"
#include "darTUsdk/dartusdk/dartu_util.h"
#include "testsupport/reg_fixture.h"
#include "webhmi/dartu_glue.h"
#include "webhmi/dartu_items.h"

namespace {

void Quiet(const char*) {}

const char* const kNames[] = {"address[]", "value[]", "subscriptionid", "maxresults", "longpoll", "timeout",
                              "cipher", "serverhandle[]", "aggregation", "interval", "username", "field"};
const char* const kValues[] = {"R_1_0_INT16", "R_2_3_BOOL", "R_10_0_CHAR_8", "SR_200_0_UINT16", "1", "2", "0",
                               "false", "a:b", "//F/00000001", "KeepAliveVar", "-1", "R_3_0_FLOAT32", "R_4_0_TIME"};

std::string g_cipher;
dartu_connection_info* g_conn = nullptr;

bool Setup() {
    static RegFixture regs;
    dartu_server_initialize();
    dartu_global_options()->error_log = Quiet;
    dartu_global_options()->server_level = kDartuLevelScada;
    dartu_options_set_auth_options(kDartuLoginHttpBasic, "darTU");
    dartu_options_generate_temporary_rsa(1024, 0x10001);
    Dartu_InstallCallbacks();
    dartu_global_options_t* o = dartu_global_options();
    std::vector<u8> block(o->rsa_modulus_length, 0x5A);
    block[0] = 0;
    block[1] = 2;
    block[block.size() - 7] = 0;
    std::memcpy(block.data() + block.size() - 6, "secret", 6);
    std::vector<u8> c(block.size());
    size_t len = c.size();
    dartu_rsa_exptmod(o->rsa_key, 0, block.data(), block.size(), c.data(), &len);
    g_cipher.assign(2 * len + 1, '\0');
    dartu_util_hex_encode(c.data(), len, g_cipher.data());
    g_cipher.resize(2 * len);
    g_conn = dartu_connection_info_get();
    g_conn->id = 7;
    return true;
}

std::string Encode(const std::string& s) {
    std::string out;
    char hex[4];
    for (unsigned char ch : s) {
        if (std::isalnum(ch)) {
            out += static_cast<char>(ch);
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", ch);
            out += hex;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    if (size == 0) return 0;
    const dartu_post_method* m = dartu_engine_post_method(1 + data[0] % kDartuPostMethodCount);
    // Fields: a byte picks a known name (or a raw one), the next a known
    // value (or the raw bytes up to a separator).
    std::string body;
    for (size_t at = 1; at < size;) {
        u8 k = data[at++];
        std::string name = k < 200 ? kNames[k % (sizeof kNames / sizeof kNames[0])] : std::string(1, static_cast<char>(k));
        std::string value;
        if (at < size) {
            u8 v = data[at++];
            if (v < 160) {
                value = kValues[v % (sizeof kValues / sizeof kValues[0])];
            } else {
                while (at < size && data[at] != '&') value += static_cast<char>(data[at++]);
            }
        }
        if (name == "cipher" && value == "1") value = g_cipher;
        body += (body.empty() ? "" : "&") + Encode(name) + "=" + Encode(value);
    }
    if (dartu_engine_session_count() == 0) {
        dartu_session* s = nullptr;
        i32 err = 0;
        dartu_engine_session_create(0, nullptr, g_cipher.c_str(), 1, "darTU", "op", "secret", &s, &err);
    }
    dartu_buffer* rq = dartu_buffer_get(kDartuBufRequest, static_cast<u32>(body.size()) + 2, 0x40000, 0);
    if (!rq) return 0;
    dartu_buffer_put_data(rq, body.data(), body.size());
    dartu_buffer_put_data(rq, "", 1);
    rq->length--;
    if (dartu_buffer_build_dict(rq) != 0) {
        dartu_buffer_return(rq);
        return 0;
    }
    dartu_post_request pr{};
    pr.connection = g_conn;
    pr.request = rq;
    pr.url = "/darTU/?fuzz";
    pr.realm = "darTU";
    pr.user = "op";
    pr.password = "secret";
    pr.session = dartu_engine_session_at(0);
    pr.session_index = pr.session ? 0 : -1;
    g_conn->session = pr.session;
    if (m && m->handler && (pr.session || !m->session_required)) {
        m->handler(&pr);
        if (m->after) m->after(&pr);
    }
    g_conn->reply_parked = 0;
    dartu_buffer_return(pr.reply);
    if (!pr.deferred) dartu_buffer_return(rq);
    dartu_automatic_update_variables();
    dartu_comm_session_tick(static_cast<u64>(size));
    return 0;
}
