// Authentication of the web-HMI server: HTTP Basic and Digest against the
// password-digest callback, the Digest nonce and its challenge, the table of
// authentication data that binds a session secret to its HTTP user, the
// request digest of the "X-DarTU" header with its replay window, and MD5.
//
// Everything runs in the server thread.
#pragma once

#include <cstddef>

#include "platform/bytes.h"
#include "platform/md5.h"

struct dartu_buffer;
struct dartu_connection_info;

// ---- MD5 (the firmware's one implementation) --------------------------------
using dartu_md5_state = Md5Context;
void dartu_md5_init(dartu_md5_state* state);
void dartu_md5_process(dartu_md5_state* state, const void* data, size_t length);
void dartu_md5_done(dartu_md5_state* state, u8* digest16);

// ---- Authentication data -------------------------------------------------------
struct dartu_auth_data {
    char* realm;
    char* user;
    u64 last_use;  // toolkit clock
    u8 key[16];    // MD5 of the session secret text
    u8 ha1[16];    // MD5 of user ":" realm ":" password
    char* password;  // Basic only
};

constexpr u32 kDartuNonceLength = 32;
// A nonce is fresh for this many toolkit-clock units (30 seconds).
constexpr u32 kDartuNonceFresh = 60;
constexpr u32 kDartuAuthHeaderMax = 66560;

// Reasons of a refused Authorization value (all answered by the 401 challenge).
enum : i32 {
    kDartuAuthOk = 0,
    kDartuAuthStale = 401,
    kDartuAuthBadDigest = 403,
    kDartuAuthDenied = 405,
    kDartuAuthMalformed = 406,
};

int dartu_auth_initialize();
void dartu_auth_clear();
void dartu_auth_free();

// 1 to serve the request; 0 when the reply (the 401 challenge) was produced.
// The three outputs are buffers of kDartuAuthFieldSize bytes.
int dartu_auth_verify_access(dartu_connection_info* connection, const char* authorization, u32 authorization_length,
                             const char* method, const char* url, int tls, char* realm, char* user, char* password,
                             dartu_buffer** reply);
// 0 authenticated, -1 not (*error the reason; *stale set for a correct
// answer to a stale nonce).
int dartu_auth_verify_auth_header(const char* authorization, u32 length, const char* method, const char* url,
                                  char* realm, char* user, char* password, i32* error, int* stale);
// The 401 reply with a fresh challenge (the extra text follows the Digest
// challenge: the stale marker, or none).
dartu_buffer* dartu_auth_generate_401_response(u32 keep_alive, const char* extra);
// A fresh nonce (32 characters and a NUL) at the given clock value.
void dartu_auth_make_nonce(u64 now, char* nonce33);
// 0 valid and fresh, 1 valid but stale, -1 not ours or from the future.
int dartu_auth_check_nonce(const char* nonce, u32 length, u64 now);
u32 dartu_auth_challenge_count();

dartu_auth_data* dartu_auth_insert_auth_data(const char* secret, const char* user, const char* realm);
dartu_auth_data* dartu_auth_find_auth_data(const char* secret);
void dartu_auth_remove_auth_data(const char* secret);
void dartu_auth_fill_authdata(int is_ha1, const char* realm, const char* user, const char* password_or_ha1,
                              dartu_auth_data* entry);
void dartu_auth_data_clear(dartu_auth_data* entry);
void dartu_auth_expire_auth_data(u64 now, u64 age);
u32 dartu_auth_data_count();

// ---- Request digest ------------------------------------------------------------
// The cnonce values a session accepted: the highest, and the most recent
// ones that still lie in the window.
constexpr u32 kDartuReplayWindow = 8;
struct dartu_replay_window {
    u32 highest;
    u32 count;  // entries in use
    u32 recent[kDartuReplayWindow];
};
void dartu_replay_window_reset(dartu_replay_window* window);
// 0 when v is accepted (and recorded), 462 when it was used or lies outside
// the window.
i32 dartu_replay_check(dartu_replay_window* window, u32 v);

// What the request digest check needs of a session (filled by the session
// layer through its lookup).
struct dartu_session_view {
    void* session;
    int index;
    const char* secret;
    u64* last_access;
    dartu_replay_window* window;
};
// Finds the session with this id; 0 when found. The session table stays
// read-locked until the release is called (it is called after every find,
// found or not).
using dartu_session_find_fn = int (*)(const char* id, dartu_session_view* out);
using dartu_session_release_fn = void (*)();
void dartu_auth_set_session_lookup(dartu_session_find_fn find, dartu_session_release_fn release);

// Checks the X-DarTU value (at most kDartuSessionHeaderMax bytes are read):
// 0 with the session and its index, or the error code 453, 451, 403, 462 or
// 601. The text is left as it was.
i32 dartu_engine_session_get_vrfy(char* header, u32 length, u64 now, void** session, int* index);
i32 dartu_engine_session_verify_header(char* header, u32 length, void** session, int* index);

// ---- RSA ----------------------------------------------------------------------
// Decrypts a session secret enciphered with the server's public key
// (hexadecimal text): its length, or -1.
int dartu_auth_rsa_decrypt(const char* hex, char* destination, size_t capacity);
