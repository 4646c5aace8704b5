#include "storage/cf_fw_load.h"

#include <unistd.h>

#include <cstdio>

#include "platform/system.h"

// Nothing can be installed yet: this is the installation's "nothing was
// requested" ending, where the board shows its slow-flash indication until
// the power is removed. The process waits here for good.
void InstallBoot() {
    StopWatchdog();
    std::printf("Install: no medium with installation files\n");
    std::fflush(stdout);
    for (;;) pause();
}

void Oem_GetSignon(char*, u16, u16) {}
void Oem_GetModel(int, u16, u16) {}
