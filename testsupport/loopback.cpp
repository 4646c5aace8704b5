#include "testsupport/loopback.h"

#include "testsupport/port_lease.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<unsigned short>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int FreeLoopbackPort(int type) {
    // The kernel names a free port; the lease keeps a concurrent test from
    // handing the same number to its controller or peer before ours binds.
    for (int tries = 0; tries < 100; ++tries) {
        int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        close(fd);
        const int port = ntohs(sa.sin_port);
        if (PortLease_Take({port})) return port;
    }
    return -1;
}

int ConnectPumped(const std::string& address, int port, const std::function<void()>& pump, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<unsigned short>(port));
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pump) pump();
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, pump ? 1 : 20) > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err == 0) return fd;
            break;
        }
    }
    close(fd);
    return -1;
}

std::string CollectUntilClosed(int fd, const std::function<void()>& pass, int passes) {
    std::string got;
    for (int i = 0; i < passes; ++i) {
        pass();
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                close(fd);
                return got;
            }
            got.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return got + "<still open>";
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

int ServedBesideSlowClients(int port, int slow, const std::vector<unsigned char>& frame, int intervalMs, int maxMs,
                            const std::function<bool(int)>& advance, const std::function<bool()>& ask,
                            const std::function<bool()>& answered) {
    constexpr int kStepMs = 10;
    std::vector<int> fds;
    for (int i = 0; i < slow; ++i) {
        int fd = ConnectLoopback(port);
        if (fd >= 0) fds.push_back(fd);
    }
    size_t at = 0;
    auto trickle = [&] {
        if (frame.empty()) return;
        for (int fd : fds) send(fd, &frame[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        at = (at + 1) % frame.size();
    };
    int took = -1;
    trickle();
    // The first bytes are taken before the request.
    if (advance(kStepMs) && ask()) {
        for (int t = 0; t <= maxMs; t += kStepMs) {
            if (answered()) {
                took = t;
                break;
            }
            if (t > 0 && t % intervalMs == 0) trickle();
            if (!advance(kStepMs)) break;
        }
    }
    for (int fd : fds) close(fd);
    return took;
}

int ListenLoopback(int port, bool stalled, std::vector<int>* held) {
    int lst = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(lst, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lst, stalled ? 0 : 8) != 0) {
        close(lst);
        return -1;
    }
    // A queue of one: the first connection fills it, the second stays
    // half-open, as does every later one.
    for (int k = 0; stalled && k < 2; ++k) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        held->push_back(fd);
    }
    return lst;
}
