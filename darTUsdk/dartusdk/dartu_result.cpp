#include "darTUsdk/dartusdk/dartu_result.h"

#include <cstdio>
#include <new>
#include <string>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_error.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "darTUsdk/dartusdk/dartu_subscription.h"

namespace {

bool HasType(const dartu_data_value* v) { return v && v->type >= kDartuValueBool && v->type <= kDartuValueText; }

// 0 appended; 3 past the maximum (304); 4 no memory (900).
int Append(dartu_result_context* ctx, const std::string& element, u32 reserve) {
    dartu_buffer* b = ctx->answer;
    if (!b) {
        ctx->error = 900;
        return 4;
    }
    if (static_cast<u64>(b->length) + element.size() + reserve > b->maximum) {
        ctx->error = 304;
        return 3;
    }
    if (dartu_buffer_put_data(b, element.data(), element.size()) != 0) {
        ctx->error = 900;
        return 4;
    }
    ctx->result_count++;
    ctx->error = 0;
    return 0;
}

void OutOfMemory() { dartu_options_log_error("Out of memory allocating a publish item"); }

// A data notification holding its own copy of every text.
dartu_notification* MakeDataNote(const dartu_subscription_item* item, const dartu_data_value* value,
                                 const dartu_timestamp* timestamp, u32 status, const char* user) {
    dartu_notification* n = new (std::nothrow) dartu_notification{};
    if (!n) return nullptr;
    n->kind = kDartuNoteData;
    if (value) n->value = *value;
    if (value && value->type == kDartuValueText) {
        n->text = value->v.text ? value->v.text : "";
        n->value.v.text = n->text.c_str();
    }
    if (timestamp) n->timestamp = *timestamp;
    n->status = status;
    n->address = item ? item->name : std::string();
    n->has_user = user != nullptr;
    if (user) n->user = user;
    return n;
}

dartu_notification* CopyNote(const dartu_notification* t) {
    dartu_notification* n = new (std::nothrow) dartu_notification(*t);
    if (!n) return nullptr;
    n->next = n->prev = nullptr;
    if (n->value.type == kDartuValueText) n->value.v.text = n->text.c_str();
    return n;
}

// The ids of the run of frames of one session that starts at position at.
size_t RunIds(const dartu_subscription_item* item, size_t at, std::vector<std::string>* ids) {
    const dartu_session* s = item->frames[at]->session;
    size_t i = at;
    for (; i < item->frames.size() && item->frames[i]->session == s; ++i)
        if (ids) ids->push_back(item->frames[i]->id);
    return i;
}

void Queue(dartu_session* s, dartu_notification* n, dartu_subscription_item* item) {
    i32 err = 0;
    if (dartu_engine_session_insert_notification(s, n, item, &err) != 0) dartu_notification_free(n);
}

}  // namespace

int dartu_data_read_return(dartu_result_context* ctx, const dartu_data_value* value,
                           const dartu_timestamp* timestamp, u32 status, const char* user, i32 error) {
    if (!ctx) return 2;
    ctx->error = 500;
    if (ctx->kind == kDartuResultRead) {
        std::string e = ctx->result_count ? ",{" : "{";
        dartu_data_value none{};
        dartu_json_append(e, [&](char* d, size_t c) { return dartu_json_put_value(d, c, value ? value : &none); });
        if (HasType(value)) {
            if (timestamp) {
                e += ",\"timestamp\":";
                dartu_json_append(e, [&](char* d, size_t c) { return dartu_json_put_timestamp(d, c, timestamp); });
            }
            if (status != 0) e += ",\"status\":" + std::to_string(static_cast<i32>(status));
            if (user) {
                e += ",\"username\":";
                dartu_json_append_string(e, user);
            }
        }
        e += ",";
        dartu_json_append_error_members(e, error);
        e += "}";
        return Append(ctx, e, ctx->closing);
    }
    if (ctx->kind != kDartuResultSubscription) return 2;
    ctx->error = 0;
    if (error != 0) {
        ctx->error = error;
        return 1;
    }
    dartu_engine_session_lock_read();
    dartu_subscription_frame* frame = ctx->frame;
    dartu_session* s = frame ? frame->session : nullptr;
    int result = 1;
    if (s) {
        dartu_notification* n = MakeDataNote(ctx->item, value, timestamp, status, user);
        if (!n) {
            OutOfMemory();
            ctx->error = 900;
            result = 4;
        } else {
            dartu_subscription_item* item = ctx->item;
            if (item && item->coalesce) {
                for (size_t i = 0; i < item->frames.size(); ++i) {
                    if (item->frames[i]->session == s) {
                        RunIds(item, i, &n->ids);
                        break;
                    }
                }
            }
            if (n->ids.empty()) n->ids.push_back(frame->id);
            Queue(s, n, item);
            result = 0;
        }
    }
    dartu_engine_session_unlock_read();
    return result;
}

int dartu_data_write_return(dartu_result_context* ctx, i32 error) {
    if (!ctx) return 2;
    ctx->error = 500;
    if (ctx->kind != kDartuResultWrite) return 2;
    std::string e = ctx->result_count ? ",{" : "{";
    dartu_json_append_error_members(e, error);
    e += "}";
    return Append(ctx, e, 0);
}

void dartu_data_notify(dartu_subscription_item* item, const dartu_data_value* value,
                       const dartu_timestamp* timestamp, u32 status, const char* user) {
    if (!item || item->frames.empty()) return;
    dartu_notification* t = MakeDataNote(item, value, timestamp, status, user);
    if (!t) {
        OutOfMemory();
        return;
    }
    dartu_engine_session_lock_read();
    for (size_t i = 0; i < item->frames.size();) {
        dartu_session* s = item->frames[i]->session;
        if (!s) {
            ++i;
            continue;
        }
        dartu_notification* n = CopyNote(t);
        if (!n) {
            OutOfMemory();
            break;
        }
        i = RunIds(item, i, &n->ids);
        Queue(s, n, item);
    }
    dartu_engine_session_unlock_read();
    dartu_notification_free(t);
}

void dartu_user_info_return(dartu_result_context* ctx, const char* const* rights) {
    if (!ctx) return;
    dartu_engine_session_lock_read();
    if (ctx->session) {
        dartu_notification* n = new (std::nothrow) dartu_notification{};
        if (!n) {
            OutOfMemory();
            ctx->error = 900;
        } else {
            n->kind = kDartuNoteUserInfo;
            n->has_user = true;
            n->user = ctx->user ? ctx->user : "";
            n->has_rights = rights != nullptr;
            for (const char* const* r = rights; r && *r; ++r) n->rights.push_back(*r);
            Queue(ctx->session, n, nullptr);
        }
    }
    dartu_engine_session_unlock_read();
}
