// TCP side of the workbench communication server: accepting clients into
// free slots, and per slot sending the queued answer and assembling the next
// request frame (workbench or Modbus/TCP) from the byte stream, one frame
// stage per pass.
#pragma once

#include "iec/ext/q4cs.h"

// Accepts one pending client into the first free slot; none free: closed at once.
void Q4CSSock_Accept(Q4CSContext* cs);
// Takes an accepted socket into the first free slot; 0, or 1 when every slot
// is taken (the socket is then closed).
int Q4CSSock_Take(Q4CSContext* cs, int sock);
// Sends and receives for every TCP slot, slots 1..8 in order.
void Q4CSSock_ActivateAllSockets(Q4CSContext* cs);
// Sends what is queued for every TCP slot, without receiving.
void Q4CSSock_SendAll(Q4CSContext* cs);
// Closes every TCP client (the slots become free) and the listener.
void Q4CSSock_CloseAllSockets(Q4CSContext* cs);
void Q4CSSock_CheckSilentSocketsEx(Q4CSContext* cs, u32 nowMs, u32 timeoutMs);
