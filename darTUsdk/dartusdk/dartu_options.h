// Settings of the web-HMI server: names, ports and files, the JSON prefix, the
// web root and MIME types, level and login method, the RSA key, the limits of
// buffers, sessions, subscriptions and authentication, and the error log.
//
// Filled with defaults by dartu_options_initialize, changed through the
// setters by the server start-up before any connection is accepted, and only
// read afterwards (without locks).
#pragma once

#include <cstdarg>

#include "platform/bytes.h"
#include "darTUsdk/dartusdk/dartu_mime.h"

struct dartu_rsa_key;

// Server levels ("certificationlevel" of the info answer).
enum : u32 {
    kDartuLevelBasic = 0,
    kDartuLevelAdvanced = 1,
    kDartuLevelScada = 2,
    kDartuLevelMultipoint = 3,
};

// Login methods.
enum : u32 {
    kDartuLoginNone = 0,
    kDartuLoginHttpBasic = 1,
    kDartuLoginHttpDigest = 2,
    kDartuLoginForm = 5,
};

using dartu_error_log_cb = void (*)(const char* text);
using dartu_idle_cb = void (*)(u64 clock_value);

struct dartu_global_options_t {
    char* server_name;
    u32 server_name_length;
    char* prefix;  // "/darTU/": JSON requests are POSTs to it followed by '?'
    u32 prefix_length;
    char* http_address;  // not used: the listeners bind to every local address
    u32 http_port;       // 0 opens no listener
    char* https_address;
    u32 https_port;
    char* certificate_file;
    char* key_passphrase;
    char* web_root;
    char* default_documents;  // ';'-separated
    const dartu_mimetype* mime_table;
    u32 mime_count;
    u32 server_level;
    u32 login_method;
    char* realm;

    // Public key: modulus and exponent as unsigned big-endian byte strings
    // without leading zeros, both inside public_key_block.
    const u8* rsa_modulus;
    u32 rsa_modulus_length;
    const u8* rsa_exponent;
    u32 rsa_exponent_length;
    u8* public_key_block;
    dartu_rsa_key* rsa_key;
    // Room for a private key loaded from a file (six numbers in one block);
    // nothing loads one, the generated key object is used instead.
    u8* private_key_block;
    const u8* private_numbers[6];
    u32 private_lengths[6];

    u32 tcp_nodelay;
    u32 max_timeout;   // seconds; default and bound of session time-outs
    u32 request_max;   // largest request and Content-Length
    u32 response_max;  // largest response body
    dartu_error_log_cb error_log;
    dartu_idle_cb idle;
    const char* vendor_info;
    const char* server_banner;
    u32 long_poll_support;
    u32 session_limit;
    u32 frame_limit;
    u32 item_limit;
    u32 publish_queue_size;
    u32 auth_client_limit;
    // Session expiry: seconds without a verified request, and seconds of
    // the controller's clock without user activity.
    u32 connection_timeout;
    u32 session_timeout;
};

dartu_global_options_t* dartu_global_options();

// Selects the OEM variant's defaults (realm "u5TAV"); read by
// dartu_options_initialize. The server start-up sets it from the
// controller's identity before initialising.
void dartu_options_set_oem_variant(int oem);

// Sets every field to its default; 0.
int dartu_options_initialize();
// Releases every owned field and clears the record.
void dartu_options_free();

void dartu_options_set_server_name(const char* name);
void dartu_options_set_web_root(const char* root, const char* default_documents);
// Without a realm, methods 1 and 2 get "darTU" and others keep none.
void dartu_options_set_auth_options(u32 login_method, const char* realm);
void dartu_options_set_http_options(const char* address, u32 port);
void dartu_options_set_https_options(const char* address, u32 port, const char* certificate_file,
                                     const char* key_passphrase);
// New RSA key (1024..4096 bits) with its public key block; 0 or -1. A failure
// leaves no public key.
int dartu_options_generate_temporary_rsa(int bits, unsigned long exponent);

// Default error log callback: the text and a line feed on standard error.
void dartu_options_stderr_error_cb(const char* text);

// Formats a diagnostic and hands it to the error log callback (the default
// one while none is set). Every report of the toolkit goes through here.
void dartu_options_log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
