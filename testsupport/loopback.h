// A plain TCP client on loopback, for tests of the controller's servers.
#pragma once

#include <functional>
#include <string>

// A connected socket to 127.0.0.1:port, -1 when the connection is refused.
int ConnectLoopback(int port);

// Starts a TCP connection to address:port without blocking and completes it,
// running pump (when given: the in-process controller's pass) between polls.
// The socket (non-blocking, TCP_NODELAY), or -1 when the connection is
// refused or not made within timeoutMs.
int ConnectPumped(const std::string& address, int port, const std::function<void()>& pump, int timeoutMs);

// Runs one pass of the server under test, then takes what it sent, until the
// server closes the connection or the passes are used up ("<still open>" is
// appended then). Closes fd.
std::string CollectUntilClosed(int fd, const std::function<void()>& pass, int passes);

#include <functional>
#include <vector>

// Holds `slow` connections to 127.0.0.1:port that each send one byte of
// `frame` every intervalMs, as a client too slow ever to finish a frame,
// and meanwhile runs `ask` (a request on a connection of its own, bounded
// in time by itself); answers what ask answered. The slow connections are
// closed before it returns.
bool ServedBesideSlowClients(int port, int slow, const std::vector<unsigned char>& frame, int intervalMs,
                             const std::function<bool()>& ask);
