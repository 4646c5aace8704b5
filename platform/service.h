// The services the main loop steps, and the wait between its passes.
//
// Every service has one shape: a name, an optional init, one step that never
// blocks, an optional stop, and optionally the descriptors whose input it
// waits for. The step is given the current time of the 100-us counter
// (FPGA_GetFrt) and answers the time at which it next needs to run; a service
// with work in hand answers `now` or soon after. A pass steps every service of
// the list once, in the list's order. After a pass the loop waits in one poll
// over every service's descriptors until the earliest time any step asked
// for, or until a descriptor is ready, whichever comes first.
//
// The list itself is built by the wiring (core/wiring.cpp), which knows the
// services of this controller; this module only walks it.
#pragma once

#include <poll.h>

#include <vector>

#include "platform/bytes.h"
#include "platform/neighbour.h"

struct Service {
    const char* name;
    void (*init)();                                  // nullptr: nothing to prepare
    u32 (*step)(u32 now);                            // one pass's work; answers its next time
    void (*stop)();                                  // nullptr: nothing to end
    void (*descriptors)(std::vector<pollfd>& fds);   // nullptr: it waits on no descriptor
};

// The list in the order of a pass; filled by core/wiring.cpp.
struct ServiceList {
    const Service* entries = nullptr;
    u32 count = 0;
};
extern ServiceList serviceList;
// Names "serviceList.entries" when the list is empty, and every entry
// without a name or a step.
void ServiceList_Check(NeighbourCheck& check);

// Time helpers of the 100-us counter (it wraps): true when a is before b;
// the earlier of two times.
inline bool Service_Before(u32 a, u32 b) { return static_cast<i32>(a - b) < 0; }
inline u32 Service_Earlier(u32 a, u32 b) { return Service_Before(a, b) ? a : b; }
// The next 10-ms tick after now.
inline u32 Service_NextTick(u32 now) { return now - now % 100u + 100u; }

// Runs the init of every service, in order.
void Service_InitAll();
// Runs the stop of every service, in reverse order.
void Service_StopAll();
// One step of every service, in order; answers the earliest time any of them
// asked for (at the latest the next 10-ms tick).
u32 Service_Pass(u32 now);

// The descriptors every service waits on, appended to fds.
void Service_Descriptors(std::vector<pollfd>& fds);
// Waits until `due` or until one of the services' descriptors is ready; never
// longer than the cap. Answers the number of ready descriptors (0 on time-out).
int Service_IdleWait(u32 due);
// What the last idle wait saw on a descriptor, so that a step acts on it
// without asking the kernel again: its revents (0: polled, nothing ready),
// or -1 when the wait did not poll it for all of `events` (a descriptor
// opened since, no wait before this pass, a wait that ended without polling).
// What a wait saw holds until the next wait begins; a step that acted on a
// descriptor marks it consumed, so a second look in the same pass sees 0, and
// a module that opens a descriptor forgets it (the number may be reused).
int Service_Ready(int fd, short events);
void Service_Consume(int fd);
void Service_Forget(int fd);
// Looks again, without waiting, at the descriptors of the last wait when the
// pass has run long since that wait ended (a long scan), so that the steps
// after it serve in this pass the input that came meanwhile, not one pass
// later. A short pass costs nothing: its input is seen by the next wait at
// once.
void Service_Refresh();
// Upper bound of one idle wait in milliseconds; 0 makes the wait return at
// once (benchmarks, unit tests), negative removes the bound (the default).
void Service_SetIdleCapMs(int ms);
int Service_IdleCapMs();
