#include "remote/wifiStatus.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/root.h"

std::atomic<u8> Link{0};
std::atomic<i16> Level{-256};

namespace {
std::atomic<int> querySocket{-1};
}

int initSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::printf("Could not create simple datagram socket\n");
        return 0;
    }
    int expected = -1;
    if (!querySocket.compare_exchange_strong(expected, fd)) ::close(fd);
    return 1;
}

int watchdogStModeStatus() {
    Link = 0;
    Level = -256;
    if (querySocket.load() < 0 && !initSocket()) return 0;
    FILE* f = std::fopen(Root_HostPath("/proc/net/wireless").c_str(), "r");
    if (f == nullptr) return 0;
    char line[256];
    int result = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char* p = line;
        while (*p == ' ') ++p;
        if (std::strncmp(p, "mlan0:", 6) != 0) continue;
        unsigned status = 0;
        double link = 0, level = 0;
        if (std::sscanf(p + 6, "%x %lf %lf", &status, &link, &level) != 3) break;
        if (link < 0) link = 0;
        if (link > 255) link = 255;
        // The level is a byte of dBm + 256 in the driver's figures.
        int l = static_cast<int>(level);
        if (l > 0) l -= 256;
        if (l < -256) l = -256;
        Link = static_cast<u8>(link);
        Level = static_cast<i16>(l);
        result = 1;
        break;
    }
    std::fclose(f);
    return result;
}

int getStModeStatus(u8* link, i16* level) {
    if (link != nullptr) *link = Link.load();
    if (level != nullptr) *level = Level.load();
    return 1;
}
