#include "darTUsdk/dartusdk/dartu_context.h"

#include <cstring>

namespace {

dartu_global_context_t g_context;

}  // namespace

dartu_global_context_t* dartu_global_context() { return &g_context; }

void dartu_callbacks_clear() { std::memset(&g_context.cb, 0, sizeof g_context.cb); }

int dartu_init_global_context_server() {
    for (dartu_thread_slot& s : g_context.threads) {
        s.state.store(kDartuThreadFree);
        s.stop.store(0);
        s.entry = nullptr;
        s.argument = nullptr;
    }
    g_context.thread_count = 0;
    dartu_timer_init_imp(&g_context.server_timer);
    return 0;
}

int dartu_free_global_context_server() { return 0; }

void dartu_server_set_request_hook_callback(dartu_request_hook_cb hook) { g_context.cb.request_hook = hook; }

void dartu_server_set_basic_callbacks_simple(dartu_read_cb read, dartu_write_cb write) {
    g_context.cb.read = read;
    g_context.cb.write = write;
}

void dartu_server_set_basic_callbacks_multi(dartu_read_multi_cb read, dartu_write_multi_cb write) {
    g_context.cb.read_multi = read;
    g_context.cb.write_multi = write;
}

void dartu_server_set_advanced_callbacks(dartu_subscribe_cb subscribe, dartu_unsubscribe_cb unsubscribe) {
    g_context.cb.subscribe = subscribe;
    g_context.cb.unsubscribe = unsubscribe;
}

void dartu_comm_set_cb(dartu_comm_conn_cb receive_data, dartu_comm_conn_cb connection_dropped,
                       dartu_comm_tick_cb tick) {
    g_context.cb.receive_data = receive_data;
    g_context.cb.connection_dropped = connection_dropped;
    g_context.cb.tick = tick;
}

void dartu_server_set_auth_callbacks(dartu_access_check_cb access_check, dartu_password_digest_cb password_digest,
                                     dartu_user_info_cb user_info, dartu_password_change_cb password_change) {
    g_context.cb.access_check = access_check;
    g_context.cb.password_digest = password_digest;
    g_context.cb.user_info = user_info;
    g_context.cb.password_change = password_change;
}
