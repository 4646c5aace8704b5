// The runtime's CAN driver as the application's standard functions reach it:
// CANSND queues one message on a named CAN port of the application's CAN
// definition. Until the runtime's CAN driver is built, no port exists: every
// request is refused (0) after it has been checked and recorded, so that its
// arguments can be seen (Q4VMCan_AppMsgRequests).
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

constexpr u32 kQ4CanMaxData = 8;

// port: the port's name; data: length bytes (read only when length <= 8);
// flag: the driver's option bit for this message. 1 when queued; 0 when no
// port of that name exists, it has no send list, the length is above 8 (the
// length is unsigned: no negative count gets through) or every slot of its
// send list is still pending.
int Q4VMCan_SendAppMsg(u8* db, const char* port, u32 id, u32 length, const u8* data, int flag);

// A request as it reached the driver.
struct Q4VMCanAppMsg {
    std::string port;
    u32 id = 0;
    u32 length = 0;
    std::vector<u8> data;  // the bytes, when the length was at most 8
    int flag = 0;
    int result = 0;
};
// The requests since the last reset (the most recent 16).
const std::vector<Q4VMCanAppMsg>& Q4VMCan_AppMsgRequests();
void Q4VMCan_ResetAppMsgRequests();
