#include "darTUsdk/dartusdk/dartu_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

dartu_global_options_t g_options;
int g_oemVariant = 0;

constexpr const char* kRealm = "darTU";
constexpr const char* kOemRealm = "u5TAV";

// Replaces an owned text with a copy (none allowed); a failed copy leaves it
// empty.
void Replace(char** field, const char* value) {
    std::free(*field);
    *field = dartu_strdup(value);
}

void ReleaseKeys() {
    std::free(g_options.private_key_block);
    g_options.private_key_block = nullptr;
    for (int i = 0; i < 6; ++i) {
        g_options.private_numbers[i] = nullptr;
        g_options.private_lengths[i] = 0;
    }
    std::free(g_options.public_key_block);
    g_options.public_key_block = nullptr;
    g_options.rsa_modulus = nullptr;
    g_options.rsa_modulus_length = 0;
    g_options.rsa_exponent = nullptr;
    g_options.rsa_exponent_length = 0;
    dartu_rsa_free(g_options.rsa_key);
    g_options.rsa_key = nullptr;
}

}  // namespace

dartu_global_options_t* dartu_global_options() { return &g_options; }

void dartu_options_set_oem_variant(int oem) { g_oemVariant = oem ? 1 : 0; }

int dartu_options_initialize() {
    std::memset(&g_options, 0, sizeof g_options);
    g_options.prefix = dartu_strdup("/darTU/");
    g_options.prefix_length = g_options.prefix ? 7 : 0;
    g_options.http_port = 80;
    g_options.https_port = 443;
    g_options.web_root = dartu_strdup("WEBROOT_NOT_SET");
    g_options.default_documents = dartu_strdup("index.htm");
    g_options.mime_table = dartu_builtin_mimetypes;
    g_options.mime_count = kDartuBuiltinMimeCount;
    g_options.server_level = kDartuLevelMultipoint;
    g_options.login_method = kDartuLoginForm;
    g_options.realm = dartu_strdup(g_oemVariant ? kOemRealm : kRealm);
    g_options.tcp_nodelay = 1;
    g_options.max_timeout = 60;
    g_options.request_max = 0x20000;
    g_options.response_max = 0x800000;
    g_options.error_log = dartu_options_stderr_error_cb;
    g_options.idle = nullptr;
    g_options.vendor_info = "DarTU SDK web HMI toolkit";
    g_options.server_banner = "DarTU SDK/0.9.0";
    g_options.long_poll_support = 1;
    g_options.session_limit = 4;
    g_options.frame_limit = 16;
    g_options.item_limit = 8192;
    g_options.publish_queue_size = 4608;
    g_options.auth_client_limit = 4;
    return 0;
}

void dartu_options_free() {
    std::free(g_options.server_name);
    std::free(g_options.prefix);
    std::free(g_options.http_address);
    std::free(g_options.https_address);
    std::free(g_options.certificate_file);
    std::free(g_options.key_passphrase);
    std::free(g_options.web_root);
    std::free(g_options.default_documents);
    std::free(g_options.realm);
    if (g_options.mime_table != dartu_builtin_mimetypes) std::free(const_cast<dartu_mimetype*>(g_options.mime_table));
    ReleaseKeys();
    std::memset(&g_options, 0, sizeof g_options);
}

void dartu_options_set_server_name(const char* name) {
    Replace(&g_options.server_name, name);
    g_options.server_name_length = g_options.server_name ? static_cast<u32>(std::strlen(g_options.server_name)) : 0;
}

void dartu_options_set_web_root(const char* root, const char* default_documents) {
    Replace(&g_options.web_root, root);
    Replace(&g_options.default_documents, default_documents);
}

void dartu_options_set_auth_options(u32 login_method, const char* realm) {
    std::free(g_options.realm);
    g_options.realm = nullptr;
    g_options.login_method = login_method;
    if (realm)
        g_options.realm = dartu_strdup(realm);
    else if (login_method == kDartuLoginHttpBasic || login_method == kDartuLoginHttpDigest)
        g_options.realm = dartu_strdup(kRealm);
}

void dartu_options_set_http_options(const char* address, u32 port) {
    Replace(&g_options.http_address, address);
    g_options.http_port = port;
}

void dartu_options_set_https_options(const char* address, u32 port, const char* certificate_file,
                                     const char* key_passphrase) {
    Replace(&g_options.https_address, address);
    g_options.https_port = port;
    Replace(&g_options.certificate_file, certificate_file);
    Replace(&g_options.key_passphrase, key_passphrase);
}

int dartu_options_generate_temporary_rsa(int bits, unsigned long exponent) {
    ReleaseKeys();
    dartu_rsa_key* key = dartu_rsa_alloc();
    if (!key) return -1;
    if (dartu_rsa_make_key(key, bits, exponent) != 0) {
        dartu_rsa_free(key);
        return -1;
    }
    g_options.rsa_key = key;
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
    g_options.public_key_block = block;
    g_options.rsa_modulus = block;
    g_options.rsa_modulus_length = static_cast<u32>(modLen);
    g_options.rsa_exponent = block + modLen;
    g_options.rsa_exponent_length = static_cast<u32>(expLen);
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
    dartu_error_log_cb cb = g_options.error_log ? g_options.error_log : dartu_options_stderr_error_cb;
    cb(text);
}
