#include "link/vcomm.h"

#include "link/sci.h"

const SerialOpenMode tovra_mode = {5, 0, 3, 0, 0, 0x01};
const SerialOpenMode rism_mode = {5, 0, 3, 0, 0, 0x30};

u32 Vcomm_Lock = 0;
u16 Vcomm_Idle = 0;
u32 Vcomm_Host = 0;
u32 Vcomm_Mode = 0;
u8 Vcomm_ConnectId = 0;

namespace {

// Rows: current owner 0-4; columns: requested owner 0-4.
constexpr u8 serial_open_check[25] = {
    1, 3, 3, 3, 3,  // free: anyone may take it
    0, 1, 1, 1, 1,  // programming link: may hand it on, not free it
    0, 1, 1, 0, 0,  // owners 2-4: reopen their own mode or give it back
    0, 1, 0, 1, 0,  //
    0, 1, 0, 0, 1,
};

}  // namespace

int Vcomm_OpenAllowed(u8 current, u8 requested) {
    if (requested > 4) return 0;
    if (current > 4) return requested == kProtoProgramming ? 1 : 0;
    return serial_open_check[current * 5 + requested] != 0 ? 1 : 0;
}

void Vcomm_OpenProgrammingMode(u32 port) {
    if (port > 1 || Vcomm_Drv[port].Open == nullptr) return;
    Vcomm_Drv[port].Open(port, tovra_mode);
}

void Vcomm_Init() {}
void* Vcomm_GetEvtPtr(void* pointer) { return pointer; }

int Vcomm_LockSet(int operation) {
    u32 before = Vcomm_Lock;
    switch (operation) {
        case 0: Vcomm_Lock = 0; break;
        case 1: Vcomm_Lock |= 1u; break;
        case 2: Vcomm_Lock &= ~1u; break;
        case 3: Vcomm_Lock |= 2u; break;
        case 4: Vcomm_Lock &= ~2u; break;
        default: break;
    }
    if (before != 0 && Vcomm_Lock == 0) Vcomm_Idle++;
    return operation;
}

void Vcomm_ModeSet(int frameStart, u32 host, u32 mode, u8 nodeId) {
    bool free = Vcomm_Lock == 0 || (frameStart != 0 && (Vcomm_Lock & ~1u) == 0);
    if (!free) return;
    Vcomm_Host = host;
    Vcomm_Mode = mode;
    Vcomm_ConnectId = nodeId;
    Vcomm_Lock = 1;
}

void Vcomm_Reset() {
    Vcomm_Lock = 0;
    Vcomm_Idle = 0;
    Vcomm_Host = 0;
    Vcomm_Mode = 0;
    Vcomm_ConnectId = 0;
    Sci_Reset();
}
