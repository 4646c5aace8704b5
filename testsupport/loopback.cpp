#include "testsupport/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
