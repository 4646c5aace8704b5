// A small HTTP/1.0 server that serves one TCP connection at a time on port 80
// of one interface. It reads a request head, dispatches GET, HEAD, POST, PUT
// and DELETE, asks its owner through two callbacks whether a request needs
// authentication (Basic or Digest) and whether the owner answers it itself,
// and otherwise serves files of a drive through the file layer (GET, HEAD and
// POST read a file, PUT writes one, DELETE removes one).
//
// No thread runs it: its owner calls the step once per main-loop pass and
// every step does one bounded piece of work. A request head and a request body
// may arrive over many passes; they are kept until complete, a head for at
// most 1000 ticks of 10 ms, a body until 1000 ticks in a row bring nothing
// (waits count ticks, not passes, which follow each other at once in run
// mode). A head that does not fit one packet of the pool is refused.
//
// Resources name files below the root of the server's drive; a name with a
// ".." step, a drive letter, a backslash, an empty step or a control
// character (after %-decoding) is refused before the file layer sees it.
//
// Digest nonces carry the time they were issued and a keyed hash of it: a
// nonce older than kHttpNonceLifetimeS is answered 401 with a fresh one
// (stale=true), and a response counts only for the user, realm and request
// target of the request it comes with.
#pragma once

#include "platform/bytes.h"
#include "platform/fx_api.h"
#include "platform/md5.h"
#include "platform/nx_api.h"

// Result codes of the server and of its callbacks.
constexpr u32 kHttpSuccess = 0;
constexpr u32 kHttpBadArgument = 7;
constexpr u32 kHttpError = 224;
constexpr u32 kHttpTimeout = 225;
constexpr u32 kHttpMalformed = 226;
constexpr u32 kHttpNoAuthentication = 227;
constexpr u32 kHttpBasicAuthentication = 228;
constexpr u32 kHttpDigestAuthentication = 229;
constexpr u32 kHttpNotFound = 230;
constexpr u32 kHttpNoMoreContent = 231;
constexpr u32 kHttpCallbackCompleted = 232;
constexpr u32 kHttpPoolTooSmall = 233;

// Request types handed to the callbacks.
constexpr u32 kHttpGet = 1, kHttpPost = 2, kHttpHead = 3, kHttpPut = 4, kHttpDelete = 5;

constexpr u32 kHttpServerId = 0x48545450;  // "HTTP"
constexpr u32 kHttpPort = 80;
constexpr u32 kHttpMinPacket = 604;    // smallest pool payload the server works with
constexpr u32 kHttpResourceBytes = 40; // 39 characters and the NUL
constexpr u32 kHttpWaitSteps = 1000;   // 10-ms ticks a head may take, and a body may stall
constexpr u32 kHttpNonceLifetimeS = 300;
constexpr u32 kHttpNonceChars = 40;    // 8 hex digits of issue time, 32 of keyed hash

struct HttpServerObject;
// Authentication callback: hands out name, password and realm; answers 227 to
// let the request pass, 228 or 229 to demand Basic or Digest authentication;
// anything else ends the request without an answer.
using HttpAuthenticationCallback = u32 (*)(HttpServerObject* server, u32 requestType, const char* resource,
                                           const char** name, const char** password, const char** realm);
// Request-notify callback: 0 lets the server serve the request from the drive,
// 232 means the callback answered it, anything else is answered 500.
using HttpRequestNotifyCallback = u32 (*)(HttpServerObject* server, u32 requestType, const char* resource,
                                          NxPacket* request);

struct HttpServerObject {
    u32 id;
    const char* name;
    NxIp* ip;
    char resource[kHttpResourceBytes];
    u32 waitCounter;  // 1: a connection waits to be accepted; then ticks spent on its head
    NxPacketPool* pool;
    FxMedia* media;
    FxFile file;
    NxTcpSocket socket;
    HttpAuthenticationCallback authenticate;
    HttpRequestNotifyCallback requestNotify;

    // The request in hand.
    NxPacket* request;    // the head and the body bytes that came with it
    u32 headLength;       // bytes of the head with its empty line; 0 while incomplete
    NxPacket* spill;      // bytes received beyond the request packet's room
    u8 phase;             // what the connection is doing between steps (http_server.cpp)
    u32 stalls;           // ticks in a row without progress of a body or a send
    u32 lastTick;         // the 10-ms tick a wait was last counted in
    u32 contentLength;
    u32 bodyDone;         // PUT: body bytes written
    u32 sendRemaining;    // GET: file bytes still to send
    char fileName[kHttpResourceBytes + 2];  // drive letter, ':', path
    u8 nonceKey[16];      // keys the nonces of this server
};

u32 _nxe_http_server_create(HttpServerObject* server, const char* name, NxIp* ip, FxMedia* media, void* stack,
                            u32 stackSize, NxPacketPool* pool, HttpAuthenticationCallback authenticate,
                            HttpRequestNotifyCallback requestNotify);
u32 _nxe_http_server_start(HttpServerObject* server);
u32 _nxe_http_server_delete(HttpServerObject* server);
// Listen callback of the server socket.
void _nx_http_server_connection_present(NxTcpSocket* socket, u32 port);
// One step of the server.
void _nx_http_server_thread_entry(HttpServerObject* server);
// The index-th ';' parameter after the resource of the request line.
u32 _nxe_http_server_param_get(NxPacket* request, u32 index, char* buffer, u32 size);
// Request body bytes from the offset on; 231 once the offset reaches the
// Content-Length, 225 when the bytes have not arrived.
u32 _nxe_http_server_content_get(HttpServerObject* server, NxPacket* request, u32 offset, char* buffer, u32 size,
                                 u32* length);
// A status line, and a message (with an optional second text) as its body,
// in one packet; nothing is sent when no packet can be had.
u32 _nx_http_server_response_send(HttpServerObject* server, const char* status, const char* message,
                                  const char* secondText);
// Sends the bytes in as many packets as needed, each filled to its room;
// answers 0 when all were handed to the socket.
u32 Http_SendAll(HttpServerObject* server, const void* data, u32 length);

// True while the server has a transfer it continues without waiting for input
// (a file being sent whose bytes the kernel takes).
bool Http_ServerBusy(const HttpServerObject* server);

// Pieces of the request parser, for the owner, the tests and the fuzz target.
//
// Length of the head at the start of data (through its empty line), 0 while
// no empty line is there.
u32 Http_HeadLength(const u8* data, u32 length);
// Resource of a request line: 0 with the text in out (40 bytes), 400 when it
// is empty, longer than 39 characters or not ended by ' ', ';' or '?'.
u32 Http_Resource(const u8* head, u32 length, char* out);
// Value of the Content-Length header: true with the value; false when the
// header is missing or is not a decimal number that fits 32 bits.
bool Http_ContentLength(const u8* head, u32 length, u32* value);
// The file name of a resource on a drive: drive letter, ':', the %-decoded
// path. False for a name that could leave the drive or that the file layer
// cannot take (see above).
bool Http_FileName(const char* resource, u32 drive, char* out, u32 size);
// Content type by the name's extension.
const char* Http_ContentType(const char* resource);

// The Authorization header of a head checked against name and password:
// Basic, and Digest (RFC 2617, qop "auth") with the server's nonces; a
// response that is right but whose nonce has expired is stale.
bool Http_BasicPasses(const u8* head, u32 headLength, const char* name, const char* password);
enum class HttpDigestResult { kPass, kStale, kRefused };
HttpDigestResult Http_DigestCheck(const HttpServerObject* server, const u8* head, u32 headLength, const char* name,
                                  const char* password, const char* realm);

// Digest pieces. A nonce issued at the time of the
// 100-us counter, keyed by the server's key (41 bytes out).
void Http_Nonce(const HttpServerObject* server, u32 stamp, char* out);
// The response a client computes (33 bytes out).
void Http_DigestResponse(const char* name, const char* realm, const char* password, const char* method,
                         const char* uri, const char* nonce, const char* nc, const char* cnonce, char* out);
