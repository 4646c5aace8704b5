// Result delivery of the web-HMI server: the data glue hands every read
// value, write outcome, first value of a later subscriber, changed value and
// the user information of a new session back through these functions; they
// append to the answer of the request being handled or queue notifications
// in the publish queues of the sessions concerned.
//
// All calls come from the server thread.
#pragma once

#include "platform/bytes.h"
#include "darTUsdk/dartusdk/dartu_json.h"

struct dartu_buffer;
struct dartu_session;
struct dartu_subscription_frame;
struct dartu_subscription_item;

enum : u32 {
    kDartuResultRead = 0,
    kDartuResultWrite = 1,
    kDartuResultSubscription = 2,
    kDartuResultUserInfo = 5,
};

struct dartu_result_context {
    u32 kind;
    dartu_buffer* answer;  // kinds 0 and 1: already holds the start of the result array
    u32 result_count;
    dartu_subscription_frame* frame;  // kind 2
    dartu_subscription_item* item;    // kind 2
    i32 error;
    dartu_session* session;  // kind 5
    const char* user;        // kind 5
    u32 closing;             // bytes kept for the end of the result array
};

// The user-info request of a new session is a result context of kind 5.
struct dartu_user_info_request : dartu_result_context {};

// 0 delivered; 1 error recorded (kind 2) or no session; 2 another kind;
// 3 the answer would pass its maximum (error 304); 4 no memory (error 900).
int dartu_data_read_return(dartu_result_context* context, const dartu_data_value* value,
                           const dartu_timestamp* timestamp, u32 status, const char* user, i32 error);
int dartu_data_write_return(dartu_result_context* context, i32 error);
// A changed value of a subscribed item, for every session that holds it.
void dartu_data_notify(dartu_subscription_item* item, const dartu_data_value* value,
                       const dartu_timestamp* timestamp, u32 status, const char* user);
// User information (the right names, ended by none) for the context's session.
void dartu_user_info_return(dartu_result_context* context, const char* const* rights);
