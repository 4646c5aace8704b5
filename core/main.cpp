#include "core/main.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "platform/reset.h"
#include "platform/root.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnTerm(int) { g_stop = 1; }

}  // namespace

int PlcMain(int argc, char** argv) {
    if (!Root_Init()) {
        std::fprintf(stderr, "cannot create the root folder\n");
        return 1;
    }
    std::printf("controller root: %s\n", Root_Dir().c_str());
    std::fflush(stdout);
    signal(SIGTERM, OnTerm);
    signal(SIGINT, OnTerm);
    while (!g_stop) usleep(10000);
    return kExitNormal;
}
