#include "darTUsdk/dartusdk/dartu_requests.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_error.h"
#include "darTUsdk/dartusdk/dartu_json.h"
#include "darTUsdk/dartusdk/dartu_lock.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_result.h"
#include "darTUsdk/dartusdk/dartu_session.h"
#include "darTUsdk/dartusdk/dartu_subscription.h"
#include "darTUsdk/dartusdk/dartu_sys.h"

namespace {

// The deferred query-filter queue: always empty here, guarded as a queue
// would be.
dartu_mutex g_queryQueueLock;
bool g_queryQueueReady = false;

void ErrorReply(dartu_post_request* r, i32 code) { dartu_engine_reply_error(r, code, 0); }

void* UserOf(dartu_post_request* r) {
    return dartu_engine_session_get_user_data(static_cast<dartu_session*>(r->session));
}

// Values of the fields whose names begin with the prefix, in body order,
// with their decoded lengths.
void Fields(const dartu_buffer* rq, const char* prefix, std::vector<const char*>* values,
            std::vector<u32>* lengths) {
    const size_t n = std::strlen(prefix);
    const char *key, *value;
    u32 len;
    for (u32 i = 0; dartu_buffer_get_dict_entry(rq, i, &key, &value, &len) == 0; ++i) {
        if (std::strncmp(key, prefix, n) != 0) continue;
        values->push_back(value);
        if (lengths) lengths->push_back(len);
    }
}

// A result list built by the data callbacks: the header, the items, the
// footer and the reply.
struct ListAnswer {
    dartu_result_context ctx{};
    bool Open(dartu_post_request* r, u32 kind) {
        ctx.kind = kind;
        ctx.closing = 2;
        ctx.answer = dartu_engine_get_content_buffer();
        if (!ctx.answer || dartu_engine_construct_json_result_header(ctx.answer, 1) != 0) {
            dartu_buffer_return(ctx.answer);
            ErrorReply(r, 900);
            return false;
        }
        return true;
    }
    void Close(dartu_post_request* r) {
        if (dartu_engine_construct_json_result_footer(ctx.answer, 1) != 0) {
            dartu_buffer_return(ctx.answer);
            return ErrorReply(r, 900);
        }
        dartu_engine_construct_json_response(r->keep_alive, &r->reply, ctx.answer);
    }
};

void EmptyList(dartu_post_request* r) {
    ListAnswer a;
    if (a.Open(r, kDartuResultRead)) a.Close(r);
}

std::string Hex(const u8* bytes, u32 n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (u32 i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string InfoText() {
    dartu_global_options_t* o = dartu_global_options();
    dartu_callbacks& cb = dartu_global_context()->cb;
    const u32 level = o->server_level;
    const char* login = "none";
    if (level != kDartuLevelBasic && (o->login_method == kDartuLoginHttpBasic || o->login_method == kDartuLoginHttpDigest))
        login = "http";
    else if (o->login_method == kDartuLoginForm)
        login = "form";
    static const char* levels[] = {"basic", "advanced", "scada", "multipoint"};
    std::vector<const char*> features;
    if (level >= kDartuLevelMultipoint) features.push_back("multipoint");
    if (level >= kDartuLevelScada) {
        if (cb.query_filter) features.push_back("queryfilter");
        if (cb.filter_subscribe) features.push_back("subscribefilter");
        if (cb.alarm_accept) features.push_back("acceptalarm");
        if (cb.history) features.push_back("readhistory");
    }
    if (level >= kDartuLevelAdvanced) {
        features.push_back("session");
        if (cb.alarm_subscribe) features.push_back("subscribealarm");
        if (cb.subscribe) features.push_back("subscribedata");
        if (cb.password_digest) features.push_back("login");
        if (cb.password_change) features.push_back("changepassword");
    }
    features.push_back("read");
    features.push_back("write");
    if (cb.process_image_list || cb.process_image_read) features.push_back("processimage");

    std::string e = "{\"loginmethod\":";
    dartu_json_append_string(e, login);
    e += ",\"encryptionmodulus\":";
    dartu_json_append_string(e, o->rsa_modulus ? Hex(o->rsa_modulus, o->rsa_modulus_length).c_str() : "");
    e += ",\"encryptionexponent\":";
    dartu_json_append_string(e, o->rsa_exponent ? Hex(o->rsa_exponent, o->rsa_exponent_length).c_str() : "");
    e += ",\"certificationlevel\":";
    dartu_json_append_string(e, level <= kDartuLevelMultipoint ? levels[level] : "unknown");
    e += ",\"features\":[";
    for (size_t i = 0; i < features.size(); ++i) {
        if (i) e += ",";
        dartu_json_append_string(e, features[i]);
    }
    e += "],\"longpollsupport\":";
    e += o->long_poll_support ? "true" : "false";
    e += ",\"securitysupport\":true,\"maxtimeout\":" + std::to_string(o->max_timeout) + ",\"vendorinfo\":";
    dartu_json_append_string(e, o->vendor_info ? o->vendor_info : "");
    e += ",\"servername\":";
    dartu_json_append_string(e, o->server_name ? o->server_name : "");
    return e + "}";
}

void QueryFilterWorker(dartu_thread_slot* slot) {
    for (;;) {
        dartu_lock_mutex_lock(&g_queryQueueLock);
        dartu_lock_mutex_unlock(&g_queryQueueLock);
        if (slot->stop.load()) return;
        dartu_sys_sleep(20);
    }
}

}  // namespace

void dartu_engine_handle_read_request(dartu_post_request* r) {
    dartu_callbacks& cb = dartu_global_context()->cb;
    if (!cb.read && !cb.read_multi) return ErrorReply(r, 502);
    ListAnswer a;
    if (!a.Open(r, kDartuResultRead)) return;
    std::vector<const char*> addresses;
    Fields(r->request, "address[]", &addresses, nullptr);
    void* user = UserOf(r);
    for (size_t first = 0; first < addresses.size(); first += kDartuDataGroup) {
        size_t n = std::min<size_t>(kDartuDataGroup, addresses.size() - first);
        if (cb.read_multi) {
            const char* group[kDartuDataGroup + 1] = {};
            for (size_t i = 0; i < n; ++i) group[i] = addresses[first + i];
            cb.read_multi(&a.ctx, user, group);
        } else {
            for (size_t i = 0; i < n; ++i) cb.read(&a.ctx, user, addresses[first + i]);
        }
    }
    a.Close(r);
}

void dartu_engine_handle_write_request(dartu_post_request* r) {
    dartu_callbacks& cb = dartu_global_context()->cb;
    if (!cb.write && !cb.write_multi) return ErrorReply(r, 503);
    ListAnswer a;
    if (!a.Open(r, kDartuResultWrite)) return;
    std::vector<const char*> addresses, values;
    std::vector<u32> lengths;
    Fields(r->request, "address[]", &addresses, nullptr);
    Fields(r->request, "value[]", &values, &lengths);
    const size_t pairs = std::min(addresses.size(), values.size());
    void* user = UserOf(r);
    for (size_t first = 0; first < pairs; first += kDartuDataGroup) {
        size_t n = std::min<size_t>(kDartuDataGroup, pairs - first);
        if (cb.write_multi) {
            const char* as[kDartuDataGroup + 1] = {};
            const char* vs[kDartuDataGroup + 1] = {};
            u32 ls[kDartuDataGroup + 1] = {};
            for (size_t i = 0; i < n; ++i) {
                as[i] = addresses[first + i];
                vs[i] = values[first + i];
                ls[i] = lengths[first + i];
            }
            cb.write_multi(&a.ctx, user, as, vs, ls);
        } else {
            for (size_t i = 0; i < n; ++i) cb.write(&a.ctx, user, addresses[first + i], values[first + i], lengths[first + i]);
        }
    }
    a.Close(r);
}

void dartu_engine_handle_readprocessimage_request(dartu_post_request* r) { EmptyList(r); }
void dartu_engine_handle_listprocessimage_request(dartu_post_request* r) { EmptyList(r); }

int dartu_engine_write_handle_info_request(char* destination, u32 size) {
    std::string t = InfoText();
    if (destination && size >= t.size()) std::memcpy(destination, t.data(), t.size());
    return static_cast<int>(t.size());
}

void dartu_engine_handle_info_request(dartu_post_request* r) {
    std::string t = InfoText();
    dartu_buffer* b = dartu_buffer_get(kDartuBufContent, static_cast<u32>(t.size()) + 1,
                                       dartu_global_options()->response_max, 0);
    if (!b || dartu_buffer_put_data(b, t.data(), t.size()) != 0) {
        dartu_buffer_return(b);
        return ErrorReply(r, 900);
    }
    dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
}

// ---- History, alarms and filters ----------------------------------------------------

void dartu_engine_handle_read_history_request(dartu_post_request* r) { ErrorReply(r, 510); }
void dartu_engine_handle_query_filter_request(dartu_post_request* r) { ErrorReply(r, 509); }
void dartu_engine_handle_accept_alarm_request(dartu_post_request* r) { EmptyList(r); }

void dartu_engine_handle_subscribe_filter_request(dartu_post_request* r) {
    const char *key, *value, *id = nullptr;
    u32 len;
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i) {
        if (std::strcmp(key, "subscriptionid") == 0) id = value;
    }
    dartu_session* s = static_cast<dartu_session*>(r->session);
    dartu_subscription_frame* f = id ? dartu_engine_subscription_frame_find(s, id) : nullptr;
    if (!f) return ErrorReply(r, 459);
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i) {
        if (std::strcmp(key, "subscriptionid") == 0 || std::strcmp(key, "aggregation") == 0 ||
            std::strcmp(key, "interval") == 0)
            continue;
        if (!std::strchr(value, ':')) return ErrorReply(r, 467);
    }
    if (dartu_engine_subscription_item_count() >= dartu_global_options()->item_limit) return ErrorReply(r, 464);
    char name[16];
    std::snprintf(name, sizeof name, "//F/%08x", dartu_engine_next_filter_id());
    i32 err = dartu_engine_subscription_frame_subscribe_item(f, kDartuItemFilter, name, nullptr);
    if (err != 0) return ErrorReply(r, err);
    dartu_buffer* b = dartu_engine_get_content_buffer();
    if (!b || dartu_engine_construct_json_object_string(b, "serverhandle", name) != 0) {
        dartu_buffer_return(b);
        return ErrorReply(r, 900);
    }
    dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
}

void dartu_engine_handle_unsubscribe_filter_request(dartu_post_request* r) {
    const char* id = dartu_engine_last_field(r->request, "subscriptionid", nullptr);
    // The first subscriptionid field names the frame.
    const char *key, *value;
    u32 len;
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i) {
        if (std::strcmp(key, "subscriptionid") == 0) {
            id = value;
            break;
        }
    }
    dartu_subscription_frame* f = id ? dartu_engine_subscription_frame_find(static_cast<dartu_session*>(r->session), id)
                                     : nullptr;
    if (!f) return ErrorReply(r, 459);
    std::string out = "{\"result\":[";
    u32 count = 0;
    for (u32 i = 0; dartu_buffer_get_dict_entry(r->request, i, &key, &value, &len) == 0; ++i) {
        if (std::strcmp(key, "serverhandle[]") != 0) continue;
        dartu_subscription_item* item = nullptr;
        for (dartu_subscription_item* it : f->items)
            if (it->name == value) item = it;
        i32 err = item ? dartu_engine_subscription_frame_unsubscribe_item(f, item, 0) : 460;
        if (count++) out += ",";
        out += "{";
        dartu_json_append_error_members(out, err);
        out += "}";
    }
    out += "]}";
    dartu_buffer* b = dartu_engine_get_content_buffer();
    if (!b || dartu_buffer_put_data(b, out.data(), out.size()) != 0) {
        dartu_buffer_return(b);
        return ErrorReply(r, 900);
    }
    dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
}

void dartu_engine_start_deferred_query_filter_threads() {
    if (!g_queryQueueReady) {
        dartu_lock_mutex_initialize(&g_queryQueueLock);
        g_queryQueueReady = true;
    }
    dartu_sys_thread_start(QueryFilterWorker, nullptr);
}

void dartu_engine_start_deferred_rdhst_threads() {}
void dartu_engine_start_deferred_rdwr_threads() {}

void dartu_engine_requests_install_handlers() {
    dartu_engine_set_post_handler("read", dartu_engine_handle_read_request, nullptr);
    dartu_engine_set_post_handler("write", dartu_engine_handle_write_request, dartu_engine_after_activity);
    dartu_engine_set_post_handler("readprocessimage", dartu_engine_handle_readprocessimage_request, nullptr);
    dartu_engine_set_post_handler("listprocessimage", dartu_engine_handle_listprocessimage_request, nullptr);
    dartu_engine_set_post_handler("info", dartu_engine_handle_info_request, nullptr);
    dartu_engine_set_post_handler("readhistory", dartu_engine_handle_read_history_request, nullptr);
    dartu_engine_set_post_handler("queryfilter", dartu_engine_handle_query_filter_request, nullptr);
    dartu_engine_set_post_handler("acceptalarm", dartu_engine_handle_accept_alarm_request, nullptr);
    dartu_engine_set_post_handler("subscribefilter", dartu_engine_handle_subscribe_filter_request, nullptr);
    dartu_engine_set_post_handler("unsubscribefilter", dartu_engine_handle_unsubscribe_filter_request, nullptr);
}
