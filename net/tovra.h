// Programming link over TCP: the TCP side of the programming protocol on port
// 18501 of every interface. Each TCP packet carries a 28-byte header and one
// frame of the programming protocol (or a single byte); the link answers the
// session handshake itself and hands data frames to the command interpreter
// through a byte mailbox at the end of DprMap, which the interpreter polls
// as its Ethernet host. Long download frames are split into 64-byte frames
// for the interpreter; upload frames are gathered into large packets for a
// host that asks for them.
#pragma once

#include "platform/bytes.h"
#include "platform/nx_api.h"

constexpr u32 kTovraPort = 18501;
constexpr u32 kTovraSlots = 8;
constexpr u32 kTovraHeaderBytes = 28;
constexpr u32 kTovraMailboxData = 67;   // bytes of one mailbox block
constexpr u32 kTovraRequestBytes = 96;  // header and up to 68 data bytes
constexpr u32 kTovraIdleMs = 29999;     // a connection quiet for longer is dropped
constexpr u32 kTovraSessionMs = 59999;  // an open session older than this closes
// A packet begun must be whole within this time, however often its bytes
// come; and a connection quiet this long gives its slot to a newcomer when
// every slot is taken.
constexpr u32 kTovraFrameMs = 500;
// Largest data length a packet may announce: one packet of the socket
// layer. A header announcing more cannot belong to the protocol.
constexpr u32 kTovraMaxData = kNxReceiveMax - kTovraHeaderBytes;
// Received bytes kept per connection: one full receive beside a packet that
// waits for its turn.
constexpr u32 kTovraStreamBytes = 2 * kNxReceiveMax + kTovraHeaderBytes;

// Header fields.
constexpr u32 kTovraKey = 0, kTovraVersion = 4, kTovraWord6 = 6, kTovraWord8 = 8, kTovraType = 10,
              kTovraClock = 12, kTovraLength = 26;
// Request types (anything else is data) and reply statuses.
constexpr u16 kTovraChallenge = 0x20, kTovraAnswer = 0x40, kTovraClose = 0x80;
constexpr u16 kTovraDone = 0, kTovraRefused = 1, kTovraBadVersion = 2, kTovraBusy = 8;
constexpr u32 kTovraKeyMask = 0x3B6D1E95;
constexpr u8 kTovraSessionOpen = 78;

// Mailbox fields, offsets in DprMap.
constexpr u32 kEtnRxFlag = 64984, kEtnRxRef = 64985, kEtnRxCount = 64986, kEtnRxData = 64988,
              kEtnTxFlag = 65056, kEtnTxRef = 65057, kEtnTxLength = 65058, kEtnTxData = 65060,
              kEtnOobFlag = 65128, kEtnOobRef = 65129, kEtnOobByte = 65130, kEtnIdle = 65134,
              kEtnIdleRef = 65135, kEtnSecurityWord = 65136, kEtnPasswords = 65140, kEtnSecurityFlags = 65152,
              kEtnPasswordBytes = 65153;

// Receive states and reply modes of an interface.
enum TovraRxState : u8 { kTovraRxIdle = 0, kTovraRxLong = 1, kTovraRxChunkHeld = 2, kTovraRxAckOwed = 3 };
enum TovraReplyMode : u8 {
    kTovraPlain = 0,
    kTovraGathering = 1,
    kTovraArmed = 2,
    kTovraGatherEnded = 3,
    kTovraChunkTaken = 4
};

struct TovraSlot {
    NxTcpSocket socket;
    u32 key = 0;  // reply header fields of the last request accepted here
    u16 version = 0, word6 = 0, word8 = 0;
    u32 lastActivity = 0;  // ms
    u8 stream[kTovraStreamBytes];  // received bytes not yet taken as packets
    u32 streamLength = 0;
    u32 frameStart = 0;  // ms: when the first byte of the unfinished packet came
};

struct TovraConnState {
    NxIp* ip = nullptr;
    TovraSlot slots[kTovraSlots];
    u8 session = 0;
    u8 listening = 0;
    u8 replyMode = kTovraPlain;
    u8 rxState = kTovraRxIdle;
    u8 request[kTovraRequestBytes] = {};
    u8 reply[kTovraHeaderBytes + kTovraMailboxData] = {};
    NxPacket* gather = nullptr;  // multi-packet reply being gathered
    u16 gatherLength = 0;        // data bytes gathered
    u8 gatherChecksum = 0;
    // Long frame being split: its header and data.
    u8 split[kTovraHeaderBytes + kTovraMaxData] = {};
    u32 splitPos = 0;
    u16 splitRemaining = 0;
    u8 splitActive = 0;
    u8 lastSlot = 255;
    u8 selected = 255;
    u32 challenge = 0;
    u32 sessionOpened = 0;
};
extern TovraConnState TovraConn[4];

// Main-step entry points.
u32 Tovra_Init(NxIp* ip, NxPacketPool* pool);
void Tovra_Scan(int iface);
u32 Tovra_ConnCnt(int iface);
void Tovra_DeInit(NxIp* ip);
// Set while a connection holds a received packet not yet served.
bool Tovra_HasWork();
// Forgets all state and deletes the sockets (tests).
void Tovra_Reset();

// Interpreter side of the mailbox.
int Etn_CheckRx();
// The next input byte; -1 (nothing taken) when nothing is waiting.
int Etn_GetRx();
void Etn_FlushRx();
// 112 flips the idle toggle; any other byte is sent as a block of one.
int Etn_PutTx(u8 byte);
// Blocks that find the mailbox full wait in order behind it, and longer
// data is carried in several blocks, so no output is overwritten or cut.
void Etn_PutnTx(const u8* data, u32 n);
void Etn_UpdateSecurity();
// Output blocks waiting behind the mailbox's transmit slot (tests).
u32 Etn_TxQueued();

// The session challenge for the clock words at DprMap offset 48.
u32 Tovra_ChallengeOf(const u8* clockWords);
