#include "darTUsdk/dartusdk/dartu_auth.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_base64.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_rsa.h"
#include "darTUsdk/dartusdk/dartu_sys.h"
#include "darTUsdk/dartusdk/dartu_timer.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

struct State {
    u8 secret[16] = {};
    u32 challenges = 0;
    dartu_auth_data* table = nullptr;
    u32 capacity = 0;
    u32 count = 0;
    dartu_session_find_fn find = nullptr;
    dartu_session_release_fn release = nullptr;
};

State g;

// Fixed part of every 401 reply.
constexpr const char* k401Tail =
    "Content-Length: 126\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
    "<!DOCTYPE html><html><head><title>401 Authorization Required</title></head><body>"
    "<h1>Authorization required</h1></body></html>";

u64 Now() { return dartu_sys_get_current_monotonous_time(); }

void Md5Of(u8* out, const void* a, size_t an, const void* b = nullptr, size_t bn = 0) {
    dartu_md5_state s;
    dartu_md5_init(&s);
    dartu_md5_process(&s, a, an);
    if (b) dartu_md5_process(&s, b, bn);
    dartu_md5_done(&s, out);
}

void Md5Join(u8* out, const char* const* parts, int count) {
    dartu_md5_state s;
    dartu_md5_init(&s);
    for (int i = 0; i < count; ++i) {
        if (i) dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, parts[i], std::strlen(parts[i]));
    }
    dartu_md5_done(&s, out);
}

void CopyField(char* out, const char* text, size_t n) {
    if (n >= kDartuAuthFieldSize) n = kDartuAuthFieldSize - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}

// The value of name="..." within the text (names compared without case; the
// name must not be the tail of a longer word). Its start and length, or none.
const char* QuotedParam(const char* text, u32 length, const char* name, u32* out) {
    const size_t nn = std::strlen(name);
    u32 from = 0;
    while (from < length) {
        int at = dartu_util_strcasenstr(text + from, length - from, name, nn);
        if (at < 0) return nullptr;
        u32 pos = from + static_cast<u32>(at);
        from = pos + 1;
        char before = pos > 0 ? text[pos - 1] : ' ';
        if ((before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z')) continue;
        u32 v = pos + static_cast<u32>(nn);
        if (v + 1 >= length || text[v] != '=' || text[v + 1] != '"') continue;
        v += 2;
        u32 end = v;
        while (end < length && text[end] != '"') {
            if (text[end] == '\r') return nullptr;
            ++end;
        }
        if (end >= length) return nullptr;
        *out = end - v;
        return text + v;
    }
    return nullptr;
}

bool HexTo16(const char* text, u32 length, u8* out16) {
    size_t n = 0;
    if (length != 32) return false;
    return dartu_util_hex_decode(text, static_cast<int>(length), out16, 16, &n) == 0 && n == 16;
}

int VerifyBasic(const char* rest, u32 length, char* realm, char* user, char* password, i32* error) {
    dartu_global_options_t* o = dartu_global_options();
    u8 decoded[130];
    size_t n = 129;
    if (dartu_base64_decode(rest, length, decoded, &n) != 0) {
        *error = kDartuAuthMalformed;
        return -1;
    }
    decoded[n] = 0;
    const u8* colon = static_cast<const u8*>(std::memchr(decoded, ':', n < 64 ? n : 64));
    if (colon) {
        size_t un = static_cast<size_t>(colon - decoded);
        CopyField(user, reinterpret_cast<const char*>(decoded), un);
        size_t pn = n - un - 1;
        if (pn < kDartuAuthFieldSize) CopyField(password, reinterpret_cast<const char*>(colon + 1), pn);
    }
    CopyField(realm, o->realm ? o->realm : "", std::strlen(o->realm ? o->realm : ""));
    dartu_password_digest_cb cb = dartu_global_context()->cb.password_digest;
    char hex[65] = {};
    i32 err = 0;
    dartu_credentials cred{realm, user};
    if (!cb || cb(&cred, password, hex, &err) < 0) {
        *error = kDartuAuthDenied;
        return -1;
    }
    u8 stored[16];
    size_t hn = std::strlen(hex);
    if (!HexTo16(hex, static_cast<u32>(hn > 32 ? 32 : hn), stored)) {
        *error = kDartuAuthBadDigest;
        return -1;
    }
    u8 mine[16];
    const char* parts[] = {user, realm, password};
    Md5Join(mine, parts, 3);
    if (std::memcmp(mine, stored, 16) != 0) {
        *error = kDartuAuthDenied;
        return -1;
    }
    return 0;
}

int VerifyDigest(const char* text, u32 length, const char* method, const char* url, char* realm, char* user,
                 char* password, i32* error, int* stale) {
    *error = kDartuAuthDenied;
    u32 uriN = 0, userN = 0, realmN = 0, cnonceN = 0, nonceN = 0, respN = 0;
    const char* uri = QuotedParam(text, length, "uri", &uriN);
    const char* username = QuotedParam(text, length, "username", &userN);
    const char* rlm = QuotedParam(text, length, "realm", &realmN);
    const char* cnonce = QuotedParam(text, length, "cnonce", &cnonceN);
    const char* nonce = QuotedParam(text, length, "nonce", &nonceN);
    const char* response = QuotedParam(text, length, "response", &respN);
    // nc=00000001 or nc="00000001"
    const char* nc = nullptr;
    u32 ncN = 0;
    for (u32 from = 0; from < length;) {
        int at = dartu_util_strcasenstr(text + from, length - from, "nc=", 3);
        if (at < 0) break;
        u32 pos = from + static_cast<u32>(at);
        from = pos + 1;
        char before = pos > 0 ? text[pos - 1] : ' ';
        if ((before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z')) continue;
        u32 v = pos + 3;
        if (v < length && text[v] == '"') ++v;
        u32 e = v;
        while (e < length && ((text[e] >= '0' && text[e] <= '9') || (text[e] >= 'a' && text[e] <= 'f') ||
                              (text[e] >= 'A' && text[e] <= 'F')))
            ++e;
        nc = text + v;
        ncN = e - v;
        break;
    }
    if (!username || !rlm || userN >= kDartuAuthFieldSize || realmN >= kDartuAuthFieldSize || !nonce || !response ||
        !cnonce || !nc) {
        *error = kDartuAuthMalformed;
        return -1;
    }
    char uriText[kDartuUrlMax + 2] = "";
    if (uri) {
        if (uriN > kDartuUrlMax) return -1;
        std::memcpy(uriText, uri, uriN);
        uriText[uriN] = 0;
    }
    if (dartu_util_url_compare(uriText, url, 0) != 0) return -1;
    CopyField(user, username, userN);
    CopyField(realm, rlm, realmN);
    int fresh = dartu_auth_check_nonce(nonce, nonceN, Now());
    if (fresh < 0) return -1;
    dartu_password_digest_cb cb = dartu_global_context()->cb.password_digest;
    char hex[130] = {};
    i32 err = 0;
    dartu_credentials cred{realm, user};
    if (!cb || cb(&cred, nullptr, hex, &err) < 0) return -1;
    u8 ha1[64];
    size_t ha1n = 0;
    size_t hexN = std::strlen(hex);
    if (dartu_util_hex_decode(hex, static_cast<int>(hexN), ha1, sizeof ha1, &ha1n) != 0 || ha1n != 16) {
        *error = kDartuAuthBadDigest;
        return -1;
    }
    std::memcpy(password, ha1, 16);
    char ha1Hex[33], ha2Hex[33];
    dartu_util_hex_encode(ha1, 16, ha1Hex);
    u8 d[16];
    {
        dartu_md5_state s;
        dartu_md5_init(&s);
        dartu_md5_process(&s, method, std::strlen(method));
        dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, uriText, std::strlen(uriText));
        dartu_md5_done(&s, d);
    }
    dartu_util_hex_encode(d, 16, ha2Hex);
    {
        dartu_md5_state s;
        dartu_md5_init(&s);
        dartu_md5_process(&s, ha1Hex, 32);
        dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, nonce, nonceN);
        dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, nc, ncN);
        dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, cnonce, cnonceN);
        dartu_md5_process(&s, ":auth:", 6);
        dartu_md5_process(&s, ha2Hex, 32);
        dartu_md5_done(&s, d);
    }
    u8 got[16];
    if (!HexTo16(response, respN, got) || std::memcmp(got, d, 16) != 0) {
        *error = kDartuAuthDenied;
        return -1;
    }
    if (fresh == 1) {
        *stale = 1;
        *error = kDartuAuthStale;
        return -1;
    }
    *error = kDartuAuthOk;
    return 0;
}

int FindIndex(const u8* key, bool* found) {
    int lo = 0, hi = static_cast<int>(g.count);
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        int r = std::memcmp(key, g.table[mid].key, 16);
        if (r == 0) {
            *found = true;
            return mid;
        }
        if (r < 0) hi = mid;
        else lo = mid + 1;
    }
    *found = false;
    return lo;
}

void RemoveAt(u32 i) {
    dartu_auth_data_clear(&g.table[i]);
    std::memmove(&g.table[i], &g.table[i + 1], (g.count - i - 1) * sizeof(dartu_auth_data));
    g.count--;
    std::memset(&g.table[g.count], 0, sizeof(dartu_auth_data));
}

}  // namespace

// ---- MD5 -----------------------------------------------------------------------

void dartu_md5_init(dartu_md5_state* s) { _nx_md5_initialize(s); }
void dartu_md5_process(dartu_md5_state* s, const void* data, size_t n) {
    _nx_md5_update(s, static_cast<const u8*>(data), static_cast<u32>(n));
}
void dartu_md5_done(dartu_md5_state* s, u8* digest) { _nx_md5_digest_calculate(s, digest); }

// ---- Set-up -------------------------------------------------------------------------

int dartu_auth_initialize() {
    dartu_auth_free();
    if (dartu_sys_get_random_data(g.secret, sizeof g.secret, 0, 0) != 0) return -1;
    g.challenges = 0;
    g.capacity = dartu_global_options()->auth_client_limit;
    g.table = static_cast<dartu_auth_data*>(std::calloc(g.capacity ? g.capacity : 1, sizeof(dartu_auth_data)));
    g.count = 0;
    return g.table ? 0 : -1;
}

void dartu_auth_clear() { dartu_auth_expire_auth_data(Now() + 7200, 0); }

void dartu_auth_free() {
    if (g.table) {
        while (g.count) RemoveAt(g.count - 1);
        std::free(g.table);
    }
    g.table = nullptr;
    g.capacity = g.count = 0;
}

u32 dartu_auth_challenge_count() { return g.challenges; }

void dartu_auth_set_session_lookup(dartu_session_find_fn find, dartu_session_release_fn release) {
    g.find = find;
    g.release = release;
}

// ---- Nonces and the challenge ------------------------------------------------------------

void dartu_auth_make_nonce(u64 now, char* nonce) {
    std::snprintf(nonce, 13, "%08x%04x", static_cast<u32>(now), g.challenges & 0xFFFF);
    u8 d[16];
    Md5Of(d, nonce, 12, g.secret, 16);
    dartu_util_hex_encode(d, 10, nonce + 12);
}

int dartu_auth_check_nonce(const char* nonce, u32 length, u64 now) {
    if (length != kDartuNonceLength) return -1;
    u8 t4[4];
    size_t n = 0;
    if (dartu_util_hex_decode(nonce, 8, t4, 4, &n) != 0 || n != 4) return -1;
    u8 d[16];
    Md5Of(d, nonce, 12, g.secret, 16);
    char hex[21];
    dartu_util_hex_encode(d, 10, hex);
    if (strncasecmp(hex, nonce + 12, 20) != 0) return -1;
    u32 t = (static_cast<u32>(t4[0]) << 24) | (static_cast<u32>(t4[1]) << 16) | (static_cast<u32>(t4[2]) << 8) | t4[3];
    u32 now32 = static_cast<u32>(now);
    if (now32 < t) return -1;
    return now32 - t > kDartuNonceFresh ? 1 : 0;
}

dartu_buffer* dartu_auth_generate_401_response(u32 keep_alive, const char* extra) {
    dartu_global_options_t* o = dartu_global_options();
    const char* realm = o->realm ? o->realm : "";
    if (!extra) extra = "";
    char line[512];
    switch (o->login_method) {
        case kDartuLoginHttpBasic:
            std::snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"%s\"\r\n", realm);
            break;
        case kDartuLoginHttpDigest: {
            g.challenges++;
            char nonce[kDartuNonceLength + 1];
            dartu_auth_make_nonce(Now(), nonce);
            std::snprintf(line, sizeof line,
                          "WWW-Authenticate: Digest realm=\"%s\", domain=\"/\", nonce=\"%s\", algorithm=MD5, "
                          "qop=\"auth\"%s\r\n",
                          realm, nonce, extra);
            break;
        }
        case 3: std::snprintf(line, sizeof line, "WWW-Authenticate: Negotiate%s\r\n", extra); break;
        case 4: std::snprintf(line, sizeof line, "WWW-Authenticate: NTLM%s\r\n", extra); break;
        default:
            return dartu_engine_not_available_err("", 500, "Internal error - HTTP auth needed and not supported",
                                                  keep_alive, 0);
    }
    dartu_buffer* r = dartu_engine_initialize_response(401, "Authorization Required", keep_alive);
    if (!r) return nullptr;
    if (dartu_buffer_put_data(r, line, std::strlen(line)) != 0 ||
        dartu_buffer_put_data(r, k401Tail, std::strlen(k401Tail)) != 0) {
        dartu_buffer_return(r);
        return nullptr;
    }
    return r;
}

// ---- HTTP authentication -------------------------------------------------------------

int dartu_auth_verify_auth_header(const char* value, u32 length, const char* method, const char* url, char* realm,
                                  char* user, char* password, i32* error, int* stale) {
    *stale = 0;
    *error = kDartuAuthMalformed;
    int e = dartu_util_strnstr(value, length, "\r\n", 2);
    if (e >= 0) length = static_cast<u32>(e);
    if (length > kDartuAuthHeaderMax) return -1;
    dartu_global_options_t* o = dartu_global_options();
    if (length >= 6 && strncasecmp(value, "Basic ", 6) == 0) {
        if (o->login_method != kDartuLoginHttpBasic) {
            *error = kDartuAuthDenied;
            return -1;
        }
        return VerifyBasic(value + 6, length - 6, realm, user, password, error);
    }
    if (length >= 7 && strncasecmp(value, "Digest ", 7) == 0)
        return VerifyDigest(value + 7, length - 7, method, url, realm, user, password, error, stale);
    if ((length >= 5 && strncasecmp(value, "NTLM ", 5) == 0) ||
        (length >= 10 && strncasecmp(value, "Negotiate ", 10) == 0)) {
        *error = kDartuAuthStale;
        return -1;
    }
    *error = kDartuAuthMalformed;
    return -1;
}

int dartu_auth_verify_access(dartu_connection_info*, const char* authorization, u32 length, const char* method,
                             const char* url, int, char* realm, char* user, char* password, dartu_buffer** reply) {
    std::memset(realm, 0, kDartuAuthFieldSize);
    std::memset(user, 0, kDartuAuthFieldSize);
    std::memset(password, 0, kDartuAuthFieldSize);
    int stale = 0;
    if (authorization) {
        i32 error = 0;
        if (dartu_auth_verify_auth_header(authorization, length, method, url, realm, user, password, &error,
                                          &stale) == 0)
            return 1;
    }
    *reply = dartu_auth_generate_401_response(0, stale ? ", stale=\"true\"" : "");
    return 0;
}

// ---- Authentication data ---------------------------------------------------------------

dartu_auth_data* dartu_auth_insert_auth_data(const char* secret, const char* user, const char* realm) {
    if (!g.table || !secret) return nullptr;
    u8 key[16];
    Md5Of(key, secret, std::strlen(secret));
    bool found = false;
    int at = FindIndex(key, &found);
    if (found) return &g.table[at];
    if (g.count >= g.capacity) {
        dartu_options_log_error(
            "Maximum number of active authenticated clients (auth, %d) exceeded, wait a few seconds and try again",
            static_cast<int>(g.capacity));
        return nullptr;
    }
    std::memmove(&g.table[at + 1], &g.table[at], (g.count - static_cast<u32>(at)) * sizeof(dartu_auth_data));
    dartu_auth_data* e = &g.table[at];
    std::memset(e, 0, sizeof *e);
    std::memcpy(e->key, key, 16);
    e->realm = dartu_strdup(realm ? realm : "");
    e->user = dartu_strdup(user ? user : "");
    e->last_use = Now();
    g.count++;
    return e;
}

dartu_auth_data* dartu_auth_find_auth_data(const char* secret) {
    if (!g.table || !secret) return nullptr;
    u8 key[16];
    Md5Of(key, secret, std::strlen(secret));
    bool found = false;
    int at = FindIndex(key, &found);
    return found ? &g.table[at] : nullptr;
}

void dartu_auth_remove_auth_data(const char* secret) {
    if (!g.table || !secret) return;
    u8 key[16];
    Md5Of(key, secret, std::strlen(secret));
    bool found = false;
    int at = FindIndex(key, &found);
    if (found) RemoveAt(static_cast<u32>(at));
}

void dartu_auth_fill_authdata(int is_ha1, const char* realm, const char* user, const char* secret,
                              dartu_auth_data* e) {
    if (!e) return;
    std::free(e->realm);
    std::free(e->user);
    std::free(e->password);
    e->realm = dartu_strdup(realm ? realm : "");
    e->user = dartu_strdup(user ? user : "");
    e->password = nullptr;
    std::memset(e->ha1, 0, 16);
    if (is_ha1) {
        if (secret) std::memcpy(e->ha1, secret, 16);
    } else if (user && *user) {
        e->password = dartu_strdup(secret ? secret : "");
        const char* parts[] = {user, realm ? realm : "", secret ? secret : ""};
        Md5Join(e->ha1, parts, 3);
    }
}

void dartu_auth_data_clear(dartu_auth_data* e) {
    std::free(e->realm);
    std::free(e->user);
    std::free(e->password);
    e->realm = e->user = e->password = nullptr;
}

void dartu_auth_expire_auth_data(u64 now, u64 age) {
    for (u32 i = 0; i < g.count;) {
        if (g.table[i].last_use + age < now) RemoveAt(i);
        else ++i;
    }
}

u32 dartu_auth_data_count() { return g.count; }

// ---- Request digest -------------------------------------------------------------------

void dartu_replay_window_reset(dartu_replay_window* w) { std::memset(w, 0, sizeof *w); }

i32 dartu_replay_check(dartu_replay_window* w, u32 v) {
    if (w->count > 0) {
        i32 d = static_cast<i32>(v - w->highest);
        if (d == 0 || d >= 65536 || d < -7) return 462;
        for (u32 i = 0; i < w->count; ++i)
            if (w->recent[i] == v) return 462;
    }
    // Every accepted value is recorded: one that was not could be replayed
    // without end. When the window is full the smallest value leaves it; at
    // least one value lies below the window's range then, and the smallest
    // is such a one, so no value that could still be accepted is forgotten.
    u32 n = w->count;
    if (n == kDartuReplayWindow) {
        u32 smallest = 0;
        for (u32 i = 1; i < n; ++i)
            if (static_cast<i32>(w->recent[i] - w->recent[smallest]) < 0) smallest = i;
        for (u32 i = smallest; i > 0; --i) w->recent[i] = w->recent[i - 1];
    } else {
        for (u32 i = n; i > 0; --i) w->recent[i] = w->recent[i - 1];
        w->count = n + 1;
    }
    w->recent[0] = v;
    if (n == 0 || static_cast<i32>(v - w->highest) > 0) w->highest = v;
    return 0;
}

i32 dartu_engine_session_get_vrfy(char* header, u32 length, u64 now, void** session, int* index) {
    *session = nullptr;
    *index = -1;
    if (length > kDartuSessionHeaderMax) length = kDartuSessionHeaderMax;
    int e = dartu_util_strnstr(header, length, "\r\n", 2);
    if (e < 0) return 453;
    const u32 n = static_cast<u32>(e);
    struct Field {
        const char* name;
        const char* value;
        u32 length;
        bool closed;
    } f[3] = {{"sessionid=\"", nullptr, 0, false}, {"cnonce=\"", nullptr, 0, false}, {"digest=\"", nullptr, 0, false}};
    for (Field& x : f) {
        int at = dartu_util_strnstr(header, n, x.name, std::strlen(x.name));
        if (at < 0) return 453;
        x.value = header + at + std::strlen(x.name);
        u32 start = static_cast<u32>(x.value - header);
        u32 end = start;
        while (end < n && header[end] != '"' && header[end] != '\r') ++end;
        x.length = end - start;
        x.closed = end < n && header[end] == '"';
    }
    if (!f[0].closed || !f[1].closed) return 453;
    if (dartu_util_strnstr(header, n, "servername=\"", 12) >= 0) return 601;
    char id[9] = {};
    if (f[0].length > 8) return 451;
    std::memcpy(id, f[0].value, f[0].length);
    char cnonce[kDartuSessionHeaderMax + 1];
    std::memcpy(cnonce, f[1].value, f[1].length);
    cnonce[f[1].length] = 0;
    if (!g.find) return 451;
    dartu_session_view view{};
    i32 result = 0;
    if (g.find(id, &view) != 0) {
        result = 451;
    } else {
        u8 want[16], got[16];
        dartu_md5_state s;
        dartu_md5_init(&s);
        dartu_md5_process(&s, id, std::strlen(id));
        dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, view.secret ? view.secret : "", view.secret ? std::strlen(view.secret) : 0);
        dartu_md5_process(&s, ":", 1);
        dartu_md5_process(&s, cnonce, f[1].length);
        dartu_md5_done(&s, want);
        if (!f[2].closed || !HexTo16(f[2].value, f[2].length, got) || std::memcmp(want, got, 16) != 0) {
            result = 403;
        } else {
            if (view.last_access) *view.last_access = now;
            u32 v = static_cast<u32>(std::strtoul(cnonce, nullptr, 10));
            result = view.window ? dartu_replay_check(view.window, v) : 0;
            if (result == 0) {
                if (now != 0 && view.secret) {
                    dartu_auth_data* a = dartu_auth_find_auth_data(view.secret);
                    if (a) a->last_use = now;
                }
                *session = view.session;
                *index = view.index;
            }
        }
    }
    if (g.release) g.release();
    return result;
}

i32 dartu_engine_session_verify_header(char* header, u32 length, void** session, int* index) {
    return dartu_engine_session_get_vrfy(header, length, Now(), session, index);
}

int dartu_auth_rsa_decrypt(const char* hex, char* destination, size_t capacity) {
    return dartu_rsa_decrypt_hex(dartu_global_options()->rsa_key, hex, destination, capacity);
}
