// The global context of the web-HMI toolkit: the callback slots through which
// the controller side serves data and authentication, the buffer pool, the
// worker thread slots and the server timer.
//
// The toolkit is generic: it knows nothing of registers, users or files; the
// controller's glue fills the slots before the listening sockets open, and
// they do not change while the server runs (read without locks).
#pragma once

#include <pthread.h>

#include <atomic>

#include "platform/bytes.h"
#include "darTUsdk/dartusdk/dartu_lock.h"
#include "darTUsdk/dartusdk/dartu_timer.h"

// Records owned by other parts of the server; the slots only pass them on.
struct dartu_buffer;
struct dartu_connection_info;
struct dartu_result_context;
struct dartu_subscription_item;
struct dartu_data_value;
struct dartu_localized_string;
struct dartu_auth_data;
struct dartu_user_info_request;
struct dartu_history_request;

// Credentials handed to the password-digest callback.
struct dartu_credentials {
    const char* realm;
    const char* user;
};

// ---- Callback slot types ---------------------------------------------------
// Non-zero when the hook answered the request itself (reply in *response).
using dartu_request_hook_cb = int (*)(const char* method, const char* path, dartu_connection_info* connection,
                                      dartu_buffer* request, dartu_buffer** response, void** deferred, void** user);
using dartu_response_hook_cb = void (*)(dartu_buffer* response);
using dartu_error_text_cb = const char* (*)(i32 code, void* context, i32 code2);
// *release set when the caller must free the text it got.
using dartu_error_text_ex_cb = int (*)(i32 code, const char** text, const dartu_localized_string** localized,
                                       int* release);
using dartu_read_cb = void (*)(dartu_result_context* result, void* user_data, const char* address);
using dartu_write_cb = void (*)(dartu_result_context* result, void* user_data, const char* address,
                                const char* value, u32 value_length);
using dartu_process_image_cb = void (*)(dartu_result_context* result, void* user_data, void* reserved);
// Lists of up to 32 entries, the address list ended by none.
using dartu_read_multi_cb = void (*)(dartu_result_context* result, void* user_data, const char* const* addresses);
using dartu_write_multi_cb = void (*)(dartu_result_context* result, void* user_data, const char* const* addresses,
                                      const char* const* values, const u32* lengths);
using dartu_deferred_address_cb = int (*)(const char* address);
// *coalesce set when each session keeps at most one queued value of the item.
using dartu_subscribe_cb = void (*)(dartu_subscription_item* item, void* user_data, const char* address,
                                    void** app_handle, u32* coalesce, i32* error);
using dartu_unsubscribe_cb = void (*)(void* app_handle, i32* error);
using dartu_filter_subscribe_cb = void (*)(dartu_subscription_item* item, void* user_data, const char* aggregation,
                                           double interval, const char* const* filters, void* item_handles,
                                           i32* error);
using dartu_query_filter_cb = void (*)(void* answer, void* user_data, const char* aggregation, double interval,
                                       const char* const* filters);
using dartu_alarm_accept_cb = void (*)(void* user_data, const char* address, i32* error);
using dartu_history_cb = void (*)(dartu_history_request* request);
using dartu_comm_conn_cb = void (*)(dartu_connection_info* connection);
using dartu_comm_tick_cb = void (*)(u64 clock_value);
using dartu_password_change_cb = void (*)(const char* user, const char* old_password, const char* new_password,
                                          i32* error);
// Non-zero allows the request.
using dartu_access_check_cb = int (*)(const char* method, const char* path, dartu_connection_info* connection,
                                      const dartu_credentials* credentials, i32* error);
// Negative on failure.
using dartu_password_digest_cb = int (*)(const dartu_credentials* credentials, const char* password,
                                         char* hex_digest, i32* error);
using dartu_user_info_cb = void (*)(dartu_user_info_request* event, dartu_auth_data* auth, const char* user);

struct dartu_callbacks {
    dartu_request_hook_cb request_hook;
    dartu_response_hook_cb response_hook;
    dartu_error_text_cb error_text;
    dartu_error_text_ex_cb error_text_ex;
    dartu_read_cb read;
    dartu_write_cb write;
    dartu_process_image_cb process_image_list;
    dartu_process_image_cb process_image_read;
    dartu_read_cb alarm_read;
    dartu_read_multi_cb read_multi;
    dartu_write_multi_cb write_multi;
    dartu_deferred_address_cb deferred_address;
    dartu_subscribe_cb subscribe;
    dartu_unsubscribe_cb unsubscribe;
    dartu_subscribe_cb alarm_subscribe;
    dartu_unsubscribe_cb alarm_unsubscribe;
    dartu_filter_subscribe_cb filter_subscribe;
    dartu_unsubscribe_cb filter_unsubscribe;
    dartu_query_filter_cb query_filter;
    dartu_alarm_accept_cb alarm_accept;
    dartu_history_cb history;
    dartu_comm_conn_cb receive_data;
    dartu_comm_conn_cb connection_dropped;
    dartu_comm_tick_cb tick;
    dartu_password_change_cb password_change;
    dartu_access_check_cb access_check;
    dartu_password_digest_cb password_digest;
    dartu_user_info_cb user_info;
};

// ---- Worker threads ----------------------------------------------------------
enum : u32 {
    kDartuThreadFree = 0,
    kDartuThreadStarting = 1,
    kDartuThreadRunning = 2,
    kDartuThreadFinished = 3,
};

struct dartu_thread_slot;
// Must return once the slot's stop flag becomes 1.
using dartu_thread_entry = void (*)(dartu_thread_slot* slot);

struct dartu_thread_slot {
    pthread_t thread;
    std::atomic<u32> state;  // kDartuThread*
    std::atomic<u32> stop;   // set by the server thread, read by the worker
    dartu_thread_entry entry;
    void* argument;
};

constexpr int kDartuThreadSlots = 4;

// ---- The global context -------------------------------------------------------
struct dartu_global_context_t {
    dartu_callbacks cb;

    // Buffer pool: returned records linked through their pool links.
    dartu_buffer* buffer_pool;
    u32 buffer_pool_count;
    dartu_mutex buffer_lock;

    dartu_thread_slot threads[kDartuThreadSlots];
    int thread_count;

    // Started when the dispatcher starts listening; its elapsed value is the
    // toolkit clock of every time-out.
    dartu_timer server_timer;
};

dartu_global_context_t* dartu_global_context();

// Clears every callback slot (the server context is zeroed at initialisation).
void dartu_callbacks_clear();
// Frees the worker slots and initialises the server timer.
int dartu_init_global_context_server();
int dartu_free_global_context_server();

// ---- Callback setters (each overwrites its slots; null empties a slot) ------
void dartu_server_set_request_hook_callback(dartu_request_hook_cb hook);
void dartu_server_set_basic_callbacks_simple(dartu_read_cb read, dartu_write_cb write);
void dartu_server_set_basic_callbacks_multi(dartu_read_multi_cb read, dartu_write_multi_cb write);
void dartu_server_set_advanced_callbacks(dartu_subscribe_cb subscribe, dartu_unsubscribe_cb unsubscribe);
void dartu_comm_set_cb(dartu_comm_conn_cb receive_data, dartu_comm_conn_cb connection_dropped,
                       dartu_comm_tick_cb tick);
void dartu_server_set_auth_callbacks(dartu_access_check_cb access_check, dartu_password_digest_cb password_digest,
                                     dartu_user_info_cb user_info, dartu_password_change_cb password_change);
