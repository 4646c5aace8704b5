// The workbench communication server: carries the runtime's workbench
// protocol between a PC workbench and the runtime. One context holds eight
// client slots (TCP clients, and in slot 1 the serial link), the workbench
// listener and the UDP discovery socket. Its owner steps it (Q4CS_Activate),
// takes one complete request at a time (Q4CS_GetQuestion), answers it through
// the slot's answer buffer and releases it. File transfer (request 19) and
// the link option (request 21) are served inside Q4CS_GetQuestion.
//
// Workbench frame (numbers big-endian): "Q4", u16 L (1..1024, bytes after
// the 4-byte header), u8 request code, L-1 data bytes; on the serial link a
// CRC-16/MODBUS over the frame follows, high byte first. The TCP port also
// takes Modbus/TCP frames (request 17), the serial link Modbus RTU frames
// (request 16).
//
// Nothing here blocks: sockets are polled with a zero time-out, the serial
// port by the count of waiting bytes; frames are assembled across passes in
// the slot's fixed buffers and answers resumed when the peer takes only part.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4file.h"
#include "iec/kernel/q4host.h"
#include "iec/kernel/q4vmimg.h"

constexpr u32 kQ4CSSlots = 8;
constexpr u32 kQ4CSBufferBytes = 1036;
constexpr u16 kQ4CSMaxLength = 1024;    // largest L of a workbench frame
constexpr u16 kQ4CSMaxMbapLength = 256;  // largest length field of an MBAP header
constexpr u16 kQ4CSDiscoveryPort = 11173;
constexpr u16 kQ4CSWorkbenchPort = 1100;
// Room the serial link keeps behind an answer for its CRC.
constexpr u32 kQ4CSAnswerMax = kQ4CSBufferBytes - 2;
// Bytes the runtime may write behind the 5-byte header of a VM answer.
constexpr u32 kQ4CSVMAnswerMax = kQ4CSAnswerMax - 5;

enum Q4CSFlag : u16 {
    kQ4CSUsed = 0x0001,
    kQ4CSComplete = 0x0002,      // request complete, waiting for the runtime
    kQ4CSQueued = 0x0004,        // answer queued
    kQ4CSCrcAdded = 0x0008,      // CRC appended to the queued answer (serial)
    kQ4CSReceiving = 0x0010,     // header seen, more bytes expected
    kQ4CSPartSent = 0x0020,      // answer partly sent
    kQ4CSTcp = 0x0100,
    kQ4CSSerial = 0x0200,
};

// Request codes the server itself knows of.
enum Q4CSRequest : int {
    kQ4CSRqModbusRtu = 16,
    kQ4CSRqModbusTcp = 17,
    kQ4CSRqFile = 19,
    kQ4CSRqLinkOption = 21,
};

struct Q4CSSlot {
    u16 number = 0;        // 1..8 once taken
    u16 flags = 0;         // Q4CSFlag
    u16 received = 0;      // bytes of the current request
    u16 expected = 0;      // 0: header not yet read
    u16 toSend = 0;        // answer bytes still to send
    u16 answerLength = 0;
    u8 request[kQ4CSBufferBytes] = {};
    u8 answer[kQ4CSBufferBytes] = {};
    u32 lastActivity = 0;  // milliseconds of the day; 0 = active since the last check
    i32 socket = -1;
    int serial = -1;       // serial handle (slot 1 only)
};

struct Q4CSContext {
    // File transfer (request 19): open file, running CRC, open directory.
    Q4FileHandle ftFile = nullptr;
    u32 ftCrc = 0;
    u32 ftDir = 0;
    u32 options = 0;  // bit 0x800: discovery answers ",M5"
    u32 stamp = 0;    // set by Q4CS_ActivateStamp only
    Q4CSSlot slots[kQ4CSSlots];
    i32 listener = -1;
    i32 udp = -1;
    u16 tcpPort = 0;  // as given to Q4CS_Open or Q4_Connect_Ethernet (discovery reports it)
    u8 open = 0;      // 1 between Q4CS_Open and Q4CS_Close
};

// Open settings: TCP port (0: no listener), secondary port (none in this
// system), serial settings (null: no serial slot; the text is not read).
struct Q4CSSettings {
    u16 tcpPort = 0;
    u16 secondaryPort = 0;
    const char* serial = nullptr;
};

constexpr u32 kQ4CSOptM5 = 0x800;

// Clears the context (closing what an earlier open left), opens the serial
// slot, the listener and the discovery socket as the settings say. 0; the
// sockets that could not be made stay -1.
int Q4CS_Open(Q4CSContext* cs, const Q4CSSettings* settings);
// One pass: discovery, accept, TCP slots, serial slot.
void Q4CS_Activate(Q4CSContext* cs);
void Q4CS_ActivateStamp(Q4CSContext* cs, u32 nowMs);
// Sends the answers queued since the last pass, receiving nothing: the
// owner's last request of a pass is answered in that pass.
void Q4CS_Flush(Q4CSContext* cs);
// Request code of the first slot holding a complete request whose previous
// answer is out (its number in *slot), 0 when none. Requests 0, 19 and 21 are
// answered and released here.
int Q4CS_GetQuestion(Q4CSContext* cs, u16* slot);
void Q4CS_ReleaseQuestion(Q4CSContext* cs, u16 slot);
// The request data of a complete request 1 (frame byte 5 on), else null.
u8* Q4CS_GetVMRequest(Q4CSContext* cs, u16 slot);
// Bytes of request data of a complete request 1 (0 for any other).
u32 Q4CS_GetVMRequestLength(Q4CSContext* cs, u16 slot);
// The whole complete frame, else null; its length in *length when given.
u8* Q4CS_GetRequestFrame(Q4CSContext* cs, u16 slot, u32* length = nullptr);
// Answer buffer (+5 for a VM answer) while it is free, else null.
u8* Q4CS_GetVMAnswerBuffer(Q4CSContext* cs, u16 slot);
u8* Q4CS_GetAnswerFrameBuffer(Q4CSContext* cs, u16 slot);
// Queues the 7-byte status answer to a workbench frame.
void Q4CS_SendRC(Q4CSContext* cs, u16 slot, u16 result);
// Queues n bytes of VM answer behind its header (at most kQ4CSVMAnswerMax).
void Q4CS_SendVMAnswer(Q4CSContext* cs, u16 slot, u32 n);
// Queues n bytes of the answer buffer (at most kQ4CSAnswerMax; 0: no answer).
void Q4CS_SendAnswerFrame(Q4CSContext* cs, u16 slot, u32 n);
// Download requests 2-4: kind, block length, name and data. 0 when the slot
// holds no such request or the request does not hold together: a name
// without its NUL inside the frame, or a block (request 3) longer than the
// data the frame carries.
int Q4CS_GetLoadInfo(Q4CSContext* cs, u16 slot, Q4LoadRequest* out);
// Requests 5-8: load-retains flag, paused flag, application name (NUL inside
// the frame, else 0).
int Q4CS_GetStartInfo(Q4CSContext* cs, u16 slot, Q4StartRequest* out);
// Closes every socket, the serial slot and an open transfer; clears the context.
void Q4CS_Close(Q4CSContext* cs);
// TCP slots holding a socket.
int Q4CS_GetNbHostTCP(const Q4CSContext* cs);
// Closes TCP clients silent for more than timeoutMs (no caller in the
// controller: idle clients stay connected until they close).
void Q4CS_CheckSilentSockets(Q4CSContext* cs, u32 nowMs, u32 timeoutMs);

// The descriptors the server waits on (listener, discovery socket, clients,
// serial handle), for the main loop's idle wait.
int Q4CS_Descriptors(const Q4CSContext* cs, int* fds, int capacity);

// Internal to the server's modules.
Q4CSSlot* Q4CS_Slot(Q4CSContext* cs, u16 slot);
// Bytes of the received frame without the serial link's CRC.
u32 Q4CS_FrameEnd(const Q4CSSlot& s);
// True for a frame that begins "Q4" with a non-zero length field.
bool Q4CS_IsWorkbenchFrame(const Q4CSSlot& s);
// The slot's answer buffer may be written: used, and no answer queued or
// partly sent.
bool Q4CS_AnswerFree(const Q4CSSlot& s);
void Q4CS_Queue(Q4CSSlot& s, u32 n);
void Q4CS_ClearSlot(Q4CSSlot& s);
