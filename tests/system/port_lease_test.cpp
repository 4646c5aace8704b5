// Ports leased by one test process are refused to every other one until it
// ends, whatever the order the processes ask in.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testsupport/port_lease.h"

namespace {

// Port numbers nothing else leases (above the ones handed to controllers
// and peers), spread by process so that suites running at once on the
// machine do not meet here.
int Port(int k) { return 61000 + (static_cast<int>(getpid()) % 1000) * 4 + k; }

// Whether a child process could take `ports`.
bool ChildTakes(const std::vector<int>& ports) {
    pid_t pid = fork();
    if (pid == 0) _exit(PortLease_Take(ports) ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PortLease, HeldByOneProcessUntilItEnds) {
    ASSERT_TRUE(PortLease_Take({Port(0)}));
    EXPECT_FALSE(PortLease_Take({Port(0)})) << "taken twice by one process";
    EXPECT_FALSE(ChildTakes({Port(0)})) << "taken by another process while held";

    // All or nothing: a set with one held port leaves the others free.
    EXPECT_FALSE(PortLease_Take({Port(1), Port(0)}));
    EXPECT_TRUE(ChildTakes({Port(1), Port(2)}));

    // The child has ended: its ports are free again.
    EXPECT_TRUE(PortLease_Take({Port(1), Port(2)}));
}

}  // namespace
