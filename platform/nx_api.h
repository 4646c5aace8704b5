// Socket layer: the call set of a small embedded TCP/IP stack (IP instances,
// packet pools, TCP and UDP sockets, ping, interface settings) carried out on
// the host kernel's own stack. Every socket is non-blocking; EnetThread, run
// once per main-loop pass, turns kernel socket events into the state changes
// and callbacks the servers expect.
//
// Interface addresses, routes, ARP entries, hardware addresses and device
// binding are applied only when the process runs in a network namespace of
// its own; in the host's namespace they are recorded in <root>/sys/netif.log
// and the sockets listen on the host's addresses. Every port that is bound,
// listened on or connected to has Root_PortOffset() added.
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "platform/bytes.h"

// Status codes.
constexpr u32 NX_SUCCESS = 0;
constexpr u32 NX_NO_PACKET = 1;         // nothing to receive now
constexpr u32 NX_NO_RESPONSE = 8;       // ping: no reply within the wait time
constexpr u32 NX_INVALID_PACKET = 18;   // not allocated, empty
constexpr u32 NX_ALREADY_BOUND = 34;
constexpr u32 NX_NOT_BOUND = 36;        // not bound, or the bind failed
constexpr u32 NX_NOT_CLOSED = 53;
constexpr u32 NX_NOT_LISTEN_STATE = 54;
constexpr u32 NX_IN_PROGRESS = 55;
constexpr u32 NX_NOT_CONNECTED = 56;
constexpr u32 NX_TX_QUEUE_DEPTH = 57;   // cannot send now
constexpr u32 NX_FAILURE = 67;

// TCP socket states.
constexpr u32 NX_TCP_CLOSED = 1, NX_TCP_LISTEN = 2, NX_TCP_CONNECTING = 3, NX_TCP_ESTABLISHED = 5,
              NX_TCP_PEER_CLOSED = 6;

constexpr u32 kNxPacketHeaderBytes = 44;  // room each packet takes beside its payload
constexpr u32 kNxReceiveMax = 1500;       // one receive reads at most this much
constexpr u32 kNxRegistrySlots = 660;
constexpr u32 kNxMaxGroups = 7;
constexpr u32 kNxPacketFree = 0xFFFFFFFF, kNxPacketAllocated = 0xAAAAAAAA;

struct NxPacketPool;

struct NxPacket {
    u32 state = kNxPacketFree;
    NxPacket* next = nullptr;  // pool order; packets are never chained
    u32 length = 0;
    u8* payloadStart = nullptr;
    u8* payloadEnd = nullptr;
    u8* dataStart = nullptr;
    u8* dataEnd = nullptr;
    NxPacketPool* pool = nullptr;
};

struct NxPacketPool {
    std::string name;
    u32 payloadSize = 0;
    u8* memory = nullptr;
    u32 memorySize = 0;
    u32 count = 0;
    NxPacket* first = nullptr;
    std::vector<NxPacket> packets;  // headers; the payloads lie in `memory`
};
// Number of free packets of the pool.
u32 Nx_PoolFree(const NxPacketPool* pool);

struct NxIp {
    u32 index = 0;  // 0 eth0, 1 eth1, 2 mlan0, 3 uap0
    std::string name;
    u32 address = 0, mask = 0, network = 0, gateway = 0, dns = 0;  // host order
    u8 keepUpFlag = 0;     // the next zero address is put on the interface
    u8 disableFlag = 0;    // a zero address takes the interface down
    u8 dhcpStarted = 0;    // kept by the main step
    u8 linkConfigured = 0; // kept by the main step
    u32 sent = 0, received = 0;
    int icmpFd = -1;
    u8 pingPending = 0;
    u32 pingTarget = 0;
    u32 pingStamp = 0;  // time-base ticks
    u32 groupCount = 0;
    u32 groups[kNxMaxGroups] = {};
    NxPacketPool* pool = nullptr;
    u32 linkUp = 0;
    u32 linkCode = 0;  // low byte speed code (1 = 100 Mb/s, 2 = 1000 Mb/s), 0x100 full duplex
    u16 nextEphemeralPort = 0xC000;  // kept across restarts by the services that bind client sockets
};

struct NxTcpSocket;
using NxTcpCallback = void (*)(NxTcpSocket*);
using NxListenCallback = void (*)(NxTcpSocket*, u32 port);

struct NxTcpSocket {
    int fd = -1;      // client: the connection; server: the (shared) listening descriptor
    std::string name;
    u32 client = 1;
    u32 localPort = 0;
    u32 canSend = 1;
    u32 peerAddress = 0, peerPort = 0;  // host order; while listening peerPort is 1 when a connection waits
    u32 mss = 1536;
    u32 state = NX_TCP_CLOSED;
    u32 window = 0;
    NxIp* ip = nullptr;
    u32 tos = 0, ttl = 0, fragment = 0;
    u32 dataWaiting = 0;
    u32 txIndicator = 0;  // 0 writable at the last poll, 2 not
    u32 bound = 0;
    u32 queueSize = 0;
    NxTcpCallback urgentCallback = nullptr;
    NxTcpCallback disconnectCallback = nullptr;
    NxTcpCallback receiveNotify = nullptr;
    NxListenCallback listenCallback = nullptr;
    int connFd = -1;  // accepted connection of a server socket
    void* owner = nullptr;
    std::vector<u8> backlog;  // bytes the kernel has not taken yet; sent before anything new
};

struct NxUdpSocket {
    int fd = -1;
    std::string name;
    u32 localPort = 0;
    NxIp* ip = nullptr;
    u32 tos = 0, ttl = 0, fragment = 0, queueMax = 0;
    u32 bound = 0;
};

// Interfaces and addresses.
u32 _nx_system_initialize();
u32 _nx_ip_create(NxIp* ip, const char* name, u32 address, u32 mask, NxPacketPool* pool, void (*driver)(void*),
                  void* stack, u32 stackSize, u32 priority);
u32 _nx_ip_address_set(NxIp* ip, u32 address, u32 mask);
u32 _nx_ip_address_get(NxIp* ip, u32* addressOut, u32* maskOut);
u32 _nx_ip_gateway_address_set(NxIp* ip, u32 gateway);
u32 _nx_ip_driver_direct_command(NxIp* ip, u32 command, u32* valueOut);
u32 _nx_arp_dynamic_entry_set(NxIp* ip, u32 address, u32 hardwareHigh16, u32 hardwareLow32);
u32 _nx_arp_enable(NxIp* ip, void* cache, u32 size);
u32 _nx_igmp_enable(NxIp* ip);
u32 _nx_udp_enable(NxIp* ip);
u32 _nx_tcp_enable(NxIp* ip);
u32 _nx_icmp_enable(NxIp* ip);
void PortDisable(const char* name);
void Etn_SetMacId(const u8* mac6, int port);
void Etn_IrqInit();
void Etn_Driver(void*);

// Packets.
u32 _nx_packet_pool_create(NxPacketPool* pool, const char* name, u32 payloadSize, void* memory, u32 memorySize);
u32 _nx_packet_allocate(NxPacketPool* pool, NxPacket** packetOut, u32 type, u32 wait);
u32 _nx_packet_release(NxPacket* packet);
// Appends within the one packet; 67 (nothing copied) when the data would pass
// the payload end.
u32 _nx_packet_data_append(NxPacket* packet, const void* data, u32 size, NxPacketPool* pool, u32 wait);
u32 _nx_packet_copy(NxPacket* packet, NxPacket** copyOut, NxPacketPool* pool, u32 wait);

// TCP.
u32 _nx_tcp_socket_create(NxIp* ip, NxTcpSocket* socket, const char* name, u32 tos, u32 fragment, u32 ttl,
                          u32 window, NxTcpCallback urgent, NxTcpCallback disconnect);
u32 _nx_tcp_client_socket_bind(NxTcpSocket* socket, u32 port, u32 wait);
u32 _nx_tcp_client_socket_unbind(NxTcpSocket* socket);
// A connect that does not complete at once answers 55 and leaves the socket
// connecting (3) whatever the wait; the poll loop establishes it.
u32 _nx_tcp_client_socket_connect(NxTcpSocket* socket, u32 address, u32 port, u32 wait);
u32 _nx_tcp_server_socket_listen(NxIp* ip, u32 port, NxTcpSocket* socket, u32 queueSize, NxListenCallback cb);
u32 _nx_tcp_server_socket_relisten(NxIp* ip, u32 port, NxTcpSocket* socket);
u32 _nx_tcp_server_socket_accept(NxTcpSocket* socket, u32 wait);
u32 _nx_tcp_server_socket_unaccept(NxTcpSocket* socket);
u32 _nx_tcp_server_socket_unlisten(NxIp* ip, u32 port);
u32 _nx_tcp_socket_delete(NxTcpSocket* socket);
u32 _nx_tcp_socket_disconnect(NxTcpSocket* socket, u32 wait);
// Bytes the kernel does not take at once are kept and sent by the poll loop
// before anything else; meanwhile further sends answer 57.
u32 _nx_tcp_socket_send(NxTcpSocket* socket, NxPacket* packet, u32 wait);
u32 _nx_tcp_socket_receive(NxTcpSocket* socket, NxPacket** packetOut, u32 wait);
u32 _nx_tcp_socket_receive_notify(NxTcpSocket* socket, NxTcpCallback callback);
u32 _nx_tcp_socket_transmit_configure(NxTcpSocket* socket, u32, u32, u32, u32);

// UDP.
u32 _nx_udp_socket_create(NxIp* ip, NxUdpSocket* socket, const char* name, u32 tos, u32 fragment, u32 ttl,
                          u32 queueMax);
u32 _nx_udp_socket_bind(NxUdpSocket* socket, u32 port, u32 wait);
u32 _nx_udp_socket_unbind(NxUdpSocket* socket);
u32 _nx_udp_socket_delete(NxUdpSocket* socket);
// Sends to the port as given (replies go to the peer's own port).
u32 _nx_udp_socket_send(NxUdpSocket* socket, NxPacket* packet, u32 address, u32 port);
u32 _nx_udp_socket_receive(NxUdpSocket* socket, NxPacket** packetOut, u32 wait);
u32 _nx_udp_socket_receive_port_detail(NxUdpSocket* socket, NxPacket** packetOut, u32* addressOut, u32* portOut);
// 67 when the membership cannot be added (the socket stays usable).
u32 _nx_igmp_multicast_join(NxIp* ip, u32 group, NxUdpSocket* socket);
u32 _nx_igmp_multicast_leave(NxIp* ip, u32 group, NxUdpSocket* socket);

// Ping: 55 sent, 0 answered (*responseOut then holds a packet the caller
// releases), 67 nothing yet, 8 time-out.
u32 _nx_icmp_ping(NxIp* ip, u32 address, const void* data, u32 size, NxPacket** responseOut, u32 waitMs);

// The socket poll of every pass.
void EnetThread();
// The descriptors of every registered socket and open UDP socket, with the
// events that mean work for the poll loop (a connection to accept, a connect
// that completed, data or a peer's close), appended to fds.
void Nx_PollSet(std::vector<pollfd>& fds);
// Waits at most ms for input on any registered socket or open UDP socket
// (0: returns at once).
void Nx_IdleWait(int ms);

// True when a connection waits to be accepted on the listening descriptor
// that server socket s was bound with, although s itself may be serving
// another: a service whose slots are all taken learns of a newcomer.
bool Nx_ConnectionWaiting(const NxTcpSocket* s);

// True when the interface of ip is absent from the process's own namespace,
// as the kernel's link events tell it (false in the host's namespace, and
// when the events cannot be followed): nothing can be opened on it until it
// appears, which the same events tell at once. Costs no system call while
// nothing changes.
bool Nx_InterfaceMissing(const NxIp* ip);

// True when the process runs in a network namespace of its own, where
// interface settings are applied; false in the host's namespace.
bool Nx_OwnNamespace();
// The address servers listen on (host order): every address inside a
// namespace of the process's own, as on the board; on the host's namespace
// loopback, unless PLC_LISTEN_ADDRESS names another, so that a controller
// started on a PC does not offer its ports to the PC's network.
u32 Nx_ServerAddress();
// Forgets the registry and the namespace decision (tests). Sockets stay open.
void Nx_Reset();
// Registered sockets (tests).
u32 Nx_RegisteredCount();
