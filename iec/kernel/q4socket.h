// The runtime's sockets: non-blocking IPv4 TCP and UDP on plain descriptors,
// polled with a zero time-out (poll, never select: descriptors above 1023
// exist). Nothing here waits. Ports the runtime listens on or sends to get
// the controller's port offset added (PLC_PORT_OFFSET).
#pragma once

#include <netinet/in.h>

#include "platform/bytes.h"

// Peer address: the 16-byte IPv4 socket address.
using Q4PeerAddr = sockaddr_in;
static_assert(sizeof(Q4PeerAddr) == 16);

int Q4Socket_Initialize();
void Q4Socket_Terminate();

// TCP listener on any address; 0 ok, 1 failed (*sock -1).
int Q4Socket_CreateListeningSocket(u16 port, int backlog, int* sock);
int Q4Socket_CreateListeningSocketOn(u16 port, int backlog, const char* ip, int* sock);
// The accepted socket (non-blocking, keep-alive, no-delay) or -1.
int Q4Socket_Accept(int listener);
// Starts a connection; 0 started (*pending 1 while in progress), 1 failed.
int Q4Socket_CreateConnectedSocket(const char* ip, u16 port, int* sock, int* pending);
// 0 connected; 1 with *broken 0 still pending; 1 with *broken 1 failed.
int Q4Socket_CheckPendingConnect(int sock, int* broken);
// Bytes sent; *broken 1 when the connection failed. A socket still
// connecting, or one whose send buffer is full, sends 0 and is not broken.
u32 Q4Socket_Send(int sock, u32 length, const void* data, int* broken);
// Bytes received without waiting; *broken 1 when the peer closed or the poll
// failed. (Only the workbench link looks for the programming software's
// "ZJ": event, binding and application sockets carry any bytes.)
u32 Q4Socket_Receive(int sock, u32 size, void* buffer, int* broken);
// Abortive close; socket 0 (and -1) is left alone and answers 0.
int Q4Socket_CloseSocket(int sock);

// UDP socket bound to the port on any address (port 0: not bound); 0 ok.
int Q4Socket_UdpCreate(u16 port, int* sock);
int Q4Socket_UdpCreateOn(u16 port, const char* ip, int* sock);
// 0 when the broadcast option is accepted, else 1.
int Q4Socket_AcceptBroadcast(int sock);
// Bytes received (0 on error or nothing waiting, and for socket -1).
u32 Q4Socket_UdpRecvFrom(int sock, void* buffer, u32 size, Q4PeerAddr* peer);
// 0 when the whole datagram was sent, 1 otherwise.
int Q4Socket_UdpSendTo(int sock, const Q4PeerAddr* peer, const void* data, u32 length);
// The address of a dotted IPv4 text and the port; "a.b.c.d:port" (shorter
// than 64 characters) brings its own port. The port offset is added.
void Q4Socket_UdpAddrMake(Q4PeerAddr* peer, const char* text, u16 port);
