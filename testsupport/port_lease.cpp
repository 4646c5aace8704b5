#include "testsupport/port_lease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace {

constexpr char kLeaseFolder[] = "/tmp/plc-test-port-leases";

std::mutex g_mutex;

int LockPort(int port) {
    const std::string path = std::string(kLeaseFolder) + "/" + std::to_string(port);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    // A lock is per open file, so a second lease of the same port in this
    // very process is refused as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool PortLease_Take(const std::vector<int>& ports) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (mkdir(kLeaseFolder, 01777) == 0) chmod(kLeaseFolder, 01777);
    std::vector<int> held;
    for (int port : ports) {
        int fd = LockPort(port);
        if (fd < 0) {
            for (int h : held) close(h);
            return false;
        }
        held.push_back(fd);
    }
    // The descriptors stay open (and the ports leased) until the process ends.
    return true;
}
