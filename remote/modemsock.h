// Data sockets of the internal cellular module: six TCP/UDP byte streams over
// its packet-data connection. A caller asks for a socket with
// ModemDataConnRequest, polls it with IsModemSocketActive, moves bytes with
// ModemDataSend, ModemCheckRecv and ModemDataRecv, and gives it up with
// ModemDataDisConnRequest. Socket 0 is the programming link's.
//
// Every module command goes through the script engine; the modem cycle steps
// each socket in use once per pass (DataConnectionLoop) and runs the socket
// status list that moves sockets between states.
#pragma once

#include "platform/bytes.h"
#include "remote/at_cmd.h"

constexpr u32 kModemSockets = 6;
constexpr u32 kSockReceiveArea = 1600, kSockTransmitBytes = 1499;

// Socket states.
constexpr u8 kSockFree = 0, kSockRequested = 1, kSockOpening = 2, kSockOpenDone = 3, kSockListening = 4,
             kSockIncoming = 5, kSockConnected = 6, kSockSuspended = 7, kSockReading = 8;

struct ModemSocket {
    u8 connectionId = 0;  // socket + 1; 0 free
    // bit 0 UDP; 1 dial out; 2 open wanted; 3 listen failed; 4 dial or accept
    // failed; 5 send failed; 6 receive failed; 7 last send refused
    u8 flags = 0;
    u8 state = 0;
    u32 totalSent = 0;
    u32 totalReceived = 0;
    u16 receiveIndex = 0;
    u16 sentIndex = 0;
    u16 port = 0;
    u32 address = 0;     // first octet in the top byte
    char host[40] = {};  // dialling: the host name; listening: the accepted peer's address
    char peerPort[6] = {};
    char receiveArea[kSockReceiveArea] = {};
    u8 transmit[kSockTransmitBytes] = {};
    u16 transmitCount = 0;
    u16 receiveCount = 0;
    const u8* transmitPointer = nullptr;
    // The items its scripts send.
    AtItem idItem, protoItem, portItem, addressItem, localPortItem, countItem;
};
extern ModemSocket socket_info_st[kModemSockets];

// Snapshot the link's modem engine reads: flags, state and the totals.
struct GlobalSocket {
    u8 flags = 0;
    u8 state = 0;
    u32 totalSent = 0;
    u32 totalReceived = 0;
};
extern GlobalSocket Globalsocket_st[kModemSockets];

// A connection request built by the caller.
struct ModemConnRequest {
    u32 address = 0;  // first octet in the top byte (used without a host name)
    u16 port = 0;     // remote port (dial) or local port (listen)
    u8 socket = 0;    // 0-5
    u8 flags = 0;     // bit 0 UDP; bit 1 dial out (else listen)
    char host[64] = {};
};

int ModemDataConnRequest(ModemConnRequest* request);
int ModemDataDisConnRequest(int socket);
int IsModemSocketActive(int port, int socket);
int ModemCheckRecv(int socket);
int ModemDataRecv(int socket);
int ModemDataSend(int socket, const u8* data, u32 length, int copy);
// The per-pass step of one socket.
int DataConnectionLoop(int socket);

// --- What the modem cycle and the engine use ---------------------------------
// Sets failure flag bits of the socket with this connection id (1-6).
void ModemSocket_SetFlag(u8 connectionId, u8 bits);
// True when a socket is in use (state not 0).
bool ModemSocket_AnyInUse();
// Applies the module's socket status list (the answer after "#SS:").
void ModemSocket_ApplyStatusList(const char* list, u32 length);
// Copies flags, state and totals into Globalsocket_st.
void ModemSocket_Snapshot();
// The modem reset: every record cleared except its byte totals.
void ModemSocket_ResetAll();
// Forgets everything (tests).
void ModemSocket_Reset();
