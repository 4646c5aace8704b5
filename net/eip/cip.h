// CIP object model of the EtherNet/IP adapter: the path parser, the message
// router that dispatches requests by class code, and the objects Identity
// (0x01), Message Router (0x02), Assembly (0x04), Connection (0x05),
// Connection Manager (0x06), TCP/IP Interface (0xF5) and Ethernet Link
// (0xF6), each with a fixed table of instance records allocated first-free.
// Connection Configuration records hold each Forward Open; they are not a
// class a request can reach.
//
// Pure logic: requests and replies are byte buffers, the adapter
// (net/eip/eip.cpp) owns the sockets and the register exchange. This module
// owns the instance tables; Cip_Reset clears them.
#pragma once

#include "platform/bytes.h"

// Request handed to a service handler.
struct CipRequest {
    u8 service = 0;
    u8 cls = 0;
    u8 instance = 0;
    u8 attribute = 0;
    u16 length = 0;            // bytes of service data
    const u8* data = nullptr;  // service data
};

// Every reply buffer given to a handler holds at least this many bytes: the
// largest reply is an assembly's 256 bytes behind the 4-byte reply header.
constexpr u32 kCipReplyMax = 300;

// General statuses.
constexpr u8 kCipOk = 0x00, kCipConnFailure = 0x01, kCipResourceUnavailable = 0x02, kCipPathSegmentError = 0x04,
             kCipServiceNotSupported = 0x08, kCipInvalidAttributeValue = 0x09, kCipObjectStateConflict = 0x0C,
             kCipNotEnoughData = 0x13, kCipAttributeNotSupported = 0x14, kCipTooMuchData = 0x15,
             kCipObjectDoesNotExist = 0x16;
// Extended statuses of the Connection Manager (with general status 0x01).
constexpr u16 kCipExtNotFound = 0x0107, kCipExtBadTransport = 0x0108, kCipExtBadSize = 0x0109,
              kCipExtOutOfConnections = 0x0113, kCipExtTargetOutOfConnections = 0x011A,
              kCipExtBadSegment = 0x0315;
// Services.
constexpr u8 kCipReset = 0x05, kCipApplyAttributes = 0x0D, kCipGetSingle = 0x0E, kCipSetSingle = 0x10,
             kCipForwardClose = 0x4E, kCipForwardOpen = 0x54;
// Class codes.
constexpr u8 kCipClassIdentity = 0x01, kCipClassRouter = 0x02, kCipClassAssembly = 0x04,
             kCipClassConnection = 0x05, kCipClassConnManager = 0x06, kCipClassTcpIp = 0xF5,
             kCipClassEnetLink = 0xF6;

// One application path entry (0 = absent).
struct CipPathEntry {
    u8 cls = 0, instance = 0, point = 0, attribute = 0;
};

// Result of Epath_Parse.
struct CipPathInfo {
    u8 linkSizePresent = 0;  // the last port segment carried a link-address size byte
    u8 extendedPort = 0;     // the last port segment used the extended port identifier
    u16 port = 0;
    u32 linkAddressSize = 0;
    const u8* linkAddress = nullptr;
    CipPathEntry entries[3];
    u32 entryCount = 0;
    u8 key[8] = {};  // vendor, device type, product code (u16 LE), major, minor revision
    u8 keyPresent = 0;
};

// Parses `length` bytes of a padded EPATH; 0 ok, 1 error.
int Epath_Parse(const u8* path, CipPathInfo* info, u32 length);

using CipHandler = u32 (*)(const CipRequest& request, u8* reply);

constexpr u32 kCipInstances = 4;       // records of each object
constexpr u32 kCipConnections = 8;     // Connection and Connection Configuration records
constexpr u32 kCipRouterClasses = 8;   // class entries of one message router
constexpr u32 kCipPathBytes = 32;      // connection path of a Forward Open
constexpr u32 kCipConnPathBytes = 16;  // produced and consumed connection paths

struct CipIdentity {
    u16 vendor = 0, deviceType = 0, productCode = 0;
    u8 major = 0, minor = 0;
    u16 status = 0;
    u32 serial = 0;
    const char* name = nullptr;
    void (*reset)() = nullptr;
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

struct CipRouterEntry {
    u16 cls = 0;
    CipHandler handler = nullptr;
};
struct CipMessageRouter {
    CipRouterEntry entries[kCipRouterClasses];
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

struct CipAssembly {
    u16 memberBits[4] = {};  // member sizes in bits; the attribute holds their sum / 8 bytes
    u8* data = nullptr;
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

// One Forward Open, from the request to its Forward Close.
struct CipConnConfig {
    u8 generalStatus = 0;    // of the open handler
    u16 extendedStatus = 0;  // of the open handler
    u8 timeoutMultiplier = 0;
    u8 transport = 0;  // transport type/trigger
    u32 otRpi = 0;     // us
    u16 otParams = 0;  // O->T network connection parameters
    u32 toRpi = 0;
    u16 toParams = 0;
    u8 pathWords = 0;
    u8 path[kCipPathBytes] = {};
    u32 otId = 0, toId = 0;
    u16 serial = 0;
    u16 vendor = 0;
    u32 originatorSerial = 0;
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
    u8 flags = 0;  // bits 3-5: the connection manager instance that took the Forward Open
};
inline u32 CipConnConfig_Manager(const CipConnConfig& c) { return (c.flags >> 3) & 7u; }

using CipOpenHandler = void (*)(CipConnConfig* config);
struct CipConnManager {
    CipConnConfig* configs[kCipConnections] = {};
    CipOpenHandler open = nullptr;
    CipOpenHandler close = nullptr;
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

// Connection states.
constexpr u8 kCipConnNonExistent = 0, kCipConnConfiguring = 1, kCipConnEstablished = 3, kCipConnTimedOut = 4,
             kCipConnDeferred = 5;

struct CipConnection {
    u8 state = 0;
    u8 type = 0;       // 0 explicit, 1 I/O
    u8 transport = 0;  // bits 0-3 class, bit 7 set for the consuming side
    u16 producedId = 0, consumedId = 0;
    u8 initialComm = 0;
    u16 producedSize = 0, consumedSize = 0;
    u16 expectedPacketRate = 0;  // ms
    u32 cipProducedId = 0, cipConsumedId = 0;
    u8 watchdogAction = 0;
    u16 producedPathLength = 0;
    u8 producedPath[kCipConnPathBytes] = {};
    u16 consumedPathLength = 0;
    u8 consumedPath[kCipConnPathBytes] = {};
    u16 inhibit = 0;
    u16 expectedSeq = 0;  // class 3
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

struct CipTcpIp {
    u32 status = 0, capability = 0, control = 0;
    u16 linkPathWords = 0;
    const u8* linkPath = nullptr;
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

struct CipEnetLink {
    u32 speed = 0, flags = 0;
    u8 mac[6] = {};
    u16 instance = 0;
    u8 allocated = 0, ready = 0;
};

// Allocation: the first free record, marked allocated, numbered by its
// position + 1, its variable fields cleared; 0 ok, 1 none free (*out null).
int Identity_Inst_Allocate(CipIdentity** out);
int Message_Router_Inst_Allocate(CipMessageRouter** out);
int Conn_Manager_Inst_Allocate(CipConnManager** out);
int Assembly_Inst_Allocate(CipAssembly** out);
int TcpIp_Inst_Allocate(CipTcpIp** out);
int Enet_Lnk_Inst_Allocate(CipEnetLink** out);
int Connection_Inst_Allocate(CipConnection** out);
int Conn_Cfg_Inst_Allocate(CipConnConfig** out);
void Identity_Inst_Ready(CipIdentity* p);
void Message_Router_Inst_Ready(CipMessageRouter* p);
void Conn_Manager_Inst_Ready(CipConnManager* p);
void Assembly_Inst_Ready(CipAssembly* p);
void TcpIp_Inst_Ready(CipTcpIp* p);
void Enet_Lnk_Inst_Ready(CipEnetLink* p);
// Also sets the state: explicit -> established, I/O -> configuring.
void Connection_Inst_Ready(CipConnection* p);
void Conn_Cfg_Inst_Free(CipConnConfig* p);
void Connection_Inst_Free(CipConnection* p);

// 0 stored, 1 all entries used.
int Message_Router_Class_Install(CipMessageRouter* router, u16 cls, CipHandler handler);
// Routes one request; answers the reply length.
u32 Message_Router_Service(const CipRequest& request, u8* reply);
// Routes a request as it arrives: service, path size in words, path (its
// first application path entry addresses the object), service data. A
// request shorter than its path answers shortStatus, a path that does not
// parse or names no object 0x04.
u32 Message_Router_Route(const u8* data, u32 length, u8* reply, u8 shortStatus);

u32 Identity_Service(const CipRequest& request, u8* reply);
u32 Conn_Manager_Service(const CipRequest& request, u8* reply);
u32 Connection_Service(const CipRequest& request, u8* reply);
u32 Assembly_Service(const CipRequest& request, u8* reply);
u32 TcpIp_Service(const CipRequest& request, u8* reply);
u32 Enet_Lnk_Service(const CipRequest& request, u8* reply);

// Serves a connected (class 3) request on a connection: data (after the
// sequence count) are service, path size in words, path, service data.
// Answers the reply length; errors are answered with their status.
u32 Conn_Put_Data(const u8* data, u32 length, u8* reply, CipConnection* connection);

// A reply without data: header with the general status and the additional
// status words given.
u32 Cip_ErrorReply(u8* reply, u8 service, u8 general, u32 words = 0, const u16* additional = nullptr);

// The instance tables (tests and the adapter's look-ups).
CipConnection* Cip_Connections();     // kCipConnections records
CipConnConfig* Cip_ConnConfigs();     // kCipConnections records
CipConnManager* Cip_ConnManagers();   // kCipInstances records
// Forgets every instance.
void Cip_Reset();
