// A client of the IEC runtime's event server, as a workbench or another
// runtime is one: reads event frames ("Q4", u16 L, 18, count, events of
// 12 + n bytes, numbers big-endian) and acknowledges them with a mask, a key
// and a frame size.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

struct EventRecord {
    u8 kind = 0, code = 0, slot = 0;
    u32 date = 0, time = 0;
    std::vector<u8> data;
};

// One whole frame from the socket, waiting at most waitMs for each part;
// empty when none came or the connection closed.
std::vector<u8> EventReadFrame(int fd, int waitMs);
// The events of a frame; false when the frame's layout does not hold.
bool EventParseFrame(const std::vector<u8>& frame, std::vector<EventRecord>* events);
// An acknowledgement; with maxFrame >= 0 it carries the frame size.
std::vector<u8> EventAckFrame(u8 mask, u32 key = 0, int maxFrame = -1);

// A variable event (kind 4): identifier, type, index and the value as a
// number (big-endian, of the type's width).
struct VariableEvent {
    u16 id = 0;
    u8 type = 0;
    u16 index = 0;
    i64 value = 0;
};
bool EventVariable(const EventRecord& e, VariableEvent* out);

// A connected client that acknowledges every frame with its mask.
class EventClient {
public:
    explicit EventClient(u8 mask = 0x4D) : mask_(mask) {}
    ~EventClient();
    EventClient(const EventClient&) = delete;
    EventClient& operator=(const EventClient&) = delete;

    // TCP to 127.0.0.1:port (the port as dialled, offset included).
    bool Connect(int port);
    void Close();
    // Frames that arrive within waitMs (then no more waiting), each
    // acknowledged; their events in order. False once the server closed.
    bool Poll(std::vector<EventRecord>* events, int waitMs = 0);

private:
    int fd_ = -1;
    u8 mask_;
};
