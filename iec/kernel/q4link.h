// Hand-over of the programming link between the controller's own programming
// protocol and the runtime's workbench protocol: the flags the runtime's
// receive paths set, and the few services of the programming link they call.
#pragma once

#include "platform/bytes.h"
#include "platform/neighbour.h"

// Set on every received chunk that begins "Q4" (workbench frame), cleared by
// any other chunk.
extern u8 q4_rcv;
// 1 while the programming port speaks the controller's programming protocol
// (initial value), 0 while the workbench protocol owns the link.
extern u8 IsCommMode_Tovra;

// What the runtime needs of the programming link; the wiring fills it in.
struct Q4LinkPeers {
    // Open descriptor the runtime may borrow for port MJ1 (which 0), MJ3 (1)
    // or the USB device port (2), or -1 when that port is not lent.
    int (*descriptor)(int which) = nullptr;
    // Code of the programming link's current host (0 serial port, 3 USB).
    u32 (*hostCode)() = nullptr;
    // The runtime gives the link back: clears the workbench-owns-the-link
    // flag; for the serial host also returns the programming port to the
    // programming protocol at 9600 baud. The descriptor stays open (the link
    // owns it).
    void (*handBack)(int serialHost) = nullptr;
};
extern Q4LinkPeers q4LinkPeers;  // filled by core/wiring.cpp
void Q4LinkPeers_Check(NeighbourCheck& check);

// The runtime gives the link back to the programming protocol: the
// workbench no longer owns it; serial: the programming port returns to the
// programming protocol when the link's host is the serial port.
void Q4Link_HandBack(int serial);

// Back to the initial flags.
void Q4Link_Reset();

enum Q4LinkDescriptor { kQ4PortMJ1 = 0, kQ4PortMJ3 = 1, kQ4PortUSB = 2 };
