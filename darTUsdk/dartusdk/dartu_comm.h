// The web-HMI server's network layer: the HTTP and HTTPS listeners, the
// table of open connections, one dispatcher pass per server-thread pass
// (poll, accept, receive, send, close) and TLS through the system's TLS
// library opened at run time.
//
// Everything runs in the server thread except dartu_comm_send_id, which
// worker threads call to queue a reply. The connection lock guards the
// connection lists and every send queue.
#pragma once

#include <atomic>

#include "platform/bytes.h"

struct dartu_buffer;

struct dartu_connection_info {
    u32 id;       // never 0
    int socket;   // -1 when none
    u32 outgoing;     // opened by the server itself: never in this server
    u32 quiet_close;  // dropped on server stop: no dropped callback
    u32 keep_alive;   // cleared for every request, so never set here
    int remote_index; // always -1
    u32 waiting;      // a long-poll request of this connection is parked

    dartu_connection_info* free_next;
    dartu_connection_info* active_prev;
    dartu_connection_info* active_next;
    u32 in_active;
    u32 in_read;   // polled for input
    u32 in_write;  // polled for output (a reply is queued or the write side is to be shut)

    u32 tls;
    void* ssl;
    int close_after_send;  // the reply is complete: shut the write side at the next writable moment
    int write_shut;
    int peer_closed;  // the peer shut its side while a reply was still queued: close once it is sent
    int pending;
    u64 connect_time;
    u64 last_activity;  // toolkit clock of the last byte received or sent
    int tls_recv_wants_read;
    int tls_send_wants_write;
    int tls_recv_wants_write;
    int tls_send_wants_read;
    int drop;  // marked for dropping by a step

    dartu_buffer* receive;  // exactly the bytes of the last receive
    dartu_buffer* partial;  // an unfinished request kept between receives
    dartu_buffer* send_head;
    dartu_buffer* send_tail;
    void* session;
};

// List masks of dartu_connection_info_select.
enum : u32 { kDartuSelectRead = 1, kDartuSelectWrite = 2, kDartuSelectException = 4 };

constexpr u32 kDartuReceiveBufferSize = 4096;
constexpr u32 kDartuScratchSize = 16384;
// Connections accepted at most in one pass from each listener.
constexpr int kDartuAcceptPerPass = 64;

// ---- Communication layer --------------------------------------------------
// One dispatcher pass; the poll waits at most timeout_ms (0: never).
void dartu_comm_mainloop_accept_conn(int timeout_ms = 0);
// Waits at most timeout_ms for activity on the descriptors of the last pass,
// without serving anything (the server thread waits here outside its lock).
void dartu_comm_wait(int timeout_ms);
// Opens the listeners and starts the server timer: 0, or -1 when the HTTP
// listener could not be opened (HTTPS is still tried) or the HTTPS one failed.
int dartu_comm_mainloop();
void dartu_comm_mainloop_exit();
// The listening descriptor or -1. The port is taken as given.
int dartu_comm_open_listening_port(const char* address, u32 port);
int dartu_comm_accept_connection(int listener, int tls);
int dartu_comm_send(dartu_connection_info* connection, dartu_buffer* reply);
// Safe from worker threads; -1 (the buffer freed) when no open connection has the id.
int dartu_comm_send_id(u32 connection_id, dartu_buffer* reply);
void dartu_comm_drop_connection(dartu_connection_info* connection);
int dartu_comm_prepare();
int dartu_comm_ssl_initialize(const char* certificate_path);
int dartu_comm_ssl_pem_passwd_cb(char* buffer, int size, int rwflag, void* user);
int dartu_comm_initialize();
void dartu_comm_free();

dartu_connection_info* dartu_connection_info_get();
void dartu_connection_info_return(dartu_connection_info* connection);
void dartu_connection_info_reset(dartu_connection_info* connection);
void dartu_connection_info_activate(dartu_connection_info* connection, int add);
void dartu_connection_info_select(dartu_connection_info* connection, u32 mask, int add);
void dartu_connection_info_free_all();
void dartu_connection_reset_session_from_conn(dartu_connection_info* connection);
void dartu_connection_reset_session(void* session);

int dartu_init_global_context_comm();
int dartu_init_global_context_conn();

// The ports actually listened on (after the port offset), 0 when closed.
u32 dartu_comm_http_port();
u32 dartu_comm_https_port();
// True while a TLS context exists (the library loaded and a context made).
bool dartu_comm_tls_ready();
// Open connections (tests and diagnostics).
u32 dartu_comm_connection_count();
// Idle time-out of a connection in toolkit-clock units: a connection that
// neither sent nor received for this long is dropped (silent clients and
// stalled handshakes would otherwise hold their records for ever).
u64 dartu_comm_idle_limit();
