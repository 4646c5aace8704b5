// A plain TCP client on loopback, for tests of the controller's servers.
#pragma once

#include <functional>
#include <string>

// A connected socket to 127.0.0.1:port, -1 when the connection is refused.
int ConnectLoopback(int port);

// A loopback port (TCP or, with SOCK_DGRAM, UDP) nothing uses at the
// moment, leased to this process so that no concurrent test takes it too.
// -1 when none could be leased.
#include <sys/socket.h>
int FreeLoopbackPort(int type = SOCK_STREAM);

// Whether fd has bytes (or an end) to read now, without waiting.
bool Readable(int fd);

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

// Holds `slow` connections to 127.0.0.1:port that each send the next byte
// of `frame` every intervalMs of the controller's time, as clients too slow
// ever to finish a frame, while another client asks. The controller runs on
// the test's clock: advance(ms) moves it (false when the controller did not
// settle); ask() sends a request on a connection of its own; answered() says,
// without blocking, whether its whole answer is in. Answers the controller
// time in ms the answer took, or -1 when it did not come within maxMs. The
// slow connections are closed before it returns.
int ServedBesideSlowClients(int port, int slow, const std::vector<unsigned char>& frame, int intervalMs, int maxMs,
                            const std::function<bool(int)>& advance, const std::function<bool()>& ask,
                            const std::function<bool()>& answered);

// A listener on 127.0.0.1:port for a peer that connects to the test. With
// stalled set, its queue is filled at once (the connections doing so are
// added to held), so that whoever connects next stays connecting. -1 when
// the port cannot be taken. The caller closes the listener and held.
int ListenLoopback(int port, bool stalled, std::vector<int>* held);
