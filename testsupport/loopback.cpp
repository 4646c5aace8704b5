#include "testsupport/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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

bool ServedBesideSlowClients(int port, int slow, const std::vector<unsigned char>& frame, int intervalMs,
                             const std::function<bool()>& ask) {
    std::vector<int> fds;
    for (int i = 0; i < slow; ++i) {
        int fd = ConnectLoopback(port);
        if (fd >= 0) fds.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (size_t at = 0; !stop && !frame.empty(); at = (at + 1) % frame.size()) {
            for (int fd : fds) send(fd, &frame[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            for (int waited = 0; waited < intervalMs && !stop; waited += 10) usleep(10000);
        }
    });
    usleep(50000);  // the first bytes are on their way before the request
    bool served = ask();
    stop = true;
    trickle.join();
    for (int fd : fds) close(fd);
    return served;
}
