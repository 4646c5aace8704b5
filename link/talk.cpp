#include "link/talk.h"

namespace {
struct State {
    u8 open[2] = {};  // a talk session holds the port
};
State g;
}

int TalkOpened(int port) { return port >= 0 && port <= 1 ? g.open[port] : 0; }
void TalkClosed(int port) {
    if (port >= 0 && port <= 1) g.open[port] = 0;
}
void Talk_SetOpened(int port) {
    if (port >= 0 && port <= 1) g.open[port] = 1;
}
