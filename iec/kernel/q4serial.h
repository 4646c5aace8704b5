// The runtime's serial handle: a descriptor borrowed from the controller's
// serial layer (never opened or configured here), read and written without
// waiting.
#pragma once

#include "platform/bytes.h"

void Q4Serial_Initialize(int* handle);
int Q4Serial_IsValid(const int* handle);
// Takes the descriptor of the port that system register word 290 selects
// (0: MJ1, 10: MJ3), or the USB device port's when the programming link's
// host is USB (its pending input discarded), as far as the programming link
// lends it (it never lends the programming port). An open handle stays as it
// is.
// The settings text is ignored: the port keeps the controller's settings.
// Always 1; the handle stays -1 when there is no port to take.
int Q4Serial_Open(int* handle, const char* settings);
// Gives the borrowed descriptor up (it stays open for its owner); -1.
void Q4Serial_Close(int* handle);
// Bytes written, one single-byte write per attempt, count attempts (at most
// 65,535).
u32 Q4Serial_Send(int* handle, u32 count, const u8* data);
// Bytes read without waiting, at most maximum. A chunk beginning "ZJ" hands
// the port back to the programming protocol and is dropped.
u32 Q4Serial_Receive(int* handle, u32 maximum, u8* buffer);
