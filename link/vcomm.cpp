#include "link/vcomm.h"

#include <cstring>

const u8 kVcommProgrammingMode[kVcommModeBytes] = {5, 0, 8, 1, 0, 1};
int vcommOpenCount[2];

namespace {

u8 g_modes[2][kVcommModeBytes];

int OpenPort(u32 port, const u8* modeRecord) {
    if (port > 1 || modeRecord == nullptr) return 0;
    std::memcpy(g_modes[port], modeRecord, kVcommModeBytes);
    vcommOpenCount[port]++;
    return 1;
}

}  // namespace

VcommDriver Vcomm_Drv[2] = {{g_modes[0], OpenPort}, {g_modes[1], OpenPort}};

void Vcomm_Reset() {
    std::memset(g_modes, 0, sizeof g_modes);
    vcommOpenCount[0] = vcommOpenCount[1] = 0;
}

void Vcomm_Init() {}
void SCI0_Init(int port) { OpenPort(static_cast<u32>(port), kVcommProgrammingMode); }
void SCI1_Init(int port) { OpenPort(static_cast<u32>(port), kVcommProgrammingMode); }
int SCI4_Init(int) { return 0; }
void USBPortMon() {}

void Vcomm_OpenProgrammingMode(u32 port) {
    if (port > 1) return;
    Vcomm_Drv[port].Open(port, kVcommProgrammingMode);
}
