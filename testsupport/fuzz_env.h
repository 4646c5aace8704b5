// Process-wide set-up shared by fuzz targets: a private root folder and the
// manual clock, made once on the first input.
#pragma once

#include "platform/bytes.h"

// prefix names the temporary root folder ("$TMPDIR/<prefix>XXXXXX", /tmp
// when TMPDIR is not set).
void FuzzEnv_Init(const char* prefix);

struct NxIp;
struct NxTcpSocket;
// Makes s an accepted connection of a server on ip, its other end the
// descriptor returned (both non-blocking; -1 on failure), without any port:
// fuzz targets feed a service's connections this way. A connection s held
// before is closed.
int FuzzEnv_Connection(NxTcpSocket& s, NxIp* ip);
// Reads and throws away everything waiting on fd.
void FuzzEnv_Drain(int fd);
// A packet pool for the fuzz targets' interfaces, made on first use.
struct NxPacketPool;
NxPacketPool* FuzzEnv_Pool();

// A clean local-I/O world for one input: registers zeroed, the controller
// and every I/O module state forgotten, the two modules plugged in.
void FuzzEnv_FreshIo(u16 slot0Ident, u16 slot1Ident);
