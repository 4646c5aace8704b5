// Register web pages: the HTTP server of each interface whose configuration
// enables the register web server (while the web-HMI server is off,
// DartuHttp 0), with two pages of its own. GET /readreg.htm;reg-R1;fmt-INT
// answers a small HTML page showing one register formatted as the URL asks;
// POST /writereg.htm;reg-R1;fmt-INT writes one register from the form value
// of the body. Every other request is served from the card (A:), behind
// Digest authentication when the interface names a web user.
#pragma once

#include "net/http_server.h"
#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr int kHttpInterfaces = 4;
constexpr const char* kHttpRealm = "Controller HTTP Server";

extern HttpServerObject HttpServer[kHttpInterfaces];
extern NxIp* HttpIpPtr[kHttpInterfaces];
extern NxPacketPool* HttpPacketPoolPtr;
extern u8 HttpStack[4];

// Register types of the pages: name, register bit address of number 1, unit
// (1 bit or 16-bit word) and highest number. T and M follow the program's
// register operand width.
struct RegToken {
    const char* name;
    u32 base;
    u32 unitBits;
    u32 highest;
};
constexpr u32 kRegTokens = 8;
extern RegToken RegTokenTable[kRegTokens];

// Value formats: name and width in bits.
struct HttpFormat {
    const char* name;
    u32 bits;
};
constexpr u32 kHttpFormats = 10;
extern const HttpFormat FormatTable[kHttpFormats];

// One URL parameter value: at most 63 characters.
constexpr u32 kHttpParamBytes = 64;

// The parameters of a page request.
struct HttpPageParams {
    char reg[kHttpParamBytes];
    char fmt[kHttpParamBytes];
    char fmtOption2[kHttpParamBytes];  // BOOL: text of 1; ASCII: length; REAL: "E"
    char fmtOption3[kHttpParamBytes];  // BOOL: text of 0
    char refresh[kHttpParamBytes];
    char fontSize[kHttpParamBytes];
    char fontFace[kHttpParamBytes];    // URL-decoded
    char fontColor[kHttpParamBytes];   // URL-decoded
};

u32 Http_Init(NxIp* ip, NxPacketPool* pool);
void Http_Scan(int port);
void Http_DeInit(NxIp* ip);
u32 Http_ConnCnt(int port);
u32 Http_AuthenticationCheck(HttpServerObject* server, u32 requestType, const char* resource, const char** name,
                             const char** password, const char** realm);
u32 Http_RequestNotify(HttpServerObject* server, u32 requestType, const char* resource, NxPacket* request);
// A server has a transfer the next pass continues at once.
bool Http_HasWork();
// Deletes every server and forgets all state (tests).
void Http_Reset();

// Collects the page parameters of the request line: 0, or 224 when a
// parameter is malformed or too long.
u32 UrlParamGet(NxPacket* request, HttpPageParams* params);
// URL-decodes text up to an '&' or its end into out (64 bytes, at most 63
// characters); answers the length.
u32 HttpUrlDecode(const char* text, char* out);
// Register bit address and width of a register text under a format (ASCII:
// length option); address and width 0 when invalid.
void MakeRegBlock(const char* reg, const char* format, const char* option2, u32* address, u32* bits);
// Index of a format name in FormatTable, -1 when it is not there.
int Http_FindFormat(const char* name);
// The text the read page shows for the register bytes (64 bytes out); false
// when the format does not fit the width.
bool Http_FormatValue(int format, const HttpPageParams& params, u32 address, u32 bits, const u8* data,
                      char* out);
// The register bytes a written value gives (32 bytes out); false when the
// text is not a value of the format.
bool Http_ConvertValue(int format, const HttpPageParams& params, const char* text, u8* data);
// The read page for a value text (page out, at most kHttpPageBytes); answers
// its length.
constexpr u32 kHttpPageBytes = 2048;
u32 Http_BuildPage(const HttpPageParams& params, const char* value, char* page);
