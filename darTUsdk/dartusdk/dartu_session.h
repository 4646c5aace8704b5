// Sessions of the web-HMI JSON protocol: the session table, createsession
// with its RSA-enciphered secret, deletesession, login, logout,
// changepassword, and the expiry pass with its two time-outs (seconds
// without a verified request on the toolkit clock, seconds without user
// activity on the controller's clock).
//
// A session owns its subscription frames and its publish queue with the
// parked long-poll request (dartu_subscription.h). Everything runs in the
// server thread; the table lock keeps the record layout consistent for the
// request digest check.
#pragma once

#include "platform/bytes.h"
#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_lock.h"

struct dartu_buffer;
struct dartu_post_request;
struct dartu_subscription_frame;
struct dartu_notification;

struct dartu_session {
    char id[9];  // "%08x" of the session number
    char* secret;
    u32 timeout;  // seconds, at most the option maxtimeout
    u64 last_access;  // toolkit clock of the last verified request
    dartu_replay_window window;
    u32 teardown;  // torn down at the next expiry pass
    dartu_subscription_frame* first_frame;
    dartu_subscription_frame* last_frame;
    u32 frame_count;
    dartu_mutex queue_lock;
    dartu_mutex publish_lock;
    dartu_notification* queue_head;  // oldest
    dartu_notification* queue_tail;
    u32 queue_count;
    // A parked publish: its content buffer and the id of its connection (a
    // connection record may serve another client by the time it is answered).
    dartu_buffer* parked_buffer;
    u32 parked_connection;
    u64 parked_at;
    i32 parked_maxresults;
    u32 activity;  // controller-clock seconds of the last user activity
};

// The login list of the glue: a session id (as a number) gains an entry
// after createsubscription and loses it when the session ends.
using dartu_login_add_fn = void (*)(u32 session_number, const char* user, u32 login_time);
using dartu_login_delete_fn = void (*)(u32 session_number);
void dartu_engine_session_set_login_hooks(dartu_login_add_fn add, dartu_login_delete_fn del);

// Table set-up: 0, or -1 (logged) when it cannot be allocated.
int dartu_engine_session_initialize();
// Returns every parked buffer unanswered and deletes the sessions, last first.
void dartu_engine_session_clear();
// Deletes what remains and frees the table: 0, or -1.
int dartu_engine_session_free();

// 0 with the new session, or -1 with *error (450, 457, 402, 407, 900).
int dartu_engine_session_create(u64 now, const char* timeout, const char* cipher, int enciphered, const char* realm,
                                const char* user, const char* password, dartu_session** session, i32* error);
// The caller holds the table lock: 0, or -1 with *error 451.
int dartu_engine_session_get_id_raw(const char* id, dartu_session** session, int* index, i32* error);
dartu_auth_data* dartu_engine_session_get_user_data(dartu_session* session);
// 0, or -1 when the index is not in use.
int dartu_engine_session_delete_idx(int index);
using dartu_session_teardown_fn = void (*)(dartu_session* session);
void dartu_engine_session_delete_expired(u64 now, dartu_session_teardown_fn teardown);

u32 dartu_engine_session_count();
dartu_session* dartu_engine_session_at(u32 index);
// Controller-clock seconds (the engine's clock; 0 when it has none).
u32 dartu_engine_session_clock_seconds();

void dartu_engine_session_lock_read();
void dartu_engine_session_unlock_read();

// Handlers of the request table.
void dartu_engine_handle_create_session_request(dartu_post_request* request);
void dartu_engine_handle_delete_session_request(dartu_post_request* request);
void dartu_engine_handle_login_request(dartu_post_request* request);
void dartu_engine_handle_logout_request(dartu_post_request* request);
void dartu_engine_handle_change_password_request(dartu_post_request* request);
// Follow-ups of the request table: activity time and login list.
void dartu_engine_after_create_subscription(dartu_post_request* request);
void dartu_engine_after_activity(dartu_post_request* request);
void dartu_engine_after_delete_session(dartu_post_request* request);
// Installs the rows above in the request table.
void dartu_engine_session_install_handlers();

// The last value of a field whose name begins with the prefix, or none.
const char* dartu_engine_last_field(const dartu_buffer* request, const char* prefix, u32* length);
