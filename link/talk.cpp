#include "link/talk.h"

namespace {
u8 g_open[2];
}

int TalkOpened(int port) { return port >= 0 && port <= 1 ? g_open[port] : 0; }
void TalkClosed(int port) {
    if (port >= 0 && port <= 1) g_open[port] = 0;
}
void Talk_SetOpened(int port) {
    if (port >= 0 && port <= 1) g_open[port] = 1;
}
