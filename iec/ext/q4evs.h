// The event server: pushes the runtime's events (application start, stop and
// change, producer open and close, variable changes, traces, lost-event
// notices, idle frames) to up to eight TCP clients. Each client has four
// queues, one per event class; the server packs queued events into one frame
// at a time and removes them only when the client acknowledges the frame
// (or at once for a client that asked for no acknowledgement). A client that
// does not acknowledge within 3 s is dropped; its events stay queued for the
// next client of its slot.
//
// The caller allocates Q4Evs_GetMemorySize bytes in one block; the server and
// its clients and queues live in it. Times are milliseconds of the day.
#pragma once

#include "platform/bytes.h"
#include "iec/ext/q4evsfrm.h"
#include "iec/ext/q4evsq.h"

constexpr u32 kQ4EvsClients = 8;
constexpr u32 kQ4EvsQueues = 4;
constexpr u32 kQ4EvsIdleMs = 2000;
constexpr u32 kQ4EvsAckMs = 3000;

enum Q4EvsMask : u16 {
    kQ4EvsMaskSystem = 0x01,     // system events and lost-event notices
    kQ4EvsMaskClass2 = 0x02,
    kQ4EvsMaskVariables = 0x04,
    kQ4EvsMaskTrace = 0x08,      // traces and idle
    kQ4EvsMaskNoAck = 0x20,      // frames count as delivered when sent
    kQ4EvsMaskStatus = 0x40,     // variable status with change events
    kQ4EvsMaskNo255 = 0x80,      // no events of code 255
};

enum Q4EvsState : u16 { kQ4EvsDisconnected = 0, kQ4EvsReady = 1, kQ4EvsSending = 2, kQ4EvsWaitAck = 3 };

struct Q4EvsSettings {
    u32 capacity[kQ4EvsQueues] = {};  // bytes: system, class 2, variable changes, trace
    u32 key[kQ4EvsQueues] = {};
    u16 port = 0;
};

struct Q4EvsClient {
    Q4EvsQueue queues[kQ4EvsQueues];
    i32 ownListener = -1;  // never opened in this system
    i32 socket = -1;
    u8 frame[kQ4EvsFrameBytes] = {};  // outgoing event frame, or incoming acknowledgement
    u16 position = 0;                 // bytes sent, or received
    u16 frameLength = 0;              // to send, or expected (0: header not yet read)
    u32 lastFrame = 0;
    u16 mask = 0;
    u16 state = kQ4EvsDisconnected;
    u16 slot = 0;
    u32 maxFrame = 0;  // 0: 1024
};

struct Q4EvsServer {
    u32 clientSize = 0;  // one client record with its queue storage
    u16 port = 0;
    u16 flags = 0;       // bit 0: a subscription changed since Q4Evs_HasNewConections
    i32 listener = -1;
};

u32 Q4Evs_GetMemorySize(const Q4EvsSettings* settings);
u32 Q4Evs1_GetMemorySize(const Q4EvsSettings* settings);
// 0, or 1 when the listener could not be made (the caller then runs without).
int Q4Evs_Open(Q4EvsServer* server, const Q4EvsSettings* settings);
void Q4Evs_Close(Q4EvsServer* server);
Q4EvsClient* Q4Evs_Client(Q4EvsServer* server, u32 index);  // 0..7
void Q4Evs_Activate(Q4EvsServer* server, u32 nowMs);

// Queues an event to every connected client: 0, or 1 when some queue had no
// room.
int Q4Evs_Event(Q4EvsServer* server, u8 kind, u8 code, u32 n, const void* data);
int Q4Evs_TextEvent(Q4EvsServer* server, u8 kind, u8 code, const char* text);
int Q4Evs_OnAppStart(Q4EvsServer* server, const char* name);
int Q4Evs_OnAppStop(Q4EvsServer* server, const char* name);
int Q4Evs_OnAppChange(Q4EvsServer* server, const char* name);
int Q4Evs_Trace(Q4EvsServer* server, const char* text);
int Q4Evs_EAOpen(Q4EvsServer* server);
// One event to one client (index 0..7) with the given stamps; 1 with
// *noClient set when there is no such client.
int Q4Evs_EventTo(Q4EvsServer* server, u8 kind, u8 code, u32 n, const void* data, u32 index, int* noClient,
                  u32 date, u32 time);
int Q4Evs1_EventDT(Q4EvsClient* c, u8 kind, u8 code, u32 n, const void* data, u32 date, u32 time);
void Q4Evs_FlushEAEvents(Q4EvsServer* server);
int Q4Evs_HasNewConections(Q4EvsServer* server);
// Per client: 1 when connected and asking for variable status.
void Q4Evs_GetCnxVsiPrefs(Q4EvsServer* server, u8 out[kQ4EvsClients]);
int Q4Evs_GetNbClient(Q4EvsServer* server);
u16 Q4Evs_GetCnxPrefs(Q4EvsServer* server, u32 index);
int Q4Evs_Descriptors(Q4EvsServer* server, int* fds, int capacity);
