// The workbench debug server: executes the VM request (workbench request
// code 1) against the running application, or none: connect with the
// application's password, read objects (status, variables, log, traces,
// descriptions, call stack, breakpoints, SFC state), queue TIC for the next
// cycle boundary, subscribe variables to change events and read raw bytes of
// database areas.
//
// Request: u8 tag, u8 command, u16 length, data (big-endian). Answer: u8 tag,
// u8 status (0 success, 255 failure), u16 length, data. Every read of the
// request stays inside the bytes received.
//
// A protected application (password not 0) serves a client only after it
// connected with the right password; the caller keeps that per client. An
// unprotected application serves every command to anyone who reaches the
// workbench port.
#pragma once

#include "platform/bytes.h"

enum Q4VmSrvCommand : u8 {
    kVmSrvConnect = 1,
    kVmSrvRead = 2,
    kVmSrvExecute = 3,
    kVmSrvSubscribe = 4,
    kVmSrvUnsubscribe = 5,
    kVmSrvSubscribeLong = 6,
    kVmSrvUnsubscribeLong = 7,
    kVmSrvPollTable = 8,
};

constexpr u32 kVmSrvObjectRoom = 1022;
constexpr u32 kVmSrvPollMax = 1000;

// Serves one request of reqLength bytes into answer (capacity bytes, at
// least 8 + 1000); answers the answer's size. connected: the client's
// connected flag, set or cleared by connect.
u32 Q4VM_ServeEx(u8* db, const u8* request, u32 reqLength, u8* answer, u32 capacity, u16 eventPort, u8* connected);
u32 Q4VM_Serve(u8* db, const u8* request, u32 reqLength, u8* answer, u32 capacity, u8* connected);

// The pieces, each bounded by the data length given.
u32 Q4VM_ReadObjects(u8* db, const u8* list, u32 length, u8* out);   // 0: failed
int Q4VM_Execute(u8* db, const u8* words, u32 length);                // 0 queued, 5 no room, 43 refused
u32 Q4VM_SrvSubscribe(u8* db, const u8* list, u32 length, u8* out, int longForm);
void Q4VM_SrvUnsubscribe(u8* db, const u8* list, u32 length, int longForm);
u32 Q4VM_SrvPollTable(u8* db, const u8* data, u32 length, u8* out);

// Back to the start (the block-name cursor).
void Q4VMSrv_Reset();
