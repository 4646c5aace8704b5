// A plain TCP client on loopback, for tests of the controller's servers.
#pragma once

// A connected socket to 127.0.0.1:port, -1 when the connection is refused.
int ConnectLoopback(int port);
