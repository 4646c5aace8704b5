// The request engine of the web-HMI server: cuts complete HTTP requests out
// of what a connection received, parses the request line, hands GET and
// HEAD to the file handler and routes POSTs of the JSON protocol (the
// request prefix, "?" and the request name, a form-encoded body) through the
// access check, the session header check and the request hook to the
// handler of the request table. It also builds every reply header, the HTML
// error pages and the JSON frames of results and errors.
//
// Runs in the server thread, one request at a time.
#pragma once

#include <cstddef>

#include "platform/bytes.h"

struct dartu_buffer;
struct dartu_connection_info;

constexpr u32 kDartuMethodSearch = 16;      // the method lies within the first 16 bytes
constexpr u32 kDartuUrlMax = 65535;         // longest URL
constexpr u32 kDartuSessionHeaderMax = 256; // bytes of the X-DarTU value passed to the check
constexpr u32 kDartuAuthFieldSize = 64;     // realm, user and password outputs of the access check

// One POST request of the JSON protocol on its way to its handler.
struct dartu_post_request {
    dartu_connection_info* connection;
    dartu_buffer* request;  // the body indexed into the field dictionary
    const char* url;
    u32 url_length;
    const char* session_header;  // X-DarTU value (NUL-terminated, at most 255 characters) or none
    void* session;               // the session of the X-DarTU header, or none
    int session_index;
    u32 keep_alive;
    // The HTTP user of the access check (password: Basic's plain text or
    // Digest's 16-byte HA1).
    const char* realm;
    const char* user;
    const char* password;
    dartu_buffer* reply;  // out
    int deferred;         // out: the handler keeps the request buffer
};

using dartu_post_handler = void (*)(dartu_post_request* request);
// Runs after a handler of a row that has one (login list, session resets).
using dartu_post_after = void (*)(dartu_post_request* request);

// One row of the request table.
struct dartu_post_method {
    const char* name;
    u32 length;
    u32 code;              // 1.. in name order; 0 means unknown
    u32 level;             // lowest certification level that offers it
    u32 session_required;
    dartu_post_handler handler;  // none: answered "Not implemented"
    dartu_post_after after;
};

// The request table, sorted by name.
extern dartu_post_method post_method_types[];
extern const u32 kDartuPostMethodCount;

// Installs the handler (and its follow-up) of the named row: 0, or -1 when
// no row has that name. The server start-up fills the rows this build serves.
int dartu_engine_set_post_handler(const char* name, dartu_post_handler handler, dartu_post_after after);
// The request code of the row with exactly this name offered at the
// server's level, else 0.
u32 dartu_engine_get_post_request_method(const char* name, u32 length);
const dartu_post_method* dartu_engine_post_method(u32 code);

// Where the Date header line takes its time: Unix seconds, or negative when
// there is none (the line is then left out).
using dartu_clock_seconds_fn = i64 (*)();
void dartu_engine_set_clock(dartu_clock_seconds_fn clock);
i64 dartu_engine_clock_seconds();

// Framing: the received bytes (and a kept partial request) are cut into
// complete requests, each handled and its reply queued on the connection in
// order. 0, or -1 after setting close-after-send.
int dartu_engine_handle_data(dartu_connection_info* connection, dartu_buffer** partial, dartu_buffer* received);
// One complete request: its reply, or none.
dartu_buffer* dartu_engine_handle_request(dartu_connection_info* connection, dartu_buffer* request);
void dartu_engine_handle_post_request(const char* url, u32 url_length, dartu_connection_info* connection,
                                      dartu_buffer* request, dartu_buffer** reply);

// A header's value in the request's header block (name with its ": ",
// compared without letter case at the start of a line): its start and
// length up to CR LF, or none.
const char* dartu_engine_find_header(const dartu_buffer* request, const char* name, u32* length);

// ---- Replies ------------------------------------------------------------------
dartu_buffer* dartu_engine_initialize_response(int status, const char* text, u32 keep_alive);
dartu_buffer* dartu_engine_initialize_response_mtsafe(int status, const char* text, u32 keep_alive);
// 0, or 1 when the lines do not fit.
int dartu_engine_initialize_response_fields(dartu_buffer* reply, int status, const char* text, u32 keep_alive);
dartu_buffer* dartu_engine_get_content_buffer_mtsafe();
// 0, or -1 (the contents are then returned).
int dartu_engine_chain_content(dartu_buffer* reply, dartu_buffer* contents, const char* content_type);
int dartu_engine_construct_json_response(u32 keep_alive, dartu_buffer** reply, dartu_buffer* contents);
int dartu_engine_construct_json_error_response(dartu_buffer** reply, u32 keep_alive, i32 code);
int dartu_engine_construct_json_on_error_response(dartu_buffer** reply, u32 keep_alive, i32 code);
int dartu_engine_construct_json_error_response_with_content(dartu_buffer** reply, u32 keep_alive, i32 code,
                                                            dartu_buffer* contents);
int dartu_engine_construct_json_on_error_response_with_content(dartu_buffer** reply, u32 keep_alive, i32 code,
                                                               dartu_buffer* contents);
// JSON frames of the handlers: 0, or 1 when the buffer could not grow.
int dartu_engine_construct_json_result_header(dartu_buffer* buffer, int list);
int dartu_engine_construct_json_result_footer(dartu_buffer* buffer, int list);
int dartu_engine_construct_json_more_flag_footer(dartu_buffer* buffer, int list);
int dartu_engine_construct_json_object_string(dartu_buffer* buffer, const char* name, const char* value);
int dartu_engine_construct_json_result_error(dartu_buffer* buffer, i32 code);
int dartu_engine_construct_json_errstrings_object(dartu_buffer* buffer, i32 code, int empty_for_success);
// An HTML error page (for HEAD only the header).
dartu_buffer* dartu_engine_not_available_err(const char* entity, int status, const char* text, u32 keep_alive,
                                             int head);
