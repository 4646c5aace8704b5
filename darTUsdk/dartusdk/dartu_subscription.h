// Subscriptions of the web-HMI JSON protocol: the server-wide dictionary of
// subscribed items shared by every frame and session, the frames of a
// session, the per-session publish queue that keeps one entry per changed
// item (the newest value at the place of its first unpublished change), the
// publish answer with its long-poll parking, and the session tick that
// answers parked requests and runs the session expiry.
//
// Everything runs in the server thread.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"
#include "darTUsdk/dartusdk/dartu_json.h"

struct dartu_buffer;
struct dartu_connection_info;
struct dartu_post_request;
struct dartu_session;
struct dartu_subscription_frame;
struct dartu_notification;

enum : u32 { kDartuItemData = 0, kDartuItemAlarm = 1, kDartuItemFilter = 2 };

struct dartu_subscription_item {
    dartu_subscription_item* next_free;
    std::string name;
    u32 hash;
    void* handle;  // from the subscribe callback, handed to the unsubscribe one
    u32 type;
    u32 coalesce;
    i32 pending_error;
    // Every frame holding the item, the frames of one session adjacent, and
    // beside each the queued, unpublished notification of that session.
    std::vector<dartu_subscription_frame*> frames;
    std::vector<dartu_notification*> pending;
    u32 active;  // frames not being torn down
};

struct dartu_subscription_frame {
    char id[9];
    dartu_session* session;
    dartu_subscription_frame* next;
    dartu_subscription_frame* prev;
    std::vector<dartu_subscription_item*> items;  // dictionary order
};

enum : u32 { kDartuNoteUserInfo = 0, kDartuNoteData = 1, kDartuNoteAlarm = 2 };

// One queued publish entry; it owns copies of every text it carries.
struct dartu_notification {
    dartu_notification* next;  // newer
    dartu_notification* prev;  // older
    dartu_subscription_item* item;  // the coalescing item, or none
    u32 kind;
    dartu_data_value value;  // a text value points into text
    dartu_timestamp timestamp;
    u32 status;
    std::string text;
    std::string address;
    bool has_user;
    std::string user;
    std::vector<std::string> ids;
    bool has_rights;
    std::vector<std::string> rights;
};

// Hash of a name: h * 33 + byte from 0, in 32 bits.
u32 dartu_string_hash(const char* name);

int dartu_engine_subscriptions_init();
// Empties the dictionary (the sessions were deleted first).
void dartu_engine_subscriptions_clear();
void dartu_engine_subscriptions_free();
u32 dartu_engine_subscription_item_count();
// The item of the name, created when asked for: none when unknown or when
// the dictionary holds the item limit.
dartu_subscription_item* dartu_engine_subscription_item_get(const char* name, int create);

dartu_subscription_frame* dartu_engine_subscription_frame_alloc();
// Subscribes the address in the frame: 0, or the error (464, 465, 900, or
// the callback's).
i32 dartu_engine_subscription_frame_subscribe_item(dartu_subscription_frame* frame, u32 type, const char* address,
                                                   dartu_subscription_item** item);
// Removes the frame from the item (with the unsubscribe callback when it
// was the last frame, unless without_callback): 0, 460 or the callback's.
i32 dartu_engine_subscription_frame_unsubscribe_item(dartu_subscription_frame* frame, dartu_subscription_item* item,
                                                     int without_callback);
// Runs the unsubscribe callbacks of the items only this frame holds, then
// frees the frame: the last non-zero callback error, or 0.
i32 dartu_engine_subscription_frame_unsubscribe_all(dartu_subscription_frame* frame);
void dartu_engine_subscription_frame_free(dartu_subscription_frame* frame);
dartu_subscription_frame* dartu_engine_subscription_frame_find(dartu_session* session, const char* id);

// Publish queue. Insert: 0, or -1 with *error 461 (the caller frees).
int dartu_engine_session_insert_notification(dartu_session* session, dartu_notification* note,
                                             dartu_subscription_item* item, i32* error);
dartu_notification* dartu_engine_session_get_next_notification(dartu_session* session);
void dartu_engine_session_clear_notification_queue(dartu_session* session);
void dartu_notification_free(dartu_notification* note);
// Writes the publish answer into the buffer (at most maxresults entries,
// none for 0, no limit when negative): 0, or 1 when it could not grow.
int dartu_engine_session_do_publish(dartu_session* session, i32 maxresults, dartu_buffer* contents);
// The JSON of one notification (measured without a destination).
std::string dartu_engine_publish_item_serialize(const dartu_notification* note);

// Session tick, dropped connection and the teardown of the expiry pass.
void dartu_comm_session_tick(u64 now);
void dartu_comm_session_connection_dropped(dartu_connection_info* connection);
void dartu_comm_session_teardown_cb(dartu_session* session);
// Deletion of a session: what is parked is returned unanswered.
void dartu_engine_session_drop_parked(dartu_session* session);

// Handlers of the request table.
void dartu_engine_handle_create_subscription_request(dartu_post_request* request);
void dartu_engine_handle_remove_subscription_request(dartu_post_request* request);
void dartu_engine_handle_subscribe_data_request(dartu_post_request* request);
void dartu_engine_handle_unsubscribe_data_request(dartu_post_request* request);
void dartu_engine_handle_subscribe_alarm_request(dartu_post_request* request);
void dartu_engine_handle_unsubscribe_alarm_request(dartu_post_request* request);
void dartu_engine_handle_publish_request(dartu_post_request* request);
void dartu_engine_subscription_install_handlers();

// Next filter id ("//F/%08x"), wrapping from 0xFFFFFFFF to 1.
u32 dartu_engine_next_filter_id();
