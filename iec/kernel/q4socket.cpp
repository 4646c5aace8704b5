#include "iec/kernel/q4socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/nx_api.h"
#include "platform/root.h"

namespace {

u16 WithOffset(u16 port) { return port ? static_cast<u16>(port + Root_PortOffset()) : 0; }

bool NonBlocking(int fd) {
    int fl = ::fcntl(fd, F_GETFL, 0);
    return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

void TcpOptions(int fd) {
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool MakeAddr(sockaddr_in* a, const char* ip, u16 port) {
    std::memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    if (!ip) {
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::inet_pton(AF_INET, ip, &a->sin_addr) == 1;
}

// A socket the application binds without naming an address listens where
// the controller's own servers do.
bool MakeBindAddr(sockaddr_in* a, const char* ip, u16 port) {
    if (!MakeAddr(a, ip, port)) return false;
    if (!ip) a->sin_addr.s_addr = htonl(Nx_ServerAddress());
    return true;
}

int Listen(u16 port, int backlog, const char* ip, int* sock) {
    *sock = -1;
    sockaddr_in a;
    if (!MakeBindAddr(&a, ip, WithOffset(port))) return 1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!NonBlocking(fd) || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return 1;
    }
    *sock = fd;
    return 0;
}

int Udp(u16 port, const char* ip, int* sock) {
    *sock = -1;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 1;
    if (!NonBlocking(fd)) {
        ::close(fd);
        return 1;
    }
    if (port != 0) {
        sockaddr_in a;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (!MakeBindAddr(&a, ip, WithOffset(port)) || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return 1;
        }
    }
    *sock = fd;
    return 0;
}

}  // namespace

int Q4Socket_Initialize() { return 0; }
void Q4Socket_Terminate() {}

int Q4Socket_CreateListeningSocket(u16 port, int backlog, int* sock) { return Listen(port, backlog, nullptr, sock); }

int Q4Socket_CreateListeningSocketOn(u16 port, int backlog, const char* ip, int* sock) {
    return Listen(port, backlog, ip, sock);
}

int Q4Socket_Accept(int listener) {
    if (listener < 0) return -1;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return -1;
    if (!NonBlocking(fd)) {
        ::close(fd);
        return -1;
    }
    TcpOptions(fd);
    return fd;
}

int Q4Socket_CreateConnectedSocket(const char* ip, u16 port, int* sock, int* pending) {
    *sock = -1;
    *pending = 0;
    sockaddr_in a;
    if (!ip || !MakeAddr(&a, ip, WithOffset(port))) return 1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 1;
    if (!NonBlocking(fd)) {
        ::close(fd);
        return 1;
    }
    TcpOptions(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            ::close(fd);
            return 1;
        }
        *pending = 1;
    }
    *sock = fd;
    return 0;
}

int Q4Socket_CheckPendingConnect(int sock, int* broken) {
    *broken = 0;
    pollfd p{sock, POLLOUT, 0};
    int r = ::poll(&p, 1, 0);
    if (r < 0 || (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))) {
        *broken = 1;
        return 1;
    }
    if (r == 0 || !(p.revents & POLLOUT)) return 1;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        *broken = 1;
        return 1;
    }
    return 0;
}

u32 Q4Socket_Send(int sock, u32 length, const void* data, int* broken) {
    // Not yet connected: nothing was sent (the count must not claim a byte).
    if (Q4Socket_CheckPendingConnect(sock, broken) != 0) return 0;
    ssize_t n = ::send(sock, data, length, MSG_NOSIGNAL);
    if (n < 0) {
        // A full send buffer is back-pressure, not a broken connection.
        *broken = (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : 1;
        return 0;
    }
    *broken = 0;
    return static_cast<u32>(n);
}

u32 Q4Socket_Receive(int sock, u32 size, void* buffer, int* broken) {
    pollfd p{sock, POLLIN, 0};
    int r = ::poll(&p, 1, 0);
    if (r < 0) {
        *broken = 1;
        return 0;
    }
    if (r == 0) {
        *broken = 0;
        return 0;
    }
    ssize_t n = ::recv(sock, buffer, size, 0);
    if (n == 0) {
        *broken = 1;
        return 0;
    }
    if (n < 0) return 0;
    return static_cast<u32>(n);
}

int Q4Socket_CloseSocket(int sock) {
    if (sock <= 0) return 0;
    linger l{1, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    return ::close(sock);
}

int Q4Socket_UdpCreate(u16 port, int* sock) { return Udp(port, nullptr, sock); }
int Q4Socket_UdpCreateOn(u16 port, const char* ip, int* sock) { return Udp(port, ip, sock); }

int Q4Socket_AcceptBroadcast(int sock) {
    int on = 1;
    return ::setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 ? 0 : 1;
}

u32 Q4Socket_UdpRecvFrom(int sock, void* buffer, u32 size, Q4PeerAddr* peer) {
    if (sock < 0) return 0;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(sock, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return 0;
    if (peer) *peer = from;
    return static_cast<u32>(n);
}

int Q4Socket_UdpSendTo(int sock, const Q4PeerAddr* peer, const void* data, u32 length) {
    if (sock < 0 || !peer) return 1;
    ssize_t n = ::sendto(sock, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(peer), sizeof *peer);
    return n == static_cast<ssize_t>(length) ? 0 : 1;
}

void Q4Socket_UdpAddrMake(Q4PeerAddr* peer, const char* text, u16 port) {
    char ip[64] = {};
    if (text) {
        size_t len = std::strlen(text);
        const char* colon = std::strchr(text, ':');
        if (len < 64 && colon) {
            std::memcpy(ip, text, static_cast<size_t>(colon - text));
            port = static_cast<u16>(std::strtoul(colon + 1, nullptr, 10));
        } else {
            std::strncpy(ip, text, sizeof ip - 1);
        }
    }
    if (!MakeAddr(peer, ip, WithOffset(port))) peer->sin_addr.s_addr = htonl(INADDR_NONE);
}
