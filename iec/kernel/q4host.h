// The IEC runtime in the controller: its global state (running code image
// and database, memory images, mutex), the start at a program load, the
// requests that load, start, stop, hot-start and change the application, and
// one application cycle per scan in place of the ladder program (_VMThread).
//
// Everything runs in the main thread; the error-checking mutex, taken only
// with try-lock, keeps a nested main-loop pass from running a cycle or a
// request inside another.
#pragma once

#include "platform/bytes.h"
#include "iec/kernel/q4vmimg.h"

class NeighbourCheck;
struct Q4CSContext;
struct Q4EvsServer;

// What the runtime reaches of the services above it. Every entry is required.
struct Q4HostPeers {
    int (*stopIo)() = nullptr;  // the local I/O stops while a new application starts
    // An on-line change took effect: the controller enters on-line
    // programming, which stores the changed code into its program.
    void (*changedOnLine)() = nullptr;
};
extern Q4HostPeers q4HostPeers;  // filled by core/wiring.cpp
void Q4HostPeers_Check(NeighbourCheck& check);

extern u8* pCode;
extern Q4MMData mmData;
extern u8 QuilletFirstRun;
extern u8 QuilletS9;
extern u8 IsCommMode_Tovra;
extern u8 eth_conn;
extern u8 q4_rcv;
// Set when the programming software took the borrowed serial port back: the
// controller's Modbus engine then sets the port up again in the protocol the
// application chose (q4protocol, from its last port-open block) and clears it.
extern u8 q4runtime_modbusinit;
extern u8 q4protocol;
extern u32 timer_Q4;
extern u8 bNewRegParams;
extern char Q4FILE_PATH[255];

// Start request of the workbench (and of the start at a program load).
struct Q4StartRequest {
    u8 loadRetains = 1;
    u8 paused = 0;
    const char* name = "q4";
};

// Request codes served by Q4Host_Serve.
enum Q4HostRequest : int {
    kQ4RqNone = 0,
    kQ4RqVm = 1,
    kQ4RqLoadBegin = 2,
    kQ4RqLoadBlock = 3,
    kQ4RqEndLoad = 4,
    kQ4RqStop = 5,
    kQ4RqStart = 6,
    kQ4RqHotStart = 7,
    kQ4RqChange = 8,
};

// Start-up at a program load (first call after Q4_init was cleared), then
// the communication service.
void Q4Host_Init();
// Stop and tear down the runtime (program stop or replacement).
void Q4Host_Exit();
// One application cycle (the ladder interpreter calls it in place of the program).
void _VMThread();
// The main loop's workbench service: nothing while the programming link
// speaks the controller's protocol; otherwise eight requests (_Serve).
void Quillet_Comm_service();
// One workbench request: a pass of the server, at most one request served,
// and the 65-s watch that gives the link back.
void _Serve();
// Command 38 hands the programming link to the workbench: on TCP (the
// workbench listener, port 1100) or on the serial port the runtime borrows.
void Q4_Connect_Ethernet();
void Q4_Connect_Serial();
// The runtime's workbench server.
extern Q4CSContext csData;
// The runtime's event server, null when it could not be opened.
extern Q4EvsServer* pEvData;
void Q4Def_ServeVMRequest(Q4CSContext* cs, u8* db, u16 slot);
void Q4Def_ServeModbusRequest(Q4CSContext* cs, u8* db, int code, u16 slot);
// One request (code, and its start or load record; either may be null):
// 0 success, 1 failure, or a VM error code.
int Q4Host_Serve(int code, const Q4StartRequest* start, const Q4LoadRequest* load);

// VM time: monotonic milliseconds of the day.
u32 _GetTickCount();
// 1 when the try-lock succeeded.
int _TakeMutex();
void _ReleaseMutex();

// dst gets Q4FILE_PATH then name; null when dst is null, the name is empty
// or the result would exceed 254 characters.
char* Q4_GetFullPath(const char* name, char* dst);
void Q4EVSTRACE(const char* fmt, ...);
int Q4EVSPORT();
void Q4_SignalRegChange(const char* file);
int Q4_Sleep(int n);
void QuilletFirstRun_func();

// Life-cycle steps (1 for a null argument, else 0 or a VM error code).
int Q4Def_ColdStart(const u8* code, u32 codeSize, u8* db, const char* retainPath, int loadRetains, int pause,
                    const char* name);
int Q4Def_HotStart(const u8* code, u32 codeSize, u8* db, const char* retainPath, int pause, const char* name,
                   u32 now);
int Q4Def_Change(const u8* code, u32 codeSize, u8* db, const char* name, u32 now);
int Q4Def_Stop(u8* db, const char* retainPath, const char* name);
int Q4Def_Cycle(u8* db, u32 now);

// Forgets all runtime state (tests).
void Q4Host_Reset();
