// SRTP server of each Ethernet interface: the request/answer protocol of
// 56-byte message headers on TCP port 18245 with which programming and HMI
// tools read and write the register memory by segment selector (or, with an
// IEC application loaded, the IEC variables of the interface's SRTP map).
// A polled state machine stepped once per main-loop pass; it answers in every
// controller mode.
//
// It owns the 56-byte header codec (requests and answers), the per-socket
// byte streams, the pending reads, the long writes and the four text buffers
// per interface that long reads and long writes share.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kSrtpPort = 18245;
constexpr u32 kSrtpSockets = 16;
constexpr u32 kSrtpTextBuffers = 4;
constexpr u32 kSrtpHeaderBytes = 56;
constexpr u32 kSrtpPacketBytes = 1444;                                // one message, one answer packet
constexpr u32 kSrtpShortText = kSrtpPacketBytes - kSrtpHeaderBytes;  // 1388: text that fits one packet
constexpr u32 kSrtpTextBytes = 4096;                                  // one text buffer
constexpr u32 kSrtpIdleMs = 60000;
// A message that stays incomplete this long is answered with an error and
// dropped (a peer that sent a short packet and waits for its answer).
constexpr u32 kSrtpPartialMs = 2000;
// Received bytes kept per connection: one whole message beside one receive.
constexpr u32 kSrtpStreamBytes = kSrtpPacketBytes + kNxReceiveMax;

// Message types and answer kinds.
constexpr u8 kSrtpConnect = 0, kSrtpConnectAck = 1, kSrtpService = 2, kSrtpAnswer = 3, kSrtpErrorType = 5,
             kSrtpSession = 8;
constexpr u8 kSrtpNoText = 0xD4, kSrtpWithText = 0x94, kSrtpRefused = 0xD1;

// The 56-byte header, requests and answers alike (multi-byte fields
// little-endian). Bytes 40-55 are kept as they stand: a request carries its
// service parameters at 42 or 50 and the data of a short write at 48, an
// answer its text length, read data, privilege level and status there.
struct SrtpHeader {
    u8 type = 0;          // 0
    u16 sequence = 0;     // 2
    u32 textLength = 0;   // 4: bytes that follow the header
    u8 byte8 = 0;         // 8: 1 in connect acknowledges and error answers
    u8 paramPos = 0;      // 9: request: 1 or 5 = service parameters at 42, else at 50
    u8 byte16 = 0;        // 16
    u8 textFlag = 0;      // 17: answers: 1 no text, 2 text follows
    u8 byte30 = 0;        // 30: returned as it came
    u8 kind = 0;          // 31: write kind of a request; 0xD4, 0x94 or 0xD1 of an answer
    u32 word32 = 0;       // 32
    u32 word36 = 0;       // 36
    u8 tail[16] = {};     // 40-55

    // Request service parameters (service code, selector or level, offset,
    // length) at byte 42 or 50.
    u32 ParamOffset() const { return paramPos == 1 || paramPos == 5 ? 42 : 50; }
    u8 Service() const { return tail[ParamOffset() - 40]; }
    u8 Selector() const { return tail[ParamOffset() - 39]; }
    // The index is worked out first: tail + 50 would point past the array.
    u16 Offset() const { return GetLe16(tail + (ParamOffset() - 38)); }
    u16 Length() const { return GetLe16(tail + (ParamOffset() - 36)); }
};

SrtpHeader SrtpHeader_Decode(const u8* bytes56);
void SrtpHeader_Encode(const SrtpHeader& h, u8* bytes56);

struct SrtpSocketEntry {
    NxTcpSocket socket;
    u8 pendingRead = 0;
    u32 reference = 0;  // of the pending read or the long write
    u32 length = 0;     // in bits
    u32 wordA = 0;      // request bytes 36-39, answered at 32-35
    u32 wordB = 0;      // request bytes 32-35, answered at 36-39
    u16 sequence = 0;
    u8 byte30 = 0;
    u32 remaining = 0;   // text bytes of a long write still to come (0 = none)
    u32 received = 0;    // text bytes of the long write received so far
    u32 textBuffer = 0;  // text buffer of the long write
    u32 lastActivity = 0;
    // A read answer longer than one packet is held in a text buffer until it
    // has gone whole: readBuffer is that buffer + 1 (0 none), readSent the
    // bytes of the answer already sent.
    u32 readBuffer = 0, readSent = 0;
    u32 skip = 0;  // text bytes of a refused message still to pass over
    u8 stream[kSrtpStreamBytes];
    u32 streamLength = 0;
};

struct SrtpTextBuffer {
    u16 inUse = 0;
    u8 data[kSrtpTextBytes];
};

struct SrtpConn {
    SrtpSocketEntry entries[kSrtpSockets];
    SrtpTextBuffer text[kSrtpTextBuffers];
    NxIp* ip = nullptr;
    u8 listening = 0;
    int index = 0;
};

extern SrtpConn SrtpConnEth[4];
extern u8 SrtpPlcPriv;
extern NxPacketPool* SrtpPacketPoolPtr;

u32 Srtp_Init(NxIp* ip, NxPacketPool* pool);
void Srtp_Scan(int port);
void Srtp_DeInit(NxIp* ip);
u32 Srtp_Conn_Cnt(int port);
bool Srtp_HasWork();
void Srtp_Reset();

// Segment selectors: the register bit address and length in bits of a
// request, or false when the selector has no base or the range passes its
// limit (with an IEC application loaded: the interface's SRTP map).
struct SrtpBlock {
    u32 reference = 0;
    u32 bits = 0;
};
bool Srtp_MapRequest(int port, u8 selector, u16 offset, u16 length, SrtpBlock* out);
// Bytes of register memory a block moves (the bytes that hold its bits).
u32 Srtp_BlockBytes(const SrtpBlock& b);

// One step of connection s of interface port: the pending read is answered,
// then the n received bytes are added to its stream and every whole message
// in it is served. Srtp_Scan takes each receive through here; tests and
// fuzzing drive a connection without a peer.
void Srtp_Feed(int port, u32 s, const u8* data, u32 n);
// Where answers go: by default packets of at most 1444 bytes on the entry's
// TCP socket. Returns 0 when sent. A test or fuzz driver may take them
// instead; nullptr restores the socket.
using SrtpSender = u32 (*)(int port, u32 s, const u8* data, u32 n);
void Srtp_SetSender(SrtpSender sender);
// Forgets the pending read, the long write and the stream of an entry,
// freeing the text buffers it holds (a connection accepted or ended).
void Srtp_ClearEntry(int port, u32 s);
