// Ports that concurrent test processes cannot share. Every test process on
// the machine (other suites in other checkouts too) takes its ports through
// a lease: an exclusive lock on one file per port number under a common
// folder, held until the process ends, so two tests never run controllers or
// peers on the same port however their choices fall. The kernel drops the
// locks of a process that dies, so nothing has to be cleaned up.
#pragma once

#include <vector>

// Takes every port of `ports` (numbers, TCP and UDP alike) for the rest of
// the process, or none of them: false when one is already leased by this or
// another process.
bool PortLease_Take(const std::vector<int>& ports);
