// Program-controlled serial ports (send, receive, Modbus, modem through the
// TALK instructions). Until they are built only the open flags exist.
#pragma once

#include "platform/bytes.h"

// Non-zero while a program-controlled session has port 0 or 1 open.
int TalkOpened(int port);
void TalkClosed(int port);
// Marks a port as taken by the program (the TALK open instruction does this).
void Talk_SetOpened(int port);
