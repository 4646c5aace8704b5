// CAN ports. Until the CAN driver is built no port opens: the per-pass
// service has nothing to read, and callbacks are only stored.
#pragma once

#include "platform/bytes.h"

using CanEventCallback = void (*)(int port, int kind);
constexpr int kCanEventReceive = 0, kCanEventTransmit = 1, kCanEventError = 2;

void _Can_SetEvent(int port, int kind, CanEventCallback callback);
CanEventCallback Can_GetEvent(int port, int kind);
void Can_Isr();
