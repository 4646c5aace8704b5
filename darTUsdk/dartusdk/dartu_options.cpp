#include "darTUsdk/dartusdk/dartu_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

struct State {
    dartu_global_options_t options{};
    int oemVariant = 0;  // the realm the next initialisation names
};
State g;

constexpr const char* kRealm = "darTU";
constexpr const char* kOemRealm = "u5TAV";

// Replaces an owned text with a copy (none allowed); a failed copy leaves it
// empty.
void Replace(char** field, const char* value) {
    std::free(*field);
    *field = dartu_strdup(value);
}

void ReleaseKeys() {
    std::free(g.options.private_key_block);
    g.options.private_key_block = nullptr;
    for (int i = 0; i < 6; ++i) {
        g.options.private_numbers[i] = nullptr;
        g.options.private_lengths[i] = 0;
    }
    std::free(g.options.public_key_block);
    g.options.public_key_block = nullptr;
    g.options.rsa_modulus = nullptr;
    g.options.rsa_modulus_length = 0;
    g.options.rsa_exponent = nullptr;
    g.options.rsa_exponent_length = 0;
    dartu_rsa_free(g.options.rsa_key);
    g.options.rsa_key = nullptr;
}

}  // namespace

dartu_global_options_t* dartu_global_options() { return &g.options; }

void dartu_options_set_oem_variant(int oem) { g.oemVariant = oem ? 1 : 0; }

int dartu_options_initialize() {
    std::memset(&g.options, 0, sizeof g.options);
    g.options.prefix = dartu_strdup("/darTU/");
    g.options.prefix_length = g.options.prefix ? 7 : 0;
    g.options.http_port = 80;
    g.options.https_port = 443;
    g.options.web_root = dartu_strdup("WEBROOT_NOT_SET");
    g.options.default_documents = dartu_strdup("index.htm");
    g.options.mime_table = dartu_builtin_mimetypes;
    g.options.mime_count = kDartuBuiltinMimeCount;
    g.options.server_level = kDartuLevelMultipoint;
    g.options.login_method = kDartuLoginForm;
    g.options.realm = dartu_strdup(g.oemVariant ? kOemRealm : kRealm);
    g.options.tcp_nodelay = 1;
    g.options.max_timeout = 60;
    g.options.request_max = 0x20000;
    g.options.response_max = 0x800000;
    g.options.error_log = dartu_options_stderr_error_cb;
    g.options.idle = nullptr;
    g.options.vendor_info = "DarTU SDK web HMI toolkit";
    g.options.server_banner = "DarTU SDK/0.9.0";
    g.options.long_poll_support = 1;
    g.options.session_limit = 4;
    g.options.frame_limit = 16;
    g.options.item_limit = 8192;
    g.options.publish_queue_size = 4608;
    g.options.auth_client_limit = 4;
    g.options.connection_timeout = 60;
    g.options.session_timeout = 300;
    return 0;
}

void dartu_options_free() {
    std::free(g.options.server_name);
    std::free(g.options.prefix);
    std::free(g.options.http_address);
    std::free(g.options.https_address);
    std::free(g.options.certificate_file);
    std::free(g.options.key_passphrase);
    std::free(g.options.web_root);
    std::free(g.options.default_documents);
    std::free(g.options.realm);
    if (g.options.mime_table != dartu_builtin_mimetypes) std::free(const_cast<dartu_mimetype*>(g.options.mime_table));
    ReleaseKeys();
    std::memset(&g.options, 0, sizeof g.options);
}

void dartu_options_set_server_name(const char* name) {
    Replace(&g.options.server_name, name);
    g.options.server_name_length = g.options.server_name ? static_cast<u32>(std::strlen(g.options.server_name)) : 0;
}

void dartu_options_set_web_root(const char* root, const char* default_documents) {
    Replace(&g.options.web_root, root);
    Replace(&g.options.default_documents, default_documents);
}

void dartu_options_set_auth_options(u32 login_method, const char* realm) {
    std::free(g.options.realm);
    g.options.realm = nullptr;
    g.options.login_method = login_method;
    if (realm)
        g.options.realm = dartu_strdup(realm);
    else if (login_method == kDartuLoginHttpBasic || login_method == kDartuLoginHttpDigest)
        g.options.realm = dartu_strdup(kRealm);
}

void dartu_options_set_http_options(const char* address, u32 port) {
    Replace(&g.options.http_address, address);
    g.options.http_port = port;
}

void dartu_options_set_https_options(const char* address, u32 port, const char* certificate_file,
                                     const char* key_passphrase) {
    Replace(&g.options.https_address, address);
    g.options.https_port = port;
    Replace(&g.options.certificate_file, certificate_file);
    Replace(&g.options.key_passphrase, key_passphrase);
}

int dartu_options_generate_temporary_rsa(int bits, unsigned long exponent) {
    ReleaseKeys();
    dartu_rsa_key* key = dartu_rsa_alloc();
    if (!key) return -1;
    if (dartu_rsa_make_key(key, bits, exponent) != 0) {
        dartu_rsa_free(key);
        return -1;
    }
    g.options.rsa_key = key;
    size_t modLen = mp_ubin_size(&key->N);
    size_t expLen = mp_ubin_size(&key->e);
    u8* block = static_cast<u8*>(std::malloc(modLen + expLen));
    if (!block) return -1;
    size_t written = 0;
    if (mp_to_ubin(&key->N, block, modLen, &written) != MP_OKAY || written != modLen ||
        mp_to_ubin(&key->e, block + modLen, expLen, &written) != MP_OKAY || written != expLen) {
        std::free(block);
        return -1;
    }
    g.options.public_key_block = block;
    g.options.rsa_modulus = block;
    g.options.rsa_modulus_length = static_cast<u32>(modLen);
    g.options.rsa_exponent = block + modLen;
    g.options.rsa_exponent_length = static_cast<u32>(expLen);
    return 0;
}

void dartu_options_stderr_error_cb(const char* text) { std::fprintf(stderr, "%s\n", text); }

void dartu_options_log_error(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    dartu_error_log_cb cb = g.options.error_log ? g.options.error_log : dartu_options_stderr_error_cb;
    cb(text);
}
