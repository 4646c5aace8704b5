// Manager of the loadable protocol drivers. Until the drivers themselves are
// loaded, the manager reads the protocol-driver section for what the
// Ethernet channels need of it (each driver's port key and version), hands
// a driver on Ethernet its port operations, and at stop closes the Ethernet
// channels of every driver.
#pragma once

#include "platform/bytes.h"

void PMGR_Start();
void PMGR_Stop();
void PMGR_Scan();
void PMGR_TheLoop(int driver);
// Number of drivers named by the protocol-driver section (u32 at its byte 8),
// 0 when the section is too short to hold it.
u32 PMGR_DriverCount();

// The version of the first driver whose port key (byte 1 of its
// configuration) equals key; false when no driver of the section has it.
bool PMGR_DriverVersion(u32 key, u16* version);

// The port operations the manager gives a driver whose port designates
// Ethernet (the virtual serial channels).
struct PmgrPortOps {
    int (*Open)(u32 port, const u8* record);
    void (*FlushTx)(u32 port);
    int (*PutTx)(u32 port, u8 byte);
    void (*DoTx)(u32 port);
    void (*FlushRx)(u32 port);
    int (*CheckRx)(u32 port);
    int (*GetRx)(u32 port);
    u32 (*InitWait)(u32 port);
    u32 (*WaitRx)(u32 port);
    u32 (*IoCtl)(u32 port);
    int (*Close)(u32 port);
};
// The operations of driver i (0-7) after PMGR_Start; null for a driver on a
// serial port or one the section does not hold.
const PmgrPortOps* PMGR_PortOps(u32 driver);
// The put wrapper of the Ethernet operations.
int EtnPutTx(u32 port, u8 byte);
