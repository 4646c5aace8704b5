// Authentication pieces of the web-HMI server that need no connection: the
// replay window of the request digest, the authentication data table, the
// RSA decryption of a value enciphered by openssl, the user file and the
// server's settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_util.h"
#include "platform/md5.h"
#include "platform/root.h"
#include "testsupport/shell.h"
#include "testsupport/temp_root.h"
#include "tests/webhmi/webhmi_fixture.h"
#include "webhmi/dartu_glue.h"
#include "webhmi/dartu_security.h"

namespace {

// One X-DarTU check against a single session "1a2b" with secret "s3cret".
dartu_replay_window g_window;
u64 g_lastAccess = 0;
int Find(const char* id, dartu_session_view* out) {
    if (std::string(id) != "1a2b") return -1;
    out->session = &g_window;
    out->index = 0;
    out->secret = "s3cret";
    out->last_access = &g_lastAccess;
    out->window = &g_window;
    return 0;
}
void Release() {}

std::string Header(const std::string& cnonce, const std::string& extra = "") {
    char hex[33];
    std::string text = "1a2b:s3cret:" + cnonce;
    Md5_HexOf(text.data(), static_cast<u32>(text.size()), hex);
    return "sessionid=\"1a2b\", cnonce=\"" + cnonce + "\", " + extra + "digest=\"" + hex + "\"\r\n";
}

}  // namespace

using WebAuth = WebHmiTest;

TEST_F(WebAuth, ReplayWindowRecordsEveryAcceptedValue) {
    struct Step {
        u32 v;
        i32 want;
    } steps[] = {
        {10, 0}, {10, 462},          // the same value twice
        {12, 0}, {11, 0}, {11, 462}, // 11 lies in the window below 12, then it is used
        {3, 462},                    // more than 7 below the highest
        {12 + 65536, 462},           // too far ahead
        {5, 0},                      // 7 below 12: still in the window
        {20, 0}, {13, 0}, {14, 0}, {15, 0}, {16, 0}, {17, 0}, {18, 0}, {19, 0},  // the window fills
        {13, 462}, {14, 462}, {19, 462}, {12, 462},
    };
    dartu_replay_window w;
    dartu_replay_window_reset(&w);
    for (const Step& s : steps) EXPECT_EQ(dartu_replay_check(&w, s.v), s.want) << s.v;
    // A first value of 0 (a cnonce that is no number) is recorded as well.
    dartu_replay_window_reset(&w);
    EXPECT_EQ(dartu_replay_check(&w, 0), 0);
    EXPECT_EQ(dartu_replay_check(&w, 0), 462);
}

TEST_F(WebAuth, RequestDigestCodes) {
    dartu_replay_window_reset(&g_window);
    dartu_auth_set_session_lookup(Find, Release);
    struct Case {
        std::string header;
        i32 want;
    } cases[] = {
        {Header("1"), 0},
        {Header("1"), 462},
        {Header("2"), 0},
        {Header("x"), 0},  // no number: 0, which lies within 7 below the highest (2)
        {"sessionid=\"1a2b\", cnonce=\"3\", digest=\"00\"\r\n", 403},
        {"sessionid=\"ffff\", cnonce=\"3\", digest=\"00\"\r\n", 451},
        {"sessionid=\"1a2b\", cnonce=\"3\"\r\n", 453},
        {Header("4").substr(0, Header("4").size() - 2), 453},  // no CR LF
        {Header("5", "servername=\"other\", "), 601},
        {std::string(300, ' ') + Header("6"), 453},  // CR LF beyond the 256 bytes read
    };
    for (const Case& c : cases) {
        std::string h = c.header;
        void* session = nullptr;
        int index = -1;
        EXPECT_EQ(dartu_engine_session_get_vrfy(h.data(), static_cast<u32>(h.size()), 77, &session, &index), c.want)
            << c.header;
        EXPECT_EQ(h, c.header);  // the text is left as it was
        if (c.want == 0) {
            EXPECT_EQ(session, &g_window);
        }
    }
    EXPECT_EQ(g_lastAccess, 77u);
    dartu_auth_set_session_lookup(nullptr, nullptr);
}

TEST_F(WebAuth, AuthenticationDataTable) {
    ASSERT_EQ(dartu_auth_initialize(), 0);
    const char* secrets[] = {"a", "b", "c", "d"};
    for (const char* s : secrets) ASSERT_NE(dartu_auth_insert_auth_data(s, "op", "darTU"), nullptr);
    EXPECT_EQ(dartu_auth_insert_auth_data("a", "x", "y"), dartu_auth_find_auth_data("a"));  // the existing entry
    EXPECT_EQ(dartu_auth_insert_auth_data("e", "op", "darTU"), nullptr);                       // full
    EXPECT_EQ(CountLogged("Maximum number of active authenticated clients (auth, 4) exceeded, wait a few seconds "
                          "and try again"),
              1);
    dartu_auth_data* b = dartu_auth_find_auth_data("b");
    ASSERT_NE(b, nullptr);
    dartu_auth_fill_authdata(0, "darTU", "op", "secret", b);
    char hex[33];
    Md5_HexOf("op:darTU:secret", 15, hex);
    char mine[33];
    dartu_util_hex_encode(b->ha1, 16, mine);
    EXPECT_STREQ(mine, hex);
    // Entries unused for more than the age go; the others keep their order.
    dartu_auth_find_auth_data("c")->last_use = 500;
    dartu_auth_expire_auth_data(400, 120);
    EXPECT_EQ(dartu_auth_data_count(), 1u);
    EXPECT_NE(dartu_auth_find_auth_data("c"), nullptr);
    dartu_auth_remove_auth_data("c");
    EXPECT_EQ(dartu_auth_data_count(), 0u);
    dartu_auth_free();
}

TEST_F(WebAuth, RsaDecryptsWhatOpensslEnciphered) {
    ASSERT_EQ(dartu_options_generate_temporary_rsa(1024, 0x10001), 0);
    dartu_global_options_t* o = dartu_global_options();
    char n[2 * 512 + 1], e[2 * 16 + 1];
    dartu_util_hex_encode(o->rsa_modulus, o->rsa_modulus_length, n);
    dartu_util_hex_encode(o->rsa_exponent, o->rsa_exponent_length, e);
    TempRoot root;
    const std::string d = root.Dir();
    FILE* f = std::fopen((d + "/key.conf").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "asn1=SEQUENCE:k\n[k]\nn=INTEGER:0x%s\ne=INTEGER:0x%s\n", n, e);
    std::fclose(f);
    std::string out = Shell("cd '" + d + "' && openssl asn1parse -genconf key.conf -out pub.der >/dev/null && "
                            "openssl rsa -RSAPublicKey_in -inform DER -in pub.der -pubout -out pub.pem 2>&1 && "
                            "printf 'the session secret' > plain && "
                            "openssl pkeyutl -encrypt -pubin -inkey pub.pem -pkeyopt rsa_padding_mode:pkcs1 "
                            "-in plain -out cipher && od -An -tx1 -v cipher | tr -d ' \\n'");
    std::string hex = out.substr(out.find_last_of('\n') + 1);
    ASSERT_EQ(hex.size(), 256u) << out;
    char plain[512];
    EXPECT_EQ(dartu_auth_rsa_decrypt(hex.c_str(), plain, sizeof plain), 18);
    EXPECT_STREQ(plain, "the session secret");
    EXPECT_EQ(dartu_auth_rsa_decrypt(hex.c_str(), plain, 19), -1);  // no room for it and its NUL
    EXPECT_EQ(dartu_auth_rsa_decrypt("zz", plain, sizeof plain), -1);
    EXPECT_EQ(dartu_auth_rsa_decrypt(n, plain, sizeof plain), -1);  // not below the modulus

    // Blocks with a bad padding: made with the public exponent by hand.
    auto cipherOf = [&](std::vector<u8> block) {
        std::vector<u8> c(128);
        size_t len = c.size();
        EXPECT_EQ(dartu_rsa_exptmod(o->rsa_key, 0, block.data(), block.size(), c.data(), &len), 0);
        std::string h(2 * len + 1, '\0');
        dartu_util_hex_encode(c.data(), len, h.data());
        h.resize(2 * len);
        return h;
    };
    std::vector<u8> good(128, 0x5A), noSeparator(128, 0x5A), type3(128, 0x5A);
    good[0] = 0;
    good[1] = 2;
    good[100] = 0;
    noSeparator[0] = 0;
    noSeparator[1] = 2;
    type3[0] = 0;
    type3[1] = 3;
    type3[100] = 0;
    EXPECT_EQ(dartu_auth_rsa_decrypt(cipherOf(good).c_str(), plain, sizeof plain), 27);
    EXPECT_EQ(dartu_auth_rsa_decrypt(cipherOf(noSeparator).c_str(), plain, sizeof plain), -1);
    EXPECT_EQ(dartu_auth_rsa_decrypt(cipherOf(type3).c_str(), plain, sizeof plain), -1);
}

TEST_F(WebAuth, UserFileAndDigestCallback) {
    dartu_global_options()->login_method = kDartuLoginHttpBasic;
    char hex[33];
    Md5_HexOf("op:darTU:pw", 11, hex);
    std::string text = std::string("darTU\r\nop;") + hex + ";Num::1;Right3\r\nhigh;" + hex +
                       ";Num::2;Right9\r\nhalf;" + hex + "\r\n";
    dartu_parse_n_get_access_rights_from_buffer(text.data(), static_cast<u32>(text.size()));
    const dartu_user_rights& t = user_access_rights_list;
    EXPECT_STREQ(t.realm, "darTU");
    ASSERT_EQ(t.count, 2u);  // the incomplete last user is ignored
    EXPECT_EQ(t.users[0].level, 3);
    EXPECT_EQ(t.users[0].number, 1);
    EXPECT_EQ(t.users[1].level, 7);  // capped
    dartu_credentials op{"darTU", "op"};
    char out[65] = {};
    i32 err = -1;
    EXPECT_EQ(dartu_authentication_digest_cb(&op, "pw", out, &err), 0);
    EXPECT_STREQ(out, hex);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(dartu_authentication_digest_cb(&op, "nope", out, &err), -1);
    EXPECT_EQ(err, 405);
    dartu_credentials other{"u5TAV", "op"};
    EXPECT_EQ(dartu_authentication_digest_cb(&other, "pw", out, &err), -1);
    dartu_global_options()->login_method = kDartuLoginHttpDigest;
    EXPECT_EQ(dartu_authentication_digest_cb(&op, nullptr, out, &err), 0);

    // A realm line without CR keeps every letter; more than 255 users stop at 255.
    std::string many = "darTU\n";
    for (int i = 0; i < 300; ++i) many += "u" + std::to_string(i) + ";" + hex + ";Num::1;Right1\n";
    dartu_parse_n_get_access_rights_from_buffer(many.data(), static_cast<u32>(many.size()));
    EXPECT_STREQ(t.realm, "darTU");
    EXPECT_EQ(t.count, kDartuMaxUsers);
    dartu_acccess_rights_clear();
    EXPECT_EQ(t.count, 0u);
}

TEST_F(WebAuth, GlobalSettingsFile) {
    struct Case {
        std::string text;
        u16 keepAlive, inactivity;
        u8 method;
    } cases[] = {
        {"KeepAlive:30\nInactivityTimeOut:10\nAuthentication:Basic\n", 30, 600, 1},
        {"Authentication:Digest\n", 30, 600, 2},  // absent keys keep their values
        {"Other:1\nInactivityTimeOut:5000\n", 30, 65535, 2},  // held at the largest, not wrapped
        {"KeepAlive:0\n", 0, 65535, 2},
    };
    ConnectionTimeOut = 60;
    SessionTimeOut = 300;
    dartu_authentication_method = 2;
    for (const Case& c : cases) {
        std::string t = c.text;
        dartu_update_global_config_parameters(t.data());
        EXPECT_EQ(ConnectionTimeOut, c.keepAlive) << c.text;
        EXPECT_EQ(SessionTimeOut, c.inactivity) << c.text;
        EXPECT_EQ(dartu_authentication_method, c.method) << c.text;
    }
    // A file longer than the buffer is read only up to it.
    TempRoot root;
    Root_Init();
    std::string path = root.Path("/mnt/USB0/big.cfg");
    Shell("mkdir -p \"$(dirname '" + path + "')\"");
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 100; ++i) std::fputs("KeepAlive:7\n", f);
    std::fclose(f);
    char buffer[kDartuGlobalConfigMax];
    darTU_global_config_file_size = 0;
    dartu_read_file(buffer, sizeof buffer, "/mnt/USB0/big.cfg");
    EXPECT_EQ(darTU_global_config_file_size, kDartuGlobalConfigMax - 1);
    EXPECT_EQ(buffer[kDartuGlobalConfigMax - 1], 0);
    ConnectionTimeOut = 60;
    SessionTimeOut = 300;
}
