// What the programming link uses of its neighbours: the Ethernet mailbox, the
// CAN tunnel to other controllers, the modem data socket, the IEC workbench's
// hand-over, module calibration and the board identity. Each neighbour fills
// in its entries when it starts; an empty entry means the neighbour is not
// there (no input, output dropped, nothing to apply).
#pragma once

#include "platform/bytes.h"

struct LinkPeers {
    // Ethernet programming mailbox.
    int (*EtnCheckRx)();
    int (*EtnGetRx)();
    void (*EtnFlushRx)();
    int (*EtnPutTx)(u8 byte);  // 112 is the link-released notice, not data
    void (*EtnPutnTx)(const u8* data, u32 length);
    void (*EtnUpdateSecurity)();
    // CAN tunnel: bytes from and to the node the link works with.
    int (*NetCheckRx)();
    int (*NetGetRx)();
    void (*NetFlushRx)();
    void (*CanPutBytes)(const u8* data, u32 length, u32 linkMode);
    int (*CanStatus)(int port);  // bit 0x80: the port failed
    // Modem data socket 1 of the programming port.
    int (*ModemSocketActive)();  // non-zero while a data call carries the link
    int (*ModemCheckRecv)();
    int (*ModemDataRecv)();
    void (*ModemDataSend)(const u8* data, u32 length);
    // IEC workbench protocol takes the link over (command 38).
    void (*WorkbenchConnectSerial)();
    void (*WorkbenchConnectEthernet)();
    // Once per pass of the command check (the workbench gives the link back).
    void (*WorkbenchPoll)();
    // Module calibration: buffer[0] the request length, then the request;
    // replaced by the reply in the same form. Returns 0 when no module answered.
    int (*IoCal)(u8* buffer, u32 capacity);
    // Board identity image downloaded: store it and apply its MAC addresses.
    void (*SaveAndSetMACID)();
};
extern LinkPeers linkPeers;

// What the stand-ins saw (tests).
struct LinkPeerCalls {
    int workbenchSerial, workbenchEthernet, identitySaved;
};
extern LinkPeerCalls linkPeerCalls;

// Back to the stand-ins: no Ethernet, CAN or modem; the identity file is
// written; the workbench stand-in hears no workbench traffic, so it gives the
// link back (protocol nibble 1, 9600 baud) 65 s after the hand-over.
void LinkPeers_Reset();
