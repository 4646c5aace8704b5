#include "darTUsdk/dartusdk/dartu_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_result.h"
#include "darTUsdk/dartusdk/dartu_subscription.h"
#include "darTUsdk/dartusdk/dartu_timer.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

struct State {
    dartu_session** table = nullptr;
    u32 capacity = 0;
    u32 count = 0;
    u32 next_id = 1;
    bool lock_ready = false;
    dartu_rwlock lock;
    dartu_login_add_fn login_add = nullptr;
    dartu_login_delete_fn login_delete = nullptr;
};
State g;

u64 Now() { return dartu_sys_get_current_monotonous_time(); }

void ReadLock() {
    if (g.lock_ready) dartu_lock_rw_lock_read(&g.lock);
}
void ReadUnlock() {
    if (g.lock_ready) dartu_lock_rw_unlock_read(&g.lock);
}
void WriteLock() {
    if (g.lock_ready) dartu_lock_rw_lock_write(&g.lock);
}
void WriteUnlock() {
    if (g.lock_ready) dartu_lock_rw_unlock_write(&g.lock);
}

// The request digest check finds sessions through these two.
int FindForDigest(const char* id, dartu_session_view* out) {
    ReadLock();
    dartu_session* s = nullptr;
    int index = -1;
    i32 error = 0;
    if (dartu_engine_session_get_id_raw(id, &s, &index, &error) != 0) return -1;
    out->session = s;
    out->index = index;
    out->secret = s->secret;
    out->last_access = &s->last_access;
    out->window = &s->window;
    return 0;
}
void ReleaseForDigest() { ReadUnlock(); }

u32 SessionNumber(const char* id) { return static_cast<u32>(std::strtoul(id, nullptr, 16)); }


void FreeSession(dartu_session* s) {
    if (s->secret) dartu_auth_remove_auth_data(s->secret);
    std::free(s->secret);
    while (s->first_frame) {
        dartu_subscription_frame* f = s->first_frame;
        s->first_frame = f->next;
        dartu_engine_subscription_frame_free(f);
    }
    s->last_frame = nullptr;
    s->frame_count = 0;
    dartu_engine_session_clear_notification_queue(s);
    dartu_engine_session_drop_parked(s);
    dartu_connection_reset_session(s);
    dartu_lock_mutex_destroy(&s->queue_lock);
    dartu_lock_mutex_destroy(&s->publish_lock);
    delete s;
}

}  // namespace

void dartu_engine_session_set_login_hooks(dartu_login_add_fn add, dartu_login_delete_fn del) {
    g.login_add = add;
    g.login_delete = del;
}

u32 dartu_engine_session_clock_seconds() {
    i64 s = dartu_engine_clock_seconds();
    return s < 0 ? 0 : static_cast<u32>(s);
}

int dartu_engine_session_initialize() {
    u32 cap = dartu_global_options()->session_limit;
    std::free(g.table);
    g.table = static_cast<dartu_session**>(std::calloc(cap ? cap : 1, sizeof(dartu_session*)));
    g.capacity = g.table ? cap : 0;
    g.count = 0;
    g.next_id = 1;
    if (!g.lock_ready) {
        dartu_lock_rw_init(&g.lock);
        g.lock_ready = true;
    }
    dartu_auth_set_session_lookup(FindForDigest, ReleaseForDigest);
    if (!g.table) {
        dartu_options_log_error("Initializing of session rw mutex failed!");
        return -1;
    }
    return 0;
}

void dartu_engine_session_clear() {
    for (u32 i = 0; i < g.count; ++i) dartu_engine_session_drop_parked(g.table[i]);
    while (g.count > 0) dartu_engine_session_delete_idx(static_cast<int>(g.count - 1));
}

int dartu_engine_session_free() {
    dartu_engine_session_clear();
    std::free(g.table);
    g.table = nullptr;
    g.capacity = g.count = 0;
    dartu_auth_set_session_lookup(nullptr, nullptr);
    if (g.lock_ready) {
        dartu_lock_rw_destroy(&g.lock);
        g.lock_ready = false;
    }
    return 0;
}

u32 dartu_engine_session_count() { return g.count; }
dartu_session* dartu_engine_session_at(u32 index) { return index < g.count ? g.table[index] : nullptr; }
void dartu_engine_session_lock_read() { ReadLock(); }
void dartu_engine_session_unlock_read() { ReadUnlock(); }

int dartu_engine_session_create(u64 now, const char* timeout, const char* cipher, int, const char* realm,
                                const char* user, const char* password, dartu_session** out, i32* error) {
    *out = nullptr;
    *error = 0;
    dartu_global_options_t* o = dartu_global_options();
    WriteLock();
    auto fail = [&](i32 code) {
        *error = code;
        WriteUnlock();
        return -1;
    };
    if (g.count >= g.capacity) return fail(450);
    if (!cipher) return fail(457);
    u32 wanted = o->max_timeout;
    if (timeout) {
        unsigned long v = std::strtoul(timeout, nullptr, 10);
        wanted = v == 0 ? 1 : (v > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<u32>(v));
    }
    char plain[513];
    int n = dartu_auth_rsa_decrypt(cipher, plain, 512);
    if (n < 0) return fail(402);
    plain[n] = 0;
    char* secret = dartu_strdup(plain);
    if (!secret) return fail(900);
    dartu_auth_data* entry = dartu_auth_find_auth_data(secret);
    if (!entry) entry = dartu_auth_insert_auth_data(secret, user, realm);
    if (!entry) {
        std::free(secret);
        return fail(407);
    }
    dartu_auth_fill_authdata(o->login_method == kDartuLoginHttpDigest, realm, user, password, entry);
    dartu_session* s = new (std::nothrow) dartu_session{};
    if (!s) {
        dartu_auth_remove_auth_data(secret);
        std::free(secret);
        return fail(900);
    }
    std::snprintf(s->id, sizeof s->id, "%08x", g.next_id);
    s->timeout = wanted < o->max_timeout ? wanted : o->max_timeout;
    s->last_access = now;
    s->secret = secret;
    dartu_replay_window_reset(&s->window);
    s->activity = dartu_engine_session_clock_seconds();
    dartu_lock_mutex_initialize(&s->queue_lock);
    dartu_lock_mutex_initialize(&s->publish_lock);
    g.table[g.count++] = s;
    if (++g.next_id == 0) g.next_id = 1;
    WriteUnlock();
    *out = s;
    dartu_user_info_cb info = dartu_global_context()->cb.user_info;
    if (info) {
        dartu_user_info_request rq{};
        rq.kind = kDartuResultUserInfo;
        rq.session = s;
        rq.user = entry->user;
        info(&rq, entry, entry->user);
    }
    return 0;
}

int dartu_engine_session_get_id_raw(const char* id, dartu_session** session, int* index, i32* error) {
    *session = nullptr;
    *index = -1;
    u32 lo = 0, hi = g.count;
    while (lo < hi) {
        u32 mid = (lo + hi) / 2;
        int r = std::strncmp(id, g.table[mid]->id, 9);
        if (r == 0) {
            *session = g.table[mid];
            *index = static_cast<int>(mid);
            return 0;
        }
        if (r < 0) hi = mid;
        else lo = mid + 1;
    }
    *error = 451;
    return -1;
}

dartu_auth_data* dartu_engine_session_get_user_data(dartu_session* s) {
    if (!s || !s->secret) return nullptr;
    dartu_auth_data* a = dartu_auth_find_auth_data(s->secret);
    return a && a->user && a->user[0] ? a : nullptr;
}

int dartu_engine_session_delete_idx(int index) {
    ReadLock();
    if (index < 0 || static_cast<u32>(index) >= g.count) {
        ReadUnlock();
        return -1;
    }
    dartu_session* s = g.table[index];
    for (dartu_subscription_frame* f = s->first_frame; f; f = f->next) {
        // Items only this session held lose their last subscriber; the
        // frames themselves go with the record below.
        for (dartu_subscription_item* item : f->items) {
            bool ours = false;
            for (dartu_subscription_frame* h : item->frames) ours |= h == f;
            if (!ours || item->active == 0) continue;
            if (--item->active == 0) {
                dartu_unsubscribe_cb cb = item->type == kDartuItemData ? dartu_global_context()->cb.unsubscribe
                                          : item->type == kDartuItemAlarm ? dartu_global_context()->cb.alarm_unsubscribe
                                                                          : dartu_global_context()->cb.filter_unsubscribe;
                i32 err = 0;
                if (cb) cb(item->handle, &err);
            }
        }
    }
    ReadUnlock();
    WriteLock();
    if (static_cast<u32>(index) >= g.count || g.table[index] != s) {
        WriteUnlock();
        return -1;
    }
    FreeSession(s);
    for (u32 i = static_cast<u32>(index); i + 1 < g.count; ++i) g.table[i] = g.table[i + 1];
    g.table[--g.count] = nullptr;
    WriteUnlock();
    return 0;
}

void dartu_engine_session_delete_expired(u64 now, dartu_session_teardown_fn teardown) {
    dartu_global_options_t* o = dartu_global_options();
    ReadLock();
    for (int i = static_cast<int>(g.count) - 1; i >= 0; --i) {
        if (static_cast<u32>(i) >= g.count) continue;
        dartu_session* s = g.table[i];
        const i64 c = static_cast<i64>(dartu_engine_session_clock_seconds());
        const char* reasons[3] = {};
        int lines = 0;
        if (s->last_access + 2ull * o->connection_timeout < now)
            reasons[lines++] = "Expiring session %s due to connection timeout";
        if (static_cast<i64>(o->session_timeout) + s->activity < c)
            reasons[lines++] = "Expiring session %s due to session (inactivity) timeout from webpage's";
        if (s->teardown) reasons[lines++] = "Tearing session %s down";
        for (int k = 0; k < lines; ++k) {
            char line[160];
            std::snprintf(line, sizeof line, reasons[k], s->id);
            if (g.login_delete) g.login_delete(SessionNumber(s->id));
            dartu_options_log_error("%s", line);
        }
        if (lines == 0) continue;
        if (teardown) teardown(s);
        ReadUnlock();
        dartu_engine_session_delete_idx(i);
        ReadLock();
    }
    ReadUnlock();
}

const char* dartu_engine_last_field(const dartu_buffer* rq, const char* prefix, u32* length) {
    const char* found = nullptr;
    const size_t n = std::strlen(prefix);
    const char *key, *value;
    u32 len = 0;
    if (length) *length = 0;
    for (u32 i = 0; dartu_buffer_get_dict_entry(rq, i, &key, &value, &len) == 0; ++i) {
        if (std::strncmp(key, prefix, n) == 0) {
            found = value;
            if (length) *length = len;
        }
    }
    return found;
}

// ---- Handlers ----------------------------------------------------------------------

void dartu_engine_handle_create_session_request(dartu_post_request* r) {
    const char* timeout = dartu_engine_last_field(r->request, "timeout", nullptr);
    const char* cipher = dartu_engine_last_field(r->request, "cipher", nullptr);
    dartu_session* s = nullptr;
    i32 err = 0;
    dartu_engine_session_create(Now(), timeout, cipher, 1, r->realm, r->user, r->password, &s, &err);
    if (s) {
        dartu_buffer* b = dartu_engine_get_content_buffer();
        if (!b || dartu_engine_construct_json_object_string(b, "sessionid", s->id) != 0) {
            dartu_buffer_return(b);
            return dartu_engine_reply_error(r, 900, 0);
        }
        dartu_engine_construct_json_response(r->keep_alive, &r->reply, b);
        return;
    }
    dartu_engine_reply_error(r, err ? err : 500, 0);
}

void dartu_engine_handle_delete_session_request(dartu_post_request* r) {
    int rc = dartu_engine_session_delete_idx(r->session_index);
    dartu_engine_reply_error(r, rc == 0 ? 0 : 451, 1);
}

void dartu_engine_handle_login_request(dartu_post_request* r) { dartu_engine_reply_error(r, 0, 1); }
void dartu_engine_handle_logout_request(dartu_post_request* r) { dartu_engine_reply_error(r, 0, 1); }

void dartu_engine_handle_change_password_request(dartu_post_request* r) {
    const char* fields[] = {"username", "oldpasswordcipher", "newpasswordcipher", "passworddigest"};
    bool all = true;
    for (const char* f : fields) all &= dartu_engine_last_field(r->request, f, nullptr) != nullptr;
    dartu_engine_reply_error(r, all ? 505 : 455, 1);
}

void dartu_engine_after_activity(dartu_post_request* r) {
    dartu_session* s = static_cast<dartu_session*>(r->session);
    if (!s) return;
    // The handler may have ended the session: only a listed one is touched.
    ReadLock();
    for (u32 i = 0; i < g.count; ++i)
        if (g.table[i] == s) s->activity = dartu_engine_session_clock_seconds();
    ReadUnlock();
}

void dartu_engine_after_create_subscription(dartu_post_request* r) {
    dartu_engine_after_activity(r);
    dartu_session* s = static_cast<dartu_session*>(r->session);
    const u32 m = dartu_global_options()->login_method;
    const bool login = m == kDartuLoginHttpBasic || m == kDartuLoginHttpDigest;
    if (s && login && g.login_add) g.login_add(SessionNumber(s->id), r->user, s->activity);
}

void dartu_engine_after_delete_session(dartu_post_request* r) {
    if (!r->session_header || !g.login_delete) return;
    const char* at = std::strstr(r->session_header, "sessionid=\"");
    if (at) g.login_delete(SessionNumber(at + 11));
}

void dartu_engine_session_install_handlers() {
    dartu_engine_set_post_handler("createsession", dartu_engine_handle_create_session_request, nullptr);
    dartu_engine_set_post_handler("deletesession", dartu_engine_handle_delete_session_request,
                                  dartu_engine_after_delete_session);
    dartu_engine_set_post_handler("login", dartu_engine_handle_login_request, nullptr);
    dartu_engine_set_post_handler("logout", dartu_engine_handle_logout_request, nullptr);
    dartu_engine_set_post_handler("changepassword", dartu_engine_handle_change_password_request, nullptr);
}
