#include "darTUsdk/dartusdk/dartu_server.h"

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_sys.h"

namespace {

u64 g_lastExpiry = 0;

}  // namespace

int dartu_server_initialize() {
    dartu_callbacks_clear();
    g_lastExpiry = 0;
    int r = dartu_options_initialize();
    if (r == 0) r = dartu_comm_initialize();
    if (r == 0) r = dartu_init_global_context_server();
    if (r == 0) r = dartu_init_global_context_comm();
    if (r == 0) r = dartu_init_global_context_conn();
    if (r == 0) r = dartu_init_global_context_buff();
    return r;
}

int dartu_server_prepare() {
    dartu_comm_set_cb(dartu_engine_receive_comm_data, dartu_server_connection_dropped, dartu_server_session_tick);
    int first = 0;
    int r = dartu_comm_prepare();
    if (r != 0 && first == 0) first = r;
    r = dartu_auth_initialize();
    if (r != 0 && first == 0) first = r;
    return first;
}

int dartu_server_mainloop() { return dartu_comm_mainloop(); }

void dartu_server_clear() { dartu_auth_clear(); }

void dartu_server_free() {
    dartu_auth_free();
    dartu_comm_free();
    dartu_options_free();
    dartu_free_global_context_buff();
    dartu_free_global_context_server();
}

void dartu_engine_receive_comm_data(dartu_connection_info* c) {
    dartu_engine_handle_data(c, &c->partial, c->receive);
}

void dartu_server_connection_dropped(dartu_connection_info*) {}

void dartu_server_session_tick(u64 now) {
    if (now - g_lastExpiry > 9) {
        dartu_auth_expire_auth_data(now, 2ull * dartu_global_options()->max_timeout);
        g_lastExpiry = now;
    }
    dartu_sys_thread_tick();
}
