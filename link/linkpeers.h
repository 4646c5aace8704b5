// What the programming link uses of its neighbours: the Ethernet mailbox, the
// CAN tunnel to other controllers, the modem data socket, the IEC workbench's
// hand-over, module calibration and the board identity. The wiring fills the
// record in at start-up.
#pragma once

#include "platform/bytes.h"
#include "platform/neighbour.h"

struct LinkPeers {
    // Ethernet programming mailbox.
    int (*EtnCheckRx)() = nullptr;
    int (*EtnGetRx)() = nullptr;
    void (*EtnFlushRx)() = nullptr;
    int (*EtnPutTx)(u8 byte) = nullptr;  // 112 is the link-released notice, not data
    void (*EtnPutnTx)(const u8* data, u32 length) = nullptr;
    void (*EtnUpdateSecurity)() = nullptr;
    // CAN tunnel: bytes from and to the node the link works with (the
    // CANopen node's programming tunnel).
    int (*NetCheckRx)() = nullptr;
    int (*NetGetRx)() = nullptr;
    void (*NetFlushRx)() = nullptr;
    void (*CanPutBytes)(const u8* data, u32 length, u32 linkMode) = nullptr;
    int (*CanStatus)(int port) = nullptr;  // bit 0x80: the port failed
    // Modem data socket 1 of the programming port. May be empty: a
    // controller without a modem carries no data call.
    int (*ModemSocketActive)() = nullptr;  // non-zero while a data call carries the link
    int (*ModemCheckRecv)() = nullptr;
    int (*ModemDataRecv)() = nullptr;
    void (*ModemDataSend)(const u8* data, u32 length) = nullptr;
    // IEC workbench protocol takes the link over (command 38); the
    // workbench's server gives it back (65 s without a workbench frame).
    void (*WorkbenchConnectSerial)() = nullptr;
    void (*WorkbenchConnectEthernet)() = nullptr;
    // Module calibration: buffer[0] the request length, then the request;
    // replaced by the reply in the same form. Returns 0 when no module answered.
    int (*IoCal)(u8* buffer, u32 capacity) = nullptr;
    // Board identity image downloaded: store it and apply its MAC addresses.
    void (*SaveAndSetMACID)() = nullptr;
};
extern LinkPeers linkPeers;  // filled by core/wiring.cpp
void LinkPeers_Check(NeighbourCheck& check);

// Module calibration through the local I/O: the I/O layer always writes a
// reply (an unknown slot answers 0x40), so every request gets one back;
// 0 only when the buffer cannot hold the I/O layer's reply.
int LinkPeers_IoCal(u8* buffer, u32 capacity);
