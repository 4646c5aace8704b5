#include "darTUsdk/dartusdk/dartu_subscription.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_error.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_result.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "darTUsdk/dartusdk/dartu_timer.h"

namespace {

constexpr u32 kFreeListMax = 128;
constexpr size_t kFreeNameMax = 128;
// Status of a value the answer could not carry (a NaN written as 0).
constexpr u32 kStatusBadValue = 0x803C0000;

struct State {
    std::vector<dartu_subscription_item*> dict;  // by hash, then name
    dartu_subscription_item* free_head = nullptr;
    u32 free_count = 0;
    u32 next_frame = 1;
    u32 next_filter = 1;
    u64 last_expiry = 0;
};
State g;

u64 Now() { return dartu_sys_get_current_monotonous_time(); }

bool Less(const dartu_subscription_item* a, u32 hash, const char* name) {
    if (a->hash != hash) return a->hash < hash;
    return std::strcmp(a->name.c_str(), name) < 0;
}

// Position of the name in a sorted item list; *found when it is there.
size_t Find(const std::vector<dartu_subscription_item*>& list, u32 hash, const char* name, bool* found) {
    size_t lo = 0, hi = list.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (Less(list[mid], hash, name)) lo = mid + 1;
        else hi = mid;
    }
    *found = lo < list.size() && list[lo]->hash == hash && list[lo]->name == name;
    return lo;
}

void ReleaseItem(dartu_subscription_item* item) {
    item->frames.clear();
    item->pending.clear();
    item->frames.shrink_to_fit();
    item->pending.shrink_to_fit();
    if (g.free_count < kFreeListMax && item->name.capacity() <= kFreeNameMax) {
        item->next_free = g.free_head;
        g.free_head = item;
        g.free_count++;
    } else {
        delete item;
    }
}

void RemoveFromDict(dartu_subscription_item* item) {
    bool found = false;
    size_t at = Find(g.dict, item->hash, item->name.c_str(), &found);
    if (found) g.dict.erase(g.dict.begin() + static_cast<long>(at));
    ReleaseItem(item);
}

dartu_unsubscribe_cb UnsubscribeOf(u32 type) {
    dartu_callbacks& cb = dartu_global_context()->cb;
    return type == kDartuItemData ? cb.unsubscribe : type == kDartuItemAlarm ? cb.alarm_unsubscribe
                                                                             : cb.filter_unsubscribe;
}

size_t FrameIndex(const dartu_subscription_item* item, const dartu_subscription_frame* f) {
    for (size_t i = 0; i < item->frames.size(); ++i)
        if (item->frames[i] == f) return i;
    return SIZE_MAX;
}

// First position of the session's frames in the item's array, or SIZE_MAX.
size_t SessionStart(const dartu_subscription_item* item, const dartu_session* s) {
    for (size_t i = 0; i < item->frames.size(); ++i)
        if (item->frames[i]->session == s) return i;
    return SIZE_MAX;
}

void SetPending(dartu_subscription_item* item, const dartu_session* s, dartu_notification* n) {
    for (size_t i = SessionStart(item, s); i < item->frames.size() && item->frames[i]->session == s; ++i)
        item->pending[i] = n;
}

void Unlink(dartu_session* s, dartu_notification* n) {
    if (n->prev) n->prev->next = n->next;
    else s->queue_head = n->next;
    if (n->next) n->next->prev = n->prev;
    else s->queue_tail = n->prev;
    n->next = n->prev = nullptr;
    s->queue_count--;
}

// The frame leaves the item's arrays; a coalesced value queued for its
// session goes when no other frame of that session holds the item.
void LeaveItem(dartu_subscription_item* item, size_t at) {
    dartu_subscription_frame* f = item->frames[at];
    dartu_session* s = f->session;
    bool other = false;
    for (size_t i = 0; i < item->frames.size(); ++i) other |= i != at && item->frames[i]->session == s;
    if (item->coalesce && !other && s && item->pending[at]) {
        dartu_notification* n = item->pending[at];
        dartu_lock_mutex_lock(&s->queue_lock);
        Unlink(s, n);
        dartu_lock_mutex_unlock(&s->queue_lock);
        dartu_notification_free(n);
        item->pending[at] = nullptr;
    }
    item->frames.erase(item->frames.begin() + static_cast<long>(at));
    item->pending.erase(item->pending.begin() + static_cast<long>(at));
}

void RemoveFromFrame(dartu_subscription_frame* f, const dartu_subscription_item* item) {
    for (size_t i = 0; i < f->items.size(); ++i) {
        if (f->items[i] == item) {
            f->items.erase(f->items.begin() + static_cast<long>(i));
            return;
        }
    }
}

dartu_session* Session(dartu_post_request* r) { return static_cast<dartu_session*>(r->session); }

// The frame named by the first "subscriptionid" field, or none.
dartu_subscription_frame* FrameOf(dartu_post_request* r) {
    const char *key, *value;
    u32 len;
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i)
        if (std::strncmp(key, "subscriptionid", 14) == 0)
            return dartu_engine_subscription_frame_find(Session(r), value);
    return nullptr;
}

std::string ErrorObject(i32 code) {
    std::string e = "{";
    dartu_json_append_error_members(e, code);
    return e + "}";
}

// Sends the content as the JSON reply on the connection of that id.
void SendOn(u32 connection, dartu_buffer* contents, const char* session_id, dartu_session* s) {
    dartu_buffer* reply = nullptr;
    if (dartu_engine_construct_json_response(0, &reply, contents) != 0 || !reply) {
        dartu_options_log_error("Got no buffer for session %s longpoll answer", session_id);
        if (s) s->teardown = 1;
        return;
    }
    dartu_comm_send_id(connection, reply);
}

// Answers the parked publish of the session with what its queue holds.
void AnswerParked(dartu_session* s) {
    dartu_buffer* b = s->parked_buffer;
    u32 id = s->parked_connection;
    s->parked_buffer = nullptr;
    s->parked_connection = 0;
    if (!b) return;
    if (id == 0) {
        dartu_buffer_return(b);
        return;
    }
    if (dartu_engine_session_do_publish(s, s->parked_maxresults, b) != 0) {
        dartu_buffer_reset_data(b);
        dartu_engine_construct_json_errstrings_object(b, 900, 0);
    }
    SendOn(id, b, s->id, s);
}

}  // namespace

u32 dartu_string_hash(const char* name) {
    u32 h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) h = h * 33 + *p;
    return h;
}

int dartu_engine_subscriptions_init() {
    dartu_engine_subscriptions_free();
    g.dict.reserve(128);
    g.next_frame = 1;
    g.next_filter = 1;
    g.last_expiry = 0;
    return 0;
}

void dartu_engine_subscriptions_clear() {
    for (dartu_subscription_item* item : g.dict) delete item;
    g.dict.clear();
}

void dartu_engine_subscriptions_free() {
    dartu_engine_subscriptions_clear();
    while (g.free_head) {
        dartu_subscription_item* i = g.free_head;
        g.free_head = i->next_free;
        delete i;
    }
    g.free_count = 0;
    g.dict.shrink_to_fit();
}

u32 dartu_engine_subscription_item_count() { return static_cast<u32>(g.dict.size()); }

u32 dartu_engine_next_filter_id() {
    u32 id = g.next_filter;
    g.next_filter = id == 0xFFFFFFFFu ? 1 : id + 1;
    return id;
}

dartu_subscription_item* dartu_engine_subscription_item_get(const char* name, int create) {
    const u32 hash = dartu_string_hash(name);
    bool found = false;
    size_t at = Find(g.dict, hash, name, &found);
    if (found) return g.dict[at];
    if (!create || g.dict.size() >= dartu_global_options()->item_limit) return nullptr;
    dartu_subscription_item* item = g.free_head;
    if (item) {
        g.free_head = item->next_free;
        g.free_count--;
    } else {
        item = new (std::nothrow) dartu_subscription_item{};
        if (!item) return nullptr;
    }
    item->next_free = nullptr;
    item->name = name;
    item->hash = hash;
    item->handle = nullptr;
    item->type = kDartuItemData;
    item->coalesce = 0;
    item->pending_error = 0;
    item->active = 0;
    g.dict.insert(g.dict.begin() + static_cast<long>(at), item);
    return item;
}

dartu_subscription_frame* dartu_engine_subscription_frame_alloc() {
    dartu_subscription_frame* f = new (std::nothrow) dartu_subscription_frame{};
    if (!f) return nullptr;
    std::snprintf(f->id, sizeof f->id, "%x", g.next_frame);
    g.next_frame = g.next_frame == 0xFFFFFFFFu ? 1 : g.next_frame + 1;
    return f;
}

dartu_subscription_frame* dartu_engine_subscription_frame_find(dartu_session* s, const char* id) {
    if (!s || !id) return nullptr;
    for (dartu_subscription_frame* f = s->first_frame; f; f = f->next)
        if (std::strncmp(f->id, id, 9) == 0) return f;
    return nullptr;
}

i32 dartu_engine_subscription_frame_subscribe_item(dartu_subscription_frame* f, u32 type, const char* address,
                                                   dartu_subscription_item** out) {
    if (out) *out = nullptr;
    dartu_subscription_item* item = dartu_engine_subscription_item_get(address, 1);
    if (!item) return 464;
    item->type = type;
    bool held = false;
    size_t at = Find(f->items, item->hash, address, &held);
    if (held) return 465;
    f->items.insert(f->items.begin() + static_cast<long>(at), item);
    dartu_engine_session_lock_read();
    size_t pos = item->frames.size();
    dartu_notification* pending = nullptr;
    for (size_t i = 0; i < item->frames.size(); ++i) {
        if (item->frames[i]->session == f->session) {
            pos = i + 1;
            pending = item->pending[i];
        }
    }
    item->frames.insert(item->frames.begin() + static_cast<long>(pos), f);
    item->pending.insert(item->pending.begin() + static_cast<long>(pos), pending);
    item->active++;
    dartu_engine_session_unlock_read();

    dartu_callbacks& cb = dartu_global_context()->cb;
    void* user = dartu_engine_session_get_user_data(f->session);
    i32 err = 0;
    if (item->frames.size() == 1) {
        dartu_subscribe_cb sub = type == kDartuItemData ? cb.subscribe : type == kDartuItemAlarm ? cb.alarm_subscribe
                                                                                                 : nullptr;
        // The callback queues the first value itself: the item must know
        // its handle and coalescing by then.
        if (sub) sub(item, user, address, &item->handle, &item->coalesce, &err);
    } else if (type == kDartuItemData && cb.read) {
        dartu_result_context ctx{};
        ctx.kind = kDartuResultSubscription;
        ctx.frame = f;
        ctx.item = item;
        cb.read(&ctx, user, address);
        err = ctx.error;
    }
    item->pending_error = err;
    if (err != 0) {
        dartu_engine_subscription_frame_unsubscribe_item(f, item, 1);
        return err;
    }
    if (out) *out = item;
    return 0;
}

i32 dartu_engine_subscription_frame_unsubscribe_item(dartu_subscription_frame* f, dartu_subscription_item* item,
                                                     int without_callback) {
    size_t at = FrameIndex(item, f);
    bool held = false;
    Find(f->items, item->hash, item->name.c_str(), &held);
    if (at == SIZE_MAX || !held) return 460;
    LeaveItem(item, at);
    if (item->active > 0) item->active--;
    RemoveFromFrame(f, item);
    if (!item->frames.empty()) return 0;
    i32 err = 0;
    if (!without_callback) {
        dartu_unsubscribe_cb cb = UnsubscribeOf(item->type);
        if (cb) cb(item->handle, &err);
    }
    RemoveFromDict(item);
    return err;
}

i32 dartu_engine_subscription_frame_unsubscribe_all(dartu_subscription_frame* f) {
    i32 result = 0;
    for (dartu_subscription_item* item : f->items) {
        if (FrameIndex(item, f) == SIZE_MAX || item->active == 0) continue;
        if (--item->active == 0) {
            i32 err = 0;
            dartu_unsubscribe_cb cb = UnsubscribeOf(item->type);
            if (cb) cb(item->handle, &err);
            if (err != 0) result = err;
        }
    }
    dartu_engine_subscription_frame_free(f);
    return result;
}

void dartu_engine_subscription_frame_free(dartu_subscription_frame* f) {
    if (!f) return;
    for (dartu_subscription_item* item : f->items) {
        size_t at = FrameIndex(item, f);
        if (at != SIZE_MAX) LeaveItem(item, at);
        if (item->frames.empty()) RemoveFromDict(item);
    }
    delete f;
}

// ---- Publish queue -------------------------------------------------------------------

void dartu_notification_free(dartu_notification* n) { delete n; }

int dartu_engine_session_insert_notification(dartu_session* s, dartu_notification* n, dartu_subscription_item* item,
                                             i32* error) {
    *error = 0;
    dartu_lock_mutex_lock(&s->queue_lock);
    if (item && item->coalesce && item->type <= kDartuItemAlarm) {
        n->item = item;
        size_t first = SessionStart(item, s);
        dartu_notification* old = first == SIZE_MAX ? nullptr : item->pending[first];
        if (old) {
            dartu_lock_mutex_lock(&s->publish_lock);
            n->prev = old->prev;
            n->next = old->next;
            if (old->prev) old->prev->next = n;
            else s->queue_head = n;
            if (old->next) old->next->prev = n;
            else s->queue_tail = n;
            SetPending(item, s, n);
            dartu_lock_mutex_unlock(&s->publish_lock);
            dartu_lock_mutex_unlock(&s->queue_lock);
            dartu_notification_free(old);
            return 0;
        }
    } else {
        n->item = nullptr;
    }
    if (s->queue_count >= dartu_global_options()->publish_queue_size) {
        *error = 461;
        if (!s->teardown) {
            dartu_options_log_error("Publish queue overflow on session %s (%d items)", s->id,
                                    static_cast<int>(s->queue_count));
            s->teardown = 1;
        }
        dartu_lock_mutex_unlock(&s->queue_lock);
        return -1;
    }
    n->next = nullptr;
    n->prev = s->queue_tail;
    if (s->queue_tail) s->queue_tail->next = n;
    else s->queue_head = n;
    s->queue_tail = n;
    s->queue_count++;
    if (n->item) SetPending(n->item, s, n);
    dartu_lock_mutex_unlock(&s->queue_lock);
    return 0;
}

dartu_notification* dartu_engine_session_get_next_notification(dartu_session* s) {
    dartu_lock_mutex_lock(&s->queue_lock);
    dartu_notification* n = s->queue_head;
    if (n) {
        Unlink(s, n);
        if (n->item)
            for (dartu_notification*& p : n->item->pending)
                if (p == n) p = nullptr;
    }
    dartu_lock_mutex_unlock(&s->queue_lock);
    return n;
}

void dartu_engine_session_clear_notification_queue(dartu_session* s) {
    while (dartu_notification* n = dartu_engine_session_get_next_notification(s)) dartu_notification_free(n);
}

std::string dartu_engine_publish_item_serialize(const dartu_notification* n) {
    std::string e = "{\"type\":" + std::to_string(n->kind) + ",\"subscriptionid\":[";
    if (n->kind == kDartuNoteUserInfo) {
        e += "\"\"]";
        if (n->has_rights) {
            e += ",\"right\":[";
            for (size_t i = 0; i < n->rights.size(); ++i) {
                if (i) e += ",";
                dartu_json_append_string(e, n->rights[i].c_str());
            }
            e += "]";
        }
        if (n->has_user) {
            e += ",\"username\":";
            dartu_json_append_string(e, n->user.c_str());
        }
        return e + "}";
    }
    for (size_t i = 0; i < n->ids.size(); ++i) {
        if (i) e += ",";
        dartu_json_append_string(e, n->ids[i].c_str());
    }
    e += "],\"address\":";
    dartu_json_append_string(e, n->address.c_str());
    u32 status = n->status;
    if (n->value.type != 0) {
        dartu_data_value v = n->value;
        if ((v.type == kDartuValueDouble && std::isnan(v.v.d)) || (v.type == kDartuValueFloat && std::isnan(v.v.f))) {
            v.type = kDartuValueDouble;
            v.v.d = 0;
            status = kStatusBadValue;
        }
        e += ",";
        dartu_json_append(e, [&](char* d, size_t c) { return dartu_json_put_value(d, c, &v); });
    }
    if (n->timestamp.seconds != 0) {
        e += ",\"timestamp\":";
        dartu_json_append(e, [&](char* d, size_t c) { return dartu_json_put_timestamp(d, c, &n->timestamp); });
    }
    if (status != 0) e += ",\"status\":" + std::to_string(static_cast<i32>(status));
    if (n->has_user) {
        e += ",\"username\":";
        dartu_json_append_string(e, n->user.c_str());
    }
    return e + "}";
}

int dartu_engine_session_do_publish(dartu_session* s, i32 maxresults, dartu_buffer* b) {
    dartu_engine_session_lock_read();
    dartu_lock_mutex_lock(&s->queue_lock);
    dartu_lock_mutex_lock(&s->publish_lock);
    // Room for the frame and the remaining count besides the entries.
    constexpr u32 kFrame = 40;
    std::string out = "{\"result\":[";
    u32 taken = 0;
    while (s->queue_head && (maxresults < 0 || taken < static_cast<u32>(maxresults))) {
        std::string one = dartu_engine_publish_item_serialize(s->queue_head);
        if (static_cast<u64>(b->length) + out.size() + one.size() + 1 + kFrame > b->maximum) break;
        if (taken) out += ",";
        out += one;
        dartu_notification_free(dartu_engine_session_get_next_notification(s));
        taken++;
    }
    out += "],\"remaining\":" + std::to_string(s->queue_count) + "}";
    dartu_lock_mutex_unlock(&s->publish_lock);
    dartu_lock_mutex_unlock(&s->queue_lock);
    dartu_engine_session_unlock_read();
    return dartu_buffer_put_data(b, out.data(), out.size()) != 0 ? 1 : 0;
}

void dartu_engine_session_drop_parked(dartu_session* s) {
    if (s->parked_buffer) dartu_buffer_return(s->parked_buffer);
    s->parked_buffer = nullptr;
    s->parked_connection = 0;
}

// ---- Tick, dropped connection, teardown ------------------------------------------------

void dartu_comm_session_tick(u64 now) {
    if (now > g.last_expiry) {
        dartu_engine_session_delete_expired(now, dartu_comm_session_teardown_cb);
        g.last_expiry = now;
    }
    if (!dartu_global_options()->long_poll_support) return;
    dartu_engine_session_lock_read();
    for (u32 i = 0; i < dartu_engine_session_count(); ++i) {
        dartu_session* s = dartu_engine_session_at(i);
        if (!s->parked_buffer) continue;
        if (now >= s->parked_at + s->timeout / 2 || s->queue_count > 0) AnswerParked(s);
    }
    dartu_engine_session_unlock_read();
}

void dartu_comm_session_connection_dropped(dartu_connection_info* c) {
    if (!c || !c->waiting || !c->session) return;
    dartu_engine_session_lock_read();
    for (u32 i = 0; i < dartu_engine_session_count(); ++i) {
        dartu_session* s = dartu_engine_session_at(i);
        if (s == c->session && s->parked_connection == c->id) dartu_engine_session_drop_parked(s);
    }
    dartu_engine_session_unlock_read();
}

void dartu_comm_session_teardown_cb(dartu_session* s) {
    if (s->parked_buffer && s->parked_connection) {
        dartu_buffer* b = s->parked_buffer;
        u32 id = s->parked_connection;
        s->parked_buffer = nullptr;
        s->parked_connection = 0;
        dartu_buffer_reset_data(b);
        dartu_buffer* reply = nullptr;
        if (dartu_engine_construct_json_error_response_with_content(&reply, 0, 466, b) == 0 && reply)
            dartu_comm_send_id(id, reply);
    }
    dartu_connection_reset_session(s);
}

// ---- Handlers ------------------------------------------------------------------------

void dartu_engine_handle_create_subscription_request(dartu_post_request* r) {
    dartu_session* s = Session(r);
    if (!s) return dartu_engine_reply_error(r, 454, 0);
    if (s->frame_count >= dartu_global_options()->frame_limit) return dartu_engine_reply_error(r, 463, 0);
    dartu_subscription_frame* f = dartu_engine_subscription_frame_alloc();
    if (!f) return dartu_engine_reply_error(r, 900, 0);
    f->session = s;
    f->prev = s->last_frame;
    if (s->last_frame) s->last_frame->next = f;
    else s->first_frame = f;
    s->last_frame = f;
    s->frame_count++;
    dartu_buffer* b = dartu_engine_get_content_buffer();
    if (!b || dartu_engine_construct_json_object_string(b, "subscriptionid", f->id) != 0) {
        dartu_buffer_return(b);
        return dartu_engine_reply_error(r, 900, 0);
    }
    dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
}

void dartu_engine_handle_remove_subscription_request(dartu_post_request* r) {
    dartu_session* s = Session(r);
    dartu_subscription_frame* f = FrameOf(r);
    if (!s || !f) return dartu_engine_reply_error(r, 459, 0);
    if (f->prev) f->prev->next = f->next;
    else s->first_frame = f->next;
    if (f->next) f->next->prev = f->prev;
    else s->last_frame = f->prev;
    s->frame_count--;
    dartu_engine_reply_error(r, dartu_engine_subscription_frame_unsubscribe_all(f), 1);
}

namespace {

void SubUnsub(dartu_post_request* r, bool unsubscribe, u32 type) {
    dartu_subscription_frame* f = FrameOf(r);
    if (!f) return dartu_engine_reply_error(r, 459, 0);
    dartu_buffer* b = dartu_engine_get_content_buffer();
    if (!b) return dartu_engine_reply_error(r, 900, 0);
    std::string out = "{\"result\":[";
    const size_t limit = dartu_global_options()->response_max;
    const char *key, *value;
    u32 len, count = 0;
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i) {
        if (std::strncmp(key, "address[]", 9) != 0) continue;
        i32 err;
        if (unsubscribe) {
            dartu_subscription_item* item = nullptr;
            bool held = false;
            size_t at = Find(f->items, dartu_string_hash(value), value, &held);
            if (held) item = f->items[at];
            err = item ? dartu_engine_subscription_frame_unsubscribe_item(f, item, 0) : 460;
        } else {
            err = dartu_engine_subscription_frame_subscribe_item(f, type, value, nullptr);
        }
        std::string one = ErrorObject(err);
        if (out.size() + one.size() + 3 > limit) continue;
        if (count++) out += ",";
        out += one;
    }
    out += "]}";
    if (dartu_buffer_put_data(b, out.data(), out.size()) != 0) {
        dartu_buffer_return(b);
        return dartu_engine_reply_error(r, 900, 0);
    }
    dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
}

}  // namespace

void dartu_engine_handle_subscribe_data_request(dartu_post_request* r) { SubUnsub(r, false, kDartuItemData); }
void dartu_engine_handle_unsubscribe_data_request(dartu_post_request* r) { SubUnsub(r, true, kDartuItemData); }
void dartu_engine_handle_subscribe_alarm_request(dartu_post_request* r) { SubUnsub(r, false, kDartuItemAlarm); }
void dartu_engine_handle_unsubscribe_alarm_request(dartu_post_request* r) { SubUnsub(r, true, kDartuItemAlarm); }

void dartu_engine_handle_publish_request(dartu_post_request* r) {
    dartu_session* s = Session(r);
    if (!s) return dartu_engine_reply_error(r, 454, 0);
    u32 longpoll = dartu_global_options()->long_poll_support;
    i32 maxresults = 65535;
    const char *key, *value;
    u32 len;
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i) {
        if (std::strncmp(key, "longpoll", 8) == 0 && (strcasecmp(value, "false") == 0 || std::strcmp(value, "0") == 0))
            longpoll = 0;
        else if (std::strncmp(key, "maxresults", 10) == 0)
            maxresults = static_cast<i32>(std::strtol(value, nullptr, 10));
    }
    if (s->parked_buffer) AnswerParked(s);
    dartu_buffer* b = dartu_engine_get_content_buffer();
    if (!b) return dartu_engine_reply_error(r, 900, 0);
    if (s->queue_count == 0 && longpoll && r->connection) {
        s->parked_buffer = b;
        s->parked_maxresults = maxresults;
        s->parked_at = Now();
        s->parked_connection = r->connection->id;
        r->connection->waiting = 1;
        r->connection->reply_parked = 1;
        return;
    }
    if (dartu_engine_session_do_publish(s, maxresults, b) != 0) {
        dartu_buffer_return(b);
        return dartu_engine_reply_error(r, 900, 0);
    }
    dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
}

void dartu_engine_subscription_install_handlers() {
    dartu_engine_set_post_handler("createsubscription", dartu_engine_handle_create_subscription_request,
                                  dartu_engine_after_create_subscription);
    dartu_engine_set_post_handler("deletesubscription", dartu_engine_handle_remove_subscription_request, nullptr);
    dartu_engine_set_post_handler("subscribedata", dartu_engine_handle_subscribe_data_request,
                                  dartu_engine_after_activity);
    dartu_engine_set_post_handler("unsubscribedata", dartu_engine_handle_unsubscribe_data_request, nullptr);
    dartu_engine_set_post_handler("subscribealarm", dartu_engine_handle_subscribe_alarm_request, nullptr);
    dartu_engine_set_post_handler("unsubscribealarm", dartu_engine_handle_unsubscribe_alarm_request, nullptr);
    dartu_engine_set_post_handler("publish", dartu_engine_handle_publish_request, nullptr);
}
