// Serial link layer: the operation tables of serial ports 0 and 1 and the USB
// device port. Until the serial drivers are built, a port "opens" by taking
// the mode record it is given; nothing is sent or received.
#pragma once

#include "core/bytes.h"

// 6-byte mode record: baud code, parity, data bits, stop bits, line mode,
// protocol nibble in the low half of byte 5 (1 = programming protocol).
constexpr u32 kVcommModeBytes = 6;
// The programming default mode: 9600 baud, 8 data bits, no parity, programming protocol.
extern const u8 kVcommProgrammingMode[kVcommModeBytes];

struct VcommDriver {
    u8* mode;                                       // the port's current mode record
    int (*Open)(u32 port, const u8* modeRecord);    // reopen and reconfigure from a mode record
};
extern VcommDriver Vcomm_Drv[2];

void Vcomm_Init();
void SCI0_Init(int port);
void SCI1_Init(int port);
int SCI4_Init(int port);
void USBPortMon();
// Reopens serial port 0 or 1 in the programming default mode through its driver.
void Vcomm_OpenProgrammingMode(u32 port);

// Number of opens per port since the last reset (tests).
extern int vcommOpenCount[2];
void Vcomm_Reset();
