#include "darTUsdk/dartusdk/dartu_comm.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_lock.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_sys.h"
#include "darTUsdk/dartusdk/dartu_timer.h"
#include "platform/nx_api.h"
#include "platform/root.h"
#include "platform/ssl_lib.h"

namespace {

// The TLS library's functions, looked up by name in this order.
enum {
    kSslFree, kSslAccept, kSslConnect, kSslRead, kSslWrite, kSslGetError, kSslSetFd, kSslNew, kSslCtxNew,
    kTlsServerMethod, kOpensslInitSsl, kSslCtxUsePrivateKeyFile, kSslCtxUseCertificateFile,
    kSslCtxSetDefaultPasswdCb, kSslPending, kSslCtxFree, kSslSetConnectState, kSslSetAcceptState, kSslShutdown,
    kSslCount
};

SslLibEntry ssl_sw[kSslCount] = {
    {"SSL_free", nullptr},
    {"SSL_accept", nullptr},
    {"SSL_connect", nullptr},
    {"SSL_read", nullptr},
    {"SSL_write", nullptr},
    {"SSL_get_error", nullptr},
    {"SSL_set_fd", nullptr},
    {"SSL_new", nullptr},
    {"SSL_CTX_new", nullptr},
    {"TLS_server_method", nullptr},
    {"OPENSSL_init_ssl", nullptr},
    {"SSL_CTX_use_PrivateKey_file", nullptr},
    {"SSL_CTX_use_certificate_file", nullptr},
    {"SSL_CTX_set_default_passwd_cb", nullptr},
    {"SSL_pending", nullptr},
    {"SSL_CTX_free", nullptr},
    {"SSL_set_connect_state", nullptr},
    {"SSL_set_accept_state", nullptr},
    {"SSL_shutdown", nullptr},
};

template <typename F>
F Fn(int index) {
    return reinterpret_cast<F>(ssl_sw[index].function);
}

constexpr int kSslErrorNone = 0, kSslErrorWantRead = 2, kSslErrorWantWrite = 3, kSslErrorSyscall = 5,
              kSslErrorZeroReturn = 6;
constexpr int kSslFiletypePem = 1;

int SslRead(void* ssl, void* buf, int n) { return Fn<int (*)(void*, void*, int)>(kSslRead)(ssl, buf, n); }
int SslWrite(void* ssl, const void* buf, int n) {
    return Fn<int (*)(void*, const void*, int)>(kSslWrite)(ssl, buf, n);
}
int SslGetError(void* ssl, int ret) { return Fn<int (*)(void*, int)>(kSslGetError)(ssl, ret); }
void SslFree(void* ssl) { Fn<void (*)(void*)>(kSslFree)(ssl); }

struct State {
    int https_listener = -1;
    int http_listener = -1;
    u32 http_port = 0;   // after the offset
    u32 https_port = 0;
    void* ssl_ctx = nullptr;
    // Set by every party that changes a list; the rebuild clears it first and
    // then reads the lists under the lock, so a change it misses sets it again.
    std::atomic<int> changed{0};
    int shutdown_request = 0;
    char* scratch = nullptr;
    u32 scratch_size = 0;
    dartu_mutex lock;
    bool lock_ready = false;
    u32 next_id = 1;
    dartu_connection_info* free_head = nullptr;
    dartu_connection_info* active_head = nullptr;
    dartu_connection_info* active_tail = nullptr;
    u32 active_count = 0;

    // Dispatcher state kept between passes.
    std::vector<pollfd> fds;
    std::vector<dartu_connection_info*> conns;  // conns[i] serves fds[i]; none for a listener
    std::vector<u32> ids;
    u32 idle_passes = 0;
    u32 busy_passes = 0;
    // Accept failed for want of descriptors: the listeners stay out of the
    // poll until a connection is dropped, instead of waking it at once.
    bool listeners_paused = false;
    u64 last_idle_sweep = 0;
};

State g;

void Lock() { dartu_lock_mutex_lock(&g.lock); }
void Unlock() { dartu_lock_mutex_unlock(&g.lock); }

u64 Now() { return dartu_sys_get_current_monotonous_time(); }

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Unlinks the head buffer of the send queue (under the lock) and returns it
// to its pool, or only clears its in-flight mark when its owner keeps it.
void ReleaseHead(dartu_connection_info* c) {
    Lock();
    dartu_buffer* b = c->send_head;
    if (b) {
        c->send_head = b->send_next;
        if (!c->send_head) c->send_tail = nullptr;
        b->send_next = nullptr;
    }
    Unlock();
    if (!b) return;
    b->queued = 0;
    if (!b->retain) dartu_buffer_return(b);
}

void ShutWrite(dartu_connection_info* c) {
    if (!c->write_shut) shutdown(c->socket, SHUT_WR);
    c->write_shut = 1;
    c->close_after_send = 0;
    Lock();
    dartu_connection_info_select(c, kDartuSelectWrite, 0);
    Unlock();
    g.changed = 1;
}

// The bytes just received sit in the receive buffer: hand them on.
void Deliver(dartu_connection_info* c) {
    c->last_activity = Now();
    dartu_comm_conn_cb cb = dartu_global_context()->cb.receive_data;
    if (cb) cb(c);
}

// The peer closed its side. A request still incomplete is handled once with
// what arrived; replies still queued go out before the connection closes.
void PeerClosed(dartu_connection_info* c) {
    if (!c->write_shut) {
        dartu_buffer_reset_data(c->receive);
        if (c->partial && c->partial->length > c->partial->read_pos) Deliver(c);
    }
    if (c->send_head && !c->write_shut && !c->drop) {
        c->peer_closed = 1;
        Lock();
        dartu_connection_info_select(c, kDartuSelectRead, 0);
        Unlock();
        g.changed = 1;
        return;
    }
    c->drop = 1;
}

void TlsReceiveStep(dartu_connection_info* c) {
    c->tls_recv_wants_read = c->tls_send_wants_write = c->tls_recv_wants_write = c->tls_send_wants_read = 0;
    dartu_buffer* rb = c->receive;
    for (;;) {
        int n = SslRead(c->ssl, rb->storage, static_cast<int>(rb->capacity));
        if (n > 0) {
            rb->length = static_cast<u32>(n);
            rb->read_pos = 0;
            if (!c->close_after_send) Deliver(c);
            if (c->close_after_send) c->drop = 1;
            continue;
        }
        int e = SslGetError(c->ssl, n);
        switch (e) {
            case kSslErrorNone: break;
            case kSslErrorWantRead: c->tls_recv_wants_read = 1; break;
            case kSslErrorWantWrite:
                // Poll for output too, or a handshake that must write stalls.
                c->tls_recv_wants_write = 1;
                g.changed = 1;
                break;
            case kSslErrorZeroReturn: PeerClosed(c); break;
            default:
                if (e == kSslErrorSyscall && n == 0) {
                    PeerClosed(c);
                } else {
                    dartu_options_log_error("SSL read problem: %d, %d", n, e);
                    c->drop = 1;
                }
                break;
        }
        return;
    }
}

void PlainReceiveStep(dartu_connection_info* c) {
    dartu_buffer* rb = c->receive;
    ssize_t n = recv(c->socket, rb->storage, rb->capacity, MSG_DONTWAIT);
    if (n > 0) {
        rb->length = static_cast<u32>(n);
        rb->read_pos = 0;
        Deliver(c);
        if (c->close_after_send) c->drop = 1;
    } else if (n == 0) {
        PeerClosed(c);
    } else {
        int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return;
        if (e != ECONNRESET && !c->write_shut) dartu_options_log_error("read problem: %d, %d", static_cast<int>(n), e);
        c->drop = 1;
    }
}

// One piece of the head buffer, or 0 when it has nothing left.
int NextPiece(dartu_connection_info* c, const char** piece) {
    if (!c->send_head) return 0;
    return dartu_buffer_get_data(c->send_head, piece, g.scratch, g.scratch_size, nullptr, 0);
}

void TlsSendStep(dartu_connection_info* c) {
    c->tls_send_wants_write = c->tls_send_wants_read = 0;
    const char* piece = nullptr;
    int count = NextPiece(c, &piece);
    if (count < 0) {
        c->drop = 1;
        return;
    }
    char none;
    int r = SslRead(c->ssl, &none, 0);
    if (r <= 0 && SslGetError(c->ssl, r) == kSslErrorZeroReturn) {
        c->drop = 1;
        return;
    }
    if (count == 0) return;
    int n = SslWrite(c->ssl, piece, count);
    int e = n > 0 ? kSslErrorNone : SslGetError(c->ssl, n);
    switch (e) {
        case kSslErrorNone:
            dartu_buffer_get_advance(c->send_head, static_cast<size_t>(n));
            c->last_activity = Now();
            break;
        case kSslErrorWantRead: c->tls_send_wants_read = 1; break;
        case kSslErrorWantWrite: c->tls_send_wants_write = 1; break;
        default:
            dartu_options_log_error("SSL write problem: %d, %d", n, e);
            c->drop = 1;
            break;
    }
}

void PlainSendStep(dartu_connection_info* c) {
    const char* piece = nullptr;
    int count = NextPiece(c, &piece);
    if (count < 0) {
        c->drop = 1;
        return;
    }
    if (count == 0) return;
    ssize_t n = send(c->socket, piece, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        dartu_buffer_get_advance(c->send_head, static_cast<size_t>(n));
        c->last_activity = Now();
        return;
    }
    // A full socket buffer is no error: the rest goes at the next writable moment.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n == 0) dartu_options_log_error("write problem: %d, %d", static_cast<int>(n), errno);
    c->drop = 1;
}

void WriteStep(dartu_connection_info* c) {
    if (c->close_after_send) {
        ShutWrite(c);
        return;
    }
    if (c->send_head && dartu_buffer_is_overflowed(c->send_head)) {
        dartu_options_log_error("Tried to send an overflowed buffer, dropping the connection");
        ShutWrite(c);
        return;
    }
    if (c->tls && c->tls_recv_wants_write) {
        // A receive (or handshake) that had to write: nothing of ours is
        // queued unless the connection is in the write list as well.
        TlsReceiveStep(c);
        if (c->drop || !c->in_write) return;
    }
    if (c->tls) TlsSendStep(c);
    else PlainSendStep(c);
    if (c->drop) return;
    while (c->send_head && dartu_buffer_available_data(c->send_head) == 0) ReleaseHead(c);
    if (c->send_head) return;
    if (c->peer_closed) {
        c->drop = 1;
        return;
    }
    Lock();
    bool queued = c->send_head != nullptr;  // a worker may have queued meanwhile
    if (!queued && (c->keep_alive || c->outgoing)) {
        dartu_connection_info_select(c, kDartuSelectWrite, 0);
        if (c->keep_alive) dartu_connection_info_select(c, kDartuSelectRead, 1);
        g.changed = 1;
    }
    Unlock();
    if (!queued && !c->keep_alive && !c->outgoing) c->close_after_send = 1;
}

void ReadStep(dartu_connection_info* c) {
    if (c->tls) {
        if (c->tls_send_wants_read) TlsSendStep(c);
        else TlsReceiveStep(c);
    } else {
        PlainReceiveStep(c);
    }
}

void DropMarked(dartu_connection_info* c) {
    if (!c->drop) return;
    if (!c->write_shut && c->socket >= 0) shutdown(c->socket, SHUT_WR);
    c->write_shut = 1;
    dartu_comm_drop_connection(c);
}

void Rebuild() {
    g.changed = 0;
    g.fds.clear();
    g.conns.clear();
    g.ids.clear();
    auto add = [](int fd, short events, dartu_connection_info* c) {
        g.fds.push_back(pollfd{fd, events, 0});
        g.conns.push_back(c);
        g.ids.push_back(c ? c->id : 0);
    };
    if (!g.listeners_paused) {
        if (g.http_listener >= 0) add(g.http_listener, POLLIN, nullptr);
        if (g.https_listener >= 0) add(g.https_listener, POLLIN, nullptr);
    }
    Lock();
    for (dartu_connection_info* c = g.active_head; c; c = c->active_next) {
        short ev = 0;
        if (c->in_read) ev |= POLLIN;
        if (c->in_write || c->tls_recv_wants_write) ev |= POLLOUT;
        add(c->socket, ev, c);
    }
    Unlock();
}

void SweepIdle(u64 now) {
    if (now == g.last_idle_sweep) return;
    g.last_idle_sweep = now;
    const u64 limit = dartu_comm_idle_limit();
    for (dartu_connection_info* c = g.active_head; c;) {
        dartu_connection_info* next = c->active_next;
        if (now - c->last_activity > limit) {
            c->drop = 1;
            DropMarked(c);
        }
        c = next;
    }
}

}  // namespace

// ---- Connection records ----------------------------------------------------

void dartu_connection_info_reset(dartu_connection_info* c) {
    std::memset(c, 0, sizeof *c);
    c->socket = -1;
    c->remote_index = -1;
}

dartu_connection_info* dartu_connection_info_get() {
    Lock();
    dartu_connection_info* c = g.free_head;
    if (c) g.free_head = c->free_next;
    Unlock();
    if (!c) c = static_cast<dartu_connection_info*>(std::malloc(sizeof(dartu_connection_info)));
    if (c) dartu_connection_info_reset(c);
    return c;
}

void dartu_connection_info_select(dartu_connection_info* c, u32 mask, int add) {
    if (mask & kDartuSelectRead) c->in_read = add ? 1 : 0;
    if (mask & kDartuSelectWrite) c->in_write = add ? 1 : 0;
}

void dartu_connection_info_activate(dartu_connection_info* c, int add) {
    if (add) {
        if (c->in_active) return;
        c->active_prev = g.active_tail;
        c->active_next = nullptr;
        if (g.active_tail) g.active_tail->active_next = c;
        else g.active_head = c;
        g.active_tail = c;
        c->in_active = 1;
        g.active_count++;
        return;
    }
    dartu_connection_info_select(c, kDartuSelectRead | kDartuSelectWrite | kDartuSelectException, 0);
    if (!c->in_active) return;
    if (c->active_prev) c->active_prev->active_next = c->active_next;
    else g.active_head = c->active_next;
    if (c->active_next) c->active_next->active_prev = c->active_prev;
    else g.active_tail = c->active_prev;
    c->active_prev = c->active_next = nullptr;
    c->in_active = 0;
    g.active_count--;
}

// Called with the connection lock held.
void dartu_connection_info_return(dartu_connection_info* c) {
    dartu_connection_info_activate(c, 0);
    dartu_buffer_return(c->receive);
    dartu_buffer_return(c->partial);
    for (dartu_buffer* b = c->send_head; b;) {
        dartu_buffer* next = b->send_next;
        b->send_next = nullptr;
        b->queued = 0;
        if (!b->retain) dartu_buffer_return(b);
        b = next;
    }
    dartu_connection_info_reset(c);
    c->free_next = g.free_head;
    g.free_head = c;
}

void dartu_connection_info_free_all() {
    Lock();
    while (g.active_head) {
        dartu_connection_info* c = g.active_head;
        dartu_connection_info_return(c);
    }
    while (g.free_head) {
        dartu_connection_info* c = g.free_head;
        g.free_head = c->free_next;
        std::free(c);
    }
    Unlock();
}

void dartu_connection_reset_session_from_conn(dartu_connection_info* connection) {
    if (connection && connection->session) dartu_connection_reset_session(connection->session);
}

void dartu_connection_reset_session(void* session) {
    if (!session) return;
    Lock();
    for (dartu_connection_info* c = g.active_head; c; c = c->active_next)
        if (c->session == session) c->session = nullptr;
    Unlock();
}

// ---- Global context ----------------------------------------------------------

int dartu_init_global_context_comm() {
    g.https_listener = g.http_listener = -1;
    g.http_port = g.https_port = 0;
    g.ssl_ctx = nullptr;
    g.changed = 0;
    g.shutdown_request = 0;
    std::free(g.scratch);
    g.scratch = static_cast<char*>(std::malloc(kDartuScratchSize));
    g.scratch_size = g.scratch ? kDartuScratchSize : 0;
    g.next_id = 1;
    g.listeners_paused = false;
    g.idle_passes = g.busy_passes = 0;
    g.last_idle_sweep = 0;
    if (!g.lock_ready) dartu_lock_mutex_initialize(&g.lock);
    g.lock_ready = true;
    return g.scratch ? 0 : -1;
}

int dartu_init_global_context_conn() {
    g.free_head = nullptr;
    g.active_head = g.active_tail = nullptr;
    g.active_count = 0;
    g.fds.clear();
    g.conns.clear();
    g.ids.clear();
    return 0;
}

int dartu_comm_initialize() { return 0; }

void dartu_comm_free() {
    dartu_connection_info_free_all();
    if (g.lock_ready) dartu_lock_mutex_destroy(&g.lock);
    g.lock_ready = false;
    if (g.ssl_ctx) Fn<void (*)(void*)>(kSslCtxFree)(g.ssl_ctx);
    g.ssl_ctx = nullptr;
    std::free(g.scratch);
    g.scratch = nullptr;
    g.scratch_size = 0;
    g.fds.clear();
    g.conns.clear();
    g.ids.clear();
}

u32 dartu_comm_http_port() { return g.http_listener >= 0 ? g.http_port : 0; }
u32 dartu_comm_https_port() { return g.https_listener >= 0 ? g.https_port : 0; }
bool dartu_comm_tls_ready() { return g.ssl_ctx != nullptr; }
u32 dartu_comm_connection_count() { return g.active_count; }
u64 dartu_comm_idle_limit() { return 2ull * dartu_global_options()->max_timeout; }

// ---- TLS -------------------------------------------------------------------

int dartu_comm_ssl_pem_passwd_cb(char* buffer, int size, int, void*) {
    const char* phrase = dartu_global_options()->key_passphrase;
    if (!phrase || !buffer || size <= 0) return 0;
    size_t n = std::strlen(phrase);
    if (n >= static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, phrase, n + 1);
    return static_cast<int>(n);
}

int dartu_comm_ssl_initialize(const char* certificate_path) {
    int r = SslLib_Resolve(ssl_sw, kSslCount);
    if (r == -1) {
        dartu_options_log_error("Cannot load SSL library");
        return -1;
    }
    if (r != 0) {
        dartu_options_log_error("Cannot find SSL methods in the DLL");
        return -1;
    }
    Fn<int (*)(u64, const void*)>(kOpensslInitSsl)(0, nullptr);
    void* method = Fn<void* (*)()>(kTlsServerMethod)();
    void* ctx = Fn<void* (*)(void*)>(kSslCtxNew)(method);
    if (!ctx) {
        dartu_options_log_error("SSL_CTX_new error");
    } else {
        if (dartu_global_options()->key_passphrase)
            Fn<void (*)(void*, int (*)(char*, int, int, void*))>(kSslCtxSetDefaultPasswdCb)(
                ctx, dartu_comm_ssl_pem_passwd_cb);
        if (Fn<int (*)(void*, const char*, int)>(kSslCtxUseCertificateFile)(ctx, certificate_path, kSslFiletypePem) !=
                1 ||
            Fn<int (*)(void*, const char*, int)>(kSslCtxUsePrivateKeyFile)(ctx, certificate_path, kSslFiletypePem) !=
                1)
            dartu_options_log_error("cannot open %s", certificate_path);
    }
    g.ssl_ctx = ctx;
    return 0;
}

int dartu_comm_prepare() {
    const char* cert = dartu_global_options()->certificate_file;
    if (!cert) return 0;
    return dartu_comm_ssl_initialize(cert) == -1 ? -1 : 0;
}

// ---- Listening and accepting ---------------------------------------------------

int dartu_comm_open_listening_port(const char*, u32 port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto fail = [&]() {
        dartu_options_log_error("open_listening_port(%d): %s", static_cast<int>(port), std::strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    };
    if (fd < 0) return fail();
    int on = 1;
    int nodelay = dartu_global_options()->tcp_nodelay ? 1 : 0;
    int nb = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay) != 0 || ioctl(fd, FIONBIO, &nb) != 0)
        return fail();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u16>(port));
    // The board listens on every address; on a PC's own namespace only where
    // the controller's other servers listen.
    a.sin_addr.s_addr = htonl(Nx_ServerAddress());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 32) != 0) return fail();
    return fd;
}

int dartu_comm_accept_connection(int listener, int tls) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) g.listeners_paused = true;
        return 0;
    }
    dartu_connection_info* c = dartu_connection_info_get();
    if (!c) {
        close(fd);
        return 0;
    }
    c->id = g.next_id++;
    if (g.next_id == 0) g.next_id = 1;
    c->socket = fd;
    c->tls = tls ? 1 : 0;
    c->last_activity = Now();
    if (tls) {
        c->ssl = Fn<void* (*)(void*)>(kSslNew)(g.ssl_ctx);
        if (!c->ssl) {
            dartu_options_log_error("Cannot do SSL_new");
            close(fd);
            Lock();
            dartu_connection_info_return(c);
            Unlock();
            return 0;
        }
        Fn<int (*)(void*, int)>(kSslSetFd)(c->ssl, fd);
        Fn<void (*)(void*)>(kSslSetAcceptState)(c->ssl);
    }
    Lock();
    dartu_connection_info_activate(c, 1);
    dartu_connection_info_select(c, kDartuSelectRead | kDartuSelectException, 1);
    Unlock();
    c->receive = dartu_buffer_get(kDartuBufContent, kDartuReceiveBufferSize, kDartuReceiveBufferSize, 0);
    if (!c->receive) {
        c->quiet_close = 1;
        dartu_comm_drop_connection(c);
        return 0;
    }
    g.changed = 1;
    return 0;
}

int dartu_comm_mainloop() {
    dartu_global_options_t* o = dartu_global_options();
    int result = 0;
    if (o->http_port > 0) {
        u32 port = o->http_port + static_cast<u32>(Root_PortOffset());
        g.http_listener = dartu_comm_open_listening_port(o->http_address, port);
        if (g.http_listener < 0) result = -1;
        else g.http_port = port;
    }
    // HTTPS opens even when HTTP could not: the two ports are independent.
    if (o->https_port > 0 && g.ssl_ctx) {
        u32 port = o->https_port + static_cast<u32>(Root_PortOffset());
        g.https_listener = dartu_comm_open_listening_port(o->https_address, port);
        if (g.https_listener < 0) result = -1;
        else g.https_port = port;
    }
    g.changed = 1;
    g.shutdown_request = 0;
    dartu_timer_start_imp(&dartu_global_context()->server_timer);
    return result;
}

void dartu_comm_mainloop_exit() {
    while (g.active_head) {
        g.active_head->quiet_close = 1;
        dartu_comm_drop_connection(g.active_head);
    }
    CloseFd(g.https_listener);
    CloseFd(g.http_listener);
    g.http_port = g.https_port = 0;
    dartu_timer_stop_imp(&dartu_global_context()->server_timer);
}

// ---- Sending and dropping --------------------------------------------------------

int dartu_comm_send(dartu_connection_info* c, dartu_buffer* reply) {
    if (!reply) return 0;
    reply->queued = 1;
    reply->send_next = nullptr;
    Lock();
    if (c->send_tail) c->send_tail->send_next = reply;
    else c->send_head = reply;
    c->send_tail = reply;
    dartu_connection_info_select(c, kDartuSelectWrite, 1);
    Unlock();
    g.changed = 1;
    return 0;
}

int dartu_comm_send_id(u32 id, dartu_buffer* reply) {
    Lock();
    dartu_connection_info* found = nullptr;
    for (dartu_connection_info* c = g.active_head; c; c = c->active_next) {
        if (c->id == id) {
            found = c;
            break;
        }
    }
    if (found) dartu_comm_send(found, reply);  // the lock is recursive
    Unlock();
    if (found) return 0;
    if (reply) {
        reply->queued = 0;
        if (!reply->retain) dartu_buffer_return(reply);
    }
    return -1;
}

void dartu_comm_drop_connection(dartu_connection_info* c) {
    if (c->socket >= 0) close(c->socket);
    c->socket = -1;
    if (!c->quiet_close) {
        dartu_comm_conn_cb cb = dartu_global_context()->cb.connection_dropped;
        if (cb) cb(c);
    }
    if (c->tls && c->ssl) SslFree(c->ssl);
    c->ssl = nullptr;
    Lock();
    dartu_connection_info_return(c);
    Unlock();
    g.listeners_paused = false;
    g.changed = 1;
}

// ---- The dispatcher ------------------------------------------------------------

void dartu_comm_wait(int timeout_ms) {
    if (g.changed.load()) Rebuild();
    if (timeout_ms <= 0) return;
    for (pollfd& p : g.fds) p.revents = 0;
    poll(g.fds.data(), g.fds.size(), timeout_ms);
}

void dartu_comm_mainloop_accept_conn(int timeout_ms) {
    if (g.changed.load()) Rebuild();
    for (pollfd& p : g.fds) p.revents = 0;
    int r = poll(g.fds.data(), g.fds.size(), timeout_ms);
    if (r == 0) {
        g.idle_passes++;
    } else if (r > 0) {
        g.busy_passes++;
        const size_t n = g.fds.size();
        for (size_t i = 0; i < n; ++i) {
            if (g.conns[i] || !(g.fds[i].revents & POLLIN)) continue;
            int listener = g.fds[i].fd;
            int tls = listener == g.https_listener;
            for (int k = 0; k < kDartuAcceptPerPass && !g.listeners_paused; ++k) {
                u32 before = g.active_count;
                dartu_comm_accept_connection(listener, tls);
                if (g.active_count == before) break;
            }
        }
        // Input first, then output, each in list order. A record dropped
        // meanwhile may serve another connection already: its id tells.
        for (size_t i = 0; i < n; ++i) {
            dartu_connection_info* c = g.conns[i];
            if (!c || c->id != g.ids[i] || !c->in_active) continue;
            if ((g.fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && c->in_read) ReadStep(c);
            DropMarked(c);
        }
        for (size_t i = 0; i < n; ++i) {
            dartu_connection_info* c = g.conns[i];
            if (!c || c->id != g.ids[i] || !c->in_active) continue;
            if ((g.fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) && (c->in_write || c->tls_recv_wants_write)) {
                WriteStep(c);
                DropMarked(c);
            } else if ((g.fds[i].revents & (POLLHUP | POLLERR)) && !c->in_read && !c->in_write) {
                // Neither reading nor writing any more and the peer is gone.
                c->drop = 1;
                DropMarked(c);
            }
        }
    }
    SweepIdle(Now());
    if (g.idle_passes > 2 || g.busy_passes > 20) {
        dartu_comm_tick_cb tick = dartu_global_context()->cb.tick;
        if (tick) tick(Now());
        g.idle_passes = g.busy_passes = 0;
    }
}
