// The runtime's Modbus server: answers Modbus requests from the server tables
// the application declares in its Modbus configuration (coils, discrete
// inputs, holding and input registers of a server connection), and the
// device identification it reports. The server is transport-free: it takes
// a received frame and builds the answer; the workbench link (Modbus/TCP and
// RTU frames), the slave blocks and UDP sockets carry the frames.
#pragma once

#include "platform/bytes.h"

struct Q4MBView;

constexpr u32 kQ4MBIdentTextMax = 51;
constexpr u32 kQ4MBIdentWords = 8;

struct Q4MBDevIdent {
    char vendor[kQ4MBIdentTextMax + 1];
    char product[kQ4MBIdentTextMax + 1];
    char revision[kQ4MBIdentTextMax + 1];
    u16 words[kQ4MBIdentWords];  // device-specific data
};

// Takes the three texts (each cut to 51 characters; null counts as empty)
// and up to 8 of count little-endian 16-bit words at words (none: the 8
// words become 0; words beyond count are 0 too). Answers 1.
int Q4MBSrv_SetDevIdent(const char* vendor, const char* product, const char* revision, const u8* words, u32 count);
// The identification in force.
const Q4MBDevIdent& Q4MBSrv_GetDevIdent();
// Back to the empty identification (the application stopped).
void Q4MBSrv_ResetDevIdent();

// Largest answer any request gets (PDU from the unit id on).
constexpr u32 kQ4MBMaxPduAnswer = 256;

// Serves the PDU (unit id, function code, data) of n bytes received for the
// server connection; writes the answer PDU and answers its length (0: none).
u32 Q4MBSrv_Serve(const Q4MBView& v, u8* server, const u8* pdu, u32 n, u8* answer);

// The server connection of the name (null or empty: the local server, the
// first with the server flag), or none.
u8* Q4MB_FindServer(const Q4MBView& v, const char* name);
// Serves one frame of n bytes: network framing (MBAP header, unit id, PDU),
// else serial framing (unit id and PDU, its CRC already checked and not
// counted in n). Unit 0 means the server's own. Answers the length of the
// answer written (MBAP header included with network framing; no CRC), 0 when
// there is none (no server, another unit, a serial broadcast).
u32 Q4MB_ServeExID(u8* db, const u8* frame, u32 n, u8* answer, int network, u16 unit, const char* name);
u32 Q4MB_ServeEx(u8* db, const u8* frame, u32 n, u8* answer, int network, u16 unit);
u32 Q4MB_Serve(u8* db, const u8* frame, u32 n, u8* answer, int network);

// UDP transport: a non-blocking socket bound to the port (0 done); one
// datagram served per call, answered to its sender (serial framing: the CRC
// is checked and appended); closing leaves -1 alone.
int Q4MBSrv_UdpOpen(u16 port, int* sock);
void Q4MBSrv_UdpActivate(u8* db, int sock, int serialFraming, u16 unit, const char* name);
void Q4MBSrv_UdpClose(int sock);
